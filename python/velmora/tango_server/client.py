"""For Tango clients in Python: the blocks of samples a served channel
publishes, each as (index of its first sample, samples), from its change
events.

    import tango
    from velmora.tango_server.client import BlockEvents

    proxy = tango.DeviceProxy("test/velmora/1")
    with BlockEvents(proxy) as events:
        proxy.StartCleared()
        for index, samples in events.blocks(10.0):
            ...
"""

import queue
import time
from typing import Any, Iterator, List, Tuple

import tango

__all__ = ["BlockEvents", "gaps"]


class BlockEvents:
    """Subscribes to the change events of SamplesFirstIndex and Samples of
    ``proxy``; the server pushes both for every block with one time stamp,
    which pairs them here."""

    NAMES = ("SamplesFirstIndex", "Samples")

    def __init__(self, proxy: Any) -> None:
        self._proxy = proxy
        self._events: "queue.Queue[Tuple[str, Any, float]]" = queue.Queue()
        self._ids: List[int] = []
        for name in self.NAMES:
            self._ids.append(proxy.subscribe_event(name, tango.EventType.CHANGE_EVENT, self._push))

    def _push(self, event: Any) -> None:
        if not event.err and event.attr_value is not None:
            # tango://host:port/a/b/c/name#dbase=no -> name
            name = event.attr_name.split("#")[0].rsplit("/", 1)[-1].lower()
            self._events.put((name, event.attr_value.value, event.attr_value.time.totime()))

    def blocks(self, seconds: float) -> Iterator[Tuple[int, Any]]:
        """Every non-empty block whose events arrive within ``seconds``."""
        index = None
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                name, value, stamp = self._events.get(timeout=0.1)
            except queue.Empty:
                continue
            if name == "samplesfirstindex":
                index = (value, stamp)
            elif index is not None and index[1] == stamp and value is not None and len(value):
                yield index[0], value

    def close(self) -> None:
        ids, self._ids = self._ids, []
        for ident in ids:
            self._proxy.unsubscribe_event(ident)

    def __enter__(self) -> "BlockEvents":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def gaps(blocks: List[Tuple[int, Any]]) -> List[Tuple[int, int]]:
    """(expected index, index found) wherever a block does not begin where
    the one before it ended: samples lost (found > expected) or repeated."""
    return [(index + len(samples), following)
            for (index, samples), (following, _) in zip(blocks, blocks[1:])
            if following != index + len(samples)]
