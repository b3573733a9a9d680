"""The velmora program against the simulated device it runs itself (`velmora sim`).

Run by ctest as: python3 test_cli.py PATH/TO/velmora
Loopback addresses 127.<net>.0.140-149 (loopback_fixtures.address) belong to
this file: the device listens on .140, and .149 has nothing listening. Each test uses its own device channel,
so the tests do not disturb one another's acquisition or data store.
"""
import json
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from loopback_fixtures import address, start_sim, stop  # noqa: E402

VELMORA = None
HOST = address(0, 140)
CLOSED_HOST = address(0, 149)
SUBCOMMANDS = ["info", "ping", "config", "start", "clear", "acquire", "read", "write",
               "sim", "demo", "errors"]


def run(*args, check=True, stdin=None):
    result = subprocess.run([VELMORA, *args], capture_output=True, timeout=60, stdin=stdin)
    if check and result.returncode != 0:
        raise AssertionError("velmora %s exited %d:\n%s" % (
            " ".join(args), result.returncode, result.stderr.decode(errors="replace")))
    return result


def packet_time_us(packet, block, width, hz):
    return (packet * block // width) * 1000000 // hz


class CliAgainstSimulatedDevice(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = start_sim(VELMORA, HOST, 300)
        cls.tmp = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        stop(cls.sim)
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def test_acquire_writes_the_sample_sequence_to_raw_csv_and_svg(self):
        # 3-byte samples in 100-byte packets: samples straddle packet and
        # reply boundaries, so the decoder must join them.
        hz, bits, width, block = 20000, 24, 3, 100
        raw, csv, svg, stamps = (self.path(n) for n in ("a.bin", "a.csv", "a.svg", "a-stamps.csv"))
        r = run("acquire", "-H", HOST, "-c", "1", "-f", str(hz), "-b", str(bits), "-B", str(block),
                "-t", "0.6", "--csv", csv, "--svg", svg, "--stamps", stamps, "--json", raw)
        self.assertEqual(r.stderr, b"", "piped: results only, no progress line")
        summary = json.loads(r.stdout)
        self.assertTrue(summary["ok"])
        self.assertGreater(summary["packets"], 10)
        self.assertEqual(summary["skipped_packets"], 0)

        with open(raw, "rb") as f:
            data = f.read()
        self.assertEqual(len(data), summary["bytes"])
        self.assertEqual(len(data), summary["packets"] * block)
        expected = b"".join(struct.pack("<I", n)[:width] for n in range(len(data) // width + 1))
        self.assertEqual(data, expected[:len(data)])

        with open(csv) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "time_s,sample,value")
        rows = [line.split(",") for line in lines[1:]]
        self.assertEqual(len(rows), len(data) // width)
        self.assertEqual(len(rows), summary["samples"])
        for n, (t, index, value) in enumerate(rows):
            self.assertEqual((int(index), int(value)), (n, n))
            self.assertAlmostEqual(float(t), n / hz, places=9)

        with open(stamps) as f:
            stamp_rows = [line.split(",") for line in f.read().splitlines()[1:]]
        self.assertEqual(len(stamp_rows), summary["replies"])
        for _, time_us, packet, offset, nbytes in stamp_rows:
            self.assertEqual(int(time_us), packet_time_us(int(packet), block, width, hz))
            self.assertEqual(int(offset), int(packet) * block)

        root = ET.parse(svg).getroot()
        self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")
        self.assertTrue(root.iter("{http://www.w3.org/2000/svg}polyline"))

    def test_latest_packets_are_placed_by_their_time_stamps(self):
        hz, block = 10000, 200
        csv, stamps = self.path("l.csv"), self.path("l-stamps.csv")
        r = run("acquire", "-H", HOST, "-c", "2", "-f", str(hz), "-b", "16", "-B", str(block),
                "-L", "-n", "3", "-i", "60", "--csv", csv, "--stamps", stamps, "--json")
        summary = json.loads(r.stdout)
        self.assertEqual(summary["packets"], 3)
        with open(stamps) as f:
            packets = [int(line.split(",")[2]) for line in f.read().splitlines()[1:]]
        self.assertEqual(len(packets), 3)
        self.assertEqual(packets, sorted(set(packets)))
        with open(csv) as f:
            rows = [tuple(map(float, line.split(","))) for line in f.read().splitlines()[1:]]
        self.assertEqual(len(rows), 3 * block // 2)
        for t, index, value in rows:
            self.assertEqual(value, index % 65536)
            self.assertAlmostEqual(t, index / hz, places=9)
        self.assertEqual(sorted({int(i) // (block // 2) for _, i, _ in rows}), packets)

    def test_written_block_reads_back_intact_and_an_empty_store_is_explained(self):
        block = bytes(random.Random(7).getrandbits(8) for _ in range(100000))
        src, dst = self.path("w.bin"), self.path("r.bin")
        with open(src, "wb") as f:
            f.write(block)
        w = json.loads(run("write", "-H", HOST, "-c", "3", "--json", src).stdout)
        self.assertEqual((w["sent"], w["taken"]), (len(block), len(block)))
        r = json.loads(run("read", "-H", HOST, "-c", "3", "-n", "200k", "--json", dst).stdout)
        self.assertEqual((r["asked"], r["bytes"]), (200 * 1024, len(block)))
        with open(dst, "rb") as f:
            self.assertEqual(f.read(), block)
        # Through standard input and output as well.
        with open(src, "rb") as f:
            run("write", "-H", HOST, "-c", "3", "-", stdin=f)
        piped = run("read", "-H", HOST, "-c", "3", "-n", "100000", "-")
        self.assertEqual(piped.stdout, block)

        empty = run("read", "-H", HOST, "-c", "3", dst, check=False)
        self.assertEqual(empty.returncode, 1)
        err = empty.stderr.decode()
        self.assertIn("58 ERROR_BAD_NET_RESP", err)
        self.assertIn("device status 3: the data store is empty", err)

    def test_a_first_packet_that_takes_hours_is_announced_at_once(self):
        # 16 MiB of 16-bit samples at 1 kHz: the first packet takes 8,389 s.
        args = [VELMORA, "acquire", "-H", HOST, "-c", "5", "-f", "1000", "-B", "16M", "-t", "0.5",
                self.path("slow.bin")]
        tool = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        # Interrupted after a while in any case, so a missing warning cannot hang the test.
        interrupt = threading.Timer(15, tool.send_signal, (signal.SIGINT,))
        interrupt.start()
        try:
            line = tool.stderr.readline()  # the warning comes before any data could
        finally:
            interrupt.cancel()
            if tool.poll() is None:
                tool.send_signal(signal.SIGINT)
            tool.communicate(timeout=30)
        self.assertIn("warning: a packet of 16,777,216 bytes", line)
        self.assertIn("completes 8388.61 s after the start", line)

    def test_unreachable_device_prints_number_and_name_and_fails(self):
        for args in (["ping", "-n", "1"], ["acquire", "-t", "0.1"], ["write", self.path("none")]):
            with self.subTest(args=args[0]):
                if args[0] == "write":
                    with open(args[1], "wb") as f:
                        f.write(b"x")
                r = run(*args, "-H", CLOSED_HOST, check=False)
                self.assertEqual(r.returncode, 1)
                self.assertIn("1203 ERROR_NO_NET_OR_BAD_PATH", r.stderr.decode())
        r = run("info", "-H", CLOSED_HOST, "--json", check=False)
        self.assertEqual(r.returncode, 1)
        report = json.loads(r.stdout)
        self.assertFalse(report["ok"])
        self.assertEqual([p["result"] for p in report["ports"]], [1203, 1203])
        r = run("read", "-H", CLOSED_HOST, "--json", self.path("x"), check=False)
        self.assertEqual(json.loads(r.stdout)["error"]["name"], "ERROR_NO_NET_OR_BAD_PATH")

    def test_commands_reach_the_device_before_the_tool_exits(self):
        # Each command runs in its own process, which closes its handle at
        # once; closing drops requests still queued, so this shows the tool
        # lets them leave first.
        base = ["-H", HOST, "-c", "4", "--json"]
        sent = json.loads(run("config", *base, "-f", "5000", "-b", "8", "-B", "50",
                              "-l", "3=on", "-z", "off").stdout)["sent"]
        self.assertEqual(sent["frequency_hz"], 5000)
        self.assertTrue(json.loads(run("start", *base, "--clear").stdout)["ok"])
        time.sleep(0.05)
        probe = json.loads(run("info", *base, "--probe").stdout)["probe"]
        self.assertEqual(probe["result"], 0, probe)
        self.assertEqual(probe["bytes"], 50)
        self.assertTrue(json.loads(run("clear", *base).stdout)["ok"])
        probe = json.loads(run("info", *base, "--probe").stdout)["probe"]
        self.assertEqual((probe["result"], probe["device_status"]), (58, 1))

        ping = json.loads(run("ping", *base, "-n", "3", "-i", "0").stdout)
        self.assertEqual((ping["sent"], ping["replies"], ping["lost"]), (3, 3, 0))
        self.assertLessEqual(ping["rtt_ms"]["min"], ping["rtt_ms"]["max"])
        errors = json.loads(run("errors", "--json").stdout)
        self.assertIn({"number": 2250, "name": "ERROR_NOT_CONNECTED",
                       "meaning": "the connection to the device is down"}, errors["results"])

    def test_every_subcommand_has_help_and_mistakes_exit_2(self):
        for command in SUBCOMMANDS:
            with self.subTest(command=command):
                r = run(command, "--help")
                self.assertTrue(r.stdout.decode().startswith("usage: velmora " + command), r.stdout)
        self.assertTrue(run("--help").stdout.decode().startswith("usage: velmora COMMAND"))
        for args in (["acquire", "--bogus"], ["config", "-H", HOST], ["config", "-f", "0"],
                     ["read"], ["nonsense"], ["ping", "-n"]):
            with self.subTest(args=args):
                self.assertEqual(run(*args, check=False).returncode, 2)


if __name__ == "__main__":
    VELMORA = sys.argv.pop(1)
    unittest.main(verbosity=2)
