"""The Tango server's link to a channel, without Tango: how it paces and
cuts what it publishes, and an output channel's commands."""

import threading
import time
import unittest
from typing import List
from unittest import mock

from velmora.tango_server.link import FAULT, ON, RUNNING, Batch, Link

from .simulator import SimTestCase, address

HZ = 200_000


class Recorder:
    def __init__(self) -> None:
        self.batches: List[Batch] = []
        self.states: List[str] = []
        self.at: List[float] = []
        self.changed = threading.Condition()

    def state(self, state: str, status: str) -> None:
        with self.changed:
            self.states.append(state)
            self.changed.notify_all()

    def batch(self, batch: Batch) -> None:
        self.batches.append(batch)
        self.at.append(time.monotonic())

    def reached(self, state: str, seconds: float = 5.0) -> bool:
        with self.changed:
            return self.changed.wait_for(lambda: self.states[-1:] == [state], seconds)


class LinkTest(SimTestCase):
    ADDRESS = address(61, 3)

    def link(self, direction: str = "input", **pacing: float) -> "tuple[Link, Recorder]":
        seen = Recorder()
        link = Link(self.ADDRESS, 0, direction, 2000, seen.state, seen.batch, **pacing)
        link.open()
        self.addCleanup(link.close)
        self.assertTrue(seen.reached(ON), link.status)
        return link, seen

    def run_for(self, link: Link, seconds: float) -> None:
        link.settings.frequency, link.settings.bits, link.settings.block_size = HZ, 64, 4096
        link.settings.send(link.device)
        link.start(cleared=True)
        time.sleep(seconds)
        link.stop()
        time.sleep(0.2)  # the thread's last publication

    def test_batches_are_cut_at_the_bound_and_together_hold_every_sample_once(self) -> None:
        link, seen = self.link(max_samples=3000, min_interval=10.0)
        self.run_for(link, 1.0)
        self.assertGreater(len(seen.batches), 20)
        expected = 0
        for batch in seen.batches:
            self.assertLessEqual(len(batch.samples), 3000)
            self.assertEqual(batch.index, expected)
            self.assertEqual(int(batch.samples[0]), batch.index)  # 64-bit: value = index
            self.assertAlmostEqual(batch.t0, batch.index / HZ)
            expected += len(batch.samples)
        self.assertEqual(link.counters["samples"], expected)
        self.assertEqual(link.counters["lost"], 0)

    def test_publications_are_bounded_in_rate_however_fast_packets_come(self) -> None:
        link, seen = self.link(min_interval=0.25)
        self.run_for(link, 1.5)
        gaps = [b - a for a, b in zip(seen.at, seen.at[1:-1])]  # the last one is the flush
        self.assertTrue(gaps)
        self.assertGreaterEqual(min(gaps), 0.2)
        self.assertGreater(sum(len(b.samples) for b in seen.batches), HZ)

    def test_an_output_channel_starts_and_stops_without_streaming_and_pings(self) -> None:
        link, seen = self.link("output")
        self.assertGreater(link.ping(), 0.0)
        self.assertEqual(link.device.write_data(b"\x01\x02"), 2)
        link.start(cleared=False)
        self.assertEqual(link.state, RUNNING)
        time.sleep(0.3)
        link.stop()
        self.assertEqual((link.state, seen.batches), (ON, []))

    def test_a_device_nobody_serves_is_a_fault_that_says_so(self) -> None:
        seen = Recorder()
        link = Link(address(61, 4), 0, "input", 500, seen.state, seen.batch)
        link.open()
        self.addCleanup(link.close)
        self.assertTrue(seen.reached(FAULT))
        time.sleep(0.3)
        self.assertIn("1203", link.status)
        self.assertIn("reconnecting", link.status)
        with self.assertRaises(Exception):
            link.start(cleared=True)

    def test_a_link_thread_that_fails_otherwise_says_why_in_a_fault(self) -> None:
        seen = Recorder()
        failure = OSError("cannot load the velmora library named by VELMORA_LIBRARY")
        with mock.patch("velmora.tango_server.link.Device", side_effect=failure):
            link = Link(self.ADDRESS, 0, "input", 500, seen.state, seen.batch)
            link.open()
            self.addCleanup(link.close)
            link._thread.join(5)
        self.assertEqual(link.state, FAULT)
        self.assertIn("OSError: cannot load the velmora library", link.status)


if __name__ == "__main__":
    unittest.main()
