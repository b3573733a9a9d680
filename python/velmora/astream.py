"""A stream for asyncio: the blocking fetches run on a thread of their own,
which hands blocks (and gaps) to the event loop through a bounded queue."""

import asyncio
import queue
import threading
from typing import Any, AsyncIterator

# Blocks the thread may get ahead of the consumer before it waits.
_AHEAD = 8
_DONE = object()
_NOTHING = object()


def _take(handoff: "queue.Queue[Any]") -> Any:
    # Bounded, so that a cancelled consumer never leaves an executor thread
    # waiting for good.
    try:
        return handoff.get(timeout=0.1)
    except queue.Empty:
        return _NOTHING


async def astream(device: Any, *args: Any, **kwargs: Any) -> AsyncIterator[Any]:
    """Yields what ``device.stream(*args, **kwargs)`` yields, without ever
    blocking the event loop. Leaving the loop (break, cancellation, an
    exception) stops the stream, which stops the acquisition it started,
    and ends the thread."""
    blocks = device.stream(*args, **kwargs)  # arguments checked here, on the caller's side
    handoff: "queue.Queue[Any]" = queue.Queue(_AHEAD)
    stop = threading.Event()

    def produce() -> None:
        try:
            for item in blocks:
                while not stop.is_set():
                    try:
                        handoff.put(item, timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    break
            outcome: Any = _DONE
        except BaseException as error:  # handed to the consumer
            outcome = error
        finally:
            blocks.close()  # stops the acquisition on this thread
        while not stop.is_set():
            try:
                handoff.put(outcome, timeout=0.1)
                return
            except queue.Full:
                continue

    thread = threading.Thread(target=produce, name="velmora-astream", daemon=True)
    thread.start()
    loop = asyncio.get_running_loop()
    try:
        while True:
            item = await loop.run_in_executor(None, _take, handoff)
            if item is _NOTHING:
                continue
            if item is _DONE:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        while thread.is_alive():
            await loop.run_in_executor(None, thread.join, 0.2)
