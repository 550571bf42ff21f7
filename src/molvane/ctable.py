"""Exceptions raised by the connection-table (CTAB) operations.

Every error about a table's contents is a :class:`CTableError`, itself a
:class:`ValueError`. Each takes one argument, the full message.
"""

__all__ = [
    "CTableError",
    "MalformedCTableError",
    "IndicesDuplicateError",
    "IndicesMismatchError",
    "IndicesOutOfOrderError",
]


class CTableError(ValueError):
    """A connection table's contents cannot be read or repaired."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class MalformedCTableError(CTableError):
    """A CTable line is missing or malformed; the message names the line."""


class IndicesDuplicateError(CTableError):
    """An atom or bond index occurs more than once."""


class IndicesMismatchError(CTableError):
    """The number of atom or bond lines differs from the counts line."""


class IndicesOutOfOrderError(CTableError):
    """An atom or bond index is not the next one of 1, 2, 3, ..."""
