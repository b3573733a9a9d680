#!/usr/bin/env bash
# Builds the whole test suite for one Windows architecture (mingw-w64, static
# runtime) and runs it under Wine with a fresh, throw-away prefix. Called by
# win64-test.sh and win32-test.sh.
#   wine-suite.sh i686|x86_64 [ctest arguments...]
#   JOBS=N (default 2)   parallel build and test jobs
#   BUILD=dir            build directory (default build-win32 / build-win64)
#
# 64-bit code runs under wine64. 32-bit code runs under the i386 build of
# Wine, which qemu-i386 runs (registered for 32-bit ELF files by
# .ci/install-deps.sh), beside the native 64-bit wineserver; its system DLLs
# come from the prefix's syswow64 folder.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:?usage: wine-suite.sh i686|x86_64 [ctest arguments]}
shift
case "$arch" in
  i686) name=win32 default_build=build-win32 toolchain=cmake/toolchain-mingw-i686.cmake
        wine=/usr/lib/wine/wine ;;
  x86_64) name=win64 default_build=build-win64 toolchain=cmake/toolchain-mingw-x86_64.cmake
          wine=/usr/lib/wine/wine64 ;;
  *) echo "wine-suite: unknown architecture $arch" >&2; exit 2 ;;
esac
BUILD=${BUILD:-$default_build}
JOBS=${JOBS:-2}
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
GENERATOR=()
command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)

for tool in "$arch-w64-mingw32-g++-posix" "$wine" "$WINE64" "$WINESERVER"; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$name-test: $tool is missing (run .ci/install-deps.sh as root)" >&2; exit 1; }
done
if [ "$arch" = i686 ] && ! grep -qs "^flags: .*F" /proc/sys/fs/binfmt_misc/qemu-i386; then
  echo "$name-test: qemu-i386 is not registered for 32-bit programs (run .ci/install-deps.sh as root)" >&2
  exit 1
fi

seconds() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.1f", b - a }'; }

t0=$(seconds)
# The tool's panel compiles cpp-httplib's single header, which Debian's
# package does not install.
bash scripts/deps/httplib-header.sh
mkdir -p "$BUILD"
# Tests and tools on, whatever an earlier configure of this folder chose (the
# package script may have made it with the tests off).
cmake -S . -B "$BUILD" "${GENERATOR[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=ON -DVELMORA_TOOLS=ON \
  -DVELMORA_BENCH=OFF -DVELMORA_FUZZ=OFF >"$BUILD/configure.log" 2>&1 ||
  { cat "$BUILD/configure.log" >&2; exit 1; }
cmake --build "$BUILD" -j "$JOBS"
echo "$name-test: build took $(elapsed "$t0") s"

# The DLL's export table: names, ordinals, aliases, calling conventions,
# system imports.
bash scripts/check-dll-exports.sh --dll "$BUILD/VELMORA.dll" --arch "$arch"

# wine's background processes inherit ctest's output pipe and would make it
# wait for them; a persistent wineserver started first, with its output
# elsewhere, keeps them off the pipe. Everything goes with the prefix.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine.XXXXXX")
export WINEPREFIX
cleanup() {
  "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

t1=$(seconds)
"$WINESERVER" -p </dev/null >/dev/null 2>&1
"$WINE64" wineboot --init </dev/null >"$BUILD/wineboot.log" 2>&1
if [ "$arch" = i686 ]; then
  # wineboot fills syswow64 only when it finds wine32; without it every 32-bit
  # program fails with "could not load kernel32.dll".
  syswow64=$WINEPREFIX/drive_c/windows/syswow64
  if [ ! -e "$syswow64/kernel32.dll" ]; then
    mkdir -p "$syswow64"
    ln -sf /usr/lib/i386-linux-gnu/wine/i386-windows/* "$syswow64/"
  fi
  # The first 32-bit process of a prefix may finish setting it up; let it do
  # so here, so that no test's time includes it.
  "$wine" cmd /c exit </dev/null >>"$BUILD/wineboot.log" 2>&1
fi
echo "$name-test: wine prefix ready in $(elapsed "$t1") s"

t2=$(seconds)
status=0
ctest --test-dir "$BUILD" -j "$JOBS" --output-on-failure --timeout 300 "$@" || status=$?
echo "$name-test: tests took $(elapsed "$t2") s"
exit "$status"
