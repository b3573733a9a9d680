"""The package against the simulated device (and a silent fake one).

Each class owns one loopback address in 127.<net>.0.150-159; tests of a class
use different channels, whose settings and data are separate.
"""

import builtins
import re
import socket
import threading
import time
import unittest
from pathlib import Path
from typing import Callable, List

import velmora

from .simulator import SimTestCase, address

POLL_TRIES = 300
POLL_PAUSE = 0.01


def acquisition_bytes(width: int, offset: int, length: int) -> bytes:
    """Bytes [offset, offset + length) of the sample stream: sample n is n
    truncated to ``width`` bytes, little-endian, packed back to back."""
    first, last = offset // width, (offset + length + width - 1) // width
    stream = b"".join((n & ((1 << (8 * width)) - 1)).to_bytes(width, "little")
                      for n in range(first, last))
    start = offset - first * width
    return stream[start:start + length]


def sample_time_us(sample: int, hz: int) -> int:
    return sample * 1_000_000 // hz


def poll(fetch: Callable[[], velmora.Packets]) -> velmora.Packets:
    """``fetch`` again while the device has no new packet, bounded."""
    for _ in range(POLL_TRIES):
        try:
            return fetch()
        except velmora.NoWorkError as error:
            if error.status != 2:
                raise
        time.sleep(POLL_PAUSE)
    raise AssertionError("no packet completed in %d tries" % POLL_TRIES)


class OpenAndCloseTest(SimTestCase):
    ADDRESS = address(0, 150)

    def test_context_manager_closes_and_close_repeats_harmlessly(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 1) as dev:
            self.assertFalse(dev.closed)
            dev.set_frequency(1000)
        self.assertTrue(dev.closed)
        dev.close()
        self.assertIn("closed", repr(dev))

    def test_every_operation_on_a_closed_device_raises_bad_unit(self) -> None:
        dev = velmora.Device(self.ADDRESS, True, 2)
        dev.close()
        calls: List[Callable[[], object]] = [
            lambda: dev.set_frequency(1), lambda: dev.set_packet_bits(8),
            lambda: dev.set_block_size(8), lambda: dev.set_digital_line(1, True),
            lambda: dev.set_auto_zero(False), dev.start, dev.start_cleared, dev.clear,
            lambda: dev.set_timeout(10), lambda: dev.read_data(4),
            lambda: dev.write_data(b"x"), dev.all_packets, dev.latest_packet,
        ]
        for call in calls:
            with self.subTest(call=call):
                with self.assertRaises(velmora.VelmoraError) as caught:
                    call()
                self.assertEqual((caught.exception.code, caught.exception.name),
                                 (20, "ERROR_BAD_UNIT"))

    def test_connect_to_an_address_without_device_names_the_failure(self) -> None:
        with self.assertRaises(velmora.VelmoraError) as caught:
            velmora.Device(address(0, 159), "output", 0)
        self.assertEqual(caught.exception.code, 1203)
        self.assertEqual(caught.exception.operation, "NDX_Connect")

    def test_arguments_python_cannot_pass_are_refused_before_connecting(self) -> None:
        with self.assertRaises(ValueError):
            velmora.Device(self.ADDRESS, "sideways", 0)
        with self.assertRaises(ValueError):
            velmora.Device(self.ADDRESS, "input", 16)
        with self.assertRaises(ValueError):
            velmora.Device(self.ADDRESS + "\0junk", "input", 0)
        with velmora.Device(self.ADDRESS, "input", 3) as dev:
            with self.assertRaises(velmora.ArgumentError):
                dev.set_timeout(1 << 32)  # would wrap to 0 in 32 bits

    def test_library_refusals_carry_number_and_name(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 4) as inp, \
                velmora.Device(self.ADDRESS, "output", 4) as out:
            cases = [
                (lambda: inp.set_block_size(0), 24, "ERROR_BAD_LENGTH"),
                (lambda: inp.set_timeout(-1), 24, "ERROR_BAD_LENGTH"),
                (lambda: inp.set_digital_line(32, True), 1413, "ERROR_INVALID_INDEX"),
                (lambda: inp.set_digital_line(-1, True), 1413, "ERROR_INVALID_INDEX"),
                (lambda: inp.write_data(b"abc"), 1349, "ERROR_BAD_TOKEN_TYPE"),
                (lambda: out.read_data(3), 1349, "ERROR_BAD_TOKEN_TYPE"),
                (out.all_packets, 1349, "ERROR_BAD_TOKEN_TYPE"),
                (lambda: out.write_data(b""), 24, "ERROR_BAD_LENGTH"),
                (lambda: inp.read_data(0), 24, "ERROR_BAD_LENGTH"),
            ]
            for call, code, name in cases:
                with self.subTest(name=name, code=code):
                    with self.assertRaises(velmora.VelmoraError) as caught:
                        call()
                    self.assertEqual((caught.exception.code, caught.exception.name), (code, name))
                    self.assertIn(name, str(caught.exception))
            inp.set_digital_line(31, True)  # the highest line is fine


