"""SD files on Dask: a DataFrame of records or a Bag of SDBlocks, and back.

A plain file is cut into byte ranges on block boundaries (``molvane.shards``),
one partition each, in file order, and so is a BGZF file (in virtual offsets,
see molvane._gzaccess), and a plain gzip file indexed by ``molvane index``
(in decompressed offsets, see molvane._gzindex); any other compressed file
has no random access and is one whole partition. Each partition is read where it is computed: only the
path and its byte range travel to the worker, so the files must be visible
to every worker under the same path (a shared or local file system), or be
URLs (``s3://bucket/x.sdf``, ``https://...``) read through fsspec with
``storage_options=``: a plain remote file is cut on block boundaries found
by small ranged reads around each cut, and each worker reads only its range.

dask, dask.dataframe and distributed are imported only by the functions
here; a missing one is an ImportError naming the ``molvane[dask]`` extra.
"""

from __future__ import annotations

import contextlib
import errno
import glob
import os
import stat
import tempfile
import threading
import uuid
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, Literal, NamedTuple, overload

import molvane
from molvane import _gzaccess
from molvane import native as _native
from molvane import tables as _tables
from molvane._replacing import check_writable, keep_owner_and_mode, sync_directory

__all__ = ["read_sdf", "read_blocks", "to_sdf"]

_Path = str | bytes
# The part of each file whose blocks fix the frame's columns and types with
# schema="sample".
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


def _is_url(path: Any) -> bool:
    return _native._is_url(path)


def _expand(paths_or_glob: Any, storage_options: Mapping[str, Any] | None = None) -> list[_Path]:
    """The files named: a path, a glob, or a list of them; globs sorted, all
    of one kind. A URL's glob is matched by its file system."""
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
        if _is_url(path):
            if any(m in path for m in magic):  # type: ignore[operator]
                from molvane import _remote

                paths.extend(_remote.glob(path, storage_options))
            else:
                paths.append(path)
        elif any(m in path for m in magic) and not os.path.exists(path):  # type: ignore[operator]
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


def _shards(
    path: _Path, storage_options: Mapping[str, Any] | None = None, **cut: int
) -> list[tuple[int, int]] | None:
    """The byte ranges of a file, or None for a file to be read whole.

    A compressed file has no random access unless it is BGZF (cut in virtual
    offsets by shards()) or an indexed plain gzip file, but read whole it is still read exactly: it makes
    one piece. Other files are cut by shards(), which
    refuses what cannot be cut.
    """
    if _is_url(path):
        from molvane import _remote

        remote = _remote.open_remote(path, storage_options)
        if _native._compression_of(remote.head()[:16]) is not None:
            return None
        return _remote.shards(path, cut.get("n", 0), cut.get("size", 0), storage_options)
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
    stamp: tuple[int, Any]
    storage_options: Mapping[str, Any] | None = None


def _stamp(path: _Path, storage_options: Mapping[str, Any] | None = None) -> tuple[int, Any]:
    if _is_url(path):
        from molvane import _remote

        return _remote.open_remote(path, storage_options).stamp
    status = os.stat(path)
    return status.st_size, status.st_mtime_ns


def _check_unchanged(piece: _Piece) -> None:
    if _stamp(piece.path, piece.storage_options) != piece.stamp:
        raise OSError(
            errno.ESTALE,
            f"{os.fsdecode(piece.path)!r} changed since the collection was made (its size or "
            "modification time differs): read it again",
            piece.path,
        )


def _pieces(
    paths: Sequence[_Path],
    blocksize: int | None,
    storage_options: Mapping[str, Any] | None = None,
) -> list[_Piece]:
    pieces: list[_Piece] = []
    for path in paths:
        options = storage_options if _is_url(path) else None
        stamp = _stamp(path, options)
        ranges = None if blocksize is None else _shards(path, options, size=blocksize)
        if ranges is None:
            pieces.append(_Piece(path, None, None, stamp, options))
        else:
            pieces.extend(_Piece(path, start, stop, stamp, options) for start, stop in ranges)
    return pieces


def _parse(piece: _Piece) -> Any:
    """parse_sdf over a piece: its byte range of a path or URL. Whitespace
    after the last $$$$ line is no block."""
    if piece.storage_options is not None:
        from molvane import _remote

        reader = _remote.parse_url(piece.path, piece.start, piece.stop, piece.storage_options)
    elif piece.start is None:
        reader = molvane.parse_sdf(piece.path)
    else:
        reader = molvane.parse_sdf(piece.path, start=piece.start, stop=piece.stop)
    reader._keep_trailing()
    return reader


