"""Finding and loading the shared library, with every function's prototype."""

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from pathlib import Path
from typing import Iterator, List, Optional, Tuple, Union

__all__ = ["Library", "load_library", "library_names"]

_WINDOWS = sys.platform == "win32"
# Only 32-bit Windows has a separate callee-cleans convention; there the
# stdcall VBNDX_ names are the ones a WinDLL must call.
_STDCALL = _WINDOWS and struct.calcsize("P") == 4

_I32 = ctypes.c_int32
_U32 = ctypes.c_uint32
_COUNT = ctypes.POINTER(ctypes.c_int32)
_HANDLE = ctypes.c_void_p
_BUFFER = ctypes.c_void_p

# Name after the prefix -> (result type, argument types), as in velmora.h.
_PROTOTYPES = {
    "Connect": (ctypes.c_void_p, [ctypes.c_char_p, _I32, _I32]),
    "SetFreq": (_I32, [_HANDLE, _I32]),
    "SetBlockSize": (_I32, [_HANDLE, _I32]),
    "Go": (_I32, [_HANDLE]),
    "SetTimeout": (_I32, [_HANDLE, _I32]),
    "GetData": (_I32, [_HANDLE, _COUNT, _BUFFER]),
    "PutData": (_I32, [_HANDLE, _COUNT, _BUFFER]),
    "Close": (_I32, [_HANDLE]),
    "GoClear": (_I32, [_HANDLE]),
    "Clear": (_I32, [_HANDLE]),
    "SetMDIO1": (_I32, [_HANDLE, _U32, _I32]),
    "SetAZero": (_I32, [_HANDLE, _I32]),
    "SetPacketBits": (_I32, [_HANDLE, _I32]),
    "GetAllPackets": (_I32, [_HANDLE, _COUNT, _BUFFER, _COUNT, _BUFFER]),
    "GetLatestPacketAndDiscard": (_I32, [_HANDLE, _COUNT, _BUFFER, _COUNT, _BUFFER]),
}


def library_names() -> List[str]:
    """File names the library has on this platform."""
    return ["VELMORA.dll"] if _WINDOWS else ["libvelmora.so"]


def _candidates() -> Iterator[str]:
    here = Path(__file__).resolve().parent
    for name in library_names():
        yield str(here / name)                           # inside the package
        yield str(here.parent / name)                    # beside the package
        yield str(here.parent.parent / "build" / name)   # this source tree's build
    for name in library_names():
        yield name                                       # the system loader's search
    found = ctypes.util.find_library("velmora") or ctypes.util.find_library("VELMORA")
    if found:
        yield found


class Library:
    """The loaded library: its 15 functions under their names without prefix
    (``lib.Connect``, ``lib.GetData``, ...) and the last-error value.

    ``path`` is what the library was loaded from.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        if _STDCALL:
            self._dll = ctypes.WinDLL(path, use_last_error=True)  # type: ignore[attr-defined]
            prefix = "VBNDX_"
        elif _WINDOWS:
            self._dll = ctypes.CDLL(path, use_last_error=True)
            prefix = "NDX_"
        else:
            self._dll = ctypes.CDLL(path)
            prefix = "NDX_"
        for name, (restype, argtypes) in _PROTOTYPES.items():
            function = getattr(self._dll, prefix + name)
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)
        if not _WINDOWS:
            self._get_last_error = self._dll.NDX_GetLastError
            self._get_last_error.restype = _I32
            self._get_last_error.argtypes = []

    def last_error(self) -> int:
        """The calling thread's last-error value as the library last set it:
        by Connect, or by a "NOWRK" reply (the device's "Status" number).
        Read it on the thread that made the call, straight after it."""
        if _WINDOWS:
            return ctypes.get_last_error()  # type: ignore[attr-defined]
        return int(self._get_last_error())

    def __repr__(self) -> str:
        return "<velmora.Library %r>" % self.path


_loaded: Optional[Library] = None
_load_lock = threading.Lock()


def _try_load(path: str) -> Tuple[Optional[Library], Optional[OSError]]:
    try:
        return Library(path), None
    except OSError as error:
        return None, error


def load_library(path: Union[str, "os.PathLike[str]", None] = None) -> Library:
    """Loads the library once per process and returns it.

    With ``path``, exactly that file. Otherwise the first that loads of: the
    file named by the environment variable VELMORA_LIBRARY (nothing else is
    tried when it is set), the library inside or beside this package, the
    one in this source tree's ``build`` folder, and the system loader's
    search (``libvelmora.so`` or ``VELMORA.dll``). Later calls without a
    path return the library loaded first.
    """
    global _loaded
    if path is not None:
        return Library(os.fspath(path))
    with _load_lock:
        if _loaded is not None:
            return _loaded
        override = os.environ.get("VELMORA_LIBRARY")
        if override:
            library, error = _try_load(override)
            if library is None:
                raise OSError("cannot load the velmora library named by VELMORA_LIBRARY "
                              "(nothing else is tried while it is set):\n  %s: %s"
                              % (override, error))
            _loaded = library
            return library
        tried = []
        for candidate in _candidates():
            if os.sep in candidate and not os.path.exists(candidate):
                tried.append("%s: no such file" % candidate)
                continue
            library, error = _try_load(candidate)
            if library is not None:
                _loaded = library
                return library
            tried.append("%s: %s" % (candidate, error))
        raise OSError("cannot find the velmora library; install the package with "
                      "`pip install .` from a checkout, or set VELMORA_LIBRARY to the "
                      "library's path. Tried:" + "".join("\n  " + t for t in tried))
