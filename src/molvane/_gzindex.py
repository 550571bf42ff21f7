"""Random access into plain gzip files through a saved index of access points.

A gzip file that is not BGZF is one deflate stream (or a few): no byte of it
can be decompressed without the 32 KiB of text before it. ``molvane index``
makes it seekable with one look at the whole file, saved beside it as
FILE.idx (the BGZF index's name and magic, kind 2):

- our own isal reader (``_compression``) decompresses it, which raises,
  naming the file, where the data is cut or corrupt, and the native splitter
  finds the start of every block in the decompressed text (for both rules:
  bytes paths split at LF, str paths also at a lone CR);
- rapidgzip builds its access points (a window every few megabytes) and
  exports them (its ``export_index``), which are imported to seek.

rapidgzip reports neither a cut nor a damaged file on its own, and aborts the
interpreter at exit while one of its files is open, so everything here goes
through guards: an index is used only for the file whose size, modification
time and CRC32 of its first and last 64 KiB it holds; every read checks it
got every byte it asked for; every rapidgzip file is closed by a context
manager or by a ``weakref.finalize`` hook, which also runs at exit.

Positions are plain offsets into the decompressed text: SDFile offsets,
shards and parse_sdf ranges are all counted in decompressed bytes.
"""

from __future__ import annotations

import bisect
import errno
import importlib
import io
import os
import struct
import threading
import weakref
from array import array
from typing import Any, NamedTuple

from molvane import _gzaccess
from molvane import native as _native

KIND = 2  # the kind field of the saved index (1 is BGZF)
VERSION = 1
# magic, version, kind, rule flags (bit 0: the str rule's starts differ and
# follow), reserved, the file's size, mtime (ns), CRC32 of its first and last
# 64 KiB, the decompressed size, the counts of starts of each rule, the size
# of rapidgzip's index; then the arrays (little-endian) and that index.
_HEAD = struct.Struct("<8sIIIIQqIIQQQQ")
_STEP = 1 << 22  # decompressed bytes scanned at a time while indexing
_READ = 1 << 20  # decompressed bytes read at a time by a range stream
_INSTALL = "pip install 'molvane[gzindex]'"


def _rapidgzip() -> Any:
    try:
        # Through import_module: rapidgzip ships no type information.
        return importlib.import_module("rapidgzip")
    except ImportError as error:
        raise ImportError(
            "random access into a gzip file that is not BGZF needs the rapidgzip package: "
            + _INSTALL
        ) from error


def _name(path: Any) -> str:
    return os.fsdecode(path)


class GzIndex(NamedTuple):
    """What a saved index holds."""

    stamp: tuple[int, int]  # the file's size and mtime (ns)
    fingerprint: tuple[int, int]  # CRC32 of its first and last 64 KiB
    total: int  # decompressed size
    starts: array[int]  # block starts by the bytes rule, then where the last ends
    universal: array[int] | None  # by the str rule, where they differ
    points: bytes  # rapidgzip's exported index

    def starts_for(self, universal: bool) -> array[int]:
        return self.universal if universal and self.universal is not None else self.starts

    def encode(self) -> bytes:
        other = self.universal if self.universal is not None else array("Q")
        head = _HEAD.pack(
            _gzaccess.INDEX_MAGIC,
            VERSION,
            KIND,
            int(self.universal is not None),
            0,
            self.stamp[0],
            self.stamp[1],
            self.fingerprint[0],
            self.fingerprint[1],
            self.total,
            len(self.starts),
            len(other),
            len(self.points),
        )
        return head + _gzaccess._little(self.starts) + _gzaccess._little(other) + self.points

    @classmethod
    def decode(cls, data: bytes, name: str) -> GzIndex:
        """The index in `data`, checked to be whole and in order."""
        if len(data) < _HEAD.size or not data.startswith(_gzaccess.INDEX_MAGIC):
            raise ValueError(f"{name!r} is not a saved index of a compressed file")
        fields = _HEAD.unpack_from(data)
        version, kind, flags = fields[1:4]
        if kind != KIND:
            raise ValueError(f"{name!r} is the index of a BGZF file, not of a plain gzip file")
        if version != VERSION:
            raise ValueError(
                f"{name!r} is an index of another format version: index the file again"
            )
        size, mtime, head_crc, tail_crc, total, count, other_count, points = fields[5:]
        at = _HEAD.size
        if len(data) != at + 8 * (count + other_count) + points or count < 1:
            raise ValueError(f"{name!r} is a damaged index")
        starts = _gzaccess._from_little("Q", data[at : at + 8 * count])
        at += 8 * count
        other = _gzaccess._from_little("Q", data[at : at + 8 * other_count])
        at += 8 * other_count
        universal = other if flags & 1 else None
        for run in (starts, universal):
            if run is not None and (
                not len(run) or run[0] != 0 or run[-1] > total or list(run) != sorted(run)
            ):
                raise ValueError(f"{name!r} is a damaged index")
        return cls((size, mtime), (head_crc, tail_crc), total, starts, universal, data[at:])


