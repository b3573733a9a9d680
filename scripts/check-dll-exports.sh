#!/usr/bin/env bash
# Builds the 32-bit Windows DLL into build-win32 and checks what a host sees
# of it against scripts/dll-exports.expected:
#   - the export directory names "VELMORA.dll";
#   - ordinals 1..45, no more and no fewer, each with exactly its name;
#   - every _NDX_ name on the same address as its NDX_ name, VBNDX_ apart;
#   - VBNDX_ wrappers return with `ret $N` (stdcall, N bytes of arguments),
#     NDX_ functions with a plain `ret` or a jump to code that does (cdecl);
#   - only system DLLs imported (no mingw runtime DLL beside it).
# Any deviation fails the script.
#
#   check-dll-exports.sh                        build build-win32, check it
#   check-dll-exports.sh --skip-if-unavailable  the same, but exit 0 with a
#       SKIPPED line while the build leaves the DLL out (no device layer yet)
#   check-dll-exports.sh --dll PATH --arch i686|x86_64   check a built DLL
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build-win32}
JOBS=${JOBS:-2}
skip_if_unavailable=0
dll=""
arch=i686
while [ $# -gt 0 ]; do
  case "$1" in
    --skip-if-unavailable) skip_if_unavailable=1 ;;
    --dll) dll=$2; shift ;;
    --arch) arch=$2; shift ;;
    *) echo "check-dll-exports: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
case "$arch" in
  i686|x86_64) ;;
  *) echo "check-dll-exports: --arch must be i686 or x86_64" >&2; exit 2 ;;
esac
objdump=$arch-w64-mingw32-objdump
command -v "$objdump" >/dev/null 2>&1 || { echo "check-dll-exports: $objdump is missing (run .ci/install-deps.sh as root)" >&2; exit 1; }

if [ -z "$dll" ]; then
  mkdir -p "$BUILD"
  arch=i686
  GENERATOR=()
  command -v ninja >/dev/null 2>&1 && GENERATOR=(-G Ninja)
  cmake -S . -B "$BUILD" "${GENERATOR[@]}" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF \
    -DVELMORA_TOOLS=OFF -DVELMORA_FUZZ=OFF >"$BUILD/configure.log" 2>&1 ||
    { cat "$BUILD/configure.log" >&2; exit 1; }
  if [ "$skip_if_unavailable" = 1 ] &&
     ! grep -q '^VELMORA_SHARED_IN_ALL:INTERNAL=ON$' "$BUILD/CMakeCache.txt"; then
    echo "check-dll-exports: SKIPPED: the build leaves the shared library out (no device layer sources yet)"
    exit 0
  fi
  cmake --build "$BUILD" -j "$JOBS" --target velmora
  dll=$BUILD/VELMORA.dll
fi
[ -f "$dll" ] || { echo "check-dll-exports: $dll not found" >&2; exit 1; }

headers=$(mktemp) disassembly=$(mktemp)
trap 'rm -f "$headers" "$disassembly"' EXIT
"$objdump" -p "$dll" >"$headers"
"$objdump" -d "$dll" >"$disassembly"

python3 - "$arch" scripts/dll-exports.expected "$headers" "$disassembly" "$dll" <<'PY'
import re
import sys

arch, expected_path, headers_path, disassembly_path, dll = sys.argv[1:]
problems = []

def fail(message):
    problems.append(message)

# ------------------------------------------------------------ expected table
expected = []  # (ordinal, name, kind, bytes)
for number, line in enumerate(open(expected_path), 1):
    line = line.split("#", 1)[0].strip()
    if not line:
        continue
    fields = line.split()
    if len(fields) != 4 or fields[2] not in ("cdecl", "alias", "stdcall"):
        sys.exit(f"{expected_path}:{number}: cannot read '{line}'")
    expected.append((int(fields[0]), fields[1], fields[2], int(fields[3])))
if [e[0] for e in expected] != list(range(1, len(expected) + 1)) or len(expected) != 45:
    sys.exit(f"{expected_path}: must list ordinals 1..45 in order")

# ------------------------------------------------------- objdump -p: headers
text = open(headers_path).read()
image_base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", text, re.M).group(1), 16)
exports_at = text.find("The Export Tables")
if exports_at < 0:
    sys.exit(f"{dll}: no export table")
exports = text[exports_at:]
name = re.search(r"^Name\s+[0-9a-fA-F]+\s+(\S+)", exports, re.M)
if not name or name.group(1) != "VELMORA.dll":
    fail(f"export directory name is {name.group(1) if name else 'missing'}, not VELMORA.dll")
base = int(re.search(r"^Ordinal Base\s+(\d+)", exports, re.M).group(1))
if base != 1:
    fail(f"ordinal base is {base}, not 1")

address_of = {}  # ordinal -> rva
table = exports[exports.find("Export Address Table -- "):]
table = table[:table.find("\n\n")]
for m in re.finditer(r"\[\s*(\d+)\]\s+\+base\[\s*(\d+)\]\s+([0-9a-fA-F]+)\s+(.+)", table):
    ordinal, rva, kind = int(m.group(2)), int(m.group(3), 16), m.group(4).strip()
    if kind != "Export RVA":
        fail(f"ordinal {ordinal} is a {kind}, not code in this DLL")
    address_of[ordinal] = rva
if sorted(address_of) != list(range(1, 46)):
    fail(f"export address table has ordinals {sorted(address_of)}, not 1..45")

