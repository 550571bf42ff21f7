"""A plain model of how SD text splits into blocks, to check the readers against.

It follows the reading rules line by line in Python, with none of the
machinery that the readers use (needle searches, buffers, windows, batches).
"""

import re

READ_UNIT = 131072


def translate(text: bytes) -> bytes:
    """Universal newlines: CR LF and a lone CR become LF."""
    return text.replace(b"\r\n", b"\n").replace(b"\r", b"\n")


def lf_lines(data: bytes) -> list[bytes]:
    """Lines ending at LF, endings kept; the last may lack one."""
    return re.findall(rb"[^\n]*\n|[^\n]+\Z", data)


def title_line_ending(text: bytes) -> bytes:
    lf = text.find(b"\n")
    if lf >= 0:
        return b"\r\n" if lf > 0 and text[lf - 1 : lf] == b"\r" else b"\n"
    return b"\r\n" if text.endswith(b"\r") else b"\n"


def finish_block(text: bytes, dollar: int | None) -> bytes:
    """What a block's text becomes once built from its range."""
    if not text.endswith(b"\n"):
        text += b"\n" if text.endswith(b"\r") else title_line_ending(text)
    title_end = 0 if dollar == 0 else text.index(b"\n") + 1
    start = len(text) if dollar is None else max(dollar, title_end)
    if text[start:] not in (b"$$$$\n", b"$$$$\r\n"):
        ending = title_line_ending(text)
        text = text[:start] + (b"$$$$\r\n" if ending == b"\r\n" else b"$$$$\n")
    return text


def split_ranges(data: bytes) -> list[tuple[bytes, int | None]]:
    """Block ranges by the LF rule, each with its `$$$$` line's start."""
    ranges, start, pos = [], 0, 0
    for line in lf_lines(data):
        if line.startswith(b"$$$$"):
            ranges.append((data[start : pos + len(line)], pos - start))
            start = pos + len(line)
        pos += len(line)
    if start < len(data):
        ranges.append((data[start:], None))
    return ranges


def expected_blocks(data: bytes, *, text: bool = False) -> list[bytes]:
    """The texts of the blocks that reading `data` gives (str input translated)."""
    if text:
        data = translate(data)
    return [finish_block(part, dollar) for part, dollar in split_ranges(data)]
