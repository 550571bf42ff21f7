"""SD files on Dask: a DataFrame of records or a Bag of SDBlocks, and back.

A plain file is cut into byte ranges on block boundaries (``molvane.shards``),
one partition each, in file order, and so is a BGZF file (in virtual offsets,
see molvane._gzaccess); any other compressed file has no random access and
is one whole partition. Each partition is read where it is computed: only the
path and its byte range travel to the worker, so the files must be visible
to every worker under the same path (a shared or local file system).

dask, dask.dataframe and distributed are imported only by the functions
here; a missing one is an ImportError naming the ``molvane[dask]`` extra.
"""

from __future__ import annotations

import errno
import glob
import os
import stat
import threading
import uuid
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal, NamedTuple, overload

import molvane
from molvane import _gzaccess
from molvane import native as _native
from molvane import tables as _tables
from molvane._replacing import check_writable, keep_owner_and_mode, sync_directory

__all__ = ["read_sdf", "read_blocks", "to_sdf"]

_Path = str | bytes
# The part of the first file whose blocks fix the frame's columns and types.
DEFAULT_SAMPLE = "1 MiB"


def _require(module: str, what: str) -> Any:
    return _tables._require(module, "dask", f"dask.{what}")


def _byte_count(value: Any, what: str, allow_none: bool = False) -> int | None:
    if value is None and allow_none:
        return None
    if isinstance(value, str):
        parse_bytes = _require("dask.utils", what).parse_bytes
        try:
            value = parse_bytes(value)
        except (ValueError, TypeError) as error:
            raise ValueError(f"{what}: cannot read {value!r} as a size in bytes") from error
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(
            f"{what}: a size must be a positive int of bytes or a text like '256 MiB', not {value!r}"
        )
    return int(value)


def _expand(paths_or_glob: Any) -> list[_Path]:
    """The files named: a path, a glob, or a list of them; globs sorted, all of one kind."""
    if isinstance(paths_or_glob, (str, bytes, os.PathLike)):
        items = [paths_or_glob]
    else:
        items = list(paths_or_glob)
    paths: list[_Path] = []
    for item in items:
        path = os.fspath(item)
        if not isinstance(path, (str, bytes)):
            raise TypeError(f"a path is str, bytes or os.PathLike, not {type(item).__name__}")
        magic = ("*", "?", "[") if isinstance(path, str) else (b"*", b"?", b"[")
        if any(m in path for m in magic) and not os.path.exists(path):  # type: ignore[operator]
            found = sorted(glob.glob(path))  # type: ignore[type-var]
            if not found:
                raise FileNotFoundError(f"no file matches {path!r}")
            paths.extend(found)
        else:
            paths.append(path)
    if not paths:
        raise ValueError("no paths given")
    if len({type(p) for p in paths}) > 1:
        raise TypeError("paths must be all str (str blocks) or all bytes (bytes blocks), not both")
    return paths


def _shards(path: _Path, **cut: int) -> list[tuple[int, int]] | None:
    """The byte ranges of a file, or None for a file to be read whole.

    A compressed file has no random access unless it is BGZF (cut in virtual
    offsets by shards()), but read whole it is still read exactly: it makes
    one piece. Other files are cut by shards(), which
    refuses what cannot be cut.
    """
    if _native._source_kind(path) == "compressed" and not _gzaccess.splittable(path):
        return None
    return list(molvane.shards(path, **cut))


class _Piece(NamedTuple):
    """A piece of input: a path and a byte range (None, None for the whole
    file), with the file's size and modification time when it was cut, so
    that a partition of a file changed since is an error, not a partition of
    another file."""

    path: _Path
    start: int | None
    stop: int | None
    stamp: tuple[int, int]


def _stamp(path: _Path) -> tuple[int, int]:
    status = os.stat(path)
    return status.st_size, status.st_mtime_ns


def _check_unchanged(piece: _Piece) -> None:
    if _stamp(piece.path) != piece.stamp:
        raise OSError(
            errno.ESTALE,
            f"{os.fsdecode(piece.path)!r} changed since the collection was made (its size or "
            "modification time differs): read it again",
            piece.path,
        )


def _pieces(paths: Sequence[_Path], blocksize: int | None) -> list[_Piece]:
    pieces: list[_Piece] = []
    for path in paths:
        stamp = _stamp(path)
        ranges = None if blocksize is None else _shards(path, size=blocksize)
        if ranges is None:
            pieces.append(_Piece(path, None, None, stamp))
        else:
            pieces.extend(_Piece(path, start, stop, stamp) for start, stop in ranges)
    return pieces


