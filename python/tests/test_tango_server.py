"""The Tango device server against simulated devices, without a Tango
database: each test class runs the server in a child process."""

import os
import time
import unittest
from typing import Any, Callable, List, Tuple

from .simulator import SimTestCase, SimulatedDevice, address

try:
    import tango
    from tango.test_context import DeviceTestContext

    from velmora.tango_server.client import BlockEvents, gaps
except ImportError:  # the suite runs with interpreters without PyTango too
    tango = None

# Each class's server listens on its own port of 127.0.0.1 (the default host
# lookup of this Tango needs a route to the internet).
_PORT = 40_000 + int(os.environ.get("VELMORA_TEST_NET", "0") or 0) * 10
HZ = 200_000


def wait_for(condition: Callable[[], bool], seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def contiguous(test: unittest.TestCase, blocks: List[Tuple[int, Any]]) -> None:
    test.assertEqual(gaps(blocks), [])


def server(sim_address: str, port: int) -> "DeviceTestContext":
    from velmora.tango_server.channel import VelmoraChannel
    return DeviceTestContext(VelmoraChannel, properties={"host": sim_address, "channel": 0},
                             process=True, daemon=True, host="127.0.0.1", port=port, timeout=15)


def finish(context: "DeviceTestContext") -> None:
    """Stops a server, and ends its process if Kill left it running: a
    server process left behind keeps the test run from ever exiting."""
    try:
        context.stop()
    finally:
        if context.thread.is_alive():
            context.thread.terminate()
            context.thread.join(5)


@unittest.skipIf(tango is None, "PyTango is not installed for this interpreter "
                                "(Debian: python3-tango, under /usr/bin/python3)")
class ServedChannelTest(SimTestCase):
    ADDRESS = address(61, 1)

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.context = server(cls.ADDRESS, _PORT + 1)
        cls.context.start()
        cls.addClassCleanup(finish, cls.context)
        cls.proxy = cls.context.device

    def setUp(self) -> None:
        self.assertTrue(wait_for(lambda: self.proxy.state() == tango.DevState.ON, 5),
                        self.proxy.status())

    def refused(self, reason: str, call: Callable, *args: Any) -> str:
        with self.assertRaises(tango.DevFailed) as caught:
            call(*args)
        self.assertEqual(caught.exception.args[0].reason, reason)
        return caught.exception.args[0].desc

    def test_settings_show_what_was_sent_and_commands_answer(self) -> None:
        proxy = self.proxy
        proxy.Frequency = 50_000_000
        self.assertEqual(proxy.Frequency, 40_000_000)  # the library's clamp
        proxy.BitsPerSample, proxy.BlockSize = 16, 4096
        proxy.AutoZero, proxy.DigitalLines = True, 0b1011
        self.assertEqual((proxy.BitsPerSample, proxy.BlockSize, proxy.AutoZero, proxy.DigitalLines),
                         (16, 4096, True, 0b1010))  # bit 0 is AutoZero's
        self.assertGreater(proxy.Ping(), 0.0)
        self.refused("VELMORA_WrongDirection", proxy.WriteBlock, [1, 2, 3])
        self.refused("VELMORA_WrongState", proxy.Stop)
        self.refused("VELMORA_ERROR_BAD_NET_RESP", proxy.ReadBlock, 16)  # empty store
        self.assertEqual((proxy.LastResult, proxy.LastResultName), (58, "ERROR_BAD_NET_RESP"))

    def test_events_carry_every_sample_once_and_running_refuses_what_needs_idle(self) -> None:
        proxy = self.proxy
        proxy.Frequency, proxy.BitsPerSample, proxy.BlockSize = HZ, 64, 8192
        log = BlockEvents(proxy)
        self.addCleanup(log.close)
        proxy.StartCleared()
        try:
            self.assertEqual(proxy.state(), tango.DevState.RUNNING)
            desc = self.refused("VELMORA_WrongState", proxy.Start)
            self.assertIn("needs state ON; the device is RUNNING", desc)
            self.refused("VELMORA_WrongState", proxy.write_attribute, "Frequency", 1000)
            self.refused("VELMORA_WrongState", proxy.Ping)
            blocks = list(log.blocks(2.0))
        finally:
            proxy.Stop()
        self.assertGreater(len(blocks), 5)
        contiguous(self, blocks)
        for index, samples in blocks:  # 64-bit samples hold their own index
            self.assertEqual((int(samples[0]), int(samples[-1])), (index, index + len(samples) - 1))
        self.assertEqual(proxy.SamplesLost, 0)
        self.assertGreater(proxy.AcquisitionRate, HZ / 2)
        self.assertEqual(proxy.state(), tango.DevState.ON)


@unittest.skipIf(tango is None, "PyTango is not installed for this interpreter "
                                "(Debian: python3-tango, under /usr/bin/python3)")
class ReconnectionTest(unittest.TestCase):
    ADDRESS = address(61, 2)

    def test_a_dropped_link_faults_then_comes_back_running_with_the_outage_counted(self) -> None:
        sim = SimulatedDevice(self.ADDRESS)
        sim.start()
        self.addCleanup(sim.stop)
        context = server(self.ADDRESS, _PORT + 2)
        context.start()
        self.addCleanup(finish, context)
        proxy = context.device
        self.assertTrue(wait_for(lambda: proxy.state() == tango.DevState.ON, 5), proxy.status())
        proxy.Frequency, proxy.BitsPerSample, proxy.BlockSize = HZ, 64, 8192
        log = BlockEvents(proxy)
        self.addCleanup(log.close)
        proxy.StartCleared()
        self.assertGreater(len(list(log.blocks(0.5))), 0)
        sim.stop()
        self.assertTrue(wait_for(lambda: proxy.state() == tango.DevState.FAULT, 3))
        self.assertIn("down", proxy.status())
        time.sleep(0.5)
        sim.start()
        self.assertTrue(wait_for(lambda: proxy.state() == tango.DevState.RUNNING, 5), proxy.status())
        self.assertIn("settings sent again", proxy.status())
        self.assertEqual((proxy.Frequency, proxy.Outages), (HZ, 1))
        self.assertGreaterEqual(proxy.SamplesLost, HZ / 2)  # at least the 0.5 s away
        before = proxy.SamplesReceived
        after = list(log.blocks(1.0))
        self.assertGreater(proxy.SamplesReceived, before)
        contiguous(self, after[1:])
        proxy.Stop()


if __name__ == "__main__":
    unittest.main()
