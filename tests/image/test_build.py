"""How the build behaves: reproducible output, a package chosen by the release
engineer, refusal of anything that is not a package, and code signing.

Each class builds the 32-bit product into its own folder under /tmp and
removes it afterwards.
"""
import os
import unittest

import pefile

from . import support


def carried_package(exe):
    pe = support.load_pe(exe)
    return pe, support.resources(pe).get(("MSI", 129, support.LANG_EN_US))


class ReproducibleBuildTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        root = support.temp_root(cls)
        # Different folders, and of different lengths, so that a build path
        # that leaks into the image shows up.
        cls.first = support.configure_and_build(os.path.join(root, "a", "x86"))
        cls.second = support.configure_and_build(os.path.join(root, "b", "other", "folder", "x86"))

    def test_two_clean_builds_in_different_folders_are_identical(self):
        # Identical as finished: the post-link step's flags and checksum included.
        problems = support.finished_image_problems(support.load_pe(self.first))
        self.assertEqual(problems, [], f"{self.first} is not the finished image")
        first, second = support.sha256(self.first), support.sha256(self.second)
        if first != second:
            self.fail(f"{self.first} and {self.second} differ: " + support.describe_difference(
                support.read(self.second), support.read(self.first), pefile.PE(self.first)))


class CustomPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        root = support.temp_root(cls)
        cls.package = os.path.join(root, "release", "Drivers.msi")
        os.makedirs(os.path.dirname(cls.package))
        cls.first_package = support.make_package(cls.package, 100 * 1024)
        cls.binary_dir = os.path.join(root, "x86")
        cls.exe = support.configure_and_build(cls.binary_dir, f"SETUP_PACKAGE={cls.package}",
                                              *support.STAND_IN_TEXTS)
        cls.first_image = support.read(cls.exe)

    def test_embeds_the_file_byte_for_byte(self):
        pe = pefile.PE(data=self.first_image)
        carried = support.resources(pe).get(("MSI", 129, support.LANG_EN_US))
        self.assertIsNotNone(carried, "no resource MSI/129/1033")
        self.assertTrue(carried == self.first_package,
                        support.describe_difference(carried, self.first_package))

    def test_follows_changes_to_the_file(self):
        second_package = support.make_package(self.package, 120 * 1024)
        status, output = support.build(self.binary_dir)
        self.assertEqual(status, 0, output[-4000:])
        _, carried = carried_package(self.exe)
        self.assertIsNotNone(carried, "no resource MSI/129/1033 after the rebuild")
        self.assertTrue(carried == second_package, "after the package changed: "
                        + support.describe_difference(carried, second_package))

        # A replacement that is no package is refused on the next build too.
        support.make_package(self.package, 4096, signature=b"MZ")
        status, output = support.build(self.binary_dir)
        self.assertNotEqual(status, 0, "built with a package that is not one:\n" + output[-2000:])
        self.assertIn(self.package, output)


