"""The simulated GRBL 1.1 controller without any I/O."""

from __future__ import annotations

import dataclasses
import threading
import time
from collections import deque
from typing import Any, Callable, Deque, List, Mapping, Optional, Tuple

from .config import SimConfig, default_settings
from .gcode import ERROR_SYSTEM_GC_LOCK, GrblError, clean_line
from .motion import Move, Vec, move_minutes
from .output import Chunker, ReplyOutput
from .program import Modal, Pause, Plan, ProgramExecution, Step, Sync
from .system import SystemCommands

SOFT_RESET = 0x18
STATUS_QUERY = ord("?")
FEED_HOLD = ord("!")
CYCLE_START = ord("~")
JOG_CANCEL = 0x85
CRITICAL_ALARMS = frozenset({1, 2})

# Completion times closer than this count as reached (guards against float rounding).
_TIME_EPSILON = 1e-9


@dataclasses.dataclass(frozen=True)
class Overflow:
    """A line that did not fit into the receive buffer and was thrown away.

    ``line`` is everything the host sent for it (terminator included when it arrived);
    ``buffered`` the bytes already in the buffer when it stopped fitting.
    """

    line: bytes
    buffered: int
    capacity: int


@dataclasses.dataclass(frozen=True)
class ReceivedLine:
    """A line as it reached the controller, recorded by :meth:`GrblSimulator.record_received`.

    ``index`` counts the lines received while recording (0 first); ``offset`` is the position
    of the line's first byte in everything the host wrote since recording started (realtime
    bytes included); ``overflowed`` is true for a line thrown away because it did not fit.
    """

    index: int
    offset: int
    text: str
    overflowed: bool = False


@dataclasses.dataclass
class _Active:
    text: str
    size: int
    steps: Step
    wait: object = None
    until: float = 0.0


