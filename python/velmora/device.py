"""The device handle as a Python object."""

import ctypes
import threading
from types import MappingProxyType
from typing import Any, Dict, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Union

from . import samples as _samples
from . import stream as _stream
from ._library import Library, load_library
from .errors import ArgumentError, ConnectError, VelmoraError, error_for
from .stream import Block

__all__ = ["Device", "Packets", "PacketFill", "INPUT", "OUTPUT", "DEFAULT_PACKET_CAPACITY",
           "MAX_FREQUENCY_HZ", "MAX_BLOCK_SIZE"]

INPUT = "input"
OUTPUT = "output"

# The device sends at most 16 MiB of packets per reply, and a single packet
# is at most 16 MiB. One byte more tells a full reply apart from a cut one:
# the library gives no other sign that a reply did not fit.
DEFAULT_PACKET_CAPACITY = (16 << 20) + 1

# "Time" is 8 bytes; room for more shows a device that sends a longer value.
_TIME_CAPACITY = 16
_INT32_MIN, _INT32_MAX = -(1 << 31), (1 << 31) - 1
_BAD_UNIT = 20
_NO_WORK = 58
# What the device accepts when acquisition starts; the library clamps the
# rate to this range itself.
MAX_FREQUENCY_HZ = 40_000_000
MAX_BLOCK_SIZE = 16 << 20
_FIRST_PORT = 0xED00
_INPUT_PORTS = 0x10


