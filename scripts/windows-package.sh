#!/usr/bin/env bash
# Builds VELMORA.dll for 32-bit and 64-bit Windows and puts what a Windows
# host needs into one folder per architecture, ready to be zipped:
#   dist/velmora-windows-i686/   and   dist/velmora-windows-x86_64/
#     VELMORA.dll      the library (runtime linked in; debug information removed)
#     VELMORA.dll.a    import library for mingw-w64 / gcc hosts
#     velmora.def      names and ordinals (lib /def:velmora.def makes an MSVC
#                      import library from it)
#     include/velmora.h
#   ARCHS="i686 x86_64" (default both)   DIST=dir (default dist)   JOBS=N
# The DLLs come from build-win32 and build-win64, the directories that
# check-dll-exports.sh and win64-test.sh use, so nothing is built twice.
set -euo pipefail
cd "$(dirname "$0")/.."

ARCHS=${ARCHS:-"i686 x86_64"}
DIST=${DIST:-dist}
JOBS=${JOBS:-2}
GENERATOR=()
command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)

for arch in $ARCHS; do
  case "$arch" in
    i686) build=build-win32 toolchain=cmake/toolchain-mingw-i686.cmake ;;
    x86_64) build=build-win64 toolchain=cmake/toolchain-mingw-x86_64.cmake ;;
    *) echo "windows-package: unknown architecture $arch" >&2; exit 2 ;;
  esac
  command -v "$arch-w64-mingw32-g++-posix" >/dev/null 2>&1 ||
    { echo "windows-package: $arch-w64-mingw32-g++-posix is missing (run .ci/install-deps.sh as root)" >&2; exit 1; }
  if [ ! -f "$build/CMakeCache.txt" ]; then
    extra=()
    [ "$arch" = i686 ] && extra=(-DVELMORA_TESTS=OFF -DVELMORA_TOOLS=OFF)  # nothing runs 32-bit Windows code here
    cmake -S . -B "$build" "${GENERATOR[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BENCH=OFF -DVELMORA_FUZZ=OFF "${extra[@]}" >/dev/null
  fi
  cmake --build "$build" -j "$JOBS" --target velmora

  out=$DIST/velmora-windows-$arch
  rm -rf "$out"
  mkdir -p "$out/include"
  "$arch-w64-mingw32-strip" --strip-debug -o "$out/VELMORA.dll" "$build/VELMORA.dll"
  cp "$build/VELMORA.dll.a" "$out/"
  cp "$build/exports/velmora.def" "$out/"
  cp include/velmora.h "$out/include/"
  # What is shipped must still pass the export check.
  bash scripts/check-dll-exports.sh --dll "$out/VELMORA.dll" --arch "$arch" >/dev/null ||
    { bash scripts/check-dll-exports.sh --dll "$out/VELMORA.dll" --arch "$arch"; exit 1; }
  echo "windows-package: $out: $(cd "$out" && find . -type f | sort | tr '\n' ' ')"
done
