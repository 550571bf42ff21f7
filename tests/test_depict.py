"""Structure drawings: SDBlock.svg, _repr_svg_, _repr_html_ and implicit_hydrogens."""

import math
import pathlib
import xml.etree.ElementTree as ET

import pytest
from conftest import corpus_params, examples
from hypothesis import given, settings
from hypothesis import strategies as st

from molvane import parse_sdf
from molvane.native import SDBlock

SVG = "{http://www.w3.org/2000/svg}"


def v2000(atoms, bonds=(), props=(), title="mol"):
    """A V2000 block; atoms are (symbol, x, y[, charge code[, valence]])."""
    lines = [
        title,
        "  test",
        "",
        f"{len(atoms):3d}{len(bonds):3d}  0  0  0  0  0  0  0  0999 V2000",
    ]
    for symbol, x, y, *rest in atoms:
        charge = rest[0] if rest else 0
        valence = rest[1] if len(rest) > 1 else 0
        lines.append(
            f"{x:10.4f}{y:10.4f}{0:10.4f} {symbol:<3} 0{charge:3d}  0  0  0{valence:3d}  0  0  0  0"
        )
    for a, b, kind, *stereo in bonds:
        lines.append(f"{a:3d}{b:3d}{kind:3d}{stereo[0] if stereo else 0:3d}")
    return "\n".join([*lines, *props, "M  END", "$$$$", ""])


def v3000(atoms, bonds=(), title="mol"):
    """A V3000 block; atoms are (symbol, x, y, extra fields)."""
    lines = [title, "  test", "", "  0  0  0     0  0            999 V3000", "M  V30 BEGIN CTAB"]
    lines += [f"M  V30 COUNTS {len(atoms)} {len(bonds)} 0 0 0", "M  V30 BEGIN ATOM"]
    for i, (symbol, x, y, extra) in enumerate(atoms, 1):
        lines.append(f"M  V30 {i} {symbol} {x} {y} 0 0 {extra}".rstrip())
    lines += ["M  V30 END ATOM", "M  V30 BEGIN BOND"]
    for i, (a, b, kind, extra) in enumerate(bonds, 1):
        lines.append(f"M  V30 {i} {kind} {a} {b} {extra}".rstrip())
    lines += ["M  V30 END BOND", "M  V30 END CTAB", "M  END", "$$$$", ""]
    return "\n".join(lines)


def hexagon(i, r=1.4, cx=0.0):
    angle = math.pi / 6 + i * math.pi / 3
    return cx + r * math.cos(angle), r * math.sin(angle)


# Benzoic acid nitrile-ish: a Kekulé ring (ring doubles), an exocyclic C(=O)O,
# and a C#N on the ring: single, ring double, chain double and triple bonds.
RING = [("C", *hexagon(i)) for i in range(6)]
MOLECULE_ATOMS = RING + [
    ("C", 2.6, 1.5),
    ("O", 3.8, 0.8),
    ("O", 2.6, 2.9),
    ("C", -2.6, 0.0),
    ("N", -3.9, 0.0),
]
MOLECULE_BONDS = [(1, 2, 2), (2, 3, 1), (3, 4, 2), (4, 5, 1), (5, 6, 2), (6, 1, 1)]
MOLECULE_BONDS += [(1, 7, 1), (7, 8, 1), (7, 9, 2), (4, 10, 1), (10, 11, 3)]


def parse(svg: str) -> ET.Element:
    root = ET.fromstring(svg)  # raises on text that is not well-formed XML
    assert root.tag == f"{SVG}svg"
    return root


def bond_paths(root):
    return [p for p in root.iter(f"{SVG}path") if "bond" in p.get("class", "").split()]


def labels(root) -> dict[int, str]:
    return {int(t.get("data-atom")): "".join(t.itertext()) for t in root.iter(f"{SVG}text")}


def as_v3000(atoms, bonds):
    return v3000([(s, x, y, "") for s, x, y in atoms], [(a, b, k, "") for a, b, k in bonds])


