"""Where output goes: ``-o FILE`` (SD blocks compressed by its suffix) or stdout.

Every file output is atomic: SD blocks through ``write_sdf``, which writes a
temporary beside the target and renames it over the target only once every
block is in; text outputs (CSV, JSON lines, Parquet) through
:func:`replacing`, which does the same for writers that take a path. Text
outputs are compressed by their suffix as SD outputs are. A
failed or interrupted command leaves the old file as it was.
"""

from __future__ import annotations

import contextlib
import errno
import io
import itertools
import os
import signal
import stat
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from typing import IO, Any

from molvane import native
from molvane._replacing import check_writable, keep_owner_and_mode, sync_directory
from molvane.cli.errors import CommandError


def destination(path: str | None) -> Any:
    """What write_sdf and sdf_writer take: the path, or stdout's binary stream."""
    if path is None or path == "-":
        sys.stdout.flush()
        return sys.stdout.buffer
    return os.fsencode(path) if not isinstance(path, bytes) else path


def write_blocks(
    path: str | None,
    blocks: Iterable[Any],
    trailing: Callable[[Any], Any] | None = None,
    bgzf: bool = False,
) -> int:
    """Write `blocks` to `path` or stdout; the number written.

    A file is written through a temporary beside it and renamed over the
    target only when every block is in, so a failed run leaves no half file.
    When the last block written is the last block of the input read last,
    the whitespace that followed it there follows it here too: an output
    that ends as its input ends is that input's bytes. `trailing` (called
    with the last block written, or None) gives that whitespace for blocks
    that are not the reader's own.
    """
    if bgzf and (path is None or path == "-"):
        raise CommandError("--bgzf needs -o FILE ending in .gz")
    if trailing is None:
        from molvane.cli.inputs import trailing_after as trailing

    written: int = native.write_sdf(  # type: ignore[call-arg]
        destination(path), blocks, bgzf=bgzf, _trailing=trailing
    )
    if path is None or path == "-":
        sys.stdout.buffer.flush()
    return written


_counter = itertools.count()
_CLEANUP_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


def _temporary_name(target: str) -> str:
    # The pattern of the native writer's temporaries: .NAME.PID.N.HEX.tmp
    folder, base = os.path.split(target)
    tag = f".{os.getpid()}.{next(_counter)}.{time.monotonic_ns() & 0xFFFFFFFF:x}.tmp"
    return os.path.join(folder, "." + base[:160] + tag)


def _open_temporary(path: str, target: str, status: os.stat_result | None) -> str:
    """Creates the temporary beside `target` with the target's owner and mode."""
    for _ in range(16):
        name = _temporary_name(target)
        try:
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        except OSError as error:
            if status is None:
                raise OSError(error.errno, error.strerror, path) from None
            # Writing the target in place would lose it to any failure
            # halfway: refuse.
            raise OSError(
                error.errno,
                f"{error.strerror}: no temporary file can be made in its directory, "
                "so the file is left as it was",
                path,
            ) from None
        try:
            if status is not None:
                keep_owner_and_mode(fd, status)
        finally:
            os.close(fd)
        return name
    raise OSError(errno.EEXIST, "no free temporary file name in its directory", path)


@contextlib.contextmanager
def replacing(path: str) -> Iterator[str]:
    """The path to write instead of `path`: a temporary beside it, synced and
    renamed over `path` when the block ends normally, removed when it ends by
    an exception (a signal's included). A `path` that exists must be writable
    by this process, as opening it for writing would require; its mode (and
    owner and group where allowed) is kept and a symlink followed. FIFOs and
    devices are written directly."""
    try:
        status: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        status = None
    if status is not None and not stat.S_ISREG(status.st_mode):
        yield path
        return
    target = os.path.realpath(path) if status is not None else path
    if status is not None:
        check_writable(target, shown=path)
    # Signals wait while the temporary is made, so that none can leave it
    # behind before the cleanup below is in place.
    held = signal.pthread_sigmask(signal.SIG_BLOCK, _CLEANUP_SIGNALS)
    temporary = None
    try:
        try:
            temporary = _open_temporary(path, target, status)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)
        yield temporary
        fd = os.open(temporary, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, target)
    except BaseException:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise
    sync_directory(os.path.dirname(target))


# Output suffixes and the compression each asks for, matched in any case.
_COMPRESSED_SUFFIXES = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd"}


def compression_by_suffix(path: str) -> str | None:
    """The compression an output path asks for by its suffix (as the SD
    writer reads it, letters in any case), or None."""
    lowered = path.lower()
    for suffix, fmt in _COMPRESSED_SUFFIXES.items():
        if lowered.endswith(suffix):
            return fmt
    return None


class _Sink(io.RawIOBase):
    """A raw binary file whose writes go to a compressor's ``write``."""

    def __init__(self, write: Any) -> None:
        super().__init__()
        self._write = write

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        count = len(memoryview(data))
        self._write(data)
        return count


@contextlib.contextmanager
def text_output(path: str) -> Iterator[IO[str]]:
    """A UTF-8 text file replacing `path` once the block ends normally
    (through :func:`replacing`), compressed when its suffix asks for it."""
    fmt = compression_by_suffix(path)
    with replacing(path) as temporary:
        if fmt is None:
            with open(temporary, "w", encoding="utf-8", newline="") as out:
                yield out
            return
        from molvane import _compression

        fd = os.open(temporary, os.O_WRONLY | os.O_TRUNC | os.O_CLOEXEC)
        try:
            write, finish = _compression.open_compressing_fd(fd, fmt, None, path)
            buffered = io.BufferedWriter(_Sink(write), 1 << 16)
            out = io.TextIOWrapper(buffered, encoding="utf-8", newline="")
            yield out
            out.flush()
            finish()
        finally:
            os.close(fd)


@contextlib.contextmanager
def binary_output(path: str | None) -> Iterator[str]:
    """A path for a writer that takes only paths (Parquet): `path` through
    :func:`replacing`, or for stdout (None or '-') a temporary file whose
    bytes are copied to stdout once it is complete."""
    if path is not None and path != "-":
        with replacing(path) as temporary:
            yield temporary
        return
    import shutil
    import tempfile

    fd, temporary = tempfile.mkstemp(prefix="molvane-output-")
    os.close(fd)
    try:
        yield temporary
        sys.stdout.flush()
        with open(temporary, "rb") as done:
            shutil.copyfileobj(done, sys.stdout.buffer, 1 << 20)
        sys.stdout.buffer.flush()
    finally:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
