"""The command line in pipelines and scripts, run as real processes: stdin
named '-', '--', exit statuses, edits told from files, values kept as written,
blocks that cannot be read, names nobody has."""

import subprocess
import sys

import pytest
from cli_blocks import numbered, v2000, v3000
from conftest import examples
from hypothesis import given, settings
from hypothesis import strategies as st

from molvane import SDBlock

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
        (["count", "nowhere.sdf"], 2, "No such file"),
        (["count", "-", "-"], 2, "only once"),
        (["count", "--frobnicate", "in.sdf"], 2, "unrecognized arguments"),
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


# --- set and rename: edits told from files --------------------------------------------------


@pytest.mark.parametrize(
    "argv, files_read, complaint",
    [
        (["set", "-e", "A=1", "run=3/lib.sdf"], ["run=3/lib.sdf"], None),
        (
            ["set", "-e", "A=1", "-e", "B=2", "--", "run=3/lib.sdf", "in.sdf"],
            ["run=3/lib.sdf", "in.sdf"],
            None,
        ),
        (["set", "A=1", "B=2", "in.sdf"], ["in.sdf"], None),
        (["set", "A=1", "--", "run=3/lib.sdf"], ["run=3/lib.sdf"], None),
        (["set", "A=1", "run=3/lib.sdf"], None, "could be a file or an edit"),
        (["set", "A=1", "out=x.sdf.gz"], None, "could be a file or an edit"),
        (["set", "in.sdf"], None, "at least one -e NAME=VALUE"),
        (["set", "-e", "=x", "in.sdf"], None, "NAME=VALUE"),
        (["rename", "-e", "ID=KEY", "run=3/lib.sdf"], ["run=3/lib.sdf"], None),
        (["rename", "ID=", "in.sdf"], None, "NEW is empty"),
        (["rename", "-e", "ID=K", "-e", "VALUE=K", "in.sdf"], None, "two fields the name 'K'"),
        (["rename", "ID=VALUE", "in.sdf"], None, "has a field 'VALUE' already; --force"),
    ],
)
def test_edits_and_files_are_never_mistaken(sdf, argv, files_read, complaint):
    (sdf.parent / "run=3").mkdir()
    (sdf.parent / "run=3" / "lib.sdf").write_bytes(b"".join(BLOCKS[:2]))
    done = molvane(*argv, cwd=sdf.parent, stdin=b"".join(BLOCKS[5:6]))
    if complaint:
        assert done.returncode == 2 and done.stdout == b""
        assert complaint in one_error_line(done)
        return
    assert done.returncode == 0, done.stderr
    expected = sum(2 if name.startswith("run") else len(BLOCKS) for name in files_read)
    titles = [line for line in done.stdout.split(b"\n") if line.startswith(b"mol")]
    assert len(titles) == expected


def test_rename_force_replaces_the_field_it_lands_on(sdf):
    done = molvane("rename", "--force", "-e", "ID=VALUE", sdf)
    got = parse(done.stdout)
    assert done.returncode == 0
    assert [list(fields) for fields in got] == [
        [b"VALUE"] + ([b"SOURCE"] if i % 3 == 0 else []) for i in range(len(BLOCKS))
    ]
    assert [fields[b"VALUE"] for fields in got] == [
        f"M{i:03d}".encode() for i in range(len(BLOCKS))
    ]


def parse(data):
    return [dict(block.records()) for block in SDBlock.from_sdf(data)]


# --- a block that cannot be read: --errors raise|skip ---------------------------------------

MIXED = b"".join(BLOCKS[:3]) + BAD + b"".join(BLOCKS[3:5])


@pytest.mark.parametrize(
    "argv, kept_bad, rows",
    [
        (["filter", "exists ID"], False, 5),
        (["set", "-e", "A=1"], True, 6),
        (["rename", "-e", "ID=KEY"], True, 6),
        (["drop", "VALUE"], True, 6),
        (["cat", "--unique", "ID"], True, 6),
        (["cut", "ID"], None, 5),
        (["to-csv"], None, 5),
        (["to-jsonl"], None, 5),
        (["to-parquet"], None, 5),
    ],
)
def test_unreadable_blocks_stop_the_run_or_are_skipped_and_counted(tmp_path, argv, kept_bad, rows):
    if argv[0] == "to-parquet":
        pytest.importorskip("pyarrow")
    path = tmp_path / "mixed.sdf"
    path.write_bytes(MIXED)
    out = tmp_path / ("out.sdf" if kept_bad is not None else "out.table")

    stopped = molvane(*argv, path, "-o", out)
    assert stopped.returncode == 2 and "titled 'bad'" in one_error_line(stopped)
    assert not out.exists()

    skipped = molvane(*argv, "--errors", "skip", path, "-o", out)
    assert skipped.returncode == 0
    assert "1 block that could not be read\n" in skipped.stderr.decode()
    data = out.read_bytes()
    if kept_bad is not None:
        assert data.count(b"$$$$") == rows and (BAD in data) == kept_bad
    elif argv[0] == "to-parquet":
        import pyarrow.parquet

        assert pyarrow.parquet.read_table(out).num_rows == rows
    else:
        assert len(data.splitlines()) == rows + (argv[0] != "to-jsonl")
        assert b"X1" not in data


