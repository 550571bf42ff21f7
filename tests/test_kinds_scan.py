"""The scan of a mapped file walks its blocks in the mapping: its columns,
kinds and types are those of the scan through the reader (a file object,
which builds every block) and of a build, on any bytes."""

import gzip

import pyarrow as pa
import pytest
from conftest import V2000_COUNTS, examples
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import molvane
from molvane import native

NAMES = ["A", "B", "C", "title"]
VALUES = ["1", "-7", " 2.5 ", "", "x", str(2**53 + 1), "1e999", "3\n4", "nan"]
# Header lines: named, without a name (malformed), and one that is no header.
HEADERS = ["> <{name}>", "> <{name}> (7)", ">  <>", "> 12", "junk"]


@st.composite
def blocks(draw):
    """One block's text with LF line endings: a title, maybe a molfile that
    ends in M  END, records (some headers malformed), maybe a terminator."""
    lines = [draw(st.sampled_from(["m", "", "$$$ not", "  t  "]))]
    if draw(st.booleans()):
        lines += ["  molvane", "", V2000_COUNTS.rstrip("\n"), "M  END"]
    else:
        lines += ["no table"]
    for _ in range(draw(st.integers(0, 4))):
        header = draw(st.sampled_from(HEADERS)).format(name=draw(st.sampled_from(NAMES)))
        lines += [header, *draw(st.sampled_from(VALUES)).split("\n"), ""]
    lines.append(draw(st.sampled_from(["$$$$", "$$$$", "$$$$ x"])))
    return lines


@st.composite
def files(draw):
    """A file's bytes: blocks joined with LF, CR LF, or a mix, the last
    block maybe without its terminator or its last line ending."""
    parts = draw(st.lists(blocks(), min_size=1, max_size=12))
    endings = draw(st.sampled_from([["\n"], ["\r\n"], ["\n", "\r\n", "\r"]]))
    text = ""
    for lines in parts:
        for line in lines:
            text += line + draw(st.sampled_from(endings))
    if draw(st.booleans()):
        text = text[: text.rfind("$$$$")]
    if draw(st.booleans()):
        text = text.rstrip("\r\n")
    return text.encode()


def scan(source, **options):
    return native._build_table(native.parse_sdf(source), scan=True, **options)


def described(table):
    return pa.schema(table), table.kinds, table.scanned


@settings(
    max_examples=examples(150),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(data=files(), columns=st.sampled_from([None, ["B", "A"], ["C"]]), cut=st.integers(1, 300))
@pytest.mark.parametrize("as_str", [False, True])
def test_the_mapped_scan_is_the_reader_scan(tmp_path, data, columns, cut, as_str):
    path = tmp_path / "s.sdf"
    path.write_bytes(data)
    source = str(path) if as_str else bytes(path)
    options = {"columns": columns, "title": "t"}
    with open(path, "r" if as_str else "rb", newline=None if as_str else None) as stream:
        through_reader = described(scan(stream, threads=1, **options))
    assert described(scan(source, threads=1, **options)) == through_reader
    assert described(scan(source, threads=3, _min_range=cut, **options)) == through_reader
    # A build types each column as the scan did.
    built = molvane.to_arrow(source, errors="skip", threads=1, **options)
    assert pa.schema(through_reader[0]) == built.schema.remove_metadata()


def refusal(call):
    with pytest.raises((ValueError, UnicodeDecodeError)) as raised:
        call()
    return type(raised.value), str(raised.value), getattr(raised.value, "__notes__", [])


@pytest.mark.parametrize(
    "record", [b"> <t>\n1\n", b"> <\xff>\n1\n"], ids=["the title column's name", "not UTF-8"]
)
def test_refused_names_are_refused_as_the_reader_refuses_them(tmp_path, record):
    path = tmp_path / "r.sdf"
    good = ("ok\n\n\n" + V2000_COUNTS + "M  END\n$$$$\n").encode()
    bad = ("m\n\n\n" + V2000_COUNTS + "M  END\n").encode() + record + b"\n$$$$\n"
    path.write_bytes(good * 40 + bad + good)
    # A compressed file is read through the reader, every block built.
    packed = tmp_path / "r.sdf.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    expected = refusal(lambda: scan(str(packed), threads=1, title="t"))
    assert refusal(lambda: scan(str(path), threads=1, title="t")) == expected
    # In ranges on threads the block is named within its range.
    threaded = refusal(lambda: scan(str(path), threads=3, title="t", _min_range=64))
    assert threaded[:2] == expected[:2]


def test_a_large_block_outgrows_the_walks_room(tmp_path):
    records = "".join(f"> <N{i}>\n{i}\n\n" for i in range(20000))
    names = "".join(f"> <{'L' * 70000}{i}>\n2.5\n\n" for i in range(3))
    block = f"big\n\n\n{V2000_COUNTS}M  END\n{records}{names}$$$$\n"
    path = tmp_path / "big.sdf"
    path.write_text("small\n\n\n" + V2000_COUNTS + "M  END\n> <N0>\nx\n\n$$$$\n" + block)
    with open(path, "rb") as stream:
        expected = described(scan(stream, threads=1))
    assert described(scan(bytes(path), threads=1)) == expected
    assert len(expected[1]) == 20003
