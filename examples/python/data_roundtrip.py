"""Write a data block to the device's store, then read it back into a
preallocated buffer.

    python3 data_roundtrip.py [--host 127.0.0.1] [--size 100000]
"""

import argparse
import os
import sys

import velmora


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--channel", type=int, default=0)
    parser.add_argument("--size", type=int, default=100_000, help="bytes")
    args = parser.parse_args()

    block = os.urandom(args.size)
    with velmora.Device(args.host, "output", args.channel) as out:
        taken = out.write_data(block)
    if taken < len(block):
        print("the device's store took only %d of %d bytes" % (taken, len(block)))
        return 1

    received = bytearray(args.size)
    filled = 0
    with velmora.Device(args.host, "input", args.channel) as inp:
        while filled < args.size:
            # Each read takes what the store holds, up to the rest of the buffer.
            filled += inp.read_into(memoryview(received)[filled:])
    same = received == block
    print("wrote %d bytes, read back %d: %s" % (taken, filled, "identical" if same else "DIFFERENT"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
