"""The streaming rows of the `make bench` table: the engine through its Python API next to the
pure-Python baseline, on the same jobs against the same responder, in one run.

Every row carries its target and a ratio: value / target for an absolute target, value /
baseline for a target relative to the baseline (the target column then shows the bound that
applies in this run). A "<=" target is met with a ratio of at most 1, a ">=" target with a
ratio of at least 1. The last rows count the responder's overflows (the script exits with 1
when there was any) and the targets met."""

import asyncio
import json
import os
import pathlib
import resource
import subprocess
import sys
import time

import engine_streamer
import latency_bench
from baseline_streamer import job_lines
from run_baseline import (
    BAUD,
    INSTANT_LINES,
    LINE_TIME_MS,
    LINK_LINES,
    responder_capacity,
    stream_over_pty,
)
from responder_process import Responder

HERE = pathlib.Path(__file__).resolve().parent
CAPACITY_LINES = 500_000
LINK_USE_RESOLUTION = 0.1  # percentage points


class Table:
    def __init__(self):
        self.overflows = 0
        self.targets = 0
        self.met = 0

    def row(self, figure, value, unit, target=None, ratio=None, at_least=True, digits=None):
        """`target` is the bound (a number); `ratio` defaults to value / target."""
        if digits is not None:
            value_text = f"{value:.{digits}f}"
        elif value >= 10_000 or float(value).is_integer():
            value_text = f"{value:.0f}"
        else:
            value_text = f"{value:.1f}" if value >= 10 else f"{value:.3g}"
        target_text = "-"
        ratio_text = "-"
        if target is not None:
            if digits is not None:
                bound = f"{target:.{digits}f}"
            else:
                bound = f"{target:.0f}" if target >= 100 else f"{target:.3g}"
            target_text = (">=" if at_least else "<=") + bound
            self.targets += 1
            if (value >= target) if at_least else (value <= target):
                self.met += 1
            if ratio is None:
                ratio = value / target if target else 0.0
        if ratio is not None:
            ratio_text = f"{ratio:.2f}"
        print(f"{figure:<34} {value_text:>12}  {unit:<16} {target_text:>10} {ratio_text:>8}")
        sys.stdout.flush()

    def count(self, counters, what):
        if counters["overflows"]:
            print(f"overflow: {counters['overflows']} bytes in {what}", file=sys.stderr)
        self.overflows += counters["overflows"]


def engine_run(table, target, lines, progress=False):
    """One engine job against a fresh responder (or the in-memory device)."""
    if target == "mem":
        with engine_streamer.MockDevice() as device:
            return asyncio.run(engine_streamer.run(device.transport, lines, progress))
    args = ["--pty"] if target == "pty" else ["--tcp", "0"]
    with Responder(*args) as responder:
        where = f"pty:{responder.pty}" if target == "pty" else f"tcp:127.0.0.1:{responder.tcp_port}"
        result = asyncio.run(engine_streamer.run(where, lines, progress))
        counters = responder.stop()
    table.count(counters, f"engine {target}")
    return result


def reflex_run(table, line_count, responder_args=()):
    """Lines/s and CPU ms per 1000 lines of a blocking one-thread host: what a line costs on
    this pty without any event loop."""
    with Responder("--pty", *responder_args) as responder:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run([latency_bench.reflex_binary(), responder.pty, str(line_count)], check=True)
        seconds = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        counters = responder.stop()
    table.count(counters, "reflex host")
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return line_count / seconds, cpu * 1e6 / line_count


def engine_link_run(table, responder_args, line_count):
    with Responder("--pty", *responder_args) as responder:
        result = asyncio.run(
            engine_streamer.run(f"pty:{responder.pty}", job_lines(line_count))
        )
        counters = responder.stop()
    table.count(counters, f"engine {responder_args}")
    # The handshake's "$I" is answered as a line too.
    if counters["lines"] != line_count + 1:
        sys.exit(f"the responder answered {counters['lines']} of {line_count} lines")
    return result


def throughput(table):
    lines = job_lines(INSTANT_LINES)
    baseline, counters = stream_over_pty([], INSTANT_LINES)
    table.count(counters, "baseline instant")
    base = baseline.lines_per_second
    table.row("baseline instant pty", base, "lines/s")
    ceiling, _ = reflex_run(table, INSTANT_LINES)
    table.row("floor host instant pty", ceiling, "lines/s", None, ceiling / base)
    for progress, factor in ((False, 2.5), (True, 2.0)):
        suffix = " +progress" if progress else ""
        result = engine_run(table, "pty", lines, progress)
        rate = result.lines_per_second
        table.row(f"engine instant pty{suffix}", rate, "lines/s", factor * base, rate / base)
    for target in ("tcp", "mem"):
        for progress in (False, True):
            suffix = " +progress" if progress else ""
            rate = engine_run(table, target, lines, progress).lines_per_second
            table.row(f"engine instant {target}{suffix}", rate, "lines/s", None, rate / base)
    table.row("baseline instant cpu", baseline.cpu_ms_per_1000_lines, "ms/1000 lines")
    rate, counters = responder_capacity(CAPACITY_LINES)
    table.count(counters, "responder capacity")
    table.row("responder capacity pty", rate, "lines/s")


