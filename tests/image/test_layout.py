"""The 32-bit product's layout in the file, and its base relocations.

The package must start on a page of the file to be mapped rather than read
(Wine), and the file must grow with the code in steps of the file alignment,
not of a page. And since the image has a custom layout, its relocation table
is checked against what it relocates: Windows loads the image at another
address than it was linked for (ASLR), Wine never does, so a plain run here
shows no wrong entry.
"""
import os
import unittest

from . import support

PRODUCT_MAP = os.path.join(support.PRODUCT_DIR, "setup.map")
X64_DIR = os.path.join(support.REPO, "build", "x64")


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class ProductLayoutTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = support.load_pe(support.PRODUCT_EXE)

    def test_package_on_a_page_and_no_padding_but_to_reach_it(self):
        optional = self.pe.OPTIONAL_HEADER
        page, alignment = optional.SectionAlignment, optional.FileAlignment
        sections = sorted(self.pe.sections, key=lambda s: s.PointerToRawData)
        names = [support.section_name(s) for s in sections]
        self.assertIn(".rsrc", names)
        resources = names.index(".rsrc")
        problems = []
        end = optional.SizeOfHeaders
        if end != align(end, alignment):
            problems.append(f"headers of {end} bytes are not a multiple of {alignment}")
        for section, name in zip(sections, names):
            if section.PointerToRawData != end:
                problems.append(f"{name} starts at {section.PointerToRawData:#x}, not right after "
                                f"the previous section's bytes ({end:#x})")
            if section.SizeOfRawData != align(section.Misc_VirtualSize, alignment):
                problems.append(f"{name} has {section.SizeOfRawData} bytes in the file for "
                                f"{section.Misc_VirtualSize} of content")
            end = section.PointerToRawData + section.SizeOfRawData
        if len(self.pe.__data__) != end:
            problems.append(f"the file has {len(self.pe.__data__) - end} bytes after its sections")
        rsrc = sections[resources]
        if rsrc.PointerToRawData % page:
            problems.append(f".rsrc starts at {rsrc.PointerToRawData:#x}, not on a page")
        # Only the first page comes before the package, so that nothing that
        # grows with the code can push it a page further.
        if rsrc.PointerToRawData != page:
            problems.append(f".rsrc starts at {rsrc.PointerToRawData:#x}, not at the first page")
        code_before = [n for s, n in zip(sections[:resources], names)
                       if s.Characteristics & support.IMAGE_SCN_CNT_CODE]
        if code_before:
            problems.append(f"code before the package: {code_before}")
        if problems:
            self.fail("\n".join(problems))


class RelocationTest(unittest.TestCase):
    def test_every_pointer_is_relocated_and_nothing_else(self):
        for name, exe, link_map in (("x86", support.PRODUCT_EXE, PRODUCT_MAP),
                                    ("x64", os.path.join(X64_DIR, "setup.exe"), None)):
            with self.subTest(build=name):
                pe = support.load_pe(exe)
                problems = support.relocation_problems(pe, support.pointer_ranges(pe, link_map))
                if problems:
                    self.fail(f"{exe}:\n" + "\n".join(problems))

    def test_the_check_sees_a_misplaced_and_a_missing_relocation(self):
        # The mistake of a layout whose addresses change between the
        # linker's passes: an entry recorded off the pointer it was for,
        # which then has none. Here the entry of the first pointer in the
        # data is moved by 2 bytes in a copy of the product.
        data = bytearray(support.read(support.PRODUCT_EXE))
        pe = support.pefile.PE(data=bytes(data))
        ranges = support.pointer_ranges(pe, PRODUCT_MAP)
        entry = next(e for b in pe.DIRECTORY_ENTRY_BASERELOC for e in b.entries
                     if e.type == support.IMAGE_REL_BASED_HIGHLOW
                     and any(start <= e.rva < end for start, end in ranges))
        # Each entry is a 16-bit word: the type in its top 4 bits, the offset
        # in the block's page below.
        offset = entry.struct.get_file_offset()
        word = int.from_bytes(data[offset:offset + 2], "little")
        data[offset:offset + 2] = ((word & 0xF000) | ((word & 0x0FFF) + 2)).to_bytes(2, "little")
        problems = support.relocation_problems(support.pefile.PE(data=bytes(data)), ranges)
        self.assertTrue(any(f"at {entry.rva:#x} " in p and "no relocation" in p for p in problems),
                        f"the pointer at {entry.rva:#x} lost its relocation, unseen: {problems}")
        self.assertTrue(any(f"at {entry.rva + 2:#x} " in p and "holds" in p for p in problems),
                        f"the entry moved to {entry.rva + 2:#x}, unseen: {problems}")


if __name__ == "__main__":
    unittest.main()
