#!/usr/bin/env bash
# Installs what the checks need beyond a new machine of this kind. Idempotent;
# installing needs root.
set -euo pipefail

APT_INSTALL=(apt-get install -y -o DPkg::Lock::Timeout=900 --no-install-recommends)
export DEBIAN_FRONTEND=noninteractive

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: $* (run as root to set it up)" >&2
    exit 1
  fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# What the build and the native tests need comes from the one list that
# `make deps` installs (scripts/deps/build-packages.txt). Beyond it, CI's
# own checks: clang, lld and the sanitizer runtime for the fuzzers and
# sanitizer builds; mingw-w64, gcc -m32 and the GoogleTest sources for the
# cross builds (qemu-i386 and Wine below); h5py and numpy to read recordings
# back (silx checks them as NeXus files); venv, pip, setuptools and wheel for the Python package and its
# wheels; llvm-dlltool for the import library Microsoft's linker reads;
# lintian and dpkg-dev for the Debian packages; zip and unzip for the
# Windows packages; Chromium driven from Node (npm installs puppeteer-core
# for that test) to check the panel's page in a browser; mmdebstrap for the
# fresh-machine test's Debian root; PyTango, the Tango database server and
# MariaDB (which it keeps its tables in), tango_admin and Starter for the
# Tango device server's tests and its deployment test.
base=($(sh "$(dirname "$0")/../scripts/deps/ensure-packages.sh" --list)
      clang lld libbenchmark-dev libclang-rt-14-dev
      g++-mingw-w64-x86-64 g++-mingw-w64-i686 g++-multilib googletest
      python3-numpy python3-h5py python3-silx python3-venv python3-pip python3-setuptools python3-wheel
      llvm lintian dpkg-dev file zip unzip chromium mmdebstrap
      python3-tango mariadb-server tango-db tango-starter tango-test)
# Node and npm: Debian's, unless a Node with its own npm is there already
# (Debian's npm would not install beside it).
command -v npm >/dev/null 2>&1 || base+=(nodejs npm)

# 32-bit Windows code runs here as the i386 build of Wine under qemu-i386
# user-mode emulation (this kernel refuses 32-bit code itself). qemu-user must
# be 8 or newer: 7.2 takes most of a minute to start each 32-bit process and
# crashes at the first socket connect. Debian 12 has it in its backports.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
backports=$codename-backports
backports_list=/etc/apt/sources.list.d/$backports.sources

qemu_recent() {
  local v
  v=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null) || return 1
  [ -n "$v" ] && installed qemu-user && dpkg --compare-versions "$v" ge 1:8
}

# The mirror and component the machine's own sources use for its release.
own_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$codename" '
      BEGIN { RS = ""; FS = "\n" }
      {
        uris = ""; comps = ""; match_suite = 0
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris) }
          if ($i ~ /^Components:/) { comps = $i; sub(/^Components:[ \t]*/, "", comps) }
          if ($i ~ /^Suites:/) { n = split($i, s, /[ \t]+/); for (j = 2; j <= n; j++) if (s[j] == suite) match_suite = 1 }
        }
        if (match_suite && uris != "") { print uris "|" comps; exit }
      }' "$f"
  done | head -n 1
  if [ -f /etc/apt/sources.list ]; then
    awk -v suite="$codename" '$1 == "deb" && $3 == suite { c = ""; for (i = 4; i <= NF; i++) c = c " " $i; print $2 "|" substr(c, 2); exit }' \
      /etc/apt/sources.list
  fi
}

updated=0
apt_update() {
  if [ "$updated" = 0 ]; then
    apt-get update -o DPkg::Lock::Timeout=900
    updated=1
  fi
}

# ---------------------------------------------------------------- sources
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_root "architecture i386 is not enabled"
  dpkg --add-architecture i386
fi
if [ ! -f "$backports_list" ] && ! grep -rqs "^[^#]*\b$backports\b" /etc/apt/sources.list /etc/apt/sources.list.d/; then
  need_root "$backports is not among the package sources"
  mirror=$(own_mirror | head -n 1)
  [ -n "$mirror" ] || { echo "install-deps: no Debian source for $codename found to add $backports beside" >&2; exit 1; }
  uris=${mirror%%|*}
  components=${mirror#*|}
  cat >"$backports_list" <<EOF
Types: deb
URIs: $uris
Suites: $backports
Components: ${components:-main}
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi

# --------------------------------------------------------------- packages
need=()
for pkg in "${base[@]}"; do
  installed "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  need_root "missing packages: ${need[*]}"
  apt_update
  # tango-db would ask how to set up its database; the deployment test sets
  # up a private one itself, so it is told not to.
  echo "tango-db tango-db/dbconfig-install boolean false" | debconf-set-selections
  "${APT_INSTALL[@]}" "${need[@]}"
fi
if ! qemu_recent; then
  need_root "qemu-user 8 or newer is missing"
  apt_update
  "${APT_INSTALL[@]}" -t "$backports" qemu-user
fi

# Registers qemu-i386 as the kernel's runner for 32-bit x86 ELF files, as Wine
# for i386 needs (it executes its own programs). Flag F opens the interpreter
# now, so a registration older than the installed qemu (its change time: the
# file's own time is the package's) points at the old one.
binfmt=/proc/sys/fs/binfmt_misc
register_qemu_i386() {
  local entry=$binfmt/qemu-i386 qemu=/usr/bin/qemu-i386
  if [ ! -e "$binfmt/register" ]; then
    need_root "binfmt_misc is not mounted"
    mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ -e "$entry" ] && grep -qx "interpreter $qemu" "$entry" && grep -q "^flags: .*F" "$entry" &&
     grep -qx enabled "$entry" && [ "$(stat -c %Z "$qemu")" -le "$(stat -c %Y "$entry")" ]; then
    return 0
  fi
  need_root "qemu-i386 is not registered for 32-bit x86 programs"
  [ -e "$entry" ] && echo -1 >"$entry"
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
    >"$binfmt/register"
}
register_qemu_i386

# wine32 after the registration: its installation runs 32-bit programs.
if ! installed wine64 || ! installed wine32:i386; then
  need_root "wine64 and wine32 are missing"
  apt_update
  "${APT_INSTALL[@]}" wine64 wine32:i386
fi
