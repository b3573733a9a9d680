"""Recordings made by the velmora program: HDF5 read back by a second reader
(h5py, h5dump), raw files with their side files, exact durations, loss
reported from the time stamps, "-" for standard output, the progress line in
a narrow terminal, and what an interrupted or failed run says it saved.

Run by ctest as: python3 test_recording.py PATH/TO/velmora
Loopback addresses 127.<net>.17.1-9 (loopback_fixtures.address) belong to
this file: the main simulated device listens on .1, one that a test kills on
.3; .9 has nothing listening; 127.<net>.19.1 is a device of its own for one
test. Each test uses its own device channel.
"""
import json
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from loopback_fixtures import address, start_sim as start_velmora_sim, stop as stop_sim  # noqa: E402

try:
    import h5py
    import numpy
except ImportError:  # the HDF5 checks then rely on h5dump alone
    h5py = None

VELMORA = None
HOST = address(17, 1)
DYING_HOST = address(17, 3)
# A device of its own for the run frozen past its end.
FROZEN_HOST = address(19, 1)
SETTINGS = ["frequency_hz", "packet_bits", "sample_bytes", "stored_sample_bytes", "block_bytes", "azero",
            "lines", "mode", "attach", "host", "channel", "start_time_utc", "tool_version", "library_version",
            "ended", "first_sample", "samples", "target_samples", "lost_samples", "bytes", "replies", "seconds"]

# What makes the file a NeXus file, beside the settings (test_nexus.py checks the rest).
NEXUS_ROOT = ["NX_class", "default", "creator", "file_time"]


