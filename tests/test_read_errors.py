"""Bad input to the readers (each error closes the source, earlier blocks stay valid),
and paths that cannot be opened for reading or writing."""

import errno
import io
import os

import pytest
from conftest import Boom, fd_count

from molvane import native

SDBlock = native.SDBlock


@pytest.mark.parametrize(
    "make, error, code",
    [
        (lambda tmp: str(tmp / "missing" / "o.sdf"), FileNotFoundError, errno.ENOENT),
        (lambda tmp: os.fsencode(tmp / "missing" / "o.sdf"), FileNotFoundError, errno.ENOENT),
        (lambda tmp: tmp / "missing" / "o.sdf", FileNotFoundError, errno.ENOENT),
        (str, IsADirectoryError, errno.EISDIR),
        (lambda tmp: "a\0b.sdf", OSError, None),
        (lambda tmp: b"a\0b.sdf", OSError, None),
    ],
)
@pytest.mark.parametrize(
    "call",
    [lambda p: next(native.parse_sdf(p)), lambda p: native.write_sdf(p, []), native.sdf_writer],
    ids=["parse_sdf", "write_sdf", "sdf_writer"],
)
def test_path_errors(tmp_path, make, error, code, call):
    source, before = make(tmp_path), fd_count()
    with pytest.raises(OSError) as info:
        call(source)
    assert type(info.value) is error
    if code is None:
        assert info.value.args == ("file name contained an unexpected NUL byte",)
    else:
        assert (info.value.errno, info.value.strerror) == (code, os.strerror(code))
        assert info.value.filename == os.fspath(source)
        assert type(info.value.filename) is type(os.fspath(source))
    assert fd_count() == before


def test_reading_opens_on_the_first_next(tmp_path):
    blocks = native.parse_sdf(tmp_path / "missing.sdf")  # nothing opened yet
    with pytest.raises(FileNotFoundError):
        next(blocks)
    assert list(blocks) == []
    blocks = native.parse_sdf(tmp_path / "missing.sdf")
    blocks.close()
    assert list(blocks) == []


class Reads:
    """A file object returning the given reads in turn."""

    def __init__(self, *reads):
        self.reads = list(reads)

    def read(self, n):
        item = self.reads.pop(0)
        if isinstance(item, Exception):
            raise item
        return item


# A whole block, then the start of another.
AB = b"A\n$$$$\nB\n"


def lines_raising():
    yield "A\n"
    yield "$$$$\n"
    raise Boom("midway")


@pytest.mark.parametrize(
    "make, error, message",
    [
        (
            lambda: SDBlock.from_lines(Reads(AB, None)),
            BlockingIOError,
            "file object read returned None: it is non-blocking and has no data ready; read it in blocking mode",
        ),
        (
            lambda: SDBlock.from_lines(Reads(AB, 7)),
            TypeError,
            "file objects must read str or bytes",
        ),
        (
            lambda: native.parse_sdf(Reads(AB, "$$$$\n")),
            TypeError,
            "file objects must not mix str and bytes reads",
        ),
        (lambda: SDBlock.from_lines(Reads(AB, Boom("read"))), Boom, "read"),
        (
            lambda: SDBlock.from_lines(["A", "$$$$", b"B"]),
            TypeError,
            "SDBlock.from_lines does not accept mixed str and bytes lines",
        ),
        (
            lambda: SDBlock.from_lines(["A", "$$$$", 3]),
            TypeError,
            "SDBlock.from_lines lines must be str or bytes",
        ),
        (lambda: SDBlock.from_lines(lines_raising()), Boom, "midway"),
    ],
)
def test_input_errors_end_the_source(make, error, message):
    blocks = make()
    first = next(blocks)
    with pytest.raises(error) as info:
        next(blocks)
    assert str(info.value) == message
    assert list(blocks) == []
    assert first.title in ("A", b"A") and first.molblock in ("A\n", b"A\n")


class FsPathFails:
    def __fspath__(self):
        raise Boom("fspath")


class FsPathLookupFails:
    __fspath__ = property(lambda self: FsPathFails().__fspath__())


class FsPathMissing(io.BytesIO):
    __fspath__ = property(lambda self: getattr(self, "no path"))


def test_attribute_error_for_fspath_means_not_a_path():
    assert [b.title for b in native.parse_sdf(FsPathMissing(b"x\n$$$$\n"))] == [b"x"]


NOT_A_SOURCE = "parse_sdf takes a path or a file object, not"
NOT_TEXT = "SDBlock.from_sdf argument must be str or bytes"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: native.parse_sdf(42), TypeError, f"{NOT_A_SOURCE} int"),
        (lambda: native.parse_sdf(bytearray(b"x")), TypeError, f"{NOT_A_SOURCE} bytearray"),
        (lambda: native.parse_sdf(FsPathFails()), Boom, "fspath"),
        (lambda: native.parse_sdf(FsPathLookupFails()), Boom, "fspath"),
        (lambda: native.parse_sdf("\udcff\ud800"), UnicodeEncodeError, None),
        (lambda: SDBlock.from_sdf(bytearray(b"x")), TypeError, NOT_TEXT),
        (lambda: SDBlock.from_sdf(memoryview(b"x")), TypeError, NOT_TEXT),
        (lambda: SDBlock.from_sdf("\ud800"), UnicodeEncodeError, None),
        (
            lambda: SDBlock.from_lines("x\n$$$$\n"),
            TypeError,
            "SDBlock.from_lines takes lines or a file object; use SDBlock.from_sdf to parse SDF "
            "str or bytes",
        ),
        (lambda: SDBlock.from_lines(5), TypeError, "'int' object is not iterable"),
        (lambda: native.parse_sdf("x.sdf", borrow=1), TypeError, None),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message is None or str(info.value) == message
