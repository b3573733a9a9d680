"""A group's run written to one HDF5 file in the tool's group layout, by the
consumer alone: the workers never touch the file, so a worker that dies
cannot damage it, and each sample is copied once from the ring into the
file's chunk buffer."""

import os
from typing import Any, Dict, List, Optional

from . import _nexus

_FLUSH_SECONDS = 1.0


def record(group: Any, path: "os.PathLike[str] | str", seconds: Optional[float],
           on_item: Any = None) -> List[Any]:
    from .recording import _import_h5py
    import time

    h5py = _import_h5py()
    f = _nexus.create_group_file(h5py, os.fspath(path), len(group.devices))
    infos = [_info(d, seconds) for d in group.devices]
    writers: List[Optional[_nexus.DeviceWriter]] = [None] * len(group.devices)
    started = _nexus.utc_now()
    ended = "complete"
    flushed = time.monotonic()
    try:
        for position, info in enumerate(infos):
            writers[position] = _nexus.DeviceWriter(h5py, f, info, position)
        for item in group.stream(seconds):
            writer, info = writers[item.device], infos[item.device]
            device = group.devices[item.device]
            if not info["begun"] and device.start_time is not None:
                info["begun"] = True
                writer.begin(device.start_time)  # the logs count from here
            if hasattr(item, "samples"):
                _block(writer, info, item)
            else:
                _outage(writer, info, item)
            if on_item is not None:
                on_item(item)
            now = time.monotonic()
            if now - flushed >= _FLUSH_SECONDS:
                flushed = now
                for w in writers:
                    w.flush()
    except KeyboardInterrupt:
        ended = "interrupted"
        raise
    except BaseException as error:
        ended = "failed: %s" % error
        raise
    finally:
        for device, info, writer in zip(group.devices, infos, writers):
            if writer is None:
                continue
            info["ended"] = _outcome(device, ended)
            if device.start_time is not None:
                info["start_time_utc"] = _nexus.utc_of(device.start_time)
                info["seconds"] = time.time() - device.start_time
            writer.finish(info)
        starts = [d.start_time for d in group.devices if d.start_time is not None]
        if starts:
            started = _nexus.utc_of(min(starts))
        _nexus.finish_group_file(f, started, group.start_spread or 0.0)
    return group.devices


def _info(device: Any, seconds: Optional[float]) -> Dict[str, Any]:
    from . import __version__
    from .samples import sample_width

    settings = device.settings
    hz = settings["frequency"]
    return {
        "host": device.host, "channel": device.channel, "frequency_hz": hz,
        "packet_bits": settings["bits"], "sample_bytes": sample_width(settings["bits"]),
        "block_bytes": settings["block_size"], "azero": "not sent", "lines": [], "mode": "all",
        "attach": False, "tool_version": "python " + __version__,
        "library_version": __version__,
        "target_samples": round(seconds * hz) if seconds is not None else 0,
        "start_time_utc": _nexus.utc_now(), "ended": "recording", "first_sample": 0,
        "samples": 0, "lost_samples": 0, "bytes": 0, "replies": 0, "seconds": 0.0,
        "begun": False,
    }


def _block(writer: Any, info: Dict[str, Any], block: Any) -> None:
    width = info["sample_bytes"]
    if block.lost:
        writer.gap(block.index - block.lost, block.lost)
        info["lost_samples"] += block.lost
    count = len(block.samples)
    if not count:
        return
    if info["samples"] == 0:
        info["first_sample"] = block.index
    # The workers pass blocks, not replies: a block's stamp is placed by its
    # first sample, which the device's time stamp located.
    offset = block.index * width
    writer.stamp((round(block.index * 1e6 / info["frequency_hz"]),
                  offset // info["block_bytes"], offset, info["samples"], block.index),
                 block.t_host)
    writer.samples(block.samples, block.index)
    info["replies"] += 1
    info["samples"] += count
    info["bytes"] += count * width


def _outage(writer: Any, info: Dict[str, Any], gap: Any) -> None:
    writer.gap(gap.resume_index - gap.missed, gap.missed, gap.began, gap.ended, True)
    info["lost_samples"] += gap.missed


def _outcome(device: Any, ended: str) -> str:
    if device.state == "failed":
        return "failed: %s" % (device.error or "result %s" % device.last_result)
    if device.state == "stopped" or ended != "complete":
        return "interrupted" if ended in ("complete", "interrupted") else ended
    return "complete"