@pytest.mark.parametrize(
    "text",
    [v2000(MOLECULE_ATOMS, MOLECULE_BONDS), as_v3000(MOLECULE_ATOMS, MOLECULE_BONDS)],
    ids=["V2000", "V3000"],
)
@pytest.mark.parametrize("kind", [str, bytes])
def test_one_path_per_bond_with_its_multiplicity(text, kind):
    root = parse(SDBlock(text if kind is str else text.encode()).svg())
    paths = bond_paths(root)
    assert [int(p.get("data-type")) for p in paths] == [k for _, _, k in MOLECULE_BONDS]
    for path in paths:
        assert path.get("d").count("M") == int(path.get("data-type"))
    assert labels(root) == {8: "OH", 9: "O", 11: "N"}


@pytest.mark.parametrize(
    "atoms",
    [
        [("C", 1, 1), ("C", 1, 1), ("C", 2, 2)],  # two atoms on one spot
        [("O", 0, 0), ("N", 0.05, 0), ("S", 2, 2)],  # labels wider than the bond
    ],
)
def test_every_bond_keeps_its_path(atoms):
    paths = bond_paths(parse(SDBlock(v2000(atoms, [(1, 2, 2), (2, 3, 1)])).svg()))
    assert [p.get("d").count("M") for p in paths] == [2, 1]


def ring_side_of_second_line(path, centre):
    """Distance of the second line's midpoint from the centre, minus the first's."""
    numbers = [float(v) for v in path.get("d").replace("M", " ").replace("L", " ").split()]
    first, second = numbers[:4], numbers[4:8]

    def dist(line):
        return math.hypot((line[0] + line[2]) / 2 - centre[0], (line[1] + line[3]) / 2 - centre[1])

    return dist(second) - dist(first)


def test_ring_double_bonds_have_their_second_line_inside():
    root = parse(SDBlock(v2000(RING, MOLECULE_BONDS[:6])).svg(width=200, height=200))
    for path in bond_paths(root):
        if path.get("data-type") == "2":
            assert ring_side_of_second_line(path, (100, 100)) < 0


def chain(*atoms):
    """Atoms along a bent chain; an atom is a symbol or (symbol, charge code)."""
    spots = [(0, 0), (1.5, 0), (2.3, 1)]
    return [
        (a, *spot) if isinstance(a, str) else (a[0], *spot, *a[1:]) for a, spot in zip(atoms, spots)
    ]


CHAIN = [(1, 2, 1), (2, 3, 1)]


@pytest.mark.parametrize(
    "atoms, bonds, props, expected",
    [
        # heteroatoms with their default valences filled: OH, NH2, SH, and none
        (chain("C", "C", "O"), CHAIN, [], {1: "H3C", 3: "OH"}),
        (chain("C", "C", "N"), CHAIN, [], {1: "H3C", 3: "NH2"}),
        (chain("C", "C", "S"), CHAIN, [], {1: "H3C", 3: "SH"}),
        (chain("C", "C", "Cl"), CHAIN, [], {1: "H3C", 3: "Cl"}),
        # bonds pointing right put the hydrogens left
        (chain("O", "C", "C"), CHAIN, [], {1: "HO", 3: "CH3"}),
        # charges: atom block (3 = +1), then M  CHG superseding it
        (chain("N", "C", ("C", 3)), CHAIN, [], {1: "H2N", 3: "CH2+"}),
        (chain(("N", 3), "C", "O"), CHAIN, ["M  CHG  1   3  -1"], {1: "H2N", 3: "O\u2212"}),
        ([("N", 0, 0), ("C", 1.5, 0)], [(1, 2, 1)], ["M  CHG  1   1   1"], {1: "H3N+", 2: "CH3"}),
        ([("O", 0, 0)], [], ["M  CHG  1   1  -2"], {1: "O2\u2212"}),
        # isotopes, radicals, the valence field (15: none)
        ([("C", 0, 0)], [], ["M  ISO  1   1  13"], {1: "13CH4"}),
        ([("C", 0, 0)], [], ["M  RAD  1   1   2"], {1: "CH3\u2022"}),
        ([("N", 0, 0, 0, 15)], [], [], {1: "N"}),
        ([("P", 0, 0, 0, 5)], [], [], {1: "PH5"}),
        # query atoms, lists, R groups and aliases as written
        ([("A", 0, 0), ("Q", 1.5, 0), ("*", 3, 0)], CHAIN, [], {1: "A", 2: "Q", 3: "*"}),
        (chain("L", "C"), [(1, 2, 1)], ["M  ALS   1  2 F N   O   "], {1: "[N,O]", 2: "CH3"}),
        ([("R#", 0, 0), ("C", 1.5, 0)], [(1, 2, 1)], ["M  RGP  1   1   2"], {1: "R2", 2: "CH3"}),
        ([("C", 0, 0), ("C", 1.5, 0)], [(1, 2, 1)], ["A    1", "Ph<&>"], {1: "Ph<&>", 2: "CH3"}),
    ],
)
def test_labels_show_hydrogens_charges_and_query_atoms(atoms, bonds, props, expected):
    block = SDBlock(v2000(atoms, bonds, props))
    assert labels(parse(block.svg())) == expected


