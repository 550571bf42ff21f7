import pathlib

import pytest

TESTS = pathlib.Path(__file__).resolve().parent
DATA = TESTS / "data"
CORPUS = TESTS.parent.parent / "shared" / "corpus" / "fileparsers"


def corpus_files():
    """The real-world SD files that sit beside the repository, if present."""
    if not CORPUS.is_dir():
        return []
    return sorted(p for p in CORPUS.iterdir() if p.is_file())


def corpus_params():
    files = corpus_files()
    if not files:
        return [
            pytest.param(
                None,
                marks=pytest.mark.skip(reason=f"corpus folder {CORPUS} is absent"),
                id="no-corpus",
            )
        ]
    return [pytest.param(p, id=p.name) for p in files]
