"""The ``vantorix`` command: stream a G-code file to a GRBL controller with a progress bar.

    vantorix stream job.gcode                      # to the built-in simulator (default)
    vantorix stream job.gcode --port /dev/ttyUSB0  # to a serial port
    vantorix stream job.gcode --host 10.0.0.5      # to a TCP serial bridge (port 23)
    vantorix sim --pty                             # serve the simulator (see vantorix_tools.sim)

Exit status: 0 when the job streamed to its end, 1 when the device reported an error or alarm
or the job was stopped, 2 for unusable arguments or a device that never answered.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import time
from typing import TYPE_CHECKING, List, Optional, TextIO

import vantorix

from .sim import GrblSimulator, MockTransportAttachment
from .sim import __main__ as sim_main

if TYPE_CHECKING:
    from vantorix._typing import EventName, EventPayload, SessionConfig

CONNECT_TIMEOUT = 15.0


class ProgressBar:
    """A one-line progress bar redrawn in place on a terminal, plain lines otherwise."""

    def __init__(self, total: int, out: TextIO, width: int = 30) -> None:
        self.total = max(total, 1)
        self.out = out
        self.width = width
        self.done = 0
        self.started = time.monotonic()
        self._last_draw = 0.0
        self._last_percent = -1

    def update(self, done: int) -> None:
        self.done = max(self.done, done)
        now = time.monotonic()
        percent = self.done * 100 // self.total
        if self.out.isatty():
            if now - self._last_draw >= 0.05 or self.done == self.total:
                filled = self.width * self.done // self.total
                bar = "#" * filled + "." * (self.width - filled)
                self.out.write(f"\r[{bar}] {percent:3d}% {self.done}/{self.total} lines")
                self.out.flush()
                self._last_draw = now
        elif percent // 10 != self._last_percent // 10 or self.done == self.total:
            self.out.write(f"progress {percent}% ({self.done}/{self.total} lines)\n")
            self.out.flush()
        self._last_percent = percent

    def finish(self) -> None:
        if self.out.isatty():
            self.out.write("\n")
        elapsed = time.monotonic() - self.started
        rate = self.done / elapsed if elapsed > 0 else 0.0
        self.out.write(f"streamed {self.done} lines in {elapsed:.2f} s ({rate:.0f} lines/s)\n")
        self.out.flush()


def program_lines(text: str) -> List[str]:
    """The lines of the program as the session numbers them (LF splits, a final LF ends)."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


async def stream(args: argparse.Namespace, out: TextIO) -> int:
    with open(args.file, encoding="utf-8") as handle:
        gcode = handle.read()
    lines = program_lines(gcode)
    problems: List[str] = []

    def on_event(name: EventName, payload: EventPayload) -> None:
        if name == "command_status_changed" and isinstance(payload, tuple):
            status, message = payload
            if status == "ERROR":
                problems.append(str(message))

    config: SessionConfig = {"status_poll_interval": 0.2, "handshake_poll_interval": 0.2}
    attachment = None
    if args.port:
        config.update({"port": args.port, "baudrate": args.baud})
        session = vantorix.grbl.GrblSession(config, None, on_event)
    elif args.host:
        config.update({"host": args.host, "tcp_port": args.tcp_port})
        session = vantorix.grbl.GrblSession(config, None, on_event)
    else:
        transport = vantorix.grbl.MockTransport()
        session = vantorix.grbl.GrblSession.with_transport(transport, config, None, on_event)
        attachment = MockTransportAttachment(GrblSimulator(speed_factor=args.speed_factor),
                                             transport)
        attachment.start()
    try:
        await session.connect()
        deadline = time.monotonic() + CONNECT_TIMEOUT
        idle = vantorix.grbl.types.DeviceStatus.IDLE
        while session.state.status != idle:
            if time.monotonic() > deadline:
                out.write(f"vantorix: no answer from {session.resource_uri or 'the simulator'}\n")
                return 2
            await asyncio.sleep(0.05)
        bar = ProgressBar(len(lines), out)
        await session.run(gcode, {i: i for i in range(len(lines))}, None,
                          lambda op_index: bar.update(op_index + 1))
        bar.finish()
        if problems:
            out.write(f"vantorix: job stopped: {problems[0]}\n")
            return 1
        return 0
    finally:
        await session.disconnect()
        if attachment is not None:
            attachment.stop()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantorix", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("stream", help="stream a G-code file with a progress bar")
    run.add_argument("file", help="the G-code program")
    link = run.add_mutually_exclusive_group()
    link.add_argument("--port", help="serial device, e.g. /dev/ttyUSB0")
    link.add_argument("--host", help="TCP serial bridge host")
    run.add_argument("--baud", type=int, default=115200, help="serial speed (default 115200)")
    run.add_argument("--tcp-port", type=int, default=23, help="TCP port (default 23)")
    run.add_argument("--speed-factor", type=float, default=0.0,
                     help="simulator motion time multiplier (default 0: instant)")
    commands.add_parser("sim", help="serve the simulator (arguments of vantorix_tools.sim)",
                        add_help=False)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["sim"]:
        return sim_main.main(argv[1:])
    args = build_parser().parse_args(argv)
    try:
        return asyncio.run(stream(args, sys.stderr))
    except OSError as error:
        sys.stderr.write(f"vantorix: {error}\n")
        return 2
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
