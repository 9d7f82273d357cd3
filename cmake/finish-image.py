"""Last step of the link of setup.exe, before its size is reported and it is
signed: asks Windows to run the image from the paging file when it is
started from a network share or removable medium, makes the resource
section read-only and, where the image asks for it, checks that the section
starts at a whole page of the file.

    finish-image.py EXE [--page-aligned-resources]

Started from a share or a USB stick, the launcher would otherwise read the
package it carries from pages backed by that medium: if the medium goes
away during the copy, the read faults (EXCEPTION_IN_PAGE_ERROR) and the
process dies instead of reporting the failure. With
IMAGE_FILE_NET_RUN_FROM_SWAP and IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP the
loader copies the whole image into paging-file-backed memory first, so a
failing medium fails the start, before anything has changed. GNU ld has no
option for either flag.

The linker marks a section named .rsrc writable whatever its input says.
Nothing writes the resources, and read-only they stay exactly as carried:
the package's bytes cannot change in memory between the write of the copy
and its read-back. The header checksum is computed again afterwards.

With --page-aligned-resources the build fails unless the resource section
begins at a multiple of the section alignment (the page size) in the file:
only then can Wine map it from the file instead of reading it into private
memory (see compact-i386.ld).

Python 3 standard library only.
"""
import os
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP = 0x0400
IMAGE_FILE_NET_RUN_FROM_SWAP = 0x0800
RESOURCE_DIRECTORY = 2


def fail(message, remove=None):
    # A half-finished image goes, so that the next build links it again
    # instead of taking it as up to date.
    if remove:
        os.remove(remove)
    sys.exit(f"finish-image: {message}")


def checksum(image, field):
    """The PE header checksum: the file's 16-bit words summed with the carry
    folded back in, the checksum field itself left out, plus the length."""
    data = image[:field] + b"\0\0\0\0" + image[field + 4:]
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def main(argv):
    if len(argv) not in (2, 3) or (len(argv) == 3 and argv[2] != "--page-aligned-resources"):
        fail("usage: finish-image.py EXE [--page-aligned-resources]")
    path, page_aligned = argv[1], len(argv) == 3
    with open(path, "rb") as f:
        image = bytearray(f.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        fail(f"{path} is not a PE image", path)
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    section_alignment = struct.unpack_from("<I", image, optional + 32)[0]
    resources_rva = struct.unpack_from("<I", image, directories + 8 * RESOURCE_DIRECTORY)[0]
    table = optional + optional_size

    found = None
    for i in range(sections):
        header = table + 40 * i
        address, raw_size, raw_offset = struct.unpack_from("<I4xII", image, header + 12)
        if address == resources_rva:
            found = (header, raw_offset)
    if found is None:
        fail(f"{path}: no section starts at the resource directory ({resources_rva:#x})", path)
    header, raw_offset = found
    if page_aligned and raw_offset % section_alignment:
        fail(f"{path}: the resource section starts at file offset {raw_offset:#x}, not at a "
             f"multiple of {section_alignment:#x}; Wine would read it into private memory "
             "instead of mapping it (see cmake/compact-i386.ld)", path)

    # COFF header: Characteristics is its last field, 18 bytes after the signature.
    characteristics = pe + 4 + 18
    flags = struct.unpack_from("<H", image, characteristics)[0]
    struct.pack_into("<H", image, characteristics,
                     flags | IMAGE_FILE_NET_RUN_FROM_SWAP | IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP)

    flags = struct.unpack_from("<I", image, header + 36)[0]
    struct.pack_into("<I", image, header + 36, flags & ~IMAGE_SCN_MEM_WRITE)
    field = optional + 64
    if struct.unpack_from("<I", image, field)[0] != 0:
        struct.pack_into("<I", image, field, checksum(image, field))
    finished = path + ".finishing"
    with open(finished, "wb") as f:
        f.write(image)
    os.replace(finished, path)


if __name__ == "__main__":
    main(sys.argv)
