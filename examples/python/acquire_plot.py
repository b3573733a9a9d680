"""Acquire one second of samples into numpy arrays and plot them to a PNG.

    python3 acquire_plot.py [--host 127.0.0.1] [--out acquisition.png]

Start a simulated device first (build/tools/velmora-sim -a 127.0.0.1).
The plot needs matplotlib; without it the samples are still acquired and
summarised.
"""

import argparse
import sys

import velmora


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--channel", type=int, default=0)
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--out", default="acquisition.png")
    args = parser.parse_args()

    with velmora.Device(args.host, "input", args.channel) as dev:
        dev.set_frequency(20_000)
        dev.set_packet_bits(12)
        dev.set_block_size(512)
        times, samples = dev.acquire(args.seconds)
    print("%d samples at %d Hz, %d to %d, last at %.6f s"
          % (len(samples), dev.frequency, min(samples), max(samples), times[-1]))

    if not velmora.have_numpy():
        print("numpy is not installed: the values came as a SampleArray; no plot")
        return 0
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot (pip install matplotlib)")
        return 0
    figure, axes = plt.subplots(figsize=(8, 3))
    axes.plot(times, samples, linewidth=0.8)
    axes.set_xlabel("time (s)")
    axes.set_ylabel("sample value")
    figure.tight_layout()
    figure.savefig(args.out, dpi=100)
    print("plot written to %s" % args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