def _blocks_of(piece: _Piece) -> list[Any]:
    _check_unchanged(piece)
    blocks = list(_parse(piece))
    _check_unchanged(piece)  # not rewritten while it was read
    return blocks


def _describe(piece: _Piece) -> str:
    path, start, stop = piece.path, piece.start, piece.stop
    where = "" if start is None else f", bytes {start} to {stop}"
    return f"{os.fsdecode(path)!r}{where}"


# --- DataFrames ----------------------------------------------------------------


class _ReadFrame:
    """Builds one partition: the table of a piece, built to the frame's schema."""

    def __init__(self, options: dict[str, Any], schema: Any, plan: Any) -> None:
        self.options = options
        self.schema = schema
        self.plan = plan

    def table(self, piece: _Piece, options: dict[str, Any] | None = None) -> Any:
        _check_unchanged(piece)
        # Dask runs the partitions in parallel: each is built by one thread.
        table = molvane.to_arrow(_parse(piece), threads=1, **(options or self.options))
        _check_unchanged(piece)  # not rewritten while it was read
        return table

    def _projected(self, pa: Any, columns: Any) -> tuple[Any, dict[str, Any] | None]:
        """The schema and build options of a partition of only `columns`
        (dask's projection, as in ``frame[name]``), so that the columns left
        out are never built; the whole partition's where nothing is left
        out, or where a sample's columns must each be checked."""
        if columns is None or self.plan.conform is not None:
            return self.schema, None
        wanted = [columns] if isinstance(columns, str) else list(columns)
        if not wanted or set(wanted) >= set(self.schema.names):
            return self.schema, None
        options = dict(self.options)
        special = set()
        for option in ("title", "molblock", "block"):
            special.add(options[option])
            if options[option] not in wanted:
                options[option] = None
        options["columns"] = [name for name in wanted if name not in special]
        return pa.schema([self.schema.field(name) for name in wanted]), options

    def __call__(self, piece: _Piece, columns: Any = None) -> Any:
        pa = _require("pyarrow", "read_sdf")
        pd = _require("pandas", "read_sdf")
        schema, options = self._projected(pa, columns)
        try:
            table = self.table(piece, options)
            if self.plan.conform is not None:
                table = _tables._conform(pa, table, self.plan)
        except ValueError as error:
            _tables._note_sample(self.plan, error)
            error.add_note(f"molvane.dask.read_sdf: in {_describe(piece)}")
            raise
        arrays = []
        for field in schema:
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
            arrays.append(column)
        conformed = pa.Table.from_arrays(arrays, schema=schema)
        return _to_pandas(pa, pd, conformed, texts_of=table)


def _to_pandas(pa: Any, pd: Any, table: Any, texts_of: Any = None) -> Any:
    """The table as to_pandas makes frames (``molvane.tables.pandas_frame``:
    columns backed by their Arrow arrays, text as pandas' pyarrow strings,
    which dask would otherwise convert it to). The number texts that
    from_table gives back are those of `texts_of`, the partition as built
    (`table` has the sample's schema); none for the frame's meta."""

    def field_of(field: Any) -> Any:
        if texts_of is None or field.name not in texts_of.column_names:
            return field.remove_metadata()
        own = texts_of.schema.field(field.name).metadata
        return field.with_metadata(own) if own else field.remove_metadata()

    schema = pa.schema([field_of(field) for field in table.schema])
    return _tables.pandas_frame(pa.Table.from_arrays(table.columns, schema=schema))


def _scan_piece(piece: _Piece, options: dict[str, Any], sample: int | None) -> Any:
    """The kinds of the records of a piece (of its first `sample` bytes),
    and the number of blocks read."""
    _check_unchanged(piece)
    source: Any = piece.path
    if piece.storage_options is not None:
        source = _tables._URL(piece.path, piece.storage_options)
    scanned = _tables._scan_table(source, options, sample, piece.start, piece.stop, threads=1)
    return scanned.kinds, scanned.scanned


