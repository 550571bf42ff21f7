"""What ``check`` and ``repair`` read of a block's connection table.

Every rule about the table's bytes (where it ends, its format, its counts,
which lines are atoms and bonds) is core's: these helpers only turn what core
reports into the commands' messages.
"""

from __future__ import annotations

from typing import Any, NamedTuple

from molvane.ctable import CTableError


class Layout(NamedTuple):
    blank: bool
    has_end: bool
    format: str | None
    num_atoms: int | None
    num_bonds: int | None
    atom_lines: int
    bond_lines: int
    header_too_short: bool
    header_problem: str | None


def layout(block: Any) -> Layout:
    return Layout(*block._ctab_layout())


def header_problem(table: Layout) -> str | None:
    """Why the header cannot be read, or None."""
    if table.header_too_short:
        return "the header is shorter than its three lines and a counts line"
    if table.header_problem is not None:
        return f"the counts line has no atom and bond counts ({table.header_problem})"
    return None


def v2000_problem(table: Layout) -> str | None:
    """Why a V2000 counts line disagrees with the atom and bond lines, or None."""
    found = (table.atom_lines, table.bond_lines)
    if found == (table.num_atoms, table.num_bonds):
        return None
    return (
        f"the counts line declares {table.num_atoms} atoms and {table.num_bonds} bonds, "
        f"the table has {table.atom_lines} atom lines and {table.bond_lines} bond lines"
    )


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
