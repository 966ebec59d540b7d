"""The ctypes module against the header and the built library.

Run with PYTHONPATH holding python/, ZOLVANE_HEADER naming include/Zolvane.h, and the built
library and the VISA test double on the loader path."""

import ctypes
import os
import re
import unittest

import zolvane

HEADER = open(os.environ["ZOLVANE_HEADER"], encoding="ascii").read()

C_TYPES = {"int": ctypes.c_int, "double": ctypes.c_double,
           "double *": ctypes.POINTER(ctypes.c_double), "OperMode": ctypes.c_int32}


def header_prototypes():
    """{name: [ctypes type of each parameter]} from the header's declarations."""
    found = {}
    for name, params in re.findall(r"ZOLVANE_API int ZOLVANE_CALL (\w+)\(([^)]*)\);", HEADER):
        types = []
        if params.strip() != "void":
            for param in params.split(","):
                ctype = re.sub(r"\s*\b\w+$", "", param.strip())
                types.append(C_TYPES[re.sub(r"\s*\*", " *", ctype)])
        found[name] = types
    return found


def header_define(name):
    return re.search(r"#define %s (.+)" % name, HEADER).group(1).strip()


def header_c_int(text):
    """A constant of the header, "((int32_t)0xBFFF009E)" or "1", as the library returns it."""
    value = int(re.search(r"\b(0x[0-9A-Fa-f]+|\d+)\)*$", text).group(1), 0)
    return value - (1 << 32) if value & 0x80000000 else value


class Declarations(unittest.TestCase):
    def test_every_header_function_is_declared_with_the_header_arguments(self):
        prototypes = header_prototypes()
        self.assertEqual(len(prototypes), 37)
        self.assertEqual(sorted(zolvane.FUNCTIONS), sorted(prototypes))
        for name, types in prototypes.items():
            with self.subTest(name=name):
                self.assertEqual(list(zolvane.FUNCTIONS[name]), types)

    def test_oper_mode_matches_the_header(self):
        values = dict(re.findall(r"OPER_MODE_(\w+) = (\d+)", HEADER))
        self.assertEqual({m.name: m.value for m in zolvane.OperMode},
                         {name: int(v) for name, v in values.items()})

    def test_constants_match_the_header(self):
        self.assertEqual(zolvane.NO_RESULT_VALUE, float(header_define("NO_RESULT_VALUE")))
        for header_name, status in [
                ("ZOLVANE_SUCCESS", zolvane.Status.SUCCESS),
                ("ZOLVANE_TIMEOUT_OR_NO_CONNECTION", zolvane.Status.TIMEOUT_OR_NO_CONNECTION),
                ("ZOLVANE_ERROR_SYSTEM_ERROR", zolvane.Status.VI_ERROR_SYSTEM_ERROR),
                ("ZOLVANE_ERROR_LIBRARY_NFOUND", zolvane.Status.VI_ERROR_LIBRARY_NFOUND),
                ("ZOLVANE_ERROR_USER_BUF", zolvane.Status.VI_ERROR_USER_BUF),
                ("ZOLVANE_ERROR_INV_PARAMETER", zolvane.Status.VI_ERROR_INV_PARAMETER)]:
            with self.subTest(name=header_name):
                self.assertEqual(header_c_int(header_define(header_name)), status)

    def test_status_names(self):
        self.assertEqual(zolvane.status_name(-1073807339), "VI_ERROR_TMO")
        self.assertEqual(zolvane.status_name(-5), "-5 (0xFFFFFFFB)")


class Loaded(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lib = zolvane.load()

    def test_every_declared_name_resolves_with_its_types(self):
        for name, arguments in zolvane.FUNCTIONS.items():
            with self.subTest(name=name):
                entry = getattr(self.lib, name)
                self.assertEqual(entry.argtypes, list(arguments))
                self.assertIs(entry.restype, ctypes.c_int)

    def test_arguments_of_the_wrong_type_are_refused_before_the_call(self):
        with self.assertRaises(ctypes.ArgumentError):
            self.lib.Zolvane_2K_SetLoss("3.5")
        with self.assertRaises(ctypes.ArgumentError):
            self.lib.Zolvane_2K_MeasFER(ctypes.c_int(0))

    def test_a_short_session_with_the_visa_double(self):
        # The double answers no query it was not given an answer for: the reading times out.
        self.assertEqual(self.lib.Zolvane_InitTester(5), zolvane.SUCCESS)
        try:
            self.assertEqual(zolvane.read(self.lib.Zolvane_2K_MeasFER),
                             (zolvane.Status.VI_ERROR_TMO, None))
            # A value that reaches the library as a double, not an int: refused when not finite.
            self.assertEqual(self.lib.Zolvane_2K_SetCellPower(float("nan")),
                             zolvane.Status.VI_ERROR_INV_PARAMETER)
            self.assertEqual(self.lib.Zolvane_SetOperMode(zolvane.OperMode.CW), zolvane.SUCCESS)
        finally:
            self.assertEqual(self.lib.Zolvane_ReleaseTester(), zolvane.SUCCESS)
        self.assertEqual(self.lib.Zolvane_ReleaseTester(), zolvane.SUCCESS)


if __name__ == "__main__":
    unittest.main()
