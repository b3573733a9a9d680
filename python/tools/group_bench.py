"""What a group of devices costs and how it behaves, against simulated
devices (velmora-sim, each on a loopback address of its own).

    /usr/bin/python3 python/tools/group_bench.py            # every part, ~15 min
    /usr/bin/python3 python/tools/group_bench.py --quick    # every part, shorter
    /usr/bin/python3 python/tools/group_bench.py --parts c,e

Parts:
  a  4 devices at 5,000,000 16-bit samples/s each for 60 s into one NeXus file
     through Group.record: what was lost, every recorded value checked, CPU
  b  highest lossless total rate over 30 s for 1, 2 and 4 devices: a group
     (a process per device) against Device.stream() threads in one process
  c  start spread of 4 devices, median of 10 starts
  d  a 120 s group run with three outages (a device killed and restarted
     twice, a link dropped by the device on SIGUSR1): gaps, counts, values
  e  the plain iterator, astream() and on_block() count the same samples

The simulated device sends sample n as n truncated to the sample width.
Needs numpy and h5py (Debian's python3-numpy and python3-h5py).
"""

import argparse
import asyncio
import os
import resource
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(_ROOT / "python"))
import numpy  # noqa: E402

import velmora  # noqa: E402

MASK = 0xFFFF  # 16-bit samples
BLOCK = 8192
QUIET_LOCK = Path("/tmp/velmora-quiet.lock")
OUR_LOCK = Path("/tmp/velmora-bench-group.lock")


def say(text: str = "") -> None:
    print(text, flush=True)


def load() -> str:
    return "load %.2f %.2f %.2f" % os.getloadavg()


class Sim:
    """velmora-sim on one address; can be killed, restarted and told to
    drop its connections."""

    def __init__(self, path: str, address: str) -> None:
        self.path, self.address = path, address
        self.process: Optional[subprocess.Popen] = None
        self.start()

    def start(self) -> None:
        deadline = time.monotonic() + 10
        while True:
            p = subprocess.Popen([self.path, "-a", self.address, "-q"], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            assert p.stdout is not None
            first = p.stdout.readline()
            if first.startswith("listening on"):
                break
            p.wait(5)
            if time.monotonic() > deadline:
                raise RuntimeError("velmora-sim on %s: %s" % (self.address, first.strip()))
            time.sleep(0.2)  # the last one's ports not free yet
        # Keeps the pipe drained so that the program never blocks on it.
        threading.Thread(target=lambda: [None for _ in p.stdout], daemon=True).start()  # type: ignore
        self.process = p

    def cpu(self) -> float:
        """CPU seconds the program has used so far."""
        assert self.process is not None
        fields = Path("/proc/%d/stat" % self.process.pid).read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def kill(self) -> None:
        assert self.process is not None
        self.process.kill()
        self.process.wait(10)

    def drop_links(self) -> None:
        assert self.process is not None
        self.process.send_signal(signal.SIGUSR1)

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)


def expected(index: int, count: int, base: int = 0) -> Any:
    return ((numpy.arange(index, index + count, dtype=numpy.int64) - base) & MASK).astype(numpy.uint16)


# -- a: 4 devices, 60 s, one NeXus file --------------------------------------

def part_a(sims: List[Sim], seconds: float, folder: str) -> None:
    rate = 5_000_000
    say("a. 4 devices x %s samples/s of 16 bits, %g s into one NeXus file via Group.record" % (
        format(rate, ","), seconds))
    path = os.path.join(folder, "group_a.h5")
    group = velmora.Group([s.address for s in sims], frequency=rate, bits=16, block_size=BLOCK)
    sim_cpu = [s.cpu() for s in sims]
    before_self = resource.getrusage(resource.RUSAGE_SELF)
    before_children = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = time.monotonic()
    say("   " + load() + " before")
    group.record(path, seconds)
    wall = time.monotonic() - wall
    after_self = resource.getrusage(resource.RUSAGE_SELF)
    after_children = resource.getrusage(resource.RUSAGE_CHILDREN)
    say("   " + load() + " after")
    consumer = (after_self.ru_utime + after_self.ru_stime) - (before_self.ru_utime + before_self.ru_stime)
    workers = ((after_children.ru_utime + after_children.ru_stime)
               - (before_children.ru_utime + before_children.ru_stime))
    devices = sum(s.cpu() for s in sims) - sum(sim_cpu)
    for d in group.devices:
        say("   %s: %s, %s samples, %d lost, %d gaps" % (d.name, d.state, format(d.samples, ","),
                                                       d.lost, d.gaps))
    say("   CPU: workers %.1f s + consumer %.1f s = %.1f s over %.1f s wall (%.0f %% of one core);"
        " the 4 simulated devices %.1f s more" % (workers, consumer, workers + consumer, wall,
                                                  100 * (workers + consumer) / wall, devices))
    say("   file: %.0f MB for %.0f MB of samples" % (os.path.getsize(path) / 1e6,
                                                     sum(d.samples for d in group.devices) * 2 / 1e6))
    import h5py

    checked = wrong = 0
    with h5py.File(path, "r") as f:
        for i, d in enumerate(group.devices):
            data = f["entry/device%d/samples" % i]
            first = int(f["entry/instrument/device%d" % i].attrs.get("first_sample", 0))
            if d.lost or d.gaps:
                say("   %s lost samples: its values are checked up to the first gap only" % d.name)
            step = 1 << 24
            for at in range(0, data.shape[0], step):
                values = data[at:at + step]
                wrong += int(numpy.count_nonzero(values != expected(first + at, len(values))))
                checked += len(values)
    say("   values checked: %s, wrong: %d" % (format(checked, ","), wrong))
    os.unlink(path)


