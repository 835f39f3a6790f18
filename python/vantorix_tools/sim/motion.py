"""Planner blocks, move durations and arc segmentation (positions in mm, machine frame)."""

from __future__ import annotations

import dataclasses
import math
from typing import List, Optional, Sequence, Tuple

from .gcode import ERROR_ARC_RADIUS_ERROR, ERROR_INVALID_TARGET, GrblError

Vec = Tuple[float, float, float]

# Below this angle an arc whose end equals its start is a full circle, as in GRBL.
_ARC_ANGULAR_TRAVEL_EPSILON = 5e-7


@dataclasses.dataclass
class Move:
    """One planner block: a straight move that takes ``duration`` simulated seconds."""

    start: Vec
    target: Vec
    duration: float
    feed: float  # mm/min, shown in the FS: field while the block runs
    kind: str = "motion"  # "motion", "jog" or "probe"
    elapsed: float = 0.0

    def position(self) -> Vec:
        """Where the tool is now, interpolated along the move."""
        if self.duration <= 0 or self.elapsed >= self.duration:
            return self.target
        f = self.elapsed / self.duration
        return tuple(s + (t - s) * f for s, t in zip(self.start, self.target))  # type: ignore


def move_minutes(start: Vec, target: Vec, feed: Optional[float],
                 max_rates: Sequence[float]) -> float:
    """Physical duration of a straight move in minutes.

    ``feed`` None is a rapid move at the axes' maximum rates; a feed move is never faster
    than the slowest axis allows.
    """
    axis_limit = 0.0
    for s, t, rate in zip(start, target, max_rates):
        if rate > 0:
            axis_limit = max(axis_limit, abs(t - s) / rate)
    if feed is None:
        return axis_limit
    distance = math.dist(start, target)
    return max(distance / feed if feed > 0 else 0.0, axis_limit)


def arc_offsets_from_radius(start: Vec, target: Vec, radius: float, clockwise: bool,
                            axis_0: int, axis_1: int) -> Tuple[float, float]:
    """Centre offsets (I/J-style) of an arc given by its radius, as GRBL computes them."""
    x = target[axis_0] - start[axis_0]
    y = target[axis_1] - start[axis_1]
    if x == 0 and y == 0:
        raise GrblError(ERROR_INVALID_TARGET)
    h_x2_div_d = 4.0 * radius * radius - x * x - y * y
    if h_x2_div_d < 0:
        raise GrblError(ERROR_ARC_RADIUS_ERROR)
    h_x2_div_d = -math.sqrt(h_x2_div_d) / math.hypot(x, y)
    if not clockwise:
        h_x2_div_d = -h_x2_div_d
    if radius < 0:
        h_x2_div_d = -h_x2_div_d
    return 0.5 * (x - y * h_x2_div_d), 0.5 * (y + x * h_x2_div_d)


def check_arc_target(start: Vec, target: Vec, offset: Tuple[float, float], axis_0: int,
                     axis_1: int) -> float:
    """Radius of an offset-form arc; ``GrblError(33)`` when the end is not on the circle."""
    radius = math.hypot(offset[0], offset[1])
    cx = start[axis_0] + offset[0]
    cy = start[axis_1] + offset[1]
    target_radius = math.hypot(target[axis_0] - cx, target[axis_1] - cy)
    delta = abs(target_radius - radius)
    if delta > 0.005 and (delta > 0.5 or delta > 0.001 * radius):
        raise GrblError(ERROR_INVALID_TARGET)
    return radius


def arc_points(start: Vec, target: Vec, offset: Tuple[float, float], clockwise: bool,
               axis_0: int, axis_1: int, axis_linear: int, tolerance: float) -> List[Vec]:
    """The end points of the straight segments GRBL cuts an arc into (the last is ``target``)."""
    cx = start[axis_0] + offset[0]
    cy = start[axis_1] + offset[1]
    r0 = -offset[0]
    r1 = -offset[1]
    rt0 = target[axis_0] - cx
    rt1 = target[axis_1] - cy
    radius = math.hypot(r0, r1)
    travel = math.atan2(r0 * rt1 - r1 * rt0, r0 * rt0 + r1 * rt1)
    if clockwise:
        if travel >= -_ARC_ANGULAR_TRAVEL_EPSILON:
            travel -= 2 * math.pi
    elif travel <= _ARC_ANGULAR_TRAVEL_EPSILON:
        travel += 2 * math.pi
    chord = math.sqrt(max(tolerance * (2 * radius - tolerance), 1e-12))
    segments = int(abs(0.5 * travel * radius) / chord)
    points: List[Vec] = []
    if segments > 1:
        theta = travel / segments
        linear = (target[axis_linear] - start[axis_linear]) / segments
        for i in range(1, segments):
            angle = theta * i
            cos_a, sin_a = math.cos(angle), math.sin(angle)
            p = list(start)
            p[axis_0] = cx + r0 * cos_a - r1 * sin_a
            p[axis_1] = cy + r0 * sin_a + r1 * cos_a
            p[axis_linear] = start[axis_linear] + linear * i
            points.append(tuple(p))  # type: ignore
    points.append(target)
    return points