@pytest.mark.parametrize(
    "extra, expected",
    [("CHG=1", "H3N+"), ("MASS=15", "15H2N"), ("RAD=2", "HN\u2022"), ("VAL=-1", "N")],
)
def test_v3000_atom_properties(extra, expected):
    block = SDBlock(v3000([("N", 0, 0, extra), ("C", 1.5, 0, "")], [(1, 2, 1, "")]))
    assert labels(parse(block.svg()))[1] == expected


@pytest.mark.parametrize(
    "v2000_stereo, cfg, kind", [(1, "CFG=1", "wedge"), (6, "CFG=3", "hash"), (4, "CFG=2", "wavy")]
)
def test_stereo_bonds(v2000_stereo, cfg, kind):
    atoms = chain("C", "C", "O")
    old = SDBlock(v2000(atoms, [(1, 2, 1, v2000_stereo), (2, 3, 1)])).svg()
    new = SDBlock(v3000([(*a, "") for a in atoms], [(1, 2, 1, cfg), (2, 3, 1, "")])).svg()
    assert old == new
    classes = [p.get("class") for p in bond_paths(parse(old))]
    assert classes == [f"bond {kind}", "bond"]


def test_either_double_bond_is_crossed_and_query_bonds_dashed():
    atoms = chain("C", "C", "C")
    paths = bond_paths(parse(SDBlock(v2000(atoms, [(1, 2, 2, 3), (2, 3, 8)])).svg()))
    assert [p.get("class") for p in paths] == ["bond crossed", "bond query"]
    assert paths[0].get("d").count("M") == 2 and paths[1].get("d").count("M") > 1


def coordinates(root):
    for path in bond_paths(root):
        d = path.get("d").replace("Z", "")
        for token in d.replace("M", " ").replace("L", " ").replace("Q", " ").split():
            yield float(token)


@pytest.mark.parametrize("width, height", [(300, 200), (120, 400), (51.5, 50)])
def test_drawing_fits_the_canvas(width, height):
    big = [("C", 40.0 * i, 3.0 * (i % 2)) for i in range(30)]
    chain = [(i, i + 1, 1) for i in range(1, 30)]
    root = parse(SDBlock(v2000(big, chain)).svg(width=width, height=height))
    assert (float(root.get("width")), float(root.get("height"))) == (width, height)
    values = list(coordinates(root))
    xs, ys = values[0::2], values[1::2]
    assert 0 <= min(xs) and max(xs) <= width and 0 <= min(ys) and max(ys) <= height
    # The end carbons' labels ("H3C" left, "CH3" right) start inside too.
    texts = list(root.iter(f"{SVG}text"))
    assert ["".join(t.itertext()) for t in texts] == ["H3C", "CH3"]
    font = float(root.find(f"{SVG}g[@class='atoms']").get("font-size"))
    for text in texts:
        x, y = float(text.get("x")), float(text.get("y"))
        assert 0 <= x and x + 2 * font <= width and 0 <= y - font and y <= height


