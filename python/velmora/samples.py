"""Turning packet bytes into sample values and sample times.

A sample takes ceil(bits / 8) bytes, little-endian, packed back to back;
packets are cuts of that byte stream, so a packet need not begin on a
sample. The "Time" of a reply is the time of the sample holding its first
byte, in whole microseconds rounded down.

numpy is used when it is installed; without it the same values come as a
:class:`SampleArray`, an ``array.array`` that also answers ``mean()``,
``min()`` and ``max()`` as a numpy array does, so code written for one runs
with the other.
"""

import array
import math
import sys
from typing import TYPE_CHECKING, Any, Optional, Tuple, Union

from ._arguments import in_range

try:
    import numpy
except ImportError:  # numpy stays optional
    numpy = None  # type: ignore[assignment]

__all__ = ["SampleArray", "Values", "MAX_BITS", "sample_width", "decode", "concatenate", "sample_times",
           "first_packet", "packet_time_us", "layout", "have_numpy"]

MAX_BITS = 64
_MICROS = 1_000_000
# Sample width in bytes -> the width it is widened to.
_WIDENED = {1: 1, 2: 2, 3: 4, 4: 4, 5: 8, 6: 8, 7: 8, 8: 8}
_ARRAY_CODES = {1: "B", 2: "H", 4: "I" if array.array("I").itemsize == 4 else "L", 8: "Q"}


class SampleArray(array.array):  # type: ignore[type-arg]
    """Sample values or times without numpy: an ``array.array`` with the
    reductions the examples use on numpy arrays."""

    def __getitem__(self, key: Any) -> Any:
        item = super().__getitem__(key)
        return SampleArray(self.typecode, item) if isinstance(key, slice) else item

    def mean(self) -> float:
        """The average; NaN when empty, as numpy gives."""
        return math.fsum(self) / len(self) if len(self) else math.nan

    def min(self) -> Any:
        """The smallest value (ValueError when empty)."""
        if not len(self):
            raise ValueError("min() of an empty SampleArray")
        return min(iter(self))

    def max(self) -> Any:
        """The largest value (ValueError when empty)."""
        if not len(self):
            raise ValueError("max() of an empty SampleArray")
        return max(iter(self))


if TYPE_CHECKING:
    import numpy.typing
    Values = Union["numpy.typing.NDArray[Any]", SampleArray]
else:
    # What sample values and times come as: a numpy array, or a SampleArray.
    Values = Union["numpy.ndarray", SampleArray]


def have_numpy() -> bool:
    """True when results come as numpy arrays."""
    return numpy is not None


def sample_width(bits: int) -> int:
    """Bytes one sample takes for packet bits 1 to 64."""
    return (in_range(bits, "bits", 1, MAX_BITS) + 7) // 8


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
            values = numpy.frombuffer(view, dtype)
            # A plain copy is about a third faster than a conversion to itself.
            return values.copy() if dtype.isnative else values.astype(dtype.newbyteorder("="))
        padded = numpy.zeros((count, wide), numpy.uint8)
        padded[:, :width] = numpy.frombuffer(view, numpy.uint8).reshape(count, width)
        return padded.view(dtype).reshape(count).astype(dtype.newbyteorder("="), copy=False)
    if wide == width:
        raw = view.tobytes()
    else:
        pad = bytes(wide - width)
        raw = b"".join(view[i:i + width].tobytes() + pad for i in range(0, len(view), width))
    values = SampleArray(_ARRAY_CODES[wide], raw)
    if sys.byteorder == "big":
        values.byteswap()
    return values


def sample_times(first_index: int, count: int, hz: int) -> Any:
    """Seconds from the start of acquisition of samples ``first_index`` to
    ``first_index + count - 1``, as float64 values."""
    if numpy is not None:
        return (numpy.arange(count, dtype=numpy.float64) + first_index) / hz
    return SampleArray("d", [(first_index + i) / hz for i in range(count)])


def concatenate(parts: Any, width: Optional[int]) -> Any:
    """Arrays that ``decode`` (or, with ``width`` None, ``sample_times``)
    made, joined into one."""
    if numpy is not None:
        if parts:
            return numpy.concatenate(parts)
        return numpy.zeros(0, numpy.float64 if width is None else "=u%d" % _WIDENED[width])
    joined = SampleArray("d" if width is None else _ARRAY_CODES[_WIDENED[width]])
    for part in parts:
        joined.extend(part)
    return joined
