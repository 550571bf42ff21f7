"""Remote files through fsspec: every reader gives from a URL what it gives
from the same bytes on a local disk.

The stores are real servers started here on 127.0.0.1: moto's S3 server
(s3://) and a standard-library HTTP server that honours Range requests
(http://), beside fsspec's in-process memory:// and file://.
"""

from __future__ import annotations

import collections
import gzip
import http.server
import importlib.util
import os
import pathlib
import pickle
import re
import sys
import threading

import pytest
from conftest import examples

fsspec = pytest.importorskip("fsspec")
pytest.importorskip("s3fs")
pytest.importorskip("aiohttp")
moto_server = pytest.importorskip("moto.server")
pa = pytest.importorskip("pyarrow")
zstandard = pytest.importorskip("zstandard")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from sd_blocks import sd_block  # noqa: E402

import molvane  # noqa: E402
from molvane import _remote  # noqa: E402
from molvane.cli import main  # noqa: E402

BUCKET = "molvane-test"


def library() -> bytes:
    """Blocks of LF, CR LF and lone-CR lines (str and bytes paths cut them
    differently), a block larger than the first window around a cut, and
    text after the last $$$$ line."""
    blocks = []
    for i in range(120):
        newline = "\r\n" if i % 7 == 3 else "\r" if i % 11 == 5 else "\n"
        records = [("ID", i), ("LOGP", i / 4), ("NAME", f"mol {i} é")]
        if i == 40:
            records.append(("BIG", "x" * 150_000))
        blocks.append(sd_block(f"m{i}", records, newline))
    return "".join(blocks).encode() + b"trailing\n  text\n"


DATA = library()
FILES = {
    "lib.sdf": DATA,
    "lib.sdf.gz": gzip.compress(DATA),
    "lib.sdf.zst": zstandard.ZstdCompressor().compress(DATA),
    "cut.sdf.gz": gzip.compress(DATA)[:-100],
    "empty.sdf": b"",
    # read only by the test that counts what a range fetches
    "ranged-str.sdf": DATA,
    "ranged-bytes.sdf": DATA,
}


# --- the servers ----------------------------------------------------------------------


class _RangeHandler(http.server.BaseHTTPRequestHandler):
    files: dict[str, bytes] = {}
    # bytes of bodies sent by file, to see what a read fetched (a reader of
    # another test may still be fetching ahead of it on a thread)
    served: collections.Counter[str] = collections.Counter()

    def log_message(self, *args: object) -> None:
        pass

    def _send(self, body: bool) -> None:
        data = self.files.get(self.path.lstrip("/"))
        if data is None:
            self.send_error(404)
            return
        start, stop = 0, len(data)
        wanted = self.headers.get("Range")
        match = re.fullmatch(r"bytes=(\d*)-(\d*)", wanted or "")
        if match and data:
            start = int(match[1] or 0)
            stop = min(len(data), int(match[2]) + 1 if match[2] else len(data))
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{stop - 1}/{len(data)}")
        else:
            self.send_response(200)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(stop - start))
        self.end_headers()
        if body:
            # Counted before it is sent: the client may go on once it has it.
            type(self).served[self.path.lstrip("/")] += stop - start
            self.wfile.write(data[start:stop])

    def do_GET(self) -> None:
        self._send(True)

    def do_HEAD(self) -> None:
        self._send(False)


@pytest.fixture(scope="module")
def http_root():
    _RangeHandler.files = dict(FILES)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _RangeHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


def _make_bucket(options, name):
    import boto3

    boto3.client(
        "s3",
        aws_access_key_id=options["key"],
        aws_secret_access_key=options["secret"],
        **options["client_kwargs"],
    ).create_bucket(Bucket=name)


@pytest.fixture(scope="module")
def s3_options():
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"):
        os.environ.setdefault(name, "testing")
    server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    options = {
        "key": "testing",
        "secret": "testing",
        "client_kwargs": {"endpoint_url": f"http://{host}:{port}", "region_name": "us-east-1"},
    }
    _make_bucket(options, BUCKET)
    fs = fsspec.filesystem("s3", skip_instance_cache=True, **options)
    for name, data in FILES.items():
        fs.pipe_file(f"{BUCKET}/{name}", data)
    yield options
    server.stop()


@pytest.fixture(scope="module")
def local_root(tmp_path_factory):
    root = tmp_path_factory.mktemp("remote")
    for name, data in FILES.items():
        (root / name).write_bytes(data)
    return root


