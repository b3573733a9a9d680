"""CPU time per GB of a continuous stream at the device's highest rate
(a measurement, not a test): the Python package's stream (library and
package together, the whole process) against the benchmark's raw client
(one thread, one socket, the same requests), each in a process of its own
against the same simulated device, alternating, so both see the same
machine.

    VELMORA_TEST_NET=<n> /usr/bin/python3 bench/stream_cpu.py [build folder] [--seconds 20] [--runs 2]
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "python"), str(ROOT / "tests" / "support"), str(ROOT / "python" / "tests")]

from loopback_fixtures import address  # noqa: E402
from simulator import SimulatedDevice  # noqa: E402

HZ, BITS, BLOCK = 40_000_000, 16, 65536

# The Python side, in a child process so that its CPU time is its own.
PYTHON_SIDE = r"""
import json, resource, sys, time
import velmora
address, seconds, hz, bits, block = sys.argv[1], float(sys.argv[2]), *map(int, sys.argv[3:6])
def cpu():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime
with velmora.Device(address, "input", 0) as dev:
    nbytes = lost = 0
    stream = dev.stream(frequency=hz, bits=bits, block_size=block, on_loss="ignore")
    first = next(stream)  # the acquisition runs; timing starts here, as on the raw side
    began, end = cpu(), time.monotonic() + seconds
    for block_ in stream:
        nbytes += block_.samples.nbytes
        lost += block_.lost
        if time.monotonic() >= end:
            break
    used = cpu() - began
    stream.close()
print(json.dumps({"bytes": nbytes, "cpu_seconds": used, "lost_samples": lost}))
"""


def run(command, env):
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise SystemExit("stream_cpu: %s failed:\n%s%s" % (command[0], done.stdout, done.stderr))
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--runs", type=int, default=2)
    args = parser.parse_args()
    build = Path(args.build).resolve()
    env = dict(os.environ)
    env.setdefault("VELMORA_LIBRARY", str(build / "libvelmora.so"))
    env.setdefault("VELMORA_SIM", str(build / "tools" / "velmora-sim"))
    env["PYTHONPATH"] = str(ROOT / "python")
    os.environ.update(env)
    bench = str(build / "bench" / "velmora-bench")
    device = SimulatedDevice(address(0, 203))
    device.start()
    try:
        figures = {"package": [], "raw": []}
        for i in range(args.runs):
            order = ["package", "raw"] if i % 2 == 0 else ["raw", "package"]
            for side in order:
                if side == "raw":
                    got = run([bench, "--stream-raw", device.address, str(args.seconds), str(HZ),
                               str(BITS), str(BLOCK)], env)
                else:
                    got = run([sys.executable, "-c", PYTHON_SIDE, device.address, str(args.seconds),
                               str(HZ), str(BITS), str(BLOCK)], env)
                per_gb = got["cpu_seconds"] / (got["bytes"] / 1e9)
                figures[side].append(per_gb)
                print("%-7s run %d: %.2f GB in %.0f s, CPU %.2f s, %.2f CPU s per GB%s"
                      % (side, i + 1, got["bytes"] / 1e9, args.seconds, got["cpu_seconds"], per_gb,
                         ", %d samples lost" % got["lost_samples"] if "lost_samples" in got else ""),
                      flush=True)
        package, raw = statistics.median(figures["package"]), statistics.median(figures["raw"])
        print("stream at %d samples/s of %d bits, %d-byte packets, load %.1f: package %.2f, raw %.2f"
              " CPU s per GB; ratio %.2fx (target <= 1.5x)"
              % (HZ, BITS, BLOCK, os.getloadavg()[0], package, raw, package / raw))
    finally:
        device.stop()


if __name__ == "__main__":
    main()
