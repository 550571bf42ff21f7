"""Compressed SD files: read by their magic bytes, written by their suffix."""

import bz2
import gzip
import io
import lzma
import os
import random
import sys
import threading
import zipfile

import pytest
from conftest import DATA, corpus_files
from hypothesis import given, settings
from hypothesis import strategies as st

import molvane

zstandard = pytest.importorskip("zstandard")


def zstd_compress(data, level=3):
    # With a checksum, as the zstd command line writes frames.
    return zstandard.ZstdCompressor(level=level, write_checksum=True).compress(data)


def zstd_decompress(data):
    # Reads every frame, as `zstd -d` does.
    reader = zstandard.ZstdDecompressor().stream_reader(io.BytesIO(data), read_across_frames=True)
    return reader.read()


FORMATS = {
    "gz": (gzip.compress, gzip.decompress),
    "bz2": (bz2.compress, bz2.decompress),
    "xz": (lzma.compress, lzma.decompress),
    "zst": (zstd_compress, zstd_decompress),
}
KINDS = [pytest.param(str, id="str-path"), pytest.param(os.fsencode, id="bytes-path")]


def random_sdf(count, seed=7, ending=b"\n"):
    """Blocks with random titles and values, so that they compress poorly
    and a cut file still holds many whole blocks before its cut."""
    rng = random.Random(seed)
    blocks = []
    for _ in range(count):
        title = rng.randbytes(12).hex().encode()
        value = rng.randbytes(40).hex().encode()
        lines = [
            title,
            b"  molvane",
            b"",
            b"  0  0  0  0  0  0  0  0  0  0999 V2000",
            b"M  END",
            b"> <ID>",
            value,
            b"",
            b"$$$$",
        ]
        blocks.append(ending.join(lines) + ending)
    return b"".join(blocks)


def same_blocks(left, right):
    return [str(b) for b in left] == [str(b) for b in right] and [
        b.__reduce__()[1] for b in left
    ] == [b.__reduce__()[1] for b in right]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("suffix", FORMATS)
@pytest.mark.parametrize("source", ["two_blocks.sdf", "crlf.sdf", "random-crlf", "corpus"])
def test_compressed_paths_read_as_their_plain_files(tmp_path, suffix, kind, source):
    if source == "corpus":
        files = corpus_files()[:6]
        if not files:
            pytest.skip("no corpus")
        data = b"".join(p.read_bytes() for p in files)
    elif source == "random-crlf":
        data = random_sdf(3000, ending=b"\r\n")
    else:
        data = (DATA / source).read_bytes()
    plain = tmp_path / "plain.sdf"
    plain.write_bytes(data)
    packed = tmp_path / f"packed.sdf.{suffix}"
    packed.write_bytes(FORMATS[suffix][0](data))
    expected = list(molvane.parse_sdf(kind(str(plain))))
    got = list(molvane.parse_sdf(kind(str(packed))))
    assert same_blocks(got, expected)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("suffix", FORMATS)
def test_concatenated_members_are_read_whole(tmp_path, suffix, kind):
    first, second = random_sdf(50, seed=1), random_sdf(70, seed=2)
    compress = FORMATS[suffix][0]
    packed = tmp_path / f"cat.sdf.{suffix}"
    packed.write_bytes(compress(first) + compress(second))
    plain = tmp_path / "cat.sdf"
    plain.write_bytes(first + second)
    got = list(molvane.parse_sdf(kind(str(packed))))
    assert len(got) == 120 and same_blocks(got, list(molvane.parse_sdf(kind(str(plain)))))


