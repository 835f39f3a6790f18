"""32 sessions in one process, each streaming to its own controller (one responder, one TCP
connection per session) over a modelled 115200 baud link, with a progress callback per line.
Meanwhile the GIL watchdog samples every 100 ms how long a runtime worker waits to take the
interpreter lock. Prints one JSON object: the lowest and the median link use of the sessions,
the watchdog's attach times in microseconds and the responder's counters.

Run as its own process: the watchdog period is read when the runtime is built."""

import asyncio
import json
import os
import re
import statistics
import sys
import tempfile

WATCHDOG_PERIOD_MS = 100
os.environ["VANTORIX_GIL_WATCHDOG_PERIOD_MS"] = str(WATCHDOG_PERIOD_MS)

from baseline_streamer import job_lines  # noqa: E402
from engine_streamer import job_text, open_session, per_line_op_map  # noqa: E402
from responder_process import Responder  # noqa: E402

SESSIONS = 32
LINES = 5000
BAUD = 115_200
WATCHDOG_LINE = re.compile(r"\[gil-watchdog\] alive after \d+s \(attach took ([0-9.]+)(s|ms|µs|ns)\)")
UNIT_US = {"s": 1e6, "ms": 1e3, "µs": 1.0, "ns": 1e-3}


async def stream_one(session, text, op_map):
    done = []
    loop = asyncio.get_running_loop()
    start = loop.time()
    await session.run(text, op_map, None, done.append)
    seconds = loop.time() - start
    if len(done) != len(op_map):
        # The last progress events may still be queued on the loop.
        await asyncio.sleep(0.2)
    return LINES / seconds, len(done)


async def main_async(port):
    lines = job_lines(LINES)
    text = job_text(lines)
    op_map = per_line_op_map(LINES)
    sessions = [
        (await open_session(f"tcp:127.0.0.1:{port}"))[0] for _ in range(SESSIONS)
    ]
    try:
        results = await asyncio.gather(*(stream_one(s, text, op_map) for s in sessions))
    finally:
        for session in sessions:
            await session.disconnect()
    return results


def main():
    # The watchdog writes to the process's standard error: collect it in a file.
    capture = tempfile.TemporaryFile()
    saved_stderr = os.dup(2)
    os.dup2(capture.fileno(), 2)
    try:
        with Responder("--tcp", "0", "--baud", str(BAUD)) as responder:
            results = asyncio.run(main_async(responder.tcp_port))
            counters = responder.stop()
    finally:
        os.dup2(saved_stderr, 2)
    capture.seek(0)
    output = capture.read().decode(errors="replace")
    attach_us = [float(value) * UNIT_US[unit] for value, unit in WATCHDOG_LINE.findall(output)]
    line_rate = BAUD / 10 / len(job_lines(1)[0])
    uses = sorted(100 * rate / line_rate for rate, _ in results)
    json.dump(
        {
            "sessions": SESSIONS,
            "min_link_use": uses[0],
            "median_link_use": statistics.median(uses),
            "progress_events": sum(done for _, done in results),
            "attach_us": attach_us,
            "counters": counters,
        },
        sys.stdout,
    )


if __name__ == "__main__":
    main()
