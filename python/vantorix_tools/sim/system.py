"""The controller's "$" commands and the report lines it prints."""

from __future__ import annotations

import re
from typing import Deque, Dict, List, Tuple

from .config import INTEGER_SETTINGS, MM_PER_INCH, SETTINGS_TABLE, SimConfig, format_setting
from .gcode import (
    ERROR_BAD_NUMBER_FORMAT,
    ERROR_IDLE_ERROR,
    ERROR_INVALID_STATEMENT,
    ERROR_NEGATIVE_VALUE,
    ERROR_SETTING_DISABLED,
    ERROR_SETTING_STEP_PULSE_MIN,
    ERROR_SOFT_LIMIT_ERROR,
    GrblError,
    read_number,
)
from .motion import Move, Vec
from .output import ReplyOutput
from .program import Pause, Step

_HELP = "[HLP:$$ $# $G $I $N $x=val $Nx=line $J=line $SLP $C $X $H ~ ! ? ctrl-x]"
_SETTING_RE = re.compile(r"\$(\d+)=(.*)")


class SystemCommands:
    """Mixin of :class:`GrblSimulator`: status reports, "$" commands, offset and probe lines."""

    # Provided by the simulator.
    config: SimConfig
    settings: Dict[int, float]
    _out: ReplyOutput
    _planner: Deque[Move]
    _rx_used: int
    _wco_countdown: int
    _alarm: bool
    _homing: bool
    _pos: Vec
    _gc_pos: Vec
    build_info: str
    coord_offsets: List[Vec]
    probe_result: Tuple[Vec, bool]

    def _fmt_position(self, pos: Vec) -> str:
        return ",".join(self._fmt_coord(v) for v in pos)

    def _fmt_coord(self, mm: float) -> str:
        if self.report_inches:
            text = f"{mm / MM_PER_INCH:.4f}"
        else:
            text = f"{mm:.3f}"
        return text[1:] if text.startswith("-") and not text.strip("-0.") else text

    def _fmt_rate(self, mm_per_min: float) -> str:
        if self.report_inches:
            return f"{mm_per_min / MM_PER_INCH:.1f}"
        return f"{mm_per_min:.0f}"

    def _offsets_changed(self) -> None:
        self._wco_countdown = 0

    def _wco_due(self) -> bool:
        if self._wco_countdown > 0:
            self._wco_countdown -= 1
            return False
        every = self.config.wco_every
        if every is None:
            busy = self._state_word() not in ("Idle", "Alarm")
            every = 30 if busy else 10
        self._wco_countdown = every - 1
        return True

    def _status_report(self) -> str:
        pos = self._current_position()
        wco = self.work_offset()
        mask = int(self.settings[10])
        fields = [self._state_word()]
        if mask & 1:
            fields.append("MPos:" + self._fmt_position(pos))
        else:
            fields.append("WPos:" + self._fmt_position(
                (pos[0] - wco[0], pos[1] - wco[1], pos[2] - wco[2])))
        if mask & 2:
            free_blocks = self.config.planner_blocks - len(self._planner)
            free_bytes = self.config.rx_buffer_size - self._rx_used
            fields.append(f"Bf:{free_blocks},{free_bytes}")
        feed = self._planner[0].feed if self._motion_running() else 0.0
        speed = self.modal.speed if self.modal.spindle != "M5" else 0.0
        fields.append(f"FS:{self._fmt_rate(feed)},{speed:.0f}")
        if self._wco_due():
            fields.append("WCO:" + self._fmt_position(wco))
        return "<" + "|".join(fields) + ">"

    def _run_system_command(self, line: str) -> Step:
        out = self._out
        if line == "$":
            out.line(_HELP)
            return "ok"
        kind = line[1]
        state = self._state_word()
        if kind == "J":
            if state not in ("Idle", "Jog"):
                raise GrblError(ERROR_IDLE_ERROR)
            if line[2:3] != "=":
                raise GrblError(ERROR_INVALID_STATEMENT)
            return (yield from self._run_jog(line[3:]))
        if kind in "$GX":
            if len(line) != 2:
                raise GrblError(ERROR_INVALID_STATEMENT)
            if kind == "$":
                if state == "Run" or state.startswith("Hold"):
                    raise GrblError(ERROR_IDLE_ERROR)
                for number, _, _ in SETTINGS_TABLE:
                    out.line(format_setting(number, self.settings[number]))
            elif kind == "G":
                out.line(self._parser_state_line())
            elif self._alarm:
                out.line("[MSG:Caution: Unlocked]")
                self._alarm = False
            return "ok"
        if state not in ("Idle", "Alarm"):
            raise GrblError(ERROR_IDLE_ERROR)
        if line == "$#":
            self._report_offsets()
        elif line == "$I":
            out.line(f"[VER:{self.config.version}:{self.build_info}]")
            out.line(f"[OPT:{self.config.option_letters},{self.config.planner_blocks},"
                     f"{self.config.rx_buffer_size}]")
        elif line.startswith("$I="):
            self.build_info = line[3:]
        elif line.startswith("$H"):
            return (yield from self._run_homing(line[2:]))
        elif line == "$N":
            out.line("$N0=")
            out.line("$N1=")
        elif line.startswith("$N") and "=" in line:
            pass  # startup lines are accepted but never run
        else:
            self._write_setting(line)
        return "ok"

    def _run_homing(self, axes: str) -> Step:
        if not self.settings[22]:
            raise GrblError(ERROR_SETTING_DISABLED)
        if axes not in ("", "X", "Y", "Z"):
            raise GrblError(ERROR_INVALID_STATEMENT)
        self._homing = True
        self._alarm = False
        yield Pause(self.config.homing_time)
        self._homing = False
        home = list(self._pos)
        for i, axis in enumerate("XYZ"):
            if not axes or axes == axis:
                home[i] = float(self.config.home_position[i])
        self._pos = self._gc_pos = (home[0], home[1], home[2])
        self._alarm = False
        return "ok"

    def _write_setting(self, line: str) -> None:
        match = _SETTING_RE.fullmatch(line)
        if match is None:
            raise GrblError(ERROR_INVALID_STATEMENT)
        number_match = read_number(match.group(2), 0)
        if number_match is None:
            raise GrblError(ERROR_BAD_NUMBER_FORMAT)
        if number_match.end() != len(match.group(2)):
            raise GrblError(ERROR_INVALID_STATEMENT)
        value = float(number_match.group())
        number = int(match.group(1))
        if value < 0:
            raise GrblError(ERROR_NEGATIVE_VALUE)
        if number not in self.settings:
            raise GrblError(ERROR_INVALID_STATEMENT)
        if number == 0 and value < 3:
            raise GrblError(ERROR_SETTING_STEP_PULSE_MIN)
        if number == 20 and value and not self.settings[22]:
            raise GrblError(ERROR_SOFT_LIMIT_ERROR)
        self.settings[number] = int(value) if number in INTEGER_SETTINGS else value
        if number == 22 and not value:
            self.settings[20] = 0

    def _parser_state_line(self) -> str:
        m = self.modal
        words = [m.motion, f"G{54 + m.coord}", m.plane, m.units, m.distance, m.feed_mode]
        if m.program_flow:
            words.append(m.program_flow)
        words.append(m.spindle)
        if m.mist or m.flood:
            words.extend(w for w, on in (("M7", m.mist), ("M8", m.flood)) if on)
        else:
            words.append("M9")
        words += [f"T{m.tool}", f"F{self._fmt_rate(m.feed)}", f"S{m.speed:.0f}"]
        return "[GC:" + " ".join(words) + "]"

    def _probe_line(self) -> str:
        pos, ok = self.probe_result
        return f"[PRB:{self._fmt_position(pos)}:{int(ok)}]"

    def _report_offsets(self) -> None:
        out = self._out
        for i, offset in enumerate(self.coord_offsets):
            out.line(f"[G{54 + i}:{self._fmt_position(offset)}]")
        out.line(f"[G28:{self._fmt_position(self.g28)}]")
        out.line(f"[G30:{self._fmt_position(self.g30)}]")
        out.line(f"[G92:{self._fmt_position(self.g92)}]")
        out.line(f"[TLO:{self._fmt_coord(self.tool_length_offset)}]")
        out.line(self._probe_line())
