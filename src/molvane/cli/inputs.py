"""Opening inputs: SD files by path (plain or compressed) or ``-`` for stdin.

Blocks are read as bytes, so every byte of a block that a command passes on
is written back exactly as it was read; only the values a command looks at
are decoded. Every input goes to the native reader, which tells compressed
input by its magic bytes and decompresses it on a helper thread: a path by
its name, stdin as a file object (faults named ``<stdin>``). A URL
(``s3://bucket/x.sdf.gz``, ``https://...``) is read by the same reader
through fsspec, configured by its environment (AWS_* variables, FSSPEC_*
variables, ~/.config/fsspec).
"""

from __future__ import annotations

import contextlib
import os
import stat
import sys
from collections.abc import Iterator
from typing import IO, Any

from molvane import native
from molvane.cli.errors import CommandError

STDIN = "-"


def label(name: str) -> str:
    return "<stdin>" if name == STDIN else name


def compression_of(head: bytes) -> str | None:
    """The compression whose magic `head` starts with, as the reader sees it."""
    return native._compression_of(head)


def decompressing(fmt: str, raw: IO[bytes], name: str, head: bytes = b"") -> Any:
    """The decompressed bytes of `raw` (after `head`, already read from it)
    through the reader's own decompressor, faults named `name`."""
    from molvane import _compression

    try:
        return _compression.open_decompressing(raw, fmt, name, head)
    except ImportError as error:
        raise CommandError(str(error)) from error


STDIN_LABEL = "<stdin>"


class _Prefixed:
    """readinto of a stream whose first bytes were already read: those first."""

    def __init__(self, head: bytes, raw: IO[bytes]) -> None:
        self._head = head
        self._raw = raw

    def readinto(self, view: Any) -> int:
        if self._head:
            count = min(len(view), len(self._head))
            view[:count] = self._head[:count]
            self._head = self._head[count:]
            return count
        return self._raw.readinto(view)  # type: ignore[attr-defined,no-any-return]

    def close(self) -> None:
        self._raw.close()


class TailReader:
    """A binary reader that remembers the last bytes it handed out, so a
    command can tell whether a stream ended with a ``$$$$`` line."""

    def __init__(self, raw: Any) -> None:
        self._raw = raw
        self.tail = b""
        self.position = 0

    def read(self, size: int = -1) -> bytes:
        buffer = bytearray(size if size >= 0 else 1 << 17)
        count = self.readinto(memoryview(buffer))
        return bytes(buffer[:count])

    def readinto(self, view: Any) -> int:
        count: int = self._raw.readinto(view)
        if count:
            self.tail = (self.tail + bytes(view[max(0, count - 64) : count]))[-64:]
            self.position += count
        return count

    def close(self) -> None:
        self._raw.close()


def refuse_archive(head: bytes, shown: str) -> None:
    """A CommandError when `head` starts an archive, which no command reads."""
    kind = native._archive_of(head)
    if kind is not None:
        raise CommandError(
            f"{shown}: is a {kind}, not an SD file: extract it first (molvane reads SD files "
            "compressed with gzip, bzip2, xz or zstd)"
        )


def is_url(name: str) -> bool:
    """Whether the reader takes `name` for a URL, read through fsspec."""
    return native._is_url(name)


def check_path(name: str, shown: str | None = None) -> os.stat_result | None:
    """The stat of an input path, or a CommandError naming what is wrong with
    it; None for a URL, whose faults the reader reports."""
    if is_url(name):
        return None
    shown = name if shown is None else shown
    try:
        info = os.stat(name)
    except OSError as error:
        raise CommandError(f"{shown}: {error.strerror}") from None
    if stat.S_ISDIR(info.st_mode):
        raise CommandError(f"{shown}: is a directory, not an SD file")
    if stat.S_ISREG(info.st_mode) and native._source_kind(name) == "archive":
        with open(name, "rb") as handle:
            refuse_archive(handle.read(16), shown)
    return info


def is_plain_file(name: str) -> bool:
    """Whether `name` is an uncompressed regular file (one the block index can map)."""
    if name == STDIN or is_url(name):
        return False
    info = check_path(name)
    assert info is not None
    if native._source_kind(name) != "plain":
        return False
    # A file that reports no size yet holds data (/proc/cpuinfo) has no
    # offsets to index: it is read through like a stream.
    if info.st_size == 0:
        with open(name, "rb") as handle:
            return not handle.read(1)
    return True


def _stdin_stream() -> IO[bytes]:
    if sys.stdin is None:
        raise CommandError("no stdin to read SD data from; name a FILE")
    if sys.stdin.isatty():
        # Most likely a forgotten file name, not SD text about to be typed.
        raise CommandError(
            "no input file given and stdin is a terminal; name a FILE or pipe SD data in"
        )
    stream = sys.stdin.buffer
    peek = getattr(stream, "peek", None)
    if peek is not None:
        # Looked at without being taken from the stream.
        refuse_archive(peek(16)[:16], STDIN_LABEL)
    return stream