def index_kind(path: Any) -> int | None:
    """The kind of the saved index at `path` (1 BGZF, 2 plain gzip), or None
    for a file that is not one."""
    try:
        with open(path, "rb") as file:
            head = file.read(_HEAD.size)
    except OSError:
        return None
    if len(head) < 16 or not head.startswith(_gzaccess.INDEX_MAGIC):
        return None
    return int(struct.unpack_from("<I", head, 12)[0])


def has_index(path: Any) -> bool:
    """Whether a plain-gzip index lies beside the file at `path` (FILE.idx)."""
    return index_kind(_gzaccess.default_index_path(path)) == KIND


def is_own_state(state: bytes) -> bool:
    return state.startswith(_gzaccess.INDEX_MAGIC) and state[12:16] == struct.pack("<I", KIND)


# --- building --------------------------------------------------------------------


class _StartScan:
    """Block starts of a text given a piece at a time: each piece is split
    with the last block begun before it, whose start is final only once the
    next block begins."""

    def __init__(self, universal: bool) -> None:
        self.universal = universal
        self.starts = array("Q")
        self._carry = b""
        self._carry_at = 0
        self._end = 0  # where the blocks end: trailing whitespace is no block

    def feed(self, piece: bytes) -> None:
        buffer = self._carry + piece if self._carry else piece
        found = _gzaccess._native_array("Q", _native._block_starts(buffer, self.universal))
        for start in found[:-1]:
            if start or not self.starts:
                self.starts.append(self._carry_at + start)
        last = found[-2] if len(found) > 1 else 0
        self._end = self._carry_at + found[-1]
        self._carry = buffer[last:]
        self._carry_at += last

    def finish(self) -> array[int]:
        self.starts.append(self._end if self.starts else 0)  # blank text: no block
        return self.starts


def _scan(fd: int, path: Any) -> tuple[array[int], array[int], int]:
    """Both rules' block starts and the decompressed size, by one pass of
    our own gzip reader over the file open as `fd` (which raises, naming the
    file, at a cut or fault)."""
    from molvane._compression import open_decompressing

    stream = open_decompressing(os.dup(fd), "gzip", path)
    scans = _StartScan(False), _StartScan(True)
    total = 0
    buffer = bytearray(_STEP)
    try:
        with memoryview(buffer) as view:
            while True:
                got = stream.readinto(view)
                if not got:
                    break
                piece = bytes(view[:got])
                total += got
                for scan in scans:
                    scan.feed(piece)
    finally:
        stream.close()
    return scans[0].finish(), scans[1].finish(), total


def _access_points(fd: int, path: Any, total: int) -> bytes:
    """rapidgzip's index of the file, built by reading it to its end, which
    must be where our own reader found it."""
    rapidgzip = _rapidgzip()
    with rapidgzip.open(fd, parallelization=os.cpu_count() or 1) as file:
        file.seek(0, io.SEEK_END)
        if file.tell() != total:
            raise OSError(
                errno.EIO,
                f"rapidgzip reads {file.tell()} decompressed bytes where isal read {total}",
                _name(path),
            )
        out = io.BytesIO()
        file.export_index(out)
    return out.getvalue()


def build(path: Any) -> GzIndex:
    """The index of the plain gzip file at `path`: two decompressing passes,
    ours (to check the data and find the blocks) and rapidgzip's (its access
    points), both over the same unchanged file."""
    _rapidgzip()  # before a pass that would be wasted
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        status = os.fstat(fd)
        stamp = (status.st_size, status.st_mtime_ns)
        starts, universal, total = _scan(fd, path)
        points = _access_points(fd, path, total)
        status = os.fstat(fd)
        if (status.st_size, status.st_mtime_ns) != stamp:
            raise OSError(errno.ESTALE, "the file changed while it was indexed", _name(path))
        fingerprint = _gzaccess._fingerprint(fd, stamp[0])
    finally:
        os.close(fd)
    other = None if universal == starts else universal
    return GzIndex(stamp, fingerprint, total, starts, other, points)


def index_file(path: Any) -> Any:
    """Build the index of a plain gzip file and save it beside it; returns
    where it went."""
    saved = _gzaccess.default_index_path(path)
    _gzaccess.write_atomically(saved, build(path).encode())
    return saved


# --- reading -----------------------------------------------------------------------


def _close(file: Any, fd: int) -> None:
    try:
        file.close()
    finally:
        os.close(fd)


