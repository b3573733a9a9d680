"""Python access to the VELMORA data-acquisition device library.

    import velmora

    with velmora.Device("192.168.1.20", "input", port=0) as dev:
        dev.set_frequency(10_000)
        dev.set_packet_bits(16)
        dev.set_block_size(256)
        dev.start_cleared()
        try:
            packets = dev.all_packets()
        except velmora.NoWorkError:
            ...  # nothing completed yet

The shared library is found through VELMORA_LIBRARY, next to this package,
in the source tree's build folder, or by the system loader (see
:func:`load_library`). Only the standard library is needed.
"""

from ._library import Library, library_names, load_library
from .device import DEFAULT_PACKET_CAPACITY, INPUT, OUTPUT, Device, Packets
from .errors import (
    NOWORK_STATUS,
    RESULTS,
    NoWorkError,
    NotConnectedError,
    TimeoutError,
    VelmoraError,
    error_for,
    result_meaning,
    result_name,
)

__version__ = "0.1.0"

__all__ = [
    "Device",
    "Packets",
    "INPUT",
    "OUTPUT",
    "DEFAULT_PACKET_CAPACITY",
    "VelmoraError",
    "TimeoutError",
    "NoWorkError",
    "NotConnectedError",
    "RESULTS",
    "NOWORK_STATUS",
    "result_name",
    "result_meaning",
    "error_for",
    "Library",
    "load_library",
    "library_names",
]
