"""The shipped 32-bit product, build/x86/setup.exe, run end to end under
32-bit Wine (`make e2e-x86-test`): the same executable users get, not the
x64 twin the other end-to-end modules run.

A 32-bit process finds msiexec.exe in the 32-bit system folder (syswow64), so
the stand-in there is a 32-bit build. Under qemu every 32-bit process start
costs time, so the checks are gathered into a few runs.
"""

import re
import shutil
import time
import unittest
from pathlib import Path

import pefile

from . import session, wine
from .session import BUILD_TOOLS_WINDOWS, PACKAGE_NAME, SETUP, SETUP_DIR

# Where Wine puts the 32-bit msiexec.exe that a 32-bit process starts from
# its system directory.
WOW64_MSIEXEC = "C:\\windows\\syswow64\\msiexec.exe"
LOG_NAME = r"usb[0-9A-Fa-f]{1,4}\.tmp"
INSTALLED_FILES = {"README.txt", "veltusb.cat", "veltusb.inf"}
# Addresses to load the moved product at, in turn until Wine starts it: under
# qemu, Wine 8 refuses a main executable below 0x68000000 (CreateProcessW
# fails with 700) whatever it holds.
MOVED_BASES = (0x70000000, 0x10000000)
IMAGE_REL_BASED_HIGHLOW = 3


def moved_image(exe, base):
    """The bytes of the 32-bit image exe as the Windows loader leaves them at
    base: each base relocation applied, and base as the address it was linked
    at, so that Wine, which loads an executable where it was linked, runs it
    there."""
    image = pefile.PE(data=Path(exe).read_bytes())
    delta = base - image.OPTIONAL_HEADER.ImageBase
    for block in image.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            if entry.type == IMAGE_REL_BASED_HIGHLOW:
                value = image.get_dword_at_rva(entry.rva)
                image.set_dword_at_rva(entry.rva, (value + delta) & 0xFFFFFFFF)
    image.OPTIONAL_HEADER.ImageBase = base
    return image.write()


