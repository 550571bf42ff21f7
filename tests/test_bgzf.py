"""BGZF files: written by write_sdf(bgzf=True) and read by every reader, at any
block through SDFile, shards, byte ranges and Dask; saved indexes checked."""

import bz2
import gzip
import os
import pickle
import shutil
import struct
import subprocess

import dask
import pytest
from conftest import V2000_COUNTS, examples
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import molvane
import molvane.dask as mdask
from molvane import _gzaccess, native
from molvane.cli import main

BGZIP = shutil.which("bgzip")
NO_BGZIP = "bgzip is not installed (apt-get install tabix)"
needs_bgzip = pytest.mark.skipif(BGZIP is None, reason=NO_BGZIP)


def sd_block(i, pad=0, newline="\n"):
    text = f"m{i}\n  molvane\n\n{V2000_COUNTS}M  END\n> <ID>\n{i}\n\n> <PAD>\n{'x' * pad}\n\n$$$$\n"
    return text.replace("\n", newline)


def plain_text(count, seed=0, newlines=("\n",)):
    # Sizes from a few bytes to well over a member, so blocks span members.
    return "".join(
        sd_block(
            i,
            pad=(i * 7919 + seed) % 90000 if i % 5 == 0 else i % 300,
            newline=newlines[(i + seed) % len(newlines)],
        )
        for i in range(count)
    )


def members_of(path):
    with open(path, "rb") as f:
        offsets, sizes, fault, _ = native._bgzf_members(f.read())
    assert fault is None
    offsets = struct.unpack(f"={len(offsets) // 8}Q", offsets)
    return list(offsets), list(struct.unpack(f"={len(sizes) // 4}I", sizes))


def write_bgzf(path, text, how):
    """`text` compressed as BGZF by molvane or by bgzip."""
    if how == "molvane":
        molvane.write_sdf(str(path), molvane.SDBlock.from_sdf(text.encode()), bgzf=True)
    else:
        if BGZIP is None:
            pytest.skip(NO_BGZIP)
        with open(path, "wb") as out:
            subprocess.run([BGZIP, "-c"], input=text.encode(), stdout=out, check=True)
    return path


@pytest.fixture(params=["molvane", "bgzip"])
def made(request, tmp_path):
    text = plain_text(60) + sd_block(60, newline="\r\n") + sd_block(61)
    plain = tmp_path / "in.sdf"
    plain.write_text(text, newline="")
    return plain, write_bgzf(tmp_path / "in.sdf.gz", text, request.param)


def test_written_bgzf_is_gzip_of_the_plain_bytes_in_small_members(tmp_path):
    text = plain_text(80)
    path = write_bgzf(tmp_path / "out.sdf.gz", text, "molvane")
    data = path.read_bytes()
    assert gzip.decompress(data) == text.encode()
    assert data.endswith(_gzaccess.EOF_MARKER)
    offsets, sizes = members_of(path)
    assert len(sizes) > 3 and sizes[-1] == 0
    assert all(b - a <= 0x10000 for a, b in zip(offsets, offsets[1:]))
    assert sum(sizes) == len(text.encode())
    if BGZIP is not None:
        decompressed = subprocess.run(
            [BGZIP, "-d", "-c", str(path)], capture_output=True, check=True
        )
        assert decompressed.stdout == text.encode()


@pytest.mark.parametrize("dest", ["out.sdf", "out.sdf.xz"])
def test_bgzf_needs_a_gz_path(tmp_path, dest):
    with pytest.raises(ValueError, match="bgzf=True applies to paths ending in .gz"):
        molvane.write_sdf(str(tmp_path / dest), [], bgzf=True)
    assert not (tmp_path / dest).exists()


def test_sdf_writer_writes_bgzf(tmp_path):
    text = plain_text(20)
    path = tmp_path / "w.sdf.gz"
    with molvane.sdf_writer(str(path), bgzf=True, compresslevel=1) as out:
        for block in molvane.SDBlock.from_sdf(text):
            out.write(block)
    assert _gzaccess.is_bgzf(path) and gzip.decompress(path.read_bytes()) == text.encode()


