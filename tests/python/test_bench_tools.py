"""The benchmark tools: the responder that plays a GRBL controller on a pty or a TCP port, and
the pure-Python baseline streamer that runs against it."""

import asyncio
import os
import pathlib
import select
import signal
import socket
import sys
import time
import tty

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))

from baseline_streamer import job_lines, run  # noqa: E402
from responder_process import Responder, parse_counters  # noqa: E402

STATUS = b"<Idle|MPos:0.000,0.000,0.000|Bf:15,128|FS:0,0>\r\n"
OK = b"ok\r\n"
BUILD_INFO = b"[VER:1.1h.20190830:]\r\n[OPT:V,15,128]\r\nok\r\n"
BANNER = b"Grbl 1.1h ['$' for help]\r\n"
REPLY_TIMEOUT = 10.0


class HostEnd:
    """The host side of one responder connection, over its pty or over TCP."""

    def __init__(self, responder, transport):
        if transport == "pty":
            self.fd = os.open(responder.pty, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(self.fd)
            self.socket = None
        else:
            self.socket = socket.create_connection(("127.0.0.1", responder.tcp_port))
            self.fd = self.socket.fileno()
        os.set_blocking(self.fd, True)
        self.received = b""

    def send(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]

    def _receive_while(self, condition, what):
        deadline = time.monotonic() + REPLY_TIMEOUT
        while condition():
            remaining = deadline - time.monotonic()
            ready = remaining > 0 and select.select([self.fd], [], [], remaining)[0]
            assert ready, f"{what} not in {self.received!r}"
            self.received += os.read(self.fd, 4096)

    def read_bytes(self, count):
        self._receive_while(lambda: len(self.received) < count, f"{count} bytes")
        reply, self.received = self.received[:count], self.received[count:]
        return reply

    def read_until(self, ending, count=1):
        """Everything received up to and including the `count`-th `ending`."""
        self._receive_while(lambda: self.received.count(ending) < count, f"{count} x {ending!r}")
        end = -1
        for _ in range(count):
            end = self.received.index(ending, end + 1)
        end += len(ending)
        reply, self.received = self.received[:end], self.received[end:]
        return reply

    def close(self):
        if self.socket is not None:
            self.socket.close()
        else:
            os.close(self.fd)


@pytest.fixture(params=["pty", "tcp"])
def transport(request):
    return request.param


def start_host(transport, *args):
    responder = Responder("--pty", "--tcp", "0", *args)
    return responder, HostEnd(responder, transport)


@pytest.mark.parametrize(
    "sent, expected",
    [
        (b"?", STATUS),
        (b"G1 X1\n", OK),
        (b"$I\n", BUILD_INFO),
        (b"G1 X1\r\n", OK),  # a carriage return does not start a line of its own
        (b"\n", OK),  # empty lines are answered too, hosts use them to synchronise
        (b"!~G0\n", OK),  # feed hold and resume have no reply
        (b"G1 ?X1\n", STATUS + OK),  # realtime bytes are answered at once, even mid-line
        (b"G1 X1\x18G0\n", BANNER + OK),  # a soft reset drops the partial line
    ],
)
def test_replies(transport, sent, expected):
    responder, host = start_host(transport)
    with responder:
        # The closing "?" shows that nothing else was sent after the expected reply.
        host.send(sent + b"?")
        assert host.read_until(STATUS, count=expected.count(STATUS) + 1) == expected + STATUS
        host.close()
        assert responder.stop()["overflows"] == 0


LINES_OF_20 = b"G1 X000.00 Y000.000\n" * 10


# Each payload ends with "?", whose reply shows that everything before it was received.
@pytest.mark.parametrize(
    "args, payload, expected",
    [
        ([], b"G" * 200, dict(overflows=72, max_buffered=128, bytes=128, lines=0)),
        ([], LINES_OF_20, dict(overflows=0, max_buffered=20, lines=10)),
        (["--line-time", "20000"], LINES_OF_20, dict(overflows=72, max_buffered=128, lines=0)),
        ([], b"G" * 127 + b"?" * 50 + b"\n", dict(overflows=0, max_buffered=128, realtime=51)),
        ([], b"G" * 128 + b"\x18" + b"G0\n", dict(overflows=0, lines=1, bytes=131)),
        ([], b"G" * 128 + b"\x80\x85\xff", dict(overflows=0, realtime=4)),
    ],
    ids=["partial-line", "instant-lines", "slow-lines", "realtime-beside-full-buffer",
         "reset-empties-buffer", "extended-realtime"],
)
def test_overflow_counting(transport, args, payload, expected):
    responder, host = start_host(transport, *args)
    with responder:
        host.send(payload + b"?")
        host.read_until(STATUS, count=payload.count(b"?") + 1)
        counters = responder.counters()
        assert {name: counters[name] for name in expected} == expected
        host.close()


@pytest.mark.parametrize(
    "args, minimum_seconds, expected",
    [
        # 81 bytes in and 4 bytes out at 960 bytes per second; the "?" crosses the wire
        # after the lines, so its report follows their replies.
        (["--baud", "9600"], 85 / 960, OK * 4 + STATUS),
        # Four lines of 50 ms each, one after the other; the "?" is answered at once.
        (["--line-time", "50"], 0.2, STATUS + OK * 4),
    ],
)
def test_replies_wait_for_the_modelled_link(transport, args, minimum_seconds, expected):
    responder, host = start_host(transport, *args)
    with responder:
        start = time.monotonic()
        host.send(b"G1 X000.00 Y000.000\n" * 4 + b"?")
        assert host.read_bytes(len(expected)) == expected
        assert time.monotonic() - start >= minimum_seconds
        host.close()


def test_each_tcp_connection_is_a_controller_of_its_own():
    with Responder("--tcp", "0") as responder:
        first = HostEnd(responder, "tcp")
        first.send(b"G" * 100)  # a partial line that the second connection must not see
        second = HostEnd(responder, "tcp")
        second.send(b"G" * 100 + b"\n?")
        assert second.read_until(STATUS) == OK + STATUS
        first.close()
        second.close()
        assert responder.stop()["overflows"] == 0


def test_thirty_two_responders_side_by_side():
    responders = [Responder("--pty", "--tcp", "0") for _ in range(32)]
    try:
        assert len({r.pty for r in responders}) == len({r.tcp_port for r in responders}) == 32
        for responder in responders:
            for transport in ("pty", "tcp"):
                host = HostEnd(responder, transport)
                host.send(b"G0\n")
                assert host.read_until(OK) == OK
                host.close()
        assert [r.stop()["lines"] for r in responders] == [2] * 32
    finally:
        for responder in responders:
            responder.__exit__(None, None, None)


@pytest.mark.parametrize("stop_signal", [signal.SIGTERM, signal.SIGINT])
def test_stop_signal_prints_final_counters(stop_signal):
    with Responder("--pty") as responder:
        host = HostEnd(responder, "pty")
        host.send(b"G0\n")
        host.read_until(OK)
        responder.process.send_signal(stop_signal)
        counters = parse_counters(responder._read_line())
        assert responder.process.wait(REPLY_TIMEOUT) == 0
        assert counters["lines"] == 1 and counters["cpu_ms"] >= 0
        host.close()


@pytest.mark.parametrize("transport_kind", ["pty", "tcp"])
@pytest.mark.parametrize(
    "args, max_buffered",
    [
        ([], 20),  # every line is answered as it arrives
        (["--line-time", "1"], 120),  # six 20-byte lines fit within the host's 127 bytes
        (["--baud", "115200"], None),
    ],
    ids=["instant", "1ms-per-line", "115200-baud"],
)
def test_baseline_streams_without_overflowing(transport_kind, args, max_buffered):
    lines = job_lines(200)
    with Responder("--pty", "--tcp", "0", *args) as responder:
        target = f"pty:{responder.pty}" if transport_kind == "pty" else (
            f"tcp:127.0.0.1:{responder.tcp_port}"
        )
        result = asyncio.run(run(target, lines))
        counters = responder.stop()
    assert (result.lines, result.errors, result.bytes_sent) == (200, 0, 4000)
    assert counters["lines"] == 200 and counters["overflows"] == 0
    # The streamer never lets the buffer hold more than its 127-byte count allows.
    assert 0 < counters["max_buffered"] <= 127
    if max_buffered is not None:
        assert counters["max_buffered"] == max_buffered


# The latency benchmarks pair the responder's trace with host timestamps: every event must be
# there, in the order the responder saw it, on the system-wide monotonic clock.
def test_trace_records_lines_replies_and_realtime_bytes(tmp_path, transport):
    trace = tmp_path / "trace"
    responder, host = start_host(transport, "--trace", str(trace), "--numbered-reports")
    with responder:
        before = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        host.send(b"G1 X1\n")
        host.read_until(OK)
        host.send(b"?")
        first = host.read_until(b">\r\n")
        host.send(b"?")
        second = host.read_until(b">\r\n")
        host.send(b"\x18")
        host.read_until(BANNER)
        host.close()
        responder.stop()
    # Taken once the responder has stopped: it stamps an event after answering it, so the
    # host can see the answer before the stamp is taken.
    after = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    events = [line.split() for line in trace.read_text().splitlines()]
    assert [(kind, value) for kind, value, _ in events] == [
        ("l", "0"), ("o", "0"), ("r", "63"), ("s", "1"), ("r", "63"), ("s", "2"),
        ("r", "24"), ("x", "0"),
    ]
    stamps = [int(ns) for _, _, ns in events]
    assert stamps == sorted(stamps) and before <= stamps[0] and stamps[-1] <= after
    # Numbered reports differ, so each one changes a session's state.
    assert first.startswith(b"<Idle|MPos:1.000,") and second.startswith(b"<Idle|MPos:2.000,")