class _Access:
    """One rapidgzip file over a plain gzip file, seeking by a checked index;
    closed by close() or, whatever happens, when collected or at exit."""

    def __init__(self, path: Any, index: GzIndex, name: str) -> None:
        self.path = path
        self.total = index.total
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            status = os.fstat(fd)
            self.stamp = (status.st_size, status.st_mtime_ns)
            if self.stamp != index.stamp or _gzaccess._fingerprint(fd, status.st_size) != (
                index.fingerprint
            ):
                raise _gzaccess.StaleIndexError(
                    f"{name!r} is not the index of {_name(path)!r} as it is now (the file's "
                    "size, modification time or content differs): index it again "
                    "(molvane index)"
                )
            file = _rapidgzip().open(fd, parallelization=1)
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd
        self._file = file
        self._closer = weakref.finalize(self, _close, file, fd)
        try:
            file.import_index(io.BytesIO(index.points))
        except BaseException:
            self.close()
            raise
        self._lock = threading.Lock()

    def close(self) -> None:
        self._closer()

    def read(self, begin: int, end: int) -> bytes:
        """Decompressed bytes [begin, end), all of them or an error."""
        with self._lock:
            if not self._closer.alive:
                raise ValueError(f"{_name(self.path)!r} was closed")
            _gzaccess.check_unchanged(self._fd, self.stamp, _name(self.path))
            self._file.seek(begin)
            data = bytes(self._file.read(end - begin))
        if len(data) != end - begin:
            raise EOFError(
                f"{_name(self.path)!r}: the gzip data ends at byte {begin + len(data)} of the "
                f"text, before byte {end} that its index holds: the file is cut or damaged"
            )
        return data


def _load(index: Any) -> tuple[GzIndex, str]:
    name = _name(index)
    with open(index, "rb") as file:
        return GzIndex.decode(file.read(), name), name


def load_beside(path: Any) -> tuple[GzIndex, str]:
    return _load(_gzaccess.default_index_path(path))


class GzBlocks:
    """The block index of an indexed plain gzip file, for ``SDFile``, with
    the members BgzfBlocks offers it: len, read(i), offsets, state, save."""

    def __init__(self, path: Any, universal: bool, index: Any = None) -> None:
        saved, name = load_beside(path) if index is None else _load(index)
        self._setup(path, universal, saved, name)

    def _setup(self, path: Any, universal: bool, saved: GzIndex, name: str) -> None:
        self.path = path
        self.universal = universal
        self.index = saved
        self.starts = saved.starts_for(universal)
        self.access = _Access(path, saved, name)

    @classmethod
    def from_state(cls, path: Any, universal: bool, state: bytes) -> GzBlocks:
        self = cls.__new__(cls)
        name = "the pickled SDFile"
        self._setup(path, universal, GzIndex.decode(state, name), name)
        return self

    def __len__(self) -> int:
        return len(self.starts) - 1

    def read(self, i: int) -> tuple[bytes, int]:
        begin = self.starts[i]
        return self.access.read(begin, self.starts[i + 1]), begin

    @property
    def offsets(self) -> array[int]:
        return self.starts

    def state(self) -> bytes:
        return self.index.encode()

    def save(self, target: Any) -> None:
        _gzaccess.write_atomically(target, self.state())


def _checked_beside(path: Any) -> GzIndex:
    """The index beside `path`, checked against the file without opening it
    through rapidgzip."""
    saved, name = load_beside(path)
    _rapidgzip()
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        status = os.fstat(fd)
        stamp = (status.st_size, status.st_mtime_ns)
        if stamp != saved.stamp or _gzaccess._fingerprint(fd, stamp[0]) != saved.fingerprint:
            raise _gzaccess.StaleIndexError(
                f"{name!r} is not the index of {_name(path)!r} as it is now (the file's "
                "size, modification time or content differs): index it again (molvane index)"
            )
    finally:
        os.close(fd)
    return saved


def shards(path: Any, n: int, size: int, universal: bool) -> list[tuple[int, int]]:
    """(start, stop) decompressed offsets cutting an indexed gzip file into
    runs of whole blocks of about equal decompressed bytes: `n` runs, or one
    per `size` bytes of the compressed file (when `n` is 0), as a BGZF file
    is cut."""
    saved = _checked_beside(path)
    starts = saved.starts_for(universal)
    total = starts[-1]  # trailing whitespace is in no shard, as in a plain file
    if total == 0:
        return []
    if n == 0:
        n = -(-saved.stamp[0] // size)
    cuts = [0]
    for k in range(1, n):
        start = starts[bisect.bisect_left(starts, k * total // n)]
        if cuts[-1] < start < total:
            cuts.append(start)
    cuts.append(total)
    return list(zip(cuts, cuts[1:]))


class RangeStream:
    """The decompressed bytes of the blocks that start in a range of
    decompressed offsets, for the reader's ``readinto``."""

    def __init__(self, path: Any, start: int, stop: int | None, universal: bool) -> None:
        saved, name = load_beside(path)
        starts = saved.starts_for(universal)

        def first_at(u: int) -> int:
            return int(starts[min(bisect.bisect_left(starts, u), len(starts) - 1)])

        self._begin = self._at = first_at(start)
        self._end = max(self._begin, saved.total if stop is None else first_at(stop))
        self._size = saved.stamp[0]
        self._total = saved.total
        self._access = _Access(path, saved, name)

    @property
    def position(self) -> int:
        """Progress in the compressed file's bytes, as its size counts them:
        the share of the text read so far, the whole file at its end."""
        if self._at >= self._total:
            return self._size
        return self._size * self._at // self._total if self._total else 0

    def readinto(self, view: Any) -> int:
        target = memoryview(view).cast("B")
        count = min(len(target), self._end - self._at, _READ)
        if count <= 0:
            return 0
        data = self._access.read(self._at, self._at + count)
        target[:count] = data
        self._at += count
        return count

    def close(self) -> None:
        self._access.close()
