"""Every-N-samples callbacks: a stream run on a thread of the package's own,
its blocks cut and joined into batches of a size the caller chooses."""

import threading
from typing import Any, Callable, Dict, Iterator, List, Optional

from . import samples as _samples
from ._arguments import in_range

__all__ = ["Delivery"]

# Shifts a block's time to its sample k: (block, k) -> block.
_Shift = Callable[[Any, int], Any]


class _Batcher:
    """Joins the blocks of one device into batches of ``n`` consecutive
    samples. A batch ends early only where samples are missing (a loss or a
    gap): its samples are always consecutive."""

    def __init__(self, n: int, shift: _Shift) -> None:
        self.n = n
        self.shift = shift
        self.parts: List[Any] = []
        self.count = 0
        self.head: Any = None  # the first block of the batch, shifted
        self.next_index = 0
        self.lost = 0  # lost before the batch's first sample

    def feed(self, block: Any) -> Iterator[Any]:
        if self.count and (block.lost or block.index != self.next_index):
            yield self._take()
        self.lost += block.lost
        samples, k = block.samples, 0
        while k < len(samples):
            if not self.count:
                self.head = self.shift(block, k)._replace(index=block.index + k)
            take = min(self.n - self.count, len(samples) - k)
            # A view of a group's ring is only valid until the next block:
            # concatenating copies it.
            self.parts.append(samples[k:k + take])
            self.count += take
            k += take
            if self.count == self.n:
                yield self._take()
        self.next_index = block.index + len(samples)

    def flush(self) -> Iterator[Any]:
        if self.count:
            yield self._take()

    def _take(self) -> Any:
        batch = self.head._replace(samples=_join(self.parts), lost=self.lost)
        self.parts, self.count, self.lost = [], 0, 0
        return batch


def _join(parts: List[Any]) -> Any:
    if _samples.numpy is not None and isinstance(parts[0], _samples.numpy.ndarray):
        return _samples.numpy.concatenate(parts)
    joined = _samples.SampleArray(parts[0].typecode)
    for part in parts:
        joined.extend(part)
    return joined


class Delivery:
    """Calls ``callback`` with every batch of a stream, on a thread of its
    own (named by :attr:`thread`). :meth:`stop` ends it early; :meth:`join`
    waits for it and raises what ended it (the callback's exception or the
    stream's). As a context manager it stops and joins on leaving."""

    def __init__(self, items: Iterator[Any], every_n_samples: int, shift: _Shift,
                 device_of: Callable[[Any], Any], callback: Callable[[Any], Any],
                 name: str) -> None:
        if not callable(callback):
            raise TypeError("callback must be callable, not %r" % (callback,))
        n = in_range(every_n_samples, "every_n_samples", 1, None)
        self._items = items
        self._batchers: Dict[Any, _Batcher] = {}
        self._make = lambda: _Batcher(n, shift)
        self._device_of = device_of
        self._callback = callback
        self._stopping = threading.Event()
        self._error: Optional[BaseException] = None
        self.thread = threading.Thread(target=self._run, name=name, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        try:
            for item in self._items:
                if self._stopping.is_set():
                    return
                self._deliver(item)
            for batcher in self._batchers.values():
                for batch in batcher.flush():
                    if self._stopping.is_set():
                        return
                    self._callback(batch)
        except BaseException as error:  # re-raised by join()
            self._error = error
        finally:
            try:
                self._items.close()  # stops the acquisition, on this thread
            except BaseException as error:
                if self._error is None:
                    self._error = error

    def _deliver(self, item: Any) -> None:
        batcher = self._batchers.get(self._device_of(item))
        if batcher is None:
            batcher = self._batchers[self._device_of(item)] = self._make()
        if not hasattr(item, "samples"):  # a gap: what came before it goes first
            for batch in batcher.flush():
                self._callback(batch)
            self._callback(item)
            batcher.next_index = item.resume_index
            return
        for batch in batcher.feed(item):
            if self._stopping.is_set():
                return
            self._callback(batch)

    @property
    def running(self) -> bool:
        return self.thread.is_alive()

    def stop(self) -> None:
        """Asks for the end: no batch is delivered after the one in progress."""
        self._stopping.set()

    def join(self, timeout: Optional[float] = None) -> bool:
        """Waits for the end (at most ``timeout`` seconds); False when it has
        not come yet. Raises the exception that ended the delivery."""
        if self.thread is not threading.current_thread():
            self.thread.join(timeout)
        if self.thread.is_alive():
            return False
        if self._error is not None:
            raise self._error
        return True

    def __enter__(self) -> "Delivery":
        return self

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        self.stop()
        if kind is None:
            self.join()
        else:
            self.thread.join()  # what is propagating matters more
