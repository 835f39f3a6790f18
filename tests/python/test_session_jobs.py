"""Streaming jobs, stall recovery, cancel and feed hold against the controller simulator."""

import asyncio
import contextlib
import math

import pytest

import vantorix
from session_support import GrblSession, MockTransport, SimulatedDevice, wait_until

DeviceStatus = vantorix.grbl.types.DeviceStatus

# Short stall and poll timings so that every stall path takes well under a second.
JOBS = {
    "stall_timeout_default": 0.3,
    "stall_timeout_min": 0.1,
    "stall_timeout_max": 0.5,
    "poll_response_interval": 0.02,
    "poll_response_attempts": 5,
    "safety_shutdown_delay": 0.05,
}


@contextlib.asynccontextmanager
async def job_device(config=None, **sim_options):
    """A connected simulated device; the simulator must never see its buffer overflow."""
    async with SimulatedDevice(dict(JOBS, **(config or {})), **sim_options) as device:
        yield device
        assert device.sim.overflows == []


def moves(count, feed=60000, step=1.0):
    """`count` G1 moves of `step` mm each, one per line."""
    return "".join(f"G1 X{(i + 1) * step:.3f} F{feed}\n" for i in range(count))


def executed(device, prefix="G1"):
    return [text for text, _ in device.sim.history if text.startswith(prefix)]


def progress_recorder():
    seen = []
    return seen, seen.append


# ---- streaming ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "op_line_map, expected",
    [({0: 0, 3: 1}, [0, 1]), ({3: 2}, [0, 1, 2]), (None, [])],
)
async def test_run_streams_lines_and_reports_progress(op_line_map, expected):
    async with job_device(speed_factor=0) as device:
        seen, callback = progress_recorder()
        program = "G0 X1\n\n(only a comment)\nG1 Y2 F1000 ; feed\n"
        assert await device.session.run(program, op_line_map, None, callback) is None
        await wait_until(lambda: len(seen) >= len(expected) and device.recorder.named("job_finished"))
        assert seen == expected
        assert device.recorder.named("job_finished") == [None]
        assert [text for text, _ in device.sim.history][-2:] == ["G0 X1", "G1 Y2 F1000"]
        assert not device.session.job_running


async def test_long_job_keeps_the_buffer_and_the_line_order():
    async with job_device(speed_factor=0.002) as device:
        program = moves(150, feed=600)
        await device.session.run(program, {i: i for i in range(150)}, [0.1] * 150)
        assert executed(device) == program.splitlines()
        assert device.sim.dropped_oks == 0
        await wait_until(lambda: device.recorder.named("job_finished"))
        assert len(device.recorder.named("job_finished")) == 1
        assert device.session.buffer_count == 0


async def test_run_raw_sends_realtime_characters_first():
    async with job_device(speed_factor=0) as device:
        start = len(device.mock.sent())
        await device.session.run_raw("!\nG0 X1\n~\n")
        sent = device.mock.sent()[start:]
        assert [chunk for chunk in sent if chunk != b"?"][:3] == [b"!", b"~", b"G0 X1\n"]
        await wait_until(lambda: device.recorder.named("job_finished"))


async def test_run_raw_with_only_a_status_query_starts_no_job():
    async with job_device(speed_factor=0) as device:
        await device.session.run_raw("?")
        await asyncio.sleep(0.1)
        assert device.recorder.named("job_finished") == []


# ---- stalls -------------------------------------------------------------------------------


async def test_lost_acknowledgements_recovered_by_the_dwell():
    async with job_device({"deadlock_detection": True}, speed_factor=0) as device:
        # Seven lost oks of 17-byte lines: the host counts 119 of 128 bytes as taken and
        # the next line can never fit.
        device.sim.drop_oks(7)
        program = moves(20)
        await device.session.run(program)
        assert device.written().count(b"G4 P0.01\n") == 1
        assert executed(device) == program.splitlines()
        await wait_until(lambda: device.recorder.named("job_finished"))
        assert device.recorder.named("job_finished") == [None]
        assert device.session.state.error is None


async def test_end_of_job_recovery_without_deadlock_detection():
    async with job_device(speed_factor=0) as device:
        device.sim.drop_oks(1)
        await device.session.run("G0 X1\nG0 X2\n")
        assert device.written().count(b"G4 P0.01\n") == 1
        await wait_until(lambda: device.recorder.named("job_finished"))
        assert device.session.buffer_count == 0
        assert device.session.state.error is None


async def test_silent_device_declared_unresponsive():
    # The periodic poll sleeps for the whole test, so every "?" is a stall poll.
    async with job_device({"status_poll_interval": 30.0}, speed_factor=0) as device:
        await asyncio.sleep(0.1)
        start = len(device.written())
        device.sim.set_silent(True)
        await device.session.run(moves(20))
        during_job = device.written()[start:]
        assert during_job[: during_job.index(b"\x18")].count(b"?") == 3
        error = device.session.state.error
        assert (error.code, error.title) == (-1, "Job Error")
        assert error.description == "Device stopped responding during job (no reply to status polls)."
        await wait_until(lambda: device.recorder.named("job_finished"))
        device.sim.set_silent(False)


# ---- alarms, cancel and hold ---------------------------------------------------------------


async def test_alarm_mid_job_stops_the_next_line():
    async with job_device(speed_factor=0.05) as device:
        job = asyncio.ensure_future(device.session.run(moves(40, feed=600)))
        await wait_until(lambda: len(device.sim.history) >= 5)
        device.sim.raise_alarm(1)
        await asyncio.wait_for(job, 10)
        written = device.written()
        reset = written.index(b"\x18")
        assert b"G1" not in written[reset:]
        assert written.count(b"G1") < 40
        await wait_until(lambda: device.recorder.named("job_finished"))
        await asyncio.sleep(0.1)
        assert device.recorder.named("job_finished") == [None]
        assert b"M5\n" in device.written()[reset:]


