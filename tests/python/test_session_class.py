"""GrblSession construction, synchronous members and argument checks (no device needed)."""

import inspect

import pytest

import vantorix
from session_support import GrblSession, MockTransport

DeviceState = vantorix.grbl.types.DeviceState


class TestConstruction:
    def test_none_config_is_refused(self):
        with pytest.raises(RuntimeError, match=r"^config with a 'port' \(serial\) or 'host' \(telnet\) is required$"):
            GrblSession(None)

    @pytest.mark.parametrize(
        "config, uri",
        [
            ({}, "serial://"),
            ({"port": "/dev/ttyUSB0", "baudrate": 250000}, "serial:///dev/ttyUSB0"),
            ({"host": "cnc.local"}, "tcp://cnc.local:23"),
            ({"host": "h", "tcp_port": 23 + 65536}, "tcp://h:23"),
            ({"host": "h", "tcp_port": 8080, "port": "/dev/x"}, "tcp://h:8080"),
        ],
    )
    def test_link_choice(self, config, uri):
        session = GrblSession(config)
        assert session.resource_uri == uri
        assert repr(session) == f'GrblSession(resource_uri=Some("{uri}"), job_running=false)'

    @pytest.mark.parametrize(
        "config, exc",
        [
            ({"host": None, "port": "p"}, TypeError),
            ({"port": 5}, TypeError),
            ({"baudrate": "fast"}, TypeError),
            ({"baudrate": 1.5}, TypeError),
            ({"port": "p", "stall_timeout_min": None}, TypeError),
            ({"port": "p", "command_timeout": "10"}, TypeError),
            ({"port": "p", "deadlock_detection": 1}, TypeError),
            ({"port": "p", "unanswered_poll_limit": 2**64}, OverflowError),
            ({"port": "p", "rx_buffer_size_override": None}, TypeError),
        ],
    )
    def test_wrong_value_types(self, config, exc):
        with pytest.raises(exc, match=r"config key '"):
            GrblSession(config)

    @pytest.mark.parametrize(
        "args, kwargs, name",
        [
            (("port",), {}, "config"),
            (([],), {}, "config"),
            (({},), {"dialect": "grbl"}, "dialect"),
            (({},), {"dialect": {1: "x"}}, "dialect"),
        ],
    )
    def test_argument_types(self, args, kwargs, name):
        with pytest.raises(TypeError, match=rf"^argument '{name}': "):
            GrblSession(*args, **kwargs)

    def test_accepted_values(self):
        GrblSession({"port": "p", "stall_timeout_min": True, "unanswered_poll_limit": -5,
                     "cached_rx_buffer_size": 0, "command_timeout": 3})
        GrblSession({"port": "p", "command_timeout": 1e300, "reconnect_delay": float("nan")})

    def test_cached_rx_buffer_size_is_applied(self):
        assert GrblSession({"cached_rx_buffer_size": 256}).rx_buffer_size == 256
        assert GrblSession({"cached_rx_buffer_size": 0}).rx_buffer_size == 127
        assert GrblSession({"cached_rx_buffer_size": -3}).rx_buffer_size == 127

    def test_standard_call_errors(self):
        with pytest.raises(TypeError):
            GrblSession()
        with pytest.raises(TypeError):
            GrblSession({}, config={})
        with pytest.raises(TypeError):
            GrblSession({}, None, None, None)


class TestWithTransport:
    def test_defaults_without_config(self):
        session = GrblSession.with_transport(MockTransport())
        assert session.resource_uri is None
        assert repr(session) == "GrblSession(resource_uri=None, job_running=false)"

    def test_transport_must_be_a_mock(self):
        with pytest.raises(TypeError, match=r"^argument 'transport': "):
            GrblSession.with_transport(object())
        with pytest.raises(TypeError, match=r"^argument 'config': "):
            GrblSession.with_transport(MockTransport(), [])


