"""Remote SD files through fsspec: URLs such as ``s3://bucket/x.sdf.gz``.

A str or bytes argument that starts with a scheme and ``://`` is a URL
(core/url decides, for every reader): ``parse_sdf``, ``SDFile`` and
``shards`` hand it here. ``file://`` URLs are local paths and go back to the
native readers; every other scheme is opened by fsspec, which is imported
only here (``molvane[remote]``), with the file system package of the scheme
(s3fs, gcsfs, aiohttp for http(s)) the user's choice.

A whole file is streamed by ranged reads fetched ahead on a thread while the
reader splits what came before; a compressed one goes through the same
decompressing streams as local files (molvane/_compression.py). A plain file
is read at any offset: the block starting at or after a cut is found by
reading a small window around the cut (core/block_bounds decides), so a byte
range, a shard or one block costs only the bytes it holds. The block index
of a remote file is found by streaming it once.

Credentials and endpoints are fsspec's: ``storage_options=`` where a call
takes it, else its usual configuration (AWS_* variables for s3fs, FSSPEC_*
variables and ~/.config/fsspec for any file system).
"""

from __future__ import annotations

import array
import errno
import hashlib
import importlib
import os
import threading
from collections.abc import Iterator, Mapping
from typing import Any

from molvane import native as _native
from molvane._read_ahead import ReadAhead

__all__ = ["is_url", "parse_url", "shards", "sdfile", "RemoteSDFile", "open_remote"]

# The package each common scheme needs beside fsspec.
_PACKAGES = {
    "s3": "s3fs",
    "s3a": "s3fs",
    "gs": "gcsfs",
    "gcs": "gcsfs",
    "http": "aiohttp",
    "https": "aiohttp",
    "az": "adlfs",
    "abfs": "adlfs",
    "abfss": "adlfs",
}

# Bytes of a stream's first ranged read; each next one doubles, up to
# _MOST_CHUNK, so a small file or a head costs little and a large file few
# requests (a server may pay per request); _AHEAD reads are kept ahead.
_CHUNK = 8 << 20
_MOST_CHUNK = 64 << 20
_AHEAD = 2
# The first window read around a cut: the line before it, the block after it.
_BACK = 4 << 10
_FORWARD = 64 << 10

StorageOptions = Mapping[str, Any] | None


def is_url(source: object) -> bool:
    """Whether parse_sdf, SDFile and shards take `source` for a URL (core decides)."""
    return _native._is_url(source)


def _text(url: str | bytes) -> str:
    return url if isinstance(url, str) else os.fsdecode(url)


def _scheme(url: str) -> str:
    return url.partition("://")[0].lower()


def _local_path(url: str | bytes) -> str | bytes | None:
    """The local path of a file:// URL, of the URL's kind; None for other schemes."""
    text = _text(url)
    if _scheme(text) not in ("file", "local"):
        return None
    path = text.partition("://")[2]
    if path.startswith("localhost/"):
        path = path[len("localhost") :]
    return path if isinstance(url, str) else os.fsencode(path)


def _fsspec() -> Any:
    try:
        return importlib.import_module("fsspec")
    except ImportError as error:
        raise ImportError(
            "reading URLs needs fsspec: pip install 'molvane[remote]' (and the file "
            "system's package, such as s3fs, gcsfs or aiohttp)"
        ) from error


def _install_hint(scheme: str) -> str:
    package = _PACKAGES.get(scheme)
    extra = f" {package}" if package else ""
    return f"pip install 'molvane[remote]'{extra}"


def _stamp_of(info: Mapping[str, Any]) -> tuple[int, str]:
    """A file's size and what names its version: the ETag where the store
    gives one, else its modification time."""
    version = (
        info.get("ETag")
        or info.get("etag")
        or info.get("mtime")
        or info.get("LastModified")
        or info.get("created")
    )
    return int(info.get("size") or 0), "" if version is None else str(version)


