"""The command line alike on every input and output route, run as real
processes: commands that count before they write on pipes, FIFOs and
process substitution; outputs compressed and chosen by suffix; messages
for a shell user."""

import bz2
import gzip
import lzma
import os
import subprocess
import sys
import threading

import pytest
from cli_blocks import numbered, v2000

BLOCKS = numbered(7)
DATA = b"".join(BLOCKS)


def bash(script, cwd, env=None):
    """`script` in bash, molvane standing for this interpreter's python -m molvane."""
    prelude = f'molvane() {{ "{sys.executable}" -m molvane "$@"; }}\n'
    return subprocess.run(
        ["bash", "-o", "pipefail", "-c", prelude + script], capture_output=True, cwd=cwd, env=env
    )


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "in.sdf").write_bytes(DATA)
    (tmp_path / "tmp").mkdir()
    return tmp_path


# --- commands that count the blocks first read a stream once ----------------------------

# How the input reaches the command: {IN} in the command stands for it.
ROUTES = {
    "process substitution": ("", "<(cat in.sdf)"),
    "stdin pipe": ("cat in.sdf | ", "-"),
    "compressed stdin": ("gzip -c in.sdf | ", "-"),
    "named FIFO": ("mkfifo f && (cat in.sdf > f &) && ", "f"),
}

COUNTING = [
    ("molvane slice -2: {IN}", lambda: b"".join(BLOCKS[-2:])),
    ("molvane slice 0:3,-1 {IN}", lambda: b"".join(BLOCKS[0:3] + BLOCKS[-1:])),
    ("molvane split -n 3 {IN} -o 'p-{{n}}.sdf' && cat p-0.sdf p-1.sdf p-2.sdf", lambda: DATA),
    ("molvane split -n 3 {IN} -o 'p-{{n}}.sdf' && cat p-2.sdf", lambda: b"".join(BLOCKS[6:])),
]


@pytest.mark.parametrize("route", list(ROUTES))
@pytest.mark.parametrize("command, expected", COUNTING)
def test_counting_commands_read_streams_once(folder, route, command, expected):
    before, name = ROUTES[route]
    env = {**os.environ, "TMPDIR": str(folder / "tmp")}
    done = bash(before + command.format(IN=name), folder, env)
    assert done.returncode == 0, done.stderr
    assert done.stdout == expected()
    # The copy of the stream is gone afterwards.
    assert list((folder / "tmp").iterdir()) == []


def test_stream_copy_failure_is_one_line_and_writes_nothing(folder):
    # A file size limit fails the copy of stdin as a full disk would.
    assert len(DATA) > 1024
    done = bash("cat in.sdf | (ulimit -f 1; molvane split -n 2 - -o 'p-{n}.sdf')", folder)
    assert done.returncode == 2
    err = done.stderr.decode()
    assert err.startswith("molvane: error: <stdin>: ") and err.count("\n") == 1, err
    assert "TMPDIR" in err
    assert not list(folder.glob("p-*"))


def test_fifo_written_late_does_not_hang(folder):
    """A FIFO whose writer comes after the command starts is read once, whole."""
    os.mkfifo(folder / "late")
    writer = threading.Timer(0.3, (folder / "late").write_bytes, [DATA])
    writer.start()
    done = subprocess.run(
        [sys.executable, "-m", "molvane", "slice", "-1", "late"],
        capture_output=True,
        cwd=folder,
        timeout=120,
    )
    writer.join()
    assert (done.returncode, done.stdout) == (0, BLOCKS[-1]), done.stderr


# --- outputs by suffix, '-' for stdout ----------------------------------------------------