def _file_pieces(pieces: Sequence[_Piece]) -> list[_Piece]:
    """The first piece of each file, from its start: what a sample reads."""
    firsts: dict[_Path, _Piece] = {}
    for piece in pieces:
        if piece.path not in firsts:
            firsts[piece.path] = piece._replace(stop=None)
    return list(firsts.values())


def _scanned_plan(
    pa: Any,
    schema: str,
    pieces: Sequence[_Piece],
    sample: int,
    options: dict[str, Any],
    types: Any,
    is_bytes: bool,
) -> tuple[Any, Any]:
    """The frame's schema and how partitions meet it, for schema="scan"
    (each piece scanned as a dask task) or "sample" (the first `sample`
    bytes of each file), the kinds joined across them by the typing rule."""
    dask = _require("dask", "read_sdf")
    scan_options = dict(options, types=types)
    if schema == "scan":
        tasks = [dask.delayed(_scan_piece)(p, scan_options, None) for p in pieces]
    else:
        tasks = [dask.delayed(_scan_piece)(p, scan_options, sample) for p in _file_pieces(pieces)]
    results = dask.compute(*tasks)
    kinds = _native._join_kinds(k for k, _ in results)
    found: dict[Any, str] = {name: type_word for name, _, type_word in kinds}
    records = list(options["columns"]) if options["columns"] is not None else list(found)
    typed = {name: found.get(name, "str") for name in records}
    words = _tables._merged_types(typed, types)
    text = pa.large_binary() if is_bytes else pa.large_string()
    kind_of = {"int": pa.int64(), "float": pa.float64(), "str": text}

    def word(name: Any) -> str:
        if not isinstance(words, Mapping):
            return "str"
        key = name if name in words else os.fsdecode(name)
        return str(words.get(key, "str"))

    fields = [] if options["title"] is None else [pa.field(options["title"], text)]
    fields += [pa.field(os.fsdecode(n), kind_of[word(n)]) for n in records]
    fields += [pa.field(options[k], text) for k in ("molblock", "block") if options[k] is not None]
    frame_schema = pa.schema(fields)
    if schema == "scan":
        return frame_schema, _tables._Plan(records, words)
    described = f"the sample (the blocks in the first {sample} bytes of each file)"
    return frame_schema, _tables._Plan(options["columns"], words, frame_schema, described)