class TestSynchronousMembers:
    def test_initial_values(self):
        session = GrblSession.with_transport(MockTransport())
        assert session.state == DeviceState()
        assert session.state is not session.state
        assert session.buffer_count == 0
        assert session.rx_buffer_size == 127
        assert session.pending_commands == []
        assert session.job_running is False

    def test_state_is_a_copy(self):
        session = GrblSession.with_transport(MockTransport())
        state = session.state
        state.feed_rate = 5
        assert session.state.feed_rate is None

    def test_update_dialect(self):
        session = GrblSession.with_transport(MockTransport())
        assert session.update_dialect({"home_all": "$H"}) is None
        with pytest.raises(TypeError, match=r"^argument 'dialect': "):
            session.update_dialect(None)
        with pytest.raises(TypeError, match=r"^argument 'dialect': "):
            session.update_dialect("x")

    def test_releasing_the_object_is_harmless(self):
        session = GrblSession.with_transport(MockTransport())
        del session


class TestAsyncMethodsOutsideALoop:
    @pytest.mark.parametrize(
        "call",
        [
            lambda s: s.connect(),
            lambda s: s.disconnect(),
            lambda s: s.execute_command("G0 X1"),
            lambda s: s.execute_interactive_command("$I"),
        ],
    )
    def test_raise_the_asyncio_error(self, call):
        with pytest.raises(RuntimeError, match="no running event loop"):
            call(GrblSession.with_transport(MockTransport()))

    @pytest.mark.parametrize(
        "call, name",
        [
            (lambda s: s.execute_command("G0 X1\nM3 S1000"), "command"),
            (lambda s: s.execute_interactive_command("$I\r"), "command"),
            (lambda s: s.write_setting("$32\n", "1"), "key"),
            (lambda s: s.write_setting("$32", "1\nM3"), "value"),
        ],
    )
    def test_line_breaks_are_refused(self, call, name):
        # A second line inside one command would reach the device uncounted.
        with pytest.raises(ValueError, match=rf"^argument '{name}': must be a single line"):
            call(GrblSession.with_transport(MockTransport()))

    def test_command_argument_checked_first(self):
        session = GrblSession.with_transport(MockTransport())
        with pytest.raises(TypeError, match=r"^argument 'command': "):
            session.execute_command(b"G0")


class TestDocumentation:
    def test_class(self):
        assert GrblSession.__module__ == "vantorix.grbl"
        assert str(inspect.signature(GrblSession)) == "(config, dialect=None, event_callback=None)"
        assert GrblSession.__doc__.endswith(
            "All async methods return asyncio futures; events are delivered to\n"
            "`event_callback(name, payload)` on the event loop thread."
        )
        assert GrblSession.with_transport.__doc__ == (
            "Build a session around a [`MockTransport`] (for tests)."
        )
        assert str(inspect.signature(GrblSession.with_transport)) == (
            "(transport, config=None, dialect=None, event_callback=None)"
        )

    @pytest.mark.parametrize(
        "name, signature, doc",
        [
            ("connect", "()", "Open the connection and start the background tasks."),
            ("disconnect", "()", "Stop all background tasks and close the transport."),
            ("execute_command", "(command)",
             "Queue a command for asynchronous processing and await its\nresponse."),
            ("execute_interactive_command", "(command)",
             "Send a command and synchronously await its full response,\n"
             "blocking any other command from interleaving."),
            ("update_dialect", "(dialect)", "Swap the dialect command templates at runtime."),
        ],
    )
    def test_methods(self, name, signature, doc):
        method = getattr(GrblSession.with_transport(MockTransport()), name)
        assert str(inspect.signature(method)) == signature
        assert method.__doc__ == doc

    def test_properties(self):
        assert GrblSession.state.__doc__ == "Current snapshot of the device state."
        assert GrblSession.pending_commands.__doc__ == "Commands awaiting their 'ok' acknowledgement."
