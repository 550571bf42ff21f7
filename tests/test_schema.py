"""One schema per input: scans, samples and given schemas, the typing rule
that widens int to float only while exact, and every reader agreeing."""

import io
import math
import os
import re

import dask
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from conftest import corpus_params, examples
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sd_blocks import sd_block, write

import molvane
import molvane.dask as mdask
from molvane import native

# --- the rule, written again in plain Python -------------------------------------

INTEGER = re.compile(r"[+-]?[0-9]+")
FLOAT = re.compile(
    r"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][+-]?[0-9]+)?|[+-]?(nan|inf|infinity)", re.I
)


def kind_of(raw):
    """(kind, number) of one value: empty, int, float or text; floats with
    whether an integer literal is exactly its double."""
    text = raw.strip(" \t")
    if not text:
        return "empty", None
    if INTEGER.fullmatch(text):
        value = int(text)
        if -(2**63) <= value < 2**63:
            return "int", value
        return ("float", float(text)) if int(float(text)) == value else ("inexact", None)
    if (
        FLOAT.fullmatch(text)
        and not math.isinf(float(text))
        or text.lower().lstrip("+-") in ("inf", "infinity")
    ):
        return "float", float(text)
    return "text", None


def reference_column(values):
    """The typed values of a column of raw texts (None: no record)."""
    kinds = [kind_of(v) for v in values if v is not None]
    seen = {k for k, _ in kinds} - {"empty"}
    ints_exact = all(float(n) == n and abs(n) < 2**63 for k, n in kinds if k == "int")
    if not seen or "text" in seen:
        kind = "str"
    elif seen == {"int"}:
        kind = "int"
    elif "inexact" in seen or not ints_exact:
        kind = "str"
    else:
        kind = "float"
    if kind == "str":
        return kind, list(values)
    typed = []
    for v in values:
        k, n = kind_of(v) if v is not None else ("empty", None)
        typed.append(None if k == "empty" else (n if kind == "int" else float(n)))
    return kind, typed


def reference(rows):
    """{name: (kind, values)} over blocks given as lists of (name, value)."""
    names = list(dict.fromkeys(n for row in rows for n, _ in row))
    columns = {}
    for name in names:
        values = [dict(row).get(name) for row in rows]
        columns[name] = reference_column(values)
    return columns


ARROW_KIND = {"int": pa.int64(), "float": pa.float64(), "str": pa.large_string()}


def assert_matches(table, rows):
    expected = reference(rows)
    records = [n for n in table.column_names if n != "title"]
    assert records == list(expected)
    for name, (kind, values) in expected.items():
        assert table.schema.field(name).type == ARROW_KIND[kind], name
        got = table.column(name).to_pylist()
        assert len(got) == len(values)
        for a, b in zip(got, values):
            assert a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b)), name


# --- every reader, every mode, any cut ---------------------------------------------

VALUES = [
    "1",
    "-7",
    "007",
    "2.5",
    "80.4",
    "1e5",
    "nan",
    "",
    " 3 ",
    "x",
    str(2**53 + 1),  # an int64 that a double does not hold
    str(2**63),  # beyond int64, a double exactly
    str(2**64 + 1),  # beyond int64, not a double
    "1e999",
]
# Late fields and kind changes come from a few names over many blocks.
ROWS = st.lists(
    st.lists(st.tuples(st.sampled_from(["A", "B", "C"]), st.sampled_from(VALUES)), max_size=3),
    min_size=1,
    max_size=40,
)


def same(a, b):
    # nan compares unequal to itself in equals(); its repr does not.
    return a.schema == b.schema and repr(a.to_pydict()) == repr(b.to_pydict())


def last_wins(row):
    return list(dict(row).items())


