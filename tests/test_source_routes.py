"""Every road into the reader gives the same blocks, tables and faults: a
path (plain or compressed), a FIFO, binary and text file objects, and stdin
through the command line."""

import gzip
import io
import os
import pathlib
import subprocess
import sys
import threading

import pytest

import molvane
from molvane import native

pa = pytest.importorskip("pyarrow")


def block(i):
    return (
        f"mol{i}\n  molvane\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
        f"> <ID>\n{i}\n\n> <NAME>\nname {i}\n\n$$$$\n"
    ).encode()


COUNT = 3000
BLOCKS = [block(i) for i in range(COUNT)]
DATA = b"".join(BLOCKS)


def compress(fmt, data):
    if fmt == "gz":
        return gzip.compress(data)
    if fmt == "zst":
        zstandard = pytest.importorskip("zstandard")
        return zstandard.ZstdCompressor(write_checksum=True).compress(data)
    return data


@pytest.fixture(params=["plain", "gz", "zst"])
def stored(request, tmp_path):
    """(format, path of the data stored in it)."""
    fmt = request.param
    path = tmp_path / ("in.sdf" + ("" if fmt == "plain" else "." + fmt))
    path.write_bytes(compress(fmt, DATA))
    return fmt, path


def fed_fifo(tmp_path, content):
    """A FIFO and the thread writing `content` into it."""
    fifo = tmp_path / f"pipe{len(list(tmp_path.glob('pipe*')))}.sdf"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as sink:
            try:
                sink.write(content)
            except BrokenPipeError:
                pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    return fifo, writer


ROUTES = ["bytes path", "fifo", "binary file object", "iterator"]


def open_route(route, path, tmp_path):
    """The source of `route` over the file at `path` (bytes blocks), and what to close."""
    if route == "bytes path":
        return os.fsencode(path), None
    if route == "fifo":
        fifo, writer = fed_fifo(tmp_path, path.read_bytes())
        return os.fsencode(fifo), writer
    handle = open(path, "rb")
    if route == "binary file object":
        return handle, handle
    return molvane.parse_sdf(handle), handle


def finish(opened):
    if isinstance(opened, threading.Thread):
        opened.join(5)
    elif opened is not None:
        opened.close()


@pytest.mark.parametrize("route", ROUTES)
def test_every_route_gives_the_blocks_and_table_of_the_plain_path(stored, route, tmp_path):
    _, path = stored
    source, opened = open_route(route, path, tmp_path)
    table = molvane.to_arrow(source, molblock="molblock", threads=1)
    finish(opened)
    plain = tmp_path / "plain.sdf"
    plain.write_bytes(DATA)
    expected = molvane.to_arrow(os.fsencode(plain), molblock="molblock", threads=1)
    assert table.equals(expected)
    assert table.column("ID").type == pa.int64()

    source, opened = open_route(route, path, tmp_path)
    blocks = source if route == "iterator" else molvane.parse_sdf(source)
    assert [bytes(b) for b in blocks] == BLOCKS
    finish(opened)


def test_text_file_objects_give_the_str_path_table(tmp_path):
    path = tmp_path / "in.sdf"
    path.write_bytes(DATA.replace(b"\n", b"\r\n"))
    with open(path) as handle:
        from_handle = molvane.to_arrow(handle, block="block")
    assert from_handle.equals(molvane.to_arrow(str(path), block="block"))
    assert from_handle.column("block")[0].as_py() == BLOCKS[0].decode()


@pytest.mark.parametrize("batch_size", [7, 3000, 5000])
@pytest.mark.parametrize("route", ["bytes path", "fifo", "binary file object"])
def test_batches_of_every_route_join_to_the_whole_table(stored, route, batch_size, tmp_path):
    source, opened = open_route(route, stored[1], tmp_path)
    batches = list(molvane.iter_batches(source, batch_size, columns=["ID", "NAME"]))
    finish(opened)
    assert [b.num_rows for b in batches[:-1]] == [batch_size] * (len(batches) - 1)
    joined = pa.Table.from_batches(batches)
    assert joined.column("ID").to_pylist() == list(range(COUNT))


