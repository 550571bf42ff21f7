"""Compressed SD files: the decompressing streams behind ``parse_sdf(path)``
and the compressing ones behind ``write_sdf(path)`` and ``sdf_writer(path)``.

Reading: the native reader recognises compressed input by its magic bytes,
whatever it comes from (a regular file, a pipe, a file object, stdin), and
hands it to :func:`open_decompressing`: a descriptor, or a binary file
object, with the bytes already read from it. The stream
decompresses on a thread of its own, two megabytes ahead, while the reader splits
what came before; gzip (isal), bz2, lzma and zstandard all release the GIL
while they decompress, so the two overlap. The reader pulls the decompressed
bytes with ``readinto`` straight into its splitting buffer.

Writing: a path ending in ``.gz``, ``.bz2``, ``.xz`` or ``.zst`` is written
through :func:`open_compressing`, into a temporary file beside the target that
is renamed over it when the write completes, as for plain paths.
"""

from __future__ import annotations

import errno
import io
import os
from collections.abc import Callable, Iterator
from typing import Any

from molvane._read_ahead import ReadAhead

# Bytes asked for per step of the helper thread: half a megabyte measured
# faster than larger steps, whose output no longer stays in cache.
_STEP = 1 << 19
# Steps the helper thread may run ahead of the reader.
_AHEAD = 4
# Compressed bytes the zstd reader asks for at a time: zstd's own input size.
_ZSTD_READ = 1 << 17

# Default levels: fast ones that still compress SD text well (gzip 1..9 as in
# zlib, where isal's level 2 is its default trade-off; zstd's 3 is its own).
DEFAULT_LEVELS = {"gzip": 6, "bz2": 9, "xz": 6, "zstd": 3}
LEVEL_RANGES = {"gzip": (0, 9), "bz2": (1, 9), "xz": (0, 9), "zstd": (1, 22)}


def _zstandard() -> Any:
    try:
        import zstandard
    except ImportError as error:
        raise ImportError(
            "reading or writing .zst files needs the zstandard package: pip install 'molvane[zstd]'"
        ) from error
    return zstandard


def _isal_zlib() -> Any:
    try:
        from isal import isal_zlib
    except ImportError as error:
        raise ImportError(
            "reading or writing gzip files needs the isal package: pip install isal"
        ) from error
    return isal_zlib


def _isal_igzip() -> Any:
    try:
        from isal import igzip
    except ImportError as error:
        raise ImportError(
            "reading or writing gzip files needs the isal package: pip install isal"
        ) from error
    return igzip


def _fault(error: BaseException, fmt: str, path: object) -> BaseException:
    """The error a reader raises for a fault of the compressed data: EOFError
    for a file that ends early, OSError for data that is not valid."""
    name = os.fsdecode(path) if isinstance(path, (str, bytes)) else str(path)
    if isinstance(error, EOFError) or "incomplete" in str(error) or "truncated" in str(error):
        return EOFError(f"{name!r}: the {fmt} data ends early: the file is truncated")
    if isinstance(error, (OSError, ValueError)) or type(error).__name__.endswith("Error"):
        return OSError(errno.EIO, f"the {fmt} data is corrupt ({error})", name)
    return error


