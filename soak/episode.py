"""Runs one soak plan against the simulator and checks what came out."""

from __future__ import annotations

import asyncio
import dataclasses
from typing import Dict, List, Optional

import vantorix
from vantorix_tools.sim import GrblSimulator, MockTransportAttachment, PtyServer

from plan import BAD_LINE_ERROR, STOPPING, Plan, random_chunker

GrblSession = vantorix.grbl.GrblSession
MockTransport = vantorix.grbl.MockTransport

# Short timings so that every stall, silence and reconnect resolves within a second or two.
CONFIG = {
    "handshake_timeout": 0.6,
    "handshake_poll_interval": 0.05,
    "status_poll_interval": 0.05,
    "reconnect_delay": 0.2,
    "command_timeout": 2.0,
    "stall_timeout_default": 0.3,
    "stall_timeout_min": 0.1,
    "stall_timeout_max": 0.5,
    "poll_response_interval": 0.02,
    "poll_response_attempts": 5,
    "safety_shutdown_delay": 0.05,
    # Without it a lost "ok" stalls a job for good while the device answers polls.
    "deadlock_detection": True,
}

# Generous bounds: a run that needs more has hung.
CONNECT_LIMIT = 10.0
JOB_LIMIT = 60.0
FAULTS_LIMIT = 30.0
DISCONNECT_LIMIT = 10.0

# Error-level log lines each fault explains; any other error line is a violation.
EXPLAINED_ERRORS: Dict[str, tuple] = {
    "corrupted_ok": ("HARDWARE FAULT DETECTED",),
    "error_reply": ("GRBL error during job",),
    # Lines still in the controller's buffer are refused with error:9 once it is in alarm.
    "alarm": ("GRBL ALARM during job", "GRBL error during job: error:9"),
    "device_reset": ("Controller reset during job", "GRBL ALARM during job",
                     "GRBL error during job: error:9"),
    "long_silence": ("No response to ", "Recovery failed: buffer still full."),
    "disconnect": ("Connection error", "No response to ", "Recovery failed: buffer still full."),
}

# The `DeviceError.code` a fault may leave behind (-1: the job error of a failed job).
ERROR_CODES: Dict[str, set] = {
    "error_reply": {BAD_LINE_ERROR, -1},
    # A reset in motion raises alarm 3; the lines behind it are refused with error:9, which
    # comes first when the alarm line itself was lost on a dropped link.
    "device_reset": {-1, 3, 9},
    "long_silence": {-1},
    "disconnect": {-1},
    "cancel": {3},  # the cancel's own reset in motion
}


class Recorder:
    def __init__(self) -> None:
        self.events: List[tuple] = []

    def __call__(self, name, payload) -> None:
        self.events.append((name, payload))

    def count(self, name: str) -> int:
        return sum(1 for event, _ in self.events if event == name)

    def statuses(self) -> List[str]:
        return [p[0] for e, p in self.events if e == "connection_status_changed"]


@dataclasses.dataclass
class Injected:
    kind: str
    during_job: bool
    arg: float


@dataclasses.dataclass
class Outcome:
    plan: Plan
    injected: List[Injected]
    violations: List[str]


async def _wait_until(predicate, limit: float) -> bool:
    loop = asyncio.get_running_loop()
    deadline = loop.time() + limit
    while not predicate():
        if loop.time() > deadline:
            return False
        await asyncio.sleep(0.01)
    return True


async def _inject(plan: Plan, sim: GrblSimulator, session, started: float,
                  injected: List[Injected]) -> None:
    loop = asyncio.get_running_loop()
    for fault in plan.faults:
        if fault.kind in ("split_replies", "error_reply"):
            injected.append(Injected(fault.kind, True, fault.arg))
            continue
        delay = started + fault.at - loop.time()
        if delay > 0:
            await asyncio.sleep(delay)
        injected.append(Injected(fault.kind, session.job_running, fault.arg))
        kind = fault.kind
        if kind == "interleaved_ok":
            sim.interleave_next_ok()
        elif kind == "corrupted_ok":
            for _ in range(int(fault.arg)):
                sim.corrupt_next_ok()
        elif kind == "dropped_ok":
            sim.drop_oks(int(fault.arg))
        elif kind == "alarm":
            sim.raise_alarm(int(fault.arg))
        elif kind in ("short_silence", "long_silence"):
            sim.set_silent(True)
            await asyncio.sleep(fault.arg)
            sim.set_silent(False)
        elif kind == "disconnect":
            sim.drop_link()
        elif kind == "device_reset":
            sim.feed(b"\x18")
        elif kind == "cancel":
            try:
                await session.cancel()
            except ConnectionError:
                pass  # the link was down: nothing to cancel on the device
        elif kind == "hold":
            try:
                await session.set_hold(True)
                await asyncio.sleep(fault.arg)
            except ConnectionError:
                pass
            finally:
                await _resume(session)


async def _resume(session) -> None:
    # A resume can meet a dropped link; it is retried until the link is back.
    for _ in range(50):
        try:
            await session.set_hold(False)
            return
        except ConnectionError:
            await asyncio.sleep(0.1)


