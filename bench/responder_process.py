"""Starts and drives a vantorix_responder process: its pty path and TCP port, its counters on
request (SIGUSR1) and at the end (SIGTERM)."""

import os
import pathlib
import select
import signal
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
REPLY_TIMEOUT = 10.0


def responder_binary():
    return os.environ.get("VANTORIX_RESPONDER") or str(
        ROOT / os.environ.get("BUILD", "build") / "vantorix_responder"
    )


def parse_counters(line):
    """{"lines": ..., "bytes": ..., ...} from a "counters name=value ..." line."""
    words = line.split()
    if not words or words[0] != "counters":
        raise RuntimeError(f"unexpected responder output: {line!r}")
    return {name: float(value) if "." in value else int(value)
            for name, value in (word.split("=", 1) for word in words[1:])}


class Responder:
    """A running responder; use it as a context manager so that it never outlives its user."""

    def __init__(self, *args):
        self.process = subprocess.Popen([responder_binary(), *args], stdout=subprocess.PIPE)
        self._pending = b""
        self.pty = None
        self.tcp_port = None
        while (line := self._read_line()) != "ready":
            kind, value = line.split(" ", 1)
            if kind == "pty":
                self.pty = value
            elif kind == "tcp":
                self.tcp_port = int(value)

    def _read_line(self):
        deadline = time.monotonic() + REPLY_TIMEOUT
        fd = self.process.stdout.fileno()
        while b"\n" not in self._pending:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
                raise TimeoutError("the responder did not answer")
            chunk = os.read(fd, 4096)
            if not chunk:
                raise RuntimeError(f"the responder ended with {self.process.wait()}")
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        return line.decode()

    def counters(self):
        self.process.send_signal(signal.SIGUSR1)
        return parse_counters(self._read_line())

    def stop(self):
        """Ends the responder and returns its final counters."""
        self.process.send_signal(signal.SIGTERM)
        counters = parse_counters(self._read_line())
        self.process.wait(REPLY_TIMEOUT)
        return counters

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
