"""``molvane check``: a linter for SD files.

Every problem is printed on a line of its own naming the file, the block
(numbered from 0, as slice counts) and its title; a summary line follows.
The exit status is 1 when anything was found, 0 for a clean input.
"""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from typing import Any

from molvane import native
from molvane.cli import ctab
from molvane.cli.common import (
    Names,
    add_inputs,
    add_quiet,
    input_names,
    plural,
    progress_of,
    title_of,
)
from molvane.cli.inputs import sources


def block_problems(block: Any) -> Iterator[str]:
    table = ctab.layout(block)
    if table.blank:
        yield "empty block"
        return
    text = bytes(block)
    try:
        text.decode("utf-8")
    except UnicodeDecodeError as error:
        yield f"text is not UTF-8 (byte {error.start} of the block)"
    if not table.has_end:
        yield "no 'M  END' line"
    elif (problem := ctab.header_problem(table)) is not None:
        yield problem
    elif table.format == "V2000":
        if (problem := ctab.v2000_problem(table)) is not None:
            yield problem
    else:
        yield from ctab.v3000_problems(block)
    try:
        block.records()
    except native.MalformedRecordError as error:
        yield f"malformed data header: {str(error).splitlines()[0]}"


def _repeated(
    block: Any, field: bytes, name: str, label: str, number: int, seen: dict[bytes, tuple[str, int]]
) -> list[str]:
    try:
        value = block.get(field)
    except native.MalformedRecordError:
        return []  # reported as a malformed data header
    if value is None:
        return []
    key = value.strip()
    if key in seen:
        first_label, first_number = seen[key]
        where = f"block {first_number}" + ("" if first_label == label else f" of {first_label}")
        return [f"{name} {key.decode('utf-8', 'replace')!r} repeats that of {where}"]
    seen[key] = (label, number)
    return []


def run(args: argparse.Namespace) -> int:
    progress = progress_of(args)
    field = args.id.encode() if args.id else None
    total_blocks = problems = bad_blocks = 0

    def report_all(label: str, number: int, block: Any, found: list[str]) -> int:
        nonlocal problems
        if found:
            progress.clear()
        for problem in found:
            problems += 1
            print(f"{label}: block {number} {title_of(block)!r}: {problem}")
        return int(bool(found))

    # Ids are compared across all inputs: parts of one library must not repeat each other.
    seen: dict[bytes, tuple[str, int]] = {}
    watch = Names([args.id] if args.id else [])
    for source in sources(input_names(args), tail=True):
        pending: tuple[int, Any, list[str]] | None = None
        blocks = 0
        for number, block in enumerate(progress.track(source.blocks, source.label)):
            if pending is not None:
                bad_blocks += report_all(source.label, *pending)
            blocks = number + 1
            found = list(block_problems(block))
            if field is not None:
                watch.see(block)
                found.extend(_repeated(block, field, args.id, source.label, number, seen))
            pending = (number, block, found)
        total_blocks += blocks
        if pending is not None:
            number, block, found = pending
            ending = source.ending()
            if found == ["empty block"] and ending == "blank":
                # Blank lines after the last '$$$$': the reader gives them as
                # a block of their own, but no one wrote a block there.
                found = []
            elif ending == "open" and blocks > 1:
                # (One block without '$$$$' is a plain molfile.)
                found.append("the last block is truncated: the input ends without a '$$$$' line")
            bad_blocks += report_all(source.label, number, block, found)
    watch.warn("check")
    files = len(input_names(args))
    where = f"{plural(total_blocks, 'block')} in {plural(files, 'file')}"
    if problems:
        if not args.quiet:
            print(f"check: {plural(problems, 'problem')} in {bad_blocks} of {where}")
        return 1
    if not args.quiet:
        print(f"check: no problems in {where}")
    return 0


def register(sub: Any) -> None:
    parser = sub.add_parser(
        "check",
        help="report structural problems, block by block",
        description=(
            "Report, per block (numbered from 0, as slice counts) and title:\n"
            "  - blocks without an 'M  END' line\n"
            "  - malformed data headers\n"
            "  - a V2000 counts line that disagrees with its atom and bond lines\n"
            "  - V3000 index and count problems (duplicate or malformed indices,\n"
            "    COUNTS that disagree with the atom and bond lines)\n"
            "  - text that is not UTF-8\n"
            "  - empty blocks\n"
            "  - a truncated last block (the input ends without a '$$$$' line)\n"
            "  - with --id FIELD, values of FIELD seen in an earlier block (of any input)\n"
            "A summary line follows. The exit status is 1 when anything was found,\n"
            "0 for a clean input; --quiet leaves out the summary line."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example: molvane check --id CHEMBL_ID library.sdf.gz",
    )
    add_inputs(parser)
    parser.add_argument(
        "--id", metavar="FIELD", help="report blocks whose FIELD value repeats an earlier one"
    )
    add_quiet(parser)
    parser.set_defaults(run=run)
