"""The product options (SETUP_PREVIOUS_PRODUCT_CODE, SETUP_PACKAGE_FILE_NAME,
SETUP_ICON, SETUP_EXECUTION_LEVEL, SETUP_VERSION, the version block's texts)
and the package facts read at configure time: which values configure and what
they write, which are refused, and launchers built around a package of their
own, with every option set and with none, read from their bytes.
"""
import os
import re
import struct
import unittest

import pefile

from . import support

OTHER_CODE = "{2B9F4E10-3C5D-4A6B-8E7F-90A1B2C3D4E5}"
OTHER_UPGRADE_CODE = "{7C8D9E0F-1A2B-4C3D-9E5F-A6B7C8D9E0F1}"
EARLIER_CODE = "{0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9}"
MAKE_ICON = os.path.join(support.REPO, "installer", "setup", "resources", "make-icon.py")


def one_image_icon(path, colour=b"\x20\x40\xc0\xff", header=None, entry=None):
    """A 16x16 32-bit icon of one colour; `header` and `entry` replace the
    ICONDIR header and its one entry, to make broken ones."""
    pixels = colour * 256 + b"\0" * 64  # colour rows, then the AND mask
    image = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, len(pixels), 0, 0, 0, 0) + pixels
    header = struct.pack("<HHH", 0, 1, 1) if header is None else header
    entry = struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(image), 22) if entry is None else entry
    with open(path, "wb") as f:
        f.write(header + entry + image)
    return path


def flat(text):
    """Text with every run of blanks as one space: CMake wraps its messages."""
    return " ".join(text.split())


def generated(binary_dir, name):
    with open(os.path.join(binary_dir, "generated", name), encoding="utf-8") as f:
        return f.read()


