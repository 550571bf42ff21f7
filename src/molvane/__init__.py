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
from molvane.native import *  # noqa: F403  (the module's __all__)

__version__ = _native.__version__

__all__ = [name for name in _native.__all__ if not name.startswith("_")] + [
    "CTableError",
    "MalformedCTableError",
    "IndicesDuplicateError",
    "IndicesMismatchError",
    "IndicesOutOfOrderError",
]
