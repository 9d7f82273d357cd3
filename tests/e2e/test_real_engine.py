"""The launcher with Wine's real installer engine: the sample package is
installed to a chosen folder and removed again."""

import unittest
from pathlib import Path

from . import session
from .session import PACKAGE_NAME, SETUP

INSTALLED_FILES = {"README.txt", "veltusb.cat", "veltusb.inf"}


class RealEngine(unittest.TestCase):
    def test_install_to_a_chosen_folder_then_uninstall(self):
        prefix = session.prefix()
        # The folder name with a space reaches the engine only if the launcher
        # quotes the value again (INSTALLDIR="C:\Some Dir").
        cases = [(r"INSTALLDIR=C:\SomeDir", "SomeDir"),
                 (r'"INSTALLDIR=C:\Some Dir"', "Some Dir")]
        for argument, folder in cases:
            with self.subTest(argument=argument):
                temp_windows, temp_unix = session.fresh_temp("real engine")
                target = Path(prefix.unix_path("C:\\")) / folder

                code = prefix.run(SETUP, f"/q /l {argument}", temp=temp_windows)
                self.assertEqual(0, code)
                self.assertTrue(target.is_dir(), f"nothing installed into C:\\{folder}")
                self.assertEqual(INSTALLED_FILES, {p.name for p in target.iterdir()})
                self.assertFalse((temp_unix / PACKAGE_NAME).exists(),
                                 "package copy deleted after success")
                logs = list(temp_unix.glob("usb*.tmp"))
                self.assertEqual(1, len(logs))
                self.assertGreater(logs[0].stat().st_size, 0, "the engine wrote its log")

                code = prefix.run(SETUP, "/x /q", temp=temp_windows)
                self.assertEqual(0, code)
                self.assertFalse(target.exists() and any(target.iterdir()),
                                 "installed files removed")


if __name__ == "__main__":
    unittest.main()
