"""Groups of devices: every sample once across the shared-memory rings, a
device that fails alone, and no process or shared memory left behind
however the consumer ends. 64-bit samples make every value its index."""

import os
import signal
import subprocess
import sys
import time
import unittest
from pathlib import Path
from typing import Dict, List

import velmora

from .simulator import SimulatedDevice, SimTestCase, address

NOTHING_LISTENS = address(60, 9)
_PYTHON_DIR = str(Path(__file__).resolve().parents[1])
_GONE_SECONDS = 10.0


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    try:  # a zombie is gone for our purposes
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def wait_gone(pids: List[int], names: List[str]) -> List[str]:
    """What is still there after a bounded wait: live pids, /dev/shm names."""
    deadline = time.monotonic() + _GONE_SECONDS
    while True:
        left = ["pid %d" % p for p in pids if alive(p)]
        left += [n for n in names if os.path.exists("/dev/shm/" + n.lstrip("/"))]
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.05)


class GroupStreamTest(SimTestCase):
    ADDRESS = address(60, 1)

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.second = SimulatedDevice(address(60, 2))
        cls.second.start()
        cls.addClassCleanup(cls.second.stop)

    def test_every_sample_arrives_once_through_a_ring_that_wraps_and_fills(self) -> None:
        # A 16 KiB ring holds a few hundred samples: the worker wraps and
        # waits for the consumer constantly, and a failing third device
        # must not stop the other two.
        group = velmora.Group([self.ADDRESS, (address(60, 2), 3), NOTHING_LISTENS],
                              frequency=200_000, bits=64, block_size=4096, ring_bytes=16384,
                              reconnect=False)
        got: Dict[int, List[int]] = {0: [], 1: []}
        for item in group.stream(0.5):
            self.assertIsInstance(item, velmora.GroupBlock)
            self.assertEqual(item.lost, 0)
            self.assertEqual(item.index, len(got[item.device]))
            self.assertEqual(item.name, group.devices[item.device].name)
            got[item.device].extend(int(v) for v in item.samples)
        for position in (0, 1):
            self.assertEqual(got[position], list(range(100_000)), position)
            self.assertEqual(group.devices[position].state, "complete")
        self.assertEqual(group.devices[1].channel, 3)
        failed = group.devices[2]
        self.assertEqual((failed.state, failed.last_result), ("failed", 1203))
        self.assertIn(NOTHING_LISTENS, failed.error)
        self.assertIsNotNone(group.start_spread)
        self.assertLess(group.start_spread, 1.0)

    def test_host_times_follow_the_start_and_the_frequency(self) -> None:
        group = velmora.Group([{"host": self.ADDRESS, "channel": 1, "frequency": 100_000},
                               {"host": address(60, 2), "channel": 1, "name": "right"}],
                              frequency=50_000, bits=16, block_size=1024, reconnect=False)
        firsts: Dict[int, velmora.GroupBlock] = {}
        counts = {0: 0, 1: 0}
        for item in group.stream(0.2, copy=True):
            firsts.setdefault(item.device, item)
            counts[item.device] += len(item.samples)
        self.assertEqual(counts, {0: 20_000, 1: 10_000})
        self.assertEqual(firsts[1].name, "right")
        for position, item in firsts.items():
            self.assertAlmostEqual(item.t_host, group.devices[position].start_time
                                   + item.index / (100_000, 50_000)[position], places=6)

    def test_leaving_the_loop_early_leaves_no_process_or_segment(self) -> None:
        group = velmora.Group([self.ADDRESS, address(60, 2)], frequency=1_000_000, bits=16,
                              block_size=4096, reconnect=False)
        items = group.stream()
        next(items)
        pids = [d.pid for d in group.devices]
        names = [w.memory.name for w in group._run.workers]  # type: ignore[union-attr]
        items.close()
        self.assertEqual(wait_gone(pids, names), [])
        self.assertEqual([d.state for d in group.devices], ["stopped", "stopped"])
        # and the devices are free for the next run
        self.assertGreater(sum(len(i.samples) for i in group.stream(0.05)), 0)

    def test_unusable_arguments_fail_before_any_process_starts(self) -> None:
        for devices, settings in (([], {}), ("10.0.0.1", {}), ([("h", 16)], {}),
                                  ([{"host": "h", "speed": 1}], {}),
                                  ([self.ADDRESS], {"frequency": 10, "bits": 16}),
                                  ([self.ADDRESS, (self.ADDRESS, 0)], {"frequency": 10,
                                   "bits": 16, "block_size": 64})):
            with self.subTest(devices=devices):
                with self.assertRaises(velmora.ArgumentError):
                    velmora.Group(devices, **settings)


