"""Recording a stream to files in the command-line tool's formats, so that
`velmora info FILE` and every reader of the tool's recordings take them:

  raw FILE       the samples' bytes as the device sent them (ceil(bits / 8)
                 bytes each, little-endian), back to back;
  FILE.json      its side file: every setting, where and when, how the run
                 ended, every loss and where it falls in FILE;
  HDF5           /samples (unsigned, 1, 2, 4 or 8 bytes; chunked, shuffled,
                 deflated), /stamps (time_us, packet, offset, position,
                 first_sample per reply), /lost (first_sample, samples per
                 gap) and the same settings and outcome as root attributes;
                 around them the NeXus objects the tool writes (/entry with
                 the samples against time, the settings and the logs).

The HDF5 file is written through h5py. Both are flushed at least once a
second, so what was recorded before an interruption stays readable.
"""

import json
import os
import time
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

from . import _nexus
from . import stream as _stream
from ._nexus import stored_sample_bytes
from .errors import ArgumentError, DataLossError
from .stream import Block

__all__ = ["record", "side_file_path", "stored_sample_bytes"]

Path = Union[str, "os.PathLike[str]"]

# The recording's own words for how it ended, as the tool writes them.
COMPLETE, INTERRUPTED, STOPPED_ON_LOSS = "complete", "interrupted", "stopped on loss"
_MAX_KEPT_GAPS = 1000  # in the side file; /lost has every gap
_FLUSH_SECONDS = 1.0


def side_file_path(raw: Path) -> str:
    """The side file of a raw recording: FILE.json beside FILE."""
    return os.fspath(raw) + ".json"


def record(device: Any, seconds: Optional[float] = None, *, raw: Optional[Path] = None,
           h5: Optional[Path] = None, side_file: bool = True, on_loss: str = "warn",
           start: bool = True, keep_running: bool = False, frequency: Optional[int] = None,
           bits: Optional[int] = None, block_size: Optional[int] = None) -> Iterator[Block]:
    """Streams from ``device`` as :meth:`Device.stream` does, writing what
    it yields to ``raw`` (with its side file ``raw + ".json"`` unless
    ``side_file`` is False) and/or ``h5`` as it goes; yields the same
    :class:`Block` s, so a loop can show or process them meanwhile::

        for block in velmora.record(dev, 10.0, raw="run.bin", h5="run.h5"):
            print(block.index, block.lost)

    The files are created when the first block is asked for and finished
    when the loop ends, however it ends; their "ended" field says how
    (complete, interrupted, stopped on loss, failed: why). HDF5 needs h5py
    (ImportError naming it when missing, before anything is sent).
    """
    if raw is None and h5 is None:
        raise ArgumentError("record needs raw= or h5= (or both): where to write", argument="raw")
    h5py = _import_h5py() if h5 is not None else None
    run = _stream._prepare(device, seconds, on_loss, frequency, bits, block_size, stacklevel=4)
    info = _settings(device, run, start)
    return _recording(device, run, on_loss, start, keep_running, info, raw, side_file, h5, h5py)


def _import_h5py() -> Any:
    try:
        import h5py
    except ImportError as error:
        raise ImportError("HDF5 recordings need the h5py package (pip install h5py, or "
                          "Debian's python3-h5py); without it, record to raw= alone") from error
    return h5py


def _settings(device: Any, run: "_stream._Run", start: bool) -> Dict[str, Any]:
    from . import __version__

    lines = sorted((line, on) for line, on in device.lines.items() if line != 0)
    azero = device.auto_zero
    return {
        "host": device.host, "channel": device.port, "frequency_hz": run.hz,
        "packet_bits": device.packet_bits, "sample_bytes": run.width, "block_bytes": run.block,
        "azero": "not sent" if azero is None else "on" if azero else "off",
        "lines": lines, "mode": "all", "attach": not start,
        # The library has no version call of its own: package and library
        # are built from one source with one version.
        "tool_version": "python " + __version__, "library_version": __version__,
        "target_samples": run.limit or 0,
    }


def _recording(device: Any, run: "_stream._Run", on_loss: str, start: bool, keep_running: bool,
               info: Dict[str, Any], raw: Optional[Path], side_file: bool, h5: Optional[Path],
               h5py: Any) -> Iterator[Block]:
    files = _Files(info, raw, side_file, h5, h5py)
    blocks = _stream._blocks(device, run, on_loss, start, keep_running, files.reply)
    ended = "failed: unknown"
    try:
        for block in blocks:
            files.samples(block)
            yield block
        ended = COMPLETE
    except GeneratorExit:
        # The caller left the loop: an open-ended run ends that way.
        ended = INTERRUPTED if run.limit is not None else COMPLETE
        raise
    except KeyboardInterrupt:
        ended = INTERRUPTED
        raise
    except DataLossError as error:
        ended = STOPPED_ON_LOSS if error.samples is not None else "failed: %s" % error
        raise
    except BaseException as error:
        ended = "failed: %s" % error
        raise
    finally:
        try:
            blocks.close()  # stops what it started, now rather than when collected
        finally:
            files.finish(ended)


