#!/usr/bin/env bash
# Makes the Debian packages (libvelmora0, libvelmora-dev, velmora-tools,
# velmora-tango, which needs python3-tango to install) with
# CPack in build-deb, checks them with lintian (errors fail, warnings are
# shown), then, as root, installs them with dpkg, builds the C example
# against the installed files with pkg-config and with CMake, runs it against
# the installed velmora-sim on 127.0.16.2, and removes and purges them again.
#
#   scripts/deb-test.sh                 (not root: packages and lintian only)
#   BUILD=build-x scripts/deb-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-deb}
. scripts/lib/test-address.sh
ADDRESS=$(test_address 16 2)
PACKAGES=(libvelmora0 libvelmora-dev velmora-tools velmora-tango)
installed=0
extra_cleanup() {
  if [ "$installed" = 1 ]; then
    dpkg --purge "${PACKAGES[@]}" >/dev/null 2>&1 || true
  fi
}
. scripts/lib/scratch-and-sim.sh

step "build with the prefix /usr and Debian's hardening flags"
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B "$BUILD" "${GENERATOR[@]}" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release \
  -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF \
  -DCMAKE_C_FLAGS="$(flags CFLAGS) $(flags CPPFLAGS)" -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$BUILD" -j 2 >/dev/null

step "make the packages"
rm -rf "$BUILD/packages"
(cd "$BUILD" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
arch=$(dpkg --print-architecture)
debs=()
for p in "${PACKAGES[@]}"; do
  f=$BUILD/packages/${p}_${version}_${arch}.deb
  [ "$p" = velmora-tango ] && f=$BUILD/packages/${p}_${version}_all.deb
  [ -f "$f" ] || { echo "missing package: $f" >&2; ls "$BUILD/packages" >&2; exit 1; }
  debs+=("$f")
  printf '   %-40s %7d bytes  Depends: %s\n' "$(basename "$f")" "$(stat -c %s "$f")" \
    "$(dpkg-deb -f "$f" Depends)"
done
changelog_version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
if [ "$changelog_version" != "$version" ]; then
  echo "packaging/debian/changelog is at $changelog_version, the project at $version" >&2
  exit 1
fi

step "lintian (errors fail)"
lintian_status=0
lintian_output=$(lintian --fail-on error "${debs[@]}" 2>&1) || lintian_status=$?
grep -v "running with root privileges" <<<"$lintian_output" || true
[ "$lintian_status" = 0 ] || { echo "lintian found errors" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  echo "-- not root: installing the packages SKIPPED"
  exit 0
fi
for p in "${PACKAGES[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    echo "$p is installed already; this test would replace it" >&2
    exit 1
  fi
done

step "dpkg -i"
installed=1
dpkg -i "${debs[@]}" >/dev/null
[ "$(pkg-config --modversion velmora)" = "$version" ] || { echo "pkg-config gives another version" >&2; exit 1; }
grep -q "^usage: velmora-sim" <<<"$(velmora-sim --help)"
grep -q "ERROR_TIMEOUT" <<<"$(velmora errors 1460)"
# The server's Python package finds the installed library.
(cd / && /usr/bin/python3 -c "import velmora.tango_server.channel, velmora; velmora.load_library()")

step "build the C example with pkg-config and with find_package(velmora)"
# shellcheck disable=SC2046
cc -std=c99 -o "$work/c-host" examples/c-host/main.c $(pkg-config --cflags --libs velmora)
cmake -S examples/c-host -B "$work/with-cmake" "${GENERATOR[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/with-cmake" >/dev/null

step "run both against the installed velmora-sim on $ADDRESS"
start_sim velmora-sim "$ADDRESS"
"$work/c-host" "$ADDRESS" 0
"$work/with-cmake/c-host" "$ADDRESS" 1
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=

step "dpkg -r, then --purge"
# shellcheck disable=SC2207
files=($(dpkg -L "${PACKAGES[@]}" | grep -E '^/usr/(bin|lib|include|share/man)/.*velmora' || true))
dpkg -r "${PACKAGES[@]}" >/dev/null
for p in "${PACKAGES[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "config-files"; then
    dpkg --purge "$p" >/dev/null
  fi
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qv "not-installed"; then
    echo "$p is still known to dpkg: $(dpkg-query -W -f='${Status}' "$p")" >&2
    exit 1
  fi
done
installed=0
for f in "${files[@]}"; do
  if [ -e "$f" ] || [ -L "$f" ]; then
    echo "left behind after purge: $f" >&2
    exit 1
  fi
done
if ldconfig -p | grep -q libvelmora; then
  echo "the loader's cache still lists libvelmora" >&2
  exit 1
fi
step "Debian package test passed"
