#!/usr/bin/env bash
# Builds the 32-bit Windows DLL into build-win32 and checks what a host sees
# of it against scripts/dll-exports.expected:
#   - the export directory names "VELMORA.dll";
#   - ordinals 1..45, no more and no fewer, each with exactly its name;
#   - every _NDX_ name on the same address as its NDX_ name, VBNDX_ apart;
#   - NDX_ functions return with a plain `ret` (cdecl), also in their `.cold`
#     parts and in whatever they tail-jump to;
#   - on i686, VBNDX_ wrappers return with `ret $N` (stdcall, N bytes of
#     arguments) and never jump on; on both, each hands its arguments to its
#     own NDX_ function (or to what that function calls);
#   - only system DLLs imported (no mingw runtime DLL beside it).
# Any deviation fails the script. The 64-bit DLL (built by win64-test.sh) is
# checked with --dll build-win64/VELMORA.dll --arch x86_64: one calling
# convention there, so only the plain returns are asked for.
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

PYTHONPATH=scripts/lib python3 - "$arch" scripts/dll-exports.expected "$headers" "$disassembly" "$dll" <<'PY'
import re
import sys

from check_report import fail, finish

arch, expected_path, headers_path, disassembly_path, dll = sys.argv[1:]

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
# Labelled regions in address order. gcc moves the unlikely paths of a
# function into a separate "<name>.cold" region (and jumps between the two);
# both together are one function here.
import bisect

regions = []  # (start, label, [instruction text])
for line in open(disassembly_path):
    label = re.match(r"^([0-9a-f]+) <(.+)>:$", line)
    if label:
        regions.append((int(label.group(1), 16), label.group(2), []))
        continue
    ins = re.match(r"^\s*([0-9a-f]+):\t[0-9a-f ]+\t(.+)$", line)
    if ins and regions:
        regions[-1][2].append(ins.group(2).strip())
regions.sort(key=lambda r: r[0])
starts = [r[0] for r in regions]
label_at = {r[0]: r[1] for r in regions}
index_of = {r[0]: i for i, r in enumerate(regions)}

def base_name(label):
    return re.sub(r"\.cold(?:\.\d+)?$", "", label)

parts = {}  # base name -> [(start, end)] of its regions
for i, (start, label, _) in enumerate(regions):
    end = starts[i + 1] if i + 1 < len(regions) else 1 << 64
    parts.setdefault(base_name(label), []).append((start, end))

RET = re.compile(r"^(?:(?:repz|rep|bnd)\s+)?ret[lqw]?(?:\s+\$0x([0-9a-f]+))?\s*$")
BRANCH = re.compile(r"^(?:bnd\s+)?(j[a-z]+|call[lq]?)\s+([0-9a-f]+)\s+<")
INDIRECT = re.compile(r"^(?:bnd\s+)?(jmp|call)[lq]?\s+\*")

def function(name):
    """What one function does at its edges: the byte counts its returns
    remove, the functions it calls, the functions it jumps on to (tail
    calls), and what could not be followed. None when nothing is labelled
    there (a stripped DLL)."""
    if name not in parts:
        return None
    inside = parts[name]
    pops, calls, tails, unknown = [], set(), set(), []
    for start, _ in inside:
        for ins in regions[index_of[start]][2]:
            r = RET.match(ins)
            if r:
                pops.append(int(r.group(1), 16) if r.group(1) else 0)
                continue
            if INDIRECT.match(ins):
                unknown.append(f"an indirect '{ins}'")
                continue
            b = BRANCH.match(ins)
            if not b:
                continue
            target = int(b.group(2), 16)
            if b.group(1).startswith("call"):
                calls.add(target)
            elif not any(lo <= target < hi for lo, hi in inside):
                if target in label_at and not label_at[target].endswith(".cold"):
                    tails.add(base_name(label_at[target]))
                else:
                    i = bisect.bisect_right(starts, target) - 1
                    where = regions[i][1] if i >= 0 else "?"
                    unknown.append(f"a jump into the middle of {where} at {target:#x}")
    return pops, calls, tails, unknown

