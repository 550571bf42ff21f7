"""Opening inputs: SD files by path (plain or compressed) or ``-`` for stdin.

Blocks are read as bytes, so every byte of a block that a command passes on
is written back exactly as it was read; only the values a command looks at
are decoded. A regular file goes to the native reader by path (mapped, or
decompressed on a helper thread when its magic bytes say so); stdin is read
as a stream, decompressed here when it starts with a compressor's magic.
"""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Iterator
from typing import IO, Any

from molvane import native
from molvane.cli.errors import CommandError

STDIN = "-"

# First bytes of the compressed formats the reader knows.
_MAGIC = {
    b"\x1f\x8b": "gzip",
    b"BZh": "bz2",
    b"\xfd7zXZ\x00": "xz",
    b"\x28\xb5\x2f\xfd": "zstd",
}


def label(name: str) -> str:
    return "<stdin>" if name == STDIN else name


def compression_of(head: bytes) -> str | None:
    for magic, fmt in _MAGIC.items():
        if head.startswith(magic):
            return fmt
    return None


def decompressing(fmt: str, raw: IO[bytes]) -> IO[bytes]:
    """A reader of the decompressed bytes of `raw`, every member/frame included."""
    if fmt == "gzip":
        from isal import igzip

        reader: Any = igzip.IGzipFile(fileobj=raw, mode="rb")  # type: ignore[no-untyped-call]
        return reader  # type: ignore[no-any-return]
    if fmt == "bz2":
        import bz2

        return bz2.BZ2File(raw, "rb")
    if fmt == "xz":
        import lzma

        return lzma.LZMAFile(raw, "rb")
    try:
        import zstandard
    except ImportError as error:
        raise CommandError(
            "reading .zst data needs the zstandard package: pip install 'molvane[zstd]'"
        ) from error
    stream: IO[bytes] = zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True)
    return stream


class TailReader:
    """A binary reader that remembers the last bytes it handed out, so a
    command can tell whether a stream ended with a ``$$$$`` line."""

    def __init__(self, raw: IO[bytes]) -> None:
        self._raw = raw
        self.tail = b""
        self.position = 0

    def read(self, size: int = -1) -> bytes:
        data = self._raw.read(size)
        if data:
            self.tail = (self.tail + data[-64:])[-64:]
            self.position += len(data)
        return data

    def readinto(self, view: Any) -> int:
        data = self.read(len(view))
        view[: len(data)] = data
        return len(data)

    def close(self) -> None:
        self._raw.close()


def check_path(name: str) -> os.stat_result:
    """The stat of an input path, or a CommandError naming what is wrong with it."""
    try:
        info = os.stat(name)
    except OSError as error:
        raise CommandError(f"{name}: {error.strerror}") from None
    if stat.S_ISDIR(info.st_mode):
        raise CommandError(f"{name}: is a directory, not an SD file")
    return info


def is_plain_file(name: str) -> bool:
    """Whether `name` is an uncompressed regular file (one the block index can map)."""
    if name == STDIN:
        return False
    info = check_path(name)
    if not stat.S_ISREG(info.st_mode):
        return False
    with open(name, "rb") as handle:
        head = handle.read(6)
    # A file that reports no size yet holds data (/proc/cpuinfo) has no
    # offsets to index: it is read through like a stream.
    return compression_of(head) is None and not (info.st_size == 0 and head)


def _stdin_stream() -> IO[bytes]:
    if sys.stdin is None:
        raise CommandError("no stdin to read SD data from; name a FILE")
    if sys.stdin.isatty():
        # Most likely a forgotten file name, not SD text about to be typed.
        raise CommandError(
            "no input file given and stdin is a terminal; name a FILE or pipe SD data in"
        )
    raw = sys.stdin.buffer
    head = raw.peek(6)[:6] if hasattr(raw, "peek") else b""
    fmt = compression_of(head)
    return decompressing(fmt, raw) if fmt else raw


class Source:
    """One input: its name for messages and its blocks (bytes)."""

    def __init__(self, name: str, *, tail: bool = False) -> None:
        self.name = name
        self.label = label(name)
        self._tail: TailReader | None = None
        if name == STDIN:
            stream: IO[bytes] = _stdin_stream()
            if tail:
                self._tail = TailReader(stream)
                self.blocks: Any = native.parse_sdf(self._tail)  # type: ignore[call-overload]
            else:
                self.blocks = native.parse_sdf(stream)
            return
        info = check_path(name)
        if tail and stat.S_ISREG(info.st_mode):
            with open(name, "rb") as handle:
                fmt = compression_of(handle.read(6))
            if fmt is not None:
                # A compressed file ends where its decompressor says; watch
                # the decompressed stream to see the last line.
                self._tail = TailReader(decompressing(fmt, open(name, "rb")))
                self.blocks = native.parse_sdf(self._tail)  # type: ignore[call-overload]
                return
            self._plain_size = info.st_size
        self.blocks = native.parse_sdf(os.fsencode(name))

    def ending(self) -> str | None:
        """After reading, how the input ends: "terminated" (a ``$$$$`` line
        last), "blank" (blank lines after the last ``$$$$``), "open" (no
        ``$$$$`` after the last text) or None when that cannot be seen."""
        if self._tail is not None:
            data = self._tail.tail
        elif self.name != STDIN and hasattr(self, "_plain_size"):
            with open(self.name, "rb") as handle:
                handle.seek(max(0, self._plain_size - 64))
                data = handle.read(64)
        else:
            return None
        stripped = data.rstrip(b" \t\r\n")
        if not stripped.rsplit(b"\n", 1)[-1].startswith(b"$$$$"):
            return "open" if stripped else None
        after = data[len(stripped) :]
        line_end = 2 if after.startswith(b"\r\n") else 1 if after.startswith(b"\n") else 0
        return "blank" if after[line_end:] else "terminated"

    def __iter__(self) -> Iterator[Any]:
        return iter(self.blocks)


def sources(names: list[str], *, tail: bool = False) -> Iterator[Source]:
    """Each input in turn, opened when its turn comes (so a missing second
    file is reported after the first has been handled, as cat does)."""
    if names.count(STDIN) > 1:
        raise CommandError("stdin ('-') can be read only once")
    for name in names:
        yield Source(name, tail=tail)
