#!/usr/bin/env bash
# The README's two commands on a machine that has only what a new machine of
# this kind has (scripts/deps/new-machine-packages.txt): a Debian root made
# fresh with mmdebstrap on every run, so nothing carries over from this
# machine's own packages. In it, a clean clone of this commit:
#   1. as an ordinary user, `make demo` stops before building, exit 2, with
#      the one line that names the command installing what is missing;
#   2. as root, `make demo` installs what is missing and ends with its summary;
#   3. then `make test` passes.
# Needs root (mmdebstrap, chroot, mounts) and Debian's package mirror; the
# mounts live in a private mount namespace and go with it.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-machine-test: skipped: needs root (mmdebstrap, chroot)" >&2
  exit 0
fi
command -v mmdebstrap >/dev/null || { echo "fresh-machine-test: mmdebstrap is missing" >&2; exit 1; }

suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
include=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$src/scripts/deps/new-machine-packages.txt" | paste -sd, -)
work=$(mktemp -d /var/tmp/velmora-fresh.XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root

start=$SECONDS
mmdebstrap --quiet --variant=apt --include="$include" "$suite" "$root"
echo "fresh-machine-test: a $suite root with $include made in $((SECONDS - start)) s"

# The commit as a clean clone, once for a user and once for root.
useradd_in_root() { chroot "$root" useradd --create-home --shell /bin/sh newcomer; }
useradd_in_root
git clone --quiet --no-hardlinks "$src" "$root/home/newcomer/velmora"
chroot "$root" chown -R newcomer:newcomer /home/newcomer/velmora
git clone --quiet --no-hardlinks "$src" "$root/root/velmora"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# A machine names its loopback; a bare root has no hosts file until one is written.
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"

# Everything that runs inside the root, in a mount namespace of its own.
inside=$(cat <<'EOF'
set -u
root=$1
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/tmp"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 ${VELMORA_TEST_NET:+VELMORA_TEST_NET=$VELMORA_TEST_NET} "$@"; }

echo "== as an ordinary user: make demo =="
status=0
out=$(in_root /usr/sbin/runuser -u newcomer -- sh -c 'cd /home/newcomer/velmora && HOME=/home/newcomer make demo' 2>&1) || status=$?
printf '%s\n' "$out"
if [ "$status" -ne 2 ]; then echo "fresh-machine-test: expected exit 2, got $status" >&2; exit 1; fi
if [ "$(printf '%s\n' "$out" | wc -l)" -ne 1 ] || ! printf '%s' "$out" | grep -q "sudo make deps"; then
  echo "fresh-machine-test: expected one line naming 'sudo make deps'" >&2; exit 1
fi
if [ -e "$root/home/newcomer/velmora/build" ]; then
  echo "fresh-machine-test: the refused make demo left a build folder" >&2; exit 1
fi

echo "== as root: make demo =="
t=$SECONDS
out=$(in_root sh -c 'cd /root/velmora && make demo' 2>&1) || { printf '%s\n' "$out"; echo "fresh-machine-test: make demo failed" >&2; exit 1; }
printf '%s\n' "$out" | tail -n 12
printf '%s\n' "$out" | grep -q "^installed the Debian packages the build needs: " ||
  { echo "fresh-machine-test: make demo did not say what it installed" >&2; exit 1; }
printf '%s\n' "$out" | grep -qx "demo finished: every check passed" ||
  { echo "fresh-machine-test: make demo did not end with its summary" >&2; exit 1; }
echo "== make demo as root took $((SECONDS - t)) s, the packages' installation included =="

echo "== as root: make test =="
t=$SECONDS
in_root sh -c 'cd /root/velmora && make test' > "$root/../make-test.log" 2>&1 ||
  { tail -n 80 "$root/../make-test.log"; echo "fresh-machine-test: make test failed" >&2; exit 1; }
grep -E "tests passed|Test project|Total Test time" "$root/../make-test.log" | tail -n 3
echo "== make test as root took $((SECONDS - t)) s =="
EOF
)
unshare --mount --propagation private bash -c "$inside" inside "$root"
echo "fresh-machine-test: passed in $((SECONDS - start)) s"