@pytest.mark.parametrize("kind", [str, os.fsencode])
def test_every_reader_reads_bgzf_as_the_plain_file(made, kind):
    plain, packed = made
    expected = list(molvane.parse_sdf(kind(str(plain))))
    assert list(molvane.parse_sdf(kind(str(packed)))) == expected
    f = molvane.SDFile(kind(str(packed)))
    assert len(f) == len(expected) and list(f) == expected
    assert f[-1] == expected[-1] and f[3:40:7] == expected[3:40:7]
    # Virtual offsets: the member's start and the offset in it, which lead
    # back to the plain file's block starts.
    starts, sizes = members_of(packed)
    first = {start: sum(sizes[:k]) for k, start in enumerate(starts)}
    plain_offsets = list(molvane.SDFile(kind(str(plain))).offsets)
    assert [first[v >> 16] + (v & 0xFFFF) for v in f.offsets] == plain_offsets
    again = pickle.loads(pickle.dumps(f))
    assert list(again) == expected
    cuts = molvane.shards(kind(str(packed)), n=7)
    # Progress counts compressed bytes: a range read through ends at or past
    # the member where the next one starts.
    for a, z in cuts:
        blocks = molvane.parse_sdf(kind(str(packed)), start=a, stop=z)
        assert list(blocks) and z >> 16 <= blocks.position <= blocks.size
    assert [
        b for a, z in cuts for b in molvane.parse_sdf(kind(str(packed)), start=a, stop=z)
    ] == expected


def test_tables_of_bgzf_match_the_plain_file(made):
    pytest.importorskip("pyarrow")
    plain, packed = made
    assert molvane.to_arrow(str(packed)).equals(molvane.to_arrow(str(plain)))
    cuts = molvane.shards(str(packed), n=3)
    parts = [molvane.to_arrow(str(packed), start=a, stop=z, threads=1) for a, z in cuts]
    assert sum(p.num_rows for p in parts) == molvane.to_arrow(str(plain)).num_rows


