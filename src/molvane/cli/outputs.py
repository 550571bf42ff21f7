"""Where blocks go: ``-o FILE`` (compressed by its suffix) or stdout."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterable
from typing import Any

from molvane import native


def destination(path: str | None) -> Any:
    """What write_sdf and sdf_writer take: the path, or stdout's binary stream."""
    if path is None or path == "-":
        sys.stdout.flush()
        return sys.stdout.buffer
    return os.fsencode(path) if not isinstance(path, bytes) else path


def write_blocks(path: str | None, blocks: Iterable[Any]) -> int:
    """Write `blocks` to `path` or stdout; the number written.

    A file is written through a temporary beside it and renamed over the
    target only when every block is in, so a failed run leaves no half file.
    """
    written = native.write_sdf(destination(path), blocks)
    if path is None or path == "-":
        sys.stdout.buffer.flush()
    return written
