"""Ways to connect a :class:`GrblSimulator` to a host: in-process, pseudo-terminal, TCP."""

from __future__ import annotations

import errno
import os
import select
import socket
import threading
import tty
from types import TracebackType
from typing import List, Optional, Protocol, Type, TypeVar

from .core import GrblSimulator

_READ_SIZE = 4096
# A stop never waits longer than this for the serving thread.
_JOIN_TIMEOUT = 2.0

_AttachmentT = TypeVar("_AttachmentT", bound="_Attachment")


class HostLink(Protocol):
    """What :class:`MockTransportAttachment` needs of a ``vantorix.grbl.MockTransport``."""

    def take_new_sent(self) -> List[bytes]: ...

    def push(self, data: bytes) -> None: ...

    def set_connected(self, connected: bool) -> None: ...


class _Attachment:
    """A background thread that shuttles bytes between a host link and the simulator.

    ``start()`` and ``stop()`` may be called in any order and more than once; the object is
    also a context manager. A failure inside the thread is kept in ``error`` (the thread goes
    on serving), so that a test can look at it instead of waiting for replies that never come.
    """

    def __init__(self, sim: GrblSimulator, interval: float) -> None:
        self.sim = sim
        self.interval = interval
        self.error: Optional[BaseException] = None
        self._stop = threading.Event()
        self._link_dropped = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def start(self: _AttachmentT) -> _AttachmentT:
        if self._thread is not None:
            return self
        self._stop.clear()
        self._open()
        self.sim.add_link_listener(self._link_dropped.set)
        self._thread = threading.Thread(target=self._serve, name=type(self).__name__,
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        thread = self._thread
        if thread is None:
            return
        self._stop.set()
        thread.join(_JOIN_TIMEOUT)
        self._thread = None
        self.sim.remove_link_listener(self._link_dropped.set)
        self._close()

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def __enter__(self: _AttachmentT) -> _AttachmentT:
        return self.start()

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], traceback: Optional[TracebackType]) -> None:
        self.stop()

    def _serve(self) -> None:
        while not self._stop.is_set():
            try:
                if self._link_dropped.is_set():
                    self._link_dropped.clear()
                    self._drop()
                self._step()
            except Exception as error:  # keep serving; the test reads .error
                self.error = error
                self._stop.wait(self.interval)

    def _open(self) -> None:
        pass

    def _close(self) -> None:
        pass

    def _drop(self) -> None:
        pass

    def _step(self) -> None:
        raise NotImplementedError


class MockTransportAttachment(_Attachment):
    """Drive a ``vantorix.grbl.MockTransport`` (or any object of the same shape) in-process.

    Every ``interval`` seconds the thread takes the host's writes with ``take_new_sent()``,
    feeds them to the simulator and delivers the replies with ``push()``, one call per chunk.
    :meth:`GrblSimulator.drop_link` calls ``set_connected(False)`` on the transport.
    """

    def __init__(self, sim: GrblSimulator, transport: HostLink, interval: float = 0.001) -> None:
        super().__init__(sim, interval)
        self.transport = transport

    def _drop(self) -> None:
        self.transport.set_connected(False)

    def _step(self) -> None:
        for data in self.transport.take_new_sent():
            self.sim.feed(data)
        for chunk in self.sim.take_chunks():
            self.transport.push(chunk)
        self._stop.wait(self.interval)


class PtyServer(_Attachment):
    """Serve the simulator on a pseudo-terminal in raw mode.

    ``device`` is the path a serial transport opens (``/dev/pts/N``). The server keeps its
    own handle on that side, so the device stays valid while hosts open and close it.
    :meth:`GrblSimulator.drop_link` closes the pseudo-terminal for good: the host's reads fail
    and the serving thread ends.
    """

    def __init__(self, sim: GrblSimulator, interval: float = 0.001) -> None:
        super().__init__(sim, interval)
        self.device: Optional[str] = None
        self._master: Optional[int] = None
        self._slave: Optional[int] = None
        self._unsent = b""

    def _open(self) -> None:
        master, slave = os.openpty()
        tty.setraw(slave)
        os.set_blocking(master, False)
        self._master, self._slave = master, slave
        self.device = os.ttyname(slave)
        self._unsent = b""

    def _close(self) -> None:
        for fd in (self._master, self._slave):
            if fd is not None:
                os.close(fd)
        self._master = self._slave = None

    def _drop(self) -> None:
        self._close()
        self._stop.set()

    def _step(self) -> None:
        master = self._master
        if master is None:
            return
        readable, _, _ = select.select([master], [], [], self.interval)
        if readable:
            try:
                data = os.read(master, _READ_SIZE)
            except OSError as error:
                if error.errno not in (errno.EAGAIN, errno.EIO):
                    raise
                data = b""
            if data:
                self.sim.feed(data)
        for chunk in self.sim.take_chunks():
            self._unsent += chunk
            self._flush()
        if self._unsent:
            self._flush()

    def _flush(self) -> None:
        try:
            written = os.write(self._master, self._unsent)
        except BlockingIOError:
            return
        self._unsent = self._unsent[written:]


class TcpServer(_Attachment):
    """Serve the simulator on a TCP port, one client at a time.

    ``port`` 0 picks a free port; the one in use is in ``port`` after ``start()``. A second
    client is accepted and closed at once while one is connected. Replies produced while no
    client is connected are discarded. :meth:`GrblSimulator.drop_link` closes the client's
    connection; the server keeps listening for the next one.
    """

    def __init__(self, sim: GrblSimulator, port: int = 0, host: str = "127.0.0.1",
                 interval: float = 0.001) -> None:
        super().__init__(sim, interval)
        self.host = host
        self.port = port
        self._listener: Optional[socket.socket] = None
        self._client: Optional[socket.socket] = None

    @property
    def client_connected(self) -> bool:
        return self._client is not None

    def _open(self) -> None:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((self.host, self.port))
        listener.listen(1)
        self._listener = listener
        self.port = listener.getsockname()[1]

    def _close(self) -> None:
        self._drop()
        if self._listener is not None:
            self._listener.close()
            self._listener = None

    def _drop(self) -> None:
        if self._client is not None:
            self._client.close()
            self._client = None

    def _step(self) -> None:
        listener = self._listener
        if listener is None:
            return
        watched = [listener] + ([self._client] if self._client is not None else [])
        readable, _, _ = select.select(watched, [], [], self.interval)
        if listener in readable:
            self._accept(listener)
        if self._client is not None and self._client in readable:
            try:
                data = self._client.recv(_READ_SIZE)
            except OSError:
                data = b""
            if data:
                self.sim.feed(data)
            else:
                self._drop()
        chunks = self.sim.take_chunks()
        if self._client is None:
            return
        try:
            for chunk in chunks:
                self._client.sendall(chunk)
        except OSError:
            self._drop()

    def _accept(self, listener: socket.socket) -> None:
        conn, _ = listener.accept()
        if self._client is not None:
            conn.close()
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(_JOIN_TIMEOUT)
        self._client = conn