@settings(
    max_examples=examples(25),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(
    count=st.integers(0, 40),
    seed=st.integers(0, 10**6),
    cut=st.one_of(
        st.builds(dict, n=st.integers(1, 12)), st.builds(dict, size=st.integers(1, 200000))
    ),
    universal=st.booleans(),
    newlines=st.sampled_from([("\n",), ("\n", "\r\n"), ("\r\n", "\r", "\n")]),
)
def test_shards_concatenate_to_the_whole_file(
    tmp_path_factory, count, seed, cut, universal, newlines
):
    text = plain_text(count, seed, newlines)
    path = write_bgzf(tmp_path_factory.mktemp("s") / "x.sdf.gz", text, "molvane")
    name = str(path) if universal else os.fsencode(str(path))
    pieces = molvane.shards(name, **cut)
    whole = list(molvane.parse_sdf(name))
    got = [list(molvane.parse_sdf(name, start=a, stop=z)) for a, z in pieces]
    assert all(got)  # no shard is empty
    assert [b for part in got for b in part] == whole
    assert [a for a, _ in pieces[1:]] == [z for _, z in pieces[:-1]]


def test_ranges_start_at_the_next_block_from_any_offset(made):
    _, packed = made
    f = molvane.SDFile(str(packed))
    offsets = list(f.offsets)
    # A cut inside block 5 reads from block 6; one at block 5's start from 5.
    assert list(molvane.parse_sdf(str(packed), start=offsets[5] + 1, stop=offsets[8])) == f[6:8]
    assert list(molvane.parse_sdf(str(packed), start=offsets[5], stop=offsets[8] + 1)) == f[5:9]


def test_dask_partitions_a_bgzf_file(made):
    pytest.importorskip("dask.dataframe")
    plain, packed = made
    with dask.config.set(scheduler="synchronous"):
        frame = mdask.read_sdf(str(packed), blocksize=1500)
        assert frame.npartitions > 1
        assert frame["ID"].sum().compute() == mdask.read_sdf(str(plain))["ID"].sum().compute()
        bag = mdask.read_blocks(str(packed), blocksize=1500)
        assert bag.compute() == list(molvane.parse_sdf(str(plain)))


def test_dask_samples_a_bgzf_file_by_its_decompressed_bytes(tmp_path):
    pytest.importorskip("dask.dataframe")
    # A record first seen past the first member, within the sample's bytes.
    text = plain_text(12) + sd_block(12).replace("$$$$", "> <LATE>\n1.5\n\n$$$$")
    path = write_bgzf(tmp_path / "late.sdf.gz", text, "molvane")
    assert members_of(path)[1][0] < len(text.encode()) - 200
    with dask.config.set(scheduler="synchronous"):
        frame = mdask.read_sdf(str(path), blocksize=1500, sample=len(text.encode()))
        assert frame["LATE"].sum().compute() == 1.5


def test_saved_index_is_used_and_refused_once_stale_or_foreign(made, tmp_path):
    plain, packed = made
    f = molvane.SDFile(str(packed))
    saved = f.save_index()
    assert saved == str(packed) + ".idx" and _gzaccess.is_saved_index(saved)
    assert list(molvane.SDFile(str(packed), index=saved)) == list(f)
    # Another BGZF file's index.
    other = write_bgzf(tmp_path / "other.sdf.gz", plain_text(5), "molvane")
    with pytest.raises(ValueError, match="is not the index of .*other.sdf.gz"):
        len(molvane.SDFile(str(other), index=saved))
    with pytest.raises(ValueError, match="is the index of a compressed file, not of"):
        len(molvane.SDFile(str(plain), index=saved))
    # The file rewritten (same bytes, new time): the index beside it is refused.
    os.utime(packed, ns=(1, 1))
    with pytest.raises(ValueError, match="modification time or content differs.*molvane index"):
        len(molvane.SDFile(str(packed)))
    # A bytes path's blocks follow another rule: a str index is not taken for it.
    os.unlink(saved)
    molvane.SDFile(str(packed)).save_index()
    with pytest.raises(ValueError, match="indexes the blocks of a str path"):
        len(molvane.SDFile(os.fsencode(str(packed)), index=saved))


@pytest.mark.parametrize("damage", ["cut", "corrupt", "crc"])
def test_damaged_members_are_named_by_file_and_offset(tmp_path, damage):
    path = write_bgzf(tmp_path / "d.sdf.gz", plain_text(40), "molvane")
    offsets, _ = members_of(path)
    data = bytearray(path.read_bytes())
    victim = offsets[2]
    if damage == "cut":
        del data[offsets[3] - 5 :]
        error, text = EOFError, f"member at byte {victim} is cut short"
    elif damage == "corrupt":
        data[victim + 18 : victim + 40] = b"\xff" * 22
        error, text = OSError, f"member at byte {victim} is corrupt"
    else:
        data[offsets[3] - 8] ^= 1
        error, text = OSError, f"member at byte {victim} is corrupt \\(its CRC32"
    path.write_bytes(bytes(data))
    with pytest.raises(error, match=text) as caught:
        list(molvane.SDFile(str(path)))
    assert "d.sdf.gz" in str(caught.value)


def test_cli_writes_bgzf_and_indexes_files(tmp_path, capsys):
    text = plain_text(30)
    source = tmp_path / "in.sdf.gz"
    source.write_bytes(gzip.compress(text.encode()))
    out = tmp_path / "out.sdf.gz"
    assert main(["cat", str(source), "-o", str(out), "--bgzf"]) == 0
    assert _gzaccess.is_bgzf(out) and gzip.decompress(out.read_bytes()) == text.encode()
    plain = tmp_path / "in.sdf"
    plain.write_text(text)
    capsys.readouterr()
    assert main(["index", str(plain), str(out)]) == 0
    assert capsys.readouterr().out.split() == [str(plain) + ".idx", str(out) + ".idx"]
    # Saved indexes are made as any file of the user's is (0o666 less the umask).
    umask = os.umask(0o022)
    os.umask(umask)
    assert os.stat(str(out) + ".idx").st_mode & 0o777 == 0o666 & ~umask
    assert list(molvane.SDFile(os.fsencode(str(out)))) == list(
        molvane.parse_sdf(os.fsencode(str(plain)))
    )
    pattern = str(tmp_path / "part-{n}.sdf.gz")
    assert main(["split", "-q", "-n", "2", str(source), "-o", pattern, "--bgzf"]) == 0
    parts = [tmp_path / f"part-{n}.sdf.gz" for n in range(2)]
    assert all(_gzaccess.is_bgzf(part) for part in parts)
    assert b"".join(gzip.decompress(part.read_bytes()) for part in parts) == text.encode()
    # A bz2 file has no index, and --bgzf needs a .gz file.
    packed = tmp_path / "in.sdf.bz2"
    packed.write_bytes(bz2.compress(text.encode()))
    assert main(["index", str(packed)]) == 2
    assert "not BGZF" in capsys.readouterr().err
    assert main(["cat", str(source), "-o", str(tmp_path / "x.sdf"), "--bgzf"]) == 2
    assert "bgzf=True applies to paths ending in .gz" in capsys.readouterr().err
    assert not (tmp_path / "x.sdf").exists()


def test_viewer_serves_bgzf_and_reuses_saved_plain_indexes(made, tmp_path):
    from molvane.viewer import check_file
    from molvane.viewer.catalog import ViewedFile

    plain, packed = made
    assert main(["index", "-q", str(plain)]) == 0
    expected = len(list(molvane.parse_sdf(os.fsencode(str(plain)))))
    for path in (plain, packed):
        check_file(str(path))
        viewed = ViewedFile(str(path))
        assert viewed.indexed.wait(60) and viewed.index_error is None
        assert viewed.count == expected
    # A saved index of the plain file is refused once the file changes.
    os.utime(plain, ns=(1, 1))
    viewed = ViewedFile(str(plain))
    assert viewed.indexed.wait(60) and "changed since it was indexed" in viewed.index_error