class RemoteFile:
    """One remote file: its file system, its path there, its size and what
    identifies its version (for a collection that must not read a file that
    changed since it was cut)."""

    def __init__(self, url: str | bytes, storage_options: StorageOptions = None) -> None:
        self.url = url
        self.name = _text(url)
        self.fs, self.path = _file_system(self.name, storage_options)
        try:
            info = self.fs.info(self.path)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), self.name) from None
        if info.get("type") == "directory":
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.name)
        size = info.get("size")
        if not isinstance(size, int):
            raise ValueError(f"{self.name!r}: the server does not report the file's size")
        self.size = size
        self.stamp = _stamp_of(info)

    def read(self, start: int, stop: int) -> bytes:
        """Bytes [start, stop) of the file, by one ranged read."""
        if stop <= start:
            return b""
        data = self.fs.cat_file(self.path, start=start, end=stop)
        return bytes(data)

    def head(self) -> bytes:
        return self.read(0, min(self.size, 64))

    def check_unchanged(self, stamp: tuple[int, str]) -> None:
        """OSError when the file is no longer the version `stamp` was taken of."""
        try:
            info = self.fs.info(self.path)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), self.name) from None
        if _stamp_of(info) != stamp:
            raise OSError(
                errno.ESTALE,
                f"{self.name!r} changed since the collection was made (its size or version "
                "differs): read it again",
                self.name,
            )


def open_remote(url: str | bytes, storage_options: StorageOptions = None) -> RemoteFile:
    return RemoteFile(url, storage_options)


def _file_system(
    url: str, storage_options: StorageOptions, verb: str = "reading"
) -> tuple[Any, str]:
    """fsspec's file system for `url` and the path on it; an ImportError
    naming what to install where the scheme's package is missing (`verb`
    says what needed it), a ValueError naming the URL for an unknown scheme."""
    fsspec = _fsspec()
    scheme = _scheme(url)
    try:
        fs, path = fsspec.core.url_to_fs(url, **dict(storage_options or {}))
    except ImportError as error:
        package = _PACKAGES.get(scheme, "the file system's package")
        raise ImportError(
            f"{verb} {scheme}:// URLs needs fsspec and {package}: {_install_hint(scheme)}"
        ) from error
    except ValueError as error:
        if "Protocol not known" in str(error):
            raise ValueError(f"{url!r}: fsspec knows no file system for {scheme}:// URLs") from None
        raise
    return fs, path


def object_of(url: str | bytes, storage_options: StorageOptions) -> tuple[str, str]:
    """The file system and path a URL names, however it is spelled
    (``memory://a/b`` and ``memory:///a/b`` are one object)."""
    fs, path = _file_system(_text(url), storage_options)
    protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
    return protocol, path


class StagedUpload:
    """Files written to a store in two steps, so that a failure leaves every
    target as it was: each is uploaded whole under a hidden key beside its
    target (``.TOKEN.NAME``; an upload becomes an object only once it is
    complete), and only when every upload succeeded are they copied over
    their targets and removed."""

    def __init__(self, urls: list[str], token: str, storage_options: StorageOptions) -> None:
        self.urls = urls
        self.token = token
        self.storage_options = dict(storage_options or {})
        self.staged = [self._staged(url, token) for url in urls]
        # Exists while the call still wants the uploads: one that ends after
        # the call gave up removes what it uploaded.
        self.marker = self._staged(urls[0], token) + ".to_sdf" if urls else ""

    def begin(self) -> None:
        fs, path = self._on_store(self.marker)
        fs.pipe_file(path, b"")

    def wanted(self) -> bool:
        fs, path = self._on_store(self.marker)
        return bool(fs.exists(path))

    def _on_store(self, url: str) -> tuple[Any, str]:
        return _file_system(url, self.storage_options, "writing")

    @staticmethod
    def _staged(url: str, token: str) -> str:
        folder, _, name = url.rpartition("/")
        return f"{folder}/.{token}.{name}"

    def upload(self, local: str, k: int) -> None:
        """Uploads the local file `local` as the staged object of target `k`."""
        fs, path = self._on_store(self.staged[k])
        fs.put_file(local, path)

    def commit(self) -> None:
        """Copies every staged object over its target, then removes it."""
        for staged, url in zip(self.staged, self.urls):
            fs, source = self._on_store(staged)
            fs.copy(source, self._on_store(url)[1])
        self.discard()

    def discard(self, which: list[int] | None = None) -> None:
        """Removes the staged objects that exist (those of targets `which`,
        or all and the marker)."""
        names = [self.staged[k] for k in which] if which is not None else self.staged
        for staged in names if which is not None else [*names, self.marker]:
            fs, path = self._on_store(staged)
            try:
                fs.rm_file(path)
            except FileNotFoundError:
                pass


