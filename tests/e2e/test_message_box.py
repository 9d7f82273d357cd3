"""The launcher's message box as a real window under Xvfb: its title follows
the executable's name, and the run waits for the answer."""

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


if __name__ == "__main__":
    unittest.main()
