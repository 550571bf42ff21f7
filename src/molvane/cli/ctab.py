"""What ``check`` and ``repair`` read of a block's connection table."""

from __future__ import annotations

from typing import Any

from molvane.ctable import CTableError

# Lines after the bonds of a V2000 table: properties, atom aliases and
# values, group abbreviations, skip lines, and the old atom lists.
_V2000_AFTER_BONDS = (b"M  ", b"A  ", b"V  ", b"G  ", b"S  SKP")


def header_lines(block: Any) -> list[bytes]:
    """The lines after the title through ``M  END``, without line ends."""
    return [line.rstrip(b"\r") for line in block.mdl.split(b"\n")]


def has_end(block: Any) -> bool:
    return bool(block.mdl.rstrip(b"\r\n").endswith(b"M  END"))


def version(lines: list[bytes]) -> bytes | None:
    if len(lines) < 3:
        return None
    counts = lines[2]
    if b"V3000" in counts[30:]:
        return b"V3000"
    return b"V2000"


def _is_atom_line(line: bytes) -> bool:
    try:
        float(line[0:10])
        float(line[10:20])
        float(line[20:30])
    except ValueError:
        return False
    return len(line) >= 34


def v2000_problem(lines: list[bytes]) -> str | None:
    """Why a V2000 counts line disagrees with the atom and bond lines, or None."""
    counts = lines[2]
    try:
        atoms, bonds = int(counts[0:3]), int(counts[3:6])
    except ValueError:
        return f"the counts line {counts.decode('latin-1')!r} has no atom and bond counts"
    table = []
    for line in lines[3:]:
        if line.startswith(_V2000_AFTER_BONDS) or line == b"M  END":
            break
        table.append(line)
    atom_lines = 0
    while atom_lines < len(table) and _is_atom_line(table[atom_lines]):
        atom_lines += 1
    bond_lines = len(table) - atom_lines
    if (atom_lines, bond_lines) != (atoms, bonds):
        return (
            f"the counts line declares {atoms} atoms and {bonds} bonds, "
            f"the table has {atom_lines} atom lines and {bond_lines} bond lines"
        )
    return None


def v3000_problems(block: Any) -> list[str]:
    """The V3000 index and count problems CTable finds, as messages."""
    try:
        table = block.ctable()
    except CTableError as error:
        return [str(error)]
    except UnicodeDecodeError:
        return []  # reported as text that is not UTF-8
    found = []
    # Indices need not run 1, 2, 3, ... in V3000: only duplicates,
    # malformed indices and counts that disagree are problems.
    for check in (table.valid_atom_indices, table.valid_bond_indices):
        try:
            check()
        except CTableError as error:
            found.append(str(error))
        except NotImplementedError:
            pass  # constructs CTable leaves alone (nested RGROUP/TEMPLATE tables)
    return found
