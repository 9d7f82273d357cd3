"""The 32-bit product under the second engine, Debian 13's Wine 10
(`make e2e-wine10-test`; tests/e2e/wine10.sh sets it up): the cases of the
product's run, the package guard and the hidden window station, each class
the Wine 8 one with the engine swapped. Wine 10 has GetTempPath2W."""

import unittest

from . import session, test_package_guard, wine, x86_product


class ProductUnderWine10(x86_product.ProductChecks, unittest.TestCase):
    engine = wine.WINE10
    temp_path_function = "GetTempPath2W"


class HiddenStationUnderWine10(x86_product.HiddenStationChecks, unittest.TestCase):
    engine = wine.WINE10


class PackageGuardUnderWine10(test_package_guard.PackageGuardChecks, unittest.TestCase):
    @classmethod
    def make_prefix(cls):
        return session.x86_prefix(wine.WINE10), session.X86_PACKAGE


if __name__ == "__main__":
    unittest.main()