@settings(
    max_examples=examples(25),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(rows=ROWS, batch=st.integers(1, 9), cut=st.integers(1, 900), threads=st.integers(1, 3))
def test_readers_agree_with_the_reference(tmp_path, rows, batch, cut, threads):
    path = write(tmp_path / "h.sdf", [sd_block(f"m{i}", r) for i, r in enumerate(rows)])
    source = str(path)
    rows = [last_wins(r) for r in rows]
    whole = molvane.to_arrow(source, threads=threads, _min_range=cut)
    assert_matches(whole, rows)
    assert molvane.scan_schema(source, threads=threads) == whole.schema
    for schema in ("scan", molvane.scan_schema(source), "sample"):
        options = {"schema": schema, "sample": 1 << 20}
        assert same(molvane.to_arrow(source, **options), whole)
        batches = list(molvane.iter_batches(source, batch, **options))
        assert {b.schema for b in batches} == {whole.schema}
        assert same(pa.Table.from_batches(batches), whole)
    # the default of iter_batches is the scan
    batches = list(molvane.iter_batches(source, batch))
    assert {b.schema for b in batches} == {whole.schema}
    with dask.config.set(scheduler="sync"):
        frame = mdask.read_sdf(source, blocksize=cut).compute()
    assert_matches(pa.Table.from_pandas(frame, preserve_index=False), rows)


@settings(max_examples=examples(10), deadline=None)
@given(files=st.lists(ROWS, min_size=2, max_size=4))
def test_dask_joins_files(tmp_path_factory, files):
    folder = tmp_path_factory.mktemp("files")
    every = []
    for f, rows in enumerate(files):
        write(folder / f"{f}.sdf", [sd_block(f"m{i}", r) for i, r in enumerate(rows)])
        every += [last_wins(r) for r in rows]
    with dask.config.set(scheduler="sync"):
        frame = mdask.read_sdf(str(folder / "*.sdf"), blocksize=300)
        table = pa.Table.from_pandas(frame.compute(), preserve_index=False)
    assert_matches(table, every)
    assert list(frame.columns) == table.column_names


# --- the rule and its join ------------------------------------------------------------


@pytest.mark.parametrize(
    "values, kind",
    [
        (["1", str(2**62)], pa.int64()),  # an int column needs no double
        (["1", "2.5"], pa.float64()),
        ([str(2**53), "2.5"], pa.float64()),  # 2**53 is a double exactly
        ([str(2**53 + 1), "2.5"], pa.large_string()),
        ([str(2**63)], pa.float64()),
        ([str(2**64 + 1)], pa.large_string()),
        ([str(2**64 + 1), "1.5"], pa.large_string()),
        (["1", "x", "2.5"], pa.large_string()),
    ],
)
def test_widening_keeps_every_value(tmp_path, values, kind):
    path = write(tmp_path / "w.sdf", [sd_block(f"m{i}", [("V", v)]) for i, v in enumerate(values)])
    for threads in (1, 2):
        table = molvane.to_arrow(str(path), threads=threads, _min_range=1)
        assert table.schema.field("V").type == kind
    text = molvane.to_arrow(str(path), types="str").column("V").to_pylist()
    typed = table.column("V").to_pylist()
    if kind == pa.large_string():
        assert typed == text
    else:
        assert [int(t) if kind == pa.int64() else float(t) for t in text] == typed


KINDS = ["empty", "int", "wide-int", "float", "text"]
JOINED = {
    frozenset(["int", "float"]): "float",
    frozenset(["wide-int", "float"]): "text",
    frozenset(["int", "wide-int"]): "wide-int",
}


@pytest.mark.parametrize("a", KINDS)
@pytest.mark.parametrize("b", KINDS)
def test_join_of_kinds(a, b):
    expected = (
        a
        if a == b
        else "text"
        if "text" in (a, b)
        else b
        if a == "empty"
        else a
        if b == "empty"
        else JOINED[frozenset([a, b])]
    )
    forward = native._join_kinds([[("V", a)], [("V", b)]])
    assert forward == native._join_kinds([[("V", b)], [("V", a)]])
    assert forward[0][:2] == ("V", expected)
    kind_type = {"empty": "str", "int": "int", "wide-int": "int", "float": "float", "text": "str"}
    assert forward[0][2] == kind_type[expected]


# --- options and errors -------------------------------------------------------------


@pytest.fixture
def late(tmp_path):
    """A field that is int for 300 blocks and 80.4 later, one that comes late."""
    blocks = [sd_block(f"m{i}", [("ID", i), ("MP", i)]) for i in range(300)]
    blocks += [sd_block("z", [("ID", 300), ("MP", "80.4"), ("LATE", "x")])]
    return write(tmp_path / "late.sdf", blocks)


def test_parquet_from_default_batches(late, tmp_path):
    writer = None
    for batch in molvane.iter_batches(str(late), 100):
        writer = writer or pq.ParquetWriter(tmp_path / "o.parquet", batch.schema)
        writer.write_batch(batch)
    writer.close()
    assert same(pq.read_table(tmp_path / "o.parquet"), molvane.to_arrow(str(late)))


@pytest.mark.parametrize(
    "options, expected",
    [
        ({"columns": ["MP", "NONE"]}, {"MP": pa.float64(), "NONE": pa.large_string()}),
        ({"types": {"MP": "str"}}, {"ID": pa.int64(), "MP": pa.large_string()}),
        ({"types": "str"}, {"ID": pa.large_string(), "LATE": pa.large_string()}),
        ({"schema": {"MP": "float", "ID": "str"}}, {"MP": pa.float64(), "ID": pa.large_string()}),
        ({"schema": {"MP": "int"}, "types": {"MP": "str"}}, {"MP": pa.large_string()}),
    ],
)
def test_options_with_schemas(late, options, expected):
    batches = list(molvane.iter_batches(str(late), 64, **options))
    assert len({b.schema for b in batches}) == 1
    table = pa.Table.from_batches(batches)
    for name, kind in expected.items():
        assert table.schema.field(name).type == kind
    if "schema" in options:
        assert [n for n in table.column_names if n != "title"] == list(options["schema"])


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda p: molvane.to_arrow(p, schema="sample", sample=100), ValueError, "schema='scan'"),
        (
            lambda p: list(molvane.iter_batches(p, 10, schema="sample", sample=100)),
            ValueError,
            "schema='scan'",
        ),
        (lambda p: molvane.to_arrow(p, schema="everything"), ValueError, "schema must be"),
        (lambda p: molvane.to_arrow(p, schema={"A": "date"}), ValueError, "'date'"),
        (lambda p: molvane.to_arrow(p, schema=pa.schema([("A", pa.int8())])), ValueError, "int8"),
        (lambda p: molvane.to_arrow(p, schema={"A": "int"}, columns=["A"]), TypeError, "not both"),
        (
            lambda p: molvane.to_arrow(io.BytesIO(open(p, "rb").read()), schema="scan"),
            TypeError,
            "scan_schema",
        ),
        (lambda p: molvane.to_arrow(p, schema="sample", sample=0), ValueError, "sample"),
    ],
    ids=["sample int", "sample batches", "word", "type word", "arrow type", "columns", "once", "0"],
)
def test_schema_errors(late, call, error, text):
    with pytest.raises(error) as caught:
        call(str(late))
    assert text in str(caught.value) + "".join(getattr(caught.value, "__notes__", []))


