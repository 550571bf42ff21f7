import pytest

from conftest import corpus_params
from molvane import native
from molvane.ctable import IndicesDuplicateError, MalformedCTableError

SDBlock = native.SDBlock

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
RENUMBERED = {4: "M  V30 1 C 0 0 0 0", 5: "M  V30 2 O 1.2 0 0 0", 8: "M  V30 1 2 1 2 CFG=2"}
RECORDS = "> <id>\n 12 \n\n> <note>\n$$$ not the end\n\n"


def v3000_text(eol="\n", title="mol  "):
    return eol.join([title, "  prog", ""] + V3000_CTAB + [RECORDS.replace("\n", eol) + "$$$$", ""])


def block_text(block):
    """A block's whole text; for a bytes block through the buffer protocol, or None
    while it has none."""
    if isinstance(block.title, str):
        return str(block)
    try:
        return bytes(memoryview(block))
    except TypeError:
        return None


def test_str_block_table_operations():
    text = v3000_text()
    block = SDBlock(text)
    assert (block.num_atoms, block.num_bonds) == (5, 1)
    table = block.ctable()
    assert table.lines == ["mol", "  prog", ""] + V3000_CTAB
    table.renumber_indices()
    assert str(block) == text  # the table is independent of the block

    block.renumber_indices()
    lines = text.split("\n")
    for index, line in RENUMBERED.items():
        lines[3 + index] = line
    assert str(block) == "\n".join(lines)
    assert block.ctable().lines[1:] == table.lines[1:]
    block.fix_counts()
    assert (block.num_atoms, block.num_bonds) == (2, 1)
    assert str(block) == "\n".join(lines).replace("COUNTS 5 1", "COUNTS 2 1")
    assert block.title == "mol"


def test_bytes_block_keeps_crlf_and_latin1():
    text = v3000_text("\r\n", title="mol\xe9 ").encode("latin-1")
    text = text.replace(b"O 1.2", b"\xd8 1.2").replace(b"  prog\r\n", b"  prog\xff\n")
    block = SDBlock(text)
    table = block.ctable()
    raw_lines = text[: text.index(b"M  END\r\n") + 8].split(b"\n")[:-1]
    assert [line.encode("latin-1") for line in table.lines[1:]] == raw_lines[1:]
    assert table.lines[0] == "mol\xe9"

    block.fix_counts()
    block.renumber_indices()
    expected = text.replace(b"COUNTS 5 1", b"COUNTS 2 1")
    for old, new in [(b"M  V30 3 C", b"M  V30 1 C"), (b"M  V30 5 \xd8", b"M  V30 2 \xd8"),
                     (b"M  V30 7 2 3 5", b"M  V30 1 2 1 2"),
                     # A CTAB line without CR gets the title line's CR LF ending.
                     (b"\xff\n", b"\xff\r\n")]:
        expected = expected.replace(old, new)
    assert block.molblock == expected[: expected.index(b"M  END\r\n") + 8]
    assert block_text(block) in (None, expected)


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
@pytest.mark.parametrize("call", ["ctable", "num_atoms", "num_bonds", "renumber_indices",
                                  "fix_counts"])
def test_short_blocks(sdf, call):
    block = SDBlock(sdf)
    with pytest.raises(MalformedCTableError) as error:
        member = getattr(block, call)
        member() if callable(member) else None
    assert error.value.args == ("CTable line 2: missing; the table has only 1 lines",)


