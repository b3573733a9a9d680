"""The tool's HDF5 recordings as NeXus files, single and group: silx finds
the default plot and every NXdata group is valid, the time axis tells the
truth, `velmora info` reads both and a file in the layout before NeXus; a
group run in which one device dies and comes back under --reconnect.

Run by ctest as: /usr/bin/python3 test_nexus.py PATH/TO/velmora
Loopback addresses 127.<net>.53.1-9 (loopback_fixtures.address) belong to
this file: group devices on .1-.4, the device a test kills on .5, the devices of the
group example of docs/cli.md on .6 and .7; nothing listens on .9.
"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from loopback_fixtures import address, start_sim, stop as stop_sim  # noqa: E402

try:
    import h5py
    import numpy
    import silx.io.nxdata as nxdata
except ImportError as missing:
    h5py = None
    WHY_NO_SILX = "needs h5py, numpy and silx (Debian: python3-h5py python3-silx): %s" % missing

VELMORA = None
HERE = os.path.dirname(os.path.abspath(__file__))
PRE_NEXUS = os.path.join(HERE, "data", "pre-nexus-recording.h5")
HOSTS = [address(53, i) for i in range(1, 5)]
DYING_HOST = address(53, 5)
ABSENT_HOST = address(53, 9)
DOCS = os.path.join(HERE, "..", "..", "docs", "cli.md")
# The docs' example addresses and the ones it runs on here.
DOCS_HOSTS = {"127.0.0.2": address(53, 6), "127.0.0.3": address(53, 7)}


def run(*args, check=True, timeout=120):
    result = subprocess.run([VELMORA, *args], capture_output=True, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError("velmora %s exited %d:\n%s" % (
            " ".join(args), result.returncode, result.stderr.decode(errors="replace")))
    return result


def has_hdf5():
    return "--h5" in run("acquire", "--help").stdout.decode()


def check_nexus(test, path):
    """silx's own reading: the default plot is found, every NXdata is valid."""
    with h5py.File(path, "r") as f:
        test.assertIsNotNone(nxdata.get_default(f), path + ": no default plot")
        groups = []
        f.visititems(lambda name, item: groups.append(name) if isinstance(item, h5py.Group)
                     and item.attrs.get("NX_class") in ("NXdata", b"NXdata") else None)
        test.assertTrue(groups)
        for name in groups:
            test.assertTrue(nxdata.is_valid_nxdata(f[name]), path + ": " + name + " is not valid NXdata")


