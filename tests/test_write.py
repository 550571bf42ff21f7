"""write_sdf, sdf_writer and _SDFWriter: exact output, chunking and failures."""

import errno
import gc
import io
import os
import sys
from contextlib import nullcontext

import pytest
from conftest import ADVICE, CORPUS, DATA, Boom, corpus_files, examples, str_block, text_of
from hypothesis import given, settings
from hypothesis import strategies as st

from molvane import native
from molvane.native import SDBlock, sdf_writer, write_sdf

CHUNK = 65536


def sdf_text(title, payload="1"):
    return f"{title}\n  molvane\n\nM  END\n> <v>\n{payload}\n\n$$$$\n"


def block(title, payload="1", kind=str):
    text = sdf_text(title, payload)
    return SDBlock(text if kind is str else text.encode())


def write_to(how, target, blocks):
    """Writes `blocks` as `how` says; returns the count and the bytes written."""
    if how in ("bytesio", "stringio"):
        sink = io.BytesIO() if how == "bytesio" else io.StringIO(newline="")
        count, value = write_sdf(sink, blocks), sink.getvalue()
        return count, value if how == "bytesio" else value.encode()
    if how == "sdf_writer":
        with sdf_writer(str(target)) as out:
            count = len([out.write(b) for b in blocks])
    else:
        with open(target, "wb") if how == "open-wb" else nullcontext(target) as dest:
            count = write_sdf(dest, blocks)
    return count, target.read_bytes()


@pytest.mark.parametrize("source", ["data", "corpus"])
@pytest.mark.parametrize(
    "kind, how",
    [
        (bytes, "path"),
        (str, "path"),
        (bytes, "open-wb"),
        (bytes, "bytesio"),
        (str, "stringio"),
        (bytes, "sdf_writer"),
    ],
)
def test_round_trip(tmp_path, source, kind, how):
    files = sorted(DATA.glob("*.sdf")) if source == "data" else corpus_files()
    if not files:
        pytest.skip(f"corpus folder {CORPUS} is absent")
    for path in files:
        blocks = list(native.parse_sdf(str(path) if kind is str else os.fsencode(path)))
        count, written = write_to(how, tmp_path / "o.sdf", blocks)
        assert (count, written) == (len(blocks), b"".join(map(text_of, blocks))), path.name
        if kind is bytes and blocks and b"\r\n" in path.read_bytes():
            assert written.count(b"\n") == written.count(b"\r\n"), path.name
            assert written.endswith(b"$$$$\r\n"), path.name


# --- file objects: chunks and partial writes ------------------------------------


class Recorder:
    """Records `write` calls; with a limit, takes at most that much of each."""

    def __init__(self, result=None, limit=None):
        self.calls, self.result, self.limit = [], result, limit

    def write(self, data):
        self.calls.append(data[: self.limit])
        return len(self.calls[-1]) if self.limit else self.result


@pytest.mark.parametrize("kind", [str, bytes])
def test_chunks_are_large(kind):
    sink = Recorder()
    assert write_sdf(sink, [block(f"m{i}", "x" * 1000, kind) for i in range(300)]) == 300
    assert all(len(c) >= CHUNK for c in sink.calls[:-1]) and len(sink.calls) > 1
    expected = "".join(sdf_text(f"m{i}", "x" * 1000) for i in range(300))
    assert kind().join(sink.calls) == (expected if kind is str else expected.encode())


def test_non_ascii_str_block_and_large_block_get_whole_calls():
    before = [block(f"a{i}") for i in range(3)]
    odd, big = block("café"), block("b", "y" * 3 * CHUNK)
    sink = Recorder()
    assert write_sdf(sink, before + [odd, big]) == 5
    assert sink.calls == ["".join(map(str, before)), str(odd), str(big)]


@pytest.mark.parametrize("result", [None, -5, 10**30, "ok", True, 1000, 0])
def test_return_values_that_are_not_partial_counts(result):
    sink = Recorder(result)
    failures = {
        0: "^failed to write whole buffer$",  # took nothing: an error, not a retry
        -5: "^write returned a negative count$",
    }
    if result in failures:
        with pytest.raises(OSError, match=failures[result]):
            write_sdf(sink, [block("a"), block("b")])
    else:
        write_sdf(sink, [block("a"), block("b")])
    assert sink.calls == [sdf_text("a") + sdf_text("b")]


