"""Random access into BGZF files: the blocked gzip of bgzip and htslib.

A BGZF file is a series of independent gzip members of at most 64 KiB, each
naming its own size in its header, so its members are found from their
headers alone (``native._bgzf_members``, core/bgzf) and any one of them is
decompressed alone: raw deflate through isal, with its CRC32 and ISIZE
checked. Positions in the decompressed text are given as virtual offsets, as
htslib gives them: ``member_offset << 16 | offset_in_member``.

On these this module builds what the native readers offer for plain files:
shards and byte ranges (``shards``, ``open_range``) on block boundaries, the
block index of an ``SDFile`` (``BgzfBlocks``), the saved index beside the
file, and the BGZF writer used by ``write_sdf(..., bgzf=True)``.
"""

from __future__ import annotations

import bisect
import errno
import mmap
import os
import struct
import threading
from array import array
from collections import OrderedDict
from collections.abc import Callable
from typing import Any

from molvane import native as _native

# Input bytes per member, as bgzip writes them: the deflate output of 64 KiB
# minus a margin always fits the 16-bit member size.
MEMBER_INPUT = 0xFF00
_MEMBER_LIMIT = 0x10000
# The end-of-file marker: an empty member.
EOF_MARKER = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
_HEAD = struct.Struct("<BBBBIBBHBBHH")  # the fixed header and the BC subfield
_TRAILER = struct.Struct("<II")

# The saved index: magic, version, kind (1 BGZF), rule (1 universal), the
# file's size, mtime (ns) and CRC32 of its first and last 64 KiB, then the
# counts and arrays (little-endian).
INDEX_MAGIC = b"MVGZIDX\0"
INDEX_VERSION = 1
_INDEX_HEAD = struct.Struct("<8sIIIIQqIIQQ")
_FINGERPRINT_BYTES = 0x10000
_CACHE_MEMBERS = 32


def _isal_zlib() -> Any:
    from molvane._compression import _isal_zlib as load

    return load()


def _name(path: Any) -> str:
    return os.fsdecode(path)


def _little(values: array[int]) -> bytes:
    if struct.pack("=H", 1) != struct.pack("<H", 1):  # pragma: no cover - big-endian hosts
        values = array(values.typecode, values)
        values.byteswap()
    return values.tobytes()


def _from_little(code: str, data: bytes) -> array[int]:
    values = array(code)
    values.frombytes(data)
    if struct.pack("=H", 1) != struct.pack("<H", 1):  # pragma: no cover - big-endian hosts
        values.byteswap()
    return values


def _native_array(code: str, data: bytes) -> array[int]:
    values = array(code)
    values.frombytes(data)
    return values


def is_bgzf(path: Any) -> bool:
    """Whether the file at `path` starts with a BGZF member header."""
    with open(path, "rb") as file:
        head = file.read(64)
    return _native._bgzf_members(head)[2] in (None, "cut") and len(head) >= 18


def _fingerprint(fd: int, size: int) -> tuple[int, int]:
    zlib = _isal_zlib()
    head = os.pread(fd, min(size, _FINGERPRINT_BYTES), 0)
    tail_start = max(0, size - _FINGERPRINT_BYTES)
    tail = os.pread(fd, size - tail_start, tail_start)
    return zlib.crc32(head) & 0xFFFFFFFF, zlib.crc32(tail) & 0xFFFFFFFF


def check_unchanged(fd: int, stamp: tuple[int, int], name: object) -> None:
    """OSError (ESTALE) when the open file `fd` no longer has the size and
    modification time `stamp` it had when it was indexed."""
    status = os.fstat(fd)
    if (status.st_size, status.st_mtime_ns) != stamp:
        raise OSError(
            errno.ESTALE,
            f"{name!r} changed since it was indexed (its size or modification time "
            "differs): make a new SDFile of it",
        )


class StaleIndexError(ValueError):
    """A saved index that is not the index of the file it was given for."""


