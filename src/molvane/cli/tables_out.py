"""``cut``, ``to-csv``, ``to-jsonl`` and ``to-parquet``: SD data as tables.

The text outputs (CSV, TSV, JSON lines) are built here from the blocks'
records, with the standard library only, and keep every value exactly as
written unless typing is asked for (``--types auto``, ``--types NAME=int``).
to-parquet goes through molvane's native table builder (``molvane.to_arrow``,
typed by default, as a Parquet column has a type) and pyarrow, imported only
there: without it that command fails naming the extra to install.

A table is built whole before its output is opened, so a run that stops on
a block it cannot read leaves no output file behind.
"""

from __future__ import annotations

import argparse
import codecs
import csv
import importlib
import json
import math
import re
import sys
from collections.abc import Iterator
from typing import IO, Any, NamedTuple

from molvane.cli.common import (
    UNREADABLE,
    Names,
    Unreadable,
    add_errors,
    add_inputs,
    add_quiet,
    all_blocks,
    input_names,
)
from molvane.cli.errors import CommandError, UsageError
from molvane.cli.inputs import Source, check_path
from molvane.cli.outputs import binary_output, text_output


def _pyarrow(module: str = "pyarrow") -> Any:
    # pyarrow ships no type information: its modules are Any here.
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(
            "this command needs pyarrow; install it with: pip install 'molvane[arrow]'"
        ) from None


# --- text tables, built here -------------------------------------------------------------

