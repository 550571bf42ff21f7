import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from molvane import native

SDBlock = native.SDBlock

V2000 = "  0  0  0  0  0  0  0  0  0  0999 V2000\n"
CTAB = "  prog\n\n" + V2000 + "M  END\n"
RECORDS = "> <A>\nx\n\n"


def full_bytes(block):
    """A bytes block's whole text, through the buffer protocol."""
    try:
        return bytes(memoryview(block))
    except TypeError:
        pytest.skip("needs the buffer protocol of bytes blocks")


@pytest.mark.parametrize(
    "sdf, text",
    [
        # str input is translated to LF; the terminator is completed.
        ("t\r\nctab\r\nM  END\r\n", "t\nctab\nM  END\n$$$$\n"),
        ("t\rM  END\r$$$$\r", "t\nM  END\n$$$$\n"),
        ("t\nM  END", "t\nM  END\n$$$$\n"),
        ("", "\n$$$$\n"),
        ("$$$$", "$$$$\n"),
        ("$$$$ 12\n", "$$$$\n"),
        ("t\nM  END\n$$$$ trailing\n \t\f\n", "t\nM  END\n$$$$\n"),
        ("t\nM  END\n$$$$", "t\nM  END\n$$$$\n"),
        ("\n", "\n$$$$\n"),
    ],
)
def test_str_construction(sdf, text):
    assert str(SDBlock(sdf)) == text


@pytest.mark.parametrize(
    "sdf, molblock, ending",
    [
        # bytes keep CR LF, and the completed terminator follows the title line.
        (b"t\r\nM  END\r\n", b"t\r\nM  END\r\n", b"$$$$\r\n"),
        (b"t\r\nM  END\n", b"t\r\nM  END\n", b"$$$$\r\n"),
        (b"t\nM  END\r\n", b"t\nM  END\r\n", b"$$$$\n"),
        (b"t\r\nM  END\r\n$$$$\r\n", b"t\r\nM  END\r\n", b"$$$$\r\n"),
        (b"t\r", b"t\r\n", b"$$$$\r\n"),
        (b"t\rx", b"t\rx\n", b"$$$$\n"),
    ],
)
def test_bytes_construction_keeps_line_endings(sdf, molblock, ending):
    block = SDBlock(sdf)
    assert block.molblock == molblock
    assert full_bytes(block) == molblock + ending


@pytest.mark.parametrize(
    "sdf",
    [
        "a\n$$$$\nb\n$$$$\n",
        "a\n$$$$\nx",
        "a\n$$$$\n\v",  # a vertical tab is data after the terminator
        b"a\n$$$$\n\n\nz",
    ],
)
def test_one_block_only(sdf):
    with pytest.raises(ValueError, match=r"^SDBlock\(\) takes one block; use SDBlock.from_sdf to parse several$"):
        SDBlock(sdf)


@pytest.mark.parametrize("sdf", [1, None, bytearray(b"x"), memoryview(b"x"), ["a"]])
def test_constructor_type_error(sdf):
    with pytest.raises(TypeError, match=r"^SDBlock\(\) argument must be str or bytes$"):
        SDBlock(sdf)


@pytest.mark.parametrize("header", ["Plain", "", "copy "])
def test_header_checked_first(header):
    with pytest.raises(ValueError) as info:
        SDBlock(5, header=header)
    assert str(info.value) == f"header must be 'plain', 'padded', or 'copy', not '{header}'"


def test_header_must_be_str():
    with pytest.raises(TypeError):
        SDBlock("x", header=b"plain")


@pytest.mark.parametrize(
    "sdf, title, mdl",
    [
        ("Benzene  \t\nctab\nM  END\n> <A>\n1\n\n$$$$\n", "Benzene", "ctab\nM  END\n"),
        ("T\nM  END  extra\n> <A>\n1\n\n$$$$\n", "T", "M  END  extra\n"),
        ("M  END title\nctab\n$$$$\n", "M  END title", "ctab\n"),  # the title is never the CTAB end
        ("T\nno end\n> <A>\n1\n\n$$$$\n", "T", "no end\n> <A>\n1\n\n"),
        ("$$$$\n", "", ""),
        ("T\u00a0\n\nM  END\n$$$$\n", "T\u00a0", "\nM  END\n"),  # non-ASCII space is kept
    ],
)
def test_sections(sdf, title, mdl):
    block = SDBlock(sdf)
    assert block.title == title
    assert block.mdl == mdl
    title_line = sdf[: sdf.index("\n") + 1] if not sdf.startswith("$$$$") else ""
    assert block.molblock == title_line + mdl
    bblock = SDBlock(sdf.encode())
    assert bblock.title == title.encode()
    assert bblock.mdl == mdl.encode()