def test_dask_sample_errors_say_what_helps(late):
    with dask.config.set(scheduler="sync"):
        frame = mdask.read_sdf(str(late), blocksize=2000, schema="sample", sample=100)
        with pytest.raises(ValueError) as caught:
            frame.compute()
    said = str(caught.value) + "".join(caught.value.__notes__)
    assert "schema='scan'" in said and "larger sample" not in said
    with dask.config.set(scheduler="sync"):
        frame = mdask.read_sdf(str(late), blocksize=2000)
        assert frame["MP"].sum().compute() == sum(range(300)) + 80.4


def test_read_once_sources_keep_batches_of_their_own(late):
    data = late.read_bytes()
    batches = list(molvane.iter_batches(io.BytesIO(data), 100))
    assert batches[0].schema.field("MP").type == pa.int64()
    assert batches[-1].schema.field("MP").type == pa.float64()
    given = molvane.scan_schema(os.fsencode(late))  # binary, as a binary file object reads
    batches = list(molvane.iter_batches(io.BytesIO(data), 100, schema=given))
    assert {b.schema for b in batches} == {given}


# --- the corpus -------------------------------------------------------------------


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_one_schema_per_reader(path):
    source = os.fspath(path)
    try:
        whole = molvane.to_arrow(source, errors="skip")
    except ValueError as error:  # a file this reader refuses, as text
        pytest.skip(f"not read as text: {error}")
    schema = molvane.scan_schema(source)
    assert schema == whole.schema.remove_metadata()
    batches = list(molvane.iter_batches(source, 7, errors="skip"))
    assert {b.schema.remove_metadata() for b in batches} <= {schema}
    assert same(pa.Table.from_batches(batches, schema=whole.schema), whole)
    with dask.config.set(scheduler="sync"):
        frame = mdask.read_sdf(source, blocksize=4096, errors="skip")
        assert list(frame.columns) == schema.names
        assert len(frame.compute()) == whole.num_rows
