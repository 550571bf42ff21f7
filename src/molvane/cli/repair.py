"""``molvane repair``: V3000 counts and indices fixed, everything else kept.

A V3000 block with the problems check reports (duplicate or malformed
indices, a COUNTS line that disagrees with the atom and bond lines) has its
indices renumbered 1, 2, 3, ... (bonds follow their atoms) and its COUNTS set
to its lines, through CTable's operations. Every other block, and every other
byte of a repaired block, is written as it was read. Each change, and each
problem left alone (a V2000 counts line that disagrees, a missing ``M  END``,
a header that cannot be read), is reported on stderr.
"""

from __future__ import annotations

import argparse
import copy
import sys
from collections.abc import Iterator
from typing import Any

from molvane.cli import ctab
from molvane.cli.common import (
    add_inputs,
    add_output,
    add_quiet,
    input_names,
    plural,
    progress_of,
    title_of,
)
from molvane.cli.inputs import sources
from molvane.cli.outputs import write_blocks
from molvane.ctable import CTableError


def repaired(block: Any) -> tuple[Any, list[str]]:
    """The block with what can be fixed fixed (the same object if nothing), and what changed."""
    table = ctab.layout(block)
    if table.blank:
        return block, []
    if not table.has_end:
        return block, ["left alone: no 'M  END' line"]
    if (problem := ctab.header_problem(table)) is not None:
        return block, [f"left alone: {problem}"]
    if table.format != "V3000":
        problem = ctab.v2000_problem(table) if table.format == "V2000" else None
        return block, [] if problem is None else [f"left alone: {problem}"]
    if not ctab.v3000_problems(block):
        return block, []
    fixed = copy.copy(block)
    changes: list[str] = []
    try:
        before = bytes(fixed)
        fixed.renumber_indices()
        if bytes(fixed) != before:
            changes.append("renumbered the atom and bond indices")
    except (CTableError, NotImplementedError, UnicodeDecodeError) as error:
        changes.append(f"left the indices as they were ({error})")
    try:
        counts = (fixed.num_atoms, fixed.num_bonds)
        fixed.fix_counts()
        after = (fixed.num_atoms, fixed.num_bonds)
        if after != counts:
            changes.append(
                f"set the counts to {after[0]} atoms and {after[1]} bonds (were {counts[0]} and {counts[1]})"
            )
    except (CTableError, NotImplementedError, UnicodeDecodeError) as error:
        changes.append(f"left the counts as they were ({error})")
    if bytes(fixed) == bytes(block):
        return block, [c for c in changes if c.startswith("left")]
    return fixed, changes


def run(args: argparse.Namespace) -> int:
    progress = progress_of(args)
    tally = {"blocks": 0, "repaired": 0}

    def blocks() -> Iterator[Any]:
        for source in sources(input_names(args)):
            for number, block in enumerate(progress.track(source.blocks, source.label)):
                tally["blocks"] += 1
                fixed, changes = repaired(block)
                if fixed is not block:
                    tally["repaired"] += 1
                if changes and not args.quiet:
                    progress.clear()
                    print(
                        f"{source.label}: block {number} {title_of(block)!r}: {'; '.join(changes)}",
                        file=sys.stderr,
                    )
                yield fixed

    write_blocks(args.output, blocks(), bgzf=args.bgzf)
    if not args.quiet:
        print(
            f"repair: changed {tally['repaired']} of {plural(tally['blocks'], 'block')}",
            file=sys.stderr,
        )
    return 0


def register(sub: Any) -> None:
    parser = sub.add_parser(
        "repair",
        help="fix V3000 counts and indices, keeping every other byte",
        description="Fix the V3000 blocks that check finds at fault (duplicate or malformed atom or "
        "bond indices, a COUNTS line that disagrees with the lines): their indices are renumbered "
        "1, 2, 3, ... and their COUNTS set to the atom and bond lines, where CTable can. Every other "
        "block (V3000 indices that are merely out of order included), and every other line, is "
        "written byte for byte as read. Each change, and each problem left alone (a V2000 counts "
        "line that disagrees, a missing 'M  END' line, a header that cannot be read), is reported "
        "on stderr with the block's number and title.",
        epilog="example: molvane repair broken.sdf -o fixed.sdf",
    )
    add_inputs(parser)
    add_output(parser)
    add_quiet(parser)
    parser.set_defaults(run=run)
