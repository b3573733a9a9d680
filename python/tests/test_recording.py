"""Recordings from Python in the tool's formats: `velmora info` reads them,
and their samples, stamps and losses say what the stream yielded."""

import json
import os
import subprocess
import tempfile
import time
import unittest
from pathlib import Path
from typing import Optional

import velmora

from .simulator import SimTestCase, address

try:
    import h5py
except ImportError:
    h5py = None

# 40 MHz of 8-byte samples fill the device's backlog in about 0.2 s.
FAST = dict(frequency=40_000_000, bits=64, block_size=4096)
STARVE_SECONDS = 0.6


def cli_path() -> Optional[str]:
    path = os.environ.get("VELMORA_CLI")
    if path:
        return path
    built = Path(__file__).resolve().parents[2] / "build" / "tools" / "velmora"
    return str(built) if built.exists() else None


class RecordingTest(SimTestCase):
    ADDRESS = address(15, 10)

    def setUp(self) -> None:
        folder = tempfile.TemporaryDirectory(prefix="velmora-record-")
        self.addCleanup(folder.cleanup)
        self.folder = Path(folder.name)

    def info(self, path: Path) -> str:
        """What `velmora info` says of a recording."""
        cli = cli_path()
        if cli is None:
            self.skipTest("build/tools/velmora not built; set VELMORA_CLI")
        shown = subprocess.run([cli, "info", str(path)], capture_output=True, text=True, timeout=60)
        self.assertEqual(shown.returncode, 0, shown.stdout + shown.stderr)
        return shown.stdout

    def test_a_run_is_recorded_as_the_tool_records_it(self) -> None:
        raw = self.folder / "run.bin"
        h5 = self.folder / "run.h5" if h5py is not None else None
        with velmora.Device(self.ADDRESS, "input", 0) as dev:
            dev.set_auto_zero(True)
            dev.set_digital_line(3, True)
            blocks = list(velmora.record(dev, 0.2, raw=raw, h5=h5, frequency=50_000, bits=24,
                                         block_size=1000))
        self.assertEqual(sum(len(b.samples) for b in blocks), 10_000)
        data = raw.read_bytes()
        self.assertEqual(data, b"".join(n.to_bytes(3, "little") for n in range(10_000)))
        side = json.loads(Path(str(raw) + ".json").read_text())
        self.assertEqual((side["ended"], side["bytes"]), ("complete", 30_000))
        shown = self.info(raw)
        self.assertIn("10,000 (0.200000 s), from sample 0 of 10,000 asked", shown)
        self.assertIn("auto-zero on, 3=on", shown)
        if h5 is None:
            return
        with h5py.File(h5, "r") as f:
            self.assertEqual(f["samples"].dtype, "<u4")  # 3-byte samples widened
            self.assertEqual(list(f["samples"][:]), list(range(10_000)))
            # Each reply's first sample sits at its position in /samples.
            stamps = f["stamps"][:]
            self.assertEqual(list(stamps[:, 3]), list(stamps[:, 4]))
        self.assertIn("10,000 (0.200000 s)", self.info(h5))

    def test_losses_and_an_early_end_are_written_down(self) -> None:
        raw = self.folder / "starved.bin"
        h5 = self.folder / "starved.h5" if h5py is not None else None
        with velmora.Device(self.ADDRESS, "input", 1) as dev:
            run = velmora.record(dev, raw=raw, h5=h5, on_loss="ignore", **FAST)
            first = next(run)
            time.sleep(STARVE_SECONDS)  # longer than the device keeps packets
            after = next(run)
            run.close()
        side = json.loads(Path(str(raw) + ".json").read_text())
        gap = side["gaps"][0]
        self.assertEqual((gap["first_sample"], gap["samples"]),
                         (first.index + len(first.samples), after.lost))
        self.assertEqual(gap["raw_offset"], len(first.samples) * 8)
        self.assertEqual(side["lost_samples"], after.lost)
        self.assertIn("lost         %s samples" % format(after.lost, ","), self.info(raw))
        if h5 is not None:
            with h5py.File(h5, "r") as f:
                self.assertEqual(list(f["lost"][0]), [gap["first_sample"], after.lost])
                self.assertEqual(f.attrs["lost_samples"], after.lost)

    @unittest.skipIf(h5py is not None, "h5py is installed here")
    def test_without_h5py_hdf5_is_refused_naming_the_package(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 2) as dev:
            with self.assertRaises(ImportError) as caught:
                velmora.record(dev, 0.1, h5=self.folder / "x.h5", **FAST)
            self.assertIn("h5py", str(caught.exception))
            with self.assertRaises(velmora.NoWorkError):
                dev.all_packets()  # nothing was started
