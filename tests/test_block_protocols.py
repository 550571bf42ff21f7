"""SDBlock protocols: equality, buffer export, copying, pickling, generic alias."""

import copy
import gc
import io
import pickle
import types

import pytest
from conftest import RECORD_EDITS, examples, state
from hypothesis import given, settings
from hypothesis import strategies as st

from molvane.native import MalformedRecordError, SDBlock

TEXT = "t\n\nM  END\n>  <A>  (1)\n1\n\n$$$$\n"


def edited():
    block = SDBlock(TEXT.encode())
    block.append_record(b"B", b"2")
    block.title = b"renamed"
    return block


# Other states (CR LF, no M  END, empty str blocks) are pickled by the property further down.
BLOCKS = {
    "str": lambda: SDBlock(TEXT),
    "bytes": lambda: SDBlock(TEXT.encode()),
    "empty": lambda: SDBlock(b"$$$$\n"),
    "edited": edited,
}


@pytest.mark.parametrize("make", BLOCKS.values(), ids=BLOCKS.keys())
@pytest.mark.parametrize(
    "clone",
    [
        lambda b: pickle.loads(pickle.dumps(b)),
        copy.copy,
        copy.deepcopy,
        lambda b: copy.deepcopy([b])[0],
    ],
    ids=["pickle", "copy", "deepcopy", "deepcopy in list"],
)
def test_round_trips(make, clone):
    block = make()
    twin = clone(block)
    assert twin is not block and twin == block and state(twin) == state(block)
    assert type(twin.title) is type(block.title) and twin.records() == block.records()


def test_reduce_and_independent_copies():
    rebuild, args = SDBlock(TEXT).__reduce__()
    assert rebuild == SDBlock._from_state
    assert args == (TEXT.encode(), 2, len("t\n\nM  END\n"), True)
    block = SDBlock(TEXT)
    twin = copy.copy(block)
    twin.append_record("B", "2")
    twin.title = "other"
    assert block == SDBlock(TEXT) and twin != block


@pytest.mark.parametrize(
    "args, title",
    [
        ((b"x\n$$$$\n", 2, 2, False), b"x"),
        ((b"$$$$\n", 0, 0, True), ""),
        ((b"\n$$$$\r\n", 1, 1, False), b""),
    ],
)
def test_from_state_accepts(args, title):
    block = SDBlock._from_state(*args)
    assert block.title == title and block.records() == [] and len(block) == 0


def from_state(*args):
    return lambda: SDBlock._from_state(*args)


INVALID = "invalid SDBlock state"