name_of = {}  # ordinal -> name
names = exports[exports.find("[Ordinal/Name Pointer] Table"):]
names = names[:names.find("\n\n")]
for m in re.finditer(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", names, re.M):
    ordinal = int(m.group(1)) + base
    if ordinal in name_of:
        fail(f"ordinal {ordinal} has two names: {name_of[ordinal]} and {m.group(2)}")
    name_of[ordinal] = m.group(2)
if len(name_of) != 45:
    fail(f"{len(name_of)} exported names, not 45")

for ordinal, want, kind, _ in expected:
    got = name_of.get(ordinal)
    if got != want:
        fail(f"ordinal {ordinal} is named {got!r}, expected {want!r}")
extra = set(name_of.values()) - {e[1] for e in expected}
if extra:
    fail(f"unexpected exported names: {sorted(extra)}")

allowed_imports = re.compile(
    r"^(kernel32|msvcrt|ucrtbase|ws2_32|wsock32|api-ms-win-crt-[a-z0-9-]+)\.dll$", re.I)
imports = re.findall(r"^\s*DLL Name:\s*(\S+)", text, re.M)
for dll_name in imports:
    if not allowed_imports.match(dll_name):
        fail(f"imports {dll_name}, which is not a system DLL (is the runtime linked statically?)")

# --------------------------------------------------- objdump -d: the code
# Each labelled region: its instructions as (address, mnemonic text).
regions = {}  # start address -> (label, [(address, instruction)])
order = []
current = None
for line in open(disassembly_path):
    label = re.match(r"^([0-9a-f]+) <(.+)>:$", line)
    if label:
        current = int(label.group(1), 16)
        regions[current] = (label.group(2), [])
        order.append(current)
        continue
    ins = re.match(r"^\s*([0-9a-f]+):\t[0-9a-f ]+\t(.+)$", line)
    if ins and current is not None:
        regions[current][1].append((int(ins.group(1), 16), ins.group(2).strip()))

RET = re.compile(r"^(?:(?:repz|rep|bnd)\s+)?ret[lqw]?(?:\s+\$0x([0-9a-f]+))?\s*$")
JMP = re.compile(r"^jmp[lq]?\s+([0-9a-f]+)\s+<")

def returns(start):
    """The callee-removed byte counts of every return in the region, and
    the targets of its unconditional jumps that leave the region."""
    if start not in regions:
        return None, None
    label, code = regions[start]
    end = order[order.index(start) + 1] if order.index(start) + 1 < len(order) else None
    pops, leaves = [], []
    for _, ins in code:
        r = RET.match(ins)
        if r:
            pops.append(int(r.group(1), 16) if r.group(1) else 0)
        j = JMP.match(ins)
        if j:
            target = int(j.group(1), 16)
            if target < start or (end is not None and target >= end):
                leaves.append(target)
        if ins.startswith("jmp") and "*" in ins:
            leaves.append(None)  # indirect: cannot be followed
    return pops, leaves

def check_cdecl(name, start, hops=0):
    pops, leaves = returns(start)
    if pops is None:
        fail(f"{name}: no labelled code at {start:#x} (was the DLL stripped?)")
        return
    if any(p != 0 for p in pops):
        fail(f"{name}: returns with 'ret $0x{max(pops):x}'; a cdecl function leaves the arguments")
    if not pops and not leaves:
        fail(f"{name}: neither returns nor jumps on")
    for target in leaves:
        if target is None:
            fail(f"{name}: leaves through an indirect jump that cannot be checked")
        elif hops < 3:
            check_cdecl(f"{name} -> {regions.get(target, ('?',))[0]}", target, hops + 1)
        else:
            fail(f"{name}: too many jumps to follow")

def check_stdcall(name, start, bytes_):
    if arch != "i686":
        # One calling convention on x86_64: the wrapper may tail-jump.
        check_cdecl(name, start)
        return
    pops, leaves = returns(start)
    if pops is None:
        fail(f"{name}: no labelled code at {start:#x} (was the DLL stripped?)")
        return
    want = bytes_
    if not pops:
        fail(f"{name}: never returns itself (a tail jump cannot remove the arguments)")
    for p in pops:
        if p != want:
            fail(f"{name}: returns with {'ret $0x%x' % p if p else 'a plain ret'}, "
                 f"expected {'ret $0x%x' % want if want else 'a plain ret'}")
    if leaves:
        fail(f"{name}: jumps out of the wrapper, leaving the arguments on the stack")

by_name = {name_of[o]: address_of[o] for o in name_of if o in address_of}
for ordinal, name, kind, bytes_ in expected:
    if name not in by_name:
        continue
    rva = by_name[name]
    if kind == "alias":
        target = "NDX_" + name[len("_NDX_"):]
        if by_name.get(target) != rva:
            fail(f"{name} is at {rva:#x}, not at the address of {target}")
    elif kind == "cdecl":
        check_cdecl(name, image_base + rva)
    else:
        plain = "NDX_" + name[len("VBNDX_"):]
        if by_name.get(plain) == rva:
            fail(f"{name} is the same code as {plain}, not a wrapper")
        check_stdcall(name, image_base + rva, bytes_)

if problems:
    print(f"check-dll-exports: {dll} ({arch}) FAILED:")
    for p in problems:
        print("  " + p)
    sys.exit(1)
print(f"check-dll-exports: {dll} ({arch}): 45 exports with names, ordinals, aliases and "
      f"calling conventions as expected; imports {', '.join(imports)}")
PY
