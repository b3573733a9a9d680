"""Streams and acquisitions: continuity, exact loss counts, the three ways of
reporting a loss. 64-bit samples make every sample's value its index, so a
block's values show where it really lies in the acquisition."""

import importlib
import time
import unittest
import warnings
from typing import List, Optional
from unittest import mock

import velmora
from velmora import samples as velmora_samples
from velmora.device import PacketFill

from .simulator import SimTestCase, address
from .test_device import poll

# 40 MHz of 8-byte samples fill the device's 64 MiB backlog in about 0.2 s.
FAST_HZ = 40_000_000
STARVE_SECONDS = 0.6


def values(block: velmora.Block) -> List[int]:
    return [int(v) for v in block.samples]


class StreamTest(SimTestCase):
    ADDRESS = address(15, 4)

    def test_a_holdable_rate_streams_every_sample_once(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 0) as dev:
            blocks = list(dev.stream(0.5, frequency=200_000, bits=64, block_size=4096))
        self.assertGreater(len(blocks), 1)
        self.assertEqual(sum(b.lost for b in blocks), 0)
        expected = 0
        for block in blocks:
            self.assertEqual(block.index, expected)
            self.assertAlmostEqual(block.t0, block.index / 200_000)
            self.assertEqual(values(block), list(range(expected, expected + len(block.samples))))
            expected += len(block.samples)
        self.assertEqual(expected, 100_000)

    def test_packets_that_cut_samples_are_joined_across_fetches(self) -> None:
        # 3-byte samples in 50-byte packets: most fetches end inside a sample.
        with velmora.Device(self.ADDRESS, "input", 1) as dev:
            got: List[int] = []
            for block in dev.stream(0.3, frequency=100_000, bits=24, block_size=50):
                self.assertEqual(block.index, len(got))
                got.extend(values(block))
        self.assertEqual(got, list(range(30_000)))

    def test_a_starved_stream_reports_exactly_the_samples_lost(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 2) as dev:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                blocks = dev.stream(frequency=FAST_HZ, bits=64, block_size=4096)
                first = next(blocks)
                time.sleep(STARVE_SECONDS)  # longer than the device keeps packets
                after = next(blocks)
                blocks.close()
            dev.clear()
        self.assertEqual(first.lost, 0)
        end = first.index + len(first.samples)
        self.assertGreater(after.lost, 0)
        self.assertEqual(after.index, end + after.lost)
        self.assertEqual(values(after)[:3], [after.index, after.index + 1, after.index + 2])
        warned = [w for w in caught if issubclass(w.category, velmora.DataLossWarning)]
        self.assertEqual(len(warned), 1)
        self.assertIn("%d samples lost from sample %d" % (after.lost, end), str(warned[0].message))

    def test_raise_names_the_count_and_ignore_stays_quiet(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 3) as dev:
            blocks = dev.stream(frequency=FAST_HZ, bits=64, block_size=4096, on_loss="raise")
            first = next(blocks)
            time.sleep(STARVE_SECONDS)
            with self.assertRaises(velmora.DataLossError) as raised:
                next(blocks)
            error = raised.exception
            self.assertEqual(error.index, first.index + len(first.samples))
            self.assertGreater(error.samples, 0)
            self.assertAlmostEqual(error.at, error.index / FAST_HZ)
            self.assertIn("%d samples lost" % error.samples, str(error))

            with warnings.catch_warnings():
                warnings.simplefilter("error")  # a warning would fail the test
                quiet = dev.stream(on_loss="ignore")
                next(quiet)
                time.sleep(STARVE_SECONDS)
                self.assertGreater(next(quiet).lost, 0)
                quiet.close()
            dev.clear()

    def test_joining_a_running_acquisition_indexes_from_its_start(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 4) as dev:
            dev.set_frequency(100_000)
            dev.set_packet_bits(64)
            dev.set_block_size(800)
            dev.start_cleared()
            poll(dev.all_packets)  # someone else took the beginning
            time.sleep(0.02)
            blocks = dev.stream(start=False)
            first = next(blocks)
            second = next(blocks)
            blocks.close()
            dev.clear()
        self.assertGreater(first.index, 0)
        self.assertEqual(values(first)[0], first.index)
        self.assertEqual((second.index, second.lost), (first.index + len(first.samples), 0))

    def test_a_stream_fetches_into_the_room_its_device_was_given(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 5, packet_capacity=1024) as dev:
            dev.set_frequency(1_000_000)
            dev.set_packet_bits(16)
            dev.set_block_size(256)
            dev.start_cleared()
            time.sleep(0.1)  # far more than 1 KiB waits for the first fetch
            blocks = dev.stream(start=False, on_loss="ignore")
            first, second = next(blocks), next(blocks)
            blocks.close()
            dev.clear()
        self.assertEqual(len(first.samples), 512)  # what 1 KiB holds; the rest was cut
        self.assertGreater(second.lost, 0)

    def test_acquire_returns_exactly_seconds_times_frequency(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 5) as dev:
            times, samples = dev.acquire(0.25, frequency=40_000, bits=16, block_size=100)
            with self.assertRaises(velmora.NoWorkError):
                dev.all_packets()  # stopped afterwards
        self.assertEqual(len(samples), 10_000)
        self.assertEqual(len(times), 10_000)
        self.assertEqual([int(v) for v in samples[:3]], [0, 1, 2])
        self.assertEqual(int(samples[-1]), 9_999)
        self.assertAlmostEqual(times[-1], 9_999 / 40_000)

    def test_nonsense_is_refused_before_anything_starts(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 6) as dev:
            with self.assertRaises(ValueError) as unknown:
                dev.stream(1.0)
            self.assertIn("frequency", str(unknown.exception))
            dev.set_frequency(1000)
            dev.set_packet_bits(16)
            dev.set_block_size(64)
            for call in [lambda: dev.stream(1.0, on_loss="shrug"),
                         lambda: dev.stream(-1.0),
                         lambda: dev.stream(float("nan")),
                         lambda: dev.acquire(0),
                         lambda: dev.stream(1.0, bits=0)]:
                with self.assertRaises(ValueError):
                    call()
            with self.assertRaises(velmora.NoWorkError) as idle:
                dev.all_packets()
            self.assertEqual(idle.exception.status, 1)  # nothing was started


