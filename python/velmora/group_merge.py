"""Samples of several devices side by side, by sample index.

Devices started together at one frequency take sample i at the same moment
(within the group's start spread), so their streams line up by index. A
stretch that any device lost or missed is left out for all of them: every
row of a merged block holds one sample of each device, taken together.
"""

from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Sequence, Tuple

from .errors import ArgumentError

__all__ = ["Merged", "merge_by_index"]


class Merged(NamedTuple):
    """``samples[d][k]`` is sample ``index + k`` of device ``devices[d]``."""

    index: int
    samples: Any
    devices: Tuple[int, ...]


def merge_by_index(items: Iterable[Any], devices: Sequence[Any]) -> Iterator[Merged]:
    """Merges a group's stream (blocks and gaps of ``devices``, the
    group's :class:`GroupDevice` list); needs numpy. The devices must share
    one frequency. A device that ended (failed, or its run complete) stops
    holding the others back once its last samples are merged."""
    import numpy

    rates = {d.settings["frequency"] for d in devices}
    if len(rates) != 1:
        raise ArgumentError("merging by sample index needs one frequency for every device, "
                            "not %s" % sorted(rates), argument="frequency")
    chunks: Dict[int, List[Tuple[int, Any]]] = {d.index: [] for d in devices}
    for item in items:
        if hasattr(item, "samples") and len(item.samples):
            # Kept past the next item: the stream's own view would be reused.
            chunks[item.device].append((item.index, numpy.array(item.samples)))
        yield from _ready(chunks, devices, numpy)


def _ready(chunks: Dict[int, List[Tuple[int, Any]]], devices: Sequence[Any],
           numpy: Any) -> Iterator[Merged]:
    for d in devices:
        if not chunks[d.index] and d.state not in ("opening", "running") and len(chunks) > 1:
            del chunks[d.index]  # it ended: nothing more will come
    while chunks and all(chunks.values()):
        start = max(queue[0][0] for queue in chunks.values())
        for queue in chunks.values():
            while queue and queue[0][0] + len(queue[0][1]) <= start:
                queue.pop(0)
            if queue and queue[0][0] < start:
                index, values = queue[0]
                queue[0] = (start, values[start - index:])
        if not all(chunks.values()):
            return
        if any(queue[0][0] != start for queue in chunks.values()):
            continue  # someone has a hole here: start again past it
        n = min(len(queue[0][1]) for queue in chunks.values())
        yield Merged(start, numpy.stack([queue[0][1][:n] for queue in chunks.values()]),
                     tuple(chunks))
        for queue in chunks.values():
            index, values = queue[0]
            if len(values) == n:
                queue.pop(0)
            else:
                queue[0] = (index + n, values[n:])
