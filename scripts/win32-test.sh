#!/usr/bin/env bash
# Builds the whole test suite for 32-bit Windows into build-win32 and runs it
# as 32-bit Windows code (the i386 Wine under qemu-i386), after checking the
# 32-bit DLL's export table and calling conventions. Here the stdcall
# wrappers and the import libraries meet real 32-bit hosts.
#   JOBS=N (default 2), BUILD=dir (default build-win32); further arguments go
#   to ctest (e.g. -R diff).
exec bash "$(dirname "$0")/wine-suite.sh" i686 "$@"
