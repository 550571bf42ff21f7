import pytest
from conftest import ADVICE, V2000_COUNTS, examples, state, str_block, text_of
from hypothesis import given, settings
from hypothesis import strategies as st
from sdf_reference import finish_block, split_ranges

from molvane.native import SDBlock


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
    block, bblock = SDBlock(sdf), SDBlock(sdf.encode())
    assert (block.title, block.mdl) == (title, mdl)
    title_line = "" if sdf.startswith("$$$$") else sdf[: sdf.index("\n") + 1]
    assert block.molblock == title_line + mdl
    assert (bblock.title, bblock.mdl) == (title.encode(), mdl.encode())


SD = "> <A>\n1\n\n$$$$\n"
SDB = SD.encode()
CRLF = b"t\r\nM  END\r\n> <A>\r\n1\r\n\r\n$$$$\r\n"


@pytest.mark.parametrize(
    "sdf, attr, value, text",
    [
        (b"old  \r\nctab\nM  END\n" + SDB, "title", b"new", b"new\r\nctab\nM  END\n" + SDB),
        (b"$$$$\r\n", "title", b"named", b"named\r\n$$$$\r\n"),
        ("t\nM  END\n$$$$\n", "title", "$$$", "$$$\nM  END\n$$$$\n"),
        ("old\nctab\nM  END\n" + SD, "molblock", "new\nc\nM  END", "new\nc\nM  END\n" + SD),
        (
            "old\nctab\nM  END\n" + SD,
            "molblock",
            "new\r\nc\r\nM  END\r\n\r\n  \n",
            "new\nc\nM  END\n" + SD,
        ),
        # a bytes molblock is completed with its own ending and never translated
        (b"old\nM  END\n" + SDB, "molblock", b"new\r\nM  END", b"new\r\nM  END\r\n" + SDB),
        (b"old\nM  END\n" + SDB, "molblock", b"new\nM  END\r", b"new\nM  END\r\n" + SDB),
        (CRLF, "molblock", b"t\r\nM  END\r\n", CRLF),
    ],
)
def test_setters(sdf, attr, value, text):
    block = SDBlock(sdf)
    setattr(block, attr, value)
    assert text_of(block) == (text if isinstance(text, bytes) else text.encode())


ONE_BLOCK = "SDBlock() takes one block; use SDBlock.from_sdf to parse several"
NOT_STR_OR_BYTES = "SDBlock() argument must be str or bytes"
MULTILINE_TITLE = "SDBlock titles must be a single line"
DOLLAR_TITLE = "SDBlock titles cannot start with $$$$, which would end the block"
NO_M_END = "molblock has no M  END line"
DATA_AFTER = "molblock has data after its M  END line"
DOLLAR_LINE = "molblock has a $$$$ line, which would end the block"


def setter(attr, value):
    return lambda block: setattr(block, attr, value)


@pytest.mark.parametrize(
    "kind, operation, error, message",
    [
        (str, lambda b: SDBlock("a\n$$$$\nb\n$$$$\n"), ValueError, ONE_BLOCK),
        (str, lambda b: SDBlock("a\n$$$$\n\v"), ValueError, ONE_BLOCK),  # a vertical tab is data
        (str, lambda b: SDBlock(b"a\n$$$$\n\n\nz"), ValueError, ONE_BLOCK),
        (str, lambda b: SDBlock(None), TypeError, NOT_STR_OR_BYTES),
        (str, lambda b: SDBlock(bytearray(b"x")), TypeError, NOT_STR_OR_BYTES),
        (str, lambda b: SDBlock(["a"]), TypeError, NOT_STR_OR_BYTES),
        # the header style is checked first
        (
            str,
            lambda b: SDBlock(5, header="copy "),
            ValueError,
            "header must be 'plain', 'padded', or 'copy', not 'copy '",
        ),
        (str, lambda b: SDBlock("x", header=b"plain"), TypeError, None),
        (str, setter("title", "a\nb"), ValueError, MULTILINE_TITLE),
        (str, setter("title", "a\rb"), ValueError, MULTILINE_TITLE),
        (str, setter("title", "$$$$x"), ValueError, DOLLAR_TITLE),
        (str, setter("title", b"x"), TypeError, "text SDBlock titles must be str"),
        (bytes, setter("title", "x"), TypeError, "byte-backed SDBlock titles must be bytes"),
        (str, setter("molblock", b"x\nM  END\n"), TypeError, "text SDBlock molblocks must be str"),
        (
            bytes,
            setter("molblock", "x\nM  END\n"),
            TypeError,
            "byte-backed SDBlock molblocks must be bytes",
        ),
        # the title line is never the end
        (str, setter("molblock", "M  END\n"), ValueError, NO_M_END),
        (str, setter("molblock", "t\nctab\n"), ValueError, NO_M_END),
        (str, setter("molblock", "t\nM  END\n> <A>\n"), ValueError, DATA_AFTER),
        (str, setter("molblock", "t\nM  END\n\v"), ValueError, DATA_AFTER),
        (str, setter("molblock", "$$$$\nM  END\n"), ValueError, DOLLAR_LINE),
        (bytes, setter("molblock", b"t\n$$$$x\nM  END\n"), ValueError, DOLLAR_LINE),
        (str, lambda b: delattr(b, "title"), AttributeError, None),
        (str, lambda b: delattr(b, "molblock"), AttributeError, None),
    ],
)
def test_refusals_leave_the_block_unchanged(kind, operation, error, message):
    block = SDBlock("t\nM  END\n" + SD if kind is str else b"t\nM  END\n" + SDB)
    before = state(block)
    with pytest.raises(error) as info:
        operation(block)
    assert message is None or str(info.value) == message
    assert state(block) == before


