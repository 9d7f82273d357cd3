"""The package copy end to end under Wine: guarded while the engine runs,
written anew over whatever stood at its path; and DLLs planted beside the
launcher, which its DLL search must not pick up."""

import glob
import os
import shutil
import unittest
from pathlib import Path

from . import session, wine
from .session import PACKAGE_NAME, SETUP

ERROR_SHARING_VIOLATION = 32


class PackageGuardChecks:
    """The guard's cases, for a TestCase whose make_prefix() gives the prefix
    (launcher at SETUP, stand-in installed) and the package it carries."""

    @classmethod
    def make_prefix(cls):
        return session.prefix(), session.PACKAGE

    @classmethod
    def setUpClass(cls):
        cls.prefix, package = cls.make_prefix()
        cls.package = package.read_bytes()

    def run_setup(self, temp_windows, probe=False):
        self.prefix.reset_standin()
        if probe:
            self.prefix.probe_packages()
        self.prefix.set_exit_code(2, 1603)  # the engine "fails": the copy stays
        return self.prefix.run(SETUP, "/q", temp=temp_windows, standin=True)

    def test_while_the_engine_runs_the_copy_can_be_read_but_not_written_renamed_or_deleted(self):
        temp_windows, temp_unix = session.fresh_temp("guard", self.prefix)
        self.assertEqual(1603, self.run_setup(temp_windows, probe=True))
        calls = self.prefix.calls()
        self.assertEqual(2, len(calls), "removal and engine ran")
        held = {"read": 0, "write": ERROR_SHARING_VIOLATION, "rename": ERROR_SHARING_VIOLATION,
                "delete": ERROR_SHARING_VIOLATION}
        for call, what in zip(calls, ("removal", "engine")):
            with self.subTest(command=what):
                self.assertEqual({PACKAGE_NAME: held}, call["probes"])
        copy = temp_unix / PACKAGE_NAME
        self.assertTrue(copy.exists(), "the copy was deleted while the engine ran")
        self.assertEqual(self.package, copy.read_bytes(), "copy intact")

    def plant_victim(self):
        """A file outside the temporary directory; returns it and its bytes."""
        victim = Path(self.prefix.unix_path("C:\\Victim")) / "important.dat"
        original = b"not the package " * 4096
        victim.parent.mkdir(exist_ok=True)
        victim.write_bytes(original)
        return victim, original

    def run_over_planted(self, plant):
        """Plants something at the package path with plant(copy, victim),
        where victim is a file outside the temporary directory, runs the
        launcher and checks that the victim is unchanged and the copy new."""
        victim, original = self.plant_victim()
        temp_windows, temp_unix = session.fresh_temp("planted", self.prefix)
        copy = temp_unix / PACKAGE_NAME
        plant(copy, victim)
        code = self.run_setup(temp_windows)
        self.assertTrue(victim.exists(), "the file a link pointed to was deleted")
        self.assertEqual(original, victim.read_bytes(), "the file a link pointed to was changed")
        self.assertEqual(1603, code)
        calls = self.prefix.calls()
        self.assertEqual(len(self.package), calls[-1]["files"].get(PACKAGE_NAME),
                         "the engine sees the whole package")
        self.assertFalse(copy.is_symlink(), "the link itself is replaced")
        self.assertEqual(self.package, copy.read_bytes())
        self.assertEqual(1, copy.stat().st_nlink, "the copy is a file of its own")

    def test_what_stood_at_the_package_path_is_replaced(self):
        # A hard link is the same file under a second name: writing into it
        # would change the file outside the temporary directory.
        cases = {
            "a file with other content": lambda copy, victim: copy.write_bytes(b"planted" * 1000),
            "a hard link to a file elsewhere": lambda copy, victim: os.link(victim, copy),
        }
        for name, plant in cases.items():
            with self.subTest(planted=name):
                self.run_over_planted(plant)

    def newer_disposition_supported(self):
        """Whether this Wine deletes a read-only file with FileDispositionInfoEx
        (DELETE | POSIX_SEMANTICS | IGNORE_READONLY_ATTRIBUTE); the error
        code it answers otherwise."""
        _, folder = session.fresh_temp("disposition probe", self.prefix)
        sample = folder / "read-only.bin"
        sample.write_bytes(b"x")
        os.chmod(sample, 0o444)
        code = self.prefix.run(f"{session.BUILD_TOOLS_WINDOWS}\\delete_posix.exe",
                               f'"{self.prefix.windows_path(str(sample))}"')
        self.assertEqual(code == 0, not sample.exists())
        return code

    def test_a_read_only_old_copy_is_replaced_where_the_system_deletes_it(self):
        # Wine 8 knows only the plain disposition (FileDispositionInfoEx is
        # refused with 87), which refuses a read-only file (5): the run then
        # ends before anything is started and the old copy stays.
        probe = self.newer_disposition_supported()
        temp_windows, temp_unix = session.fresh_temp("read-only", self.prefix)
        copy = temp_unix / PACKAGE_NAME
        copy.write_bytes(b"old read-only copy")
        os.chmod(copy, 0o444)
        code = self.run_setup(temp_windows)
        if probe == 0:
            self.assertEqual(1603, code)
            self.assertEqual(self.package, copy.read_bytes())
            self.assertEqual(len(self.package), self.prefix.calls()[-1]["files"][PACKAGE_NAME])
        else:
            self.assertEqual(87, probe, "the class is refused as unknown")
            self.assertEqual(4294967295, code)
            self.assertEqual([], self.prefix.calls())
            self.assertEqual(b"old read-only copy", copy.read_bytes())

    def test_a_symbolic_link_at_the_package_path_is_never_followed(self):
        # Wine 8 shows a Unix symbolic link as the file it points to (no
        # reparse attribute, FILE_FLAG_OPEN_REPARSE_POINT opens the target),
        # and deleting it by name deletes the target. Windows deletes a link
        # itself and the run goes on; here the launcher sees that the entry
        # resolves outside its folder and refuses the run instead.
        victim, original = self.plant_victim()
        temp_windows, temp_unix = session.fresh_temp("symlink", self.prefix)
        copy = temp_unix / PACKAGE_NAME
        os.symlink(victim, copy)
        code = self.run_setup(temp_windows)
        self.assertTrue(victim.exists(), "the file the link pointed to was deleted")
        self.assertEqual(original, victim.read_bytes(), "the file the link pointed to was changed")
        self.assertEqual(4294967295, code)
        self.assertEqual([], self.prefix.calls(), "no engine command on a refused copy")
        self.assertTrue(copy.is_symlink() and os.readlink(copy) == str(victim))

    def test_a_dangling_link_at_the_package_path_creates_nothing_where_it_points(self):
        # A link to a file that does not exist yet, say in a start-up folder:
        # following it would create that file. Refusing the run is as good as
        # replacing the link; creating the target is not.
        target = Path(self.prefix.unix_path("C:\\Victim")) / "created-through-link.exe"
        target.parent.mkdir(exist_ok=True)
        if target.exists():
            target.unlink()
        temp_windows, temp_unix = session.fresh_temp("dangling", self.prefix)
        copy = temp_unix / PACKAGE_NAME
        os.symlink(target, copy)
        code = self.run_setup(temp_windows)
        self.assertFalse(target.exists(), f"the launcher created the link's target (exit {code})")
        self.assertIn(code, (1603, 4294967295))
        if code == 1603:
            self.assertFalse(copy.is_symlink())
            self.assertEqual(self.package, copy.read_bytes())