# The input opened last, whose trailing whitespace an output copies.
_latest: Source | None = None


def trailing_after(block: Any) -> bytes | None:
    """The whitespace after the last ``$$$$`` line of the input opened last,
    once it is read, when `block` is that input's last block (or None when
    the input holds no block): what a copy writes after its last block, so
    that an output that ends as the input ends is its bytes exactly."""
    if _latest is None:
        return None
    trailing: bytes | None = _latest.blocks._trailing_after(block)
    return trailing


class Source:
    """One input: its name for messages and its blocks (bytes).

    Whitespace after the last ``$$$$`` line is no block: the reader keeps it
    aside (see :func:`trailing_after`)."""

    def __init__(self, name: str, *, tail: bool = False, shown: str | None = None) -> None:
        global _latest
        _latest = self
        self.name = name
        self.label = label(shown if shown is not None else name)
        self._tail: TailReader | None = None
        if name == STDIN:
            stream: IO[bytes] = _stdin_stream()
            if tail:
                # The decompressed stream is watched to see the last line.
                head = stream.read(16)
                fmt = compression_of(head)
                raw: Any = decompressing(fmt, stream, STDIN_LABEL, head) if fmt else None
                self._tail = TailReader(raw if raw is not None else _Prefixed(head, stream))
                self.blocks: Any = native.parse_sdf(self._tail)  # type: ignore[call-overload]
            else:
                # The reader decompresses stdin itself when it is compressed.
                self.blocks = native.parse_sdf(stream)
            self.blocks._keep_trailing()
            return
        info = check_path(name, self.label)
        if info is None:
            # A URL: the reader streams it through fsspec, decompressing it
            # when it is compressed.
            self.blocks = native.parse_sdf(os.fsencode(name))
            return
        if tail and stat.S_ISREG(info.st_mode):
            fmt = None
            if native._source_kind(name) == "compressed":
                with open(name, "rb") as handle:
                    fmt = compression_of(handle.read(16))
            if fmt is not None:
                # A compressed file ends where its decompressor says; watch
                # the decompressed stream to see the last line.
                fd = os.open(name, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
                self._tail = TailReader(decompressing(fmt, fd, name))  # type: ignore[arg-type]
                self.blocks = native.parse_sdf(self._tail)  # type: ignore[call-overload]
                self.blocks._keep_trailing()
                return
            self._plain_size = info.st_size
        self.blocks = native.parse_sdf(os.fsencode(name))
        self.blocks._keep_trailing()

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
        ending: str | None = native._input_ending(data)
        return ending

    def __iter__(self) -> Iterator[Any]:
        return iter(self.blocks)


def sources(names: list[str], *, tail: bool = False) -> Iterator[Source]:
    """Each input in turn, opened when its turn comes (so a missing second
    file is reported after the first has been handled, as cat does)."""
    if names.count(STDIN) > 1:
        raise CommandError("stdin ('-') can be read only once")
    for name in names:
        yield Source(name, tail=tail)


def _copy_into(read: Any, fd: int) -> None:
    while True:
        chunk = read(1 << 20)
        if not chunk:
            return
        view = memoryview(chunk)
        while view:
            view = view[os.write(fd, view) :]


@contextlib.contextmanager
def rereadable(name: str) -> Iterator[str]:
    """A path to `name` that can be read more than once: the path itself for
    a regular file; for stdin, a pipe, a FIFO or a device, a temporary file
    holding its bytes as read (still compressed if they are), removed when
    the block ends. Commands that count the blocks before they write read
    such inputs once this way instead of finding them empty the second time."""
    if name != STDIN:
        info = check_path(name)
        if info is None or (stat.S_ISREG(info.st_mode) and native._source_kind(name) != "stream"):
            yield name
            return
    import tempfile

    fd, temporary = tempfile.mkstemp(prefix="molvane-input-", suffix=".sdf")
    try:
        try:
            if name == STDIN:
                _copy_into(_stdin_stream().read, fd)
            else:
                with open(name, "rb", buffering=0) as raw:
                    _copy_into(raw.read, fd)
        except OSError as error:
            raise CommandError(
                f"{label(name)}: cannot hold a copy of the input in "
                f"{os.path.dirname(temporary)} (set TMPDIR to another folder): "
                f"{error.strerror or error}"
            ) from None
        finally:
            os.close(fd)
        with open(temporary, "rb") as copy:
            refuse_archive(copy.read(16), label(name))
        yield temporary
    finally:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