def _blocks_of(piece: _Piece) -> list[Any]:
    path, start, stop, _ = piece
    _check_unchanged(piece)
    if start is None:
        blocks = list(molvane.parse_sdf(path))
    else:
        blocks = list(molvane.parse_sdf(path, start=start, stop=stop))
    _check_unchanged(piece)  # not rewritten while it was read
    return blocks


def _describe(piece: _Piece) -> str:
    path, start, stop, _ = piece
    where = "" if start is None else f", bytes {start} to {stop}"
    return f"{os.fsdecode(path)!r}{where}"


# --- DataFrames ----------------------------------------------------------------


class _ReadFrame:
    """Builds one partition: the table of a piece, conformed to the frame's schema."""

    def __init__(self, options: dict[str, Any], schema: Any, sample: str) -> None:
        self.options = options
        self.schema = schema
        self.sample = sample

    def table(self, piece: _Piece) -> Any:
        path, start, stop, _ = piece
        _check_unchanged(piece)
        # Dask runs the partitions in parallel: each is built by one thread.
        table = molvane.to_arrow(path, start=start, stop=stop, threads=1, **self.options)
        _check_unchanged(piece)  # not rewritten while it was read
        return table

    def __call__(self, piece: _Piece) -> Any:
        pa = _require("pyarrow", "read_sdf")
        pd = _require("pandas", "read_sdf")
        try:
            table = self.table(piece)
        except ValueError as error:
            error.add_note(
                f"molvane.dask.read_sdf: each column has the type it has in {self.sample}; "
                f"types={{name: 'float' | 'str'}} or types='str' gives it another"
            )
            raise
        wanted = set(self.schema.names)
        extra = [name for name in table.column_names if name not in wanted]
        if extra:
            raise ValueError(
                f"molvane.dask.read_sdf: {_describe(piece)} has the record {extra[0]!r}, which {self.sample} "
                f"does not have, so the frame has no column for it; pass columns=[...] naming every "
                f"column to read, or a larger sample="
            )
        columns = []
        for field in self.schema:
            if field.name in table.column_names:
                column = table.column(field.name)
                if column.type != field.type:
                    # Types are fixed per column for every partition; a difference
                    # here is a fault of ours, not of the data.
                    raise RuntimeError(
                        f"molvane.dask.read_sdf: column {field.name!r} of {_describe(piece)} was built as "
                        f"{column.type}, not {field.type}; this is a fault of molvane, please report it"
                    )
            else:
                column = pa.nulls(table.num_rows, field.type)
            columns.append(column)
        conformed = pa.Table.from_arrays(columns, schema=self.schema)
        return _to_pandas(pa, pd, conformed)


def _to_pandas(pa: Any, pd: Any, table: Any) -> Any:
    """The table as pandas columns backed by its own Arrow arrays; text as
    pandas' pyarrow strings, which dask would otherwise convert it to."""
    text = pd.StringDtype("pyarrow")

    def dtype(kind: Any) -> Any:
        return (
            text
            if pa.types.is_large_string(kind) or pa.types.is_string(kind)
            else pd.ArrowDtype(kind)
        )

    return table.to_pandas(types_mapper=dtype)


def _sample_table(paths: Sequence[_Path], sample: int, options: dict[str, Any]) -> tuple[Any, str]:
    """The table of the blocks starting in the first `sample` bytes of the
    first file with any block, and a description of it for errors."""
    for path in paths:
        # A compressed file's sample is its first blocks, read through: the
        # offsets of a BGZF file count compressed bytes.
        if _native._source_kind(path) == "compressed" or _shards(path, n=1) is None:
            blocks: list[Any] = []
            seen = 0
            block: Any
            for block in molvane.parse_sdf(path):
                blocks.append(block)
                seen += len(str(block)) if isinstance(path, str) else len(bytes(block))
                if seen >= sample:
                    break
            table = molvane.to_arrow(blocks, **options)
        else:
            table = molvane.to_arrow(path, start=0, stop=sample, threads=1, **options)
        if table.num_rows:
            return (
                table,
                f"the sample (the blocks in the first {sample} bytes of {os.fsdecode(path)!r})",
            )
    return molvane.to_arrow([], **options), "the sample (the files hold no block)"


