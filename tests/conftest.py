import os
import pathlib

import pytest

from molvane.native import SDBlock

TESTS = pathlib.Path(__file__).resolve().parent
DATA = TESTS / "data"
# The real SD files live outside the repository: MOLVANE_CORPUS names their
# folder, by default the shared one beside the clone.
CORPUS_ROOT = pathlib.Path(
    os.environ.get("MOLVANE_CORPUS") or TESTS.parent.parent / "shared" / "corpus"
)
CORPUS = CORPUS_ROOT / "fileparsers"
V2000_COUNTS = "  0  0  0  0  0  0  0  0  0  0999 V2000\n"
# The advice that ends every note on a str block whose text is not UTF-8.
ADVICE = (
    "parse_sdf(os.fsencode(path)) reads such files as bytes, and "
    "parse_sdf(open(path, encoding=...)) decodes another encoding."
)


def pytest_sessionstart(session):
    # Corpus tests skip on a machine without the corpus, but in CI it is always
    # there: a missing folder is a broken setup, not a reason to pass silently.
    if os.environ.get("CI") and not CORPUS.is_dir():
        pytest.exit(
            f"corpus folder {CORPUS} is absent and CI is set; set MOLVANE_CORPUS", returncode=1
        )


# Under the sanitizers every test runs many times slower, so a fixed sample
# of the corpus (every SANITIZED_CORPUS_STEP-th file) stands for the whole;
# the plain build's run reads every file.
SANITIZED = os.environ.get("MOLVANE_SANITIZED") == "1"
SANITIZED_CORPUS_STEP = 8


def corpus_files():
    """The real-world SD files that sit beside the repository, if present."""
    if not CORPUS.is_dir():
        return []
    files = sorted(p for p in CORPUS.iterdir() if p.is_file())
    return files[::SANITIZED_CORPUS_STEP] if SANITIZED else files


def examples(count):
    """A property test's number of examples: `count`, and a tenth of it
    (at least 10) under the sanitizers."""
    return max(10, count // 10) if SANITIZED else count


def corpus_params():
    files = corpus_files()
    if not files:
        reason = f"corpus folder {CORPUS} is absent"
        return [pytest.param(None, marks=pytest.mark.skip(reason=reason), id="no-corpus")]
    return [pytest.param(p, id=p.name) for p in files]


class Boom(Exception):
    """An error of the caller's own, to see it pass through unchanged."""


def run_all(threads):
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def state(block):
    """Text, title_end, mdl_end and kind: all that a refused edit must leave alone."""
    return block.__reduce__()[1]


def text_of(block) -> bytes:
    """A block's whole text as bytes: a bytes block's buffer, a str block's UTF-8."""
    return str(block).encode() if state(block)[3] else bytes(block)


def texts(blocks, kind=bytes) -> list[bytes]:
    """The whole texts of `blocks`, which must all be of `kind`."""
    blocks = list(blocks)
    assert all(state(b)[3] == (kind is str) for b in blocks)
    return [text_of(b) for b in blocks]


def str_block(data: bytes):
    """A str block over `data` unchecked, as a str path gives for a Latin-1 file."""
    title_end, end = data.index(b"\n") + 1, data.find(b"M  END\n")
    return SDBlock._from_state(data, title_end, title_end if end < 0 else end + 7, True)


# Every record edit, as a call on a block with a name and a value of its kind.
RECORD_EDITS = {
    "append": lambda b, n, v: b.append_record(n, v),
    "set": lambda b, n, v: b.set_record(n, v),
    "setitem": lambda b, n, v: b.__setitem__(n, v),
    "remove": lambda b, n, v: b.remove_record(n),
    "delitem": lambda b, n, v: b.__delitem__(n),
    "replace": lambda b, n, v: b.replace_records([(n, v)]),
}