def test_fields_counts_only_the_blocks_it_can_read(tmp_path):
    path = tmp_path / "mixed.sdf"
    path.write_bytes(MIXED)
    assert molvane("fields", path).returncode == 2
    done = molvane("fields", "--errors", "skip", path)
    assert done.returncode == 0 and done.stdout.decode().endswith("\n5 blocks, 3 fields\n")


# --- names nobody has -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, name, closest",
    [
        (["cut", "NOPE,ID"], "NOPE", None),
        (["cut", "id"], "id", "ID"),
        (["drop", "VALEU"], "VALEU", "VALUE"),
        (["rename", "-e", "SOURC=S"], "SOURC", "SOURCE"),
        (["filter", "value < 10"], "value", "VALUE"),
        (["filter", "exists ID and `Value` > 1"], "Value", "VALUE"),
        (["cat", "--unique", "NOPE"], "NOPE", None),
        (["check", "--id", "Id"], "Id", "ID"),
        # names that exist raise no warning
        (["cut", "ID,SOURCE"], None, None),
        (["filter", "VALUE < 3"], None, None),
        (["drop", "SOURCE"], None, None),
        (["check", "--id", "ID"], None, None),
    ],
)
def test_names_no_block_has_are_warned_about_with_the_closest(sdf, argv, name, closest):
    done = molvane(*argv, sdf)
    assert done.returncode == 0
    lines = [line for line in done.stderr.decode().splitlines(keepends=True) if "warning" in line]
    hint = f"; closest: {closest}" if closest else ""
    warning = f"molvane: {argv[0]}: warning: no block has a field '{name}'{hint}\n"
    assert lines == ([warning] if name else [])


# --- repair says what it leaves alone ---------------------------------------------------------

V2000_MISCOUNTED = v2000("miscounted").replace(b"  2  1  0  0", b"  3  1  0  0", 1)
NO_END = v2000("open").replace(b"M  END\n", b"")
AMBIGUOUS = v3000("ambiguous", atom_ids=(1, 1), bond_atoms=((1, 1),))


@pytest.mark.parametrize(
    "block, report",
    [
        (
            V2000_MISCOUNTED,
            "left alone: the counts line declares 3 atoms and 1 bonds, the table has 2 atom lines and 1 bond lines",
        ),
        (NO_END, "left alone: no 'M  END' line"),
        # a bond refers to an atom index two atoms share: no renumbering can tell which
        (
            AMBIGUOUS,
            "left the indices as they were (CTable line 12: bond atom 1 is the index of several atoms)",
        ),
    ],
)
def test_repair_reports_each_problem_it_leaves_alone(tmp_path, block, report):
    path = tmp_path / "in.sdf"
    path.write_bytes(BLOCKS[0] + block)
    done = molvane("repair", path)
    title = block.split(b"\n")[0].decode()
    assert done.returncode == 0 and done.stdout == BLOCKS[0] + block
    assert done.stderr.decode().splitlines() == [
        f"{path}: block 1 {title!r}: {report}",
        "repair: changed 0 of 2 blocks",
    ]


# --- small things a shell user meets ---------------------------------------------------------