class Bgzf:
    """The members of one BGZF file, each decompressed on demand (a few kept)."""

    fd = -1

    def __init__(self, path: Any) -> None:
        self.path = path
        self.fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            status = os.fstat(self.fd)
            self.stamp = (status.st_size, status.st_mtime_ns)
            self.offsets, self.sizes = self._walk(status.st_size)
        except BaseException:
            self.close()
            raise
        starts = array("Q", [0])
        total = 0
        for size in self.sizes:
            total += size
            starts.append(total)
        self.starts = starts  # each member's first decompressed byte, then the total
        self.total = total
        self._cache: OrderedDict[int, bytes] = OrderedDict()
        self._lock = threading.Lock()

    def _walk(self, size: int) -> tuple[array[int], array[int]]:
        if size == 0:
            raise ValueError(f"{_name(self.path)!r} is empty, not a BGZF file")
        with mmap.mmap(self.fd, size, prot=mmap.PROT_READ) as mapped:
            # A member cut short or not BGZF raises, named by the path.
            offsets, sizes, _, _ = _native._bgzf_members(mapped, _name(self.path))
        return _native_array("Q", offsets), _native_array("I", sizes)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __del__(self) -> None:
        self.close()

    def check_unchanged(self) -> None:
        check_unchanged(self.fd, self.stamp, self.path)

    def member(self, k: int) -> bytes:
        """The decompressed bytes of member `k`, checked against its trailer."""
        with self._lock:
            data = self._cache.get(k)
            if data is not None:
                self._cache.move_to_end(k)
                return data
        data = self._decompress(k)
        with self._lock:
            self._cache[k] = data
            if len(self._cache) > _CACHE_MEMBERS:
                self._cache.popitem(last=False)
        return data

    def _decompress(self, k: int) -> bytes:
        start = self.offsets[k]
        length = self.offsets[k + 1] - start
        raw = os.pread(self.fd, length, start)
        if len(raw) < length:
            raise EOFError(
                f"{_name(self.path)!r}: the BGZF member at byte {start} is cut short: "
                "the file is truncated"
            )
        view = memoryview(raw)
        (extra,) = struct.unpack_from("<H", raw, 10)
        zlib = _isal_zlib()
        try:
            data = zlib.decompress(view[12 + extra : length - 8], wbits=-15)
        except Exception as error:
            raise OSError(
                errno.EIO,
                f"the BGZF member at byte {start} is corrupt ({error})",
                _name(self.path),
            ) from None
        crc, size = _TRAILER.unpack_from(raw, length - 8)
        if len(data) != size or zlib.crc32(data) & 0xFFFFFFFF != crc:
            raise OSError(
                errno.EIO,
                f"the BGZF member at byte {start} is corrupt (its CRC32 or size does not "
                "match its data)",
                _name(self.path),
            )
        return bytes(data)

    # --- positions ---------------------------------------------------------

    def member_of(self, u: int) -> int:
        """The member holding decompressed byte `u` (< total)."""
        return bisect.bisect_right(self.starts, u, 0, len(self.sizes)) - 1

    def virtual(self, u: int) -> int:
        """The virtual offset of decompressed byte `u`; the end for the total."""
        if u >= self.total:
            return self.offsets[-1] << 16
        k = self.member_of(u)
        return self.offsets[k] << 16 | (u - self.starts[k])

    def unvirtual(self, v: int) -> int:
        """The decompressed position of virtual offset `v`: one inside a member
        is taken as it is, any other as the start of the next member."""
        coffset, within = v >> 16, v & 0xFFFF
        k = bisect.bisect_left(self.offsets, coffset)
        if k >= len(self.sizes):
            return self.total
        if self.offsets[k] != coffset:
            within = 0
        return min(self.starts[k] + within, self.starts[k + 1])

    def text(self, begin: int, end: int) -> bytes:
        """Decompressed bytes [begin, end)."""
        if begin >= end:
            return b""
        k = self.member_of(begin)
        parts = []
        while begin < end:
            data = self.member(k)
            low = begin - self.starts[k]
            high = min(end - self.starts[k], len(data))
            if high > low:
                parts.append(data[low:high] if (low, high) != (0, len(data)) else data)
                begin += high - low
            k += 1
        return parts[0] if len(parts) == 1 else b"".join(parts)

    def next_block_start(self, u: int, universal: bool) -> int:
        """The first block start at or after decompressed byte `u`, by the
        rule of the path's kind (core/block_bounds), or the total."""
        if u <= 0:
            return 0
        if u >= self.total:
            return self.total
        first = last = self.member_of(u)
        ends = b"\n\r" if universal else b"\n"
        # Back to a line end before `u`, so that the line holding it is whole.
        while first > 0:
            before = self.text(self.starts[first], u)
            if any(before.rfind(bytes([c])) >= 0 for c in ends):
                break
            first -= 1
        while True:
            base = self.starts[first]
            buffer = self.text(base, self.starts[last + 1])
            found = _native._block_start_from(buffer, u - base, universal)
            if found < len(buffer) or last + 1 >= len(self.sizes):
                return int(base + found)
            last += 1

    def block_starts(self, universal: bool) -> array[int]:
        """Every block start of the decompressed text, then its size: one
        decompressing pass."""
        starts = array("Q")
        carry = b""
        carry_at = 0  # where `carry`, the last block begun, starts
        k = 0
        count = len(self.sizes)
        while k < count:
            parts = [carry]
            taken = 0
            while k < count and taken < (1 << 20):
                data = self.member(k)
                parts.append(data)
                taken += len(data)
                k += 1
            buffer = b"".join(parts)
            if not buffer:
                continue
            found = _native_array("Q", _native._block_starts(buffer, universal))
            # Every start but the buffer's end is final; the last begun block
            # goes on in the next buffer.
            for start in found[:-1]:
                if start or not starts:
                    starts.append(carry_at + start)
            last = found[-2] if len(found) > 1 else 0
            carry = buffer[last:]
            carry_at += last
        starts.append(self.total)
        return starts

    def fingerprint(self) -> tuple[int, int]:
        return _fingerprint(self.fd, self.stamp[0])


