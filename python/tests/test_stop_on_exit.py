"""An acquisition a stream, acquire() or a with block started is stopped when
it ends, however it ends: afterwards a new handle finds nothing running."""

import gc
import time
from typing import Callable

import velmora

from .simulator import SimTestCase, address

SETTINGS = dict(frequency=100_000, bits=16, block_size=1024)
CHECKS = 100
CHECK_PAUSE = 0.01


class Stop(Exception):
    pass


def start_by_hand(dev: velmora.Device) -> None:
    dev.set_frequency(SETTINGS["frequency"])
    dev.set_packet_bits(SETTINGS["bits"])
    dev.set_block_size(SETTINGS["block_size"])
    dev.start_cleared()


class StopOnExitTest(SimTestCase):
    ADDRESS = address(15, 9)

    def status_seen_by_a_new_handle(self, port: int, running: bool = False) -> int:
        """The "NOWRK" status another handle gets (0 for packets): 1 once
        nothing runs. Requests of two connections reach the device in no set
        order, so it waits (bounded) for the stop, or with ``running`` for
        the start, to get there first."""
        with velmora.Device(self.ADDRESS, "input", port) as other:
            status = 0
            for _ in range(CHECKS):
                try:
                    other.all_packets()
                    status = 0
                except velmora.NoWorkError as error:
                    status = error.status
                if (status != 1) if running else (status == 1):
                    break
                time.sleep(CHECK_PAUSE)
            other.clear()  # nothing left running for the next case
            return status

    def test_every_way_of_leaving_a_stream_stops_what_it_started(self) -> None:
        def finish(dev: velmora.Device) -> None:
            list(dev.stream(0.05, **SETTINGS))

        def leave_early(dev: velmora.Device) -> None:
            for _ in dev.stream(**SETTINGS):
                break

        def fail_inside(dev: velmora.Device) -> None:
            with self.assertRaises(Stop):
                for _ in dev.stream(**SETTINGS):
                    raise Stop

        def interrupt(dev: velmora.Device) -> None:
            with self.assertRaises(KeyboardInterrupt):
                for _ in dev.stream(**SETTINGS):
                    raise KeyboardInterrupt

        def drop(dev: velmora.Device) -> None:
            blocks = dev.stream(**SETTINGS)
            next(blocks)
            del blocks
            gc.collect()

        def close_under_it(dev: velmora.Device) -> None:
            blocks = dev.stream(**SETTINGS)
            next(blocks)
            dev.close()  # the stream outlives its handle
            blocks.close()

        cases: "list[Callable[[velmora.Device], None]]" = [
            finish, leave_early, fail_inside, interrupt, drop, close_under_it, start_by_hand]
        for port, case in enumerate(cases):
            with self.subTest(case=case.__name__):
                with velmora.Device(self.ADDRESS, "input", port) as dev:
                    case(dev)
                self.assertEqual(self.status_seen_by_a_new_handle(port), 1)

    def test_keep_running_leaves_it_running(self) -> None:
        cases = [
            ("stream", lambda dev: next(iter(dev.stream(keep_running=True, **SETTINGS)))),
            ("acquire", lambda dev: dev.acquire(0.05, keep_running=True, **SETTINGS)),
        ]
        for port, (name, case) in enumerate(cases, start=8):
            with self.subTest(case=name):
                with velmora.Device(self.ADDRESS, "input", port) as dev:
                    case(dev)
                self.assertNotEqual(self.status_seen_by_a_new_handle(port, running=True), 1)
        with velmora.Device(self.ADDRESS, "input", 10, keep_running=True) as dev:
            start_by_hand(dev)
        self.assertNotEqual(self.status_seen_by_a_new_handle(10, running=True), 1)
