"""``molvane check`` finds each kind of fault; ``molvane repair`` fixes what it reports and no more."""

import gzip
import re

import pytest
from cli_blocks import split_blocks, v2000, v3000
from conftest import corpus_files, corpus_params

from molvane import SDBlock, SDFile, parse_sdf
from molvane.cli import main

GOOD = v2000("good", ID="a")
LATER = v2000("later", ID="b")

# (fault, the faulty middle block, a phrase of its report)
FAULTS = [
    ("no M  END", v2000("no end", ID="x").replace(b"M  END\n", b""), "no 'M  END' line"),
    (
        "malformed header",
        v2000("bad header").replace(b"$$$$", b"> ID\nx\n\n$$$$"),
        "malformed data header",
    ),
    (
        "V2000 atoms",
        v2000("atoms").replace(b"  2  1  0", b"  3  1  0"),
        "declares 3 atoms and 1 bonds",
    ),
    (
        "V2000 bonds",
        v2000("bonds").replace(b"  2  1  0", b"  2  0  0"),
        "declares 2 atoms and 0 bonds",
    ),
    (
        "V2000 counts",
        v2000("counts").replace(b"  2  1  0  0", b"  x  1  0  0"),
        "has no atom and bond counts",
    ),
    (
        "V3000 counts",
        v3000("v3 counts", atoms=3),
        "fewer atom lines (2) than the counts line declares (3)",
    ),
    ("V3000 duplicate", v3000("v3 dup", atom_ids=(1, 1), bonds=0, bond_ids=()), "duplicate"),
    ("V3000 bad index", v3000("v3 index", atom_ids=(1, "x")), "CTable"),
    ("not UTF-8", v2000("caf\xe9").replace("é".encode(), b"\xe9"), "not UTF-8"),
    ("empty", b"\n$$$$\n", "empty block"),
]


def check(capsys, *argv):
    status = main(["check", *map(str, argv)])
    out, err = capsys.readouterr()
    assert err == ""
    return status, out.splitlines()


@pytest.mark.parametrize("fault, block, phrase", FAULTS, ids=[f[0] for f in FAULTS])
def test_check_reports_each_fault_by_block_number_and_title(capsys, tmp_path, fault, block, phrase):
    path = tmp_path / "one.sdf"
    path.write_bytes(GOOD + block + LATER)
    status, lines = check(capsys, path)
    assert status == 1
    title = block.split(b"\n")[0].decode("utf-8", "replace")
    assert len(lines) == 2
    assert lines[0].startswith(f"{path}: block 1 {title!r}: ")
    assert phrase in lines[0]
    assert lines[1] == "check: 1 problem in 1 of 3 blocks in 1 file"


@pytest.mark.parametrize("compressed", [False, True])
@pytest.mark.parametrize("from_stdin", [False, True])
def test_check_sees_a_truncated_last_block_of_plain_and_compressed_input(
    capsys, monkeypatch, tmp_path, compressed, from_stdin
):
    import io

    data = GOOD + LATER[: -len(b"$$$$\n")]
    path = tmp_path / ("cut.sdf.gz" if compressed else "cut.sdf")
    path.write_bytes(gzip.compress(data) if compressed else data)
    if from_stdin:
        stream = io.TextIOWrapper(io.BufferedReader(io.BytesIO(path.read_bytes())))
        monkeypatch.setattr("sys.stdin", stream)
    status, lines = check(capsys, "-" if from_stdin else path)
    assert status == 1
    name = "<stdin>" if from_stdin else path
    assert (
        lines[0]
        == f"{name}: block 1 'later': the last block is truncated: the input ends without a '$$$$' line"
    )


@pytest.mark.parametrize(
    "ending", [b"", b"\n", b"\r\n\r\n", b"\n\n\n"], ids=["none", "LF", "CRLFs", "LFs"]
)
def test_blank_lines_after_the_last_block_are_no_problem(capsys, tmp_path, ending):
    path = tmp_path / "clean.sdf"
    path.write_bytes(GOOD + LATER + ending)
    # Trailing whitespace is no block either.
    assert check(capsys, path) == (0, ["check: no problems in 2 blocks in 1 file"])


def test_a_single_molfile_without_terminator_is_no_problem(capsys, tmp_path):
    path = tmp_path / "mol.sdf"
    path.write_bytes(GOOD[: -len(b"$$$$\n")])
    assert check(capsys, path)[0] == 0


def test_check_reports_repeated_ids(capsys, tmp_path):
    path = tmp_path / "ids.sdf"
    path.write_bytes(GOOD + LATER + v2000("again", ID=" a ") + v2000("no id"))
    status, lines = check(capsys, "--id", "ID", path)
    assert status == 1
    assert lines[0] == f"{path}: block 2 'again': ID 'a' repeats that of block 0"
    assert check(capsys, path)[0] == 0
    # Parts of one library are checked against each other.
    other = tmp_path / "more.sdf"
    other.write_bytes(v2000("elsewhere", ID="a"))
    status, lines = check(capsys, "--id", "ID", path, other)
    assert status == 1
    assert f"{other}: block 0 'elsewhere': ID 'a' repeats that of block 0 of {path}" in lines


# The corpus files that are broken on purpose (parser tests), and what check says of each
# (empty.sdf, only blank lines, holds no block: nothing to say).
BROKEN = {
    "Issue3525673.sdf": "has no atom and bond counts",
    "O2.sdf": "empty block",
    "SgroupMultAttach.sdf": "is a duplicate",
    "earlyEOF.sdf": "truncated",
    "esters.prop_name_trunc.sdf": "malformed data header",
    "good_bad_good_bad.sdf": "declares 6 atoms and 6 bonds",
    "outNCI_arom.sdf": "truncated",
    "sdErrors1.sdf": "malformed data header",
    "sdErrors3.sdf": "declares 9 atoms",
    "sdErrors4.sdf": "declares 7 atoms and 8 bonds",
}