def closure(name, what):
    """The function and everything it reaches by tail jumps, or a failure."""
    seen, todo = [], [name]
    while todo:
        n = todo.pop()
        if n in seen:
            continue
        if len(seen) == 8:
            fail(f"{what}: more than 8 tail jumps to follow")
            break
        seen.append(n)
        info = function(n)
        if info is None:
            fail(f"{what}: no labelled code for {n} (was the DLL stripped?)")
            continue
        for u in info[3]:
            fail(f"{what}: {n} leaves through {u}, which cannot be checked")
        todo.extend(info[2])
    return seen

def check_cdecl(name, what):
    """Every return reachable from the entry without a call leaves the
    arguments to the caller."""
    reached = closure(name, what)
    any_return = False
    for n in reached:
        info = function(n)
        if info is None:
            continue
        bad = sorted({p for p in info[0] if p})
        if bad:
            fail(f"{what}: {n} returns with 'ret $0x{bad[0]:x}'; a cdecl function leaves the arguments")
        any_return |= bool(info[0])
    if not any_return:
        fail(f"{what}: no return found")
    return reached

def passes_on(plain, reached_plain):
    """The code a wrapper may hand its arguments to: the NDX_ function, what
    it tail-jumps to, or what it calls (the wrapper may have inlined it)."""
    allowed = set()
    for n in reached_plain:
        info = function(n)
        for lo, _ in parts.get(n, []):
            allowed.add(lo)
        if info:
            allowed |= info[1]
    return allowed

def check_wrapper(name, plain, bytes_, reached_plain):
    info = function(name)
    if info is None:
        fail(f"{name}: no labelled code (was the DLL stripped?)")
        return
    pops, calls, tails, unknown = info
    allowed = passes_on(plain, reached_plain)
    targets = set(calls) | {lo for t in tails for lo, _ in parts.get(t, [])}
    if not targets:
        fail(f"{name}: neither calls nor jumps on to {plain}")
    for t in sorted(targets - allowed):
        fail(f"{name}: passes control to {label_at.get(t, hex(t))}, not to {plain}")
    if arch != "i686":
        # One calling convention on x86_64: the wrapper may tail-jump.
        check_cdecl(name, name)
        return
    for u in unknown:
        fail(f"{name}: leaves through {u}")
    if tails:
        fail(f"{name}: jumps on to {sorted(tails)}, which would leave its arguments on the stack")
    if not pops:
        fail(f"{name}: never returns itself")
    for p in sorted(set(pops)):
        if p != bytes_:
            fail(f"{name}: returns with {'ret $0x%x' % p if p else 'a plain ret'}, "
                 f"expected 'ret $0x{bytes_:x}' ({bytes_} bytes of arguments)")

by_name = {name_of[o]: address_of[o] for o in name_of if o in address_of}
reached_of = {}
for ordinal, name, kind, bytes_ in expected:
    if name not in by_name:
        continue
    rva = by_name[name]
    if kind == "alias":
        target = "NDX_" + name[len("_NDX_"):]
        if by_name.get(target) != rva:
            fail(f"{name} is at {rva:#x}, not at the address of {target}")
        continue
    # The code is judged by what is at the export's address, whatever its
    # symbol is called.
    here = label_at.get(image_base + rva)
    if here is None or here.endswith(".cold"):
        fail(f"{name}: no function starts at its export address {rva:#x} (was the DLL stripped?)")
        continue
    want = here
    if kind == "cdecl":
        reached_of[name] = check_cdecl(want, name)
    else:
        plain = "NDX_" + name[len("VBNDX_"):]
        if by_name.get(plain) == rva:
            fail(f"{name} is the same code as {plain}, not a wrapper")
        check_wrapper(want, plain, bytes_, reached_of.get(plain, []))

finish(f"check-dll-exports: {dll} ({arch})",
       f"45 exports with names, ordinals, aliases and calling conventions as expected; "
       f"imports {', '.join(imports)}")
PY
