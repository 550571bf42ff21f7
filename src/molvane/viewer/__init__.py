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
from collections.abc import Sequence

from molvane import _gzaccess
from molvane import native as _native
from molvane.viewer.catalog import ViewedFile
from molvane.viewer.server import ViewerServer

__all__ = ["open_viewer", "ViewerServer", "FileRefused"]

# Core's names of the compression formats, as the viewer's messages say them.
_FORMAT_NAMES = {"gzip": "gzip", "bz2": "bzip2", "xz": "xz", "zstd": "zstd"}


class FileRefused(ValueError):
    """A file the viewer cannot serve (missing, not a regular file, compressed)."""


def check_file(path: str) -> None:
    """Raise FileRefused, saying why, unless `path` is a plain, BGZF or indexed
    gzip regular file, or the URL of a plain remote file (read through fsspec)."""
    if _native._is_url(path):
        from molvane import _remote

        local = _remote._local_path(path)
        if local is None:
            try:
                head = _remote.open_remote(path).head()
            except (OSError, ValueError, ImportError) as error:
                raise FileRefused(f"{path}: {error}") from None
            _refuse_format(path, head, "compressed" if _native._compression_of(head) else "plain")
            return
        path = os.fsdecode(local)
    not_regular = f"{path}: not a regular file (the viewer needs random access)"
    if os.path.isdir(path):
        raise FileRefused(not_regular)
    try:
        kind = _native._source_kind(path)
        if kind == "stream":
            raise FileRefused(not_regular)
        with open(path, "rb") as handle:
            head = handle.read(64)
    except OSError as error:
        raise FileRefused(f"{path}: {error.strerror}") from None
    if kind != "compressed" or not _gzaccess.splittable(path):
        _refuse_format(path, head, kind)


def _refuse_format(path: str, head: bytes, kind: str) -> None:
    """Refuses an archive or a compressed file (`kind` as core classifies it)."""
    archive = _native._archive_of(head)
    if archive is not None:
        raise FileRefused(f"{path} is a {archive}, not an SD file")
    if kind == "compressed":
        name = _FORMAT_NAMES.get(_native._compression_of(head) or "", "compressed")
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
