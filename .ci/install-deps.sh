#!/usr/bin/env bash
# Installs what the checks need beyond a new machine of this kind. Idempotent.
set -euo pipefail

need=()
# Cross builds: mingw-w64 (64-bit Windows suite under wine64, the 32-bit DLL
# checked statically), gcc -m32 with qemu-i386 for the 32-bit Linux suite,
# GoogleTest sources for those builds, python3 for the export-table check and
# the Python package's tests, pkgconf (pkg-config) for the install test.
# The tool's option parsing, JSON and HDF5 recordings (with h5dump and h5py to
# read them back), numpy and venv for the Python package and its wheels,
# llvm-dlltool for the import library Microsoft's linker reads, lintian and
# dpkg-dev for the Debian packages.
for pkg in cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev \
           g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 qemu-user g++-multilib googletest python3 \
           pkgconf libcli11-dev nlohmann-json3-dev libhdf5-dev hdf5-tools python3-numpy python3-h5py \
           python3-venv python3-pip python3-setuptools python3-wheel llvm lintian dpkg-dev file; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages (run as root to install): ${need[*]}" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=900 --no-install-recommends "${need[@]}"
fi
