"""The package's ctypes prototypes match the library's own list of
functions, so a change on one side cannot leave the other calling with the
wrong arguments."""

import ctypes
import re
import unittest
from pathlib import Path

from velmora import _library

FUNCTION_LIST = Path(__file__).resolve().parents[2] / "src" / "device" / "function_list.h"
C_TYPES = {
    "NDX_HANDLE": ctypes.c_void_p,
    "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32,
    "int32_t*": ctypes.POINTER(ctypes.c_int32),
    "void*": ctypes.c_void_p,
    "const void*": ctypes.c_void_p,
    "const char*": ctypes.c_char_p,
}


@unittest.skipUnless(FUNCTION_LIST.exists(), "the library's sources are not beside this package")
class PrototypeTest(unittest.TestCase):
    def test_every_function_has_the_library_s_result_and_argument_types(self) -> None:
        entries = re.findall(r"X\((\w+), ([\w ]+?), \d+, \(([^)]*)\)", FUNCTION_LIST.read_text())
        self.assertEqual([name for name, _, _ in entries], list(_library._PROTOTYPES))
        for name, result, parameters in entries:
            with self.subTest(function=name):
                types = [C_TYPES[" ".join(p.split()[:-1]).replace(" *", "*")]
                         for p in parameters.split(",")]
                self.assertEqual(_library._PROTOTYPES[name], (C_TYPES[result], types))


if __name__ == "__main__":
    unittest.main()
