import os
import subprocess
import sys

import dask
import distributed
import pyarrow as pa
import pytest
from conftest import V2000_COUNTS, corpus_params, examples, texts
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sd_blocks import sd_block, write

import molvane
import molvane.dask as mdask


def arrow(frame):
    return pa.Table.from_pandas(frame, preserve_index=False)


@pytest.fixture(scope="module")
def cluster():
    with (
        distributed.LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
        ) as local,
        distributed.Client(local, set_as_default=False) as client,
    ):
        yield client


# Worker processes under the AddressSanitizer preload report leaks in
# third-party code, so the sanitizer run leaves the cluster cases out.
@pytest.fixture(params=["threads", pytest.param("cluster", marks=pytest.mark.cluster)])
def scheduler(request):
    target = request.getfixturevalue("cluster") if request.param == "cluster" else "threads"
    with dask.config.set(scheduler=target):
        yield request.param


@pytest.fixture
def mixed(tmp_path):
    """Forty blocks of ints, floats and text, a record seen only in some."""
    blocks = [
        sd_block(
            f"m{i}",
            [("ID", i), ("LOGP", i / 4), ("NAME", f"n {i}")] + ([("NOTE", "x")] if i % 3 else []),
        )
        for i in range(40)
    ]
    return write(tmp_path / "mixed.sdf", blocks)


# --- equal to one-process reading ------------------------------------------------


@pytest.mark.parametrize("kind", [str, os.fsencode], ids=["str", "bytes"])
@pytest.mark.parametrize("blocksize", [1, 700, "2 KiB", None])
def test_frame_and_bag_equal_one_process(scheduler, mixed, kind, blocksize):
    path = kind(str(mixed))
    frame = mdask.read_sdf(path, blocksize=blocksize, molblock="molblock")
    size = dask.utils.parse_bytes(blocksize) if isinstance(blocksize, str) else blocksize
    expected = len(molvane.shards(path, size=size)) if size is not None else 1
    assert frame.npartitions == expected
    assert arrow(frame.compute()).equals(molvane.to_arrow(path, molblock="molblock"))
    bag = mdask.read_blocks(path, blocksize=blocksize)
    assert bag.npartitions == expected
    want = str if kind is str else bytes
    assert texts(bag.compute(), want) == texts(molvane.parse_sdf(path), want)


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_frames_equal_to_arrow(path):
    source = os.fsencode(path)
    try:
        expected = molvane.to_arrow(source, errors="skip")
    except Exception as error:
        with pytest.raises(type(error)):
            mdask.read_sdf(source, blocksize=500, errors="skip").compute(scheduler="sync")
        return
    frame = mdask.read_sdf(source, blocksize=500, errors="skip")
    assert arrow(frame.compute(scheduler="sync")).equals(expected)


@pytest.mark.cluster
def test_corpus_files_on_the_cluster(cluster):
    files = sorted(
        corpus_params(), key=lambda p: -os.path.getsize(p.values[0]) if p.values[0] else 0
    )[:4]
    paths = [p.values[0] for p in files]
    if paths[0] is None:
        pytest.skip("the corpus folder is absent")
    bag = mdask.read_blocks([os.fsencode(p) for p in paths], blocksize=4096)
    # Without the whitespace after a file's last $$$$, which is no block.
    expected = [b for p in paths for b in molvane.SDFile(os.fsencode(p))]
    assert texts(cluster.compute(bag).result()) == texts(expected)


def test_globs_lists_and_compressed_files(scheduler, tmp_path):
    parts = [[sd_block(f"f{f}b{i}", [("ID", f * 100 + i)]) for i in range(12)] for f in range(3)]
    write(tmp_path / "a.sdf", parts[0])
    write(tmp_path / "b.sdf", parts[1])
    molvane.write_sdf(
        str(tmp_path / "c.sdf.gz"), molvane.SDBlock.from_sdf("".join(parts[2]).encode())
    )
    everything = [b for part in parts for b in part]
    for source in (str(tmp_path / "*.sdf*"), [tmp_path / "a.sdf", str(tmp_path / "[bc].sdf*")]):
        bag = mdask.read_blocks(source, blocksize=200)
        assert bag.npartitions == len(molvane.shards(tmp_path / "a.sdf", size=200)) * 2 + 1
        assert [str(b) for b in bag.compute()] == everything
        frame = mdask.read_sdf(source, blocksize=200).compute()
        assert frame["ID"].tolist() == [f * 100 + i for f in range(3) for i in range(12)]


