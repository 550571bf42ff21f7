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
  (``"1e999"`` is text, not inf), and every integer among them is one that a
  double holds exactly (``"9007199254740993"`` beside ``"1.5"`` would read
  back as another number, so such a column is text; an integer beyond int64
  is float64 only where exact);
- else, and for a column without any non-empty value, the values as written.

The rule is the same for one thread, for byte ranges built in parallel, for
scans and for the parts of a Dask frame: int and float widen to float64 only
while no value changes, and a column that is text anywhere is text everywhere.

``schema=`` fixes the columns and types before the blocks are built:
``"scan"`` reads every block's record names and the kinds of their values
first (no table is built; a mapped file in parallel byte ranges) and types
each column over all of them, as a whole build would; ``"sample"`` does so
for the blocks in the first ``sample`` bytes only (a record that comes later
then raises ValueError naming it, and a value that does not fit its sample
type raises ValueError, or is null with ``errors="skip"``); a pyarrow
schema or a mapping ``{name: "int" | "float" | "str"}`` gives the record
columns and types itself (the title, molblock and block columns still come
from their options, and records it does not name are left out, as with
``columns=``). ``scan_schema`` gives the scan's result as a pyarrow schema.
``columns=`` restricts what a scan or sample looks at; a ``types=`` mapping
wins for the columns it names, and ``types="str"`` keeps every column text.

Empty values of a numeric column are null. ``types="str"`` keeps every
column as written. A mapping ``{name: "int" | "float" | "str"}`` gives the
named record columns that type (the others are inferred): an int column
takes the integers above, a float column integers and floats; any other
value raises ValueError naming the row, value and block with
``errors="raise"``, and becomes null with ``errors="skip"``. Str sources give UTF-8 string columns (text that is not
UTF-8 raises UnicodeDecodeError with a note naming the block); bytes sources
give binary columns.

Numbers keep their text: a typed column's field metadata holds, under
``molvane.texts``, the text of each value written otherwise than from_table
writes its number (lines: the number as from_table writes it, then the text
as read; of one number written two ways, the first). to_pandas puts them in
``frame.attrs["molvane.texts"]``; from_table writes an int or float cell
from them, so untouched values come back as written. to_pandas gives every
column its Arrow-backed pandas dtype (``pandas.ArrowDtype``, text as
``pandas.StringDtype("pyarrow")``): ints with nulls stay exact ints and a
missing value stays apart from NaN.

``errors="skip"`` keeps the row of a block with a malformed data header but
leaves its records null; the table's schema metadata then holds the number
of such blocks under ``molvane.skipped``. ``errors="raise"`` (the default)
raises MalformedRecordError, whose note names the block.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Literal, NamedTuple

from molvane import native as _native

__all__ = ["to_arrow", "to_pandas", "to_polars", "iter_batches", "from_table", "scan_schema"]

# pyarrow, pandas and polars are optional and need not ship type information,
# so their objects are typed Any here.
_Name = str | bytes
_TypesOption = Literal["auto", "str"] | Mapping[_Name, Literal["int", "float", "str"]]

SKIPPED_KEY = b"molvane.skipped"
# A typed column's field metadata: lines of a number as from_table writes it,
# then its text as read, for the values written otherwise ("007", "4.260").
TEXTS_KEY = b"molvane.texts"
# The bytes of each input whose blocks give schema="sample" its columns and types.
DEFAULT_SAMPLE = 1 << 20


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


class _URL(NamedTuple):
    """A URL with the fsspec options to read it by (`storage_options=`)."""

    url: str | bytes
    storage_options: Mapping[str, Any]


def _with_storage(source: Any, storage_options: Mapping[str, Any] | None) -> Any:
    """`source`, carrying `storage_options` when given: they are for URLs only."""
    if storage_options is None:
        return source
    from molvane import _remote

    if not _remote.is_url(source):
        raise TypeError("storage_options= is for URLs (s3://..., https://...), not paths")
    return _URL(source, storage_options)


def _reader(source: Any, start: int | None, stop: int | None) -> Any:
    """parse_sdf's iterator over `source`: the one place that sorts out what
    a source is. The table builder pulls its blocks straight from it, without
    an SDBlock each; for iterables of SDBlocks, the iterable itself. A URL is
    read by parse_sdf through fsspec, with its `storage_options` when given."""
    if isinstance(source, _URL):
        from molvane import _remote

        return _remote.parse_url(source.url, start, stop, source.storage_options)
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


