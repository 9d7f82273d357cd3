/* Image layout of the 32-bit launcher: four sections instead of the
   toolchain's ten, aligned to 512 bytes in the file.

   The resource section carries the package and must start at a whole page
   of the file: only then does Wine map it from the file rather than read it
   into private memory. Whatever lies before it in the file is padding
   unless it fills that first page, so only the headers and a small section
   whose size hardly changes go there, and the code, which grows with every
   change, goes after the package: the file grows with the code in steps of
   512 bytes, never by a page at once.
     headers  1,024 bytes
     .idata   the import tables, then writable and zero-filled data, padded
              to the end of the first page of the file
     .rsrc    the resources, the package among them, at file offset 0x1000.
              Read-only: finish-image.py clears the write flag the linker
              sets on any section of this name.
     .text    code and read-only data (constructor lists, constants)
     .reloc   base relocations, so the image can move (ASLR)
   The linker lays the image out once, records the base relocations at
   the addresses of that layout, sizes .reloc and lays the image out again.
   So no address may change between the two: .reloc stays last, .rsrc has
   a fixed address, and .idata's padding is given as a size, not computed
   from the section's own address, which the first layout may not have yet
   (a padding computed so once moved the sections after it by a page).
   Unwind tables are dropped: the launcher is built without exceptions. */
OUTPUT_FORMAT(pei-i386)
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .idata __image_base__ + __section_alignment__ :
  {
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    KEEP (SORT(*)(.idata$4))
    __IAT_start__ = .;
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
    . = ALIGN(4);
    __data_start__ = .;
    *(.data)
    *(.data2)
    *(SORT(.data$*))
    __data_end__ = .;
    __bss_start__ = .;
    *(.bss)
    *(COMMON)
    __bss_end__ = .;
    PROVIDE (end = .);
    PROVIDE (_end = .);
    __end__ = .;
    /* Padded to the end of the first page of the file. Imports and data
       that outgrow it fail the link rather than add a page. */
    ASSERT(. <= __section_alignment__ - ALIGN(SIZEOF_HEADERS, __file_alignment__),
           "the headers, imports and data outgrow the first page of the file (cmake/compact-i386.ld)");
    . = __section_alignment__ - ALIGN(SIZEOF_HEADERS, __file_alignment__);
  }
  .rsrc __image_base__ + 2 * __section_alignment__ (READONLY) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }
  .text BLOCK(__section_alignment__) :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    /* The static constructor and destructor lists walked by __main. */
    ___CTOR_LIST__ = .;
    __CTOR_LIST__ = .;
    LONG (-1);
    KEEP (*(.ctors));
    KEEP (*(.ctor));
    KEEP (*(SORT_BY_NAME(.ctors.*)));
    LONG (0);
    ___DTOR_LIST__ = .;
    __DTOR_LIST__ = .;
    LONG (-1);
    KEEP (*(.dtors));
    KEEP (*(.dtor));
    KEEP (*(SORT_BY_NAME(.dtors.*)));
    LONG (0);
    *(.rdata)
    *(SORT(.rdata$*))
    . = ALIGN(4);
    __rt_psrelocs_start = .;
    KEEP (*(.rdata_runtime_pseudo_reloc))
    __rt_psrelocs_end = .;
  }
  ___RUNTIME_PSEUDO_RELOC_LIST_END__ = __rt_psrelocs_end;
  __RUNTIME_PSEUDO_RELOC_LIST_END__ = __rt_psrelocs_end;
  ___RUNTIME_PSEUDO_RELOC_LIST__ = __rt_psrelocs_start;
  __RUNTIME_PSEUDO_RELOC_LIST__ = __rt_psrelocs_start;
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
  /DISCARD/ :
  {
    *(.eh_frame*)
    *(.debug*)
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
    *(.comment)
  }
}
