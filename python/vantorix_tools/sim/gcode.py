"""Line clean-up and G-code word parsing, with GRBL's error codes.

This module only reads text; what a block does to the machine is decided by the simulator.
"""

from __future__ import annotations

import dataclasses
import re
from typing import Dict, List, Optional

# GRBL's line buffer holds 80 characters including the terminating zero.
MAX_LINE_CHARS = 79

ERROR_EXPECTED_COMMAND_LETTER = 1
ERROR_BAD_NUMBER_FORMAT = 2
ERROR_INVALID_STATEMENT = 3
ERROR_NEGATIVE_VALUE = 4
ERROR_SETTING_DISABLED = 5
ERROR_SETTING_STEP_PULSE_MIN = 6
ERROR_IDLE_ERROR = 8
ERROR_SYSTEM_GC_LOCK = 9
ERROR_SOFT_LIMIT_ERROR = 10
ERROR_TRAVEL_EXCEEDED = 15
ERROR_OVERFLOW = 11
ERROR_INVALID_JOG_COMMAND = 16
ERROR_UNSUPPORTED_COMMAND = 20
ERROR_MODAL_GROUP_VIOLATION = 21
ERROR_UNDEFINED_FEED_RATE = 22
ERROR_COMMAND_VALUE_NOT_INTEGER = 23
ERROR_AXIS_COMMAND_CONFLICT = 24
ERROR_WORD_REPEATED = 25
ERROR_NO_AXIS_WORDS = 26
ERROR_INVALID_LINE_NUMBER = 27
ERROR_VALUE_WORD_MISSING = 28
ERROR_UNSUPPORTED_COORD_SYS = 29
ERROR_G53_INVALID_MOTION_MODE = 30
ERROR_AXIS_WORDS_EXIST = 31
ERROR_NO_AXIS_WORDS_IN_PLANE = 32
ERROR_INVALID_TARGET = 33
ERROR_ARC_RADIUS_ERROR = 34
ERROR_NO_OFFSETS_IN_PLANE = 35
ERROR_UNUSED_WORDS = 36
ERROR_G43_DYNAMIC_AXIS_ERROR = 37
ERROR_MAX_VALUE_EXCEEDED = 38


class GrblError(Exception):
    """A line rejected with ``error:<code>``."""

    def __init__(self, code: int) -> None:
        super().__init__(f"error:{code}")
        self.code = code


def clean_line(raw: str) -> str:
    """Reduce a received line the way GRBL's line reader does.

    Whitespace and control characters, block-delete slashes and comments (in parentheses or
    after a semicolon) are dropped and letters are upper-cased. Raises ``GrblError(11)`` when
    more than 79 characters remain.
    """
    out: List[str] = []
    in_parens = False
    overflow = False
    for c in raw:
        if in_parens:
            if c == ")":
                in_parens = False
            continue
        if c == ";":
            break
        if c <= " " or c == "/":
            continue
        if c == "(":
            in_parens = True
            continue
        if len(out) >= MAX_LINE_CHARS:
            overflow = True
            continue
        out.append(c.upper() if "a" <= c <= "z" else c)
    if overflow:
        raise GrblError(ERROR_OVERFLOW)
    return "".join(out)


_NUMBER_RE = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)")


def read_number(text: str, start: int) -> Optional[re.Match]:
    """Match a GRBL number (sign, digits, one point, no exponent) at ``start``."""
    return _NUMBER_RE.match(text, start)


# Modal group of every supported G code, keyed by its canonical text.
_G_GROUPS: Dict[str, str] = {}
for _group, _codes in {
    "motion": ("0", "1", "2", "3", "38.2", "38.3", "38.4", "38.5", "80"),
    "non_modal": ("4", "10", "28", "28.1", "30", "30.1", "53", "92", "92.1"),
    "plane": ("17", "18", "19"),
    "distance": ("90", "91"),
    "arc_distance": ("91.1",),
    "feed_mode": ("93", "94"),
    "units": ("20", "21"),
    "cutter": ("40",),
    "tlo": ("43.1", "49"),
    "coord": ("54", "55", "56", "57", "58", "59"),
    "control": ("61",),
}.items():
    for _code in _codes:
        _G_GROUPS[_code] = _group

_M_GROUPS = {"0": "stop", "1": "stop", "2": "stop", "30": "stop",
             "3": "spindle", "4": "spindle", "5": "spindle",
             "7": "coolant", "8": "coolant", "9": "coolant"}

VALUE_LETTERS = frozenset("FIJKLNPRSTXYZ")
AXES = ("X", "Y", "Z")


@dataclasses.dataclass
class Block:
    """One parsed G-code line: the code chosen in each modal group and the value words."""

    groups: Dict[str, str]  # modal group -> "G1", "M3", ...
    values: Dict[str, float]  # letter -> value, in the units of the line

    def group(self, name: str) -> Optional[str]:
        return self.groups.get(name)

    @property
    def axis_words(self) -> Dict[str, float]:
        return {axis: self.values[axis] for axis in AXES if axis in self.values}


def _canonical_code(value: float) -> str:
    text = f"{value:.3f}".rstrip("0").rstrip(".")
    return text if text else "0"


def parse_block(line: str) -> Block:
    """Split a cleaned line into its words and sort them into modal groups.

    Raises ``GrblError`` for a missing letter (1), a bad number (2), an unknown code or letter
    (20), a fractional code that takes no fraction (23), two codes of one group (21) and a
    repeated value word (25).
    """
    groups: Dict[str, str] = {}
    values: Dict[str, float] = {}
    pos = 0
    while pos < len(line):
        letter = line[pos]
        if not "A" <= letter <= "Z":
            raise GrblError(ERROR_EXPECTED_COMMAND_LETTER)
        match = read_number(line, pos + 1)
        if match is None:
            raise GrblError(ERROR_BAD_NUMBER_FORMAT)
        pos = match.end()
        value = float(match.group())
        if letter in ("G", "M"):
            table = _G_GROUPS if letter == "G" else _M_GROUPS
            code = _canonical_code(value)
            group = table.get(code)
            if group is None:
                whole = _canonical_code(float(int(value)))
                if value >= 0 and whole in table and letter == "G":
                    raise GrblError(ERROR_COMMAND_VALUE_NOT_INTEGER)
                raise GrblError(ERROR_UNSUPPORTED_COMMAND)
            if group in groups:
                raise GrblError(ERROR_MODAL_GROUP_VIOLATION)
            groups[group] = letter + code
        elif letter in VALUE_LETTERS:
            if letter in values:
                raise GrblError(ERROR_WORD_REPEATED)
            values[letter] = value
        else:
            raise GrblError(ERROR_UNSUPPORTED_COMMAND)
    return Block(groups, values)