def run(*args, check=True, timeout=120, **kwargs):
    result = subprocess.run([VELMORA, *args], capture_output=True, timeout=timeout, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError("velmora %s exited %d:\n%s" % (
            " ".join(args), result.returncode, result.stderr.decode(errors="replace")))
    return result


def start_sim(host):
    return start_velmora_sim(VELMORA, host, 600)


def wait_for(path, seconds=20):
    """Until `path` exists: a side file appears once the run has started."""
    deadline = time.time() + seconds
    while not os.path.exists(path) and time.time() < deadline:
        time.sleep(0.02)


def has_hdf5():
    return "--h5" in run("acquire", "--help").stdout.decode()


def h5_attributes(path):
    """The root attributes as h5dump prints them: name -> text of the value."""
    out = subprocess.run(["h5dump", "-A", "-g", "/", path], capture_output=True, timeout=60).stdout.decode()
    names, current = {}, None
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("DATASET") or (line.startswith("GROUP") and not line.startswith('GROUP "/"')):
            break  # the datasets' and groups' own attributes follow
        if line.startswith('ATTRIBUTE "'):
            current = line.split('"')[1]
        elif current and line.startswith("(0):"):
            names[current] = line[4:].strip().strip('"')
            current = None
    return names


class Recordings(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = start_sim(HOST)
        cls.tmp = tempfile.TemporaryDirectory()
        cls.hdf5 = has_hdf5()

    @classmethod
    def tearDownClass(cls):
        stop_sim(cls.sim)
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def test_thirty_seconds_at_100_khz_are_exactly_3_000_000_samples_in_every_file(self):
        hz, bits, width, block, seconds = 100000, 24, 3, 1000, 30
        raw, h5 = self.path("long.bin"), self.path("long.h5")
        args = ["acquire", "-H", HOST, "-c", "1", "-f", str(hz), "-b", str(bits), "-B", str(block),
                "-l", "3=on", "-z", "off", "-t", str(seconds), "--json", raw]
        if self.hdf5:
            args += ["--h5", h5]
        summary = json.loads(run(*args).stdout)
        n = hz * seconds
        self.assertEqual((summary["samples"], summary["target_samples"], summary["lost_samples"]), (n, n, 0))
        self.assertEqual(summary["ended"], "complete")

        with open(raw, "rb") as f:
            data = f.read()
        self.assertEqual(len(data), n * width)
        expected = numpy.arange(n, dtype="<u4").view(numpy.uint8).reshape(n, 4)[:, :3].tobytes() if h5py else None
        if expected is not None:
            self.assertEqual(data, expected)

        with open(raw + ".json") as f:
            side = json.load(f)
        self.assertEqual(side["settings"]["frequency_hz"], hz)
        self.assertEqual(side["settings"]["packet_bits"], bits)
        self.assertEqual(side["settings"]["block_bytes"], block)
        self.assertEqual(side["settings"]["lines"], [{"line": 3, "on": True}])
        self.assertEqual(side["settings"]["azero"], "off")
        self.assertEqual((side["samples"], side["ended"], side["raw_file"]), (n, "complete", raw))
        self.assertRegex(side["start_time_utc"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")

        info = json.loads(run("info", raw, "--json").stdout)["recording"]
        self.assertEqual((info["samples"], info["settings"]["frequency_hz"]), (n, hz))
        text = run("info", raw).stdout.decode()
        self.assertIn("3,000,000 (30.000000 s)", text)
        self.assertIn("auto-zero off, 3=on", text)

        if not self.hdf5:
            return
        attributes = h5_attributes(h5)
        self.assertEqual(sorted(attributes), sorted(SETTINGS + NEXUS_ROOT))
        self.assertEqual(attributes["frequency_hz"], str(hz))
        self.assertEqual(attributes["lines"], "3=on")
        self.assertEqual(attributes["host"], HOST)
        self.assertEqual(attributes["samples"], str(n))
        if h5py:
            with h5py.File(h5, "r") as f:
                samples = f["samples"]
                self.assertEqual(samples.dtype, numpy.dtype("<u4"), "3-byte samples are stored in 4")
                self.assertEqual(samples.shape, (n,))
                self.assertIsNotNone(samples.chunks)
                self.assertEqual(samples.compression, "gzip")
                self.assertTrue(numpy.array_equal(samples[:], numpy.arange(n, dtype=numpy.uint32)))
                stamps = f["stamps"][:]
                self.assertEqual(list(f["stamps"].attrs["columns"]),
                                 ["time_us", "packet", "offset", "position", "first_sample"])
                self.assertEqual(len(stamps), summary["replies"])
                # Each reply's stamp is its first packet's time; its first whole
                # sample sits where the position column says.
                for time_us, packet, offset, position, first in stamps:
                    self.assertEqual(time_us, (packet * block // width) * 1000000 // hz)
                    self.assertEqual(offset, packet * block)
                    self.assertEqual(position, first)
                self.assertEqual(f["lost"].shape, (0, 2))
                self.assertEqual(f.attrs["start_time_utc"], side["start_time_utc"])
        self.assertGreater(n * 4 / os.path.getsize(h5), 20, "counting samples compress well")
        text = run("info", h5).stdout.decode()
        self.assertIn("(HDF5)", text)
        self.assertIn("3,000,000 (30.000000 s), from sample 0 of 3,000,000 asked", text)

    def test_packet_counts_are_exact_and_sample_widths_follow_the_bits(self):
        for bits, dtype in ((8, "u1"), (16, "<u2"), (40, "<u8")):
            with self.subTest(bits=bits):
                raw, h5 = self.path("n%d.bin" % bits), self.path("n%d.h5" % bits)
                args = ["acquire", "-H", HOST, "-c", "2", "-f", "50000", "-b", str(bits), "-B", "333",
                        "-n", "7", "--json", raw]
                if self.hdf5:
                    args += ["--h5", h5]
                summary = json.loads(run(*args).stdout)
                width = (bits + 7) // 8
                self.assertEqual((summary["packets"], summary["bytes"]), (7, 7 * 333))
                self.assertEqual(summary["samples"], 7 * 333 // width)
                self.assertEqual(os.path.getsize(raw), 7 * 333)
                if h5py and self.hdf5:
                    with h5py.File(h5, "r") as f:
                        self.assertEqual(f["samples"].dtype, numpy.dtype(dtype))
                        values = f["samples"][:]
                        mask = (1 << (8 * width)) - 1
                        self.assertEqual([int(v) for v in values], [i & mask for i in range(7 * 333 // width)])

    def test_a_starved_run_reports_exactly_the_samples_it_lost(self):
        # The tool is frozen long enough for the device to overwrite packets
        # nobody fetched (it keeps the newest 64 MiB): at 40 MB/s, 2.5 s.
        self.check_starved_run(HOST, "starved", 2.5)

    def test_a_run_frozen_past_its_end_counts_the_overwritten_end_as_lost(self):
        # Frozen from before the end until long after the time the tool
        # waits for a late last packet: the device kept running and has
        # overwritten the end, so the run is complete with that end lost,
        # not "ended early" with samples neither received nor counted.
        sim = start_sim(FROZEN_HOST)
        try:
            self.check_starved_run(FROZEN_HOST, "frozen", 6)
        finally:
            stop_sim(sim)

    def check_starved_run(self, host, name, frozen_s):
        hz, block, seconds = 40000000, 1 << 20, 3
        raw, stamps = self.path(name + ".bin"), self.path(name + ".csv")
        # The reply time-out is longer than the freeze: a process stopped
        # while it waits finds its deadline passed on waking, and this test is
        # about losses, not about time-outs.
        proc = subprocess.Popen([VELMORA, "acquire", "-H", host, "-c", "3", "-T", "20000", "-f", str(hz),
                                 "-b", "8", "-B", str(block), "-t", str(seconds), "--stamps", stamps,
                                 "--json", raw],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_for(raw + ".json")
            time.sleep(0.3)
            proc.send_signal(signal.SIGSTOP)
            time.sleep(frozen_s)
            proc.send_signal(signal.SIGCONT)
            out, err = proc.communicate(timeout=60)
        finally:
            proc.kill()
        self.assertEqual(proc.returncode, 0, err)
        summary = json.loads(out)
        n = hz * seconds
        self.assertEqual(summary["target_samples"], n)
        self.assertEqual(summary["ended"], "complete")
        self.assertGreater(summary["lost_samples"], 0)
        self.assertEqual(summary["samples"] + summary["lost_samples"], n)
        self.assertIn("warning: lost", err.decode())
        # The gaps again, from the replies' own packets (1-byte samples: a
        # lost byte is a lost sample).
        with open(stamps) as f:
            rows = [list(map(int, line.split(","))) for line in f.read().splitlines()[1:]]
        gaps, expected = [], 0
        for _, _, packet, offset, nbytes in rows:
            if offset > expected:
                gaps.append({"first_sample": expected, "samples": offset - expected})
            expected = offset + nbytes
        if expected < n:
            # The reply that showed it came after the end and was not kept.
            gaps.append({"first_sample": expected, "samples": n - expected})
        self.assertEqual([{k: g[k] for k in ("first_sample", "samples")} for g in summary["gaps"]], gaps)
        self.assertEqual(os.path.getsize(raw), summary["samples"])
        with open(raw + ".json") as f:
            side = json.load(f)
        self.assertEqual(side["lost_samples"], summary["lost_samples"])
        # Each gap's place in the raw file: the bytes before it are the
        # samples before it, less those lost earlier.
        lost_before = 0
        for gap in side["gaps"]:
            self.assertEqual(gap["raw_offset"], gap["first_sample"] - lost_before)
            lost_before += gap["samples"]

    def test_on_loss_stop_ends_the_run_at_the_first_gap_and_keeps_a_readable_file(self):
        if not self.hdf5:
            self.skipTest("built without HDF5")
        h5, raw = self.path("stop.h5"), self.path("stop.bin")
        # A reply time-out longer than the freeze, as in the starved runs.
        proc = subprocess.Popen([VELMORA, "acquire", "-H", HOST, "-c", "4", "-T", "20000", "-f", "40000000",
                                 "-b", "8", "-B", "1M", "-t", "10", "--on-loss", "stop", "--h5", h5, raw],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_for(raw + ".json")
            time.sleep(0.3)
            proc.send_signal(signal.SIGSTOP)
            time.sleep(2.5)
            proc.send_signal(signal.SIGCONT)
            out, err = proc.communicate(timeout=60)
        finally:
            proc.kill()
        err = err.decode()
        self.assertEqual(proc.returncode, 1, err)
        self.assertIn("stopped on loss (--on-loss stop): lost", err)
        self.assertIn("saved", err)
        attributes = h5_attributes(h5)
        self.assertEqual(attributes["ended"], "stopped on loss")
        self.assertGreater(int(attributes["lost_samples"]), 0)
        self.assertLess(int(attributes["samples"]) + int(attributes["lost_samples"]), 40000000 * 10)

    def test_dash_is_standard_output_for_every_file_option(self):
        base = ["acquire", "-H", HOST, "-c", "5", "-f", "10000", "-b", "16", "-B", "100", "-n", "5"]
        csv = run(*base, "--csv", "-")
        lines = csv.stdout.decode().splitlines()
        self.assertEqual(lines[0], "time_s,sample,value")
        self.assertEqual(len(lines), 1 + 5 * 50)
        self.assertIn("acquired", csv.stderr.decode(), "the summary moves to standard error")
        self.assertFalse(os.path.exists("-"))
        svg = run(*base, "--svg", "-").stdout.decode()
        self.assertTrue(svg.startswith("<?xml") and svg.rstrip().endswith("</svg>"))
        stamps = run(*base, "--stamps", "-").stdout.decode().splitlines()
        self.assertEqual(stamps[0], "reply,time_us,packet,offset,bytes")
        raw = run(*base, "-")
        self.assertEqual(raw.stdout, b"".join(struct.pack("<H", i) for i in range(250)))
        for extra, message in ((["--csv", "-", "-"], "only one output"), (["--h5", "-"], "--h5 needs a file")):
            with self.subTest(extra=extra):
                r = run(*base, *extra, check=False)
                if extra[0] == "--h5" and not self.hdf5:
                    self.assertEqual(r.returncode, 2)
                    continue
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr.decode())

    def test_progress_line_fits_a_40_column_terminal(self):
        master, slave = pty.openpty()
        import fcntl
        import termios
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 40, 0, 0))
        proc = subprocess.Popen([VELMORA, "acquire", "-H", HOST, "-c", "6", "-f", "2000000", "-b", "16",
                                 "-B", "4096", "-t", "1.5", self.path("pty.bin")],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        seen = b""
        deadline = time.time() + 60
        while time.time() < deadline:
            ready, _, _ = select.select([master], [], [], 0.5)
            if ready:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
            elif proc.poll() is not None:
                break
        proc.wait(30)
        os.close(master)
        self.assertEqual(proc.returncode, 0)
        pieces = [p for p in seen.replace(b"\r\n", b"\n").replace(b"\n", b"\r").split(b"\r") if p.strip()]
        self.assertTrue(pieces, "a progress line was shown")
        self.assertTrue(any(b"/1.5 s" in p for p in pieces), pieces)
        for p in pieces:
            self.assertLessEqual(len(p), 39, p)

    def test_an_interrupted_run_says_what_it_saved_and_its_files_are_complete(self):
        raw, h5 = self.path("int.bin"), self.path("int.h5")
        args = [VELMORA, "acquire", "-H", HOST, "-c", "7", "-f", "100000", "-b", "16", "-B", "1000", "-t", "30", raw]
        if self.hdf5:
            args += ["--h5", h5]
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_for(raw + ".json")
        time.sleep(1)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        err = err.decode()
        self.assertEqual(proc.returncode, 0, err)
        self.assertRegex(err, r"interrupted; saved [\d,]+ samples \([\d.]+ s of signal, [\d,]+ bytes\) in ")
        with open(raw + ".json") as f:
            side = json.load(f)
        self.assertEqual(side["ended"], "interrupted")
        self.assertEqual(os.path.getsize(raw), side["samples"] * 2)
        if h5py and self.hdf5:
            with h5py.File(h5, "r") as f:
                self.assertEqual(f.attrs["ended"], "interrupted")
                self.assertEqual(f["samples"].shape, (side["samples"],))

    def test_a_dropped_link_fails_but_keeps_a_readable_recording(self):
        sim = start_sim(DYING_HOST)
        raw, h5 = self.path("drop.bin"), self.path("drop.h5")
        args = [VELMORA, "acquire", "-H", DYING_HOST, "-f", "100000", "-b", "16", "-B", "1000", "-t", "30", raw]
        if self.hdf5:
            args += ["--h5", h5]
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_for(raw + ".json")
            time.sleep(1)
        finally:
            stop_sim(sim)
        out, err = proc.communicate(timeout=30)
        err = err.decode()
        self.assertEqual(proc.returncode, 1, err)
        self.assertRegex(err, r"failed; saved [\d,]+ samples")
        with open(raw + ".json") as f:
            side = json.load(f)
        self.assertTrue(side["ended"].startswith("failed: "), side["ended"])
        self.assertGreater(side["samples"], 0)
        if self.hdf5:
            self.assertTrue(h5_attributes(h5)["ended"].startswith("failed: "))
            described = run("info", h5).stdout.decode()
            self.assertIn("ended        failed: ", described)

    def test_attaching_records_exactly_the_asked_time_from_the_first_whole_sample(self):
        # 3-byte samples in 100-byte packets: the run joins at a packet that
        # starts inside a sample, so its first whole sample is the next one.
        base = ["-H", HOST, "-c", "8"]
        run("config", *base, "-f", "20000", "-b", "24", "-B", "100")
        run("start", *base, "--clear")
        time.sleep(0.3)
        run("ping", *base, "-r", "all", "-n", "1")  # takes what is there: the run joins later on
        raw = self.path("attach.bin")
        summary = json.loads(run("acquire", *base, "-A", "-f", "20000", "-b", "24", "-B", "100", "-t", "0.5",
                                 "--json", raw).stdout)
        run("clear", *base)
        first = summary["first_sample"]
        self.assertGreater(first, 0)
        self.assertEqual((summary["samples"], summary["lost_samples"]), (10000, 0))
        with open(raw, "rb") as f:
            data = f.read()
        # The raw file starts at the packet the run joined at; the whole
        # samples in it count from `first`.
        skip = first * 3 - (first * 3 // 100) * 100
        values = [int.from_bytes(data[skip + 3 * i:skip + 3 * i + 3], "little") for i in range(10000)]
        self.assertEqual(values, [(first + i) & 0xFFFFFF for i in range(10000)])
        self.assertEqual(len(data), skip + 3 * 10000)

    def test_latest_packets_skip_by_design_and_count_nothing_as_lost(self):
        summary = json.loads(run("acquire", "-H", HOST, "-c", "9", "-f", "100000", "-b", "16", "-B", "200",
                                 "-L", "-i", "50", "-t", "0.5", "--json", self.path("latest.bin")).stdout)
        self.assertGreater(summary["skipped_packets"], 0)
        self.assertEqual((summary["lost_samples"], summary["gaps"]), (0, []))
        self.assertEqual(summary["mode"], "latest")

    def test_option_mistakes_exit_2_with_the_reason(self):
        base = ["acquire", "-H", HOST, "-c", "10"]
        for args, reason in ((["--on-loss", "panic"], "--on-loss"), (["-B", "17M"], "between 1 and 16777216"),
                             (["-z", "maybe"], "takes on or off"), (["-l", "32=on"], "between 0 and 31"),
                             (["-A", "-l", "3=on"], "--attach sends no settings"), (["-t", "-1"], "seconds")):
            with self.subTest(args=args):
                r = run(*base, *args, check=False)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(reason, r.stderr.decode())
                self.assertIn("Try 'velmora acquire --help'", r.stderr.decode())
        # Suffixes and hexadecimal still work where byte counts are asked.
        summary = json.loads(run(*base, "-f", "1000", "-b", "8", "-B", "0x40", "-n", "2", "--json").stdout)
        self.assertEqual(summary["bytes"], 128)

    def test_info_reads_a_side_file_named_directly_and_refuses_other_json(self):
        raw = self.path("direct.bin")
        run("acquire", "-H", HOST, "-c", "11", "-f", "1000", "-n", "2", raw)
        described = json.loads(run("info", raw + ".json", "--json").stdout)
        self.assertEqual(described["recording"]["settings"]["block_bytes"], 256)
        self.assertEqual(described["recording"]["samples"], 256)
        other = self.path("other.json")
        with open(other, "w") as f:
            f.write('{"format": "something else"}')
        r = run("info", other, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("does not describe a velmora recording", r.stderr.decode())

    def test_info_of_a_file_without_settings_says_so(self):
        bare = self.path("bare.bin")
        with open(bare, "wb") as f:
            f.write(b"\0" * 10)
        r = run("info", bare, check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("has no side file", r.stderr.decode())
        r = run("info", self.path("missing.bin"), check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot open", r.stderr.decode())


if __name__ == "__main__":
    VELMORA = sys.argv.pop(1)
    unittest.main(verbosity=2)