def _fixed_types(table: Any, types: Any, options: dict[str, Any]) -> Any:
    """`types` with every record column of the sample given the type it has
    there, so that every partition builds each column with one type."""
    if types == "str":
        return "str"
    pa = _require("pyarrow", "read_sdf")
    fixed: dict[Any, str] = {}
    special = {
        os.fsdecode(n)
        for n in (options["title"], options["molblock"], options["block"])
        if n is not None
    }
    for field in table.schema:
        if field.name in special:
            continue
        if pa.types.is_integer(field.type):
            fixed[field.name] = "int"
        elif pa.types.is_floating(field.type):
            fixed[field.name] = "float"
        else:
            fixed[field.name] = "str"
    if isinstance(types, Mapping):
        fixed.update({os.fsdecode(k) if isinstance(k, bytes) else k: v for k, v in types.items()})
    return fixed


def read_sdf(
    paths_or_glob: Any,
    *,
    blocksize: int | str | None = "256 MiB",
    columns: Sequence[str | bytes] | None = None,
    types: Any = "auto",
    title: str | bytes | None = "title",
    molblock: str | bytes | None = None,
    block: str | bytes | None = None,
    errors: Literal["raise", "skip"] = "raise",
    sample: int | str = DEFAULT_SAMPLE,
) -> Any:
    """The SD data of files as a dask DataFrame, one row per block.

    `paths_or_glob` is a path, a glob (``"lib/*.sdf"``, its matches sorted)
    or a list of paths and globs, str (str columns) or bytes (binary
    columns), not both. Each plain file is cut into pieces of about
    `blocksize` bytes (an int, or a text such as ``"256 MiB"`` or
    ``"64MB"``; None for one piece per file) on block boundaries, and each
    piece is one partition, in file order, built by ``molvane.to_arrow`` on
    its byte range on one thread (dask runs the partitions in parallel). A
    compressed file is one partition. `columns`, `types`,
    `title`, `molblock`, `block` and `errors` are those of to_arrow. Each
    partition has its own index, from 0.

    Columns and types, which dask needs before reading: they are those of
    the blocks in the first `sample` bytes of the first file (``"1 MiB"``
    by default; the whole file when it is smaller), read when read_sdf is
    called, and every partition is built to them:

    - each record column of the sample keeps its sample type in every
      partition: an int column stays int64 (a partition value that is not
      an integer raises ValueError naming it, or is null with
      ``errors="skip"``), a float column takes integers too, and a text
      column keeps every value as written, numbers included;
    - a column of the sample that a partition lacks is null there;
    - a partition holding a record that the sample does not hold raises
      ValueError naming it: nothing is dropped unasked. Pass
      ``columns=[...]`` (those columns are then read from every partition,
      the others left out) or a larger `sample`;
    - ``types`` given as a mapping wins for the columns it names, and
      ``types="str"`` keeps every column as written.

    So a column whose sample values are all empty is text throughout; name
    it in `types` for another type. Columns are pyarrow-backed
    (``pandas.ArrowDtype``; dask shows text as pandas' pyarrow string
    dtype): nullable, and int64 stays exact. A pandas frame has no schema
    metadata, so ``errors="skip"`` does not report how many blocks it
    skipped; to_arrow on the same range does.
    """
    dd = _require("dask.dataframe", "read_sdf")
    pa = _require("pyarrow", "read_sdf")
    pd = _require("pandas", "read_sdf")
    block_bytes = _byte_count(blocksize, "blocksize", allow_none=True)
    sample_bytes = _byte_count(sample, "sample")
    assert sample_bytes is not None
    _tables._check_options(columns, title, molblock, block)
    paths = _expand(paths_or_glob)
    options: dict[str, Any] = {
        "columns": columns,
        "title": title,
        "molblock": molblock,
        "block": block,
        "errors": errors,
    }
    first, described = _sample_table(paths, sample_bytes, dict(options, types=types))
    options["types"] = _fixed_types(first, types, options)
    # Built with the sample's own types, every partition has the sample's schema.
    reader = _ReadFrame(options, pa.schema(list(first.schema)), described)
    meta = _to_pandas(pa, pd, reader.schema.empty_table())
    pieces = _pieces(paths, block_bytes)
    if not pieces:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_map(reader, pieces, meta=meta, label="read-sdf", enforce_metadata=False)


# --- Bags -----------------------------------------------------------------------


def _read_blocks_partition(pieces: list[_Piece]) -> list[Any]:
    return [block for piece in pieces for block in _blocks_of(piece)]


def read_blocks(paths_or_glob: Any, *, blocksize: int | str | None = "256 MiB") -> Any:
    """The blocks of files as a dask Bag of SDBlocks, one partition per piece.

    Files and pieces as for read_sdf: a path, a glob or a list of them (str
    paths give str blocks, bytes paths bytes blocks), each plain file cut on
    block boundaries into pieces of about `blocksize` bytes, a compressed
    file one partition. Partitions follow file order, and so do their blocks.
    """
    db = _require("dask.bag", "read_blocks")
    block_bytes = _byte_count(blocksize, "blocksize", allow_none=True)
    pieces = _pieces(_expand(paths_or_glob), block_bytes)
    if not pieces:
        return db.from_sequence([], npartitions=1)
    return db.from_sequence(pieces, partition_size=1).map_partitions(_read_blocks_partition)


