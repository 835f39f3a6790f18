"""One soak run, drawn from a seed: the job, the simulator settings and the faults to inject."""

from __future__ import annotations

import dataclasses
import random
from typing import List, Optional

# Every fault the soak injects, in the order of the report table.
FAULT_KINDS = (
    "split_replies",  # replies cut at random chunk boundaries
    "interleaved_ok",  # an "ok" held back and sent inside the next status report
    "corrupted_ok",  # an "ok" with NUL bytes between its letters
    "dropped_ok",  # an "ok" that never comes
    "error_reply",  # a job line the controller refuses with an error reply
    "alarm",  # the controller raises an alarm
    "short_silence",  # the controller stops answering for less than the poll limit
    "long_silence",  # ... and for longer than it
    "disconnect",  # the link drops (and comes back on the next connect attempt)
    "device_reset",  # the controller resets itself (power glitch, watchdog)
    "cancel",  # the host cancels the job
    "hold",  # the host holds the feed, then resumes
)

# Faults that end a job early when they hit it while it runs.
STOPPING = frozenset({"error_reply", "alarm", "long_silence", "disconnect", "device_reset",
                      "cancel"})

# Alarms the simulator raises; 1 and 2 are the critical ones that need a reset.
ALARM_CODES = (1, 2, 3, 6, 9)

# The refused line: GRBL answers an unsupported command with error:20.
BAD_LINE = "G1 X1 Q5 F100"
BAD_LINE_ERROR = 20


@dataclasses.dataclass
class Fault:
    kind: str
    at: float  # seconds after the job started
    arg: float = 0.0  # the alarm code, the silence or hold length, the ok count


@dataclasses.dataclass
class Plan:
    seed: int
    lines: List[str]
    speed_factor: float
    chunking: object  # None, a chunk size, or "random"
    faults: List[Fault]
    over_pty: bool
    bad_line_index: Optional[int] = None

    def describe(self) -> str:
        kinds = ", ".join(f"{f.kind}@{f.at:.2f}s" for f in self.faults) or "none"
        link = "pty" if self.over_pty else "mock"
        return (f"seed {self.seed}: {len(self.lines)} lines over {link}, speed {self.speed_factor}, "
                f"chunking {self.chunking}, faults: {kinds}")


def job_lines(seed: int, count: int, feed: int) -> List[str]:
    """`count` moves that are all different, so every line can be told apart on the wire."""
    tag = seed % 1000
    return [f"G1 X{i + 1}.{tag:03d} Y{(i * 7) % 50}.5 F{feed}" for i in range(count)]


def draw_plan(seed: int, pty_every: int = 0) -> Plan:
    rng = random.Random(seed)
    count = rng.randint(20, 120)
    speed_factor = rng.choice([0.0, 0.0, 0.01, 0.05])
    lines = job_lines(seed, count, rng.choice([300, 1200, 6000]))
    over_pty = bool(pty_every) and seed % pty_every == 0
    chunking = None
    if rng.random() < 0.5:
        chunking = rng.choice([1, 2, 3, 5, 7, 11, "random"])

    # A job at speed 0 streams in tens of milliseconds; slower ones take up to a second
    # or two. Faults land anywhere in that span, some after the job has ended.
    span = 0.15 if speed_factor == 0 else min(2.0, count * 0.6 * 60 / 1200 * speed_factor + 0.3)
    faults: List[Fault] = []
    bad_line_index = None
    for kind in FAULT_KINDS[1:]:
        if kind == "disconnect" and over_pty:
            continue  # the pty server closes its terminal for good on a dropped link
        if rng.random() >= 0.18:
            continue
        at = rng.uniform(0.0, span)
        if kind == "error_reply":
            bad_line_index = rng.randrange(count)
            lines[bad_line_index] = BAD_LINE
            faults.append(Fault(kind, 0.0))
        elif kind == "alarm":
            faults.append(Fault(kind, at, rng.choice(ALARM_CODES)))
        elif kind == "short_silence":
            faults.append(Fault(kind, at, rng.uniform(0.05, 0.2)))
        elif kind == "long_silence":
            faults.append(Fault(kind, at, 2.5))
        elif kind == "hold":
            faults.append(Fault(kind, at, rng.uniform(0.05, 0.4)))
        elif kind in ("dropped_ok", "corrupted_ok", "interleaved_ok"):
            faults.append(Fault(kind, at, rng.randint(1, 3)))
        else:
            faults.append(Fault(kind, at))
    if chunking is not None:
        faults.insert(0, Fault("split_replies", 0.0))
    faults.sort(key=lambda f: f.at)
    return Plan(seed, lines, speed_factor, chunking, faults, over_pty, bad_line_index)


def random_chunker(seed: int):
    """Cuts the controller's output at random places, from single bytes to whole replies."""
    rng = random.Random(seed ^ 0x5EED)

    def cut(data: bytes):
        chunks, at = [], 0
        while at < len(data):
            size = rng.randint(1, 24)
            chunks.append(data[at:at + size])
            at += size
        return chunks

    return cut
