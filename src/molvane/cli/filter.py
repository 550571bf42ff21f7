"""``molvane filter``: the blocks whose SD data match an expression."""

from __future__ import annotations

import argparse
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
)
from molvane.cli.expr import compile_with_fields
from molvane.cli.outputs import write_blocks


def run(args: argparse.Namespace) -> int:
    keep, fields = compile_with_fields(args.expression)
    watch = Names(fields)
    blocks = watch.watching(all_blocks(args)) if fields else all_blocks(args)
    unreadable = Unreadable(args)
    invert = args.invert

    def matched() -> Iterator[Any]:
        # The plain loop is the hot path; a block that cannot be read leaves
        # it, is counted (or raises), and the loop resumes after it.
        while True:
            try:
                if invert:
                    yield from (block for block in blocks if not keep(block))
                else:
                    yield from (block for block in blocks if keep(block))
                return
            except UNREADABLE as error:
                unreadable.failed(error)  # not known to match: left out

    if args.count:
        found = sum(1 for _ in matched())
        print(found)
    else:
        found = write_blocks(args.output, matched(), bgzf=args.bgzf)
    unreadable.report("filter", "left out")
    watch.warn("filter")
    return 1 if args.fail_if_empty and not found else 0


EXPRESSIONS = """\
expressions:
  IC50 < 10                 numeric: the value read as a number (not a number: false)
  SOURCE == "ChEMBL"        text, compared as written; also !=, <, <=, >, >=
  NAME ~ "^ben[sz]"         regular expression search; !~ for no match
  exists IC50, missing IC50 whether the block has the field
  ID in @ids.txt            ids from a file, one per line; also ID in ("a", "b")
  ID not in @seen.txt
  `IC50 (nM)` <= 1e3        a field name with spaces or symbols in backticks
  $title ~ "^CHEMBL"        the block's title line
  combine with and, or, not and parentheses

examples:
  molvane filter 'IC50 < 10 and SOURCE == "ChEMBL"' in.sdf.gz -o hits.sdf
  molvane filter 'ID in @picked.txt' library.sdf | molvane count
"""


def register(sub: Any) -> None:
    parser = sub.add_parser(
        "filter",
        help="write the blocks whose fields match an expression",
        description="Write the blocks whose SD data match EXPR, byte for byte as they were read.",
        epilog=EXPRESSIONS,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "expression", metavar="EXPR", help="the condition (see below); quote it for the shell"
    )
    add_inputs(parser)
    parser.add_argument(
        "-v", "--invert", action="store_true", help="write the blocks that do not match"
    )
    parser.add_argument(
        "-c", "--count", action="store_true", help="print the number of matching blocks instead"
    )
    parser.add_argument(
        "--fail-if-empty",
        action="store_true",
        help="exit with status 1 when no block matches (as grep does); by default 0",
    )
    add_errors(parser, "leaves the block out (it is not known to match)")
    add_output(parser)
    add_quiet(parser)
    parser.set_defaults(run=run)