class ConfigureTest(unittest.TestCase):
    """Configure runs only, all in one build folder: only the first pays for
    the compiler checks. Each run sets every option, since the cache keeps
    them from the run before."""

    DEFAULTS = dict(SETUP_PACKAGE="", SETUP_PREVIOUS_PRODUCT_CODE=support.DEFAULT_PRODUCT_CODE,
                    SETUP_PACKAGE_FILE_NAME=support.DEFAULT_PACKAGE_FILE_NAME, SETUP_ICON="",
                    SETUP_EXECUTION_LEVEL="asInvoker", SETUP_VERSION="", SETUP_PRODUCT="",
                    SETUP_COMPANY="", SETUP_DESCRIPTION="")

    @classmethod
    def setUpClass(cls):
        cls.root = support.temp_root(cls)
        cls.binary_dir = os.path.join(cls.root, "x86")
        cls.icon = os.path.join(cls.root, "drawn.ico")
        support.run_ok("/usr/bin/python3", MAKE_ICON, cls.icon)
        cls.package = support.make_msi(os.path.join(cls.root, "Contoso.msi"), "Contoso Tools",
                                       "3.1.4", OTHER_CODE, OTHER_UPGRADE_CODE,
                                       manufacturer="Contoso Ltd")

    def path(self, name):
        return os.path.join(self.root, name)

    def configure(self, **options):
        values = dict(self.DEFAULTS, **options)
        return support.configure(self.binary_dir, *(f"{k}={v}" for k, v in values.items()))

    def configure_ok(self, **options):
        status, output = self.configure(**options)
        self.assertEqual(status, 0, f"{options} must configure:\n{output[-3000:]}")
        return output

    def test_good_values_configure_and_reach_the_generated_files(self):
        lower = "{5e2a8c41-7b03-4d6f-9a12-c83f0e6b4d2f}"
        # (options, text expected in setup_product.h, setup.manifest and setup_build.h)
        # 100 and 128 characters of three bytes each: more than 255 bytes.
        euros_100, euros_128 = "€" * 96 + ".msi", "€" * 124 + ".msi"
        cases = [
            # The sample build's version texts stay the sample product's.
            (dict(), [f'L"{support.DEFAULT_PRODUCT_CODE}"', f'L"{support.DEFAULT_PACKAGE_FILE_NAME}"'],
             'level="asInvoker"', ['SETUP_PRODUCT "Veltrane USB Drivers"', 'SETUP_COMPANY "Veltrane"',
                                   'SETUP_DESCRIPTION "Veltrane USB Drivers Setup"']),
            (dict(SETUP_PREVIOUS_PRODUCT_CODE=EARLIER_CODE), [f'L"{EARLIER_CODE}"'], None, []),
            # Lower-case hex names the same code; it is written as the engine writes it.
            (dict(SETUP_PREVIOUS_PRODUCT_CODE=lower), [f'L"{lower.upper()}"'], None, []),
            (dict(SETUP_PACKAGE_FILE_NAME="Contoso Tools Setup.MSI"), ['L"Contoso Tools Setup.MSI"'],
             None, []),
            (dict(SETUP_PACKAGE_FILE_NAME="Nullsoft.msi"), ['L"Nullsoft.msi"'], None, []),
            (dict(SETUP_PACKAGE_FILE_NAME="Ünïcode-1.2_(x86).msi"), ['L"Ünïcode-1.2_(x86).msi"'],
             None, []),
            (dict(SETUP_PACKAGE_FILE_NAME=euros_100), [f'L"{euros_100}"'], None, []),
            (dict(SETUP_PACKAGE_FILE_NAME=euros_128), [f'L"{euros_128}"'], None, []),
            # A tilde before anything but a digit is no short name.
            (dict(SETUP_PACKAGE_FILE_NAME="Setup~x.msi"), ['L"Setup~x.msi"'], None, []),
            (dict(SETUP_EXECUTION_LEVEL="highestAvailable"), [], 'level="highestAvailable"', []),
            (dict(SETUP_EXECUTION_LEVEL="requireAdministrator"), [], 'level="requireAdministrator"',
             []),
            (dict(SETUP_ICON=self.icon), [], None, [f'SETUP_ICON_FILE "{self.icon}"']),
            (dict(SETUP_ICON=one_image_icon(self.path("one.ico"))), [], None, []),
            (dict(SETUP_VERSION="2"), [], None,
             ['SETUP_VERSION_TEXT "2"', "SETUP_VERSION_MAJOR 2", "SETUP_VERSION_TWEAK 0"]),
            (dict(SETUP_VERSION="65535.0.007.65535"), [], None,
             ["SETUP_VERSION_MAJOR 65535", "SETUP_VERSION_PATCH 7", "SETUP_VERSION_TWEAK 65535"]),
            # The description follows the product name given, not the sample's.
            (dict(SETUP_PRODUCT="Foo"), [], None,
             ['SETUP_PRODUCT "Foo"', 'SETUP_DESCRIPTION "Foo Setup"', 'SETUP_COMPANY "Veltrane"']),
            (dict(SETUP_COMPANY="Müller GmbH", SETUP_DESCRIPTION="Gerätetreiber-Installation"), [],
             None, ['SETUP_COMPANY "Müller GmbH"', 'SETUP_DESCRIPTION "Gerätetreiber-Installation"',
                    'SETUP_PRODUCT "Veltrane USB Drivers"']),
        ]
        for options, product, manifest, build in cases:
            with self.subTest(**options):
                self.configure_ok(**options)
                for text in product:
                    self.assertIn(text, generated(self.binary_dir, "setup_product.h"))
                if manifest:
                    self.assertIn(manifest, generated(self.binary_dir, "setup.manifest"))
                for text in build:
                    self.assertIn(text, generated(self.binary_dir, "setup_build.h"))

    def test_bad_values_are_refused_naming_the_variable_and_the_value(self):
        broken_icons = {
            "text.ico": b"not an icon at all, but long enough to be one",
            "cursor.ico": struct.pack("<HHH", 0, 2, 1),
            "no-images.ico": struct.pack("<HHH", 0, 1, 0),
            "reserved.ico": struct.pack("<HHH", 1, 1, 1),
        }
        for name, header in broken_icons.items():
            one_image_icon(self.path(name), header=header)
        # Entries whose image lies outside the file, or is empty.
        one_image_icon(self.path("past-end.ico"),
                       entry=struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, 5000, 22))
        one_image_icon(self.path("inside-directory.ico"),
                       entry=struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, 100, 2))
        one_image_icon(self.path("empty-image.ico"),
                       entry=struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, 0, 22))
        with open(self.path("short.ico"), "wb") as f:
            f.write(struct.pack("<HHH", 0, 1, 1))
        os.mkdir(self.path("folder.ico"))

        cases = [("SETUP_PREVIOUS_PRODUCT_CODE", code) for code in (
            "", "5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27", "{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D2}",
            "{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D277}", "{5E2A8C41-7B03-4D6F-9A12C83F0E6B4D27}",
            "{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D2G}", "{{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27}}",
            "{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27} /qn", "(5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27)")]
        cases += [("SETUP_PACKAGE_FILE_NAME", name) for name in (
            "", ".msi", "Setup.exe", "Setup.msi.txt", "Setup.ms", "sub/Setup.msi", "sub\\Setup.msi",
            "C:Setup.msi", "Set<up.msi", "Set>up.msi", 'Set"up.msi', "Set|up.msi", "Set?up.msi",
            "Set*up.msi", "Set\tup.msi", "Setup.msi.", "NUL.msi", "con.msi",
            "Aux.msi", "prn.tar.msi", "COM1.msi", "com9.msi", "LPT1.msi", "lpt9.msi", "NUL .msi",
            "COM¹.msi", "x" * 252 + ".msi",
            # Past 260 characters with the temporary folder in front.
            "x" * 230 + ".msi", "€" * 125 + ".msi",
            # Windows counts UTF-16 units: 63 emoji are 126 of them.
            "\U0001F600" * 63 + ".msi",
            # Not UTF-8 (passed to cmake as the bytes these surrogate escapes
            # stand for): a stray byte, an overlong "/", an encoded surrogate.
            "Set\udcffup.msi", "\udcc0\udcaf.msi", "\udced\udca0\udc80.msi",
            # Possibly another file's short name.
            "SETUP~1.MSI", "Veltra~12.msi")]
        cases += [("SETUP_EXECUTION_LEVEL", level) for level in (
            "", "asinvoker", "requireAdmin", "highestAvailable uiAccess", "admin")]
        cases += [("SETUP_VERSION", version) for version in (
            "1.2.3.4.5", "65536", "1.65536", "99999999999999999999", "1..2", ".1", "1.", "v1.2",
            "1.2-beta", "-1", "1 2")]
        cases += [(option, "Caf\udce9") for option in (
            "SETUP_PRODUCT", "SETUP_COMPANY", "SETUP_DESCRIPTION")]
        cases += [("SETUP_ICON", self.path(name)) for name in (
            "absent.ico", "folder.ico", "short.ico", "past-end.ico", "inside-directory.ico",
            "empty-image.ico", *broken_icons)]
        for variable, value in cases:
            with self.subTest(variable=variable, value=value):
                status, output = self.configure(**{variable: value})
                self.assertNotEqual(status, 0, "configured anyway:\n" + output[-2000:])
                try:
                    expected = f'{variable} is "{value}"'
                    value.encode("utf-8")
                except UnicodeEncodeError:  # named by its bytes
                    expected = f"{variable} is not valid UTF-8 (bytes {os.fsencode(value).hex()})"
                self.assertIn(flat(expected), flat(output),
                              "the error must name the variable and the value:\n" + output[-2000:])

    def facts(self, output):
        return dict(re.findall(
            r"-- {3}(ProductName|Manufacturer|ProductVersion|ProductCode|UpgradeCode) +(.*)", output))

    def test_package_facts_are_listed_and_the_version_taken_from_the_package(self):
        output = self.configure_ok(SETUP_PACKAGE=self.package, SETUP_PREVIOUS_PRODUCT_CODE=EARLIER_CODE)
        self.assertEqual(self.facts(output), dict(
            ProductName="Contoso Tools", Manufacturer="Contoso Ltd", ProductVersion="3.1.4",
            ProductCode=OTHER_CODE, UpgradeCode=OTHER_UPGRADE_CODE))
        # An earlier version's code may be meant; either way it shows.
        self.assertIn(f"{EARLIER_CODE} (SETUP_PREVIOUS_PRODUCT_CODE: NOT the package's ProductCode "
                      f"{OTHER_CODE})", output)
        self.assertIn("Version block   3.1.4 (the package's ProductVersion)", output)
        self.assertIn("Product text    Contoso Tools (the package's ProductName)", output)
        self.assertIn("Company text    Contoso Ltd (the package's Manufacturer)", output)
        self.assertIn("Description     Contoso Tools Setup (the package's ProductName)", output)
        build_h = generated(self.binary_dir, "setup_build.h")
        for text in ('SETUP_VERSION_TEXT "3.1.4"', 'SETUP_PRODUCT "Contoso Tools"',
                     'SETUP_COMPANY "Contoso Ltd"', 'SETUP_DESCRIPTION "Contoso Tools Setup"'):
            self.assertIn(text, build_h)

        # Options given win, each on its own.
        output = self.configure_ok(SETUP_PACKAGE=self.package, SETUP_PREVIOUS_PRODUCT_CODE=OTHER_CODE,
                                   SETUP_VERSION="9.8", SETUP_COMPANY="Fabrikam")
        self.assertIn(f"{OTHER_CODE} (SETUP_PREVIOUS_PRODUCT_CODE: the package's ProductCode)", output)
        self.assertIn("Version block   9.8 (SETUP_VERSION)", output)
        self.assertIn("Company text    Fabrikam (SETUP_COMPANY)", output)
        self.assertIn("Product text    Contoso Tools (the package's ProductName)", output)
        output = self.configure_ok(SETUP_PACKAGE=self.package, SETUP_DESCRIPTION="Tools installer")
        self.assertIn("Description     Tools installer (SETUP_DESCRIPTION)", output)
        self.assertIn('SETUP_DESCRIPTION "Tools installer"', generated(self.binary_dir, "setup_build.h"))

    def test_a_package_whose_names_cannot_be_read_needs_the_options_for_them(self):
        # Never the sample's texts in another product's launcher: configuring
        # stops, naming the options that replace what is missing.
        unreadable = self.path("unreadable.msi")
        support.make_package(unreadable, 8192)
        no_maker = self.path("no-maker.msi")
        support.make_msi(no_maker, "Sensor Kit", "2.0", OTHER_CODE, OTHER_UPGRADE_CODE)
        support.run_ok("msibuild", no_maker, "-q",
                       "DELETE FROM `Property` WHERE `Property` = 'Manufacturer'")
        cases = [  # (package, options, options the error must name, options it must not)
            (unreadable, {}, ["SETUP_PRODUCT", "SETUP_COMPANY"], []),
            (unreadable, dict(SETUP_PRODUCT="Kit", SETUP_DESCRIPTION="Kit installer"),
             ["SETUP_COMPANY"], ["SETUP_PRODUCT"]),
            (unreadable, dict(SETUP_COMPANY="Fabrikam"), ["SETUP_PRODUCT"], ["SETUP_COMPANY"]),
            (no_maker, {}, ["SETUP_COMPANY"], ["SETUP_PRODUCT"]),
        ]
        for package, options, named, not_named in cases:
            with self.subTest(package=os.path.basename(package), **options):
                status, output = self.configure(SETUP_PACKAGE=package, **options)
                self.assertNotEqual(status, 0, "configured anyway:\n" + output[-2000:])
                error = flat(output[output.find("CMake Error"):])
                self.assertIn(flat(f"The version block's texts cannot be read from {package}"), error)
                for option in named:
                    self.assertIn(f"-D{option}=", error)
                for option in not_named:
                    self.assertNotIn(f"-D{option}=", error)

        # With both given, the unreadable package is carried, with a warning,
        # and the version block shows the project version.
        output = self.configure_ok(SETUP_PACKAGE=unreadable, SETUP_PRODUCT="Kit",
                                   SETUP_COMPANY="Fabrikam")
        self.assertIn("CMake Warning", output)
        self.assertIn(flat(f"Cannot read the Property table of {unreadable}"), flat(output))
        version = support.project_version()
        self.assertIn(f"Version block   {version} (the project version)", output)
        build_h = generated(self.binary_dir, "setup_build.h")
        for text in (f'SETUP_VERSION_TEXT "{version}"', 'SETUP_PRODUCT "Kit"',
                     'SETUP_COMPANY "Fabrikam"', 'SETUP_DESCRIPTION "Kit Setup"'):
            self.assertIn(text, build_h)
        output = self.configure_ok(SETUP_PACKAGE=no_maker, SETUP_COMPANY="Fabrikam")
        self.assertIn("Product text    Sensor Kit (the package's ProductName)", output)
        self.assertIn("Company text    Fabrikam (SETUP_COMPANY)", output)

    def test_the_samples_facts_are_those_of_the_built_sample(self):
        # Read from its WiX source before it is built; the product build
        # (make all) holds the package itself.
        output = self.configure_ok()
        built = os.path.join(support.PRODUCT_DIR, support.SAMPLE_PACKAGE)
        expected = {name: support.msi_property(built, name) for name in
                    ("ProductName", "Manufacturer", "ProductVersion", "ProductCode", "UpgradeCode")}
        self.assertEqual(self.facts(output), expected)
        self.assertIn(f"{support.DEFAULT_PRODUCT_CODE} (SETUP_PREVIOUS_PRODUCT_CODE: the package's "
                      "ProductCode)", output)


