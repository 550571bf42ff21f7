"""``molvane split``: one input cut into several files on block boundaries."""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import os
import re
from collections.abc import Iterable, Iterator
from typing import Any

import molvane
from molvane import native
from molvane.cli.common import (
    add_inputs,
    add_quiet,
    all_blocks,
    input_names,
    positive,
    progress_of,
)
from molvane.cli.errors import UsageError
from molvane.cli.inputs import Source, is_plain_file, rereadable, trailing_after
from molvane.cli.outputs import destination

_SIZE = re.compile(r"(\d+(?:\.\d*)?)\s*([kmgt]?)i?b?", re.IGNORECASE)
_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def parse_size(text: str) -> int:
    match = _SIZE.fullmatch(text.strip())
    if not match:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (use e.g. 500k, 100M, 2G)")
    size = int(float(match.group(1)) * _UNITS[match.group(2).lower()])
    if size <= 0:
        raise argparse.ArgumentTypeError(f"a size must be more than 0, not {text!r}")
    return size


def _default_pattern(name: str) -> str:
    base = "split" if name == "-" else os.path.basename(name)
    for suffix in (".gz", ".bz2", ".xz", ".zst"):
        if base.endswith(suffix):
            base = base[: -len(suffix)]
    stem = base[:-4] if base.lower().endswith(".sdf") else base
    return stem.replace("{", "{{").replace("}", "}}") + ".{n:03d}.sdf"


def file_name(pattern: str, number: int) -> str:
    try:
        return pattern.format(n=number)
    except (KeyError, IndexError, ValueError) as error:
        raise UsageError(
            f"bad --output pattern {pattern!r}: use {{n}} for the part number ({error})"
        ) from None


def _parts_by_count(blocks: Iterator[Any], every: int) -> Iterator[Iterator[Any]]:
    # One block is read ahead, so the reader has seen its end by the time the
    # last part's last block is written (and knows the trailing whitespace).
    ahead = next(blocks, None)

    def part() -> Iterator[Any]:
        nonlocal ahead
        for _ in range(every):
            yield ahead
            ahead = next(blocks, None)
            if ahead is None:
                return

    while ahead is not None:
        yield part()


def _parts_by_size(blocks: Iterator[Any], limit: int) -> Iterator[list[Any]]:
    part: list[Any] = []
    size = 0
    for block in blocks:
        length = len(memoryview(block))
        if part and size + length > limit:
            yield part
            part, size = [], 0
        part.append(block)
        size += length
    if part:
        yield part


def run(args: argparse.Namespace) -> int:
    chosen = [args.parts is not None, args.every is not None, args.size is not None]
    if sum(chosen) != 1:
        raise UsageError("split takes one of -n N (files), -k K (blocks per file) or --size SIZE")
    names = input_names(args)
    pattern = args.output or _default_pattern(names[0])
    if "{n" not in pattern:
        raise UsageError(
            f"--output pattern {pattern!r} needs {{n}} for the part number, e.g. part.{{n:03d}}.sdf"
        )
    if args.parts is not None:
        if len(names) != 1:
            raise UsageError("split -n needs one input (its blocks are counted first); use -k")
        # The blocks are counted before the first file is written: stdin, a
        # pipe or a FIFO is copied once into a temporary file for that.
        with rereadable(names[0]) as path:
            if is_plain_file(path):
                total = len(molvane.SDFile(os.fsencode(path)))
            else:
                total = sum(1 for _ in Source(path).blocks)
            every = max(1, -(-total // args.parts))
            source = Source(path, shown=names[0])
            blocks = iter(progress_of(args).track(source.blocks, source.label))
            _write_parts(
                _parts_by_count(blocks, every), pattern, args.start, args.verbose, args.bgzf
            )
        return 0
    blocks = iter(all_blocks(args))
    if args.every is not None:
        parts: Iterator[Any] = _parts_by_count(blocks, args.every)
    else:
        parts = _parts_by_size(blocks, args.size)
    _write_parts(parts, pattern, args.start, args.verbose, args.bgzf)
    return 0


def _write_parts(
    parts: Iterator[Iterable[Any]], pattern: str, start: int, verbose: bool, bgzf: bool = False
) -> None:
    """Writes each part to its file. A part's file is completed (synced to
    the device and renamed into place) on a helper thread while the next
    part is written, so the sync costs little time of its own; every file
    is complete or left as it was when this returns or raises."""
    pending: collections.deque[tuple[str, concurrent.futures.Future[None]]] = collections.deque()

    def finished(path: str, commit: concurrent.futures.Future[None]) -> None:
        commit.result()
        if verbose:
            print(path)

    with concurrent.futures.ThreadPoolExecutor(2, thread_name_prefix="molvane-split") as commits:
        try:
            for number, part in enumerate(parts, start=start):
                path = file_name(pattern, number)
                folder = os.path.dirname(path)
                if folder:
                    os.makedirs(folder, exist_ok=True)  # as mkdir -p: 'parts/{n}.sdf'
                out = native.sdf_writer(destination(path), bgzf=bgzf)
                try:
                    write = out.write
                    block = None
                    for block in part:
                        write(block)
                    # The part that ends as the input ends gets its trailing whitespace.
                    trailing = trailing_after(block) if block is not None else None
                    if trailing:
                        out._write_trailing(trailing)
                except BaseException as error:
                    out.__exit__(type(error), error, error.__traceback__)  # keeps the old file
                    raise
                pending.append((path, commits.submit(out.close)))
                while len(pending) > 2 or pending and pending[0][1].done():
                    finished(*pending.popleft())
            while pending:
                finished(*pending.popleft())
        finally:
            # A failure waits for the files being completed before it is raised.
            concurrent.futures.wait([commit for _, commit in pending])


def register(sub: Any) -> None:
    parser = sub.add_parser(
        "split",
        help="cut the blocks into several files",
        description="Write the blocks into several files: N files of (nearly) equal block counts, K blocks "
        "per file, or files of at most SIZE bytes (a larger block gets a file of its own). Each file is "
        "named by the --output pattern, compressed by its suffix.",
        epilog="example: molvane split -k 10000 library.sdf.gz -o 'part-{n:04d}.sdf.gz'",
    )
    add_inputs(parser)
    parser.add_argument("-n", "--parts", type=positive, metavar="N", help="into N files")
    parser.add_argument("-k", "--every", type=positive, metavar="K", help="K blocks per file")
    parser.add_argument(
        "--size", type=parse_size, metavar="SIZE", help="at most SIZE bytes per file (e.g. 100M)"
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="PATTERN",
        help="file names, {n} the part number (Python format, e.g. {n:04d}); default NAME.{n:03d}.sdf",
    )
    parser.add_argument(
        "--start", type=int, default=0, metavar="I", help="number of the first part (default 0)"
    )
    parser.add_argument(
        "--verbose", action="store_true", help="print each file name as it is written"
    )
    parser.add_argument(
        "--bgzf",
        action="store_true",
        help="write .gz parts as BGZF (blocked gzip), which SDFile, shards and Dask read at any block",
    )
    add_quiet(parser)
    parser.set_defaults(run=run)
