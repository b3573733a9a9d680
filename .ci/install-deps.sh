#!/usr/bin/env bash
# Installs what the checks need beyond a new machine of this kind. Idempotent.
set -euo pipefail

need=()
for pkg in cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages (run as root to install): ${need[*]}" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
fi
