"""Figures of the Tango device server (a measurement, not a test):

1. a sustained event stream to one subscribed client: 16-bit samples at
   1,000,000 samples/s for 60 s, every sample checked (the simulated device
   sends sample n as n truncated to 16 bits) for loss and repetition, with
   the server's CPU time beside that of a plain Python stream of the same
   device in the same run;
2. reconnection: from the device listening again to the server RUNNING,
   median of 5.

The server runs as a facility runs it: registered in a Tango database of
its own (scripts/lib/tango-database.sh, which this script runs itself
around) and started as a process of its own. A client of a device served
without a database does not last: Tango 9.3's event keep-alive thread
crashes it after about 10 s.

    VELMORA_TEST_NET=<n> /usr/bin/python3 bench/tango_figures.py [build folder] [--seconds 60]
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "python"), str(ROOT / "tests" / "support"), str(ROOT / "python" / "tests")]

import numpy  # noqa: E402
import tango  # noqa: E402

import velmora  # noqa: E402
from loopback_fixtures import address  # noqa: E402
from simulator import SimulatedDevice  # noqa: E402
from tango_process import ServerProcess  # noqa: E402
from velmora.tango_server.client import BlockEvents  # noqa: E402

HZ, BITS, BLOCK = 1_000_000, 16, 16384
DEVICE = "test/velmora/figures"


def cpu_seconds(pid: int) -> float:
    fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait(condition, seconds: float, what) -> float:
    """Seconds until ``condition()`` held; ``what`` (a string, or a
    function making one at the time) names it when it never does."""
    began = time.monotonic()
    while time.monotonic() - began < seconds:
        try:
            if condition():
                return time.monotonic() - began
        except tango.DevFailed:
            pass
        time.sleep(0.005)
    what = what() if callable(what) else what
    raise SystemExit("tango_figures: waited %g s for %s" % (seconds, what))


def raw_stream_cpu(host: str, seconds: float) -> float:
    """CPU seconds of this process streaming the same device directly."""
    began = time.process_time()
    count = 0
    with velmora.Device(host, "input", 0) as device:
        for block in device.stream(seconds, frequency=HZ, bits=BITS, block_size=BLOCK):
            count += len(block.samples)
    return time.process_time() - began


def event_stream(server: ServerProcess, seconds: float) -> float:
    proxy = server.proxy
    proxy.Frequency, proxy.BitsPerSample, proxy.BlockSize = HZ, BITS, BLOCK
    # Checked as they arrive: a minute of samples would not fit in memory.
    count = received = wrong = breaks = 0
    first = expected = None
    with BlockEvents(proxy) as events:
        cpu = cpu_seconds(server.pid)
        proxy.StartCleared()
        began = time.monotonic()
        for index, samples in events.blocks(seconds):
            if first is None:
                first = expected = index
            breaks += index != expected
            indices = numpy.arange(index, index + len(samples), dtype=numpy.uint64) & 0xFFFF
            wrong += int(numpy.count_nonzero(samples.astype(numpy.uint64) != indices))
            count, received, expected = count + 1, received + len(samples), index + len(samples)
        wall = time.monotonic() - began
        cpu = cpu_seconds(server.pid) - cpu
        proxy.Stop()
    print("event stream: %d events in %.1f s, samples %d to %d: %d received, %d gaps or repeats "
          "between events, %d values not the device's, server SamplesLost %d"
          % (count, wall, first, expected - 1, received, breaks, wrong,
             proxy.SamplesLost))
    print("  rate %.0f samples/s; server CPU %.1f s in %.1f s (%.0f%% of one core)"
          % (received / wall, cpu, wall, 100 * cpu / wall))
    return cpu / wall


def reconnections(server: ServerProcess, sim: SimulatedDevice, times: int) -> None:
    proxy = server.proxy
    proxy.Frequency, proxy.BitsPerSample, proxy.BlockSize = 100_000, BITS, 4096
    proxy.StartCleared()
    found = []
    for _ in range(times):
        sim.stop()
        wait(lambda: proxy.state() == tango.DevState.FAULT, 5, "FAULT")
        time.sleep(0.5)
        sim.start()  # returns once it listens
        found.append(wait(lambda: proxy.state() == tango.DevState.RUNNING, 10, "RUNNING"))
    proxy.Stop()
    print("reconnection, device listening to RUNNING: median %.3f s of %d (%s)"
          % (statistics.median(found), times, ", ".join("%.3f" % t for t in found)))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", type=lambda path: Path(path).resolve(),
                        default=ROOT / "build")
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--in-database", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    host = address(63, 1)
    if not args.in_database:
        # Again, inside a database registering the server, stopped afterwards.
        sys.stdout.flush()
        os.execv("/bin/bash", ["bash", str(ROOT / "scripts" / "lib" / "tango-database.sh"),
                               "--register", "figures", DEVICE, host, "--",
                               sys.executable, __file__, "--in-database"] + sys.argv[1:])
    os.environ.setdefault("VELMORA_LIBRARY", str(Path(args.build) / "libvelmora.so.0"))
    os.environ.setdefault("VELMORA_SIM", str(Path(args.build) / "tools" / "velmora-sim"))
    port = int(os.environ["TANGO_HOST"].rsplit(":", 1)[1]) + 5
    sim = SimulatedDevice(host)
    sim.start()
    server = None
    try:
        raw = raw_stream_cpu(host, min(args.seconds, 10.0)) / min(args.seconds, 10.0)
        print("plain Python stream of the same device: %.0f%% of one core" % (100 * raw))
        server = ServerProcess("figures", DEVICE, port)
        server.connect()
        wait(lambda: server.proxy.state() == tango.DevState.ON, 20,
             lambda: "the server to connect (%s)" % server.proxy.status())
        share = event_stream(server, args.seconds)
        print("  server / plain stream CPU: %.1fx" % (share / raw))
        reconnections(server, sim, 5)
        began = time.monotonic()
        code = server.kill()
        print("Kill: the server process ended by itself in %.2f s, exit status %s"
              % (time.monotonic() - began, code))
    finally:
        if server is not None:
            server.close()
        sim.stop()
    print("(load average %s while measured: other builds share these 2 cores)"
          % " ".join("%.1f" % x for x in os.getloadavg()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
