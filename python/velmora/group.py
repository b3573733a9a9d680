"""Several devices at once, one process each.

    group = velmora.Group(["10.0.0.21", ("10.0.0.22", 3)],
                          frequency=1_000_000, bits=16, block_size=4096)
    for item in group.stream(10.0):
        if isinstance(item, velmora.GroupGap):
            print(item.name, "was away; about", item.missed, "samples missed")
        else:
            print(item.device, item.index, len(item.samples), item.lost)

The library lets one call run at a time in a process, so the devices of a
group stream from worker processes, each into its own shared-memory ring;
the consumer gets each block's samples as a view of that ring (copied once,
by the worker). A view stays valid until the next item is asked for: keep
``samples.copy()`` to hold on to it, or pass ``copy=True``.
"""

import multiprocessing
import multiprocessing.connection
import os
import threading
import time
from typing import Any, AsyncIterator, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _group_ring as ring
from . import _group_worker as worker
from ._arguments import in_range
from .errors import ArgumentError
from .stream import Gap

__all__ = ["Group", "GroupBlock", "GroupGap", "GroupDevice", "DEFAULT_RING_BYTES"]

DEFAULT_RING_BYTES = 64 << 20
_STOP_SECONDS = 10.0
_SETTINGS = ("frequency", "bits", "block_size", "timeout_ms")

DeviceEntry = Union[str, Tuple[str, int], Dict[str, Any]]


class GroupBlock(NamedTuple):
    """Samples of one device: ``device`` (its position in the group),
    ``name``, ``samples`` (a read-only view, valid until the next item
    unless the stream copies), ``index`` of the first sample, ``t_host``
    (host clock, ``time.time()``, of the first sample, from the device's
    start and its frequency) and ``lost`` (samples lost just before it)."""

    device: int
    name: str
    samples: Any
    index: int
    t_host: float
    lost: int


# A worker sends a stream's Gap as a plain tuple, and the consumer prefixes
# the device: the fields come from Gap itself so the two cannot fall out of step.
GroupGap = NamedTuple("GroupGap", [("device", int), ("name", str), *Gap.__annotations__.items()])
GroupGap.__doc__ = """An outage of one device (reported once, when it ends): the fields of
:class:`velmora.Gap` after the device's position and name."""


class GroupDevice:
    """What the group knows of one device: ``state`` is "idle", "opening",
    "running", "complete", "stopped" or "failed"; ``last_result`` the
    library's result number that failed it (None otherwise), ``error`` the
    message; ``start_time`` the host time its acquisition started."""

    def __init__(self, position: int, settings: Dict[str, Any]) -> None:
        self.index = position
        self.settings = settings
        self.host = settings["host"]
        self.channel = settings["channel"]
        self.name = settings["name"]
        self.state = "idle"
        self.last_result: Optional[int] = None
        self.error = ""
        self.start_time: Optional[float] = None
        self.samples = 0
        self.lost = 0
        self.gaps = 0
        self.ring_wait_s = 0.0
        self.pid: Optional[int] = None  # its worker process, while one runs

    def __repr__(self) -> str:
        return "<GroupDevice %d %s %s>" % (self.index, self.name, self.state)


