"""Shared helpers for session tests: fast timings, an event recorder, waiting helpers."""

import asyncio
import time

import vantorix
from vantorix_tools.sim import GrblSimulator, MockTransportAttachment

GrblSession = vantorix.grbl.GrblSession
MockTransport = vantorix.grbl.MockTransport

# Short intervals so that lifecycle tests run in well under a second per step.
FAST = {
    "handshake_timeout": 0.6,
    "handshake_poll_interval": 0.05,
    "status_poll_interval": 0.05,
    "reconnect_delay": 0.2,
    "command_timeout": 2.0,
}


class Recorder:
    """Collects (name, payload) events delivered to the event callback."""

    def __init__(self):
        self.events = []

    def __call__(self, name, payload):
        self.events.append((name, payload))

    def named(self, name):
        return [payload for event, payload in self.events if event == name]

    def statuses(self):
        return [status for status, _ in self.named("connection_status_changed")]


async def wait_until(predicate, timeout=10.0, interval=0.01):
    """Polls `predicate` on the loop until it holds; generous upper bound, no fixed sleep."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        await asyncio.sleep(interval)


class SimulatedDevice:
    """A session on a MockTransport driven by the controller simulator."""

    def __init__(self, config=None, dialect=None, **sim_options):
        self.recorder = Recorder()
        self.mock = MockTransport()
        self.sim = GrblSimulator(**sim_options)
        self.session = GrblSession.with_transport(
            self.mock, dict(FAST, **(config or {})), dialect, self.recorder
        )
        self.attachment = MockTransportAttachment(self.sim, self.mock)

    async def __aenter__(self):
        self.attachment.start()
        await self.session.connect()
        await wait_until(lambda: "CONNECTED" in self.recorder.statuses())
        return self

    async def __aexit__(self, *exc):
        await self.session.disconnect()
        self.attachment.stop()

    def written(self):
        return b"".join(self.mock.sent())
