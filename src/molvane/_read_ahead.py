"""Bytes made on a thread of their own and handed out in order: the
read-ahead under the decompressing streams and the remote range streams."""

from __future__ import annotations

import queue
import threading
from typing import Any


class ReadAhead:
    """Chunks of bytes put by a producer thread (``_produce``, written by a
    subclass), at most `ahead` of them waiting, handed out in order by
    ``readinto``. The chunk ``b""`` ends them; an exception put in place of a
    chunk is raised by the read that reaches it, after every byte before it
    was handed out."""

    def __init__(self, ahead: int) -> None:
        self._queue: queue.Queue[bytes | memoryview | BaseException] = queue.Queue(ahead)
        self._closing = threading.Event()
        self._chunk = memoryview(b"")
        self._done = False
        self._thread: threading.Thread | None = None

    def _start(self, name: str) -> None:
        self._thread = threading.Thread(target=self._produce, name=name, daemon=True)
        self._thread.start()

    def _produce(self) -> None:
        raise NotImplementedError

    def _put(self, item: bytes | memoryview | BaseException) -> bool:
        """Queues `item` once there is room; False when the stream closes first."""
        while not self._closing.is_set():
            try:
                self._queue.put(item, timeout=0.1)
                return True
            except queue.Full:
                pass
        return False

    def _fill(self) -> bool:
        """Whether bytes are at hand, waiting for the next chunk if need be."""
        while not self._chunk:
            if self._done:
                return False
            item = self._queue.get()
            if isinstance(item, BaseException):
                self._done = True
                raise item
            if not item:
                self._done = True
                return False
            self._chunk = memoryview(item)
        return True

    def readinto(self, view: Any) -> int:
        if not self._fill():
            return 0
        count = min(len(view), len(self._chunk))
        view[:count] = self._chunk[:count]
        self._chunk = self._chunk[count:]
        return count

    def _stop(self) -> None:
        """Ends the producer and waits for it to leave the stream."""
        self._closing.set()
        # Unblock a producer waiting to put.
        while self._thread is not None and self._thread.is_alive():
            try:
                self._queue.get_nowait()
            except queue.Empty:
                self._thread.join(0.05)
        self._chunk = memoryview(b"")
        self._done = True