class ProductChecks:
    """The product's cases, for a TestCase that names its engine."""

    engine = wine.WINE8
    # The temporary-folder function the launcher is expected to call: Wine 8
    # has no GetTempPath2W, Wine 10 has.
    temp_path_function = "GetTempPathW"

    @classmethod
    def setUpClass(cls):
        cls.prefix = session.x86_prefix(cls.engine)
        cls.package_size = session.X86_PACKAGE.stat().st_size

    def setUp(self):
        self.prefix.reset_standin()

    def test_help_and_a_rejected_line_end_with_their_codes_and_show_the_usage_box(self):
        self.prefix.set_relay_filter(["user32.MessageBoxW"])
        self.addCleanup(self.prefix.set_relay_filter, None)
        for arguments, expected in (("/?", 0), ("/i /x", 4294967294)):
            with self.subTest(arguments=arguments):
                self.prefix.reset_standin()
                temp_windows, temp_unix = session.fresh_temp("help", self.prefix)
                job = self.prefix.start(SETUP, arguments, temp=temp_windows, standin=True,
                                        wine_env={"WINEDEBUG": "+relay"})
                self.assertEqual(expected, job.wait())
                self.assertEqual([], list(temp_unix.iterdir()), "nothing written to TEMP")
                self.assertEqual([], self.prefix.calls(), "no msiexec started")
                # No owner window, an OK button and the exclamation icon; the
                # title is the executable's name.
                boxes = [(owner, text.split("\\n")[0], title, kind)
                         for owner, text, title, kind in session.message_box_calls(job.stderr)]
                self.assertEqual([(0, "Setup.exe [Optional Parameters]", "setup",
                                   session.MESSAGE_BOX_TYPE)], boxes, "one usage box")

    def test_typical_run_exact_commands_from_the_32_bit_system_folder_code_passed_on(self):
        temp_windows, temp_unix = session.fresh_temp("John Smith", self.prefix)
        self.prefix.set_exit_code(2, 3010)
        code = self.prefix.run(SETUP, r"/q /l INSTALLDIR=C:\Drivers", temp=temp_windows,
                               standin=True)
        self.assertEqual(3010, code)
        session.check_typical_run(self, temp_windows, temp_unix, WOW64_MSIEXEC)

    def test_the_temporary_folder_comes_from_the_newest_function_the_engine_has(self):
        # GetTempPath2W where the system exports it, else GetTempPathW; the
        # relay trace shows which one the launcher called.
        names = ["GetTempPath2W", "GetTempPathW"]
        self.prefix.set_relay_filter([f"{dll}.{name}" for dll in ("kernel32", "kernelbase")
                                      for name in names])
        self.addCleanup(self.prefix.set_relay_filter, None)
        # A folder that does not exist: the run ends right after the lookup,
        # before any other program could add calls to the trace.
        temp_windows, _ = session.fresh_temp("relay", self.prefix)
        job = self.prefix.start(SETUP, "/q", temp=temp_windows + "missing\\", standin=True,
                                wine_env={"WINEDEBUG": "+relay"})
        self.assertEqual(4294967295, job.wait())
        self.assertEqual([], self.prefix.calls())
        launcher = [line for line in job.stderr.splitlines()
                    if re.search(r":Call (?i:kernel32|kernelbase)\.GetTempPath2?W\(", line)]
        called = {re.search(r"\.(GetTempPath2?W)\(", line).group(1) for line in launcher}
        self.assertEqual({self.temp_path_function}, called, "\n".join(launcher[:10]))

    def test_engine_success_deletes_the_package_and_keeps_the_log(self):
        temp_windows, temp_unix = session.fresh_temp("success", self.prefix)
        self.prefix.set_exit_code(1, 1605)  # nothing to remove
        self.assertEqual(0, self.prefix.run(SETUP, "/l", temp=temp_windows, standin=True))
        self.assertEqual(2, len(self.prefix.calls()))
        left = [p.name for p in temp_unix.iterdir()]
        self.assertEqual(1, len(left), f"only the log stays: {left}")
        self.assertRegex(left[0], f"^{LOG_NAME}$")

    def test_moved_to_another_address_it_does_its_whole_job(self):
        # Windows starts the product at another address each time (ASLR) and
        # applies its base relocations; Wine loads it where it was linked. So
        # the relocations are applied here, as Windows would, and the moved
        # copy run. A pointer that lacks its relocation still holds the old
        # address, where nothing is mapped any more.
        temp_windows, temp_unix = session.fresh_temp("moved", self.prefix)
        refused = []
        for base in MOVED_BASES:
            moved = f"{SETUP_DIR}\\moved-{base:08x}.exe"
            self.prefix.write_file(moved, moved_image(session.X86_LAUNCHER, base))
            self.prefix.reset_standin()
            self.prefix.set_exit_code(2, 3010)
            job = self.prefix.start(moved, r"/q /l INSTALLDIR=C:\Drivers", temp=temp_windows,
                                    standin=True, wine_env={"WINEDEBUG": "+loaddll"})
            try:
                code = job.wait(120)
            except wine.LaunchError as error:
                refused.append(f"{base:#x}: {error}")
                continue
            except (TimeoutError, RuntimeError) as error:
                self.fail(f"the product moved to {base:#x} did not end by itself (a crash?): "
                          f"{str(error)[-3000:]}")
            self.assertRegex(job.stderr, rf'Loaded L"[^"]*moved-{base:08x}\.exe" at 0*{base:X}:',
                             "loaded where it was moved to")
            self.assertEqual(3010, code)
            session.check_typical_run(self, temp_windows, temp_unix, WOW64_MSIEXEC)
            return
        self.fail("Wine started the moved product at none of the addresses: " + "; ".join(refused))

    def test_install_and_remove_with_the_real_32_bit_engine(self):
        temp_windows, temp_unix = session.fresh_temp("real engine", self.prefix)
        # The folder name with a space reaches the engine only quoted again.
        target = Path(self.prefix.unix_path("C:\\")) / "X86 Dir"

        # A native msiexec.exe in syswow64 runs even without an override, so
        # Wine's own file goes back for this test.
        standin = self.prefix.standin_exe
        self.prefix.remove_standin()
        self.addCleanup(self.prefix.install_standin, standin, bits=32)

        job = self.prefix.start(SETUP, r'/q /l "INSTALLDIR=C:\X86 Dir"', temp=temp_windows,
                                wine_env={"WINEDEBUG": "+loaddll"})
        self.assertEqual(0, job.wait())
        # Wine's own msiexec, the 32-bit one: the engine a 32-bit launcher gets.
        self.assertRegex(job.stderr, r'Loaded L"C:\\\\windows\\\\syswow64\\\\msiexec\.exe" at '
                         r'[0-9a-fA-F]+: builtin')
        self.assertEqual(INSTALLED_FILES, {p.name for p in target.iterdir()})
        self.assertFalse((temp_unix / PACKAGE_NAME).exists(), "package copy deleted after success")
        logs = list(temp_unix.glob("usb*.tmp"))
        self.assertEqual(1, len(logs))
        self.assertGreater(logs[0].stat().st_size, 0, "the engine wrote its log")

        self.assertEqual(0, self.prefix.run(SETUP, "/x /q", temp=temp_windows))
        self.assertFalse(target.exists() and any(target.iterdir()), "installed files removed")


