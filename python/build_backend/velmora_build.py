"""Build backend for `pip install .`, `pip wheel .` and `pip install -e .`.

It needs nothing beyond the standard library, CMake and a C++ compiler, so
pip can build offline: it compiles only the shared library with the
project's own CMake and packs it inside the package, where the loader looks
first. Run as a program, it packs a wheel around a library built elsewhere
(the Windows DLLs from the cross builds):

    python3 python/build_backend/velmora_build.py --library VELMORA.dll \\
        --platform win_amd64 --out dist
"""

import argparse
import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Tuple

ROOT = Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "python" / "velmora"
NAME = "velmora"
SUMMARY = "Drive a VELMORA data-acquisition device over TCP from Python"
REQUIRES_PYTHON = ">=3.8"
# Library file names the package may hold; never packed from the source folder.
LIBRARY_NAMES = ("libvelmora.so", "VELMORA.dll")
# The folder CMake builds in, inside the checkout so that a second install
# only recompiles what changed; VELMORA_WHEEL_BUILD_DIR overrides it.
DEFAULT_BUILD_DIR = ROOT / "build-wheel"
# Zip entries get this time stamp, so the same sources give the same wheel.
_ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def version() -> str:
    text = (PACKAGE / "__init__.py").read_text(encoding="utf-8")
    found = re.search(r'^__version__ = "([^"]+)"', text, re.M)
    if not found:
        raise RuntimeError("no __version__ in %s" % (PACKAGE / "__init__.py"))
    return found.group(1)


def platform_tag() -> str:
    """This interpreter's platform as a wheel tag, e.g. linux_x86_64."""
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


def dist_info() -> str:
    return "%s-%s.dist-info" % (NAME, version())


def metadata() -> str:
    description = (ROOT / "docs" / "python.md").read_text(encoding="utf-8")
    return "".join([
        "Metadata-Version: 2.1\n",
        "Name: %s\n" % NAME,
        "Version: %s\n" % version(),
        "Summary: %s\n" % SUMMARY,
        "Requires-Python: %s\n" % REQUIRES_PYTHON,
        "Provides-Extra: numpy\n",
        'Requires-Dist: numpy; extra == "numpy"\n',
        "Provides-Extra: tango\n",
        'Requires-Dist: pytango; extra == "tango"\n',
        "Description-Content-Type: text/markdown\n",
        "\n",
        description,
    ])


def console_scripts() -> List[Tuple[str, str]]:
    """(command, "module:function") of every line of pyproject.toml's
    [tool.velmora_build.scripts] table (read by hand: no TOML reader before
    Python 3.11)."""
    scripts, inside = [], False
    for line in (ROOT / "pyproject.toml").read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if line.startswith("["):
            inside = line == "[tool.velmora_build.scripts]"
        elif inside and "=" in line and not line.startswith("#"):
            name, target = (part.strip().strip('"') for part in line.split("=", 1))
            scripts.append((name, target))
    return scripts


def entry_points() -> str:
    return "[console_scripts]\n" + "".join("%s = %s\n" % pair for pair in console_scripts())


def wheel_file(tag: str) -> str:
    return ("Wheel-Version: 1.0\nGenerator: velmora_build %s\nRoot-Is-Purelib: false\n"
            "Tag: %s\n" % (version(), tag))


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (path, digest, len(data))


def package_files() -> List[Tuple[str, Path]]:
    """(path in the wheel, source file) for the Python package itself."""
    files = []
    for source in sorted(PACKAGE.rglob("*")):
        if not source.is_file() or "__pycache__" in source.parts:
            continue
        if source.suffix == ".pyc" or source.name in LIBRARY_NAMES:
            continue
        files.append(("%s/%s" % (NAME, source.relative_to(PACKAGE).as_posix()), source))
    return files


def write_wheel(out_dir: Path, tag: str, contents: Iterable[Tuple[str, bytes, int]]) -> Path:
    """A wheel of ``contents`` ((path, bytes, mode) each) plus its dist-info,
    named and tagged ``py3-none-<tag>``; returns its path."""
    wheel_tag = "py3-none-%s" % tag
    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / ("%s-%s-%s.whl" % (NAME, version(), wheel_tag))
    info = dist_info()
    entries = list(contents) + [
        ("%s/METADATA" % info, metadata().encode("utf-8"), 0o644),
        ("%s/WHEEL" % info, wheel_file(wheel_tag).encode("utf-8"), 0o644),
        ("%s/top_level.txt" % info, (NAME + "\n").encode("utf-8"), 0o644),
        ("%s/entry_points.txt" % info, entry_points().encode("utf-8"), 0o644),
    ]
    record = "".join(_record_line(name, data) for name, data, _ in entries)
    record += "%s/RECORD,,\n" % info
    entries.append(("%s/RECORD" % info, record.encode("utf-8"), 0o644))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data, mode in entries:
            entry = zipfile.ZipInfo(name, _ZIP_TIME)
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
    return path


def library_wheel(out_dir: Path, tag: str, library: Path) -> Path:
    """The package with ``library`` inside it."""
    name = "VELMORA.dll" if tag.startswith("win") else "libvelmora.so"
    contents = [(arcname, source.read_bytes(), 0o644) for arcname, source in package_files()]
    contents.append(("%s/%s" % (NAME, name), library.read_bytes(), 0o755))
    return write_wheel(out_dir, tag, contents)


