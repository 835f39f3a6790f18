"""Fault-injection soak: randomized jobs against the simulated controller, with invariants.

Each run draws a job and a mix of faults from its seed, streams the job through a
`GrblSession` (in-process, and every few runs over a pseudo-terminal so that the serial path
counts too) and checks: no line written twice, none skipped before the job stopped, no
receive-buffer overflow, the right job outcome for the faults, no hang and no exception or
unexplained error log line. A failing run prints its seed; `--seeds N` replays it.

    python soak/run.py                    # the fixed seed list, at most --seconds
    python soak/run.py --random 500       # 500 fresh seeds
    python soak/run.py --seeds 17 42 -v   # replay two seeds, printing each plan
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import os
import random
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import vantorix  # noqa: E402

from episode import run_plan  # noqa: E402
from plan import FAULT_KINDS, draw_plan  # noqa: E402

FIXED_SEEDS = range(1, 2001)


class ErrorLog:
    """The error-level lines of the module's log file, read incrementally."""

    def __init__(self) -> None:
        handle, self.path = tempfile.mkstemp(prefix="vantorix-soak-", suffix=".log")
        os.close(handle)
        vantorix.init_logging("warn", self.path)
        self._offset = 0

    def new_error_lines(self):
        with open(self.path, "r", encoding="utf-8", errors="replace") as log:
            log.seek(self._offset)
            text = log.read()
            self._offset = log.tell()
        return [line for line in text.splitlines() if " ERROR " in line]


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=180.0,
                        help="stop starting new runs after this long (default 180)")
    parser.add_argument("--random", type=int, metavar="N", help="N runs with fresh seeds")
    parser.add_argument("--seeds", type=int, nargs="+", help="run exactly these seeds")
    parser.add_argument("--pty-every", type=int, default=5,
                        help="every n-th seed streams over a pseudo-terminal (0: never)")
    parser.add_argument("-v", "--verbose", action="store_true", help="print every plan")
    return parser.parse_args(argv)


def seeds_for(args):
    if args.seeds:
        return list(args.seeds)
    if args.random:
        rng = random.SystemRandom()
        return [rng.randrange(10_000, 2**31) for _ in range(args.random)]
    return list(FIXED_SEEDS)


async def soak(args) -> int:
    log = ErrorLog()
    leaked = []
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(
        lambda _loop, context: leaked.append(f"loop exception: {context.get('message')} "
                                             f"{context.get('exception')!r}"))
    sys.unraisablehook = lambda raised: leaked.append(
        f"unraisable: {raised.exc_type.__name__}: {raised.exc_value} in {raised.object!r}")

    runs = 0
    injected = collections.Counter()
    during_job = collections.Counter()
    violations = collections.Counter()
    failed_seeds = []
    over_pty = 0
    started = time.monotonic()
    for seed in seeds_for(args):
        if time.monotonic() - started > args.seconds:
            break
        plan = draw_plan(seed, args.pty_every)
        if args.verbose:
            print(plan.describe(), flush=True)
        outcome = await run_plan(plan, log.new_error_lines, leaked)
        runs += 1
        over_pty += plan.over_pty
        for fault in outcome.injected:
            injected[fault.kind] += 1
            during_job[fault.kind] += fault.during_job
        if outcome.violations:
            failed_seeds.append(seed)
            print(f"FAIL {plan.describe()}", flush=True)
            for violation in outcome.violations:
                violations[violation.split(":")[0]] += 1
                print(f"    {violation}", flush=True)
    elapsed = time.monotonic() - started

    print(f"\nruns: {runs} ({over_pty} over a pty) in {elapsed:.0f} s")
    print(f"{'fault':<16} {'injected':>9} {'during job':>11}")
    for kind in FAULT_KINDS:
        print(f"{kind:<16} {injected[kind]:>9} {during_job[kind]:>11}")
    print(f"{'total':<16} {sum(injected.values()):>9} {sum(during_job.values()):>11}")
    print(f"\n{'violation':<40} {'count':>6}")
    for name, count in sorted(violations.items()):
        print(f"{name:<40} {count:>6}")
    print(f"{'total':<40} {sum(violations.values()):>6}")
    if failed_seeds:
        print("replay: python soak/run.py --seeds " + " ".join(map(str, failed_seeds[:20])))
    os.unlink(log.path)
    return 1 if failed_seeds else 0


def main(argv=None) -> int:
    return asyncio.run(soak(parse_args(argv if argv is not None else sys.argv[1:])))


if __name__ == "__main__":
    sys.exit(main())
