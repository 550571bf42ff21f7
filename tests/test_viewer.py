"""molvane view over HTTP: the token, the Host check, what it refuses to serve,
and the page, block, filter, sort and export routes."""

import bz2
import csv
import gzip
import io
import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from urllib.parse import urlencode, urlsplit

import pytest
from cli_blocks import numbered

from molvane import SDFile, parse_sdf
from molvane.cli import main
from molvane.cli.expr import compile_expression
from molvane.viewer import FileRefused, open_viewer
from molvane.viewer.catalog import ViewedFile

BLOCKS = numbered(60)


@pytest.fixture(scope="module")
def sdf(tmp_path_factory):
    path = tmp_path_factory.mktemp("view") / "lib.sdf"
    path.write_bytes(b"".join(BLOCKS))
    return path


@pytest.fixture(scope="module")
def server(sdf):
    other = sdf.with_name("other.sdf")
    other.write_bytes(b"".join(numbered(3)))
    served = open_viewer([str(sdf), str(other)])
    served.start()
    yield served
    served.close()


def request(server, target, *, token=True, host=None, cookie=None, data=None):
    """(status, headers, body) of a request to `server`; `token` adds the URL's token."""
    port = server.server_address[1]
    if token:
        target += ("&" if "?" in target else "?") + "token=" + server.token
    headers = {"Host": host if host is not None else f"127.0.0.1:{port}"}
    if cookie is not None:
        headers["Cookie"] = cookie
    req = urllib.request.Request(f"http://127.0.0.1:{port}{target}", data=data, headers=headers)
    try:
        with urllib.request.urlopen(req, timeout=30) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


def api(server, route, **params):
    status, _, body = request(server, f"{route}?{urlencode(params)}")
    return status, json.loads(body)


def settled(server, **params):
    """The page of `params` once its filter and sort are done."""
    for _ in range(600):
        status, page = api(server, "/api/page", **params)
        if status != 200 or (page["complete"] and page["file"]["indexed"]):
            return status, page
        time.sleep(0.05)
    raise AssertionError(f"the view of {params} never completed")


def export(server, fmt, numbers, file=0):
    form = urlencode({"file": file, "blocks": ",".join(map(str, numbers)), "format": fmt})
    return request(server, "/api/export", data=form.encode())


# --- who may ask -------------------------------------------------------------------

ROUTES = ["/", "/viewer.js", "/api/files", "/api/page?start=0", "/api/block?n=0"]


@pytest.mark.parametrize("route", ROUTES)
def test_every_route_needs_the_token_and_the_cookie_of_the_first_load_carries_it(server, route):
    assert request(server, route, token=False)[0] == 403
    assert (
        request(server, route + ("&" if "?" in route else "?") + "token=x", token=False)[0] == 403
    )
    status, headers, _ = request(server, "/")
    assert status == 200
    cookie = headers["Set-Cookie"].split(";")[0]
    assert "HttpOnly" in headers["Set-Cookie"] and "SameSite=Strict" in headers["Set-Cookie"]
    assert request(server, route, token=False, cookie=cookie)[0] == 200
    name = cookie.split("=")[0]
    assert request(server, route, token=False, cookie=f"{name}=forged")[0] == 403


def test_export_needs_the_token_too(server):
    form = urlencode({"file": 0, "blocks": "0", "format": "sdf"}).encode()
    status, _, body = request(server, "/api/export", token=False, data=form)
    assert status == 403 and b"$$$$" not in body


@pytest.mark.parametrize(
    "host",
    [
        "evil.example:{port}",
        "evil.example",
        "127.0.0.1",
        "127.0.0.1:1",
        "localhost.evil.example:{port}",
        "127.0.0.1:{port}.evil.example",
        "",
    ],
)
def test_a_host_header_not_naming_this_server_is_refused_even_with_the_token(server, host):
    port = server.server_address[1]
    status, _, body = request(server, "/api/page", host=host.format(port=port))
    assert status == 403 and b"Host" in body


@pytest.mark.parametrize("name", ["127.0.0.1", "localhost"])
def test_loopback_names_with_the_port_are_accepted(server, name):
    assert request(server, "/", host=f"{name}:{server.server_address[1]}")[0] == 200


# --- what it serves -------------------------------------------------------------


@pytest.mark.parametrize(
    "target",
    [
        "/etc/passwd",
        "/../../../../etc/passwd",
        "/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
        "/viewer.js/../../pyproject.toml",
        "//etc/passwd",
        "/static/index.html",
        "/api/page/../../etc/passwd",
    ],
)
def test_no_request_path_reaches_the_file_system(server, target):
    status, _, body = request(server, target)
    assert status == 404 and b"root:" not in body


def test_a_path_parameter_is_ignored_and_the_given_file_served(server):
    status, page = settled(server, path="/etc/passwd", name="/etc/passwd")
    assert status == 200 and page["file"]["name"] == "lib.sdf"


