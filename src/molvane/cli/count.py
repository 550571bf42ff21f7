"""``molvane count``: the number of blocks of each input."""

from __future__ import annotations

import argparse
import os

import molvane
from molvane.cli.common import add_inputs, add_quiet, input_names, progress_of
from molvane.cli.inputs import Source, is_plain_file, label


def count_blocks(name: str, args: argparse.Namespace) -> int:
    if is_plain_file(name):
        # The block index finds the block starts natively, without an
        # SDBlock per block.
        return len(molvane.SDFile(os.fsencode(name)))
    # Compressed files and stdin are read through.
    blocks = Source(name).blocks
    progress = progress_of(args)
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
