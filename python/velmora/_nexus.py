"""The HDF5 recording of one device, as the command-line tool writes it, in
a file of its own or as one device of a group file.

A single file keeps /samples, /stamps, /lost and the settings as root
attributes (readers of the earliest files rely on them) and adds the NeXus
objects around them: /entry/data plots the samples against time through a
hard link, /entry/instrument/device holds the settings as datasets and the
reply and gap logs. In a group file each device's samples live in
/entry/device<i>, and its stamps, losses, logs and settings in
/entry/instrument/device<i>.
"""

import datetime
import time
from typing import Any, Dict, List, Optional, Tuple

__all__ = ["DeviceWriter", "create_group_file", "finish_group_file", "nexus_time", "utc_now",
           "stored_sample_bytes"]

SAMPLE_CHUNK = 1 << 16
_STAMP_COLUMNS = ("time_us", "packet", "offset", "position", "first_sample")
_LOST_COLUMNS = ("first_sample", "samples")
_SETTING_INTS = ("frequency_hz", "packet_bits", "sample_bytes", "block_bytes", "channel")
_OUTCOME_INTS = ("first_sample", "samples", "target_samples", "lost_samples", "bytes", "replies")
_SETTING_TEXTS = ("azero", "mode", "host")
_OTHER_TEXTS = ("start_time_utc", "tool_version", "library_version", "ended")
# Shuffling groups bytes of equal significance: slowly changing samples
# then deflate far better.
_PACKED = {"shuffle": True, "compression": "gzip", "compression_opts": 1}


def stored_sample_bytes(sample_bytes: int) -> int:
    """The width HDF5 stores a sample of ``sample_bytes`` with: 1, 2, 4 or 8."""
    return 1 if sample_bytes <= 1 else 2 if sample_bytes <= 2 else 4 if sample_bytes <= 4 else 8


