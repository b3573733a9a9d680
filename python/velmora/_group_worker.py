"""One device of a group, in a process of its own.

The library serialises every call of a process, so devices streamed from
threads of one process wait for one another; a process each scales with the
cores. The worker opens its Device, sends the settings, waits at the
group's barrier, starts, and streams into its ring, telling the consumer
what it did over its pipe. It never outlives the consumer: the kernel sends
it SIGTERM when the consumer dies, and every wait also checks that the
parent is still there.
"""

import ctypes
import inspect
import os
import signal
import threading
import time
from typing import Any, Dict, Optional

from . import _group_ring as ring

_PR_SET_PDEATHSIG = 1
_BARRIER_SECONDS = 30.0

# Messages to the consumer, as tuples whose first item is one of these.
READY, STARTED, BLOCK, GAP, END = "ready", "started", "block", "gap", "end"


class _Stop(Exception):
    """The consumer asked the worker to end, or went away."""


def _die_with_parent(parent: int, signalled: bool) -> None:
    def stop(signum: int, frame: Any) -> None:
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    # Ctrl-C reaches every process of the terminal; the consumer decides.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if signalled:
        # The kernel sends this when the thread that started us ends, which
        # is why the consumer asks for it only from its main thread.
        try:
            ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
        except (OSError, AttributeError):
            pass  # not Linux: the polling below still ends us
    if os.getppid() != parent:
        raise SystemExit(0)  # the parent died before we could ask


def run(position: int, settings: Dict[str, Any], seconds: Optional[float], ring_name: str,
        pipe: Any, barrier: Any, stop: Any, parent: int, signalled: bool) -> None:
    """The worker process's whole life; ``settings`` holds host, channel and
    the settings for this device."""
    _die_with_parent(parent, signalled)
    memory = ring.attach(ring_name)
    writer = ring.Writer(memory)
    try:
        _serve(settings, seconds, writer, pipe, barrier, stop, parent)
    finally:
        writer.release()
        ring.close(memory)
        pipe.close()


def _serve(settings: Dict[str, Any], seconds: Optional[float], writer: ring.Writer, pipe: Any,
           barrier: Any, stop: Any, parent: int) -> None:
    from .errors import VelmoraError

    def going_on() -> bool:
        return not stop.is_set() and os.getppid() == parent

    device = None
    outcome = ("complete", 0, "")
    try:
        try:
            device = _open(settings)
        finally:
            # A device that cannot be opened still arrives, or the others
            # would wait for it until the barrier's time-out.
            _arrive(barrier)
        pipe.send((READY, device.frequency, device.packet_bits))
        _stream(device, settings, seconds, writer, pipe, going_on)
        if not going_on():
            outcome = ("stopped", 0, "")
    except VelmoraError as error:
        outcome = ("failed", error.code, str(error))
    except (_Stop, SystemExit):
        outcome = ("stopped", 0, "")
    except Exception as error:  # noqa: BLE001 - reported to the consumer, not lost
        outcome = ("failed", None, "%s: %s" % (type(error).__name__, error))
    finally:
        if device is not None:
            device.close()
    try:
        pipe.send((END,) + outcome + (writer.waited,))
    except (OSError, EOFError):
        pass  # the consumer is gone


def _open(settings: Dict[str, Any]) -> Any:
    from .device import Device

    device = Device(settings["host"], "input", settings["channel"], timeout_ms=settings.get("timeout_ms"))
    try:
        device.set_frequency(settings["frequency"])
        device.set_packet_bits(settings["bits"])
        device.set_block_size(settings["block_size"])
    except BaseException:
        device.close()
        raise
    return device


def _arrive(barrier: Any) -> None:
    try:
        barrier.wait(_BARRIER_SECONDS)
    except threading.BrokenBarrierError:
        pass  # a worker that never arrived: the rest start without it


def _stream(device: Any, settings: Dict[str, Any], seconds: Optional[float], writer: ring.Writer,
            pipe: Any, going_on: Any) -> None:
    hz = settings["frequency"]
    starts = []
    start_cleared = device.start_cleared

    def timed_start() -> None:
        start_cleared()
        starts.append(time.time())

    # The stream starts the acquisition itself; the host time is taken as
    # the command leaves, the nearest this side gets to the first sample.
    device.start_cleared = timed_start
    options = _reconnect_options(device, settings)
    piece = max(1, writer.capacity // ring.PIECE_SHARE)
    base_time, base_index = None, 0
    items = device.stream(seconds, on_loss="ignore", **options)
    try:
        for item in items:
            if len(starts) == 1 and base_time is None:
                base_time = starts[0]
                pipe.send((STARTED, base_time))
            if not isinstance(item, tuple) or not hasattr(item, "samples"):
                # An outage: indices go on from resume_index, timed from the restart.
                pipe.send((GAP, tuple(item)))
                base_time, base_index = item.ended, item.resume_index
                continue
            _send_block(item, writer, pipe, going_on, piece, hz, base_time, base_index)
            if not going_on():
                break
    finally:
        items.close()


def _send_block(block: Any, writer: ring.Writer, pipe: Any, going_on: Any, piece: int, hz: int,
                base_time: float, base_index: int) -> None:
    samples = block.samples
    payload = memoryview(samples).cast("B")
    size = samples.itemsize if hasattr(samples, "itemsize") else 1
    code = samples.dtype.str if hasattr(samples, "dtype") else samples.typecode
    per_piece = max(1, piece // size)
    count = len(samples)
    done = 0
    lost = block.lost
    while done < count or (count == 0 and lost):
        n = min(per_piece, count - done)
        placed = writer.put(payload[done * size:(done + n) * size], going_on)
        if placed is None:
            raise _Stop()
        index = block.index + done
        pipe.send((BLOCK, placed.offset, placed.advance, code, n, index,
                   base_time + (index - base_index) / hz, lost))
        done += n
        lost = 0
        if count == 0:
            break


def _reconnect_options(device: Any, settings: Dict[str, Any]) -> Dict[str, Any]:
    if not settings.get("reconnect"):
        return {}
    parameters = inspect.signature(device.stream).parameters
    if "reconnect" not in parameters:
        return {}  # this package's stream cannot reconnect: an outage ends the device
    return {"reconnect": True, "reconnect_timeout": settings["reconnect_timeout"]}