# --- schemas ---------------------------------------------------------------------

_SchemaOption = Any  # "scan", "sample", a pyarrow.Schema or {name: "int" | "float" | "str"}


class _Plan:
    """How a build meets its schema: the columns and types to build with,
    and, for a sample, the schema each table is conformed to (records the
    sample lacks refused)."""

    def __init__(
        self,
        columns: Sequence[_Name] | None,
        types: _TypesOption,
        conform: Any = None,
        sample: str = "",
    ) -> None:
        self.columns = columns
        self.types = types
        self.conform = conform
        self.sample = sample


def _rereadable(source: Any) -> bool:
    """Whether a scan may read `source` before its build reads it again."""
    if isinstance(source, _URL) or _native._is_url(source):
        return True
    if isinstance(source, (str, bytes, os.PathLike)):
        return _native._source_kind(os.fspath(source)) != "stream"
    return isinstance(source, (list, tuple))


def _scan_table(
    source: Any,
    options: dict[str, Any],
    sample: int | None = None,
    start: int | None = None,
    stop: int | None = None,
    threads: int | None = None,
) -> Any:
    """The scan of `source`: an _SDTable of no rows whose columns and types
    are those a build would give, and whose `kinds` tell what each held."""
    if not _rereadable(source):
        raise TypeError(
            f"a schema scan or sample reads its source before the build reads it again, which "
            f"{type(source).__name__} cannot be: pass a path, a list of SDBlocks, or schema= a "
            "pyarrow schema or a mapping of names to types (molvane.scan_schema(path) gives one)"
        )
    scan_options = dict(options)
    if isinstance(scan_options.get("types"), Mapping):
        scan_options["types"] = dict(scan_options["types"])
    if sample is not None:
        return _native._build_table(
            _reader(source, start, stop), threads=1, max_bytes=sample, scan=True, **scan_options
        )
    return _native._build_table(
        _reader(source, start, stop),
        threads=threads if threads is not None else os.cpu_count(),
        scan=True,
        **scan_options,
    )


def _type_word(pa: Any, kind: Any, name: Any) -> str:
    if pa.types.is_int64(kind):
        return "int"
    if pa.types.is_float64(kind):
        return "float"
    if (
        pa.types.is_string(kind)
        or pa.types.is_large_string(kind)
        or pa.types.is_binary(kind)
        or pa.types.is_large_binary(kind)
    ):
        return "str"
    raise ValueError(
        f"schema: the column {name!r} has the type {kind}; record columns are int64, "
        "float64 or text (string or binary)"
    )


def _record_types(pa: Any, schema: Any, specials: Sequence[_Name | None]) -> dict[Any, str]:
    """The record columns of a pyarrow schema, in order, with their type words."""
    special = {os.fsdecode(n) for n in specials if n is not None}
    return {
        field.name: _type_word(pa, field.type, field.name)
        for field in schema
        if field.name not in special
    }


def _merged_types(found: Mapping[Any, str], types: _TypesOption) -> _TypesOption:
    """`found` with an explicit `types` winning: a mapping for its columns,
    "str" for every one."""
    if types == "str":
        return "str"
    merged = dict(found)
    if isinstance(types, Mapping):
        merged.update(types)
    return merged


def _plan(
    schema: _SchemaOption,
    source: Any,
    columns: Sequence[_Name] | None,
    title: _Name | None,
    molblock: _Name | None,
    block: _Name | None,
    types: _TypesOption,
    sample: int,
    start: int | None = None,
    stop: int | None = None,
    threads: int | None = None,
) -> _Plan:
    if schema is None:
        return _Plan(columns, types)
    if isinstance(schema, str) and schema in ("scan", "sample"):
        if not isinstance(sample, int) or isinstance(sample, bool) or sample < 1:
            raise ValueError("sample must be a positive int of bytes")
        options = {"columns": columns, "title": title, "molblock": molblock, "block": block}
        scanned = _scan_table(
            source,
            dict(options, types=types),
            sample if schema == "sample" else None,
            start,
            stop,
            threads,
        )
        pa = _require("pyarrow", "arrow", "schema=")
        target = pa.schema(scanned)
        found = _record_types(pa, target, (title, molblock, block))
        if schema == "scan":
            return _Plan(list(found), _merged_types(found, types))
        return _Plan(
            columns,
            _merged_types(found, types),
            target,
            f"the sample (the blocks in the first {sample} bytes)",
        )
    if isinstance(schema, str):
        raise ValueError(
            "schema must be 'scan', 'sample', a pyarrow schema or a mapping of names to types"
        )
    if columns is not None:
        raise TypeError("a schema given names the columns itself: pass it or columns=, not both")
    if isinstance(schema, Mapping):
        found = dict(schema)
        for name, word in found.items():
            if word not in ("int", "float", "str"):
                raise ValueError(
                    f"schema: the type of {name!r} is 'int', 'float' or 'str', not {word!r}"
                )
    else:
        pa = _require("pyarrow", "arrow", "schema=")
        if not isinstance(schema, pa.Schema):
            raise TypeError(
                "schema must be 'scan', 'sample', a pyarrow schema or a mapping of names to "
                f"types, not {type(schema).__name__}"
            )
        found = _record_types(pa, schema, (title, molblock, block))
    return _Plan(list(found), _merged_types(found, types))


