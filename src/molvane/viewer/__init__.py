"""``molvane view``: a local web viewer for SD files of any size.

`open_viewer(paths)` checks the files and returns a `ViewerServer` bound to
127.0.0.1 (by default) on a free port (by default); its `url` carries the
token every request needs. The command line (molvane.cli.view) serves it
until Ctrl-C; tests call its `start()` and `close()`.

Compressed files are refused: a page anywhere in the file needs random
access, which a gzip, bzip2, xz or zstd stream does not have (BGZF files and
gzip files indexed by `molvane index` have it). The message says to
decompress the file first.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Sequence

from molvane import _gzaccess
from molvane.viewer.catalog import ViewedFile
from molvane.viewer.server import ViewerServer

__all__ = ["open_viewer", "ViewerServer", "FileRefused"]

_MAGIC = {
    b"\x1f\x8b": "gzip",
    b"BZh": "bzip2",
    b"\xfd7zXZ\x00": "xz",
    b"\x28\xb5\x2f\xfd": "zstd",
}


class FileRefused(ValueError):
    """A file the viewer cannot serve (missing, not a regular file, compressed)."""


def check_file(path: str) -> None:
    """Raise FileRefused, saying why, unless `path` is a plain, BGZF or indexed
    gzip regular file."""
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        raise FileRefused(f"{path}: {error.strerror}") from None
    if not stat.S_ISREG(mode):
        raise FileRefused(f"{path}: not a regular file (the viewer needs random access)")
    try:
        with open(path, "rb") as handle:
            head = handle.read(8)
    except OSError as error:
        raise FileRefused(f"{path}: {error.strerror}") from None
    for magic, name in _MAGIC.items():
        if head.startswith(magic) and not (name == "gzip" and _gzaccess.splittable(path)):
            raise FileRefused(
                f"{path} is {name}-compressed and the viewer needs random access: "
                "decompress it first (molvane cat FILE -o plain.sdf)"
            )


def open_viewer(paths: Sequence[str], host: str = "127.0.0.1", port: int = 0) -> ViewerServer:
    """A server for `paths` listening on `host`:`port` (0: a free port), not yet serving."""
    if not paths:
        raise FileRefused("no file to view")
    for path in paths:
        check_file(path)
    return ViewerServer([ViewedFile(path) for path in paths], host, port)