class PackageGuard(PackageGuardChecks, unittest.TestCase):
    pass


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"), "needs Xvfb and xdotool")
class DllPlanting(unittest.TestCase):
    # System DLLs that the usage message box makes Wine 8 load after the
    # launcher's entry has hardened the DLL search (seen with
    # WINEDEBUG=+loaddll). imm32.dll also loads, but already while user32.dll
    # is set up, before any code of the launcher runs.
    LOADED_BY_NAME = ("uxtheme", "comctl32")
    # Not checked: Wine 8 resolves delay-loaded imports of its own DLLs
    # (ole32.dll and msimg32.dll, delay-loaded by the message box's DLLs)
    # and their imports (combase.dll, rpcrt4.dll) with the default search,
    # which starts in the executable's folder whatever
    # SetDefaultDllDirectories said; Windows applies the default
    # directories to them too, so what Wine shows there is Wine's own.
    DELAY_LOADED = ("ole32", "combase", "rpcrt4", "msimg32")
    FOLDER = "C:\\Users\\Ann\\Planted"

    @classmethod
    def setUpClass(cls):
        cls.prefix = session.prefix()
        cls.control = cls.FOLDER + "\\dll_search_control.exe"
        cls.setup = cls.FOLDER + "\\setup.exe"
        cls.prefix.put_file(session.TOOLS / "dll_search_control.exe", cls.control)
        cls.prefix.put_file(session.LAUNCHER, cls.setup)

    def markers(self):
        found = {}
        for path in glob.glob(os.path.join(self.prefix.unix_path(wine.STANDIN_WINDOWS_DIR),
                                           "planted-*.txt")):
            name = os.path.basename(path)[len("planted-"):-len(".txt")]
            found[name.lower()] = Path(path).read_text(encoding="utf-8")
        return found

    def planted(self, names):
        """Plants the marker DLL under each name (and only those) beside the
        launcher; returns the Wine overrides that make Wine take them."""
        folder = Path(self.prefix.unix_path(self.FOLDER))
        for old in folder.glob("*.dll"):
            old.unlink()
        for name in names:
            shutil.copyfile(session.TOOLS / "planted_dll.dll", folder / f"{name}.dll")
        # Native first: Wine then takes a planted copy wherever its search
        # finds one, as Windows does for a DLL that is not a known DLL.
        return {"WINEDLLOVERRIDES": ",".join(names) + "=n,b"}

    def test_the_fixture_is_picked_up_by_an_unhardened_program(self):
        names = self.LOADED_BY_NAME + self.DELAY_LOADED
        overrides = self.planted(names)
        self.prefix.reset_standin()
        self.assertEqual(0, self.prefix.run(self.control, " ".join(n + ".dll" for n in names),
                                            cwd=self.FOLDER, wine_env=overrides))
        self.assertEqual(sorted(names), sorted(self.markers()))

    def assert_not_loaded_by_the_usage_box(self, names):
        """One /? run under Xvfb per name, each with only that DLL planted:
        a planted DLL must not shadow the ones loaded through it."""
        with wine.Xvfb() as display:
            for name in names:
                with self.subTest(dll=name):
                    overrides = self.planted([name])
                    self.prefix.reset_standin()
                    job = self.prefix.start(self.setup, "/?", cwd=self.FOLDER, display=display,
                                            wine_env=overrides)
                    self.assertTrue(display.answer_message_box("setup", timeout=60),
                                    f"no usage box; saw {display.window_names()}")
                    self.assertEqual(0, job.wait(60))
                    self.assertEqual({}, self.markers(), "planted DLLs the launcher loaded")

    def test_dlls_the_usage_box_loads_by_name_are_not_taken_from_beside_the_launcher(self):
        self.assert_not_loaded_by_the_usage_box(self.LOADED_BY_NAME)



if __name__ == "__main__":
    unittest.main()
