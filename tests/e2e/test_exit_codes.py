"""The run's exit code from the removal's and the engine's, end to end under
Wine with the stand-in msiexec.exe (call 1: the removal, call 2: the engine).
Wine's own engines answer 0 where Windows answers 1605 to the engine's /x
after the removal took the product, so only the stand-in shows these cases."""

import unittest

from . import session
from .session import PACKAGE_NAME, SETUP


class SettledExitCode(unittest.TestCase):
    def setUp(self):
        self.prefix = session.prefix()

    def test_the_removal_and_the_engine_settle_the_exit_code(self):
        cases = (
            # The removal took the product the uninstall was to remove.
            ("/x /q", 0, 1605, 0),
            # Nothing installed: both find nothing, and say so.
            ("/x /q", 1605, 1605, 1605),
            # An install that finds no product is a failure.
            ("/q", 0, 1605, 1605),
            # A restart that finishing the removal needs reaches the caller.
            ("/q", 3010, 0, 3010),
        )
        for arguments, removal, engine, expected in cases:
            with self.subTest(arguments=arguments, removal=removal, engine=engine):
                self.prefix.reset_standin()
                temp_windows, temp_unix = session.fresh_temp("exit-codes")
                self.prefix.set_exit_code(1, removal)
                self.prefix.set_exit_code(2, engine)
                code = self.prefix.run(SETUP, arguments, temp=temp_windows, standin=True)
                self.assertEqual(expected, code)
                self.assertEqual(2, len(self.prefix.calls()))
                # The copy goes after a run that succeeded, whichever command
                # did the work; it stays after a failure.
                self.assertEqual(expected not in (0, 3010), (temp_unix / PACKAGE_NAME).exists())


if __name__ == "__main__":
    unittest.main()
