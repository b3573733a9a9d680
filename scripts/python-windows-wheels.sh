#!/usr/bin/env bash
# Packs the Python package around the Windows DLLs that windows-package.sh
# left in dist/velmora-windows-{i686,x86_64}/ into dist/wheels-windows/
# (py3-none-win32 and py3-none-win_amd64), then checks each wheel's files,
# tags, RECORD and the DLL's architecture. Nothing here can run them.
#   DIST=dir (default dist)
set -euo pipefail
cd "$(dirname "$0")/.."
DIST=${DIST:-dist}
out=$DIST/wheels-windows
rm -rf "$out"
for pair in i686:win32 x86_64:win_amd64; do
  dll=$DIST/velmora-windows-${pair%%:*}/VELMORA.dll
  [ -f "$dll" ] || { echo "python-windows-wheels: $dll is missing (run scripts/windows-package.sh)" >&2; exit 1; }
  python3 python/build_backend/velmora_build.py --library "$dll" --platform "${pair#*:}" --out "$out"
done
out=$(cd "$out" && pwd)
(cd python && VELMORA_WHEEL_DIR="$out" VELMORA_WHEEL_PLATFORMS="win32 win_amd64" \
  python3 -B -m unittest -q tests.test_wheels)