# --- the saved index -----------------------------------------------------------


def encode_index(bgzf: Bgzf, universal: bool, blocks: array[int] | None) -> bytes:
    head_crc, tail_crc = bgzf.fingerprint()
    block_starts = blocks if blocks is not None else array("Q")
    head = _INDEX_HEAD.pack(
        INDEX_MAGIC,
        INDEX_VERSION,
        1,
        int(universal),
        0,
        bgzf.stamp[0],
        bgzf.stamp[1],
        head_crc,
        tail_crc,
        len(bgzf.sizes),
        len(block_starts),
    )
    return head + _little(bgzf.offsets) + _little(bgzf.sizes) + _little(block_starts)


def is_saved_index(path: Any) -> bool:
    """Whether the file at `path` starts with this module's index magic."""
    try:
        with open(path, "rb") as file:
            return file.read(len(INDEX_MAGIC)) == INDEX_MAGIC
    except OSError:
        return False


def decode_index(
    data: bytes, name: str
) -> tuple[int, tuple[int, int], tuple[int, int], array[int], array[int], array[int]]:
    """(rule, stamp, fingerprint, member offsets, member sizes, block starts)
    of a saved index, checked to be whole."""
    if len(data) < _INDEX_HEAD.size or not data.startswith(INDEX_MAGIC):
        raise ValueError(f"{name!r} is not a saved index of a compressed file")
    magic, version, kind, rule, _, size, mtime, head_crc, tail_crc, members, blocks = (
        _INDEX_HEAD.unpack_from(data)
    )
    if version != INDEX_VERSION or kind != 1:
        raise ValueError(f"{name!r} is an index of another format version: index the file again")
    at = _INDEX_HEAD.size
    need = at + 8 * (members + 1) + 4 * members + 8 * blocks
    if len(data) != need:
        raise ValueError(f"{name!r} is a damaged index")
    offsets = _from_little("Q", data[at : at + 8 * (members + 1)])
    at += 8 * (members + 1)
    sizes = _from_little("I", data[at : at + 4 * members])
    at += 4 * members
    starts = _from_little("Q", data[at:])
    if list(offsets) != sorted(offsets) or (len(starts) and list(starts) != sorted(starts)):
        raise ValueError(f"{name!r} is a damaged index")
    return rule, (size, mtime), (head_crc, tail_crc), offsets, sizes, starts


def default_index_path(path: Any) -> Any:
    return path + (".idx" if isinstance(path, str) else b".idx")


