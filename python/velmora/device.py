"""The device handle as a Python object."""

import ctypes
import threading
from types import MappingProxyType
from typing import Any, Dict, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Union

from . import samples as _samples
from . import stream as _stream
from ._library import Library, load_library
from ._arguments import INT32_MAX, in_range
from ._limits import MAX_BLOCK_SIZE, MAX_FREQUENCY_HZ
from .errors import NOTHING_NEW, ArgumentError, ConnectError, VelmoraError, error_for
from .samples import Values
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
_BAD_UNIT = 20
_NO_WORK = 58
_FIRST_PORT = 0xED00
_INPUT_PORTS = 0x10
_CHANNELS = 16
_DIGITAL_LINES = 32
_INVALID_INDEX = 1413


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
        block_size = in_range(block_size, "block_size", 1, None)
        return [self.data[i:i + block_size] for i in range(0, len(self.data), block_size)]

    def samples(self, bits: Optional[int] = None) -> Any:
        """The whole samples in ``data`` as unsigned numbers: a numpy array
        (uint8, uint16, uint32 or uint64; 3-byte samples widened to uint32,
        5 to 7 bytes to uint64) when numpy is installed, else a
        :class:`SampleArray` (an ``array.array``). ``bits`` defaults to the
        packet bits the Device had sent. When packets do not hold whole samples, the bytes of a sample
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


def _is_input(direction: Union[str, bool]) -> bool:
    if isinstance(direction, str):
        text = direction.strip().lower()
        if text in ("input", "in"):
            return True
        if text in ("output", "out"):
            return False
    elif isinstance(direction, int) and direction in (0, 1):
        return bool(direction)  # True/False, or the library's 1/0
    raise ArgumentError("direction must be 'input' or 'output' (or True/False), not %r"
                        % (direction,), argument="direction")


class Device:
    """One open handle to the device at ``host`` (dotted IPv4 or a name).

    ``direction`` is ``"input"`` (or True), to fetch packets and read data,
    or ``"output"`` (or False), to write data; both take the configuration
    and control commands. ``port`` is the channel, 0 to 15; the input and
    output handles of one channel share its settings, acquisition and data.

    The connection opens on construction (VelmoraError on failure, for
    example 1203 when nothing listens) and ends with :meth:`close` or at the
    end of a ``with`` block. Every failing call raises :class:`VelmoraError`
    or one of its subclasses; a value a call can never take raises
    :class:`ArgumentError` (a ``ValueError``) before anything is sent. Calls
    are serialised across the whole library: one runs at a time, including
    while it waits for a reply.

    A ``with`` block stops an acquisition this object started (with
    :meth:`start`, :meth:`start_cleared` or a stream) and left running,
    unless ``keep_running`` is True; :meth:`close` alone leaves it running.
    """

    def __init__(self, host: Union[str, bytes], direction: Union[str, bool] = INPUT,
                 port: int = 0, *, timeout_ms: Optional[int] = None,
                 packet_capacity: int = DEFAULT_PACKET_CAPACITY,
                 keep_running: bool = False,
                 library: Optional[Library] = None) -> None:
        self._handle: Optional[int] = None
        if not isinstance(host, (str, bytes)) or not host:
            raise ArgumentError("host must be a host name or dotted IPv4 address, not %r"
                                % (host,), argument="host")
        raw_host = host.encode("utf-8") if isinstance(host, str) else bytes(host)
        if b"\0" in raw_host:
            raise ArgumentError("host must not contain a NUL byte", argument="host")
        self.host = host if isinstance(host, str) else host.decode("utf-8", "replace")
        self.is_input = _is_input(direction)
        self.port = in_range(port, "port", 0, _CHANNELS - 1)
        self._packet_capacity = in_range(packet_capacity, "packet_capacity", 1, None)
        self._packet_capacity = min(self._packet_capacity, INT32_MAX)
        if timeout_ms is not None:
            timeout_ms = in_range(timeout_ms, "timeout_ms", 1, INT32_MAX)
        self.keep_running = bool(keep_running)
        self._lib = library if library is not None else load_library()
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
        # Whether this object started an acquisition that is still running:
        # a with block stops it. A stream that started one and is not over
        # yet sets _stream_running, which close() also honours, since the
        # stream cannot stop it once the handle is gone.
        self._started_here = False
        self._stream_running = False

        handle = self._lib.Connect(raw_host, 1 if self.is_input else 0, self.port)
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

    @property
    def packet_capacity(self) -> int:
        """Bytes of packets the next fetch has room for: ``packet_capacity``
        as given, doubled after each reply that did not fit."""
        return self._packet_capacity

    # -- lifetime ---------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._handle is None

    def close(self) -> None:
        """Closes the handle and stops its threads; requests still queued
        get up to the time-out to reach the device first. An acquisition a
        stream of this object started and has not finished is stopped
        first. Closing again does nothing."""
        if self._handle is not None and self._stream_running:
            self._stop_quietly()
        handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.Close(handle)  # 20 only for a value that is not live

    def _reconnect(self) -> None:
        """Drops the handle, opens a new one on the same channel and sends
        again everything this object had sent, so the device is set up as
        before. Raises what opening raises (ConnectError, usually 1203)."""
        handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.Close(handle)
        raw_host = self.host.encode("utf-8")
        handle = self._lib.Connect(raw_host, 1 if self.is_input else 0, self.port)
        if not handle:
            raise ConnectError(self._lib.last_error(), self.host, self.tcp_port)
        self._handle = handle
        if self._timeout_ms is not None:
            self.set_timeout(self._timeout_ms)
        if self._frequency is not None:
            self.set_frequency(self._frequency)
        if self._packet_bits is not None:
            self.set_packet_bits(self._packet_bits)
        if self._block_size is not None:
            self.set_block_size(self._block_size)
        for line, on in sorted(self._lines.items()):
            self.set_digital_line(line, on)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc_info: object) -> None:
        try:
            if self._handle is not None and self._started_here and not self.keep_running:
                if exc_info[0] is None:
                    self.clear()  # a failure to stop is worth hearing about
                else:
                    self._stop_quietly()  # the block's own exception matters more
        finally:
            self.close()

    def _stop_quietly(self) -> None:
        try:
            self.clear()
        except VelmoraError:
            pass

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
        self._raise_for(getattr(self._lib, function_name)(handle, *args), operation)

    # -- commands: queued for the device, not answered --------------------

    def set_frequency(self, hz: int) -> None:
        """Sample rate in Hz: a whole number of 1 or more (ArgumentError
        otherwise, before anything is sent). Rates above 40,000,000 are
        clamped to it by the library; :attr:`frequency` shows the result."""
        hz = in_range(hz, "hz", 1, None)
        self._call("NDX_SetFreq", "SetFreq", min(hz, INT32_MAX))
        self._frequency = min(hz, MAX_FREQUENCY_HZ)

    def set_packet_bits(self, bits: int) -> None:
        """Bits per sample, 1 to 64 (ArgumentError otherwise); a sample takes
        ceil(bits / 8) bytes."""
        bits = in_range(bits, "bits", 1, _samples.MAX_BITS)
        self._call("NDX_SetPacketBits", "SetPacketBits", bits)
        self._packet_bits = bits

    def set_block_size(self, nbytes: int) -> None:
        """Packet (block) size in bytes, 1 to 16 MiB (ArgumentError otherwise)."""
        nbytes = in_range(nbytes, "nbytes", 1, MAX_BLOCK_SIZE)
        self._call("NDX_SetBlockSize", "SetBlockSize", nbytes)
        self._block_size = nbytes

    def set_digital_line(self, line: int, on: bool) -> None:
        """Switches digital line 0 to 31 on or off (ArgumentError with the
        library's number for it, 1413, otherwise)."""
        line = in_range(line, "line", 0, _DIGITAL_LINES - 1, _INVALID_INDEX)
        self._call("NDX_SetMDIO1", "SetMDIO1", line, 1 if on else 0)
        self._lines[line] = bool(on)

    def set_auto_zero(self, on: bool) -> None:
        """Switches the auto-zero line (digital line 0) on or off."""
        self._call("NDX_SetAZero", "SetAZero", 1 if on else 0)
        self._lines[0] = bool(on)

    def start(self) -> None:
        """Starts acquisition with the settings sent so far; one already
        running goes on unchanged."""
        self._call("NDX_Go", "Go")
        self._started_here = True

    def start_cleared(self) -> None:
        """Discards everything acquired and starts afresh (sample 0, time 0)."""
        self._call("NDX_GoClear", "GoClear")
        self._started_here = True

    def clear(self) -> None:
        """Stops acquisition and discards what was acquired."""
        self._call("NDX_Clear", "Clear")
        self._started_here = self._stream_running = False

    def set_timeout(self, ms: int) -> None:
        """Reply time-out in milliseconds (positive; 2000 when opened) for
        later reads and writes. Each wait for a piece of the reply gets the
        whole time-out. Sends nothing."""
        ms = in_range(ms, "ms", 1, INT32_MAX)
        self._call("NDX_SetTimeout", "SetTimeout", ms)
        self._timeout_ms = ms

    # -- requests with a reply --------------------------------------------

    def read_data(self, max_bytes: int) -> bytes:
        """Takes up to ``max_bytes`` from the channel's data store (input
        direction), the oldest bytes first. A buffer of ``max_bytes`` is
        reserved for the reply. NoWorkError with status 3 when the store is
        empty."""
        count = ctypes.c_int32(in_range(max_bytes, "max_bytes", 1, INT32_MAX))
        handle = self._live("NDX_GetData")
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
        count = ctypes.c_int32(min(nbytes, INT32_MAX))
        result = self._lib.GetData(handle, ctypes.byref(count), target)
        self._raise_for(result, "NDX_GetData")
        return count.value

    def write_data(self, data: Union[bytes, bytearray, memoryview]) -> int:
        """Sends ``data`` to the channel's data store (output direction) and
        returns how many bytes the device took: fewer when its store is
        nearly full, 0 when it is full. Empty data is refused."""
        payload = data if isinstance(data, bytes) else bytes(data)
        if not 1 <= len(payload) <= INT32_MAX:
            raise ArgumentError("data must hold 1 to %d bytes, not %d" % (INT32_MAX, len(payload)),
                                argument="data")
        count = ctypes.c_int32(len(payload))
        handle = self._live("NDX_PutData")
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
        return self._packets_into(buffer, False)  # type: ignore[return-value]

    def _packets_into(self, buffer: Any, nothing_new_is_none: bool) -> Optional[PacketFill]:
        """all_packets_into; with ``nothing_new_is_none``, "nothing new" is
        None instead of a NoWorkError: a stream meets it on most polls, and
        raising costs it more than the call itself."""
        with self._fetch_lock:
            handle = self._live("NDX_GetAllPackets")
            target, nbytes = _writable(buffer)
            data_count = ctypes.c_int32(min(nbytes, INT32_MAX))
            time_count = ctypes.c_int32(_TIME_CAPACITY)
            result = self._lib.GetAllPackets(handle, ctypes.byref(time_count), self._time_buffer,
                                             ctypes.byref(data_count), target)
            if (result == _NO_WORK and nothing_new_is_none
                    and self._lib.last_error() == NOTHING_NEW):
                return None
            self._raise_for(result, "NDX_GetAllPackets")
            time_bytes = ctypes.string_at(self._time_buffer, time_count.value)
        time_us = int.from_bytes(time_bytes, "little") if time_bytes else None
        return PacketFill(data_count.value, time_us, data_count.value >= nbytes)

    # -- continuous acquisition -------------------------------------------

    def stream(self, seconds: Optional[float] = None, *, on_loss: str = "warn",
               start: bool = True, keep_running: bool = False, frequency: Optional[int] = None,
               bits: Optional[int] = None, block_size: Optional[int] = None,
               reconnect: bool = False, reconnect_timeout: float = 60.0) -> Iterator[Block]:
        """Blocks of samples as they arrive, for ``seconds`` or until the
        loop stops. ``on_loss``: "warn", "raise" or "ignore"; ``start``:
        start afresh (else join a running acquisition); ``keep_running``:
        leave an acquisition the stream started running when it ends (it is
        stopped otherwise, however the stream ends); ``frequency`` (Hz),
        ``bits`` and ``block_size`` (bytes) are sent first when given. See
        :func:`velmora.stream.stream`. ``reconnect``: a dropped link yields
        one :class:`velmora.Gap` and the stream goes on once the device is back
        (within ``reconnect_timeout`` seconds)."""
        return _stream.stream(self, seconds, on_loss=on_loss, start=start,
                              keep_running=keep_running, frequency=frequency, bits=bits,
                              block_size=block_size, reconnect=reconnect,
                              reconnect_timeout=reconnect_timeout)

    def astream(self, *args: Any, **kwargs: Any) -> Any:
        """:meth:`stream` as an async generator (same arguments): the
        fetches run on a thread of their own, never on the event loop;
        leaving the ``async for`` stops the stream and ends that thread."""
        from .astream import astream
        return astream(self, *args, **kwargs)

    def on_block(self, callback: Any, every_n_samples: int, *args: Any, **kwargs: Any) -> Any:
        """Calls ``callback(block)`` with :class:`Block` s of exactly
        ``every_n_samples`` samples from :meth:`stream` (same further
        arguments), on a thread of the package's own named
        "velmora-on-block", which also does the fetching. A block is
        shorter only at the end of the stream or just before samples went
        missing, so that each holds consecutive samples; with
        ``reconnect``, each :class:`velmora.Gap` is passed on between the
        blocks. Returns a :class:`velmora.callbacks.Delivery`:
        ``stop()`` ends it early, ``join()`` waits for it and raises what
        ended it, whether the callback raised (which stops the stream) or
        the stream did; as a context manager it stops and joins on leaving."""
        from .callbacks import Delivery

        blocks = self.stream(*args, **kwargs)  # arguments checked on the caller's thread
        hz = min(self.frequency or 1, MAX_FREQUENCY_HZ)
        return Delivery(blocks, every_n_samples, lambda b, k: b._replace(t0=(b.index + k) / hz),
                        lambda item: 0, callback, "velmora-on-block")

    def acquire(self, seconds: float, *, on_loss: str = "raise", keep_running: bool = False,
                frequency: Optional[int] = None, bits: Optional[int] = None,
                block_size: Optional[int] = None) -> Tuple[Values, Values]:
        """``(times, samples)`` of exactly ``seconds * frequency`` samples
        from a fresh start, which is stopped again unless ``keep_running``.
        ``on_loss``: "raise" (default), "warn" or "ignore"; ``frequency``
        (Hz), ``bits`` and ``block_size`` (bytes) are sent first when given.
        See :func:`velmora.stream.acquire`."""
        return _stream.acquire(self, seconds, on_loss=on_loss, keep_running=keep_running,
                               frequency=frequency, bits=bits, block_size=block_size)

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
                self._packet_capacity = min(capacity * 2, INT32_MAX)
        time_us = int.from_bytes(time_bytes, "little") if time_bytes else None
        return Packets(time_us, data, time_bytes, truncated,
                       self._packet_bits, self._frequency, self._block_size)

    def _raise_for(self, result: int, operation: str) -> None:
        if result == 0:
            return
        status = self._lib.last_error() if result == _NO_WORK else None
        raise error_for(result, operation, status)