def test_title_setter_keeps_line_ending_and_rest():
    block = SDBlock(b"old  \r\nctab\nM  END\n> <A>\n1\n\n$$$$\n")
    block.title = b"new"
    assert block.molblock == b"new\r\nctab\nM  END\n"
    assert block.mdl == b"ctab\nM  END\n"
    empty = SDBlock(b"$$$$\r\n")
    empty.title = b"named"
    assert empty.molblock == b"named\r\n"
    assert empty.title == b"named"


@pytest.mark.parametrize(
    "value, message",
    [
        ("a\nb", "SDBlock titles must be a single line"),
        ("a\rb", "SDBlock titles must be a single line"),
        ("$$$$x", "SDBlock titles cannot start with $$$$, which would end the block"),
        ("$$$$", "SDBlock titles cannot start with $$$$, which would end the block"),
    ],
)
def test_title_setter_refusals_leave_block_unchanged(value, message):
    block = SDBlock("t\nM  END\n$$$$\n")
    with pytest.raises(ValueError) as info:
        block.title = value
    assert str(info.value) == message
    assert str(block) == "t\nM  END\n$$$$\n"


def test_title_three_dollars_accepted():
    block = SDBlock("t\nM  END\n$$$$\n")
    block.title = "$$$"
    assert str(block) == "$$$\nM  END\n$$$$\n"


@pytest.mark.parametrize(
    "block_input, attr, value, message",
    [
        ("t\n", "title", b"x", "text SDBlock titles must be str"),
        (b"t\n", "title", "x", "byte-backed SDBlock titles must be bytes"),
        ("t\n", "molblock", b"x\nM  END\n", "text SDBlock molblocks must be str"),
        (b"t\n", "molblock", "x\nM  END\n", "byte-backed SDBlock molblocks must be bytes"),
    ],
)
def test_setter_type_errors(block_input, attr, value, message):
    block = SDBlock(block_input)
    with pytest.raises(TypeError) as info:
        setattr(block, attr, value)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "molblock, expected_text",
    [
        ("new\nc\nM  END", "new\nc\nM  END\n> <A>\n1\n\n$$$$\n"),
        ("new\r\nc\r\nM  END\r\n\r\n  \n", "new\nc\nM  END\n> <A>\n1\n\n$$$$\n"),
        ("new\nM  END\n", "new\nM  END\n> <A>\n1\n\n$$$$\n"),
    ],
)
def test_molblock_setter(molblock, expected_text):
    block = SDBlock("old\nctab\nM  END\n> <A>\n1\n\n$$$$\n")
    block.molblock = molblock
    assert str(block) == expected_text
    assert block.title == "new"


def test_bytes_molblock_completion_uses_its_own_ending():
    block = SDBlock(b"old\nM  END\n> <A>\n1\n\n$$$$\n")
    block.molblock = b"new\r\nM  END"
    assert block.molblock == b"new\r\nM  END\r\n"
    block.molblock = b"new\nM  END\r"
    assert block.molblock == b"new\nM  END\r\n"
    assert block.mdl == b"M  END\r\n"


@pytest.mark.parametrize(
    "molblock, message",
    [
        ("M  END\n", "molblock has no M  END line"),  # the title line is never the end
        ("t\nctab\n", "molblock has no M  END line"),
        ("t\nM  END\n> <A>\n", "molblock has data after its M  END line"),
        ("t\nM  END\n\v", "molblock has data after its M  END line"),
        ("$$$$\nM  END\n", "molblock has a $$$$ line, which would end the block"),
        ("t\n$$$$x\nM  END\n", "molblock has a $$$$ line, which would end the block"),
    ],
)
def test_molblock_refusals_leave_block_unchanged(molblock, message):
    block = SDBlock("t\nM  END\n> <A>\n1\n\n$$$$\n")
    with pytest.raises(ValueError) as info:
        block.molblock = molblock
    assert str(info.value) == message
    assert str(block) == "t\nM  END\n> <A>\n1\n\n$$$$\n"


def test_molblock_roundtrip_translates_only_the_ctab():
    block = SDBlock(b"t\r\nM  END\r\n> <A>\r\n1\r\n\r\n$$$$\r\n")
    block.molblock = block.molblock
    assert block.molblock == b"t\r\nM  END\r\n"
    text_block = SDBlock("t\nM  END\n> <A>\n1\n\n$$$$\n")
    before = str(text_block)
    text_block.molblock = text_block.molblock
    assert str(text_block) == before