def utc_now() -> str:
    now = datetime.datetime.now(datetime.timezone.utc)
    return now.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (now.microsecond // 1000)


def utc_of(seconds: float) -> str:
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (moment.microsecond // 1000)


def nexus_time(utc: str) -> str:
    """NeXus wants the offset spelled out."""
    return utc[:-1] + "+00:00" if utc.endswith("Z") else utc


def _lines_text(lines: List[Tuple[int, bool]]) -> str:
    return " ".join("%d=%s" % (line, "on" if on else "off") for line, on in lines)


def _root(f: Any, default: str) -> None:
    from . import __version__

    f.attrs["NX_class"] = "NXroot"
    f.attrs["default"] = default
    f.attrs["creator"] = "velmora " + __version__
    f.attrs["file_time"] = nexus_time(utc_now())


def _nx_group(where: Any, name: str, nx_class: str) -> Any:
    group = where.create_group(name)
    group.attrs["NX_class"] = nx_class
    return group


def _scalar(where: Any, name: str, value: Any) -> None:
    if name in where:
        del where[name]
    where[name] = value


def create_group_file(h5py: Any, path: str, devices: int) -> Any:
    f = h5py.File(path, "w")
    _root(f, "entry")
    f.attrs["devices"] = devices
    entry = _nx_group(f, "entry", "NXentry")
    entry.attrs["default"] = "device0"
    _scalar(entry, "start_time", nexus_time(utc_now()))
    _scalar(entry, "end_time", nexus_time(utc_now()))
    _nx_group(entry, "instrument", "NXinstrument")
    f.flush()
    return f


def finish_group_file(f: Any, start_utc: str, start_spread_s: float) -> None:
    entry = f["entry"]
    _scalar(entry, "start_time", nexus_time(start_utc))
    _scalar(entry, "end_time", nexus_time(utc_now()))
    _scalar(entry, "start_spread_s", float(start_spread_s))
    entry["start_spread_s"].attrs["units"] = "s"
    f.close()


class DeviceWriter:
    """One device's datasets, appended to as the run goes. ``index`` None
    makes a single-device file of ``f``; else device ``index`` of a group
    file made by :func:`create_group_file`."""

    def __init__(self, h5py: Any, f: Any, info: Dict[str, Any], index: Optional[int] = None) -> None:
        import numpy

        self._numpy = numpy
        self._file = f
        self._single = index is None
        text = h5py.string_dtype("utf-8")
        self._dtype = numpy.dtype("<u%d" % stored_sample_bytes(info["sample_bytes"]))
        self._hz = info["frequency_hz"] or 1
        if self._single:
            _root(f, "entry")
            self._entry = _nx_group(f, "entry", "NXentry")
            self._entry.attrs["default"] = "data"
            _scalar(self._entry, "start_time", nexus_time(utc_now()))
            _scalar(self._entry, "end_time", nexus_time(utc_now()))
            self._data = _nx_group(self._entry, "data", "NXdata")
            instrument = _nx_group(self._entry, "instrument", "NXinstrument")
            self._collection = _nx_group(instrument, "device", "NXcollection")
            samples_at, stamps_at, self._attrs_at = f, f, f
        else:
            entry = f["entry"]
            self._data = _nx_group(entry, "device%d" % index, "NXdata")
            self._collection = _nx_group(entry["instrument"], "device%d" % index, "NXcollection")
            samples_at, stamps_at, self._attrs_at = self._data, self._collection, self._collection
        self._samples = samples_at.create_dataset("samples", (0,), self._dtype, maxshape=(None,),
                                                  chunks=(SAMPLE_CHUNK,), **_PACKED)
        self._stamps = stamps_at.create_dataset("stamps", (0, 5), "<u8", maxshape=(None, 5),
                                                chunks=(1024, 5), **_PACKED)
        self._stamps.attrs["columns"] = numpy.array(_STAMP_COLUMNS, dtype=text)
        self._lost = stamps_at.create_dataset("lost", (0, 2), "<u8", maxshape=(None, 2),
                                              chunks=(256, 2))
        self._lost.attrs["columns"] = numpy.array(_LOST_COLUMNS, dtype=text)
        self._replies = _Log(self._collection, "reply_times", numpy, ("time", "<f8", 1024),
                             ("value", "<u8", 1024))
        self._gaps = _Log(self._collection, "gaps", numpy, ("time", "<f8", 256),
                          ("end_time", "<f8", 256), ("value", "<u8", 256),
                          ("first_sample", "<u8", 256), ("estimated", "u1", 256))
        if "samples" not in self._data:
            self._data["samples"] = self._samples  # a hard link: the same data
        self._data.attrs["signal"] = "samples"
        self._data.attrs["axes"] = "time"
        # (position in the samples, index in the stream) where each
        # unbroken stretch starts: the time axis is made from them.
        self._segments: List[Tuple[int, int]] = []
        self._written = 0
        self._pending = numpy.empty(SAMPLE_CHUNK, self._dtype)
        self._pending_count = 0
        self._stamp_rows: List[Tuple[int, ...]] = []
        self._lost_rows: List[Tuple[int, int]] = []
        self._started = time.time()
        self._write_time_axis()
        self._describe(info)
        self.flush()

    def begin(self, host_time: float) -> None:
        """The acquisition started at ``host_time`` (``time.time()``): the logs count from it."""
        self._started = host_time

    def samples(self, values: Any, index: int) -> None:
        """``values`` whose first is sample ``index`` of the stream."""
        if not len(values):
            return
        segments = self._segments
        if not segments or segments[-1][1] + (self._written - segments[-1][0]) != index:
            segments.append((self._written, index))
        self._written += len(values)
        # Copied into the chunk buffer at once: ``values`` may be a view of
        # memory that is reused as soon as this returns.
        at, count = 0, len(values)
        while at < count:
            n = min(count - at, SAMPLE_CHUNK - self._pending_count)
            self._pending[self._pending_count:self._pending_count + n] = values[at:at + n]
            self._pending_count += n
            at += n
            if self._pending_count == SAMPLE_CHUNK:
                self._write_samples()

    def stamp(self, row: Tuple[int, ...], host_time: Optional[float] = None) -> None:
        """A reply: (time_us, packet, offset, position, first_sample)."""
        self._stamp_rows.append(row)
        now = time.time() if host_time is None else host_time
        self._replies.add(now - self._started, row[4])

    def gap(self, first: int, samples: int, began: Optional[float] = None,
            ended: Optional[float] = None, estimated: bool = False) -> None:
        """Samples lost (the device's stamps show them) or, ``estimated``,
        missed during an outage from ``began`` to ``ended`` (host clock)."""
        now = time.time()
        began = now if began is None else began
        ended = began if ended is None else ended
        self._lost_rows.append((first, samples))
        self._gaps.add(began - self._started, ended - self._started, samples, first,
                       1 if estimated else 0)

    def flush(self) -> None:
        self._write_samples()
        numpy = self._numpy
        for dataset, rows, columns in ((self._stamps, self._stamp_rows, 5),
                                       (self._lost, self._lost_rows, 2)):
            if rows:
                _append(dataset, numpy.array(rows, "<u8").reshape(-1, columns))
                rows.clear()
        self._replies.flush()
        self._gaps.flush()
        if self._single:
            _scalar(self._entry, "end_time", nexus_time(utc_now()))
        self._file.flush()

    def finish(self, info: Dict[str, Any]) -> None:
        self.flush()
        self._describe(info)
        if self._single:
            _scalar(self._entry, "start_time", nexus_time(info["start_time_utc"]))
        self._write_time_axis()
        self._file.flush()

    def _write_samples(self) -> None:
        if self._pending_count:
            _append(self._samples, self._pending[:self._pending_count])
            self._pending_count = 0

    def _write_time_axis(self) -> None:
        numpy, data = self._numpy, self._data
        if "time" in data:
            del data["time"]
        segments, n = self._segments, self._written
        # Two samples with a two-value axis would read as two times, not a calibration.
        if len(segments) <= 1 and n != 2:
            first = segments[0][1] / self._hz if segments else 0.0
            data["time"] = numpy.array([first, 1.0 / self._hz])
        else:
            axis = data.create_dataset("time", (n,), "<f8", chunks=(min(SAMPLE_CHUNK, max(n, 1)),),
                                       compression="gzip", compression_opts=1)
            bounds = [position for position, _ in segments[1:]] + [n]
            for (position, index), end in zip(segments, bounds):
                for at in range(position, end, SAMPLE_CHUNK):
                    stop = min(at + SAMPLE_CHUNK, end)
                    axis[at:stop] = (index + numpy.arange(at - position, stop - position)) / self._hz
        data["time"].attrs["units"] = "s"

    def _describe(self, i: Dict[str, Any]) -> None:
        numpy, attrs, c = self._numpy, self._attrs_at.attrs, self._collection
        stored = stored_sample_bytes(i["sample_bytes"])
        for name in _SETTING_INTS + _OUTCOME_INTS:
            attrs[name] = numpy.int64(i[name])
        attrs["stored_sample_bytes"] = numpy.int64(stored)
        attrs["attach"] = numpy.int64(1 if i["attach"] else 0)
        attrs["seconds"] = numpy.float64(i["seconds"])
        attrs["lines"] = _lines_text(i["lines"])
        for name in _SETTING_TEXTS + _OTHER_TEXTS:
            attrs[name] = str(i[name])
        for name in _SETTING_INTS:
            _scalar(c, name, numpy.int64(i[name]))
        _scalar(c, "stored_sample_bytes", numpy.int64(stored))
        _scalar(c, "attach", numpy.int64(1 if i["attach"] else 0))
        _scalar(c, "lines", _lines_text(i["lines"]))
        for name in _SETTING_TEXTS:
            _scalar(c, name, str(i[name]))
        _scalar(c, "start_time", nexus_time(i["start_time_utc"]))
        _scalar(c, "ended", str(i["ended"]))
        start = nexus_time(i["start_time_utc"])
        self._replies.group.attrs["start"] = start
        self._gaps.group.attrs["start"] = start


class _Log:
    """An NXlog whose columns grow together."""

    def __init__(self, where: Any, name: str, numpy: Any, *columns: Tuple[str, str, int]) -> None:
        self._numpy = numpy
        self.group = _nx_group(where, name, "NXlog")
        self._sets = []
        for column, dtype, chunk in columns:
            dataset = self.group.create_dataset(column, (0,), dtype, maxshape=(None,),
                                                chunks=(chunk,))
            if column in ("time", "end_time"):
                dataset.attrs["units"] = "s"
            self._sets.append(dataset)
        self._rows: List[Tuple[Any, ...]] = []

    def add(self, *row: Any) -> None:
        self._rows.append(row)

    def flush(self) -> None:
        if self._rows:
            for dataset, values in zip(self._sets, zip(*self._rows)):
                _append(dataset, self._numpy.array(values, dataset.dtype))
            self._rows.clear()


def _append(dataset: Any, rows: Any) -> None:
    if len(rows):
        at = dataset.shape[0]
        dataset.resize(at + len(rows), axis=0)
        dataset[at:] = rows