def _check_lines(plan: Plan, sim: GrblSimulator, violations: List[str]) -> int:
    job = {line: i for i, line in enumerate(plan.lines)}
    seen = [r.text for r in sim.received if r.text in job]
    if len(set(seen)) != len(seen):
        twice = sorted({t for t in seen if seen.count(t) > 1}, key=job.get)
        violations.append(f"line written twice: {twice[:3]}")
    elif seen != plan.lines[:len(seen)]:
        first = next(i for i, t in enumerate(seen) if t != plan.lines[i])
        violations.append(f"line skipped or reordered at job line {first}: got {seen[first]!r}")
    return len(seen)


def _check_outcome(plan: Plan, injected: List[Injected], recorder: Recorder, session,
                   sent: int, violations: List[str]) -> None:
    finished = recorder.count("job_finished")
    stops = {f.kind for f in injected if f.kind in STOPPING and f.during_job}
    complete = sent == len(plan.lines)
    error = session.state.error
    if finished > 1:
        violations.append(f"job_finished {finished} times")
    if not stops:
        if not complete:
            violations.append(f"job stopped after {sent}/{len(plan.lines)} lines without a reason")
        if finished != 1:
            violations.append(f"job_finished {finished} times for a job that ran to its end")
        late_alarm = any(f.kind in ("alarm", "device_reset") for f in injected)
        if error is not None and not late_alarm:
            violations.append(f"state.error set without a device error: {error!r}")
        return
    if finished == 0 and "disconnect" not in stops and "long_silence" not in stops:
        violations.append("no job_finished for a job stopped with the link up")
    allowed = set()
    for kind in stops:
        allowed |= ERROR_CODES.get(kind, set())
    alarms = {int(f.arg) for f in injected if f.kind == "alarm"}
    allowed |= alarms | ({9} if alarms else set())
    if error is None:
        # A cancel that found the link down stops the job without a job error.
        if not complete and "cancel" not in stops:
            violations.append(f"job stopped by {sorted(stops)} without state.error")
    elif error.code not in allowed:
        violations.append(f"state.error {error.code} {error.title!r} not explained by "
                          f"{sorted(stops)}")


def _check_log(injected: List[Injected], error_lines: List[str], violations: List[str]) -> None:
    explained = tuple(text for f in injected for text in EXPLAINED_ERRORS.get(f.kind, ()))
    for line in error_lines:
        if not any(text in line for text in explained):
            violations.append(f"unexpected error log: {line.strip()}")


async def run_plan(plan: Plan, read_error_lines, leaked: List[str]) -> Outcome:
    """Runs the plan; `read_error_lines()` returns the error-level log lines written since
    the last call, `leaked` collects exceptions that escaped into the loop or the
    interpreter."""
    violations: List[str] = []
    injected: List[Injected] = []
    sim = GrblSimulator(speed_factor=plan.speed_factor)
    sim.record_received()
    if plan.chunking == "random":
        sim.set_chunking(random_chunker(plan.seed))
    elif plan.chunking is not None:
        sim.set_chunking(plan.chunking)
    recorder = Recorder()
    if plan.over_pty:
        server = PtyServer(sim).start()
        session = GrblSession(dict(CONFIG, port=server.device), None, recorder)
    else:
        mock = MockTransport()
        server = MockTransportAttachment(sim, mock).start()
        session = GrblSession.with_transport(mock, CONFIG, None, recorder)
    try:
        await session.connect()
        if not await _wait_until(lambda: "CONNECTED" in recorder.statuses(), CONNECT_LIMIT):
            violations.append("hang: no connection")
            return Outcome(plan, injected, violations)
        read_error_lines()  # what the connection logged is not the job's
        loop = asyncio.get_running_loop()
        program = "".join(line + "\n" for line in plan.lines)
        job = asyncio.ensure_future(session.run(program, {i: i for i in range(len(plan.lines))}))
        faults = asyncio.ensure_future(_inject(plan, sim, session, loop.time(), injected))
        try:
            await asyncio.wait_for(asyncio.shield(job), JOB_LIMIT)
        except asyncio.TimeoutError:
            violations.append(f"hang: job still running after {JOB_LIMIT:.0f} s")
            await session.cancel()
        try:
            await asyncio.wait_for(faults, FAULTS_LIMIT)
        except asyncio.TimeoutError:
            violations.append("hang: fault injection did not finish")
        if not await _wait_until(lambda: not session.job_running, JOB_LIMIT):
            violations.append("hang: job_running stays true")
        await asyncio.sleep(0.1)  # the events of the job's end reach the loop
        sent = _check_lines(plan, sim, violations)
        if sim.overflows:
            violations.append(f"receive buffer overflow: {sim.overflows[0]}")
        _check_outcome(plan, injected, recorder, session, sent, violations)
    finally:
        try:
            await asyncio.wait_for(session.disconnect(), DISCONNECT_LIMIT)
        except asyncio.TimeoutError:
            violations.append("hang: disconnect")
        server.stop()
    _check_log(injected, read_error_lines(), violations)
    if server.error is not None:
        violations.append(f"simulator attachment failed: {server.error!r}")
    violations.extend(leaked)
    leaked.clear()
    return Outcome(plan, injected, violations)
