"""``set``, ``rename`` and ``drop``: edits of SD data fields.

Only the records named are touched: the molblock, the other records and
their header lines stay byte for byte as they were.
"""

from __future__ import annotations

import argparse
import os
import textwrap
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
    name_value,
)
from molvane.cli.errors import CommandError, UsageError
from molvane.cli.outputs import write_blocks

# Endings that make an OLD=NEW or NAME=VALUE argument look like a file name.
_FILE_ENDINGS = (".sdf", ".sd", ".mol", ".gz", ".bz2", ".xz", ".zst")


def _set(
    blocks: Iterator[Any],
    pairs: list[tuple[bytes, bytes]],
    only_missing: bool,
    header: str,
    unreadable: Unreadable,
) -> Iterator[Any]:
    for block in blocks:
        try:
            for name, value in pairs:
                if only_missing and name in block:
                    continue
                block.set_record(name, value, header=header)
        except UNREADABLE as error:
            unreadable.failed(error)  # its records cannot be read: none was changed
        yield block


def _rename(
    blocks: Iterator[Any], renames: dict[bytes, bytes], force: bool, unreadable: Unreadable
) -> Iterator[Any]:
    for block in blocks:
        try:
            records = block.records()
        except UNREADABLE as error:
            unreadable.failed(error)
            yield block
            continue
        names = {name for name, _ in records}
        if names.intersection(renames):
            taken = [new for old, new in renames.items() if old in names and new in names]
            if taken and not force:
                new = taken[0].decode("utf-8", "replace")
                raise CommandError(
                    f"block titled {block.title.decode('utf-8', 'replace')!r} has a field {new!r} "
                    "already; --force renames onto it (the renamed record replaces it)"
                )
            kept = [(n, v) for n, v in records if not (force and n in taken and n not in renames)]
            # "copy" gives a renamed record the header line of the block's
            # first record, the name swapped: its style, not a plain one.
            block.replace_records(
                [(renames.get(name, name), value) for name, value in kept], header="copy"
            )
        yield block


def _drop(blocks: Iterator[Any], names: list[bytes], unreadable: Unreadable) -> Iterator[Any]:
    for block in blocks:
        try:
            for name in names:
                block.remove_record(name)
        except UNREADABLE as error:
            unreadable.failed(error)
        yield block


def _looks_like_a_file(item: str) -> bool:
    return os.path.exists(item) or item.lower().endswith(_FILE_ENDINGS)


def _edits_and_files(args: argparse.Namespace, what: str) -> list[tuple[bytes, bytes]]:
    """The edits (-e, or the leading NAME=VALUE items) and the input files.

    With -e every other argument is a file. Without it the leading items
    holding '=' are the edits, except after '--'; one that names a file, or
    looks like a file name, is refused rather than guessed."""
    items = list(args.items)
    files_from = len(items) - args.after_dashes
    edits = [name_value(text, what) for text in args.edits or []]
    if not edits:
        while len(edits) < files_from and "=" in items[0]:
            if _looks_like_a_file(items[0]):
                raise UsageError(
                    f"{items[0]!r} could be a file or an edit: give edits with -e "
                    f"(molvane {what} -e NAME=VALUE FILE)"
                )
            edits.append(name_value(items.pop(0), what))
    if not edits:
        raise UsageError(
            f"{what} needs at least one -e NAME=VALUE (or NAME=VALUE before the files)"
        )
    args.files = items or ["-"]
    return edits


def run_set(args: argparse.Namespace) -> int:
    pairs = _edits_and_files(args, "set")
    unreadable = Unreadable(args)
    write_blocks(
        args.output,
        _set(all_blocks(args), pairs, args.missing, args.header, unreadable),
        bgzf=args.bgzf,
    )
    unreadable.report("set", "left")
    return 0


