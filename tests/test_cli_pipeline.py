"""The command line in pipelines and scripts, run as real processes: stdin
named '-', '--', exit statuses, edits told from files, values kept as written,
blocks that cannot be read, names nobody has."""

import subprocess
import sys

import pytest
from cli_blocks import numbered, v2000

BLOCKS = numbered(12)
BAD = v2000("bad", ID="X1").replace(b"$$$$", b"> DT12\nx\n\n$$$$")


def molvane(*argv, stdin=None, cwd=None, env=None):
    return subprocess.run(
        [sys.executable, "-m", "molvane", *map(str, argv)],
        input=stdin,
        capture_output=True,
        cwd=cwd,
        env=env,
    )


def bash(script, cwd):
    """`script` in bash, molvane standing for this interpreter's python -m molvane."""
    prelude = f'molvane() {{ "{sys.executable}" -m molvane "$@"; }}\n'
    return subprocess.run(
        ["bash", "-o", "pipefail", "-c", prelude + script], capture_output=True, cwd=cwd
    )


@pytest.fixture
def sdf(tmp_path):
    path = tmp_path / "in.sdf"
    path.write_bytes(b"".join(BLOCKS))
    return path


def one_error_line(done):
    err = done.stderr.decode()
    assert err.startswith("molvane: error: ") and err.count("\n") == 1, err
    assert "Traceback" not in err
    return err


# --- '-' is stdin, '--' ends the options --------------------------------------------------


@pytest.mark.parametrize(
    "script, expected",
    [
        ("cat in.sdf | molvane slice 0 - | molvane count", b"1\n"),
        ("cat in.sdf | molvane slice -- -1 - | molvane cut ID -", b"ID\nM011\n"),
        ("cat in.sdf | molvane count -", b"12\n"),
        ("cat in.sdf | molvane cut ID -- - | tail -n 1", b"M011\n"),
        ("molvane count -- in.sdf", b"12\n"),
        ("molvane filter -- 'VALUE >= 15' in.sdf | molvane count", b"2\n"),
        ("molvane head -n 2 in.sdf | molvane slice ::-1 - | molvane cut ID -", b"ID\nM001\nM000\n"),
    ],
)
def test_dash_reads_stdin_and_double_dash_ends_options(sdf, script, expected):
    done = bash(script, sdf.parent)
    assert (done.returncode, done.stdout, done.stderr) == (0, expected, b"")


# --- exit statuses as grep's ----------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, status, stderr",
    [
        (["filter", "VALUE > 100", "in.sdf"], 0, ""),
        (["filter", "--fail-if-empty", "VALUE > 100", "in.sdf"], 1, ""),
        (["filter", "--fail-if-empty", "-c", "VALUE > 100", "in.sdf"], 1, ""),
        (["filter", "--fail-if-empty", "VALUE > 1", "in.sdf"], 0, ""),
        (["check", "bad.sdf"], 1, ""),
        (["filter", "VALUE <<< 3", "in.sdf"], 2, "bad filter expression"),
        (["slice", "1:2:3:4", "in.sdf"], 2, "bad slice"),
        (["count", "nowhere.sdf"], 2, "No such file"),
        (["count", "-", "-"], 2, "only once"),
        (["count", "--frobnicate", "in.sdf"], 2, "unrecognized arguments"),
        (["fields", "bad.sdf"], 2, "titled 'bad'"),
    ],
)
def test_exit_statuses_are_greps(sdf, argv, status, stderr):
    (sdf.parent / "bad.sdf").write_bytes(BAD)
    done = molvane(*argv, cwd=sdf.parent, stdin=b"")
    assert done.returncode == status
    if stderr:
        assert stderr in one_error_line(done)
    else:
        assert done.stderr == b""


# --- tables: values as written, typing on request, no pyarrow needed -------------------------

