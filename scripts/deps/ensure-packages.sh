#!/bin/sh
# Checks that the Debian packages of build-packages.txt are installed, and
# installs the missing ones when asked to (as root).
#
#   ensure-packages.sh --missing   print the missing ones on one line (nothing if none)
#   ensure-packages.sh --install   install the missing ones; needs root
#   ensure-packages.sh --list      print the whole list on one line
#
# On a system without dpkg there is nothing to check against: nothing is
# reported missing, and CMake's own messages name what it cannot find.
set -eu
here=$(dirname "$0")
list=$here/build-packages.txt

packages() { sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$list" | awk '{ print $1 }'; }

missing() {
  command -v dpkg-query >/dev/null 2>&1 || return 0
  # One dpkg-query for the whole list: well under a second when all is there.
  # Packages dpkg has never heard of are not printed, so compare names.
  known=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' $(packages) 2>/dev/null | awk '$2 == "ii" { print $1 }')
  for p in $(packages); do
    printf '%s\n' "$known" | grep -qx "$p" || printf '%s\n' "$p"
  done
}

case "${1:-}" in
  --list) packages | tr '\n' ' ' | sed 's/ $//'; echo ;;
  --missing) missing | tr '\n' ' ' | sed 's/ $//'; echo ;;
  --install)
    need=$(missing | tr '\n' ' ' | sed 's/ $//')
    [ -z "$need" ] && exit 0
    if [ "$(id -u)" -ne 0 ]; then
      echo "velmora needs Debian packages that are not installed: $need; install them with: sudo make deps" >&2
      exit 2
    fi
    log=$(mktemp)
    trap 'rm -f "$log"' EXIT
    export DEBIAN_FRONTEND=noninteractive
    if ! { apt-get update -o DPkg::Lock::Timeout=900 &&
           apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=900 $need; } >"$log" 2>&1; then
      cat "$log" >&2
      echo "velmora: installing $need failed (apt-get's messages above)" >&2
      exit 1
    fi
    echo "installed the Debian packages the build needs: $need" ;;
  *) echo "usage: $0 --missing | --install | --list" >&2; exit 2 ;;
esac
