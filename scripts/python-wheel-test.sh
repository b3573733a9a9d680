#!/usr/bin/env bash
# The Python package as a user gets it, each time into a fresh virtual
# environment with no package index, then used from outside the checkout
# against the simulated device on 127.0.15.20:
#   1. `pip install .` from a copy of the committed tree (no build folders),
#      with the python3 on PATH (standard library only);
#   2. `pip wheel .` of that copy, into dist/, installed into an environment of
#      /usr/bin/python3 that sees Debian's numpy; the wheel's contents are
#      checked as well;
#   3. `pip install -e .` of the copy, replacing 1.
#   SIM=path (default build/tools/velmora-sim)   NUMPY_PYTHON=path (default /usr/bin/python3)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SIM=${SIM:-build/tools/velmora-sim}
NUMPY_PYTHON=${NUMPY_PYTHON:-/usr/bin/python3}
. scripts/lib/test-address.sh
ADDRESS=$(test_address 15 20)
[ -x "$SIM" ] || { echo "python-wheel-test: $SIM is missing (make build)" >&2; exit 1; }

work=$(mktemp -d)
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/checkout"
git archive HEAD | tar -x -C "$work/checkout"
python3 -m venv "$work/plain"
start=$SECONDS
"$work/plain/bin/pip" install -q --no-index "$work/checkout"
echo "python-wheel-test: pip install . on a fresh tree took $((SECONDS - start)) s"

start=$SECONDS
rm -f dist/velmora-*-linux_*.whl
# From the same copy, whose library is built by now.
python3 -m pip wheel -q --no-deps --no-index -w dist "$work/checkout"
wheel=$(ls dist/velmora-*-linux_*.whl)
echo "python-wheel-test: pip wheel . took $((SECONDS - start)) s: $wheel ($(stat -c %s "$wheel") bytes)"
"$NUMPY_PYTHON" -m venv --system-site-packages "$work/numpy"
"$work/numpy/bin/pip" install -q --no-index "$wheel"
(cd python && VELMORA_WHEEL_DIR="$ROOT/dist" VELMORA_WHEEL_PLATFORMS=linux_x86_64 \
  python3 -B -m unittest -q tests.test_wheels)

"$SIM" -a "$ADDRESS" -q -t 300 > "$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do grep -q listening "$work/sim.log" && break; sleep 0.1; done
grep -q listening "$work/sim.log" || { cat "$work/sim.log" >&2; exit 1; }
cd "$work"
plain/bin/python "$ROOT/python/tests/installed_check.py" "$ADDRESS"
numpy/bin/python "$ROOT/python/tests/installed_check.py" "$ADDRESS" --numpy
plain/bin/pip install -q --no-index -e "$work/checkout"
plain/bin/python "$ROOT/python/tests/installed_check.py" "$ADDRESS" --editable "$work/checkout"
