"""Wheels: what the build backend packs, checked as pip would see it.

Every wheel in the folder named by VELMORA_WHEEL_DIR is checked too (the
Linux wheel and the two Windows ones, which cannot run here); the check of
a wheel packed from a stand-in library always runs.
"""

import base64
import csv
import hashlib
import io
import os
import struct
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path
from typing import Dict

_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(_ROOT / "python" / "build_backend"))
import velmora_build  # noqa: E402

# Wheel platform -> (library file in the package, its machine as the
# binary's header says it).
PLATFORMS = {
    "linux_x86_64": ("libvelmora.so", "ELF x86-64"),
    "win_amd64": ("VELMORA.dll", "PE x86-64"),
    "win32": ("VELMORA.dll", "PE i386"),
}


def machine(binary: bytes) -> str:
    """The architecture an ELF or PE header names."""
    if binary[:4] == b"\x7fELF":
        return {62: "ELF x86-64", 3: "ELF i386"}.get(struct.unpack_from("<H", binary, 18)[0], "ELF ?")
    if binary[:2] == b"MZ":
        pe = struct.unpack_from("<I", binary, 0x3C)[0]
        if binary[pe:pe + 4] == b"PE\0\0":
            code = struct.unpack_from("<H", binary, pe + 4)[0]
            return {0x8664: "PE x86-64", 0x14C: "PE i386"}.get(code, "PE ?")
    return "unknown"


def check_wheel(test: unittest.TestCase, path: Path) -> Dict[str, bytes]:
    """Asserts that ``path`` is a well-formed velmora wheel for the platform
    its name says; returns its files."""
    name, version, python, abi, platform = path.stem.split("-")
    test.assertEqual((name, version, python, abi), ("velmora", velmora_build.version(), "py3", "none"))
    test.assertIn(platform, PLATFORMS)
    with zipfile.ZipFile(path) as wheel:
        files = {entry: wheel.read(entry) for entry in wheel.namelist()}
    info = "velmora-%s.dist-info" % version
    wheel_meta = files["%s/WHEEL" % info].decode()
    test.assertIn("Tag: py3-none-%s\n" % platform, wheel_meta)
    test.assertIn("Root-Is-Purelib: false\n", wheel_meta)
    metadata = files["%s/METADATA" % info].decode()
    test.assertIn("Name: velmora\n", metadata)
    test.assertIn("Version: %s\n" % version, metadata)
    # The Tango server's command, which pip makes from this file.
    test.assertIn("velmora-tango = velmora.tango_server:main\n",
                  files["%s/entry_points.txt" % info].decode())
    # RECORD: every other file once, with its hash and size.
    rows = list(csv.reader(io.StringIO(files["%s/RECORD" % info].decode())))
    recorded = {row[0]: row[1:] for row in rows}
    test.assertEqual(len(recorded), len(rows))
    test.assertEqual(set(recorded), set(files))
    test.assertEqual(recorded["%s/RECORD" % info], ["", ""])
    for entry, data in files.items():
        if entry.endswith("/RECORD"):
            continue
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        test.assertEqual(recorded[entry], ["sha256=" + digest, str(len(data))], entry)
    # The package: every source file, py.typed, and the one right library.
    for arcname, source in velmora_build.package_files():
        test.assertEqual(files.get(arcname), source.read_bytes(), arcname)
    test.assertIn("velmora/py.typed", files)
    library, arch = PLATFORMS[platform]
    libraries = [e for e in files if e.endswith((".so", ".dll"))]
    test.assertEqual(libraries, ["velmora/" + library])
    test.assertEqual(machine(files["velmora/" + library]), arch)
    return files


class PackedWheelTest(unittest.TestCase):
    def test_a_wheel_around_a_stand_in_library_is_well_formed(self) -> None:
        fake_dll = bytearray(256)
        fake_dll[:2] = b"MZ"
        struct.pack_into("<I", fake_dll, 0x3C, 0x80)
        fake_dll[0x80:0x86] = b"PE\0\0" + struct.pack("<H", 0x14C)
        with tempfile.TemporaryDirectory() as folder:
            library = Path(folder) / "VELMORA.dll"
            library.write_bytes(bytes(fake_dll))
            wheel = velmora_build.library_wheel(Path(folder), "win32", library)
            self.assertEqual(wheel.name, "velmora-%s-py3-none-win32.whl" % velmora_build.version())
            files = check_wheel(self, wheel)
            self.assertEqual(files["velmora/VELMORA.dll"], bytes(fake_dll))

    def test_the_checker_catches_a_wrong_architecture(self) -> None:
        # The same stand-in under the 64-bit tag must not pass.
        with tempfile.TemporaryDirectory() as folder:
            library = Path(folder) / "VELMORA.dll"
            library.write_bytes(b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0"
                                + struct.pack("<H", 0x14C))
            wheel = velmora_build.library_wheel(Path(folder), "win_amd64", library)
            with self.assertRaises(AssertionError):
                check_wheel(self, wheel)


class BuiltWheelsTest(unittest.TestCase):
    def test_each_built_wheel(self) -> None:
        folder = os.environ.get("VELMORA_WHEEL_DIR")
        if not folder:
            self.skipTest("VELMORA_WHEEL_DIR names no folder of built wheels")
        wheels = sorted(Path(folder).glob("velmora-*.whl"))
        expected = os.environ.get("VELMORA_WHEEL_PLATFORMS", "").split()
        self.assertTrue(wheels, "no wheels in %s" % folder)
        self.assertEqual(sorted(w.stem.split("-")[-1] for w in wheels), sorted(expected or
                         [w.stem.split("-")[-1] for w in wheels]))
        for wheel in wheels:
            with self.subTest(wheel=wheel.name):
                check_wheel(self, wheel)


if __name__ == "__main__":
    unittest.main()
