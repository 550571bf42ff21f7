import pytest
from conftest import corpus_params, text_of
from sdf_reference import expected_blocks

import molvane
from molvane.ctable import IndicesDuplicateError, MalformedCTableError
from molvane.native import SDBlock

V3000_CTAB = [
    "  0  0  0     0  0            999 V3000",
    "M  V30 BEGIN CTAB",
    "M  V30 COUNTS 5 1 0 0 0",
    "M  V30 BEGIN ATOM",
    "M  V30 3 C 0 0 0 0",
    "M  V30 5 O 1.2 0 0 0",
    "M  V30 END ATOM",
    "M  V30 BEGIN BOND",
    "M  V30 7 2 3 5 CFG=2",
    "M  V30 END BOND",
    "M  V30 END CTAB",
    "M  END",
]
RECORDS = "> <id>\n 12 \n\n> <note>\n$$$ not the end\n\n"


def v3000_text(eol="\n", title="mol  "):
    return eol.join([title, "  prog", ""] + V3000_CTAB + [RECORDS.replace("\n", eol) + "$$$$", ""])


@pytest.mark.parametrize("kind", [str, bytes])
def test_repairs_rewrite_the_ctab_of_the_block(kind):
    text = v3000_text().encode()
    # Bytes: CR LF, Latin-1 text, and a CTAB line without CR that gets the title line's CR LF.
    if kind is bytes:
        text = v3000_text("\r\n", title="mol\xe9 ").encode("latin-1")
        text = text.replace(b"O 1.2", b"\xd8 1.2").replace(b"  prog\r\n", b"  prog\xff\n")
    block = SDBlock(text.decode() if kind is str else text)
    assert (block.num_atoms, block.num_bonds) == (5, 1)
    table = block.ctable()
    ctab = text[: text.index(b"\n", text.index(b"M  END")) + 1].split(b"\n")[:-1]
    title = block.title if kind is str else block.title.decode("latin-1")
    assert table.lines == [title] + [line.decode("latin-1") for line in ctab[1:]]
    assert title in ("mol", "mol\xe9")
    table.renumber_indices()
    assert text_of(block) == text  # the table is independent of the block
    block.renumber_indices()
    assert block.ctable().lines[2:] == table.lines[2:]
    block.fix_counts()
    expected = text.replace(b"COUNTS 5 1", b"COUNTS 2 1").replace(b"\xff\n", b"\xff\r\n")
    for old, new in [
        (b"M  V30 3 C", b"M  V30 1 C"),
        (b"M  V30 5 ", b"M  V30 2 "),
        (b"V30 7 2 3 5", b"V30 1 2 1 2"),
    ]:
        expected = expected.replace(old, new)
    assert text_of(block) == expected and (block.num_atoms, block.num_bonds) == (2, 1)


def test_header_decoding_differs_from_table_decoding():
    # U+00A0 in UTF-8 is whitespace; as Latin-1 it is two characters.
    block = SDBlock(b"t\n\n\n\xc2\xa0 1  2  0  0  0  0  0  0  0999 V2000\nM  END\n")
    assert (block.num_atoms, block.num_bonds) == (1, 2)
    message = 'CTable line 4: atom count "\u00c2\\u{a0} " is not an integer'
    with pytest.raises(MalformedCTableError) as error:
        block.ctable()
    assert error.value.args == (message,)
    # Undecodable bytes never raise from the counts.
    block = SDBlock(b"t\n\xff\n\xfe\n  3  1\xff V2000\nM  END\n")
    assert (block.num_atoms, block.num_bonds) == (3, 1) == (block.ctable().num_atoms, 1)
    block = SDBlock(b"t\n\n\n  3\xff 1 V2000\nM  END\n")
    with pytest.raises(MalformedCTableError, match='^CTable line 4: bond count "\ufffd 1"'):
        block.num_bonds
    with pytest.raises(MalformedCTableError, match='^CTable line 4: bond count "\xff 1"'):
        block.ctable()


@pytest.mark.parametrize("sdf", ["", b"", "$$$$\n", b"title\n"])
@pytest.mark.parametrize(
    "call", ["ctable", "num_atoms", "num_bonds", "renumber_indices", "fix_counts"]
)
def test_short_blocks(sdf, call):
    block = SDBlock(sdf)
    with pytest.raises(MalformedCTableError) as error:
        member = getattr(block, call)
        member() if callable(member) else None
    assert error.value.args == ("CTable line 2: missing; the table has only 1 lines",)


@pytest.mark.parametrize(
    "replace, renumber_error, fix_error",
    [
        (
            ("M  V30 BEGIN BOND", "M  V30 BEGIN BOND\nM  V30 BEGIN BOND"),
            MalformedCTableError,
            MalformedCTableError,
        ),
        (("999 V3000", "999 V2000"), NotImplementedError, NotImplementedError),
        (("M  V30 END CTAB", "M  V30 BEGIN CTAB"), NotImplementedError, NotImplementedError),
        (("M  V30 7 2 3 5", "M  V30 7 2 3 4"), MalformedCTableError, None),
        (("M  V30 5 O", "M  V30 3 O"), IndicesDuplicateError, None),
        (("M  V30 3 C 0 0 0 0", "M  V30 3 C 0 0 0 0 -"), NotImplementedError, None),
    ],
)
@pytest.mark.parametrize("kind", [str, bytes])
def test_failed_repairs_leave_the_block_unchanged(replace, renumber_error, fix_error, kind):
    data = v3000_text().replace(*replace)
    block = SDBlock(data if kind is str else data.encode())
    for repair, error in (
        (SDBlock.renumber_indices, renumber_error),
        (SDBlock.fix_counts, fix_error),
    ):
        if error:
            with pytest.raises(error):
                repair(block)
            assert text_of(block) == data.encode()


def check_corpus_block(block):
    try:
        table = block.ctable()
    except MalformedCTableError:
        with pytest.raises(MalformedCTableError):
            block.num_atoms
        return
    assert (block.num_atoms, block.num_bonds) == (table.num_atoms, table.num_bonds)
    before, molblock, mdl = text_of(block), block.molblock, block.mdl
    try:
        block.renumber_indices()
    except (MalformedCTableError, IndicesDuplicateError, NotImplementedError):
        assert text_of(block) == before and block.ctable().lines == table.lines
        return
    block.fix_counts()
    fixed = block.ctable()
    assert fixed.valid_atom_indices(strict=True) and fixed.valid_bond_indices(strict=True)
    # Title line, SD data and terminator line are kept byte for byte.
    assert block.molblock.startswith(molblock[: len(molblock) - len(mdl)])
    as_bytes = (lambda t: t) if isinstance(molblock, bytes) else str.encode
    assert text_of(block) == as_bytes(block.molblock) + before[len(as_bytes(molblock)) :]


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_blocks(path):
    for raw in expected_blocks(path.read_bytes()):
        check_corpus_block(SDBlock(raw))
        check_corpus_block(SDBlock(raw.decode("latin-1")))


@pytest.mark.parametrize("call", ["ctable", "renumber_indices"])
def test_a_line_that_does_not_decode_wins_over_a_broken_header(tmp_path, call):
    # a str path reads the text unchecked; the error comes when a table is built
    path = tmp_path / "x.sdf"
    path.write_bytes(b"t\n\n\n\n\n\n\n\nx\xff\nM  END\n$$$$\n")
    block = next(molvane.parse_sdf(str(path)))
    with pytest.raises(UnicodeDecodeError):
        getattr(block, call)()