class GrblSimulator(SystemCommands, ProgramExecution):
    """A GRBL 1.1h controller, fed with the host's bytes, producing the controller's bytes.

    ``feed(data)`` takes what the host wrote; ``take_output()`` (or ``take_chunks()``) returns
    what the controller answered since the last call. Realtime bytes ("?", "!", "~", 0x18,
    0x85) act at once; everything else goes through a receive buffer of
    ``config.rx_buffer_size`` bytes, from which lines are executed in order. A motion line
    occupies a planner block until its simulated time has passed, and its "ok" is sent when it
    enters the planner, so a full planner holds the "ok" (and the line's bytes) back.

    Time comes from ``clock`` (``time.monotonic`` by default); tests can pass their own.
    Every public method is thread-safe.

    What a test can inspect: ``overflows`` (one :class:`Overflow` per line that did not fit
    into the receive buffer), ``history`` (the last 10000 executed lines with their replies,
    ``None`` for a line discarded without one), ``settings``, ``state``,
    ``machine_position``, ``work_position``, ``rx_buffer_used``, ``planner_used``,
    ``dropped_oks`` and ``link_drops``.

    Options are the fields of :class:`SimConfig`, as keyword arguments or as ``config=``.
    """

    def __init__(self, config: Optional[SimConfig] = None, *,
                 clock: Callable[[], float] = time.monotonic, **options: Any) -> None:
        if config is not None and options:
            raise TypeError("pass either config or keyword options, not both")
        self.config = config if config is not None else SimConfig(**options)
        self._clock = clock
        self._lock = threading.RLock()
        self._out = ReplyOutput()
        self.settings = default_settings()
        self.settings[22] = 1 if self.config.homing_enabled else 0
        self.settings.update(self.config.settings)
        self.overflows: List[Overflow] = []
        self.history: Deque[Tuple[str, Optional[str]]] = deque(maxlen=10000)
        self.link_drops = 0
        self.received: Optional[List[ReceivedLine]] = None
        self._received_bytes = 0
        self._line_start = 0
        self._link_listeners: List[Callable[[], None]] = []
        self.coord_offsets: List[Vec] = [(0.0, 0.0, 0.0)] * 6
        self.g28: Vec = (0.0, 0.0, 0.0)
        self.g30: Vec = (0.0, 0.0, 0.0)
        self.probe_result: Tuple[Vec, bool] = ((0.0, 0.0, 0.0), False)
        self.build_info = self.config.build_info
        self._t = clock()
        self._pos: Vec = (0.0, 0.0, 0.0)
        self._planner: Deque[Move] = deque()
        self._alarm = bool(self.config.homing_lock and self.settings[22])
        self._reset_machine()

    def _reset_machine(self) -> None:
        """Forget everything a soft reset forgets (offsets in EEPROM and settings stay)."""
        self._rx: Deque[Tuple[str, int]] = deque()
        self._partial = bytearray()
        self._partial_dropped = False
        self._partial_buffered = 0
        self._rx_used = 0
        self._after_cr = False
        self._active: Optional[_Active] = None
        self._planner.clear()
        self._hold = False
        self._homing = False
        self._critical = False
        self.modal = Modal()
        self.g92 = (0.0, 0.0, 0.0)
        self.tool_length_offset = 0.0
        self._gc_pos = self._pos
        self._wco_countdown = 0

    # Host side ------------------------------------------------------------------------------

    def feed(self, data: bytes) -> None:
        """Take bytes written by the host."""
        with self._lock:
            self._advance(self._clock())
            for byte in bytes(data):
                self._receive_byte(byte)
                self._received_bytes += 1

    def tick(self) -> None:
        """Let the simulated machine catch up with the clock (finish moves, send oks)."""
        with self._lock:
            self._advance(self._clock())

    def take_chunks(self) -> List[bytes]:
        """The controller's output since the last call, cut as :meth:`set_chunking` says."""
        with self._lock:
            self._advance(self._clock())
            return self._out.take_chunks()

    def take_output(self) -> bytes:
        """The controller's output since the last call, as one byte string."""
        return b"".join(self.take_chunks())

    def exchange(self, data: bytes) -> bytes:
        """``feed(data)`` followed by ``take_output()``."""
        with self._lock:
            self.feed(data)
            return self.take_output()

    # Observation ----------------------------------------------------------------------------

    @property
    def state(self) -> str:
        """The state word of the next status report ("Idle", "Run", "Hold:0", ...)."""
        with self._lock:
            self._advance(self._clock())
            return self._state_word()

    @property
    def machine_position(self) -> Vec:
        """The current machine position in mm."""
        with self._lock:
            self._advance(self._clock())
            return self._current_position()

    @property
    def work_position(self) -> Vec:
        """The current work position in mm."""
        with self._lock:
            pos = self.machine_position
            wco = self.work_offset()
            return (pos[0] - wco[0], pos[1] - wco[1], pos[2] - wco[2])

    @property
    def rx_buffer_used(self) -> int:
        """Bytes in the receive buffer: received lines not yet answered, plus a partial line."""
        with self._lock:
            self._advance(self._clock())
            return self._rx_used

    @property
    def planner_used(self) -> int:
        """Planner blocks in use."""
        with self._lock:
            self._advance(self._clock())
            return len(self._planner)

    @property
    def report_inches(self) -> bool:
        return bool(self.settings[13])

    # Fault injection ------------------------------------------------------------------------

    def drop_oks(self, count: int = 1) -> None:
        """Swallow the next ``count`` "ok" replies (the lines still execute)."""
        with self._lock:
            self._out.oks_to_drop += count

    @property
    def dropped_oks(self) -> int:
        """How many "ok" replies :meth:`drop_oks` has swallowed so far."""
        with self._lock:
            return self._out.dropped_oks

    def corrupt_next_ok(self, replacement: bytes = b"o\x00k\r\n") -> None:
        """Send ``replacement`` instead of the next "ok" (NUL bytes from a noisy line)."""
        with self._lock:
            self._out.corrupt_next_ok(replacement)

    def interleave_next_ok(self, split_at: Optional[int] = None) -> None:
        """Hold the next "ok" back and send it inside the next status report.

        ``split_at`` is the character position in the report (default: its middle).
        """
        with self._lock:
            self._out.interleave_next_ok(split_at)

    def set_chunking(self, chunking: Chunker) -> None:
        """Cut the output into chunks: ``n`` bytes each, or ``f(data) -> [chunk, ...]``.

        ``None`` returns everything pending as one chunk.
        """
        if isinstance(chunking, int) and chunking < 1:
            raise ValueError("chunk size must be at least 1")
        with self._lock:
            self._out.chunking = chunking

    def set_silent(self, silent: bool = True) -> None:
        """Stop (or resume) answering: while silent no byte is sent, not even for "?".

        The controller keeps executing what it receives; replies produced meanwhile are lost.
        """
        with self._lock:
            self._out.silent = silent

    @property
    def silent(self) -> bool:
        return self._out.silent

    def raise_alarm(self, code: int) -> None:
        """Enter the alarm state with "ALARM:<code>", stopping all motion at once.

        Planned moves and the line being executed are discarded (that line gets no reply).
        Codes 1 and 2 (hard and soft limit) are critical, as on GRBL: "[MSG:Reset to
        continue]" follows and no line is executed until a soft reset.
        """
        with self._lock:
            self._advance(self._clock())
            self._stop_motion()
            self._abandon_active()
            self._enter_alarm(code)
            if code in CRITICAL_ALARMS:
                self._critical = True
                self._out.line("[MSG:Reset to continue]")

    def drop_link(self) -> None:
        """Break the connection: pending output and a partial input line are lost.

        Attachments are told to disconnect (the in-process one marks the transport as
        disconnected, the TCP server closes the client, the pty server closes the pty).
        """
        with self._lock:
            self.link_drops += 1
            self._out.discard()
            self._drop_partial()
            listeners = list(self._link_listeners)
        for listener in listeners:
            listener()

    def add_link_listener(self, listener: Callable[[], None]) -> None:
        """Call ``listener()`` on :meth:`drop_link` (used by the attachments)."""
        with self._lock:
            self._link_listeners.append(listener)

    def remove_link_listener(self, listener: Callable[[], None]) -> None:
        with self._lock:
            if listener in self._link_listeners:
                self._link_listeners.remove(listener)

    def record_received(self, enabled: bool = True) -> None:
        """Start (or stop) recording every line the controller receives, in order.

        The record is ``received``: a list of :class:`ReceivedLine`, ``None`` while off.
        Starting again begins a new, empty record.
        """
        with self._lock:
            self.received = [] if enabled else None
            self._received_bytes = 0
            self._line_start = 0

    def set_probe_contact(self, contact: Optional[Mapping[str, float]]) -> None:
        """Change where probing makes contact (see ``SimConfig.probe_contact``)."""
        with self._lock:
            self.config.probe_contact = dict(contact) if contact else None

    # Receiving ------------------------------------------------------------------------------

    def _receive_byte(self, byte: int) -> None:
        if byte == STATUS_QUERY:
            self._out.status(self._status_report())
        elif byte == FEED_HOLD:
            self._feed_hold()
        elif byte == CYCLE_START:
            self._cycle_start()
        elif byte == SOFT_RESET:
            self._soft_reset()
        elif byte == JOG_CANCEL:
            self._jog_cancel()
        elif byte >= 0x80:
            pass  # the other extended realtime commands (overrides, door) are not simulated
        elif byte in (0x0A, 0x0D):
            if byte == 0x0A and self._after_cr:
                self._after_cr = False  # the LF of a CR LF pair ends nothing
                return
            self._after_cr = byte == 0x0D
            self._end_line(byte)
        else:
            self._after_cr = False
            self._store_byte(byte)

    def _note_line(self, text: str, overflowed: bool) -> None:
        if self.received is not None:
            self.received.append(
                ReceivedLine(len(self.received), self._line_start, text, overflowed))
        self._line_start = self._received_bytes + 1

    def _store_byte(self, byte: int) -> None:
        if not self._partial:
            self._line_start = self._received_bytes
        if not self._partial_dropped and self._rx_used >= self.config.rx_buffer_size:
            self._partial_dropped = True
            self._partial_buffered = self._rx_used - len(self._partial)
        self._partial.append(byte)
        if not self._partial_dropped:
            self._rx_used += 1

    def _end_line(self, terminator: int) -> None:
        if not self._partial_dropped and self._rx_used >= self.config.rx_buffer_size:
            self._partial_dropped = True
            self._partial_buffered = self._rx_used - len(self._partial)
        if self._partial_dropped:
            self.overflows.append(Overflow(bytes(self._partial) + bytes([terminator]),
                                           self._partial_buffered, self.config.rx_buffer_size))
            self._note_line(self._partial.decode("ascii", "replace"), True)
            self._drop_partial()
            return
        text = self._partial.decode("ascii")
        if text:
            self._note_line(text, False)
        self._rx.append((text, len(self._partial) + 1))
        self._rx_used += 1
        self._partial.clear()
        self._advance(self._t)  # moves of zero duration finish without the clock moving

    def _drop_partial(self) -> None:
        if self._partial_dropped:
            self._rx_used = self._partial_buffered
        else:
            self._rx_used -= len(self._partial)
        self._partial.clear()
        self._partial_dropped = False
        self._after_cr = False

    # Time and execution ---------------------------------------------------------------------

    def _advance(self, now: float) -> None:
        now = max(now, self._t)
        while True:
            self._process_input()
            event = self._next_event()
            if event is None or event > now:
                break
            self._run_motion_for(event - self._t)
            self._t = event
        self._run_motion_for(now - self._t)
        self._t = now

    def _motion_running(self) -> bool:
        return bool(self._planner) and not self._hold and not self._alarm

    def _next_event(self) -> Optional[float]:
        event = None
        if self._motion_running():
            head = self._planner[0]
            event = self._t + max(0.0, head.duration - head.elapsed)
        active = self._active
        if active is not None and isinstance(active.wait, Pause):
            event = active.until if event is None else min(event, active.until)
        return event

    def _run_motion_for(self, dt: float) -> None:
        while self._motion_running():
            head = self._planner[0]
            left = head.duration - head.elapsed
            if dt < left - _TIME_EPSILON:
                head.elapsed += dt
                return
            dt = max(0.0, dt - left)
            self._planner.popleft()
            self._pos = head.target

    def _process_input(self) -> None:
        while not self._critical:
            active = self._active
            if active is None:
                if not self._rx:
                    return
                text, size = self._rx.popleft()
                active = self._active = _Active(text, size, self._run_line(text))
            if not self._wait_over(active):
                return
            self._resume(active)

    def _wait_over(self, active: _Active) -> bool:
        wait = active.wait
        if isinstance(wait, Plan):
            return len(self._planner) < self.config.planner_blocks
        if isinstance(wait, Sync):
            return not self._planner
        if isinstance(wait, Pause):
            return self._t >= active.until - _TIME_EPSILON
        return True

    def _resume(self, active: _Active) -> None:
        if isinstance(active.wait, Plan):
            self._plan(active.wait)
        try:
            wait = active.steps.send(None)
        except StopIteration as done:
            self._finish(active, done.value)
            return
        except GrblError as error:
            self._finish(active, f"error:{error.code}")
            return
        active.wait = wait
        if isinstance(wait, Pause):
            active.until = self._t + wait.seconds * self.config.speed_factor

    def _finish(self, active: _Active, reply: Optional[str]) -> None:
        self._active = None
        self._rx_used -= active.size
        self.history.append((active.text, reply))
        if reply == "ok":
            self._out.ok()
        elif reply:
            self._out.line(reply)

    def _abandon_active(self) -> None:
        active = self._active
        if active is not None:
            self._active = None
            self._rx_used -= active.size
            self.history.append((active.text, None))
            active.steps.close()
        self._homing = False

    def _plan(self, plan: Plan) -> None:
        start = self._planner[-1].target if self._planner else self._pos
        if plan.minutes is not None:
            minutes = plan.minutes
        else:
            rates = [float(self.settings[110 + i]) for i in range(3)]
            minutes = move_minutes(start, plan.target, plan.feed, rates)
        feed = plan.feed if plan.feed is not None else float(self.settings[110])
        duration = minutes * 60.0 * self.config.speed_factor
        self._planner.append(Move(start, plan.target, duration, feed, plan.kind))

    def _current_position(self) -> Vec:
        return self._planner[0].position() if self._planner else self._pos

    def _stop_motion(self) -> None:
        self._pos = self._current_position()
        self._planner.clear()
        self._gc_pos = self._pos

    # Realtime commands ----------------------------------------------------------------------

    def _feed_hold(self) -> None:
        if self._alarm or self._homing:
            return
        if self._planner and self._planner[0].kind == "jog":
            self._jog_cancel()
            return
        self._hold = True

    def _pause_program(self) -> None:
        self._hold = True

    def _cycle_start(self) -> None:
        if self._hold:
            self._hold = False
            self.modal.program_flow = None

    def _jog_cancel(self) -> None:
        if self._planner and self._planner[0].kind == "jog":
            self._stop_motion()

    def _soft_reset(self) -> None:
        moving = bool(self._planner)
        homing = self._homing
        self._stop_motion()
        if self._active is not None:
            self._active.steps.close()
        self._reset_machine()
        if moving or homing:
            self._enter_alarm(6 if homing else 3)
        if self.config.homing_lock and self.settings[22]:
            self._alarm = True
        self._out.write(b"\r\n")
        self._out.line(f"Grbl {'.'.join(self.config.version.split('.')[:2])} ['$' for help]")
        if self._alarm:
            self._out.line("[MSG:'$H'|'$X' to unlock]")

    def _enter_alarm(self, code: int) -> None:
        self._alarm = True
        self._hold = False
        self._out.line(f"ALARM:{code}")

    # Status ---------------------------------------------------------------------------------

    def _state_word(self) -> str:
        if self._alarm:
            return "Alarm"
        if self._homing:
            return "Home"
        if self._hold:
            return "Hold:0"
        if self._planner:
            return "Jog" if self._planner[0].kind == "jog" else "Run"
        return "Idle"

    # Lines ----------------------------------------------------------------------------------

    def _run_line(self, raw: str) -> Step:
        line = clean_line(raw)
        if not line:
            return "ok"
        if line[0] == "$":
            return (yield from self._run_system_command(line))
        if self._alarm or self._state_word() == "Jog":
            raise GrblError(ERROR_SYSTEM_GC_LOCK)
        return (yield from self._run_gcode(line))
