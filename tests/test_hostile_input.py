"""Input built to hurt a reader: it may be refused, never crash or hang."""

import io
import os

import pytest
from conftest import state, texts

import molvane
from molvane import SDBlock, parse_sdf


@pytest.mark.parametrize("as_str", [False, True])
def test_huge_line_without_lf(tmp_path, as_str):
    path = tmp_path / "huge.sdf"
    with open(path, "wb") as f:
        chunk = b"x" * (1 << 20)
        for _ in range(100):
            f.write(chunk)
    (block,) = parse_sdf(str(path) if as_str else os.fsencode(path))
    assert len(block.title) == 100 << 20 and block.records() == []


@pytest.mark.parametrize("source", ["path", "raw file object", "from_sdf"])
def test_only_dollar_lines(tmp_path, source):
    data, path = b"$$$$\n" * 50000, tmp_path / "dollars.sdf"
    path.write_bytes(data)
    with open(path, "rb", buffering=0) as raw:
        blocks = {
            "from_sdf": SDBlock.from_sdf(data),
            "raw file object": parse_sdf(raw),
            "path": parse_sdf(os.fsencode(path)),
        }[source]
        assert texts(blocks) == [b"$$$$\n"] * 50000


def test_nul_bytes_are_data(tmp_path):
    data, path = b"t\x00itle\nM  END\n> <A\x00>\nv\x00\n\n$$$$\n", tmp_path / "nul.sdf"
    path.write_bytes(data * 3)
    blocks = list(parse_sdf(os.fsencode(path)))
    assert texts(blocks) == [data] * 3 and blocks[0].records() == [(b"A\x00", b"v\x00")]
    assert next(parse_sdf(str(path))).get("A\x00") == "v\x00"


def test_invalid_utf8_through_str_path(tmp_path):
    path = tmp_path / "latin.sdf"
    path.write_bytes(b"caf\xe9\nM  END\n> <N\xe4me>\nv\xff\n\n> <ok>\nfine\n\n$$$$\n")
    (block,) = parse_sdf(str(path))
    assert block.get("ok") == "fine"  # names compared as bytes, not decoded
    assert repr(block) == "<SDBlock title='caf\ufffd'>"
    with pytest.raises(UnicodeDecodeError) as info:
        block.records()
    assert info.value.__notes__[0].startswith(
        "Reading record 'N\ufffdme' of the SDBlock titled 'caf\ufffd'."
    )
    with pytest.raises(UnicodeDecodeError):
        molvane.write_sdf(tmp_path / "out.sdf", [block])


def test_file_shrinking_while_read_in_chunks(tmp_path):
    # A FIFO is read in chunks; the writer stops early, as a truncated feed would.
    fifo = tmp_path / "feed"
    os.mkfifo(fifo)
    block = b"t\nM  END\n> <A>\n1\n\n$$$$\n"
    pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        try:
            with open(fifo, "wb") as w:
                w.write(block * 10000 + b"cut\nM  E")
        finally:
            os._exit(0)
    blocks = list(parse_sdf(os.fsencode(fifo)))
    os.waitpid(pid, 0)
    assert texts(blocks[:-1]) == [block] * 10000
    assert texts(blocks[-1:]) == [b"cut\nM  E\n$$$$\n"]


class Greedy(io.RawIOBase):
    """A file object whose first read returns far more than it was asked for."""

    def __init__(self, data):
        self.pieces = [data]

    def read(self, size=-1):
        return self.pieces.pop() if self.pieces else b""


def test_file_object_returning_more_than_asked():
    data = b"t\nM  END\n$$$$\n" * 100000
    assert texts(SDBlock.from_lines(Greedy(data))) == [b"t\nM  END\n$$$$\n"] * 100000


@pytest.mark.parametrize(
    "meddle, error, message",
    [
        (lambda b: b.append_record("B", "3"), RuntimeError, "^Already borrowed$"),
        (SDBlock.records, RuntimeError, "^Already mutably borrowed$"),
        (lambda b: {}["gone"], KeyError, "gone"),
    ],
    ids=["edits the block", "reads the block", "raises"],
)
def test_records_iterable_meddling_with_the_block_it_fills(meddle, error, message):
    block = SDBlock("t\nM  END\n> <A>\n1\n\n$$$$\n")
    before = state(block)

    def pairs():
        yield ("A", "2")
        meddle(block)
        yield ("B", "3")

    with pytest.raises(error, match=message):
        block.replace_records(pairs())
    assert state(block) == before
