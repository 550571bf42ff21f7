"""The files a viewer serves, and the lists of their blocks it pages through.

Each file is an `SDFile`: its block index is found on a background thread
(a plain scan, near memory speed once the file is cached), and every page
reads only its own blocks, one `pread` each. Until the index is there, the
first blocks are read from the file's start, so the first page never waits
for the whole file.

A filtered or sorted list of a file is a `View`: block numbers found on a
thread of its own while the page shows what is known so far. A filter runs
the command line's expression over every block in file order; a sort reads
its one column with the table builder and orders it with pyarrow.
"""

from __future__ import annotations

import importlib
import os
import threading
import time
from array import array
from collections import OrderedDict
from collections.abc import Sequence
from typing import Any

from molvane import _remote, native
from molvane.cli.expr import ExpressionError, compile_expression, tokenize

# A page asked for before the index is there is read from the file's start
# when it lies within this many blocks of it.
EARLY_BLOCKS = 2000
# Views kept per file; the oldest is dropped (and its work stopped) beyond.
KEPT_VIEWS = 6
# How often (in blocks) a filter publishes its progress and checks for stop.
_STEP = 4096


class ViewError(Exception):
    """A request the file cannot answer (bad expression, no such field, ...)."""


class View:
    """Block numbers of one file in the order of a filter and sort, found on a thread.

    `order` is None for the file's own order (every block); otherwise the
    block numbers found so far. `done` is set when the list is complete or
    the work failed (`error`).
    """

    def __init__(self, source: ViewedFile, expression: str, field: str, descending: bool) -> None:
        self.source = source
        self.expression = expression
        self.field = field
        self.descending = descending
        self.order: Sequence[int] | None = None
        self.progress = 0.0
        self.error: str | None = None
        self.done = threading.Event()
        self.stopped = threading.Event()
        self._predicate = _predicate(expression) if expression else None
        if self._predicate is None and not field:
            self.done.set()
            return
        threading.Thread(target=self._run, name="molvane-view", daemon=True).start()

    @property
    def complete(self) -> bool:
        return self.done.is_set()

    def _run(self) -> None:
        try:
            matches = self._filter() if self._predicate is not None else None
            if self.stopped.is_set():
                return
            if self.field:
                self.order = self._sorted(matches)
            self.progress = 1.0
        except Exception as error:  # shown to the user, who can change the request
            self.error = _message(error)
        finally:
            self.done.set()

    def _filter(self) -> array[int]:
        assert self._predicate is not None
        keep = self._predicate
        found: array[int] = array("q")
        if not self.field:
            self.order = found  # pages show the matches found so far
        blocks = native.parse_sdf(self.source.path)
        blocks._keep_trailing()  # numbered as the SDFile numbers them
        size = blocks.size or 0
        for number, block in enumerate(blocks):
            if keep(block):
                found.append(number)
            if number % _STEP == 0:
                if self.stopped.is_set():
                    blocks.close()
                    break
                if size:
                    self.progress = 0.9 * (blocks.position or 0) / size
        return found

    def _sorted(self, matches: array[int] | None) -> Sequence[int]:
        pa, pc = _pyarrow()
        order = self.source.sort_order(self.field, self.descending)
        if matches is not None:
            order = order.filter(pc.is_in(order, value_set=pa.array(matches, pa.int64())))
        result: list[int] = order.to_pylist()
        return result

    @property
    def pending(self) -> bool:
        """Whether pages must wait: a sort has no page before it is done."""
        return bool(self.field) and not self.complete

    def page(self, start: int, count: int) -> list[int]:
        if self.order is None:
            total = self.source.count
            end = start + count if total is None else min(start + count, total)
            return list(range(start, end))
        return list(self.order[start : start + count])

    @property
    def total(self) -> int | None:
        """Blocks in the list (known so far while a filter runs; None while indexing)."""
        if self.order is None:
            return None if self.pending else self.source.count
        return len(self.order)

    def position_of(self, number: int) -> int | None:
        """Where block `number` stands in the list, or None if it is not in it."""
        if self.order is None:
            count = self.source.count
            return number if count is not None and 0 <= number < count else None
        try:
            return list(self.order).index(number)
        except ValueError:
            return None


def _predicate(expression: str) -> Any:
    # '@file' would read a file named by the request: the viewer serves only
    # the files it was started with, so lists must be written out.
    try:
        for token in tokenize(expression):
            if token.kind == "file":
                raise ViewError(
                    f"the viewer reads no file named in a filter ({token.text}); "
                    'write the values out: ID in ("a", "b")'
                )
        return compile_expression(expression)
    except ExpressionError as error:
        raise ViewError(str(error)) from None


def _message(error: BaseException) -> str:
    from molvane.cli.errors import one_line

    return one_line(error)


