"""A progress bar on stderr for long runs: bytes read, rate and time left.

Written here rather than taken from tqdm so the command line adds no
dependency. It draws only when stderr is a terminal (and not --quiet), at
most ten times a second, and reads the reader's own ``position``/``size``
(bytes of the file consumed, compressed bytes for compressed files), so it
costs one attribute read per few thousand blocks.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Iterator
from typing import Any, TextIO

# Blocks between two looks at the clock: cheap enough per block, often
# enough for a smooth bar even on slow (compressed) input.
_EVERY = 1024
_INTERVAL = 0.1
_WIDTH = 24


def _size(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} GB"  # pragma: no cover - loop always returns


def _clock(seconds: float) -> str:
    seconds = int(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


class Progress:
    """Draws one line for a run; ``track`` wraps each input's block iterator."""

    def __init__(self, enabled: bool, stream: TextIO | None = None) -> None:
        self.stream = stream or sys.stderr
        self.enabled = enabled and self.stream.isatty()
        self._drawn = False

    def track(self, blocks: Any, label: str) -> Iterator[Any]:
        """The blocks of `blocks`, drawing the bar from its position/size as they pass."""
        if not self.enabled:
            return iter(blocks)  # no layer in between when there is nothing to draw
        return self._tracked(blocks, label)

    def _tracked(self, blocks: Any, label: str) -> Iterator[Any]:
        start = last = time.monotonic()
        count = 0
        for block in blocks:
            yield block
            count += 1
            if count % _EVERY == 0:
                now = time.monotonic()
                if now - last >= _INTERVAL:
                    last = now
                    self.draw(
                        label,
                        getattr(blocks, "position", None),
                        getattr(blocks, "size", None),
                        count,
                        now - start,
                    )
        self.clear()

    def draw(
        self, label: str, position: int | None, size: int | None, count: int, elapsed: float
    ) -> None:
        parts = [label]
        if position is not None and size:
            done = min(position / size, 1.0)
            filled = int(done * _WIDTH)
            parts.append("[" + "#" * filled + "." * (_WIDTH - filled) + f"] {done:4.0%}")
        parts.append(f"{count:,} blocks")
        if position is not None and elapsed > 0:
            rate = position / elapsed
            parts.append(f"{_size(rate)}/s")
            if size and rate > 0:
                parts.append(f"{_clock((size - position) / rate)} left")
        self.stream.write("\r\033[K" + "  ".join(parts))
        self.stream.flush()
        self._drawn = True

    def clear(self) -> None:
        if self._drawn:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self._drawn = False
