"""The controller's outgoing byte stream, with the hooks that damage it on purpose."""

from __future__ import annotations

from collections import deque
from typing import Callable, Deque, Iterable, List, Optional, Union

Chunker = Union[int, Callable[[bytes], Iterable[bytes]], None]

EOL = b"\r\n"
OK = b"ok" + EOL


class ReplyOutput:
    """Collects reply bytes until an attachment takes them.

    Every "ok" goes through :meth:`ok`, where the fault hooks act: dropped, replaced by
    corrupted bytes, or held back and slipped into the middle of the next status report.
    While silent, everything written is discarded.
    """

    def __init__(self) -> None:
        self._pending = bytearray()
        self.silent = False
        self.chunking: Chunker = None
        self.oks_to_drop = 0
        self.dropped_oks = 0
        self._corruptions: Deque[bytes] = deque()
        self._interleave_at: Optional[int] = None
        self._interleave_armed = False
        self._held_oks = 0

    # Writing -------------------------------------------------------------------------------

    def write(self, data: bytes) -> None:
        if not self.silent:
            self._pending += data

    def line(self, text: str) -> None:
        self.write(text.encode("ascii") + EOL)

    def ok(self) -> None:
        if self.oks_to_drop > 0:
            self.oks_to_drop -= 1
            self.dropped_oks += 1
            return
        if self._interleave_armed:
            self._interleave_armed = False
            self._held_oks += 1
            return
        if self._corruptions:
            self.write(self._corruptions.popleft())
            return
        self.write(OK)

    def status(self, report: str) -> None:
        data = report.encode("ascii") + EOL
        if self._held_oks:
            at = self._interleave_at
            if at is None:
                at = len(report) // 2
            at = max(0, min(at, len(report)))
            data = data[:at] + OK * self._held_oks + data[at:]
            self._held_oks = 0
        self.write(data)

    # Fault hooks ---------------------------------------------------------------------------

    def corrupt_next_ok(self, replacement: bytes) -> None:
        self._corruptions.append(bytes(replacement))

    def interleave_next_ok(self, split_at: Optional[int]) -> None:
        self._interleave_armed = True
        self._interleave_at = split_at

    # Reading -------------------------------------------------------------------------------

    def has_pending(self) -> bool:
        return bool(self._pending)

    def take_chunks(self) -> List[bytes]:
        """Everything written so far, cut into chunks as ``chunking`` says."""
        data = bytes(self._pending)
        self._pending.clear()
        if not data:
            return []
        chunking = self.chunking
        if chunking is None:
            return [data]
        if callable(chunking):
            chunks = [bytes(c) for c in chunking(data)]
            if b"".join(chunks) != data:
                raise ValueError("the chunking callable must return the bytes it was given")
            return [c for c in chunks if c]
        return [data[i:i + chunking] for i in range(0, len(data), chunking)]

    def discard(self) -> None:
        self._pending.clear()
