#!/usr/bin/env bash
# Builds VELMORA.dll, the command-line tool and the simulated device for
# 32-bit and 64-bit Windows and makes one zip per architecture:
#   dist/velmora-windows-i686.zip   and   dist/velmora-windows-x86_64.zip
# each with one folder velmora-windows-ARCH/ holding
#     VELMORA.dll        the library (runtime linked in; debug information
#                        removed; a version resource)
#     VELMORA.lib        import library for Microsoft's linker
#     VELMORA.dll.a      import library for mingw-w64 / gcc hosts
#     velmora.def        the export table: names and ordinals
#     include/velmora.h
#     velmora.exe        the command-line tool
#     velmora-sim.exe    the simulated device
#     README-windows.txt using it from C with MSVC, and from Python
# Then checks each zip as a user gets it (scripts/check-windows-package.py).
#   ARCHS="i686 x86_64" (default both)   DIST=dir (default dist)   JOBS=N
# It builds in build-win32 and build-win64, the folders of the Windows test
# runs, so in CI nothing is built twice.
set -euo pipefail
cd "$(dirname "$0")/.."

ARCHS=${ARCHS:-"i686 x86_64"}
DIST=${DIST:-dist}
JOBS=${JOBS:-2}
GENERATOR=()
command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)
# The header holds the one version number; the build reads it from there too.
version=$(awk '/^#define VELMORA_VERSION_(MAJOR|MINOR|PATCH) /{v = v (v == "" ? "" : ".") $3} END{print v}' include/velmora.h)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "windows-package: no version in include/velmora.h" >&2; exit 1; }

for tool in zip python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "windows-package: $tool is missing (run .ci/install-deps.sh as root)" >&2; exit 1; }
done

bash scripts/deps/httplib-header.sh  # the tool's panel

for arch in $ARCHS; do
  case "$arch" in
    i686) build=build-win32 toolchain=cmake/toolchain-mingw-i686.cmake ;;
    x86_64) build=build-win64 toolchain=cmake/toolchain-mingw-x86_64.cmake ;;
    *) echo "windows-package: unknown architecture $arch" >&2; exit 2 ;;
  esac
  command -v "$arch-w64-mingw32-g++-posix" >/dev/null 2>&1 ||
    { echo "windows-package: $arch-w64-mingw32-g++-posix is missing (run .ci/install-deps.sh as root)" >&2; exit 1; }
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" "${GENERATOR[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF -DVELMORA_TOOLS=ON \
      -DVELMORA_BENCH=OFF -DVELMORA_FUZZ=OFF >/dev/null
  else
    cmake -DVELMORA_TOOLS=ON "$build" >/dev/null  # the export check alone leaves them out
  fi
  cmake --build "$build" -j "$JOBS" --target velmora velmora-cli velmora-sim

  name=velmora-windows-$arch
  out=$DIST/$name
  rm -rf "$out" "$DIST/$name.zip"
  mkdir -p "$out/include"
  for f in VELMORA.dll tools/velmora.exe tools/velmora-sim.exe; do
    "$arch-w64-mingw32-strip" --strip-debug -o "$out/$(basename "$f")" "$build/$f"
  done
  cp "$build/VELMORA.dll.a" "$build/VELMORA.lib" "$build/exports/velmora.def" "$out/"
  cp include/velmora.h "$out/include/"
  # Windows line ends, for Notepad and friends.
  sed "s/@ARCH@/$arch/g; s/@VERSION@/$version/g; s/$/\r/" docs/README-windows.txt >"$out/README-windows.txt"
  # What is shipped must still pass the export check.
  bash scripts/check-dll-exports.sh --dll "$out/VELMORA.dll" --arch "$arch" >/dev/null ||
    { bash scripts/check-dll-exports.sh --dll "$out/VELMORA.dll" --arch "$arch"; exit 1; }
  (cd "$DIST" && zip -qr "$name.zip" "$name")
  python3 scripts/check-windows-package.py "$DIST/$name.zip" "$arch" "$version"
  echo "windows-package: $DIST/$name.zip ($(du -k "$DIST/$name.zip" | cut -f1) KiB)"
done
