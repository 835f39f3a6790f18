"""Resource stability: many connects, many short jobs and one very long job in one process.

Open file descriptors, threads and resident memory must stay flat, and the Python objects
handed to the session (callbacks, the program text, the operation map) must not gain
references. Prints first and last figures; exits non-zero when something grew.

    python soak/resources.py [--cycles 1000] [--jobs 1000] [--long-lines 1000000]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import os
import select
import sys
import threading
import time
import tty

import vantorix
from vantorix_tools.sim import GrblSimulator, MockTransportAttachment

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from episode import CONFIG  # noqa: E402

GrblSession = vantorix.grbl.GrblSession
MockTransport = vantorix.grbl.MockTransport

# Allowed growth between the first and the last sample.
RSS_SLACK_KB = 16 * 1024
FD_SLACK = 0
THREAD_SLACK = 0


def sample():
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status if ":" in line)
    return {
        "fds": len(os.listdir("/proc/self/fd")),
        "threads": int(fields["Threads"]),
        "rss_kb": int(fields["VmRSS"].split()[0]),
    }


def show(label, first, last):
    print(f"{label:<28} fds {first['fds']:>4} -> {last['fds']:<4} "
          f"threads {first['threads']:>3} -> {last['threads']:<3} "
          f"rss {first['rss_kb'] / 1024:7.1f} -> {last['rss_kb'] / 1024:7.1f} MiB")


def grew(first, last) -> list:
    problems = []
    if last["fds"] > first["fds"] + FD_SLACK:
        problems.append(f"file descriptors {first['fds']} -> {last['fds']}")
    if last["threads"] > first["threads"] + THREAD_SLACK:
        problems.append(f"threads {first['threads']} -> {last['threads']}")
    if last["rss_kb"] > first["rss_kb"] + RSS_SLACK_KB:
        problems.append(f"resident memory {first['rss_kb']} -> {last['rss_kb']} kB")
    return problems


async def wait_for(predicate, limit=10.0):
    deadline = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError("condition not reached")
        await asyncio.sleep(0.002)


def on_event(_name, _payload):
    pass


async def connect_cycles(count: int) -> list:
    sim = GrblSimulator(speed_factor=0)
    mock = MockTransport()
    connected = []
    session = GrblSession.with_transport(
        mock, CONFIG, None, lambda name, payload: connected.append(payload)
        if name == "connection_status_changed" and payload[0] == "CONNECTED" else None)
    with MockTransportAttachment(sim, mock):
        first = None
        for cycle in range(count):
            before = len(connected)
            await session.connect()
            await wait_for(lambda: len(connected) > before)
            await session.disconnect()
            mock.clear_sent()
            if cycle == 9:  # after the runtime, the loop and the caches have warmed up
                gc.collect()
                first = sample()
        gc.collect()
        last = sample()
    show(f"{count} connect/disconnect", first, last)
    return grew(first, last)


async def short_jobs(count: int) -> list:
    sim = GrblSimulator(speed_factor=0)
    mock = MockTransport()
    session = GrblSession.with_transport(mock, CONFIG, None, on_event)
    progress = []
    callback = progress.append
    program = "G1 X1 F6000\nG1 X2\nG1 X0\n"
    op_map = {0: 0, 1: 1, 2: 2}
    problems = []
    with MockTransportAttachment(sim, mock):
        await session.connect()
        await wait_for(lambda: session.rx_buffer_size == 128)
        first = None
        refs = None
        for job in range(count):
            await session.run(program, op_map, [0.1, 0.1, 0.1], callback)
            mock.clear_sent()
            if job == 9:
                gc.collect()
                first = sample()
                refs = [sys.getrefcount(o) for o in (callback, program, op_map, on_event)]
        await wait_for(lambda: len(progress) >= 3 * count)
        # The progress callback stays installed until the next run: replace it, then count.
        await session.run("", None, None, None)
        await session.disconnect()
        gc.collect()
        last = sample()
        after = [sys.getrefcount(o) for o in (callback, program, op_map, on_event)]
    show(f"{count} short jobs", first, last)
    print(f"{'  reference counts':<28} callback/program/op_map/event_callback {refs} -> {after}")
    if any(b > a for a, b in zip(refs, after)):
        problems.append(f"reference counts grew {refs} -> {after}")
    if len(progress) != 3 * count:
        problems.append(f"progress events {len(progress)} for {3 * count} operations")
    return problems + grew(first, last)


class PtyResponder:
    """A controller on a pseudo-terminal that answers every line with "ok" and every "?"
    with an idle report, at full speed, and keeps no record of what it received."""

    def __init__(self) -> None:
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.device = os.ttyname(self.slave)
        self.lines = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join(5)
        os.close(self.master)
        os.close(self.slave)

    def _serve(self) -> None:
        while not self._stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:
                continue
            count = data.count(b"\n")
            self.lines += count
            replies = b"ok\r\n" * count
            if b"?" in data:
                replies += b"<Idle|MPos:0.000,0.000,0.000|Bf:15,128>\r\n"
            while replies:
                replies = replies[os.write(self.master, replies):]


async def long_job(line_count: int) -> list:
    with PtyResponder() as device:
        session = GrblSession(dict(CONFIG, port=device.device), None, None)
        await session.connect()
        await wait_for(lambda: session.rx_buffer_size == 128)
        program = "G1 X1 Y1 F6000\nG1 X0 Y0\n" * (line_count // 2)
        gc.collect()
        first = sample()
        started = time.monotonic()
        peak = dict(first)
        job = asyncio.ensure_future(session.run(program))
        while not job.done():
            await asyncio.sleep(0.5)
            peak["rss_kb"] = max(peak["rss_kb"], sample()["rss_kb"])
        await job
        took = time.monotonic() - started
        await session.disconnect()
        answered = device.lines
    del program, job
    gc.collect()
    last = sample()
    show(f"{line_count} line job (pty)", first, last)
    print(f"{'  during the job':<28} peak rss {peak['rss_kb'] / 1024:.1f} MiB, "
          f"{line_count / took:,.0f} lines/s, {took:.1f} s")
    problems = grew(first, last)
    # The engine holds the program's lines while the job runs; nothing else may pile up.
    allowed_kb = RSS_SLACK_KB + 4 * len("G1 X1 Y1 F6000\n") * line_count // 1024
    if peak["rss_kb"] > first["rss_kb"] + allowed_kb:
        problems.append(f"resident memory peaked at {peak['rss_kb']} kB during the job")
    if answered < line_count:
        problems.append(f"the device received {answered} of {line_count} lines")
    return problems


async def main(args) -> int:
    problems = []
    problems += await connect_cycles(args.cycles)
    problems += await short_jobs(args.jobs)
    if args.long_lines:
        problems += await long_job(args.long_lines)
    for problem in problems:
        print(f"VIOLATION: {problem}")
    print(f"resource violations: {len(problems)}")
    return 1 if problems else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--jobs", type=int, default=1000)
    parser.add_argument("--long-lines", type=int, default=1_000_000)
    sys.exit(asyncio.run(main(parser.parse_args())))