class RefusalTest(unittest.TestCase):
    """Configuring stops, naming the file, when a file the build needs is wrong."""

    @classmethod
    def setUpClass(cls):
        cls.root = support.temp_root(cls)
        # One build folder for every case: only the first configure pays for
        # the compiler checks. Each case sets all the variables it relies on,
        # since the cache keeps them from the case before.
        cls.binary_dir = os.path.join(cls.root, "x86")

    def path(self, name):
        return os.path.join(self.root, name)

    def configure(self, package="", pkcs12="", password_file=""):
        return support.configure(self.binary_dir, f"SETUP_PACKAGE={package}",
                                 f"SETUP_SIGN_PKCS12={pkcs12}",
                                 f"SETUP_SIGN_PASSWORD_FILE={password_file}",
                                 *support.STAND_IN_TEXTS)

    def test_refuses_missing_or_wrong_files(self):
        good = self.path("good.msi")
        support.make_package(good, 4096)
        status, output = self.configure(package=good)
        self.assertEqual(status, 0, "a valid package must configure:\n" + output[-4000:])

        support.make_package(self.path("setup.msi"), 4096, signature=b"MZ\x90\x00")
        support.make_package(self.path("half-signature.msi"), 4, signature=b"\xd0\xcf\x11\xe0")
        support.make_package(self.path("empty.msi"), 0, signature=b"")
        os.mkdir(self.path("folder.msi"))
        support.make_package(self.path("signing.p12"), 64, signature=b"")
        support.make_package(self.path("password.txt"), 16, signature=b"")
        cases = [
            ("missing package", dict(package=self.path("absent.msi")), "absent.msi"),
            ("not a package", dict(package=self.path("setup.msi")), "setup.msi"),
            ("half a signature", dict(package=self.path("half-signature.msi")), "half-signature.msi"),
            ("empty file", dict(package=self.path("empty.msi")), "empty.msi"),
            ("folder", dict(package=self.path("folder.msi")), "folder.msi"),
            ("missing password file",
             dict(package=good, pkcs12=self.path("signing.p12"), password_file=self.path("absent.txt")),
             "absent.txt"),
            ("missing PKCS#12 file",
             dict(package=good, pkcs12=self.path("absent.p12"), password_file=self.path("password.txt")),
             "absent.p12"),
        ]
        for name, files, culprit in cases:
            with self.subTest(name):
                status, output = self.configure(**files)
                self.assertNotEqual(status, 0, "configured anyway:\n" + output[-2000:])
                self.assertIn(self.path(culprit), output, "the error must name the file")


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = support.temp_root(cls)
        keys = os.path.join(cls.root, "keys")
        os.mkdir(keys, 0o700)
        cls.cert = os.path.join(keys, "cert.pem")
        pkcs12 = os.path.join(keys, "signing.p12")
        password_file = os.path.join(keys, "password.txt")
        cls.password = "Vt " + os.urandom(12).hex()
        with open(password_file, "w", encoding="ascii") as f:
            f.write(cls.password + "\n")
        key = os.path.join(keys, "key.pem")
        support.run_ok("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                       "-keyout", key, "-out", cls.cert, "-days", "7",
                       "-subj", "/CN=Veltrane throwaway code signing",
                       "-addext", "keyUsage=critical,digitalSignature",
                       "-addext", "extendedKeyUsage=codeSigning")
        support.run_ok("openssl", "pkcs12", "-export", "-inkey", key, "-in", cls.cert,
                       "-out", pkcs12, "-passout", f"file:{password_file}")
        os.remove(key)

        cls.binary_dir = os.path.join(cls.root, "x86")
        cls.exe = support.configure_and_build(cls.binary_dir, f"SETUP_SIGN_PKCS12={pkcs12}",
                                              f"SETUP_SIGN_PASSWORD_FILE={password_file}")

    def test_signature_verifies_against_the_certificate(self):
        status, output = support.run("osslsigncode", "verify", "-CAfile", self.cert, "-in", self.exe)
        self.assertEqual(status, 0, output)
        self.assertIn("Signature verification: ok", output)
        self.assertRegex(output, r"Message digest algorithm\s*:\s*SHA256")
        self.assertNotIn("setup.exe.signing", os.listdir(self.binary_dir),
                         "the signing step left its temporary file")

    def test_signed_image_still_carries_the_package(self):
        pe, carried = carried_package(self.exe)
        # Signing comes after the post-link step and must keep what it set;
        # the certificate table changes the file, so the checksum is the
        # signer's, and must still be right.
        self.assertEqual(support.finished_image_problems(pe), [], "the signed image")
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        self.assertGreater(security.Size, 0, "no certificate table in the image")
        package = support.read(os.path.join(self.binary_dir, support.SAMPLE_PACKAGE))
        self.assertIsNotNone(carried, "no resource MSI/129/1033 in the signed image")
        self.assertTrue(carried == package, support.describe_difference(carried, package))

    def test_password_is_in_no_build_file(self):
        # Whatever the build writes may end up on a command line (and so in
        # `ps`) or in a log; the password must stay in its own file.
        secret = self.password.encode()
        leaks = []
        for folder, _, files in os.walk(self.binary_dir):
            for name in files:
                path = os.path.join(folder, name)
                if secret in support.read(path):
                    leaks.append(os.path.relpath(path, self.binary_dir))
        self.assertEqual(leaks, [], "files holding the signing password")


if __name__ == "__main__":
    unittest.main()
