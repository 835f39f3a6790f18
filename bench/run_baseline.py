"""Streaming figures of the pure-Python baseline against vantorix_responder, as rows of the
`make bench` table: instant acknowledgements over a pty, a 115200 baud link, and the same link
with 2 ms of processing per line. Also measures how many lines the responder itself can answer,
so that it is known not to be what limits the figures. Exits with 1 if the responder saw any
receive-buffer overflow."""

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


def print_row(figure, value, unit, target=None, ratio=None):
    """One table row. `target` and `ratio` stay empty ("-") until the engine is measured on
    the same job next to the baseline."""
    value_text = f"{value:.1f}" if isinstance(value, float) and value < 10_000 else f"{value:.0f}"
    target_text = "-" if target is None else f"{target:.0f}"
    ratio_text = "-" if ratio is None else f"{ratio:.2f}"
    print(f"{figure:<28} {value_text:>14}  {unit:<16} {target_text:>10} {ratio_text:>8}")
    sys.stdout.flush()


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


def main():
    overflows = 0
    link_line_rate = BAUD / 10 / len(job_lines(1)[0])

    result, counters = stream_over_pty([], INSTANT_LINES)
    overflows += counters["overflows"]
    print_row("baseline instant pty", result.lines_per_second, "lines/s")
    print_row("baseline instant cpu", result.cpu_ms_per_1000_lines, "ms/1000 lines")
    print_row("responder instant cpu", counters["cpu_ms"] * 1000 / INSTANT_LINES, "ms/1000 lines")

    rate, counters = responder_capacity(CAPACITY_LINES)
    overflows += counters["overflows"]
    print_row("responder capacity pty", rate, "lines/s")

    link = ["--baud", str(BAUD)]
    for figure, args in (
        (f"baseline {BAUD}", link),
        (f"baseline {BAUD}+{LINE_TIME_MS}ms", link + ["--line-time", str(LINE_TIME_MS)]),
    ):
        result, counters = stream_over_pty(args, LINK_LINES)
        overflows += counters["overflows"]
        print_row(figure, result.lines_per_second, "lines/s")
        print_row(f"{figure} cpu", result.cpu_ms_per_1000_lines, "ms/1000 lines")
        print_row(f"{figure} link use", 100 * result.lines_per_second / link_line_rate, "%")
        responder_cpu = counters["cpu_ms"] * 1000 / LINK_LINES
        print_row(figure.replace("baseline", "responder") + " cpu", responder_cpu, "ms/1000 lines")

    print_row("responder overflows", overflows, "bytes")
    if overflows:
        sys.exit(1)


if __name__ == "__main__":
    main()