def test_3d_coordinates_are_projected_on_xy():
    flat = v2000(MOLECULE_ATOMS, MOLECULE_BONDS)
    lifted = flat.replace("    0.0000 C  ", "    2.5000 C  ")
    assert lifted != flat
    assert SDBlock(lifted).svg() == SDBlock(flat).svg()


@pytest.mark.parametrize(
    "text, reason",
    [
        (v2000([("C", 0, 0), ("O", 0, 0)], [(1, 2, 1)]), "no coordinates"),
        (v2000([], []), "no atoms"),
        ("title\n$$$$\n", "no connection table"),
        ("title\n  prog\n\nnot a counts line\nM  END\n$$$$\n", "unreadable connection table"),
        (
            "title\n  prog\n\n  5  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n$$$$\n",
            "unreadable connection table",
        ),
    ],
)
@pytest.mark.parametrize("kind", [str, bytes])
def test_undrawable_blocks_get_a_placeholder(text, reason, kind):
    root = parse(SDBlock(text if kind is str else text.encode()).svg())
    assert "placeholder" in root.get("class").split()
    assert "".join(root.itertext()) == reason


@pytest.mark.parametrize(
    "text, shown",
    [
        ("Ph\xe9<\x01>".encode("latin-1"), "Ph\xe9<\ufffd>"),
        ("Ph\xe9<\x01>", "Ph\xe9<\ufffd>"),
        ("\udcff&\"'".encode("utf-8", "surrogatepass").decode("latin-1"), None),
    ],
)
def test_table_text_is_escaped_and_kept_to_xml_characters(text, shown):
    sdf = v2000([("C", 0, 0), ("C", 1.5, 0)], [(1, 2, 1)], ["A    1", "ALIAS"])
    if isinstance(text, bytes):
        block = SDBlock(sdf.encode().replace(b"ALIAS", text))
    else:
        block = SDBlock(sdf.replace("ALIAS", text))
    label = labels(parse(block.svg()))[1]
    if shown is not None:
        assert label == shown
    assert all(c in "\t\n\r" or ord(c) >= 0x20 for c in label)


def test_str_and_bytes_blocks_draw_alike_and_repeatably():
    text = v2000(MOLECULE_ATOMS, MOLECULE_BONDS)
    svg = SDBlock(text).svg(width=250, height=250, padding=5, background=None)
    assert svg == SDBlock(text.encode()).svg(width=250, height=250, padding=5, background=None)
    assert svg == SDBlock(text).svg(250, 250, padding=5, background=None)
    assert parse(svg).find(f"{SVG}rect") is None
    root = parse(SDBlock(text).svg(background='#abc"<'))
    assert root.find(f"{SVG}rect").get("fill") == '#abc"<'


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"width": 0}, ValueError),
        ({"height": -5}, ValueError),
        ({"width": float("inf")}, ValueError),
        ({"width": float("nan")}, ValueError),
        ({"width": 10**6}, ValueError),
        ({"padding": -1}, ValueError),
        ({"width": True}, TypeError),
        ({"height": "200"}, TypeError),
        ({"background": 0xFFFFFF}, TypeError),
        ({"colour": "red"}, TypeError),
    ],
)
def test_bad_options_raise(kwargs, error):
    with pytest.raises(error, match="svg|colour"):
        SDBlock(v2000(MOLECULE_ATOMS, MOLECULE_BONDS)).svg(**kwargs)


@pytest.mark.parametrize("kind", [str, bytes])
def test_notebook_representations(kind):
    text = v2000(MOLECULE_ATOMS, MOLECULE_BONDS, title="acid <1>")
    text = text.replace("$$$$", "> <id>\nx & \xe9\n\n> <empty>\n\n$$$$")
    block = SDBlock(text.encode("latin-1") if kind is bytes else text)
    assert block._repr_svg_() == block.svg()
    html = block._repr_html_()
    root = ET.fromstring(html)  # one well-formed fragment
    cells = ["".join(c.itertext()) for c in root.iter() if c.tag in ("th", "td")]
    assert cells == ["title", "acid <1>", "id", "x & \xe9", "empty", ""]
    assert root.find(f".//{SVG}svg") is not None


