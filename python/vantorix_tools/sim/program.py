"""G-code and jog execution of the simulated controller.

Each line runs as a generator: it yields what it waits for (a free planner block, an empty
planner, a pause) and returns its reply. The simulator resumes it when the wait is over, so a
line that cannot be planned yet keeps its bytes in the receive buffer and its "ok" back, as on
the real controller.
"""

from __future__ import annotations

import dataclasses
from typing import Dict, Generator, List, Optional, Tuple

from .config import MM_PER_INCH
from .gcode import (
    AXES,
    ERROR_AXIS_COMMAND_CONFLICT,
    ERROR_AXIS_WORDS_EXIST,
    ERROR_COMMAND_VALUE_NOT_INTEGER,
    ERROR_G43_DYNAMIC_AXIS_ERROR,
    ERROR_G53_INVALID_MOTION_MODE,
    ERROR_INVALID_JOG_COMMAND,
    ERROR_INVALID_LINE_NUMBER,
    ERROR_INVALID_TARGET,
    ERROR_MAX_VALUE_EXCEEDED,
    ERROR_NEGATIVE_VALUE,
    ERROR_NO_AXIS_WORDS,
    ERROR_NO_AXIS_WORDS_IN_PLANE,
    ERROR_NO_OFFSETS_IN_PLANE,
    ERROR_TRAVEL_EXCEEDED,
    ERROR_UNDEFINED_FEED_RATE,
    ERROR_UNSUPPORTED_COMMAND,
    ERROR_UNSUPPORTED_COORD_SYS,
    ERROR_UNUSED_WORDS,
    ERROR_VALUE_WORD_MISSING,
    Block,
    GrblError,
    parse_block,
)
from .motion import Vec, arc_offsets_from_radius, arc_points, check_arc_target

# Plane -> (first axis, second axis, linear axis, offset letters).
_PLANES = {
    "G17": (0, 1, 2, ("I", "J")),
    "G18": (2, 0, 1, ("K", "I")),
    "G19": (1, 2, 0, ("J", "K")),
}
_AXIS_NONMODAL = ("G10", "G28", "G30", "G92")
_PROBES = ("G38.2", "G38.3", "G38.4", "G38.5")


@dataclasses.dataclass
class Plan:
    """Wait for a free planner block, then queue a straight move to ``target``."""

    target: Vec
    feed: Optional[float]  # mm/min; None is a rapid move
    kind: str = "motion"
    minutes: Optional[float] = None  # fixed duration (inverse-time feed mode)


@dataclasses.dataclass
class Sync:
    """Wait until every planned move has finished."""


@dataclasses.dataclass
class Pause:
    """Wait this many physical seconds (scaled by the speed factor)."""

    seconds: float


@dataclasses.dataclass
class Modal:
    """The parser's modal state, as ``$G`` reports it."""

    motion: str = "G0"
    coord: int = 0  # 0..5 for G54..G59
    plane: str = "G17"
    units: str = "G21"
    distance: str = "G90"
    feed_mode: str = "G94"
    program_flow: Optional[str] = None
    spindle: str = "M5"
    mist: bool = False
    flood: bool = False
    tool: int = 0
    feed: float = 0.0  # mm/min
    speed: float = 0.0


Step = Generator[object, None, str]


def _vec_add(a: Vec, b: Vec) -> Vec:
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


