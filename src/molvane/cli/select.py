"""``head``, ``slice`` and ``sample``: blocks by position, written untouched."""

from __future__ import annotations

import argparse
import itertools
import os
import random
import sys
from collections.abc import Iterator
from typing import Any

import molvane
from molvane.cli.common import (
    add_inputs,
    add_output,
    add_quiet,
    all_blocks,
    input_names,
    non_negative,
    plural,
    positive,
    progress_of,
)
from molvane.cli.errors import UsageError
from molvane.cli.inputs import Source, is_plain_file, rereadable
from molvane.cli.outputs import write_blocks


def run_head(args: argparse.Namespace) -> int:
    # Each is at most sys.maxsize; so is the stop, as no stream holds more.
    stop = min(args.skip + args.number, sys.maxsize)
    one_input = len(input_names(args)) == 1
    write_blocks(args.output, _first(all_blocks(args), args.skip, stop, one_input), bgzf=args.bgzf)
    return 0


def _first(blocks: Iterator[Any], skip: int, stop: int, peek: bool) -> Iterator[Any]:
    """The blocks [skip, stop) of `blocks`; with `peek`, one more is read
    (not written) once they are taken, so that a head that takes the input's
    last block knows it and ends as the input ends, trailing whitespace
    included."""
    blocks = iter(blocks)
    yield from itertools.islice(blocks, skip, stop)
    if peek:
        next(blocks, None)


def parse_spec(spec: str) -> list[tuple[int | None, int | None, int | None] | int]:
    """Comma-separated indices and START:STOP[:STEP] ranges, as Python slices them."""
    items: list[tuple[int | None, int | None, int | None] | int] = []
    for part in spec.split(","):
        part = part.strip()
        try:
            if ":" in part:
                fields = part.split(":")
                if len(fields) > 3:
                    raise ValueError
                numbers = [int(f) if f.strip() else None for f in fields] + [None] * (
                    3 - len(fields)
                )
                if numbers[2] == 0:
                    raise UsageError(f"slice step cannot be 0 in {part!r}")
                items.append((numbers[0], numbers[1], numbers[2]))
            else:
                items.append(int(part))
        except ValueError:
            raise UsageError(
                f"bad slice {part!r}: use I, START:STOP or START:STOP:STEP, comma separated"
            ) from None
    return items


def resolve(items: list[Any], length: int) -> list[int]:
    """The indices `items` select of `length` blocks; what lies past either
    end is left out, as Python slices do, and said on stderr."""
    indices: list[int] = []
    outside = []
    for item in items:
        if isinstance(item, int):
            index = item + length if item < 0 else item
            if 0 <= index < length:
                indices.append(index)
            else:
                outside.append(str(item))
        else:
            indices.extend(range(length)[slice(*item)])
    if outside:
        print(
            f"molvane: slice: warning: no block at {', '.join(outside)}: "
            f"the input has {plural(length, 'block')}",
            file=sys.stderr,
        )
    elif not indices and length:
        print(
            f"molvane: slice: warning: the ranges select no block of {plural(length, 'block')}",
            file=sys.stderr,
        )
    return indices


def _index(name: str) -> Any:
    """The block index of a plain file (None for compressed files and stdin)."""
    if is_plain_file(name):
        return molvane.SDFile(os.fsencode(name))
    return None


def _count(name: str) -> int:
    count = 0
    for _ in Source(name).blocks:
        count += 1
    return count


def _file_trailing(path: str, index: Any) -> bytes:
    """The bytes of a plain file after its last block: its trailing
    whitespace, which the block index leaves out."""
    end = memoryview(index.offsets)[-1]
    with open(path, "rb") as handle:
        handle.seek(end)
        return handle.read()


def picked(
    name: str, indices: list[int], progress: Any, shown: str, to_end: bool = False
) -> Iterator[Any]:
    """The blocks at `indices` (in that order) of a file read from the start
    (`to_end`: read to its end, so that its trailing whitespace is known)."""
    wanted = set(indices)
    if not wanted:
        return
    ascending = all(a < b for a, b in zip(indices, indices[1:]))
    kept: dict[int, Any] = {}
    last = max(wanted)
    source = Source(name, shown=shown)
    for number, block in enumerate(progress.track(source.blocks, source.label)):
        if number in wanted:
            if ascending:
                yield block
            else:
                kept[number] = block
        if number == last and not to_end:
            break
    if not ascending:
        for index in indices:
            yield kept[index]


