"""Reading SD data records: header grammar, values, lookups, name cache."""

import re

import pytest
from conftest import corpus_params, examples, text_of
from hypothesis import given, settings
from hypothesis import strategies as st
from sdf_reference import expected_blocks

from molvane.native import MalformedRecordError, SDBlock

HEAD = "title\n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"


def block_with(sd, kind=str):
    text = HEAD + sd + "$$$$\n"
    return SDBlock(text if kind is str else text.encode())


def reference_records(sd: bytes):
    """The record grammar written out plainly, as an independent oracle."""
    lines = re.findall(rb"[^\n]*\n|[^\n]+$", sd)
    records, i = [], 0
    while i < len(lines):
        stripped = lines[i].strip()
        if not stripped:
            i += 1
            continue
        if len(stripped) > 1 and stripped[:2] == b"> ":
            close, open_ = stripped.rfind(b">"), stripped.find(b"<", 2)
            if close < 2 or open_ == -1 or open_ >= close:
                raise MalformedRecordError("SD data field header is missing a name")
            name, value, i = stripped[open_ + 1 : close], [], i + 1
            while i < len(lines) and lines[i].strip():
                line = lines[i][:-1] if lines[i].endswith(b"\n") else lines[i]
                value.append(line[:-1] if line.endswith(b"\r") else line)
                i += 1
            records.append((name, b"\n".join(value)))
            i += 1
        else:
            while i < len(lines) and lines[i].strip():
                i += 1
            i += 1
    return records


def sd_section(block):
    text, molblock = text_of(block), block.molblock
    terminator = 6 if text.endswith(b"\r\n") else 5
    return text[
        len(molblock if isinstance(molblock, bytes) else molblock.encode()) : len(text) - terminator
    ]


def decoded(records, kind):
    return records if kind is bytes else [(n.decode(), v.decode()) for n, v in records]


GRAMMAR = [
    ("> <A>\n\n", [("A", "")]),
    ("> <A>\n", [("A", "")]),
    ("   > <A>\nv\n\n", [("A", "v")]),
    (">  <A>  (1)\nv\n\n", [("A", "v")]),
    ("> 25 <A> (MD-08974)\nv\n\n", [("A", "v")]),
    ("> <A> <B>\nv\n\n", [("A> <B", "v")]),
    ("> <>\nv\n\n", [("", "v")]),
    ("> < spaced name >\nv\n\n", [(" spaced name ", "v")]),
    ("><A>\nx\n> <B>\n\n> <C>\nc\n\n", [("C", "c")]),
    (">\t<A>\nx\n\n> <C>\nc\n\n", [("C", "c")]),
    (">\n\n> <C>\nc\n\n", [("C", "c")]),
    ("stray\n> <A>\nx\n\n> <B>\nb\n\n", [("B", "b")]),
    ("> <A>\n> <B>\nb\n\n", [("A", "> <B>\nb")]),
    ("> <A>\nline 1\nline 2\n \t\x0b\x0c\n\n\n> <B>\nb\n\n", [("A", "line 1\nline 2"), ("B", "b")]),
    ("> <A>\n\xa0\n\n", [("A", "\xa0")]),
    ("> <A>\nruns to the end\n", [("A", "runs to the end")]),
    ("> <A>\n1\n\n> <A>\n2\n\n", [("A", "1"), ("A", "2")]),
]


@pytest.mark.parametrize("kind", [str, bytes])
@pytest.mark.parametrize("sd, expected", GRAMMAR)
def test_grammar(sd, expected, kind):
    block = block_with(sd, kind)
    if kind is bytes:
        expected = [(n.encode(), v.encode()) for n, v in expected]
    assert block.records() == expected
    assert block.names() == [name for name, _ in expected]
    assert len(block) == len(expected)
    assert block.to_dict() == dict(expected)
    assert block.records() == decoded(reference_records(sd_section(block)), kind)


@pytest.mark.parametrize("header", ["> A\n", "> >A<\n", "> A>\n", "> <A\n", "> >\n"])
@pytest.mark.parametrize(
    "operation",
    [
        SDBlock.records,
        SDBlock.names,
        SDBlock.to_dict,
        len,
        lambda b: "X" in b,
        lambda b: b.get("A"),
        lambda b: b["A"],
    ],
)
def test_header_without_name_is_malformed_everywhere(header, operation):
    # The wanted record comes first: the whole section is still checked.
    block = block_with("> <A>\n1\n\n" + header + "v\n\n")
    with pytest.raises(MalformedRecordError) as info:
        operation(block)
    assert str(info.value) == "SD data field header is missing a name"
    assert info.value.__notes__ == [f"In the SDBlock titled '{block.title}'."]


def test_without_m_end_there_are_no_records():
    block = SDBlock("t\n\n> <A>\nv\n\n$$$$\n")
    assert block.records() == [] and len(block) == 0 and "A" not in block
    assert bool(block) is True