def test_check_finds_nothing_in_the_clean_corpus_files_and_the_faults_of_the_broken(capsys):
    files = corpus_files()
    if not files:
        pytest.skip("the corpus folder is absent")
    status, lines = check(capsys, *files)
    assert status == 1
    found: dict[str, list[str]] = {}
    for line in lines[:-1]:
        path, _, problem = line.partition(": block ")
        found.setdefault(path.rsplit("/", 1)[-1], []).append(problem)
    # Under the sanitizers only a sample of the corpus is read.
    broken = {name: phrase for name, phrase in BROKEN.items() if name in {p.name for p in files}}
    assert sorted(found) == sorted(broken)
    for name, phrase in broken.items():
        assert any(phrase in problem for problem in found[name]), (name, found[name])


@pytest.mark.parametrize("path", corpus_params())
def test_check_reads_every_header_as_the_block_does(path):
    # check asks core for the table's layout, so it can never call a header
    # readable that block.num_atoms refuses, nor the other way round.
    from molvane.cli import ctab

    for block in parse_sdf(str(path).encode()):
        table = ctab.layout(block)
        if not table.has_end or table.header_too_short:
            continue
        try:
            counts = (block.num_atoms, block.num_bonds)
        except Exception:
            counts = None
        readable = ctab.header_problem(table) is None
        assert readable == (counts is not None), bytes(block)[:200]
        if counts is not None:
            assert counts == (table.num_atoms, table.num_bonds)


@pytest.mark.parametrize(
    "tail, ending",
    [
        (b"M  END\n$$$$\n", "terminated"),
        (b"M  END\r\n$$$$\r\n", "terminated"),
        (b"M  END\n$$$$", "terminated"),
        (b"M  END\n$$$$\n\n", "blank"),
        (b"M  END\n$$$$\n  \r\n\t", "blank"),
        (b"M  END\n$$$$ extra\n", "terminated"),
        (b"$$$$\nnext title\n", "open"),
        (b"M  END\n", "open"),
        (b"", None),
        (b" \n\r\n", None),
    ],
)
def test_how_an_input_ends(tail, ending):
    from molvane import native

    assert native._input_ending(tail) == ending


# --- repair -------------------------------------------------------------------------

REPAIRABLE = [
    (
        "counts",
        v3000("counts", atoms=5, bonds=0),
        "set the counts to 2 atoms and 1 bonds (were 5 and 0)",
    ),
    ("duplicate atoms", v3000("dup", atom_ids=(1, 1), bonds=0, bond_ids=()), "renumbered"),
    (
        "duplicates and counts",
        v3000("both", atoms=1, atom_ids=(3, 3), bonds=0, bond_ids=()),
        "renumbered the atom and bond indices; set the counts to 2 atoms",
    ),
]


def repair(capsys, tmp_path, data):
    source, out = tmp_path / "in.sdf", tmp_path / "out.sdf"
    source.write_bytes(data)
    status = main(["repair", str(source), "-o", str(out)])
    _, err = capsys.readouterr()
    return status, err.splitlines(), split_blocks(out.read_bytes())


@pytest.mark.parametrize("name, block, report", REPAIRABLE, ids=[r[0] for r in REPAIRABLE])
def test_repair_fixes_v3000_blocks_and_reports_exactly_those(capsys, tmp_path, name, block, report):
    untouched = [
        GOOD,
        v3000("fine"),
        FAULTS[1][1],
        v3000("in order", atom_ids=(2, 1), bond_atoms=((2, 1),)),
    ]
    blocks = untouched[:2] + [block] + untouched[2:]
    status, err, out = repair(capsys, tmp_path, b"".join(blocks))
    assert status == 0
    changed = [i for i, (a, b) in enumerate(zip(blocks, out)) if a != b]
    assert changed == [2] and len(out) == len(blocks)
    assert err[0].startswith(
        f"{tmp_path / 'in.sdf'}: block 2 {block.split(chr(10).encode())[0].decode()!r}: "
    )
    assert report in err[0]
    assert err[1] == f"repair: changed 1 of {len(blocks)} blocks"
    # Only the connection table changed, and check is now content with it.
    fixed, original = SDBlock(out[2]), SDBlock(block)
    assert fixed.records() == original.records() and fixed.title == original.title
    assert main(["check", str(tmp_path / "out.sdf")]) == 1  # the malformed header stays
    lines = capsys.readouterr().out.splitlines()
    assert [line for line in lines if "block 2" in line] == []


def test_repair_leaves_the_corpus_byte_for_byte_where_it_reports_nothing(capsys, tmp_path):
    files = [p for p in corpus_files() if p.name.endswith(".sdf")]
    if not files:
        pytest.skip("the corpus folder is absent")
    out = tmp_path / "out.sdf"
    assert main(["repair", *map(str, files), "-o", str(out)]) == 0
    err = capsys.readouterr().err.splitlines()
    reported = {
        (m.group(1), int(m.group(2)))
        for m in map(re.compile(r"(.*): block (\d+) ").match, err)
        if m
    }
    assert err[-1].startswith("repair: changed ")
    changed = int(err[-1].split()[2])
    # Blank lines after a file's last $$$$ are no block, which SDFile knows.
    original = [(str(p), i, bytes(b)) for p in files for i, b in enumerate(SDFile(bytes(p)))]
    rewritten = [bytes(b) for b in SDFile(bytes(out))]
    assert len(rewritten) == len(original)
    differ = {(path, i) for (path, i, text), new in zip(original, rewritten) if text != new}
    assert len(differ) == changed and differ <= reported