@pytest.mark.parametrize(
    "replace, renumber_error, fix_error",
    [
        (("M  V30 BEGIN BOND", "M  V30 BEGIN BOND\nM  V30 BEGIN BOND"), MalformedCTableError,
         MalformedCTableError),
        (("999 V3000", "999 V2000"), NotImplementedError, NotImplementedError),
        (("M  V30 END CTAB", "M  V30 BEGIN CTAB"), NotImplementedError, NotImplementedError),
        (("M  V30 7 2 3 5", "M  V30 7 2 3 4"), MalformedCTableError, None),
        (("M  V30 5 O", "M  V30 3 O"), IndicesDuplicateError, None),
        (("M  V30 3 C 0 0 0 0", "M  V30 3 C 0 0 0 0 -"), NotImplementedError, None),
    ],
)
@pytest.mark.parametrize("kind", [str, bytes])
def test_failed_repairs_leave_the_block_unchanged(replace, renumber_error, fix_error, kind):
    text = v3000_text().replace(*replace)
    data = text if kind is str else text.encode()
    block = SDBlock(data)
    molblock = block.molblock
    for repair, error in ((block.renumber_indices, renumber_error), (block.fix_counts, fix_error)):
        if error is None:
            continue
        with pytest.raises(error):
            repair()
        assert block.molblock == molblock
        assert block_text(block) in (None, data)


def test_repair_refused_while_exported():
    block = SDBlock(v3000_text().encode())
    try:
        view = memoryview(block)
    except TypeError:
        pytest.skip("needs the buffer protocol of bytes blocks")
    with pytest.raises(BufferError, match="^Existing exports of data: SDBlock cannot be edited$"):
        block.fix_counts()
    assert bytes(view) == v3000_text().encode()


def test_str_block_that_is_not_utf8(tmp_path):
    data = b"caf\xe9\n\n\n  1  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n$$$$\n"
    if hasattr(SDBlock, "_from_state"):
        block = SDBlock._from_state(data, 5, len(data) - 5, True)
    elif hasattr(native, "parse_sdf"):
        path = tmp_path / "latin1.sdf"
        path.write_bytes(data)
        [block] = native.parse_sdf(str(path))
    else:
        pytest.skip("needs SDBlock._from_state or parse_sdf to make a str block that is not UTF-8")
    assert (block.num_atoms, block.num_bonds) == (1, 0)
    for call in (block.ctable, block.renumber_indices, block.fix_counts):
        with pytest.raises(UnicodeDecodeError) as error:
            call()
        decode_error = error.value
        assert (decode_error.encoding, decode_error.object) == ("utf-8", b"caf\xe9")
        assert (decode_error.start, decode_error.end) == (3, 4)
        assert decode_error.reason == "invalid utf-8"
        assert decode_error.__notes__[0].startswith(
            "Reading the CTAB of the SDBlock titled 'caf\ufffd'. "
        )


def split_blocks(data):
    """The blocks of an SD file, each through its `$$$$` line."""
    blocks, current = [], []
    for line in data.splitlines(keepends=True):
        current.append(line)
        if line.startswith(b"$$$$"):
            blocks.append(b"".join(current))
            current = []
    rest = b"".join(current)
    if rest.strip():
        blocks.append(rest)
    return blocks


def check_corpus_block(make):
    block = make()
    try:
        table = block.ctable()
    except MalformedCTableError:
        with pytest.raises(MalformedCTableError):
            block.num_atoms
        return
    assert (block.num_atoms, block.num_bonds) == (table.num_atoms, table.num_bonds)
    molblock = block.molblock
    title_line = molblock[: len(molblock) - len(block.mdl)]
    before = block_text(block)
    try:
        block.renumber_indices()
    except (MalformedCTableError, IndicesDuplicateError, NotImplementedError):
        assert block_text(block) == before and block.ctable().lines == table.lines
        return
    block.fix_counts()
    fixed = block.ctable()
    assert fixed.valid_atom_indices(strict=True) and fixed.valid_bond_indices(strict=True)
    assert block.molblock.startswith(title_line)
    if before is not None:
        # Title line, SD data and terminator line are kept byte for byte.
        rest = before[len(molblock):]
        assert block_text(block) == block.molblock + rest


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_blocks(path):
    for raw in split_blocks(path.read_bytes()):
        check_corpus_block(lambda: SDBlock(raw))
        check_corpus_block(lambda: SDBlock(raw.decode("latin-1")))
