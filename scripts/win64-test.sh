#!/usr/bin/env bash
# Builds the whole test suite for 64-bit Windows (mingw-w64, static runtime)
# into build-win64 and runs it under wine64 with a fresh, throw-away prefix.
#   JOBS=N (default 2)   parallel build and test jobs
#   BUILD=dir            build directory (default build-win64)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build-win64}
JOBS=${JOBS:-2}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
GENERATOR=()
command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)

for tool in x86_64-w64-mingw32-g++-posix "$WINE" "$WINESERVER"; do
  command -v "$tool" >/dev/null 2>&1 || { echo "win64-test: $tool is missing (run .ci/install-deps.sh as root)" >&2; exit 1; }
done

seconds() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.1f", b - a }'; }

t0=$(seconds)
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" "${GENERATOR[@]}" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BENCH=OFF -DVELMORA_FUZZ=OFF
fi
cmake --build "$BUILD" -j "$JOBS"
echo "win64-test: build took $(elapsed "$t0") s"

# The 64-bit DLL's export table: names, ordinals, aliases, system imports.
bash scripts/check-dll-exports.sh --dll "$BUILD/VELMORA.dll" --arch x86_64

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
"$WINE" wineboot --init </dev/null >"$BUILD/wineboot.log" 2>&1
echo "win64-test: wine prefix ready in $(elapsed "$t1") s"

t2=$(seconds)
status=0
ctest --test-dir "$BUILD" -j "$JOBS" --output-on-failure --timeout 300 || status=$?
echo "win64-test: tests took $(elapsed "$t2") s"
exit "$status"
