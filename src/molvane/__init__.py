"""Fast, lossless reading, editing and writing of chemistry SD files.

The work is done by the compiled module :mod:`molvane.native`; its public
names are re-exported here, together with the connection-table exceptions.
"""

from typing import TYPE_CHECKING, Any

from molvane import native as _native
from molvane.ctable import (
    CTableError,
    IndicesDuplicateError,
    IndicesMismatchError,
    IndicesOutOfOrderError,
    MalformedCTableError,
)
from molvane.native import (
    DEBUG_BUILD,
    CTable,
    MalformedRecordError,
    SDBlock,
    SDFile,
    parse_sdf,
    sdf_writer,
    shards,
    write_sdf,
)

if TYPE_CHECKING:
    from molvane.grid import grid
    from molvane.tables import (
        from_table,
        iter_batches,
        scan_schema,
        to_arrow,
        to_pandas,
        to_polars,
    )

# The table and picture functions load their modules when first asked for,
# so that a command line run or a script that only reads and writes blocks
# starts without them.
_LAZY = {
    "from_table": "molvane.tables",
    "iter_batches": "molvane.tables",
    "scan_schema": "molvane.tables",
    "to_arrow": "molvane.tables",
    "to_pandas": "molvane.tables",
    "to_polars": "molvane.tables",
    "grid": "molvane.grid",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'molvane' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))


__version__ = _native.__version__

# Spelled out rather than computed so that type checkers see the same names
# as the interpreter; a test keeps it in step with the native module.
__all__ = [
    "CTable",
    "SDBlock",
    "MalformedRecordError",
    "parse_sdf",
    "write_sdf",
    "sdf_writer",
    "DEBUG_BUILD",
    "CTableError",
    "MalformedCTableError",
    "IndicesDuplicateError",
    "IndicesMismatchError",
    "IndicesOutOfOrderError",
    "to_arrow",
    "to_pandas",
    "to_polars",
    "iter_batches",
    "from_table",
    "scan_schema",
    "SDFile",
    "shards",
    "grid",
]
