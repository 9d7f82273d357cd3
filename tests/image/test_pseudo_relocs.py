"""The launcher images carry no runtime pseudo-relocations.

When code reaches data exported by a DLL without declaring it
__declspec(dllimport), the linker's auto-import makes the reference work by
recording a pseudo-relocation (between __RUNTIME_PSEUDO_RELOC_LIST__ and
__RUNTIME_PSEUDO_RELOC_LIST_END__) that the C runtime's start-up code patches
once the DLL is loaded. The launcher starts at its own entry, not in that
start-up code, so nothing would patch it and the reference would point at
the wrong place. setup.exe is stripped: the list's bounds are read from the
link map the build writes beside it (setup.map).
"""
import os
import re
import subprocess
import unittest

import pefile

from . import support

BUILDS = {
    "x86": os.path.join(support.REPO, "build", "x86"),
    "x64": os.path.join(support.REPO, "build", "x64"),
}
LINKER_SCRIPT = os.path.join(support.REPO, "cmake", "compact-i386.ld")
# "  0x00403000   __RUNTIME_PSEUDO_RELOC_LIST__ = ..." (one to three leading underscores)
LIST_SYMBOL = re.compile(r"^\s*0x([0-9a-fA-F]+)\s+_+RUNTIME_PSEUDO_RELOC_LIST(_END)?__ = ", re.M)

WHY = ("no start-up code processes this list: the launcher starts at its own entry, "
       "not in the C runtime's start-up code that would patch these references. "
       "A reference to a DLL's data that is not declared __declspec(dllimport) "
       "(auto-import) needs it; declare such data __declspec(dllimport) or avoid it.")


def pseudo_reloc_list(map_path):
    """(start, end) of the runtime pseudo-relocation list in a link map."""
    with open(map_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    bounds = {}
    for address, end in LIST_SYMBOL.findall(text):
        bounds.setdefault(bool(end), set()).add(int(address, 16))
    if set(bounds) != {False, True} or any(len(v) != 1 for v in bounds.values()):
        raise AssertionError(f"{map_path} does not give the list's bounds once: {bounds}")
    return bounds[False].pop(), bounds[True].pop()


class PseudoRelocationTest(unittest.TestCase):
    def test_the_built_images_have_an_empty_list(self):
        for name, folder in BUILDS.items():
            with self.subTest(build=name):
                exe, link_map = os.path.join(folder, "setup.exe"), os.path.join(folder, "setup.map")
                for path in (exe, link_map):
                    self.assertTrue(os.path.isfile(path), f"{path} is missing: run `make all`")
                start, end = pseudo_reloc_list(link_map)
                pe = pefile.PE(exe, fast_load=True)
                self.assertIsNotNone(
                    pe.get_section_by_rva(start - pe.OPTIONAL_HEADER.ImageBase),
                    f"{link_map} does not describe {exe}: {start:#x} is in none of its sections")
                self.assertEqual(0, end - start,
                                 f"{exe} has {end - start} bytes of runtime pseudo-relocations; "
                                 + WHY)

    def test_the_check_sees_an_auto_imported_variable(self):
        # A DLL exporting a variable, and a program with the launcher's image
        # layout and entry that reads it without __declspec(dllimport). The
        # linker wants the C runtime's relocator once it records an entry; the
        # empty one here stands for it being linked in but never run.
        root = support.temp_root(type(self))
        source = os.path.join(root, "fixture.c")
        with open(source, "w", encoding="utf-8") as f:
            f.write("#ifdef LIBRARY\n__declspec(dllexport) int shared_value = 7;\n#else\n"
                    "extern int shared_value;\nvoid _pei386_runtime_relocator(void) {}\n"
                    "int __stdcall Entry(void) { return shared_value; }\n#endif\n")
        gcc = "i686-w64-mingw32-gcc"
        dll, lib = os.path.join(root, "value.dll"), os.path.join(root, "libvalue.a")
        exe, link_map = os.path.join(root, "fixture.exe"), os.path.join(root, "fixture.map")
        subprocess.run([gcc, "-shared", "-DLIBRARY", source, "-o", dll,
                        f"-Wl,--out-implib,{lib}"], check=True)
        subprocess.run([gcc, "-nostartfiles", "-Wl,-e,_Entry@0", f"-Wl,-T,{LINKER_SCRIPT}",
                        source, lib, "-o", exe, f"-Wl,-Map={link_map}"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        start, end = pseudo_reloc_list(link_map)
        self.assertGreater(end - start, 0, "an auto-imported variable leaves a list entry")


if __name__ == "__main__":
    unittest.main()
