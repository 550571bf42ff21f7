"""Options and helpers shared by the subcommands."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from typing import Any

from molvane.cli.errors import UsageError
from molvane.cli.inputs import Source, sources
from molvane.cli.progress import Progress


def add_inputs(parser: argparse.ArgumentParser, *, many: bool = True) -> None:
    if many:
        parser.add_argument(
            "files",
            nargs="*",
            default=["-"],
            metavar="FILE",
            help="SD files, plain or gzip/bzip2/xz/zstd compressed; '-' or none reads stdin",
        )
    else:
        parser.add_argument(
            "file",
            metavar="FILE",
            help="an SD file, plain or compressed; '-' reads stdin",
        )


def add_output(parser: argparse.ArgumentParser, what: str = "the blocks") -> None:
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help=f"write {what} to FILE (compressed when it ends in .gz, .bz2, .xz or .zst) instead of stdout",
    )


def add_quiet(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress bar (it is drawn on stderr only when stderr is a terminal) and no summary",
    )


def progress_of(args: argparse.Namespace) -> Progress:
    return Progress(not getattr(args, "quiet", False))


def input_names(args: argparse.Namespace) -> list[str]:
    names = getattr(args, "files", None)
    if names is None:
        return [args.file]
    return list(names) or ["-"]


def all_blocks(args: argparse.Namespace, progress: Progress | None = None) -> Iterator[Any]:
    """Every block of the inputs, one stream (the reader itself for one input)."""
    progress = progress or progress_of(args)
    names = input_names(args)
    if len(names) == 1:
        source = Source(names[0])
        return progress.track(source.blocks, source.label)
    return _chained(names, progress)


def _chained(names: list[str], progress: Progress) -> Iterator[Any]:
    for source in sources(names):
        yield from progress.track(source.blocks, source.label)


def name_value(text: str, what: str) -> tuple[bytes, bytes]:
    """NAME=VALUE as bytes; the first '=' separates them."""
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise UsageError(f"{what} takes NAME=VALUE, not {text!r}")
    return name.encode(), value.encode()


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    # Counts index into streams and lists, which stop at the word size.
    if value > sys.maxsize:
        raise argparse.ArgumentTypeError(f"must be at most {sys.maxsize}, not {value}")
    return value


def positive(text: str) -> int:
    value = non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be 1 or more, not 0")
    return value


def title_of(block: Any) -> str:
    title = block.title
    text = title.decode("utf-8", "replace") if isinstance(title, bytes) else title
    return text if len(text) <= 60 else text[:57] + "..."