# The consumer, in a child process that the tests end abruptly.
_CONSUMER = r"""
import sys, velmora
group = velmora.Group([(host, i) for i, host in enumerate(sys.argv[1:])], frequency=1_000_000, bits=16, block_size=4096,
                      reconnect=False)
received = 0
try:
    for n, item in enumerate(group.stream()):
        received += len(item.samples)
        if n == 20:
            print(" ".join(str(d.pid) for d in group.devices),
                  " ".join(w.memory.name for w in group._run.workers), flush=True)
except KeyboardInterrupt:
    print("interrupted", received > 0, [d.state for d in group.devices], flush=True)
"""


class GroupConsumerEndsTest(SimTestCase):
    ADDRESS = address(60, 3)

    def consumer(self) -> subprocess.Popen:
        child = subprocess.Popen([sys.executable, "-c", _CONSUMER, self.ADDRESS, self.ADDRESS],
                                 cwd=_PYTHON_DIR, stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: child.poll() is None and child.kill())
        self.addCleanup(child.stdout.close)  # type: ignore[union-attr]
        return child

    def running(self, child: subprocess.Popen) -> List[List[str]]:
        line = child.stdout.readline().split()  # type: ignore[union-attr]
        self.assertEqual(len(line), 4, "the consumer never streamed: %r" % line)
        return [line[:2], line[2:]]

    def test_a_killed_consumer_leaves_no_worker_and_no_segment(self) -> None:
        child = self.consumer()
        pids, names = self.running(child)
        child.kill()
        child.wait(_GONE_SECONDS)
        self.assertEqual(wait_gone([int(p) for p in pids], names), [])

    def test_ctrl_c_ends_the_consumer_cleanly(self) -> None:
        child = self.consumer()
        pids, names = self.running(child)
        # The terminal sends it to every process of the group, workers too.
        for pid in [child.pid] + [int(p) for p in pids]:
            os.kill(pid, signal.SIGINT)
        out, _ = child.communicate(timeout=_GONE_SECONDS * 2)
        self.assertEqual(child.returncode, 0)
        self.assertIn("interrupted True ['stopped', 'stopped']", out)
        self.assertEqual(wait_gone([int(p) for p in pids], names), [])


class GroupOutageTest(SimTestCase):
    ADDRESS = address(60, 4)

    def test_a_device_restarted_mid_run_gives_one_gap_and_the_run_adds_up(self) -> None:
        if "reconnect" not in velmora.Device.stream.__code__.co_varnames:
            self.skipTest("this package's Device.stream cannot reconnect")
        hz = 100_000
        group = velmora.Group([self.ADDRESS], frequency=hz, bits=64, block_size=4096,
                              reconnect_timeout=20.0)
        received, gaps, restarted = 0, [], False
        expected = 0
        for item in group.stream(3.0):
            if isinstance(item, velmora.GroupGap):
                gaps.append(item)
                expected = item.resume_index
                continue
            self.assertEqual(item.index, expected)
            values = [int(v) for v in item.samples]
            self.assertEqual(values, list(range(values[0], values[0] + len(values))))
            expected = item.index + len(item.samples)
            received += len(item.samples)
            if not restarted and item.index > hz // 2:
                restarted = True
                self.sim.stop()
                self.sim.start()
        self.assertEqual(len(gaps), 1, gaps)
        gap = gaps[0]
        self.assertEqual((gap.device, gap.name), (0, group.devices[0].name))
        self.assertLessEqual(abs(received + gap.missed - 3 * hz), gap.error + 1)
        self.assertEqual(group.devices[0].state, "complete")


