"""One device channel kept connected: the settings a Tango client wrote,
sent again whenever the link comes back, and the acquisition thread that
streams blocks, keeps the counters and paces what it publishes.

Nothing here imports Tango: the device class (channel.py) hands in
callbacks, so this part runs and is tested without it.
"""

import contextlib
import threading
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional

from .. import samples as _samples
from ..device import MAX_FREQUENCY_HZ, Device
from ..errors import NOT_STARTED, NoWorkError, VelmoraError, result_meaning, result_name
from ..stream import Block

ON, RUNNING, FAULT = "ON", "RUNNING", "FAULT"
_ESTIMATE_ERROR = 2  # +/- samples of an outage estimate, beyond the clocks'
_LINKS_DOWN = (1203, 2250)  # nothing answers / the connection dropped
_IDLE_CHECK_SECONDS = 1.0
_RETRY_SECONDS = (0.2, 0.5, 1.0, 2.0)  # back-off between reconnection attempts


class Batch(NamedTuple):
    """What one publication carries: contiguous samples, the index and the
    time of the first, and the counters after them."""

    samples: Any
    index: int
    t0: float
    lost_before: int
    counters: Dict[str, float]


class Settings:
    """What the clients asked for, as the device will use it: the rate is
    clamped as the library clamps it. Everything set here is sent again
    after a reconnection.

    Deliberately not the Device's own record of what it sent (which its
    reconnecting stream sends again): clients write settings while no
    handle is live (memorised values arrive at start-up, before the first
    connection; writes are accepted in FAULT), and a Device can only record
    what it sent. Nor is the link's reconnection the stream's: that one
    says nothing until the device is back, and the state must be FAULT from
    the moment the link drops, idle or output channels included."""

    def __init__(self) -> None:
        self.frequency: Optional[int] = None
        self.bits: Optional[int] = None
        self.block_size: Optional[int] = None
        self.auto_zero: Optional[bool] = None
        self.lines = 0  # bit n: digital line n on
        self.lines_sent = False

    def send(self, device: Device) -> None:
        if self.frequency is not None:
            device.set_frequency(self.frequency)
        if self.bits is not None:
            device.set_packet_bits(self.bits)
        if self.block_size is not None:
            device.set_block_size(self.block_size)
        if self.lines_sent:
            for line in range(1, 32):
                device.set_digital_line(line, bool(self.lines >> line & 1))
        if self.auto_zero is not None:
            device.set_auto_zero(self.auto_zero)


def clamp_frequency(hz: int) -> int:
    return min(hz, MAX_FREQUENCY_HZ)


