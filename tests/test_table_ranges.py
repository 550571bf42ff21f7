"""Tables of byte ranges, built by several threads, with the whole-block column."""

import io

import pytest
from conftest import corpus_params, examples
from hypothesis import given, settings
from hypothesis import strategies as st
from sd_blocks import block_text

import molvane

pa = pytest.importorskip("pyarrow")


def write(tmp_path, *texts, newline="\n"):
    path = tmp_path / "ranges.sdf"
    path.write_bytes("".join(texts).replace("\n", newline).encode())
    return path


def sources(path):
    return [str(path), bytes(path)]


def outcome(function):
    """What a call gives: its table, or the type, text and notes of its error."""
    try:
        return function()
    except Exception as error:  # compared, not swallowed
        return (type(error), str(error), getattr(error, "__notes__", None))


def cells(table):
    """The table's values, NaN made equal to itself."""
    return {k: [("NaN",) if v != v else v for v in c] for k, c in table.to_pydict().items()}


def same(left, right):
    if isinstance(left, pa.Table) and isinstance(right, pa.Table):
        return left.schema == right.schema and cells(left) == cells(right)
    return left == right


# --- threads equal one thread ------------------------------------------------------

OPTIONS = {"molblock": "mol", "block": "whole"}


@pytest.mark.parametrize("path", corpus_params())
@pytest.mark.parametrize("threads", [2, 3])
@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_corpus_threads_equal_one_thread(path, threads, errors):
    for source in sources(path):
        one = outcome(
            lambda source=source: molvane.to_arrow(source, threads=1, errors=errors, **OPTIONS)
        )
        many = outcome(
            lambda source=source: molvane.to_arrow(
                source, threads=threads, _min_range=64, errors=errors, **OPTIONS
            )
        )
        assert same(one, many)


values = st.sampled_from(
    ["1", "-7", "007", "2.5", "1e5", "nan", "", " 3 ", "x", "9223372036854775808"]
)
names = st.sampled_from(["A", "B", "C", "D"])
rows = st.lists(st.lists(st.tuples(names, values), max_size=4), min_size=1, max_size=30)


@pytest.mark.parametrize(
    "halves, expected",
    [
        ((["1", "2"], ["3", "4"]), pa.int64()),
        ((["1", "2"], ["3.5", ""]), pa.float64()),
        ((["1.5", ""], ["3", "4"]), pa.float64()),
        ((["1", "2"], ["3", "text"]), pa.large_string()),
        ((["", ""], ["", ""]), pa.large_string()),
        ((["", ""], ["", "5"]), pa.int64()),
    ],
)
def test_types_are_inferred_over_every_range(tmp_path, halves, expected):
    # Many blocks per half, so that the two threads' ranges part the halves.
    values = [v for half in halves for v in half * 50]
    texts = [block_text(f"m{i}", [("A", v)]) for i, v in enumerate(values)]
    path = write(tmp_path, *texts)
    one = molvane.to_arrow(path, threads=1)
    many = molvane.to_arrow(path, threads=2, _min_range=64)
    assert many.schema.field("A").type == expected
    assert same(one, many)


def test_columns_keep_first_seen_order_across_ranges(tmp_path):
    texts = [block_text(f"m{i}", [("late" if i >= 90 else "early", "v")]) for i in range(100)]
    path = write(tmp_path, *texts)
    table = molvane.to_arrow(path, threads=4, _min_range=64)
    assert table.column_names == ["title", "early", "late"]
    assert table.column("late").null_count == 90


# --- errors in the middle of the file ---------------------------------------------

BAD_TAILS = {
    "header": ("> no name\nv\n\n", molvane.MalformedRecordError),
    "utf8": ("> <U>\n\udcff\n\n", UnicodeDecodeError),
}


def bad_file(tmp_path, at, tail):
    texts = [block_text(f"m{i}", [("A", str(i))]) for i in range(60)]
    texts[at] = block_text(f"bad{at}", raw_tail=tail)
    path = tmp_path / "bad.sdf"
    path.write_bytes("".join(texts).encode("utf-8", "surrogateescape"))
    return path, sum(len(t.encode("utf-8", "surrogateescape")) for t in texts[:at])