def run_slice(args: argparse.Namespace) -> int:
    items = parse_spec(args.spec)
    # Negative indices need the count of blocks first: stdin, a pipe or a
    # FIFO is copied once into a temporary file, then read like a file.
    with rereadable(args.file) as path:
        index = _index(path)
        if index is not None:
            chosen = resolve(items, len(index))
            blocks: Iterator[Any] = (index[i] for i in chosen)
            # A slice that ends with the last block ends as the file ends
            # (as does any slice of a file without blocks).
            ends = chosen[-1] == len(index) - 1 if chosen else not len(index)
            tail = _file_trailing(path, index) if ends else None
            write_blocks(args.output, blocks, lambda _last: tail, bgzf=args.bgzf)
        else:
            count = _count(path)
            chosen = resolve(items, count)
            to_end = bool(chosen) and chosen[-1] == count - 1
            write_blocks(
                args.output,
                picked(path, chosen, progress_of(args), args.file, to_end),
                bgzf=args.bgzf,
            )
    return 0


def run_sample(args: argparse.Namespace) -> int:
    if (args.number is None) == (args.fraction is None):
        raise UsageError("sample takes one of -n N or --fraction F")
    rng = random.Random(args.seed)
    if args.fraction is not None:
        if not 0.0 <= args.fraction <= 1.0:
            raise UsageError(f"--fraction must be between 0 and 1, not {args.fraction}")
        fraction = args.fraction
        write_blocks(
            args.output, (b for b in all_blocks(args) if rng.random() < fraction), bgzf=args.bgzf
        )
        return 0
    # Reservoir sampling (Algorithm R): one pass, N blocks held, every
    # block equally likely; the sample is written in input order.
    reservoir: list[tuple[int, Any]] = []
    for number, block in enumerate(all_blocks(args)):
        if number < args.number:
            reservoir.append((number, block))
        else:
            slot = rng.randint(0, number)
            if slot < args.number:
                reservoir[slot] = (number, block)
    reservoir.sort(key=lambda item: item[0])
    write_blocks(args.output, (block for _, block in reservoir), bgzf=args.bgzf)
    return 0


def register(sub: Any) -> None:
    head = sub.add_parser(
        "head",
        help="write the first N blocks",
        description="Write the first N blocks of the inputs (taken as one stream), after skipping K; "
        "reading stops as soon as they are out.",
        epilog="example: molvane head -n 1000 --skip 5000 library.sdf.gz -o part.sdf",
    )
    head.add_argument(
        "-n",
        "--number",
        type=non_negative,
        default=10,
        metavar="N",
        help="blocks to write (default 10)",
    )
    head.add_argument(
        "--skip", type=non_negative, default=0, metavar="K", help="blocks to skip first (default 0)"
    )
    add_inputs(head)
    add_output(head)
    add_quiet(head)
    head.set_defaults(run=run_head)

    sliced = sub.add_parser(
        "slice",
        help="write blocks by index ranges",
        description="Write the blocks at the given positions, counted from 0 as Python slices them: "
        "SPEC is comma-separated indices and START:STOP[:STEP] ranges, negatives counting from the end, "
        "written in the order given. A plain file is read through its block index, so only the chosen "
        "blocks are touched; a compressed file is read through twice (counting, then writing); stdin, a pipe or a FIFO is "
        "first copied to a temporary file (in TMPDIR), removed afterwards.",
        epilog="example: molvane slice 0:100,-1 library.sdf -o first_and_last.sdf",
    )
    sliced.add_argument("spec", metavar="SPEC", help="e.g. 5, 10:20, ::100, -10:")
    add_inputs(sliced, many=False)
    add_output(sliced)
    add_quiet(sliced)
    sliced.set_defaults(run=run_slice)

    sample = sub.add_parser(
        "sample",
        help="write a random sample of blocks",
        description="Write a uniform random sample of the blocks, in input order: exactly N blocks "
        "(held in memory) or each block with probability F. --seed makes it repeatable.",
        epilog="example: molvane sample -n 500 --seed 1 library.sdf.gz -o sample.sdf",
    )
    sample.add_argument("-n", "--number", type=positive, metavar="N", help="blocks to draw")
    sample.add_argument(
        "--fraction", type=float, metavar="F", help="probability of keeping each block"
    )
    sample.add_argument("--seed", type=int, help="random seed, for a repeatable sample")
    add_inputs(sample)
    add_output(sample)
    add_quiet(sample)
    sample.set_defaults(run=run_sample)