@pytest.mark.parametrize(
    "sd, operation, access",
    [
        (b"", lambda b: b.title, "Reading the title of"),
        (b"", lambda b: b.molblock, "Reading the molblock of"),
        (b"", str, "Writing"),
        (b"", SDBlock.ctable, "Reading the CTAB of"),
        (b"", SDBlock.renumber_indices, "Reading the CTAB of"),
        (b"", SDBlock.fix_counts, "Reading the CTAB of"),
        (b"> <b\xe9d>\nv\n\n", SDBlock.records, "Reading record 'b\ufffdd' of"),
        (b"> <A>\nbad \xe9\n\n", SDBlock.to_dict, "Reading record 'A' of"),
        (
            b"> <A>\nok\n\n> <B>\nbad \xe9\n\n",
            lambda b: list(b.iter_records()),
            "Reading record 'B' of",
        ),
    ],
)
def test_undecodable_str_block_gets_a_note(sd, operation, access):
    block = str_block(b"caf\xe9\n\n\n" + V2000_COUNTS.encode() + b"M  END\n" + sd + b"$$$$\n")
    with pytest.raises(UnicodeDecodeError) as info:
        operation(block)
    assert info.value.__notes__ == [f"{access} the SDBlock titled 'caf\ufffd'. {ADVICE}"]
    if access == "Reading the CTAB of":
        error = info.value
        assert (error.object, error.start, error.end) == (b"caf\xe9", 3, 4)
        assert error.reason == "invalid utf-8"
    # Undecodable text elsewhere never stops the counts, read with U+FFFD in its place.
    assert (block.num_atoms, block.num_bonds) == (0, 0)


def reference_block(data):
    """The text SDBlock(data) stores by the reading model, or None where data
    other than ASCII whitespace follows the first `$$$$` line."""
    ranges = split_ranges(data) or [(b"", None)]
    if b"".join(part for part, _ in ranges[1:]).strip(b" \t\n\f\r"):
        return None
    return finish_block(*ranges[0])


pieces = st.sampled_from(
    ["a", "é", " ", "\t", "\v", "\f", "\r", "\n", "$$$$", "M  END", "> <A>", "\r\n"]
)


@settings(max_examples=examples(500), deadline=None)
@given(st.lists(pieces, max_size=25).map("".join), st.booleans())
def test_any_input_gives_one_valid_block_or_the_one_block_error(sdf, as_bytes):
    data = sdf.encode() if as_bytes else sdf.replace("\r\n", "\n").replace("\r", "\n").encode()
    expected = reference_block(data)
    try:
        block = SDBlock(sdf.encode() if as_bytes else sdf)
    except ValueError as error:
        assert str(error) == ONE_BLOCK and expected is None
        return
    text = text_of(block)
    assert text == expected
    title = block.title if as_bytes else block.title.encode()
    assert b"\n" not in title and not title.endswith(b"\r")
    # molblock, SD data and terminator line reassemble the text.
    molblock = block.molblock if as_bytes else block.molblock.encode()
    terminator = b"$$$$\r\n" if text.endswith(b"\r\n") else b"$$$$\n"
    assert text.startswith(molblock) and text.endswith(terminator)
    assert len(molblock) + len(terminator) <= len(text)