def run_rename(args: argparse.Namespace) -> int:
    pairs = _edits_and_files(args, "rename")
    renames: dict[bytes, bytes] = {}
    for old, new in pairs:
        if not new:
            raise UsageError(f"rename takes OLD=NEW, not {old.decode() + '='!r}: NEW is empty")
        if new in renames.values():
            raise UsageError(f"rename gives two fields the name {new.decode()!r}")
        renames[old] = new
    unreadable = Unreadable(args)
    watch = Names(old.decode() for old in renames)
    blocks = _rename(watch.watching(all_blocks(args)), renames, args.force, unreadable)
    write_blocks(args.output, blocks, bgzf=args.bgzf)
    unreadable.report("rename", "left")
    watch.warn("rename")
    return 0


def run_drop(args: argparse.Namespace) -> int:
    names = [name for name in args.names.split(",") if name]
    unreadable = Unreadable(args)
    watch = Names(names)
    blocks = _drop(watch.watching(all_blocks(args)), [n.encode() for n in names], unreadable)
    write_blocks(args.output, blocks, bgzf=args.bgzf)
    unreadable.report("drop", "left")
    watch.warn("drop")
    return 0


def _edit_arguments(parser: argparse.ArgumentParser, form: str) -> None:
    parser.add_argument(
        "-e",
        "--edit",
        dest="edits",
        action="append",
        metavar=form,
        help=f"one edit {form} (repeat -e for more); with -e every other argument is a file",
    )
    parser.add_argument(
        "items",
        nargs="*",
        metavar="FILE",
        help=f"SD files (plain or compressed; none or '-' reads stdin). Without -e, leading {form} "
        "items are the edits, as long as none names or looks like a file; after '--' all are files",
    )


def register(sub: Any) -> None:
    setter = sub.add_parser(
        "set",
        help="set a field to a value in every block",
        description=textwrap.fill(
            "Set each NAME to VALUE in every block: an existing record keeps its header line and "
            "place (later ones of that name go), a new one is appended."
        ),
        epilog="example:\n  molvane set -e SOURCE=vendorA -e BATCH=7 library.sdf -o tagged.sdf",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _edit_arguments(setter, "NAME=VALUE")
    setter.add_argument(
        "--missing", action="store_true", help="only where the block lacks the field"
    )
    setter.add_argument(
        "--header",
        choices=["plain", "padded", "copy"],
        default="plain",
        help="header line of a new record: 'plain' (default) is '> <NAME>'; 'padded' puts two spaces "
        "after '>', as RDKit writes; 'copy' copies the block's first header with the name replaced",
    )
    add_errors(setter, "writes the block unchanged")
    add_output(setter)
    add_quiet(setter)
    setter.set_defaults(run=run_set)

    rename = sub.add_parser(
        "rename",
        help="rename fields",
        description=textwrap.fill(
            "Rename the fields OLD to NEW in every block, keeping their values and order. A block "
            "that has a field NEW already stops the run, unless --force (the renamed record then "
            "replaces it); an OLD no block has is warned about on stderr."
        ),
        epilog="example:\n  molvane rename -e 'IC50 (nM)=IC50' -e Smiles=SMILES library.sdf -o renamed.sdf",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _edit_arguments(rename, "OLD=NEW")
    rename.add_argument(
        "--force", action="store_true", help="rename onto a field of the block, replacing it"
    )
    add_errors(rename, "writes the block unchanged")
    add_output(rename)
    add_quiet(rename)
    rename.set_defaults(run=run_rename)

    drop = sub.add_parser(
        "drop",
        help="remove fields",
        description="Remove every record of the named fields from every block; a name no block has is "
        "warned about on stderr.",
        epilog="example: molvane drop COMMENT,INTERNAL_ID library.sdf.gz -o clean.sdf.gz",
    )
    drop.add_argument("names", metavar="FIELDS", help="comma-separated field names")
    add_inputs(drop)
    add_errors(drop, "writes the block unchanged")
    add_output(drop)
    add_quiet(drop)
    drop.set_defaults(run=run_drop)
