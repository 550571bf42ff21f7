"""Small SD blocks for the command line tests, each fault kind by itself."""

V2000 = (
    "{title}\n  molvane\n\n  2  1  0  0  0  0  0  0  0  0999 V2000\n"
    "    0.0000    0.0000    0.0000 C   0  0  0  0  0  0  0  0  0  0  0  0\n"
    "    1.5000    0.0000    0.0000 O   0  0  0  0  0  0  0  0  0  0  0  0\n"
    "  1  2  1  0\n"
    "M  END\n{records}$$$$\n"
)

V3000 = (
    "{title}\n  molvane\n\n  0  0  0     0  0            999 V3000\n"
    "M  V30 BEGIN CTAB\nM  V30 COUNTS {atoms} {bonds} 0 0 0\n"
    "M  V30 BEGIN ATOM\n{atom_lines}M  V30 END ATOM\n"
    "M  V30 BEGIN BOND\n{bond_lines}M  V30 END BOND\n"
    "M  V30 END CTAB\nM  END\n{records}$$$$\n"
)


def records(**values: object) -> str:
    return "".join(f"> <{name}>\n{value}\n\n" for name, value in values.items())


def v2000(title: str = "mol", **values: object) -> bytes:
    return V2000.format(title=title, records=records(**values)).encode()


def v3000(
    title="mol", atoms=2, bonds=1, atom_ids=(1, 2), bond_ids=(1,), bond_atoms=((1, 2),), **values
) -> bytes:
    atom_lines = "".join(f"M  V30 {i} C 0 0 0 0\n" for i in atom_ids)
    bond_lines = "".join(f"M  V30 {i} 1 {a} {b}\n" for i, (a, b) in zip(bond_ids, bond_atoms))
    return V3000.format(
        title=title,
        atoms=atoms,
        bonds=bonds,
        atom_lines=atom_lines,
        bond_lines=bond_lines,
        records=records(**values),
    ).encode()


def numbered(count: int) -> list[bytes]:
    """Blocks with ID i, VALUE i*1.5 and every third one a SOURCE."""
    blocks = []
    for i in range(count):
        fields: dict[str, object] = {"ID": f"M{i:03d}", "VALUE": i * 1.5}
        if i % 3 == 0:
            fields["SOURCE"] = "ChEMBL" if i % 2 == 0 else "vendor"
        blocks.append(v2000(f"mol{i}", **fields))
    return blocks


def split_blocks(data: bytes) -> list[bytes]:
    """The blocks of SD text, each through its $$$$ line (a reference for the tests)."""
    out, start = [], 0
    while True:
        end = data.find(b"$$$$\n", start)
        if end < 0:
            return out
        out.append(data[start : end + 5])
        start = end + 5
