"""Every public operation, run many times, leaves nothing behind.

Two measures that need no debug build of Python: the interpreter's count of
allocated memory blocks (every Python object, reference leaks included), and
glibc's count of bytes handed out by malloc (the C++ side: block texts,
splitter buffers, tables). Each operation is warmed up first, so that caches
filled once (interned names, the per-thread record-name cache, type objects)
do not count.
"""

import copy
import ctypes
import gc
import io
import os
import pickle
import sys

import pytest

import molvane
from molvane import CTable, MalformedCTableError, MalformedRecordError, SDBlock, parse_sdf

BLOCK = (
    "ethanol\n  molvane\n\n  0  0  0     0  0            999 V3000\n"
    "M  V30 BEGIN CTAB\nM  V30 COUNTS 2 1 0 0 0\nM  V30 BEGIN ATOM\n"
    "M  V30 3 C 0 0 0 0\nM  V30 5 O 1.2 0 0 0\nM  V30 END ATOM\nM  V30 BEGIN BOND\n"
    "M  V30 7 1 3 5\nM  V30 END BOND\nM  V30 END CTAB\nM  END\n"
    "> <ID>\nMV-1\n\n>  <NAME>  (1)\nethanol\nalcohol\n\n> <ID>\nMV-2\n\n$$$$\n"
)
BIG_VALUE = "x" * 20000
BLOCK_B = BLOCK.encode()
FILE_TEXT = BLOCK * 40


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    ]


try:
    _libc = ctypes.CDLL(None)
    _libc.mallinfo2.restype = MallInfo2
except (OSError, AttributeError):  # not glibc
    _libc = None


def malloc_bytes():
    info = _libc.mallinfo2() if _libc else None
    return info.uordblks + info.hblkhd if info else 0


def swallow(op, *errors):
    def run():
        try:
            op()
        except errors:
            pass

    return run


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    files = {"lf": folder / "lf.sdf", "crlf": folder / "crlf.sdf", "latin": folder / "latin.sdf"}
    files["lf"].write_text(FILE_TEXT)
    files["crlf"].write_bytes(FILE_TEXT.replace("\n", "\r\n").encode())
    files["latin"].write_bytes(BLOCK_B.replace(b"ethanol\n  ", b"\xe9thanol\n  ", 1))
    return {**files, "out": folder / "out.sdf", "dir": folder}


def exhaust(iterator):
    for _ in iterator:
        pass


def block_ops():
    text, data = SDBlock(BLOCK), SDBlock(BLOCK_B)

    def edit_cycle():
        block = SDBlock(BLOCK)
        block.append_record("NEW", BIG_VALUE)
        block.set_record("ID", "changed", header="copy")
        block["OTHER"] = "v"
        del block["OTHER"]
        block.remove_record("NAME")
        block.replace_records([("ID", "a"), ("X", "b"), ("ID", "c")], header="padded")
        block.title = "renamed"
        block.molblock = block.molblock
        return block

    def exported_edit():
        block = SDBlock(BLOCK_B)
        with memoryview(block) as view:
            swallow(lambda: setattr(block, "title", b"x"), BufferError)()
            bytes(view)

    def iterate_then_edit():
        block = SDBlock(BLOCK)
        names = iter(block)
        next(names)
        block.append_record("A", "1")
        swallow(lambda: next(names), RuntimeError)()
        exhaust(block.iter_records())

    return {
        "construct str": lambda: SDBlock(BLOCK),
        "construct bytes with records": lambda: SDBlock(BLOCK_B, {b"A": b"1", b"B": b"2"}),
        "construct refused": swallow(lambda: SDBlock(BLOCK + BLOCK), ValueError),
        "construct wrong type": swallow(lambda: SDBlock(3), TypeError),
        "sections": lambda: (text.title, text.molblock, text.mdl, str(text), repr(data), str(data)),
        "record reads": lambda: (
            text.records(),
            text.names(),
            text.to_dict(),
            text.get("ID"),
            text.get("missing"),
            "NAME" in text,
            len(text),
            data.records(),
        ),
        "missing key": swallow(lambda: text["missing"], KeyError),
        "malformed header": swallow(
            lambda: SDBlock("t\nM  END\n> no\n$$$$\n").records(), MalformedRecordError
        ),
        "wrong name type": swallow(lambda: text.get(b"ID"), TypeError),
        "edits": edit_cycle,
        "edit refused during export": exported_edit,
        "iterators": iterate_then_edit,
        "pickle and copy": lambda: (
            pickle.loads(pickle.dumps(text)),
            copy.copy(data),
            copy.deepcopy([text]),
            text == data,
            text == SDBlock(BLOCK),
        ),
        "invalid state": swallow(lambda: SDBlock._from_state(b"$$$$", 0, 0, False), ValueError),
        "ctable": lambda: (text.ctable().lines, data.num_atoms, data.num_bonds),
        "table repairs": lambda: (SDBlock(BLOCK).renumber_indices(), SDBlock(BLOCK_B).fix_counts()),
        "table errors": swallow(
            lambda: SDBlock("t\n\n\nM  END\n$$$$\n").ctable(), MalformedCTableError
        ),
        "CTable methods": ctable_cycle,
    }


