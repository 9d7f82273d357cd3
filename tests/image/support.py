"""Reading built launcher images and building them in throwaway folders."""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import tempfile
import xml.etree.ElementTree as ET

import pefile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PRODUCT_DIR = os.path.join(REPO, "build", "x86")
PRODUCT_EXE = os.path.join(PRODUCT_DIR, "setup.exe")
SAMPLE_PACKAGE = os.path.join("package", "VeltraneUsbDrivers.msi")  # under a build folder

RT_VERSION = 16
RT_MANIFEST = 24
LANG_EN_US = 1033
MSI_SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")


def project_version():
    """x.y.z from project(... VERSION x.y.z) in the top CMakeLists.txt."""
    with open(os.path.join(REPO, "CMakeLists.txt"), encoding="utf-8") as f:
        match = re.search(r"\bproject\s*\([^)]*\bVERSION\s+([0-9]+(?:\.[0-9]+)*)", f.read())
    if not match:
        raise AssertionError("no project(... VERSION x.y.z) in CMakeLists.txt")
    return match.group(1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def load_pe(path):
    if not os.path.isfile(path):
        raise AssertionError(f"{path} does not exist: build it first (make all)")
    return pefile.PE(path)


def resources(pe):
    """Every resource as {(type, name, language): bytes}; named types and
    names are str, numbered ones int."""
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found

    def key(entry):
        return entry.name.decode() if entry.name is not None else entry.id

    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                data = lang.data.struct
                found[(key(rtype), key(name), lang.id)] = pe.get_data(data.OffsetToData, data.Size)
    return found


def describe_difference(actual, expected, pe=None):
    """Why two byte strings differ, short enough for a failure message."""
    if actual == expected:
        return "identical"
    text = f"{len(actual)} bytes vs {len(expected)} expected"
    offset = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b),
                  min(len(actual), len(expected)))
    text += f", first difference at offset {offset:#x}"
    if pe is not None:
        section = pe.get_section_by_offset(offset)
        where = section.Name.rstrip(b"\0").decode() if section else "headers"
        text += f" ({where})"
    return text


def sha256(path):
    return hashlib.sha256(read(path)).hexdigest()


# The version block's texts for a launcher around a stand-in package, whose
# names no tool can read (configuring asks for them).
STAND_IN_TEXTS = ("SETUP_PRODUCT=Stand-in Drivers", "SETUP_COMPANY=Contoso")


def make_package(path, size, signature=MSI_SIGNATURE):
    """A stand-in package: the given leading bytes, then random ones."""
    data = signature + os.urandom(size - len(signature))
    with open(path, "wb") as f:
        f.write(data)
    return data


def temp_root(test_class):
    """A folder under /tmp for one test class, removed after the class."""
    root = tempfile.mkdtemp(prefix="setup-image-", dir="/tmp")
    test_class.addClassCleanup(shutil.rmtree, root, ignore_errors=True)
    return root


def run(*command, cwd=REPO):
    """Runs a command; returns (exit status, stdout and stderr together)."""
    # Bytes that are not UTF-8 (a value given that way, echoed in an error)
    # come back as the surrogate escapes they were passed in as.
    done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          encoding="utf-8", errors="surrogateescape")
    return done.returncode, done.stdout


def run_ok(*command, cwd=REPO):
    status, output = run(*command, cwd=cwd)
    if status != 0:
        raise AssertionError(f"{' '.join(command)} failed ({status}):\n{output[-4000:]}")
    return output


def configure(binary_dir, *definitions, preset="x86"):
    """cmake --preset PRESET -B DIR -DNAME=VALUE...; (status, output)."""
    return run("cmake", "--preset", preset, "-B", binary_dir,
               *(f"-D{d}" for d in definitions))


def build(binary_dir):
    return run("cmake", "--build", binary_dir, "-j", str(os.cpu_count() or 2))


def configure_and_build(binary_dir, *definitions):
    """A build that must succeed; returns the path of its setup.exe."""
    for step in (lambda: configure(binary_dir, *definitions), lambda: build(binary_dir)):
        status, output = step()
        if status != 0:
            raise AssertionError(f"building in {binary_dir} failed ({status}):\n{output[-4000:]}")
    return os.path.join(binary_dir, "setup.exe")


RT_ICON = 3
RT_GROUP_ICON = 14
DEFAULT_PRODUCT_CODE = "{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27}"
DEFAULT_PACKAGE_FILE_NAME = "VeltraneWindowsDriverInstaller.msi"


def removal_command(product_code):
    return f"msiexec.exe /x {product_code} /passive /norestart"


def utf16(text):
    """Text as the launcher holds its wide strings, with the terminating NUL."""
    return (text + "\0").encode("utf-16-le")


