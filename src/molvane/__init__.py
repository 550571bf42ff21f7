"""Fast, lossless reading, editing and writing of chemistry SD files.

The work is done by the compiled module :mod:`molvane.native`; its public
names are re-exported here, together with the connection-table exceptions.
"""

from molvane import native as _native
from molvane.ctable import (
    CTableError,
    IndicesDuplicateError,
    IndicesMismatchError,
    IndicesOutOfOrderError,
    MalformedCTableError,
)
from molvane.grid import grid
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
from molvane.tables import (
    from_table,
    iter_batches,
    scan_schema,
    to_arrow,
    to_pandas,
    to_polars,
)

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
