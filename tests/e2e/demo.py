"""make demo: the launcher on its sample package with Wine's real installer.

    /usr/bin/python3 tests/e2e/demo.py build/x86/setup.exe [ARGUMENTS...]

Creates a throwaway Wine prefix, runs setup.exe with ARGUMENTS (install),
shows its exit code, the files it installed and the engine's log, then runs
`setup.exe /x /q` and shows that the files are gone. `make demo` passes the
32-bit product, or the x64 build where 32-bit Wine cannot run.

The harness's runner is built here for the launcher's own bitness, so that
the demo of the 32-bit product needs only the 32-bit cross compiler (one
package set less to install on a new machine).
"""

import os
import struct
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from tests.e2e import session, wine  # noqa: E402

# The PE machine field's values and the cross compilers that build for them.
MACHINES = {0x14C: "i686", 0x8664: "x86_64"}

TEMP = "C:\\users\\demo\\Temp\\"
PACKAGE_FILE = "veltusb.inf"  # one of the files the sample package installs


def installed_folders(drive_c):
    return sorted({path.parent for path in drive_c.rglob(PACKAGE_FILE)})


def pe_machine(exe):
    with open(exe, "rb") as f:
        header = f.read(4096)
    (offset,) = struct.unpack_from("<I", header, 0x3C)
    (machine,) = struct.unpack_from("<H", header, offset + 4)
    return machine


def describe(code):
    meanings = {0: "success", 1602: "cancelled", 1603: "fatal error", 1605: "not installed",
                1618: "another install running", 1641: "success, restart started",
                3010: "success, restart needed", 4294967294: "rejected command line",
                4294967295: "could not write the package"}
    return f"{code} ({meanings.get(code, 'see the README')})"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    arguments = " ".join(sys.argv[2:])
    machine = MACHINES[pe_machine(sys.argv[1])]
    runner, _ = wine.build_tools(REPO / "build" / f"demo-tools-{machine}", machine=machine)
    print("Creating a throwaway Wine prefix (a few seconds)...", flush=True)
    prefix = wine.WinePrefix(runner)
    prefix.create()
    drive_c = Path(prefix.unix_path("C:\\"))
    prefix.put_file(sys.argv[1], session.SETUP)
    temp_unix = Path(prefix.mkdir(TEMP))

    print(f"\n> {session.SETUP} {arguments}")
    code = prefix.run(session.SETUP, arguments, temp=TEMP)
    print(f"exit code: {describe(code)}")
    for folder in installed_folders(drive_c):
        print(f"installed into {prefix.windows_path(folder)}:")
        for item in sorted(folder.iterdir()):
            print(f"    {item.name:14} {item.stat().st_size:6} bytes")
    for log in sorted(temp_unix.glob("usb*.tmp")):
        print(f"engine log: {prefix.windows_path(log)} ({log.stat().st_size} bytes)"
              f"  [Unix: {log}]")
    left = (temp_unix / session.PACKAGE_NAME).exists()
    print(f"package copy {'kept' if left else 'deleted'}: {TEMP}{session.PACKAGE_NAME}")

    print(f"\n> {session.SETUP} /x /q")
    code = prefix.run(session.SETUP, "/x /q", temp=TEMP)
    print(f"exit code: {describe(code)}")
    remaining = installed_folders(drive_c)
    print("installed files removed" if not remaining else
          f"files still installed in {[prefix.windows_path(f) for f in remaining]}")
    if os.environ.get("KEEP_PREFIX"):
        print(f"\nprefix kept at {prefix.path}")
        prefix.path = None
    else:
        print("\nThe prefix is deleted now; set KEEP_PREFIX=1 to keep it.")
    prefix.close()


if __name__ == "__main__":
    main()
