import inspect

import pytest

import vantorix

MockTransport = vantorix.grbl.MockTransport


def test_fresh_transport():
    mock = MockTransport()
    assert mock.sent() == []
    assert mock.take_new_sent() == []
    assert repr(mock) == "MockTransport()"
    assert MockTransport.__module__ == "vantorix.grbl"
    assert vantorix.grbl.MockTransport is MockTransport


def test_push_before_open_is_discarded():
    mock = MockTransport()
    assert mock.push(b"ok\r\n") is None
    assert mock.push(bytearray(b"\xff")) is None
    assert mock.push([111, 107, 13, 10]) is None
    assert mock.push(b"") is None
    assert mock.sent() == []


@pytest.mark.parametrize(
    "call, exc, name",
    [
        (lambda m: m.push("ok\r\n"), TypeError, "data"),
        (lambda m: m.push(5), TypeError, "data"),
        (lambda m: m.push([256]), OverflowError, "data"),
        (lambda m: m.push([-1]), OverflowError, "data"),
        (lambda m: m.push([1.0]), TypeError, "data"),
        (lambda m: m.set_connected(1), TypeError, "connected"),
        (lambda m: m.set_connected(None), TypeError, "connected"),
        (lambda m: m.set_write_error(b"boom"), TypeError, "message"),
        (lambda m: m.set_write_error(3), TypeError, "message"),
    ],
)
def test_argument_errors(call, exc, name):
    with pytest.raises(exc, match=rf"^argument '{name}': "):
        call(MockTransport())


def test_standard_call_errors():
    with pytest.raises(TypeError):
        MockTransport(1)
    with pytest.raises(TypeError):
        MockTransport().push()
    with pytest.raises(TypeError):
        MockTransport().sent(1)


def test_link_and_error_setters_accept_their_types():
    mock = MockTransport()
    assert mock.set_connected(True) is None
    assert mock.set_connected(False) is None
    assert mock.set_write_error("unplugged") is None
    assert mock.set_write_error() is None
    assert mock.set_write_error(message=None) is None
    assert mock.clear_sent() is None


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        ("push", "(data)", "Deliver bytes to the session as if the device sent them."),
        ("sent", "()", "All bytes written to the device so far."),
        (
            "take_new_sent",
            "()",
            "Writes recorded since the previous call (or the last\n`clear_sent`): a monotonic "
            "cursor, so clearing the log never\nskips or replays chunks.  This is what device "
            "emulators\nshould consume.",
        ),
        ("clear_sent", "()", "Clear the recorded sent bytes."),
        ("set_connected", "(connected)", "Simulate connect/disconnect of the physical link."),
        (
            "set_write_error",
            "(message=None)",
            "Fail subsequent writes with this message (and mark the link\ndown), simulating "
            "an unplugged cable.",
        ),
    ],
)
def test_signatures_and_docstrings(method, signature, doc):
    bound = getattr(MockTransport(), method)
    assert str(inspect.signature(bound)) == signature
    assert bound.__doc__ == doc


def test_class_docstring_and_signature():
    assert str(inspect.signature(MockTransport)) == "()"
    assert MockTransport.__doc__ == (
        "An in-memory byte transport for tests.\n\nFeed bytes to the session with `push()` "
        "(as if the device had\nsent them), inspect everything the session sent with "
        "`sent()`,\nand simulate link state with `set_connected()` /\n`set_write_error()`."
    )


# ---- through a session: the device side is driven by hand ---------------------------

import asyncio  # noqa: E402

from session_support import GrblSession, Recorder, wait_until  # noqa: E402

# Long poll intervals keep the session's writes deterministic: one "?" to start the
# handshake, "$I", and one "?" when polling starts.
QUIET = {"handshake_poll_interval": 30.0, "status_poll_interval": 30.0,
         "handshake_timeout": 60.0, "reconnect_delay": 0.1, "command_timeout": 2.0}


async def connected_by_hand(config=QUIET):
    mock = MockTransport()
    recorder = Recorder()
    session = GrblSession.with_transport(mock, config, None, recorder)
    await session.connect()
    await wait_until(lambda: mock.sent() == [b"?"])
    mock.push(b"<Idle|MPos:1.000,2.000,3.000|FS:0,0>\r\n")
    await wait_until(lambda: b"$I\n" in mock.sent())
    mock.push(b"[VER:1.1h.20190830:]\r\n[OPT:V,15,128]\r\nok\r\n")
    await wait_until(lambda: "CONNECTED" in recorder.statuses())
    return mock, session, recorder


async def test_pushed_bytes_reach_the_session_once_open():
    mock, session, _ = await connected_by_hand()
    assert session.state.machine_pos == [1.0, 2.0, 3.0]
    mock.push(b"<Idle|MPos:4.000,5.000,6.0")
    mock.push(b"00|FS:0,0>\r\n")
    await wait_until(lambda: session.state.machine_pos == [4.0, 5.0, 6.0])
    await session.disconnect()


async def test_take_new_sent_is_a_cursor_over_the_log():
    mock, session, _ = await connected_by_hand()
    await wait_until(lambda: len(mock.sent()) == 3)
    assert mock.take_new_sent() == [b"?", b"$I\n", b"?"]
    assert mock.take_new_sent() == []
    mock.clear_sent()
    future = session.execute_interactive_command("G0 X1")
    await wait_until(lambda: mock.sent() == [b"G0 X1\n"])
    mock.push(b"ok\r\n")
    assert await future == ["ok"]
    assert mock.take_new_sent() == [b"G0 X1\n"]
    assert mock.sent() == [b"G0 X1\n"]
    await session.disconnect()


async def test_write_error_fails_the_write_and_downs_the_link():
    mock, session, recorder = await connected_by_hand(dict(QUIET, status_poll_interval=0.05))
    mock.clear_sent()
    mock.set_write_error("cable unplugged")
    with pytest.raises(ConnectionError, match="^cable unplugged$"):
        await session.execute_interactive_command("G0 X1")
    assert mock.sent() == []
    # The supervisor notices the dead link, sleeps, reopens, and its first handshake write
    # meets the stored error again.
    await wait_until(lambda: ("ERROR", "cable unplugged") in recorder.named("connection_status_changed"))
    assert "SLEEPING" in recorder.statuses()
    mock.set_write_error(None)
    await session.disconnect()


async def test_set_connected_false_makes_writes_fail_not_connected():
    mock, session, _ = await connected_by_hand()
    mock.clear_sent()
    mock.set_connected(False)
    with pytest.raises(ConnectionError, match="^Serial transport not connected$"):
        await session.execute_interactive_command("G0 X1")
    assert mock.sent() == []
    await session.disconnect()
