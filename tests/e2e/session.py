"""The one Wine prefix of an end-to-end test run, shared by all test modules.

Creating a prefix takes seconds and hundreds of MB, so every module asks
for the same one; it is deleted when the test process exits. The x64 build
(build/x64, `make x64`) provides the launcher, its sample package and the
helper programs.
"""

import os
import shutil
import subprocess
from pathlib import Path

from . import wine

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("SETUP_X64_BUILD", REPO / "build" / "x64"))
LAUNCHER = BUILD / "setup.exe"
PACKAGE = BUILD / "package" / "VeltraneUsbDrivers.msi"
TOOLS = BUILD / "tests" / "e2e" / "tools"

PRODUCT_CODE = "{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27}"
REMOVAL_COMMAND = f"msiexec.exe /x {PRODUCT_CODE} /passive"
PACKAGE_NAME = "VeltraneWindowsDriverInstaller.msi"
SETUP_DIR = "C:\\Users\\Ann\\Downloads"
SETUP = SETUP_DIR + "\\setup.exe"
# Where the helper programs (hold_file.exe) are put in the prefix.
BUILD_TOOLS_WINDOWS = "C:\\e2e-tools"

_prefix = None


def prefix():
    """The shared prefix, with the launcher at SETUP and the stand-in
    msiexec installed (it runs only when a run asks for standin=True)."""
    global _prefix
    if _prefix is None:
        for path in (LAUNCHER, PACKAGE, TOOLS / "e2e_runner.exe", TOOLS / "msiexec.exe"):
            if not path.exists():
                raise RuntimeError(f"{path} is missing: run `make x64` first")
        created = wine.WinePrefix(TOOLS / "e2e_runner.exe")
        created.create()
        created.put_file(LAUNCHER, SETUP)
        created.install_standin(TOOLS / "msiexec.exe")
        created.put_file(TOOLS / "hold_file.exe", BUILD_TOOLS_WINDOWS + "\\hold_file.exe")
        _prefix = created
    return _prefix


def fresh_temp(name):
    """A new, empty temporary directory in the prefix; its Windows path ends
    with a backslash, as the system's own temporary path does."""
    windows = f"C:\\Temp Dir\\{name}\\"
    unix = prefix().unix_path(windows)
    shutil.rmtree(unix, ignore_errors=True)
    os.makedirs(unix)
    return windows, Path(unix)


def build_launcher(package, build_dir, definitions=()):
    """Builds the x64 launcher around `package` into build_dir, with further
    cache definitions ("NAME=value") if given; returns the exe."""
    subprocess.run(["cmake", "--preset", "x64", "-B", str(build_dir), f"-DSETUP_PACKAGE={package}",
                    *(f"-D{d}" for d in definitions)],
                   cwd=REPO, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "setup"], cwd=REPO,
                   check=True, stdout=subprocess.DEVNULL)
    return Path(build_dir) / "setup.exe"
