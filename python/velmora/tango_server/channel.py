"""The Tango device class: one device channel per Tango device."""

import time
from typing import Any, Callable, Iterable

import numpy
import tango
from tango import AttrQuality, AttrWriteType, DevState
from tango.server import Device, attribute, command, device_property

from ..device import MAX_BLOCK_SIZE
from ..errors import VelmoraError, result_meaning, result_name
from .link import FAULT, ON, RUNNING, Batch, Link, clamp_frequency

MAX_SAMPLES = 1_000_000  # longest Samples value; one event carries at most this
EVENT_INTERVAL = 0.05  # seconds between two data events at most 20 a second
_STATES = {ON: DevState.ON, RUNNING: DevState.RUNNING, FAULT: DevState.FAULT}
# Attributes the link thread pushes change and archive events for.
_DATA = ("SamplesFirstIndex", "SamplesFirstTime", "SamplesLostBefore", "Samples")
_COUNTERS = {"AcquisitionRate": "rate", "PacketsReceived": "packets",
             "SamplesReceived": "samples", "SamplesLost": "lost", "Outages": "outages"}
_RESULT = ("LastResult", "LastResultName", "LastResultMeaning")


def _refuse(reason: str, description: str, origin: str) -> None:
    tango.Except.throw_exception(reason, description, origin)


def _setting(**keywords: Any) -> attribute:
    return attribute(access=AttrWriteType.READ_WRITE, memorized=True, hw_memorized=True,
                     **keywords)


