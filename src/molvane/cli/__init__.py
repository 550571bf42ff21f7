"""The ``molvane`` command line: everyday SD file chores from a shell.

``main(argv)`` runs one command and returns its exit status; ``run()`` is the
console script (and ``python -m molvane``). Exit statuses are grep's: 0 done,
1 something found (check's problems, filter --fail-if-empty matching
nothing), 2 a failure of any kind, usage errors included.

The parser is argparse: it is in the standard library, so the command line
adds no dependency to a package whose point is a small, fast core, and its
subcommands, help texts and usage errors cover everything needed here.
"""

from __future__ import annotations

import argparse
import importlib
import os
import re
import signal
import sys
from typing import Any, NoReturn

from molvane.cli.errors import CommandError, UsageError, one_line

PROG = "molvane"

# Command -> the module that defines it (in the order --help lists them).
# Only the module of the command being run is imported: a short command
# like count spends most of its time starting up.
COMMANDS = {
    "count": "count",
    "fields": "fields",
    "head": "select",
    "slice": "select",
    "sample": "select",
    "cut": "tables_out",
    "to-csv": "tables_out",
    "to-jsonl": "tables_out",
    "to-parquet": "tables_out",
    "filter": "filter",
    "split": "split",
    "cat": "cat",
    "set": "edit",
    "rename": "edit",
    "drop": "edit",
    "check": "check",
    "repair": "repair",
    "view": "view",
    "index": "index",
}

EPILOG = """\
Inputs are SD files, plain or gzip, bzip2, xz or zstd compressed (known by
their first bytes), or '-' (or nothing) for stdin. Blocks are written byte
for byte as read, to -o FILE (compressed when it ends in .gz, .bz2, .xz or
.zst) or stdout, so commands pipe into each other:

  molvane filter 'IC50 < 10' library.sdf.gz | molvane head -n 100 -o best.sdf
  molvane check library.sdf && molvane to-parquet library.sdf -o library.parquet

'--' ends the options: what follows is arguments even when it starts with
'-'. Exit status: 0 done, 1 something found (check's problems, filter
--fail-if-empty with no match), 2 any failure or usage error.
'molvane COMMAND --help' describes a command, with an example.
"""


# A negative slice ("-1", "-10:", "-5:-1,0"), told from an option and from
# "-" (stdin) by the digit or colon after its minus.
_SLICE = re.compile(r"-(?=[\d:])\d*(:-?\d*){0,2}(,-?\d*(:-?\d*){0,2})*$")


class _Parser(argparse.ArgumentParser):
    """An argparse parser whose usage errors are one line on stderr, exit status 2."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


def parser() -> argparse.ArgumentParser:
    return _parsers(list(COMMANDS))[0]


def _parsers(names: list[str]) -> tuple[argparse.ArgumentParser, dict[str, Any]]:
    """The top parser with the commands of `names` (and of their modules)."""
    from molvane import __version__

    top = _Parser(
        prog=PROG,
        description="Read, filter, convert, check and repair SD files (SDF) from the command line.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action="version", version=f"molvane {__version__}")
    sub = top.add_subparsers(title="commands", metavar="COMMAND", dest="command")
    sub.required = True
    for module in dict.fromkeys(COMMANDS[name] for name in names):
        importlib.import_module(f"molvane.cli.{module}").register(sub)
    return top, sub.choices


def parse(argv: list[str]) -> Any:
    """The arguments of a command line.

    A command's own arguments are parsed intermixed, so options may stand
    between or after the files (`molvane cut ID --title a.sdf b.sdf`), which
    plain argparse refuses once a command has two positional arguments.
    """
    if argv and argv[0] == "slice":
        # "-1" or "-10:" is a slice, not an option: a leading space keeps
        # argparse from taking it for one (the slice parser strips it).
        argv = [argv[0], *(" " + a if _SLICE.match(a) else a for a in argv[1:])]
    if argv and argv[0] in COMMANDS:
        _, commands = _parsers([argv[0]])
        args = commands[argv[0]].parse_intermixed_args(argv[1:])
        args.command = argv[0]
        # Everything after '--' is positional: set and rename read those as files.
        args.after_dashes = len(argv) - argv.index("--") - 1 if "--" in argv else 0
        return args
    return parser().parse_args(argv)


def _quiet_broken_pipe() -> None:
    # The reader went away (`molvane cat big.sdf | head`): point stdout at
    # /dev/null so the interpreter's final flush does not complain either.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None) -> int:
    """Run the command of `argv` (default sys.argv[1:]); its exit status."""
    try:
        args = parse(sys.argv[1:] if argv is None else list(argv))
        return int(args.run(args))
    except SystemExit as done:  # --help and --version
        return int(done.code or 0) if not isinstance(done.code, str) else 2
    except BrokenPipeError:
        _quiet_broken_pipe()
        return 0
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    except UsageError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except (
        CommandError,
        OSError,
        ValueError,
        EOFError,
        ImportError,
        NotImplementedError,
        UnicodeError,
        LookupError,
    ) as error:
        print(f"{PROG}: error: {one_line(error)}", file=sys.stderr)
        return 2
    except MemoryError as error:
        detail = one_line(error)
        detail = "" if detail == "MemoryError" else f" ({detail})"
        print(
            f"{PROG}: error: out of memory{detail}: the input needs more than this machine "
            "can give here",
            file=sys.stderr,
        )
        return 2
    except Exception as error:  # a fault of ours: still one line, with its kind
        print(
            f"{PROG}: error: internal error, please report it: {type(error).__name__}: {one_line(error)}",
            file=sys.stderr,
        )
        return 2


class _Terminated(BaseException):
    """SIGTERM or SIGHUP, raised where the command stands so that its
    temporary output files are removed on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _terminate(signum: int, _frame: Any) -> None:
    raise _Terminated(signum)


def run() -> NoReturn:
    """The console script."""
    if hasattr(signal, "SIGPIPE"):
        # Die quietly when the reader of stdout goes away, as cat does.
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    for name in ("SIGTERM", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), _terminate)
    try:
        status = main()
        ended_by = signal.SIGINT if status == 130 else None  # main's status for Ctrl-C
    except _Terminated as stop:
        ended_by = signal.Signals(stop.signum)
        status = 128 + stop.signum
    if ended_by is not None:
        # Cleaned up: now die of the signal, as its default action would,
        # so that the parent (a shell, a make) sees what ended the command.
        sys.stdout.flush()
        signal.signal(ended_by, signal.SIG_DFL)
        os.kill(os.getpid(), ended_by)
    sys.exit(status)