def ctable_cycle():
    table = CTable(BLOCK.split("\n")[:15])
    table.valid_atom_indices()
    swallow(lambda: table.valid_atom_indices(strict=True), molvane.IndicesOutOfOrderError)()
    table.renumber_indices()
    table.fix_counts()
    return table.lines


def reading_ops(files):
    lf, crlf, latin = files["lf"], files["crlf"], files["latin"]

    def early_close():
        iterator = parse_sdf(os.fsencode(lf))
        next(iterator)
        iterator.close()

    def borrowed_kept():
        blocks = list(parse_sdf(os.fsencode(lf), borrow=True))
        blocks[0].title = b"edited"
        return blocks[-1].records()

    def lines_then_error():
        yield "title\n"
        raise KeyError("midway")

    return {
        "parse bytes path": lambda: exhaust(parse_sdf(os.fsencode(lf))),
        "parse str path CR LF": lambda: exhaust(parse_sdf(str(crlf))),
        "parse borrowed": borrowed_kept,
        "parse file object": lambda: exhaust(parse_sdf(io.BytesIO(FILE_TEXT.encode()))),
        "close early": early_close,
        "missing file": swallow(lambda: next(parse_sdf(str(files["dir"] / "absent.sdf"))), OSError),
        "from_sdf": lambda: (
            exhaust(SDBlock.from_sdf(FILE_TEXT)),
            exhaust(SDBlock.from_sdf(BLOCK_B)),
        ),
        "from_lines": lambda: exhaust(SDBlock.from_lines(FILE_TEXT.splitlines(keepends=True))),
        "from_lines raising": swallow(
            lambda: exhaust(SDBlock.from_lines(lines_then_error())), KeyError
        ),
        "mixed lines": swallow(lambda: exhaust(SDBlock.from_lines(["a\n", b"b\n"])), TypeError),
        "undecodable title": swallow(lambda: next(parse_sdf(str(latin))).title, UnicodeDecodeError),
    }


def writing_ops(files):
    blocks, byte_blocks = list(SDBlock.from_sdf(FILE_TEXT)), list(SDBlock.from_sdf(BLOCK_B * 40))
    out = files["out"]

    def writer_object():
        with molvane.sdf_writer(os.fsencode(out)) as writer:
            for block in byte_blocks[:5]:
                writer.write(block)
        swallow(lambda: writer.write(byte_blocks[0]), ValueError)()

    return {
        "write path": lambda: molvane.write_sdf(out, blocks),
        "write file object": lambda: molvane.write_sdf(io.StringIO(), blocks),
        "write bytes file object": lambda: molvane.write_sdf(io.BytesIO(), byte_blocks),
        "writer object": writer_object,
        "write mixed kinds": swallow(
            lambda: molvane.write_sdf(io.BytesIO(), [byte_blocks[0], blocks[0]]), TypeError
        ),
        "write missing dir": swallow(
            lambda: molvane.write_sdf(files["dir"] / "no" / "x.sdf", blocks), OSError
        ),
    }


def measure(op, runs):
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    bytes_before = malloc_bytes()
    for _ in range(runs):
        op()
    gc.collect()
    return sys.getallocatedblocks() - blocks_before, malloc_bytes() - bytes_before


OP_GROUPS = {"block": lambda files: block_ops(), "reading": reading_ops, "writing": writing_ops}


def all_op_names():
    # The operations only read their files when run, so placeholders do here.
    placeholders = dict.fromkeys(("lf", "crlf", "latin", "out", "dir"))
    return [f"{group}:{name}" for group, make in OP_GROUPS.items() for name in make(placeholders)]


@pytest.mark.parametrize("name", all_op_names())
def test_operation_leaves_nothing_behind(name, files):
    group, _, op_name = name.partition(":")
    op, runs = OP_GROUPS[group](files)[op_name], 200
    # Warm up a whole round: fill process-wide and per-thread caches, and let
    # allocator pools reach their steady size (pickling takes a few hundred runs).
    measure(op, runs)
    # Free lists and caches make single rounds noisy; a leak of even one block
    # per run shows in every round, so the best of three rounds decides.
    rounds = [measure(op, runs) for _ in range(3)]
    blocks, malloc = min(r[0] for r in rounds), min(r[1] for r in rounds)
    assert blocks < runs // 4, f"{blocks} Python memory blocks kept after {runs} runs"
    assert malloc < 64 * 1024, f"{malloc} malloc bytes kept after {runs} runs"
