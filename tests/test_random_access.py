"""Reading files from any byte offset: byte ranges, shards and the block index."""

import bz2
import concurrent.futures
import gzip
import os
import pathlib
import pickle
import re
import struct
import threading

import pytest
from conftest import corpus_params, examples, run_all, texts
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


def reference_index(data: bytes, universal: bool) -> list[int]:
    """The block starts and the end of the last block: whitespace after the
    last `$$$$` line (a last piece of only whitespace) is no block."""
    starts = reference_starts(data, universal)
    if starts and not data[starts[-1] :].strip():
        return starts
    return [*starts, len(data)]


def path_of(file, as_str):
    return str(file) if as_str else os.fsencode(file)


def ranged(path, cuts):
    """The blocks of the ranges between `cuts`, one range after the other."""
    bounds = [0, *cuts, None]
    return [
        b
        for start, stop in zip(bounds, bounds[1:])
        for b in molvane.parse_sdf(path, start=start, stop=stop)
    ]


def read_bytes(path):
    return pathlib.Path(os.fsdecode(path)).read_bytes()


@pytest.fixture
def write(tmp_path):
    def write(data: bytes, name="x.sdf"):
        file = tmp_path / name
        file.write_bytes(data)
        return file

    return write


# ---------------------------------------------------------------------------
# parse_sdf(path, start=, stop=)


@settings(max_examples=examples(60), deadline=None)
@given(sd_texts, st.lists(st.integers(0, 260), max_size=4).map(sorted), st.booleans())
def test_ranges_hold_the_blocks_starting_in_them(tmp_path_factory, data, cuts, as_str):
    file = tmp_path_factory.mktemp("ranges") / "x.sdf"
    file.write_bytes(data)
    path = path_of(file, as_str)
    kind = str if as_str else bytes
    whole = texts(molvane.parse_sdf(path), kind)
    # Adjacent ranges give the whole file's blocks.
    assert texts(ranged(path, cuts), kind) == whole
    for i, start in enumerate(reference_starts(data, universal=as_str)):
        # Any range around a block's first byte, and none past it, yields it.
        assert texts(molvane.parse_sdf(path, start=start, stop=start + 1), kind) == [whole[i]]
        if start > 0:
            assert list(molvane.parse_sdf(path, start=start - 1, stop=start)) == []


@pytest.mark.parametrize(
    "start, stop, titles",
    [
        (0, None, ["a", "b", "c"]),
        (1, None, ["b", "c"]),
        (7, 8, ["b"]),  # "b" starts at 7
        (7, 7, []),  # empty range
        (9, 3, []),  # start past stop
        (0, 7, ["a"]),
        (0, 8, ["a", "b"]),
        (14, None, ["c"]),
        (15, None, []),
        (10**30, None, []),  # past any file
        (0, 10**30, ["a", "b", "c"]),
    ],
)
def test_range_edges(write, start, stop, titles):
    file = write(b"a\n$$$$\nb\n$$$$\nc\n$$$$\n")
    assert [b.title for b in molvane.parse_sdf(str(file), start=start, stop=stop)] == titles


def test_range_position_runs_over_the_range(write):
    file = write(b"a\n$$$$\nb\n$$$$\nc\n$$$$\n")
    blocks = molvane.parse_sdf(os.fsencode(file), start=3, stop=8)
    assert blocks.size == 21
    assert [b.title for b in blocks] == [b"b"]
    assert blocks.position == 14  # the end of the range's last block


@pytest.mark.parametrize(
    "start, stop, error, message",
    [
        (-1, None, ValueError, "start must not be negative"),
        (0, -5, ValueError, "stop must not be negative"),
        (1.5, None, TypeError, "start must be an int byte offset, not float"),
        ("3", None, TypeError, "start must be an int byte offset, not str"),
        (True, None, TypeError, "start must be an int byte offset, not bool"),
        (0, 2.0, TypeError, "stop must be an int byte offset, not float"),
    ],
)
def test_bad_offsets_are_refused_at_the_call(write, start, stop, error, message):
    file = write(b"a\n$$$$\n")
    with pytest.raises(error, match=message):
        molvane.parse_sdf(str(file), start=start, stop=stop)


