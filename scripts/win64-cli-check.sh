#!/usr/bin/env bash
# The command-line tool as a 64-bit Windows program under wine64: builds
# velmora.exe (mingw-w64, no HDF5) into build-win64 unless it is there, then
# runs `errors`, `acquire --help` (which must say HDF5 is absent), `--help`
# (which must list the panel) and a short acquisition from the native
# simulated device on 127.0.17.8, whose samples and side file it checks.
#   JOBS=N (default 2)   BUILD=dir (default build-win64)   NATIVE=dir (default build)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build-win64}
NATIVE=${NATIVE:-build}
JOBS=${JOBS:-2}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
. scripts/lib/test-address.sh
ADDRESS=$(test_address 17 8)
GENERATOR=()
command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)

bash scripts/deps/httplib-header.sh  # the panel's HTTP library
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" "${GENERATOR[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BENCH=OFF -DVELMORA_FUZZ=OFF >/dev/null
fi
cmake --build "$BUILD" -j "$JOBS" --target velmora-cli
[ -x "$NATIVE/tools/velmora" ] || cmake --build "$NATIVE" -j "$JOBS" --target velmora-cli

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine.XXXXXX")
export WINEPREFIX
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-cli.XXXXXX")
sim=
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$work"
}
trap cleanup EXIT
"$WINESERVER" -p </dev/null >/dev/null 2>&1
"$WINE" wineboot --init </dev/null >"$work/wineboot.log" 2>&1

exe="$BUILD/tools/velmora.exe"
fail() { echo "win64-cli-check: $*" >&2; exit 1; }

out=$("$WINE" "$exe" errors 1460 </dev/null | tr -d '\r')
[ "$out" = "1460 ERROR_TIMEOUT: no reply within the handle's time-out" ] || fail "errors 1460 gave: $out"

help=$("$WINE" "$exe" acquire --help </dev/null | tr -d '\r')
grep -q "^usage: velmora acquire" <<<"$help" || fail "acquire --help: $help"
grep -q "has no HDF5 library" <<<"$help" || fail "acquire --help does not say that HDF5 is absent"
help=$("$WINE" "$exe" --help </dev/null | tr -d '\r')
grep -q "^  panel  *a live web page" <<<"$help" || fail "--help does not list the panel: $help"

"$NATIVE/tools/velmora" sim -a "$ADDRESS" -q -t 120 >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 50); do grep -q listening "$work/sim.log" && break; sleep 0.1; done
grep -q listening "$work/sim.log" || fail "the simulated device did not start: $(cat "$work/sim.log")"

# Windows paths are fine for wine: the raw file goes to the Unix folder through Z:.
"$WINE" "$exe" acquire -H "$ADDRESS" -f 20000 -b 16 -B 400 -t 0.5 --json "Z:$work/run.bin" </dev/null \
  | tr -d '\r' >"$work/summary.json" || fail "acquire failed: $(cat "$work/summary.json")"
python3 - "$work" <<'PY' || fail "the acquisition under wine is not what was asked"
import json, struct, sys
work = sys.argv[1]
summary = json.load(open(work + "/summary.json"))
data = open(work + "/run.bin", "rb").read()
side = json.load(open(work + "/run.bin.json"))
assert summary["samples"] == 10000 and summary["lost_samples"] == 0, summary
assert data == b"".join(struct.pack("<H", i & 0xFFFF) for i in range(10000)), "samples differ"
assert side["settings"]["frequency_hz"] == 20000 and side["samples"] == 10000, side
PY
echo "win64-cli-check: velmora.exe under wine64: errors, help without HDF5, 10,000 samples acquired exactly"
