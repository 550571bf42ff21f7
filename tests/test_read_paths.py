"""Reading paths: mapped files, pipes and FIFOs, borrowing, file release, threads."""

import contextlib
import faulthandler
import fcntl
import os
import signal
import threading
import time

import pytest
from conftest import fd_count, run_all, texts
from sdf_reference import READ_UNIT, expected_blocks

from molvane import native

SDBlock = native.SDBlock

# Each pair is cut by a read unit boundary: the first part ends one unit.
CUTS = [
    (b"A\n", b"$$$$\n"),  # "\n$$$$" split after its LF
    (b"B\n$$", b"$$\n"),  # ... inside the dollar signs
    (b"H\n$$$", b"$\n"),
    (b"C\r", b"\n$$$$\r\n"),  # a CR LF pair
    (b"D\n$$$$", b"\n"),  # the `$$$$` line's LF in the next unit
    (b"E\r\n$$$$ x\r", b"\nF\n"),
]


def cut_data() -> bytes:
    """Over 128 KiB of blocks whose read unit boundaries fall inside CUTS."""
    data = b""
    for unit, (head, tail) in enumerate(CUTS, start=1):
        pad = unit * READ_UNIT - len(data) - len(head)
        data += b"p" * (pad - 6) + b"\n$$$$\n" + head + tail
    return data + b"G\nM  END\n$$$$\n"


@contextlib.contextmanager
def pipe_path(data: bytes, *, as_bytes=False):
    """A path to the read end of a pipe that already holds `data`."""
    read_end, write_end = os.pipe()
    try:
        fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 1 << 20)
        view = memoryview(data)
        while view:
            view = view[os.write(write_end, view) :]
        os.close(write_end)
        path = f"/proc/self/fd/{read_end}"
        yield os.fsencode(path) if as_bytes else path
    finally:
        os.close(read_end)


@contextlib.contextmanager
def fifo_path(tmp_path, data: bytes):
    """A FIFO fed by a thread in read-unit pieces."""
    fifo = tmp_path / "feed.fifo"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb", buffering=0) as out:
            for start in range(0, len(data), READ_UNIT):
                out.write(data[start : start + READ_UNIT])
                time.sleep(0.01)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        yield fifo
    finally:
        writer.join()


@pytest.fixture
def big_file(tmp_path):
    path = tmp_path / "big.sdf"
    path.write_bytes(cut_data())
    return path


@pytest.mark.parametrize("borrow", [False, True])
def test_read_unit_boundaries_in_every_source(big_file, tmp_path, borrow):
    data = cut_data()
    assert len(data) > 4 * READ_UNIT
    expected, expected_text = expected_blocks(data), expected_blocks(data, text=True)
    with pipe_path(data, as_bytes=True) as pipe:
        assert texts(native.parse_sdf(pipe, borrow=borrow)) == expected
    with pipe_path(data) as pipe:
        assert texts(native.parse_sdf(pipe, borrow=borrow), str) == expected_text
    with fifo_path(tmp_path, data) as fifo:
        assert texts(native.parse_sdf(os.fsencode(fifo), borrow=borrow)) == expected
    assert texts(native.parse_sdf(os.fsencode(big_file), borrow=borrow)) == expected
    assert texts(native.parse_sdf(big_file, borrow=borrow), str) == expected_text
    assert texts(SDBlock.from_sdf(data)) == expected
    assert texts(SDBlock.from_sdf(data.decode()), str) == expected_text
    with open(big_file, "rb") as f:
        assert texts(native.parse_sdf(f)) == expected
    with open(big_file) as f:
        assert texts(native.parse_sdf(f), str) == expected_text


def mapped_here(path) -> bool:
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").endswith(str(path)) for line in maps)


@pytest.mark.parametrize("finish", ["exhaust", "close", "del"])
def test_chunked_path_is_closed_at_once(finish):
    with pipe_path(b"A\n$$$$\nB\n$$$$\n") as pipe:
        blocks, before = native.parse_sdf(pipe), fd_count()  # nothing opened yet
        assert next(blocks).title == "A" and fd_count() == before + 1
        if finish == "exhaust":
            assert [b.title for b in blocks] == ["B"]
        elif finish == "close":
            blocks.close()
        else:
            del blocks
        assert fd_count() == before