class VelmoraChannel(Device):
    """One channel of a data-acquisition device, in one direction. State ON:
    connected and idle; RUNNING: acquiring; FAULT: the link is down (Status
    says why) and the server is reconnecting by itself."""

    host = device_property(dtype=str, mandatory=True, doc="device host name or dotted IPv4 address")
    channel = device_property(dtype=int, default_value=0, doc="channel (port index), 0 to 15")
    direction = device_property(dtype=str, default_value="input", doc="input or output")
    reply_timeout_ms = device_property(dtype=int, default_value=2000,
                                       doc="reply time-out of each request, milliseconds")

    # -- lifetime ----------------------------------------------------------

    def init_device(self) -> None:
        super().init_device()
        self._batch = Batch(numpy.zeros(0, numpy.uint64), 0, 0.0, 0, {})
        for name in ("State", "Status") + _DATA + tuple(_COUNTERS) + _RESULT:
            self.set_change_event(name, True, False)
            self.set_archive_event(name, True, False)
        if self.direction.strip().lower() not in ("input", "in", "output", "out"):
            self._set_state(FAULT, "property direction is %r: set it to input or output, then Init"
                            % self.direction)
            self.link = None
            return
        if not 0 <= self.channel <= 15:
            self._set_state(FAULT, "property channel is %d: set it to 0 to 15, then Init"
                            % self.channel)
            self.link = None
            return
        self.link = Link(self.host, self.channel, self.direction.strip().lower(),
                         max(1, self.reply_timeout_ms), self._set_state, self._publish,
                         MAX_SAMPLES, EVENT_INTERVAL, thread_context=tango.EnsureOmniThread)
        self._set_state(FAULT, "connecting to %s" % self.link.where())
        self.link.open()

    def delete_device(self) -> None:
        link, self.link = getattr(self, "link", None), None
        if link is not None:
            link.close()

    # -- what the link thread reports --------------------------------------

    def _set_state(self, state: str, status: str) -> None:
        self.set_state(_STATES[state])
        self.set_status(status)
        for name in ("State", "Status"):
            self.push_change_event(name)
            self.push_archive_event(name)

    def _publish(self, batch: Batch) -> None:
        self._batch = batch
        stamp = time.time()
        values = (batch.index, batch.t0, batch.lost_before,
                  numpy.asarray(batch.samples, numpy.uint64))
        self._push(zip(_DATA, values), stamp)
        self._push(((name, batch.counters[key]) for name, key in _COUNTERS.items()), stamp)
        self._push(zip(_RESULT, self._result()), stamp)

    def _push(self, pairs: Iterable, stamp: float) -> None:
        # One time stamp for a whole batch: a client matches the index,
        # time and samples of one block by it.
        for name, value in pairs:
            self.push_change_event(name, value, stamp, AttrQuality.ATTR_VALID)
            self.push_archive_event(name, value, stamp, AttrQuality.ATTR_VALID)

    def _result(self) -> tuple:
        code = self.link.last_result if self.link else 0
        return code, result_name(code), result_meaning(code)

    # -- guards ------------------------------------------------------------

    def _require(self, command_name: str, *states: str) -> Link:
        link = self.link
        if link is None or link.state not in states:
            state = link.state if link else FAULT
            status = link.status if link else self.get_status()
            _refuse("VELMORA_WrongState", "%s needs state %s; the device is %s (%s)"
                    % (command_name, " or ".join(states), state, status), command_name)
        return link

    def _library(self, operation: str, function: Callable, *args: Any) -> Any:
        try:
            return self.link.call(function, *args)
        except VelmoraError as error:
            _refuse("VELMORA_%s" % result_name(error.code), str(error), operation)

    # -- settings: what was sent, after clamping ----------------------------

    def _write(self, name: str, value: Any, send: Callable[[Any], None]) -> None:
        link = self._require("writing " + name, ON, RUNNING, FAULT)
        if link.state == RUNNING and name in ("Frequency", "BitsPerSample", "BlockSize"):
            _refuse("VELMORA_WrongState", "%s is taken when acquisition starts: Stop, write it, "
                    "then Start" % name, "write " + name)
        if link.device is not None:
            self._library("write " + name, send, value)

    Frequency = _setting(dtype=tango.DevLong64, unit="Hz", min_value=1,
                         doc="sample rate sent (rates above 40 MHz are clamped to it)")

    def read_Frequency(self) -> int:
        return self.link.settings.frequency or 0 if self.link else 0

    def write_Frequency(self, value: int) -> None:
        self._write("Frequency", value, lambda v: self.link.device.set_frequency(v))
        self.link.settings.frequency = clamp_frequency(value)

    BitsPerSample = _setting(dtype=int, min_value=1, max_value=64, doc="bits per sample sent")

    def read_BitsPerSample(self) -> int:
        return self.link.settings.bits or 0 if self.link else 0

    def write_BitsPerSample(self, value: int) -> None:
        self._write("BitsPerSample", value, lambda v: self.link.device.set_packet_bits(v))
        self.link.settings.bits = value

    BlockSize = _setting(dtype=int, unit="B", min_value=1, max_value=MAX_BLOCK_SIZE,
                         doc="packet size sent, bytes")

    def read_BlockSize(self) -> int:
        return self.link.settings.block_size or 0 if self.link else 0

    def write_BlockSize(self, value: int) -> None:
        self._write("BlockSize", value, lambda v: self.link.device.set_block_size(v))
        self.link.settings.block_size = value

    AutoZero = _setting(dtype=bool, doc="auto-zero (digital line 0) sent")

    def read_AutoZero(self) -> bool:
        return bool(self.link and self.link.settings.auto_zero)

    def write_AutoZero(self, value: bool) -> None:
        self._write("AutoZero", value, lambda v: self.link.device.set_auto_zero(v))
        self.link.settings.auto_zero = bool(value)

    DigitalLines = _setting(dtype=tango.DevULong,
                            doc="digital lines 1 to 31 sent, bit n for line n (bit 0, auto-zero, "
                                "is AutoZero's)")

    def read_DigitalLines(self) -> int:
        return self.link.settings.lines & ~1 if self.link else 0

    def write_DigitalLines(self, value: int) -> None:
        def send(mask: int) -> None:
            device, settings = self.link.device, self.link.settings
            for line in range(1, 32):
                on = bool(mask >> line & 1)
                if not settings.lines_sent or on != bool(settings.lines >> line & 1):
                    device.set_digital_line(line, on)
        self._write("DigitalLines", value, send)
        self.link.settings.lines = value & ~1
        self.link.settings.lines_sent = True

    # -- the newest block and the counters ---------------------------------

    @attribute(dtype=(tango.DevULong64,), max_dim_x=MAX_SAMPLES,
               doc="newest samples published, contiguous, at most 1,000,000")
    def Samples(self) -> Any:
        return numpy.asarray(self._batch.samples, numpy.uint64)

    @attribute(dtype=tango.DevLong64, doc="index of the first of Samples")
    def SamplesFirstIndex(self) -> int:
        return self._batch.index

    @attribute(dtype=float, unit="s", doc="time of the first of Samples from the start")
    def SamplesFirstTime(self) -> float:
        return self._batch.t0

    @attribute(dtype=tango.DevLong64, doc="samples lost just before Samples")
    def SamplesLostBefore(self) -> int:
        return self._batch.lost_before

    def _counter(self, key: str) -> Any:
        return self.link.counters[key] if self.link else 0

    @attribute(dtype=float, unit="samples/s", doc="samples received per second, last second")
    def AcquisitionRate(self) -> float:
        return float(self._counter("rate"))

    @attribute(dtype=tango.DevLong64, doc="whole packets received since the server started")
    def PacketsReceived(self) -> int:
        return int(self._counter("packets"))

    @attribute(dtype=tango.DevLong64, doc="samples received since the server started")
    def SamplesReceived(self) -> int:
        return int(self._counter("samples"))

    @attribute(dtype=tango.DevLong64,
               doc="samples lost: overwritten by the device, or estimated for a link outage")
    def SamplesLost(self) -> int:
        return int(self._counter("lost"))

    @attribute(dtype=tango.DevLong64, doc="times the link dropped")
    def Outages(self) -> int:
        return int(self._counter("outages"))

    @attribute(dtype=int, doc="result number of the last library call, 0 for success")
    def LastResult(self) -> int:
        return self._result()[0]

    @attribute(dtype=str)
    def LastResultName(self) -> str:
        return self._result()[1]

    @attribute(dtype=str)
    def LastResultMeaning(self) -> str:
        return self._result()[2]

    # -- commands ----------------------------------------------------------

    @command(doc_in="starts acquisition with the settings sent; one running goes on")
    def Start(self) -> None:
        link = self._require("Start", ON)
        self._library("Start", link.start, False)

    @command(doc_in="discards what was acquired and starts afresh at sample 0")
    def StartCleared(self) -> None:
        link = self._require("StartCleared", ON)
        self._library("StartCleared", link.start, True)

    @command(doc_in="stops acquisition and discards what was acquired")
    def Stop(self) -> None:
        link = self._require("Stop", RUNNING)
        self._library("Stop", link.stop)

    @command(dtype_in=int, doc_in="most bytes to take from the data store (input)",
             dtype_out=(tango.DevUChar,), doc_out="the bytes taken, oldest first")
    def ReadBlock(self, max_bytes: int) -> Any:
        link = self._require("ReadBlock", ON, RUNNING)
        if not link.device.is_input:
            _refuse("VELMORA_WrongDirection", "ReadBlock needs an input device; this one's "
                    "direction property is output", "ReadBlock")
        if max_bytes < 1:
            _refuse("VELMORA_BadArgument", "ReadBlock takes 1 byte or more, not %d" % max_bytes,
                    "ReadBlock")
        return numpy.frombuffer(self._library("ReadBlock", link.device.read_data, max_bytes),
                                numpy.uint8)

    @command(dtype_in=(tango.DevUChar,), doc_in="bytes for the data store (output)",
             dtype_out=int, doc_out="bytes the device took (fewer when its store is nearly full)")
    def WriteBlock(self, data: Any) -> int:
        link = self._require("WriteBlock", ON, RUNNING)
        if link.device.is_input:
            _refuse("VELMORA_WrongDirection", "WriteBlock needs an output device; this one's "
                    "direction property is input", "WriteBlock")
        return self._library("WriteBlock", link.device.write_data, bytes(bytearray(data)))

    @command(dtype_out=float, doc_out="round trip of one request, milliseconds")
    def Ping(self) -> float:
        link = self._require("Ping", ON)
        return self._library("Ping", link.ping)
