"""Options and helpers shared by the subcommands."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterable, Iterator
from typing import Any

from molvane import native
from molvane.cli.errors import CommandError, UsageError, one_line
from molvane.cli.inputs import Source, sources
from molvane.cli.progress import Progress


def add_inputs(parser: argparse.ArgumentParser, *, many: bool = True) -> None:
    if many:
        parser.add_argument(
            "files",
            nargs="*",
            default=["-"],
            metavar="FILE",
            help="SD files or URLs (s3://, https://, ... through fsspec), plain or "
            "gzip/bzip2/xz/zstd compressed; '-' or none reads stdin",
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
        help=f"write {what} to FILE (compressed when it ends in .gz, .bz2, .xz or .zst, in any case) "
        "instead of stdout ('-')",
    )
    parser.add_argument(
        "--bgzf",
        action="store_true",
        help="write a .gz FILE as BGZF (blocked gzip, as bgzip writes), which SDFile, shards "
        "and Dask read at any block",
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
    names = list(names) or ["-"]
    if names.count("-") > 1:
        # A second '-' would read an exhausted stdin: nothing, silently.
        raise UsageError("stdin ('-') can be read only once")
    return names


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


def add_errors(parser: argparse.ArgumentParser, skipped: str) -> None:
    parser.add_argument(
        "--errors",
        choices=["raise", "skip"],
        default="raise",
        help="on a block that cannot be read (a malformed data header): 'raise' (default) stops "
        f"with exit status 2 naming it, 'skip' {skipped} and reports how many on stderr",
    )


# What a block that cannot be read raises when a command reads its records.
UNREADABLE = (native.MalformedRecordError, UnicodeDecodeError)


class Unreadable:
    """The blocks a run could not read: raised as one line naming the block
    (--errors raise), or counted and reported at the end (--errors skip)."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.skip = getattr(args, "errors", "raise") == "skip"
        self.count = 0

    def failed(self, error: Exception) -> None:
        """Called in an except clause: counts the block, or raises."""
        if not self.skip:
            raise CommandError(
                f"{one_line(error)} (--errors skip passes over such blocks)"
            ) from error
        self.count += 1

    def report(self, command: str, what: str = "skipped") -> None:
        if self.count:
            print(
                f"molvane: {command}: {what} {plural(self.count, 'block')} that could not be read",
                file=sys.stderr,
            )


class Names:
    """Watches for field names the user gave that no block carries.

    Each name is looked up until a block has it; the names of the first
    blocks are kept meanwhile, to suggest the closest ones at the end."""

    KEEP = 1000

    def __init__(self, names: Iterable[str]) -> None:
        self.missing = {name.encode(): name for name in names}
        self.known: dict[bytes, None] = {}
        self._looked = 0

    def see(self, block: Any) -> None:
        if not self.missing:
            return
        try:
            for key in [key for key in self.missing if key in block]:
                del self.missing[key]
            if self._looked < self.KEEP:
                self._looked += 1
                self.known.update(dict.fromkeys(block.names()))
        except UNREADABLE:
            pass  # the command itself reports such blocks

    def watching(self, blocks: Iterable[Any]) -> Iterator[Any]:
        """`blocks`, each looked at until every name has been found."""
        blocks = iter(blocks)
        if self.missing:
            for block in blocks:
                self.see(block)
                yield block
                if not self.missing:
                    break
        yield from blocks

    def warn(self, command: str) -> None:
        if not self.missing:
            return
        import difflib  # only here: it would slow every command's start

        known = [name.decode("utf-8", "replace") for name in self.known]
        for name in self.missing.values():
            close = difflib.get_close_matches(name, known, n=3, cutoff=0.6)
            close += [k for k in known if k.lower() == name.lower() and k not in close]
            hint = f"; closest: {', '.join(close)}" if close else ""
            print(
                f"molvane: {command}: warning: no block has a field {name!r}{hint}", file=sys.stderr
            )


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


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
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def title_of(block: Any) -> str:
    title = block.title
    text = title.decode("utf-8", "replace") if isinstance(title, bytes) else title
    return text if len(text) <= 60 else text[:57] + "..."
