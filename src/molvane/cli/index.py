"""``molvane index``: build and save the block index of each file beside it.

A plain file gets ``SDFile.save_index``'s index, a BGZF file the index of
``molvane._gzaccess`` (its members and its blocks' virtual offsets), both at
FILE.idx, where the viewer, ``SDFile``, shards and Dask find them. Both
carry the file's size and modification time (the BGZF one also a checksum
of its ends), and an index that no longer matches its file is refused.
Any other gzip file gets the access points of ``molvane._gzindex``, which
makes it readable at any block too.
"""

from __future__ import annotations

import argparse
import os

from molvane import _gzaccess, _gzindex, native
from molvane.cli.common import add_quiet
from molvane.cli.errors import CommandError


def _head(path: bytes) -> bytes:
    with open(path, "rb") as file:
        return file.read(16)


def index_file(name: str) -> str:
    """Index `name` (as bytes paths read it, as the command line reads) and
    return where the index went."""
    path = os.fsencode(name)
    kind = native._source_kind(path)
    if kind == "plain":
        saved = native.SDFile(path).save_index()
    elif kind == "compressed" and _gzaccess.is_bgzf(path):
        blocks = _gzaccess.BgzfBlocks(path, False, reuse=False)
        saved = _gzaccess.default_index_path(path)
        blocks.save(saved)
    elif kind == "compressed" and native._compression_of(_head(path)) == "gzip":
        saved = _gzindex.index_file(path)
    elif kind == "compressed":
        raise CommandError(
            f"{name!r} is compressed but not BGZF, so it has no index: make a BGZF copy with "
            f"'molvane cat {name} -o COPY.sdf.gz --bgzf' and index that"
        )
    else:
        raise CommandError(f"{name!r} is not a regular file: only files on disk can be indexed")
    return os.fsdecode(saved)


def run(args: argparse.Namespace) -> int:
    for name in args.files:
        saved = index_file(name)
        if not args.quiet:
            print(f"{saved}")
    return 0


def register(sub: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    parser = sub.add_parser(
        "index",
        help="save the block index of files, for random access",
        description="Build the block index of each file and save it beside it as FILE.idx, "
        "for the viewer, SDFile, shards and Dask to reuse: block offsets for a plain file, "
        "member and block (virtual) offsets for a BGZF file (made by bgzip or --bgzf), "
        "access points and block offsets for any other gzip file (needs the rapidgzip "
        "package: pip install 'molvane[gzindex]'). "
        "An index that no longer matches its file is refused, never used.",
        epilog="example: molvane index library.sdf library.sdf.gz",
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="plain or gzip SD files")
    add_quiet(parser)
    parser.set_defaults(run=run)
