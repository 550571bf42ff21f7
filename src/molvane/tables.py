"""SD files as tables: every block a row, every record name a column.

The columns are built by the compiled module without a Python object per
value and reach pyarrow, pandas and polars through the Arrow PyCapsule
interface. Those libraries are imported only by the functions that need
them; a missing one is an ImportError naming the extra that installs it.

Columns, in order: the title (``title="title"``, ``None`` leaves it out),
the records (every name in the order first seen across the input, or the
names of ``columns=`` in their order, an unseen one giving an all-null
column), then the molblock (``molblock=None`` leaves it out, a name adds it).
A block without a record has null there; of a name repeated in one block the
last value wins, as in ``SDBlock.to_dict()``. A record whose name is that of
the title or molblock column is a ValueError naming both. ``block=None``
(the default) or a name adds a last column holding each block's whole text,
which ``from_table(table, block=name)`` gives back byte for byte.

Paths are read from their mapping: ``start=`` and ``stop=`` keep the blocks
whose first byte lies in [start, stop) (consecutive ranges hold every block
once), and ``threads=`` (all cores by default) builds byte ranges cut on
block boundaries in parallel. The result equals the one-thread result:
rows in file order, columns in first-seen order, types inferred over whole
columns, the first bad block in file order raising. A threaded table comes
as one batch per range (``combine_chunks()`` joins them).

Types, with ``types="auto"``, per record column, spaces and tabs around a
value ignored:

- int64 when every non-empty value is ``[+-]?[0-9]+`` (leading zeros allowed)
  and lies in [-2**63, 2**63);
- else float64 when every non-empty value is a decimal or exponent float,
  ``[+-]?([0-9]+(\\.[0-9]*)?|\\.[0-9]+)([eE][+-]?[0-9]+)?``, or ``nan``, ``inf``,
  ``infinity`` in any case with an optional sign, and within double's range
  (``"1e999"`` is text, not inf);
- else, and for a column without any non-empty value, the values as written.

Empty values of a numeric column are null. ``types="str"`` keeps every
column as written. A mapping ``{name: "int" | "float" | "str"}`` gives the
named record columns that type (the others are inferred): an int column
takes the integers above, a float column integers and floats; any other
value raises ValueError naming the row, value and block with
``errors="raise"``, and becomes null with ``errors="skip"``. Str sources give UTF-8 string columns (text that is not
UTF-8 raises UnicodeDecodeError with a note naming the block); bytes sources
give binary columns.

``errors="skip"`` keeps the row of a block with a malformed data header but
leaves its records null; the table's schema metadata then holds the number
of such blocks under ``molvane.skipped``. ``errors="raise"`` (the default)
raises MalformedRecordError, whose note names the block.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Literal

from molvane import native as _native

__all__ = ["to_arrow", "to_pandas", "to_polars", "iter_batches", "from_table"]

# pyarrow, pandas and polars are optional and need not ship type information,
# so their objects are typed Any here.
_Name = str | bytes
_TypesOption = Literal["auto", "str"] | Mapping[_Name, Literal["int", "float", "str"]]

SKIPPED_KEY = b"molvane.skipped"


def _require(module: str, extra: str, what: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"molvane.{what} needs {module}; install it with: pip install 'molvane[{extra}]'"
        ) from error


def _is_source(source: Any) -> bool:
    """A path or file object, which parse_sdf reads (rather than SDBlocks)."""
    return isinstance(source, (str, bytes, os.PathLike)) or hasattr(source, "read")


def _reader(source: Any, start: int | None, stop: int | None) -> Any:
    """parse_sdf's iterator over `source`: the one place that sorts out what
    a source is. The table builder pulls its blocks straight from it, without
    an SDBlock each; for iterables of SDBlocks, the iterable itself."""
    if (start is not None or stop is not None) and not isinstance(
        source, (str, bytes, os.PathLike)
    ):
        raise TypeError(f"start= and stop= take a path, not {type(source).__name__}")
    if _is_source(source):
        return _native.parse_sdf(source, start=start, stop=stop)
    return source


def _check_options(
    columns: Sequence[_Name] | None,
    title: _Name | None,
    molblock: _Name | None,
    block: _Name | None = None,
) -> None:
    """Checks the table options before any input is opened: the module's own
    checks, run on no blocks."""
    _native._build_table((), columns=columns, title=title, molblock=molblock, block=block)


def _build(
    source: Any,
    columns: Sequence[_Name] | None,
    title: _Name | None,
    molblock: _Name | None,
    types: _TypesOption,
    errors: Literal["raise", "skip"],
    block: _Name | None = None,
    start: int | None = None,
    stop: int | None = None,
    threads: int | None = None,
    min_range: int | None = None,
) -> Any:
    options: dict[str, Any] = {
        "columns": columns,
        "title": title,
        "molblock": molblock,
        "block": block,
        "types": dict(types) if isinstance(types, Mapping) else types,
        "errors": errors,
    }
    return _native._build_table(
        _reader(source, start, stop),
        threads=threads if threads is not None else os.cpu_count(),
        _min_range=min_range,
        **options,
    )


def _as_arrow(pa: Any, built: Any) -> Any:
    # With errors="skip", the schema's metadata carries the count of skipped
    # blocks from the module itself, for every consumer.
    return pa.table(built)


def to_arrow(
    source: Any,
    *,
    columns: Sequence[_Name] | None = None,
    title: _Name | None = "title",
    molblock: _Name | None = None,
    block: _Name | None = None,
    types: _TypesOption = "auto",
    errors: Literal["raise", "skip"] = "raise",
    start: int | None = None,
    stop: int | None = None,
    threads: int | None = None,
    _min_range: int | None = None,
) -> Any:
    """The SD data of `source` as a pyarrow.Table, one row per block (see the module's doc).

    `source` is a path or file object, read as parse_sdf reads it, or an
    iterable of SDBlocks (a filtered list, say). `block` names a column of
    each block's whole text, from which from_table(block=...) gives the
    blocks back byte for byte.

    For a path: `start` and `stop` (byte offsets, None for the file's start
    and end) keep the blocks whose first byte lies in [start, stop), so that
    consecutive ranges hold every block once; `threads` (None: every core)
    build a mapped file's byte ranges in parallel, the result equal to the
    one-thread result.
    """
    pa = _require("pyarrow", "arrow", "to_arrow")
    built = _build(
        source, columns, title, molblock, types, errors, block, start, stop, threads, _min_range
    )
    return _as_arrow(pa, built)


def to_pandas(
    source: Any,
    *,
    columns: Sequence[_Name] | None = None,
    title: _Name | None = "title",
    molblock: _Name | None = None,
    block: _Name | None = None,
    types: _TypesOption = "auto",
    errors: Literal["raise", "skip"] = "raise",
    start: int | None = None,
    stop: int | None = None,
    threads: int | None = None,
) -> Any:
    """The SD data of `source` as a pandas.DataFrame, through pyarrow (see to_arrow).

    With ``errors="skip"``, ``frame.attrs["molvane.skipped"]`` holds the number
    of blocks whose records were skipped."""
    _require("pandas", "pandas", "to_pandas")
    _require("pyarrow", "pandas", "to_pandas")
    table = to_arrow(
        source,
        columns=columns,
        title=title,
        molblock=molblock,
        block=block,
        types=types,
        errors=errors,
        start=start,
        stop=stop,
        threads=threads,
    )
    frame = table.to_pandas()
    skipped = (table.schema.metadata or {}).get(SKIPPED_KEY)
    if skipped is not None:
        # pandas keeps no schema metadata: the count goes into the frame's attrs.
        frame.attrs[SKIPPED_KEY.decode()] = int(skipped)
    return frame


def to_polars(
    source: Any,
    *,
    columns: Sequence[_Name] | None = None,
    title: _Name | None = "title",
    molblock: _Name | None = None,
    block: _Name | None = None,
    types: _TypesOption = "auto",
    errors: Literal["raise", "skip"] = "raise",
    start: int | None = None,
    stop: int | None = None,
    threads: int | None = None,
) -> Any:
    """The SD data of `source` as a polars.DataFrame, taken without pyarrow (see to_arrow).

    With ``errors="skip"``, ``frame.attrs["molvane.skipped"]`` holds the number
    of blocks whose records were skipped, as for to_pandas: polars frames have
    no metadata of their own, so it is an attribute of the frame returned
    (frames that polars derives from it do not carry it)."""
    pl = _require("polars", "polars", "to_polars")
    built = _build(source, columns, title, molblock, types, errors, block, start, stop, threads)
    frame = pl.DataFrame(built)
    if errors == "skip":
        frame.attrs = {SKIPPED_KEY.decode(): built.skipped}
    return frame


def iter_batches(
    source: Any,
    batch_size: int = 65536,
    *,
    columns: Sequence[_Name] | None = None,
    title: _Name | None = "title",
    molblock: _Name | None = None,
    block: _Name | None = None,
    types: _TypesOption = "auto",
    errors: Literal["raise", "skip"] = "raise",
    start: int | None = None,
    stop: int | None = None,
    max_bytes: int = 64 << 20,
) -> Iterator[Any]:
    """pyarrow.RecordBatches of `batch_size` blocks each (the last may hold fewer).

    A batch also ends once its blocks hold `max_bytes` bytes of SD text
    (64 MiB by default; a batch holds at least one block), so a file of large
    blocks gives smaller batches: memory stays bounded by the batch, whatever
    the input's size and however large its blocks. Each batch
    has the columns and types of its own blocks; pass ``columns=`` (and
    ``types="str"`` where a column's values may change kind along the file)
    for batches of one schema. `start` and `stop` keep to a path's blocks
    whose first byte lies in [start, stop), as for to_arrow.
    """
    pa = _require("pyarrow", "arrow", "iter_batches")
    if not isinstance(batch_size, int) or isinstance(batch_size, bool) or batch_size < 1:
        raise ValueError("batch_size must be a positive int")
    if not isinstance(max_bytes, int) or isinstance(max_bytes, bool) or max_bytes < 1:
        raise ValueError("max_bytes must be a positive int")
    return _batches(
        pa,
        source,
        (batch_size, max_bytes),
        columns,
        title,
        molblock,
        block,
        types,
        errors,
        start,
        stop,
    )


def _batches(
    pa: Any,
    source: Any,
    batch_size: tuple[int, int],
    columns: Sequence[_Name] | None,
    title: _Name | None,
    molblock: _Name | None,
    block: _Name | None,
    types: _TypesOption,
    errors: Literal["raise", "skip"],
    start: int | None,
    stop: int | None,
) -> Iterator[Any]:
    options: dict[str, Any] = {
        "columns": columns,
        "title": title,
        "molblock": molblock,
        "block": block,
        "types": dict(types) if isinstance(types, Mapping) else types,
        "errors": errors,
    }
    reader = _reader(source, start, stop)
    if not isinstance(reader, _native._SDBlockIterator):
        reader = iter(reader)
    rows, most_bytes = batch_size
    while True:
        built = _native._build_table(reader, threads=1, limit=rows, max_bytes=most_bytes, **options)
        if built.num_rows == 0 and built.skipped == 0:
            return  # the input is done (a batch of only skipped blocks is not)
        yield pa.RecordBatchReader.from_stream(built).read_next_batch()


# The connection table of a row without a molblock: no atoms, no bonds.
_EMPTY_CTAB = "\n\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"


def _record_text(value: Any) -> str | bytes:
    """A cell as record text: ints as written, floats so that they read back equal."""
    if isinstance(value, (str, bytes)):
        return value
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, float):
        # repr() is the shortest text that reads back as the same float
        # ("nan", "inf" and "-inf" included).
        return repr(value)
    return str(value)


def _as_kind(value: str | bytes, as_bytes: bool) -> Any:
    if as_bytes:
        return value.encode() if isinstance(value, str) else value
    return value.decode() if isinstance(value, bytes) else value


def _arrow_table(pa: Any, table: Any) -> Any:
    if isinstance(table, pa.Table):
        return table
    if hasattr(table, "__arrow_c_stream__"):
        return pa.table(table)
    if type(table).__module__.startswith("pandas"):
        return pa.Table.from_pandas(table, preserve_index=False)
    raise TypeError(
        f"from_table() takes an Arrow table, an object with __arrow_c_stream__ or a pandas DataFrame, "
        f"not {type(table).__name__}"
    )


def from_table(
    table: Any,
    *,
    molblock: str | None = "molblock",
    title: str | None = "title",
    records: Sequence[str] | None = None,
    block: str | None = None,
) -> Iterator[_native.SDBlock[Any]]:
    """SDBlocks from the rows of a table, the way back from to_arrow.

    With `block` naming a column of whole block texts (to_arrow's
    ``block=``), a row whose value there is not null is that block, byte for
    byte, whatever its other columns hold; the other rows are built as below.

    `table` is a pyarrow.Table, any object with ``__arrow_c_stream__`` (a
    polars DataFrame, say) or a pandas DataFrame. Each row becomes a block:
    the `molblock` column (when the table has it and the row's value is not
    null) gives the title line and connection table, else the block gets an
    empty one; a non-null `title` cell then sets the title. The `records`
    columns (by default every other column, in order) become records in that
    order: ints as written, floats as the shortest text that reads back
    equal, bools as 1 or 0, text as it is; a null leaves the record out.
    Blocks are bytes blocks when the molblock column (or, without one, any
    record column) holds binary values, else str blocks.
    """
    pa = _require("pyarrow", "arrow", "from_table")
    arrow = _arrow_table(pa, table)
    names = list(arrow.column_names)
    if block is not None and block not in names:
        raise KeyError(f"the table has no column {block!r}")
    molblock_name = molblock if molblock is not None and molblock in names else None
    title_name = title if title is not None and title in names else None
    if records is None:
        record_names = [n for n in names if n not in (molblock_name, title_name, block)]
    else:
        record_names = list(records)
        missing = [n for n in record_names if n not in names]
        if missing:
            raise KeyError(f"the table has no column {missing[0]!r}")

    def is_binary(name: str) -> bool:
        kind = arrow.schema.field(name).type
        return bool(pa.types.is_binary(kind) or pa.types.is_large_binary(kind))

    if block is not None:
        as_bytes = is_binary(block)
    elif molblock_name is not None:
        as_bytes = is_binary(molblock_name)
    else:
        as_bytes = any(is_binary(n) for n in record_names)
    empty = _as_kind(_EMPTY_CTAB, as_bytes)
    encoded_names = [_as_kind(n, as_bytes) for n in record_names]
    return _rows_as_blocks(
        arrow, molblock_name, title_name, record_names, encoded_names, empty, as_bytes, block
    )


def _whole_block(text: Any, as_bytes: bool) -> Any:
    """The one block of a block column's text, as it is."""
    found = list(_native.SDBlock.from_sdf(_as_kind(text, as_bytes)))
    if len(found) != 1:
        raise ValueError(f"a block column value holds {len(found)} blocks, not one: {text[:80]!r}")
    return found[0]


def _rows_as_blocks(
    arrow: Any,
    molblock_name: str | None,
    title_name: str | None,
    record_names: list[str],
    encoded_names: list[Any],
    empty: Any,
    as_bytes: bool,
    block_name: str | None = None,
) -> Iterator[Any]:
    for batch in arrow.to_batches():
        count = batch.num_rows
        molblocks = batch.column(molblock_name).to_pylist() if molblock_name else [None] * count
        titles = batch.column(title_name).to_pylist() if title_name else [None] * count
        columns = [batch.column(name).to_pylist() for name in record_names]
        wholes = batch.column(block_name).to_pylist() if block_name else [None] * count
        for row in range(count):
            if wholes[row] is not None:
                yield _whole_block(wholes[row], as_bytes)
                continue
            text = molblocks[row]
            block_title = titles[row]
            if text is None:
                start = _as_kind(
                    _record_text(block_title) if block_title is not None else "", as_bytes
                )
                text = start + empty
                block_title = None
            pairs = [
                (name, _as_kind(_record_text(column[row]), as_bytes))
                for name, column in zip(encoded_names, columns)
                if column[row] is not None
            ]
            block = _native.SDBlock(_as_kind(text, as_bytes), pairs)
            if block_title is not None:
                wanted = _as_kind(_record_text(block_title), as_bytes)
                if block.title != wanted:
                    block.title = wanted
            yield block
