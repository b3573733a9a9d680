"""The device handle as a Python object."""

import ctypes
import threading
from typing import List, NamedTuple, Optional, Union

from ._library import Library, load_library
from .errors import VelmoraError, error_for

__all__ = ["Device", "Packets", "INPUT", "OUTPUT", "DEFAULT_PACKET_CAPACITY"]

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


class Packets(NamedTuple):
    """What one packet fetch returned.

    ``data`` is the reply's payload: whole packets back to back, each the
    block size in bytes. ``time_us`` is the "Time" value decoded as a
    little-endian unsigned number (microseconds from the start of the
    acquisition to the first sample of the first packet), None when the
    reply carried none; ``time_bytes`` is that value as received.
    ``truncated`` is True when the reply filled the whole buffer, so bytes
    beyond it may have been lost (the buffer is larger from the next fetch).
    """

    time_us: Optional[int]
    data: bytes
    time_bytes: bytes = b""
    truncated: bool = False

    def split(self, block_size: int) -> List[bytes]:
        """``data`` cut into packets of ``block_size`` bytes (the last one
        shorter only if the reply was truncated)."""
        if block_size <= 0:
            raise ValueError("block_size must be positive")
        return [self.data[i:i + block_size] for i in range(0, len(self.data), block_size)]


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

        handle = self._lib.Connect(raw_host, 1 if self.is_input else 0, port)
        if not handle:
            raise error_for(self._lib.last_error(), "NDX_Connect")
        self._handle = handle
        if timeout_ms is not None:
            try:
                self.set_timeout(timeout_ms)
            except BaseException:
                self.close()
                raise

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
        """Sample rate in Hz, clamped to 0..40,000,000 (never rejected)."""
        hz = max(_INT32_MIN, min(int(hz), _INT32_MAX))
        self._call("NDX_SetFreq", "SetFreq", hz)

    def set_packet_bits(self, bits: int) -> None:
        """Bits per sample (positive); a sample takes ceil(bits / 8) bytes."""
        self._call("NDX_SetPacketBits", "SetPacketBits", _int32(bits, "bits"))

    def set_block_size(self, nbytes: int) -> None:
        """Packet (block) size in bytes (positive)."""
        self._call("NDX_SetBlockSize", "SetBlockSize", _int32(nbytes, "block size"))

    def set_digital_line(self, line: int, on: bool) -> None:
        """Switches digital line 0 to 31 on or off (1413 for 32 or more)."""
        line = int(line)
        # Out of the unsigned 32-bit range is out of 0..31 as well: the
        # library refuses it (1413) after its handle and link checks.
        raw = line if 0 <= line <= 0xFFFFFFFF else 0xFFFFFFFF
        self._call("NDX_SetMDIO1", "SetMDIO1", raw, 1 if on else 0)

    def set_auto_zero(self, on: bool) -> None:
        """Switches the auto-zero line (digital line 0) on or off."""
        self._call("NDX_SetAZero", "SetAZero", 1 if on else 0)

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
        self._call("NDX_SetTimeout", "SetTimeout", _int32(ms, "time-out"))

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
        return Packets(time_us, data, time_bytes, truncated)

    def _raise_for(self, result: int, operation: str) -> None:
        if result == 0:
            return
        status = self._lib.last_error() if result == _NO_WORK else None
        raise error_for(result, operation, status)
