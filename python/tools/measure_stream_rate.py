"""Finds the highest sample rate a stream keeps up with, without losing a
sample, against a device (by default the simulated one on 127.0.15.9).

    python3 python/tools/measure_stream_rate.py --seconds 30 --bits 16 \\
        --rates 1e6,5e6,10e6,20e6,40e6

Each rate runs for --seconds; the consumer only counts the samples, so the
figure is what the package itself sustains on this machine.
"""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import velmora  # noqa: E402


def run(host: str, channel: int, rate: int, bits: int, block: int, seconds: float) -> tuple:
    with velmora.Device(host, "input", channel) as dev:
        samples = lost = blocks = 0
        started = time.monotonic()
        for piece in dev.stream(seconds, frequency=rate, bits=bits, block_size=block,
                                on_loss="ignore"):
            samples += len(piece.samples)
            lost += piece.lost
            blocks += 1
        elapsed = time.monotonic() - started
        dev.clear()
    return samples, lost, blocks, elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.15.9")
    parser.add_argument("--channel", type=int, default=0)
    parser.add_argument("--bits", type=int, default=16)
    parser.add_argument("--block", type=int, default=8192, help="block size in bytes")
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--rates", default="1e6,10e6,20e6,40e6",
                        help="comma-separated samples per second, tried in order")
    args = parser.parse_args()
    best = 0
    for text in args.rates.split(","):
        rate = int(float(text))
        samples, lost, blocks, elapsed = run(args.host, args.channel, rate, args.bits,
                                             args.block, args.seconds)
        print("%11d samples/s  %2d bits: %d samples in %d blocks, %d lost, %.1f s"
              % (rate, args.bits, samples, blocks, lost, elapsed), flush=True)
        if lost == 0:
            best = max(best, rate)
    print("highest rate without loss: %d samples/s" % best)
    return 0


if __name__ == "__main__":
    sys.exit(main())
