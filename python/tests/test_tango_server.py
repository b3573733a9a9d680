"""The Tango device server against simulated devices, without a Tango
database: each test class runs `velmora-tango` as a process of its own."""

import os
import time
import unittest
from typing import Any, Callable, List, Tuple

from .simulator import SimTestCase, SimulatedDevice, address

try:
    import tango

    from velmora.tango_server.client import BlockEvents, gaps

    from .tango_process import ServerProcess
except ImportError:  # the suite runs with interpreters without PyTango too
    tango = None

# Each class's server listens on its own port of 127.0.0.1 (the default host
# lookup of this Tango needs a route to the internet).
# Below the kernel's ephemeral range (32768 and up), where an outgoing
# connection may hold any port at the moment a server binds it, and above the
# ports of the Tango database fixture (20000 + 10 * net, and a few after it).
_PORT = 23_000 + int(os.environ.get("VELMORA_TEST_NET", "0") or 0) * 10
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


def server(name: str, sim_address: str, port: int) -> "ServerProcess":
    return ServerProcess(name, "test/velmora/" + name, port, {"host": sim_address, "channel": 0})


@unittest.skipIf(tango is None, "PyTango is not installed for this interpreter "
                                "(Debian: python3-tango, under /usr/bin/python3)")
class ServedChannelTest(SimTestCase):
    ADDRESS = address(61, 1)

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        process = server("served", cls.ADDRESS, _PORT + 1)
        cls.addClassCleanup(process.close)
        cls.proxy = process.connect()

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

    def test_a_dropped_link_faults_then_comes_back_running_and_kill_ends_the_server(self) -> None:
        sim = SimulatedDevice(self.ADDRESS)
        sim.start()
        self.addCleanup(sim.stop)
        process = server("reconnected", self.ADDRESS, _PORT + 2)
        self.addCleanup(process.close)
        proxy = process.connect()
        self.assertTrue(wait_for(lambda: proxy.state() == tango.DevState.ON, 5), proxy.status())
        proxy.Frequency, proxy.BitsPerSample, proxy.BlockSize = HZ, 64, 8192
        log = BlockEvents(proxy)
        self.addCleanup(log.close)
        proxy.StartCleared()
        self.assertGreater(len(list(log.blocks(0.5))), 0)
        sim.stop()
        self.assertTrue(wait_for(lambda: proxy.state() == tango.DevState.FAULT, 3))
        self.assertIn("down", proxy.status())
        received_before_outage = proxy.SamplesReceived
        time.sleep(0.5)
        sim.start()
        self.assertTrue(wait_for(lambda: proxy.state() == tango.DevState.RUNNING, 5), proxy.status())
        self.assertIn("settings sent again", proxy.status())
        self.assertEqual((proxy.Frequency, proxy.Outages), (HZ, 1))
        self.assertGreaterEqual(proxy.SamplesLost, HZ / 2)  # at least the 0.5 s away
        before = proxy.SamplesReceived
        # Events of the blocks from before the outage can still be on their
        # way on a loaded machine; their indices are below the count then.
        after = [b for b in log.blocks(1.0) if b[0] >= received_before_outage]
        self.assertGreater(proxy.SamplesReceived, before)
        self.assertGreater(len(after), 2)
        contiguous(self, after[1:])
        # Kill ends the process by itself, while it acquires for a
        # subscribed client, and although this process is a Tango client.
        self.assertEqual(process.kill(), 0, process.tail())


if __name__ == "__main__":
    unittest.main()
