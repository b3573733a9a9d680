"""The shared-memory ring between one group worker and the consumer.

The worker copies each block's samples into the ring once and sends only a
small descriptor over its pipe; the consumer hands out a view of the ring
and gives the bytes back when the next item is asked for. The ring's first
bytes hold two counters, each written by one side only: how many bytes the
consumer has released and how many the worker has written (both grow for
the whole run; positions are taken modulo the capacity).

A full ring makes the worker wait (backpressure): it stops fetching, the
device keeps the packets in its own backlog, and if that overflows too the
stream counts the overwritten samples in the next block's ``lost``. Nothing
is dropped silently between the worker and the consumer.
"""

import time
from multiprocessing import shared_memory
from typing import Callable, NamedTuple, Optional

HEADER = 64
_RELEASED, _WRITTEN = 0, 1  # uint64 slots of the header
_WAIT = 0.0005
# A block larger than this share of the ring goes in several pieces, so
# that two pieces always fit and the worker never waits for itself.
PIECE_SHARE = 4


class Placement(NamedTuple):
    """Where a piece landed: ``offset`` of its bytes in the ring, and
    ``advance``, the bytes the consumer releases with it (padding skipped
    at the ring's end included)."""

    offset: int
    advance: int


def create(capacity: int) -> shared_memory.SharedMemory:
    return shared_memory.SharedMemory(create=True, size=HEADER + capacity)


def attach(name: str) -> shared_memory.SharedMemory:
    """Opens the ring and removes its name at once: from here on only the
    two mappings hold it, so no segment outlives the processes, whichever
    of them dies first."""
    memory = shared_memory.SharedMemory(name=name)
    try:
        memory.unlink()
    except FileNotFoundError:
        pass
    # unlink() told the resource tracker the segment is gone; the
    # consumer's own registration went with it, so nothing warns at exit.
    return memory


def forget(memory: shared_memory.SharedMemory) -> None:
    """Removes a ring no worker attached to (its name would stay in /dev/shm)."""
    try:
        memory.unlink()
    except FileNotFoundError:
        pass


def close(memory: shared_memory.SharedMemory) -> None:
    try:
        memory.close()
    except BufferError:
        # A caller still holds samples: the mapping goes with the last of
        # them, and the object must not try again when collected.
        memory._mmap = None  # type: ignore[attr-defined]


class Writer:
    """The worker's side."""

    def __init__(self, memory: shared_memory.SharedMemory) -> None:
        self.capacity = memory.size - HEADER
        self._counters = memory.buf[:HEADER].cast("Q")
        self._data = memory.buf[HEADER:HEADER + self.capacity]
        self._written = 0
        self.waited = 0.0  # seconds spent waiting for the consumer

    def put(self, payload: memoryview, keep_waiting: Callable[[], bool]) -> Optional[Placement]:
        """Copies ``payload`` (at most capacity / PIECE_SHARE bytes) into
        the ring once there is room; None when ``keep_waiting`` said stop."""
        size = len(payload)
        position = self._written % self.capacity
        pad = self.capacity - position if position + size > self.capacity else 0
        advance = pad + size
        began = None
        while self.capacity - (self._written - self._counters[_RELEASED]) < advance:
            if began is None:
                began = time.monotonic()
            if not keep_waiting():
                self.waited += time.monotonic() - began
                return None
            time.sleep(_WAIT)
        if began is not None:
            self.waited += time.monotonic() - began
        offset = (position + pad) % self.capacity
        self._data[offset:offset + size] = payload
        self._written += advance
        self._counters[_WRITTEN] = self._written
        return Placement(offset, advance)

    def release(self) -> None:
        self._counters.release()
        self._data.release()


class Reader:
    """The consumer's side."""

    def __init__(self, memory: shared_memory.SharedMemory) -> None:
        self.capacity = memory.size - HEADER
        self._counters = memory.buf[:HEADER].cast("Q")
        self.data = memory.buf[HEADER:HEADER + self.capacity]

    def give_back(self, advance: int) -> None:
        self._counters[_RELEASED] = self._counters[_RELEASED] + advance

    def release(self) -> None:
        self._counters.release()
        try:
            self.data.release()
        except BufferError:
            pass  # a caller still holds samples of it