VALUES = v2000("m", ID="007", X="1e3", Y="4.260", Z="abc") + v2000("n", ID="-2", X="5", Y=" 1 ")


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["cut", "ID,X,Y"], "ID,X,Y\n007,1e3,4.260\n-2,5, 1 \n"),
        (["to-csv"], "ID,X,Y,Z\n007,1e3,4.260,abc\n-2,5, 1 ,\n"),
        (
            ["to-csv", "--tsv", "--title"],
            "title\tID\tX\tY\tZ\nm\t007\t1e3\t4.260\tabc\nn\t-2\t5\t 1 \t\n",
        ),
        (["cut", "ID,X,Y", "--types", "auto"], "ID,X,Y\n7,1000.0,4.26\n-2,5.0,1.0\n"),
        (["cut", "ID,X,Z", "--types", "ID=int,X=float"], "ID,X,Z\n7,1000.0,abc\n-2,5.0,\n"),
        (["cut", "ID,Y", "--types", "ID=str,Y=float"], "ID,Y\n007,4.26\n-2,1.0\n"),
        (
            ["to-jsonl"],
            '{"ID": "007", "X": "1e3", "Y": "4.260", "Z": "abc"}\n'
            '{"ID": "-2", "X": "5", "Y": " 1 ", "Z": null}\n',
        ),
        (
            ["to-jsonl", "--types", "auto"],
            '{"ID": 7, "X": 1000.0, "Y": 4.26, "Z": "abc"}\n{"ID": -2, "X": 5.0, "Y": 1.0, "Z": null}\n',
        ),
    ],
)
def test_text_tables_keep_values_as_written_unless_typing_is_asked(tmp_path, argv, expected):
    path = tmp_path / "values.sdf"
    path.write_bytes(VALUES)
    done = molvane(*argv, path)
    assert (done.returncode, done.stdout.decode(), done.stderr) == (0, expected, b"")


@pytest.mark.parametrize(
    "types, complaint",
    [
        ("Z=int", "row 0: Z 'abc' is not an int"),
        ("Q=int", "'Q', which is not a column"),
        ("ID=date", "NAME=int"),
    ],
)
def test_typing_that_does_not_fit_is_an_error(tmp_path, types, complaint):
    path = tmp_path / "values.sdf"
    path.write_bytes(VALUES)
    out = tmp_path / "out.csv"
    done = molvane("to-csv", "--types", types, path, "-o", out)
    assert done.returncode == 2 and complaint in done.stderr.decode()
    assert not out.exists()


# pyarrow made unimportable, as after a plain `pip install .`.
WITHOUT_PYARROW = """
import runpy, sys
class NoPyarrow:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "pyarrow":
            raise ImportError(f"No module named {name!r}")
sys.meta_path.insert(0, NoPyarrow())
sys.argv[0] = "molvane"
runpy.run_module("molvane", run_name="__main__")
"""


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["cut", "ID,IC50", "--title"], "title,ID,IC50\nm,007,4.260\n"),
        (["to-csv", "--types", "auto"], "ID,IC50\n7,4.26\n"),
        (["to-jsonl"], '{"ID": "007", "IC50": "4.260"}\n'),
        (
            ["fields", "--tsv"],
            "field\tblocks\tfill\ttype\texample\nID\t1\t100.0%\tint\t007\nIC50\t1\t100.0%\tfloat\t4.260\n",
        ),
        (["filter", "-c", "IC50 < 5"], "1\n"),
        (["count"], "1\n"),
        (["check", "-q"], ""),
    ],
)
def test_every_command_but_parquet_runs_without_pyarrow(tmp_path, argv, expected):
    path = tmp_path / "one.sdf"
    path.write_bytes(v2000("m", ID="007", IC50="4.260"))
    done = subprocess.run(
        [sys.executable, "-c", WITHOUT_PYARROW, *argv, str(path)], capture_output=True
    )
    assert (done.returncode, done.stdout.decode(), done.stderr) == (0, expected, b"")


def test_to_parquet_without_pyarrow_names_the_extra(tmp_path):
    path = tmp_path / "one.sdf"
    path.write_bytes(v2000("m", ID="007"))
    out = tmp_path / "t.parquet"
    done = subprocess.run(
        [sys.executable, "-c", WITHOUT_PYARROW, "to-parquet", str(path), "-o", str(out)],
        capture_output=True,
    )
    assert done.returncode == 2 and "pip install 'molvane[arrow]'" in one_error_line(done)
    assert not out.exists()