AROMATIC_RING = [(i, i % 6 + 1, 4) for i in range(1, 7)]


@pytest.mark.parametrize(
    "atoms, bonds, props, expected",
    [
        # benzene as aromatic bonds, thiophene, pyridine: ring atoms take one
        # double bond's share only where their valence has room for it
        (RING, AROMATIC_RING, [], [1] * 6),
        (
            [("S", 0, 0), ("C", 1, 1), ("C", 2, 1), ("C", 2, -1), ("C", 1, -1)],
            [(1, 2, 4), (2, 3, 4), (3, 4, 4), (4, 5, 4), (5, 1, 4)],
            [],
            [0, 1, 1, 1, 1],
        ),
        ([("N", *hexagon(0))] + RING[1:], AROMATIC_RING, [], [0] + [1] * 5),
        # charge shifts: N+ like C, O- and C- ; radicals use valence
        ([("N", 0, 0)], [], ["M  CHG  1   1   1"], [4]),
        ([("C", 0, 0)], [], ["M  CHG  1   1  -1"], [3]),
        ([("B", 0, 0)], [], ["M  CHG  1   1  -1"], [4]),
        ([("O", 0, 0)], [], ["M  RAD  1   1   2"], [1]),
        ([("C", 0, 0)], [], ["M  RAD  1   1   3"], [2]),
        # expanded valences of period 3: S(=O)(=O) and PCl5 take none
        (
            [("S", 0, 0), ("O", 1, 0), ("O", -1, 0), ("C", 0, 1)],
            [(1, 2, 2), (1, 3, 2), (1, 4, 1)],
            [],
            [1, 0, 0, 3],
        ),
        (
            [("P", 0, 0)] + [("Cl", math.cos(i), math.sin(i)) for i in range(5)],
            [(1, i, 1) for i in range(2, 7)],
            [],
            [0] * 6,
        ),
        # metals and unknown symbols take none; Na alone takes one
        ([("Fe", 0, 0), ("Xx", 1, 0), ("Na", 2, 0)], [], [], [0, 0, 1]),
    ],
)
def test_implicit_hydrogens(atoms, bonds, props, expected):
    assert SDBlock(v2000(atoms, bonds, props)).implicit_hydrogens() == expected


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_blocks_draw_as_well_formed_svg(path):
    for block in parse_sdf(str(path).encode()):
        parse(block.svg(width=160, height=120))


REGRESSIONS = sorted((pathlib.Path(__file__).parent.parent / "fuzz/regressions/depict").iterdir())
TEMPLATE = v2000(MOLECULE_ATOMS, MOLECULE_BONDS, ["M  CHG  1   9  -1", "A    1", "Ph"]).encode()


def block_or_none(data: bytes, kind):
    try:
        return SDBlock(data.decode("latin-1") if kind is str else data)
    except ValueError:
        return None  # not one block: the constructor's business


@pytest.mark.parametrize("path", REGRESSIONS, ids=[p.name for p in REGRESSIONS])
@pytest.mark.parametrize("kind", [str, bytes])
def test_kept_fuzz_inputs_draw_as_well_formed_svg(path, kind):
    block = block_or_none(path.read_bytes(), kind)
    assert block is not None
    parse(block.svg())


@settings(max_examples=examples(300), deadline=None)
@given(
    cuts=st.lists(
        st.tuples(st.integers(0, len(TEMPLATE)), st.integers(0, 12), st.binary(max_size=12)),
        max_size=4,
    ),
    kind=st.sampled_from([str, bytes]),
)
def test_mangled_tables_draw_as_well_formed_svg(cuts, kind):
    data = TEMPLATE
    for start, length, replacement in cuts:
        data = data[:start] + replacement + data[start + length :]
    block = block_or_none(data, kind)
    if block is not None:
        parse(block.svg(width=120, height=90))