# The forms the native table builder types (spaces and tabs around ignored).
_INT = re.compile(rb"[+-]?[0-9]+")
_FLOAT = re.compile(rb"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_SPECIAL = re.compile(rb"[+-]?(?:nan|inf|infinity)", re.IGNORECASE)


def _as_int(value: bytes) -> int | None:
    text = value.strip(b" \t")
    if _INT.fullmatch(text):
        number = int(text)
        if -(2**63) <= number < 2**63:
            return number
    return None


def _as_float(value: bytes) -> float | None:
    text = value.strip(b" \t")
    if _FLOAT.fullmatch(text) or _SPECIAL.fullmatch(text):
        number = float(text)
        if not math.isinf(number) or _SPECIAL.fullmatch(text):
            return number
    return None


def _exact_as_float(value: bytes) -> bool:
    """Whether an integer's double is that integer (always so for other
    values): a column widens to float only where no value changes."""
    text = value.strip(b" \t")
    return not _INT.fullmatch(text) or int(float(text)) == int(text)


def parse_types(text: str) -> str | dict[str, str]:
    """--types: 'str', 'auto' or NAME=int|float|str,... (the first '=' of each item splits)."""
    if text in ("str", "auto"):
        return text
    kinds: dict[str, str] = {}
    for item in text.split(","):
        name, sep, kind = item.rpartition("=")
        if not sep or not name or kind not in ("int", "float", "str"):
            raise argparse.ArgumentTypeError(
                f"expected 'str', 'auto' or NAME=int|float|str,..., not {item!r}"
            )
        kinds[name] = kind
    return kinds


class Table:
    """Rows of a text table: bytes values (None where a block lacks the
    field), typed on request once every row is in."""

    def __init__(self, names: list[str], rows: list[list[bytes | None]]) -> None:
        self.names = names
        self.rows = rows

    def typed(self, types: str | dict[str, str], fixed: int) -> list[str]:
        """Convert the columns from `fixed` on as asked; each column's kind."""
        kinds = ["str"] * len(self.names)
        for column in range(fixed, len(self.names)):
            name = self.names[column]
            if isinstance(types, dict):
                kind = types.get(name, "str")
            elif types == "auto":
                kind = self._inferred(column)
            else:
                kind = "str"
            kinds[column] = kind
        for column, kind in enumerate(kinds):
            if kind != "str":
                self._convert(column, kind)
        return kinds

    def _inferred(self, column: int) -> str:
        values = [row[column] for row in self.rows]
        filled = [v for v in values if v is not None and v.strip(b" \t")]
        if not filled:
            return "str"
        if all(_as_int(v) is not None for v in filled):
            return "int"
        if all(_as_float(v) is not None and _exact_as_float(v) for v in filled):
            return "float"
        return "str"

    def _convert(self, column: int, kind: str) -> None:
        convert = _as_int if kind == "int" else _as_float
        for number, row in enumerate(self.rows):
            value = row[column]
            if value is None or not value.strip(b" \t"):
                row[column] = None
                continue
            converted = convert(value)
            if converted is None:
                raise CommandError(
                    f"row {number}: {self.names[column]} {value.decode('utf-8', 'replace')!r} "
                    f"is not {'an int' if kind == 'int' else 'a float'}"
                )
            row[column] = converted  # type: ignore[call-overload]


class Rows(NamedTuple):
    names: list[str]  # the record columns
    rows: list[list[bytes | None]]  # title, records, molblock
    known: list[bytes]  # names of the first blocks


def build_text_table(args: argparse.Namespace, columns: list[str] | None) -> Table:
    """The rows of the inputs: the title, the record columns (those named
    or every name in the order first seen), the molblock; every value
    bytes as written, checked to be UTF-8 text before anything is written."""
    built = _python_rows(args, columns)
    head = ["title"] if args.title else []
    tail = ["molblock"] if args.molblock else []
    clash = set(built.names) & {*head, *tail}
    if clash:
        raise CommandError(
            f"a field is named {sorted(clash)[0]!r}, as the title or molblock column; "
            "leave out --title or --molblock"
        )
    rows = _text_rows(args, built.rows)
    if columns is not None:
        _warn_missing(args, columns, rows, len(head), built.known)
    table = Table(head + built.names + tail, rows)
    types = args.types
    if isinstance(types, dict):
        unknown = [name for name in types if name not in built.names]
        if unknown:
            raise UsageError(f"--types names {unknown[0]!r}, which is not a column")
    table.typed(types, len(head))
    return table


def _python_rows(args: argparse.Namespace, columns: list[str] | None) -> Rows:
    unreadable = Unreadable(args)
    encoding = getattr(args, "encoding", "utf-8")
    keys = [name.encode(encoding) for name in columns] if columns is not None else None
    order: dict[bytes, None] = {}
    known: dict[bytes, None] = {}
    rows: list[list[bytes | None]] = []
    records: list[dict[bytes, bytes]] = []
    for number, block in enumerate(all_blocks(args)):
        try:
            fields = block.to_dict()
        except UNREADABLE as error:
            unreadable.failed(error)
            continue
        if number < Names.KEEP:
            known.update(dict.fromkeys(fields))
        head: list[bytes | None] = [block.title] if args.title else []
        tail: list[bytes | None] = [block.molblock] if args.molblock else []
        if keys is not None:
            rows.append([*head, *[fields.get(key) for key in keys], *tail])
        else:
            order.update(dict.fromkeys(fields))
            records.append(fields)
            rows.append([*head, *tail])
    unreadable.report(args.command)
    if keys is None:
        keys = list(order)
        split = 1 if args.title else 0
        for row, fields in zip(rows, records):
            row[split:split] = [fields.get(key) for key in keys]
    encoding = getattr(args, "encoding", "utf-8")
    try:
        names = [key.decode(encoding) for key in keys]
    except UnicodeDecodeError as error:
        shown = error.object.decode("utf-8", "backslashreplace")
        raise CommandError(
            f"a field name is not {encoding} text: {shown!r} (--encoding NAME reads another encoding)"
        ) from None
    return Rows(names, rows, list(known))


def _text_rows(
    args: argparse.Namespace, rows: list[list[bytes | None]]
) -> list[list[bytes | None]]:
    """`rows` once every value is known to be text in --encoding, as UTF-8:
    checked in one go, and row by row only to name the row at fault (or
    leave it out)."""
    encoding = getattr(args, "encoding", "utf-8")
    utf8 = codecs.lookup(encoding).name == "utf-8"
    if utf8:
        try:
            b"".join([value for row in rows for value in row if value is not None]).decode("utf-8")
            return rows
        except UnicodeDecodeError:
            pass
    unreadable = Unreadable(args)
    kept = []
    for number, row in enumerate(rows):
        try:
            text = [None if value is None else value.decode(encoding) for value in row]
        except UnicodeDecodeError as error:
            error.add_note(f"In row {number} of the table.")
            if utf8:
                error.add_note("--encoding NAME reads text in another encoding.")
            unreadable.failed(error)
            continue
        kept.append(row if utf8 else [None if v is None else v.encode("utf-8") for v in text])
    unreadable.report(args.command)
    return kept


def _warn_missing(
    args: argparse.Namespace,
    columns: list[str],
    rows: list[list[bytes | None]],
    first: int,
    known: list[bytes],
) -> None:
    """A warning for each named column no row has a value in."""
    missing = [
        name for index, name in enumerate(columns, first) if all(row[index] is None for row in rows)
    ]
    if not missing:
        return
    watch = Names(missing)
    watch.known = dict.fromkeys(known)
    watch.warn(args.command)


def _cell(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode("utf-8")
    return "" if value is None else value


def _json_value(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode("utf-8")
    if isinstance(value, float) and not math.isfinite(value):
        return None  # JSON has no NaN or infinity
    return value


# --- Parquet, through the native builder and pyarrow -----------------------------------------


def build_table(args: argparse.Namespace, columns: list[str] | None) -> Any:
    _pyarrow()  # where pyarrow is missing, the error names the extra before any work
    from molvane.tables import to_arrow

    types = "auto" if args.types is None else args.types
    options: dict[str, Any] = {
        "columns": columns,
        "title": args.title,
        "molblock": args.molblock,
        "types": types,
    }
    names = input_names(args)
    skip = args.errors == "skip"
    if not skip and len(names) == 1 and names[0] != "-":
        # One file by path, whatever it is (plain, compressed, a pipe): the
        # builder reads it without an SDBlock per block and checks the text
        # is UTF-8 as it goes.
        check_path(names[0])
        return to_arrow(names[0], **options)
    if not skip and names == ["-"]:
        # stdin alone: the builder pulls bytes blocks from its reader.
        return as_text_columns(to_arrow(Source("-").blocks, **options))
    # Several inputs, or blocks to pass over: bytes blocks in one stream, one table.
    unreadable = Unreadable(args)

    def readable() -> Iterator[Any]:
        for block in all_blocks(args):
            try:
                block.records()
                if skip:
                    bytes(block).decode("utf-8")
            except UNREADABLE as error:
                unreadable.failed(error)
                continue
            yield block

    table = to_arrow(readable(), **options)
    unreadable.report(args.command)
    return as_text_columns(table)


def as_text_columns(table: Any, advice: str = "") -> Any:
    """The table with its binary columns cast to UTF-8 strings, which CSV and
    Parquet want; ValueError (with `advice` after the reason) where a value
    is not UTF-8."""
    pa = _pyarrow()
    fields = []
    for field in table.schema:
        if pa.types.is_binary(field.type):
            field = field.with_type(pa.string())
        elif pa.types.is_large_binary(field.type):
            field = field.with_type(pa.large_string())
        fields.append(field)
    try:
        return table.cast(pa.schema(fields, metadata=table.schema.metadata))
    except pa.ArrowInvalid as error:
        raise ValueError(f"a value is not UTF-8 text{advice}: {error}") from None


def _to_stdout(path: str | None) -> bool:
    return path is None or path == "-"


def _write_text(path: str | None, emit: Any) -> None:
    """Text to stdout, or to the path through a temporary that replaces it
    only once the whole text is written."""
    if _to_stdout(path):
        emit(sys.stdout)
        sys.stdout.flush()
        return
    assert path is not None
    with text_output(path) as out:
        emit(out)


def write_csv(table: Table, path: str | None, delimiter: str) -> None:
    def emit(out: IO[str]) -> None:
        writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
        writer.writerow(table.names)
        for row in table.rows:
            writer.writerow([_cell(value) for value in row])

    _write_text(path, emit)


def write_jsonl(table: Table, path: str | None) -> None:
    names = table.names

    def emit(out: IO[str]) -> None:
        for row in table.rows:
            record = {name: _json_value(value) for name, value in zip(names, row)}
            out.write(json.dumps(record, ensure_ascii=False))
            out.write("\n")

    _write_text(path, emit)


def _fields(text: str) -> list[str]:
    names = [name for name in text.split(",") if name]
    if not names:
        raise UsageError("cut needs at least one field name")
    return names


def run_cut(args: argparse.Namespace) -> int:
    table = build_text_table(args, _fields(args.fields))
    write_csv(table, args.output, "\t" if args.tsv else ",")
    return 0


def run_csv(args: argparse.Namespace) -> int:
    write_csv(build_text_table(args, None), args.output, "\t" if args.tsv else ",")
    return 0


def run_jsonl(args: argparse.Namespace) -> int:
    write_jsonl(build_text_table(args, None), args.output)
    return 0


def run_parquet(args: argparse.Namespace) -> int:
    table = build_table(args, None)
    parquet = _pyarrow("pyarrow.parquet")
    with binary_output(args.output) as temporary:
        parquet.write_table(table, temporary, compression=args.compression)
    return 0


def _table_options(
    parser: argparse.ArgumentParser, *, output_required: bool = False, typed: bool = False
) -> None:
    parser.add_argument(
        "--title",
        action="store_const",
        const="title",
        default=None,
        help="add the title line as a first column, named 'title'",
    )
    parser.add_argument(
        "--molblock",
        action="store_const",
        const="molblock",
        default=None,
        help="add the molblock (title, header and connection table) as a last column, named 'molblock'",
    )
    parser.add_argument(
        "--types",
        type=parse_types,
        default=None if typed else "str",
        metavar="TYPES",
        help="'str' keeps every value as written"
        + (" (default for text outputs)" if not typed else "")
        + "; 'auto' types each column int, float or text from its values"
        + (" (default)" if typed else "")
        + "; NAME=int,NAME=float,... types the named columns"
        + (", the others inferred" if typed else ", the others kept as written"),
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        required=output_required,
        help="the file to write, '-' for stdout"
        + (
            ""
            if output_required
            else " (the default); compressed when it ends in .gz, .bz2, .xz or .zst"
        ),
    )
    if not typed:
        parser.add_argument(
            "--encoding",
            type=_encoding,
            default="utf-8",
            metavar="NAME",
            help="the text encoding of the input's names and values, e.g. latin-1 or cp1252 "
            "(default utf-8); the output is UTF-8",
        )
    add_errors(parser, "leaves its row out")
    add_quiet(parser)


def _encoding(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding {text!r}") from None


def register(sub: Any) -> None:
    cut = sub.add_parser(
        "cut",
        help="write chosen fields as CSV",
        description="Write the chosen SD data fields as CSV (or TSV), one row per block, in the order "
        "named, each value exactly as written (unless --types asks for numbers); a block without a "
        "field leaves its cell empty. A name no block has is warned about on stderr.",
        epilog="example: molvane cut ID,IC50,SMILES --title library.sdf.gz -o hits.csv",
    )
    cut.add_argument("fields", metavar="FIELDS", help="comma-separated field names")
    add_inputs(cut)
    cut.add_argument("--tsv", action="store_true", help="tab-separated instead of comma-separated")
    _table_options(cut)
    cut.set_defaults(run=run_cut)

    csv = sub.add_parser(
        "to-csv",
        help="write every field as CSV",
        description="Write every SD data field as a CSV column (in the order first seen), one row per "
        "block, each value exactly as written (unless --types asks for numbers).",
        epilog="example: molvane to-csv --title library.sdf -o library.csv",
    )
    add_inputs(csv)
    csv.add_argument("--tsv", action="store_true", help="tab-separated instead of comma-separated")
    _table_options(csv)
    csv.set_defaults(run=run_csv)

    jsonl = sub.add_parser(
        "to-jsonl",
        help="write every block's fields as a JSON line",
        description="Write one JSON object per block, its SD data fields as keys: each value a string "
        "as written (with --types, numbers for int and float columns), null where a block lacks the "
        "field (or a number is NaN or infinite).",
        epilog="example: molvane to-jsonl library.sdf.gz | jq .ID",
    )
    add_inputs(jsonl)
    _table_options(jsonl)
    jsonl.set_defaults(run=run_jsonl)

    parquet = sub.add_parser(
        "to-parquet",
        help="write every field to a Parquet file",
        description="Write the SD data as a Parquet file: one row per block, one typed column per field.",
        epilog="example: molvane to-parquet --molblock library.sdf.gz -o library.parquet",
    )
    add_inputs(parquet)
    parquet.add_argument(
        "--compression",
        default="snappy",
        choices=["snappy", "zstd", "gzip", "lz4", "brotli", "none"],
        help="Parquet column compression (default snappy)",
    )
    _table_options(parquet, output_required=True, typed=True)
    parquet.set_defaults(run=run_parquet)