class Layout(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not has_hdf5():
            raise unittest.SkipTest("this build has no HDF5 support")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.sims = [start_sim(VELMORA, h, 300) for h in HOSTS]

    @classmethod
    def tearDownClass(cls):
        for s in cls.sims:
            stop_sim(s)
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def test_info_reads_a_recording_in_the_layout_before_nexus(self):
        text = run("info", PRE_NEXUS).stdout.decode()
        self.assertIn("samples      100 (0.050000 s), from sample 0 of 100 asked", text)
        self.assertIn("ended        complete", text)
        r = json.loads(run("info", PRE_NEXUS, "--json").stdout)["recording"]
        self.assertEqual((r["samples"], r["settings"]["frequency_hz"]), (100, 2000))

    @unittest.skipIf(h5py is None, globals().get("WHY_NO_SILX", ""))
    def test_a_single_recording_is_nexus_and_keeps_its_layout(self):
        out = self.path("single.h5")
        run("acquire", "-H", HOSTS[0], "-c", "1", "-t", "0.5", "-f", "20000", "-q", "--h5", out)
        check_nexus(self, out)
        with h5py.File(out, "r") as f:
            root = f["/"].attrs
            self.assertEqual((root["NX_class"], root["default"]), ("NXroot", "entry"))
            self.assertEqual(root["samples"], 10000)  # the attributes of the layout before
            self.assertEqual(f["entry"].attrs["default"], "data")
            # The same dataset, not a copy.
            self.assertEqual(f["samples"].id, f["entry/data/samples"].id)
            self.assertEqual(list(f["entry/data/time"][()]), [0.0, 1 / 20000])
            self.assertEqual(f["entry/data/time"].attrs["units"], "s")
            device = f["entry/instrument/device"]
            self.assertEqual(device["frequency_hz"][()], 20000)
            self.assertEqual(device["ended"][()], b"complete")
            self.assertEqual(len(device["reply_times/value"]), f["stamps"].shape[0])
            self.assertTrue(f["entry/end_time"][()].decode().endswith("+00:00"))
        self.assertIn("samples      10,000", run("info", out).stdout.decode())

    @unittest.skipIf(h5py is None, globals().get("WHY_NO_SILX", ""))
    def test_a_recording_with_breaks_gives_every_sample_its_own_time(self):
        out, hz = self.path("latest.h5"), 100000
        run("acquire", "-H", HOSTS[0], "-c", "5", "-L", "-t", "1", "-f", str(hz), "-q", "--h5", out)
        check_nexus(self, out)
        with h5py.File(out, "r") as f:
            samples, t = f["samples"][()], f["entry/data/time"][()]
        self.assertEqual(len(t), len(samples))
        self.assertGreater(len(samples), 2)
        # The simulated device's sample is its index: the time must say the same.
        self.assertTrue(numpy.array_equal(numpy.rint(t * hz).astype(numpy.int64) % 65536, samples.astype(numpy.int64)))
        self.assertTrue(numpy.all(numpy.diff(t) > 0))

    @unittest.skipIf(h5py is None, globals().get("WHY_NO_SILX", ""))
    def test_a_group_recording_is_nexus_with_every_device_exact(self):
        out, raw = self.path("group.h5"), self.path("group.bin")
        r = run("acquire", "--hosts", ",".join(HOSTS), "-c", "2", "-t", "1", "-f", "50000", "--h5", out, raw, "--json")
        summary = json.loads(r.stdout)
        self.assertLess(summary["start_spread_s"], 0.5)
        self.assertEqual([d["ended"] for d in summary["devices"]], ["complete"] * 4)
        check_nexus(self, out)
        with h5py.File(out, "r") as f:
            self.assertEqual(f["/"].attrs["devices"], 4)
            self.assertEqual(f["entry"].attrs["default"], "device0")
            self.assertGreaterEqual(f["entry/start_spread_s"][()], 0)
            for i, host in enumerate(HOSTS):
                samples = f["entry/device%d/samples" % i][()]
                self.assertTrue(numpy.array_equal(samples, numpy.arange(50000, dtype="<u2")), host)
                collection = f["entry/instrument/device%d" % i]
                self.assertEqual(collection["host"][()].decode(), host)
                self.assertEqual(len(collection["gaps/value"]), 0)
        for i in range(4):  # raw files, one per device, with their side files
            self.assertEqual(os.path.getsize(self.path("group.dev%d.bin" % i)), 100000)
        info = json.loads(run("info", out, "--json").stdout)
        self.assertEqual([d["device"]["host"] for d in info["devices"]], HOSTS)
        self.assertEqual([d["samples"] for d in info["devices"]], [50000] * 4)
        self.assertIn("device       %s, channel 2" % HOSTS[3], run("info", out).stdout.decode())

    @unittest.skipIf(h5py is None, globals().get("WHY_NO_SILX", ""))
    def test_a_device_that_cannot_be_reached_leaves_the_others_complete(self):
        out = self.path("absent.h5")
        r = run("acquire", "--hosts", HOSTS[1] + "," + ABSENT_HOST, "-c", "4", "-t", "0.5", "-f", "10000",
                "--h5", out, "--json", check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn(ABSENT_HOST + ": failed: cannot connect", r.stderr.decode())
        present, absent = json.loads(r.stdout)["devices"]
        self.assertEqual((present["ended"], present["samples"]), ("complete", 5000))
        self.assertTrue(absent["ended"].startswith("failed: cannot connect"))
        check_nexus(self, out)  # an empty device is still a valid plot
        info = json.loads(run("info", out, "--json").stdout)["devices"]
        self.assertEqual([d["samples"] for d in info], [5000, 0])
        self.assertTrue(info[1]["ended"].startswith("failed: cannot connect"))

    def test_group_mistakes_exit_2_with_the_reason(self):
        for args, reason in [(["--reconnect", "-H", HOSTS[0]], "--reconnect applies to a group"),
                             (["--hosts", HOSTS[0], "--csv", "-"], "one file per device"),
                             (["--hosts", HOSTS[0], "--reconnect", "-A"], "--attach never does"),
                             (["--hosts", HOSTS[0], "-H", HOSTS[1]], "use one or the other")]:
            r = run("acquire", *args, check=False)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(reason, r.stderr.decode())

    @unittest.skipIf(h5py is None, globals().get("WHY_NO_SILX", ""))
    def test_a_device_killed_mid_run_comes_back_as_one_gap_and_the_others_go_on(self):
        out, hz, seconds = self.path("outage.h5"), 100000, 5
        dying = start_sim(VELMORA, DYING_HOST, 60)
        acquire = subprocess.Popen([VELMORA, "acquire", "--hosts", HOSTS[0] + "," + DYING_HOST, "-c", "3",
                                    "-t", str(seconds), "-f", str(hz), "--reconnect", "--reconnect-timeout", "20",
                                    "--h5", out, "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            time.sleep(1.5)
            stop_sim(dying)  # the link drops; nothing listens for a while
            time.sleep(1)
            dying = start_sim(VELMORA, DYING_HOST, 60)
            stdout, stderr = acquire.communicate(timeout=60)
        finally:
            acquire.kill()
            stop_sim(dying)
        self.assertEqual(acquire.returncode, 0, stderr.decode())
        steady, revived = json.loads(stdout)["devices"]
        self.assertEqual((steady["samples"], steady["lost_samples"], steady["outages"]), (hz * seconds, 0, []))
        self.assertEqual(len(revived["outages"]), 1)
        outage = revived["outages"][0]
        first, resume = outage["first_sample"], outage["resume_sample"]
        self.assertEqual(resume - first, outage["estimated_missed_samples"])
        self.assertGreater(outage["end_s"] - outage["begin_s"], 0.9, stderr.decode())
        # Nothing counted twice, nothing made up: what arrived and what was missed make the run.
        self.assertEqual(revived["samples"] + revived["lost_samples"], hz * seconds)
        self.assertEqual(revived["gaps"], [{"first_sample": first, "samples": resume - first,
                                            "time_s": first / hz}])
        check_nexus(self, out)
        with h5py.File(out, "r") as f:
            samples = f["entry/device1/samples"][()]
            # Up to the outage the device's own count, after it a restarted one.
            self.assertTrue(numpy.array_equal(samples[:first], numpy.arange(first, dtype="<u2")))
            after = len(samples) - first
            self.assertTrue(numpy.array_equal(samples[first:], numpy.arange(after, dtype="<u2")))
            t = f["entry/device1/time"][()]
            self.assertEqual(len(t), len(samples))  # one time per sample once there is a break
            self.assertAlmostEqual(t[first - 1], (first - 1) / hz)
            self.assertAlmostEqual(t[first], resume / hz)
            gaps = f["entry/instrument/device1/gaps"]
            self.assertEqual((list(gaps["first_sample"]), list(gaps["value"]), list(gaps["estimated"])),
                             ([first], [resume - first], [1]))
            self.assertEqual(len(f["entry/device0/time"]), 2)

    @unittest.skipIf(h5py is None, globals().get("WHY_NO_SILX", ""))
    def test_the_group_example_of_the_docs_runs_as_written(self):
        with open(DOCS) as f:
            text = f.read()
        block = re.search(r"<!-- cli-test: group-example -->\n```sh\n(.*?)```", text, re.S)
        self.assertIsNotNone(block, "docs/cli.md lost its group example")
        script = block.group(1)
        for written, here in DOCS_HOSTS.items():
            script = script.replace(written, here)
        work = self.path("docs-example")
        os.mkdir(work)
        env = dict(os.environ, PATH=os.path.dirname(os.path.abspath(VELMORA)) + os.pathsep + os.environ["PATH"])
        # Into a file: the devices it leaves running would hold a pipe open.
        with open(os.path.join(work, "output.txt"), "w+b") as out:
            shell = subprocess.Popen(["bash", "-e", "-o", "pipefail", "-c", script], cwd=work, env=env,
                                     stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
            try:
                shell.wait(timeout=60)
            finally:
                try:
                    os.killpg(shell.pid, signal.SIGTERM)  # the simulated devices it left running
                except ProcessLookupError:
                    pass
            out.seek(0)
            text = out.read().decode()
        self.assertEqual(shell.returncode, 0, text)
        self.assertIn("acquired a group of 2 devices", text)
        self.assertEqual(text.count("samples   200,000 of 200,000 asked, lost 0 in 0 gaps"), 2)
        self.assertIn("(200000,)", text)
        for name in ["group.dev0.bin", "group.dev1.bin.json", "group.h5"]:
            self.assertTrue(os.path.exists(os.path.join(work, name)), name)
        check_nexus(self, os.path.join(work, "group.h5"))


if __name__ == "__main__":
    VELMORA = sys.argv.pop(1)
    unittest.main(verbosity=2)
