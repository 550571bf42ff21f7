"""The molvane command line, run in process through main(argv)."""

import gzip
import io
import json
import os
import sys

import pytest
from cli_blocks import numbered, split_blocks, v2000
from conftest import DATA, examples
from hypothesis import given, settings
from hypothesis import strategies as st

from molvane import SDBlock, parse_sdf
from molvane.cli import main
from molvane.cli.errors import CommandError
from molvane.cli.expr import compile_expression

BLOCKS = numbered(12)


@pytest.fixture
def sdf(tmp_path):
    path = tmp_path / "in.sdf"
    path.write_bytes(b"".join(BLOCKS))
    return path


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def written(path):
    return split_blocks(path.read_bytes())


# --- selecting blocks ----------------------------------------------------------


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["head", "-n", "3"], BLOCKS[:3]),
        (["head", "-n", "2", "--skip", "5"], BLOCKS[5:7]),
        (["head", "-n", "0"], []),
        (["head", "-n", str(sys.maxsize), "--skip", "5"], BLOCKS[5:]),
        (["head", "-n", "50"], BLOCKS),
        (["slice", "2:5"], BLOCKS[2:5]),
        (["slice", "-1,0"], [BLOCKS[-1], BLOCKS[0]]),
        (["slice", "::4"], BLOCKS[::4]),
        (["slice", "10:,99"], BLOCKS[10:]),
        (["slice", "5:2:-1"], BLOCKS[5:2:-1]),
        (["slice", "3,1,-2"], [BLOCKS[3], BLOCKS[1], BLOCKS[-2]]),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) and v and isinstance(v[0], str) else None,
)
def test_selections_write_the_blocks_at_their_positions_untouched(
    capsys, sdf, tmp_path, argv, expected
):
    out = tmp_path / "out.sdf"
    status, _, err = run(capsys, *argv, sdf, "-o", out)
    # An index past the end is left out, and said so on stderr.
    past_end = "molvane: slice: warning: no block at 99: the input has 12 blocks\n"
    assert (status, err) == (0, past_end if "99" in argv[-1] else "")
    assert written(out) == expected


def test_slice_reads_compressed_files_the_same(capsys, sdf, tmp_path):
    source = tmp_path / "in.sdf.gz"
    source.write_bytes(gzip.compress(sdf.read_bytes()))
    out = tmp_path / "out.sdf"
    assert run(capsys, "slice", "3,1,-2", source, "-o", out)[0] == 0
    assert written(out) == [BLOCKS[3], BLOCKS[1], BLOCKS[-2]]


@pytest.mark.parametrize("argv", [["-n", "4", "--seed", "7"], ["--fraction", "0.5", "--seed", "7"]])
def test_sample_is_a_repeatable_subsequence(capsys, sdf, tmp_path, argv):
    outs = []
    for name in ("a.sdf", "b.sdf"):
        out = tmp_path / name
        assert run(capsys, "sample", *argv, sdf, "-o", out)[0] == 0
        outs.append(written(out))
    assert outs[0] == outs[1]
    positions = [BLOCKS.index(b) for b in outs[0]]
    assert positions == sorted(set(positions))
    if argv[0] == "-n":
        assert len(positions) == 4


def test_sample_draws_every_block_alike(capsys, sdf, tmp_path):
    # Reservoir sampling: over many seeds each block is drawn about n/N of the time.
    drawn = [0] * len(BLOCKS)
    for seed in range(200):
        out = tmp_path / "s.sdf"
        run(capsys, "sample", "-n", "3", "--seed", seed, sdf, "-o", out)
        for block in written(out):
            drawn[BLOCKS.index(block)] += 1
    expected = 200 * 3 / len(BLOCKS)
    assert all(0.5 * expected < d < 1.5 * expected for d in drawn), drawn


# --- counting and fields ---------------------------------------------------------


def test_count_prints_each_file_and_a_total(capsys, sdf):
    two = DATA / "two_blocks.sdf"
    status, out, _ = run(capsys, "count", sdf, two)
    assert status == 0
    assert [line.split() for line in out.splitlines()] == [
        [str(len(BLOCKS)), str(sdf)],
        [str(len(split_blocks(two.read_bytes()))), str(two)],
        [str(len(BLOCKS) + 2), "total"],
    ]
    assert run(capsys, "count", sdf)[1] == f"{len(BLOCKS)}\n"


