"""Writing the package into the temporary directory, end to end under Wine,
with a launcher built around a package made here."""

import os
import subprocess
import time
import unittest
from pathlib import Path

from . import session
from .session import PACKAGE_NAME

SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")


class PackageStage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.package = SIGNATURE + os.urandom(300_000) + b"end"
        cls.setup = "C:\\Custom\\setup.exe"
        session.install_custom_launcher(cls, cls.setup, package_bytes=cls.package)
        cls.prefix = session.prefix()

    def run_setup(self, temp_windows, arguments="/q"):
        self.prefix.reset_standin()
        self.prefix.set_exit_code(2, 1603)  # the engine "fails": the copy stays
        return self.prefix.run(self.setup, arguments, temp=temp_windows, standin=True)

    def test_writes_the_package_byte_for_byte_also_over_a_stale_copy(self):
        temp_windows, temp_unix = session.fresh_temp("package")
        copy = temp_unix / PACKAGE_NAME
        for stale in (None, b"stale" * 100_000):
            with self.subTest(stale=stale is not None):
                if stale is not None:
                    copy.write_bytes(stale)
                self.assertEqual(1603, self.run_setup(temp_windows))
                self.assertEqual(self.package, copy.read_bytes())
                calls = self.prefix.calls()
                self.assertEqual(len(self.package), calls[1]["files"][PACKAGE_NAME],
                                 "complete when the engine starts")

    def test_a_missing_temporary_directory_ends_silently_and_writes_nothing(self):
        parent_windows, parent_unix = session.fresh_temp("missing-parent")
        before = sorted(p.name for p in Path(self.prefix.unix_path("C:\\")).iterdir())
        code = self.run_setup(parent_windows + "does not exist\\")
        self.assertEqual(4294967295, code)
        self.assertEqual([], list(parent_unix.iterdir()))
        self.assertEqual([], self.prefix.calls(), "no msiexec started")
        self.assertEqual(before, sorted(p.name for p in Path(self.prefix.unix_path("C:\\")).iterdir()))

    def test_an_old_copy_held_open_without_write_sharing_ends_with_minus_one(self):
        temp_windows, temp_unix = session.fresh_temp("held")
        copy = temp_unix / PACKAGE_NAME
        copy.write_bytes(b"old copy")
        holder = self.prefix.start(f"{session.BUILD_TOOLS_WINDOWS}\\hold_file.exe",
                                   f'"{temp_windows}{PACKAGE_NAME}" "{temp_windows}ready" '
                                   f'"{temp_windows}release"')
        try:
            deadline = time.monotonic() + 60
            while not (temp_unix / "ready").exists():
                self.assertLess(time.monotonic(), deadline, "the holder never opened the file")
                time.sleep(0.1)
            # Without a display the extraction message box returns at once.
            self.assertEqual(4294967295, self.run_setup(temp_windows))
            self.assertEqual([], self.prefix.calls())
            self.assertEqual(b"old copy", copy.read_bytes())
        finally:
            (temp_unix / "release").write_bytes(b"")
            self.assertEqual(0, holder.wait(60))


class FullDisk(unittest.TestCase):
    """The temporary folder on a file system too small for the package."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("mounting a small tmpfs needs root")
        cls.package = SIGNATURE + os.urandom(6 * 1024 * 1024) + b"end"
        cls.setup = "C:\\Custom\\big-setup.exe"
        session.install_custom_launcher(cls, cls.setup, package_bytes=cls.package)
        cls.prefix = session.prefix()

    def setUp(self):
        self.temp_windows, self.temp_unix = session.fresh_temp("full disk")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(self.temp_unix)],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", str(self.temp_unix)], check=True)

    def test_a_copy_that_does_not_fit_is_deleted_and_the_run_ends_with_minus_one(self):
        self.prefix.reset_standin()
        code = self.prefix.run(self.setup, "/q", temp=self.temp_windows, standin=True)
        self.assertEqual(4294967295, code)
        self.assertEqual([], list(self.temp_unix.iterdir()), "nothing left in the folder")
        self.assertEqual([], self.prefix.calls(), "no msiexec started")


if __name__ == "__main__":
    unittest.main()
