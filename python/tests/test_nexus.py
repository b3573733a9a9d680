"""Recordings in the tool's NeXus layout, single and group files: NeXus
readers find the plot, the time axis never places a sample at a wrong
time, and the tool reads what Python wrote."""

import os
import subprocess
import tempfile
import time
import unittest
import warnings
from pathlib import Path

import velmora

from .simulator import SimulatedDevice, SimTestCase, address
from .test_group import NOTHING_LISTENS
from .test_recording import cli_path

try:
    import h5py
    from silx.io import nxdata
except ImportError:
    h5py = nxdata = None


@unittest.skipIf(nxdata is None, "needs h5py and silx (Debian: python3-h5py python3-silx, "
                                 "under /usr/bin/python3)")
class NexusRecordingTest(SimTestCase):
    ADDRESS = address(60, 5)

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.second = SimulatedDevice(address(60, 6))
        cls.second.start()
        cls.addClassCleanup(cls.second.stop)

    def setUp(self) -> None:
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = Path(folder.name)

    def check_nexus(self, path: Path, plots: list) -> "h5py.File":
        f = h5py.File(path, "r")
        self.addCleanup(f.close)
        self.assertIsNotNone(nxdata.get_default(f), "silx finds no default plot")
        for name in plots:
            self.assertTrue(nxdata.is_valid_nxdata(f[name]), name)
            self.assertEqual(f[name]["time"].attrs["units"], "s")
        cli = cli_path()
        if cli is not None:
            run = subprocess.run([cli, "info", str(path)], capture_output=True, text=True,
                                 timeout=30)
            self.assertEqual(run.returncode, 0, run.stderr)
        return f

    def test_a_single_recording_keeps_its_datasets_and_gains_the_nexus_objects(self) -> None:
        path = self.folder / "one.h5"
        with velmora.Device(self.ADDRESS) as dev:
            for _ in velmora.record(dev, 0.2, h5=path, frequency=100_000, bits=16,
                                    block_size=4096):
                pass
        f = self.check_nexus(path, ["entry/data"])
        self.assertEqual(f["samples"].shape, (20_000,))
        self.assertEqual(f["entry/data/samples"].id, f["samples"].id)  # a link, not a copy
        self.assertEqual(list(f["entry/data/time"][:]), [0.0, 1e-5])
        device = f["entry/instrument/device"]
        self.assertEqual(device["frequency_hz"][()], f.attrs["frequency_hz"])
        self.assertEqual(len(device["reply_times/value"]), f.attrs["replies"])
        self.assertEqual(f.attrs["ended"], "complete")
        self.assertTrue(f["entry/start_time"][()].decode().endswith("+00:00"))

    def test_a_run_with_a_loss_gets_a_time_for_every_sample(self) -> None:
        path = self.folder / "lossy.h5"
        with velmora.Device(self.ADDRESS, "input", 1) as dev, warnings.catch_warnings():
            warnings.simplefilter("ignore")
            blocks = velmora.record(dev, h5=path, frequency=40_000_000, bits=64,
                                    block_size=4096)
            next(blocks)
            time.sleep(0.6)  # longer than the device keeps packets
            after = next(blocks)
            blocks.close()
        self.assertGreater(after.lost, 0)
        f = self.check_nexus(path, ["entry/data"])
        times = f["entry/data/time"][:]
        samples = f["samples"][:]
        self.assertEqual(len(times), len(samples))
        # 64-bit samples are their own indices: every time must be index / rate
        self.assertTrue(((times * 40_000_000).round() == samples).all())
        gaps = f["entry/instrument/device/gaps"]
        self.assertEqual(list(gaps["value"][:]), [after.lost])
        self.assertEqual(list(gaps["estimated"][:]), [0])

    def test_a_group_file_holds_every_device_and_the_one_that_failed(self) -> None:
        path = self.folder / "group.h5"
        group = velmora.Group([self.ADDRESS, (address(60, 6), 2), NOTHING_LISTENS],
                              frequency=100_000, bits=64, block_size=4096)
        group.record(path, 0.2)
        f = self.check_nexus(path, ["entry/device0", "entry/device1", "entry/device2"])
        self.assertEqual(f.attrs["devices"], 3)
        self.assertEqual(f["entry"].attrs["default"], "device0")
        self.assertAlmostEqual(f["entry/start_spread_s"][()], group.start_spread)
        for i in (0, 1):
            self.assertEqual(list(f["entry/device%d/samples" % i][:]), list(range(20_000)))
            self.assertEqual(f["entry/instrument/device%d" % i].attrs["ended"], "complete")
        self.assertEqual(f["entry/instrument/device1/channel"][()], 2)
        failed = f["entry/instrument/device2"]
        self.assertTrue(failed.attrs["ended"].startswith("failed: "), failed.attrs["ended"])
        self.assertIn("1203", failed.attrs["ended"])