def msi_property(package, name):
    """A value from the package's Property table, read with msiinfo."""
    output = run_ok("msiinfo", "export", package, "Property")
    for line in output.splitlines():
        key, _, value = line.rstrip("\r").partition("\t")
        if key == name:
            return value
    raise AssertionError(f"no {name} in the Property table of {package}")


def make_msi(path, name, version, product_code, upgrade_code, manufacturer="Test"):
    """A minimal real package, built with wixl (codes braced)."""
    folder = os.path.dirname(path)
    source = os.path.join(folder, os.path.basename(path) + ".wxs")
    with open(source, "w", encoding="utf-8") as f:
        f.write(f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product_code.strip('{}')}" Name="{name}" Manufacturer="{manufacturer}"
           Language="1033"
           Version="{version}" UpgradeCode="{upgrade_code.strip('{}')}">
    <Package InstallerVersion="200" Compressed="yes" />
    <Directory Id="TARGETDIR" Name="SourceDir" />
  </Product>
</Wix>
""")
    run_ok("wixl", "-o", path, source)
    return path


IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP = 0x0400
IMAGE_FILE_NET_RUN_FROM_SWAP = 0x0800


def finished_image_problems(pe):
    """What the post-link step should have left and did not: both
    run-from-swap flags in the COFF Characteristics, and a header checksum
    that matches the file."""
    problems = []
    flags = pe.FILE_HEADER.Characteristics
    for name, bit in (("NET_RUN_FROM_SWAP", IMAGE_FILE_NET_RUN_FROM_SWAP),
                      ("REMOVABLE_RUN_FROM_SWAP", IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP)):
        if not flags & bit:
            problems.append(f"Characteristics {flags:#06x} lacks IMAGE_FILE_{name} ({bit:#06x})")
    stored, computed = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    if stored != computed:
        problems.append(f"header checksum is {stored:#x}, the file's is {computed:#x}")
    return problems


def version_nodes(data, offset, end):
    """The nodes of a VS_VERSIONINFO tree between two offsets, each as
    (key, value bytes, offset of its children, offset of its end)."""
    while offset + 6 <= end:
        length = struct.unpack_from("<H", data, offset)[0]
        if length < 6:
            raise AssertionError(f"version block node at {offset:#x} is {length} bytes long")
        node_end = offset + length
        key_end = offset + 6
        while key_end < node_end and data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[offset + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        value_length, kind = struct.unpack_from("<HH", data, offset + 2)
        size = value_length * 2 if kind == 1 else value_length
        yield key, data[value:value + size], (value + size + 3) & ~3, node_end
        offset = (node_end + 3) & ~3


def string_file_info(pe):
    """The version block's texts, {name: text}, decoded from the RT_VERSION
    resource's UTF-16 as Windows reads them (strictly: a text stored as
    something else than UTF-16 fails here)."""
    blocks = [data for key, data in resources(pe).items() if key[0] == RT_VERSION]
    strings = {}
    for data in blocks:
        for _, _, children, end in version_nodes(data, 0, len(data)):  # VS_VERSION_INFO
            for key, _, tables, tables_end in version_nodes(data, children, end):
                if key != "StringFileInfo":
                    continue
                for _, _, entries, entries_end in version_nodes(data, tables, tables_end):
                    for name, value, _, _ in version_nodes(data, entries, entries_end):
                        strings[name] = value.decode("utf-16-le").split("\0")[0]
    return strings


def version_block_problems(pe, version):
    """What is wrong with the version block for `version` (up to four
    numbers): the texts as given, the fixed fields padded with zeros."""
    strings = string_file_info(pe)
    problems = [f"{key} is {strings.get(key)!r}, not {version!r}"
                for key in ("FileVersion", "ProductVersion") if strings.get(key) != version]
    problems += [f"{key} is missing or empty" for key in
                 ("CompanyName", "ProductName", "FileDescription") if not strings.get(key)]
    parts = [int(p) for p in (version.split(".") + ["0"] * 4)[:4]]
    expected_ms, expected_ls = parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    if fixed is None:
        problems.append("no VS_FIXEDFILEINFO")
    else:
        for what in ("FileVersion", "ProductVersion"):
            actual = (getattr(fixed, what + "MS"), getattr(fixed, what + "LS"))
            if actual != (expected_ms, expected_ls):
                problems.append(f"fixed {what} is {actual[0] >> 16}.{actual[0] & 0xFFFF}."
                                f"{actual[1] >> 16}.{actual[1] & 0xFFFF}, not "
                                + ".".join(map(str, parts)))
    return problems


def icon_problems(found, icon_file=None):
    """What is wrong with the icon resources in `found` (from resources()):
    one icon group, each of its entries naming an RT_ICON of the size it
    gives; with `icon_file`, the images are those of that .ico file."""
    groups = [key for key in found if key[0] == RT_GROUP_ICON]
    if len(groups) != 1:
        return [f"{len(groups)} RT_GROUP_ICON resources, not 1"]
    group = found[groups[0]]
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    problems = []
    if (reserved, kind) != (0, 1) or count == 0 or len(group) != 6 + 14 * count:
        return [f"RT_GROUP_ICON header {reserved}, {kind}, {count} for {len(group)} bytes"]
    icons = {key[1]: data for key, data in found.items() if key[0] == RT_ICON}
    images = []
    for i in range(count):
        size, icon_id = struct.unpack_from("<IH", group, 6 + 14 * i + 8)
        data = icons.get(icon_id)
        if data is None:
            problems.append(f"group entry {i} names RT_ICON {icon_id}, which is missing")
        elif len(data) != size:
            problems.append(f"RT_ICON {icon_id} holds {len(data)} bytes, the group says {size}")
        else:
            images.append(data)
    if icon_file is not None and not problems:
        ico = read(icon_file)
        wanted = []
        for i in range(struct.unpack_from("<H", ico, 4)[0]):
            size, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
            wanted.append(ico[offset:offset + size])
        if sorted(images) != sorted(wanted):
            problems.append(f"the icon images are not those of {icon_file}")
    return problems


def execution_levels(manifest):
    """The requestedExecutionLevel values in a manifest's bytes."""
    return [e.get("level") for e in ET.fromstring(manifest).iter()
            if e.tag.rsplit("}", 1)[-1] == "requestedExecutionLevel"]


