"""Reading SD text from memory, iterables, file objects and files of the corpus."""

import gc
import io
import os
import tempfile
import weakref

import pytest
from conftest import corpus_params, examples, texts
from hypothesis import given, settings
from hypothesis import strategies as st
from sdf_reference import expected_blocks, lf_lines, translate

from molvane import native

SDBlock = native.SDBlock


def read_all_ways(data: bytes, *, text=False) -> dict[str, list]:
    """The blocks of `data` as each bytes source, or each str source, gives them."""
    with tempfile.NamedTemporaryFile(suffix=".sdf") as f:
        f.write(data)
        f.flush()
        path = f.name if text else os.fsencode(f.name)
        with open(f.name, "r" if text else "rb") as handle:
            from_file = list(SDBlock.from_lines(handle))
        lines = [x.decode() for x in lf_lines(translate(data))] if text else lf_lines(data)
        return {
            "path": list(native.parse_sdf(path)),
            "borrow": list(native.parse_sdf(path, borrow=True)),
            "from_sdf": list(SDBlock.from_sdf(data.decode() if text else data)),
            "file object": from_file,
            "lines": list(SDBlock.from_lines(lines)),
        }


def only_plain_dollar_lines(data: bytes) -> bool:
    lines = lf_lines(data)
    plain = all(line in (b"$$$$\n", b"$$$$\r\n") for line in lines if line.startswith(b"$$$$"))
    return plain and bool(lines) and lines[-1].startswith(b"$$$$") and data.endswith(b"\n")


def check_all_ways(data, expected, expected_text):
    for way, blocks in read_all_ways(data).items():
        assert texts(blocks) == expected, way
    for way, blocks in read_all_ways(data, text=True).items():
        assert texts(blocks, str) == expected_text, way


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_sources_agree(path):
    data = path.read_bytes()
    with open(path, newline=None) as f:  # str paths agree with Python's universal newlines
        expected_text = expected_blocks(f.read().encode())
    check_all_ways(data, expected_blocks(data), expected_text)
    if only_plain_dollar_lines(data):
        assert b"".join(expected_blocks(data)) == data


TOKENS = ["A", " ", "\n", "\r", "\r\n", "$", "$$", "$$$$", "\n$$$$", "M  END", "\u00e9", "\t"]


class Pieces:
    """A file object whose reads return the given pieces."""

    def __init__(self, pieces):
        self.pieces = iter(pieces)

    def read(self, n):
        return next(self.pieces, b"")


@settings(max_examples=examples(150), deadline=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=60).map("".join), st.lists(st.integers(0, 90)))
def test_random_text_splits_as_the_reference_in_reads_of_any_size(text, cuts):
    data = text.encode()
    check_all_ways(data, expected_blocks(data), expected_blocks(data, text=True))
    bounds = [0, *sorted(cuts), len(data)]
    pieces = [data[a:b] for a, b in zip(bounds, bounds[1:]) if a < b]
    assert texts(SDBlock.from_lines(Pieces(pieces))) == expected_blocks(data)


@pytest.mark.parametrize(
    "data, expected, as_text",
    [
        (b"A\n$$$$\n\n", [b"A\n$$$$\n", b"\n$$$$\n"], False),
        (b"A\n$$$$ x\nB\n$$$$\n", [b"A\n$$$$\n", b"B\n$$$$\n"], False),
        (b"x$$$$\n  $$$$\n$$$$$\n", [b"x$$$$\n  $$$$\n$$$$\n"], False),
        # the title line's ending completes the block
        (b"t\r\nM  END\n", [b"t\r\nM  END\n$$$$\r\n"], False),
        (b"t\rx", [b"t\rx\n$$$$\n"], False),
        (b"A\r$$$$\rB\r$$$$\r", [b"A\n$$$$\n", b"B\n$$$$\n"], True),
        (b"$$$$ x\r\n", [b"$$$$\n"], True),
    ],
)
def test_examples(data, expected, as_text):
    # Anchors for the reference that the properties above compare against.
    for way, blocks in read_all_ways(data, text=as_text).items():
        assert texts(blocks, str if as_text else bytes) == expected, way


@pytest.mark.parametrize(
    "items, expected",
    [
        (["t", "  ctab", "M  END", "$$$$"], ["t\n  ctab\nM  END\n$$$$\n"]),
        (["t\r\n", "M  END", "$$$$"], ["t\r\nM  END\r\n$$$$\r\n"]),
        (["t\r", "$$$$"], ["t\r\n$$$$\r\n"]),
        ([""], ["\n$$$$\n"]),
        ([], []),
        (["a\n$$$$\nb\n", "$$$$"], ["a\n$$$$\n", "b\n$$$$\n"]),
    ],
)
def test_from_lines_completes_items(items, expected):
    assert [str(b) for b in SDBlock.from_lines(items)] == expected


def test_from_lines_pulls_items_only_up_to_each_dollar_line():
    pulled = []

    def lines():
        for item in ["a", "$$$$", "b", "$$$$", "c"]:
            pulled.append(item)
            yield item

    blocks = SDBlock.from_lines(lines())
    assert next(blocks).title == "a" and pulled == ["a", "$$$$"]
    assert next(blocks).title == "b" and pulled == ["a", "$$$$", "b", "$$$$"]


class Reader:
    """A file object with only `read`, recording its calls."""

    def __init__(self, data):
        self.stream, self.calls = io.BytesIO(data), []

    def read(self, n):
        self.calls.append(("read", n))
        return self.stream.read(n)


class Read1Reader(Reader):
    def read1(self, n):
        self.calls.append(("read1", n))
        return self.stream.read(n)


@pytest.mark.parametrize("cls, method", [(Reader, "read"), (Read1Reader, "read1")])
def test_file_objects_are_read_in_units(cls, method):
    reader = cls(b"A\n$$$$\n" * 40000)
    assert len(list(native.parse_sdf(reader, borrow=True))) == 40000
    assert set(reader.calls) == {(method, 131072)}
    assert len(reader.calls) == 280000 // 131072 + 2  # the last read returns nothing


@pytest.mark.parametrize("close", [True, False])
def test_close_and_exhaustion_release_the_source(close):
    source = Reader(b"A\n$$$$\nB\n$$$$\n")
    alive, blocks = weakref.ref(source), SDBlock.from_lines(source)
    first = next(blocks)
    if close:
        blocks.close()
        blocks.close()
    else:
        assert len(list(blocks)) == 1
    del source
    assert alive() is None and list(blocks) == [] and first.title == b"A"


def test_garbage_collector_frees_a_cycle_through_the_iterator():
    handle = Pieces([])
    handle.blocks = SDBlock.from_lines(handle)  # iterator -> handle.read -> handle
    alive = weakref.ref(handle)
    del handle
    gc.collect()
    assert alive() is None
