"""Python access to the VELMORA data-acquisition device library.

    import velmora

    with velmora.Device("192.168.1.20", "input", port=0) as dev:
        dev.set_frequency(10_000)
        dev.set_packet_bits(16)
        dev.set_block_size(256)
        times, samples = dev.acquire(2.0)      # 20,000 samples from a fresh start
        for block in dev.stream(10.0):         # or block by block, gaps reported
            print(block.index, block.lost, len(block.samples))

Values come as numpy arrays when numpy is installed, else as
:class:`SampleArray` (an ``array.array`` with ``mean()``, ``min()`` and
``max()``). The shared library is found inside this package, through
VELMORA_LIBRARY, in the source tree's build folder, or by the system loader
(see :func:`load_library`).
"""

from ._library import Library, library_names, load_library
from .callbacks import Delivery
from .device import (
    DEFAULT_PACKET_CAPACITY,
    INPUT,
    MAX_BLOCK_SIZE,
    MAX_FREQUENCY_HZ,
    OUTPUT,
    Device,
    PacketFill,
    Packets,
)
from .errors import (
    NOWORK_STATUS,
    RESULTS,
    ArgumentError,
    ConnectError,
    DataLossError,
    DataLossWarning,
    NoWorkError,
    SlowPacketWarning,
    NotConnectedError,
    TimeoutError,
    VelmoraError,
    error_for,
    result_meaning,
    result_name,
)
from .group import Group, GroupBlock, GroupDevice, GroupGap
from .group_merge import Merged, merge_by_index
from .recording import record
from .samples import SampleArray, have_numpy, sample_width
from .stream import Block, Gap

__version__ = "0.1.0"

__all__ = [
    "Device",
    "Packets",
    "PacketFill",
    "Block",
    "Gap",
    "Delivery",
    "record",
    "Group",
    "GroupBlock",
    "GroupGap",
    "GroupDevice",
    "Merged",
    "merge_by_index",
    "INPUT",
    "OUTPUT",
    "DEFAULT_PACKET_CAPACITY",
    "MAX_FREQUENCY_HZ",
    "MAX_BLOCK_SIZE",
    "VelmoraError",
    "ArgumentError",
    "ConnectError",
    "DataLossError",
    "DataLossWarning",
    "SlowPacketWarning",
    "TimeoutError",
    "NoWorkError",
    "NotConnectedError",
    "RESULTS",
    "NOWORK_STATUS",
    "result_name",
    "result_meaning",
    "error_for",
    "have_numpy",
    "SampleArray",
    "sample_width",
    "Library",
    "load_library",
    "library_names",
]
