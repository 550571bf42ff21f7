"""Summarise SD files: ``python -m molvane FILE [FILE ...]``.

Streams every block of each file and prints how many blocks it holds, how
many of them carry records, and how often each record name occurs.
"""

from __future__ import annotations

import argparse
import collections
import os
import sys

from molvane import parse_sdf


def summarise(path: str, top: int) -> str:
    names: collections.Counter[bytes] = collections.Counter()
    blocks = with_records = 0
    for block in parse_sdf(os.fsencode(path)):
        blocks += 1
        block_names = block.names()
        if block_names:
            with_records += 1
        names.update(block_names)
    lines = [f"{path}: {blocks} blocks, {with_records} with SD data records"]
    for name, count in names.most_common(top):
        lines.append(f"  {count:>9}  {name.decode('utf-8', 'replace')}")
    if len(names) > top:
        lines.append(f"  ... and {len(names) - top} more record names")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m molvane", description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="+", help="SD files to read")
    parser.add_argument("--top", type=int, default=10, help="record names to list per file")
    args = parser.parse_args(argv)
    for path in args.files:
        print(summarise(path, args.top))
    return 0


if __name__ == "__main__":
    sys.exit(main())
