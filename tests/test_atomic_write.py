"""Writing a path never loses what it held: a temporary file replaces it only when the write completes."""

import os
import stat
import threading

import pytest

from molvane.native import SDBlock, parse_sdf, write_sdf

BLOCK = b"t\n  molvane\n\nM  END\n> <ID>\n1\n\n$$$$\n"


def many_blocks(count):
    return b"".join(BLOCK.replace(b"t\n", f"t{i}\n".encode(), 1) for i in range(count))


@pytest.mark.parametrize("borrow", [False, True])
@pytest.mark.parametrize("kind", [os.fsdecode, os.fsencode])
def test_rewriting_a_file_from_itself(tmp_path, kind, borrow):
    path = tmp_path / "in.sdf"
    data = many_blocks(20000)  # several mapped batches
    path.write_bytes(data)
    edited = 0

    def tagged():
        nonlocal edited
        for block in parse_sdf(kind(path), borrow=borrow):
            if edited % 2 == 0:
                cast = str if isinstance(block.title, str) else str.encode
                block[cast("SEEN")] = cast("yes")
            edited += 1
            yield block

    assert write_sdf(kind(path), tagged()) == 20000
    blocks = list(parse_sdf(os.fsencode(path)))
    assert len(blocks) == 20000 and blocks[-1].title == b"t19999"
    assert [b.get(b"SEEN") for b in blocks[:3]] == [b"yes", None, b"yes"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.sdf"]


def test_mode_owner_and_symlinks_are_kept(tmp_path):
    target = tmp_path / "real.sdf"
    target.write_bytes(b"old")
    target.chmod(0o640)
    link = tmp_path / "link.sdf"
    link.symlink_to(target)
    write_sdf(link, [SDBlock(BLOCK)])
    assert link.is_symlink() and target.read_bytes() == BLOCK
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    # a new file gets 0666 less the umask, as open() gives
    umask = os.umask(0o022)
    os.umask(umask)
    write_sdf(tmp_path / "new.sdf", [SDBlock(BLOCK)])
    assert stat.S_IMODE((tmp_path / "new.sdf").stat().st_mode) == 0o666 & ~umask


def test_devices_and_fifos_are_written_directly(tmp_path):
    assert write_sdf("/dev/null", [SDBlock(BLOCK)]) == 1
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    write_sdf(fifo, [SDBlock(BLOCK)] * 3)
    reader.join()
    assert got == [BLOCK * 3] and stat.S_ISFIFO(fifo.stat().st_mode)