def _pyarrow() -> tuple[Any, Any]:
    # pyarrow ships no type information: its modules are Any here.
    try:
        pa = importlib.import_module("pyarrow")
        pc = importlib.import_module("pyarrow.compute")
    except ImportError:
        raise ImportError(
            "sorting and exporting tables need pyarrow; install it with: pip install 'molvane[arrow]'"
        ) from None
    return pa, pc


class ViewedFile:
    """One file given to the viewer: its SDFile, its index state and its views."""

    def __init__(self, path: str) -> None:
        self.label = path
        self.path = os.fsencode(path)
        self.sdfile: native.SDFile[bytes]
        if native._is_url(path) and _remote._local_path(path) is None:
            # A remote file: its blocks read by ranged reads, the index found
            # by streaming it once.
            self.name = path.rstrip("/").rpartition("/")[2]
            self.size = _remote.open_remote(path).size
            self.sdfile = native.SDFile(self.path)
        else:
            if native._is_url(path):
                self.path = os.fsencode(_remote._local_path(path) or path)
            self.name = os.path.basename(os.fsdecode(self.path))
            self.size = os.path.getsize(self.path)
            # An index saved beside a plain file (molvane index) replaces the
            # scan; a BGZF file's is found by SDFile itself.
            beside = self.path + b".idx"
            plain = native._source_kind(self.path) == "plain" and os.path.exists(beside)
            self.sdfile = native.SDFile(self.path, index=beside if plain else None)
        self.count: int | None = None
        self.index_error: str | None = None
        self.indexed = threading.Event()
        self.started = time.monotonic()
        self._views: OrderedDict[tuple[str, str, bool], View] = OrderedDict()
        self._sorts: dict[tuple[str, bool], Any] = {}
        self._lock = threading.Lock()
        threading.Thread(target=self._index, name="molvane-index", daemon=True).start()

    def _index(self) -> None:
        try:
            self.count = len(self.sdfile)
        except Exception as error:
            self.index_error = _message(error)
        finally:
            self.indexed.set()

    def status(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "size": self.size,
            "indexed": self.indexed.is_set(),
            "count": self.count,
            "elapsed": round(time.monotonic() - self.started, 1),
            "error": self.index_error,
        }

    def view(self, expression: str, field: str, descending: bool) -> View:
        key = (expression.strip(), field, descending and bool(field))
        with self._lock:
            found = self._views.get(key)
            if found is not None:
                self._views.move_to_end(key)
                return found
            made = View(self, *key)
            self._views[key] = made
            while len(self._views) > KEPT_VIEWS:
                _, dropped = self._views.popitem(last=False)
                dropped.stopped.set()
            return made

    def sort_order(self, field: str, descending: bool) -> Any:
        """The block numbers in the order of `field` (nulls last), as a pyarrow array."""
        pa, pc = _pyarrow()
        with self._lock:
            cached = self._sorts.get((field, descending))
        if cached is not None:
            return cached
        from molvane.tables import to_arrow

        if field == "$title":
            table = to_arrow(self.path, columns=[], title="key", errors="skip")
        else:
            table = to_arrow(self.path, columns=[field], title=None, errors="skip")
        column = table.column(0)
        if column.null_count == len(column):
            raise ViewError(f"no block has a field named {field!r}")
        # Blocks without the field (nulls) come last either way: pyarrow's default.
        order = pc.sort_indices(
            pa.table({"key": column}),
            sort_keys=[("key", "descending" if descending else "ascending")],
        ).cast(pa.int64())
        with self._lock:
            self._sorts[(field, descending)] = order
        return order

    def blocks(self, numbers: Sequence[int]) -> list[native.SDBlock[bytes]]:
        """The blocks of `numbers`, from the index or, before it, from the file's start."""
        if not numbers:
            return []
        if not self.indexed.is_set() and max(numbers) < EARLY_BLOCKS:
            return self._early(numbers)
        self.indexed.wait()
        if self.index_error is not None:
            raise ViewError(self.index_error)
        return [self.sdfile[number] for number in numbers]

    def block(self, number: int) -> native.SDBlock[bytes]:
        count = self.wait_count()
        if not 0 <= number < count:
            raise ViewError(f"{self.name} has no block {number + 1} (it has {count})")
        return self.sdfile[number]

    def wait_count(self) -> int:
        self.indexed.wait()
        if self.count is None:
            raise ViewError(self.index_error or "the file could not be indexed")
        return self.count

    def _early(self, numbers: Sequence[int]) -> list[native.SDBlock[bytes]]:
        wanted = set(numbers)
        last = max(numbers)
        found: dict[int, native.SDBlock[bytes]] = {}
        reader = native.parse_sdf(self.path)
        reader._keep_trailing()
        try:
            for number, block in enumerate(reader):
                if number in wanted:
                    found[number] = block
                if number >= last:
                    break
        finally:
            reader.close()
        return [found[number] for number in numbers if number in found]

    def close(self) -> None:
        with self._lock:
            for view in self._views.values():
                view.stopped.set()
