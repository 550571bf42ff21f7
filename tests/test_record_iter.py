"""Lazy record and name iterators."""

import gc
import sys

import pytest
from conftest import RECORD_EDITS, str_block

from molvane.native import MalformedRecordError, SDBlock

HEAD = "t\n\nM  END\n"
TEXT = HEAD + "> <A>\n1\n\n> <B>\n\n>  <A>  (2)\nx\r\ny\n\n$$$$\n"


@pytest.mark.parametrize(
    "text", [TEXT, TEXT.encode(), TEXT.replace("\r\n", "\n").replace("\n", "\r\n").encode()]
)
def test_iterators_match_the_lists(text):
    block = SDBlock(text)
    assert list(block.iter_records()) == block.records()
    names = ["A", "B", "A"] if isinstance(text, str) else [b"A", b"B", b"A"]
    assert list(block) == block.names() == names
    assert block.records()[-1][1] in ("x\ny", b"x\ny")  # CR LF inside a value reads as LF
    it = block.iter_records()
    assert iter(it) is it


@pytest.mark.parametrize("edit", RECORD_EDITS.values(), ids=RECORD_EDITS.keys())
@pytest.mark.parametrize("start", [SDBlock.iter_records, iter])
def test_record_edits_stop_live_iterators(edit, start):
    block = SDBlock(TEXT)
    it = start(block)
    assert next(it)
    edit(block, "B", "v")
    with pytest.raises(RuntimeError, match="^SDBlock records changed during iteration$"):
        next(it)
    assert next(it, None) is None
    # a new iterator works
    assert list(start(block)) == (
        block.records() if start is SDBlock.iter_records else block.names()
    )


@pytest.mark.parametrize(
    "edit",
    [
        lambda b: setattr(b, "title", "a much longer title than before"),
        lambda b: setattr(
            b, "molblock", "m\n  other\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
        ),
        lambda b: setattr(b, "molblock", "m\nM  END"),
        lambda b: b.remove_record("missing"),
    ],
)
def test_title_and_molblock_edits_do_not_disturb(edit):
    block = SDBlock(TEXT)
    names, records = iter(block), block.iter_records()
    assert next(names) == "A" and next(records) == ("A", "1")
    edit(block)
    assert list(names) == ["B", "A"]
    assert list(records) == [("B", ""), ("A", "x\ny")]


@pytest.mark.parametrize(
    "block, error",
    [
        (SDBlock(HEAD + "> <A>\n1\n\n> no name\n2\n\n> <C>\n3\n\n$$$$\n"), MalformedRecordError),
        (str_block(b"t\n\nM  END\n> <A>\n1\n\n> <B>\nbad \xe9\n\n$$$$\n"), UnicodeDecodeError),
        (SDBlock(HEAD + "> <A>\n1\n\n$$$$\n"), None),
    ],
)
def test_iterators_stay_done_after_an_error_or_the_end(block, error):
    it = block.iter_records()  # making it does not scan
    assert next(it) == ("A", "1")
    if error:
        with pytest.raises(error):
            next(it)
    else:
        assert next(it, "stop") == "stop"
    block.append_record("Z", "z")
    assert next(it, "stop") == "stop"
    assert next(block.iter_records()) == ("A", "1")


@pytest.mark.parametrize("start", [SDBlock.iter_records, iter])
def test_iterator_holds_its_block_until_it_goes(start):
    block = SDBlock(TEXT)
    expected, count = list(start(block)), sys.getrefcount(block)
    it = start(block)
    assert sys.getrefcount(block) == count + 1
    del it
    assert sys.getrefcount(block) == count
    it = start(block)
    del block
    gc.collect()
    assert list(it) == expected
