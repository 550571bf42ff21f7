"""``set``, ``rename`` and ``drop``: edits of SD data fields.

Only the records named are touched: the molblock, the other records and
their header lines stay byte for byte as they were.
"""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from typing import Any

from molvane.cli.common import add_inputs, add_output, add_quiet, all_blocks, name_value
from molvane.cli.errors import UsageError
from molvane.cli.outputs import write_blocks


def _set(
    blocks: Iterator[Any], pairs: list[tuple[bytes, bytes]], only_missing: bool, header: str
) -> Iterator[Any]:
    for block in blocks:
        for name, value in pairs:
            if only_missing and name in block:
                continue
            block.set_record(name, value, header=header)
        yield block


def _rename(blocks: Iterator[Any], renames: dict[bytes, bytes]) -> Iterator[Any]:
    for block in blocks:
        records = block.records()
        if any(name in renames for name, _ in records):
            # "copy" gives a renamed record the header line of the block's
            # first record, the name swapped: its style, not a plain one.
            block.replace_records(
                [(renames.get(name, name), value) for name, value in records], header="copy"
            )
        yield block


def _drop(blocks: Iterator[Any], names: list[bytes]) -> Iterator[Any]:
    for block in blocks:
        for name in names:
            block.remove_record(name)
        yield block


def _split_items(args: argparse.Namespace, what: str) -> list[tuple[bytes, bytes]]:
    """Leading NAME=VALUE items are the edits; the items after them are the input files."""
    items = list(args.items)
    edits: list[tuple[bytes, bytes]] = []
    while items and "=" in items[0]:
        edits.append(name_value(items.pop(0), what))
    if not edits:
        raise UsageError(f"{what} needs at least one NAME=VALUE before the files")
    args.files = items or ["-"]
    return edits


def run_set(args: argparse.Namespace) -> int:
    pairs = _split_items(args, "set")
    write_blocks(args.output, _set(all_blocks(args), pairs, args.missing, args.header))
    return 0


def run_rename(args: argparse.Namespace) -> int:
    renames = dict(_split_items(args, "rename"))
    write_blocks(args.output, _rename(all_blocks(args), renames))
    return 0


def run_drop(args: argparse.Namespace) -> int:
    names = [name.encode() for name in args.names.split(",") if name]
    write_blocks(args.output, _drop(all_blocks(args), names))
    return 0


def register(sub: Any) -> None:
    setter = sub.add_parser(
        "set",
        help="set a field to a value in every block",
        description="Set each NAME to VALUE in every block: an existing record keeps its header line and "
        "place (later ones of that name go), a new one is appended.",
        epilog="example: molvane set SOURCE=vendorA BATCH=7 library.sdf -o tagged.sdf",
    )
    setter.add_argument(
        "items",
        nargs="+",
        metavar="NAME=VALUE ... [FILE ...]",
        help="the edits, then SD files (plain or compressed; none or '-' reads stdin)",
    )
    setter.add_argument(
        "--missing", action="store_true", help="only where the block lacks the field"
    )
    setter.add_argument(
        "--header",
        choices=["plain", "padded", "copy"],
        default="plain",
        help="header line of a new record: '> <NAME>' (plain, default), '>  <NAME>' (padded, as RDKit "
        "writes) or a copy of the block's first header with the name replaced",
    )
    add_output(setter)
    add_quiet(setter)
    setter.set_defaults(run=run_set)

    rename = sub.add_parser(
        "rename",
        help="rename fields",
        description="Rename the fields OLD to NEW in every block, keeping their values and order.",
        epilog="example: molvane rename 'IC50 (nM)=IC50' Smiles=SMILES library.sdf -o renamed.sdf",
    )
    rename.add_argument(
        "items",
        nargs="+",
        metavar="OLD=NEW ... [FILE ...]",
        help="the edits, then SD files (plain or compressed; none or '-' reads stdin)",
    )
    add_output(rename)
    add_quiet(rename)
    rename.set_defaults(run=run_rename)

    drop = sub.add_parser(
        "drop",
        help="remove fields",
        description="Remove every record of the named fields from every block.",
        epilog="example: molvane drop COMMENT,INTERNAL_ID library.sdf.gz -o clean.sdf.gz",
    )
    drop.add_argument("names", metavar="FIELDS", help="comma-separated field names")
    add_inputs(drop)
    add_output(drop)
    add_quiet(drop)
    drop.set_defaults(run=run_drop)
