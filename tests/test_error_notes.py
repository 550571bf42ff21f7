"""Errors about a block name it: title, and number and byte offset where a reader made it."""

import os

import pytest

from molvane.ctable import IndicesDuplicateError, MalformedCTableError
from molvane.native import MalformedRecordError, SDBlock, parse_sdf

GOOD = "good\n  molvane\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> <ID>\n1\n\n$$$$\n"
BAD = "bad\n  molvane\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> oops\n1\n\n$$$$\n"


@pytest.mark.parametrize(
    "source, offset",
    [
        (lambda p: os.fsencode(p), True),  # mapped bytes path
        (lambda p: str(p), True),  # mapped str path
        (lambda p: open(p, "rb"), True),  # binary file object
        (lambda p: open(p, encoding="utf-8"), False),  # text: offsets are characters, not bytes
        (lambda p: SDBlock.from_sdf(p.read_bytes()), True),
        (lambda p: SDBlock.from_lines(p.read_text().splitlines(True)), False),
    ],
)
def test_a_read_block_is_named_by_number_and_offset(tmp_path, source, offset):
    path = tmp_path / "in.sdf"
    path.write_text(GOOD * 3 + BAD)
    opened = source(path)
    blocks = list(
        opened if hasattr(opened, "__next__") and not hasattr(opened, "read") else parse_sdf(opened)
    )
    with pytest.raises(MalformedRecordError) as info:
        blocks[3].to_dict()
    where = f", at byte {3 * len(GOOD)}" if offset else ""
    assert info.value.__notes__ == [f"In the SDBlock titled 'bad' (block 3 from 0{where})."]


def test_crlf_folded_by_a_chunked_str_read_drops_the_offset(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    fd = os.open(fifo, os.O_RDWR)  # a pipe is read in chunks, translated as read
    os.write(fd, (GOOD + BAD).replace("\n", "\r\n").encode())
    os.close(os.open(fifo, os.O_WRONLY))
    blocks = parse_sdf(str(fifo))
    next(blocks)
    bad = next(blocks)
    os.close(fd)
    with pytest.raises(MalformedRecordError) as info:
        bad.names()
    assert info.value.__notes__ == ["In the SDBlock titled 'bad' (block 1 from 0)."]


V3000 = """t
  molvane

  0  0  0     0  0            999 V3000
M  V30 BEGIN CTAB
M  V30 COUNTS 2 1 0 0 0
M  V30 BEGIN ATOM
M  V30 1 C 0 0 0 0
M  V30 1 C 0 0 0 0
M  V30 END ATOM
M  V30 BEGIN BOND
M  V30 1 1 1 2
M  V30 END BOND
M  V30 END CTAB
M  END
$$$$
"""


def test_table_errors_name_the_block_also_from_its_table():
    blocks = list(SDBlock.from_sdf((GOOD + V3000).encode()))
    table = blocks[1].ctable()
    blocks[1].title = b"renamed"  # the table remembers the block as it was read
    with pytest.raises(IndicesDuplicateError) as info:
        table.valid_atom_indices()
    assert info.value.__notes__ == [
        f"In the SDBlock titled 't' (block 1 from 0, at byte {len(GOOD)})."
    ]
    with pytest.raises(IndicesDuplicateError) as info:
        blocks[1].renumber_indices()
    assert info.value.__notes__ == [
        f"In the SDBlock titled 'renamed' (block 1 from 0, at byte {len(GOOD)})."
    ]


def test_long_fields_and_titles_are_cut():
    field = "9" * 5000 + "x"
    text = V3000.replace("COUNTS 2 1", f"COUNTS {field} 1").replace("t\n", "T" * 300 + "\n", 1)
    with pytest.raises(MalformedCTableError) as info:
        SDBlock(text).num_atoms
    message = str(info.value)
    assert message == 'CTable line 6: atom count "' + field[:64] + '\u2026" is not an integer'
    assert info.value.__notes__ == ["In the SDBlock titled '" + "T" * 80 + "\u2026'."]