@settings(
    max_examples=examples(25),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(
    values=st.lists(
        st.sampled_from(["1", "-7", "2.5", "text", "", "007"]), min_size=1, max_size=30
    ),
    blocksize=st.integers(1, 600),
)
def test_any_blocksize_reads_every_block_once(tmp_path, values, blocksize):
    path = write(tmp_path / "p.sdf", [sd_block(f"t{i}", [("V", v)]) for i, v in enumerate(values)])
    frame = mdask.read_sdf(str(path), blocksize=blocksize, types="str").compute(scheduler="sync")
    assert arrow(frame).equals(molvane.to_arrow(str(path), types="str"))
    bag = mdask.read_blocks(str(path), blocksize=blocksize)
    assert texts(bag.compute(scheduler="sync"), str) == texts(molvane.parse_sdf(str(path)), str)


# --- columns and types of the frame ------------------------------------------------

# (values of X in the sample block, then in the later blocks, options,
#  expected: an error text, or to_arrow options giving the same table)
META_CASES = {
    "int then float raises": (["1"], ["3", "2.5"], {}, "types="),
    "int then float, types given": (["1"], ["2.5"], {"types": {"X": "float"}}, {}),
    "float then int": (["1.5"], ["2"], {}, {}),
    "text keeps numbers as written": (["a"], ["007", "1e3"], {}, {"types": {"X": "str"}}),
    "missing later is null": (["1"], [None, None], {}, {}),
    "int then text raises": (["1"], ["many"], {}, "many"),
    "int then text skipped": (
        ["1"],
        ["many"],
        {"errors": "skip"},
        {"types": {"X": "int"}, "errors": "skip"},
    ),
    "int then text, types given": (
        ["1"],
        ["many"],
        {"types": {"X": "str"}},
        {"types": {"X": "str"}},
    ),
    "unseen record raises": ([None], ["1"], {}, "columns="),
    "unseen record, columns given": (
        [None],
        ["1"],
        {"columns": ["ID", "X"]},
        {"columns": ["ID", "X"], "types": {"X": "str"}},
    ),
}


@pytest.mark.parametrize(
    "first, later, options, expected", META_CASES.values(), ids=META_CASES.keys()
)
def test_meta_from_the_sample(scheduler, tmp_path, first, later, options, expected):
    values = first + later
    records = [[("ID", i)] + ([("X", v)] if v is not None else []) for i, v in enumerate(values)]
    path = write(tmp_path / "m.sdf", [sd_block(f"b{i}", r) for i, r in enumerate(records)])
    # The sample holds the first block only; every block is a partition.
    frame = mdask.read_sdf(str(path), blocksize=1, schema="sample", sample=10, **options)
    assert frame.npartitions == len(values)
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            frame.compute()
    else:
        assert arrow(frame.compute()).equals(molvane.to_arrow(str(path), **expected))


@pytest.mark.parametrize("selection", ["ID", ["title", "LOGP"], ["molblock", "NOTE", "ID"]])
def test_a_projection_builds_only_its_columns(scheduler, mixed, selection):
    frame = mdask.read_sdf(str(mixed), blocksize=700, molblock="molblock")
    whole = frame.compute()
    assert frame[selection].compute().equals(whole[selection])
    # A column that cannot be built as asked is never built when left out.
    typed = mdask.read_sdf(str(mixed), blocksize=700, schema={"ID": "int", "NAME": "int"})
    assert typed["ID"].sum().compute() == sum(range(40))
    with pytest.raises(ValueError, match="NAME"):
        typed.compute()


def test_meta_is_known_before_computing(mixed):
    frame = mdask.read_sdf(str(mixed), blocksize=300, schema="sample", sample=10)
    assert list(frame.columns) == ["title", "ID", "LOGP", "NAME"]
    assert [str(t) for t in frame.dtypes] == "string int64[pyarrow] double[pyarrow] string".split()


# --- writing ---------------------------------------------------------------------


@pytest.mark.parametrize("suffix", [".sdf", ".sdf.gz"])
def test_to_sdf_round_trips(scheduler, mixed, tmp_path, suffix):
    bag = mdask.read_blocks(os.fsencode(mixed), blocksize=250)
    paths = mdask.to_sdf(bag, tmp_path / "out" / f"part-*{suffix}")
    width = len(str(bag.npartitions - 1))
    assert bag.npartitions > 10 and [os.path.basename(p) for p in paths] == [
        f"part-{i:0{width}d}{suffix}" for i in range(bag.npartitions)
    ]
    written = [bytes(b) for p in paths for b in molvane.parse_sdf(os.fsencode(p))]
    assert b"".join(written) == mixed.read_bytes()

    frame = mdask.read_sdf(str(mixed), blocksize=600, molblock="molblock")
    paths = mdask.to_sdf(frame, str(tmp_path / "frame" / f"*{suffix}"))
    one = tmp_path / "one.sdf"
    molvane.write_sdf(
        str(one), molvane.from_table(molvane.to_arrow(str(mixed), molblock="molblock"))
    )
    assert "".join(str(b) for p in paths for b in molvane.parse_sdf(p)) == one.read_text()

    frame = mdask.read_sdf(os.fsencode(mixed), blocksize=600, block="block")
    paths = mdask.to_sdf(frame, str(tmp_path / "whole" / f"*{suffix}"), block="block")
    assert (
        b"".join(bytes(b) for p in paths for b in molvane.parse_sdf(os.fsencode(p)))
        == mixed.read_bytes()
    )


# --- arguments and extras ----------------------------------------------------------

BAD_CALLS = {
    "zero blocksize": (lambda p: mdask.read_sdf(p, blocksize=0), ValueError),
    "bool blocksize": (lambda p: mdask.read_blocks(p, blocksize=True), ValueError),
    "unreadable size": (lambda p: mdask.read_sdf(p, blocksize="lots"), ValueError),
    "str and bytes": (lambda p: mdask.read_blocks([p, os.fsencode(p)]), TypeError),
    "glob without match": (lambda p: mdask.read_sdf(p + "*.nothing"), FileNotFoundError),
    "pattern without star": (lambda p: mdask.to_sdf(mdask.read_blocks(p), p + ".out"), ValueError),
    "not a collection": (lambda p: mdask.to_sdf([1], p + "-*.sdf"), TypeError),
}


@pytest.mark.parametrize("call, error", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_bad_arguments(mixed, call, error):
    with pytest.raises(error):
        call(str(mixed))


def test_molvane_does_not_import_dask_and_names_the_extra():
    code = (
        "import sys, molvane, molvane.dask\n"
        "assert 'dask' not in sys.modules\n"
        "sys.modules['dask.dataframe'] = None\n"
        "try:\n    molvane.dask.read_sdf('x.sdf')\n"
        "except ImportError as e:\n    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "pip install 'molvane[dask]'" in out.stdout


@pytest.mark.parametrize("make", ["read_sdf", "read_blocks"])
def test_to_sdf_refuses_its_own_inputs(scheduler, mixed, tmp_path, make):
    folder = tmp_path / "dk"
    folder.mkdir()
    source = folder / "0.sdf"  # the first part's name
    source.write_bytes(mixed.read_bytes())
    collection = getattr(mdask, make)(str(source), blocksize=1024)
    assert 1 < collection.npartitions <= 10
    with pytest.raises(ValueError, match="own input files"):
        mdask.to_sdf(collection, str(folder / "*.sdf"))
    assert source.read_bytes() == mixed.read_bytes()
    assert [p.name for p in folder.iterdir()] == ["0.sdf"]


@pytest.mark.parametrize("make", ["read_sdf", "read_blocks"])
def test_a_file_changed_after_reading_raises_at_compute(scheduler, mixed, make):
    collection = getattr(mdask, make)(str(mixed), blocksize=256)
    data = mixed.read_bytes()
    mixed.write_bytes(data + data)  # rewritten: twice the blocks
    with pytest.raises(OSError, match="changed since the collection was made"):
        collection.compute()


@pytest.mark.parametrize("blocksize", [None, 120])
def test_frames_keep_numbers_as_written(scheduler, tmp_path, blocksize):
    # Frames are made as to_pandas makes them, and a frame's partitions
    # written back give each number as it was written.
    values = ["4.260", "120", None, "1e3", "9007199254740992", "-0.0", "35"]
    text = "".join(
        f"m{i}\n\n\n{V2000_COUNTS}M  END\n"
        + (f"> <V>\n{v}\n\n> <N>\n{i:03d}\n\n" if v else f"> <N>\n{i:03d}\n\n")
        + "$$$$\n"
        for i, v in enumerate(values)
    )
    path = tmp_path / "in.sdf"
    path.write_text(text)
    frame = mdask.read_sdf(str(path), blocksize=blocksize, sample=100)
    whole = molvane.to_pandas(str(path))
    assert dict(frame.dtypes) == dict(whole.dtypes)
    assert str(whole.dtypes["V"]) == "double[pyarrow]"
    assert str(whole.dtypes["N"]) == "int64[pyarrow]"
    paths = mdask.to_sdf(frame, str(tmp_path / "out" / "*.sdf"))
    assert "".join(str(b) for p in paths for b in molvane.parse_sdf(p)) == text