def test_ranges_need_a_path(write):
    file = write(b"a\n$$$$\n")
    with (
        open(file, "rb") as handle,
        pytest.raises(TypeError, match="need a path.*not BufferedReader"),
    ):
        molvane.parse_sdf(handle, start=0, stop=3)


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


# ---------------------------------------------------------------------------
# shards


@settings(max_examples=examples(60), deadline=None)
@given(sd_texts, st.integers(1, 9), st.booleans())
def test_shards_cover_the_file_on_block_starts(tmp_path_factory, data, n, as_str):
    file = tmp_path_factory.mktemp("shards") / "x.sdf"
    file.write_bytes(data)
    path = path_of(file, as_str)
    pieces = molvane.shards(path, n=n)
    index = reference_index(data, universal=as_str)
    if index == [0]:
        assert pieces == []
        return
    assert pieces[0][0] == 0 and pieces[-1][1] == index[-1]
    assert all(a[1] == b[0] for a, b in zip(pieces, pieces[1:]))
    assert all(start < stop for start, stop in pieces)
    assert len(pieces) <= n
    starts = set(reference_starts(data, universal=as_str))
    assert all(start in starts for start, _ in pieces)
    kind = str if as_str else bytes
    by_shard = [
        b for start, stop in pieces for b in molvane.parse_sdf(path, start=start, stop=stop)
    ]
    assert texts(by_shard, kind) == texts(molvane.parse_sdf(path), kind)[: len(index) - 1]


@pytest.mark.parametrize(
    "kwargs, count",
    [
        ({"n": 1}, 1),
        ({"n": 4}, 4),
        ({"n": 1000}, 100),  # no more shards than blocks
        ({"size": 10**9}, 1),
        ({"size": 1}, 100),
        ({"size": 1000}, 4),  # 3 200 bytes in pieces of 1 000
        ({}, min(os.cpu_count() or 1, 100)),  # one per CPU
    ],
)
def test_shard_counts(write, kwargs, count):
    file = write(b"".join(b"%026d\n$$$$\n" % i for i in range(100)))  # 32 bytes a block
    assert len(molvane.shards(str(file), **kwargs)) == count


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"n": 1, "size": 5}, TypeError, "n or size, not both"),
        ({"n": 0}, ValueError, "n must be at least 1"),
        ({"size": 0}, ValueError, "size must be at least 1"),
        ({"n": -2}, ValueError, "n must not be negative"),
        ({"n": 2.0}, TypeError, "n must be an int"),
    ],
)
def test_shard_arguments(write, kwargs, error, message):
    file = write(b"a\n$$$$\n")
    with pytest.raises(error, match=message):
        molvane.shards(str(file), **kwargs)


# ---------------------------------------------------------------------------
# SDFile


def offsets_of(f):
    return memoryview(f.offsets).tolist()


def packed(*offsets):
    """Offsets as an index holds them: little-endian uint64."""
    return b"".join(n.to_bytes(8, "little") for n in offsets)


