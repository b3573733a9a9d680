#!/usr/bin/env bash
# Builds tests/consumer, a project of its own, against VELMORA three ways and
# runs its programs against the simulated device on 127.0.16.1:
#   - add_subdirectory of this checkout;
#   - FetchContent from this checkout's git repository (file:// URL, the
#     commit checked out now: changes not yet committed are not in it);
#   - find_package after `cmake --install` into a temporary prefix.
# Each must build the library alone (no tests, tools or benchmarks) and give
# programs that run without LD_LIBRARY_PATH.
#
#   scripts/consumer-test.sh          (velmora-sim from the build in ./build)
#   BUILD=build-x scripts/consumer-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
BUILD=${BUILD:-build}
. scripts/lib/test-address.sh
ADDRESS=$(test_address 16 1)
NOBODY=$(test_address 16 9)
. scripts/lib/scratch-and-sim.sh

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" "${GENERATOR[@]}"
fi
cmake --build "$BUILD" -j 2 --target velmora velmora-sim

step "start velmora-sim on $ADDRESS"
start_sim "$BUILD/tools/velmora-sim" "$ADDRESS"

channel=0
# consume NAME CMAKE-ARGS...: configure, build and run the consumer.
consume() {
  local name=$1 dir=$work/$1
  shift
  step "consumer project: $name"
  cmake -S tests/consumer -B "$dir" "${GENERATOR[@]}" -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.log" 2>&1 \
    || { cat "$dir.log" >&2; exit 1; }
  cmake --build "$dir" -j 2 >>"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
  # Nothing but the library and the consumer's own two programs.
  local programs
  programs=$(find "$dir" -path "$dir/_deps/*-src" -prune -o -name CMakeFiles -prune \
             -o -type f -perm -u+x ! -name '*.so*' -printf '%f\n' | sort | tr '\n' ' ')
  if [ "$programs" != "c-host cxx-host " ]; then
    echo "$name built these programs: $programs" >&2
    exit 1
  fi
  env -u LD_LIBRARY_PATH "$dir/cxx-host" "$NOBODY"
  env -u LD_LIBRARY_PATH "$dir/c-host" "$ADDRESS" "$channel"
  channel=$((channel + 1))
}

consume subdirectory -DVELMORA_FROM=subdirectory -DVELMORA_SOURCE="$root"
# The install rules asked for by the parent still bring no executables.
consume subdirectory-install -DVELMORA_FROM=subdirectory -DVELMORA_SOURCE="$root" -DVELMORA_INSTALL=ON

if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "   (FetchContent takes commit $(git rev-parse --short HEAD); uncommitted changes are not in it)"
fi
consume fetchcontent -DVELMORA_FROM=fetchcontent -DVELMORA_SOURCE="file://$root" \
  -DVELMORA_GIT_TAG="$(git rev-parse HEAD)"

step "install into a temporary prefix"
cmake --install "$BUILD" --prefix "$work/prefix" >/dev/null
consume package -DVELMORA_FROM=package -DCMAKE_PREFIX_PATH="$work/prefix"
step "consumer test passed"