IMAGE_REL_BASED_ABSOLUTE = 0  # padding at the end of a block
IMAGE_REL_BASED_HIGHLOW = 3
IMAGE_REL_BASED_DIR64 = 10
IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def link_map_symbol(link_map, name):
    """The address of a symbol assigned in the linker script, from a link map."""
    with open(link_map, encoding="utf-8", errors="replace") as f:
        found = re.findall(rf"^\s*0x([0-9a-fA-F]+)\s+{re.escape(name)} = ", f.read(), re.M)
    if len(set(found)) != 1:
        raise AssertionError(f"{link_map} gives {name} {len(set(found))} addresses, not one")
    return int(found[0], 16)


def pointer_ranges(pe, link_map=None):
    """(start, end) RVAs where the image keeps pointers: every section that is
    neither code nor resources nor relocations, as far as the file fills it,
    and, for the 32-bit layout (link_map given), the constants and constructor
    lists that share .text with the code."""
    ranges = []
    for section in pe.sections:
        if (section.Characteristics & IMAGE_SCN_MEM_EXECUTE
                or section_name(section) in (".rsrc", ".reloc")):
            continue
        filled = min(section.Misc_VirtualSize, section.SizeOfRawData)
        ranges.append((section.VirtualAddress, section.VirtualAddress + filled))
    if link_map:
        base = pe.OPTIONAL_HEADER.ImageBase
        ranges.append((link_map_symbol(link_map, "___CTOR_LIST__") - base,
                       link_map_symbol(link_map, "__rt_psrelocs_end") - base))
    return ranges


def relocation_problems(pe, ranges):
    """What would break when the loader moves the image (ASLR): a base
    relocation at a place that holds no address inside the image, and an
    address inside the image, in ranges (pointer_ranges), that no relocation
    covers."""
    base, size = pe.OPTIONAL_HEADER.ImageBase, pe.OPTIONAL_HEADER.SizeOfImage
    width = 8 if pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS else 4

    def value_at(rva, size_in_bytes):
        data = pe.get_data(rva, size_in_bytes)
        return int.from_bytes(data, "little") if len(data) == size_in_bytes else None

    def where(rva):
        section = pe.get_section_by_rva(rva)
        if section is None:
            return f"{rva:#x} (in no section)"
        return f"{rva:#x} ({section_name(section)}+{rva - section.VirtualAddress:#x})"

    problems, sites = [], set()
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type == IMAGE_REL_BASED_ABSOLUTE:
                continue
            if entry.type not in (IMAGE_REL_BASED_HIGHLOW, IMAGE_REL_BASED_DIR64):
                problems.append(f"relocation of type {entry.type} at {where(entry.rva)}")
                continue
            sites.add(entry.rva)
            value = value_at(entry.rva, 4 if entry.type == IMAGE_REL_BASED_HIGHLOW else 8)
            section = pe.get_section_by_rva(entry.rva)
            if section is None or section_name(section) == ".rsrc":
                problems.append(f"relocation at {where(entry.rva)}: the loader would change bytes "
                                "that are no pointer of the program")
            elif value is None or not base <= value < base + size:
                problems.append(f"relocation at {where(entry.rva)} holds "
                                f"{value if value is None else hex(value)}, no address inside the image")
    for start, end in ranges:
        for rva in range(start, end - width + 1, width):
            value = value_at(rva, width)
            if value is not None and base <= value < base + size and rva not in sites:
                problems.append(f"{value:#x} at {where(rva)} points into the image but has no "
                                "relocation: moved, it would keep the old address")
    return problems