# --- writing --------------------------------------------------------------------


def _write_blocks(blocks: Iterable[Any], path: _Path, compresslevel: int | None) -> int:
    return molvane.write_sdf(path, blocks, compresslevel=compresslevel)


def _write_frame(
    frame: Any, path: _Path, compresslevel: int | None, options: dict[str, Any]
) -> int:
    return molvane.write_sdf(
        path, molvane.from_table(frame, **options), compresslevel=compresslevel
    )


def _part_paths(pattern: Any, count: int) -> list[_Path]:
    pattern = os.fspath(pattern)
    star = "*" if isinstance(pattern, str) else b"*"
    if pattern.count(star) != 1:
        raise ValueError(
            f"to_sdf: the path pattern must hold one '*', for the partition number: {pattern!r}"
        )
    # Numbers padded to the width of the last, as dask names to_csv's parts.
    width = len(str(max(count - 1, 0)))
    numbers = [str(i).zfill(width) for i in range(count)]
    return [pattern.replace(star, n if isinstance(pattern, str) else n.encode()) for n in numbers]


def _in_folder(path: _Path, name: str) -> _Path:
    """`name` (ASCII) beside `path`, of the path's kind."""
    if isinstance(path, bytes):
        return os.path.join(os.path.dirname(path), name.encode())
    return os.path.join(os.path.dirname(path), name)


def _staged(path: _Path, token: str) -> _Path:
    """Where a partition is written first: a hidden name beside its file
    that keeps the file's suffix, which chooses the compression."""
    if isinstance(path, bytes):
        return os.path.join(os.path.dirname(path), f".{token}.".encode() + os.path.basename(path))
    return os.path.join(os.path.dirname(path), f".{token}." + os.path.basename(path))


# Writes of each to_sdf call running in this process (threaded schedulers),
# so that a call that fails waits for them before it cleans up and raises.
_running: dict[str, int] = {}
_running_changed = threading.Condition()


def _write_part(
    write: Any, part: Any, staged: _Path, marker: _Path, token: str, *args: Any
) -> BaseException | None:
    """Writes one partition to its staged file; the failure, if any, is
    returned, so that every partition ends before to_sdf decides. The
    `marker` file exists while the call still wants the output: a write that
    ends after the call gave up removes what it wrote."""
    with _running_changed:
        _running[token] = _running.get(token, 0) + 1
    try:
        if not os.path.exists(marker):
            return None
        try:
            write(part, staged, *args)
        except Exception as error:
            return error
        if not os.path.exists(marker):
            _remove(staged)
        return None
    finally:
        with _running_changed:
            _running[token] -= 1
            if not _running[token]:
                del _running[token]
            _running_changed.notify_all()


def _remove(path: _Path) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _input_files(collection: Any) -> set[tuple[int, int]]:
    """(device, inode) of every file that the collection's read_sdf and
    read_blocks partitions read, found in its task graph."""
    found: set[tuple[int, int]] = set()
    seen: set[int] = set()
    stack: list[Any] = list(dict(collection.__dask_graph__()).values())
    while stack:
        item = stack.pop()
        if id(item) in seen or isinstance(item, (str, bytes, int, float)) or item is None:
            continue
        seen.add(id(item))
        if isinstance(item, _Piece):
            try:
                status = os.stat(item.path)
            except OSError:
                continue
            found.add((status.st_dev, status.st_ino))
        elif isinstance(item, (tuple, list, set, frozenset)):
            stack.extend(item)
        elif isinstance(item, dict):
            stack.extend(item.values())
        else:
            # dask's task objects keep their arguments in these attributes.
            for name in ("args", "kwargs", "value"):
                part = getattr(item, name, None)
                if part is not None and not callable(part):
                    stack.append(part)
    return found


def _refuse_own_inputs(collection: Any, paths: Sequence[_Path]) -> None:
    inputs = _input_files(collection)
    for path in paths:
        try:
            status = os.stat(path)
        except OSError:
            continue
        if (status.st_dev, status.st_ino) in inputs:
            raise ValueError(
                f"to_sdf: {os.fsdecode(path)!r} is one of the collection's own input files, "
                "which are read while the partitions are written: write to other paths"
            )