@pytest.mark.parametrize(
    "make, reason",
    [
        (lambda p: p.write_bytes(gzip.compress(b"".join(BLOCKS))), "gzip-compressed"),
        (lambda p: p.write_bytes(bz2.compress(b"".join(BLOCKS))), "bzip2-compressed"),
        (lambda p: p.write_bytes(b"PK\x03\x04" + b"\0" * 40), "zip archive"),
        (lambda p: os.mkfifo(p), "not a regular file"),
        (lambda p: p.mkdir(), "not a regular file"),
        (lambda p: None, "No such file"),
    ],
    ids=["gzip", "bzip2", "zip", "fifo", "directory", "missing"],
)
def test_files_it_cannot_serve_are_refused_with_the_reason(tmp_path, capsys, make, reason):
    path = tmp_path / "in.sdf.gz"
    make(path)
    with pytest.raises(FileRefused, match=reason):
        open_viewer([str(path)])
    assert main(["view", "--no-browser", str(path)]) == 2
    err = capsys.readouterr().err
    assert reason in err and err.count("\n") == 1


def test_a_port_in_use_is_one_line_and_exit_status_2(sdf, capsys):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        assert main(["view", "--no-browser", "--port", str(port), str(sdf)]) == 2
    err = capsys.readouterr().err
    assert f"cannot listen on 127.0.0.1:{port}" in err and err.count("\n") == 1


# --- pages, blocks, filter, sort -------------------------------------------------


def test_pages_cover_every_block_once_in_file_order(server, sdf):
    titles, start = [], 0
    while True:
        status, page = settled(server, start=start, count=7)
        assert status == 200 and page["total"] == len(BLOCKS)
        if not page["rows"]:
            break
        titles += [(row["n"], row["title"]) for row in page["rows"]]
        start += 7
    assert titles == [(i, block.title) for i, block in enumerate(SDFile(str(sdf)))]


@pytest.mark.parametrize("where", ["memory", "file"])
def test_a_url_is_served_as_its_local_copy(server, sdf, where):
    fsspec = pytest.importorskip("fsspec")
    if where == "memory":
        url = "memory://molvane-view/lib.sdf"
        fsspec.filesystem("memory").pipe_file("/molvane-view/lib.sdf", sdf.read_bytes())
    else:
        url = sdf.as_uri()
    remote = open_viewer([url])
    remote.start()
    try:
        for params in ({"start": 50, "count": 9}, {"filter": "VALUE < 20"}, {"sort": "VALUE"}):
            got = settled(remote, **params)
            assert got[0] == 200 and got[1]["rows"] == settled(server, **params)[1]["rows"]
        assert api(remote, "/api/block", n=31)[1] == api(server, "/api/block", n=31)[1]
    finally:
        remote.close()
    with pytest.raises(FileRefused, match="No such file|not found|FileNotFound"):
        open_viewer([url.replace("lib.sdf", "missing.sdf")])


@pytest.mark.parametrize(
    "params, message",
    [
        # only the files given at start are served
        ({"file": "2"}, "file"),
        ({"file": "-1"}, "file"),
        ({"file": "../lib.sdf"}, "file"),
        ({"file": "/etc/passwd"}, "file"),
        ({"count": 0}, "count 1 to 500"),
        ({"count": 501}, "count 1 to 500"),
        ({"start": -1}, "start must be 0 or more"),
        ({"start": "x"}, "start must be a whole number"),
        ({"filter": "VALUE <"}, "bad filter expression"),
        ({"filter": f"ID in @{__file__}"}, "reads no file"),  # a file that is there
    ],
)
def test_bad_page_requests_are_400_with_the_reason(server, params, message):
    status, page = api(server, "/api/page", **params)
    assert status == 400 and message in page["error"]


def test_a_block_comes_with_its_records_and_raw_text(server, sdf):
    status, row = api(server, "/api/block", n=31)
    block = SDFile(str(sdf))[31]
    assert status == 200
    assert row["raw"].encode() == BLOCKS[31]
    assert row["title"] == block.title
    assert row["records"] == [list(pair) for pair in block.records()]
    status, row = api(server, "/api/block", n=len(BLOCKS))
    assert status == 400 and "has no block 61" in row["error"]


@pytest.mark.parametrize(
    "expression",
    ["VALUE < 20", 'SOURCE == "ChEMBL"', "missing SOURCE and ID ~ '5'", "$title ~ '7$'"],
)
def test_a_filter_keeps_the_blocks_the_cli_filter_keeps(server, sdf, expression):
    keep = compile_expression(expression)
    expected = [i for i, block in enumerate(parse_sdf(os.fsencode(sdf))) if keep(block)]
    status, page = settled(server, filter=expression, count=500)
    assert status == 200 and page["error"] is None
    assert [row["n"] for row in page["rows"]] == expected and page["total"] == len(expected)