class BgzfBlocks:
    """The block index of a BGZF file, for ``SDFile``: the decompressed start
    of every block, found by one pass or taken from a saved index, and each
    block's bytes read from the members that hold it."""

    def __init__(self, path: Any, universal: bool, index: Any = None, reuse: bool = True) -> None:
        """`index` names a saved index to use; without one, the index saved
        beside the file (FILE.idx) is used when `reuse` is true and it is for
        blocks of this kind (of the other kind it is left alone)."""
        self.path = path
        self.universal = universal
        self.bgzf = Bgzf(path)
        starts: array[int] | None = None
        beside = default_index_path(path)
        if index is None and reuse and is_saved_index(beside):
            with open(beside, "rb") as file:
                data = file.read()
            if decode_index(data, _name(beside))[0] == int(universal):
                starts = self._adopt(data, _name(beside))
        elif index is not None:
            with open(index, "rb") as file:
                starts = self._adopt(file.read(), _name(index))
        if starts is None:
            starts = self.bgzf.block_starts(universal)
        self.starts = starts
        self._offsets: array[int] | None = None

    @classmethod
    def from_state(cls, path: Any, universal: bool, state: bytes) -> BgzfBlocks:
        self = cls.__new__(cls)
        self.path = path
        self.universal = universal
        self.bgzf = Bgzf(path)
        starts = self._adopt(state, "the pickled SDFile")
        if starts is None:
            raise ValueError("the pickled SDFile holds no block index")
        self.starts = starts
        self._offsets = None
        return self

    def _adopt(self, data: bytes, name: str) -> array[int] | None:
        rule, stamp, fingerprint, offsets, sizes, starts = decode_index(data, name)
        if stamp != self.bgzf.stamp or fingerprint != self.bgzf.fingerprint():
            raise StaleIndexError(
                f"{name!r} is not the index of {_name(self.path)!r} as it is now (the file's "
                "size, modification time or content differs): index it again "
                "(molvane index)"
            )
        if offsets != self.bgzf.offsets or sizes != self.bgzf.sizes:
            raise StaleIndexError(f"{name!r} does not match the members of {_name(self.path)!r}")
        if not len(starts):
            return None  # members only: the blocks are found by a pass
        if bool(rule) != self.universal:
            kind = "str" if rule else "bytes"
            raise ValueError(
                f"{name!r} indexes the blocks of a {kind} path; open the file with a {kind} "
                "path or index it again"
            )
        if starts[0] != 0 or starts[-1] != self.bgzf.total:
            raise ValueError(f"{name!r} is a damaged index")
        return starts

    def __len__(self) -> int:
        return len(self.starts) - 1

    def read(self, i: int) -> tuple[bytes, int]:
        """The bytes of block `i` and its virtual offset."""
        self.bgzf.check_unchanged()
        begin = self.starts[i]
        return self.bgzf.text(begin, self.starts[i + 1]), self.bgzf.virtual(begin)

    @property
    def offsets(self) -> array[int]:
        if self._offsets is None:
            self._offsets = array("Q", (self.bgzf.virtual(u) for u in self.starts))
        return self._offsets

    def state(self) -> bytes:
        return encode_index(self.bgzf, self.universal, self.starts)

    def save(self, target: Any) -> None:
        write_atomically(target, self.state())


def write_atomically(target: Any, data: bytes) -> None:
    """Writes `data` to `target` through a temporary renamed over it."""
    import secrets

    target = os.fsdecode(target)
    folder = os.path.dirname(target) or "."
    temporary = os.path.join(folder, f".molvane-idx-{secrets.token_hex(8)}")
    # 0o666 less the umask, as any file the user makes (mkstemp's are 0o600).
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def _refuse_plain_gzip(path: Any) -> None:
    if not is_bgzf(path):
        raise ValueError(
            f"random access needs an uncompressed file: decompress {path!r} first (it is "
            "gzip-compressed), or make a BGZF copy, which is read at any block "
            f"(molvane cat {_name(path)} -o copy.sdf.gz --bgzf), or index it once "
            f"(molvane index {_name(path)}, with pip install 'molvane[gzindex]')"
        )


def _indexed_plain(path: Any) -> bool:
    """Whether `path` is a plain (not BGZF) gzip file with its own index beside
    it, read through molvane._gzindex."""
    from molvane import _gzindex

    return _gzindex.has_index(path) and not is_bgzf(path)


def open_blocks(path: Any, universal: bool, index: Any) -> Any:
    """The block index of a gzip file for SDFile; ValueError naming how to
    make the file readable at random unless it is BGZF or indexed."""
    if not is_bgzf(path) and (index is not None or _indexed_plain(path)):
        from molvane import _gzindex

        return _gzindex.GzBlocks(path, universal, index)
    _refuse_plain_gzip(path)
    return BgzfBlocks(path, universal, index)


def splittable(path: Any) -> bool:
    """Whether the compressed file at `path` can be cut into ranges."""
    try:
        return is_bgzf(path) or _indexed_plain(path)
    except OSError:
        return False


# --- shards and ranges -----------------------------------------------------------


