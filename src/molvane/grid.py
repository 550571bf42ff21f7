"""Paged grids of structure drawings for notebooks: :func:`molvane.grid`.

A grid shows one page of its source: the drawings of that page's blocks,
each with its number, title and the chosen fields. Only the page's blocks
are read, so a grid of a file of any size opens at once: a path goes
through :class:`molvane.SDFile`, which finds blocks by their offsets, and a
table is sliced to the page's rows before anything is converted.

A notebook saved with its output has no kernel behind it, so paging needs no
server and no script: the grid object renders the page it stands for, and
``grid.page(k)`` returns another grid, over the same source, for page ``k``
(counted from 0). Display it in a new cell to see that page.
"""

from __future__ import annotations

import html
import os
from collections.abc import Sequence
from typing import Any

from molvane.native import SDBlock, SDFile

__all__ = ["Grid", "grid"]

_BLOCK_COLUMNS = ("block", "molblock")


class _Source:
    """A source cut into pages: its length and the blocks of one range."""

    def __len__(self) -> int:
        raise NotImplementedError

    def rows(self, start: int, stop: int) -> list[tuple[SDBlock[Any], dict[str, str]]]:
        """The blocks of [start, stop) with the values of the chosen fields."""
        raise NotImplementedError

    def describe(self) -> str:
        raise NotImplementedError


def _text(value: object) -> str:
    """A value as display text; bytes as UTF-8 with undecodable bytes replaced,
    and missing values (None, NaN, pandas' NA) as nothing."""
    if value is None or type(value).__name__ == "NAType":
        return ""
    if isinstance(value, float) and value != value:
        return ""
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return str(value)


def _record_fields(block: SDBlock[Any], columns: Sequence[str]) -> dict[str, str]:
    fields = {}
    for name in columns:
        key: str | bytes = name.encode() if isinstance(block.title, bytes) else name
        fields[name] = _text(block.get(key))
    return fields


class _FileSource(_Source):
    def __init__(self, path: str | os.PathLike[str] | bytes, columns: Sequence[str]) -> None:
        # Bytes blocks: a file in any encoding draws, and its values are shown
        # as UTF-8 with undecodable bytes replaced.
        self.file = SDFile(os.fsencode(path))
        self.columns = columns

    def __len__(self) -> int:
        return len(self.file)

    def rows(self, start: int, stop: int) -> list[tuple[SDBlock[Any], dict[str, str]]]:
        return [(b, _record_fields(b, self.columns)) for b in self.file[start:stop]]

    def describe(self) -> str:
        return os.fsdecode(self.file.path)


class _BlockSource(_Source):
    def __init__(self, blocks: Sequence[SDBlock[Any]], columns: Sequence[str]) -> None:
        for i, block in enumerate(blocks):
            if not isinstance(block, SDBlock):
                raise TypeError(f"grid() source item {i} is {type(block).__name__}, not SDBlock")
        self.blocks = blocks
        self.columns = columns

    def __len__(self) -> int:
        return len(self.blocks)

    def rows(self, start: int, stop: int) -> list[tuple[SDBlock[Any], dict[str, str]]]:
        return [(b, _record_fields(b, self.columns)) for b in self.blocks[start:stop]]

    def describe(self) -> str:
        return f"{len(self.blocks)} blocks"


def _block_of(value: object, row: int) -> SDBlock[Any]:
    if isinstance(value, SDBlock):
        return value
    if isinstance(value, (str, bytes)):
        return SDBlock(value)
    raise TypeError(f"grid() table row {row} holds {type(value).__name__}, not a block's text")


class _TableSource(_Source):
    """A pyarrow Table or pandas DataFrame with a block or molblock column."""

    def __init__(self, table: Any, block_column: str | None, columns: Sequence[str]) -> None:
        names = [str(name) for name in table.columns] if _is_pandas(table) else table.column_names
        if block_column is None:
            found = [name for name in _BLOCK_COLUMNS if name in names]
            if not found:
                raise ValueError(
                    "grid() table has no 'block' or 'molblock' column; name it with block_column="
                )
            block_column = found[0]
        elif block_column not in names:
            raise ValueError(f"grid() table has no column {block_column!r}")
        missing = [name for name in columns if name not in names]
        if missing:
            raise ValueError(f"grid() table has no column {missing[0]!r}")
        self.table = table
        self.block_column = block_column
        self.columns = columns

    def __len__(self) -> int:
        return len(self.table)

    def rows(self, start: int, stop: int) -> list[tuple[SDBlock[Any], dict[str, str]]]:
        wanted = [self.block_column, *self.columns]
        if _is_pandas(self.table):
            page = self.table.iloc[start:stop]
            values = {name: page[name].tolist() for name in wanted}
        else:
            page = self.table.slice(start, stop - start)
            values = {name: page.column(name).to_pylist() for name in wanted}
        return [
            (
                _block_of(values[self.block_column][i], start + i),
                {name: _text(values[name][i]) for name in self.columns},
            )
            for i in range(len(values[self.block_column]))
        ]

    def describe(self) -> str:
        return f"table of {len(self.table)} rows"


def _is_pandas(table: object) -> bool:
    return hasattr(table, "iloc")


