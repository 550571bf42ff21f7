"""Lazy record and name iterators, and blocks shared between threads."""

import gc
import sys
import threading

import pytest

from molvane import native
from molvane.native import MalformedRecordError, SDBlock

HEAD = "t\n\nM  END\n"
RECORDS = "> <A>\n1\n\n> <B>\n\n>  <A>  (2)\nx\r\ny\n\n"


@pytest.mark.parametrize("kind", [str, bytes])
def test_iterators_match_the_lists(kind):
    text = HEAD + RECORDS + "$$$$\n"
    block = SDBlock(text.encode() if kind is bytes else text)
    assert list(block.iter_records()) == block.records()
    expected = ["A", "B", "A"] if kind is str else [b"A", b"B", b"A"]
    assert list(block) == block.names() == expected
    it = block.iter_records()
    assert iter(it) is it


def test_crlf_values_fold_in_bytes_iteration():
    block = SDBlock(b"t\r\n\r\nM  END\r\n> <A>\r\nx\r\ny\r\n\r\n$$$$\r\n")
    assert list(block.iter_records()) == [(b"A", b"x\ny")]


@pytest.mark.parametrize("cls", [native._SDRecordIterator, native._SDNameIterator])
def test_iterator_classes_cannot_be_made_or_subclassed(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__module__ == "molvane.native"


@pytest.mark.parametrize(
    "edit",
    [
        lambda b: b.append_record("C", "c"),
        lambda b: b.set_record("A", "v"),
        lambda b: b.__setitem__("Z", "v"),
        lambda b: b.remove_record("A"),
        lambda b: b.__delitem__("B"),
        lambda b: b.replace_records([]),
    ],
)
@pytest.mark.parametrize("start", [SDBlock.iter_records, iter])
def test_record_edits_stop_live_iterators(edit, start):
    block = SDBlock(HEAD + RECORDS + "$$$$\n")
    it = start(block)
    seen = next(it)
    edit(block)
    with pytest.raises(RuntimeError, match="^SDBlock records changed during iteration$"):
        next(it)
    assert next(it, None) is None
    fresh = start(block)  # a new iterator works
    assert seen and list(fresh) == (block.records() if start is SDBlock.iter_records else block.names())


def test_appending_inside_a_loop():
    block = SDBlock(HEAD + RECORDS + "$$$$\n")
    yielded = []
    with pytest.raises(RuntimeError, match="changed during iteration"):
        for name in block:
            yielded.append(name)
            block.append_record("C" + name, "c")
    assert yielded == ["A"]
    for name, _ in block.records():
        block.append_record("D" + name, "d")
    assert len(block) == 8


@pytest.mark.parametrize(
    "edit",
    [
        lambda b: setattr(b, "title", "a much longer title than before"),
        lambda b: setattr(b, "molblock", "m\n  other\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"),
        lambda b: setattr(b, "molblock", "m\nM  END"),
        lambda b: b.remove_record("missing"),
    ],
)
def test_title_and_molblock_edits_do_not_disturb(edit):
    block = SDBlock(HEAD + RECORDS + "$$$$\n")
    names, records = iter(block), block.iter_records()
    assert next(names) == "A" and next(records) == ("A", "1")
    edit(block)
    assert list(names) == ["B", "A"]
    assert list(records) == [("B", ""), ("A", "x\ny")]


def test_done_iterators_stay_done():
    block = SDBlock(HEAD + "> <A>\n1\n\n$$$$\n")
    it = iter(block)
    assert list(it) == ["A"]
    block.append_record("B", "2")
    assert next(it, "stop") == "stop"


def test_malformed_header_is_reported_by_the_step_that_reaches_it():
    block = SDBlock(HEAD + "> <A>\n1\n\n> no name\n2\n\n> <C>\n3\n\n$$$$\n")
    it = block.iter_records()  # making it does not scan
    assert next(it) == ("A", "1")
    with pytest.raises(MalformedRecordError, match="^SD data field header is missing a name$"):
        next(it)
    assert next(it, "stop") == "stop"
    assert next(block.iter_records()) == ("A", "1")


def test_decode_error_ends_the_iterator():
    data = b"t\n\nM  END\n> <A>\nok\n\n> <B>\nbad \xe9\n\n$$$$\n"
    block = SDBlock._from_state(data, 2, data.index(b"END\n") + 4, True)
    it = block.iter_records()
    assert next(it) == ("A", "ok")
    with pytest.raises(UnicodeDecodeError) as raised:
        next(it)
    assert raised.value.__notes__[0].startswith("Reading record 'B' of the SDBlock titled 't'.")
    assert next(it, "stop") == "stop"


@pytest.mark.parametrize("start", [SDBlock.iter_records, iter])
def test_iterator_keeps_its_block_alive(start):
    block = SDBlock(HEAD + RECORDS + "$$$$\n")
    expected = list(start(block))
    it = start(block)
    del block
    gc.collect()
    assert list(it) == expected


@pytest.mark.parametrize("start", [SDBlock.iter_records, iter])
def test_iterator_releases_its_block(start):
    block = SDBlock(HEAD + RECORDS + "$$$$\n")
    count = sys.getrefcount(block)
    it = start(block)
    assert sys.getrefcount(block) == count + 1
    list(it)
    del it
    assert sys.getrefcount(block) == count


def test_shared_block_between_threads_never_corrupts():
    block = SDBlock(HEAD + RECORDS + "$$$$\n")
    stop = threading.Event()
    errors = []

    def reader():
        while not stop.is_set():
            try:
                block.records(), block.names(), block.to_dict()
                block.get("A"), "B" in block, len(block)
                for _ in block.iter_records():
                    pass
            except RuntimeError as error:
                if str(error) not in (
                    "Already mutably borrowed",
                    "SDBlock records changed during iteration",
                ):
                    errors.append(error)
            except Exception as error:  # anything else is a fault
                errors.append(error)

    def editor():
        for i in range(400):
            try:
                block.set_record("A", str(i))
                block.append_record("N", "x" * (i % 7))
                block.remove_record("N")
                block.title = f"title {i}"
                if i % 50 == 0:
                    block.replace_records(block.records())
            except RuntimeError as error:
                if str(error) != "Already borrowed":
                    errors.append(error)
            except Exception as error:
                errors.append(error)
        stop.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=reader), threading.Thread(target=reader), threading.Thread(target=editor)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert SDBlock(str(block)).records() == block.records()
    assert block.get("A") == "399" and "N" not in block
