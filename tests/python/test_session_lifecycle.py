"""Connecting, commanding and disconnecting a session against the controller simulator."""

import asyncio

import pytest

from session_support import FAST, GrblSession, MockTransport, Recorder, SimulatedDevice, wait_until
from vantorix_tools.sim import GrblSimulator, PtyServer, TcpServer


async def test_connect_command_disconnect():
    async with SimulatedDevice() as device:
        session, recorder = device.session, device.recorder
        assert await session.execute_command("G0 X10") == ["ok"]
        await wait_until(lambda: session.state.machine_pos[0] == 10.0)
        written = device.written()
        assert written.startswith(b"?")
        assert b"$I\n" in written and b"G0 X10\n" in written
        assert written.index(b"$I\n") < written.index(b"G0 X10\n")
        assert ("config_changed", ("rx_buffer_size", 128)) in recorder.events
        assert session.rx_buffer_size == 128
    assert recorder.statuses().count("CONNECTED") == 1
    assert recorder.statuses()[-1] == "DISCONNECTED"
    assert recorder.named("connection_status_changed")[0] == ("CONNECTED", None)


async def test_answers_are_lists_of_lines():
    async with SimulatedDevice() as device:
        session = device.session
        assert await session.execute_command("G99") == ["error:20"]
        lines = await session.execute_interactive_command("$I")
        assert lines[0].startswith("[VER:") and lines[1].startswith("[OPT:") and lines[-1] == "ok"
        assert ("command_status_changed", ("ERROR", "error:20")) in device.recorder.events
        assert ("command_status_changed", ("IDLE", None)) in device.recorder.events


async def test_silent_device_times_out():
    async with SimulatedDevice(config={"command_timeout": 0.3}) as device:
        device.sim.set_silent(True)
        with pytest.raises(TimeoutError, match="^operation timed out$"):
            await device.session.execute_command("G0 X1")
        device.sim.set_silent(False)


async def test_never_connected_session_has_no_queue():
    session = GrblSession.with_transport(MockTransport(), FAST)
    with pytest.raises(ConnectionError, match="^command queue unavailable$"):
        await session.execute_command("G0 X1")
    with pytest.raises(ConnectionError, match="^Serial transport not connected$"):
        await session.execute_interactive_command("$I")


async def test_queued_commands_follow_the_call_order():
    async with SimulatedDevice() as device:
        futures = [device.session.execute_command(f"G0 X{i}") for i in range(3)]
        assert await asyncio.gather(*futures) == [["ok"]] * 3
        lines = [chunk for chunk in device.mock.sent() if chunk.startswith(b"G0")]
        assert lines == [b"G0 X0\n", b"G0 X1\n", b"G0 X2\n"]


async def test_no_device_reports_error_then_sleeps_and_retries():
    recorder = Recorder()
    mock = MockTransport()
    session = GrblSession.with_transport(mock, FAST, None, recorder)
    await session.connect()
    await wait_until(lambda: "SLEEPING" in recorder.statuses())
    assert recorder.named("connection_status_changed")[:2] == [
        ("ERROR", "No response from device"), ("SLEEPING", None)]
    polls = len(mock.sent())
    assert polls >= 3 and set(mock.sent()) == {b"?"}
    await wait_until(lambda: len(mock.sent()) > polls)  # the next attempt polls again
    await session.disconnect()
    assert recorder.statuses()[-1] == "DISCONNECTED"


async def test_lost_link_sleeps_without_error_and_reconnects():
    async with SimulatedDevice() as device:
        recorder = device.recorder
        device.mock.set_connected(False)
        await wait_until(lambda: "SLEEPING" in recorder.statuses())
        assert "ERROR" not in recorder.statuses()
        await wait_until(lambda: recorder.statuses().count("CONNECTED") == 2)


async def test_events_reach_the_callback_on_the_loop_thread():
    import threading

    threads = set()
    loop_thread = threading.get_ident()

    def callback(name, payload):
        threads.add(threading.get_ident())

    mock = MockTransport()
    sim = GrblSimulator()
    from vantorix_tools.sim import MockTransportAttachment

    session = GrblSession.with_transport(mock, FAST, None, callback)
    with MockTransportAttachment(sim, mock):
        await session.connect()
        await session.execute_interactive_command("$I")
        await session.disconnect()
        await asyncio.sleep(0.05)
    assert threads == {loop_thread}


async def test_cancelled_future_does_not_disturb_the_session():
    async with SimulatedDevice() as device:
        future = device.session.execute_command("G0 X2")
        future.cancel()
        assert await device.session.execute_command("G0 X3") == ["ok"]


@pytest.mark.parametrize("server_class", [PtyServer, TcpServer])
async def test_real_links(server_class):
    sim = GrblSimulator()
    with server_class(sim) as server:
        if server_class is PtyServer:
            config = dict(FAST, port=server.device)
        else:
            config = dict(FAST, host="127.0.0.1", tcp_port=server.port)
        recorder = Recorder()
        session = GrblSession(config, None, recorder)
        await session.connect()
        await wait_until(lambda: "CONNECTED" in recorder.statuses())
        assert await session.execute_command("G0 X5") == ["ok"]
        await session.disconnect()
        assert recorder.statuses()[-1] == "DISCONNECTED"
