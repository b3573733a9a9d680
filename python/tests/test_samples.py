"""Sample values and times: the decoding on its own, then fetched packets
checked against the simulated device's sequence (sample n is n truncated to
the sample width). Runs with numpy (numpy arrays) and without (array.array).
"""

import array
import time
import unittest

import velmora
from velmora import samples

from .simulator import SimTestCase, address
from .test_device import acquisition_bytes, poll

try:
    import numpy
except ImportError:
    numpy = None


class DecodeTest(unittest.TestCase):
    def test_widths_and_widening(self) -> None:
        # Width in bytes -> the item size the values come in.
        for width, itemsize in [(1, 1), (2, 2), (3, 4), (4, 4), (5, 8), (7, 8), (8, 8)]:
            with self.subTest(width=width):
                values = [0, 1, (1 << (8 * width)) - 1, 0x0102030405060708 & ((1 << (8 * width)) - 1)]
                data = b"".join(v.to_bytes(width, "little") for v in values)
                decoded = samples.decode(data + b"\xff" * (width - 1), width)  # partial tail dropped
                self.assertEqual([int(v) for v in decoded], values)
                self.assertEqual(decoded.itemsize, itemsize)
                kind = numpy.ndarray if numpy is not None else array.array
                self.assertIsInstance(decoded, kind)

    def test_decoded_values_do_not_share_the_source_buffer(self) -> None:
        source = bytearray(b"\x01\x00\x02\x00")
        decoded = samples.decode(memoryview(source), 2)
        source[0] = 9
        self.assertEqual(list(decoded), [1, 2])

    def test_bits_outside_one_to_sixty_four_are_refused(self) -> None:
        for bits in (0, -8, 65):
            with self.subTest(bits=bits), self.assertRaises(ValueError):
                samples.sample_width(bits)
        self.assertEqual([samples.sample_width(b) for b in (1, 8, 9, 12, 16, 17, 24, 64)],
                         [1, 1, 2, 2, 2, 3, 3, 8])

    def test_packet_from_time_undoes_the_microsecond_rounding(self) -> None:
        # For every packet of several layouts, the time the device stamps on
        # it leads back to that packet (rates where a packet lasts 1 us or more).
        for hz, width, block in [(1000, 2, 256), (44_100, 3, 64), (1_000_000, 4, 6),
                                 (40_000_000, 8, 4096), (3_000_000, 3, 10)]:
            with self.subTest(hz=hz, width=width, block=block):
                for packet in list(range(0, 300)) + [10 ** 6 + 7, 10 ** 9 + 3]:
                    stamp = samples.packet_time_us(packet, hz, block, width)
                    self.assertEqual(samples.first_packet(stamp, hz, block, width), packet)

    def test_layout_skips_to_the_first_whole_sample(self) -> None:
        # 3-byte samples in 10-byte packets: packet 1 begins with the last
        # 2 bytes of sample 3, packet 2 with the last byte of sample 6.
        hz, width, block = 1000, 3, 10
        for packet, skip, first in [(0, 0, 0), (1, 2, 4), (2, 1, 7), (3, 0, 10)]:
            stamp = samples.packet_time_us(packet, hz, block, width)
            self.assertEqual(samples.layout(stamp, hz, width, block), (skip, first))


class FetchedSamplesTest(SimTestCase):
    ADDRESS = address(15, 1)

    def fetch(self, channel: int, bits: int, block: int, hz: int = 200_000) -> velmora.Packets:
        with velmora.Device(self.ADDRESS, "input", channel) as dev:
            dev.set_frequency(hz)
            dev.set_packet_bits(bits)
            dev.set_block_size(block)
            dev.start_cleared()
            poll(dev.all_packets)  # the packets of the first moment
            time.sleep(0.02)
            packets = poll(dev.all_packets)  # these begin somewhere later
            dev.clear()
        return packets

    def test_samples_follow_the_device_sequence_for_each_width(self) -> None:
        for channel, (bits, block) in enumerate([(8, 64), (12, 64), (16, 256), (32, 1024)]):
            with self.subTest(bits=bits):
                packets = self.fetch(channel, bits, block)
                width = (bits + 7) // 8
                values = packets.samples()
                times = packets.times()
                first = round(times[0] * packets.frequency)
                self.assertGreater(first, 0)
                self.assertEqual(len(values), len(packets.data) // width)
                self.assertEqual(len(times), len(values))
                mask = (1 << (8 * width)) - 1
                self.assertEqual([int(v) for v in values], [(first + i) & mask for i in range(len(values))])
                self.assertEqual(packets.data, acquisition_bytes(width, first * width, len(packets.data)))
                self.assertAlmostEqual(times[-1] - times[0], (len(values) - 1) / packets.frequency)

    def test_packets_that_cut_samples_start_at_the_first_whole_one(self) -> None:
        packets = self.fetch(4, 24, 50)  # 3-byte samples, 50-byte packets
        values, times = packets.samples(), packets.times()
        first = round(times[0] * packets.frequency)
        self.assertEqual([int(v) for v in values], list(range(first, first + len(values))))
        self.assertEqual(len(times), len(values))

    def test_bits_argument_overrides_and_unknown_settings_are_refused(self) -> None:
        packets = self.fetch(5, 16, 64)
        as_bytes = packets.samples(bits=8)
        self.assertEqual(len(as_bytes), len(packets.data))
        bare = velmora.Packets(packets.time_us, packets.data)
        with self.assertRaises(ValueError):
            bare.samples()
        with self.assertRaises(ValueError):
            bare.times(bits=16)
        self.assertEqual(list(bare.times(bits=16, frequency=packets.frequency)), list(packets.times()))


if __name__ == "__main__":
    unittest.main()