def test_mapped_path_holds_no_descriptor_and_borrowed_blocks_outlive_the_iterator(big_file):
    before, blocks = fd_count(), native.parse_sdf(big_file)
    next(blocks)
    assert fd_count() == before and mapped_here(big_file)
    blocks.close()
    assert not mapped_here(big_file) and list(blocks) == []
    data = big_file.read_bytes()
    blocks = list(native.parse_sdf(os.fsencode(big_file), borrow=True))
    assert mapped_here(big_file) and texts(blocks) == expected_blocks(data)
    blocks[0].title = b"edited"
    assert blocks[0].title == b"edited" and big_file.read_bytes() == data
    assert texts(blocks[1:]) == expected_blocks(data)[1:]
    del blocks
    assert not mapped_here(big_file)


def mapping_rss_kib(path) -> int:
    rss, inside = 0, False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            if "-" in line.split(" ", 1)[0]:
                inside = line.rstrip("\n").endswith(str(path))
            elif inside and line.startswith("Rss:"):
                rss += int(line.split()[1])
    return rss


def test_pages_behind_the_reader_are_released(tmp_path):
    path = tmp_path / "large.sdf"
    block = b"t\n" + b"x" * 1000 + b"\nM  END\n$$$$\n"
    path.write_bytes(block * 16000)  # about 16 MiB
    blocks = list(native.parse_sdf(os.fsencode(path), borrow=True))
    assert mapping_rss_kib(path) < 4096
    assert len(blocks) == 16000 and texts(blocks[:3] + blocks[-3:]) == [block] * 6


def test_open_and_read_do_not_hold_the_gil(tmp_path):
    fifo = tmp_path / "slow.fifo"
    os.mkfifo(fifo)
    blocks = native.parse_sdf(fifo)
    titles = []
    reader = threading.Thread(target=lambda: titles.extend(b.title for b in blocks))
    faulthandler.dump_traceback_later(60, exit=True)  # a GIL held while blocked hangs here
    try:
        reader.start()
        # The reader thread waits in open(); this thread still runs Python.
        assert sum(1 for _ in SDBlock.from_sdf("x\n$$$$\n" * 1000)) == 1000
        with open(fifo, "wb", buffering=0) as out:
            # Our open returned, so the reader is inside next(), now waiting in read().
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                next(blocks)
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                blocks.close()
            out.write(b"a\n$$$$\n")
            time.sleep(0.05)
            out.write(b"b\n$$$$\n")
        reader.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert titles == ["a", "b"]


def test_two_threads_iterate_their_own_large_files(tmp_path):
    block = b"t\n" + b"y" * 300 + b"\nM  END\n$$$$\n"
    data = block * 60000  # about 19 MiB
    mapped = tmp_path / "mapped.sdf"
    mapped.write_bytes(data)
    progress, counts = [], {}

    def run(name, source, borrow=False):
        count = 0
        for count, _ in enumerate(native.parse_sdf(source, borrow=borrow), start=1):
            if count % 5000 == 0:
                progress.append(name)
        counts[name] = count

    with pipe_path(data[: 1 << 20]) as pipe:
        runs = [("mapped", mapped, True), ("copied", os.fsencode(mapped)), ("pipe", pipe)]
        run_all([threading.Thread(target=run, args=args) for args in runs])
    assert counts == {"mapped": 60000, "copied": 60000, "pipe": (1 << 20) // len(block) + 1}
    last = {
        name: max(i for i, n in enumerate(progress) if n == name) for name in ("mapped", "copied")
    }
    assert set(progress[: min(last.values())]) >= {"mapped", "copied"}


# The first read of a pipe is made directly; later ones wait on the thread
# that reads the pipe ahead: a signal must reach its handler either way.
@pytest.mark.parametrize("first_read", [True, False], ids=["first read", "read ahead"])
@pytest.mark.parametrize("handler_raises", [True, False])
def test_interrupted_read_runs_signal_handlers(tmp_path, handler_raises, first_read):
    fifo = tmp_path / "signal.fifo"
    os.mkfifo(fifo)
    keeper = os.open(fifo, os.O_RDWR)  # a writer, so that open() does not wait
    if not first_read:
        os.write(keeper, b"early\n\nM  END\n$$$$\n")

    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        if handler_raises:
            raise Interrupted
        os.write(keeper, b"late\n$$$$\n")
        os.close(keeper)

    previous, before = signal.signal(signal.SIGALRM, handler), fd_count()
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        blocks = native.parse_sdf(fifo)
        if not first_read:
            assert next(blocks).title == "early"
        if handler_raises:
            with pytest.raises(Interrupted):
                next(blocks)
            assert fd_count() == before and list(blocks) == []
            os.close(keeper)
        else:
            assert [b.title for b in blocks] == ["late"]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
