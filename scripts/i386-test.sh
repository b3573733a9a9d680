#!/usr/bin/env bash
# Builds the test suite for 32-bit x86 Linux (gcc -m32) into build-i386 and
# runs it under qemu-i386, where the cdecl and stdcall entry points are
# real, different calling conventions.
#   JOBS=N (default 2)   parallel build and test jobs
#   BUILD=dir            build directory (default build-i386)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build-i386}
JOBS=${JOBS:-2}
GENERATOR=()
command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)

command -v qemu-i386 >/dev/null 2>&1 || { echo "i386-test: qemu-i386 is missing (run .ci/install-deps.sh as root)" >&2; exit 1; }
if ! echo 'int main(){}' | g++ -m32 -x c++ - -o /dev/null 2>/dev/null; then
  echo "i386-test: g++ -m32 cannot link (g++-multilib missing; run .ci/install-deps.sh as root)" >&2
  exit 1
fi

seconds() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.1f", b - a }'; }

t0=$(seconds)
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" "${GENERATOR[@]}" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-i386.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BENCH=OFF -DVELMORA_FUZZ=OFF
fi
cmake --build "$BUILD" -j "$JOBS"
echo "i386-test: build took $(elapsed "$t0") s"

t1=$(seconds)
status=0
ctest --test-dir "$BUILD" -j "$JOBS" --output-on-failure --timeout 300 || status=$?
echo "i386-test: tests took $(elapsed "$t1") s"
exit "$status"
