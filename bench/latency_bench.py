"""Latency figures of the engine, taken from two clocks that share CLOCK_MONOTONIC: the
responder's trace (`--trace`) stamps what it reads and writes on its pty, the host stamps what
it calls and what its callbacks see.

- ack to next line: the responder's "ok" write returning -> the first byte of the next line
  read by the responder, while the stream waits for buffer space (the device takes 1 ms per
  line, so the buffer is always full). Includes both pty transits and the wake-ups of both
  processes.
- cancel to soft reset: the host calling `GrblSession.cancel()` -> the responder reading 0x18,
  while a line waits for space (the device takes 5 ms per line). Includes one pty transit.
- report to state_changed: the responder's status-report write returning -> the session's
  event callback running on the event loop with that report's state. Includes one pty transit.
"""

import asyncio
import os
import subprocess
import tempfile
import time

from baseline_streamer import job_lines
from baseline_streamer import run as run_baseline
from engine_streamer import open_session, job_text
from responder_process import ROOT, Responder

ACK_LINES = 3000
ACK_LINE_TIME_MS = "1"
CANCEL_ROUNDS = 40
CANCEL_LINE_TIME_MS = "5"
REPORT_SAMPLES = 300
REPORT_POLL_INTERVAL = 0.01
SOFT_RESET = 0x18


def reflex_binary():
    return str(ROOT / os.environ.get("BUILD", "build") / "vantorix_reflex_host")


def monotonic_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def read_trace(path):
    """[(letter, value, ns)] in file order, which is the order the responder saw them."""
    with open(path) as trace:
        return [(kind, int(value), int(ns)) for kind, value, ns in map(str.split, trace)]


def percentile(samples, fraction):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def summary_us(samples_ns):
    """(p50, p99) in microseconds."""
    return percentile(samples_ns, 0.50) / 1e3, percentile(samples_ns, 0.99) / 1e3


class TracedResponder(Responder):
    """A responder that writes its trace to a temporary file, read back after it stopped."""

    def __init__(self, *args):
        handle, self.trace_path = tempfile.mkstemp(prefix="vantorix-trace-")
        os.close(handle)
        super().__init__("--pty", "--trace", self.trace_path, *args)

    def stop_and_read(self):
        counters = self.stop()
        events = read_trace(self.trace_path)
        os.unlink(self.trace_path)
        return events, counters


def ack_to_next_line(events):
    """For every "ok" that is followed by a line start before the next "ok": that delay. The
    first lines fill the buffer and the last ones have no successor, so both ends are cut."""
    delays = []
    last_ok = None
    for kind, _, ns in events:
        if kind == "o":
            last_ok = ns
        elif kind == "l" and last_ok is not None:
            delays.append(ns - last_ok)
            last_ok = None
    return delays[10:-10]


async def engine_ack_latency():
    with TracedResponder("--line-time", ACK_LINE_TIME_MS) as responder:
        session, _ = await open_session(f"pty:{responder.pty}")
        try:
            await session.run(job_text(job_lines(ACK_LINES)))
        finally:
            await session.disconnect()
        events, counters = responder.stop_and_read()
    return ack_to_next_line(events), counters


def baseline_ack_latency():
    with TracedResponder("--line-time", ACK_LINE_TIME_MS) as responder:
        asyncio.run(run_baseline(f"pty:{responder.pty}", job_lines(ACK_LINES)))
        events, counters = responder.stop_and_read()
    return ack_to_next_line(events), counters


async def cancel_latency():
    """Starts a long job, lets the buffer fill, cancels; the host's call time against the
    responder's read of 0x18, once per round."""
    program = job_text(job_lines(2000))
    called = []
    with TracedResponder("--line-time", CANCEL_LINE_TIME_MS) as responder:
        # Without safety commands a cancel writes only the soft reset, so no line of one round
        # is left in the device's buffer when the next round's job starts.
        session, _ = await open_session(
            f"pty:{responder.pty}", dialect={"safety_off_commands": []}
        )
        try:
            for _ in range(CANCEL_ROUNDS):
                job = asyncio.ensure_future(session.run(program))
                await asyncio.sleep(0.03)
                called.append(monotonic_ns())
                await session.cancel()
                await job
                # An "ok" the device sent just before the reset may still be on its way; a
                # job started before it arrives would count it for one of its own lines.
                await asyncio.sleep(3 * int(CANCEL_LINE_TIME_MS) / 1000)
        finally:
            await session.disconnect()
        events, counters = responder.stop_and_read()
    resets = [ns for kind, value, ns in events if kind == "r" and value == SOFT_RESET]
    if len(resets) != len(called):
        raise RuntimeError(f"{len(called)} cancels but {len(resets)} soft resets")
    return [reset - call for call, reset in zip(called, resets)], counters


async def report_latency():
    """An idle session polling every 10 ms; each report carries its number as X position."""
    seen = {}

    def on_event(name, payload):
        if name == "state_changed":
            seen.setdefault(int(payload.machine_pos[0] or 0), monotonic_ns())

    with TracedResponder("--numbered-reports") as responder:
        config = {"status_poll_interval": REPORT_POLL_INTERVAL}
        session, _ = await open_session(f"pty:{responder.pty}", config, on_event)
        try:
            await asyncio.sleep(REPORT_SAMPLES * REPORT_POLL_INTERVAL)
        finally:
            await session.disconnect()
        events, counters = responder.stop_and_read()
    sent = {value: ns for kind, value, ns in events if kind == "s"}
    delays = [seen[number] - sent[number] for number in seen if number in sent]
    return delays[5:], counters


def floor_ack_latency():
    """The same measurement with the fastest host a pty allows (bench/reflex_host.cpp)."""
    with TracedResponder("--line-time", ACK_LINE_TIME_MS) as responder:
        subprocess.run([reflex_binary(), responder.pty, str(ACK_LINES)], check=True)
        events, counters = responder.stop_and_read()
    return ack_to_next_line(events), counters