class Group:
    """Devices given as host names, ``(host, channel)`` pairs or dicts
    (``host``, ``channel``, ``name`` and any setting for that device
    alone); ``frequency``, ``bits``, ``block_size`` and ``timeout_ms`` are
    for every device that does not set its own.

    Each stream or recording runs one worker process per device: it opens
    the device, configures it, waits for the others, starts, and streams
    with ``reconnect`` (outages become :class:`GroupGap` records; a device
    away longer than ``reconnect_timeout`` seconds fails). A device that
    fails ends alone: see ``devices[i].state`` and ``.last_result``.
    ``ring_bytes`` bounds each worker's shared memory; a full ring makes
    the worker wait, and what the device then overwrites is counted in
    ``lost``. Closing the group, an exception, Ctrl-C or the consumer's
    death leaves no process and no shared memory behind.
    """

    def __init__(self, devices: Sequence[DeviceEntry], *, frequency: Optional[int] = None,
                 bits: Optional[int] = None, block_size: Optional[int] = None,
                 timeout_ms: Optional[int] = None, reconnect: bool = True,
                 reconnect_timeout: float = 60.0, ring_bytes: int = DEFAULT_RING_BYTES,
                 start_method: Optional[str] = None) -> None:
        if isinstance(devices, (str, bytes)) or not devices:
            raise ArgumentError("a group needs a list of devices: hosts, (host, channel) "
                                "pairs or dicts", argument="devices")
        common = {"frequency": frequency, "bits": bits, "block_size": block_size,
                  "timeout_ms": timeout_ms}
        self.devices: List[GroupDevice] = [
            GroupDevice(i, _settings_of(i, entry, common, reconnect, reconnect_timeout))
            for i, entry in enumerate(devices)]
        seen: Dict[Tuple[str, int], int] = {}
        for d in self.devices:
            first = seen.setdefault((d.host, d.channel), d.index)
            if first != d.index:
                # Each start would restart the other's acquisition.
                raise ArgumentError("devices %d and %d are both %s channel %d: give each "
                                    "channel once" % (first, d.index, d.host, d.channel),
                                    argument="devices")
        self.ring_bytes = in_range(ring_bytes, "ring_bytes", 1 << 12, None)
        # fork starts in milliseconds and needs no importable __main__ (the
        # library is fork-safe); spawn is there for platforms without fork.
        if start_method is None:
            start_method = "fork" if hasattr(os, "fork") else "spawn"
        self._context = multiprocessing.get_context(start_method)
        self._run: Optional[_Run] = None

    @property
    def start_spread(self) -> Optional[float]:
        """Seconds between the first and the last start of the devices on
        the host clock (None before any has started)."""
        starts = [d.start_time for d in self.devices if d.start_time is not None]
        return max(starts) - min(starts) if starts else None

    def stream(self, seconds: Optional[float] = None, *,
               copy: bool = False) -> Iterator[Union[GroupBlock, GroupGap]]:
        """Yields every device's blocks and gaps as they arrive, for
        ``seconds`` of acquisition each (until the loop stops when None).
        The workers end with the loop, however it ends."""
        if self._run is not None:
            raise RuntimeError("this group is already streaming; close that stream first")
        return self._items(seconds, copy)

    def _items(self, seconds: Optional[float], copy: bool) -> Iterator[Any]:
        run = _Run(self, seconds)
        self._run = run
        try:
            yield from run.items(copy)
        finally:
            run.close()
            self._run = None

    def record(self, path: Any, seconds: Optional[float] = None, *,
               on_item: Any = None) -> List[GroupDevice]:
        """Streams for ``seconds`` (until Ctrl-C when None) into one HDF5
        file at ``path``, in the tool's NeXus group layout (needs h5py);
        ``on_item(item)`` sees every block and gap meanwhile (its samples
        only during the call). However the run ends, the file is finished
        and says how each device ended; returns :attr:`devices`."""
        from . import _group_record

        return _group_record.record(self, path, seconds, on_item)

    def merged(self, seconds: Optional[float] = None) -> Iterator[Any]:
        """:meth:`stream` lined up by sample index (see
        :func:`velmora.group_merge.merge_by_index`): :class:`Merged` blocks
        of one row per device; the devices must share one frequency."""
        from .group_merge import merge_by_index

        return merge_by_index(self.stream(seconds), self.devices)

    def on_block(self, callback: Any, every_n_samples: int,
                 seconds: Optional[float] = None) -> Any:
        """Calls ``callback(block)`` with each device's :class:`GroupBlock` s
        of exactly ``every_n_samples`` samples (copies, which the callback
        may keep) and with every :class:`GroupGap`, from :meth:`stream`, on
        a thread of the package's own named "velmora-group-on-block". A
        block is shorter only at the end or just before samples of its
        device went missing. Returns a :class:`velmora.callbacks.Delivery`
        (see :meth:`velmora.Device.on_block`)."""
        from .callbacks import Delivery

        hz = [d.settings["frequency"] for d in self.devices]
        return Delivery(self.stream(seconds), every_n_samples,
                        lambda b, k: b._replace(t_host=b.t_host + k / hz[b.device]),
                        lambda item: item.device, callback, "velmora-group-on-block")

    async def astream(self, seconds: Optional[float] = None, *,
                      copy: bool = False) -> AsyncIterator[Any]:
        """:meth:`stream` for asyncio: waiting for the next item happens on a
        thread of its own, never on the event loop. A view stays valid until
        the next item is awaited, as with :meth:`stream`."""
        import asyncio
        from concurrent.futures import ThreadPoolExecutor

        loop = asyncio.get_running_loop()
        items = self.stream(seconds, copy=copy)
        end = object()
        # One thread: closing waits behind a next() still running there.
        pool = ThreadPoolExecutor(1, thread_name_prefix="velmora-group")
        try:
            while True:
                item = await loop.run_in_executor(pool, next, items, end)
                if item is end:
                    return
                yield item
        finally:
            await loop.run_in_executor(pool, items.close)
            pool.shutdown()

    def close(self) -> None:
        """Ends a stream in progress: stops the workers and frees their rings."""
        run = self._run
        if run is not None:
            run.close()

    def __enter__(self) -> "Group":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _settings_of(position: int, entry: DeviceEntry, common: Dict[str, Any], reconnect: bool,
          reconnect_timeout: float) -> Dict[str, Any]:
    if isinstance(entry, str):
        settings: Dict[str, Any] = {"host": entry}
    elif isinstance(entry, dict):
        settings = dict(entry)
    elif isinstance(entry, (tuple, list)) and len(entry) == 2:
        settings = {"host": entry[0], "channel": entry[1]}
    else:
        raise ArgumentError("device %d: expected a host, a (host, channel) pair or a dict, "
                            "not %r" % (position, entry), argument="devices")
    if not isinstance(settings.get("host"), str) or not settings["host"]:
        raise ArgumentError("device %d has no host" % position, argument="devices")
    settings.setdefault("channel", 0)
    in_range(settings["channel"], "channel", 0, 15)
    for name in _SETTINGS:
        if settings.get(name) is None:
            settings[name] = common[name]
    missing = [name for name in _SETTINGS[:3] if settings[name] is None]
    if missing:
        raise ArgumentError("device %d (%s) needs %s: give them for the group or for it"
                            % (position, settings["host"], " and ".join(missing)),
                            argument=missing[0])
    unknown = set(settings) - set(_SETTINGS) - {"host", "channel", "name"}
    if unknown:
        raise ArgumentError("device %d: unknown setting %s" % (position, sorted(unknown)[0]),
                            argument="devices")
    settings.setdefault("name", "%s:%d" % (settings["host"], settings["channel"]))
    settings["reconnect"] = bool(reconnect)
    settings["reconnect_timeout"] = float(reconnect_timeout)
    return settings


