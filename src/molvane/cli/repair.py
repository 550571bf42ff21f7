"""``molvane repair``: V3000 counts and indices fixed, everything else kept.

A V3000 block whose atom or bond indices are not 1, 2, 3, ... in order is
renumbered (bonds follow their atoms), and a COUNTS line that disagrees with
the atom and bond lines is set to them, both through CTable's operations.
Every other block, and every other byte of a repaired block, is written as
it was read. Each change is reported on stderr.
"""

from __future__ import annotations

import argparse
import copy
import sys
from collections.abc import Iterator
from typing import Any

from molvane.cli import ctab
from molvane.cli.common import add_inputs, add_output, add_quiet, input_names, progress_of, title_of
from molvane.cli.inputs import sources
from molvane.cli.outputs import write_blocks
from molvane.ctable import CTableError


def repaired(block: Any) -> tuple[Any, list[str]]:
    """The block with what can be fixed fixed (the same object if nothing), and what changed."""
    table = ctab.layout(block)
    if not table.has_end or table.format != "V3000":
        return block, []
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

    write_blocks(args.output, blocks())
    if not args.quiet:
        print(f"repair: changed {tally['repaired']} of {tally['blocks']} blocks", file=sys.stderr)
    return 0


def register(sub: Any) -> None:
    parser = sub.add_parser(
        "repair",
        help="fix V3000 counts and indices, keeping every other byte",
        description="Write the blocks with V3000 atom and bond indices renumbered 1, 2, 3, ... and "
        "COUNTS lines set to the atom and bond lines, where CTable can; every other block, and every "
        "other line, is written byte for byte as read. Each change, and each problem left as it was, "
        "is reported on stderr with the block's number and title.",
        epilog="example: molvane repair broken.sdf -o fixed.sdf",
    )
    add_inputs(parser)
    add_output(parser)
    add_quiet(parser)
    parser.set_defaults(run=run)
