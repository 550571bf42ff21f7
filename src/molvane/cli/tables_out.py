"""``cut``, ``to-csv``, ``to-jsonl`` and ``to-parquet``: SD data as tables.

The columns come from molvane's native table builder (``molvane.to_arrow``),
with its type inference (int64, float64 or text per column), and are written
by pyarrow, imported only here: without it these commands fail naming the
extra to install.
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import sys
from typing import Any

from molvane.cli.common import add_inputs, add_quiet, all_blocks, input_names
from molvane.cli.errors import UsageError
from molvane.cli.inputs import Source, check_path


def _pyarrow(module: str = "pyarrow") -> Any:
    # pyarrow ships no type information: its modules are Any here.
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(
            "this command needs pyarrow; install it with: pip install 'molvane[arrow]'"
        ) from None


def build_table(args: argparse.Namespace, columns: list[str] | None) -> Any:
    pa = _pyarrow()
    from molvane.tables import to_arrow

    options: dict[str, Any] = {
        "columns": columns,
        "title": args.title,
        "molblock": args.molblock,
        "types": args.types,
    }
    names = input_names(args)
    if len(names) == 1 and names[0] != "-":
        # One file by path, whatever it is (plain, compressed, a pipe): the
        # builder reads it without an SDBlock per block and checks the text
        # is UTF-8 as it goes.
        check_path(names[0])
        return to_arrow(names[0], **options)
    # stdin alone: the builder pulls from its reader, bytes blocks; several
    # inputs: bytes blocks in one stream, one table.
    blocks = Source(names[0]).blocks if names == ["-"] else all_blocks(args)
    table = to_arrow(blocks, **options)
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
        raise ValueError(f"a value is not UTF-8 text: {error}") from None


def _sink(path: str | None) -> Any:
    if path is None or path == "-":
        sys.stdout.flush()
        return sys.stdout.buffer
    return path


def write_csv(table: Any, path: str | None, delimiter: str) -> None:
    csv = _pyarrow("pyarrow.csv")
    options = csv.WriteOptions(delimiter=delimiter)
    sink = _sink(path)
    csv.write_csv(table, sink, write_options=options)
    if sink is sys.stdout.buffer:
        sink.flush()


def _json_value(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None  # JSON has no NaN or infinity
    return value


def write_jsonl(table: Any, path: str | None) -> None:
    out = (
        sys.stdout
        if path is None or path == "-"
        else open(path, "w", encoding="utf-8", newline="\n")
    )
    try:
        for batch in table.to_batches(max_chunksize=8192):
            for row in batch.to_pylist():
                out.write(
                    json.dumps({k: _json_value(v) for k, v in row.items()}, ensure_ascii=False)
                )
                out.write("\n")
        out.flush()
    finally:
        if out is not sys.stdout:
            out.close()


def _fields(text: str) -> list[str]:
    names = [name for name in text.split(",") if name]
    if not names:
        raise UsageError("cut needs at least one field name")
    return names


def run_cut(args: argparse.Namespace) -> int:
    table = build_table(args, _fields(args.fields))
    write_csv(table, args.output, "\t" if args.tsv else ",")
    return 0


def run_csv(args: argparse.Namespace) -> int:
    write_csv(build_table(args, None), args.output, "\t" if args.tsv else ",")
    return 0


def run_jsonl(args: argparse.Namespace) -> int:
    write_jsonl(build_table(args, None), args.output)
    return 0


def run_parquet(args: argparse.Namespace) -> int:
    table = build_table(args, None)
    parquet = _pyarrow("pyarrow.parquet")
    parquet.write_table(table, args.output, compression=args.compression)
    return 0


def _table_options(parser: argparse.ArgumentParser, *, output_required: bool = False) -> None:
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
        choices=["auto", "str"],
        default="auto",
        help="'auto' (default) types each column int, float or text from its values; 'str' keeps all as text",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        required=output_required,
        help="the file to write" + ("" if output_required else " (default stdout)"),
    )
    add_quiet(parser)


def register(sub: Any) -> None:
    cut = sub.add_parser(
        "cut",
        help="write chosen fields as CSV",
        description="Write the chosen SD data fields as CSV (or TSV), one row per block, in the order "
        "named; a block without a field leaves its cell empty.",
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
        description="Write every SD data field as a CSV column (in the order first seen), one row per block.",
        epilog="example: molvane to-csv --title library.sdf -o library.csv",
    )
    add_inputs(csv)
    csv.add_argument("--tsv", action="store_true", help="tab-separated instead of comma-separated")
    _table_options(csv)
    csv.set_defaults(run=run_csv)

    jsonl = sub.add_parser(
        "to-jsonl",
        help="write every block's fields as a JSON line",
        description="Write one JSON object per block, its SD data fields as keys: numbers for int and "
        "float columns, null where a block lacks the field (or a number is NaN or infinite).",
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
    _table_options(parquet, output_required=True)
    parquet.set_defaults(run=run_parquet)
