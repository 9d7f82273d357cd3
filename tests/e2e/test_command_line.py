"""The launcher's command line, end to end on the x64 executable under Wine:
help and rejected lines end at once with their codes and touch nothing;
long and non-ASCII lines reach the engine intact."""

import unittest

from . import session
from .session import PACKAGE_NAME, REMOVAL_COMMAND, SETUP


class HelpAndRejectedLines(unittest.TestCase):
    def test_help_and_install_with_uninstall_end_with_their_codes_and_write_nothing(self):
        prefix = session.prefix()
        cases = [
            ("/?", 0),
            ("/i /x", 4294967294),
            ("/? /x", 0),
            ("/i /x /?", 4294967294),
            ("-X /I /q /l A=1", 4294967294),
        ]
        for arguments, expected in cases:
            with self.subTest(arguments=arguments):
                prefix.reset_standin()
                temp_windows, temp_unix = session.fresh_temp("help")
                code = prefix.run(SETUP, arguments, temp=temp_windows, standin=True)
                self.assertEqual(expected, code)
                self.assertEqual([], list(temp_unix.iterdir()), "nothing written to TEMP")
                self.assertEqual([], prefix.calls(), "no msiexec started")


class LinesThatRun(unittest.TestCase):
    def test_a_32000_character_line_with_non_ascii_text_reaches_the_engine(self):
        prefix = session.prefix()
        prefix.reset_standin()
        prefix.set_exit_code(2, 1603)  # keep it short: the package stays
        temp_windows, _ = session.fresh_temp("long")
        # The whole launcher command line stays within the system's 32767
        # characters; the engine command it builds must fit too.
        properties = []
        while sum(len(p) + 1 for p in properties) < 26000:
            properties.append(f"P{len(properties)}=\u00c5sa\u4e2d{len(properties)}")
        quoted = '"NOTE=caf\u00e9 \u00fcber"'
        arguments = "/q " + " ".join(properties) + " " + quoted + " /unknown"
        while len(arguments) + len(SETUP) + 3 < 32000:
            arguments += " ignored"
        code = prefix.run(SETUP, arguments, temp=temp_windows, standin=True)
        self.assertEqual(1603, code)
        calls = prefix.calls()
        self.assertEqual(REMOVAL_COMMAND, calls[0]["command_line"])
        engine = calls[1]["command_line"]
        self.assertTrue(engine.endswith(" /qn " + " ".join(properties) + ' NOTE="caf\u00e9 \u00fcber"'),
                        engine[-200:])

    def test_an_engine_command_that_quoting_makes_too_long_ends_with_206_before_the_removal(self):
        prefix = session.prefix()
        prefix.reset_standin()
        temp_windows, temp_unix = session.fresh_temp("too long")
        # Inside a quoted argument "" is one literal quote; the engine gets
        # each quote doubled, so this line fits and the engine's would not.
        quotes = (32766 - len(f'"{SETUP}" "A="')) // 2
        arguments = '"A=' + '""' * quotes + '"'
        self.assertLessEqual(len(f'"{SETUP}" {arguments}'), 32766)
        engine_head = f'msiexec.exe /i "{temp_windows}{PACKAGE_NAME}"  A="'
        self.assertGreater(len(engine_head) + 2 * quotes + 1, 32766)
        code = prefix.run(SETUP, arguments, temp=temp_windows, standin=True)
        self.assertEqual(206, code)
        self.assertEqual([], prefix.calls(), "neither the removal nor the engine ran")
        self.assertTrue((temp_unix / PACKAGE_NAME).exists(), "the package copy stays")


if __name__ == "__main__":
    unittest.main()
