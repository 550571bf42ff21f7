"""molvane.grid: paged HTML grids of drawings from paths, blocks and tables."""

import xml.etree.ElementTree as ET

import pytest

import molvane
from molvane import SDBlock

CTAB = (
    "\n  test\n\n  2  1  0  0  0  0  0  0  0  0999 V2000\n"
    "    0.0000    0.0000    0.0000 C   0  0  0  0  0  0  0  0  0  0  0  0\n"
    "    1.5000    0.0000    0.0000 O   0  0  0  0  0  0  0  0  0  0  0  0\n"
    "  1  2  1  0\nM  END\n"
)


def block_text(i: int) -> str:
    return f"mol {i} <&>{CTAB}> <id>\nid-{i}\n\n> <note>\n{'a & b' if i % 2 else ''}\n\n$$$$\n"


TEXTS = [block_text(i) for i in range(5)]


def cells(grid):
    """Each cell's caption text and its number of drawings."""
    root = ET.fromstring(grid._repr_html_())  # the page is one well-formed fragment
    out = []
    for cell in root.iter("div"):
        if cell.get("class") != "molvane-cell":
            continue
        caption = cell.findall("div")[-1]
        svgs = cell.findall("{http://www.w3.org/2000/svg}svg")
        out.append(("".join(caption.itertext()), len(svgs)))
    return out


@pytest.fixture
def sd_path(tmp_path):
    path = tmp_path / "five.sdf"
    path.write_text("".join(TEXTS))
    return path


def sources(kind, sd_path):
    if kind == "path":
        return str(sd_path)
    if kind == "pathlike":
        return sd_path
    if kind == "blocks":
        return [SDBlock(t) for t in TEXTS]
    if kind == "pandas":
        pd = pytest.importorskip("pandas")
        return pd.DataFrame(
            {
                "block": [t.encode() for t in TEXTS],
                "id": [f"id-{i}" for i in range(5)],
                "note": ["a & b" if i % 2 else None for i in range(5)],
            }
        )
    pa = pytest.importorskip("pyarrow")
    return pa.table(
        {
            "id": [f"id-{i}" for i in range(5)],
            "molblock": TEXTS,
            "note": ["a & b" if i % 2 else "" for i in range(5)],
        }
    )


@pytest.mark.parametrize("kind", ["path", "pathlike", "blocks", "pandas", "pyarrow"])
def test_pages_show_their_blocks_with_the_chosen_fields(kind, sd_path):
    grid = molvane.grid(sources(kind, sd_path), columns=["id", "note"], page_size=2)
    assert (len(grid), grid.num_pages, grid.page_number) == (5, 3, 0)
    assert cells(grid) == [("0 mol 0 <&>id: id-0note: ", 1), ("1 mol 1 <&>id: id-1note: a & b", 1)]
    assert cells(grid.page(2)) == [("4 mol 4 <&>id: id-4note: ", 1)]
    assert grid.page(-1)._repr_html_() == grid.page(2)._repr_html_()
    with pytest.raises(IndexError, match="page 3 is out of range"):
        grid.page(3)


def test_a_table_is_read_only_on_the_shown_page():
    pd = pytest.importorskip("pandas")
    # Rows past the first page hold no block text: reading them would raise.
    frame = pd.DataFrame({"molblock": [TEXTS[0], TEXTS[1], 7, 8]})
    grid = molvane.grid(frame, page_size=2)
    assert [n for _, n in cells(grid)] == [1, 1]
    with pytest.raises(TypeError, match="row 2 holds int"):
        grid.page(1).html()


def test_empty_sources_show_one_empty_page():
    grid = molvane.grid([])
    assert (len(grid), grid.num_pages, cells(grid)) == (0, 1, [])
    assert "no blocks" in grid.html()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: molvane.grid(iter(TEXTS)), TypeError, "not list_iterator"),
        (lambda: molvane.grid([SDBlock(TEXTS[0]), "x"]), TypeError, "item 1 is str"),
        (lambda: molvane.grid([], columns="id"), TypeError, "not one str"),
        (lambda: molvane.grid([], page_size=0), ValueError, "page_size"),
        (lambda: molvane.grid([], width=-1), ValueError, "width"),
        (lambda: molvane.grid([], page=1), IndexError, "page 1"),
        (lambda: molvane.grid("/nonexistent/x.sdf"), FileNotFoundError, "x.sdf"),
    ],
)
def test_bad_sources_and_options_raise(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize(
    "columns, block_column, message",
    [
        (None, None, "no 'block' or 'molblock' column"),
        (None, "text", "no column 'text'"),
        (["missing"], "smiles", "no column 'missing'"),
    ],
)
def test_tables_need_their_columns(columns, block_column, message):
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(ValueError, match=message):
        molvane.grid(pa.table({"smiles": ["C"]}), columns=columns, block_column=block_column)


def test_compressed_paths_are_refused_by_the_index(tmp_path):
    import gzip

    path = tmp_path / "five.sdf.gz"
    path.write_bytes(gzip.compress("".join(TEXTS).encode()))
    with pytest.raises(ValueError, match="compressed"):
        molvane.grid(path)
