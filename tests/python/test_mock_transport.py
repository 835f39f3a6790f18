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