def test_fields_reports_fill_rate_type_and_an_example(capsys, sdf):
    status, out, _ = run(capsys, "fields", "--tsv", sdf)
    assert status == 0
    rows = {line.split("\t")[0]: line.split("\t")[1:] for line in out.splitlines()[1:]}
    with_source = sum(1 for i in range(len(BLOCKS)) if i % 3 == 0)
    assert rows["ID"] == [str(len(BLOCKS)), "100.0%", "text", "M000"]
    assert rows["VALUE"] == [str(len(BLOCKS)), "100.0%", "float", "0.0"]
    assert rows["SOURCE"][:3] == [
        str(with_source),
        f"{100 * with_source / len(BLOCKS):.1f}%",
        "text",
    ]


# --- filter ----------------------------------------------------------------------

# (expression, the reference predicate over (index, fields))
FILTERS = [
    ("VALUE < 6", lambda i, f: i * 1.5 < 6),
    ("VALUE >= 6 and VALUE != 9", lambda i, f: i * 1.5 >= 6 and i * 1.5 != 9),
    ('SOURCE == "ChEMBL"', lambda i, f: f.get("SOURCE") == "ChEMBL"),
    ('SOURCE != "ChEMBL"', lambda i, f: "SOURCE" in f and f["SOURCE"] != "ChEMBL"),
    ("exists SOURCE", lambda i, f: "SOURCE" in f),
    ("missing SOURCE or VALUE > 15", lambda i, f: "SOURCE" not in f or i * 1.5 > 15),
    ("not (VALUE < 3 or VALUE > 12)", lambda i, f: not (i * 1.5 < 3 or i * 1.5 > 12)),
    ('ID ~ "^M00[1-4]$"', lambda i, f: 1 <= i <= 4),
    ('ID !~ "0$"', lambda i, f: i % 10 != 0),
    ('ID in ("M002", "M011", "nope")', lambda i, f: i in (2, 11)),
    ('ID not in ("M002")', lambda i, f: i != 2),
    ('$title == "mol3"', lambda i, f: i == 3),
    ("SOURCE < 1", lambda i, f: False),  # text is no number
    ("`VALUE` <= 1.5e0", lambda i, f: i <= 1),
    ("VALUE > -1 AND NOT VALUE == 0", lambda i, f: i > 0),
]


def fields_of(i):
    fields = {"ID": f"M{i:03d}", "VALUE": i * 1.5}
    if i % 3 == 0:
        fields["SOURCE"] = "ChEMBL" if i % 2 == 0 else "vendor"
    return fields


@pytest.mark.parametrize("expression, predicate", FILTERS, ids=[f[0] for f in FILTERS])
def test_filter_keeps_the_matching_blocks(capsys, sdf, tmp_path, expression, predicate):
    out = tmp_path / "hits.sdf"
    assert run(capsys, "filter", expression, sdf, "-o", out)[0] == 0
    expected = [b for i, b in enumerate(BLOCKS) if predicate(i, fields_of(i))]
    assert written(out) == expected
    inverted = tmp_path / "misses.sdf"
    assert run(capsys, "filter", "-v", expression, sdf, "-o", inverted)[0] == 0
    assert written(inverted) == [b for b in BLOCKS if b not in expected]
    assert run(capsys, "filter", "-c", expression, sdf)[1] == f"{len(expected)}\n"


def test_filter_takes_ids_from_a_file(capsys, sdf, tmp_path):
    ids = tmp_path / "ids.txt"
    ids.write_text("M004\n  M007  \n\nM100\n")
    out = tmp_path / "hits.sdf"
    assert run(capsys, "filter", f"ID in @{ids}", sdf, "-o", out)[0] == 0
    assert written(out) == [BLOCKS[4], BLOCKS[7]]


