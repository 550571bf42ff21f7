"""Plain gzip files (not BGZF) read at any block through the access points
that `molvane index` saves beside them; stale, cut and damaged files refused."""

import bz2
import gzip
import os
import pickle
import subprocess
import sys

import dask
import pytest
from conftest import examples
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_bgzf import plain_text, sd_block

import molvane
import molvane.dask as mdask
from molvane import _gzaccess, _gzindex
from molvane.cli import main

pytest.importorskip(
    "rapidgzip", reason="rapidgzip is not installed (pip install 'molvane[gzindex]')"
)

TEXT = plain_text(50, newlines=("\n", "\r\n", "\r")) + sd_block(50, newline="\r") + sd_block(51)


def write_gzip(path, text, members=1):
    """`text` as a plain gzip file of `members` members (cat a.gz b.gz)."""
    data = text.encode()
    cut = len(data) // members
    pieces = [data[k * cut : (k + 1) * cut if k < members - 1 else None] for k in range(members)]
    path.write_bytes(b"".join(gzip.compress(piece, mtime=0) for piece in pieces))
    return path


def indexed(path, text, members=1):
    write_gzip(path, text, members)
    assert main(["index", "-q", str(path)]) == 0
    return path


@pytest.fixture(params=[(1, ""), (3, "\r\n \n\n")], ids=["one-member", "three-members-blank-tail"])
def made(request, tmp_path):
    members, tail = request.param
    plain = tmp_path / "in.sdf"
    plain.write_text(TEXT + tail, newline="")
    return plain, indexed(tmp_path / "in.sdf.gz", TEXT + tail, members)


@pytest.mark.parametrize("kind", [str, os.fsencode])
def test_sdfile_over_an_indexed_gzip_reads_as_the_plain_file(made, kind):
    plain, packed = made
    expected = list(molvane.SDFile(kind(str(plain))))
    assert list(molvane.parse_sdf(kind(str(packed)))) == list(molvane.parse_sdf(kind(str(plain))))
    f = molvane.SDFile(kind(str(packed)))
    assert len(f) == len(expected) and [f[i] for i in range(len(f))] == expected
    assert f[-1] == expected[-1] and f[3:40:7] == expected[3:40:7]
    # Offsets count decompressed bytes: the plain file's own.
    assert list(f.offsets) == list(molvane.SDFile(kind(str(plain))).offsets)
    again = pickle.loads(pickle.dumps(f))
    assert list(again) == expected and list(again.offsets) == list(f.offsets)
    assert list(molvane.SDFile(kind(str(packed)), index=str(packed) + ".idx")) == expected


def test_ranges_and_tables_of_an_indexed_gzip_match_the_plain_file(made):
    pa = pytest.importorskip("pyarrow")
    plain, packed = made
    offsets = list(molvane.SDFile(str(plain)).offsets)
    f = molvane.SDFile(str(packed))
    # A range starts at the next block from any offset, as in a plain file.
    assert list(molvane.parse_sdf(str(packed), start=offsets[5] + 1, stop=offsets[8])) == f[6:8]
    assert list(molvane.parse_sdf(str(packed), start=offsets[5], stop=offsets[8] + 1)) == f[5:9]
    cuts = molvane.shards(str(packed), n=3)
    parts = [molvane.to_arrow(str(packed), start=a, stop=z, threads=1) for a, z in cuts]
    assert pa.concat_tables(parts).equals(molvane.to_arrow(str(plain)))
    for a, z in cuts:  # progress counts the compressed file's bytes
        blocks = molvane.parse_sdf(str(packed), start=a, stop=z)
        assert list(blocks) and 0 < blocks.position <= blocks.size == os.path.getsize(packed)


