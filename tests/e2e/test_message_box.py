"""The launcher's message box: as a real window under Xvfb its title follows
the executable's name and the run waits for the answer; Wine's relay trace
shows the flags it is asked for."""

import shutil
import unittest

from . import session, wine


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"), "needs Xvfb and xdotool")
class MessageBox(unittest.TestCase):
    def test_a_copy_named_install_shows_a_box_titled_install_and_waits_for_it(self):
        prefix = session.prefix()
        install = session.SETUP_DIR + "\\Install.exe"
        prefix.put_file(session.LAUNCHER, install)
        with wine.Xvfb() as display:
            job = prefix.start(install, "/?", display=display)
            self.assertTrue(display.answer_message_box("Install", timeout=60),
                            f"no window titled Install; saw {display.window_names()}")
            self.assertEqual(0, job.wait(60))


class MessageBoxFlags(unittest.TestCase):
    def test_the_usage_box_has_no_owner_an_ok_button_and_the_exclamation_icon(self):
        prefix = session.prefix()
        prefix.set_relay_filter(["user32.MessageBoxW"])
        self.addCleanup(prefix.set_relay_filter, None)
        for arguments, expected in (("/?", 0), ("/i /x", 4294967294)):
            with self.subTest(arguments=arguments):
                temp_windows, _ = session.fresh_temp("box flags")
                job = prefix.start(session.SETUP, arguments, temp=temp_windows,
                                   wine_env={"WINEDEBUG": "+relay"})
                self.assertEqual(expected, job.wait())
                boxes = [(owner, text.split("\\n")[0], title, kind)
                         for owner, text, title, kind in session.message_box_calls(job.stderr)]
                self.assertEqual([(0, "Setup.exe [Optional Parameters]", "setup",
                                   session.MESSAGE_BOX_TYPE)], boxes, "one usage box")


if __name__ == "__main__":
    unittest.main()
