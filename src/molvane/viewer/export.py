"""Selected blocks as a file to download: SD (the blocks byte for byte), CSV or Parquet."""

from __future__ import annotations

import importlib
import io
from collections.abc import Sequence
from typing import Any

FORMATS = {
    "sdf": ("chemical/x-mdl-sdfile", ".sdf"),
    "csv": ("text/csv; charset=utf-8", ".csv"),
    "parquet": ("application/vnd.apache.parquet", ".parquet"),
}


def export(blocks: Sequence[Any], fmt: str) -> bytes:
    """The file of `blocks` (bytes SDBlocks) in format `fmt` (a key of FORMATS)."""
    if fmt == "sdf":
        return b"".join(bytes(block) for block in blocks)
    table = _table(blocks)
    out = io.BytesIO()
    if fmt == "csv":
        importlib.import_module("pyarrow.csv").write_csv(table, out)
    elif fmt == "parquet":
        importlib.import_module("pyarrow.parquet").write_table(table, out)
    else:
        raise ValueError(f"unknown export format {fmt!r} (one of {', '.join(FORMATS)})")
    return out.getvalue()


def _table(blocks: Sequence[Any]) -> Any:
    """The table of `blocks`, text columns as UTF-8 strings (CSV and Parquet want text)."""
    try:
        importlib.import_module("pyarrow")
    except ImportError:
        raise ImportError(
            "CSV and Parquet export need pyarrow; install it with: pip install 'molvane[arrow]'"
        ) from None
    from molvane.cli.tables_out import as_text_columns
    from molvane.tables import to_arrow

    table = to_arrow(list(blocks))
    return as_text_columns(table, ", export SD instead")