def shards(path: Any, n: int, size: int, universal: bool) -> list[tuple[int, int]]:
    """(start, stop) virtual offsets cutting a BGZF file into runs of whole
    blocks: `n` runs of about equal compressed bytes, or runs of about `size`
    compressed bytes (when `n` is 0). An indexed plain gzip file is cut by
    molvane._gzindex, in decompressed offsets."""
    if _indexed_plain(path):
        from molvane import _gzindex

        return _gzindex.shards(path, n, size, universal)
    bgzf = open_bgzf(path)
    try:
        total = bgzf.offsets[-1]
        if bgzf.total == 0:
            return []
        if n == 0:
            n = -(-total // size)
        cuts = [0]
        for k in range(1, n):
            member = bisect.bisect_left(bgzf.offsets, k * total // n, 0, len(bgzf.sizes))
            if member >= len(bgzf.sizes):
                break
            start = bgzf.next_block_start(bgzf.starts[member], universal)
            if start > cuts[-1] and start < bgzf.total:
                cuts.append(start)
        cuts.append(bgzf.total)
        bounds = [bgzf.virtual(u) for u in cuts]
        return list(zip(bounds, bounds[1:]))
    finally:
        bgzf.close()


def open_bgzf(path: Any) -> Bgzf:
    _refuse_plain_gzip(path)
    return Bgzf(path)


class RangeStream:
    """The decompressed bytes of the blocks that start in a range of virtual
    offsets, for the reader's ``readinto``."""

    def __init__(self, path: Any, start: int, stop: int | None, universal: bool) -> None:
        self._bgzf = open_bgzf(path)
        bgzf = self._bgzf
        begin = bgzf.next_block_start(bgzf.unvirtual(start), universal)
        end = bgzf.total if stop is None else bgzf.next_block_start(bgzf.unvirtual(stop), universal)
        self._begin = self._at = begin
        self._end = max(begin, end)

    @property
    def position(self) -> int:
        """Compressed bytes, as the file's size counts them: the end of the
        members read so far."""
        bgzf = self._bgzf
        if self._at >= bgzf.total:
            return int(bgzf.offsets[-1])  # the end marker counts as read
        if self._at <= self._begin:
            return int(bgzf.offsets[bgzf.member_of(self._begin)]) if self._begin else 0
        return int(bgzf.offsets[bgzf.member_of(self._at - 1) + 1])

    def readinto(self, view: Any) -> int:
        target = memoryview(view).cast("B")
        bgzf = self._bgzf
        done = 0
        while self._at < self._end and done < len(target):
            k = bgzf.member_of(self._at)
            data = bgzf.member(k)
            low = self._at - bgzf.starts[k]
            high = min(len(data), self._end - bgzf.starts[k], low + len(target) - done)
            target[done : done + high - low] = data[low:high]
            done += high - low
            self._at += high - low
        return done

    def close(self) -> None:
        self._bgzf.close()


def open_range(path: Any, start: int, stop: int, universal: bool) -> Any:
    """The stream of parse_sdf(path, start=start, stop=stop) over a BGZF file
    (or an indexed plain gzip file); `stop` of 2**64 - 1 is the end."""
    if _indexed_plain(path):
        from molvane import _gzindex

        return _gzindex.RangeStream(path, start, None if stop >= (1 << 64) - 1 else stop, universal)
    return RangeStream(path, start, None if stop >= (1 << 64) - 1 else stop, universal)


# --- writing -----------------------------------------------------------------------


class BgzfWriter:
    """Writes BGZF to a binary file: members of at most MEMBER_INPUT input
    bytes, raw deflate through isal, then the end marker."""

    def __init__(self, raw: Any, level: int) -> None:
        self._raw = raw
        self._level = level
        self._pending = bytearray()
        self._zlib = _isal_zlib()

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        self._pending += view
        if len(self._pending) >= MEMBER_INPUT:
            whole = len(self._pending) - len(self._pending) % MEMBER_INPUT
            out = bytearray()
            with memoryview(self._pending) as pending:
                for at in range(0, whole, MEMBER_INPUT):
                    out += self._member(pending[at : at + MEMBER_INPUT])
            del self._pending[:whole]
            self._raw.write(out)
        return len(view)

    def _member(self, chunk: Any) -> bytes:
        zlib = self._zlib
        body: bytes = zlib.compress(chunk, self._level, wbits=-15)
        if len(body) + 26 > _MEMBER_LIMIT:
            body = zlib.compress(chunk, 0, wbits=-15)  # stored: never larger than this
        head = _HEAD.pack(31, 139, 8, 4, 0, 0, 255, 6, 66, 67, 2, len(body) + 25)
        return head + body + _TRAILER.pack(zlib.crc32(chunk) & 0xFFFFFFFF, len(chunk))

    def close(self) -> None:
        if self._pending:
            self._raw.write(self._member(bytes(self._pending)))
            self._pending.clear()
        self._raw.write(EOF_MARKER)


def open_writer(raw: Any, level: int) -> tuple[Callable[[Any], Any], Callable[[], None]]:
    writer = BgzfWriter(raw, level)
    return writer.write, writer.close


def blocks_from_state(path: Any, universal: bool, state: bytes) -> Any:
    """The BgzfBlocks of an unpickled SDFile, whose state is its saved index
    (the GzBlocks of an indexed plain gzip file)."""
    from molvane import _gzindex

    if _gzindex.is_own_state(state):
        return _gzindex.GzBlocks.from_state(path, universal, state)
    return BgzfBlocks.from_state(path, universal, state)