@pytest.mark.parametrize(
    "params, key",
    [
        ({"sort": "VALUE", "desc": "1"}, lambda i: -i * 1.5),
        ({"sort": "ID"}, lambda i: f"M{i:03d}"),
        ({"sort": "$title"}, lambda i: f"mol{i}"),
        (
            {"sort": "SOURCE"},
            lambda i: (i % 3 != 0, "" if i % 3 else ["ChEMBL", "vendor"][i % 2], i),
        ),
        ({"sort": "VALUE", "filter": "exists SOURCE", "desc": "1"}, lambda i: -i),
    ],
    ids=["numeric-desc", "text", "title", "nulls-last", "filtered"],
)
def test_sort_orders_the_blocks_by_one_field(server, params, key):
    pytest.importorskip("pyarrow")
    status, page = settled(server, count=500, **params)
    assert status == 200 and page["error"] is None
    numbers = [row["n"] for row in page["rows"]]
    kept = [i for i in range(len(BLOCKS)) if "filter" not in params or i % 3 == 0]
    assert numbers == sorted(kept, key=key)


def test_sorting_by_a_field_no_block_has_reports_it(server):
    pytest.importorskip("pyarrow")
    status, page = settled(server, sort="NOPE")
    assert status == 200 and "no block has a field named 'NOPE'" in page["error"]


@pytest.mark.parametrize(
    "params, block, position",
    [({}, 40, 40), ({"filter": "exists SOURCE"}, 42, 14), ({"filter": "exists SOURCE"}, 41, None)],
)
def test_locate_finds_a_block_in_the_view(server, params, block, position):
    status, found = api(server, "/api/locate", n=block, **params)
    assert status == 200 and found["position"] == position


def test_pages_before_the_index_read_from_the_file_start(sdf):
    viewed = ViewedFile(str(sdf))
    blocks = viewed._early([5, 0, 2, 70])
    assert [bytes(b) for b in blocks] == [BLOCKS[5], BLOCKS[0], BLOCKS[2]]


ODD = [
    b"latin \xe9\n  x\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> <A>\nv\xff\n\n$$$$\n",
    b"broken\n  x\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> A\nv\n\n$$$$\n",
]


@pytest.fixture(scope="module")
def odd_server(tmp_path_factory):
    path = tmp_path_factory.mktemp("odd") / "odd.sdf"
    path.write_bytes(b"".join(ODD))
    served = open_viewer([str(path)])
    served.start()
    yield served
    served.close()


def test_blocks_it_cannot_show_as_they_are_are_marked_not_dropped(odd_server):
    status, page = settled(odd_server)
    latin, broken = page["rows"]
    assert status == 200 and page["total"] == 2
    assert latin["not_utf8"] and latin["title"] == "latin \ufffd"
    assert latin["records"] == [["A", "v\ufffd"]]
    assert broken["records"] == [] and "missing a name" in broken["records_error"]
    status, _, body = export(odd_server, "sdf", [0, 1])
    assert status == 200 and body == b"".join(ODD)
    status, _, body = export(odd_server, "csv", [0])
    assert status == 400 and "not UTF-8" in json.loads(body)["error"]


# --- export ----------------------------------------------------------------------


def test_exported_sd_is_the_selected_blocks_byte_for_byte_in_file_order(server):
    status, headers, body = export(server, "sdf", [33, 2, 17, 2])
    assert status == 200
    assert body == BLOCKS[2] + BLOCKS[17] + BLOCKS[33]
    assert headers["Content-Disposition"] == 'attachment; filename="lib-selection.sdf"'


def test_exported_tables_hold_the_selected_records(server):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    status, _, body = export(server, "csv", [0, 3, 4])
    assert status == 200
    rows = list(csv.DictReader(io.StringIO(body.decode())))
    assert [(r["title"], r["ID"], r["SOURCE"]) for r in rows] == [
        ("mol0", "M000", "ChEMBL"),
        ("mol3", "M003", "vendor"),
        ("mol4", "M004", ""),
    ]
    status, _, body = export(server, "parquet", [1, 3])
    table = pq.read_table(pa.BufferReader(body))
    assert status == 200 and table.column("ID").to_pylist() == ["M001", "M003"]


@pytest.mark.parametrize(
    "form, message",
    [
        ({"format": "xml", "blocks": "1"}, "unknown format"),
        ({"format": "sdf", "blocks": ""}, "no block is selected"),
        ({"format": "sdf", "blocks": "1,x"}, "block numbers"),
        ({"format": "sdf", "blocks": "1,60"}, "has no block 61"),
        ({"format": "sdf", "blocks": "0", "file": "9"}, "no file 9"),
    ],
)
def test_an_export_it_cannot_make_is_400_with_the_reason(server, form, message):
    status, _, body = request(server, "/api/export", data=urlencode(form).encode())
    assert status == 400 and message in json.loads(body)["error"]


# --- the command -----------------------------------------------------------------


def test_the_command_prints_the_url_serves_it_and_stops_cleanly_on_ctrl_c(sdf):
    process = subprocess.Popen(
        [sys.executable, "-m", "molvane", "view", "--no-browser", str(sdf)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = process.stdout.readline()
        url = line.split()[-1]
        parts = urlsplit(url)
        assert parts.hostname == "127.0.0.1" and "token=" in parts.query
        with urllib.request.urlopen(url, timeout=30) as response:
            assert b"viewer.js" in response.read()
    finally:
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=30)
    assert process.returncode == 0 and "stopped" in err and "Traceback" not in err