class _Files:
    """The open files of one recording and the counts they describe."""

    def __init__(self, info: Dict[str, Any], raw: Optional[Path], side_file: bool,
                 h5: Optional[Path], h5py: Any) -> None:
        self.info = dict(info, start_time_utc=_utc_now(), ended="recording", first_sample=0,
                         samples=0, lost_samples=0, bytes=0, replies=0, seconds=0.0)
        self.gaps: List[Tuple[int, int, float, int]] = []  # first, samples, time, raw offset
        self._started = time.monotonic()
        self._flushed = self._started
        self._raw_path = None if raw is None else os.fspath(raw)
        self._side = self._raw_path is not None and side_file
        self._raw = None if raw is None else open(raw, "wb")
        self._h5 = None
        try:
            if self._side:
                self._write_side_file()
            if h5 is not None:
                self._h5 = _H5(h5py, os.fspath(h5), self.info)
        except BaseException:
            self.close()
            raise

    def reply(self, time_us: int, offset: int, index: int, lost: int, payload: Any) -> None:
        info = self.info
        if lost:
            first = index - lost
            gap = (first, lost, first / info["frequency_hz"], info["bytes"])
            info["lost_samples"] += lost
            if len(self.gaps) < _MAX_KEPT_GAPS:
                self.gaps.append(gap)
            if self._h5 is not None:
                self._h5.gap(first, lost)
        info["replies"] += 1
        if not len(payload):
            return
        if info["samples"] == 0:
            info["first_sample"] = index
        if self._h5 is not None:
            self._h5.stamp((time_us, offset // info["block_bytes"], offset, info["samples"], index))
        if self._raw is not None:
            self._raw.write(payload)
        info["bytes"] += len(payload)
        info["samples"] += len(payload) // info["sample_bytes"]

    def samples(self, block: Block) -> None:
        if self._h5 is not None:
            self._h5.samples(block.samples, block.index)
        now = time.monotonic()
        if now - self._flushed >= _FLUSH_SECONDS:
            self._flushed = now
            self.flush()

    def flush(self) -> None:
        if self._raw is not None:
            self._raw.flush()
        if self._h5 is not None:
            self._h5.flush()

    def finish(self, ended: str) -> None:
        self.info["ended"] = ended
        self.info["seconds"] = time.monotonic() - self._started
        try:
            if self._h5 is not None:
                self._h5.finish(self.info)
            if self._raw is not None:
                self._raw.close()
            if self._side:
                self._write_side_file()
        finally:
            self.close()

    def close(self) -> None:
        h5, self._h5 = self._h5, None
        if h5 is not None:
            h5.close()
        if self._raw is not None:
            self._raw.close()

    def _write_side_file(self) -> None:
        assert self._raw_path is not None
        path = side_file_path(self._raw_path)
        text = json.dumps(self._side_json(), indent=2, ensure_ascii=False) + "\n"
        # Whole under another name first: an interruption leaves the last
        # complete version in place.
        partial = path + ".part"
        with open(partial, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(partial, path)

    def _side_json(self) -> Dict[str, Any]:
        i = self.info
        return {
            "format": "velmora recording",
            "settings": {
                "frequency_hz": i["frequency_hz"], "packet_bits": i["packet_bits"],
                "sample_bytes": i["sample_bytes"], "block_bytes": i["block_bytes"],
                "azero": i["azero"], "lines": [{"line": l, "on": on} for l, on in i["lines"]],
                "mode": i["mode"], "attach": i["attach"]},
            "device": {"host": i["host"], "channel": i["channel"]},
            "start_time_utc": i["start_time_utc"],
            "tool_version": i["tool_version"],
            "library_version": i["library_version"],
            "ended": i["ended"],
            "first_sample": i["first_sample"],
            "samples": i["samples"],
            "target_samples": i["target_samples"],
            "lost_samples": i["lost_samples"],
            "gaps": [{"first_sample": f, "samples": n, "time_s": t, "raw_offset": at}
                     for f, n, t, at in self.gaps],
            "bytes": i["bytes"],
            "replies": i["replies"],
            "seconds": i["seconds"],
            "raw_file": self._raw_path,
        }


class _H5:
    """The HDF5 file of one device, in the tool's NeXus layout."""

    def __init__(self, h5py: Any, path: str, info: Dict[str, Any]) -> None:
        self._file = h5py.File(path, "w")
        try:
            self._writer = _nexus.DeviceWriter(h5py, self._file, info)
        except BaseException:
            self._file.close()
            raise

    def samples(self, values: Any, index: int) -> None:
        self._writer.samples(values, index)

    def stamp(self, row: Tuple[int, ...]) -> None:
        self._writer.stamp(row)

    def gap(self, first: int, samples: int) -> None:
        self._writer.gap(first, samples)

    def flush(self) -> None:
        self._writer.flush()

    def finish(self, info: Dict[str, Any]) -> None:
        self._writer.finish(info)
        self.close()

    def close(self) -> None:
        if self._file.id.valid:
            self._file.close()


_utc_now = _nexus.utc_now
