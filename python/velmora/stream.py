"""Continuous acquisition: blocks of samples as they arrive, with every gap
the device leaves reported.

The device keeps a bounded backlog of packets nobody has fetched and
overwrites the oldest when a host falls behind. A reply's "Time" value says
where it begins, so a reply that does not begin where the previous one ended
shows exactly how many samples were overwritten.
"""

import math
import time
import warnings
from typing import Any, Iterator, List, NamedTuple, Optional, Tuple

from . import samples as _samples
from .errors import DataLossError, DataLossWarning, NoWorkError

__all__ = ["Block", "stream", "acquire", "ON_LOSS"]

ON_LOSS = ("warn", "raise", "ignore")
_NOTHING_NEW = 2
# Between polls that found nothing new: this share of a packet's duration,
# within these bounds (seconds).
_POLL_SHARE = 0.25
_MIN_PAUSE = 0.0002
_MAX_PAUSE = 0.05


class Block(NamedTuple):
    """One piece of a stream.

    ``samples``: the values (numpy array, or ``array.array`` without numpy);
    ``t0``: seconds from the start of acquisition to the first of them;
    ``index``: the index of the first of them; ``lost``: how many samples
    were lost just before it (0 when it follows the previous block without
    a gap).
    """

    samples: Any
    t0: float
    index: int
    lost: int


def stream(device: Any, seconds: Optional[float] = None, *, on_loss: str = "warn",
           start: bool = True, frequency: Optional[int] = None, bits: Optional[int] = None,
           block_size: Optional[int] = None) -> Iterator[Block]:
    """Yields :class:`Block` s from ``device`` (an input ``Device``) for
    ``seconds`` of acquisition (every sample index below ``seconds *
    frequency``), or until the loop stops when ``seconds`` is None.

    ``frequency``, ``bits`` and ``block_size``, when given, are sent first;
    otherwise the values the Device last sent are used. ``start`` (default)
    discards what was acquired and starts afresh at sample 0; with
    ``start=False`` the stream joins a running acquisition at the next packet.
    ``on_loss``: ``"warn"`` (a :class:`DataLossWarning`), ``"raise"`` (a
    :class:`DataLossError`) or ``"ignore"``; each block's ``lost`` says it in
    every case.
    """
    if on_loss not in ON_LOSS:
        raise ValueError("on_loss must be one of %s, not %r" % (", ".join(ON_LOSS), on_loss))
    if seconds is not None and not (isinstance(seconds, (int, float)) and seconds >= 0
                                    and math.isfinite(seconds)):
        raise ValueError("seconds must be a finite number of 0 or more, not %r" % (seconds,))
    if frequency is not None:
        device.set_frequency(frequency)
    if bits is not None:
        device.set_packet_bits(bits)
    if block_size is not None:
        device.set_block_size(block_size)
    settings = (("frequency", device.frequency), ("packet bits", device.packet_bits),
                ("block size", device.block_size))
    missing = [name for name, value in settings if value is None]
    if missing:
        raise ValueError("a stream needs the %s sent through this Device: set them first "
                         "or pass them to stream()" % " and ".join(missing))
    hz, width, block = device.frequency, device.sample_width, device.block_size
    limit = None if seconds is None else round(seconds * hz)
    if start:
        device.start_cleared()
    return _blocks(device, hz, width, block, limit, on_loss, start)


def _blocks(device: Any, hz: int, width: int, block: int, limit: Optional[int],
            on_loss: str, started: bool) -> Iterator[Block]:
    from .device import DEFAULT_PACKET_CAPACITY

    buffer = bytearray(DEFAULT_PACKET_CAPACITY)
    pause = min(max(block / width / hz * _POLL_SHARE, _MIN_PAUSE), _MAX_PAUSE)
    # Byte offset in the acquisition where the last reply ended, and the
    # index of the next sample to hand out; None until the first reply when
    # joining a running acquisition.
    end: Optional[int] = 0 if started else None
    index = 0
    carry = b""  # the start of a sample cut by the end of the last reply
    while limit is None or end is None or index < limit:
        try:
            fill = device.all_packets_into(buffer)
        except NoWorkError as error:
            if error.status != _NOTHING_NEW:
                raise
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
        if carry:
            data = memoryview(carry + data.tobytes())
        count = len(data) // width
        if limit is not None:
            count = max(0, min(count, limit - index))
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


def acquire(device: Any, seconds: float, *, on_loss: str = "raise",
            **options: Any) -> Tuple[Any, Any]:
    """Starts afresh, takes ``seconds * frequency`` samples and stops the
    acquisition; returns ``(times, samples)``: seconds from the start of
    every sample (float64) and the values (numpy arrays when numpy is
    installed). A gap raises :class:`DataLossError` unless ``on_loss`` says
    otherwise, in which case the lost samples are missing from both."""
    if not (isinstance(seconds, (int, float)) and seconds > 0):
        raise ValueError("seconds must be a positive number, not %r" % (seconds,))
    parts: List[Any] = []
    times: List[Any] = []
    try:
        for piece in stream(device, seconds, on_loss=on_loss, start=True, **options):
            parts.append(piece.samples)
            times.append(_samples.sample_times(piece.index, len(piece.samples), device.frequency))
    finally:
        device.clear()
    return (_samples.concatenate(times, None), _samples.concatenate(parts, device.sample_width))
