"""Resident memory of the engine, read from /proc/self/statm in a process of its own:

- idle: 100 sessions connected to one responder (one TCP connection each) and idle; the growth
  of the resident size over what the process held before, divided by 100;
- job: a 1,000,000-line job streamed over a pty; the highest resident size seen while it ran,
  less what the process held just before `run` was called (the program text was built then).

Prints one JSON object."""

import asyncio
import gc
import json
import os
import sys

from baseline_streamer import job_lines
from engine_streamer import job_text, open_session
from responder_process import Responder

IDLE_SESSIONS = 100
JOB_LINES = 1_000_000
SAMPLE_INTERVAL = 0.02
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


async def idle_sessions(port):
    # One session first, so that the runtime and its threads exist before the baseline.
    first, _ = await open_session(f"tcp:127.0.0.1:{port}")
    gc.collect()
    await asyncio.sleep(0.2)
    before = resident_bytes()
    sessions = [(await open_session(f"tcp:127.0.0.1:{port}"))[0] for _ in range(IDLE_SESSIONS)]
    await asyncio.sleep(0.5)
    gc.collect()
    after = resident_bytes()
    for session in [first, *sessions]:
        await session.disconnect()
    return (after - before) / IDLE_SESSIONS


async def job_growth(pty):
    session, _ = await open_session(f"pty:{pty}")
    try:
        text = job_text(job_lines(JOB_LINES))
        gc.collect()
        before = resident_bytes()
        job = asyncio.ensure_future(session.run(text))
        peak = before
        while not job.done():
            peak = max(peak, resident_bytes())
            await asyncio.sleep(SAMPLE_INTERVAL)
        await job
        return peak - before, len(text)
    finally:
        await session.disconnect()


def main():
    with Responder("--tcp", "0") as responder:
        per_session = asyncio.run(idle_sessions(responder.tcp_port))
        idle_counters = responder.stop()
    with Responder("--pty") as responder:
        growth, text_bytes = asyncio.run(job_growth(responder.pty))
        job_counters = responder.stop()
    if job_counters["lines"] != JOB_LINES + 1:  # the handshake's "$I" is a line too
        sys.exit(f"the responder answered {job_counters['lines']} lines")
    json.dump(
        {
            "idle_session_bytes": per_session,
            "job_growth_bytes": growth,
            "job_text_bytes": text_bytes,
            "overflows": idle_counters["overflows"] + job_counters["overflows"],
        },
        sys.stdout,
    )


if __name__ == "__main__":
    main()
