/* Image layout of the 32-bit launcher: four sections instead of the
   toolchain's ten, aligned to 512 bytes in the file, each costing no more
   than its own size rounded to 512:
     .text   code and read-only data (constructor lists, constants), padded
             so that the next section starts at a whole page of the file
     .rsrc   the resources, the package among them: starting at a page of
             the file, the loader can map it rather than copy it (Wine
             reads a section whose file offset is not a page's into
             private memory). Read-only: finish-image.py clears the write
             flag the linker sets on any section of this name.
     .idata  the import tables, then writable and zero-filled data
     .reloc  base relocations, so the image can move (ASLR)
   The sections after .rsrc are small and read at load; none needs a page
   of the file. Unwind tables are dropped: the launcher is built without
   exceptions. */
OUTPUT_FORMAT(pei-i386)
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + __section_alignment__ :
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
    /* Pad to where headers plus .text end at a whole page of the file. */
    __text_pad = (__section_alignment__ - ((ABSOLUTE(.) - ADDR(.text) + ALIGN(SIZEOF_HEADERS, __file_alignment__)) % __section_alignment__)) % __section_alignment__;
    . += __text_pad;
  }
  ___RUNTIME_PSEUDO_RELOC_LIST_END__ = __rt_psrelocs_end;
  __RUNTIME_PSEUDO_RELOC_LIST_END__ = __rt_psrelocs_end;
  ___RUNTIME_PSEUDO_RELOC_LIST__ = __rt_psrelocs_start;
  __RUNTIME_PSEUDO_RELOC_LIST__ = __rt_psrelocs_start;
  .rsrc BLOCK(__section_alignment__) (READONLY) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }
  .idata BLOCK(__section_alignment__) :
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
  }
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
