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
the title or molblock column is a ValueError naming both.

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
column as written. Str sources give UTF-8 string columns (text that is not
UTF-8 raises UnicodeDecodeError with a note naming the block); bytes sources
give binary columns.

``errors="skip"`` keeps the row of a block with a malformed data header but
leaves its records null; the table's schema metadata then holds the number
of such blocks under ``molvane.skipped``. ``errors="raise"`` (the default)
raises MalformedRecordError, whose note names the block.
"""

from __future__ import annotations

import importlib
import itertools
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Literal

from molvane import native as _native

__all__ = ["to_arrow", "to_pandas", "to_polars", "iter_batches"]

# pyarrow, pandas and polars are optional and need not ship type information,
# so their objects are typed Any here.
_Name = str | bytes

SKIPPED_KEY = b"molvane.skipped"


def _require(module: str, extra: str, what: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"molvane.{what} needs {module}; install it with: pip install 'molvane[{extra}]'"
        ) from error


def _blocks(source: Any) -> Iterable[Any]:
    """The SDBlocks of `source`: a path or file object for parse_sdf, or SDBlocks."""
    if isinstance(source, (str, bytes, os.PathLike)) or hasattr(source, "read"):
        return _native.parse_sdf(source)
    return source


def _check_options(columns: Sequence[_Name] | None, title: _Name | None, molblock: _Name | None) -> None:
    if columns is None:
        return
    if isinstance(columns, (str, bytes)):
        raise TypeError("columns must be a sequence of names, not a single name")
    seen: set[_Name] = set()
    for name in columns:
        if name in seen:
            raise ValueError(f"columns names {name!r} twice")
        seen.add(name)


def _build(
    source: Any,
    columns: Sequence[_Name] | None,
    title: _Name | None,
    molblock: _Name | None,
    types: Literal["auto", "str"],
    errors: Literal["raise", "skip"],
) -> Any:
    options: dict[str, Any] = {
        "columns": columns,
        "title": title,
        "molblock": molblock,
        "types": types,
        "errors": errors,
    }
    if isinstance(source, (str, bytes, os.PathLike)):
        # A mapped file feeds the builder without an SDBlock per block.
        built = _native._build_table_from_path(os.fspath(source), **options)
        if built is not None:
            return built
    return _native._build_table(_blocks(source), **options)


def _as_arrow(pa: Any, built: Any, errors: Literal["raise", "skip"]) -> Any:
    table = pa.table(built)
    if errors == "skip":
        table = table.replace_schema_metadata({SKIPPED_KEY: str(built.skipped).encode()})
    return table


def to_arrow(
    source: Any,
    *,
    columns: Sequence[_Name] | None = None,
    title: _Name | None = "title",
    molblock: _Name | None = None,
    types: Literal["auto", "str"] = "auto",
    errors: Literal["raise", "skip"] = "raise",
) -> Any:
    """The SD data of `source` as a pyarrow.Table, one row per block (see the module's doc).

    `source` is a path or file object, read as parse_sdf reads it, or an
    iterable of SDBlocks (a filtered list, say).
    """
    pa = _require("pyarrow", "arrow", "to_arrow")
    _check_options(columns, title, molblock)
    built = _build(source, columns, title, molblock, types, errors)
    return _as_arrow(pa, built, errors)


def to_pandas(
    source: Any,
    *,
    columns: Sequence[_Name] | None = None,
    title: _Name | None = "title",
    molblock: _Name | None = None,
    types: Literal["auto", "str"] = "auto",
    errors: Literal["raise", "skip"] = "raise",
) -> Any:
    """The SD data of `source` as a pandas.DataFrame, through pyarrow (see to_arrow)."""
    _require("pandas", "pandas", "to_pandas")
    _require("pyarrow", "pandas", "to_pandas")
    table = to_arrow(source, columns=columns, title=title, molblock=molblock, types=types, errors=errors)
    return table.to_pandas()


def to_polars(
    source: Any,
    *,
    columns: Sequence[_Name] | None = None,
    title: _Name | None = "title",
    molblock: _Name | None = None,
    types: Literal["auto", "str"] = "auto",
    errors: Literal["raise", "skip"] = "raise",
) -> Any:
    """The SD data of `source` as a polars.DataFrame, taken without pyarrow (see to_arrow)."""
    pl = _require("polars", "polars", "to_polars")
    _check_options(columns, title, molblock)
    built = _build(source, columns, title, molblock, types, errors)
    return pl.DataFrame(built)


def iter_batches(
    source: Any,
    batch_size: int = 65536,
    *,
    columns: Sequence[_Name] | None = None,
    title: _Name | None = "title",
    molblock: _Name | None = None,
    types: Literal["auto", "str"] = "auto",
    errors: Literal["raise", "skip"] = "raise",
) -> Iterator[Any]:
    """pyarrow.RecordBatches of `batch_size` blocks each (the last may hold fewer).

    Memory stays bounded by the batch, whatever the input's size. Each batch
    has the columns and types of its own blocks; pass ``columns=`` (and
    ``types="str"`` where a column's values may change kind along the file)
    for batches of one schema.
    """
    pa = _require("pyarrow", "arrow", "iter_batches")
    if not isinstance(batch_size, int) or isinstance(batch_size, bool) or batch_size < 1:
        raise ValueError("batch_size must be a positive int")
    _check_options(columns, title, molblock)
    blocks = iter(_blocks(source))
    while True:
        chunk = list(itertools.islice(blocks, batch_size))
        if not chunk:
            return
        built = _build(chunk, columns, title, molblock, types, errors)
        reader = pa.RecordBatchReader.from_stream(built)
        batch = reader.read_next_batch()
        if errors == "skip":
            batch = batch.replace_schema_metadata({SKIPPED_KEY: str(built.skipped).encode()})
        yield batch
