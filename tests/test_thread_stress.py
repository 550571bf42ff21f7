"""Threads sharing blocks, iterators and writers: the use guard may refuse a
call with RuntimeError, but nothing crashes and no block is left corrupted."""

import os
import random
import sys
import threading
import time

import pytest
from conftest import run_all

import molvane
from molvane import SDBlock, parse_sdf

BLOCK = "t{}\n  molvane\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> <A>\n1\n\n> <B>\ntwo\nlines\n\n$$$$\n"
ALLOWED = {
    "Already borrowed",
    "Already mutably borrowed",
    "SDBlock records changed during iteration",
}
EDITS = [
    lambda block, rng: block.append_record("C", "x" * rng.randrange(50)),
    lambda block, rng: block.set_record("A", str(rng.random())),
    lambda block, rng: block.remove_record("C"),
    lambda block, rng: setattr(block, "title", f"title {rng.randrange(100)}"),
    lambda block, rng: block.replace_records({"A": "1", "B": "2"}, header="copy"),
]


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def block_actions(blocks, names_iterators):
    def read(rng):
        block = rng.choice(blocks)
        block.records(), block.get("A"), block.title, len(block), block.molblock

    def edit(rng):
        rng.choice(EDITS)(rng.choice(blocks), rng)

    def iterate(rng):
        block = rng.choice(blocks)
        for _ in block.iter_records():
            if rng.random() < 0.3:
                block.set_record("A", "inside")

    def shared_iterator(rng):
        next(rng.choice(names_iterators), None)

    def edit_from_generator(rng):
        block = rng.choice(blocks)

        def pairs():
            yield ("A", "1")
            block.title = "re-entered"  # refused: replace_records holds the block
            yield ("B", "2")

        block.replace_records(pairs())

    return [read, edit, iterate, shared_iterator, edit_from_generator]


def run_threads(actions, seconds=1.0, workers=4):
    failures, refused = [], []
    deadline = time.monotonic() + seconds

    def work(seed):
        rng = random.Random(seed)
        while time.monotonic() < deadline:
            action = rng.choice(actions)
            try:
                action(rng)
            except RuntimeError as error:
                if str(error) not in ALLOWED:
                    failures.append(repr(error))
                refused.append(str(error))
            except Exception as error:  # noqa: BLE001 - any other failure is a finding
                failures.append(f"{action.__name__}: {error!r}")

    run_all([threading.Thread(target=work, args=(seed,)) for seed in range(workers)])
    return failures, refused


def assert_sound(block):
    data, title_end, mdl_end, text = block.__reduce__()[1]
    rebuilt = SDBlock._from_state(data, title_end, mdl_end, text)
    assert rebuilt == block
    assert rebuilt.records() == block.records()
    assert str(block).endswith("$$$$\n")


def test_shared_blocks_and_iterators(fast_switching):
    blocks = [SDBlock(BLOCK.format(i)) for i in range(3)]
    iterators = [iter(block) for block in blocks]
    failures, refused = run_threads(block_actions(blocks, iterators))
    assert not failures, failures[:5]
    # The generator's re-entrant edit is always refused by the guard.
    assert "Already borrowed" in refused
    for block in blocks:
        assert_sound(block)


def test_shared_path_iterator_and_writer(tmp_path, fast_switching):
    source, out = tmp_path / "in.sdf", tmp_path / "out.sdf"
    source.write_text("".join(BLOCK.format(i) for i in range(20000)))
    reader, writer = parse_sdf(os.fsencode(source)), molvane.sdf_writer(os.fsencode(out))
    written = []

    def pull(rng):
        block = next(reader, None)
        if block is not None:
            writer.write(block)
            written.append(block)

    def close_late(rng):
        if rng.random() < 0.001:
            reader.close()

    failures, _ = run_threads([pull, pull, pull, close_late], seconds=1.5)
    writer.close()
    assert not failures, failures[:5]
    read_back = list(parse_sdf(os.fsencode(out)))
    assert len(read_back) == len(written)
    assert sorted(bytes(b) for b in read_back) == sorted(bytes(b) for b in written)
