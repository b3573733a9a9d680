#!/usr/bin/python3
"""Writes the starting corpus of the recording-reader fuzz target into
fuzz/corpus/recording/.

Run as: /usr/bin/python3 fuzz/make_recording_seeds.py PATH/TO/velmora
(Debian's Python, for h5py). The real-*.h5 and real-*.json files are
recordings the tool writes, made against its simulated device on
127.<VELMORA_TEST_NET>.21.1; the others are hostile files, each damaged in
one way a reader must refuse or escape. The tool's tests read the hostile
ones by name. Run it again after changing it; the files are committed.
"""
import os
import subprocess
import sys
import tempfile

import h5py
import numpy

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from loopback_fixtures import address, start_sim, stop  # noqa: E402

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "recording")
ESCAPES = "lab\x1b]0;owned\x07\x1b[2J\x9b31m"


def real_recordings(velmora, tmp):
    host = address(21, 1)
    sim = start_sim(velmora, host, 60)
    try:
        for name, extra in (("plain", []), ("lines", ["-l", "3=on", "-l", "5=off", "-z", "on", "-b", "24"])):
            raw, h5 = os.path.join(tmp, name + ".bin"), os.path.join(tmp, name + ".h5")
            subprocess.run([velmora, "acquire", "-H", host, "-c", "2", "-f", "1000", "-B", "64", "-t", "0.05",
                            *extra, raw, "--h5", h5], check=True, capture_output=True, timeout=60)
            with open(raw + ".json", "rb") as f:
                write("real-%s.json" % name, f.read())
            with open(h5, "rb") as f:
                write("real-%s.h5" % name, f.read())
    finally:
        stop(sim)


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def recording(f):
    """The root attributes of a sound recording, for files damaged elsewhere."""
    for key, value in (("frequency_hz", 1000), ("packet_bits", 16), ("sample_bytes", 2), ("block_bytes", 64),
                       ("channel", 2), ("attach", 0), ("samples", 0), ("lost_samples", 0)):
        f.attrs[key] = numpy.int64(value)
    f.attrs["host"] = "127.0.0.1"


def hostile_hdf5(tmp):
    def make(name, build):
        path = os.path.join(tmp, name)
        with h5py.File(path, "w") as f:
            build(f)
        with open(path, "rb") as f:
            write(name, f.read())

    def array_frequency(f):
        recording(f)
        f.attrs["frequency_hz"] = numpy.full(64, 0x414140, "<i8")

    def rank_32_samples(f):
        recording(f)
        f.create_dataset("samples", shape=(1,) * 32, dtype="<u2")

    def huge_lost(f):
        recording(f)
        f.create_dataset("lost", shape=(1 << 25, 2), dtype="<u8")

    def one_chunk_lost(f):
        recording(f)
        f.create_dataset("lost", shape=(1 << 25, 2), chunks=(1 << 24, 2), dtype="<u8")

    def array_host(f):
        recording(f)
        f.attrs["host"] = numpy.array([b"a" * 8] * 64)

    def escaping_host(f):
        recording(f)
        f.attrs["host"] = ESCAPES
        f.attrs["ended"] = numpy.bytes_(b"complete\x1b[31m\xff")  # fixed-length, not UTF-8

    def text_frequency(f):
        recording(f)
        f.attrs["frequency_hz"] = "1000"

    def negative_frequency(f):
        recording(f)
        f.attrs["frequency_hz"] = numpy.int64(-5)

    def bad_lines(f):
        recording(f)
        f.attrs["lines"] = "3=on x=maybe"

    for name, build in (("array-frequency.h5", array_frequency), ("rank-32-samples.h5", rank_32_samples),
                        ("huge-lost.h5", huge_lost), ("one-chunk-lost.h5", one_chunk_lost),
                        ("array-host.h5", array_host), ("escaping-host.h5", escaping_host),
                        ("text-frequency.h5", text_frequency), ("negative-frequency.h5", negative_frequency),
                        ("bad-lines.h5", bad_lines)):
        make(name, build)


def hostile_side_files():
    import json
    with open(os.path.join(OUT, "real-plain.json"), "rb") as f:
        good = json.load(f)

    def variant(name, change):
        j = json.loads(json.dumps(good))
        change(j)
        write(name, json.dumps(j, indent=2).encode())

    variant("negative-frequency.json", lambda j: j["settings"].update(frequency_hz=-5))
    variant("text-frequency.json", lambda j: j["settings"].update(frequency_hz="1000"))
    variant("escaping-host.json", lambda j: j["device"].update(host=ESCAPES))
    variant("list-samples.json", lambda j: j.update(samples=[1, 2]))
    variant("huge-line.json", lambda j: j["settings"].update(lines=[{"line": 1 << 40, "on": True}]))
    write("deep.json", b'{"format": "velmora recording", "x": ' + b"[" * 1000 + b"]" * 1000 + b"}")
    write("not-json.json", b'{"format": "velmora recording", \x1b[2J')


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    os.makedirs(OUT, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        real_recordings(sys.argv[1], tmp)
        hostile_hdf5(tmp)
    hostile_side_files()


if __name__ == "__main__":
    main()
