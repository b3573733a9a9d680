"""The examples in examples/python, each run as a user would against the
simulated device, with this interpreter (numpy or not)."""

import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import List

from .simulator import SimTestCase, address

_ROOT = Path(__file__).resolve().parents[2]
_EXAMPLES = _ROOT / "examples" / "python"
_SECONDS = 60


class ExamplesTest(SimTestCase):
    ADDRESS = address(15, 7)

    def run_example(self, name: str, *args: str) -> str:
        env = dict(os.environ, PYTHONPATH=str(_ROOT / "python"))
        with tempfile.TemporaryDirectory() as folder:
            done = subprocess.run(
                [sys.executable, str(_EXAMPLES / name), "--host", self.ADDRESS] + list(args),
                cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                text=True, timeout=_SECONDS)
            self.assertEqual(done.returncode, 0, done.stdout)
            self.files: List[str] = sorted(os.listdir(folder))
            if "samples.u16" in self.files:
                self.size = os.path.getsize(os.path.join(folder, "samples.u16"))
        return done.stdout

    def test_acquire_and_plot(self) -> None:
        out = self.run_example("acquire_plot.py", "--channel", "1", "--seconds", "0.2")
        self.assertIn("4000 samples at 20000 Hz, 0 to 3999", out)
        if "plot written" in out:
            self.assertEqual(self.files, ["acquisition.png"])
        else:
            self.assertRegex(out, "(numpy|matplotlib) is not installed")

    def test_stream_to_file_counts_what_was_lost(self) -> None:
        out = self.run_example("stream_to_file.py", "--channel", "2", "--seconds", "0.5",
                               "--rate", "200000")
        self.assertIn("100000 samples written to samples.u16, 0 lost", out)
        self.assertEqual(self.size, 200_000)

    def test_data_round_trip(self) -> None:
        out = self.run_example("data_roundtrip.py", "--channel", "3", "--size", "300000")
        self.assertIn("wrote 300000 bytes, read back 300000: identical", out)

