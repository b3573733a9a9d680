"""What a Device remembers of its settings, what it refuses before sending,
and what a failed connection says."""

import builtins

import velmora

from .simulator import SimTestCase, address

NOTHING_LISTENS = address(15, 250)


class SettingsTest(SimTestCase):
    ADDRESS = address(15, 5)

    def test_properties_show_what_was_sent_after_clamping(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 0) as dev:
            self.assertEqual((dev.frequency, dev.packet_bits, dev.block_size, dev.auto_zero),
                             (None, None, None, None))
            dev.set_frequency(50_000_000)
            dev.set_packet_bits(12)
            dev.set_block_size(100.0)  # a float holding a whole number is fine
            dev.set_digital_line(5, True)
            dev.set_auto_zero(True)
            dev.set_timeout(750)
            self.assertEqual(dev.frequency, velmora.MAX_FREQUENCY_HZ)
            self.assertEqual((dev.packet_bits, dev.sample_width, dev.block_size), (12, 2, 100))
            self.assertEqual(dict(dev.lines), {5: True, 0: True})
            self.assertEqual((dev.auto_zero, dev.timeout_ms), (True, 750))
            with self.assertRaises(AttributeError):
                dev.frequency = 5  # type: ignore[misc]
            with self.assertRaises(TypeError):
                dev.lines[3] = True  # type: ignore[index]

    def test_nonsense_is_refused_and_nothing_changes(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 1) as dev:
            dev.set_frequency(1000)
            dev.set_packet_bits(16)
            dev.set_block_size(64)
            cases = [
                (dev.set_frequency, -1), (dev.set_frequency, 0), (dev.set_frequency, 2.5),
                (dev.set_frequency, "fast"), (dev.set_frequency, True), (dev.set_frequency, None),
                (dev.set_packet_bits, 0), (dev.set_packet_bits, 65), (dev.set_packet_bits, 8.5),
                (dev.set_block_size, 0), (dev.set_block_size, -4),
                (dev.set_block_size, velmora.MAX_BLOCK_SIZE + 1), (dev.set_timeout, 0),
            ]
            for setter, value in cases:
                with self.subTest(setter=setter.__name__, value=value):
                    with self.assertRaises(ValueError):
                        setter(value)
            self.assertEqual((dev.frequency, dev.packet_bits, dev.block_size), (1000, 16, 64))
            with self.assertRaises(velmora.VelmoraError) as caught:
                dev.set_packet_bits(0)
            self.assertEqual(caught.exception.code, 24)  # as the library would say


class ConnectErrorTest(SimTestCase):
    ADDRESS = address(15, 6)

    def test_the_message_names_host_and_port(self) -> None:
        for direction, channel, port in [("input", 0, 0xED10), ("output", 7, 0xED07)]:
            with self.subTest(direction=direction, channel=channel):
                with self.assertRaises(velmora.ConnectError) as caught:
                    velmora.Device(NOTHING_LISTENS, direction, channel)
                error = caught.exception
                self.assertIsInstance(error, velmora.VelmoraError)
                self.assertIsInstance(error, builtins.ConnectionError)
                self.assertEqual((error.host, error.port, error.code), (NOTHING_LISTENS, port, 1203))
                self.assertIn("%s port %d" % (NOTHING_LISTENS, port), str(error))
                self.assertEqual(error.operation, "NDX_Connect")

    def test_a_device_that_answers_reports_its_port(self) -> None:
        with velmora.Device(self.ADDRESS, "output", 3) as dev:
            self.assertEqual(dev.tcp_port, 0xED03)
