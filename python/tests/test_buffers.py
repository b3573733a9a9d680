"""Fetches into the caller's own buffers: written in place, no copy."""

import array
import time

import velmora

from .simulator import SimTestCase, address
from .test_device import acquisition_bytes, poll

try:
    import numpy
except ImportError:
    numpy = None


class ReadIntoTest(SimTestCase):
    ADDRESS = address(15, 2)

    def store(self, channel: int, payload: bytes) -> None:
        with velmora.Device(self.ADDRESS, "output", channel) as out:
            self.assertEqual(out.write_data(payload), len(payload))

    def test_writes_into_the_given_object_and_counts_the_bytes(self) -> None:
        self.store(0, b"0123456789")
        with velmora.Device(self.ADDRESS, "input", 0) as inp:
            target = bytearray(b"." * 16)
            same = target
            self.assertEqual(inp.read_into(target), 10)
            self.assertIs(target, same)
            self.assertEqual(bytes(target), b"0123456789......")
            # A window onto a larger buffer: only the window is written.
            self.store(0, b"abcdef")
            backing = bytearray(12)
            self.assertEqual(inp.read_into(memoryview(backing)[4:8]), 4)
            self.assertEqual(bytes(backing), b"\0\0\0\0abcd\0\0\0\0")
            words = array.array("H", [0xFFFF] * 2)
            self.assertEqual(inp.read_into(words), 2)  # what was left: "ef"
            self.assertEqual(words.tobytes(), b"ef\xff\xff")
            with self.assertRaises(velmora.NoWorkError) as empty:
                inp.read_into(bytearray(4))
            self.assertEqual(empty.exception.status, 3)

    def test_numpy_array_is_filled_in_place(self) -> None:
        if numpy is None:
            self.skipTest("numpy is not installed")
        values = numpy.arange(6, dtype="<u2")
        self.store(1, values.tobytes())
        with velmora.Device(self.ADDRESS, "input", 1) as inp:
            target = numpy.zeros(8, dtype="<u2")
            address = target.__array_interface__["data"][0]
            self.assertEqual(inp.read_into(target), 12)
            self.assertEqual(target.__array_interface__["data"][0], address)
            self.assertEqual(target.tolist(), [0, 1, 2, 3, 4, 5, 0, 0])
            with self.assertRaises((TypeError, ValueError)):
                inp.read_into(numpy.zeros((4, 4), "u1")[:, :2])  # not contiguous

    def test_buffers_that_cannot_take_the_bytes_are_refused_before_sending(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 2) as inp:
            for target, error in [(b"read-only", TypeError), (memoryview(b"x"), TypeError),
                                  (bytearray(), ValueError), ("text", TypeError)]:
                with self.subTest(target=target), self.assertRaises(error):
                    inp.read_into(target)


class AllPacketsIntoTest(SimTestCase):
    ADDRESS = address(15, 3)

    def test_packets_and_time_land_in_the_buffer(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 0) as dev:
            dev.set_frequency(100_000)
            dev.set_packet_bits(16)
            dev.set_block_size(32)
            dev.start_cleared()
            time.sleep(0.02)
            target = bytearray(1 << 20)
            fill = poll(lambda: dev.all_packets_into(target))
            dev.clear()
        self.assertEqual(fill.time_us, 0)
        self.assertFalse(fill.truncated)
        self.assertGreater(fill.nbytes, 0)
        self.assertEqual(fill.nbytes % 32, 0)
        self.assertEqual(bytes(target[:fill.nbytes]), acquisition_bytes(2, 0, fill.nbytes))
        self.assertEqual(target[fill.nbytes:], bytes(len(target) - fill.nbytes))

    def test_a_reply_that_fills_the_buffer_is_flagged(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 1) as dev:
            dev.set_frequency(100_000)
            dev.set_packet_bits(8)
            dev.set_block_size(16)
            dev.start_cleared()
            time.sleep(0.02)
            target = bytearray(20)
            fill = poll(lambda: dev.all_packets_into(target))
            dev.clear()
        self.assertEqual((fill.nbytes, fill.truncated), (20, True))
        self.assertEqual(bytes(target), acquisition_bytes(1, 0, 20))
