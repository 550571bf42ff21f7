"""Reading files from any byte offset: byte ranges, shards and the block index."""

import gzip
import os
import re
import threading

import pytest
from conftest import corpus_params, texts
from hypothesis import given, settings
from hypothesis import strategies as st

import molvane

# Pieces that make every boundary case of the splitting rules likely: all
# three line endings, `$$$$` lines, runs of '$', blocks without a terminator.
TOKENS = ["A", " ", "\n", "\r", "\r\n", "$", "$$", "$$$$", "\n$$$$", "\n$$$$\n", "M  END", "\u00e9"]
sd_texts = st.lists(st.sampled_from(TOKENS), max_size=50).map(lambda parts: "".join(parts).encode())


def reference_starts(data: bytes, universal: bool) -> list[int]:
    """Offsets of the blocks' first bytes, found line by line: a block ends
    with the first line that starts with `$$$$` (LF, or also CR and CR LF)."""
    pattern = rb"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+\Z" if universal else rb"[^\n]*\n|[^\n]+\Z"
    starts, pos, start = [], 0, 0
    for line in re.findall(pattern, data):
        if line.startswith(b"$$$$"):
            starts.append(start)
            start = pos + len(line)
        pos += len(line)
    if start < len(data):
        starts.append(start)
    return starts


def path_of(file, as_str):
    return str(file) if as_str else os.fsencode(file)


def ranged(path, cuts):
    """The blocks of the ranges between `cuts`, one range after the other."""
    bounds = [0, *cuts, None]
    return [b for start, stop in zip(bounds, bounds[1:]) for b in molvane.parse_sdf(path, start=start, stop=stop)]


@pytest.fixture
def write(tmp_path):
    def write(data: bytes, name="x.sdf"):
        file = tmp_path / name
        file.write_bytes(data)
        return file

    return write


# ---------------------------------------------------------------------------
# parse_sdf(path, start=, stop=)


@settings(max_examples=60, deadline=None)
@given(sd_texts, st.lists(st.integers(0, 260), max_size=4).map(sorted), st.booleans())
def test_adjacent_ranges_give_the_whole_files_blocks(tmp_path_factory, data, cuts, as_str):
    file = tmp_path_factory.mktemp("ranges") / "x.sdf"
    file.write_bytes(data)
    path = path_of(file, as_str)
    kind = str if as_str else bytes
    assert texts(ranged(path, cuts), kind) == texts(molvane.parse_sdf(path), kind)


@settings(max_examples=60, deadline=None)
@given(sd_texts, st.booleans())
def test_a_range_holds_the_blocks_starting_in_it(tmp_path_factory, data, as_str):
    file = tmp_path_factory.mktemp("ranges") / "x.sdf"
    file.write_bytes(data)
    path = path_of(file, as_str)
    starts = reference_starts(data, universal=as_str)
    whole = texts(molvane.parse_sdf(path), str if as_str else bytes)
    for i, start in enumerate(starts):
        # Any range around a block's first byte, and none past it, yields it.
        assert texts(molvane.parse_sdf(path, start=start, stop=start + 1), str if as_str else bytes) == [whole[i]]
        if start > 0:
            assert list(molvane.parse_sdf(path, start=start - 1, stop=start)) == []


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_ranges_at_every_eighth(path):
    size = path.stat().st_size
    cuts = [size * k // 8 for k in range(1, 8)]
    for as_str in (False, True):
        p = path_of(path, as_str)
        kind = str if as_str else bytes
        try:
            whole = texts(molvane.parse_sdf(p), kind)
        except (UnicodeDecodeError, ValueError):
            continue  # not UTF-8, or not an SD file: reading it whole fails too
        assert texts(ranged(p, cuts), kind) == whole


@pytest.mark.parametrize("start, stop, titles", [
    (0, None, ["a", "b", "c"]),
    (1, None, ["b", "c"]),
    (7, 8, ["b"]),            # "b" starts at 7
    (7, 7, []),               # empty range
    (9, 3, []),               # start past stop
    (0, 7, ["a"]),
    (0, 8, ["a", "b"]),
    (14, None, ["c"]),
    (15, None, []),
    (10**30, None, []),       # past any file
    (0, 10**30, ["a", "b", "c"]),
])
def test_range_edges(write, start, stop, titles):
    file = write(b"a\n$$$$\nb\n$$$$\nc\n$$$$\n")
    assert [b.title for b in molvane.parse_sdf(str(file), start=start, stop=stop)] == titles


def test_range_position_runs_over_the_range(write):
    file = write(b"a\n$$$$\nb\n$$$$\nc\n$$$$\n")
    blocks = molvane.parse_sdf(os.fsencode(file), start=3, stop=8)
    assert blocks.size == 21
    assert [b.title for b in blocks] == [b"b"]
    assert blocks.position == 14  # the end of the range's last block


@pytest.mark.parametrize("start, stop, error, message", [
    (-1, None, ValueError, "start must not be negative"),
    (0, -5, ValueError, "stop must not be negative"),
    (1.5, None, TypeError, "start must be an int byte offset, not float"),
    ("3", None, TypeError, "start must be an int byte offset, not str"),
    (True, None, TypeError, "start must be an int byte offset, not bool"),
    (0, 2.0, TypeError, "stop must be an int byte offset, not float"),
])
def test_bad_offsets_are_refused_at_the_call(write, start, stop, error, message):
    file = write(b"a\n$$$$\n")
    with pytest.raises(error, match=message):
        molvane.parse_sdf(str(file), start=start, stop=stop)


def test_ranges_need_a_path(write):
    file = write(b"a\n$$$$\n")
    with open(file, "rb") as handle, pytest.raises(TypeError, match="need a path.*not BufferedReader"):
        molvane.parse_sdf(handle, start=0, stop=3)


def test_compressed_files_have_no_ranges(write):
    file = write(gzip.compress(b"a\n$$$$\n"), "x.sdf.gz")
    with pytest.raises(ValueError, match=r"random access needs an uncompressed file: decompress .*x\.sdf\.gz"):
        list(molvane.parse_sdf(str(file), start=0, stop=3))


def test_pipes_have_no_ranges(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def feed():
        # Opening a FIFO waits for the other end; the reader may be gone
        # before anything is written.
        try:
            fifo.write_bytes(b"a\n$$$$\n")
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        with pytest.raises(ValueError, match="random access needs a regular file"):
            list(molvane.parse_sdf(str(fifo), start=1))
    finally:
        writer.join()


def test_empty_file_has_no_blocks_in_any_range(write):
    file = write(b"")
    assert list(molvane.parse_sdf(str(file), start=0, stop=10)) == []