@pytest.mark.parametrize(
    "expression, complaint",
    [
        ("", "empty expression"),
        ("VALUE <", "expected a number or a quoted string"),
        ("VALUE = 3", "use '=='"),
        ("(VALUE < 3", "expected ')'"),
        ("VALUE < 3 VALUE", "expected 'and', 'or' or the end"),
        ('ID ~ "("', "bad regular expression"),
        ("ID ~ 3", "a regular expression is a quoted string"),
        ("and", "expected a field name"),
        ('ID in "x"', "expected '(' or @file"),
        ("ID in @/no/such/file", "No such file"),
        ("__import__('os')", "expected a comparison"),
        ("(" * 5000 + "ID == 'x'" + ")" * 5000, "too deeply nested"),
        ("not " * 3000 + "exists ID", "too deeply nested"),
    ],
)
def test_bad_expressions_are_one_line_errors(capsys, sdf, expression, complaint):
    status, out, err = run(capsys, "filter", expression, sdf)
    assert status == 2 and out == ""
    assert err.startswith("molvane: error: ") and err.count("\n") == 1
    assert complaint in err


@pytest.mark.parametrize("nots, parentheses", [(1, 0), (100, 0), (0, 100), (49, 51)])
def test_nesting_up_to_the_limit_is_kept(nots, parentheses):
    keep, drop = SDBlock(v2000("a", ID="x")), SDBlock(v2000("b"))
    text = "not " * nots + "(" * parentheses + "exists ID" + ")" * parentheses
    predicate = compile_expression(text)
    assert (predicate(keep), predicate(drop)) == ((False, True) if nots % 2 else (True, False))


# --- tables ----------------------------------------------------------------------


def test_cut_writes_the_named_columns(capsys, sdf):
    pytest.importorskip("pyarrow")
    import csv

    status, out, _ = run(capsys, "cut", "SOURCE,ID", "--title", sdf)
    assert status == 0
    rows = list(csv.reader(io.StringIO(out)))
    assert rows[0] == ["title", "SOURCE", "ID"]
    assert rows[1:] == [
        [f"mol{i}", fields_of(i).get("SOURCE", ""), f"M{i:03d}"] for i in range(len(BLOCKS))
    ]


@pytest.mark.parametrize("command", ["to-csv", "to-jsonl", "to-parquet"])
@pytest.mark.parametrize("from_stdin", [False, True])
def test_table_outputs_hold_every_field_typed(
    capsys, monkeypatch, sdf, tmp_path, command, from_stdin
):
    pytest.importorskip("pyarrow")
    out = tmp_path / "table"
    argv = [command, "--molblock", "--types", "auto", "-o", out]
    if from_stdin:
        monkeypatch.setattr(
            "sys.stdin",
            io.TextIOWrapper(io.BufferedReader(io.BytesIO(gzip.compress(sdf.read_bytes())))),
        )
        argv.append("-")
    else:
        argv.append(sdf)
    assert run(capsys, *argv)[0] == 0
    if command == "to-parquet":
        import pyarrow.parquet

        rows = pyarrow.parquet.read_table(out).to_pylist()
    elif command == "to-jsonl":
        rows = [json.loads(line) for line in out.read_text().splitlines()]
    else:
        import pyarrow.csv

        rows = pyarrow.csv.read_csv(out).to_pylist()
    assert len(rows) == len(BLOCKS)
    for i, row in enumerate(rows):
        assert row["ID"] == f"M{i:03d}" and row["VALUE"] == i * 1.5
        assert (row["SOURCE"] or None) == fields_of(i).get("SOURCE")  # CSV has no null but ""
        assert BLOCKS[i].decode().startswith(row["molblock"])


# --- split and cat ----------------------------------------------------------------


@pytest.mark.parametrize(
    "option, sizes",
    [
        (["-k", "5"], [5, 5, 2]),
        (["-n", "3"], [4, 4, 4]),
        (["-n", "5"], [3, 3, 3, 3]),
        (["--size", str(3 * len(BLOCKS[0]) + 1)], None),
    ],
)
def test_split_parts_concatenate_back_to_the_input(capsys, sdf, tmp_path, option, sizes):
    pattern = str(tmp_path / "part-{n:02d}.sdf.gz")
    assert run(capsys, "split", *option, sdf, "-o", pattern)[0] == 0
    parts = sorted(tmp_path.glob("part-*.sdf.gz"))
    texts = [gzip.decompress(p.read_bytes()) for p in parts]
    assert b"".join(texts) == sdf.read_bytes()
    counts = [len(split_blocks(t)) for t in texts]
    if sizes is not None:
        assert counts == sizes
    else:
        limit = 3 * len(BLOCKS[0]) + 1
        assert all(len(t) <= limit or n == 1 for t, n in zip(texts, counts))
        assert all(len(a) + len(split_blocks(b)[0]) > limit for a, b in zip(texts, texts[1:]))