class ProductUnderWine(ProductChecks, unittest.TestCase):
    engine = wine.WINE8


# What a deployment tool running as LocalSystem in session 0 gives a setup
# program: a window station nobody sees. A message box there could never be
# answered, so each of these runs must end by itself.
WSF_VISIBLE = 1
HIDDEN_STATION = BUILD_TOOLS_WINDOWS + "\\hidden_station.exe"
HIDDEN_TIMEOUT = 60


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"), "needs Xvfb and xdotool")
class HiddenStationChecks:
    """The product in a window station that is not visible, under Xvfb."""

    engine = wine.WINE8

    @classmethod
    def setUpClass(cls):
        cls.prefix = session.x86_prefix(cls.engine)
        cls.package_size = session.X86_PACKAGE.stat().st_size
        cls.display = wine.Xvfb()
        cls.display.__enter__()
        cls.addClassCleanup(cls.display.__exit__)

    def setUp(self):
        self.prefix.reset_standin()

    def run_hidden(self, arguments, temp_windows, report=None):
        """Runs the product with arguments in the hidden station; returns its
        full exit code (TimeoutError, prefix processes killed, if it hangs)."""
        option = f"--report={report} " if report else ""
        job = self.prefix.start(HIDDEN_STATION, f'{option}"{SETUP}" {arguments}',
                                temp=temp_windows, standin=True, display=self.display)
        code = job.wait(HIDDEN_TIMEOUT)
        self.assertNotIn("setup", self.display.window_names(), "a box showed on the screen")
        return code

    def test_a_rejected_line_ends_by_itself_with_minus_two_in_a_station_nobody_sees(self):
        temp_windows, _ = session.fresh_temp("hidden usage", self.prefix)
        report = BUILD_TOOLS_WINDOWS + "\\station.txt"  # no blanks
        Path(self.prefix.unix_path(report)).unlink(missing_ok=True)
        self.assertEqual(4294967294, self.run_hidden("/i /x", temp_windows, report))
        self.assertEqual([], self.prefix.calls(), "no msiexec started")
        flags = int(Path(self.prefix.unix_path(report)).read_text().split()[1])
        self.assertEqual(0, flags & WSF_VISIBLE, "the station the product ran in is not visible")

    def test_an_old_copy_held_open_ends_by_itself_with_minus_one_and_no_engine(self):
        temp_windows, temp_unix = session.fresh_temp("hidden held", self.prefix)
        copy = temp_unix / PACKAGE_NAME
        copy.write_bytes(b"old copy")
        holder = self.prefix.start(f"{BUILD_TOOLS_WINDOWS}\\hold_file.exe",
                                   f'"{temp_windows}{PACKAGE_NAME}" "{temp_windows}ready" '
                                   f'"{temp_windows}release"', display=self.display)
        try:
            deadline = time.monotonic() + 60
            while not (temp_unix / "ready").exists():
                self.assertLess(time.monotonic(), deadline, "the holder never opened the file")
                time.sleep(0.1)
            self.assertEqual(4294967295, self.run_hidden("/q", temp_windows))
            self.assertEqual([], self.prefix.calls(), "no engine started")
            self.assertEqual(b"old copy", copy.read_bytes())
        finally:
            (temp_unix / "release").write_bytes(b"")
            self.assertEqual(0, holder.wait(60))

    def test_the_typical_run_does_its_whole_job_and_passes_the_engine_code_on(self):
        temp_windows, temp_unix = session.fresh_temp("hidden typical", self.prefix)
        self.prefix.set_exit_code(2, 3010)
        self.assertEqual(3010, self.run_hidden(r"/q /l INSTALLDIR=C:\Drivers", temp_windows))
        session.check_typical_run(self, temp_windows, temp_unix, WOW64_MSIEXEC)

    def test_in_the_visible_station_the_usage_box_still_appears_and_waits(self):
        job = self.prefix.start(SETUP, "/?", display=self.display)
        self.assertTrue(self.display.answer_message_box("setup", timeout=60),
                        f"no usage box; saw {self.display.window_names()}")
        self.assertEqual(0, job.wait(60))


class HiddenStationUnderWine(HiddenStationChecks, unittest.TestCase):
    engine = wine.WINE8


if __name__ == "__main__":
    unittest.main()