def _store(request, local_root, where):
    if where == "memory":
        fs = fsspec.filesystem("memory")
        for name, data in FILES.items():
            fs.pipe_file(f"/molvane-test/{name}", data)
        return "memory://molvane-test/", {}
    if where == "http":
        return request.getfixturevalue("http_root"), {}
    if where == "s3":
        return f"s3://{BUCKET}/", request.getfixturevalue("s3_options")
    return f"file://{local_root}/", {}


@pytest.fixture(scope="module", params=["memory", "http", "s3", "file"])
def store(request, local_root):
    """(URL prefix, storage_options) of one store holding FILES."""
    return _store(request, local_root, request.param)


@pytest.fixture(scope="module", params=["memory", "http", "s3"])
def remote_store(request, local_root):
    """A store other than the local disk (file:// URLs are local paths)."""
    return _store(request, local_root, request.param)


@pytest.fixture
def s3_default(monkeypatch, s3_options):
    """fsspec's configuration pointing s3:// at the test server, as a user's
    FSSPEC_S3_* variables would, for calls that take no storage_options."""
    monkeypatch.setitem(fsspec.config.conf, "s3", dict(s3_options))
    return f"s3://{BUCKET}/"


def texts(blocks) -> list[object]:
    return [str(b) if isinstance(b.title, str) else bytes(b) for b in blocks]


def url_of(prefix: str, name: str, kind: type) -> str | bytes:
    url = prefix + name
    return url if kind is str else url.encode()


def local_of(local_root, name: str, kind: type) -> str | bytes:
    path = str(local_root / name)
    return path if kind is str else path.encode()


# --- whole files ------------------------------------------------------------------------


@pytest.mark.parametrize("kind", [str, bytes])
@pytest.mark.parametrize("name", ["lib.sdf", "lib.sdf.gz", "lib.sdf.zst", "empty.sdf"])
def test_every_reader_gives_the_local_blocks(store, local_root, name, kind):
    prefix, options = store
    url, local = url_of(prefix, name, kind), local_of(local_root, name, kind)
    expected = texts(molvane.parse_sdf(local))
    assert texts(_remote.parse_url(url, storage_options=options)) == expected
    if not options:
        assert texts(molvane.parse_sdf(url)) == expected
    table = molvane.to_arrow(url, storage_options=options, block="block")
    assert table.equals(molvane.to_arrow(local, block="block", threads=1))
    batches = molvane.iter_batches(url, 7, storage_options=options, types="str")
    local_batches = molvane.iter_batches(local, 7, types="str")
    assert [b.to_pylist() for b in batches] == [b.to_pylist() for b in local_batches]


