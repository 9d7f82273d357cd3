"""The shipped 32-bit product, build/x86/setup.exe, run end to end under
32-bit Wine (`make e2e-x86-test`): the same executable users get, not the
x64 twin the other end-to-end modules run.

A 32-bit process finds msiexec.exe in the 32-bit system folder (syswow64), so
the stand-in there is a 32-bit build. Under qemu every 32-bit process start
costs time, so the checks are gathered into a few runs.
"""

import re
import unittest
from pathlib import Path

from . import session
from .session import PACKAGE_NAME, REMOVAL_COMMAND, SETUP

# Where Wine puts the 32-bit msiexec.exe that a 32-bit process starts from
# its system directory.
WOW64_MSIEXEC = "C:\\windows\\syswow64\\msiexec.exe"
LOG_NAME = r"usb[0-9A-Fa-f]{1,4}\.tmp"
INSTALLED_FILES = {"README.txt", "veltusb.cat", "veltusb.inf"}


class ProductUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = session.x86_prefix()
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

        removal, engine = self.prefix.calls()
        self.assertEqual(REMOVAL_COMMAND, removal["command_line"])
        pattern = (re.escape(f'msiexec.exe /i "{temp_windows}{PACKAGE_NAME}" /l* "{temp_windows}')
                   + f"({LOG_NAME})" + re.escape(r'" /qn INSTALLDIR=C:\Drivers'))
        match = re.fullmatch(pattern, engine["command_line"])
        self.assertIsNotNone(match, engine["command_line"])
        log_name = match.group(1)
        for call in (removal, engine):
            self.assertEqual(WOW64_MSIEXEC.lower(), call["self"].lower())
            self.assertEqual(self.package_size, call["files"].get(PACKAGE_NAME),
                             "the package is complete when each command starts")
            self.assertIn(log_name, call["files"], "the log exists when each command starts")
        self.assertTrue((temp_unix / PACKAGE_NAME).exists(), "package kept after 3010")
        self.assertTrue((temp_unix / log_name).exists())

    def test_engine_success_deletes_the_package_and_keeps_the_log(self):
        temp_windows, temp_unix = session.fresh_temp("success", self.prefix)
        self.prefix.set_exit_code(1, 1605)  # nothing to remove
        self.assertEqual(0, self.prefix.run(SETUP, "/l", temp=temp_windows, standin=True))
        self.assertEqual(2, len(self.prefix.calls()))
        left = [p.name for p in temp_unix.iterdir()]
        self.assertEqual(1, len(left), f"only the log stays: {left}")
        self.assertRegex(left[0], f"^{LOG_NAME}$")

    def test_install_and_remove_with_the_real_32_bit_engine(self):
        temp_windows, temp_unix = session.fresh_temp("real engine", self.prefix)
        target = Path(self.prefix.unix_path("C:\\")) / "X86Dir"

        # A native msiexec.exe in syswow64 runs even without an override, so
        # Wine's own file goes back for this test.
        standin = self.prefix.standin_exe
        self.prefix.remove_standin()
        self.addCleanup(self.prefix.install_standin, standin, bits=32)

        job = self.prefix.start(SETUP, r"/q /l INSTALLDIR=C:\X86Dir", temp=temp_windows,
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


if __name__ == "__main__":
    unittest.main()
