"""A reconnecting stream across a simulated device killed and started again
on the same address: one Gap per outage, every sample before and after it
correct, indices going on from the Gap's resume_index."""

import signal
import threading
import time
import unittest
from typing import List

import velmora

from .simulator import SimulatedDevice, SimTestCase, address

HZ = 20_000
OUTAGE_SECONDS = 0.5


class ReconnectTest(SimTestCase):
    ADDRESS = address(15, 11)

    def test_an_outage_gives_one_gap_and_the_stream_goes_on(self) -> None:
        sim = self.sim
        with velmora.Device(self.ADDRESS, "input", 0, timeout_ms=500) as dev:
            stream = dev.stream(3.0, frequency=HZ, bits=64, block_size=800, reconnect=True,
                                reconnect_timeout=20.0)
            items: List[object] = []
            restart = threading.Timer(1.0, lambda: None)
            killed = False
            for item in stream:
                items.append(item)
                if not killed and isinstance(item, velmora.Block) and item.index > HZ // 2:
                    sim.stop()
                    killed = True
                    restart = threading.Timer(OUTAGE_SECONDS, sim.start)
                    restart.start()
            restart.join(30)
        gaps = [g for g in items if isinstance(g, velmora.Gap)]
        self.assertEqual(len(gaps), 1, gaps)
        gap = gaps[0]
        self.assertEqual(gap.result, 2250)
        self.assertTrue(gap.estimated)
        self.assertLessEqual(gap.began, gap.ended)
        received = 0
        expected = 0
        for item in items:
            if isinstance(item, velmora.Gap):
                self.assertEqual(item.resume_index, expected + item.missed)
                expected = item.resume_index
                continue
            self.assertEqual(item.index, expected)
            first = int(item.samples[0])
            # The device counts from 0 again after the restart.
            restart_at = gap.resume_index if item.index >= gap.resume_index else 0
            self.assertEqual(first, item.index - restart_at)
            self.assertEqual([int(v) for v in item.samples],
                             list(range(first, first + len(item.samples))))
            expected += len(item.samples)
            received += len(item.samples)
        self.assertEqual(expected, 3 * HZ)
        self.assertEqual(received + gap.missed, 3 * HZ)
        # The outage lasted at least as long as the device was away.
        self.assertGreaterEqual(gap.missed + gap.error, OUTAGE_SECONDS * HZ)
        print("\nreconnect: received %d + missed %d (+/- %d) = %d of %d; outage %.3f s"
              % (received, gap.missed, gap.error, received + gap.missed, 3 * HZ,
                 gap.ended - gap.began))

    @unittest.skipUnless(hasattr(signal, "SIGUSR1"), "no SIGUSR1 to drop the links with")
    def test_a_link_dropped_by_the_device_is_one_gap_and_the_device_stays(self) -> None:
        process = self.sim._process
        # The drop lands when the device gets round to it, perhaps during a
        # call: the run must be long enough for blocks to follow the gap.
        with velmora.Device(self.ADDRESS, "input", 1, timeout_ms=500) as dev:
            items: List[object] = []
            for item in dev.stream(2.0, frequency=HZ, bits=64, block_size=800, reconnect=True,
                                   reconnect_timeout=20.0):
                items.append(item)
                if len(items) == 5:
                    self.sim.drop_links()
        gaps = [g for g in items if isinstance(g, velmora.Gap)]
        self.assertEqual([g.result for g in gaps], [2250])
        after = items[[i for i, item in enumerate(items) if item is gaps[0]][0] + 1]
        self.assertIsInstance(after, velmora.Block)
        self.assertEqual((after.index, int(after.samples[0])), (gaps[0].resume_index, 0))
        self.assertIs(self.sim._process, process)
        self.assertIsNone(process.poll())  # dropped its links, not itself

    def test_a_device_that_stays_away_raises_its_error(self) -> None:
        away = SimulatedDevice(address(15, 12))
        away.start()
        try:
            with velmora.Device(away.address, "input", 0, timeout_ms=500) as dev:
                stream = dev.stream(frequency=HZ, bits=64, block_size=800, reconnect=True,
                                    reconnect_timeout=0.5)
                next(stream)
                away.stop()
                began = time.monotonic()
                with self.assertRaises(velmora.ConnectError):
                    for _ in stream:
                        pass
                self.assertLess(time.monotonic() - began, 10)
        finally:
            away.stop()