class ProgramExecution:
    """Mixin of :class:`GrblSimulator` holding the G-code and jog interpreters."""

    # Provided by the simulator.
    modal: Modal
    coord_offsets: List[Vec]
    g28: Vec
    g30: Vec
    g92: Vec
    tool_length_offset: float
    probe_result: Tuple[Vec, bool]
    _gc_pos: Vec

    def work_offset(self, coord: Optional[int] = None) -> Vec:
        """The offset from machine to work position (``WCO:``): coordinate system, G92, TLO."""
        base = self.coord_offsets[self.modal.coord if coord is None else coord]
        return (base[0] + self.g92[0], base[1] + self.g92[1],
                base[2] + self.g92[2] + self.tool_length_offset)

    def _target(self, axis_words: Dict[str, float], scale: float, incremental: bool,
                machine_frame: bool, coord: int) -> Vec:
        wco = self.work_offset(coord)
        target = list(self._gc_pos)
        for i, axis in enumerate(AXES):
            if axis in axis_words:
                value = axis_words[axis] * scale
                if machine_frame:
                    target[i] = value
                elif incremental:
                    target[i] += value
                else:
                    target[i] = value + wco[i]
        return (target[0], target[1], target[2])

    # G-code --------------------------------------------------------------------------------

    def _run_gcode(self, line: str) -> Step:
        block = parse_block(line)
        values = block.values
        m = self.modal
        units = block.group("units") or m.units
        scale = MM_PER_INCH if units == "G20" else 1.0
        distance = block.group("distance") or m.distance
        feed_mode = block.group("feed_mode") or m.feed_mode
        plane = block.group("plane") or m.plane
        coord_word = block.group("coord")
        coord = int(coord_word[1:]) - 54 if coord_word else m.coord
        non_modal = block.group("non_modal")
        motion_word = block.group("motion")
        axis_words = block.axis_words
        used = set()

        if "N" in values:
            used.add("N")
            if not 0 <= values["N"] <= 9999999:
                raise GrblError(ERROR_INVALID_LINE_NUMBER)
        for letter in ("F", "S"):
            if letter in values:
                used.add(letter)
                if values[letter] < 0:
                    raise GrblError(ERROR_NEGATIVE_VALUE)
        if "T" in values:
            used.add("T")
            if values["T"] != int(values["T"]):
                raise GrblError(ERROR_COMMAND_VALUE_NOT_INTEGER)
            if values["T"] > 255:
                raise GrblError(ERROR_MAX_VALUE_EXCEEDED)
        if block.group("tlo") == "G43.1":
            if set(axis_words) != {"Z"}:
                raise GrblError(ERROR_G43_DYNAMIC_AXIS_ERROR)
        if non_modal == "G4":
            used.add("P")
            if "P" not in values:
                raise GrblError(ERROR_VALUE_WORD_MISSING)
            if values["P"] < 0:
                raise GrblError(ERROR_NEGATIVE_VALUE)
        g10_slot = None
        if non_modal == "G10":
            used.update(("L", "P"))
            if "L" not in values or "P" not in values:
                raise GrblError(ERROR_VALUE_WORD_MISSING)
            if values["L"] not in (2, 20):
                raise GrblError(ERROR_UNSUPPORTED_COMMAND)
            if values["P"] != int(values["P"]):
                raise GrblError(ERROR_COMMAND_VALUE_NOT_INTEGER)
            if not 0 <= values["P"] <= 6:
                raise GrblError(ERROR_UNSUPPORTED_COORD_SYS)
            if not axis_words:
                raise GrblError(ERROR_NO_AXIS_WORDS)
            g10_slot = int(values["P"]) - 1 if values["P"] else coord
        if non_modal == "G92" and not axis_words:
            raise GrblError(ERROR_NO_AXIS_WORDS)
        if motion_word and axis_words and non_modal in _AXIS_NONMODAL:
            raise GrblError(ERROR_AXIS_COMMAND_CONFLICT)

        motion = motion_word or m.motion
        moves = bool(axis_words) and non_modal not in _AXIS_NONMODAL and block.group("tlo") is None
        if moves and motion == "G80":
            raise GrblError(ERROR_AXIS_WORDS_EXIST)
        if non_modal == "G53" and motion not in ("G0", "G1"):
            raise GrblError(ERROR_G53_INVALID_MOTION_MODE)

        target: Vec = self._gc_pos
        feed = values["F"] * scale if "F" in values else m.feed
        segments: List[Vec] = []
        if moves:
            target = self._target(axis_words, scale, distance == "G91", non_modal == "G53", coord)
            if motion != "G0":
                if feed_mode == "G93" and "F" not in values:
                    raise GrblError(ERROR_UNDEFINED_FEED_RATE)
                if feed_mode == "G94" and feed <= 0:
                    raise GrblError(ERROR_UNDEFINED_FEED_RATE)
            if motion in ("G2", "G3"):
                segments = self._arc_segments(block, target, plane, scale, motion == "G2", used)
            elif motion in _PROBES and target == self._gc_pos:
                raise GrblError(ERROR_INVALID_TARGET)
        unused = set(values) - used - set(AXES)
        if unused:
            raise GrblError(ERROR_UNUSED_WORDS)

        # The line is valid: carry it out in GRBL's order of execution.
        if block.group("feed_mode"):
            m.feed_mode = feed_mode
        if "F" in values and feed_mode == "G94":
            m.feed = feed
        if "S" in values:
            m.speed = values["S"]
        if "T" in values:
            m.tool = int(values["T"])
        laser_mode = bool(self.settings[32])
        spindle = block.group("spindle")
        if spindle and spindle != m.spindle:
            if not laser_mode:
                yield Sync()
            m.spindle = spindle
        coolant = block.group("coolant")
        if coolant:
            yield Sync()
            if coolant == "M9":
                m.mist = m.flood = False
            elif coolant == "M7":
                m.mist = True
            else:
                m.flood = True
        if non_modal == "G4":
            yield Sync()
            yield Pause(values["P"])
        m.plane = plane
        m.units = units
        m.distance = distance
        tlo = block.group("tlo")
        if tlo:
            self.tool_length_offset = axis_words["Z"] * scale if tlo == "G43.1" else 0.0
            self._offsets_changed()
        if coord != m.coord:
            yield Sync()
            m.coord = coord
            self._offsets_changed()

        if non_modal == "G10":
            yield Sync()
            assert g10_slot is not None
            self._set_coord_offsets(g10_slot, axis_words, scale, values["L"] == 20)
        elif non_modal in ("G28", "G30"):
            if axis_words:
                target = self._target(axis_words, scale, distance == "G91", False, coord)
                yield Plan(target, None)
            stored = self.g28 if non_modal == "G28" else self.g30
            yield Plan(stored, None)
            self._gc_pos = stored
        elif non_modal in ("G28.1", "G30.1"):
            yield Sync()
            if non_modal == "G28.1":
                self.g28 = self._gc_pos
            else:
                self.g30 = self._gc_pos
        elif non_modal == "G92":
            yield Sync()
            self._set_g92(axis_words, scale)
        elif non_modal == "G92.1":
            yield Sync()
            self.g92 = (0.0, 0.0, 0.0)
            self._offsets_changed()

        if motion_word:
            m.motion = motion
        if moves:
            yield from self._run_motion(motion, target, feed, feed_mode, values, segments)

        flow = block.group("stop")
        if flow == "M0":
            yield Sync()
            m.program_flow = flow
            self._pause_program()
        elif flow in ("M2", "M30"):
            yield Sync()
            m.motion = "G1"
            m.coord = 0
            m.plane = "G17"
            m.distance = "G90"
            m.feed_mode = "G94"
            m.spindle = "M5"
            m.mist = m.flood = False
            m.program_flow = None
            self._offsets_changed()
            self._out.line("[MSG:Pgm End]")
        return "ok"

    def _arc_segments(self, block: Block, target: Vec, plane: str, scale: float,
                      clockwise: bool, used: set) -> List[Vec]:
        axis_0, axis_1, axis_linear, (off_0, off_1) = _PLANES[plane]
        start = self._gc_pos
        axis_words = block.axis_words
        if AXES[axis_0] not in axis_words and AXES[axis_1] not in axis_words:
            raise GrblError(ERROR_NO_AXIS_WORDS_IN_PLANE)
        values = block.values
        if "R" in values:
            used.add("R")
            offset = arc_offsets_from_radius(start, target, values["R"] * scale, clockwise,
                                             axis_0, axis_1)
        else:
            if off_0 not in values and off_1 not in values:
                raise GrblError(ERROR_NO_OFFSETS_IN_PLANE)
            used.update((off_0, off_1))
            offset = (values.get(off_0, 0.0) * scale, values.get(off_1, 0.0) * scale)
            check_arc_target(start, target, offset, axis_0, axis_1)
        return arc_points(start, target, offset, clockwise, axis_0, axis_1, axis_linear,
                          float(self.settings[12]))

    def _run_motion(self, motion: str, target: Vec, feed: float, feed_mode: str,
                    values: Dict[str, float], segments: List[Vec]) -> Step:
        inverse_minutes = None
        if feed_mode == "G93" and motion != "G0" and values.get("F", 0) > 0:
            inverse_minutes = 1.0 / values["F"]
        if motion == "G0":
            yield Plan(target, None)
        elif motion == "G1":
            yield Plan(target, feed, minutes=inverse_minutes)
        elif motion in ("G2", "G3"):
            share = inverse_minutes / len(segments) if inverse_minutes else None
            for point in segments:
                yield Plan(point, feed, minutes=share)
        elif motion in _PROBES:
            yield from self._probe(motion, target, feed)
            return "ok"
        self._gc_pos = target
        return "ok"

    def _probe(self, motion: str, target: Vec, feed: float) -> Step:
        yield Sync()
        start = self._pos
        contact = self._probe_contact(start, target)
        if contact == "initial":
            self._enter_alarm(self.config.probe_fail_alarm)
            self._gc_pos = start
            return "ok"
        end = contact if contact is not None else target
        yield Plan(end, feed, kind="probe")
        yield Sync()
        self._gc_pos = end
        self.probe_result = (end, contact is not None)
        if contact is None and motion in ("G38.2", "G38.4"):
            self._enter_alarm(self.config.probe_fail_alarm)
        self._out.line(self._probe_line())
        return "ok"

    def _probe_contact(self, start: Vec, target: Vec):
        """Where a probe move from ``start`` to ``target`` touches the configured surface."""
        surfaces = self.config.probe_contact or {}
        best = None
        for axis, level in surfaces.items():
            i = AXES.index(axis.upper())
            s, t = start[i], target[i]
            if s == level:
                return "initial"
            if s == t or not min(s, t) <= level <= max(s, t):
                continue
            fraction = (level - s) / (t - s)
            if best is None or fraction < best:
                best = fraction
        if best is None:
            return None
        return tuple(s + (t - s) * best for s, t in zip(start, target))

    def _set_coord_offsets(self, slot: int, axis_words: Dict[str, float], scale: float,
                           relative_to_position: bool) -> None:
        data = list(self.coord_offsets[slot])
        for i, axis in enumerate(AXES):
            if axis not in axis_words:
                continue
            value = axis_words[axis] * scale
            if relative_to_position:
                value = self._gc_pos[i] - self.g92[i] - value
                if i == 2:
                    value -= self.tool_length_offset
            data[i] = value
        self.coord_offsets[slot] = (data[0], data[1], data[2])
        self._offsets_changed()

    def _set_g92(self, axis_words: Dict[str, float], scale: float) -> None:
        base = self.coord_offsets[self.modal.coord]
        g92 = list(self.g92)
        for i, axis in enumerate(AXES):
            if axis in axis_words:
                g92[i] = self._gc_pos[i] - base[i] - axis_words[axis] * scale
                if i == 2:
                    g92[i] -= self.tool_length_offset
        self.g92 = (g92[0], g92[1], g92[2])
        self._offsets_changed()

    # Jogging -------------------------------------------------------------------------------

    def _run_jog(self, text: str) -> Step:
        block = parse_block(text)
        allowed_groups = {"units", "distance", "non_modal"}
        if set(block.groups) - allowed_groups or block.group("non_modal") not in (None, "G53"):
            raise GrblError(ERROR_INVALID_JOG_COMMAND)
        if set(block.values) - {"X", "Y", "Z", "F", "N"}:
            raise GrblError(ERROR_INVALID_JOG_COMMAND)
        if "F" not in block.values:
            raise GrblError(ERROR_UNDEFINED_FEED_RATE)
        axis_words = block.axis_words
        if not axis_words:
            raise GrblError(ERROR_NO_AXIS_WORDS)
        units = block.group("units") or self.modal.units
        scale = MM_PER_INCH if units == "G20" else 1.0
        distance = block.group("distance") or self.modal.distance
        target = self._target(axis_words, scale, distance == "G91",
                              block.group("non_modal") == "G53", self.modal.coord)
        if self.settings[20]:
            for i in range(3):
                travel = float(self.settings[130 + i])
                if not -travel <= target[i] <= 0:
                    raise GrblError(ERROR_TRAVEL_EXCEEDED)
        yield Plan(target, block.values["F"] * scale, kind="jog")
        self._gc_pos = target
        return "ok"