class VirtualClock:
    """A stream's time.monotonic and time.sleep, on a clock only sleeps move."""

    def __init__(self) -> None:
        self.now = 0.0

    def monotonic(self) -> float:
        return self.now

    def sleep(self, seconds: float) -> None:
        self.now += max(0.0, seconds)


class PacedDevice:
    """Acquires from time 0 of `clock`; each fetch takes every whole packet
    since the last one, and a reply larger than the buffer loses its rest,
    as the library's does."""

    HZ, WIDTH, BLOCK = 40_000_000, 2, 65536  # a packet every 0.82 ms

    def __init__(self, clock: VirtualClock, packet_capacity: int) -> None:
        self.clock = clock
        self.packet_capacity = packet_capacity
        self.fetched = 0
        self.asks = 0

    def _packets_into(self, buffer: bytearray, nothing_new_is_none: bool) -> Optional[PacketFill]:
        self.asks += 1
        self.clock.now += 0.00005  # what an ask costs
        whole = int(self.clock.now * self.HZ * self.WIDTH) // self.BLOCK
        if whole == self.fetched:
            return None
        nbytes = min((whole - self.fetched) * self.BLOCK, len(buffer))
        stamp = velmora_samples.packet_time_us(self.fetched, self.HZ, self.BLOCK, self.WIDTH)
        self.fetched = whole
        return PacketFill(nbytes, stamp, nbytes >= len(buffer))


class AskScheduleTest(unittest.TestCase):
    """When a stream asks, on a virtual clock: nothing here depends on the
    machine's speed."""

    def asks_for(self, packet_capacity: int, seconds: float = 0.2) -> int:
        stream_module = importlib.import_module("velmora.stream")
        clock = VirtualClock()
        dev = PacedDevice(clock, packet_capacity)
        run = stream_module._Run(dev.HZ, dev.WIDTH, dev.BLOCK, round(seconds * dev.HZ))
        with mock.patch.object(stream_module, "time", clock):
            blocks = list(stream_module._fetch(dev, run, "raise", True, None))
        self.assertEqual(sum(len(b.samples) for b in blocks), run.limit)
        return dev.asks

    def test_a_fast_stream_asks_once_per_10_ms_never_for_more_than_its_buffer_holds(self) -> None:
        packets = 0.2 * PacedDevice.HZ * PacedDevice.WIDTH / PacedDevice.BLOCK  # 244
        # 12 packets complete in 10 ms: about 20 asks, where one per packet made 244.
        self.assertLess(self.asks_for((16 << 20) + 1), packets / 8)
        # Room for 4 packets: 2 at a time, so that no reply is cut (on_loss is "raise").
        self.assertLess(self.asks_for(4 * PacedDevice.BLOCK), packets)