def test_repr_and_str_of_bytes_block():
    block = SDBlock(b"Benzene\nM  END\n$$$$\n")
    assert repr(block) == "<SDBlock title=b'Benzene'>"
    assert str(block) == repr(block)
    assert repr(SDBlock("Benzene\n")) == "<SDBlock title='Benzene'>"
    assert repr(SDBlock("$$$$\n")) == "<SDBlock title=''>"


@pytest.mark.parametrize("attr", ["title", "molblock"])
def test_deleting_sections_is_refused(attr):
    block = SDBlock("t\nM  END\n$$$$\n")
    with pytest.raises(AttributeError):
        delattr(block, attr)


def test_undecodable_str_block_gets_note():
    from_state = getattr(SDBlock, "_from_state", None)
    if from_state is None:
        pytest.skip("needs SDBlock._from_state to make a str block with invalid UTF-8")
    block = from_state(b"caf\xe9\nM  END\n$$$$\n", 5, 12, True)
    assert repr(block) == "<SDBlock title='caf\ufffd'>"
    for attr, access in [("title", "the title"), ("molblock", "the molblock"), ("mdl", None)]:
        if access is None:
            assert block.mdl == "M  END\n"
            continue
        with pytest.raises(UnicodeDecodeError) as info:
            getattr(block, attr)
        assert info.value.__notes__ == [
            f"Reading {access} of the SDBlock titled 'caf\ufffd'. "
            "parse_sdf(os.fsencode(path)) reads such files as bytes, and "
            "parse_sdf(open(path, encoding=...)) decodes another encoding."
        ]
    with pytest.raises(UnicodeDecodeError) as info:
        str(block)
    assert info.value.__notes__[0].startswith("Writing the SDBlock titled 'caf\ufffd'. ")


TAIL_SPACE = b" \t\n\f\r"


def reference_block(data):
    """An independent model of the block text SDBlock(data) stores, or None
    where it must refuse a second block."""
    if data.startswith(b"$$$$"):
        dollar = 0
    else:
        hit = data.find(b"\n$$$$")
        dollar = -1 if hit < 0 else hit + 1
    if dollar >= 0:
        line_end = data.find(b"\n", dollar)
        line_end = len(data) if line_end < 0 else line_end + 1
        if data[line_end:].strip(TAIL_SPACE):
            return None
        data = data[:line_end]
    first_line = data.split(b"\n", 1)[0] + (b"\n" if b"\n" in data else b"")
    crlf = first_line.endswith(b"\r\n") or (b"\n" not in data and data.endswith(b"\r"))
    if not data.endswith(b"\n"):
        data += b"\n" if data.endswith(b"\r") else (b"\r\n" if crlf else b"\n")
    if dollar < 0:
        dollar = len(data)
    if data[dollar:] not in (b"$$$$\n", b"$$$$\r\n"):
        data = data[:dollar] + (b"$$$$\r\n" if crlf else b"$$$$\n")
    return data


def translate(text):
    return text.replace("\r\n", "\n").replace("\r", "\n")


pieces = st.sampled_from(["a", "é", " ", "\t", "\v", "\f", "\r", "\n", "$$$$", "M  END", "> <A>", "\r\n"])
texts = st.lists(pieces, max_size=25).map("".join)


@settings(max_examples=500, deadline=None)
@given(texts, st.booleans())
def test_any_input_gives_one_valid_block_or_the_one_block_error(sdf, as_bytes):
    data = sdf.encode() if as_bytes else translate(sdf).encode()
    expected = reference_block(data)
    try:
        block = SDBlock(sdf.encode() if as_bytes else sdf)
    except ValueError as error:
        assert str(error) == "SDBlock() takes one block; use SDBlock.from_sdf to parse several"
        assert expected is None
        return
    assert expected is not None
    title = block.title.encode() if not as_bytes else block.title
    assert b"\n" not in title and not title.endswith(b"\r")
    molblock = block.molblock if as_bytes else block.molblock.encode()
    text = full_bytes(block) if as_bytes else str(block).encode()
    assert text == expected
    # molblock, SD data and terminator line reassemble the text.
    terminator = b"$$$$\r\n" if text.endswith(b"\r\n") else b"$$$$\n"
    assert text.endswith(terminator)
    sd_data = text[len(molblock) : len(text) - len(terminator)]
    assert molblock + sd_data + terminator == text
    assert text.startswith(molblock)