@settings(max_examples=examples(80), deadline=None)
@given(sd_texts, st.booleans())
def test_index_is_the_splitters_block_starts(tmp_path_factory, data, as_str):
    file = tmp_path_factory.mktemp("index") / "x.sdf"
    file.write_bytes(data)
    path = path_of(file, as_str)
    f = molvane.SDFile(path)
    assert offsets_of(f) == reference_index(data, universal=as_str)
    kind = str if as_str else bytes
    # parse_sdf yields trailing whitespace as a last piece; the index leaves it out.
    whole = texts(molvane.parse_sdf(path), kind)[: len(f.offsets) - 1]
    assert len(f) == len(whole)
    assert texts(f, kind) == whole
    assert texts([f[i] for i in range(-len(f), 0)], kind) == whole


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_index_and_ranges_match_parse_sdf(path):
    size = path.stat().st_size
    for as_str in (False, True):
        p = path_of(path, as_str)
        kind = str if as_str else bytes
        try:
            whole = texts(molvane.parse_sdf(p), kind)
        except (UnicodeDecodeError, ValueError):
            continue  # not UTF-8, or not an SD file: reading it whole fails too
        assert texts(ranged(p, [size * k // 8 for k in range(1, 8)]), kind) == whole
        f = molvane.SDFile(p)
        index = reference_index(path.read_bytes(), universal=as_str)
        assert offsets_of(f) == index
        whole = whole[: len(index) - 1]  # trailing whitespace is no block
        assert len(f) == len(whole)
        assert texts(f, kind) == whole
        # Each offset is where a range that starts there finds its block.
        offsets = offsets_of(f)
        for i in {0, len(whole) // 2, len(whole) - 1} & set(range(len(whole))):
            got = molvane.parse_sdf(p, start=offsets[i], stop=offsets[i] + 1)
            assert texts(got, kind) == [whole[i]]


def test_offsets_are_a_uint64_buffer(write):
    numpy = pytest.importorskip("numpy")
    file = write(b"a\n$$$$\nbb\n$$$$\nccc")
    f = molvane.SDFile(str(file))
    assert numpy.frombuffer(f.offsets, dtype=numpy.uint64).tolist() == [0, 7, 15, 18]
    assert f.offsets.format == "Q" and f.offsets.readonly


@pytest.mark.parametrize(
    "key, titles",
    [
        (0, "a"),
        (-1, "d"),
        (-4, "a"),
        (2, "c"),
        (slice(1, 3), ["b", "c"]),
        (slice(None, None, -2), ["d", "b"]),
        (slice(5, 9), []),
        (4, IndexError),
        (-5, IndexError),
        (10**30, IndexError),
        ("0", TypeError),
        (1.0, TypeError),
    ],
)
def test_indexing(write, key, titles):
    f = molvane.SDFile(str(write(b"a\n$$$$\nb\n$$$$\nc\n$$$$\nd\n$$$$\n")))
    if isinstance(titles, type):
        with pytest.raises(titles):
            f[key]
        return
    got = f[key]
    assert (got.title if isinstance(key, int) else [b.title for b in got]) == titles


def test_pickles_carry_the_index(write):
    file = write(b"a\n$$$$\nb\n$$$$\n")
    f = molvane.SDFile(os.fsencode(file))
    copy = pickle.loads(pickle.dumps(f))
    # The copy trusts its index: rewriting the file with the same size and
    # time shows that it never scans.
    stat = file.stat()
    file.write_bytes(b"a\n$$$$\nb$$$$\n\n")
    os.utime(file, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert offsets_of(copy) == [0, 7, 14] and len(copy) == 2


@pytest.mark.parametrize("change", ["append", "rewrite"])
def test_a_changed_file_is_detected(write, change):
    file = write(b"a\n$$$$\nb\n$$$$\n")
    f = molvane.SDFile(str(file))
    state = pickle.dumps(f)
    saved = molvane.SDFile(str(file)).save_index()
    stat = file.stat()
    if change == "append":
        with open(file, "ab") as handle:
            handle.write(b"c\n$$$$\n")
    else:
        file.write_bytes(b"x\n$$$$\ny\n$$$$\n")
        os.utime(file, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1000))
    with pytest.raises(OSError, match="changed since it was indexed"):
        f[0]
    with pytest.raises(OSError, match="changed since it was indexed"):
        len(pickle.loads(state))
    with pytest.raises(OSError, match="changed since it was indexed"):
        len(molvane.SDFile(str(file), index=saved))


NO_TUPLE = "takes the tuple that __reduce__ gave"


@pytest.mark.parametrize(
    "state, error, message",
    [
        ((14, 0, b"\0" * 7), ValueError, "no whole offsets"),
        ((14, 0, packed(5, 14)), ValueError, "do not rise"),
        ((14, 0, packed(0, 15)), ValueError, "do not rise"),
        (None, TypeError, NO_TUPLE),
        ([14, 0, b""], TypeError, NO_TUPLE),
        ("state", TypeError, NO_TUPLE),
    ],
)
def test_bad_pickle_states_are_refused(write, state, error, message):
    f = molvane.SDFile(str(write(b"a\n$$$$\nb\n$$$$\n")))
    with pytest.raises(error, match=message):
        f.__setstate__(state)


@pytest.mark.parametrize("tail, fits", [(b"\n \r\n", True), (b"c\n$$$$\n", False)])
def test_an_index_that_stops_short_fits_only_before_trailing_whitespace(write, tail, fits):
    file = write(b"a\n$$$$\n" + tail)
    stat = os.stat(file)
    f = molvane.SDFile(str(file))
    # Offsets of the first block only: what follows must be whitespace.
    f.__setstate__((stat.st_size, stat.st_mtime_ns, packed(0, 7)))
    if fits:
        assert len(f) == 1 and str(f[0]) == "a\n$$$$\n"
    else:
        with pytest.raises(ValueError, match="does not fit the file: text follows its last block"):
            len(f)


# Every way into a file at an offset: the index, shards and byte ranges.
RANDOM_ACCESS = pytest.mark.parametrize(
    "use",
    [
        lambda path: len(molvane.SDFile(path)),
        molvane.shards,
        lambda path: next(molvane.parse_sdf(path, start=0, stop=3)),
    ],
    ids=["SDFile", "shards", "range"],
)


@pytest.mark.skipif(not os.path.exists("/proc/cpuinfo"), reason="needs /proc")
@RANDOM_ACCESS
def test_files_that_report_no_size_but_hold_data_are_refused(use):
    # /proc/cpuinfo reports 0 bytes: its offsets cannot be known up front
    with pytest.raises(ValueError, match="reports 0 bytes but holds data"):
        use("/proc/cpuinfo")


@RANDOM_ACCESS
def test_compressed_files_have_no_random_access(write, use):
    file = write(gzip.compress(b"a\n$$$$\n"), "x.sdf.gz")
    way_out = r"decompress .*x\.sdf\.gz.*, or make a BGZF copy"
    with pytest.raises(ValueError, match=f"random access needs an uncompressed file: {way_out}"):
        use(str(file))


def stored(directory, name, data):
    (directory / name).write_bytes(data)
    return directory / name, None


def bgzf_file(tmp_path, damage):
    """A BGZF file of several members, with `damage` done to what follows the
    first member (at the offset it returns)."""
    path = tmp_path / "b.sdf.gz"
    text = "".join(f"m{i}\n\n\nM  END\n> <ID>\n{i}\n\n$$$$\n" for i in range(6000))
    molvane.write_sdf(str(path), molvane.SDBlock.from_sdf(text.encode()), bgzf=True)
    data = path.read_bytes()
    first = struct.unpack_from("<H", data, 16)[0] + 1  # the BC subfield: member size - 1
    path.write_bytes(data[:first] + damage(data[first:]))
    return path, first


# Each fault met on the way into a file at an offset: how to make the file,
# and the exception class and message it gives ({path} the path's repr, {at}
# the offset of the damaged BGZF member).
FILE_FAULTS = {
    "missing": (
        lambda d: (d / "missing.sdf", None),
        FileNotFoundError,
        "[Errno 2] No such file or directory: {path}",
    ),
    "directory": (lambda d: (d, None), IsADirectoryError, "[Errno 21] Is a directory: {path}"),
    "not regular": (
        lambda d: (pathlib.Path("/dev/null"), None),
        ValueError,
        "random access needs a regular file: {path} is a pipe, socket or device; save its content "
        "to a file first",
    ),
    "compressed": (
        lambda d: stored(d, "x.sdf.bz2", bz2.compress(b"a\n$$$$\n")),
        ValueError,
        "random access needs an uncompressed file: decompress {path} first (it is bz2-compressed)",
    ),
    "archive": (
        lambda d: stored(d, "x.zip", b"PK\x03\x04" + bytes(40)),
        ValueError,
        "{path} is a zip archive, not an SD file: extract it first",
    ),
    "size unknown": (
        lambda d: (pathlib.Path("/proc/cpuinfo"), None),
        ValueError,
        "random access needs a file that reports its size: {path} reports 0 bytes but holds data; "
        "read it through with parse_sdf or save its content to a file first",
    ),
    "bgzf cut": (
        lambda d: bgzf_file(d, lambda rest: rest[:30]),
        EOFError,
        "{path}: the BGZF member at byte {at} is cut short: the file is truncated",
    ),
    "bgzf damaged": (
        lambda d: bgzf_file(d, lambda rest: b"junk" * 10),
        OSError,
        "[Errno 5] the bytes at {at} are not a BGZF member: the file is damaged: {path}",
    ),
}

# The public ways into a file at an offset.
FAULT_ROUTES = {
    "SDFile": lambda path: len(molvane.SDFile(path)),
    "shards": molvane.shards,
    "parse_sdf": lambda path: next(molvane.parse_sdf(path, start=0)),
    "to_arrow": lambda path: molvane.to_arrow(path, start=0),
}
# The readers refuse an archive before any range is asked for, naming what
# they do read.
READER_NOTE = " (molvane reads SD files compressed with gzip, bzip2, xz or zstd)"


@pytest.mark.parametrize("fault", FILE_FAULTS)
def test_every_route_into_a_file_at_an_offset_raises_its_fault_alike(fault, tmp_path):
    pytest.importorskip("pyarrow")
    make, cls, template = FILE_FAULTS[fault]
    path, offset = make(tmp_path)
    if fault == "size unknown" and not (path.exists() and path.stat().st_size == 0):
        pytest.skip("needs /proc/cpuinfo, which reports 0 bytes")
    message = template.format(path=repr(str(path)), at=offset)
    raised = {}
    for route, use in FAULT_ROUTES.items():
        with pytest.raises(Exception) as caught:
            use(str(path))
        raised[route] = (caught.type, str(caught.value))
    expected = {route: (cls, message) for route in FAULT_ROUTES}
    if fault == "archive":
        expected["parse_sdf"] = expected["to_arrow"] = (cls, message + READER_NOTE)
    assert raised == expected


def test_pipes_have_no_index(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # Opening does not wait for a writer.
    with pytest.raises(ValueError, match="random access needs a regular file"):
        len(molvane.SDFile(str(fifo)))


def test_repr_does_not_index(tmp_path):
    # A missing file shows that nothing was opened.
    missing = tmp_path / "missing.sdf"
    f = molvane.SDFile(missing)
    assert repr(f) == f"SDFile({str(missing)!r})"
    with pytest.raises(FileNotFoundError):
        len(f)


def test_sdfile_needs_a_path():
    with pytest.raises(TypeError, match="SDFile takes a path"):
        molvane.SDFile(3)


def test_threads_share_one_sdfile(write):
    data = b"".join(b"m%d\n\n\nM  END\n> <N>\n%d\n\n$$$$\n" % (i, i) for i in range(2000))
    f = molvane.SDFile(os.fsencode(write(data)))
    expected = texts(molvane.parse_sdf(os.fsencode(write(data, "copy.sdf"))))
    results, errors = {}, []

    def work(k):
        try:
            # The first calls race to build the index.
            results[k] = [bytes(f[i]) for i in range(k, len(f), 4)]
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    run_all([threading.Thread(target=work, args=(k,)) for k in range(4)])
    assert errors == []
    for k in range(4):
        assert results[k] == expected[k::4]


# ---------------------------------------------------------------------------
# Process pools: the README's recipe, as it stands there


def edit_shard(path, start, stop):
    blocks = []
    for block in molvane.parse_sdf(path, start=start, stop=stop):
        block.set_record("title_length", str(len(block.title)))
        blocks.append(block)
    return blocks


def edit_file(path, out, workers=4):
    import concurrent.futures

    pieces = molvane.shards(path, n=workers * 4)
    with concurrent.futures.ProcessPoolExecutor(workers) as pool:
        results = pool.map(edit_shard, [path] * len(pieces), *zip(*pieces))
        return molvane.write_sdf(out, (b for blocks in results for b in blocks))


def block_text(f, i):
    return bytes(f[i])


def test_process_pool_recipe_equals_one_process(write, tmp_path):
    # CR LF titles: the shards' cuts follow the universal rule of str paths.
    data = b"".join(b"mol %d\r\n\n\nM  END\r\n> <N>\n%d\n\n$$$$\r\n" % (i, i) for i in range(3000))
    path = str(write(data))
    one = tmp_path / "one.sdf"
    molvane.write_sdf(one, edit_shard(path, 0, None))
    pooled = tmp_path / "pooled.sdf"
    assert edit_file(path, pooled, workers=2) == 3000
    assert pooled.read_bytes() == one.read_bytes()
    assert b"> <title_length>\n" in one.read_bytes()


def test_sdfile_pickles_into_a_process_pool(write):
    data = b"".join(b"mol %d\n\n\nM  END\n$$$$\n" % i for i in range(500))
    f = molvane.SDFile(os.fsencode(write(data)))
    picks = [0, 499, 250, -1, 7]
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        got = list(pool.map(block_text, [f] * len(picks), picks))
    assert got == [bytes(f[i]) for i in picks]


# ---------------------------------------------------------------------------
# Saved indexes


@pytest.mark.parametrize("as_str", [False, True])
def test_saved_index_replaces_the_scan(write, as_str):
    file = write(b"a\r$$$$\rb\n$$$$\nc")
    path = path_of(file, as_str)
    f = molvane.SDFile(path)
    written = f.save_index()
    assert written == path + (".idx" if as_str else b".idx")
    loaded = molvane.SDFile(path, index=written)
    assert offsets_of(loaded) == offsets_of(f)
    assert texts(loaded, str if as_str else bytes) == texts(f, str if as_str else bytes)


def test_saved_index_format(write, tmp_path):
    file = write(b"a\n$$$$\nbb\n$$$$\n")
    target = molvane.SDFile(os.fsencode(file)).save_index(tmp_path / "other.idx")
    data = read_bytes(target)
    stat = file.stat()
    assert data == struct.pack("<8sIIQqQ3Q", b"MVSDIDX\0", 1, 0, 15, stat.st_mtime_ns, 3, 0, 7, 15)


@pytest.mark.parametrize(
    "meddle, message",
    [
        (lambda d: b"NOTANIDX" + d[8:], "is not a saved SDFile index"),
        (lambda d: d[:8] + b"\x02" + d[9:], "another format version"),
        (lambda d: d[:-1], "damaged"),
        (lambda d: d[:-8] + (99).to_bytes(8, "little"), "damaged"),  # last offset is not the size
        (lambda d: d[:12] + b"\x01" + d[13:], "indexes the blocks of a str path"),
    ],
)
def test_bad_saved_indexes_are_refused(write, tmp_path, meddle, message):
    file = write(b"a\n$$$$\nb\n$$$$\n")
    saved = molvane.SDFile(os.fsencode(file)).save_index()
    (tmp_path / "bad.idx").write_bytes(meddle(read_bytes(saved)))
    with pytest.raises(ValueError, match=message):
        molvane.SDFile(os.fsencode(file), index=tmp_path / "bad.idx")