@settings(
    max_examples=examples(20),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(
    count=st.integers(0, 30),
    seed=st.integers(0, 10**6),
    members=st.integers(1, 3),
    cut=st.one_of(
        st.builds(dict, n=st.integers(1, 12)), st.builds(dict, size=st.integers(1, 50000))
    ),
    universal=st.booleans(),
    newlines=st.sampled_from([("\n",), ("\n", "\r\n"), ("\r\n", "\r", "\n")]),
)
def test_shards_concatenate_to_the_whole_file(
    tmp_path_factory, count, seed, members, cut, universal, newlines
):
    text = plain_text(count, seed, newlines)
    path = indexed(tmp_path_factory.mktemp("s") / "x.sdf.gz", text, members)
    name = str(path) if universal else os.fsencode(str(path))
    pieces = molvane.shards(name, **cut)
    whole = list(molvane.parse_sdf(name))
    got = [list(molvane.parse_sdf(name, start=a, stop=z)) for a, z in pieces]
    assert all(got)  # no shard is empty
    assert [b for part in got for b in part] == whole
    assert [a for a, _ in pieces[1:]] == [z for _, z in pieces[:-1]]
    assert list(molvane.SDFile(name)) == whole


def test_dask_partitions_an_indexed_gzip(made):
    pytest.importorskip("dask.dataframe")
    plain, packed = made
    with dask.config.set(scheduler="synchronous"):
        frame = mdask.read_sdf(str(packed), blocksize=500)
        assert frame.npartitions > 1
        whole = mdask.read_sdf(str(plain), blocksize=None).compute()
        assert frame.compute().reset_index(drop=True).equals(whole.reset_index(drop=True))
        bag = mdask.read_blocks(str(packed), blocksize=500)
        assert bag.npartitions > 1
        assert bag.compute() == mdask.read_blocks(str(plain), blocksize=500).compute()


def rewritten(packed, tmp_path):
    write_gzip(packed, TEXT.replace("molvane", "MOLVANE"))
    return str(packed), None


def touched(packed, tmp_path):
    os.utime(packed, ns=(1, 1))
    return str(packed), None


def cut_after(packed, tmp_path):
    data = packed.read_bytes()
    packed.write_bytes(data[: len(data) // 2])
    os.utime(packed, ns=(os.stat(str(packed) + ".idx").st_mtime_ns,) * 2)
    return str(packed), None


def foreign(packed, tmp_path):
    other = indexed(tmp_path / "other.sdf.gz", plain_text(5))
    return str(packed), str(other) + ".idx"


@pytest.mark.parametrize("change", [rewritten, touched, cut_after, foreign])
def test_an_index_that_does_not_match_the_file_is_refused(made, tmp_path, change):
    _, packed = made
    name, index = change(packed, tmp_path)
    stale = "is not the index of .*as it is now.*molvane index"
    with pytest.raises(_gzaccess.StaleIndexError, match=stale):
        len(molvane.SDFile(name, index=index))
    if index is None:
        with pytest.raises(_gzaccess.StaleIndexError, match=stale):
            molvane.shards(name, n=2)
        with pytest.raises(_gzaccess.StaleIndexError, match=stale):
            list(molvane.parse_sdf(name, start=0, stop=100))


def test_a_read_short_of_what_the_index_promises_raises(made):
    _, packed = made
    saved = str(packed) + ".idx"
    with open(saved, "rb") as file:
        index = _gzindex.GzIndex.decode(file.read(), saved)
    # An index that holds one more block than the file: its read comes short.
    longer = index.starts[:]
    longer.append(index.total + 100)
    forged = index._replace(total=index.total + 100, starts=longer, universal=None)
    _gzaccess.write_atomically(saved, forged.encode())
    f = molvane.SDFile(str(packed))
    assert f[0] == next(iter(molvane.parse_sdf(str(packed))))
    with pytest.raises(EOFError, match="in.sdf.gz.*before byte .*the file is cut or damaged"):
        f[-1]


@pytest.mark.parametrize(
    ("damage", "error"),
    [("cut", "the gzip data ends early: the file is truncated"), ("corrupt", "corrupt")],
)
def test_a_damaged_gzip_is_refused_at_indexing(tmp_path, capsys, damage, error):
    path = write_gzip(tmp_path / "bad.sdf.gz", TEXT)
    data = bytearray(path.read_bytes())
    if damage == "cut":
        del data[len(data) * 2 // 3 :]
    else:
        data[-8] ^= 0xFF  # the CRC32 of the data
    path.write_bytes(bytes(data))
    assert main(["index", str(path)]) == 2
    assert "bad.sdf.gz" in (err := capsys.readouterr().err) and error in err
    assert not os.path.exists(str(path) + ".idx")
    assert [p.name for p in tmp_path.iterdir()] == ["bad.sdf.gz"]


def test_cli_index_exit_codes(tmp_path, capsys, monkeypatch):
    packed = write_gzip(tmp_path / "a.sdf.gz", TEXT)
    assert main(["index", str(packed)]) == 0
    assert capsys.readouterr().out.split() == [str(packed) + ".idx"]
    # Again over a file rewritten since: the index is built anew, not reused.
    write_gzip(packed, TEXT + TEXT)
    assert main(["index", "-q", str(packed)]) == 0
    assert list(molvane.SDFile(str(packed))) == list(molvane.parse_sdf(str(packed)))
    assert _gzaccess.is_saved_index(str(packed) + ".idx") and _gzaccess.splittable(str(packed))
    other = tmp_path / "a.sdf.bz2"
    other.write_bytes(bz2.compress(TEXT.encode()))
    assert main(["index", str(other)]) == 2
    assert "not BGZF" in capsys.readouterr().err
    assert main(["index", str(tmp_path / "missing.sdf.gz")]) == 2
    capsys.readouterr()
    # Without rapidgzip the command names the extra to install, and saves nothing.
    fresh = write_gzip(tmp_path / "b.sdf.gz", TEXT)
    monkeypatch.setitem(sys.modules, "rapidgzip", None)
    assert main(["index", str(fresh)]) == 2
    assert "pip install 'molvane[gzindex]'" in capsys.readouterr().err
    assert not os.path.exists(str(fresh) + ".idx")
    with pytest.raises(ImportError, match=r"molvane\[gzindex\]"):
        len(molvane.SDFile(str(packed)))


def test_without_an_index_a_plain_gzip_is_refused_naming_the_way_out(tmp_path):
    packed = write_gzip(tmp_path / "x.sdf.gz", TEXT)
    assert not _gzaccess.splittable(str(packed))
    way_out = r"--bgzf\), or index it once \(molvane index .*x\.sdf\.gz"
    for use in (lambda: len(molvane.SDFile(str(packed))), lambda: molvane.shards(str(packed))):
        with pytest.raises(ValueError, match=way_out):
            use()
    # A BGZF file's index is not taken for a plain gzip file.
    bgzf = tmp_path / "y.sdf.gz"
    molvane.write_sdf(str(bgzf), molvane.parse_sdf(str(packed)), bgzf=True)
    saved = molvane.SDFile(str(bgzf)).save_index()
    with pytest.raises(ValueError, match="is the index of a BGZF file"):
        len(molvane.SDFile(str(packed), index=saved))


def test_the_interpreter_exits_cleanly_with_readers_open(made):
    # rapidgzip aborts an interpreter that ends with one of its files open:
    # ours are closed at exit, whatever still holds them.
    _, packed = made
    child = (
        "import molvane\n"
        f"f = molvane.SDFile({str(packed)!r})\n"
        "block = f[3]\n"
        f"reader = molvane.parse_sdf({str(packed)!r}, start=0, stop=1 << 40)\n"
        "first = next(reader)\n"
        "print(block == first or len(f))\n"
    )
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout.strip() == str(len(molvane.SDFile(str(packed)))).encode()


def test_the_viewer_opens_an_indexed_gzip(made):
    from molvane.viewer import FileRefused, check_file

    _, packed = made
    check_file(str(packed))
    os.unlink(str(packed) + ".idx")
    with pytest.raises(FileRefused, match="gzip-compressed"):
        check_file(str(packed))
