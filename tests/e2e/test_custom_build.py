"""A launcher built around another product (its own removal code and package
file name), end to end under Wine with the stand-in msiexec. The default
build's exact removal command is checked in test_engine.py."""

import unittest

from . import session

# Given in lower case: the launcher names it as the engine writes it.
PREVIOUS_CODE = "{0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9}"
FILE_NAME = "Contoso Tools Setup.msi"


class CustomBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.setup = "C:\\CustomBuild\\setup.exe"
        session.install_custom_launcher(cls, cls.setup, package=session.PACKAGE, definitions=[
            f"SETUP_PREVIOUS_PRODUCT_CODE={PREVIOUS_CODE}", f"SETUP_PACKAGE_FILE_NAME={FILE_NAME}"])
        cls.prefix = session.prefix()

    def test_removes_the_chosen_code_and_installs_from_the_chosen_file_name(self):
        package = session.PACKAGE.read_bytes()
        for operation in ("/i", "/x"):
            with self.subTest(operation=operation):
                self.prefix.reset_standin()
                self.prefix.set_exit_code(2, 1603)  # the engine "fails": the copy stays
                temp_windows, temp_unix = session.fresh_temp("custom")
                code = self.prefix.run(self.setup, f"{operation} /q", temp=temp_windows, standin=True)
                self.assertEqual(1603, code)

                removal, engine = self.prefix.calls()
                self.assertEqual(f"msiexec.exe /x {PREVIOUS_CODE.upper()} /passive /norestart",
                                 removal["command_line"])
                self.assertEqual(f'msiexec.exe {operation} "{temp_windows}{FILE_NAME}" /qn',
                                 engine["command_line"])
                for call in (removal, engine):
                    self.assertEqual({FILE_NAME: len(package)}, call["files"],
                                     "only the copy, complete, when each command starts")
                self.assertEqual(package, (temp_unix / FILE_NAME).read_bytes())


if __name__ == "__main__":
    unittest.main()
