"""The removal and engine commands, end to end under Wine with a stand-in
msiexec.exe in system32 that records each call and exits with a planned code."""

import os
import re
import unittest

from . import session
from .session import PACKAGE_NAME, REMOVAL_COMMAND, SETUP, SETUP_DIR

SYSTEM_MSIEXEC = "C:\\windows\\system32\\msiexec.exe"


class EngineCommands(unittest.TestCase):
    def setUp(self):
        self.prefix = session.prefix()
        self.prefix.reset_standin()
        self.package_size = session.PACKAGE.stat().st_size

    def test_exact_commands_in_a_temporary_directory_with_a_space(self):
        temp_windows, temp_unix = session.fresh_temp("John Smith")
        self.prefix.set_exit_code(2, 3010)
        code = self.prefix.run(SETUP, r"/q /l INSTALLDIR=C:\Drivers", temp=temp_windows, standin=True)
        self.assertEqual(3010, code)

        session.check_typical_run(self, temp_windows, temp_unix, SYSTEM_MSIEXEC)

    def test_the_engine_code_is_passed_on_and_the_package_deleted_only_after_zero(self):
        for code in (1603, 3010, 1641, 1618, 0):
            with self.subTest(code=code):
                self.prefix.reset_standin()
                temp_windows, temp_unix = session.fresh_temp("codes")
                self.prefix.set_exit_code(1, 1605)  # nothing to remove
                self.prefix.set_exit_code(2, code)
                self.assertEqual(code, self.prefix.run(SETUP, "/l", temp=temp_windows, standin=True))
                self.assertEqual(code != 0, (temp_unix / PACKAGE_NAME).exists())
                logs = [p.name for p in temp_unix.iterdir() if re.fullmatch(r"usb[0-9A-Fa-f]{1,4}\.tmp", p.name)]
                self.assertEqual(1, len(logs), "the log stays")
                self.assertEqual(2, len(self.prefix.calls()))

    def test_an_uninstall_the_removal_did_and_a_restart_it_needs_reach_the_caller(self):
        # (arguments, removal's code, engine's code, exit code, copy deleted)
        cases = (
            ("/x /q", 0, 1605, 0, True),
            ("/x /q", 1605, 1605, 1605, False),
            ("/q", 0, 1605, 1605, False),
            ("/q", 3010, 0, 3010, True),
        )
        for arguments, removal, engine, expected, deleted in cases:
            with self.subTest(arguments=arguments, removal=removal, engine=engine):
                self.prefix.reset_standin()
                temp_windows, temp_unix = session.fresh_temp("mapped")
                self.prefix.set_exit_code(1, removal)
                self.prefix.set_exit_code(2, engine)
                self.assertEqual(expected, self.prefix.run(SETUP, arguments, temp=temp_windows,
                                                           standin=True))
                self.assertEqual(REMOVAL_COMMAND,
                                 [c["command_line"] for c in self.prefix.calls()][0])
                self.assertEqual(2, len(self.prefix.calls()))
                self.assertEqual(not deleted, (temp_unix / PACKAGE_NAME).exists())

    def test_a_msiexec_planted_beside_the_launcher_is_not_run(self):
        planted = SETUP_DIR + "\\msiexec.exe"
        self.prefix.put_file(session.TOOLS / "msiexec.exe", planted)
        try:
            temp_windows, _ = session.fresh_temp("planted")
            self.prefix.run(SETUP, "/q", temp=temp_windows, cwd=SETUP_DIR, standin=True)
            calls = self.prefix.calls()
            self.assertEqual(2, len(calls))
            for call in calls:
                self.assertEqual(SYSTEM_MSIEXEC.lower(), call["self"].lower())
        finally:
            os.remove(self.prefix.unix_path(planted))

    def test_no_msiexec_at_all_ends_with_file_not_found(self):
        system_msiexec = self.prefix.unix_path(SYSTEM_MSIEXEC)
        os.rename(system_msiexec, system_msiexec + ".away")
        try:
            temp_windows, temp_unix = session.fresh_temp("no-engine")
            self.assertEqual(2, self.prefix.run(SETUP, "/q", temp=temp_windows, standin=True))
            self.assertTrue((temp_unix / PACKAGE_NAME).exists(), "package kept")
        finally:
            os.rename(system_msiexec + ".away", system_msiexec)


if __name__ == "__main__":
    unittest.main()
