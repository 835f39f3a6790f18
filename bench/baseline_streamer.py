"""A character-counting G-code streamer in plain Python asyncio, written the way a host
application would write one: it keeps the lines sent and not yet answered in a queue, sends the
next line only while the sum of their lengths stays within the controller's 127-byte receive
buffer, and frees the oldest line for every "ok" or "error:" reply. It is the baseline that the
native engine is measured against.

    python3 bench/baseline_streamer.py (--pty PATH | --tcp HOST:PORT) [--lines N]
"""

import argparse
import asyncio
import collections
import dataclasses
import os
import termios
import time
import tty

RX_BUFFER_SIZE = 127


def job_lines(count):
    """`count` distinct G-code lines of 20 bytes each, line feed included."""
    return [
        f"G1 X{i % 1000 / 10:06.2f} Y{i * 7 % 10000 / 1000:07.3f}\n".encode() for i in range(count)
    ]


@dataclasses.dataclass
class StreamResult:
    lines: int
    bytes_sent: int
    seconds: float
    cpu_seconds: float
    errors: int

    @property
    def lines_per_second(self):
        return self.lines / self.seconds

    @property
    def cpu_ms_per_1000_lines(self):
        return self.cpu_seconds * 1e6 / self.lines


async def open_pty(path):
    """Stream reader and writer on a serial device (or pty) in raw mode."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    termios.tcflush(fd, termios.TCIOFLUSH)
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    # The read and write transports each close their descriptor, so each gets its own.
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), open(fd, "rb", 0))
    write_transport, write_protocol = await loop.connect_write_pipe(
        lambda: asyncio.StreamReaderProtocol(asyncio.StreamReader()), open(os.dup(fd), "wb", 0)
    )
    writer = asyncio.StreamWriter(write_transport, write_protocol, None, loop)
    return reader, writer


async def open_tcp(address):
    host, port = address.rsplit(":", 1)
    return await asyncio.open_connection(host, int(port))


async def stream(reader, writer, lines):
    """Sends `lines` under character counting and waits for every answer."""
    in_flight = collections.deque()  # lengths of the lines sent and not yet answered
    buffered = 0
    next_line = 0
    answered = 0
    errors = 0
    while answered < len(lines):
        while next_line < len(lines) and buffered + len(lines[next_line]) <= RX_BUFFER_SIZE:
            line = lines[next_line]
            writer.write(line)
            in_flight.append(len(line))
            buffered += len(line)
            next_line += 1
        await writer.drain()
        reply = (await reader.readline()).strip()
        if not reply:
            raise ConnectionError("the controller closed the connection")
        if reply == b"ok" or reply.startswith(b"error:"):
            buffered -= in_flight.popleft()
            answered += 1
            if reply != b"ok":
                errors += 1
    return errors


async def run(target, lines):
    """Opens `target` ("pty:PATH" or "tcp:HOST:PORT"), streams `lines` and measures it."""
    kind, _, where = target.partition(":")
    reader, writer = await (open_pty(where) if kind == "pty" else open_tcp(where))
    try:
        cpu_start = time.process_time()
        start = time.perf_counter()
        errors = await stream(reader, writer, lines)
        seconds = time.perf_counter() - start
        cpu_seconds = time.process_time() - cpu_start
    finally:
        writer.close()
    return StreamResult(len(lines), sum(map(len, lines)), seconds, cpu_seconds, errors)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--pty", help="path of the serial device or pty")
    where.add_argument("--tcp", help="HOST:PORT of the controller")
    parser.add_argument("--lines", type=int, default=10_000)
    args = parser.parse_args()
    target = f"pty:{args.pty}" if args.pty else f"tcp:{args.tcp}"
    result = asyncio.run(run(target, job_lines(args.lines)))
    print(
        f"{result.lines} lines in {result.seconds:.3f} s: {result.lines_per_second:.0f} lines/s, "
        f"{result.cpu_ms_per_1000_lines:.1f} ms CPU per 1000 lines, {result.errors} errors"
    )


if __name__ == "__main__":
    main()
