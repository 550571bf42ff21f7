"""``molvane cat``: inputs concatenated, optionally without duplicates."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from typing import Any

from molvane.cli.common import (
    UNREADABLE,
    Names,
    Unreadable,
    add_errors,
    add_inputs,
    add_output,
    add_quiet,
    all_blocks,
    plural,
)
from molvane.cli.outputs import write_blocks


def _unique(
    blocks: Iterator[Any], field: bytes, dropped: list[int], unreadable: Unreadable
) -> Iterator[Any]:
    seen: set[bytes] = set()
    for block in blocks:
        try:
            value = block.get(field)
        except UNREADABLE as error:
            unreadable.failed(error)
            value = None  # kept, as a block without the field is
        if value is not None:
            key = value.strip()
            if key in seen:
                dropped[0] += 1
                continue
            seen.add(key)
        yield block


def run(args: argparse.Namespace) -> int:
    blocks: Iterator[Any] = all_blocks(args)
    dropped = [0]
    unreadable = Unreadable(args)
    watch = Names([args.unique] if args.unique is not None else [])
    if args.unique is not None:
        blocks = _unique(watch.watching(blocks), args.unique.encode(), dropped, unreadable)
    write_blocks(args.output, blocks, bgzf=args.bgzf)
    unreadable.report("cat", "kept")
    watch.warn("cat")
    if args.unique is not None and not args.quiet:
        print(
            f"molvane: cat: dropped {plural(dropped[0], 'block')} repeating a {args.unique} value",
            file=sys.stderr,
        )
    return 0


def register(sub: Any) -> None:
    parser = sub.add_parser(
        "cat",
        help="concatenate inputs, optionally dropping duplicates",
        description="Write the blocks of every input in turn, as they were read (compressed inputs and "
        "outputs welcome). With --unique FIELD a block whose FIELD value (spaces around it aside) was "
        "seen before is dropped; blocks without the field are kept.",
        epilog="example: molvane cat --unique ID part1.sdf part2.sdf.gz -o merged.sdf.gz",
    )
    add_inputs(parser)
    parser.add_argument(
        "--unique", metavar="FIELD", help="keep only the first block of each FIELD value"
    )
    add_errors(parser, "keeps the block (as one without FIELD)")
    add_output(parser)
    add_quiet(parser)
    parser.set_defaults(run=run)