def zstd_decompress(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdDecompressor().decompressobj().decompress(data)


DECOMPRESS = {".gz": gzip.decompress, ".bz2": bz2.decompress, ".xz": lzma.decompress}


def _decompressed(path):
    """The file's bytes, decompressed as its suffix (in any case) says."""
    suffix = path.suffix.lower()
    data = path.read_bytes()
    return zstd_decompress(data) if suffix == ".zst" else DECOMPRESS.get(suffix, bytes)(data)


@pytest.mark.parametrize(
    "command, output",
    [
        ("cut ID,VALUE --title in.sdf", "ids.csv.gz"),
        ("cut ID --tsv in.sdf", "IDS.TSV.BZ2"),
        ("to-csv in.sdf", "all.csv.xz"),
        ("to-jsonl in.sdf", "rows.jsonl.zst"),
        ("to-jsonl in.sdf", "Rows.JSONL.Gz"),
        ("cat in.sdf", "OUT.SDF.GZ"),
        ("slice 1:3 in.sdf", "part.sdf.XZ"),
        ("filter 'VALUE >= 3' in.sdf", "hits.SDF.Bz2"),
    ],
)
def test_outputs_compressed_by_suffix_in_any_case(folder, command, output):
    """-o FILE holds, decompressed, exactly what the command writes to stdout."""
    shown = bash(f"molvane {command}", folder)
    written = bash(f"molvane {command} -o {output}", folder)
    assert shown.returncode == written.returncode == 0, written.stderr
    assert written.stdout == b""
    assert (folder / output).read_bytes() != shown.stdout  # compressed, not plain
    assert _decompressed(folder / output) == shown.stdout


@pytest.mark.parametrize(
    "command",
    ["cat in.sdf", "cut ID in.sdf", "to-jsonl in.sdf", "set -e A=1 in.sdf", "head -n 2 in.sdf"],
)
def test_dash_output_is_stdout(folder, command):
    shown = bash(f"molvane {command}", folder)
    dashed = bash(f"molvane {command} -o -", folder)
    assert dashed.returncode == 0, dashed.stderr
    assert dashed.stdout == shown.stdout != b""
    assert not (folder / "-").exists()


def test_parquet_to_stdout_is_the_file_it_writes(folder):
    pq = pytest.importorskip("pyarrow.parquet")
    import io

    piped = bash("molvane to-parquet --title in.sdf -o -", folder)
    assert piped.returncode == 0, piped.stderr
    assert bash("molvane to-parquet --title in.sdf -o t.parquet", folder).returncode == 0
    assert pq.read_table(io.BytesIO(piped.stdout)).equals(pq.read_table(folder / "t.parquet"))
    assert not (folder / "-").exists()


@pytest.mark.parametrize(
    "pattern, made",
    [
        ("parts/p-{n}.sdf", ["parts/p-0.sdf", "parts/p-1.sdf", "parts/p-2.sdf"]),
        ("a/b/{n:02d}.SDF.GZ", ["a/b/00.SDF.GZ", "a/b/01.SDF.GZ", "a/b/02.SDF.GZ"]),
    ],
)
def test_split_makes_missing_folders(folder, pattern, made):
    done = bash(f"molvane split -k 3 in.sdf -o '{pattern}'", folder)
    assert done.returncode == 0, done.stderr
    assert b"".join(_decompressed(folder / name) for name in made) == DATA


# --- messages for a shell user -------------------------------------------------------------

LATIN = v2000("caf\xe9", ID="x").replace("caf\xe9".encode(), b"caf\xe9") + v2000(
    "m2", NAME="Pe\xf1a"
).replace("Pe\xf1a".encode(), b"Pe\xf1a")
TITLED = v2000("m", ID="1").replace(b"$$$$", b"> <title>\ndup\n\n$$$$")


@pytest.fixture
def odd(folder):
    import zipfile

    (folder / "latin.sdf").write_bytes(LATIN)
    (folder / "titled.sdf").write_bytes(TITLED)
    with zipfile.ZipFile(folder / "mol.zip", "w") as archive:
        archive.writestr("a.sdf", DATA)
    return folder


ZIP = "is a zip archive, not an SD file: extract it first"


@pytest.mark.parametrize(
    "script, expected",
    [
        ("molvane count mol.zip", f"mol.zip: {ZIP}"),
        ("molvane cut ID mol.zip", f"mol.zip: {ZIP}"),
        ("molvane slice -1 mol.zip", f"mol.zip: {ZIP}"),
        ("molvane count - < mol.zip", f"<stdin>: {ZIP}"),
        ("cat mol.zip | molvane cut ID -", f"<stdin>: {ZIP}"),
        ("cat mol.zip | molvane cat --unique ID", f"<stdin>: {ZIP}"),
        ("cat mol.zip | molvane slice -1 -", f"<stdin>: {ZIP}"),
        ("cat mol.zip | molvane split -n 2 - -o 'p{n}.sdf'", f"<stdin>: {ZIP}"),
        ("molvane cut NAME latin.sdf", "--encoding NAME reads text in another encoding"),
        ("molvane to-csv --encoding nope latin.sdf", "unknown encoding 'nope'"),
        ("molvane to-parquet --title titled.sdf -o t.parquet", "leave out --title"),
        (
            "molvane to-parquet latin.sdf -o t.parquet",
            "to-jsonl read other encodings with --encoding",
        ),
    ],
)
def test_errors_speak_in_options_and_text_paths(odd, script, expected):
    if "to-parquet" in script:
        pytest.importorskip("pyarrow")
    done = bash(script, odd)
    err = done.stderr.decode()
    assert done.returncode == 2 and err.count("\n") == 1, err
    assert err.startswith("molvane: error: ") and expected in err
    for python_talk in ("parse_sdf(", "pass title=", "file object", "b'", "Traceback"):
        assert python_talk not in err
    assert done.stdout == b""
    assert not list(odd.glob("p*.sdf")) and not (odd / "t.parquet").exists()


@pytest.mark.parametrize(
    "command, expected",
    [
        ("cut NAME --encoding latin-1 latin.sdf", 'NAME\n""\nPe\xf1a\n'),
        (
            "cut NAME,ID --encoding=cp1252 --tsv --title latin.sdf",
            "title\tNAME\tID\ncaf\xe9\t\tx\nm2\tPe\xf1a\t\n",
        ),
        ("to-csv --encoding latin1 --title latin.sdf", "title,ID,NAME\ncaf\xe9,x,\nm2,,Pe\xf1a\n"),
        (
            "to-jsonl --encoding latin-1 latin.sdf",
            '{"ID": "x", "NAME": null}\n{"ID": null, "NAME": "Pe\xf1a"}\n',
        ),
        ("cut ID --encoding utf-8 in.sdf", "ID\n" + "".join(f"M{i:03d}\n" for i in range(7))),
    ],
)
def test_encoding_decodes_values_and_writes_utf8(odd, command, expected):
    done = bash(f"molvane {command}", odd)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode("utf-8") == expected