@pytest.mark.parametrize("route", ["bytes path", "fifo", "binary file object"])
def test_position_and_size_of_every_route(stored, route, tmp_path):
    # Positions count the stored (compressed) bytes; only a path knows its size.
    stored_size = stored[1].stat().st_size
    size = stored_size if route == "bytes path" else None
    source, opened = open_route(route, stored[1], tmp_path)
    blocks = molvane.parse_sdf(source)
    assert (blocks.position, blocks.size) == (0, size)
    assert len(list(blocks)) == COUNT
    assert (blocks.position, blocks.size) == (stored_size, size)
    finish(opened)

    # Closed halfway, the iterator keeps telling how far it got.
    source, opened = open_route(route, stored[1], tmp_path)
    blocks = molvane.parse_sdf(source)
    for _ in range(COUNT // 2):
        next(blocks)
    halfway = blocks.position
    blocks.close()
    assert 0 < halfway <= stored_size
    assert (blocks.position, blocks.size) == (halfway, size)
    finish(opened)


def cut(fmt, keep):
    """The data compressed, then cut to `keep` of its bytes."""
    whole = compress(fmt, DATA)
    return whole[: int(len(whole) * keep)]


@pytest.mark.parametrize("fmt", ["gz", "zst"])
@pytest.mark.parametrize("route", ["bytes path", "fifo", "binary file object"])
def test_a_cut_stream_raises_after_its_whole_blocks_on_every_route(fmt, route, tmp_path):
    path = tmp_path / f"cut.sdf.{fmt}"
    path.write_bytes(cut(fmt, 0.6))
    source, opened = open_route(route, path, tmp_path)
    got = []
    with pytest.raises(EOFError, match="ends early: the file is truncated") as raised:
        for b in molvane.parse_sdf(source):
            got.append(bytes(b))
    finish(opened)
    # Every block handed out is whole, and they run in order from the first.
    assert got and got == BLOCKS[: len(got)]
    name = os.fsdecode(source) if route != "binary file object" else str(path)
    assert repr(name) in str(raised.value)


@pytest.mark.parametrize("fmt", ["gz", "zst"])
def test_tables_of_a_cut_stream_raise_the_readers_fault(fmt, tmp_path):
    path = tmp_path / f"cut.sdf.{fmt}"
    path.write_bytes(cut(fmt, 0.5))
    with open(path, "rb") as handle, pytest.raises(EOFError, match=repr(str(path))):
        molvane.to_arrow(handle)


def test_a_file_object_without_a_name_is_called_stdin():
    with pytest.raises(EOFError, match="'<stdin>': the gzip data ends early"):
        list(molvane.parse_sdf(io.BytesIO(cut("gz", 0.5))))
    assert [bytes(b) for b in molvane.parse_sdf(io.BytesIO(gzip.compress(DATA)))] == BLOCKS


def test_a_file_objects_own_error_passes_through_a_decompressor():
    class Failing(io.RawIOBase):
        def __init__(self):
            self.calls = 0

        def readable(self):
            return True

        def readinto(self, view):
            self.calls += 1
            if self.calls > 1:
                raise ConnectionResetError("the peer went away")
            data = gzip.compress(DATA)[:200]
            view[: len(data)] = data
            return len(data)

    with pytest.raises(ConnectionResetError, match="the peer went away"):
        list(molvane.parse_sdf(io.BufferedReader(Failing())))


@pytest.mark.parametrize(
    "head, expected",
    [
        (gzip.compress(b"x", mtime=0), "gzip"),
        (b"BZh91AY&SY", "bz2"),
        (b"\xfd7zXZ\x00\x00", "xz"),
        (b"\x28\xb5\x2f\xfd\x00", "zstd"),
        (b"mol\n", None),
        (b"", None),
    ],
)
def test_the_command_line_asks_core_what_compression_is(head, expected):
    assert native._compression_of(head) == expected


@pytest.mark.parametrize("start", [None, 0])
def test_start_none_is_the_start_of_the_file(start, tmp_path):
    path = tmp_path / "in.sdf"
    path.write_bytes(DATA)
    assert len(list(molvane.parse_sdf(str(path), start=start))) == COUNT
    assert molvane.to_arrow(str(path), start=start).num_rows == COUNT


@pytest.mark.parametrize("route", ["to_arrow", "parse_sdf", "iter_batches"])
def test_ranges_of_a_pipe_are_refused_alike(route, tmp_path):
    fifo, writer = fed_fifo(tmp_path, DATA)
    with pytest.raises(ValueError, match="random access needs a regular file"):
        if route == "to_arrow":
            molvane.to_arrow(str(fifo), start=0)
        elif route == "iter_batches":
            next(molvane.iter_batches(str(fifo), 10, start=0))
        else:
            next(molvane.parse_sdf(str(fifo), start=0))
    writer.join(5)
    assert not writer.is_alive()


def molvane_command():
    script = pathlib.Path(sys.executable).with_name("molvane")
    return [str(script)] if script.exists() else [sys.executable, "-m", "molvane"]


@pytest.mark.parametrize("fmt", ["plain", "gz", "zst"])
@pytest.mark.parametrize("command", [["cat", "-"], ["count", "-"]])
def test_stdin_through_the_command_line(fmt, command):
    done = subprocess.run(
        [*molvane_command(), *command], input=compress(fmt, DATA), capture_output=True
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == (DATA if command[0] == "cat" else b"%d\n" % COUNT)


@pytest.mark.parametrize("fmt", ["gz", "zst"])
def test_a_cut_stream_on_stdin_fails_naming_stdin(fmt):
    done = subprocess.run(
        [*molvane_command(), "cat", "-"], input=cut(fmt, 0.6), capture_output=True
    )
    assert done.returncode != 0
    assert b"'<stdin>'" in done.stderr and b"ends early" in done.stderr
    assert done.stderr.count(b"\n") == 1
    # The whole blocks before the cut were passed on.
    assert done.stdout and DATA.startswith(done.stdout) and done.stdout.endswith(b"$$$$\n")


MALFORMED = BLOCKS[0] + b"bad\n\n\nM  END\n> no name here\n\n$$$$\n" + BLOCKS[1]


@pytest.mark.parametrize(
    "table_of",
    [
        lambda source: molvane.to_arrow(source, errors="skip"),
        lambda source: pa.Table.from_batches(list(molvane.iter_batches(source, errors="skip"))),
        lambda source: pa.table(native._build_table(molvane.parse_sdf(source), errors="skip")),
    ],
    ids=["to_arrow", "iter_batches", "capsule"],
)
def test_the_skipped_count_travels_in_the_arrow_schema(table_of, tmp_path):
    path = tmp_path / "malformed.sdf"
    path.write_bytes(MALFORMED)
    table = table_of(str(path))
    assert table.schema.metadata == {b"molvane.skipped": b"1"} and table.num_rows == 3
    # Without errors="skip" nothing is skipped and the schema says nothing.
    assert molvane.to_arrow(io.BytesIO(DATA)).schema.metadata is None


def stored_as(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content)
    return path


def fifo_at(tmp_path):
    os.mkfifo(tmp_path / "f")
    return tmp_path / "f"


KINDS = {
    "plain": (lambda d: stored_as(d, "a.sdf", DATA), "plain"),
    "empty": (lambda d: stored_as(d, "a.sdf", b""), "plain"),
    "gzip by magic": (lambda d: stored_as(d, "a.bin", gzip.compress(DATA)), "compressed"),
    "zip": (lambda d: stored_as(d, "a.zip", b"PK\x03\x04" + bytes(40)), "archive"),
    "fifo": (fifo_at, "stream"),
    "device": (lambda d: pathlib.Path("/dev/null"), "stream"),
}


@pytest.mark.parametrize("kind", KINDS)
def test_one_classification_of_paths(kind, tmp_path):
    make, expected = KINDS[kind]
    path = make(tmp_path)
    assert native._source_kind(path) == expected
    assert native._source_kind(os.fsencode(path)) == expected


def test_a_fifo_is_classified_without_opening_it(tmp_path):
    # Opening a FIFO lets a writer waiting in open() start writing; closing
    # it again breaks that writer's pipe, and the real read then waits for a
    # writer that has gone. So classifying must leave the writer waiting.
    fifo = fifo_at(tmp_path)
    opened = threading.Event()

    def feed():
        with open(fifo, "wb") as sink:
            opened.set()
            sink.write(DATA)

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    threading.Event().wait(0.2)  # the writer now waits in open() for a reader
    assert native._source_kind(fifo) == "stream"
    assert not opened.wait(0.3)
    table = molvane.to_arrow(os.fsencode(fifo), threads=1)
    writer.join(5)
    assert table.column("ID").to_pylist() == list(range(COUNT))


def test_classifying_a_missing_path_names_it(tmp_path):
    with pytest.raises(FileNotFoundError, match="missing.sdf"):
        native._source_kind(tmp_path / "missing.sdf")


@pytest.mark.parametrize("fmt", ["plain", "gz"])
def test_the_command_line_tables_of_a_pipe_and_stdin_match_the_path(fmt, tmp_path):
    plain = tmp_path / "in.sdf"
    plain.write_bytes(DATA)
    fifo, writer = fed_fifo(tmp_path, compress(fmt, DATA))
    by_path = subprocess.run(
        [*molvane_command(), "to-csv", str(plain)], capture_output=True, check=True
    ).stdout
    by_fifo = subprocess.run(
        [*molvane_command(), "to-csv", str(fifo)], capture_output=True, check=True
    ).stdout
    writer.join(5)
    by_stdin = subprocess.run(
        [*molvane_command(), "to-csv", "-"],
        input=compress(fmt, DATA),
        capture_output=True,
        check=True,
    ).stdout
    assert by_fifo == by_path == by_stdin
    assert by_path.count(b"\n") == COUNT + 1
