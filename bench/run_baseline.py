"""The pure-Python baseline against vantorix_responder, for the streaming table of
`run_streaming.py`: the jobs (instant acknowledgements over a pty, a 115200 baud link, and the
same link with 2 ms of processing per line) and how many lines the responder itself can answer,
so that it is known not to be what limits the figures."""

import asyncio
import os
import sys
import threading
import time
import tty

from baseline_streamer import job_lines, run
from responder_process import Responder

INSTANT_LINES = 200_000
LINK_LINES = 5_000
CAPACITY_LINES = 500_000
BAUD = 115_200
LINE_TIME_MS = 2
OK_REPLY = b"ok\r\n"


def stream_over_pty(responder_args, line_count):
    """Runs the baseline on a fresh responder; returns its result and the responder counters."""
    with Responder("--pty", *responder_args) as responder:
        result = asyncio.run(run(f"pty:{responder.pty}", job_lines(line_count)))
        counters = responder.stop()
    if counters["lines"] != line_count:
        sys.exit(f"the responder answered {counters['lines']} of {line_count} lines")
    return result, counters


def responder_capacity(line_count):
    """Lines per second the responder answers when the host floods it without waiting. In
    instant mode every line is answered as its line feed arrives, so flooding cannot overflow."""
    lines = b"".join(job_lines(line_count))
    with Responder("--pty") as responder:
        fd = os.open(responder.pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)

        def write_all():
            view = memoryview(lines)
            while view:
                view = view[os.write(fd, view[:65536]):]

        start = time.perf_counter()
        writer = threading.Thread(target=write_all, daemon=True)
        writer.start()
        expected = line_count * len(OK_REPLY)
        received = 0
        while received < expected:
            received += len(os.read(fd, 65536))
        seconds = time.perf_counter() - start
        writer.join()
        os.close(fd)
        counters = responder.stop()
    return line_count / seconds, counters
