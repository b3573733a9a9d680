"""Continuous acquisition: blocks of samples as they arrive, with every gap
the device leaves reported.

The device keeps a bounded backlog of packets nobody has fetched and
overwrites the oldest when a host falls behind. A reply's "Time" value says
where it begins, so a reply that does not begin where the previous one ended
shows exactly how many samples were overwritten.
"""

import time
import warnings
from typing import Any, Callable, Iterator, List, NamedTuple, Optional, Tuple

from . import _arguments
from . import samples as _samples
from ._arguments import in_range, one_of
from ._limits import MAX_BLOCK_SIZE, MAX_FREQUENCY_HZ
from .errors import (ArgumentError, ConnectError, DataLossError, DataLossWarning,
                     NotConnectedError, SlowPacketWarning)
from .samples import Values

__all__ = ["Block", "Gap", "stream", "acquire", "ON_LOSS", "SLOW_PACKET_SECONDS"]

ON_LOSS = ("warn", "raise", "ignore")
# A first packet that takes longer than this to complete is worth a warning
# even when the run is longer still.
SLOW_PACKET_SECONDS = 60.0
# Between polls that found nothing new: this share of a packet's duration,
# within these bounds (seconds).
_POLL_SHARE = 0.25
_MIN_PAUSE = 0.0002
_MAX_PAUSE = 0.05
# When packets are shorter than this (seconds), a stream lets as many
# complete as fit in it before it asks: an ask costs about as much CPU time
# as the bytes of a fast stream's packet cost to receive, while the device
# keeps far more than this unfetched for us.
_ASK_EVERY = 0.01


class Block(NamedTuple):
    """One piece of a stream.

    ``samples``: the values (numpy array, or :class:`SampleArray` without numpy);
    ``t0``: seconds from the start of acquisition to the first of them;
    ``index``: the index of the first of them; ``lost``: how many samples
    were lost just before it (0 when it follows the previous block without
    a gap).
    """

    samples: Any
    t0: float
    index: int
    lost: int


class Gap(NamedTuple):
    """An outage of a reconnecting stream, yielded once between the blocks
    before and after it.

    ``began``: host clock (``time.time()``) when the dropped link was
    noticed; ``ended``: host clock when acquisition restarted; ``missed``:
    samples estimated lost, from the frequency and the outage, within
    +/- ``error``; ``resume_index``: the index of the next block's first
    sample; ``result``: the library result that began the outage (2250);
    ``estimated``: always True, since the device cannot say what it lost.
    """

    began: float
    ended: float
    missed: int
    error: int
    resume_index: int
    result: int
    estimated: bool = True


# Back-off between attempts to reconnect (seconds).
_FIRST_RETRY = 0.05
_LAST_RETRY = 1.0

_ReplyListener = Callable[[int, int, int, int, memoryview], None]


class _Run(NamedTuple):
    """A stream checked and configured, not yet started."""

    hz: int
    width: int
    block: int
    limit: Optional[int]


