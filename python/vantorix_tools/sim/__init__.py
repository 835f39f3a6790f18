"""A simulated GRBL 1.1 controller for host tests.

:class:`GrblSimulator` is the controller itself, without I/O: it is fed the bytes the host
writes and produces the bytes a GRBL 1.1h controller would answer, with a 128-byte receive
buffer, a 15-block planner, motion that takes (scaled) time, alarms, probing, homing and soft
reset, plus hooks that inject faults (lost, corrupted or interleaved "ok", split chunks,
silence, alarms, a dropped link).

Three attachments connect it to a host, each startable, stoppable and usable as a context
manager:

* :class:`MockTransportAttachment`: in-process, to a ``vantorix.grbl.MockTransport``;
* :class:`PtyServer`: a pseudo-terminal whose device path a serial transport opens;
* :class:`TcpServer`: a TCP port on 127.0.0.1, one client at a time.

From the command line: ``python -m vantorix_tools.sim --pty`` or ``--tcp PORT``.
"""

from .attachments import MockTransportAttachment, PtyServer, TcpServer
from .config import SimConfig
from .core import GrblSimulator, Overflow, ReceivedLine

__all__ = [
    "GrblSimulator",
    "MockTransportAttachment",
    "Overflow",
    "PtyServer",
    "ReceivedLine",
    "SimConfig",
    "TcpServer",
]
