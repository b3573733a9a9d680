"""Stream samples continuously to a raw file and count what was lost.

    python3 stream_to_file.py [--host 127.0.0.1] [--seconds 5] [--out samples.u16]

The file holds the samples back to back as little-endian unsigned 16-bit
numbers (numpy.fromfile(path, "<u2") reads it back). Samples the host was
too slow to fetch are reported, never skipped silently; the file then lacks
them, and the count printed at the end says how many.
"""

import argparse
import sys

import velmora


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--channel", type=int, default=0)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rate", type=int, default=1_000_000, help="samples per second")
    parser.add_argument("--out", default="samples.u16")
    args = parser.parse_args()

    written = lost = 0
    with velmora.Device(args.host, "input", args.channel) as dev, open(args.out, "wb") as out:
        blocks = dev.stream(args.seconds, frequency=args.rate, bits=16, block_size=8192,
                            on_loss="ignore")  # counted below instead of warned
        for block in blocks:
            if block.lost:
                print("lost %d samples before %.6f s" % (block.lost, block.t0), file=sys.stderr)
            lost += block.lost
            data = block.samples
            if sys.byteorder != "little":
                data = data.byteswap() if velmora.have_numpy() else _swapped(data)
            out.write(data)
            written += len(block.samples)
        dev.clear()
    print("%d samples written to %s, %d lost" % (written, args.out, lost))
    return 0


def _swapped(values):
    copy = values[:]
    copy.byteswap()
    return copy


if __name__ == "__main__":
    sys.exit(main())