def stream(device: Any, seconds: Optional[float] = None, *, on_loss: str = "warn",
           start: bool = True, keep_running: bool = False, frequency: Optional[int] = None,
           bits: Optional[int] = None, block_size: Optional[int] = None,
           reconnect: bool = False, reconnect_timeout: float = 60.0) -> Iterator[Any]:
    """Yields :class:`Block` s from ``device`` (an input ``Device``) for
    ``seconds`` of acquisition (every sample index below ``seconds *
    frequency``), or until the loop stops when ``seconds`` is None.

    ``frequency`` (Hz), ``bits`` (packet bits) and ``block_size`` (bytes),
    when given, are sent first; otherwise the values the Device last sent
    are used. ``start`` (default) discards what was acquired and starts
    afresh at sample 0 when the first block is asked for; with
    ``start=False`` the stream joins a running acquisition at the next packet.
    A stream that started the acquisition stops it when it ends, however it
    ends (its last block, ``break``, an exception, KeyboardInterrupt, the
    generator closed or collected), unless ``keep_running`` is True.
    ``on_loss``: ``"warn"`` (a :class:`DataLossWarning`), ``"raise"`` (a
    :class:`DataLossError`) or ``"ignore"``; each block's ``lost`` says it in
    every case. Values it can never take raise :class:`ArgumentError` before
    anything is sent; a first packet that takes longer than the run or than
    a minute to complete gives a :class:`SlowPacketWarning`.

    With ``reconnect``, a dropped link does not end the stream: the handle
    is opened again (retrying with back-off), every setting the Device had
    sent is sent again, acquisition restarts, and one :class:`Gap` is
    yielded for the outage; indices go on from its ``resume_index``. A
    device still away after ``reconnect_timeout`` seconds raises the error
    for it (a ConnectError).
    """
    run = _prepare(device, seconds, on_loss, frequency, bits, block_size)
    if not reconnect:
        return _blocks(device, run, on_loss, start, keep_running)
    reconnect_timeout = float(reconnect_timeout)
    if not reconnect_timeout > 0:
        raise ArgumentError("reconnect_timeout must be a number of seconds above 0, not %r"
                            % (reconnect_timeout,), argument="reconnect_timeout")
    return _reconnecting(device, run, on_loss, start, keep_running, reconnect_timeout)


def _reconnecting(device: Any, run: _Run, on_loss: str, start: bool, keep_running: bool,
                  timeout: float) -> Iterator[Any]:
    """Streams, reconnecting after each outage; every acquisition after one
    starts afresh at sample 0, so its indices are shifted by the samples
    handed out and estimated missed before it."""
    base = 0  # index of the current acquisition's sample 0 in the whole run
    next_index = 0
    last_seen = time.time()
    restarted = False
    while True:
        limit = None if run.limit is None else run.limit - base
        if limit is not None and limit <= 0:
            return
        try:
            for block in _blocks(device, run._replace(limit=limit), on_loss, start, keep_running,
                                 started=restarted):
                last_seen = time.time()
                index = block.index + base
                next_index = index + len(block.samples)
                yield block._replace(index=index, t0=index / run.hz)
            return
        except NotConnectedError as error:
            result = error.code
        began = time.time()
        _wait_for_device(device, timeout)
        device.start_cleared()
        ended = time.time()
        # The old acquisition ran on until the link dropped, at most until
        # the outage was noticed; what was acquired but unfetched then is
        # up to one packet and one poll pause more.
        packet = run.block / run.width
        pause = min(max(packet / run.hz * _POLL_SHARE, _MIN_PAUSE), _MAX_PAUSE)
        missed = round((ended - last_seen) * run.hz)
        error_samples = int(packet + (began - last_seen + pause) * run.hz) + 1
        base = next_index + missed
        start = restarted = True
        yield Gap(began, ended, missed, error_samples, base, result)


def _wait_for_device(device: Any, timeout: float) -> None:
    """Opens the device again, retrying with back-off until ``timeout``
    seconds have passed; then raises what the last attempt raised."""
    deadline = time.monotonic() + timeout
    pause = _FIRST_RETRY
    while True:
        try:
            device._reconnect()
            return
        except (ConnectError, NotConnectedError):
            left = deadline - time.monotonic()
            if left <= 0:
                raise
            time.sleep(min(pause, left))
            pause = min(pause * 2, _LAST_RETRY)


