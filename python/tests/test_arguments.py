"""One rule for arguments: a value a call can never take raises
ArgumentError (a ValueError) naming the argument, before anything is sent."""

import warnings

import velmora

from .simulator import SimTestCase, address


class ArgumentRuleTest(SimTestCase):
    ADDRESS = address(15, 8)

    def assertRefused(self, call, argument: str, code: int = 24) -> velmora.ArgumentError:
        with self.assertRaises(velmora.ArgumentError) as caught:
            call()
        error = caught.exception
        self.assertIsInstance(error, ValueError)
        self.assertEqual((error.argument, error.code), (argument, code))
        self.assertIn(argument, str(error))
        return error

    def test_out_of_range_values_raise_one_kind_of_error_naming_the_argument(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 0) as dev:
            cases = [
                (lambda: dev.set_frequency(-1), "hz"),
                (lambda: dev.set_packet_bits(65), "bits"),
                (lambda: dev.set_block_size(0), "nbytes"),
                (lambda: dev.set_timeout(1 << 32), "ms"),
                (lambda: dev.read_data(0), "max_bytes"),
                (lambda: dev.acquire(-1), "seconds"),
                (lambda: dev.stream(1.0, on_loss="shrug"), "on_loss"),
                (lambda: velmora.Device(self.ADDRESS, None), "direction"),
                (lambda: velmora.Device(None, "input"), "host"),
                (lambda: velmora.Device(self.ADDRESS, "input", 16), "port"),
            ]
            for call, argument in cases:
                with self.subTest(argument=argument):
                    self.assertRefused(call, argument)
            # The library's own number for a line it has not, either side.
            for line in (32, -1):
                with self.subTest(line=line):
                    error = self.assertRefused(lambda: dev.set_digital_line(line, True), "line", 1413)
                    self.assertIn("0 to 31", str(error))
                    self.assertNotIn("32 or more", str(error))
        with velmora.Device(self.ADDRESS, "output", 0) as out:
            self.assertRefused(lambda: out.write_data(b""), "data")

    def test_a_stream_sends_nothing_when_one_of_its_values_is_refused(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 1) as dev:
            self.assertRefused(lambda: dev.stream(1.0, frequency=1000, bits=0), "bits")
            self.assertIsNone(dev.frequency)  # the frequency before it was not sent either
            dev.set_frequency(1000)
            dev.set_packet_bits(16)
            dev.set_block_size(64)
            # Less than one sample at 1 kHz: refused, not an empty result.
            self.assertRefused(lambda: dev.acquire(0.0001), "seconds")
            with self.assertRaises(velmora.NoWorkError) as idle:
                dev.all_packets()
            self.assertEqual(idle.exception.status, 1)  # nothing was started

    def test_a_first_packet_that_takes_hours_is_announced(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 2) as dev:
            dev.set_frequency(1000)
            dev.set_packet_bits(16)
            dev.set_block_size(16 << 20)
            for seconds in (0.5, None):
                with self.subTest(seconds=seconds), warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    dev.stream(seconds).close()  # never started
                slow = [w for w in caught if w.category is velmora.SlowPacketWarning]
                self.assertEqual(len(slow), 1)
                self.assertIn("8388.61 s", str(slow[0].message))
            dev.set_block_size(1024)
            with warnings.catch_warnings():
                warnings.simplefilter("error")  # a packet of 0.5 s in a 1 s run is fine
                dev.stream(1.0).close()