@pytest.mark.parametrize("at", [0, 29, 45, 59])
@pytest.mark.parametrize("kind", ["header", "utf8"])
@pytest.mark.parametrize("threads", [1, 3])
def test_first_bad_block_is_named_with_its_number(tmp_path, at, kind, threads):
    tail, error = BAD_TAILS[kind]
    path, offset = bad_file(tmp_path, at, tail)
    # A second bad block later on must not be the one reported.
    if at < 59:
        extra = block_text("later", raw_tail=BAD_TAILS["header"][0])
        path.write_bytes(path.read_bytes() + extra.encode())
    with pytest.raises(error) as caught:
        molvane.to_arrow(str(path), threads=threads, _min_range=64)
    # Decoding notes name the block by title, the others by number and offset too.
    assert f"titled 'bad{at}'" in caught.value.__notes__[-1]
    if kind == "header":
        assert f"block {at} from 0, at byte {offset}" in caught.value.__notes__[-1]


def test_skipped_blocks_add_up_over_ranges(tmp_path):
    texts = [
        block_text(f"m{i}", [("A", "1")], raw_tail="> x\n\n" if i % 7 == 3 else "")
        for i in range(70)
    ]
    path = write(tmp_path, *texts)
    one = molvane.to_arrow(path, threads=1, errors="skip")
    many = molvane.to_arrow(path, threads=3, _min_range=64, errors="skip")
    assert same(one, many)
    assert many.schema.metadata[b"molvane.skipped"] == b"10"


def test_conversion_error_names_the_row_over_the_whole_file(tmp_path):
    texts = [block_text(f"m{i}", [("A", "x" if i == 50 else str(i))]) for i in range(60)]
    path = write(tmp_path, *texts)
    for threads in (1, 3):
        with pytest.raises(
            ValueError, match=r"'x' of record 'A' is not an int \(row 50, the block titled 'm50'\)"
        ):
            molvane.to_arrow(path, types={"A": "int"}, threads=threads, _min_range=64)


# --- byte ranges -------------------------------------------------------------------


@settings(max_examples=examples(40), deadline=None)
@given(
    rows=rows,
    threads=st.integers(2, 4),
    min_range=st.integers(1, 300),
    cuts=st.lists(st.integers(0, 4000), max_size=4),
    newline=st.sampled_from(["\n", "\r\n", "\r"]),
)
def test_property_threads_and_ranges_equal_the_whole(
    tmp_path_factory, rows, threads, min_range, cuts, newline
):
    path = write(
        tmp_path_factory.mktemp("r"),
        *(block_text(f"m{i}", r) for i, r in enumerate(rows)),
        newline=newline,
    )
    bounds = [0, *sorted(cuts), None]
    for source in sources(path):
        # Threads equal one thread.
        one = molvane.to_arrow(source, threads=1, **OPTIONS)
        many = molvane.to_arrow(source, threads=threads, _min_range=min_range, **OPTIONS)
        many.validate(full=True)  # ranges without a record hold it as shared zeros
        assert same(one, many)
        if isinstance(source, str) or newline != "\r":  # bytes split at LF only
            assert many.num_rows == len(rows)
        # Ranges concatenated equal the whole.
        whole = molvane.to_arrow(source, types="str", block="whole", threads=1)
        parts = [
            molvane.to_arrow(source, types="str", block="whole", start=a, stop=b, threads=1)
            for a, b in zip(bounds, bounds[1:])
        ]
        assert (
            sum((p.column("whole").to_pylist() for p in parts), [])
            == whole.column("whole").to_pylist()
        )
        # The same ranges through threads and through batches.
        threaded = [
            molvane.to_arrow(
                source, types="str", block="whole", start=a, stop=b, threads=2, _min_range=1
            )
            for a, b in zip(bounds, bounds[1:])
        ]
        assert all(same(p, t) for p, t in zip(parts, threaded))
        batched = [
            batch.column("whole").to_pylist()
            for a, b in zip(bounds, bounds[1:])
            for batch in molvane.iter_batches(
                source, 3, types="str", block="whole", start=a, stop=b
            )
        ]
        assert sum(batched, []) == whole.column("whole").to_pylist()


