#!/usr/bin/env bash
# Installs the library and the tools into a temporary prefix, builds the C
# example against the installed package twice (find_package and pkg-config),
# and runs both builds against the installed velmora-sim on 127.0.0.160.
#
#   scripts/install-test.sh            (uses the build in ./build, building it if needed)
#   BUILD=build-x scripts/install-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
BUILD=${BUILD:-build}
. scripts/lib/test-address.sh
ADDRESS=$(test_address 0 160)
. scripts/lib/scratch-and-sim.sh

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" "${GENERATOR[@]}"
fi
cmake --build "$BUILD" -j 2 --target velmora velmora-cli velmora-sim

prefix=$work/prefix
step "install into a temporary prefix"
cmake --install "$BUILD" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name velmora.pc -print -quit)
for f in "$prefix/include/velmora.h" "$pc" "$prefix/bin/velmora" "$prefix/bin/velmora-sim" \
         "$prefix/share/man/man1/velmora.1.gz" "$prefix/share/man/man1/velmora-sim.1.gz"; do
  [ -f "$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
[ -n "$(find "$prefix" -name velmoraConfig.cmake)" ] || { echo "no velmoraConfig.cmake" >&2; exit 1; }
[ -n "$(find "$prefix" -name velmoraConfigVersion.cmake)" ] || { echo "no version file" >&2; exit 1; }
# A package that still points into the source or build tree would work here
# and nowhere else.
if grep -rlI -e "$root" "$prefix"; then
  echo "the installed files above name the source or build tree" >&2
  exit 1
fi

step "build the example with find_package(velmora)"
cmake -S examples/c-host -B "$work/with-cmake" "${GENERATOR[@]}" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/with-cmake" >/dev/null

step "build the example with pkg-config"
mkdir -p "$work/with-pkg-config"
PKG_CONFIG_PATH="$(dirname "$pc")" PKG_CONFIG_LIBDIR="$(dirname "$pc")" \
  make -s -C examples/c-host OUT="$work/with-pkg-config"

step "the installed tools run by themselves"
grep -q ERROR_TIMEOUT <<<"$(env -u LD_LIBRARY_PATH "$prefix/bin/velmora" errors 1460)"
grep -q "^usage: velmora-sim" <<<"$(env -u LD_LIBRARY_PATH "$prefix/bin/velmora-sim" --help)"

step "start the installed velmora-sim on $ADDRESS"
start_sim "$prefix/bin/velmora-sim" "$ADDRESS"

# Each build on its own channel: the two runs must not see each other's data.
step "run the find_package build"
"$work/with-cmake/c-host" "$ADDRESS" 0
step "run the pkg-config build"
"$work/with-pkg-config/c-host" "$ADDRESS" 1
step "install test passed"