# -- building the library -------------------------------------------------

def _run(command: List[str]) -> None:
    # pip shows a backend's output only with -v; on failure it shows it all.
    print("velmora_build: " + " ".join(command), file=sys.stderr, flush=True)
    subprocess.run(command, check=True, stdout=sys.stderr)


def build_library(config_settings: Optional[Dict[str, str]] = None) -> Path:
    """Compiles the shared library alone (no tests, tools or benchmarks) and
    returns a stripped copy's path."""
    settings = config_settings or {}
    build = Path(settings.get("build-dir") or os.environ.get("VELMORA_WHEEL_BUILD_DIR")
                 or DEFAULT_BUILD_DIR)
    if shutil.which("cmake") is None:
        raise RuntimeError("building velmora needs CMake 3.25 or later and a C++17 compiler "
                           "on PATH (Debian: apt-get install cmake g++)")
    if not (build / "CMakeCache.txt").exists():
        command = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                   "-DVELMORA_TESTS=OFF", "-DVELMORA_BENCH=OFF", "-DVELMORA_TOOLS=OFF",
                   "-DVELMORA_FUZZ=OFF", "-DVELMORA_INSTALL=OFF",
                   # The C++ runtime inside, so the wheel runs beside any libstdc++.
                   "-DCMAKE_SHARED_LINKER_FLAGS=-static-libstdc++ -static-libgcc"]
        if shutil.which("ninja"):
            command += ["-G", "Ninja"]
        _run(command)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(min(os.cpu_count() or 1, 4))
    _run(["cmake", "--build", str(build), "--target", "velmora", "-j", jobs])
    built = (build / "libvelmora.so").resolve()
    stripped = build / "libvelmora-stripped.so"
    shutil.copyfile(built, stripped)
    if shutil.which("strip"):
        _run(["strip", "--strip-unneeded", str(stripped)])
    return stripped


# -- the hooks pip calls ----------------------------------------------------

def get_requires_for_build_wheel(config_settings: Optional[Dict[str, str]] = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Optional[Dict[str, str]] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, str]] = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(metadata_directory: str,
                                     config_settings: Optional[Dict[str, str]] = None) -> str:
    info = Path(metadata_directory) / dist_info()
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(metadata(), encoding="utf-8")
    return info.name


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory: str, config_settings: Optional[Dict[str, str]] = None,
                metadata_directory: Optional[str] = None) -> str:
    library = build_library(config_settings)
    return library_wheel(Path(wheel_directory), platform_tag(), library).name


# Finds `velmora` (and nothing else) in the checkout.
_EDITABLE_FINDER = """import importlib.util
import sys

_PACKAGE = %r


class _Finder:
    @classmethod
    def find_spec(cls, name, path=None, target=None):
        if name != "velmora":
            return None
        return importlib.util.spec_from_file_location(
            name, _PACKAGE + "/__init__.py", submodule_search_locations=[_PACKAGE])


sys.meta_path.append(_Finder)
"""


def build_editable(wheel_directory: str, config_settings: Optional[Dict[str, str]] = None,
                   metadata_directory: Optional[str] = None) -> str:
    """A wheel whose import hook loads the package from the checkout. The
    library is copied into the source package (ignored by git), where the
    loader looks first; install again after changing the C++ code."""
    library = build_library(config_settings)
    shutil.copyfile(library, PACKAGE / "libvelmora.so")
    finder = (_EDITABLE_FINDER % PACKAGE.as_posix()).encode("utf-8")
    return write_wheel(Path(wheel_directory), platform_tag(), [
        ("_%s_editable.py" % NAME, finder, 0o644),
        ("_%s_editable.pth" % NAME, ("import _%s_editable\n" % NAME).encode("utf-8"), 0o644),
    ]).name


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, str]] = None) -> str:
    """The files git tracks, under velmora-<version>/."""
    listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], check=True,
                            stdout=subprocess.PIPE).stdout.decode("utf-8").split("\0")
    base = "%s-%s" % (NAME, version())
    path = Path(sdist_directory) / (base + ".tar.gz")
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for name in filter(None, listed):
            archive.add(str(ROOT / name), "%s/%s" % (base, name), recursive=False)
        info = tarfile.TarInfo("%s/PKG-INFO" % base)
        data = metadata().encode("utf-8")
        info.size = len(data)
        archive.addfile(info, io.BytesIO(data))
    return path.name


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Packs the velmora package and a library "
                                     "built elsewhere into a platform wheel.")
    parser.add_argument("--library", required=True, type=Path,
                        help="libvelmora.so or VELMORA.dll to put inside")
    parser.add_argument("--platform", required=True,
                        help="wheel platform tag: win32, win_amd64, linux_x86_64, ...")
    parser.add_argument("--out", default=Path("dist"), type=Path, help="output folder")
    args = parser.parse_args(argv)
    wheel = library_wheel(args.out, args.platform, args.library)
    print("%s %d bytes" % (wheel, wheel.stat().st_size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