def read_sdf(
    paths_or_glob: Any,
    *,
    blocksize: int | str | None = "64 MiB",
    columns: Sequence[str | bytes] | None = None,
    types: Any = "auto",
    title: str | bytes | None = "title",
    molblock: str | bytes | None = None,
    block: str | bytes | None = None,
    errors: Literal["raise", "skip"] = "raise",
    schema: Any = "scan",
    sample: int | str = DEFAULT_SAMPLE,
    storage_options: Mapping[str, Any] | None = None,
) -> Any:
    """The SD data of files as a dask DataFrame, one row per block.

    `paths_or_glob` is a path, a glob (``"lib/*.sdf"``, its matches sorted)
    or a list of paths and globs, str (str columns) or bytes (binary
    columns), not both, or URLs read through fsspec with `storage_options`
    (credentials, endpoints; fsspec's own configuration when None), taken as
    they are (no glob). Each plain file is cut into pieces of about
    `blocksize` bytes (an int, or a text such as ``"256 MiB"`` or
    ``"64MB"``; None for one piece per file) on block boundaries, and each
    piece is one partition, in file order, built by ``molvane.to_arrow`` on
    its byte range on one thread (dask runs the partitions in parallel). A
    compressed file is one partition. `columns`, `types`,
    `title`, `molblock`, `block` and `errors` are those of to_arrow. Each
    partition has its own index, from 0. A computation that needs only some
    columns (``frame["IC50"].sum()``) builds only those.

    Dask needs the columns and their types before reading; `schema` says
    where they come from, and every partition is built to them:

    - ``"scan"`` (the default): every piece's record names and the kinds of
      their values are read first, as dask tasks on the scheduler in use
      (no table is built), and joined by to_arrow's typing rule, so the
      frame has the columns and types of to_arrow's table of all the files
      together, whatever comes late in which file;
    - ``"sample"``: the same from the blocks in the first `sample` bytes of
      each file (``"1 MiB"`` by default). A partition value that does not
      fit its sample type raises ValueError naming it (or is null with
      ``errors="skip"``), and a partition holding a record that no sample
      holds raises ValueError naming it: nothing is dropped unasked;
    - a pyarrow schema or a mapping ``{name: "int" | "float" | "str"}``
      gives the record columns and types (records it does not name are left
      out; a value that does not fit raises ValueError, or is null with
      ``errors="skip"``).

    ``columns=[...]`` reads those columns only; ``types`` given as a mapping
    wins for the columns it names, and ``types="str"`` keeps every column as
    written. A column without a non-empty value is text. Columns are made as
    to_pandas makes them (``pandas.ArrowDtype``; text as pandas' pyarrow
    string dtype): nullable, and int64 stays exact; each partition's
    ``attrs`` keep the texts of its numbers, so to_sdf writes untouched
    values as they were written. A pandas frame has no schema metadata, so
    ``errors="skip"`` does not report how many blocks it skipped; to_arrow
    on the same range does.
    """
    dd = _require("dask.dataframe", "read_sdf")
    pa = _require("pyarrow", "read_sdf")
    pd = _require("pandas", "read_sdf")
    block_bytes = _byte_count(blocksize, "blocksize", allow_none=True)
    sample_bytes = _byte_count(sample, "sample")
    assert sample_bytes is not None
    _tables._check_options(columns, title, molblock, block)
    paths = _expand(paths_or_glob, storage_options)
    options: dict[str, Any] = {
        "columns": columns,
        "title": title,
        "molblock": molblock,
        "block": block,
    }
    pieces = _pieces(paths, block_bytes, _remote_options(storage_options))
    # Bytes paths give binary columns, blocks or not, as to_arrow's do.
    is_bytes = isinstance(paths[0], bytes)
    if isinstance(schema, str) and schema in ("scan", "sample"):
        frame_schema, plan = _scanned_plan(
            pa, schema, pieces, sample_bytes, options, types, is_bytes
        )
    else:
        plan = _tables._plan(schema, None, columns, title, molblock, block, types, sample_bytes)
        empty = _native._build_table(
            [], title=title, molblock=molblock, block=block, **_plan_options(plan)
        )
        frame_schema = pa.schema(empty)
        if is_bytes:
            frame_schema = pa.schema(
                [
                    f.with_type(pa.large_binary()) if pa.types.is_large_string(f.type) else f
                    for f in frame_schema
                ]
            )
    build_options = dict(options, errors=errors, **_plan_options(plan))
    reader = _ReadFrame(build_options, frame_schema, plan)
    meta = _to_pandas(pa, pd, frame_schema.empty_table())
    if not pieces:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_map(reader, pieces, meta=meta, label="read-sdf", enforce_metadata=False)


def _plan_options(plan: Any) -> dict[str, Any]:
    types = plan.types
    return {"columns": plan.columns, "types": dict(types) if isinstance(types, Mapping) else types}


# --- Bags -----------------------------------------------------------------------


def _read_blocks_partition(pieces: list[_Piece]) -> list[Any]:
    return [block for piece in pieces for block in _blocks_of(piece)]


def _remote_options(storage_options: Mapping[str, Any] | None) -> dict[str, Any]:
    """The options pieces of URLs carry (an empty dict: fsspec's defaults)."""
    return dict(storage_options or {})


def read_blocks(
    paths_or_glob: Any,
    *,
    blocksize: int | str | None = "64 MiB",
    storage_options: Mapping[str, Any] | None = None,
) -> Any:
    """The blocks of files as a dask Bag of SDBlocks, one partition per piece.

    Files and pieces as for read_sdf: a path, a glob or a list of them (str
    paths give str blocks, bytes paths bytes blocks), each plain file cut on
    block boundaries into pieces of about `blocksize` bytes, a compressed
    file one partition. Partitions follow file order, and so do their blocks.
    URLs are read through fsspec with `storage_options`, as by read_sdf.
    """
    db = _require("dask.bag", "read_blocks")
    block_bytes = _byte_count(blocksize, "blocksize", allow_none=True)
    pieces = _pieces(
        _expand(paths_or_glob, storage_options), block_bytes, _remote_options(storage_options)
    )
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
    with _running_write(token):
        if not os.path.exists(marker):
            return None
        try:
            write(part, staged, *args)
        except Exception as error:
            return error
        if not os.path.exists(marker):
            _remove(staged)
        return None


