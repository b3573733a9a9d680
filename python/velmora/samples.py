"""Turning packet bytes into sample values and sample times.

A sample takes ceil(bits / 8) bytes, little-endian, packed back to back;
packets are cuts of that byte stream, so a packet need not begin on a
sample. The "Time" of a reply is the time of the sample holding its first
byte, in whole microseconds rounded down.

numpy is used when it is installed; without it the same values come as
``array.array``.
"""

import array
import sys
from typing import Any, Optional, Tuple

try:
    import numpy
except ImportError:  # numpy stays optional
    numpy = None  # type: ignore[assignment]

__all__ = ["MAX_BITS", "sample_width", "decode", "concatenate", "sample_times",
           "first_packet", "packet_time_us", "layout", "have_numpy"]

MAX_BITS = 64
_MICROS = 1_000_000
# Sample width in bytes -> the width it is widened to.
_WIDENED = {1: 1, 2: 2, 3: 4, 4: 4, 5: 8, 6: 8, 7: 8, 8: 8}
_ARRAY_CODES = {1: "B", 2: "H", 4: "I" if array.array("I").itemsize == 4 else "L", 8: "Q"}


def have_numpy() -> bool:
    """True when results come as numpy arrays."""
    return numpy is not None


def sample_width(bits: int) -> int:
    """Bytes one sample takes for packet bits 1 to 64."""
    if not 1 <= bits <= MAX_BITS:
        raise ValueError("packet bits must be 1 to %d, not %r" % (MAX_BITS, bits))
    return (bits + 7) // 8


def first_packet(time_us: int, hz: int, block: int, width: int) -> int:
    """The index of the first packet whose "Time" is ``time_us``.

    Several packets share one microsecond only when a packet lasts less than
    that; then this is the earliest of them.
    """
    first_sample = -(-time_us * hz // _MICROS)  # earliest sample at or after time_us
    return -(-first_sample * width // block)


def packet_time_us(packet: int, hz: int, block: int, width: int) -> int:
    """The "Time" the device puts on ``packet``."""
    return (packet * block // width) * _MICROS // hz


def layout(time_us: int, hz: int, width: int, block: Optional[int]) -> Tuple[int, int]:
    """(bytes to skip before the first whole sample, that sample's index)
    for a reply stamped ``time_us``. Without the block size the reply is
    taken to begin on a sample."""
    if block is None:
        return 0, -(-time_us * hz // _MICROS)
    offset = first_packet(time_us, hz, block, width) * block
    index = -(-offset // width)
    return index * width - offset, index


def decode(data: Any, width: int) -> Any:
    """Whole samples of ``width`` bytes from the start of ``data`` (any
    bytes-like object; a partial sample at the end is left out), as an
    unsigned array: numpy when installed, else ``array.array``."""
    view = memoryview(data).cast("B")
    count = len(view) // width
    view = view[:count * width]
    wide = _WIDENED[width]
    if numpy is not None:
        dtype = numpy.dtype("<u%d" % wide)
        if wide == width:
            return numpy.frombuffer(view, dtype).astype(dtype.newbyteorder("="))
        padded = numpy.zeros((count, wide), numpy.uint8)
        padded[:, :width] = numpy.frombuffer(view, numpy.uint8).reshape(count, width)
        return padded.view(dtype).reshape(count).astype(dtype.newbyteorder("="), copy=False)
    if wide == width:
        raw = view.tobytes()
    else:
        pad = bytes(wide - width)
        raw = b"".join(view[i:i + width].tobytes() + pad for i in range(0, len(view), width))
    values = array.array(_ARRAY_CODES[wide], raw)
    if sys.byteorder == "big":
        values.byteswap()
    return values


def sample_times(first_index: int, count: int, hz: int) -> Any:
    """Seconds from the start of acquisition of samples ``first_index`` to
    ``first_index + count - 1``, as float64 values."""
    if numpy is not None:
        return (numpy.arange(count, dtype=numpy.float64) + first_index) / hz
    return array.array("d", ((first_index + i) / hz for i in range(count)))


def concatenate(parts: Any, width: Optional[int]) -> Any:
    """Arrays that ``decode`` (or, with ``width`` None, ``sample_times``)
    made, joined into one."""
    if numpy is not None:
        if parts:
            return numpy.concatenate(parts)
        return numpy.zeros(0, numpy.float64 if width is None else "=u%d" % _WIDENED[width])
    joined = array.array("d" if width is None else _ARRAY_CODES[_WIDENED[width]])
    for part in parts:
        joined.extend(part)
    return joined
