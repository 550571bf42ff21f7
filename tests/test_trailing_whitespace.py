"""Whitespace after the last ``$$$$`` line is trailing whitespace, not a block:
no surface counts it, tabulates it or indexes it, and copies write it back."""

import gzip
import os
import re
import subprocess
import sys

import pytest
from cli_blocks import v2000
from conftest import corpus_params, examples
from hypothesis import given, settings
from hypothesis import strategies as st

import molvane
from molvane.cli import main

BLOCKS = b"".join(v2000(f"m{i}", ID=i) for i in range(5))
CRLF = BLOCKS.replace(b"\n", b"\r\n")

# name: the file's bytes; the blocks each surface must see follow from them.
ENDINGS = {
    "lf-blank-line": BLOCKS + b"\n",
    "blank-lines": BLOCKS + b"\n\n\n",
    "spaces-tabs": BLOCKS + b" \t\n  \n\t",
    "crlf": CRLF + b"\r\n\r\n",
    "only-whitespace": b"\n  \r\n\t\n",
    "unterminated": BLOCKS + b"last\n  molvane\n\n",
    "terminated": BLOCKS,
}


def dollar_lines(data: bytes) -> list[re.Match[bytes]]:
    return list(re.finditer(rb"(?m)^\$\$\$\$[^\n]*(\n|$)", data))


def expected_blocks(data: bytes) -> int:
    """`$$$$` lines, plus one for text after the last of them."""
    dollars = dollar_lines(data)
    after = data[dollars[-1].end() :] if dollars else data
    return len(dollars) + (1 if after.strip() else 0)


@pytest.fixture(params=ENDINGS, ids=list(ENDINGS))
def ending(request, tmp_path):
    data = ENDINGS[request.param]
    path = tmp_path / "in.sdf"
    path.write_bytes(data)
    return request.param, data, path


def cli(capsys, *argv):
    assert main([str(a) for a in argv]) == 0
    return capsys.readouterr().out


def test_readers_see_only_the_blocks(ending, tmp_path):
    name, data, path = ending
    count = expected_blocks(data)
    packed = tmp_path / "in.sdf.gz"
    packed.write_bytes(gzip.compress(data))
    for source in (path, str(path), packed):
        assert molvane.to_arrow(source, threads=1).num_rows == count
    assert molvane.to_arrow(path, threads=3, _min_range=1).num_rows == count
    assert sum(b.num_rows for b in molvane.iter_batches(packed, 2)) == count
    index = molvane.SDFile(os.fsencode(path))
    assert len(index) == count
    if count and name != "unterminated":
        # The last block ends at its own $$$$ line.
        end = len(data.rstrip())
        end += 2 if data[end : end + 2] == b"\r\n" else 1
        assert memoryview(index.offsets)[-1] == end
        assert bytes(index[-1]) == data[memoryview(index.offsets)[-2] : end]
    shards = molvane.shards(path, n=64)
    assert sum(len(list(molvane.parse_sdf(path, start=a, stop=b))) for a, b in shards) == count
    assert all(bytes(data[a:b]).strip() for a, b in shards)
    reloaded = molvane.SDFile(os.fsencode(path), index=index.save_index(tmp_path / "in.idx"))
    assert len(reloaded) == count