if __name__ == "__main__":
    unittest.main()


class _Member:
    def __init__(self, index: int, hz: int = 1000) -> None:
        self.index, self.settings, self.state = index, {"frequency": hz}, "running"


def _block(device: int, index: int, count: int, lost: int = 0) -> velmora.GroupBlock:
    return velmora.GroupBlock(device, "d%d" % device, list(range(index, index + count)), index,
                              0.0, lost)


@unittest.skipIf(not velmora.have_numpy(), "merging needs numpy")
class MergeTest(unittest.TestCase):
    def test_rows_line_up_by_index_and_holes_of_any_device_are_left_out(self) -> None:
        members = [_Member(0), _Member(1)]
        items = [_block(0, 0, 10), _block(1, 0, 4), _block(1, 6, 10, lost=2),
                 _block(0, 10, 5), _block(1, 16, 2)]
        merged = list(velmora.merge_by_index(items, members))
        rows = [(m.index, m.samples.shape[1]) for m in merged]
        self.assertEqual(rows, [(0, 4), (6, 4), (10, 5)])
        for m in merged:
            self.assertEqual(m.samples.tolist(), [list(range(m.index, m.index + m.samples.shape[1]))] * 2)

    def test_a_device_that_ended_stops_holding_the_others_back(self) -> None:
        members = [_Member(0), _Member(1)]

        def items():
            yield _block(0, 0, 5)
            yield _block(1, 0, 3)
            members[1].state = "failed"
            yield _block(0, 5, 5)

        self.assertEqual([(m.index, m.devices) for m in velmora.merge_by_index(items(), members)],
                         [(0, (0, 1)), (3, (0,)), (5, (0,))])

    def test_different_frequencies_are_refused(self) -> None:
        with self.assertRaises(velmora.ArgumentError):
            next(velmora.merge_by_index([], [_Member(0, 1000), _Member(1, 2000)]))


class GroupAsyncTest(SimTestCase):
    ADDRESS = address(60, 7)

    def test_astream_gives_what_stream_gives_and_leaves_the_loop_free(self) -> None:
        import asyncio

        group = velmora.Group([(self.ADDRESS, 0), (self.ADDRESS, 1)], frequency=100_000,
                              bits=64, block_size=4096, reconnect=False)

        async def main():
            ticks = 0

            async def tick():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.01)
                    ticks += 1

            ticker = asyncio.ensure_future(tick())
            counts = {0: 0, 1: 0}
            async for item in group.astream(0.3):
                self.assertEqual(int(item.samples[0]), item.index)
                counts[item.device] += len(item.samples)
            ticker.cancel()
            return counts, ticks

        counts, ticks = asyncio.run(main())
        self.assertEqual(counts, {0: 30_000, 1: 30_000})
        self.assertGreater(ticks, 5)  # the loop ran while the devices streamed


class GroupDocsExampleTest(SimTestCase):
    ADDRESS = address(60, 8)

    def test_the_example_in_the_docs_runs(self) -> None:
        import tempfile

        try:
            import h5py  # noqa: F401
        except ImportError:
            self.skipTest("the example records to HDF5: needs h5py (and numpy)")
        text = (Path(_PYTHON_DIR).parent / "docs" / "python.md").read_text()
        section = text.split("## Several devices", 1)[1]
        code = section.split("```python\n", 1)[1].split("```", 1)[0]
        with tempfile.TemporaryDirectory() as folder:
            done = subprocess.run([sys.executable, "-c", code, self.ADDRESS,
                                   "%s" % address(60, 9)], cwd=folder, timeout=60,
                                  env=dict(os.environ, PYTHONPATH=_PYTHON_DIR),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            self.assertEqual(done.returncode, 0, done.stdout)
            self.assertTrue(os.path.getsize(os.path.join(folder, "group.h5")) > 0)
        self.assertIn("%s:0 complete 100000 samples, 0 lost" % self.ADDRESS, done.stdout)
        self.assertIn("%s:0 failed 0 samples" % address(60, 9), done.stdout)
        self.assertRegex(done.stdout, r"\n0 \(1, \d+\)\n")
