#!/usr/bin/env bash
# Builds the whole test suite for 64-bit Windows into build-win64 and runs it
# under wine64, after checking the 64-bit DLL's export table.
#   JOBS=N (default 2), BUILD=dir (default build-win64); further arguments go
#   to ctest (e.g. -R diff).
exec bash "$(dirname "$0")/wine-suite.sh" x86_64 "$@"