def _prepare(device: Any, seconds: Optional[float], on_loss: str, frequency: Optional[int],
             bits: Optional[int], block_size: Optional[int], stacklevel: int = 5) -> _Run:
    """Checks every argument, then sends the settings given."""
    one_of(on_loss, "on_loss", ON_LOSS)
    if seconds is not None:
        seconds = _arguments.seconds(seconds)
    if frequency is not None:
        frequency = in_range(frequency, "frequency", 1, None)
    if bits is not None:
        bits = in_range(bits, "bits", 1, _samples.MAX_BITS)
    if block_size is not None:
        block_size = in_range(block_size, "block_size", 1, MAX_BLOCK_SIZE)
    hz = min(frequency, MAX_FREQUENCY_HZ) if frequency is not None else device.frequency
    bits = bits if bits is not None else device.packet_bits
    block = block_size if block_size is not None else device.block_size
    missing = [name for name, value in (("frequency", hz), ("bits", bits), ("block_size", block))
               if value is None]
    if missing:
        raise ArgumentError("a stream needs %s: send them through the Device first or pass "
                            "them here" % " and ".join(missing), argument=missing[0])
    limit = None
    if seconds is not None:
        limit = round(seconds * hz)
        if limit < 1:
            raise ArgumentError("seconds must cover at least one sample: %r s at %d Hz is less "
                                "than one (1 / %d s)" % (seconds, hz, hz), argument="seconds")
    width = _samples.sample_width(bits)
    _warn_if_slow(hz, width, block, seconds, stacklevel)
    if frequency is not None:
        device.set_frequency(frequency)
    if bits is not None:
        device.set_packet_bits(bits)
    if block_size is not None:
        device.set_block_size(block_size)
    return _Run(hz, width, block, limit)


def _warn_if_slow(hz: int, width: int, block: int, seconds: Optional[float],
                  stacklevel: int) -> None:
    # Nothing arrives before the first packet completes: a run whose first
    # packet takes hours would otherwise just sit there.
    first = block / width / hz
    if first <= SLOW_PACKET_SECONDS and (seconds is None or first <= seconds):
        return
    asked = "" if seconds is None else " (the run asked for %g s)" % seconds
    warnings.warn("a packet of {:,} bytes holds {:,.0f} samples: at {:,} Hz the first one "
                  "completes {:.6g} s after the start, and nothing arrives before then{}; a "
                  "smaller block size or a higher frequency gives data sooner"
                  .format(block, block / width, hz, first, asked), SlowPacketWarning,
                  stacklevel=stacklevel)


def _blocks(device: Any, run: _Run, on_loss: str, start: bool, keep_running: bool,
            on_reply: Optional[_ReplyListener] = None, started: bool = False) -> Iterator[Block]:
    """The stream itself; starts and stops the acquisition around it.
    ``on_reply(time_us, offset, index, lost, payload)`` hears of every
    reply before its block is yielded: its "Time", the stream byte where it
    begins, the index of its first whole sample, the samples lost just
    before it and the bytes of the samples handed out from it."""
    if not start:
        yield from _fetch(device, run, on_loss, False, on_reply)
        return
    if not started:
        device.start_cleared()
    stop = not keep_running
    if stop:
        device._stream_running = True
    else:
        device._started_here = False  # a with block leaves it running too
    try:
        yield from _fetch(device, run, on_loss, True, on_reply)
    except BaseException:
        if stop:
            device._stop_quietly()  # what ended the stream matters more
        raise
    if stop:
        device.clear()