class _Worker:
    def __init__(self, process: Any, pipe: Any, memory: Any) -> None:
        self.process = process
        self.pipe = pipe
        self.memory = memory
        self.reader = ring.Reader(memory)
        self.ended = False


class _Run:
    """One stream's workers, from their start to their last trace."""

    def __init__(self, group: Group, seconds: Optional[float]) -> None:
        self.group = group
        self.seconds = seconds
        self.workers: List[_Worker] = []
        self.closed = False
        context = group._context
        self.stop = context.Event()
        barrier = context.Barrier(len(group.devices))
        signalled = threading.current_thread() is threading.main_thread()
        try:
            for device in group.devices:
                device.__init__(device.index, device.settings)  # type: ignore[misc]
                device.state = "opening"
                self.workers.append(self._spawn(device, barrier, signalled))
                device.pid = self.workers[-1].process.pid
        except BaseException:
            self.close()
            raise

    def _spawn(self, device: GroupDevice, barrier: Any, signalled: bool) -> _Worker:
        context = self.group._context
        memory = ring.create(self.group.ring_bytes)
        try:
            mine, theirs = context.Pipe(duplex=False)
            process = context.Process(
                target=worker.run, name="velmora-group-%d" % device.index, daemon=True,
                args=(device.index, device.settings, self.seconds, memory.name, theirs, barrier,
                      self.stop, os.getpid(), signalled))
            process.start()
            theirs.close()
        except BaseException:
            ring.forget(memory)
            ring.close(memory)
            raise
        return _Worker(process, mine, memory)

    def items(self, copy: bool) -> Iterator[Any]:
        held: Optional[Tuple[_Worker, int]] = None
        try:
            while True:
                live = {w.pipe: w for w in self.workers if not w.ended}
                if not live:
                    return
                ready = multiprocessing.connection.wait(
                    list(live) + [w.process.sentinel for w in live.values()], 1.0)
                for source in ready:
                    for w in live.values():
                        if source is w.process.sentinel and not w.pipe.poll():
                            self._lost_worker(w)
                for source in ready:
                    w = live.get(source)
                    if w is None or w.ended:
                        continue
                    try:
                        message = w.pipe.recv()
                    except (EOFError, OSError):
                        self._lost_worker(w)
                        continue
                    item, advance = self._handle(w, message, copy)
                    if item is None:
                        continue
                    if held is not None:
                        held[0].reader.give_back(held[1])
                    held = (w, advance) if advance else None
                    yield item
        finally:
            if held is not None and not held[0].ended:
                held[0].reader.give_back(held[1])

    def _handle(self, w: _Worker, message: Tuple[Any, ...], copy: bool) -> Tuple[Any, int]:
        device = self.group.devices[self.workers.index(w)]
        kind = message[0]
        if kind == worker.READY:
            device.state = "running"
        elif kind == worker.STARTED:
            device.start_time = message[1]
        elif kind == worker.BLOCK:
            _, offset, advance, code, count, index, t_host, lost = message
            samples = _view(w.reader.data, offset, code, count, copy)
            if copy:
                w.reader.give_back(advance)
                advance = 0
            device.samples += count
            device.lost += lost
            return GroupBlock(device.index, device.name, samples, index, t_host, lost), advance
        elif kind == worker.GAP:
            device.gaps += 1
            return GroupGap(device.index, device.name, *message[1]), 0
        elif kind == worker.END:
            _, state, result, error, waited = message
            device.state, device.last_result, device.error = state, result, error
            device.ring_wait_s = waited
            w.ended = True
        return None, 0

    def _lost_worker(self, w: _Worker) -> None:
        if w.ended:
            return
        w.ended = True
        device = self.group.devices[self.workers.index(w)]
        w.process.join(_STOP_SECONDS)
        device.state = "failed"
        device.error = "its worker process ended without a word (exit code %s)" % (
            w.process.exitcode,)

    def close(self) -> None:
        if self.closed:
            return
        self.closed = True
        self.stop.set()
        deadline = time.monotonic() + _STOP_SECONDS
        for w in self.workers:
            # Reading on lets a worker blocked on a full pipe see the stop.
            # An ended worker may still have its last words in the pipe.
            while not w.ended and time.monotonic() < deadline:
                if w.pipe.poll(0.05):
                    try:
                        message = w.pipe.recv()
                    except (EOFError, OSError):
                        break
                    if message[0] == worker.BLOCK:
                        w.reader.give_back(message[2])
                    else:
                        self._handle(w, message, True)
                elif not w.process.is_alive():
                    # Its last words may have landed between the look at the
                    # pipe and this one: a worker that said them and ended
                    # is stopped, not failed.
                    if w.pipe.poll(0):
                        continue
                    break
            w.process.join(max(0.0, deadline - time.monotonic()))
            if w.process.is_alive():
                w.process.terminate()
                w.process.join(_STOP_SECONDS)
            if w.process.is_alive():
                w.process.kill()
                w.process.join(_STOP_SECONDS)
            if not w.ended:
                self._lost_worker(w)
        for w in self.workers:
            w.pipe.close()
            w.reader.release()
            ring.forget(w.memory)
            ring.close(w.memory)
            w.process.close()


def _view(data: memoryview, offset: int, code: str, count: int, copy: bool) -> Any:
    from . import samples as _samples

    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is not None and len(code) > 1:
        values = numpy.frombuffer(data, numpy.dtype(code), count, offset)
        return values.copy() if copy else values
    size = _samples.SampleArray(code).itemsize
    return _samples.SampleArray(code, data[offset:offset + count * size].tobytes())