def test_commands_count_and_copy_bytes_for_bytes(ending, capsys, tmp_path):
    name, data, path = ending
    count = expected_blocks(data)
    packed = tmp_path / "in.sdf.gz"
    packed.write_bytes(gzip.compress(data))
    assert cli(capsys, "count", path) == cli(capsys, "count", packed) == f"{count}\n"
    status = main(["check", str(path)])
    report = capsys.readouterr().out
    if name == "unterminated":
        assert status == 1 and "the last block is truncated" in report
    else:
        assert status == 0 and f"no problems in {count} block" in report
    copies = {
        "cat": ["cat", path],
        "cat-gz": ["cat", packed],
        "slice": ["slice", "0:", path],
        "slice-gz": ["slice", "0:", packed],
        "unique": ["cat", "--unique", "ID", path],
        "filter": ["filter", "missing NOPE", path],
        "drop": ["drop", "NOPE", path],
        "rename": ["rename", "NOPE=OTHER", packed],
        "head-all": ["head", "-n", str(count), path],
        "head-more": ["head", "-n", str(count + 1), packed],
    }
    for label, argv in copies.items():
        out = tmp_path / f"{label}.sdf"
        cli(capsys, *argv, "-o", out)
        if name == "unterminated":
            # A real last block without $$$$ is completed as before.
            assert out.read_bytes() == data + b"$$$$\n", label
        else:
            assert out.read_bytes() == data, label
    if count > 1 and name != "unterminated":
        # A part of the file ends at its last block's $$$$ line.
        cli(capsys, "slice", "0:2", path, "-o", tmp_path / "part.sdf")
        assert (tmp_path / "part.sdf").read_bytes() == data[
            : molvane.SDFile(os.fsencode(path)).offsets[2]
        ]
    cli(capsys, "split", "-k", "2", path, "-o", tmp_path / "parts" / "p{n}.sdf")
    parts = sorted((tmp_path / "parts").glob("p*.sdf")) if count else []
    assert len(parts) == -(-count // 2)
    if name != "unterminated":
        assert b"".join(p.read_bytes() for p in parts) == (data if count else b"")


def test_dask_partitions_hold_the_blocks(ending, tmp_path):
    pytest.importorskip("dask.dataframe")
    from molvane import dask as mdask

    _, data, path = ending
    count = expected_blocks(data)
    assert len(mdask.read_sdf(path, blocksize=300).compute()) == count
    packed = tmp_path / "in.sdf.gz"
    packed.write_bytes(gzip.compress(data))
    assert len(mdask.read_blocks([packed]).compute()) == count


PIECES = st.sampled_from([b"$$$$", b"\n", b"\r", b"\r\n", b" ", b"\t", b"x", b"M  END\n"])


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(PIECES, max_size=24))
def test_index_and_reader_agree_on_what_is_trailing(tmp_path_factory, pieces):
    # The index finds the whitespace by reading back from the end; the
    # reader by the pieces the splitter cuts. Both rules, LF and universal.
    data = b"".join(pieces)
    path = tmp_path_factory.mktemp("p") / "in.sdf"
    path.write_bytes(data)
    for source, text in ((os.fsencode(path), bytes), (str(path), str)):
        index = molvane.SDFile(source)
        blocks = [text(b) for b in molvane.parse_sdf(source)]
        count = len(index)
        assert molvane.to_arrow(source, threads=1).num_rows == count
        assert [text(b) for b in index] == blocks[:count]
        # At most one piece more, of whitespace only, left out.
        assert len(blocks) - count in (0, 1)
        assert all(not b.rstrip()[:-4].strip() for b in blocks[count:])
        end = memoryview(index.offsets)[-1]
        assert not data[end:].strip() and (end == len(data)) == (len(blocks) == count)
        shards = molvane.shards(source, n=5)
        assert (
            sum(len(list(molvane.parse_sdf(source, start=a, stop=b))) for a, b in shards) == count
        )


@pytest.mark.parametrize("tail", [b"\n\n", b" \t\n"])
def test_an_index_that_counted_the_whitespace_as_a_block_still_fits(tail, tmp_path):
    # Indexes saved by earlier versions end with the trailing whitespace as
    # a block: made here by indexing a file whose tail is text, then putting
    # the whitespace in its place under the same size and time.
    path = tmp_path / "in.sdf"
    path.write_bytes(BLOCKS + b"x" * len(tail))
    old = molvane.SDFile(os.fsencode(path)).save_index(tmp_path / "in.idx")
    stamp = os.stat(path)
    path.write_bytes(BLOCKS + tail)
    os.utime(path, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
    reloaded = molvane.SDFile(os.fsencode(path), index=old)
    assert [bytes(b) for b in reloaded] == [bytes(b) for b in molvane.SDFile(os.fsencode(path))]
    assert len(reloaded) == 5


def test_parse_sdf_still_yields_the_whitespace(tmp_path):
    # The reader itself is unchanged: the piece after the last $$$$ comes out.
    path = tmp_path / "in.sdf"
    path.write_bytes(BLOCKS + b"\n\n")
    assert [str(b) for b in molvane.parse_sdf(path)][5:] == ["\n\n$$$$\n"]


@pytest.mark.parametrize("data", [ENDINGS["crlf"], ENDINGS["spaces-tabs"]], ids=["crlf", "spaces"])
def test_pipes_copy_the_trailing_whitespace(data):
    for piped in (data, gzip.compress(data)):
        done = subprocess.run(
            [sys.executable, "-m", "molvane", "cat", "-"],
            input=piped,
            capture_output=True,
            check=True,
        )
        assert done.stdout == data


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_files_copy_back_and_count_their_dollar_lines(path, capsys, tmp_path):
    data = path.read_bytes()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    count = expected_blocks(data)
    assert cli(capsys, "count", path) == f"{count}\n"
    out = tmp_path / "copy.sdf"
    cli(capsys, "cat", path, "-o", out)
    dollars = dollar_lines(data)
    if dollars and dollars[-1].group(1) == b"\n" and not data[dollars[-1].end() :].strip():
        assert out.read_bytes() == data