def glob(url: str | bytes, storage_options: StorageOptions = None) -> list[str | bytes]:
    """The URLs of the files a URL with glob characters (``*``, ``?``,
    ``[``) matches, sorted, of the URL's kind; FileNotFoundError naming the
    URL when none does. A URL that names a file as it is stays itself."""
    text = _text(url)
    fs, path = _file_system(text, storage_options)
    if fs.isfile(path):
        return [url]
    found = sorted(
        fs.unstrip_protocol(match)
        for match, info in fs.glob(path, detail=True).items()
        if info.get("type") != "directory"
    )
    if not found:
        raise FileNotFoundError(errno.ENOENT, f"no file matches {text!r}", text)
    return found if isinstance(url, str) else [os.fsencode(u) for u in found]


class _RangeStream(ReadAhead):
    """Bytes [start, stop) of a remote file, fetched ahead in ranged reads on
    a thread: ``read``, ``readinto``, ``peek`` and ``position`` (bytes of the
    file handed out, for progress)."""

    def __init__(self, remote: RemoteFile, start: int, stop: int) -> None:
        super().__init__(_AHEAD)
        self._remote = remote
        self._position = start
        self._end = stop
        self._done = start >= stop
        if not self._done:
            self._start("molvane-remote")

    def _produce(self) -> None:
        at = self._position
        chunk = _CHUNK
        try:
            while at < self._end and not self._closing.is_set():
                end = min(self._end, at + chunk)
                chunk = max(chunk, min(chunk * 2, _MOST_CHUNK))
                data = self._remote.read(at, end)
                if len(data) != end - at:
                    raise OSError(
                        errno.EIO,
                        f"the file changed while it was read ({len(data)} bytes came for a "
                        f"range of {end - at})",
                        self._remote.name,
                    )
                self._put(data)
                at = end
            self._put(b"")
        except BaseException as error:  # handed to the reader, which raises it
            self._put(error)

    @property
    def position(self) -> int:
        return self._position

    def peek(self, size: int) -> bytes:
        self._fill()
        return bytes(self._chunk[:size])

    def readinto(self, view: Any) -> int:
        count = super().readinto(view)
        self._position += count
        return count

    def read(self, size: int = -1) -> bytes:
        if not self._fill():
            return b""
        count = len(self._chunk) if size < 0 else min(size, len(self._chunk))
        data = bytes(self._chunk[:count])
        self._chunk = self._chunk[count:]
        self._position += count
        return data

    def close(self) -> None:
        self._stop()


class _Decompressed:
    """A decompressing stream over a remote stream, closing both."""

    def __init__(self, raw: _RangeStream, fmt: str, name: str) -> None:
        from molvane import _compression

        self._raw = raw
        self._stream = _compression.open_decompressing(raw, fmt, name)

    @property
    def position(self) -> int:
        return int(self._stream.position)

    def readinto(self, view: Any) -> int:
        return self._stream.readinto(view)

    def close(self) -> None:
        try:
            self._stream.close()
        finally:
            self._raw.close()


