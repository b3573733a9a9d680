"""The plain iterator and the asyncio stream hand out the same samples over
the same run, and the asyncio one never holds up the event loop."""

import asyncio
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
