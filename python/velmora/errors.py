"""Result numbers of the library and the exceptions that carry them."""

import builtins
from typing import Dict, Optional, Tuple, Type

__all__ = [
    "RESULTS",
    "NOWORK_STATUS",
    "result_name",
    "result_meaning",
    "VelmoraError",
    "TimeoutError",
    "NoWorkError",
    "NotConnectedError",
    "ConnectError",
    "ArgumentError",
    "DataLossError",
    "DataLossWarning",
    "SlowPacketWarning",
    "error_for",
]

# Number -> (Windows system error name, what it means from this library): the
# public header's NDX_ResultName and NDX_ResultText, word for word.
RESULTS: Dict[int, Tuple[str, str]] = {
    0: ("ERROR_SUCCESS", "success"),
    8: ("ERROR_NOT_ENOUGH_MEMORY", "memory ran out inside the library"),
    13: ("ERROR_INVALID_DATA", "a second unexpected reply in one call"),
    20: ("ERROR_BAD_UNIT", "the value is not an open device handle"),
    24: ("ERROR_BAD_LENGTH", "a count or setting that must be positive is not"),
    30: ("ERROR_READ_FAULT", "a received reply could not be parsed"),
    58: ("ERROR_BAD_NET_RESP", "the device answered \"NOWRK\" (its status is in the last-error value)"),
    66: ("ERROR_BAD_DEV_TYPE", "the device answered \"IOERR\" (a fault, or a setting it cannot take)"),
    998: ("ERROR_NOACCESS", "caller memory could not be read or written"),
    1203: ("ERROR_NO_NET_OR_BAD_PATH", "the host could not be found, nothing listens on its port, or there is no route"),
    1222: ("ERROR_NO_NETWORK", "no socket could be created"),
    1349: ("ERROR_BAD_TOKEN_TYPE", "the operation does not fit the handle's direction"),
    1359: ("ERROR_INTERNAL_ERROR", "building a request failed"),
    1413: ("ERROR_INVALID_INDEX", "a digital line number of 32 or more"),
    1450: ("ERROR_NO_SYSTEM_RESOURCES", "a lock or thread could not be created"),
    1460: ("ERROR_TIMEOUT", "no reply within the handle's time-out"),
    2250: ("ERROR_NOT_CONNECTED", "the connection to the device is down"),
}

# The "Status" numbers a "NOWRK" reply carries, as the device defines them
# (the library's own list is compared with these by the tests).
NOT_STARTED, NOTHING_NEW, STORE_EMPTY, NO_REQUEST = 1, 2, 3, 4
NOWORK_STATUS: Dict[int, str] = {
    NOT_STARTED: "no acquisition: never started, or stopped by clear()",
    NOTHING_NEW: "no packet completed since the last fetch",
    STORE_EMPTY: "the data store is empty",
    NO_REQUEST: "a retry with no earlier request on this connection",
}

_BAD_LENGTH = 24
_TIMEOUT = 1460
_NO_WORK = 58
_NOT_CONNECTED = 2250


def result_name(code: int) -> str:
    """The Windows system error name of a result number ("ERROR_TIMEOUT")."""
    entry = RESULTS.get(code)
    return entry[0] if entry else "ERROR_%d" % code


def result_meaning(code: int) -> str:
    """What a result number means when this library returns it."""
    entry = RESULTS.get(code)
    return entry[1] if entry else "unknown result number"


class VelmoraError(Exception):
    """A library call returned a result number other than 0.

    ``code`` is the number, ``name`` its Windows system error name,
    ``meaning`` a short explanation and ``operation`` the library function
    that returned it (for example ``"NDX_GetData"``).
    """

    def __init__(self, code: int, operation: str = "", detail: str = "") -> None:
        self.code = code
        self.name = result_name(code)
        self.meaning = detail or result_meaning(code)
        self.operation = operation
        where = "%s: " % operation if operation else ""
        super().__init__("%s%d %s (%s)" % (where, code, self.name, self.meaning))


class TimeoutError(VelmoraError, builtins.TimeoutError):  # noqa: A001 - deliberate
    """No reply arrived within the handle's time-out (1460, ERROR_TIMEOUT).

    Also a built-in ``TimeoutError``, so either name catches it.
    """


class NotConnectedError(VelmoraError, builtins.ConnectionError):
    """The connection to the device is down (2250, ERROR_NOT_CONNECTED).

    There is no reconnection: close the device and open it again.
    """


class NoWorkError(VelmoraError):
    """The device answered "NOWRK" (58): it had nothing to return.

    ``status`` is the device's "Status" number (see ``NOWORK_STATUS``): for
    example 2 when no packet has completed since the last fetch, 3 when the
    data store is empty. Polling loops catch this and try again later.
    """

    def __init__(self, code: int, operation: str = "", status: int = 0) -> None:
        self.status = status
        why = NOWORK_STATUS.get(status, "status %d" % status)
        super().__init__(code, operation, "the device had nothing to do: %s" % why)


class ConnectError(VelmoraError, builtins.ConnectionError):
    """Opening a connection failed (``NDX_Connect`` returned no handle).

    ``host`` and ``port`` (the TCP port number) say what was tried; ``code``
    is the library's reason, usually 1203 when nothing answers there. Also a
    built-in ``ConnectionError``.
    """

    def __init__(self, code: int, host: str, port: int) -> None:
        self.host = host
        self.port = port
        super().__init__(code, "NDX_Connect", "cannot connect to %s port %d: %s"
                         % (host, port, result_meaning(code)))


class ArgumentError(VelmoraError, builtins.ValueError):
    """A value the call can never take, refused before anything is sent.

    Also a built-in ``ValueError``. The message names the argument and the
    values it takes; ``argument`` is its name. ``code`` is the number the
    library gives for such a value: 24 (ERROR_BAD_LENGTH) for a count or
    setting out of range, 1413 (ERROR_INVALID_INDEX) for a digital line.
    """

    def __init__(self, why: str, code: int = _BAD_LENGTH, argument: str = "") -> None:
        self.argument = argument
        super().__init__(code, "", why)


class DataLossError(VelmoraError):
    """Samples were lost between two fetches of a stream: the host fell
    behind and the device overwrote packets nobody had fetched.

    ``samples`` is how many were lost (None when it cannot be told, for
    example after the acquisition was restarted elsewhere); ``index`` the
    index of the first lost sample and ``at`` its time in seconds from the
    start of acquisition.
    """

    def __init__(self, samples: Optional[int], index: int, at: float, why: str = "") -> None:
        self.samples = samples
        self.index = index
        self.at = at
        what = ("%d samples lost" % samples if samples is not None else "samples lost")
        message = "%s from sample %d (%.6f s after the start)%s" % (
            what, index, at, ": " + why if why else "")
        super().__init__(0, "stream", message)
        self.args = (message,)  # no library result number to show


class DataLossWarning(UserWarning):
    """Samples were lost between two fetches of a stream that warns."""


class SlowPacketWarning(UserWarning):
    """A stream's first packet takes longer than the run, or than a minute,
    to complete: nothing arrives before it does."""


_CLASSES: Dict[int, Type[VelmoraError]] = {
    _TIMEOUT: TimeoutError,
    _NOT_CONNECTED: NotConnectedError,
}


def error_for(code: int, operation: str = "", status: Optional[int] = None) -> VelmoraError:
    """The exception for a result number; ``status`` is used for "NOWRK"."""
    if code == _NO_WORK:
        return NoWorkError(code, operation, status or 0)
    return _CLASSES.get(code, VelmoraError)(code, operation)