def test_cat_joins_inputs_and_drops_repeated_ids(capsys, sdf, tmp_path):
    other = tmp_path / "other.sdf.gz"
    extra = v2000("new", ID="M999")
    other.write_bytes(gzip.compress(BLOCKS[3] + extra + v2000("no id")))
    out = tmp_path / "all.sdf"
    assert run(capsys, "cat", sdf, other, "-o", out)[0] == 0
    assert out.read_bytes() == sdf.read_bytes() + BLOCKS[3] + extra + v2000("no id")
    status, _, err = run(capsys, "cat", "--unique", "ID", sdf, other, "-o", out)
    assert status == 0 and "dropped 1 " in err
    assert written(out) == BLOCKS + [extra, v2000("no id")]


# --- editing ----------------------------------------------------------------------


def test_set_rename_and_drop_touch_only_the_named_records(capsys, sdf, tmp_path):
    out = tmp_path / "out.sdf"
    assert run(capsys, "set", "SOURCE=mine", "BATCH=7", sdf, "-o", out)[0] == 0
    for before, after in zip(BLOCKS, parse_sdf(bytes(out))):
        expected = dict(fields_of(BLOCKS.index(before)), SOURCE="mine", BATCH="7")
        assert {k.decode(): v.decode() for k, v in after.to_dict().items()} == {
            k: str(v) for k, v in expected.items()
        }
        assert after.molblock == before[: before.index(b"M  END\n") + 7]
    assert run(capsys, "set", "--missing", "SOURCE=none", sdf, "-o", out)[0] == 0
    assert [b.get(b"SOURCE") for b in parse_sdf(bytes(out))] == [
        str(fields_of(i).get("SOURCE", "none")).encode() for i in range(len(BLOCKS))
    ]
    assert run(capsys, "rename", "VALUE=V", "ID=NAME", sdf, "-o", out)[0] == 0
    renamed = [[(n.decode(), v.decode()) for n, v in b.records()] for b in parse_sdf(bytes(out))]
    originals = [[(n.decode(), v.decode()) for n, v in b.records()] for b in parse_sdf(bytes(sdf))]
    mapping = {"VALUE": "V", "ID": "NAME"}
    assert renamed == [[(mapping.get(n, n), v) for n, v in recs] for recs in originals]
    assert run(capsys, "drop", "SOURCE,VALUE", sdf, "-o", out)[0] == 0
    assert [list(b.to_dict()) for b in parse_sdf(bytes(out))] == [[b"ID"]] * len(BLOCKS)


# --- errors -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, status, complaint",
    [
        (["count", "/no/such.sdf"], 2, "/no/such.sdf: No such file or directory"),
        (["count", "{tmp}"], 2, "is a directory"),
        (["head", "-n", "-1", "{sdf}"], 2, "must be 0 or more"),
        (["head", "-n", str(10**23), "{sdf}"], 2, "must be at most"),
        (["head", "--skip", str(2**63), "{sdf}"], 2, "must be at most"),
        (["slice", "1:2:3:4", "{sdf}"], 2, "bad slice"),
        (["slice", "::0", "{sdf}"], 2, "step cannot be 0"),
        (["sample", "{sdf}"], 2, "one of -n N or --fraction"),
        (["split", "{sdf}"], 2, "one of -n N"),
        (["split", "-k", "2", "{sdf}", "-o", "{tmp}/no-number.sdf"], 2, "needs {n}"),
        (["set", "{sdf}"], 2, "NAME=VALUE"),
        (["to-parquet", "{sdf}"], 2, "required: -o"),
        (["frobnicate"], 2, "invalid choice"),
        ([], 2, "required: COMMAND"),
        (["fields", "{broken}"], 2, "titled 'broken'"),
        (["count", "{truncated_gz}"], 2, "truncated"),
        (["to-csv", "{latin1}"], 2, "not UTF-8"),
    ],
)
def test_errors_are_one_line_with_the_exit_status(capsys, sdf, tmp_path, argv, status, complaint):
    broken = tmp_path / "broken.sdf"
    broken.write_bytes(v2000("broken").replace(b"$$$$", b"> oops\nx\n\n$$$$"))
    truncated = tmp_path / "cut.sdf.gz"
    truncated.write_bytes(gzip.compress(sdf.read_bytes())[:200])
    latin1 = tmp_path / "latin1.sdf"
    latin1.write_bytes(v2000("latin-1", NAME="café").replace("é".encode(), "é".encode("latin-1")))
    names = {
        "sdf": sdf,
        "tmp": tmp_path,
        "broken": broken,
        "truncated_gz": truncated,
        "latin1": latin1,
    }
    if argv[:1] == ["to-csv"]:
        pytest.importorskip("pyarrow")
    got, out, err = run(capsys, *[a.format(**names) for a in argv])
    assert got == status
    assert err.startswith("molvane: error: ") and err.count("\n") == 1, err
    assert complaint in err
    assert "Traceback" not in err