@pytest.mark.parametrize(
    "argv, status, stdout, stderr",
    [
        (["slice", "2000", "in.sdf"], 0, "", "warning: no block at 2000: the input has 12 blocks"),
        (["slice", "20:30", "in.sdf"], 0, "", "the ranges select no block of 12 blocks"),
        (["sample", "-n", "-3", "in.sdf"], 2, "", "must be 1 or more, not -3"),
        (["filter", "-c", "ID in @ids.txt", "in.sdf"], 0, "2\n", ""),
        (
            ["fields", "--tsv", "one.sdf"],
            0,
            f"field\tblocks\tfill\ttype\texample\n{'L' * 80}\t1\t100.0%\tint\t1\n",
            "",
        ),
        (["fields", "one.sdf"], 0, "1 block, 1 field\n", ""),
        (["fields", "-q", "one.sdf"], 0, "1\n", ""),
        (
            ["check", "-q", "bad.sdf"],
            1,
            "'bad': malformed data header: SD data field header is missing a name\n",
            "",
        ),
        (
            ["cat", "--unique", "ID", "in.sdf", "one.sdf", "-o", "out.sdf"],
            0,
            "",
            "dropped 0 blocks",
        ),
    ],
)
def test_small_things(sdf, argv, status, stdout, stderr):
    (sdf.parent / "ids.txt").write_bytes(b"\xef\xbb\xbfM000\r\nM004\r\n")
    (sdf.parent / "one.sdf").write_bytes(v2000("one", **{"L" * 80: 1}))
    (sdf.parent / "bad.sdf").write_bytes(BAD)
    done = molvane(*argv, cwd=sdf.parent)
    out, err = done.stdout.decode(), done.stderr.decode()
    assert done.returncode == status
    assert out.endswith(stdout) if stdout else out == ""
    assert stderr in err if stderr else err == ""


def test_random_access_to_a_directory_says_so(tmp_path):
    from molvane import SDFile

    with pytest.raises(IsADirectoryError):
        len(SDFile(str(tmp_path)))


@pytest.mark.parametrize("command", ["cut", "to-csv", "to-jsonl"])
def test_a_value_that_is_not_utf8_stops_the_table_or_leaves_its_row_out(tmp_path, command):
    path = tmp_path / "latin1.sdf"
    latin1 = v2000("latin", ID="caf\u00e9").replace("\u00e9".encode(), b"\xe9")
    path.write_bytes(BLOCKS[0] + latin1 + BLOCKS[1])
    argv = [command, "ID"] if command == "cut" else [command]
    out = tmp_path / "out.txt"
    stopped = molvane(*argv, path, "-o", out)
    assert stopped.returncode == 2 and not out.exists()
    assert "not UTF-8" in one_error_line(stopped) and "row 1" in stopped.stderr.decode()
    skipped = molvane(*argv, "--errors", "skip", path, "-o", out)
    assert skipped.returncode == 0 and b"1 block that could not be read" in skipped.stderr
    assert b"M000" in out.read_bytes() and b"M001" in out.read_bytes()
    assert b"caf" not in out.read_bytes()


# --types auto must type a column as the native table builder does.
NUMBERISH = st.lists(
    st.sampled_from(
        ["0", "7", "-", "+", ".", "e", "E", "3", "inf", "nan", "x", " ", "\t", "9" * 19]
    ),
    min_size=1,
    max_size=6,
).map("".join)


@settings(max_examples=examples(200), deadline=None)
@given(values=st.lists(NUMBERISH.filter(str.strip), min_size=1, max_size=3))
def test_auto_types_agree_with_the_table_builder(values):
    pytest.importorskip("pyarrow")
    from molvane import to_arrow
    from molvane.cli.tables_out import Table

    blocks = b"".join(v2000("m", X=value) for value in values)
    built = to_arrow(list(parse_blocks(blocks)), types="auto", title=None)
    table = Table(["X"], [[value.encode()] for value in values])
    kind = table.typed("auto", 0)[0]
    expected = {"int64": "int", "double": "float"}.get(str(built.schema.field("X").type), "str")
    assert kind == expected
    if kind != "str":
        assert list(map(repr, (row[0] for row in table.rows))) == list(
            map(repr, built.column("X").to_pylist())
        )


def parse_blocks(data):
    return SDBlock.from_sdf(data)


@pytest.mark.parametrize("command", ["set", "rename", "split", "filter", "cut", "repair"])
def test_help_examples_stay_whole_on_a_line(command):
    import os

    done = subprocess.run(
        [sys.executable, "-m", "molvane", command, "--help"],
        capture_output=True,
        text=True,
        env={**os.environ, "COLUMNS": "80"},
    )
    lines = done.stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("example"))
    tail = [
        line.removeprefix("examples:").removeprefix("example:").strip() for line in lines[start:]
    ]
    # Every line of the examples part is a whole command (none wrapped onto the next).
    assert all(line.startswith("molvane ") for line in tail if line), done.stdout
    if command == "set":
        assert "two spaces" in done.stdout  # the padded header, which argparse would collapse