@pytest.mark.parametrize("suffix", FORMATS)
def test_cr_and_lf_split_across_decompressed_reads_fold_to_one_line_break(tmp_path, suffix):
    # The reader takes decompressed text 128 KiB at a time: put a CR LF across
    # that boundary, and lone CRs around it.
    unit = 131072
    head = b"t\r\n  p\r\n\r\n  0  0  0  0  0  0  0  0  0  0999 V2000\r\nM  END\r\n> <A>\r\n"
    filler = b"x" * (unit - len(head) - 1)
    data = head + filler + b"\r\n\r\n$$$$\r\nu\rv\r\rM  END\r$$$$\r"
    assert data[unit - 1 : unit + 1] == b"\r\n"
    packed = tmp_path / f"cr.sdf.{suffix}"
    packed.write_bytes(FORMATS[suffix][0](data))
    plain = tmp_path / "cr.sdf"
    plain.write_bytes(data)
    got = [str(b) for b in molvane.parse_sdf(str(packed))]
    assert got == [str(b) for b in molvane.parse_sdf(str(plain))]
    assert got[0].endswith("x\n\n$$$$\n") and "\r" not in "".join(got)


def cut(data):
    return data[: len(data) // 2]


def corrupt(data):
    middle = len(data) // 2
    return data[:middle] + bytes(b ^ 0x5A for b in data[middle : middle + 64]) + data[middle + 64 :]


@pytest.mark.parametrize("suffix", FORMATS)
@pytest.mark.parametrize("damage, error", [(cut, EOFError), (corrupt, OSError)])
def test_damaged_files_deliver_the_blocks_before_the_fault_then_raise(
    tmp_path, suffix, damage, error
):
    data = random_sdf(20000)
    whole = [bytes(b) for b in molvane.SDBlock.from_sdf(data)]
    packed = tmp_path / f"damaged.sdf.{suffix}"
    packed.write_bytes(damage(FORMATS[suffix][0](data)))
    delivered = []
    with pytest.raises((EOFError, OSError)) as raised:
        for block in molvane.parse_sdf(os.fsencode(packed)):
            delivered.append(bytes(block))
    assert str(packed) in str(raised.value)
    if damage is cut:
        assert isinstance(raised.value, EOFError) and "truncated" in str(raised.value)
        # Every whole block before the cut arrived, and nothing else.
        assert len(delivered) > len(whole) // 4 and delivered == whole[: len(delivered)]
    else:
        # Bad data may also read as data that ends early, never silently. A
        # format may only find the damage at its next checksum (gzip's is at
        # the end of a member), so what came out just before it may be
        # garbage, and bzip2 works in blocks of 900 kB; the blocks well before
        # the damage are right.
        assert isinstance(raised.value, (OSError, EOFError))
        assert delivered[: len(whole) // 8] == whole[: len(whole) // 8]


@pytest.mark.parametrize("suffix", ["gz", "xz", "zst"])
def test_a_small_cut_file_delivers_what_its_data_holds(tmp_path, suffix):
    # Less than one step of the decompressing thread: what decodes before the
    # cut must still arrive (bzip2 cannot: its blocks hold 900 kB).
    data = random_sdf(3000)
    whole = [bytes(b) for b in molvane.SDBlock.from_sdf(data)]
    packed = tmp_path / f"small.sdf.{suffix}"
    packed.write_bytes(cut(FORMATS[suffix][0](data)))
    delivered = []
    with pytest.raises(EOFError, match="truncated"):
        for block in molvane.parse_sdf(os.fsencode(packed)):
            delivered.append(bytes(block))
    assert 0 < len(delivered) < len(whole) and delivered == whole[: len(delivered)]


def skippable_frame(payload):
    # A frame that zstd readers pass over: magic 0x184D2A5?, then its size.
    return (0x184D2A53).to_bytes(4, "little") + len(payload).to_bytes(4, "little") + payload


# Frames of every block type: compressed text, raw (incompressible bytes)
# and RLE (one byte repeated), with and without checksums and content sizes.
FRAME_CONTENTS = st.sampled_from(
    [random_sdf(40, seed=3), random.Random(5).randbytes(3000), b"$" * 200_000, b""]
)
FRAMES = st.lists(
    st.one_of(
        st.tuples(FRAME_CONTENTS, st.booleans(), st.booleans(), st.integers(1, 19)).map(
            lambda t: zstandard.ZstdCompressor(
                level=t[3], write_checksum=t[1], write_content_size=t[2]
            ).compress(t[0])
        ),
        st.binary(max_size=20).map(skippable_frame),
    ),
    min_size=1,
    max_size=4,
)


@given(frames=FRAMES, pieces=st.lists(st.integers(1, 5000), max_size=30))
@settings(max_examples=60, deadline=None)
def test_the_zstd_frame_walk_ends_exactly_where_frames_end(frames, pieces):
    data = b"".join(frames)
    ends = {0}
    for frame in frames:
        ends.add(max(ends) + len(frame))
    walk = molvane.native._ZstdFrames()
    at = 0
    for size in [*pieces, len(data)]:
        walk.feed(data[at : at + size])
        at = min(at + size, len(data))
        assert walk.complete == (at in ends)
        if at == len(data):
            break


def test_a_zstd_file_cut_anywhere_inside_a_frame_raises_and_at_its_end_reads(tmp_path):
    data = random_sdf(6)
    packed = (
        zstd_compress(data[: len(data) // 2])
        + skippable_frame(b"x")
        + zstd_compress(data[len(data) // 2 :])
    )
    whole = [bytes(b) for b in molvane.SDBlock.from_sdf(data)]
    first_end = len(zstd_compress(data[: len(data) // 2]))
    path = tmp_path / "cut.sdf.zst"
    # Fewer than 4 bytes are no magic number: text, not a cut zstd file.
    for cut_at in range(4, len(packed) + 1):
        path.write_bytes(packed[:cut_at])
        delivered = []
        if cut_at in (first_end, first_end + 9, len(packed)):
            delivered = [bytes(b) for b in molvane.parse_sdf(os.fsencode(path))]
            assert delivered == whole[: len(delivered)] and len(delivered) >= 3
            continue
        with pytest.raises(EOFError, match="truncated"):
            for block in molvane.parse_sdf(os.fsencode(path)):
                delivered.append(bytes(block))
        assert delivered == whole[: len(delivered)]


ONE = "t\n\n\nM  END\n$$$$\n"
BZH1 = "BZh1 is a title\n\n\nM  END\n$$$$\n"


@pytest.mark.parametrize(
    "name, content, expected",
    [
        ("plain.sdf.gz", ONE.encode(), [ONE]),  # suffix says gz, bytes say text
        ("packed.sdf", gzip.compress(ONE.encode(), mtime=0), [ONE]),  # the reverse
        ("BZh1.sdf", BZH1.encode(), [BZH1]),
        ("empty.sdf.xz", lzma.compress(b""), []),
    ],
)
def test_magic_bytes_decide_not_the_suffix(tmp_path, name, content, expected):
    path = tmp_path / name
    path.write_bytes(content)
    assert [str(b) for b in molvane.parse_sdf(str(path))] == expected


def flip(data, at):
    data = bytearray(data)
    data[at] ^= 0x01
    return bytes(data)


@pytest.mark.parametrize(
    "compress, at",
    [
        (bz2.compress, 4),
        (bz2.compress, 9),
        (lzma.compress, 1),
        (lzma.compress, 5),
        (lzma.compress, 6),
    ],
    ids=["bz2 block magic", "bz2 block magic end", "xz magic", "xz magic end", "xz flags"],
)
def test_damaged_magic_is_a_damaged_archive_not_text(tmp_path, compress, at):
    path = tmp_path / "damaged.sdf"
    path.write_bytes(flip(compress(b"t\n\n\nM  END\n$$$$\n" * 50), at))
    with pytest.raises(OSError, match="data is corrupt"):
        list(molvane.parse_sdf(str(path)))


def test_archives_are_refused_with_what_they_are(tmp_path):
    path = tmp_path / "dump.sdf.zip"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("dump.sdf", "t\n\n\nM  END\n$$$$\n")
    with pytest.raises(ValueError, match=r"is a zip archive, not an SD file: extract it first"):
        next(molvane.parse_sdf(path))


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_compressed_data_from_a_fifo_is_decompressed(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    writer = threading.Thread(
        target=lambda: fifo.write_bytes(gzip.compress(b"t\n\n\nM  END\n$$$$\n"))
    )
    writer.start()
    try:
        assert [b.title for b in molvane.parse_sdf(str(fifo))] == ["t"]
    finally:
        writer.join(10)


def test_a_missing_zstandard_names_the_extra(tmp_path, monkeypatch):
    path = tmp_path / "x.sdf.zst"
    path.write_bytes(zstd_compress(b"t\n\n\nM  END\n$$$$\n"))
    monkeypatch.setitem(sys.modules, "zstandard", None)
    with pytest.raises(ImportError, match=r"molvane\[zstd\]"):
        next(molvane.parse_sdf(path))
    with pytest.raises(ImportError, match=r"molvane\[zstd\]"):
        molvane.write_sdf(tmp_path / "y.sdf.zst", [])
    assert not (tmp_path / "y.sdf.zst").exists() and sorted(os.listdir(tmp_path)) == ["x.sdf.zst"]


def test_closing_early_stops_the_decompressing_thread(tmp_path):
    path = tmp_path / "big.sdf.gz"
    path.write_bytes(gzip.compress(random_sdf(20000)))
    before = threading.active_count()
    blocks = molvane.parse_sdf(path)
    next(blocks)
    assert threading.active_count() == before + 1
    blocks.close()
    assert threading.active_count() == before


# --- writing -------------------------------------------------------------------


@pytest.mark.parametrize("suffix", FORMATS)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("how", ["write_sdf", "sdf_writer"])
@pytest.mark.parametrize("level", [None, 1])
def test_compressed_writes_round_trip_byte_for_byte(tmp_path, suffix, kind, how, level):
    data = random_sdf(500, ending=b"\r\n")
    source = tmp_path / "in.sdf"
    source.write_bytes(data)
    blocks = list(molvane.parse_sdf(kind(str(source))))
    target = tmp_path / f"out.sdf.{suffix}"
    if how == "write_sdf":
        assert molvane.write_sdf(target, blocks, compresslevel=level) == len(blocks)
    else:
        with molvane.sdf_writer(target, compresslevel=level) as out:
            for block in blocks:
                out.write(block)
    plain = tmp_path / "plain.sdf"
    molvane.write_sdf(plain, blocks)
    assert FORMATS[suffix][1](target.read_bytes()) == plain.read_bytes()
    assert same_blocks(list(molvane.parse_sdf(kind(str(target)))), blocks)


COMPRESSED_ONLY = "compresslevel applies to paths ending in .gz, .bz2, .xz or .zst"


@pytest.mark.parametrize(
    "target, level, error, message",
    [
        ("out.sdf.gz", 10, ValueError, "compresslevel for gzip must be from 0 to 9, not 10"),
        ("out.sdf.zst", 0, ValueError, "compresslevel for zstd must be from 1 to 22, not 0"),
        ("out.sdf.bz2", "9", TypeError, "compresslevel must be an int, not str"),
        ("out.sdf", 5, ValueError, COMPRESSED_ONLY),
        (io.BytesIO(), 5, ValueError, COMPRESSED_ONLY),
    ],
)
def test_bad_compression_levels_are_refused_before_anything_is_written(
    tmp_path, target, level, error, message
):
    dest = tmp_path / target if isinstance(target, str) else target
    for call in (
        lambda: molvane.write_sdf(dest, [], compresslevel=level),
        lambda: molvane.sdf_writer(dest, compresslevel=level),
    ):
        with pytest.raises(error, match=message.replace(".", r"\.")):
            call()
    assert os.listdir(tmp_path) == []


def test_a_failed_compressed_write_leaves_the_target_as_it_was(tmp_path):
    target = tmp_path / "out.sdf.gz"
    target.write_bytes(b"old")
    good = molvane.SDBlock("t\n\n\nM  END\n$$$$\n")
    with pytest.raises(TypeError):
        molvane.write_sdf(target, [good, "not a block"])
    assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["out.sdf.gz"]


@pytest.mark.parametrize("sink", ["bytesio", "open-wb", "gzip-open"])
def test_str_blocks_go_to_binary_file_objects_as_utf8(tmp_path, sink):
    blocks = [
        molvane.SDBlock("caf\u00e9\n\n\nM  END\n> <A>\n\u00b5\n\n$$$$\n"),
        molvane.SDBlock("t\n\n\nM  END\n$$$$\n"),
    ]
    expected = "".join(str(b) for b in blocks).encode()
    path = tmp_path / "out"
    if sink == "bytesio":
        out = io.BytesIO()
        molvane.write_sdf(out, blocks)
        assert out.getvalue() == expected
    elif sink == "open-wb":
        with open(path, "wb") as out:
            molvane.write_sdf(out, blocks)
        assert path.read_bytes() == expected
    else:
        with gzip.open(path, "wb") as out:
            molvane.write_sdf(out, blocks)
        assert gzip.decompress(path.read_bytes()) == expected


def test_str_blocks_that_are_not_utf8_are_refused_by_a_binary_file_object(tmp_path):
    path = tmp_path / "latin1.sdf"
    path.write_bytes(b"caf\xe9\n\n\nM  END\n$$$$\n")
    bad = next(molvane.parse_sdf(str(path)))
    out = io.BytesIO()
    with pytest.raises(UnicodeDecodeError):
        molvane.write_sdf(out, [bad])
    assert out.getvalue() == b""


# --- progress ------------------------------------------------------------------


@pytest.mark.parametrize("suffix", [None, *FORMATS])
def test_position_runs_from_zero_to_the_file_size(tmp_path, suffix):
    data = random_sdf(20000)
    path = tmp_path / "p.sdf"
    path.write_bytes(data if suffix is None else FORMATS[suffix][0](data))
    size = path.stat().st_size
    blocks = molvane.parse_sdf(path)
    assert (blocks.position, blocks.size) == (0, size)
    seen = []
    for _ in blocks:
        seen.append(blocks.position)
    assert seen == sorted(seen) and 0 < seen[0] <= size and seen[-1] == size
    assert (blocks.position, blocks.size) == (size, size)


@pytest.mark.parametrize(
    "make, size, position",
    [
        (lambda: molvane.SDBlock.from_sdf(ONE.encode() * 3), 48, 48),
        (lambda: molvane.parse_sdf(io.BytesIO(ONE.encode() * 3)), None, 48),
        (lambda: molvane.SDBlock.from_lines(ONE.splitlines(keepends=True) * 3), None, None),
    ],
    ids=["text", "file object", "lines"],
)
def test_position_of_other_sources(make, size, position):
    blocks = make()
    assert blocks.size == size
    assert len(list(blocks)) == 3 and (blocks.position, blocks.size) == (position, size)


@pytest.mark.parametrize("suffix", FORMATS)
def test_file_objects_over_compressed_data(tmp_path, suffix):
    data = random_sdf(20)
    path = tmp_path / f"in.sdf.{suffix}"
    path.write_bytes(FORMATS[suffix][0](data))
    expected = [bytes(b) for b in molvane.parse_sdf(io.BytesIO(data))]
    # A binary file object is decompressed, for blocks and tables alike.
    with open(path, "rb") as handle:
        assert [bytes(b) for b in molvane.parse_sdf(handle)] == expected
    with open(path, "rb") as handle:
        assert molvane.to_arrow(handle).num_rows == 20
    # A text file object over the same bytes cannot be decoded into SD text:
    # decoders that let every byte through give a clear error, a strict one
    # its own error with a note saying why.
    name = {"gz": "gzip", "zst": "zstd"}.get(suffix, suffix)
    for options in ({"encoding": "latin-1"}, {"encoding": "utf-8", "errors": "replace"}):
        for read in (lambda h: list(molvane.parse_sdf(h)), molvane.to_arrow):
            with open(path, **options) as handle:
                with pytest.raises(ValueError, match=f"holds {name}-compressed data.*binary mode"):
                    read(handle)
    with open(path, encoding="utf-8") as handle, pytest.raises(UnicodeDecodeError) as caught:
        list(molvane.parse_sdf(handle))
    assert any(f"{name}-compressed data" in note for note in caught.value.__notes__)