def _conform(pa: Any, table: Any, plan: _Plan) -> Any:
    """A table or batch built to a sample's types, with the sample's columns:
    those it lacks null, a record the sample lacks refused."""
    if plan.conform is None:
        return table
    schema = plan.conform
    extra = [name for name in table.column_names if name not in schema.names]
    if extra:
        raise ValueError(
            f"the record {extra[0]!r} is not in {plan.sample}, so the table has no column "
            "for it: schema='scan' reads every record's name first, or pass columns=[...]"
        )
    if table.schema.metadata:
        schema = schema.with_metadata(table.schema.metadata)
    arrays = [
        table.column(field.name)
        if field.name in table.column_names
        else pa.nulls(table.num_rows, field.type)
        for field in schema
    ]
    return type(table).from_arrays(arrays, schema=schema)


def _note_sample(plan: _Plan, error: ValueError) -> None:
    """Says where a value that did not convert got its type from, when a sample gave it."""
    if plan.sample and not isinstance(error, (UnicodeError, _native.MalformedRecordError)):
        error.add_note(
            f"each column has the type of its values in {plan.sample}: schema='scan' types "
            "every column over all of its values, and types={name: ...} gives a column a type"
        )


def scan_schema(
    source: Any,
    *,
    columns: Sequence[_Name] | None = None,
    title: _Name | None = "title",
    molblock: _Name | None = None,
    block: _Name | None = None,
    types: _TypesOption = "auto",
    sample: int | None = None,
    start: int | None = None,
    stop: int | None = None,
    threads: int | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> Any:
    """The pyarrow schema of the table that to_arrow would build from `source`.

    Only the record names and the kinds of their values are read, without a
    table: a mapped file in byte ranges on `threads` threads (None: every
    core), any other path (a compressed file, say) once through, a list of
    SDBlocks as it is. `sample` (a byte count) reads only the blocks in the
    first so many bytes. The options are those of to_arrow; pass the result
    as ``schema=`` to iter_batches, to_arrow or molvane.dask.read_sdf for
    tables of that one schema. Blocks with a malformed data header are
    passed over, left for the build to report.
    """
    source = _with_storage(source, storage_options)
    pa = _require("pyarrow", "arrow", "scan_schema")
    _check_options(columns, title, molblock, block)
    if sample is not None and (
        not isinstance(sample, int) or isinstance(sample, bool) or sample < 1
    ):
        raise ValueError("sample must be a positive int of bytes or None")
    options = {"columns": columns, "title": title, "molblock": molblock, "block": block}
    return pa.schema(_scan_table(source, dict(options, types=types), sample, start, stop, threads))


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
    storage_options: Mapping[str, Any] | None = None,
    schema: _SchemaOption = None,
    sample: int = DEFAULT_SAMPLE,
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

    `schema` (None: the types of all the values, found as the table is
    built) may be "scan", "sample" (the blocks in the first `sample` bytes),
    a pyarrow schema or a mapping of names to "int", "float" or "str" (see
    the module's doc).
    """
    source = _with_storage(source, storage_options)
    pa = _require("pyarrow", "arrow", "to_arrow")
    plan = _plan(
        schema, source, columns, title, molblock, block, types, sample, start, stop, threads
    )
    built = _planned_build(
        plan, source, title, molblock, errors, block, start, stop, threads, _min_range
    )
    return _conform(pa, _as_arrow(pa, built), plan)


def _planned_build(
    plan: _Plan,
    source: Any,
    title: _Name | None,
    molblock: _Name | None,
    errors: Literal["raise", "skip"],
    block: _Name | None,
    start: int | None,
    stop: int | None,
    threads: int | None,
    min_range: int | None = None,
) -> Any:
    try:
        return _build(
            source,
            plan.columns,
            title,
            molblock,
            plan.types,
            errors,
            block,
            start,
            stop,
            threads,
            min_range,
        )
    except ValueError as error:
        _note_sample(plan, error)
        raise


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
    storage_options: Mapping[str, Any] | None = None,
    schema: _SchemaOption = None,
    sample: int = DEFAULT_SAMPLE,
) -> Any:
    """The SD data of `source` as a pandas.DataFrame, through pyarrow (see to_arrow).

    With ``errors="skip"``, ``frame.attrs["molvane.skipped"]`` holds the number
    of blocks whose records were skipped."""
    source = _with_storage(source, storage_options)
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
        schema=schema,
        sample=sample,
    )
    frame = pandas_frame(table)
    skipped = (table.schema.metadata or {}).get(SKIPPED_KEY)
    if skipped is not None:
        # pandas keeps no schema metadata: the count goes into the frame's attrs.
        frame.attrs[SKIPPED_KEY.decode()] = int(skipped)
    return frame


def pandas_frame(table: Any) -> Any:
    """A pyarrow table as a pandas DataFrame, the one rule of to_pandas and
    molvane.dask: every column keeps its Arrow array (``pandas.ArrowDtype``,
    text as pandas' pyarrow strings), so ints with nulls stay exact ints,
    null stays distinct from NaN, and nothing is copied. The texts of typed
    values written otherwise than from_table writes them go into
    ``frame.attrs["molvane.texts"]``, for from_table to give them back."""
    pd = importlib.import_module("pandas")
    pa = importlib.import_module("pyarrow")
    text = pd.StringDtype("pyarrow")

    def dtype(kind: Any) -> Any:
        if pa.types.is_large_string(kind) or pa.types.is_string(kind):
            return text
        return pd.ArrowDtype(kind)

    frame = table.to_pandas(types_mapper=dtype)
    texts = {
        field.name: field.metadata[TEXTS_KEY].decode()
        for field in table.schema
        if field.metadata and TEXTS_KEY in field.metadata
    }
    if texts:
        # Kept as the lines of the metadata: a str, which pandas' deep copies
        # of attrs (on every filter) share rather than copy.
        frame.attrs[TEXTS_KEY.decode()] = texts
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
    storage_options: Mapping[str, Any] | None = None,
    schema: _SchemaOption = None,
    sample: int = DEFAULT_SAMPLE,
) -> Any:
    """The SD data of `source` as a polars.DataFrame, taken without pyarrow (see to_arrow;
    schema="sample" needs pyarrow).

    With ``errors="skip"``, ``frame.attrs["molvane.skipped"]`` holds the number
    of blocks whose records were skipped, as for to_pandas: polars frames have
    no metadata of their own, so it is an attribute of the frame returned
    (frames that polars derives from it do not carry it)."""
    source = _with_storage(source, storage_options)
    pl = _require("polars", "polars", "to_polars")
    plan = _plan(
        schema, source, columns, title, molblock, block, types, sample, start, stop, threads
    )
    built = _planned_build(plan, source, title, molblock, errors, block, start, stop, threads)
    if plan.conform is not None:
        pa = _require("pyarrow", "arrow", "to_polars")
        frame = pl.from_arrow(_conform(pa, pa.table(built), plan))
    else:
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
    storage_options: Mapping[str, Any] | None = None,
    schema: _SchemaOption = None,
    sample: int = DEFAULT_SAMPLE,
) -> Iterator[Any]:
    """pyarrow.RecordBatches of `batch_size` blocks each (the last may hold fewer).

    A batch also ends once its blocks hold `max_bytes` bytes of SD text
    (64 MiB by default; a batch holds at least one block), so a file of large
    blocks gives smaller batches: memory stays bounded by the batch, whatever
    the input's size and however large its blocks. `start` and `stop` keep
    to a path's blocks whose first byte lies in [start, stop), as for to_arrow.

    Every batch has one schema, that of `schema` (see to_arrow). By default
    (None) a source that can be read twice (a path other than a pipe, or a
    list of SDBlocks) is scanned first, so the batches have the schema
    to_arrow's table would have; a source read once (a pipe, a file object,
    an iterator) gives each batch the columns and types of its own blocks:
    pass ``schema=`` a pyarrow schema or mapping for batches of one schema.
    """
    source = _with_storage(source, storage_options)
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
        schema,
        sample,
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
    schema: _SchemaOption,
    sample: int,
) -> Iterator[Any]:
    if schema is None and _rereadable(source):
        schema = "scan"
    plan = _plan(schema, source, columns, title, molblock, block, types, sample, start, stop)
    options: dict[str, Any] = {
        "columns": plan.columns,
        "title": title,
        "molblock": molblock,
        "block": block,
        "types": dict(plan.types) if isinstance(plan.types, Mapping) else plan.types,
        "errors": errors,
    }
    reader = _reader(source, start, stop)
    if not isinstance(reader, _native._SDBlockIterator):
        reader = iter(reader)
    rows, most_bytes = batch_size
    while True:
        try:
            built = _native._build_table(
                reader, threads=1, limit=rows, max_bytes=most_bytes, **options
            )
        except ValueError as error:
            _note_sample(plan, error)
            raise
        if built.num_rows == 0 and built.skipped == 0:
            return  # the input is done (a batch of only skipped blocks is not)
        batch = _conform(pa, pa.RecordBatchReader.from_stream(built).read_next_batch(), plan)
        del built
        yield batch
        # Held here, a batch the caller has dropped would live on while the
        # next one is built: two batches in memory instead of one.
        del batch


# The connection table of a row without a molblock: no atoms, no bonds.
_EMPTY_CTAB = "\n\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"


def _record_text(value: Any, texts: Mapping[str, str] | None = None) -> str | bytes:
    """A cell as record text: ints as written, floats so that they read back
    equal; a number whose text as read is in `texts` (the column's
    ``molvane.texts``) as that text, which reads back as the same number."""
    if texts and isinstance(value, (int, float)) and not isinstance(value, bool):
        written = _record_text(value)
        return texts.get(written, written)  # type: ignore[arg-type]
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


def _parse_texts(lines: str | bytes) -> dict[str, str]:
    parts = (lines.decode() if isinstance(lines, bytes) else lines).split("\n")
    return dict(zip(parts[0::2], parts[1::2]))


def _written_texts(table: Any, arrow: Any) -> dict[str, dict[str, str]]:
    """The ``molvane.texts`` of each column: from a pandas frame's attrs
    (to_pandas puts them there), else from the Arrow fields' metadata."""
    if type(table).__module__.startswith("pandas"):
        found = getattr(table, "attrs", {}).get(TEXTS_KEY.decode()) or {}
    else:
        found = {
            field.name: field.metadata[TEXTS_KEY]
            for field in arrow.schema
            if field.metadata and TEXTS_KEY in field.metadata
        }
    return {name: _parse_texts(lines) for name, lines in found.items()}


def _arrow_table(pa: Any, table: Any) -> Any:
    if isinstance(table, pa.Table):
        return table
    if type(table).__module__.startswith("pandas"):
        # Before __arrow_c_stream__, which pandas frames have too: through it
        # the index of a filtered frame would become a column of records.
        return pa.Table.from_pandas(table, preserve_index=False)
    if hasattr(table, "__arrow_c_stream__"):
        return pa.table(table)
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
    A number whose column came from to_arrow or to_pandas with its text as
    read (``"007"``, ``"4.260"``, ``"120"`` in a float column; kept in the
    field's ``molvane.texts`` metadata, or a pandas frame's
    ``attrs["molvane.texts"]``) is written as that text, which reads back
    as the same number: untouched values come back as written, and a
    changed one is written from its new value.
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
    texts = _written_texts(table, arrow)
    return _rows_as_blocks(
        arrow, molblock_name, title_name, record_names, encoded_names, empty, as_bytes, block, texts
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
    texts: Mapping[str, Mapping[str, str]] | None = None,
) -> Iterator[Any]:
    column_texts = [(texts or {}).get(name) for name in record_names]
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
                (name, _as_kind(_record_text(column[row], kept), as_bytes))
                for name, column, kept in zip(encoded_names, columns, column_texts)
                if column[row] is not None
            ]
            block = _native.SDBlock(_as_kind(text, as_bytes), pairs)
            if block_title is not None:
                wanted = _as_kind(_record_text(block_title), as_bytes)
                if block.title != wanted:
                    block.title = wanted
            yield block
