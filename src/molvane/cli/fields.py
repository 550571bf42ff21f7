"""``molvane fields``: which SD data records the blocks carry."""

from __future__ import annotations

import argparse
from typing import Any

from molvane.cli.common import (
    UNREADABLE,
    Unreadable,
    add_errors,
    add_inputs,
    add_quiet,
    all_blocks,
    plural,
)


def kind_of(value: bytes, kind: str) -> str:
    """The narrowest of int < float < text that holds `value` and every value before."""
    text = value.strip()
    if not text or kind == "text":
        return kind
    if kind in ("", "int"):
        try:
            int(text)
            return "int"
        except ValueError:
            pass
    try:
        float(text)
        return "float"
    except ValueError:
        return "text"


def shown(value: bytes, width: int | None = 40) -> str:
    """`value` on one line, cut to `width` (None: whole, as field names are)."""
    text = value.decode("utf-8", "replace").replace("\r", "").replace("\n", "\\n")
    return text if width is None or len(text) <= width else text[: width - 3] + "..."


def run(args: argparse.Namespace) -> int:
    total = 0
    carried: dict[bytes, int] = {}
    kinds: dict[bytes, str] = {}
    examples: dict[bytes, bytes] = {}
    unreadable = Unreadable(args)
    for block in all_blocks(args):
        try:
            records = block.records()
        except UNREADABLE as error:
            unreadable.failed(error)
            continue
        total += 1
        seen: set[bytes] = set()
        for name, value in records:
            if name in seen:
                continue
            seen.add(name)
            carried[name] = carried.get(name, 0) + 1
            kinds[name] = kind_of(value, kinds.get(name, ""))
            if name not in examples and value.strip():
                examples[name] = value
    rows: list[tuple[str, ...]] = [("field", "blocks", "fill", "type", "example")]
    for name, count in carried.items():
        rows.append(
            (
                shown(name, None),
                str(count),
                f"{100 * count / max(total, 1):.1f}%",
                kinds[name] or "empty",
                shown(examples.get(name, b"")),
            )
        )
    if args.tsv:
        for row in rows:
            print("\t".join(row))
    else:
        widths = [max(len(row[i]) for row in rows) for i in range(4)]
        for row in rows:
            print(
                "  ".join(
                    [
                        row[0].ljust(widths[0]),
                        row[1].rjust(widths[1]),
                        row[2].rjust(widths[2]),
                        row[3].ljust(widths[3]),
                        row[4],
                    ]
                ).rstrip()
            )
        if not args.quiet:
            print(f"{plural(total, 'block')}, {plural(len(carried), 'field')}")
    unreadable.report("fields")
    return 0


def register(sub: Any) -> None:
    parser = sub.add_parser(
        "fields",
        help="list the SD data fields with fill rate, type and an example",
        description="List every SD data field (record name) in the order first seen, with how many "
        "blocks carry it, the fill rate, the type its values fit (int, float or text, empty values "
        "aside) and a first non-empty value.",
        epilog="example: molvane fields library.sdf",
    )
    add_inputs(parser)
    parser.add_argument(
        "--tsv", action="store_true", help="tab-separated output without the summary line"
    )
    add_errors(parser, "leaves the block out of the counts")
    add_quiet(parser)
    parser.set_defaults(run=run)
