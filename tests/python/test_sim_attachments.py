"""The simulator's attachments: in-process transport, pseudo-terminal, TCP, command line."""

import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from vantorix_tools.sim import GrblSimulator, MockTransportAttachment, PtyServer, TcpServer

DEADLINE = 5.0  # generous: these only wait for a thread polling every millisecond
BUILD_INFO = b"[VER:1.1h.20190830:]\r\n[OPT:V,15,128]\r\nok\r\n"


def wait_until(predicate, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


class FakeMockTransport:
    """The shape of vantorix.grbl.MockTransport that the attachment relies on."""

    def __init__(self):
        self._lock = threading.Lock()
        self._sent = []
        self.pushed = []
        self.connected = True

    def write(self, data):  # what the host session would do
        with self._lock:
            self._sent.append(bytes(data))

    def take_new_sent(self):
        with self._lock:
            sent, self._sent = self._sent, []
            return sent

    def push(self, data):
        with self._lock:
            self.pushed.append(bytes(data))

    def set_connected(self, connected):
        self.connected = connected

    def received(self):
        with self._lock:
            return b"".join(self.pushed)


def read_until(read, marker, timeout=DEADLINE):
    data = b""
    end = time.monotonic() + timeout
    while marker not in data and time.monotonic() < end:
        chunk = read(end - time.monotonic())
        if chunk is None:
            continue
        if chunk == b"":
            break
        data += chunk
    return data


# In-process ------------------------------------------------------------------------------------


def test_mock_transport_round_trip_in_chunks():
    sim = GrblSimulator(speed_factor=0)
    sim.set_chunking(5)
    transport = FakeMockTransport()
    with MockTransportAttachment(sim, transport) as attachment:
        transport.write(b"$I\n")
        assert wait_until(lambda: transport.received() == BUILD_INFO)
        assert all(len(chunk) <= 5 for chunk in transport.pushed)
        assert attachment.error is None
    assert not attachment.running


def test_mock_transport_motion_completes_in_real_time():
    sim = GrblSimulator(speed_factor=0.01)  # 10 mm at 300 mm/min: 2 s scaled to 20 ms
    transport = FakeMockTransport()
    with MockTransportAttachment(sim, transport):
        start = time.monotonic()
        transport.write(b"G1 X10 F300\n")
        transport.write(b"G4 P0\n")  # answered only once the move has finished
        assert wait_until(lambda: transport.received() == b"ok\r\nok\r\n")
        assert 0.015 <= time.monotonic() - start < DEADLINE
    assert sim.machine_position == (10.0, 0.0, 0.0)


def test_mock_transport_link_drop_disconnects():
    sim = GrblSimulator()
    transport = FakeMockTransport()
    with MockTransportAttachment(sim, transport):
        sim.drop_link()
        assert wait_until(lambda: not transport.connected)


def test_attachment_keeps_serving_after_a_transport_failure():
    class Flaky(FakeMockTransport):
        failures = 1

        def take_new_sent(self):
            if self.failures:
                self.failures -= 1
                raise RuntimeError("link hiccup")
            return super().take_new_sent()

    sim = GrblSimulator()
    transport = Flaky()
    with MockTransportAttachment(sim, transport) as attachment:
        transport.write(b"?")
        assert wait_until(lambda: transport.received().startswith(b"<Idle|"))
        assert isinstance(attachment.error, RuntimeError)


def test_stop_is_quick_and_repeatable():
    attachment = MockTransportAttachment(GrblSimulator(), FakeMockTransport())
    attachment.stop()  # never started
    attachment.start()
    start = time.monotonic()
    attachment.stop()
    attachment.stop()
    assert time.monotonic() - start < 1.0
    assert not attachment.running


# Pseudo-terminal --------------------------------------------------------------------------------


@pytest.fixture
def pty_server():
    with PtyServer(GrblSimulator(speed_factor=0)) as server:
        yield server


def _pty_reader(fd):
    def read(timeout):
        readable, _, _ = select.select([fd], [], [], max(0.0, timeout))
        if not readable:
            return None
        try:
            return os.read(fd, 4096)
        except OSError:
            return b""

    return read


def test_pty_serves_the_device_path(pty_server):
    fd = os.open(pty_server.device, os.O_RDWR | os.O_NOCTTY)
    try:
        os.write(fd, b"?")
        report = read_until(_pty_reader(fd), b">\r\n")
        assert report.startswith(b"<Idle|MPos:0.000,0.000,0.000|")
        os.write(fd, b"$I\n")
        assert read_until(_pty_reader(fd), b"ok\r\n") == BUILD_INFO  # raw mode: no echo
    finally:
        os.close(fd)


def test_pty_link_drop_closes_the_device(pty_server):
    fd = os.open(pty_server.device, os.O_RDWR | os.O_NOCTTY)
    try:
        pty_server.sim.drop_link()
        assert wait_until(lambda: not pty_server.running)
        assert read_until(_pty_reader(fd), b"never") == b""  # hang-up: EOF or EIO
    finally:
        os.close(fd)


# TCP ------------------------------------------------------------------------------------------


@pytest.fixture
def tcp_server():
    with TcpServer(GrblSimulator(speed_factor=0)) as server:
        yield server


def _connect(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
    return sock


def _sock_reader(sock):
    def read(timeout):
        sock.settimeout(max(0.01, timeout))
        try:
            return sock.recv(4096)
        except socket.timeout:
            return None
        except OSError:
            return b""

    return read


def test_tcp_round_trip_and_one_client_at_a_time(tcp_server):
    assert tcp_server.port > 0
    with _connect(tcp_server.port) as client:
        client.sendall(b"$I\n")
        assert read_until(_sock_reader(client), b"ok\r\n") == BUILD_INFO
        with _connect(tcp_server.port) as second:
            assert read_until(_sock_reader(second), b"never") == b""  # closed at once
        client.sendall(b"?")
        assert read_until(_sock_reader(client), b">\r\n").startswith(b"<Idle|")


def test_tcp_link_drop_closes_the_client_and_accepts_the_next(tcp_server):
    with _connect(tcp_server.port) as client:
        client.sendall(b"?")
        read_until(_sock_reader(client), b">\r\n")
        tcp_server.sim.drop_link()
        assert read_until(_sock_reader(client), b"never") == b""
    assert wait_until(lambda: not tcp_server.client_connected)
    with _connect(tcp_server.port) as client:
        client.sendall(b"G0 X1\n")
        assert read_until(_sock_reader(client), b"ok\r\n") == b"ok\r\n"


# Command line ---------------------------------------------------------------------------------


def _start_cli(*args):
    return subprocess.Popen([sys.executable, "-m", "vantorix_tools.sim", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=os.environ)


@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM])
def test_cli_serves_tcp_and_stops_cleanly(stop_signal):
    proc = _start_cli("--tcp", "0", "--speed-factor", "0")
    try:
        port = int(proc.stdout.readline())
        with _connect(port) as client:
            client.sendall(b"?")
            assert read_until(_sock_reader(client), b">\r\n").startswith(b"<Idle|")
        proc.send_signal(stop_signal)
        assert proc.wait(timeout=DEADLINE) == 0
        assert proc.stderr.read() == b""
    finally:
        proc.kill()
        proc.wait()


def test_cli_serves_a_pty():
    proc = _start_cli("--pty")
    try:
        device = proc.stdout.readline().decode().strip()
        fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
        try:
            os.write(fd, b"$G\n")
            assert read_until(_pty_reader(fd), b"ok\r\n").startswith(b"[GC:G0 G54")
        finally:
            os.close(fd)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=DEADLINE) == 0
    finally:
        proc.kill()
        proc.wait()