class AllOptionsBuildTest(unittest.TestCase):
    """A 32-bit build with every option set, checked from its bytes."""

    CODE = "{0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9}"  # given in lower case
    # 100 characters, most of them not ASCII: 267 bytes of UTF-8, with a blank.
    FILE_NAME = "Contoso Über " + "€" * 83 + ".MSI"
    VERSION = "4.5.6.7"
    TEXTS = dict(ProductName="Contoso Tools 2026", CompanyName="Contoso \"Labs\" \\ Ltd",
                 FileDescription="Contoso Tools Installer")

    @classmethod
    def setUpClass(cls):
        root = support.temp_root(cls)
        cls.package = support.make_msi(os.path.join(root, "Contoso.msi"), "Contoso Tools", "3.1.4",
                                       OTHER_CODE, OTHER_UPGRADE_CODE)
        cls.icon = one_image_icon(os.path.join(root, "contoso.ico"))
        cls.exe = support.configure_and_build(
            os.path.join(root, "x86"), f"SETUP_PACKAGE={cls.package}",
            f"SETUP_PREVIOUS_PRODUCT_CODE={cls.CODE}", f"SETUP_PACKAGE_FILE_NAME={cls.FILE_NAME}",
            f"SETUP_ICON={cls.icon}", "SETUP_EXECUTION_LEVEL=requireAdministrator",
            f"SETUP_VERSION={cls.VERSION}", f"SETUP_PRODUCT={cls.TEXTS['ProductName']}",
            f"SETUP_COMPANY={cls.TEXTS['CompanyName']}",
            f"SETUP_DESCRIPTION={cls.TEXTS['FileDescription']}")
        cls.image = support.read(cls.exe)
        cls.pe = pefile.PE(data=cls.image)
        cls.resources = support.resources(cls.pe)

    def test_removes_the_chosen_code_and_writes_the_chosen_file_name(self):
        wanted = [support.removal_command(self.CODE.upper()), self.FILE_NAME]
        for text in wanted:
            self.assertIn(support.utf16(text), self.image, f"no UTF-16 {text!r} in the image")
        for text in (support.DEFAULT_PRODUCT_CODE, support.DEFAULT_PACKAGE_FILE_NAME, self.CODE):
            self.assertNotIn(text.encode("utf-16-le"), self.image, f"{text!r} is still in the image")

    def test_manifest_version_icon_and_package(self):
        manifest = self.resources.get((support.RT_MANIFEST, 1, support.LANG_EN_US))
        self.assertIsNotNone(manifest, "no RT_MANIFEST 1")
        self.assertEqual(support.execution_levels(manifest), ["requireAdministrator"])
        problems = support.version_block_problems(self.pe, self.VERSION)
        problems += support.icon_problems(self.resources, self.icon)
        carried = self.resources.get(("MSI", 129, support.LANG_EN_US))
        if carried != support.read(self.package):
            problems.append("MSI/129 is not the package")
        if problems:
            self.fail("\n".join(problems))

    def test_the_version_texts_given_win_over_the_packages(self):
        strings = support.string_file_info(self.pe)
        self.assertEqual({key: strings.get(key) for key in self.TEXTS}, self.TEXTS)


