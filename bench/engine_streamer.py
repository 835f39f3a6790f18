"""Streams the baseline's job through the engine's Python API (`GrblSession.run`), over the
serial transport on a pty, over TCP, or over the in-memory `MockTransport`, and measures it the
way the baseline measures itself: wall time and whole-process CPU time of the `run` call."""

import asyncio
import os
import threading
import time

import vantorix

from baseline_streamer import StreamResult

GrblSession = vantorix.grbl.GrblSession
MockTransport = vantorix.grbl.MockTransport

# The session's own timings are left at their defaults except where a benchmark must not wait
# for them: the handshake polls quickly and the status poll is slow, so that it never shows up
# in the streaming figures.
SESSION_CONFIG = {
    "handshake_poll_interval": 0.05,
    "status_poll_interval": 5.0,
    "safety_shutdown_delay": 0.0,
}
CONNECT_TIMEOUT = 10.0

IDLE_REPORT = b"<Idle|MPos:0.000,0.000,0.000|Bf:15,128|FS:0,0>\r\n"


def job_text(lines):
    """The job's lines (bytes with their line feeds) as the program text `run` takes."""
    return b"".join(lines).decode()


def per_line_op_map(count):
    """Every line its own operation: the heaviest progress load a host can ask for."""
    return {index: index for index in range(count)}


class EventLog:
    """The session's event callback: remembers the connection status and hands every event
    to an optional hook (the latency benchmarks timestamp them there)."""

    def __init__(self, hook=None):
        self.connected = asyncio.Event()
        self.finished = 0
        self.hook = hook

    def __call__(self, name, payload):
        if self.hook is not None:
            self.hook(name, payload)
        if name == "connection_status_changed" and payload[0] == "CONNECTED":
            self.connected.set()
        elif name == "job_finished":
            self.finished += 1


async def open_session(target, config=None, hook=None, dialect=None):
    """A connected session on "pty:PATH", "tcp:HOST:PORT" or a MockTransport object."""
    events = EventLog(hook)
    settings = dict(SESSION_CONFIG, **(config or {}))
    if isinstance(target, str):
        kind, _, where = target.partition(":")
        if kind == "pty":
            settings.update(port=where, baudrate=115200)
        else:
            host, port = where.rsplit(":", 1)
            settings.update(host=host, tcp_port=int(port))
        session = GrblSession(settings, dialect, events)
    else:
        session = GrblSession.with_transport(target, settings, dialect, events)
    await session.connect()
    await asyncio.wait_for(events.connected.wait(), CONNECT_TIMEOUT)
    return session, events


def process_cpu_seconds():
    """User and system time of the whole process: every thread, Python and runtime alike."""
    times = os.times()
    return times.user + times.system


async def stream(session, lines, progress):
    """Runs the job once; returns its StreamResult. With `progress`, every line is its own
    operation and the progress callback counts them."""
    text = job_text(lines)
    done = []
    op_map = per_line_op_map(len(lines)) if progress else None
    callback = done.append if progress else None
    cpu_start = process_cpu_seconds()
    start = time.perf_counter()
    await session.run(text, op_map, None, callback)
    seconds = time.perf_counter() - start
    cpu_seconds = process_cpu_seconds() - cpu_start
    if progress:
        # Progress events are delivered on the loop after the job's last acknowledgement.
        deadline = time.monotonic() + CONNECT_TIMEOUT
        while len(done) < len(lines) and time.monotonic() < deadline:
            await asyncio.sleep(0.001)
        if done != list(range(len(lines))):
            raise RuntimeError(f"progress reported {len(done)} of {len(lines)} operations")
    return StreamResult(len(lines), len(text), seconds, cpu_seconds, 0)


async def run(target, lines, progress=False, config=None):
    """Opens a session on `target`, streams `lines` and measures it."""
    session, events = await open_session(target, config)
    try:
        result = await stream(session, lines, progress)
        if events.finished != 1:
            raise RuntimeError("the job did not finish")
        return result
    finally:
        await session.disconnect()


class MockDevice:
    """The controller behind a MockTransport for the in-memory figures: a Python thread that
    answers every line with "ok" and every "?" with an idle report, at once. It answers all
    the lines of one write with one push, as a device behind a fast link would."""

    def __init__(self):
        self.transport = MockTransport()
        self.lines = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self):
        transport = self.transport
        while not self._stop.is_set():
            chunks = transport.take_new_sent()
            if not chunks:
                # Sleeping releases the interpreter lock for the session's threads.
                time.sleep(20e-6)
                continue
            data = b"".join(chunks)
            lines = data.count(b"\n")
            self.lines += lines
            reply = IDLE_REPORT * data.count(b"?") + b"ok\r\n" * lines
            if reply:
                transport.push(reply)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