class Packets(NamedTuple):
    """What one packet fetch returned.

    ``data`` is the reply's payload: whole packets back to back, each the
    block size in bytes. ``time_us`` is the "Time" value decoded as a
    little-endian unsigned number (microseconds from the start of the
    acquisition to the first sample of the first packet), None when the
    reply carried none; ``time_bytes`` is that value as received.
    ``truncated`` is True when the reply filled the whole buffer, so bytes
    beyond it may have been lost (the buffer is larger from the next fetch).
    ``bits``, ``frequency`` and ``block_size`` are the settings the fetching
    ``Device`` had sent (None when it had sent none); :meth:`samples` and
    :meth:`times` read the payload with them.
    """

    time_us: Optional[int]
    data: bytes
    time_bytes: bytes = b""
    truncated: bool = False
    bits: Optional[int] = None
    frequency: Optional[int] = None
    block_size: Optional[int] = None

    def split(self, block_size: int) -> List[bytes]:
        """``data`` cut into packets of ``block_size`` bytes (the last one
        shorter only if the reply was truncated)."""
        if block_size <= 0:
            raise ValueError("block_size must be positive")
        return [self.data[i:i + block_size] for i in range(0, len(self.data), block_size)]

    def samples(self, bits: Optional[int] = None) -> Any:
        """The whole samples in ``data`` as unsigned numbers: a numpy array
        (uint8, uint16, uint32 or uint64; 3-byte samples widened to uint32,
        5 to 7 bytes to uint64) when numpy is installed, else an
        ``array.array``. ``bits`` defaults to the packet bits the Device had
        sent. When packets do not hold whole samples, the bytes of a sample
        cut at either end of the reply are left out."""
        width = _samples.sample_width(self._bits(bits))
        skip, _ = self._layout(width)
        return _samples.decode(memoryview(self.data)[skip:], width)

    def times(self, bits: Optional[int] = None, frequency: Optional[int] = None) -> Any:
        """Seconds from the start of acquisition of every sample that
        :meth:`samples` returns (float64), from the "Time" value and the
        frequency the Device had sent (or ``frequency``)."""
        width = _samples.sample_width(self._bits(bits))
        hz = frequency if frequency is not None else self.frequency
        if hz is None or hz <= 0:
            raise ValueError("the sample rate is unknown: set it through the Device or pass frequency=")
        if self.time_us is None:
            raise ValueError("the reply carried no \"Time\" value")
        skip, first = self._layout(width, hz)
        return _samples.sample_times(first, (len(self.data) - skip) // width, hz)

    def _bits(self, bits: Optional[int]) -> int:
        bits = bits if bits is not None else self.bits
        if bits is None:
            raise ValueError("the packet bits are unknown: set them through the Device or pass bits=")
        return bits

    def _layout(self, width: int, hz: Optional[int] = None) -> Tuple[int, int]:
        # (bytes before the first whole sample, that sample's index)
        hz = hz if hz is not None else self.frequency
        if self.time_us is None or not hz:
            return 0, 0
        return _samples.layout(self.time_us, hz, width, self.block_size)


class PacketFill(NamedTuple):
    """What :meth:`Device.all_packets_into` put into the caller's buffer:
    ``nbytes`` bytes from its start, the reply's "Time" value (``time_us``,
    None when it carried none) and ``truncated``, True when the reply filled
    the whole buffer, so that bytes beyond it may have been dropped."""

    nbytes: int
    time_us: Optional[int]
    truncated: bool


def _whole_number(value: Any, what: str) -> int:
    """``value`` as an int, refusing what is not a whole number."""
    refusal = ArgumentError("%s must be a whole number, not %r" % (what, value))
    if isinstance(value, bool):
        raise refusal
    try:
        number = int(value)
    except (TypeError, ValueError, OverflowError):
        raise refusal from None
    if number != value:
        raise refusal
    return number


def _in_range(value: Any, what: str, low: int, high: Optional[int]) -> int:
    number = _whole_number(value, what)
    if number < low or (high is not None and number > high):
        limit = "%d or more" % low if high is None else "%d to %d" % (low, high)
        raise ArgumentError("%s must be %s, not %d" % (what, limit, number))
    return number


def _writable(buffer: Any) -> Tuple[Any, int]:
    """A ctypes view of the caller's writable, contiguous buffer (no copy)
    and its size in bytes. While the view lives the buffer cannot be
    resized under the library."""
    view = memoryview(buffer)
    if view.readonly:
        raise TypeError("the buffer is read-only")
    if not view.c_contiguous:
        raise ValueError("the buffer must be contiguous")
    if view.nbytes == 0:
        raise ValueError("the buffer is empty")
    return (ctypes.c_char * view.nbytes).from_buffer(view.cast("B")), view.nbytes


def _int32(value: int, what: str) -> int:
    value = int(value)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise OverflowError("%s %d does not fit in 32 bits" % (what, value))
    return value


def _is_input(direction: Union[str, bool]) -> bool:
    if isinstance(direction, str):
        text = direction.strip().lower()
        if text in ("input", "in"):
            return True
        if text in ("output", "out"):
            return False
        raise ValueError("direction must be 'input' or 'output', not %r" % direction)
    return bool(direction)


class Device:
    """One open handle to the device at ``host`` (dotted IPv4 or a name).

    ``direction`` is ``"input"`` (or True), to fetch packets and read data,
    or ``"output"`` (or False), to write data; both take the configuration
    and control commands. ``port`` is the channel, 0 to 15; the input and
    output handles of one channel share its settings, acquisition and data.

    The connection opens on construction (VelmoraError on failure, for
    example 1203 when nothing listens) and ends with :meth:`close` or at the
    end of a ``with`` block. Every failing call raises :class:`VelmoraError`
    or one of its subclasses. Calls are serialised across the whole library:
    one runs at a time, including while it waits for a reply.
    """

    def __init__(self, host: Union[str, bytes], direction: Union[str, bool] = INPUT,
                 port: int = 0, *, timeout_ms: Optional[int] = None,
                 packet_capacity: int = DEFAULT_PACKET_CAPACITY,
                 library: Optional[Library] = None) -> None:
        self._handle: Optional[int] = None
        self._lib = library if library is not None else load_library()
        self.host = host if isinstance(host, str) else host.decode("utf-8", "replace")
        self.is_input = _is_input(direction)
        port = int(port)
        if not 0 <= port <= 15:
            raise ValueError("port must be 0 to 15, not %d" % port)
        self.port = port
        raw_host = host.encode("utf-8") if isinstance(host, str) else bytes(host)
        if b"\0" in raw_host:
            raise ValueError("host contains a NUL byte")
        if packet_capacity <= 0:
            raise ValueError("packet_capacity must be positive")
        self._packet_capacity = min(int(packet_capacity), _INT32_MAX)
        self._packet_buffer: Optional[ctypes.Array] = None
        self._time_buffer = ctypes.create_string_buffer(_TIME_CAPACITY)
        # The packet buffers are shared by the calls of this object: one
        # fetch at a time, copy-out included.
        self._fetch_lock = threading.Lock()
        # What this object sent, for its properties and for reading packets.
        self._frequency: Optional[int] = None
        self._packet_bits: Optional[int] = None
        self._block_size: Optional[int] = None
        self._lines: Dict[int, bool] = {}
        self._timeout_ms: Optional[int] = None

        handle = self._lib.Connect(raw_host, 1 if self.is_input else 0, port)
        if not handle:
            raise ConnectError(self._lib.last_error(), self.host, self.tcp_port)
        self._handle = handle
        if timeout_ms is not None:
            try:
                self.set_timeout(timeout_ms)
            except BaseException:
                self.close()
                raise

    # -- what was sent ----------------------------------------------------

    @property
    def tcp_port(self) -> int:
        """The device's TCP port number for this direction and channel."""
        return _FIRST_PORT + (_INPUT_PORTS if self.is_input else 0) + self.port

    @property
    def frequency(self) -> Optional[int]:
        """The sample rate this object last sent, in Hz, after the library's
        clamping (so the rate the device will use); None before any."""
        return self._frequency

    @property
    def packet_bits(self) -> Optional[int]:
        """The packet bits this object last sent; None before any."""
        return self._packet_bits

    @property
    def sample_width(self) -> Optional[int]:
        """Bytes per sample from :attr:`packet_bits`; None before any."""
        bits = self._packet_bits
        return None if bits is None else _samples.sample_width(bits)

    @property
    def block_size(self) -> Optional[int]:
        """The packet size in bytes this object last sent; None before any."""
        return self._block_size

    @property
    def lines(self) -> Mapping[int, bool]:
        """Digital line -> on, for every line this object switched (the
        auto-zero line 0 included); read-only."""
        return MappingProxyType(dict(self._lines))

    @property
    def auto_zero(self) -> Optional[bool]:
        """Whether this object last switched auto-zero (line 0) on; None
        before any."""
        return self._lines.get(0)

    @property
    def timeout_ms(self) -> Optional[int]:
        """The reply time-out this object last set; None before any (the
        library's own is then in force)."""
        return self._timeout_ms

    # -- lifetime ---------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._handle is None

    def close(self) -> None:
        """Closes the handle and stops its threads; requests still queued
        get up to the time-out to reach the device first. Closing again does
        nothing."""
        handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.Close(handle)  # 20 only for a value that is not live

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shut-down: the library may be gone
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return "<velmora.Device %s %s port %d, %s>" % (
            self.host, INPUT if self.is_input else OUTPUT, self.port, state)

    def _live(self, operation: str) -> int:
        handle = self._handle
        if handle is None:
            raise VelmoraError(_BAD_UNIT, operation, "the device is closed")
        return handle

    def _call(self, operation: str, function_name: str, *args: object) -> None:
        handle = self._live(operation)
        result = getattr(self._lib, function_name)(handle, *args)
        if result != 0:
            raise error_for(result, operation)

    # -- commands: queued for the device, not answered --------------------

    def set_frequency(self, hz: int) -> None:
        """Sample rate in Hz: a whole number of 1 or more (ValueError
        otherwise, before anything is sent). Rates above 40,000,000 are
        clamped to it by the library; :attr:`frequency` shows the result."""
        hz = _in_range(hz, "the frequency", 1, None)
        self._call("NDX_SetFreq", "SetFreq", min(hz, _INT32_MAX))
        self._frequency = min(hz, MAX_FREQUENCY_HZ)

    def set_packet_bits(self, bits: int) -> None:
        """Bits per sample, 1 to 64 (ValueError otherwise); a sample takes
        ceil(bits / 8) bytes."""
        bits = _in_range(bits, "packet bits", 1, _samples.MAX_BITS)
        self._call("NDX_SetPacketBits", "SetPacketBits", bits)
        self._packet_bits = bits

    def set_block_size(self, nbytes: int) -> None:
        """Packet (block) size in bytes, 1 to 16 MiB (ValueError otherwise)."""
        nbytes = _in_range(nbytes, "the block size", 1, MAX_BLOCK_SIZE)
        self._call("NDX_SetBlockSize", "SetBlockSize", nbytes)
        self._block_size = nbytes

    def set_digital_line(self, line: int, on: bool) -> None:
        """Switches digital line 0 to 31 on or off (1413 for 32 or more)."""
        line = int(line)
        # Out of the unsigned 32-bit range is out of 0..31 as well: the
        # library refuses it (1413) after its handle and link checks.
        raw = line if 0 <= line <= 0xFFFFFFFF else 0xFFFFFFFF
        self._call("NDX_SetMDIO1", "SetMDIO1", raw, 1 if on else 0)
        self._lines[line] = bool(on)

    def set_auto_zero(self, on: bool) -> None:
        """Switches the auto-zero line (digital line 0) on or off."""
        self._call("NDX_SetAZero", "SetAZero", 1 if on else 0)
        self._lines[0] = bool(on)

    def start(self) -> None:
        """Starts acquisition with the settings sent so far; one already
        running goes on unchanged."""
        self._call("NDX_Go", "Go")

    def start_cleared(self) -> None:
        """Discards everything acquired and starts afresh (sample 0, time 0)."""
        self._call("NDX_GoClear", "GoClear")

    def clear(self) -> None:
        """Stops acquisition and discards what was acquired."""
        self._call("NDX_Clear", "Clear")

    def set_timeout(self, ms: int) -> None:
        """Reply time-out in milliseconds (positive; 2000 when opened) for
        later reads and writes. Each wait for a piece of the reply gets the
        whole time-out. Sends nothing."""
        ms = _int32(_in_range(ms, "the time-out", 1, None), "time-out")
        self._call("NDX_SetTimeout", "SetTimeout", ms)
        self._timeout_ms = ms

    # -- requests with a reply --------------------------------------------

    def read_data(self, max_bytes: int) -> bytes:
        """Takes up to ``max_bytes`` from the channel's data store (input
        direction), the oldest bytes first. A buffer of ``max_bytes`` is
        reserved for the reply. NoWorkError with status 3 when the store is
        empty."""
        handle = self._live("NDX_GetData")
        count = ctypes.c_int32(_int32(max_bytes, "max_bytes"))
        buffer = ctypes.create_string_buffer(max(count.value, 1))
        result = self._lib.GetData(handle, ctypes.byref(count), buffer)
        self._raise_for(result, "NDX_GetData")
        return ctypes.string_at(buffer, count.value)

    def read_into(self, buffer: Any) -> int:
        """Takes up to ``len(buffer)`` bytes from the channel's data store
        into ``buffer`` (any writable contiguous buffer: bytearray,
        memoryview, numpy array, array.array) in place, and returns how
        many bytes were written from its start. NoWorkError with status 3
        when the store is empty."""
        handle = self._live("NDX_GetData")
        target, nbytes = _writable(buffer)
        count = ctypes.c_int32(min(nbytes, _INT32_MAX))
        result = self._lib.GetData(handle, ctypes.byref(count), target)
        self._raise_for(result, "NDX_GetData")
        return count.value

    def write_data(self, data: Union[bytes, bytearray, memoryview]) -> int:
        """Sends ``data`` to the channel's data store (output direction) and
        returns how many bytes the device took: fewer when its store is
        nearly full, 0 when it is full. Empty data is refused (24)."""
        handle = self._live("NDX_PutData")
        payload = data if isinstance(data, bytes) else bytes(data)
        count = ctypes.c_int32(_int32(len(payload), "data length"))
        result = self._lib.PutData(handle, ctypes.byref(count), payload)
        self._raise_for(result, "NDX_PutData")
        return count.value

    def all_packets(self) -> Packets:
        """Every packet completed since the last fetch (input direction).
        NoWorkError with status 2 when none has completed yet, 1 when
        acquisition is not running."""
        return self._fetch("NDX_GetAllPackets", "GetAllPackets")

    def latest_packet(self) -> Packets:
        """The latest completed packet only; older unfetched ones are
        discarded by the device."""
        return self._fetch("NDX_GetLatestPacketAndDiscard", "GetLatestPacketAndDiscard")

    def all_packets_into(self, buffer: Any) -> PacketFill:
        """:meth:`all_packets` into the caller's writable buffer, in place:
        returns ``(nbytes, time_us, truncated)``. The library drops what
        does not fit, so a reply that fills the buffer is marked
        ``truncated``; a buffer of 16 MiB + 1 bytes never is."""
        with self._fetch_lock:
            handle = self._live("NDX_GetAllPackets")
            target, nbytes = _writable(buffer)
            data_count = ctypes.c_int32(min(nbytes, _INT32_MAX))
            time_count = ctypes.c_int32(_TIME_CAPACITY)
            result = self._lib.GetAllPackets(handle, ctypes.byref(time_count), self._time_buffer,
                                             ctypes.byref(data_count), target)
            self._raise_for(result, "NDX_GetAllPackets")
            time_bytes = ctypes.string_at(self._time_buffer, time_count.value)
        time_us = int.from_bytes(time_bytes, "little") if time_bytes else None
        return PacketFill(data_count.value, time_us, data_count.value >= nbytes)

    # -- continuous acquisition -------------------------------------------

    def stream(self, seconds: Optional[float] = None, **options: Any) -> Iterator[Block]:
        """Blocks of samples as they arrive; see :func:`velmora.stream.stream`."""
        return _stream.stream(self, seconds, **options)

    def acquire(self, seconds: float, **options: Any) -> Tuple[Any, Any]:
        """``(times, samples)`` of exactly ``seconds * frequency`` samples
        from a fresh start; see :func:`velmora.stream.acquire`."""
        return _stream.acquire(self, seconds, **options)

    def _fetch(self, operation: str, function_name: str) -> Packets:
        with self._fetch_lock:
            handle = self._live(operation)
            capacity = self._packet_capacity
            if self._packet_buffer is None or len(self._packet_buffer) < capacity:
                self._packet_buffer = ctypes.create_string_buffer(capacity)
            data_count = ctypes.c_int32(capacity)
            time_count = ctypes.c_int32(_TIME_CAPACITY)
            result = getattr(self._lib, function_name)(
                handle, ctypes.byref(time_count), self._time_buffer,
                ctypes.byref(data_count), self._packet_buffer)
            self._raise_for(result, operation)
            data = ctypes.string_at(self._packet_buffer, data_count.value)
            time_bytes = ctypes.string_at(self._time_buffer, time_count.value)
            truncated = data_count.value >= capacity
            if truncated:
                # What did not fit is gone; the next reply gets room for it.
                self._packet_capacity = min(capacity * 2, _INT32_MAX)
        time_us = int.from_bytes(time_bytes, "little") if time_bytes else None
        return Packets(time_us, data, time_bytes, truncated,
                       self._packet_bits, self._frequency, self._block_size)

    def _raise_for(self, result: int, operation: str) -> None:
        if result == 0:
            return
        status = self._lib.last_error() if result == _NO_WORK else None
        raise error_for(result, operation, status)
