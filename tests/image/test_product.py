"""Checks on the product as built: build/x86/setup.exe (run `make all` first).

These are the properties a Windows loader, Explorer and an administrator see
in the file, which no unit test of the sources can show.
"""
import fnmatch
import glob
import os
import unittest
import xml.etree.ElementTree as ET

import pefile

from . import support

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll"}
# The runtime DLLs of the MinGW toolchain: none of them is on a user's machine.
TOOLCHAIN_DLLS = ("libgcc*", "libstdc++*", "libwinpthread*", "libssp*")

# The Windows versions a manifest can declare (Vista, 7, 8, 8.1, 10/11).
# Windows ignores an Id it does not know, so a mistyped one is a silent loss.
KNOWN_OS_IDS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
WINDOWS_10_ID = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def read_allowlist():
    allowed = set()
    with open(os.path.join(os.path.dirname(__file__), "xp-imports.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                dll, function = line.split("!")
                allowed.add((dll.lower(), function))
    return allowed


def imports(pe):
    """(dll in lower case, function name or #ordinal, delay-loaded) for each import."""
    found = []
    for attribute, delayed in (("DIRECTORY_ENTRY_IMPORT", False),
                               ("DIRECTORY_ENTRY_DELAY_IMPORT", True)):
        for entry in getattr(pe, attribute, []):
            for symbol in entry.imports:
                name = symbol.name.decode() if symbol.name else f"#{symbol.ordinal}"
                found.append((entry.dll.decode().lower(), name, delayed))
    return found


def local_name(element):
    return element.tag.rsplit("}", 1)[-1]


class ProductImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = support.load_pe(support.PRODUCT_EXE)
        cls.resources = support.resources(cls.pe)

    def test_header_targets_32_bit_windows_xp_gui(self):
        header, optional = self.pe.FILE_HEADER, self.pe.OPTIONAL_HEADER
        problems = []
        if header.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
            problems.append(f"machine is {header.Machine:#x}, not i386")
        if optional.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
            problems.append(f"optional header magic {optional.Magic:#x} is not PE32")
        if optional.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
            problems.append(f"subsystem is {optional.Subsystem}, not Windows GUI (2)")
        for what, major, minor in (
                ("OS", optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion),
                ("subsystem", optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)):
            if (major, minor) != (5, 1):
                problems.append(f"{what} version is {major}.{minor:02}, not 5.01 (Windows XP)")
        for flag in ("DYNAMIC_BASE", "NX_COMPAT", "TERMINAL_SERVER_AWARE"):
            if not getattr(optional, "IMAGE_DLLCHARACTERISTICS_" + flag):
                problems.append(f"DllCharacteristics lacks {flag}")
        if not header.IMAGE_FILE_LARGE_ADDRESS_AWARE:
            problems.append("Characteristics lacks LARGE_ADDRESS_AWARE")
        if optional.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE and not hasattr(
                self.pe, "DIRECTORY_ENTRY_BASERELOC"):
            problems.append("DYNAMIC_BASE is set but there are no base relocations to move it")
        if problems:
            self.fail("\n".join(problems))

    def test_resource_section_is_read_only_and_mapped_from_a_whole_page(self):
        # The package's bytes stay as carried between the write of the copy
        # and its read-back only if nothing can write them; Wine maps a
        # section from the file (instead of reading it into private memory)
        # only when it starts at a whole page of the file.
        optional = self.pe.OPTIONAL_HEADER
        directory = optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
        section = self.pe.get_section_by_rva(directory.VirtualAddress)
        self.assertIsNotNone(section, "no section holds the resource directory")
        problems = []
        if section.IMAGE_SCN_MEM_WRITE:
            problems.append(f"the resource section is writable ({section.Characteristics:#x})")
        if section.PointerToRawData % optional.SectionAlignment:
            problems.append(f"the resource section starts at file offset {section.PointerToRawData:#x}, "
                            f"not at a multiple of the page size {optional.SectionAlignment:#x}")
        if optional.FileAlignment != 512:
            problems.append(f"file alignment is {optional.FileAlignment}, not 512")
        if problems:
            self.fail("\n".join(problems))

    def test_declares_that_it_registers_no_structured_exception_handler(self):
        # A 32-bit image without a SafeSEH table must say it has no handlers.
        optional = self.pe.OPTIONAL_HEADER
        self.assertTrue(optional.IMAGE_DLLCHARACTERISTICS_NO_SEH, "DllCharacteristics lacks NO_SEH")
        load_config = optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
        self.assertEqual(0, load_config.Size, "a load-config table would carry its own SEH table")

    def test_imports_only_what_windows_xp_has(self):
        allowed = read_allowlist()
        found = imports(self.pe)
        self.assertIn("kernel32.dll", {dll for dll, _, _ in found},
                      "no import of kernel32.dll: was the import table read?")
        problems = []
        for dll, name, delayed in found:
            kind = "delay-loaded import" if delayed else "import"
            if dll not in SYSTEM_DLLS:
                problems.append(f"{kind} from {dll} (only {', '.join(sorted(SYSTEM_DLLS))})")
            elif name.startswith("#"):
                problems.append(f"{kind} {dll}!{name} by ordinal: cannot be checked")
            elif (dll, name) not in allowed:
                problems.append(f"{kind} {dll}!{name} is not in xp-imports.txt")
        if problems:
            self.fail("\n".join(problems))

    def test_needs_no_toolchain_dll(self):
        shipped = [os.path.basename(p) for p in glob.glob(os.path.join(support.PRODUCT_DIR, "*"))
                   if p.lower().endswith(".dll")]
        self.assertEqual(shipped, [], f"DLLs beside setup.exe in {support.PRODUCT_DIR}")
        runtime = sorted({dll for dll, _, _ in imports(self.pe)
                          if any(fnmatch.fnmatch(dll, p) for p in TOOLCHAIN_DLLS)})
        self.assertEqual(runtime, [], "setup.exe imports toolchain runtime DLLs")

    def test_carries_the_package_byte_for_byte(self):
        package_path = os.path.join(support.PRODUCT_DIR, support.SAMPLE_PACKAGE)
        package = support.read(package_path)
        carried = self.resources.get(("MSI", 129, support.LANG_EN_US))
        self.assertIsNotNone(carried, f"no resource MSI/129/1033; found {sorted(map(str, self.resources))}")
        self.assertTrue(carried == package, f"MSI/129/1033 differs from {package_path}: "
                        + support.describe_difference(carried, package))
        msi_entries = [key for key in self.resources if key[0] == "MSI"]
        self.assertEqual(msi_entries, [("MSI", 129, support.LANG_EN_US)],
                         "the package must be the only MSI resource")

    def test_manifest(self):
        data = self.resources.get((support.RT_MANIFEST, 1, support.LANG_EN_US))
        self.assertIsNotNone(data, "no RT_MANIFEST 1 (the process manifest); found "
                             f"{sorted(map(str, self.resources))}")
        try:
            root = ET.fromstring(data)
        except ET.ParseError as error:
            self.fail(f"the manifest is not well-formed XML: {error}")
        self.assertEqual(root.tag, "{urn:schemas-microsoft-com:asm.v1}assembly")
        elements = list(root.iter())

        self.assertEqual(support.execution_levels(data), ["asInvoker"], "requestedExecutionLevel")
        self.assertNotIn(b"@", data, "a placeholder of the configured manifest is left")

        os_ids = [e.get("Id", "").lower() for e in elements if local_name(e) == "supportedOS"]
        self.assertIn(WINDOWS_10_ID, os_ids, "supportedOS must name Windows 10")
        self.assertEqual(sorted(set(os_ids) - KNOWN_OS_IDS), [], "unknown supportedOS Ids")

        common_controls = [e.attrib for e in elements if local_name(e) == "assemblyIdentity"
                           and e.get("name") == "Microsoft.Windows.Common-Controls"]
        self.assertEqual(len(common_controls), 1, "dependency on Microsoft.Windows.Common-Controls")
        identity = common_controls[0]
        self.assertEqual((identity.get("type"), identity.get("version"), identity.get("publicKeyToken")),
                         ("win32", "6.0.0.0", "6595b64144ccf1df"), "Common-Controls identity")

    def test_version_block_shows_the_packages_product_version(self):
        package = os.path.join(support.PRODUCT_DIR, support.SAMPLE_PACKAGE)
        version = support.msi_property(package, "ProductVersion")
        problems = support.version_block_problems(self.pe, version)
        if problems:
            self.fail(f"the version block must show {package}'s ProductVersion {version}:\n"
                      + "\n".join(problems))

    def test_removes_the_sample_product_and_writes_the_default_file_name(self):
        image = support.read(support.PRODUCT_EXE)
        for text in (support.removal_command(support.DEFAULT_PRODUCT_CODE),
                     support.DEFAULT_PACKAGE_FILE_NAME):
            self.assertIn(support.utf16(text), image, f"no UTF-16 {text!r} in the image")

    def test_icon(self):
        problems = support.icon_problems(self.resources)
        if problems:
            self.fail("\n".join(problems))


class FinishedImagesTest(unittest.TestCase):
    """What the post-link step leaves in both builds (x86, the product, and x64)."""

    def test_both_run_from_swap_and_keep_a_valid_checksum(self):
        # Started from a share or a stick, the image must be copied to the
        # paging file at load, or a medium that goes away faults the copy of
        # the package out of its pages; the flags are set after the link, so
        # the checksum must have been computed again after them.
        for name in ("x86", "x64"):
            with self.subTest(build=name):
                exe = os.path.join(support.REPO, "build", name, "setup.exe")
                problems = support.finished_image_problems(support.load_pe(exe))
                if problems:
                    self.fail(f"{exe}:\n" + "\n".join(problems))


if __name__ == "__main__":
    unittest.main()
