#!/usr/bin/env bash
# Puts cpp-httplib's single header, definitions included, in
# build-deps/cpp-httplib/httplib.h for the Windows builds of the tool's panel.
#
# Debian's libcpp-httplib-dev installs only the declarations (the definitions
# are compiled into its Linux libcpp-httplib.so), so the header comes from
# the Debian source package of the same version, patches applied, through
# apt with lists of its own: the machine's apt sources stay as they are.
# Nothing happens when the header is there already.
#   httplib-header.sh [--force]
set -euo pipefail
cd "$(dirname "$0")/../.."

dest=build-deps/cpp-httplib
[ "${1:-}" != --force ] && [ -f "$dest/httplib.h" ] && exit 0

for tool in apt-get dpkg-source; do
  command -v "$tool" >/dev/null 2>&1 ||
    { echo "httplib-header: $tool is missing (dpkg-dev; run .ci/install-deps.sh as root)" >&2; exit 1; }
done

# The version the native build links, so that both builds serve the same
# library; the newest the sources offer when it is not installed.
wanted=cpp-httplib
version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null || true)
[ -n "$version" ] && wanted="cpp-httplib=$version"

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
# The mirror the machine's own sources use for its release.
mirror=$(awk -v suite="$codename" '
  BEGIN { RS = ""; FS = "\n" }
  {
    uris = ""; found = 0
    for (i = 1; i <= NF; i++) {
      if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris); sub(/[ \t].*/, "", uris) }
      if ($i ~ /^Suites:/) { n = split($i, s, /[ \t]+/); for (j = 2; j <= n; j++) if (s[j] == suite) found = 1 }
    }
    if (found && uris != "") { print uris; exit }
  }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
  mirror=$(awk -v suite="$codename" '$1 == "deb" && $3 == suite { print $2; exit }' /etc/apt/sources.list)
fi
[ -n "$codename" ] && [ -n "$mirror" ] ||
  { echo "httplib-header: cannot tell the Debian release or its mirror from /etc/apt" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-httplib.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/src"
cat >"$work/parts/source.sources" <<EOF
Types: deb-src
URIs: $mirror
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt=(apt-get -q -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/parts"
     -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" -o APT::Sandbox::User=root)
"${apt[@]}" update >"$work/update.log" 2>&1 || { cat "$work/update.log" >&2; exit 1; }
# An installed version the release's lists no longer hold (a security
# update, say) falls back to the newest they do.
fetch() { (cd "$work/src" && "${apt[@]}" source --download-only "$1") >>"$work/source.log" 2>&1; }
fetch "$wanted" || fetch cpp-httplib || { cat "$work/source.log" >&2; exit 1; }
dpkg-source -x "$work"/src/cpp-httplib_*.dsc "$work/tree" >"$work/extract.log" 2>&1 ||
  { cat "$work/extract.log" >&2; exit 1; }

# The single header defines what the split one only declares.
grep -q '^inline Server::Server()' "$work/tree/httplib.h" ||
  { echo "httplib-header: the source package's httplib.h is not the single header" >&2; exit 1; }
mkdir -p "$dest"
cp "$work/tree/httplib.h" "$work/tree/LICENSE" "$dest/"
echo "httplib-header: $(grep -m1 'define CPPHTTPLIB_VERSION' "$dest/httplib.h" | cut -d'"' -f2) in $dest"