# -- b: highest lossless rate, processes against threads ---------------------

def cpu_now() -> float:
    """CPU seconds of this process and of its ended children (the workers)."""
    own, ended = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + ended.ru_utime + ended.ru_stime


def run_group(hosts: List[str], rate: int, seconds: float, bits: int) -> Tuple[int, int, int]:
    group = velmora.Group(hosts, frequency=rate, bits=bits, block_size=BLOCK)
    got = lost = gaps = 0
    for item in group.stream(seconds):
        if isinstance(item, velmora.GroupGap):
            gaps += 1
        else:
            got += len(item.samples)
            lost += item.lost
    failed = sum(d.state != "complete" for d in group.devices)
    return got, lost, gaps + failed


def run_threads(hosts: List[str], rate: int, seconds: float, bits: int) -> Tuple[int, int, int]:
    totals = [[0, 0, 0] for _ in hosts]

    def one(i: int) -> None:
        try:
            with velmora.Device(hosts[i], "input", 0) as dev:
                for block in dev.stream(seconds, frequency=rate, bits=bits, block_size=BLOCK,
                                        on_loss="ignore"):
                    totals[i][0] += len(block.samples)
                    totals[i][1] += block.lost
        except velmora.VelmoraError:
            totals[i][2] += 1

    threads = [threading.Thread(target=one, args=(i,)) for i in range(len(hosts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return (sum(t[0] for t in totals), sum(t[1] for t in totals), sum(t[2] for t in totals))


def part_b(sims: List[Sim], seconds: float, bits: int) -> None:
    say("b. highest lossless total rate over %g s (%d-bit samples, %d-byte packets)" % (seconds, bits, BLOCK))
    ladder = [1_250_000, 2_500_000, 5_000_000, 10_000_000, 20_000_000, 40_000_000]
    # Short runs all keep up (the device's backlog hides a slow host for a
    # second or so), so the search starts high and takes at most three steps.
    first_try = {1: 40_000_000, 2: 20_000_000, 4: 10_000_000}
    table: List[Tuple[int, str, str]] = []
    for count in (1, 2, 4):
        hosts = [s.address for s in sims[:count]]
        for shape, runner in (("group (processes)", run_group), ("threads in one process", run_threads)):
            tried: Dict[int, bool] = {}
            at = ladder.index(first_try[count])
            while len(tried) < 3 and 0 <= at < len(ladder) and ladder[at] not in tried:
                rate = ladder[at]
                cpu = cpu_now()
                got, lost, bad = runner(hosts, rate, seconds, bits)
                cpu = cpu_now() - cpu
                ok = lost == 0 and bad == 0 and got == round(seconds * rate) * count
                tried[rate] = ok
                say("   %d x %10s /s %-23s %s samples, %s lost, %d gaps/failures -> %s; CPU %.1f s; %s"
                    % (count, format(rate, ","), shape, format(got, ","), format(lost, ","), bad,
                       "lossless" if ok else "LOSS", cpu, load()))
                at = at + 1 if ok else at - 1
                if ok and any(not good for good in tried.values()):
                    break  # found the step
            good = [r for r, ok in tried.items() if ok]
            bad_rates = [r for r, ok in tried.items() if not ok]
            best = ("%s" % format(max(good) * count, ",")) if good else "below %s" % format(
                min(bad_rates) * count, ",")
            above = ("; %s lost samples" % format(min(r for r in bad_rates if not good or r > max(good))
                                                  * count, ",")
                     if bad_rates and (not good or max(bad_rates) > max(good)) else " (the highest the device offers)")
            table.append((count, shape, best + above))
    say()
    say("   | devices | shape | highest lossless total rate (samples/s) |")
    say("   |---|---|---|")
    for count, shape, text in table:
        say("   | %d | %s | %s |" % (count, shape, text))


# -- c: start spread ---------------------------------------------------------

def part_c(sims: List[Sim], starts: int) -> None:
    say("c. start spread of 4 devices, %d starts" % starts)
    spreads = []
    for _ in range(starts):
        group = velmora.Group([s.address for s in sims], frequency=1_000_000, bits=16,
                              block_size=BLOCK)
        for _item in group.stream(0.05):
            pass
        spreads.append(group.start_spread)
    say("   spreads (ms): " + ", ".join("%.3f" % (s * 1e3) for s in spreads))
    say("   median %.3f ms, max %.3f ms; %s" % (statistics.median(spreads) * 1e3,
                                                  max(spreads) * 1e3, load()))


# -- d: outages --------------------------------------------------------------

class Checker:
    """Follows one device's items: indices contiguous between gaps, no
    loss, every value what the device sends after its latest (re)start."""

    def __init__(self) -> None:
        self.next_index = 0
        self.base = 0
        self.received = 0
        self.missed = 0
        self.error = 0
        self.gaps: List[Any] = []
        self.faults: List[str] = []
        self.last_arrival = 0.0

    def block(self, b: Any) -> None:
        if b.index != self.next_index or b.lost:
            self.faults.append("index %d (expected %d), lost %d" % (b.index, self.next_index, b.lost))
        n = len(b.samples)
        wrong = int(numpy.count_nonzero(numpy.asarray(b.samples) != expected(b.index, n, self.base)))
        if wrong:
            self.faults.append("%d wrong values in the block at %d" % (wrong, b.index))
        self.received += n
        self.next_index = b.index + n
        self.last_arrival = time.time()

    def gap(self, g: Any) -> None:
        self.gaps.append(g)
        self.missed += g.missed
        self.error += g.error
        if g.resume_index != self.next_index + g.missed:
            self.faults.append("gap resumes at %d, not %d + %d" % (g.resume_index, self.next_index,
                                                                   g.missed))
        self.next_index = self.base = g.resume_index


def part_d(sims: List[Sim], seconds: float) -> None:
    rate = 1_000_000
    scale = seconds / 120
    plan: List[Tuple[float, str, Callable[[], None]]] = [
        (20 * scale, "device 0 killed", sims[0].kill), (25 * scale, "device 0 restarted", sims[0].start),
        (50 * scale, "device 0 killed", sims[0].kill), (55 * scale, "device 0 restarted", sims[0].start),
        (80 * scale, "device 1 drops its links (SIGUSR1)", sims[1].drop_links)]
    say("d. %g s group run of 2 devices at %s samples/s with three outages:" % (seconds, format(rate, ",")))
    for at, what, _ in plan:
        say("   at %5.1f s: %s" % (at, what))
    group = velmora.Group([sims[0].address, sims[1].address], frequency=rate, bits=16,
                          block_size=BLOCK, reconnect_timeout=30)
    checks = [Checker(), Checker()]
    raised: Optional[BaseException] = None
    began = time.time()

    def outages() -> None:
        for at, _, act in plan:
            time.sleep(max(0.0, began + at - time.time()))
            act()

    actor = threading.Thread(target=outages, daemon=True)
    actor.start()
    try:
        for item in group.stream(seconds):
            if isinstance(item, velmora.GroupGap):
                checks[item.device].gap(item)
            else:
                checks[item.device].block(item)
    except BaseException as error:  # the figure is that this never happens
        raised = error
    actor.join()
    say("   consumer exception: %s; %s" % (repr(raised) if raised else "none", load()))
    target = round(seconds * rate)
    for d, c in zip(group.devices, checks):
        say("   %s: %s, %d gap records: %s" % (d.name, d.state, len(c.gaps), "; ".join(
            "%s missed (%.2f s) +/- %s, back %.2f s after the drop was noticed"
            % (format(g.missed, ","), g.missed / rate, format(g.error, ","), g.ended - g.began)
            for g in c.gaps)))
        ran = (c.last_arrival - d.start_time) * rate if d.start_time else 0
        say("      received %s + estimated missed %s = %s of %s asked (difference %d, stated "
            "error +/- %s)" % (format(c.received, ","), format(c.missed, ","),
                               format(c.received + c.missed, ","), format(target, ","),
                               c.received + c.missed - target, format(c.error, ",")))
        say("      by the host clock the run lasted %s samples' time: received + missed is %s "
            "off (%.3f s; the last packet's delivery included)" % (
                format(round(ran), ","), format(round(c.received + c.missed - ran), ","),
                (c.received + c.missed - ran) / rate))
        say("      other samples: %s" % ("contiguous and correct" if not c.faults else
                                         "%d faults, first: %s" % (len(c.faults), c.faults[0])))


# -- e: the three consumers --------------------------------------------------

def summary(blocks: List[Tuple[int, int, Any]]) -> Tuple[int, int, bool]:
    """(samples, lost, every index contiguous from 0 and every value right)."""
    n, ok, count, lost = 0, True, 0, 0
    for index, lost_here, samples in blocks:
        ok = ok and index == n and bool(numpy.array_equal(numpy.asarray(samples),
                                                          expected(index, len(samples))))
        n = index + len(samples)
        count += len(samples)
        lost += lost_here
    return count, lost, ok


def part_e(sims: List[Sim], seconds: float) -> None:
    rate, every = 1_000_000, 100_000
    say("e. one device and a group of 2 at %s samples/s for %g s: iterator, astream, on_block"
        % (format(rate, ","), seconds))
    args: Dict[str, Any] = dict(frequency=rate, bits=16, block_size=BLOCK)
    with velmora.Device(sims[0].address, "input", 0) as dev:
        plain = [(b.index, b.lost, b.samples) for b in dev.stream(seconds, **args)]

        async def consume() -> List[Tuple[int, int, Any]]:
            return [(b.index, b.lost, b.samples) async for b in dev.astream(seconds, **args)]

        awaited = asyncio.run(consume())
        called: List[Tuple[int, int, Any]] = []
        dev.on_block(lambda b: called.append((b.index, b.lost, b.samples)), every, seconds,
                     **args).join()
    say("   Device   (samples, lost, contiguous and correct): iterator %r, astream %r, on_block %r"
        % (summary(plain), summary(awaited), summary(called)))

    hosts = [sims[0].address, sims[1].address]

    def per_device(items: List[Any]) -> List[Tuple[int, int, bool]]:
        return [summary([(b.index, b.lost, b.samples) for b in items if b.device == i])
                for i in range(len(hosts))]

    group = velmora.Group(hosts, **args)
    plain_g = list(group.stream(seconds, copy=True))

    async def consume_g() -> List[Any]:
        return [item async for item in group.astream(seconds, copy=True)]

    awaited_g = asyncio.run(consume_g())
    called_g: List[Any] = []
    group.on_block(called_g.append, every, seconds).join()
    say("   Group, per device: iterator %r, astream %r, on_block %r; %s"
        % (per_device(plain_g), per_device(awaited_g), per_device(called_g), load()))


# -- the run -----------------------------------------------------------------

def take_lock() -> None:
    deadline = time.monotonic() + 600
    while QUIET_LOCK.exists() and time.monotonic() < deadline:
        say("waiting: %s exists (another session is timing something)" % QUIET_LOCK)
        time.sleep(10)
    OUR_LOCK.write_text("%d\n" % os.getpid())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="shorter runs of every part")
    parser.add_argument("--parts", default="a,b,c,d,e", help="which parts, comma-separated")
    parser.add_argument("--b-bits", type=int, default=16, help="sample bits in part b (default 16)")
    parser.add_argument("--net", type=int, default=int(os.environ.get("VELMORA_TEST_NET", "41")),
                        help="second byte of the loopback addresses (default VELMORA_TEST_NET or 41)")
    parser.add_argument("--sim", default=os.environ.get("VELMORA_SIM", str(_ROOT / "build" / "tools" / "velmora-sim")))
    args = parser.parse_args()
    parts = args.parts.split(",")
    q = args.quick
    say("group_bench: %s, %d cores, python %s, numpy %s; %s" % (
        os.uname().nodename, os.cpu_count() or 0, sys.version.split()[0], numpy.__version__, load()))
    take_lock()
    sims: List[Sim] = []
    try:
        sims = [Sim(args.sim, "127.%d.200.%d" % (args.net, i + 1)) for i in range(4)]
        with tempfile.TemporaryDirectory() as folder:
            if "a" in parts:
                part_a(sims, 10 if q else 60, folder)
        if "b" in parts:
            part_b(sims, 5 if q else 30, args.b_bits)
        if "c" in parts:
            part_c(sims, 5 if q else 10)
        if "d" in parts:
            part_d(sims, 30 if q else 120)
        if "e" in parts:
            part_e(sims, 1 if q else 3)
    finally:
        for s in sims:
            s.stop()
        OUR_LOCK.unlink(missing_ok=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
