"""The one Wine prefix of an end-to-end test run, shared by all test modules.

Creating a prefix takes seconds and hundreds of MB, so every module asks
for the same one; it is deleted when the test process exits. The x64 build
(build/x64, `make x64`) provides the launcher, its sample package and the
helper programs.

The run of the 32-bit product (`make e2e-x86-test`) has its own prefix,
x86_prefix(): the product from build/x86 at the same SETUP path, the x64
build's runner, and a 32-bit stand-in msiexec built into build/e2e-x86-tools
(build/x86 holds the product only).
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from . import wine

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("SETUP_X64_BUILD", REPO / "build" / "x64"))
LAUNCHER = BUILD / "setup.exe"
PACKAGE = BUILD / "package" / "VeltraneUsbDrivers.msi"
TOOLS = BUILD / "tests" / "e2e" / "tools"

X86_BUILD = Path(os.environ.get("SETUP_X86_BUILD", REPO / "build" / "x86"))
X86_LAUNCHER = X86_BUILD / "setup.exe"
X86_PACKAGE = X86_BUILD / "package" / "VeltraneUsbDrivers.msi"
X86_TOOLS = REPO / "build" / "e2e-x86-tools"

PRODUCT_CODE = "{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27}"
REMOVAL_COMMAND = f"msiexec.exe /x {PRODUCT_CODE} /passive /norestart"
PACKAGE_NAME = "VeltraneWindowsDriverInstaller.msi"
SETUP_DIR = "C:\\Users\\Ann\\Downloads"
SETUP = SETUP_DIR + "\\setup.exe"
# Where the helper programs (hold_file.exe) are put in the prefix.
BUILD_TOOLS_WINDOWS = "C:\\e2e-tools"

# The launcher's message boxes: MB_OK | MB_ICONEXCLAMATION, no owner window.
MESSAGE_BOX_TYPE = 0x30

_prefix = None
# The 32-bit product's prefix of each engine (wine.WINE8, wine.WINE10).
_x86_prefixes = {}


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
        report_creation(created)
        created.put_file(LAUNCHER, SETUP)
        created.install_standin(TOOLS / "msiexec.exe")
        created.put_file(TOOLS / "hold_file.exe", BUILD_TOOLS_WINDOWS + "\\hold_file.exe")
        created.put_file(TOOLS / "delete_posix.exe", BUILD_TOOLS_WINDOWS + "\\delete_posix.exe")
        _prefix = created
    return _prefix


def x86_prefix(engine=wine.WINE8):
    """The prefix of the 32-bit product's run under engine: build/x86/setup.exe
    at SETUP, a 32-bit stand-in msiexec in syswow64 (it runs only when a run
    asks for standin=True), and hold_file.exe and 32-bit hidden_station.exe and
    delete_posix.exe in BUILD_TOOLS_WINDOWS."""
    if engine not in _x86_prefixes:
        runner = TOOLS / "e2e_runner.exe"
        for path in (X86_LAUNCHER, X86_PACKAGE, runner, TOOLS / "hold_file.exe"):
            if not path.exists():
                raise RuntimeError(f"{path} is missing: run `make x86 x64` first")
        _, standin = wine.build_tools(X86_TOOLS, machine="i686")
        station = wine.build_tool("hidden_station", X86_TOOLS, machine="i686")
        # The disposition probe in the launcher's own bitness.
        delete_posix = wine.build_tool("delete_posix", X86_TOOLS, machine="i686")
        created = wine.WinePrefix(runner, engine=engine)
        created.create()
        report_creation(created, " for the 32-bit product")
        created.put_file(X86_LAUNCHER, SETUP)
        created.install_standin(standin, bits=32)
        created.put_file(TOOLS / "hold_file.exe", BUILD_TOOLS_WINDOWS + "\\hold_file.exe")
        created.put_file(station, BUILD_TOOLS_WINDOWS + "\\hidden_station.exe")
        created.put_file(delete_posix, BUILD_TOOLS_WINDOWS + "\\delete_posix.exe")
        _x86_prefixes[engine] = created
    return _x86_prefixes[engine]


def report_creation(created, purpose=""):
    # Where a stage's time goes: a new prefix is its largest single step.
    print(f"\n[{created.engine.name} prefix{purpose}: created in "
          f"{created.creation_seconds:.1f} s]", file=sys.stderr, flush=True)


def check_typical_run(test, temp_windows, temp_unix, msiexec):
    """The stand-in's record of a typical run (/q /l INSTALLDIR=C:\\Drivers,
    the engine planned to end with 3010): the exact commands, both run from
    the system folder's `msiexec`, the package complete and the log there
    when each starts, both kept afterwards."""
    removal, engine = test.prefix.calls()
    test.assertEqual(REMOVAL_COMMAND, removal["command_line"])
    pattern = (re.escape(f'msiexec.exe /i "{temp_windows}{PACKAGE_NAME}" /l* "{temp_windows}')
               + r"(usb[0-9A-Fa-f]{1,4}\.tmp)" + re.escape(r'" /qn INSTALLDIR=C:\Drivers'))
    match = re.fullmatch(pattern, engine["command_line"])
    test.assertIsNotNone(match, engine["command_line"])
    log_name = match.group(1)
    for call in (removal, engine):
        test.assertEqual(msiexec.lower(), call["self"].lower())
        test.assertEqual(test.package_size, call["files"].get(PACKAGE_NAME),
                         "the package is complete when each command starts")
        test.assertIn(log_name, call["files"], "the log exists when each command starts")
    test.assertTrue((temp_unix / PACKAGE_NAME).exists(), "package kept after 3010")
    test.assertTrue((temp_unix / log_name).exists())


def message_box_calls(stderr):
    """(owner, text, title, type) of each MessageBoxW call in the stderr of a
    run with WINEDEBUG=+relay (see WinePrefix.set_relay_filter); owner and
    type as numbers, text and title as Wine prints them (escaped)."""
    calls = re.findall(r':Call user32\.MessageBoxW\(([0-9a-fA-F]+),[0-9a-fA-F]+ L"((?:[^"\\]|\\.)*)",'
                       r'[0-9a-fA-F]+ L"((?:[^"\\]|\\.)*)",([0-9a-fA-F]+)\)', stderr)
    return [(int(owner, 16), text, title, int(kind, 16)) for owner, text, title, kind in calls]


def fresh_temp(name, in_prefix=None):
    """A new, empty temporary directory in the prefix (by default the shared
    x64 one); its Windows path ends with a backslash, as the system's own
    temporary path does."""
    windows = f"C:\\Temp Dir\\{name}\\"
    unix = (in_prefix or prefix()).unix_path(windows)
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


def install_custom_launcher(test_class, windows_path, package=None, package_bytes=None,
                            definitions=()):
    """For a test class's setUpClass: builds an x64 launcher in a work folder
    that is removed after the class, around `package` or a package file made
    of `package_bytes`, and puts it into the shared prefix at windows_path."""
    work = Path(tempfile.mkdtemp(prefix="e2e-build-"))
    test_class.addClassCleanup(shutil.rmtree, work, ignore_errors=True)
    if package_bytes is not None:
        package = work / "custom.msi"
        package.write_bytes(package_bytes)
        # No tool can read the names of such a stand-in: configuring asks for
        # the version block's texts.
        definitions = ["SETUP_PRODUCT=Stand-in Drivers", "SETUP_COMPANY=Contoso", *definitions]
    exe = build_launcher(package, work / "build", definitions)
    prefix().put_file(exe, windows_path)