# Pieces of expressions, glued at random: whatever comes out must parse into a
# predicate that runs, or fail as one ExpressionError; never anything else.
PIECES = (
    "VALUE ID `SOURCE` $title exists missing not and or in ( ) , < <= == != ~ !~ > = "
    '3 -1.5e2 "M001" \'x\' "[" @ __import__ .'
).split()


@settings(max_examples=examples(200), deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=9).map(" ".join))
def test_random_expressions_parse_or_fail_cleanly(text):
    try:
        predicate = compile_expression(text)
    except CommandError as error:
        assert str(error).startswith("bad filter expression") or "No such file" in str(error)
        return
    assert all(predicate(SDBlock(b)) in (True, False) for b in BLOCKS[:4])


@pytest.mark.parametrize(
    "argv",
    [
        ["rename", "ABSENT=X"],
        ["drop", "ABSENT"],
        ["set", "--missing", "ID=other"],
        ["cat"],
        ["filter", "exists ID"],
    ],
    ids=lambda argv: argv[0],
)
def test_commands_that_change_nothing_write_the_input_byte_for_byte(capsys, tmp_path, argv):
    # CRLF line ends and an RDKit-style padded header must come through as they were.
    source = tmp_path / "crlf.sdf"
    source.write_bytes(
        b"".join(BLOCKS[:3]).replace(b"> <ID>", b">  <ID>  (1)").replace(b"\n", b"\r\n")
    )
    out = tmp_path / "out.sdf"
    assert run(capsys, *argv, source, "-o", out)[0] == 0
    assert out.read_bytes() == source.read_bytes()


@pytest.mark.parametrize("header, line", [("plain", b"> <NEW>\n"), ("padded", b">  <NEW>\n")])
def test_set_writes_new_records_in_the_header_style_asked(capsys, sdf, tmp_path, header, line):
    out = tmp_path / "out.sdf"
    assert run(capsys, "set", "--header", header, "NEW=1", sdf, "-o", out)[0] == 0
    assert all(block.endswith(line + b"1\n\n$$$$\n") for block in written(out))


def test_running_out_of_memory_is_one_line_with_status_2(capsys, sdf, monkeypatch):
    from molvane.cli import select

    def exhausted(*args, **options):
        raise MemoryError

    monkeypatch.setattr(select, "write_blocks", exhausted)
    status, out, err = run(capsys, "head", sdf)
    assert (status, out) == (2, "")
    assert err.startswith("molvane: error: out of memory") and err.count("\n") == 1


@pytest.mark.skipif(not os.path.exists("/proc/cpuinfo"), reason="needs /proc")
@pytest.mark.parametrize("command", ["count", "slice"])
def test_files_reporting_no_size_are_read_through(capsys, command):
    # /proc/cpuinfo reports 0 bytes yet holds text: one block without $$$$
    argv = [command, "/proc/cpuinfo"] if command == "count" else ["slice", "0", "/proc/cpuinfo"]
    status, out, err = run(capsys, *argv)
    assert (status, err) == (0, "")
    assert out == ("1\n" if command == "count" else str(next(parse_sdf("/proc/cpuinfo"))))