def link(table):
    link_rate = BAUD / 10 / len(job_lines(1)[0])
    device_rate = 1000 / LINE_TIME_MS
    for name, args, rate_bound in (
        (f"{BAUD}", ["--baud", str(BAUD)], link_rate),
        (f"{BAUD}+{LINE_TIME_MS}ms", ["--baud", str(BAUD), "--line-time", str(LINE_TIME_MS)],
         min(link_rate, device_rate)),
    ):
        baseline, counters = stream_over_pty(args, LINK_LINES)
        table.count(counters, f"baseline {name}")
        engine = engine_link_run(table, args, LINK_LINES)
        base_use = 100 * baseline.lines_per_second / rate_bound
        use = 100 * engine.lines_per_second / rate_bound
        table.row(f"baseline {name} link use", base_use, "%", digits=2)
        # One line's round trip is 0.04% of a 5,000-line run: the two streamers are compared
        # to within 0.1 point.
        table.row(f"engine {name} link use", use, "%", max(99.5, base_use - LINK_USE_RESOLUTION),
                  digits=2)
        base_cpu = baseline.cpu_ms_per_1000_lines
        table.row(f"baseline {name} cpu", base_cpu, "ms/1000 lines")
        table.row(f"engine {name} cpu", engine.cpu_ms_per_1000_lines, "ms/1000 lines",
                  base_cpu / 5, engine.cpu_ms_per_1000_lines / base_cpu, at_least=False)
        if name == f"{BAUD}":
            _, floor_cpu = reflex_run(table, LINK_LINES, args)
            table.row(f"floor host {name} cpu", floor_cpu, "ms/1000 lines", None,
                      floor_cpu / base_cpu)


def latency(table):
    delays, counters = latency_bench.floor_ack_latency()
    table.count(counters, "floor_ack_latency")
    p50, p99 = latency_bench.summary_us(delays)
    table.row("floor ack->line p50", p50, "us")
    table.row("floor ack->line p99", p99, "us")
    delays, counters = latency_bench.baseline_ack_latency()
    table.count(counters, "baseline_ack_latency")
    p50, p99 = latency_bench.summary_us(delays)
    table.row("baseline ack->line p50", p50, "us")
    table.row("baseline ack->line p99", p99, "us")
    delays, counters = asyncio.run(latency_bench.engine_ack_latency())
    table.count(counters, "engine_ack_latency")
    p50, p99 = latency_bench.summary_us(delays)
    table.row("engine ack->line p50", p50, "us")
    table.row("engine ack->line p99", p99, "us", 100, at_least=False)
    delays, counters = asyncio.run(latency_bench.cancel_latency())
    table.count(counters, "cancel_latency")
    p50, p99 = latency_bench.summary_us(delays)
    table.row("engine cancel->0x18 p50", p50 / 1e3, "ms")
    table.row("engine cancel->0x18 p99", p99 / 1e3, "ms", 2, at_least=False)
    delays, counters = asyncio.run(latency_bench.report_latency())
    table.count(counters, "report_latency")
    p50, p99 = latency_bench.summary_us(delays)
    table.row("engine report->state_changed p50", p50 / 1e3, "ms")
    table.row("engine report->state_changed p99", p99 / 1e3, "ms", 5, at_least=False)


def run_json(script):
    """Runs a benchmark that needs a process of its own and returns its JSON output."""
    output = subprocess.run(
        [sys.executable, str(HERE / script)], check=True, stdout=subprocess.PIPE,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), os.environ["PYTHONPATH"]])),
    ).stdout
    return json.loads(output)


def scale(table):
    figures = run_json("scale_bench.py")
    table.count(figures["counters"], "scale")
    sessions = figures["sessions"]
    table.row(f"engine {sessions} sessions min link use", figures["min_link_use"], "%", 99.5,
              digits=2)
    table.row(f"engine {sessions} sessions median use", figures["median_link_use"], "%",
              digits=2)
    attach = sorted(figures["attach_us"])
    if not attach:
        sys.exit("the GIL watchdog reported nothing")
    table.row("gil watchdog attach p50", attach[len(attach) // 2] / 1e3, "ms")
    table.row(f"gil watchdog attach max ({len(attach)})", attach[-1] / 1e3, "ms", 10,
              at_least=False)


def memory(table):
    figures = run_json("memory_bench.py")
    table.overflows += figures["overflows"]
    table.row("engine idle session rss", figures["idle_session_bytes"] / 1024, "KiB", 100,
              at_least=False)
    text = figures["job_text_bytes"] / 1024
    growth = figures["job_growth_bytes"] / 1024
    table.row("1M-line job program text", text, "KiB")
    # The constant allowed on top of the text: the runtime's and the allocator's working set.
    table.row("1M-line job rss growth", growth, "KiB", text + 8192, at_least=False)


def main():
    table = Table()
    throughput(table)
    link(table)
    latency(table)
    scale(table)
    memory(table)
    table.row("responder overflows", table.overflows, "bytes")
    table.row("targets met", table.met, f"of {table.targets}")
    if table.overflows:
        sys.exit(1)


if __name__ == "__main__":
    main()
