"""Configuration of the simulated controller and its ``$$`` settings table."""

from __future__ import annotations

import dataclasses
from typing import Mapping, Optional, Tuple

MM_PER_INCH = 25.4

# (number, default value, printed as integer). The defaults are those of a stock GRBL 1.1h
# build, except $10=3, which adds the buffer field (Bf:) to status reports.
SETTINGS_TABLE: Tuple[Tuple[int, float, bool], ...] = (
    (0, 10, True),
    (1, 25, True),
    (2, 0, True),
    (3, 0, True),
    (4, 0, True),
    (5, 0, True),
    (6, 0, True),
    (10, 3, True),
    (11, 0.010, False),
    (12, 0.002, False),
    (13, 0, True),
    (20, 0, True),
    (21, 0, True),
    (22, 0, True),
    (23, 0, True),
    (24, 25.0, False),
    (25, 500.0, False),
    (26, 250, True),
    (27, 1.0, False),
    (30, 1000, True),
    (31, 0, True),
    (32, 0, True),
    (100, 250.0, False),
    (101, 250.0, False),
    (102, 250.0, False),
    (110, 500.0, False),
    (111, 500.0, False),
    (112, 500.0, False),
    (120, 10.0, False),
    (121, 10.0, False),
    (122, 10.0, False),
    (130, 200.0, False),
    (131, 200.0, False),
    (132, 200.0, False),
)

INTEGER_SETTINGS = frozenset(number for number, _, is_int in SETTINGS_TABLE if is_int)

# $30 and $31 are spindle speeds: GRBL prints them without decimals although they are floats.
_NO_DECIMAL_SETTINGS = frozenset({30, 31})


def default_settings() -> dict:
    """The stock settings as a ``{number: value}`` dictionary, in listing order."""
    return {number: value for number, value, _ in SETTINGS_TABLE}


def format_setting(number: int, value: float) -> str:
    """One line of the ``$$`` listing, e.g. ``$100=250.000``."""
    if number in INTEGER_SETTINGS or number in _NO_DECIMAL_SETTINGS:
        return f"${number}={int(value)}"
    return f"${number}={value:.3f}"


@dataclasses.dataclass
class SimConfig:
    """Everything that shapes the simulated controller.

    Pass the fields as keyword arguments to :class:`GrblSimulator` (or a ready ``SimConfig``
    as ``config=``).

    * ``rx_buffer_size``: bytes of the serial receive buffer (reported by ``$I`` and ``Bf:``).
    * ``planner_blocks``: motion blocks the planner holds (reported by ``$I`` and ``Bf:``).
    * ``speed_factor``: simulated motion time is the physical time multiplied by this factor;
      ``1.0`` runs in real time, ``0.01`` a hundred times faster, ``0`` makes motion instant.
    * ``version`` / ``build_info``: the two fields of the ``[VER:...]`` line.
    * ``option_letters``: the first field of the ``[OPT:...]`` line.
    * ``wco_every``: ``None`` sends the ``WCO:`` field the way GRBL does (in the first report,
      after an offset change, then every 10th report while idle and every 30th while busy);
      ``n`` sends it in every n-th report (1: always).
    * ``homing_enabled``: the initial value of ``$22``; ``$H`` answers ``error:5`` without it.
    * ``homing_lock``: start (and come out of a reset) in the alarm state while homing is
      enabled, the way GRBL boots; off by default so that a fresh simulator is idle.
    * ``homing_time``: seconds a homing cycle takes (scaled by ``speed_factor``).
    * ``home_position``: machine position after homing, in mm.
    * ``probe_contact``: ``{"Z": -3.2}`` places a surface at machine Z = -3.2 mm; a probe move
      that crosses it stops there and succeeds. ``None`` makes every probe fail.
    * ``probe_fail_alarm``: the alarm code of a ``G38.2``/``G38.4`` that finds no contact.
    * ``settings``: overrides of the ``$$`` settings, ``{13: 1}`` for example.
    """

    rx_buffer_size: int = 128
    planner_blocks: int = 15
    speed_factor: float = 1.0
    version: str = "1.1h.20190830"
    build_info: str = ""
    option_letters: str = "V"
    wco_every: Optional[int] = None
    homing_enabled: bool = True
    homing_lock: bool = False
    homing_time: float = 2.0
    home_position: Tuple[float, float, float] = (0.0, 0.0, 0.0)
    probe_contact: Optional[Mapping[str, float]] = None
    probe_fail_alarm: int = 4
    settings: Mapping[int, float] = dataclasses.field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.rx_buffer_size < 2:
            raise ValueError("rx_buffer_size must be at least 2")
        if self.planner_blocks < 1:
            raise ValueError("planner_blocks must be at least 1")
        if self.speed_factor < 0:
            raise ValueError("speed_factor must not be negative")
        if self.wco_every is not None and self.wco_every < 1:
            raise ValueError("wco_every must be None or at least 1")
        unknown = set(self.settings) - {number for number, _, _ in SETTINGS_TABLE}
        if unknown:
            raise ValueError(f"unknown settings: {sorted(unknown)}")
