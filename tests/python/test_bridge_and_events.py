"""Future bridge and event delivery behaviours that need a fresh interpreter."""

import subprocess
import sys
import textwrap

PRELUDE = """
import asyncio, sys, time
import vantorix
from vantorix_tools.sim import GrblSimulator, MockTransportAttachment
GrblSession, MockTransport = vantorix.grbl.GrblSession, vantorix.grbl.MockTransport
FAST = {"handshake_timeout": 0.6, "handshake_poll_interval": 0.05,
        "status_poll_interval": 0.05, "reconnect_delay": 0.2, "command_timeout": 2.0}

async def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        await asyncio.sleep(0.01)
"""


def run(code, timeout=60):
    out = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                         capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return out


def test_failing_callback_does_not_stop_the_batch():
    out = run("""
        vantorix.init_logging("vantorix::python::events=warn")
        seen = []
        def callback(name, payload):
            seen.append(name)
            if len(seen) == 1:
                raise ValueError("first one fails")
        async def main():
            mock = MockTransport()
            session = GrblSession.with_transport(mock, FAST, None, callback)
            with MockTransportAttachment(GrblSimulator(), mock):
                await session.connect()
                await wait_until(lambda: "connection_status_changed" in seen[1:])
                await session.disconnect()
        asyncio.run(main())
        print(len(seen) > 1)
    """)
    assert out.stdout.strip() == "True"
    assert "event callback failed: ValueError: first one fails" in out.stderr


def test_closed_loop_reports_the_failed_completion():
    out = run("""
        loop = asyncio.new_event_loop()
        mock = MockTransport()
        session = GrblSession.with_transport(mock, dict(FAST, command_timeout=0.5))
        async def start():
            await session.connect()
            await asyncio.sleep(0.1)
            return session.execute_command("G0 X1")  # no device answers: times out later
        future = loop.run_until_complete(start())
        loop.close()
        time.sleep(1.5)
        print("done")
    """)
    assert out.stdout.strip() == "done"
    assert "Event loop is closed" in out.stderr


def test_no_callback_means_no_events():
    out = run("""
        async def main():
            mock = MockTransport()
            session = GrblSession.with_transport(mock, FAST)
            with MockTransportAttachment(GrblSimulator(), mock):
                await session.connect()
                idle = vantorix.grbl.types.DeviceStatus.IDLE
                await wait_until(lambda: session.state.status == idle)
                assert await session.execute_command("G0 X1") == ["ok"]
                await session.disconnect()
        asyncio.run(main())
        print("ok")
    """)
    assert out.stdout.strip() == "ok"


def test_watchdog_reports_after_ten_seconds_and_stops_at_exit():
    out = run("""
        async def main():
            session = GrblSession.with_transport(MockTransport(), FAST)
            try:
                await session.execute_command("G0")
            except ConnectionError:
                pass
        asyncio.run(main())
        time.sleep(10.8)
    """)
    lines = [line for line in out.stderr.splitlines() if line.startswith("[gil-watchdog]")]
    assert len(lines) == 1, out.stderr
    assert lines[0].startswith("[gil-watchdog] alive after 10s (attach took ")
    assert lines[0].endswith(")")


async def test_drains_are_batched_event_drainers():
    import asyncio

    import pytest

    from session_support import SimulatedDevice

    loop = asyncio.get_running_loop()
    drains = []
    original = loop.call_soon_threadsafe

    def recording(callback, *args, **kwargs):
        if type(callback).__name__ == "EventDrainer":
            drains.append(callback)
        return original(callback, *args, **kwargs)

    loop.call_soon_threadsafe = recording
    try:
        async with SimulatedDevice(config={"status_poll_interval": 30.0}) as device:
            import time

            events_before, drains_before = len(device.recorder.events), len(drains)
            futures = [device.session.execute_command(f"G0 X{i}") for i in range(3)]
            time.sleep(1.5)  # the loop thread is busy: the engine's events pile up
            await asyncio.gather(*futures)
            # Everything reported while the loop was blocked came in the first drain.
            assert len(drains) - drains_before == 1
            assert len(device.recorder.events) - events_before >= 3
    finally:
        del loop.call_soon_threadsafe
    drainer_type = type(drains[0])
    assert drainer_type.__module__ == "vantorix.grbl"
    assert drainer_type.__doc__ == (
        "The loop-side drain callable: invoked via\n`loop.call_soon_threadsafe(drain)`; runs "
        "on the event loop\nthread and delivers every queued event."
    )
    assert not hasattr(__import__("vantorix").grbl, "EventDrainer")
    with pytest.raises(TypeError):
        drainer_type()
    assert drains[0]() is None  # an empty batch delivers nothing