class _Bytes:
    """A stream over bytes already read (one block, a slice of blocks)."""

    def __init__(self, data: bytes, position: int = 0) -> None:
        self._view = memoryview(data)
        self.position = position

    def readinto(self, view: Any) -> int:
        count = min(len(view), len(self._view))
        view[:count] = self._view[:count]
        self._view = self._view[count:]
        self.position += count
        return count

    def close(self) -> None:
        self._view = memoryview(b"")


def _refuse_archive(head: bytes, name: str) -> None:
    kind = _native._archive_of(head[:16])
    if kind is not None:
        raise ValueError(
            f"{name!r} is a {kind}, not an SD file: extract it first (molvane reads SD files "
            "compressed with gzip, bzip2, xz or zstd)"
        )


def _refuse_compressed(remote: RemoteFile, what: str) -> None:
    head = remote.head()
    _refuse_archive(head, remote.name)
    fmt = _native._compression_of(head[:16])
    if fmt is not None:
        raise ValueError(
            f"{remote.name!r} is compressed ({fmt}): {what} needs an uncompressed file, "
            "read at any offset; read it whole instead"
        )


def block_start(remote: RemoteFile, cut: int, universal: bool) -> int:
    """The first block of the file starting at or after `cut` (the file's
    size when none does), as shards finds it, from a window around the cut."""
    if cut <= 0:
        return 0
    if cut >= remote.size:
        return remote.size
    back, forward = _BACK, _FORWARD
    while True:
        low = max(0, cut - back)
        high = min(remote.size, cut + forward)
        window = remote.read(low, high)
        found = _native._next_block_start(
            window, cut - low, universal=universal, at_start=low == 0, at_end=high == remote.size
        )
        if found is not None:
            return low + found
        back *= 8
        forward *= 8


def _range_bounds(
    remote: RemoteFile, start: int | None, stop: int | None, universal: bool
) -> tuple[int, int]:
    first = block_start(remote, start or 0, universal)
    last = remote.size if stop is None else block_start(remote, stop, universal)
    return first, max(first, last)


def _check_offset(name: str, value: Any) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"parse_sdf {name} must be an int or None, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"parse_sdf {name} must be at least 0")
    return value


def parse_url(
    url: str | bytes,
    start: int | None = None,
    stop: int | None = None,
    storage_options: StorageOptions = None,
) -> Any:
    """parse_sdf's iterator over a URL: str blocks for a str URL, bytes
    blocks for bytes, as for paths. `start` and `stop` read the blocks whose
    first byte lies in [start, stop) of a plain file, by ranged reads."""
    first = _check_offset("start", start)
    last = _check_offset("stop", stop)
    local = _local_path(url)
    if local is not None:
        return _native.parse_sdf(local, start=first, stop=last)
    remote = RemoteFile(url, storage_options)
    universal = isinstance(url, str)
    if first is not None or last is not None:
        _refuse_compressed(remote, "a byte range")
        begin, end = _range_bounds(remote, first, last, universal)
        return _native._parse_stream(_RangeStream(remote, begin, end), text=universal)
    raw = _RangeStream(remote, 0, remote.size)
    try:
        head = raw.peek(16)
        _refuse_archive(head, remote.name)
        fmt = _native._compression_of(head)
        stream: Any = raw if fmt is None else _Decompressed(raw, fmt, remote.name)
    except BaseException:
        raw.close()
        raise
    return _native._parse_stream(stream, text=universal)


def _cut_at(size: int, pieces: int, k: int) -> int:
    # As core/block_index cuts: k * size / pieces without overflow.
    return size // pieces * k + size % pieces * k // pieces