def test_duplicates_last_wins_in_lookups_first_position_in_dict():
    block = block_with("> <A>\n1\n\n> <B>\nb\n\n> <A>\n2\n\n")
    for _ in range(3):  # a scan, then the index, then the index again
        assert block.get("A") == "2" and block["A"] == "2" and "A" in block
        assert block.get("Z") is None and block.get("Z", 5) == 5 and "Z" not in block
        with pytest.raises(KeyError) as raised:
            block["Z"]
        assert raised.value.args == ("Z",)
    assert list(block.to_dict().items()) == [("A", "2"), ("B", "b")]
    assert block.names() == ["A", "B", "A"]


@pytest.mark.parametrize(
    "call, value",
    [
        (lambda b: b.get(name="A", default=0), "1"),
        (lambda b: b.get(default=0, name="Z"), 0),
        (lambda b: b.get("Z", default=0), 0),
    ],
)
def test_get_keyword_arguments(call, value):
    assert call(block_with("> <A>\n1\n\n")) == value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.get(), "get() missing required argument 'name' (pos 1)"),
        (lambda b: b.get("A", 1, 2), "get() takes at most 2 arguments (3 given)"),
        (
            lambda b: b.get("A", name="A"),
            "argument for get() given by name ('name') and position (1)",
        ),
        (lambda b: b.get("A", value=1), "get() got an unexpected keyword argument 'value'"),
    ],
)
def test_get_argument_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call(block_with("> <A>\n1\n\n"))
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "kind, name, message",
    [
        (str, b"A", "text SDBlock record names must be str"),
        (bytes, "A", "byte-backed SDBlock record names must be bytes"),
        (str, None, "text SDBlock record names must be str"),
    ],
)
@pytest.mark.parametrize(
    "operation", [lambda b, n: b.get(n), lambda b, n: b[n], lambda b, n: n in b]
)
def test_name_type_checks(kind, name, message, operation):
    # Checked before scanning: even a malformed block reports the type first.
    block = block_with("> broken\n\n", kind)
    with pytest.raises(TypeError, match=f"^{message}$"):
        operation(block, name)


def test_record_name_cache():
    short, long = "N" * 64, "L" * 65
    first = block_with(f"> <{short}>\n1\n\n> <{long}>\n2\n\n")
    second = block_with(f"> <{short}>\n3\n\n> <{long}>\n4\n\n")
    a, b = first.names(), second.names()
    assert a[0] is b[0] and a[1] == b[1] and a[1] is not b[1]
    # str and bytes names live in separate tables
    assert block_with(f"> <{short}>\n\n", bytes).names() == [short.encode()]
    # more names than a table holds: it is emptied and filled again
    blocks = [block_with(f"> <name{i}>\nv{i}\n\n") for i in range(5000)]
    for _ in range(2):
        for i, block in enumerate(blocks):
            assert block.records() == [(f"name{i}", f"v{i}")]


text_lines = st.lists(
    st.one_of(
        st.sampled_from(["", " ", "\t", "\x0b", ">", "> ", "\r"]),
        st.builds(
            lambda pre, name, post: pre + "> " + name + post,
            st.sampled_from(["", " ", "\t"]),
            st.sampled_from(["<A>", "<B> (1)", " <>", "<a<b>c>", "x<y>", "<C"]),
            st.sampled_from(["", " ", "\r", "  (2)"]),
        ),
        st.text(alphabet="ab <>\t\r\xa0", max_size=8),
    ),
    max_size=25,
)


@settings(max_examples=examples(300), deadline=None)
@given(lines=text_lines, crlf=st.booleans())
def test_scanner_agrees_with_reference(lines, crlf):
    sd = "".join(line + ("\r\n" if crlf else "\n") for line in lines).encode()
    block = SDBlock(b"t\n\nM  END\n" + sd + b"$$$$\n")
    try:
        expected = reference_records(sd)
    except MalformedRecordError:
        with pytest.raises(MalformedRecordError):
            block.records()
        return
    assert block.records() == expected
    assert [block.get(name) for name, _ in expected] == [dict(expected)[n] for n, _ in expected]


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_records(path):
    data = path.read_bytes()
    try:
        data.decode()
        kinds = (bytes, str)
    except UnicodeDecodeError:
        kinds = (bytes,)
    for raw in expected_blocks(data):
        for kind in kinds:
            block = SDBlock(raw if kind is bytes else raw.decode())
            try:
                expected = reference_records(sd_section(block))
            except MalformedRecordError:
                with pytest.raises(MalformedRecordError):
                    block.records()
                continue
            records = block.records()
            assert records == decoded(expected, kind)
            assert list(block.iter_records()) == records
            assert all(("\r\n" if kind is str else b"\r\n") not in v for _, v in records)
