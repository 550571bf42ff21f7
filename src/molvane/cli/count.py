"""``molvane count``: the number of blocks of each input."""

from __future__ import annotations

import argparse
import os
import threading
from typing import Any

import molvane
from molvane import native
from molvane.cli.common import add_inputs, add_quiet, input_names, progress_of
from molvane.cli.inputs import Source, is_plain_file, label


# Below this size one reader is done before a second thread pays off.
_RANGED_BYTES = 64 << 20


def _count(blocks: Any, counts: list[int], slot: int) -> None:
    count = 0
    for _ in blocks:
        count += 1
    counts[slot] = count


def ranged_count(path: bytes, size: int) -> int | None:
    """The blocks of a plain file counted by readers of byte ranges, one
    thread each: the reader finds block starts with the GIL released, so
    the ranges are scanned side by side. None when there is one core, a
    small file, or a reader without byte ranges."""
    workers = min(os.cpu_count() or 1, 4)
    if workers < 2 or size < _RANGED_BYTES:
        return None
    bounds = [size * i // workers for i in range(workers)] + [size]
    try:
        readers = [native.parse_sdf(path, borrow=True, start=a, stop=b) for a, b in zip(bounds, bounds[1:])]
    except TypeError:
        return None
    counts = [0] * workers
    threads = [threading.Thread(target=_count, args=(r, counts, i)) for i, r in enumerate(readers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sum(counts)


def count_blocks(name: str, args: argparse.Namespace) -> int:
    index = getattr(molvane, "SDFile", None)
    if index is not None and is_plain_file(name):
        # The block index finds the block starts natively, without an
        # SDBlock per block: as fast as the disk gives the bytes.
        return len(index(os.fsencode(name)))
    progress = progress_of(args)
    if name != "-" and is_plain_file(name):
        path = os.fsencode(name)
        counted = ranged_count(path, os.path.getsize(path))
        if counted is not None:
            return counted
        blocks = native.parse_sdf(path, borrow=True)
    else:
        blocks = Source(name).blocks
    count = 0
    for _ in progress.track(blocks, label(name)):
        count += 1
    return count


def run(args: argparse.Namespace) -> int:
    names = input_names(args)
    total = 0
    for name in names:
        count = count_blocks(name, args)
        total += count
        print(f"{count:>12}  {label(name)}" if len(names) > 1 else count)
    if len(names) > 1:
        print(f"{total:>12}  total")
    return 0


def register(sub: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    parser = sub.add_parser(
        "count",
        help="print the number of blocks",
        description="Print the number of blocks (molecules) of each input; with several, "
        "one line per file and a total, as wc does.",
        epilog="example: molvane count library.sdf.gz",
    )
    add_inputs(parser)
    add_quiet(parser)
    parser.set_defaults(run=run)
