"""Work and memory stay bounded by the input: growing it grows the cost in step.

Times are compared only as ratios between two sizes of one operation in one
process (the best of a few runs each, in CPU time, which other processes on
the machine do not add to). Over a fourfold step the linear ratio is 4 and
the quadratic one a fault would give 16; the bound lies between.
"""

import gzip
import os
import subprocess
import sys
import time

import pytest

import molvane
from molvane import SDBlock

HEAD = b"t\n\nM  END\n"


def best_time(run, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        began = time.process_time()
        run()
        best = min(best, time.process_time() - began)
    return best


def growth(run, n):
    """How much longer `run(4 * n)` takes than `run(n)`."""
    return best_time(lambda: run(4 * n)) / best_time(lambda: run(n))


def block_of(count):
    return SDBlock(HEAD + b"".join(b"> <F%d>\nv\n\n" % i for i in range(count)) + b"$$$$\n")


def set_new(n):
    block = SDBlock(HEAD + b"$$$$\n")
    for i in range(n):
        block.set_record(b"F%d" % i, b"v")


def setitem_and_get(n):
    block = SDBlock(HEAD + b"$$$$\n")
    for i in range(n):
        name = b"F%d" % i
        block[name] = b"v"
        assert block.get(name) == b"v"


def reset_each(n):
    block = block_of(n)
    for i in range(n):
        block.set_record(b"F%d" % i, b"w")


def remove_from_the_end(n):
    block = block_of(n)
    for i in reversed(range(n)):
        assert block.remove_record(b"F%d" % i) == 1


@pytest.mark.parametrize(
    "edits", [set_new, setitem_and_get, reset_each, remove_from_the_end], ids=lambda f: f.__name__
)
def test_record_edits_on_a_block_of_many_records_grow_linearly(edits):
    assert growth(edits, 10_000) < 8


@pytest.mark.parametrize("kwargs", [{"size": 1}, {"n": 10**12}])
def test_tiny_or_countless_shards_are_one_per_block(tmp_path, kwargs):
    # blocks of about 2 KB: a cut per byte would search each block 2,000 times
    block = b"title\n" + b"x" * 60 + b"\n" * 30 + b"M  END\n" + b"> <A>\n" + b"v" * 1900 + b"\n\n"
    path = tmp_path / "x.sdf"
    path.write_bytes(b"".join(block + b"%d\n$$$$\n" % i for i in range(2000)))
    pieces = molvane.shards(str(path), **kwargs)
    assert [start for start, _ in pieces] == memoryview(molvane.SDFile(str(path)).offsets).tolist()[
        :-1
    ]
    per_block = best_time(lambda: molvane.shards(str(path), n=2000), repeats=3)
    assert best_time(lambda: molvane.shards(str(path), **kwargs), repeats=3) < 10 * per_block


def blocks_of(count, value_size):
    return [
        b"m%d\n\nM  END\n> <ID>\n%d\n\n> <DATA>\n%s\n\n$$$$\n" % (i, i, b"x" * value_size)
        for i in range(count)
    ]


@pytest.mark.parametrize("source", ["path", "gz path", "blocks"])
def test_batches_end_at_max_bytes(tmp_path, source):
    pa = pytest.importorskip("pyarrow")
    blocks = blocks_of(200, 1000)
    path = tmp_path / "x.sdf"
    path.write_bytes(b"".join(blocks))
    if source == "gz path":
        path = tmp_path / "x.sdf.gz"
        path.write_bytes(gzip.compress(b"".join(blocks)))
    given = list(molvane.parse_sdf(os.fsencode(path))) if source == "blocks" else os.fsencode(path)
    batches = list(molvane.iter_batches(given, batch_size=50, max_bytes=10_000))
    sizes = [batch.num_rows for batch in batches]
    # each batch stops at the first block that reaches 10,000 bytes, or at 50 rows
    per_batch = -(-10_000 // len(blocks[0]))
    assert sizes == [per_batch] * (200 // per_batch) + (
        [200 % per_batch] if 200 % per_batch else []
    )
    assert pa.Table.from_batches(batches).equals(molvane.to_arrow(os.fsencode(path)))


# Peaks under the sanitizers say nothing: their allocator holds freed memory
# in quarantine and shadows every byte.
measures_memory = pytest.mark.skipif(
    not os.path.exists("/proc/self/status") or os.environ.get("MOLVANE_SANITIZED") == "1",
    reason="needs /proc and an uninstrumented allocator",
)

# The peak resident size of this process image (VmHWM: ru_maxrss would
# start from the forking parent's peak).
PEAK = """
import re, sys
import molvane, pyarrow
def peak():
    with open("/proc/self/status") as f:
        return int(re.search(r"VmHWM:\\s+(\\d+)", f.read())[1])
before = peak()
batches = molvane.iter_batches(sys.argv[1], max_bytes=int(sys.argv[2]) if sys.argv[2:] else 4 << 20)
rows = 0
for batch in batches:
    rows += batch.num_rows
    del batch  # dropped before the next one is built
print(rows, peak() - before)
"""


@measures_memory
def test_batches_of_a_compressed_file_hold_memory_bounded_in_bytes(tmp_path):
    pytest.importorskip("pyarrow")
    peaks = []
    for count in (2000, 4000):  # 40 and 80 MB of SD text in blocks of 20 KB
        path = tmp_path / f"{count}.sdf.gz"
        path.write_bytes(gzip.compress(b"".join(blocks_of(count, 20_000)), compresslevel=1))
        done = subprocess.run(
            [sys.executable, "-c", PEAK, str(path)], capture_output=True, text=True, check=True
        )
        rows, peak_kb = map(int, done.stdout.split())
        assert rows == count
        peaks.append(peak_kb)
    # all the rows in one batch would add 40 MB of values, then 80
    assert peaks[1] < peaks[0] + 16_000 and peaks[1] < 40_000, peaks


@measures_memory
def test_batches_of_a_mapped_file_are_built_one_at_a_time(tmp_path):
    pytest.importorskip("pyarrow")
    path = tmp_path / "x.sdf"
    path.write_bytes(b"".join(blocks_of(6000, 20_000)))  # 120 MB of SD text
    batch = 40 << 20
    done = subprocess.run(
        [sys.executable, "-c", PEAK, str(path), str(batch)],
        capture_output=True,
        text=True,
        check=True,
    )
    rows, peak_kb = map(int, done.stdout.split())
    assert rows == 6000
    # A batch the caller has dropped is gone before the next is built.
    assert peak_kb < (1.5 * batch + (8 << 20)) / 1024, peak_kb


CTABLE_PEAK = """
import re, sys
import molvane
def peak():
    with open("/proc/self/status") as f:
        return int(re.search(r"VmHWM:\\s+(\\d+)", f.read())[1])
block = molvane.SDBlock(b"t\\n" + b"\\n" * int(sys.argv[1]) + b"M  END\\n$$$$\\n")
before = peak()
try:
    block.ctable()
except molvane.ctable.MalformedCTableError as error:
    print(error, "|", peak() - before)
"""


@measures_memory
def test_a_broken_header_fails_before_every_line_is_held():
    grown = []
    for lines in (10**6, 2 * 10**6):  # 48 MB, then 96, if every line were held
        done = subprocess.run(
            [sys.executable, "-c", CTABLE_PEAK, str(lines)],
            capture_output=True,
            text=True,
            check=True,
        )
        message, kb = done.stdout.split("|")
        assert message.strip() == "CTable line 4: no format field"
        grown.append(int(kb))
    assert max(grown) < 8_000, grown


BIG = 5 << 20  # past the size from which a streamed block keeps its read buffer

# Large blocks in every shape a reader completes: terminated, CRLF, a last
# block without `$$$$` or without a final newline, a `$$$$` line with more on it.
BIG_ENDINGS = {
    "terminated": (b"\n", b"$$$$\n"),
    "crlf": (b"\r\n", b"$$$$\r\n"),
    "unterminated": (b"\n", b""),
    "no final newline": (b"\n", b"> <A>\nv"),
    "dollar line with more": (b"\n", b"$$$$ more\n"),
    "title only": (b"", b""),
}


@pytest.mark.parametrize("ending", BIG_ENDINGS.values(), ids=BIG_ENDINGS.keys())
@pytest.mark.parametrize("as_text", [False, True], ids=["bytes", "str"])
def test_large_streamed_blocks_read_as_mapped_ones(tmp_path, ending, as_text):
    newline, last = ending
    title = b"t" * 64 + newline
    big = title + (b"x" * 70 + newline) * (BIG // 70) + last
    small = b"s\nM  END\n$$$$\n".replace(b"\n", newline or b"\n")
    data = small + big if last.startswith(b"$$$$") else small + small + big
    path = tmp_path / "big.sdf"
    path.write_bytes(data)
    gz = tmp_path / "big.sdf.gz"
    gz.write_bytes(gzip.compress(data, compresslevel=1))

    def texts_of(blocks):
        return [(str(block) if as_text else bytes(block), block.title) for block in blocks]

    def texts(source):
        return texts_of(molvane.parse_sdf(str(source) if as_text else os.fsencode(source)))

    mapped = texts(path)
    assert len(mapped) in (2, 3) and len(mapped[-1][0]) >= BIG
    assert texts(gz) == mapped
    with open(path, "r" if as_text else "rb") as stream:
        assert texts_of(molvane.parse_sdf(stream)) == mapped


BIG_BLOCK_PEAK = """
import re, sys
import molvane
def peak():
    with open("/proc/self/status") as f:
        return int(re.search(r"VmHWM:\\s+(\\d+)", f.read())[1])
before = peak()
blocks = list(molvane.parse_sdf(sys.argv[1].encode()))
grown = peak() - before
print(len(bytes(blocks[0])), grown)
"""


@measures_memory
def test_a_huge_streamed_block_is_held_once(tmp_path):
    # One 200 MB line from a small gzip file: the reader's buffer becomes the
    # block, rather than the block a second copy of it.
    size = 200 << 20
    path = tmp_path / "bomb.sdf.gz"
    with gzip.open(path, "wb", compresslevel=1) as out:
        out.write(b"t" * size)
    done = subprocess.run(
        [sys.executable, "-c", BIG_BLOCK_PEAK, str(path)],
        capture_output=True,
        text=True,
        check=True,
    )
    length, peak_kb = map(int, done.stdout.split())
    assert length == size + len("\n$$$$\n")
    assert peak_kb < 1.4 * size / 1024, peak_kb
