"""The tool's HDF5 recordings as NeXus files, single and group: silx finds
the default plot and every NXdata group is valid, the time axis tells the
truth, `velmora info` reads both and a file in the layout before NeXus; a
group run in which one device dies and comes back under --reconnect.

Run by ctest as: /usr/bin/python3 test_nexus.py PATH/TO/velmora
Loopback addresses 127.<net>.53.1-9 (loopback_fixtures.address) belong to
this file: group devices on .1-.4, the device a test kills on .5.
"""
import json
import os
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


if __name__ == "__main__":
    VELMORA = sys.argv.pop(1)
    unittest.main(verbosity=2)