def _is_table(source: object) -> bool:
    return _is_pandas(source) or (hasattr(source, "column_names") and hasattr(source, "slice"))


class Grid:
    """One page of drawings of a source; ``page(k)`` gives another page.

    Displayed by Jupyter through ``_repr_html_``; ``html()`` is the same text.
    """

    def __init__(
        self, source: _Source, page: int, page_size: int, width: float, height: float
    ) -> None:
        self._source = source
        self._page_size = page_size
        self._width = width
        self._height = height
        self._count = len(source)
        pages = self.num_pages
        if not 0 <= page < pages:
            raise IndexError(f"grid page {page} is out of range: the source has {pages} pages")
        self._page = page

    @property
    def num_pages(self) -> int:
        """The number of pages; an empty source has one, empty."""
        return max(1, -(-self._count // self._page_size))

    @property
    def page_number(self) -> int:
        """The page this grid shows, from 0."""
        return self._page

    def __len__(self) -> int:
        """The number of blocks of the whole source."""
        return self._count

    def page(self, number: int) -> Grid:
        """A grid of page `number` (from 0; negative counts from the end)."""
        if number < 0:
            number += self.num_pages
        return Grid(self._source, number, self._page_size, self._width, self._height)

    def html(self) -> str:
        """This page as an HTML fragment: a header line and one cell per block."""
        start = self._page * self._page_size
        stop = min(start + self._page_size, self._count)
        cells = [
            self._cell(start + i, block, fields)
            for i, (block, fields) in enumerate(self._source.rows(start, stop))
        ]
        shown = f"blocks {start} to {stop - 1}" if stop > start else "no blocks"
        header = (
            f"{html.escape(self._source.describe())}: {shown} of {self._count:,}, "
            f"page {self._page} of {self.num_pages} (from 0); "
            f"<code>.page(k)</code> shows page k"
        )
        return (
            '<div class="molvane-grid">'
            f'<div style="font-family:sans-serif;font-size:90%;margin:4px 0">{header}</div>'
            '<div style="display:grid;gap:6px;'
            f'grid-template-columns:repeat(auto-fill,minmax({self._width:g}px,1fr))">'
            f"{''.join(cells)}</div></div>"
        )

    def _cell(self, number: int, block: SDBlock[Any], fields: dict[str, str]) -> str:
        lines = [f"<b>{number}</b> {html.escape(_text(block.title))}"]
        lines += [f"{html.escape(name)}: {html.escape(value)}" for name, value in fields.items()]
        caption = "<br/>".join(lines)
        return (
            '<div class="molvane-cell" style="border:1px solid #ddd;padding:2px;'
            'font-family:sans-serif;font-size:80%;overflow:hidden">'
            f"{block.svg(self._width, self._height)}<div>{caption}</div></div>"
        )

    def _repr_html_(self) -> str:
        return self.html()

    def __repr__(self) -> str:
        return (
            f"<molvane.Grid {self._source.describe()}: page {self._page} of {self.num_pages}, "
            f"{self._page_size} blocks a page>"
        )


def grid(
    source: object,
    *,
    columns: Sequence[str] | None = None,
    page_size: int = 24,
    page: int = 0,
    width: float = 200,
    height: float = 150,
    block_column: str | None = None,
) -> Grid:
    """A paged grid of structure drawings of `source`, for notebooks.

    `source` is a path to an SD file (read through :class:`molvane.SDFile`,
    as bytes blocks), a list or tuple of blocks, or a pyarrow Table or
    pandas DataFrame with a column of block texts (`block_column`, by
    default the column named "block" or "molblock"; blocks or their str or
    bytes texts). Each cell shows the block's number (from 0), its title and
    the values of `columns`: records of SD sources, columns of tables.

    Only the shown page's blocks are read. The grid renders page `page`
    (from 0) of `page_size` blocks, each drawn `width` by `height` pixels;
    ``grid(...).page(k)`` gives page k.

    Raises:
        TypeError: for another kind of source or a list item that is not a
            block.
        ValueError: for a table without the block column or a column of
            `columns`, or a page size or drawing size that is not positive.
        IndexError: for a page past the last.
    """
    if isinstance(columns, (str, bytes)):
        raise TypeError("grid() columns must be a sequence of names, not one str")
    names = [str(name) for name in columns or ()]
    if isinstance(page_size, bool) or not isinstance(page_size, int) or page_size < 1:
        raise ValueError(f"grid() page_size must be a positive int, not {page_size!r}")
    for label, size in (("width", width), ("height", height)):
        if isinstance(size, bool) or not isinstance(size, (int, float)) or not size > 0:
            raise ValueError(f"grid() {label} must be a positive number, not {size!r}")
    built: _Source
    if isinstance(source, (str, bytes, os.PathLike)):
        built = _FileSource(source, names)
    elif isinstance(source, (list, tuple)):
        built = _BlockSource(source, names)
    elif _is_table(source):
        built = _TableSource(source, block_column, names)
    else:
        raise TypeError(
            "grid() source must be a path, a list of blocks, or a pyarrow or pandas table "
            f"with a block column, not {type(source).__name__}"
        )
    result = Grid(built, 0, page_size, width, height)
    return result.page(page) if page else result
