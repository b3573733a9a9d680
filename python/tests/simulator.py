"""Runs velmora-sim as a child process for one test class."""

import os
import queue
import subprocess
import threading
import unittest
from pathlib import Path
from typing import Optional

from loopback_fixtures import address  # noqa: F401 (for the tests)

_SOURCE_ROOT = Path(__file__).resolve().parents[2]
_READY_SECONDS = 10.0
_STOP_SECONDS = 10.0


def sim_path() -> Optional[str]:
    """VELMORA_SIM, or the program in this source tree's build folder."""
    path = os.environ.get("VELMORA_SIM")
    if path:
        return path
    for name in ("velmora-sim", "velmora-sim.exe"):
        candidate = _SOURCE_ROOT / "build" / "tools" / name
        if candidate.exists():
            return str(candidate)
    return None


class SimulatedDevice:
    """velmora-sim on one loopback address, from start() until stop()."""

    def __init__(self, address: str) -> None:
        self.address = address
        self._process: Optional[subprocess.Popen] = None
        self._pump: Optional[threading.Thread] = None

    def start(self) -> None:
        path = sim_path()
        if path is None:
            raise unittest.SkipTest("velmora-sim not built; set VELMORA_SIM")
        self._process = subprocess.Popen(
            [path, "-a", self.address, "-q"], stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        lines: "queue.Queue[str]" = queue.Queue()
        stdout = self._process.stdout
        assert stdout is not None

        def pump() -> None:
            # Keeps the pipe drained for the program's whole life, so its
            # last line can never block it.
            for line in stdout:
                lines.put(line)
            lines.put("")

        self._pump = threading.Thread(target=pump, daemon=True)
        self._pump.start()
        try:
            first = lines.get(timeout=_READY_SECONDS)
        except queue.Empty:
            first = "(nothing within %.0f s)" % _READY_SECONDS
        if not first.startswith("listening on %s " % self.address):
            self.stop()
            raise RuntimeError("velmora-sim on %s did not start: %s" % (self.address, first.strip()))

    def drop_links(self) -> None:
        """Has the device drop every open connection (SIGUSR1); it goes on
        listening."""
        import signal

        assert self._process is not None
        self._process.send_signal(signal.SIGUSR1)

    def stop(self) -> None:
        process, self._process = self._process, None
        if process is None:
            return
        process.terminate()
        try:
            process.wait(timeout=_STOP_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=_STOP_SECONDS)
        if self._pump is not None:
            self._pump.join(_STOP_SECONDS)  # the pipe ends with the program
        if process.stdout is not None:
            process.stdout.close()


class SimTestCase(unittest.TestCase):
    """A test class with its own simulated device at ADDRESS."""

    ADDRESS = ""
    sim: SimulatedDevice

    @classmethod
    def setUpClass(cls) -> None:
        cls.sim = SimulatedDevice(cls.ADDRESS)
        cls.sim.start()
        cls.addClassCleanup(cls.sim.stop)