def shards(
    url: str | bytes, n: int = 0, size: int = 0, storage_options: StorageOptions = None
) -> list[tuple[int, int]]:
    """shards() of a remote plain file: the same (start, stop) pairs as for
    the file on a local disk, each cut found from a window around it. `n`
    (0 for none) or `size` (0 for none) as shards takes them."""
    local = _local_path(url)
    if local is not None:
        return _native.shards(local, n or None, size or None)
    remote = RemoteFile(url, storage_options)
    _refuse_compressed(remote, "shards()")
    total = remote.size
    if total == 0:
        return []
    pieces = n if n else -(-total // size) if size else os.cpu_count() or 1
    pieces = min(pieces, total, 1 << 31)
    universal = isinstance(url, str)
    bounds = [0]
    k = 1
    while k < pieces:
        start = block_start(remote, _cut_at(total, pieces, k), universal)
        if start >= total:
            break
        if start > bounds[-1]:
            bounds.append(start)
        # Every later cut at or before this start finds it again: skip them.
        low, high = k + 1, pieces
        while low < high:
            middle = (low + high) // 2
            if _cut_at(total, pieces, middle) > start:
                high = middle
            else:
                low = middle + 1
        k = low
    bounds.append(total)
    return list(zip(bounds, bounds[1:]))


def sdfile(url: str | bytes, *, index: Any = None, storage_options: StorageOptions = None) -> Any:
    """SDFile(url): the native SDFile of a file:// URL's path, else a RemoteSDFile."""
    local = _local_path(url)
    if local is not None:
        return _native.SDFile(local, index=index)
    return RemoteSDFile(url, index=index, storage_options=storage_options)


class RemoteSDFile:
    """``SDFile(url)``: random access to the blocks of a remote plain file.

    The block index is found on first use by streaming the file once (or
    taken from `index=`, a file written by ``save_index``); each block is
    then read by one ranged read of exactly its bytes. Blocks, ``len``,
    slices, iteration, ``offsets`` and pickling are those of ``SDFile``.
    """

    def __init__(
        self,
        url: str | bytes,
        *,
        index: Any = None,
        storage_options: StorageOptions = None,
    ) -> None:
        self._remote = RemoteFile(url, storage_options)
        self._storage_options = dict(storage_options or {})
        self._universal = isinstance(url, str)
        self._offsets: array.array[int] | None = None
        self._lock = threading.Lock()
        _refuse_compressed(self._remote, "SDFile")
        if index is not None:
            self._offsets = _load_index(index, self._universal, self._remote)

    @property
    def path(self) -> str | bytes:
        return self._remote.url

    def _index(self) -> array.array[int]:
        with self._lock:
            if self._offsets is None:
                self._offsets = self._scan()
            return self._offsets

    def _scan(self) -> array.array[int]:
        offsets: array.array[int] = array.array("Q")
        stream = _RangeStream(self._remote, 0, self._remote.size)
        pending = b""
        base = 0  # file offset of pending[0], always a block start
        try:
            while True:
                chunk = stream.read()
                if not chunk:
                    break
                pending += chunk
                found = array.array("Q", _native._block_starts(pending, self._universal))
                # The last start (or the window's end) may be cut short by the
                # window's end: the scan goes on from it with more bytes.
                last = found[-2] if len(found) > 1 else 0
                offsets.extend(base + x for x in found[:-2])
                pending = pending[last:]
                base += last
        finally:
            stream.close()
        if pending:
            found = array.array("Q", _native._block_starts(pending, self._universal))
            offsets.extend(base + x for x in found[:-1])
        offsets.append(self._remote.size)
        return offsets

    def __len__(self) -> int:
        return len(self._index()) - 1

    @property
    def offsets(self) -> memoryview:
        return memoryview(self._index()).toreadonly()

    def _blocks(self, begin: int, end: int) -> list[Any]:
        offsets = self._index()
        data = self._remote.read(offsets[begin], offsets[end])
        stream = _Bytes(data, offsets[begin])
        return list(_native._parse_stream(stream, text=self._universal))

    def __getitem__(self, key: Any) -> Any:
        count = len(self)
        if isinstance(key, slice):
            picked = range(count)[key]
            if picked.step == 1:
                return self._blocks(picked.start, picked.stop) if picked else []
            return [self._blocks(i, i + 1)[0] for i in picked]
        try:
            i = key.__index__()
        except AttributeError:
            raise TypeError(
                f"SDFile indices must be integers or slices, not {type(key).__name__}"
            ) from None
        if i < 0:
            i += count
        if not 0 <= i < count:
            raise IndexError("SDFile index out of range")
        return self._blocks(i, i + 1)[0]

    def __iter__(self) -> Iterator[Any]:
        return iter(parse_url(self._remote.url, storage_options=self._storage_options))

    def save_index(self, path: Any = None) -> Any:
        """Writes the block index to a local `path` (the format of
        SDFile.save_index) and returns the path."""
        if path is None:
            raise TypeError("save_index() of a remote file needs a local path to write to")
        import struct

        from molvane._replacing import check_writable

        offsets = self._index()
        target = os.fspath(path)
        check_writable(target)
        version = _version_code(self._remote.stamp)
        data = (
            b"MVSDIDX\0"
            + struct.pack(
                "<IIQqQ", 1, int(self._universal), self._remote.size, version, len(offsets)
            )
            + array.array("Q", offsets).tobytes()
        )
        temporary = f"{os.fsdecode(target)}.{os.getpid()}.tmp"
        with open(temporary, "wb") as out:
            out.write(data)
        os.replace(temporary, target)
        return target

    def __reduce__(self) -> tuple[Any, ...]:
        return (
            _restore,
            (self._remote.url, self._storage_options, self._offsets, self._remote.stamp),
        )

    def __repr__(self) -> str:
        return f"SDFile({self._remote.url!r})"


def _restore(
    url: str | bytes,
    storage_options: dict[str, Any],
    offsets: array.array[int] | None,
    stamp: tuple[int, str],
) -> RemoteSDFile:
    made = RemoteSDFile(url, storage_options=storage_options)
    made._remote.check_unchanged(stamp)
    made._offsets = offsets
    return made


def _version_code(stamp: tuple[int, str]) -> int:
    """What a saved index keeps of the file's version (its ETag or
    modification time) in the field a local index keeps the mtime in: a
    64-bit digest, or 0 where the store names no version."""
    if not stamp[1]:
        return 0
    digest = hashlib.blake2b(stamp[1].encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little", signed=True) or 1


def _load_index(index: Any, universal: bool, remote: RemoteFile) -> array.array[int]:
    import struct

    name = os.fsdecode(os.fspath(index))
    with open(index, "rb") as handle:
        data = handle.read()
    if data[:8] != b"MVSDIDX\0" or len(data) < 40:
        raise ValueError(f"{name!r} is not a saved SDFile index")
    version, rule, indexed, saved_version, count = struct.unpack_from("<IIQqQ", data, 8)
    size = remote.size
    if version != 1:
        raise ValueError(f"{name!r} is an SDFile index of another format version: index again")
    if len(data) != 40 + 8 * count or count < 1:
        raise ValueError(f"{name!r} is a damaged SDFile index")
    if bool(rule) != universal:
        kind = "str" if rule else "bytes"
        raise ValueError(
            f"{name!r} indexes the blocks of a {kind} path; open the file with a {kind} "
            "path or index it again"
        )
    offsets = array.array("Q")
    offsets.frombytes(data[40:])
    # Where both the index and the store name a version, they must agree: a
    # file rewritten with the same size is another file.
    current = _version_code(remote.stamp)
    other_version = saved_version != 0 and current != 0 and saved_version != current
    if indexed != size or offsets[0] != 0 or offsets[-1] != size or other_version:
        raise OSError(
            errno.ESTALE, f"{name!r} indexes another version of the file: index it again", name
        )
    if any(a >= b for a, b in zip(offsets, offsets[1:])):
        raise ValueError(f"{name!r} is a damaged SDFile index")
    return offsets
