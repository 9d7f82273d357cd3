"""Reading built launcher images and building them in throwaway folders."""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile

import pefile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PRODUCT_DIR = os.path.join(REPO, "build", "x86")
PRODUCT_EXE = os.path.join(PRODUCT_DIR, "setup.exe")
SAMPLE_PACKAGE = os.path.join("package", "VeltraneUsbDrivers.msi")  # under a build folder

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
    done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
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