@pytest.mark.parametrize("kind", [str, bytes])
def test_sdfile_reads_blocks_by_ranges(store, local_root, kind, monkeypatch):
    # Small fetches make the index scan cross many chunk ends, mid-block and
    # mid-line.
    monkeypatch.setattr(_remote, "_CHUNK", 4093)
    prefix, options = store
    url = url_of(prefix, "lib.sdf", kind)
    local = molvane.SDFile(local_of(local_root, "lib.sdf", kind))
    remote = _remote.sdfile(url, storage_options=options) if options else molvane.SDFile(url)
    assert bytes(remote.offsets) == bytes(local.offsets)
    assert len(remote) == len(local)
    for i in (0, 40, 41, -1, len(local) // 2):
        assert texts([remote[i]]) == texts([local[i]])
    for key in (slice(3, 9), slice(None, None, 17), slice(-5, None), slice(9, 3)):
        assert texts(remote[key]) == texts(local[key])
    assert texts(remote) == texts(local)
    again = pickle.loads(pickle.dumps(remote))
    assert texts([again[5]]) == texts([local[5]])
    with pytest.raises(IndexError):
        remote[len(local)]


def test_a_saved_index_replaces_the_scan(remote_store, local_root, tmp_path):
    prefix, options = remote_store
    url = prefix + "lib.sdf"
    saved = _remote.sdfile(url, storage_options=options).save_index(tmp_path / "lib.idx")
    loaded = _remote.sdfile(url, index=saved, storage_options=options)
    assert loaded._offsets is not None  # taken from the file, not scanned
    assert texts(loaded[38:43]) == texts(molvane.SDFile(str(local_root / "lib.sdf"))[38:43])
    with pytest.raises(ValueError, match="blocks of a str path"):
        _remote.sdfile(url.encode(), index=saved, storage_options=options)


@pytest.mark.parametrize("where", ["memory", "s3"])
def test_an_index_of_another_version_of_the_same_size_is_refused(
    request, local_root, where, tmp_path
):
    prefix, options = _store(request, local_root, where)
    url = prefix + "rewritten.sdf"
    fs, path = fsspec.core.url_to_fs(url, **options)
    fs.pipe_file(path, FILES["lib.sdf"])
    saved = _remote.sdfile(url, storage_options=options).save_index(tmp_path / "lib.idx")
    assert len(_remote.sdfile(url, index=saved, storage_options=options)) > 1
    # One value edited in place: the same size, another file.
    fs.pipe_file(path, FILES["lib.sdf"].replace(b"$$$$", b"####", 1))
    with pytest.raises(OSError, match="another version of the file"):
        _remote.sdfile(url, index=saved, storage_options=options)


# --- cuts -------------------------------------------------------------------------------


cuts = st.lists(st.integers(0, len(DATA) + 10), min_size=1, max_size=4)


@pytest.mark.parametrize("kind", [str, bytes])
@pytest.mark.parametrize("where", ["memory", "http"])
@settings(
    max_examples=examples(30),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(points=cuts, pieces=st.integers(1, 40), small=st.booleans())
def test_shards_and_ranges_cut_where_local_files_cut(
    where, kind, points, pieces, small, request, local_root
):
    prefix = "memory://molvane-test/" if where == "memory" else request.getfixturevalue("http_root")
    if where == "memory":
        for name, data in FILES.items():
            fsspec.filesystem("memory").pipe_file(f"/molvane-test/{name}", data)
    url, local = url_of(prefix, "lib.sdf", kind), local_of(local_root, "lib.sdf", kind)
    back, forward = _remote._BACK, _remote._FORWARD
    if small:
        # Windows smaller than a line and a block: they must grow until they tell.
        _remote._BACK, _remote._FORWARD = 3, 5
    try:
        assert molvane.shards(url, n=pieces) == molvane.shards(local, n=pieces)
        size = max(1, len(DATA) // pieces)
        assert molvane.shards(url, size=size) == molvane.shards(local, size=size)
        start, stop = min(points), max(points)
        assert texts(molvane.parse_sdf(url, start=start, stop=stop)) == texts(
            molvane.parse_sdf(local, start=start, stop=stop)
        )
        assert texts(molvane.parse_sdf(url, start=stop)) == texts(
            molvane.parse_sdf(local, start=stop)
        )
    finally:
        _remote._BACK, _remote._FORWARD = back, forward


def test_shards_read_as_ranges_make_the_whole_table(store, local_root):
    prefix, options = store
    url, local = prefix + "lib.sdf", str(local_root / "lib.sdf")
    ranges = _remote.shards(url, 5, 0, options)
    assert ranges == molvane.shards(local, n=5)
    blocks = []
    for a, b in ranges:
        part = molvane.to_arrow(url, start=a, stop=b, storage_options=options, block="b")
        assert part.equals(molvane.to_arrow(local, start=a, stop=b, block="b", threads=1))
        blocks += part.column("b").to_pylist()
    assert blocks == molvane.to_arrow(local, block="b", threads=1).column("b").to_pylist()


@pytest.mark.parametrize("kind", [str, bytes])
def test_a_range_fetches_its_bytes_and_windows_only(http_root, local_root, kind, monkeypatch):
    monkeypatch.setattr(_remote, "_BACK", 256)
    monkeypatch.setattr(_remote, "_FORWARD", 1024)
    name = f"ranged-{kind.__name__}.sdf"
    url, local = url_of(http_root, name, kind), local_of(local_root, name, kind)
    ranges = molvane.shards(local, size=2000)
    assert len(ranges) > 3
    window = _remote._BACK + _remote._FORWARD
    for start, stop in ranges[-3:]:
        before = _RangeHandler.served[name]
        got = texts(molvane.parse_sdf(url, start=start + 1, stop=stop + 1))
        assert got == texts(molvane.parse_sdf(local, start=start + 1, stop=stop + 1))
        # Two windows around the cuts, then the blocks between them.
        assert _RangeHandler.served[name] - before <= 2 * window + (stop - start) + 1000


# --- errors -----------------------------------------------------------------------------


def test_a_cut_compressed_file_raises_naming_the_url(store, local_root):
    prefix, options = store
    url = prefix + "cut.sdf.gz"
    shown = str(local_root / "cut.sdf.gz") if prefix.startswith("file:") else url
    with pytest.raises(EOFError, match=re.escape(repr(shown)) + ": the gzip data ends early"):
        list(_remote.parse_url(url, storage_options=options))


@pytest.mark.parametrize("call", ["shards", "sdfile", "range"])
def test_random_access_to_compressed_remote_files_is_refused(remote_store, call):
    prefix, options = remote_store
    url = prefix + "lib.sdf.gz"
    with pytest.raises(ValueError, match=re.escape(url) + ".*compressed"):
        if call == "shards":
            _remote.shards(url, 2, 0, options)
        elif call == "sdfile":
            _remote.sdfile(url, storage_options=options)
        else:
            _remote.parse_url(url, 10, 100, options)


def test_a_missing_object_is_one_clear_error(store):
    prefix, options = store
    url = prefix + "missing.sdf"
    with pytest.raises(FileNotFoundError) as caught:
        list(_remote.parse_url(url, storage_options=options))
    assert url.replace("file://", "") in str(caught.value)


def test_missing_packages_name_what_to_install(monkeypatch):
    with pytest.raises(ImportError, match=r"pip install 'molvane\[remote\]' gcsfs"):
        molvane.parse_sdf("gs://bucket/x.sdf")
    monkeypatch.setitem(sys.modules, "fsspec", None)
    with pytest.raises(ImportError, match=r"pip install 'molvane\[remote\]'"):
        molvane.to_arrow("s3://bucket/x.sdf")
    with pytest.raises(ImportError, match=r"molvane\[remote\]"):
        molvane.SDFile("https://example.org/x.sdf")


@pytest.mark.parametrize(
    "call",
    [
        lambda url, local: list(molvane.parse_sdf(url + "/x.sdf")),
        lambda url, local: molvane.dask.read_sdf(url + "/*.sdf"),
        lambda url, local: molvane.dask.to_sdf(molvane.dask.read_sdf(local), url + "/part-*.sdf"),
    ],
    ids=["read", "glob", "write"],
)
def test_every_road_to_a_store_names_an_unknown_scheme_and_a_missing_package(call, tmp_path):
    pytest.importorskip("dask")
    import molvane.dask  # noqa: F401

    local = tmp_path / "x.sdf"
    local.write_bytes(DATA)
    with pytest.raises(ValueError, match=r"'nosuch://b.*': fsspec knows no file system for nosuch"):
        call("nosuch://b", str(local))
    if importlib.util.find_spec("gcsfs") is None:
        with pytest.raises(ImportError, match=r"URLs needs fsspec and gcsfs: pip install"):
            call("gs://bucket", str(local))


def test_urls_are_told_from_paths(tmp_path, monkeypatch):
    assert _remote.is_url("s3://b/x") and _remote.is_url(b"https://h/x")
    assert not _remote.is_url("3s://b/x") and not _remote.is_url("/tmp/s3://x")
    # A local file named like a URL is reached through a path object or ./
    (tmp_path / "s3:").mkdir()
    (tmp_path / "s3:" / "x.sdf").write_bytes(DATA)
    monkeypatch.chdir(tmp_path)
    expected = texts(molvane.parse_sdf(str(tmp_path / "s3:" / "x.sdf")))
    assert texts(molvane.parse_sdf(pathlib.Path("s3://x.sdf"))) == expected
    assert texts(molvane.parse_sdf("./s3://x.sdf")) == expected
    with pytest.raises(TypeError, match="storage_options"):
        molvane.to_arrow("./s3://x.sdf", storage_options={})
    # A str path without a UTF-8 form (an undecodable name) stays a path.
    odd = os.fsencode(tmp_path) + b"/s3://\xff.sdf"
    with pytest.raises(FileNotFoundError):
        list(molvane.parse_sdf(os.fsdecode(odd)))


# --- the command line ---------------------------------------------------------------------


def test_command_line_reads_urls(s3_default, http_root, local_root, capfdbinary):
    # The command line reads bytes blocks, as from a bytes path.
    local = os.fsencode(local_root / "lib.sdf")
    fsspec.filesystem("memory").pipe_file("/molvane-test/lib.sdf", DATA)
    for url in (s3_default + "lib.sdf.gz", http_root + "lib.sdf", "memory://molvane-test/lib.sdf"):
        assert main(["count", url]) == 0
        assert capfdbinary.readouterr().out.strip() == str(len(molvane.SDFile(local))).encode()
        assert main(["cat", url]) == 0
        assert capfdbinary.readouterr().out == b"".join(bytes(b) for b in molvane.parse_sdf(local))
        assert main(["to-csv", url, "-o", "-"]) == 0
        from_url = capfdbinary.readouterr().out
        assert main(["to-csv", str(local_root / "lib.sdf"), "-o", "-"]) == 0
        assert from_url == capfdbinary.readouterr().out
    assert main(["count", s3_default + "missing.sdf"]) == 2
    assert b"missing.sdf: No such file or directory" in capfdbinary.readouterr().err


# --- dask -------------------------------------------------------------------------------


dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def cluster():
    with (
        distributed.LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
        ) as local,
        distributed.Client(local, set_as_default=False) as client,
    ):
        yield client


@pytest.mark.cluster
@pytest.mark.parametrize("name", ["lib.sdf", "lib.sdf.gz"])
def test_dask_reads_s3_on_a_cluster(cluster, s3_options, local_root, name):
    import molvane.dask as mdask

    url = f"s3://{BUCKET}/{name}"
    local = str(local_root / name)
    with dask.config.set(scheduler=cluster):
        bag = mdask.read_blocks(url, blocksize=50_000, storage_options=s3_options)
        assert bag.npartitions == (
            1 if name.endswith(".gz") else len(molvane.shards(local, size=50_000))
        )
        assert texts(bag.compute()) == texts(molvane.parse_sdf(local))
        frame = mdask.read_sdf(url, blocksize=50_000, storage_options=s3_options, types="str")
        expected = mdask.read_sdf(local, blocksize=50_000, types="str").compute()
        got = frame.compute()
    assert got.reset_index(drop=True).equals(expected.reset_index(drop=True))


@pytest.mark.parametrize("where", ["memory", "s3", "file"])
def test_dask_expands_url_globs_in_the_store(request, local_root, where):
    import molvane.dask as mdask

    prefix, options = _store(request, local_root, where)
    names = ["lib.sdf", "lib.sdf.gz", "lib.sdf.zst"]
    for kind in (str, bytes):
        bag = mdask.read_blocks(url_of(prefix, "lib.sdf*", kind), storage_options=options)
        with dask.config.set(scheduler="sync"):
            got = texts(bag.compute())
        expected = [
            b for name in names for b in texts(molvane.parse_sdf(local_of(local_root, name, kind)))
        ]
        assert got == expected
    with pytest.raises(FileNotFoundError, match="no file matches"):
        mdask.read_blocks(prefix + "nothing*.sdf", storage_options=options)


def test_dask_pieces_of_a_changed_object_raise(s3_options):
    import molvane.dask as mdask

    fs = fsspec.filesystem("s3", **s3_options)
    fs.pipe_file(f"{BUCKET}/changing.sdf", DATA)
    bag = mdask.read_blocks(
        f"s3://{BUCKET}/changing.sdf", blocksize=100_000, storage_options=s3_options
    )
    fs.pipe_file(f"{BUCKET}/changing.sdf", DATA + DATA[:500])
    with dask.config.set(scheduler="threads"), pytest.raises(OSError, match="changed since"):
        bag.compute()


def _fail_in_part(block):
    if block.title == "m60":
        raise RuntimeError("the input broke")
    return block


@pytest.mark.parametrize("where", ["memory", "s3"])
@pytest.mark.parametrize("suffix", [".sdf", ".sdf.gz"])
def test_dask_writes_objects_all_or_nothing(request, local_root, where, suffix):
    import molvane.dask as mdask

    prefix, options = _store(request, local_root, where)
    folder = f"{prefix}written{suffix.replace('.', '-')}/"
    fs, root = fsspec.core.url_to_fs(folder, **options)
    local = str(local_root / "lib.sdf")
    bag = mdask.read_blocks(local, blocksize=20_000)
    with dask.config.set(scheduler="threads"):
        urls = mdask.to_sdf(bag, folder + "part-*" + suffix, storage_options=options)
        assert len(urls) == bag.npartitions > 1
        written = mdask.read_blocks(folder + "part-*" + suffix, storage_options=options)
        assert texts(written.compute()) == texts(molvane.parse_sdf(local, stop=None))
        before = {url: fs.cat_file(fs._strip_protocol(url)) for url in urls}
        # A partition that fails leaves every object as it was, and no staged one.
        with pytest.raises(RuntimeError, match="the input broke"):
            mdask.to_sdf(
                bag.map(_fail_in_part), folder + "part-*" + suffix, storage_options=options
            )
        assert {url: fs.cat_file(fs._strip_protocol(url)) for url in urls} == before
        assert sorted(fs.ls(root, detail=False)) == sorted(fs._strip_protocol(u) for u in urls)
        # Nor may a collection write over the objects it reads.
        with pytest.raises(ValueError, match="own input files"):
            mdask.to_sdf(written, folder + "part-*" + suffix, storage_options=options)