@pytest.mark.parametrize("kind", [str, bytes])
@settings(max_examples=examples(40), deadline=None)
@given(st.lists(st.text(alphabet="abé€😀 ", max_size=9), max_size=12), st.integers(1, 3 * CHUNK))
def test_partial_writes_are_completed(kind, titles, limit):
    texts = [sdf_text(t.strip() or "t", t * 30 + "q" * (limit // 2)) for t in titles]
    sink = Recorder(limit=limit)
    assert write_sdf(sink, [SDBlock(t if kind is str else t.encode()) for t in texts]) == len(texts)
    expected = "".join(texts)
    assert kind().join(sink.calls) == (expected if kind is str else expected.encode())


# --- failures -------------------------------------------------------------------


def generate(items, error):
    yield from items
    raise error


@pytest.mark.parametrize(
    "items, error, match, written",
    [
        ([], None, None, ""),
        (5, TypeError, None, "keep me"),  # checked before the file is opened
        (None, TypeError, None, "keep me"),
        ([block("a"), 3], TypeError, "^write_sdf\\(\\) items must be SDBlock, not int$", "keep me"),
        (generate([block("a"), block("b")], LookupError("gone")), LookupError, "gone", "keep me"),
        # kinds mix on a path
        ([block("a", kind=bytes), block("b")], None, None, sdf_text("a") + sdf_text("b")),
    ],
)
def test_a_failed_write_leaves_the_path_as_it_was(tmp_path, items, error, match, written):
    target = tmp_path / "o.sdf"
    target.write_bytes(b"keep me")
    if error:
        with pytest.raises(error, match=match):
            write_sdf(target, items)
    else:
        assert write_sdf(target, items) == len(items)
    assert target.read_text() == written
    assert [p.name for p in tmp_path.iterdir()] == ["o.sdf"]  # no temporary left behind


def test_mixed_kinds_to_a_file_object():
    sink = io.BytesIO()
    with pytest.raises(
        TypeError, match="^cannot write mixed str and bytes blocks to a file object$"
    ):
        write_sdf(sink, [block("b", kind=bytes), block("s")])
    assert sink.getvalue() == sdf_text("b").encode()
    out = sdf_writer(io.StringIO())
    out.write(block("s"))
    with pytest.raises(TypeError, match="mixed"):
        out.write(block("b", kind=bytes))
    out.write(block("t"))  # still open


class Raising:
    def __init__(self, error):
        self.error = error

    def write(self, data):
        raise self.error


def test_write_errors_pass_through():
    error = Boom()
    with pytest.raises(Boom) as caught:
        write_sdf(Raising(error), [block("a")])
    assert caught.value is error
    with pytest.raises(Boom):  # the final flush fails after the iterator did
        write_sdf(Raising(Boom()), generate([block("a")], LookupError()))
    out = sdf_writer(Raising(Boom()))
    out.write(block("a"))
    with pytest.raises(Boom):
        out.close()
    with pytest.raises(ValueError, match="closed"):  # closed anyway
        out.write(block("a"))


def test_failed_path_write():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full on this system")
    with pytest.raises(OSError) as caught:
        write_sdf("/dev/full", [block("a")])
    assert (caught.value.errno, caught.value.filename) == (errno.ENOSPC, "/dev/full")


def test_destination_kinds(tmp_path):
    target, calls = tmp_path / "o.sdf", []
    fspath = {"__fspath__": lambda self: str(target)}
    path_and_file = type("PathAndFile", (), {**fspath, "write": staticmethod(calls.append)})
    lookup_fails = type("LookupFails", (), {**fspath, "__getattr__": lambda self, name: 1 / 0})
    write_sdf(path_and_file(), [block("a")])  # both: a file object
    assert calls == [sdf_text("a")] and not target.exists()
    write_sdf(lookup_fails(), [block("a")])  # looking up `write` raises: a path
    assert target.read_text() == sdf_text("a")
    with pytest.raises(TypeError):
        write_sdf(12, [])


# --- str blocks that are not UTF-8 ------------------------------------------------


def latin1_blocks(texts):
    return [str_block(t.encode("latin-1")) for t in texts]


@pytest.mark.parametrize("to_file", [True, False], ids=["path", "file-object"])
def test_latin1_str_block(tmp_path, to_file):
    texts = [sdf_text(f"ok{i}") for i in range(3)] + [sdf_text("café  ", "déjà")]
    sink = tmp_path / "o.sdf" if to_file else io.StringIO()
    with pytest.raises(UnicodeDecodeError) as caught:
        write_sdf(sink, latin1_blocks(texts))
    bad = texts[3].encode("latin-1")
    error = caught.value
    assert (error.object, error.encoding) == (bad, "utf-8")
    assert (error.start, error.end) == (bad.index(b"\xe9"), bad.index(b"\xe9") + 1)
    assert error.reason == "invalid utf-8" or not to_file
    assert error.__notes__ == [
        f"Writing block 3 (from 0), the SDBlock titled 'caf\ufffd'. {ADVICE}"
    ]
    # a file object keeps the blocks before the error; a path is not written at all
    assert not sink.exists() if to_file else sink.getvalue() == "".join(texts[:3])


def test_refused_block_keeps_the_buffer(tmp_path):
    good, bad = latin1_blocks([sdf_text("ok"), sdf_text("\xe9")])
    with sdf_writer(tmp_path / "o.sdf") as out:
        out.write(good)
        with pytest.raises(UnicodeDecodeError) as caught:
            out.write(bad)
        assert caught.value.__notes__[0].startswith("Writing block 1 (from 0),")
        out.write(good)
    assert (tmp_path / "o.sdf").read_text() == sdf_text("ok") * 2


# Sequences at the edges of UTF-8: overlong forms, surrogates, past U+10FFFF, cut sequences.
EDGES = [
    bytes.fromhex(code)
    for code in "c1bf c280 e09fbf e0a080 ed9fbf eda080 efbfbf f08fbfbf f0908080 f48fbfbf f4908080 f5".split()
]


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(st.one_of(st.sampled_from(EDGES), st.binary(max_size=8)), max_size=8).map(b"".join))
def test_utf8_check_agrees_with_the_decoder(tmp_path_factory, body):
    raw = b"t\n" + body.replace(b"\n", b" ").replace(b"$", b" ") + b"\n$$$$\n"
    target = tmp_path_factory.mktemp("utf8") / "o.sdf"
    b = str_block(raw)
    try:
        raw.decode()
    except UnicodeDecodeError as expected:
        with pytest.raises(UnicodeDecodeError) as caught:
            write_sdf(target, [b])
        assert (caught.value.start, caught.value.end) == (expected.start, expected.end)
    else:
        assert write_sdf(target, [b]) == 1 and target.read_bytes() == raw


# --- the writer object ------------------------------------------------------------


def test_with_statement_and_closing(tmp_path):
    target = tmp_path / "o.sdf"
    target.write_text("old")
    with sdf_writer(target) as out:
        out.write(block("a"))
        assert target.read_text() == "old"  # replaced only on closing
    assert target.read_text() == sdf_text("a")
    with pytest.raises(KeyError):
        with sdf_writer(target) as out:
            out.write(block("b"))
            raise KeyError
    assert target.read_text() == sdf_text("a")  # an exception discards the output
    with pytest.raises(ValueError, match="^I/O operation on a closed sdf_writer$"):
        out.write(block("a"))
    assert out.close() is None and out.close() is None
    assert out.__enter__() is out and out.__exit__(None, None, None) is None
    with pytest.raises(TypeError, match="^write\\(\\) argument must be SDBlock, not str$"):
        out.write("text")  # the type check comes before the closed check
    sink = io.BytesIO()
    with sdf_writer(sink) as out:
        with pytest.raises(TypeError):
            out.write(block=block("a"))
    assert not sink.closed


def test_reentrant_call_is_refused():
    errors = []

    class Reentrant:
        def write(self, data):
            try:
                out.close()
            except RuntimeError as error:
                errors.append(str(error))

    out = sdf_writer(Reentrant())
    out.write(block("a"))
    out.close()
    assert errors == ["Already borrowed"]


@pytest.mark.parametrize("sink", ["path", "file object", "failing"])
def test_destruction_of_an_open_writer(tmp_path, monkeypatch, sink):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info.exc_value))
    dest = {"path": tmp_path / "o.sdf", "file object": io.StringIO(), "failing": Raising(Boom())}[
        sink
    ]
    out = sdf_writer(dest)
    out.write(block("a"))
    if sink == "path":  # never closed: destruction completes the write, as close would
        del out
        assert seen == [] and [p.name for p in tmp_path.iterdir()] == ["o.sdf"]
        assert dest.read_text() == sdf_text("a")
        return
    del out
    if sink == "failing":  # the failure goes to the unraisable hook
        assert len(seen) == 1 and isinstance(seen[0], Boom)
    else:
        assert seen == [] and dest.getvalue() == sdf_text("a")


def test_a_writer_dropped_by_an_exception_keeps_the_old_file(tmp_path):
    target = tmp_path / "o.sdf"
    target.write_text("old")
    with pytest.raises(ZeroDivisionError):
        [sdf_writer(target), 1 / 0]  # the writer is dropped as the error unwinds
    assert [p.name for p in tmp_path.iterdir()] == ["o.sdf"] and target.read_text() == "old"


def test_collected_cycle_flushes():
    class KeepsItsWriter:
        def __init__(self, store):
            self.store = store
            self.out = sdf_writer(self)  # self -> out -> self.write -> self

        def write(self, data):
            self.store.append(data)  # needs the instance still intact

    store = []
    holder = KeepsItsWriter(store)
    holder.out.write(block("cyclic"))
    del holder
    gc.collect()
    assert store == [sdf_text("cyclic")]