def _keep_ownership_and_mode(stage: _Path, path: _Path) -> None:
    """The staged file takes the owner, group and mode of the regular file
    it replaces, as far as the process may."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return
    if stat.S_ISREG(status.st_mode):
        keep_owner_and_mode(stage, status)


def _sync_folders(paths: Sequence[_Path]) -> None:
    for folder in {os.path.dirname(p) for p in paths}:
        sync_directory(folder)


@overload
def to_sdf(
    collection: Any,
    pattern: str | os.PathLike[str],
    *,
    compresslevel: int | None = None,
    molblock: str | None = "molblock",
    title: str | None = "title",
    records: Sequence[str] | None = None,
    block: str | None = None,
) -> list[str]: ...
@overload
def to_sdf(
    collection: Any,
    pattern: bytes | os.PathLike[bytes],
    *,
    compresslevel: int | None = None,
    molblock: str | None = "molblock",
    title: str | None = "title",
    records: Sequence[str] | None = None,
    block: str | None = None,
) -> list[bytes]: ...
def to_sdf(
    collection: Any,
    pattern: Any,
    *,
    compresslevel: int | None = None,
    molblock: str | None = "molblock",
    title: str | None = "title",
    records: Sequence[str] | None = None,
    block: str | None = None,
) -> list[str] | list[bytes]:
    """Writes each partition of `collection` to its own SD file and returns their paths.

    `pattern` holds one ``*``, replaced by the partition number padded with
    zeros to the width of the last (``part-00.sdf`` ... ``part-11.sdf``).
    Missing folders are made. A Bag of SDBlocks is written block for block
    as it is; a DataFrame's rows become blocks through ``molvane.from_table``
    (`molblock`, `title`, `records` and `block` are its options: a frame
    read with ``block="block"`` is written back byte for byte). A path ending in
    .gz, .bz2, .xz or .zst is compressed, as by write_sdf. The writes run
    on the collection's scheduler and are done when to_sdf returns.

    All or nothing: each partition is written to a hidden file beside its
    target (``.TOKEN.NAME``), and only when every partition succeeded are
    they all renamed over their targets; a failure leaves every target as it
    was and raises the first failure once every partition's write has ended
    (with the processes or distributed schedulers, a partition whose input
    failed may still be writing then: it removes its own file when it ends).
    A pattern naming one of the collection's own input files raises
    ValueError before anything is read.
    """
    dask = _require("dask", "to_sdf")
    db = _require("dask.bag", "to_sdf")
    dd = _require("dask.dataframe", "to_sdf")
    write: Any
    extra: tuple[Any, ...]
    if isinstance(collection, db.Bag):
        write, extra = _write_blocks, ()
    elif isinstance(collection, dd.DataFrame):
        options = {"molblock": molblock, "title": title, "records": records, "block": block}
        write, extra = _write_frame, (options,)
    else:
        raise TypeError(f"to_sdf() writes a dask Bag or DataFrame, not {type(collection).__name__}")
    parts = collection.to_delayed()
    paths = _part_paths(pattern, len(parts))
    _refuse_own_inputs(collection, paths)
    for folder in {os.path.dirname(p) for p in paths}:
        if folder:
            os.makedirs(folder, exist_ok=True)
    for path in paths:
        check_writable(path)
    token = uuid.uuid4().hex[:16]
    staged = [_staged(p, token) for p in paths]
    marker = _in_folder(paths[0], f".{token}.to_sdf") if paths else ""
    if paths:
        try:
            os.close(os.open(marker, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        except OSError as error:
            raise OSError(
                error.errno,
                f"{error.strerror}: no temporary file can be made in its directory, "
                "so the files are left as they were",
                paths[0],
            ) from None
    writes = [
        dask.delayed(_write_part, pure=False)(
            write, part, stage, marker, token, compresslevel, *extra
        )
        for part, stage in zip(parts, staged)
    ]
    renamed = False
    try:
        failures = [f for f in dask.compute(*writes) if f is not None]
        if failures:
            raise failures[0]
        for stage, path in zip(staged, paths):
            _keep_ownership_and_mode(stage, path)
        for stage, path in zip(staged, paths):
            os.replace(stage, path)
        renamed = True
        _sync_folders(paths)
    finally:
        if paths:
            _remove(marker)
        if not renamed:
            # Writes still running here (a failed input stops the compute
            # early) end before their files are removed.
            with _running_changed:
                _running_changed.wait_for(lambda: token not in _running)
            for stage in staged:
                _remove(stage)
    return paths  # type: ignore[return-value]  # all str or all bytes, as the pattern