class PacketTest(SimTestCase):
    ADDRESS = address(0, 151)

    def test_successive_fetches_continue_the_sample_stream(self) -> None:
        # Block sizes that are not whole samples move a packet's first
        # sample, and so its time, off the packet boundary.
        for port, (bits, block) in enumerate([(8, 32), (12, 40), (24, 50), (64, 24)]):
            with self.subTest(bits=bits, block=block):
                width = (bits + 7) // 8
                hz = 200_000
                with velmora.Device(self.ADDRESS, "input", port) as dev:
                    dev.set_frequency(hz)
                    dev.set_packet_bits(bits)
                    dev.set_block_size(block)
                    dev.start_cleared()
                    first = poll(dev.all_packets)
                    second = poll(dev.all_packets)
                    dev.clear()
                self.assertEqual(first.time_us, 0)
                self.assertEqual(len(first.time_bytes), 8)
                self.assertFalse(first.truncated)
                offset = len(first.data)
                self.assertEqual(offset % block, 0)
                self.assertEqual(first.data, acquisition_bytes(width, 0, offset))
                self.assertEqual(second.data, acquisition_bytes(width, offset, len(second.data)))
                self.assertEqual(second.time_us, sample_time_us(offset // width, hz))
                self.assertEqual(first.split(block)[-1], first.data[-block:])

    def test_latest_packet_discards_the_older_ones(self) -> None:
        hz, block, width = 100_000, 16, 4
        with velmora.Device(self.ADDRESS, "input", 8) as dev:
            dev.set_frequency(hz)
            dev.set_packet_bits(32)
            dev.set_block_size(block)
            dev.start_cleared()
            time.sleep(0.05)  # let a few packets complete
            latest = poll(dev.latest_packet)
            following = poll(dev.all_packets)
            dev.clear()
        self.assertEqual(len(latest.data), block)
        sample = int.from_bytes(latest.data[:width], "little")
        self.assertEqual(latest.data, acquisition_bytes(width, sample * width, block))
        self.assertEqual(latest.time_us, sample_time_us(sample, hz))
        # The next fetch starts right after the latest packet, not before it.
        next_sample = sample + block // width
        self.assertEqual(following.data[:block],
                         acquisition_bytes(width, next_sample * width, block))
        self.assertEqual(following.time_us, sample_time_us(next_sample, hz))

    def test_nothing_to_fetch_is_no_work_with_the_device_status(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 9) as dev:
            with self.assertRaises(velmora.NoWorkError) as never_started:
                dev.all_packets()
            dev.set_frequency(1)  # a 256-byte packet takes two minutes
            dev.start_cleared()
            with self.assertRaises(velmora.NoWorkError) as nothing_new:
                dev.latest_packet()
            dev.clear()
        self.assertEqual((never_started.exception.code, never_started.exception.name),
                         (58, "ERROR_BAD_NET_RESP"))
        self.assertEqual(never_started.exception.status, 1)
        self.assertEqual(nothing_new.exception.status, 2)

    def test_acquisition_started_with_bad_settings_reports_io_error(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 10) as dev:
            # The package refuses a rate of 0 itself; only the library lets it through.
            self.assertEqual(dev._lib.SetFreq(dev._handle, 0), 0)
            dev.start_cleared()
            with self.assertRaises(velmora.VelmoraError) as caught:
                dev.all_packets()
            dev.clear()
        self.assertNotIsInstance(caught.exception, velmora.NoWorkError)
        self.assertEqual((caught.exception.code, caught.exception.name), (66, "ERROR_BAD_DEV_TYPE"))

    def test_a_reply_larger_than_the_buffer_is_flagged_and_the_buffer_grows(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 11, packet_capacity=10) as dev:
            dev.set_frequency(100_000)
            dev.set_block_size(16)
            dev.start_cleared()
            cut = poll(dev.latest_packet)
            whole = poll(dev.latest_packet)
            dev.clear()
        self.assertTrue(cut.truncated)
        self.assertEqual(len(cut.data), 10)
        self.assertFalse(whole.truncated)
        self.assertEqual(len(whole.data), 16)


class DataTest(SimTestCase):
    ADDRESS = address(0, 152)

    def test_written_blocks_read_back_in_order_then_the_store_is_empty(self) -> None:
        first = bytes(range(256)) * 4
        second = b"\0\0 zero bytes travel too \0"
        with velmora.Device(self.ADDRESS, "output", 5) as out, \
                velmora.Device(self.ADDRESS, "input", 5) as inp:
            self.assertEqual(out.write_data(first), len(first))
            self.assertEqual(out.write_data(memoryview(bytearray(second))), len(second))
            head = inp.read_data(100)
            rest = inp.read_data(1 << 20)
            with self.assertRaises(velmora.NoWorkError) as empty:
                inp.read_data(1)
        self.assertEqual(head, first[:100])
        self.assertEqual(rest, first[100:] + second)
        self.assertEqual(empty.exception.status, 3)

    def test_channels_keep_their_own_data(self) -> None:
        with velmora.Device(self.ADDRESS, "output", 6) as out, \
                velmora.Device(self.ADDRESS, "input", 7) as other:
            out.write_data(b"for channel six")
            with self.assertRaises(velmora.NoWorkError):
                other.read_data(64)


class SilentDevice:
    """A listener on the input port of channel 0 that takes connections and
    never answers; drop() closes them."""

    def __init__(self, address: str) -> None:
        self._listener = socket.create_server((address, 0xED10), reuse_port=False)
        self._listener.settimeout(5)
        self._peers: List[socket.socket] = []
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self) -> None:
        try:
            peer, _ = self._listener.accept()
            self._peers.append(peer)
        except OSError:
            pass

    def drop(self) -> None:
        self._thread.join(5)
        for peer in self._peers:
            peer.close()

    def close(self) -> None:
        self.drop()
        self._listener.close()


class SilentDeviceTest(unittest.TestCase):
    ADDRESS = address(0, 153)

    def setUp(self) -> None:
        self.device = SilentDevice(self.ADDRESS)
        self.addCleanup(self.device.close)

    def test_no_reply_is_a_timeout_error_of_its_own_class(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 0, timeout_ms=50) as dev:
            with self.assertRaises(velmora.TimeoutError) as caught:
                dev.read_data(16)
        self.assertIsInstance(caught.exception, builtins.TimeoutError)
        self.assertEqual((caught.exception.code, caught.exception.name), (1460, "ERROR_TIMEOUT"))
        self.assertEqual(caught.exception.operation, "NDX_GetData")

    def test_a_dropped_connection_is_not_connected_until_closed(self) -> None:
        dev = velmora.Device(self.ADDRESS, "input", 0)
        self.addCleanup(dev.close)
        self.device.drop()
        for _ in range(POLL_TRIES):
            try:
                dev.start()
            except velmora.NotConnectedError as error:
                self.assertEqual((error.code, error.name), (2250, "ERROR_NOT_CONNECTED"))
                self.assertIsInstance(error, ConnectionError)
                break
            time.sleep(POLL_PAUSE)
        else:
            self.fail("the dropped connection was not noticed")
        dev.close()
        self.assertTrue(dev.closed)


class ResultTableTest(unittest.TestCase):
    def test_names_and_meanings_match_the_public_header(self) -> None:
        header = Path(__file__).resolve().parents[2] / "include" / "velmora.h"
        if not header.exists():
            self.skipTest("no source tree around the package")
        found = {int(number): "ERROR_" + name for name, number in
                 re.findall(r"#define NDX_ERROR_(\w+) (\d+)", header.read_text())}
        self.assertEqual(found, {code: velmora.result_name(code) for code in velmora.RESULTS})
        self.assertEqual(velmora.result_name(12345), "ERROR_12345")
        # The meanings are the header's NDX_ResultText, word for word.
        source = header.read_text()
        texts = source[source.index("NDX_ResultText(int32_t result)"):]
        meanings = {int(re.search(r"#define NDX_%s (\d+)" % name, source).group(1)): text.replace('\\"', '"')
                    for name, text in re.findall(r'case NDX_(ERROR_\w+):\s*return "((?:[^"\\]|\\.)*)";', texts)}
        self.assertEqual(meanings, {code: velmora.result_meaning(code) for code in velmora.RESULTS})


if __name__ == "__main__":
    unittest.main()