class DecompressingStream(ReadAhead):
    """The decompressed bytes of one compressed file, read ahead on a thread.

    ``readinto`` gives them in order; ``position`` is how many bytes of the
    compressed file the decompressor has consumed, for progress. A fault of
    the data is raised by the ``readinto`` that reaches it, after every byte
    before it was handed out.
    """

    def __init__(self, raw: Any, fmt: str, path: object, head: bytes = b"") -> None:
        super().__init__(_AHEAD)
        # A regular file's descriptor is read from its start and may be read
        # again after a cut; anything else (a pipe, a file object) is read
        # once, after the `head` the reader already took from it.
        self._owned = isinstance(raw, int)
        self._raw = open(raw, "rb", buffering=0, closefd=True) if self._owned else raw
        self._seekable = self._owned and not head
        self._read = (
            _Prefixed(head, self._raw.read, self._owned).read
            if head or not self._owned
            else self._raw.read
        )
        if fmt == "zstd":
            try:
                _zstandard()
            except ImportError:
                self._close_raw()
                raise
        self._fmt = fmt
        self._path = path
        self._position = 0
        self._start("molvane-decompress")

    def _produce(self) -> None:
        try:
            self._run()
        except _ReadFailed as failed:  # the caller's file object: its error as it is
            self._put(failed.error)
        except BaseException as error:  # handed to the reader, raised there
            self._put(_fault(error, self._fmt, self._path))

    def _run(self) -> None:
        if self._fmt == "zstd":
            return self._run_zstd()
        if self._fmt in ("bz2", "xz"):
            return self._run_streams()
        if not self._seekable:
            return self._run_gzip_once()
        return self._run_gzip()

    def _run_gzip_once(self) -> None:
        # Input that cannot be read twice goes through the one-member
        # decompressor, which keeps every byte before a cut.
        for out, consumed in _gzip_members(self._read, _STEP):
            self._position += consumed
            if self._closing.is_set() or (out and not self._put(out)):
                return
        self._put(b"")

    def _run_gzip(self) -> None:
        # isal's reader does a whole step in C, with the GIL released, and
        # reads every member of a concatenated file (bgzip, cat a.gz b.gz).
        reader = _isal_igzip().IGzipFile(fileobj=self._raw, mode="rb")
        delivered = 0
        try:
            read1, tell = reader.read1, self._raw.tell
            while not self._closing.is_set():
                try:
                    data = read1(_STEP)
                except EOFError:
                    # The reader drops what the failing step had decompressed:
                    # decompress up to the cut again to hand that out first.
                    self._deliver_before_cut(delivered)
                    raise
                self._position = tell()
                delivered += len(data)
                if not self._put(data) or not data:
                    return
        finally:
            reader.close()

    def _deliver_before_cut(self, delivered: int) -> None:
        """Hands out what a cut gzip file holds past its first `delivered`
        decompressed bytes, decompressing it from the start; a rare path, so
        a second pass costs nothing that matters."""
        self._raw.seek(0)
        skip = delivered
        try:
            for out, _ in _gzip_members(self._raw.read, _STEP // 4):
                if skip:
                    dropped = min(skip, len(out))
                    out, skip = out[dropped:], skip - dropped
                if self._closing.is_set() or (out and not self._put(out)):
                    return
        except EOFError:
            return  # the cut, which the caller raises

    def _run_streams(self) -> None:
        # bzip2 and xz through their one-stream decompressors, a large piece
        # of input per call: each call runs in C without the GIL, and the
        # output of a call is bounded by max_length. Streams may follow one
        # another (pbzip2, xz of several files); a cut stream is noticed at
        # the end of the input, after everything before it was handed out.
        if self._fmt == "bz2":
            import bz2

            new: Callable[[], Any] = bz2.BZ2Decompressor
        else:
            import lzma

            new = lambda: lzma.LZMADecompressor(format=lzma.FORMAT_XZ)  # noqa: E731
        read = self._read
        decompressor = new()
        started = False  # the current stream has taken input
        data = b""
        while not self._closing.is_set():
            if decompressor.eof:
                data = decompressor.unused_data
                decompressor = new()
                started = False
                if not data.strip(b"\0"):
                    data = b""  # zero padding after a stream
            if not data and (not started or decompressor.needs_input):
                data = read(_STEP)
                if not data:
                    if started and not decompressor.eof:
                        raise EOFError("compressed data ends before its end-of-stream marker")
                    self._put(b"")
                    return
                self._position += len(data)
            out = decompressor.decompress(data, max_length=_STEP)
            started = True
            data = b""
            if out and not self._put(out):
                return

    def _run_zstd(self) -> None:
        # zstandard's reader decompresses straight into the buffers it is
        # given, as fast as zstd itself, but it ends quietly where its input
        # is cut: the frames are followed as their bytes go by, and input
        # that ends inside a frame is a cut file. A fault loses at most the
        # output of its own step. The buffers are taken in turn: one is
        # filled again only after every other one was queued, which is after
        # the reader moved past it (at most _AHEAD wait, one is being read).
        from molvane import native

        frames = native._ZstdFrames()
        source = _FollowedSource(self, frames)
        reader = (
            _zstandard()
            .ZstdDecompressor()
            .stream_reader(source, read_size=_ZSTD_READ, read_across_frames=True, closefd=False)
        )
        buffers = [bytearray(_STEP) for _ in range(_AHEAD + 2)]
        turn = 0
        while not self._closing.is_set():
            buffer = buffers[turn]
            turn = (turn + 1) % len(buffers)
            count = reader.readinto(buffer)
            if not count:
                if not frames.complete:
                    raise EOFError("compressed data ends before its end-of-frame marker")
                self._put(b"")
                return
            if not self._put(memoryview(buffer)[:count]):
                return

    @property
    def position(self) -> int:
        return self._position

    def close(self) -> None:
        self._stop()
        self._close_raw()

    def _close_raw(self) -> None:
        # A caller's file object stays open, as parse_sdf leaves it.
        if self._owned:
            self._raw.close()


def _gzip_members(read: Callable[[int], bytes], size: int) -> Iterator[tuple[bytes, int]]:
    """The decompressed pieces of the gzip members that `read` (called with
    `size`) gives one after another, zero padding between them allowed as
    gzip allows it; each with the count of input bytes read for it. EOFError
    where the input ends inside a member."""
    isal_zlib = _isal_zlib()
    decompressor = isal_zlib.decompressobj(31)  # 31: a gzip header and trailer
    started = False
    data = b""
    while True:
        if decompressor.eof:
            data = decompressor.unused_data.lstrip(b"\0")
            decompressor = isal_zlib.decompressobj(31)
            started = False
        consumed = 0
        if not data:
            data = read(size)
            if not data:
                if started and not decompressor.eof:
                    raise EOFError("compressed data ends before its end-of-stream marker")
                return
            consumed = len(data)
        started = True
        out = decompressor.decompress(data, _STEP)
        data = b"" if decompressor.eof else decompressor.unconsumed_tail
        yield out, consumed


class _ReadFailed(Exception):
    """An error of a caller's file object, to be raised as it is."""

    def __init__(self, error: BaseException) -> None:
        super().__init__()
        self.error = error


class _FollowedSource:
    """The compressed input of a zstd stream, as its reader reads it: every
    byte also goes to the frame walk, and counts for the stream's position."""

    def __init__(self, stream: DecompressingStream, frames: Any) -> None:
        self._stream = stream
        self._read = stream._read
        self._feed = frames.feed

    def read(self, size: int) -> bytes:
        data = self._read(size)
        self._feed(data)
        self._stream._position += len(data)
        return data


class _Prefixed:
    """`read` of a stream whose first bytes were already taken: those first."""

    def __init__(self, head: bytes, read: Callable[[int], Any], owned: bool) -> None:
        self._head = head
        self._raw_read = read
        self._owned = owned

    def read(self, size: int) -> bytes:
        if self._head:
            head, self._head = self._head, b""
            return head
        if self._owned:
            return bytes(self._raw_read(size))
        try:
            data = self._raw_read(size)
        except BaseException as error:
            raise _ReadFailed(error) from error
        if data is None:
            raise _ReadFailed(
                BlockingIOError(
                    "file object read returned None: it is non-blocking and has no data ready; "
                    "read it in blocking mode"
                )
            )
        if not isinstance(data, bytes):
            if not isinstance(data, (bytearray, memoryview)):
                raise _ReadFailed(TypeError("file objects must read str or bytes"))
            data = bytes(data)
        return data


def open_decompressing(
    raw: int | Any, fmt: str, path: object, head: bytes = b""
) -> DecompressingStream:
    """The decompressed bytes of compressed input: the file open as the
    descriptor ``raw``, which the stream owns from this call on, or a binary
    file object, read but not closed. ``head`` holds the bytes the caller
    already read from it, which come first."""
    try:
        return DecompressingStream(raw, fmt, path, head)
    except BaseException:
        if isinstance(raw, int):
            try:
                os.close(raw)
            except OSError:
                pass
        raise


def check_level(fmt: str, level: int | None) -> int:
    if level is None:
        return DEFAULT_LEVELS[fmt]
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError(f"compresslevel must be an int, not {type(level).__name__}")
    low, high = LEVEL_RANGES[fmt]
    if not low <= level <= high:
        raise ValueError(f"compresslevel for {fmt} must be from {low} to {high}, not {level}")
    return level


def _isal_level(level: int) -> int:
    # isal has levels 0..3; zlib's 0..9 map onto them (1 fast, 2 its
    # default trade-off, 3 best), so that a gzip level means what it says.
    return 0 if level == 0 else 1 if level <= 3 else 2 if level <= 7 else 3


class _DescriptorWriter(io.RawIOBase):
    """A raw file over a descriptor it does not own, whose ``write`` writes
    every byte or raises: the compressors ignore the count that ``write``
    returns, so a short write (a disk filling up) must not pass unnoticed."""

    def __init__(self, fd: int, name: Any = None) -> None:
        super().__init__()
        self._fd = fd
        self._name = name  # what a failed write names: the target, not the temporary

    def writable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self._fd

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        total = len(view)
        done = 0
        while done < total:
            # os.write retries after a signal whose handler returned.
            try:
                count = os.write(self._fd, view[done:])
            except OSError as error:
                raise OSError(error.errno, error.strerror, self._name) from None
            if count == 0:
                raise OSError(errno.EIO, "failed to write whole buffer", self._name)
            done += count
        return total


def open_compressing_fd(
    fd: int, fmt: str, level: int | None, name: Any = None
) -> tuple[Callable[[Any], Any], Callable[[], None]]:
    """(write, finish) for compressed output into the open descriptor ``fd``,
    which stays the caller's: ``finish`` ends the compressed stream and
    writes it out, without closing ``fd``. Every write reaches the
    descriptor whole or raises an OSError naming `name`, and so does
    ``finish``."""
    if fmt == "bgzf":
        from molvane import _gzaccess

        return _gzaccess.open_writer(
            _DescriptorWriter(fd, name), _isal_level(check_level("gzip", level))
        )
    level = check_level(fmt, level)
    raw: Any = _DescriptorWriter(fd, name)  # a binary file to the compressors
    if fmt == "gzip":
        igzip = _isal_igzip()
        stream: Any = igzip.IGzipFile(fileobj=raw, mode="wb", compresslevel=_isal_level(level))
    elif fmt == "bz2":
        import bz2

        stream = bz2.BZ2File(raw, "wb", compresslevel=level)
    elif fmt == "xz":
        import lzma

        stream = lzma.LZMAFile(raw, "wb", format=lzma.FORMAT_XZ, preset=level)
    elif fmt == "zstd":
        zstandard = _zstandard()
        # A checksum per frame, as the zstd command line writes, so that
        # damage is found on reading.
        stream = zstandard.ZstdCompressor(level=level, write_checksum=True).stream_writer(
            raw, closefd=False
        )
    else:
        raise ValueError(f"unknown compression {fmt!r}")

    def finish() -> None:
        if fmt == "zstd":
            # Ending the frame here leaves close() nothing to flush: the
            # count its own flush returns is leaked by zstandard's close.
            stream.flush(_zstandard().FLUSH_FRAME)
        stream.close()
        raw.close()

    return stream.write, finish
