"""SD block texts for the table, schema, Dask and remote tests."""

from conftest import V2000_COUNTS


def block_text(title="t", records=(), raw_tail="", program=""):
    """A block without atoms: `program` on its second line, then `records` and `raw_tail`.

    Without a program line it is a block as from_table writes one."""
    data = "".join(f"> <{name}>\n{value}\n\n" for name, value in records)
    return f"{title}\n{program}\n\n{V2000_COUNTS}M  END\n{data}{raw_tail}$$$$\n"


def sd_block(title, records, newline="\n"):
    """A block with molvane's program line, its lines ending in `newline`."""
    return block_text(title, records, program="  molvane").replace("\n", newline)


def write(path, blocks):
    path.write_text("".join(blocks), newline="")
    return path