@pytest.mark.parametrize(
    "call, error, message",
    [
        # the invariants are checked in full by the property below
        (from_state(b"x\n$$$$\n", 1, 2, False), ValueError, INVALID),
        (from_state(b"$$$$", 0, 0, False), ValueError, INVALID),
        # the terminator starts no line
        (from_state(b"x\nab$$$$\n", 2, 2, False), ValueError, INVALID),
        (from_state(b"x\nab\n$$$$\n", 2, 4, False), ValueError, INVALID),  # mdl_end not after an LF
        (from_state("x\n$$$$\n", 2, 2, False), TypeError, None),
        (from_state(b"x\n$$$$\n", 2.0, 2, False), TypeError, None),
        (from_state(b"x\n$$$$\n", 2, "2", False), TypeError, None),
        (from_state(b"x\n$$$$\n", 2, 2, 0), TypeError, None),
        (from_state(b"x\n$$$$\n", -1, 2, False), OverflowError, None),
        (from_state(b"x\n$$$$\n", 2, 2**64, False), OverflowError, None),
        (
            lambda: memoryview(SDBlock(TEXT)),
            TypeError,
            "a str SDBlock is not bytes-like; use str(block)",
        ),
        (lambda: bytes(SDBlock(TEXT)), TypeError, None),
        (lambda: SDBlock(TEXT).__deepcopy__(), TypeError, None),
        (lambda: hash(SDBlock(TEXT)), TypeError, None),
        (lambda: {SDBlock(TEXT)}, TypeError, None),
        (lambda: SDBlock(TEXT) < SDBlock(TEXT), TypeError, None),
        (lambda: SDBlock(TEXT) >= SDBlock(TEXT), TypeError, None),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message is None or str(info.value) == message


def valid_state(data, title_end, mdl_end):
    """The block invariants, written out independently of the extension."""
    terminator = b"$$$$\r\n" if data.endswith(b"\r\n") else b"$$$$\n"
    if len(data) < 2 or not data.endswith(terminator):
        return False
    dollar = len(data) - len(terminator)
    if title_end == 0:
        return mdl_end == 0 and dollar == 0
    return (
        data.find(b"\n") == title_end - 1
        and title_end <= mdl_end <= dollar
        and data[mdl_end - 1 : mdl_end] == b"\n"
        and data[dollar - 1 : dollar] == b"\n"
    )


pieces = st.sampled_from(
    [b"\n", b"\r\n", b"$$$$", b"> <A>", b">", b"<", b"M  END", b"x", b"\xe9", b" "]
)


@st.composite
def states(draw):
    data = b"".join(draw(st.lists(pieces, max_size=12)))
    if draw(st.booleans()):
        data += draw(st.sampled_from([b"$$$$\n", b"$$$$\r\n"]))
    offsets = [0] + [i + 1 for i, byte in enumerate(data) if byte == 10]
    offset = st.one_of(st.sampled_from(offsets), st.integers(0, len(data) + 2))
    return data, draw(offset), draw(offset), draw(st.booleans())


@settings(max_examples=examples(400), deadline=None)
@given(states())
def test_from_state_checks_every_invariant(args):
    data, title_end, mdl_end, text = args
    if not valid_state(data, title_end, mdl_end):
        with pytest.raises(ValueError, match=f"^{INVALID}$"):
            SDBlock._from_state(*args)
        return
    block = SDBlock._from_state(*args)
    assert state(block) == (data, title_end, mdl_end, text)
    for read in (
        SDBlock.records,
        lambda b: b.title,
        lambda b: b.molblock,
        lambda b: b.mdl,
        str,
        repr,
    ):
        try:
            read(block)
        except (MalformedRecordError, UnicodeDecodeError):
            pass
    if not text:
        assert bytes(block) == data
    name, value = ("N", "v") if text else (b"N", b"v")
    block.append_record(name, value)
    try:
        assert block.records()[-1] == (name, value)
    except (MalformedRecordError, UnicodeDecodeError):
        pass
    assert pickle.loads(pickle.dumps(block)) == block


def test_equality_compares_kind_text_and_offsets():
    assert SDBlock(TEXT) == SDBlock(TEXT)
    assert SDBlock(TEXT) != SDBlock(TEXT.encode())
    assert SDBlock(TEXT) != TEXT and not (SDBlock(TEXT) == TEXT)
    known = SDBlock(TEXT)
    known.mdl  # mdl_end computed in one, not yet in the other
    assert known == SDBlock(TEXT)
    data = b"t\nM  END\n$$$$\n"  # same bytes, other offsets
    assert SDBlock._from_state(data, 2, 9, False) != SDBlock._from_state(data, 2, 2, False)
    block = SDBlock(TEXT)
    block.set_record("A", "1")  # the records version takes no part
    assert block == SDBlock(TEXT)


V3000 = (
    b"t\n\n\n  0  0  0     0  0            999 V3000\nM  V30 BEGIN CTAB\nM  V30 COUNTS 1 0\n"
    b"M  V30 BEGIN ATOM\nM  V30 3 C\nM  V30 END ATOM\nM  V30 END CTAB\nM  END\n> <A>\n1\n\n$$$$\n"
)
BUFFER_EDITS = [
    *[lambda b, edit=edit: edit(b, b"A", b"2") for edit in RECORD_EDITS.values()],
    lambda b: setattr(b, "title", b"x"),
    lambda b: setattr(b, "molblock", b"m\n\nM  END\n"),
    SDBlock.renumber_indices,
    SDBlock.fix_counts,
]


@pytest.mark.parametrize(
    "edit", BUFFER_EDITS, ids=[*RECORD_EDITS, "title", "molblock", "renumber", "fix"]
)
def test_edits_refused_while_a_view_lives(edit):
    block = SDBlock(V3000)
    # The export is checked before the records are scanned: the malformed header is not reached.
    broken = SDBlock(V3000.replace(b"> <A>", b"> oops"))
    first, second, third = memoryview(block), memoryview(block), memoryview(broken)
    assert first.readonly and bytes(first) == V3000
    for target in (block, broken):
        with pytest.raises(
            BufferError, match="^Existing exports of data: SDBlock cannot be edited$"
        ):
            edit(target)
    with pytest.raises(TypeError):  # argument types come before the export
        block.append_record(b"A", "v")
    first.release()
    with pytest.raises(BufferError):
        edit(block)
    second.release()
    edit(block)
    assert bytes(third) == bytes(broken)


def test_exports_share_nothing_once_gone_and_keep_the_block_alive():
    block = SDBlock(TEXT.encode())
    assert bytes(block) == TEXT.encode()
    with pytest.raises((TypeError, BufferError)):
        io.BytesIO(b"abc").readinto(block)  # asks for a writable buffer
    block.title = b"free"
    view = memoryview(block)
    del block
    gc.collect()
    assert bytes(view) == b"free" + TEXT.encode()[1:]


@pytest.mark.parametrize(
    "block, shown",
    [
        (SDBlock("Benzene  \n\nM  END\n$$$$\n"), "<SDBlock title='Benzene'>"),
        (SDBlock(b"Benzene\n$$$$\n"), "<SDBlock title=b'Benzene'>"),
        (SDBlock._from_state(b"a\xe9b\n$$$$\n", 4, 4, True), "<SDBlock title='a\ufffdb'>"),
        (SDBlock("$$$$\n"), "<SDBlock title=''>"),
    ],
)
def test_repr(block, shown):
    assert repr(block) == shown
    if isinstance(block.mdl, bytes):
        assert str(block) == shown


@pytest.mark.parametrize("item", [str, bytes, int])
def test_generic_alias(item):
    alias = SDBlock[item]
    assert isinstance(alias, types.GenericAlias)
    assert (alias.__origin__, alias.__args__) == (SDBlock, (item,))