async def test_cancel_during_a_stalled_line():
    async with job_device({"stall_timeout_default": 30.0}, speed_factor=1.0) as device:
        job = asyncio.ensure_future(device.session.run(moves(40, feed=60, step=10)))
        await wait_until(lambda: device.session.buffer_count > 100)
        assert await asyncio.wait_for(device.session.cancel(), 2) is None
        assert await asyncio.wait_for(job, 2) is None
        written = device.written()
        assert b"G1" not in written[written.index(b"\x18"):]
        await wait_until(lambda: device.recorder.named("job_finished"))
        await asyncio.sleep(0.1)
        assert device.recorder.named("job_finished") == [None]
        assert not device.session.job_running


async def test_hold_and_resume_during_a_job():
    async with job_device(speed_factor=0.2) as device:
        job = asyncio.ensure_future(device.session.run(moves(30, feed=600)))
        await wait_until(lambda: len(device.sim.history) >= 3)
        await device.session.set_hold(True)
        assert device.session.state.status == DeviceStatus.HOLD
        await wait_until(lambda: device.sim.state.startswith("Hold"))
        held_at = device.sim.machine_position
        await asyncio.sleep(0.1)
        assert device.sim.machine_position == held_at
        await device.session.set_hold(False)
        assert device.session.state.status == DeviceStatus.RUN
        await asyncio.wait_for(job, 10)
        assert device.written().count(b"!") == 1 and device.written().count(b"~") == 1
        await wait_until(lambda: device.recorder.named("job_finished"))


async def test_cancel_while_idle_resets_and_switches_the_laser_off():
    async with job_device(speed_factor=0) as device:
        start = len(device.mock.sent())
        assert await device.session.cancel(emergency=True) is None
        sent = [chunk for chunk in device.mock.sent()[start:] if chunk != b"?"]
        assert sent == [b"\x18", b"M5\n"]
        await asyncio.sleep(0.05)
        assert device.recorder.named("job_finished") == []


async def test_cancel_and_hold_need_the_link():
    session = GrblSession.with_transport(MockTransport(), JOBS)
    for call in (session.cancel(), session.set_hold(True)):
        with pytest.raises(ConnectionError, match="^Serial transport not connected$"):
            await call


# ---- arguments, signatures and configuration ------------------------------------------------


@pytest.mark.parametrize(
    "method, args, kwargs, error, name",
    [
        ("run", (1,), {}, TypeError, "gcode"),
        ("run", ("G0",), {"op_line_map": [(0, 0)]}, TypeError, "op_line_map"),
        ("run", ("G0",), {"op_line_map": {-1: 0}}, OverflowError, "op_line_map"),
        ("run", ("G0",), {"op_line_map": {0: -2}}, OverflowError, "op_line_map"),
        ("run", ("G0",), {"op_line_map": {0: "a"}}, TypeError, "op_line_map"),
        ("run", ("G0",), {"op_estimates": "1.0"}, TypeError, "op_estimates"),
        ("run", ("G0",), {"op_estimates": 1.0}, TypeError, "op_estimates"),
        ("run", ("G0",), {"op_estimates": [1.0, "x"]}, TypeError, "op_estimates"),
        ("run_raw", (b"G0",), {}, TypeError, "machine_code"),
        ("set_hold", (1,), {}, TypeError, "hold"),
        ("cancel", (), {"emergency": 0}, TypeError, "emergency"),
    ],
)
async def test_argument_checks(method, args, kwargs, error, name):
    session = GrblSession.with_transport(MockTransport(), JOBS)
    with pytest.raises(error, match=rf"^argument '{name}': "):
        getattr(session, method)(*args, **kwargs)


async def test_accepted_arguments():
    session = GrblSession.with_transport(MockTransport(), JOBS)
    futures = [
        session.run("", {0: 0, True: 1}, (1, 2.5, True)),
        session.run("", None, None, print),
        session.set_hold(),
        session.cancel(emergency=True),
    ]
    for future in futures:
        with contextlib.suppress(ConnectionError):
            await future


@pytest.mark.parametrize(
    "method, signature, body",
    [
        ("run", "($self, gcode, op_line_map=None, op_estimates=None, progress_callback=None)",
         "Stream a G-code program using the character-counting\nprotocol.\n\n"
         "`op_line_map` maps G-code line indices to op indices for\nprogress reporting; "
         "`op_estimates` holds per-op estimated\ndurations (seconds) used to scale per-line "
         "stall timeouts."),
        ("run_raw", "($self, machine_code)",
         "Execute a raw G-code string; GRBL realtime commands (?, ~, !)\n"
         "are sent via the control path instead of the stream."),
        ("set_hold", "($self, hold=True)", "Pause (feed hold) or resume the device."),
        ("cancel", "($self, emergency=False)",
         "Abort the running job: soft reset, queue cleanup and safety\nshutdown."),
    ],
)
def test_docstrings(method, signature, body):
    function = getattr(GrblSession, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ == body


@pytest.mark.parametrize(
    "bounds, message",
    [
        ({"stall_timeout_min": 10.0, "stall_timeout_max": 5.0},
         "config key 'stall_timeout_min': must not be greater than stall_timeout_max"),
        ({"stall_timeout_min": math.nan}, "config key 'stall_timeout_min': must be a finite number"),
        ({"stall_timeout_max": math.inf}, "config key 'stall_timeout_max': must be a finite number"),
    ],
)
def test_unusable_stall_timeout_bounds_are_refused(bounds, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        GrblSession(dict({"port": "p"}, **bounds))
    GrblSession({"port": "p", "stall_timeout_min": 5.0, "stall_timeout_max": 5.0})