def _fetch(device: Any, run: _Run, on_loss: str, started: bool,
           on_reply: Optional[_ReplyListener]) -> Iterator[Block]:
    hz, width, block, limit = run
    buffer = bytearray(device.packet_capacity)
    pause = min(max(block / width / hz * _POLL_SHARE, _MIN_PAUSE), _MAX_PAUSE)
    per_ask = max(1, int(_ASK_EVERY * hz * width) // block)  # packets
    # Byte offset in the acquisition where the last reply ended, and the
    # index of the next sample to hand out; None until the first reply when
    # joining a running acquisition.
    end: Optional[int] = 0 if started else None
    index = 0
    carry = b""  # the start of a sample cut by the end of the last reply
    # The host time by which the device had begun, at the latest: every
    # reply shows its last byte was acquired before it arrived. From it,
    # when the next packet (the next per_ask) can complete at the earliest; a
    # poll before then would only be told "nothing new", and costs as much
    # as one with data.
    # A slow stream still looks at least every _MAX_PAUSE, as before.
    began: Optional[float] = None
    due = 0.0
    while limit is None or end is None or index < limit:
        early = due - time.monotonic()
        if early > 0:
            time.sleep(min(early, _MAX_PAUSE))
        fill = device._packets_into(buffer, True)
        if fill is None:  # nothing new
            time.sleep(pause)
            continue
        if fill.time_us is None:
            raise DataLossError(None, index, index / hz, "a reply without a \"Time\" value")
        offset = _reply_offset(fill.time_us, end, hz, width, block)
        data = memoryview(buffer)[:fill.nbytes]
        lost = 0
        if end is None or offset != end:
            if end is not None and offset < end:
                raise DataLossError(None, index, index / hz,
                                    "the acquisition was restarted by another handle")
            first = -(-offset // width)  # first whole sample of this reply
            if end is not None:
                lost = first - index
                _report(on_loss, lost, index, hz)
            data = data[first * width - offset:]
            index, carry = first, b""
        if fill.truncated:
            # The rest of the reply is gone; the next one shows how much.
            buffer = bytearray(len(buffer) * 2)
        end = offset + fill.nbytes
        now = time.monotonic()
        began = min(began, now - end / width / hz) if began is not None else now - end / width / hz
        # At most half of what the buffer holds: a reply that does not fit
        # loses its rest, and a late ask finds more than it waited for.
        ask = min(per_ask, max(1, len(buffer) // (2 * block)))
        if limit is not None:  # never waits for packets past the run's last
            ask = max(1, min(ask, -(-limit * width // block) - end // block))
        due = began + (end // block + ask) * block / width / hz
        if carry:
            data = memoryview(carry + data.tobytes())
        count = len(data) // width
        if limit is not None:
            count = max(0, min(count, limit - index))
        if on_reply is not None:
            on_reply(fill.time_us, offset, index, lost, data[:count * width])
        carry = data[count * width:].tobytes()
        if count or lost:
            yield Block(_samples.decode(data[:count * width], width), index / hz, index, lost)
        index += count


def _reply_offset(time_us: int, end: Optional[int], hz: int, width: int, block: int) -> int:
    """Byte offset in the acquisition where a reply stamped ``time_us``
    begins. The packet that follows the last reply is preferred, since
    several packets can share one microsecond."""
    if end is not None and end % block == 0:
        if _samples.packet_time_us(end // block, hz, block, width) == time_us:
            return end
    return _samples.first_packet(time_us, hz, block, width) * block


def _report(on_loss: str, lost: int, index: int, hz: int) -> None:
    if on_loss == "raise":
        raise DataLossError(lost, index, index / hz)
    if on_loss == "warn":
        warnings.warn(DataLossError(lost, index, index / hz).args[0], DataLossWarning, stacklevel=3)


def acquire(device: Any, seconds: float, *, on_loss: str = "raise", keep_running: bool = False,
            frequency: Optional[int] = None, bits: Optional[int] = None,
            block_size: Optional[int] = None) -> Tuple[Values, Values]:
    """Starts afresh, takes ``seconds * frequency`` samples and stops the
    acquisition (however the call ends, unless ``keep_running``); returns
    ``(times, samples)``: seconds from the start of every sample (float64)
    and the values (numpy arrays when numpy is installed, else
    :class:`SampleArray`). ``frequency``, ``bits`` and ``block_size`` are
    sent first when given, as for :func:`stream`. A gap raises
    :class:`DataLossError` unless ``on_loss`` says otherwise, in which case
    the lost samples are missing from both."""
    run = _prepare(device, seconds, on_loss, frequency, bits, block_size)
    parts: List[Any] = []
    times: List[Any] = []
    for piece in _blocks(device, run, on_loss, True, keep_running):
        parts.append(piece.samples)
        times.append(_samples.sample_times(piece.index, len(piece.samples), run.hz))
    return (_samples.concatenate(times, None), _samples.concatenate(parts, run.width))