class VersionTextsBuildTest(unittest.TestCase):
    """32-bit builds around packages of other products, one build folder for
    all: the version block's texts as Windows reads them (UTF-16), from the
    package or from the options, in any language."""

    @classmethod
    def setUpClass(cls):
        cls.root = support.temp_root(cls)
        cls.binary_dir = os.path.join(cls.root, "x86")

    def package(self, name, product, manufacturer):
        return support.make_msi(os.path.join(self.root, name), product, "7.2", OTHER_CODE,
                                OTHER_UPGRADE_CODE, manufacturer=manufacturer)

    def test_the_texts_read_back_from_the_image(self):
        fabrikam = self.package("Sensors.msi", "Fabrikam Sensor Suite", "Fabrikam, Inc.")
        german = self.package("Treiber.msi", "Gerätetreiber", "Müller GmbH")
        cases = [  # (package, options, ProductName, CompanyName, FileDescription)
            (fabrikam, {}, "Fabrikam Sensor Suite", "Fabrikam, Inc.", "Fabrikam Sensor Suite Setup"),
            # The package's names are UTF-8 as msiinfo reads them.
            (german, {}, "Gerätetreiber", "Müller GmbH", "Gerätetreiber Setup"),
            # The description follows the product name given.
            (fabrikam, dict(SETUP_PRODUCT="Foo"), "Foo", "Fabrikam, Inc.", "Foo Setup"),
            # Options in three scripts, one character outside the BMP.
            (german, dict(SETUP_PRODUCT="Überwachung 監視 \U0001F50C", SETUP_COMPANY="Société Générale",
                          SETUP_DESCRIPTION="Установщик драйверов"),
             "Überwachung 監視 \U0001F50C", "Société Générale", "Установщик драйверов"),
        ]
        for package, options, product, company, description in cases:
            with self.subTest(package=os.path.basename(package), **options):
                values = dict(dict(SETUP_PRODUCT="", SETUP_COMPANY="", SETUP_DESCRIPTION=""),
                              **options)
                pe = support.load_pe(support.configure_and_build(
                    self.binary_dir, f"SETUP_PACKAGE={package}",
                    f"SETUP_PREVIOUS_PRODUCT_CODE={OTHER_CODE}",
                    *(f"{k}={v}" for k, v in values.items())))
                strings = support.string_file_info(pe)
                self.assertEqual({key: strings.get(key) for key in (
                    "ProductName", "CompanyName", "FileDescription", "ProductVersion")}, dict(
                    ProductName=product, CompanyName=company, FileDescription=description,
                    ProductVersion="7.2"))


if __name__ == "__main__":
    unittest.main()
