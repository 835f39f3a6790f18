"""Serve the simulated controller: ``python -m vantorix_tools.sim --pty`` or ``--tcp PORT``.

The device path or the port is printed on its own line once the simulator is ready; Ctrl-C
(or SIGTERM) stops it.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from typing import List, Optional

from .attachments import PtyServer, TcpServer
from .core import GrblSimulator


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m vantorix_tools.sim",
        description="Serve a simulated GRBL 1.1 controller on a pseudo-terminal or a TCP port.")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--pty", action="store_true", help="serve on a new pseudo-terminal")
    where.add_argument("--tcp", type=int, metavar="PORT",
                       help="serve on 127.0.0.1:PORT (0 picks a free port)")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on with --tcp")
    parser.add_argument("--speed-factor", type=float, default=1.0,
                        help="motion time multiplier (0: instant, default 1.0)")
    parser.add_argument("--rx-buffer-size", type=int, default=128,
                        help="receive buffer size in bytes (default 128)")
    parser.add_argument("--planner-blocks", type=int, default=15,
                        help="planner blocks (default 15)")
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    sim = GrblSimulator(speed_factor=args.speed_factor, rx_buffer_size=args.rx_buffer_size,
                        planner_blocks=args.planner_blocks)
    if args.pty:
        server = PtyServer(sim)
    else:
        server = TcpServer(sim, port=args.tcp, host=args.host)
    stop = threading.Event()
    # Both signals only set the event, so a Ctrl-C at any moment ends the loop below and the
    # server is always stopped the same way.
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    with server:
        print(server.device if args.pty else server.port, flush=True)
        while not stop.wait(0.2) and server.running:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
