"""`velmora-tango`: a Tango device server for one device channel per
device. Start one process per device, on any host:

    velmora-tango <instance>              # devices registered in the database
    velmora-tango <instance> -nodb -dlist <name> -port <port>   # without one

Every setting, the newest samples, the counters and the link's state are
attributes; Start, StartCleared, Stop, ReadBlock, WriteBlock and Ping are
commands. See docs/tango.md.
"""

import sys
from typing import List, Optional

__all__ = ["main"]


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the device server with Tango's own command line."""
    try:
        from tango.server import run
    except ImportError:
        sys.stderr.write("velmora-tango: PyTango is not installed: install python3-tango "
                         "(apt-get install python3-tango) and run it with /usr/bin/python3\n")
        return 2
    from .channel import VelmoraChannel

    # The server's name in the database is velmora-tango/<instance>, however
    # it was started (the command, python -m velmora.tango_server, Starter).
    args = ["velmora-tango"] + list(sys.argv[1:] if argv is None else argv)
    run((VelmoraChannel,), args=args)
    return 0
