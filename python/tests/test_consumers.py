"""The plain iterator, the asyncio stream and the every-N-samples callback
hand out the same samples over the same run; the asyncio one never holds up
the event loop."""

import asyncio
import threading
from typing import List, Tuple

import velmora

from .simulator import SimTestCase, address

HZ = 50_000
SECONDS = 1.0


def summary(blocks: List[velmora.Block]) -> Tuple[int, int, bool]:
    count = sum(len(b.samples) for b in blocks)
    ok = all([int(v) for v in b.samples] == list(range(b.index, b.index + len(b.samples)))
             for b in blocks)
    return count, sum(b.lost for b in blocks), ok


class ConsumersTest(SimTestCase):
    ADDRESS = address(15, 13)

    def test_iterator_and_astream_count_the_same_samples(self) -> None:
        with velmora.Device(self.ADDRESS, "input", 0) as dev:
            plain = list(dev.stream(SECONDS, frequency=HZ, bits=64, block_size=800))

            async def consume() -> Tuple[List[velmora.Block], int]:
                ticks = 0

                async def ticker() -> None:
                    nonlocal ticks
                    while True:
                        await asyncio.sleep(0.01)
                        ticks += 1

                task = asyncio.ensure_future(ticker())
                got = [b async for b in dev.astream(SECONDS, frequency=HZ, bits=64,
                                                    block_size=800)]
                task.cancel()
                return got, ticks

            got, ticks = asyncio.run(asyncio.wait_for(consume(), 30))
        print("\nplain %r, astream %r, ticks %d" % (summary(plain), summary(got), ticks))
        self.assertEqual(summary(plain), (round(SECONDS * HZ), 0, True))
        self.assertEqual(summary(got), summary(plain))
        self.assertGreater(ticks, SECONDS / 0.01 / 4)  # the loop kept running meanwhile

    def test_on_block_gives_what_the_iterator_gives_in_batches_of_n(self) -> None:
        n = 3_000  # no divisor of the run: the last batch is shorter
        with velmora.Device(self.ADDRESS, "input", 1) as dev:
            plain = list(dev.stream(SECONDS, frequency=HZ, bits=64, block_size=800))
            got: List[velmora.Block] = []
            threads = set()

            def keep(block: velmora.Block) -> None:
                got.append(block)
                threads.add(threading.current_thread().name)

            with dev.on_block(keep, n, SECONDS, frequency=HZ, bits=64, block_size=800) as d:
                self.assertTrue(d.join(30))

            def fail(block: velmora.Block) -> None:
                raise ZeroDivisionError("from the callback")

            failing = dev.on_block(fail, n, None, frequency=HZ, bits=64, block_size=800)
            with self.assertRaisesRegex(ZeroDivisionError, "from the callback"):
                failing.join(30)
            self.assertFalse(failing.running)
        self.assertEqual(summary(got), summary(plain))
        self.assertEqual([len(b.samples) for b in got], [n] * (len(got) - 1) + [round(SECONDS * HZ) % n])
        self.assertEqual([b.index for b in got], list(range(0, round(SECONDS * HZ), n)))
        self.assertEqual(threads, {"velmora-on-block"})