def test_a_range_holds_the_blocks_that_start_in_it(tmp_path):
    texts = [block_text(f"m{i}") for i in range(3)]
    path = write(tmp_path, *texts)
    size = len(texts[0])
    titles = lambda **bounds: molvane.to_arrow(path, **bounds).column("title").to_pylist()  # noqa: E731
    assert titles(start=0, stop=1) == ["m0"]
    assert titles(start=1, stop=size) == []
    assert titles(start=1, stop=size + 1) == ["m1"]
    assert titles(start=size, stop=None) == ["m1", "m2"]
    assert titles(start=10**12) == []


@pytest.mark.parametrize(
    "source, options, error, message",
    [
        ("blocks", {"start": 0}, TypeError, "start= and stop= take a path"),
        ("file", {"stop": 10}, TypeError, "start= and stop= take a path"),
        ("path", {"start": -1}, ValueError, "start must not be negative"),
        ("path", {"stop": "9"}, TypeError, "stop must be an int"),
        ("path", {"threads": 0}, ValueError, "threads must be"),
    ],
)
def test_bad_range_options(tmp_path, source, options, error, message):
    path = write(tmp_path, block_text())
    given_source = {
        "blocks": list(molvane.parse_sdf(path)),
        "file": io.BytesIO(path.read_bytes()),
        "path": path,
    }[source]
    with pytest.raises(error, match=message):
        molvane.to_arrow(given_source, **options)


# --- the whole-block column ------------------------------------------------------------


@pytest.mark.parametrize(
    "options, records, message",
    [
        (
            {"block": "block"},
            [("block", "1")],
            "the record 'block' has the name of the block column",
        ),
        ({"block": "b", "columns": ["b"]}, [], "the record 'b' has the name of the block column"),
        ({"block": "title"}, [], "title and block name the same column"),
        ({"block": "m", "molblock": "m"}, [], "molblock and block name the same column"),
    ],
)
def test_block_column_collisions(tmp_path, options, records, message):
    path = write(tmp_path, block_text("a", records))
    for source in (path, list(molvane.parse_sdf(path))):
        with pytest.raises(ValueError, match=message):
            molvane.to_arrow(source, **options)


@pytest.mark.parametrize("path", corpus_params())
def test_corpus_block_column_round_trips_byte_for_byte(path, tmp_path):
    try:
        expected = [bytes(b) for b in molvane.parse_sdf(bytes(path))]
    except (ValueError, molvane.MalformedRecordError):
        pytest.skip("the file does not split into blocks")
    # Whitespace after the last $$$$ is no row.
    expected = expected[: len(molvane.SDFile(bytes(path)))]
    table = molvane.to_arrow(bytes(path), block="block", errors="skip", threads=2, _min_range=256)
    assert table.column("block").to_pylist() == expected
    # SD -> table -> SD: the blocks' bytes, as written by write_sdf.
    out = tmp_path / "out.sdf"
    molvane.write_sdf(out, molvane.from_table(table, block="block"))
    assert out.read_bytes() == b"".join(expected)
    if path.read_bytes().endswith(b"$$$$\n"):
        assert out.read_bytes() == path.read_bytes()
    if not expected:
        return  # an empty output tells no kind of text: nothing to compare
    # table -> SD -> table: equal tables.
    again = molvane.to_arrow(bytes(out), block="block", errors="skip")
    assert same(again, table)


def test_from_table_block_column_wins_over_the_others_where_set():
    text = block_text("a", [("A", "1")])
    table = pa.table({"title": ["x", "y"], "A": [5, 6], "block": [text, None]})
    first, second = molvane.from_table(table, block="block")
    assert bytes(first.__reduce__()[1][0]) == text.encode()
    assert second.title == "y" and second["A"] == "6"
    with pytest.raises(KeyError, match="no column 'whole'"):
        list(molvane.from_table(table, block="whole"))
    with pytest.raises(ValueError, match="holds 2 blocks"):
        list(molvane.from_table(pa.table({"block": [text + text]}), block="block"))


# --- batches from the mapping ---------------------------------------------------------


def test_mapped_batches_number_blocks_over_the_file(tmp_path):
    path, offset = bad_file(tmp_path, 23, BAD_TAILS["header"][0])
    batches = molvane.iter_batches(path, 5)
    for _ in range(4):
        assert next(batches).num_rows == 5
    with pytest.raises(molvane.MalformedRecordError) as caught:
        next(batches)
    assert f"block 23 from 0, at byte {offset}" in caught.value.__notes__[-1]
