#!/usr/bin/env python3
"""Checks one Windows zip made by windows-package.sh, as a user receives it.

  check-windows-package.py ZIP ARCH(i686|x86_64) VERSION

- the zip holds exactly the listed files, in one folder;
- VELMORA.lib (Microsoft's short import format) and VELMORA.dll.a (GNU import
  objects) each offer every one of the 45 names under the symbol a host's
  compiler refers to (on i686: _NDX_Go, __NDX_Go, _VBNDX_Go@4), and each
  symbol imports the DLL's own undecorated name with its ordinal as the hint;
- the DLL's version resource names the product, the version and what it is.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
from check_report import fail, finish  # noqa: E402

FILES = ["VELMORA.dll", "VELMORA.dll.a", "VELMORA.lib", "velmora.def", "include/velmora.h",
         "velmora.exe", "velmora-sim.exe", "README-windows.txt"]
EXPECTED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dll-exports.expected")


def expected_exports():
    rows = []
    for line in open(EXPECTED):
        line = line.split("#", 1)[0].strip()
        if line:
            ordinal, name, kind, size = line.split()
            rows.append((int(ordinal), name, kind, int(size)))
    return rows


def host_symbol(arch, name, kind, size):
    """The symbol a host's compiler emits for a call through velmora.h."""
    if arch != "i686":
        return name
    return "_" + name + (f"@{size}" if kind == "stdcall" else "")


def archive_members(data):
    """(name, bytes) of each member of an ar archive."""
    if not data.startswith(b"!<arch>\n"):
        raise ValueError("not an ar archive")
    at = 8
    while at + 60 <= len(data):
        header = data[at:at + 60]
        size = int(header[48:58].decode().strip())
        yield header[:16].decode(errors="replace").strip(), data[at + 60:at + 60 + size]
        at += 60 + size + (size & 1)


def import_name(symbol, name_type):
    # IMPORT_OBJECT_NAME, _NO_PREFIX, _UNDECORATE
    if name_type == 1:
        return symbol
    stripped = symbol[1:] if symbol[:1] in ("_", "@", "?") else symbol
    if name_type == 2:
        return stripped
    if name_type == 3:
        return stripped.split("@", 1)[0]
    return None


def msvc_imports(data):
    """symbol -> (hint, imported name, dll) from short import objects."""
    found = {}
    for _, member in archive_members(data):
        if len(member) < 20:
            continue
        sig1, sig2, _, _, _, _, hint, kind = struct.unpack_from("<HHHHIIHH", member)
        if sig1 != 0 or sig2 != 0xFFFF:
            continue
        symbol, dll = member[20:].split(b"\0")[:2]
        symbol = symbol.decode()
        found[symbol] = (hint, import_name(symbol, (kind >> 2) & 7), dll.decode())
    return found


def gnu_imports(path, arch):
    """symbol -> (hint, imported name) from a GNU import library, read with
    the mingw binutils."""
    tools = f"{arch}-w64-mingw32-"
    symbols = {}  # member -> symbol
    nm = subprocess.run([tools + "nm", "-A", path], capture_output=True, text=True, check=True)
    for line in nm.stdout.splitlines():
        m = re.match(r"^.*?:(\S+?):[0-9a-fA-F]+ I __imp_(\S+)$", line)
        if m:
            symbols[m.group(1)] = m.group(2)
    hints = {}  # member -> (hint, name)
    dump = subprocess.run([tools + "objdump", "-s", "-j", ".idata$6", path],
                          capture_output=True, text=True, check=True).stdout
    for block in re.split(r"\n(?=\S+:\s+file format)", dump):
        head = re.match(r"^(\S+):\s+file format", block.strip())
        if not head:
            continue
        raw = bytearray()
        for m in re.finditer(r"^ [0-9a-f]{4} ((?:[0-9a-f]{2,8} ?){1,4})", block, re.M):
            raw += bytes.fromhex(m.group(1).replace(" ", ""))
        if len(raw) >= 3:
            hints[head.group(1)] = (struct.unpack_from("<H", raw)[0],
                                    raw[2:].split(b"\0")[0].decode())
    return {symbols[m]: hints[m] for m in symbols if m in hints}


def check_imports(kind, imports, arch):
    for ordinal, name, k, size in expected_exports():
        symbol = host_symbol(arch, name, k, size)
        if symbol not in imports:
            fail(f"{kind}: no symbol {symbol} for {name}")
            continue
        hint, imported = imports[symbol][:2]
        if imported != name:
            fail(f"{kind}: {symbol} imports {imported!r}, not {name!r}")
        if hint != ordinal:
            fail(f"{kind}: {symbol} has hint {hint}, not ordinal {ordinal}")
    if len(imports) != 45:
        fail(f"{kind}: {len(imports)} imported names, not 45")


def main():
    zip_path, arch, version = sys.argv[1:4]
    with zipfile.ZipFile(zip_path) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        top = {n.split("/", 1)[0] for n in names}
        if len(top) != 1:
            sys.exit(f"{zip_path}: not one top folder but {sorted(top)}")
        folder = top.pop()
        got = sorted(n.split("/", 1)[1] for n in names)
        if got != sorted(FILES):
            fail(f"files {got}, expected {sorted(FILES)}")
        with tempfile.TemporaryDirectory() as tmp:
            z.extractall(tmp)
            root = os.path.join(tmp, folder)

            lib = os.path.join(root, "VELMORA.lib")
            if os.path.exists(lib):
                imports = msvc_imports(open(lib, "rb").read())
                for symbol, (_, _, dll) in imports.items():
                    if dll != "VELMORA.dll":
                        fail(f"VELMORA.lib: {symbol} is imported from {dll}")
                check_imports("VELMORA.lib", imports, arch)
            dlla = os.path.join(root, "VELMORA.dll.a")
            if os.path.exists(dlla):
                check_imports("VELMORA.dll.a", gnu_imports(dlla, arch), arch)

            dll = os.path.join(root, "VELMORA.dll")
            if os.path.exists(dll):
                rc = subprocess.run([f"{arch}-w64-mingw32-windres", "-i", dll, "-O", "rc"],
                                    capture_output=True, text=True).stdout
                for key, want in (("ProductName", "VELMORA"), ("FileVersion", version),
                                  ("ProductVersion", version)):
                    m = re.search(rf'VALUE "{key}", "([^"]*)"', rc)
                    if not m or m.group(1).rstrip("\0") != want:
                        fail(f"version resource: {key} is {m.group(1) if m else 'missing'!r}, not {want!r}")
                if not re.search(r'VALUE "FileDescription", "[^"]+"', rc):
                    fail("version resource: no FileDescription")
                numbers = ", ".join(version.split(".")) + ", 0"
                if f"FILEVERSION {numbers}" not in rc:
                    fail(f"version resource: FILEVERSION is not {numbers}")

    finish(f"check-windows-package: {zip_path}",
           f"{len(FILES)} files; VELMORA.lib and VELMORA.dll.a import all 45 names with their "
           f"ordinals; version resource {version}")


if __name__ == "__main__":
    main()
