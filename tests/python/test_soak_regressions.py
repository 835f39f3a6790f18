"""Faults the fault-injection soak found, each pinned by the smallest run that shows it."""

import asyncio
import time

from session_support import SimulatedDevice, wait_until


async def test_error_while_waiting_for_the_last_acks_stops_the_job_at_once():
    # The first line's "ok" is lost, so the job ends up waiting for its acknowledgements
    # when the refused line's error arrives. The default 30 s wait must not delay the stop
    # and its safety shutdown.
    async with SimulatedDevice({"deadlock_detection": True}, speed_factor=0) as device:
        device.sim.drop_oks(1)
        started = time.monotonic()
        await asyncio.wait_for(device.session.run("G1 X1 F100\nG1 X1 Q5\nG1 X2\n"), 10)
        assert time.monotonic() - started < 5
        await wait_until(lambda: device.recorder.named("job_finished"))
        assert device.session.state.error.code == 20


async def test_alarm_while_waiting_for_the_last_acks_stops_the_job_at_once():
    # Fifteen slow moves fill the planner, the last five lines wait in the controller's
    # buffer, and a hard-limit alarm keeps them there unanswered.
    async with SimulatedDevice({"deadlock_detection": True}, speed_factor=0.5) as device:
        program = "".join(f"G1 X{i} F60\n" for i in range(1, 21))
        run = asyncio.ensure_future(device.session.run(program))
        await wait_until(lambda: b"G1 X20 F60\n" in device.written())
        started = time.monotonic()
        device.sim.raise_alarm(1)
        await asyncio.wait_for(run, 10)
        assert time.monotonic() - started < 5
        assert device.session.state.error.code == 1
        await wait_until(lambda: device.recorder.named("job_finished"))
        assert len(device.recorder.named("job_finished")) == 1


async def test_controller_reset_under_a_job_stops_it_with_an_error():
    # At speed 0 nothing moves, so the reset raises no alarm: only its banner tells that the
    # lines in the controller's buffer are gone.
    async with SimulatedDevice({"deadlock_detection": True}, speed_factor=0) as device:
        device.sim.set_silent(True)  # the lines stay unanswered while the reset comes
        run = asyncio.ensure_future(device.session.run("G1 X1\nG1 X2\nG1 X3\n"))
        await wait_until(lambda: device.session.pending_commands)
        device.sim.set_silent(False)
        device.sim.feed(b"\x18")
        await asyncio.wait_for(run, 10)
        error = device.session.state.error
        assert error is not None and "Controller reset during job." in error.description
        await wait_until(lambda: device.recorder.named("job_finished"))
        assert len(device.recorder.named("job_finished")) == 1


async def test_silent_device_is_not_taken_for_an_idle_one():
    # The last report before the job showed an idle controller with an empty buffer. Once
    # the device falls silent that stale report must not trigger a deadlock recovery (whose
    # dwell would then wait 30 s for an answer): the silent polls stop the job instead.
    config = {"deadlock_detection": True, "stall_timeout_default": 0.3,
              "poll_response_interval": 0.02, "poll_response_attempts": 5}
    async with SimulatedDevice(config, speed_factor=0.01) as device:
        device.sim.set_silent(True)
        started = time.monotonic()
        await asyncio.wait_for(device.session.run("G1 X1 F600\n" * 40), 15)
        assert time.monotonic() - started < 10
        assert b"G4 P0.01" not in device.written()
        assert "stopped responding" in device.session.state.error.description


async def test_a_job_does_not_stream_on_over_the_next_link():
    # Slow moves keep the controller's buffer full, so the job waits for space when the link
    # drops. The next link starts with empty counts while the controller still holds those
    # lines: streaming on would overflow its buffer. The job stops instead.
    config = {"deadlock_detection": True, "stall_timeout_default": 0.3}
    async with SimulatedDevice(config, speed_factor=0.05) as device:
        program = "".join(f"G1 X{i} F60\n" for i in range(1, 61))
        run = asyncio.ensure_future(device.session.run(program))
        await wait_until(lambda: device.session.buffer_count > 100)
        device.sim.drop_link()
        await asyncio.wait_for(run, 15)
        assert device.sim.overflows == []
        error = device.session.state.error
        assert error is not None and "disconnected during job" in error.description
        assert b"G1 X60 F60\n" not in device.written()