@contextlib.contextmanager
def _running_write(token: str) -> Iterator[None]:
    """Counts a partition's write as running for the to_sdf call `token`
    while it lasts, so that the call can wait for it."""
    with _running_changed:
        _running[token] = _running.get(token, 0) + 1
    try:
        yield
    finally:
        with _running_changed:
            _running[token] -= 1
            if not _running[token]:
                del _running[token]
            _running_changed.notify_all()


def _to_store(
    collection: Any,
    pattern: str | bytes,
    write: Any,
    extra: tuple[Any, ...],
    compresslevel: int | None,
    storage_options: Mapping[str, Any] | None,
) -> list[str] | list[bytes]:
    """to_sdf of a URL pattern: staged uploads, copied over their targets
    once every one succeeded."""
    from molvane import _remote

    dask = _require("dask", "to_sdf")
    parts = collection.to_delayed()
    urls = _part_paths(pattern, len(parts))
    texts = [_remote._text(url) for url in urls]
    inputs = {
        _remote.object_of(piece.path, piece.storage_options)
        for piece in _input_pieces(collection)
        if _is_url(piece.path)
    }
    for url in texts:
        if _remote.object_of(url, storage_options) in inputs:
            raise ValueError(
                f"to_sdf: {url!r} is one of the collection's own input files, "
                "which are read while the partitions are written: write to other URLs"
            )
    upload = _remote.StagedUpload(texts, uuid.uuid4().hex[:16], storage_options)
    upload.begin()
    done = False
    try:
        writes = [
            dask.delayed(_upload_part, pure=False)(write, part, upload, k, compresslevel, *extra)
            for k, part in enumerate(parts)
        ]
        failures = [f for f in dask.compute(*writes) if f is not None]
        if failures:
            raise failures[0]
        upload.commit()
        done = True
    finally:
        if not done:
            with _running_changed:
                _running_changed.wait_for(lambda: upload.token not in _running)
            upload.discard()
    return urls  # type: ignore[return-value]  # all str or all bytes, as the pattern


def _upload_part(write: Any, part: Any, upload: Any, k: int, *args: Any) -> BaseException | None:
    """Writes partition `k` to a local temporary file and uploads it as its
    staged object; the failure, if any, is returned, as _write_part does."""
    with _running_write(upload.token):
        if not upload.wanted():
            return None
        with tempfile.TemporaryDirectory(prefix="molvane-") as folder:
            # The target's own name keeps its suffix, which chooses the compression.
            local = os.path.join(folder, upload.urls[k].rpartition("/")[2] or "part.sdf")
            try:
                write(part, local, *args)
                upload.upload(local, k)
            except Exception as error:
                return error
        if not upload.wanted():
            upload.discard([k])
        return None


def _remove(path: _Path) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _input_files(collection: Any) -> set[tuple[int, int]]:
    """(device, inode) of every local file that the collection's read_sdf
    and read_blocks partitions read."""
    found: set[tuple[int, int]] = set()
    for piece in _input_pieces(collection):
        try:
            status = os.stat(piece.path)
        except (OSError, ValueError):
            continue
        found.add((status.st_dev, status.st_ino))
    return found


def _input_pieces(collection: Any) -> Iterator[_Piece]:
    """Every piece that the collection's read_sdf and read_blocks
    partitions read, found in its task graph."""
    seen: set[int] = set()
    stack: list[Any] = list(dict(collection.__dask_graph__()).values())
    while stack:
        item = stack.pop()
        if id(item) in seen or isinstance(item, (str, bytes, int, float)) or item is None:
            continue
        seen.add(id(item))
        if isinstance(item, _Piece):
            yield item
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
    storage_options: Mapping[str, Any] | None = None,
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
    storage_options: Mapping[str, Any] | None = None,
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
    storage_options: Mapping[str, Any] | None = None,
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

    A URL pattern (``s3://bucket/out/part-*.sdf.gz``, with
    `storage_options` as read_sdf takes them) writes objects through fsspec:
    each partition is written to a local temporary file and uploaded whole
    under a hidden key beside its target, and only when every upload
    succeeded are they copied over their targets and removed. A failure
    before that leaves every target as it was; one while copying can leave
    some targets new and others old, as a store has no rename.
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
    if isinstance(pattern, (str, bytes)) and _is_url(pattern):
        from molvane import _remote

        local = _remote._local_path(pattern)
        if local is None:
            return _to_store(collection, pattern, write, extra, compresslevel, storage_options)
        pattern = local
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
