"""Replacing a file whole: the checks and finishing steps of every writer in
Python that writes a temporary beside its target and renames it over the
target once complete (the command line's text outputs, Dask's partitions).
The native writer does the same for SD blocks."""

from __future__ import annotations

import contextlib
import errno
import os
import stat
from typing import Any


def check_writable(path: Any, shown: Any = None) -> None:
    """Refuses a target the process may not open for writing (mode 0444,
    another user's file), as opening it for writing would; a target that
    does not exist yet passes. The error names `shown` (default `path`).
    A FIFO or device is not opened: a reader waiting on a FIFO would take
    the open and close for the whole of its input."""
    try:
        mode = os.stat(path).st_mode
        if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
            return
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK | os.O_NOCTTY))
    except FileNotFoundError:
        pass
    except OSError as error:
        raise OSError(error.errno, error.strerror, path if shown is None else shown) from None


def keep_owner_and_mode(file: Any, target: os.stat_result) -> None:
    """Gives `file` (a descriptor or a path) the owner and group of the
    target whose status is `target`, as far as the process may, then its
    mode."""
    own = os.stat(file)
    if (own.st_uid, own.st_gid) != (target.st_uid, target.st_gid):
        try:
            os.chown(file, target.st_uid, target.st_gid)
        except OSError:
            with contextlib.suppress(OSError):
                os.chown(file, -1, target.st_gid)
    os.chmod(file, stat.S_IMODE(target.st_mode))


def sync_directory(folder: Any) -> None:
    """Makes a rename in `folder` durable. File systems that cannot sync a
    directory, and folders this process may not open, are passed over."""
    try:
        fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY)
    except PermissionError:
        return
    try:
        os.fsync(fd)
    except OSError as error:
        if error.errno not in (errno.EINVAL, errno.ENOTSUP):
            raise
    finally:
        os.close(fd)