class Link:
    """The channel's connection and acquisition. ``on_state(state, status)``
    hears of every change of state; ``on_batch(batch)`` of every publication,
    at most one per ``min_interval`` seconds (more only when ``max_samples``
    fill up sooner). Both are called from the link's own thread."""

    def __init__(self, host: str, channel: int, direction: str, timeout_ms: int,
                 on_state: Callable[[str, str], None], on_batch: Callable[[Batch], None],
                 max_samples: int = 1_000_000, min_interval: float = 0.05,
                 thread_context: Callable[[], Any] = contextlib.nullcontext) -> None:
        self.host, self.channel, self.direction = host, channel, direction
        self.timeout_ms = timeout_ms
        self.settings = Settings()
        self.max_samples = max_samples
        self.min_interval = min_interval
        self._on_state, self._on_batch = on_state, on_batch
        self._thread_context = thread_context  # what a thread of the caller's needs around it
        self.device: Optional[Device] = None
        self.state, self.status = FAULT, "not connected yet"
        self.want_running = False
        self.last_result = 0
        self.round_trip_ms = float("nan")
        self.counters = {"rate": 0.0, "packets": 0, "samples": 0, "lost": 0, "outages": 0}
        self._width = 2
        self._next_index = 0  # index the next published sample gets
        self._offset = 0  # published index minus the device's own index
        self._outage_began: Optional[float] = None
        self._missed: Optional[int] = None  # samples an outage cost, set when streaming resumes
        self._wake = threading.Event()
        self._quit = threading.Event()
        self._thread: Optional[threading.Thread] = None

    # -- lifetime ----------------------------------------------------------

    def open(self) -> None:
        self._quit.clear()
        self._thread = threading.Thread(target=self._run, name="velmora-link", daemon=True)
        self._thread.start()

    def close(self) -> None:
        self._quit.set()
        self._wake.set()
        device = self.device
        if device is not None and self.want_running:
            self._quietly(device.clear)
        if self._thread is not None:
            self._thread.join(10.0)
        self._drop()

    # -- commands from clients ---------------------------------------------

    def start(self, cleared: bool) -> None:
        device = self._connected()
        self._missed = None  # a new start owes nothing to an earlier outage
        if cleared:
            self.call(device.start_cleared)
            self._next_index = self._offset = 0
        else:
            self.call(device.start)
        self.want_running = True
        self._set(RUNNING, "acquiring from %s" % self.where())
        self._wake.set()

    def stop(self) -> None:
        self.want_running = False
        self.call(self._connected().clear)
        self._set(ON, "connected to %s, idle" % self.where())
        self._wake.set()

    def ping(self) -> float:
        """Round trip of one request the device answers without taking
        anything (acquisition is stopped: it answers "nothing to do")."""
        device = self._connected()
        began = time.perf_counter()
        try:
            if device.is_input:
                self.call(device.all_packets_into, bytearray(64))
            else:
                with Device(self.host, "input", self.channel, timeout_ms=self.timeout_ms) as probe:
                    began = time.perf_counter()
                    probe.all_packets_into(bytearray(64))
        except NoWorkError:
            pass  # the answer expected from an idle device
        self.round_trip_ms = (time.perf_counter() - began) * 1000.0
        return self.round_trip_ms

    def call(self, function: Callable, *args: Any) -> Any:
        """A library call; its result (the error's number on failure) is
        kept for the LastResult attributes."""
        try:
            value = function(*args)
        except VelmoraError as error:
            self.last_result = error.code
            raise
        self.last_result = 0
        return value

    def _connected(self) -> Device:
        device = self.device
        if device is None:
            raise VelmoraError(2250, "", "the link to %s is down: %s" % (self.where(), self.status))
        return device

    def where(self) -> str:
        return "%s channel %d (%s)" % (self.host, self.channel, self.direction)

    @staticmethod
    def describe(code: int) -> str:
        return "%d %s: %s" % (code, result_name(code), result_meaning(code))

    # -- the link's thread -------------------------------------------------

    def _run(self) -> None:
        with self._thread_context():
            try:
                while not self._quit.is_set():
                    if self.device is None:
                        self._reconnect()
                    elif self.want_running and self.device.is_input:
                        self._acquire(self.device)
                    else:
                        self._idle_check(self.device)
            except Exception as error:
                # Not a device's answer (the library did not load, say):
                # trying again would fail the same way, and a thread that
                # died in silence would leave the last state standing.
                self.want_running = False
                self._drop()
                self._set(FAULT, "the link to %s stopped: %s: %s; fix it, then Init"
                          % (self.where(), type(error).__name__, error))

    def _reconnect(self) -> None:
        attempt = 0
        while not self._quit.is_set():
            try:
                device = Device(self.host, self.direction, self.channel, timeout_ms=self.timeout_ms)
                self.settings.send(device)
                if self.want_running:
                    device.start()
            except VelmoraError as error:
                self.last_result = error.code
                if "reconnecting" not in self.status:
                    # After a drop, why it dropped matters more than why
                    # the first attempt to come back failed.
                    reason = (self.status if self._outage_began is not None else
                              "cannot connect to %s: %s" % (self.where(), self.describe(error.code)))
                    self._set(FAULT, "%s; reconnecting" % reason)
                self._wake.wait(_RETRY_SECONDS[min(attempt, len(_RETRY_SECONDS) - 1)])
                self._wake.clear()
                attempt += 1
                continue
            self.device = device
            back = "acquiring from" if self.want_running else "connected to"
            note = ""
            if self._outage_began is not None:
                down = time.time() - self._outage_began
                note = " (back after %.1f s down; settings sent again)" % down
                self._outage_began = None
                if self.want_running:
                    # Counted here, before the state says RUNNING, so a client
                    # that sees RUNNING also sees what the outage cost.
                    self._missed = max(0, round(down * (self.settings.frequency or 0)))
                    self.counters["lost"] += self._missed
            self._set(RUNNING if self.want_running else ON,
                      "%s %s%s" % (back, self.where(), "" if self.want_running else ", idle") + note)
            return

    def _lost_link(self, error: VelmoraError) -> None:
        self.last_result = error.code
        self._outage_began = time.time()
        self.counters["outages"] += 1
        self._set(FAULT, "link to %s down at %s: %s" % (
            self.where(), time.strftime("%H:%M:%S"), self.describe(error.code)))
        self._drop()

    def _drop(self) -> None:
        device, self.device = self.device, None
        if device is not None:
            self._quietly(device.close)

    def _idle_check(self, device: Device) -> None:
        # Without a request the library cannot tell that the link dropped.
        try:
            if device.is_input:
                self.ping()
            else:
                device.set_timeout(self.timeout_ms)
        except VelmoraError as error:
            if error.code in _LINKS_DOWN:
                self._lost_link(error)
                return
        self._wake.wait(_IDLE_CHECK_SECONDS)
        self._wake.clear()

    def _acquire(self, device: Device) -> None:
        width = self._width = _samples.sample_width(self.settings.bits or device.packet_bits or 16)
        pending: List[Block] = []
        last_push = time.monotonic()
        window = (time.monotonic(), self.counters["samples"])
        first = True
        try:
            for block in device.stream(start=False, on_loss="ignore"):
                if first:
                    first = False
                    self._resume(block)
                    if block.lost == 0 and not len(block.samples):
                        continue
                index = block.index + self._offset
                self.counters["lost"] += block.lost
                self.counters["samples"] += len(block.samples)
                self.counters["packets"] = self.counters["samples"] * width // max(
                    self.settings.block_size or device.block_size or 1, 1)
                if block.lost and pending:
                    last_push = self._publish(pending)
                pending.append(Block(block.samples, block.t0, index, block.lost))
                now = time.monotonic()
                if now - window[0] >= 1.0:
                    self.counters["rate"] = (self.counters["samples"] - window[1]) / (now - window[0])
                    window = (now, self.counters["samples"])
                held = sum(len(piece.samples) for piece in pending)
                if now - last_push >= self.min_interval or held >= self.max_samples:
                    last_push = self._publish(pending)
                if self._quit.is_set() or not self.want_running:
                    break
        except NoWorkError as error:
            if error.status != NOT_STARTED or self.want_running:
                self.last_result = error.code
                self.want_running = False
                self._set(ON, "acquisition ended: %s" % error)
        except VelmoraError as error:
            if error.code in _LINKS_DOWN:
                self._flush(pending)
                self._lost_link(error)
                return
            self.last_result = error.code
            self.want_running = False
            self._set(ON, "acquisition stopped: %s" % error)
        self._flush(pending)

    def _resume(self, block: Block) -> None:
        """Maps the device's indices after a reconnection onto ours: the
        samples the outage cost are counted lost, and indices go on."""
        if self._missed is None:
            self._offset = self._next_index - block.index if self._next_index else 0
            return
        self._offset = self._next_index + self._missed - block.index
        self._missed = None

    def _flush(self, pending: List[Block]) -> None:
        if pending:
            self._publish(pending)

    def _publish(self, pending: List[Block]) -> float:
        samples = _samples.concatenate([piece.samples for piece in pending], self._width)
        first = pending[0]
        hz = self.settings.frequency or 1
        for start in range(0, max(len(samples), 1), self.max_samples):
            part = samples[start:start + self.max_samples]
            index = first.index + start
            self._on_batch(Batch(part, index, index / hz, first.lost if start == 0 else 0,
                                 dict(self.counters)))
        self._next_index = first.index + len(samples)
        pending.clear()
        return time.monotonic()

    def _set(self, state: str, status: str) -> None:
        self.state, self.status = state, status
        self._on_state(state, status)

    @staticmethod
    def _quietly(function: Callable) -> None:
        try:
            function()
        except VelmoraError:
            pass
