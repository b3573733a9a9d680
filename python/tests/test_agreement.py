"""The package agrees with the library's own lists: its ctypes prototypes
with the list of functions, its "NOWRK" status numbers with the wire
vocabulary, so a change on one side cannot leave the other behind."""

import ctypes
import re
import unittest
from pathlib import Path

from velmora import _library, errors

SOURCES = Path(__file__).resolve().parents[2] / "src"
FUNCTION_LIST = SOURCES / "device" / "function_list.h"
WIRE_VOCABULARY = SOURCES / "diff" / "wire_vocabulary.h"
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
class AgreementTest(unittest.TestCase):
    def test_every_function_has_the_library_s_result_and_argument_types(self) -> None:
        entries = re.findall(r"X\((\w+), ([\w ]+?), \d+, \(([^)]*)\)", FUNCTION_LIST.read_text())
        self.assertEqual([name for name, _, _ in entries], list(_library._PROTOTYPES))
        for name, result, parameters in entries:
            with self.subTest(function=name):
                types = [C_TYPES[" ".join(p.split()[:-1]).replace(" *", "*")]
                         for p in parameters.split(",")]
                self.assertEqual(_library._PROTOTYPES[name], (C_TYPES[result], types))


    def test_nowork_status_numbers_are_the_wire_vocabulary_s(self) -> None:
        block = WIRE_VOCABULARY.read_text().split("namespace status {", 1)[1].split("}", 1)[0]
        numbers = {re.sub(r"(?<!^)([A-Z])", r"_\1", name).upper(): int(value)
                   for name, value in re.findall(r"(\w+) = (\d+);", block)}
        self.assertEqual(numbers, {name: getattr(errors, name) for name in numbers})
        self.assertEqual(sorted(numbers.values()), sorted(errors.NOWORK_STATUS))


if __name__ == "__main__":
    unittest.main()
