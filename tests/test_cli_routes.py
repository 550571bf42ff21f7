"""The command line alike on every input and output route, run as real
processes: commands that count before they write on pipes, FIFOs and
process substitution; outputs compressed and chosen by suffix; messages
for a shell user."""

import os
import subprocess
import sys
import threading

import pytest
from cli_blocks import numbered

BLOCKS = numbered(7)
DATA = b"".join(BLOCKS)


def bash(script, cwd, env=None):
    """`script` in bash, molvane standing for this interpreter's python -m molvane."""
    prelude = f'molvane() {{ "{sys.executable}" -m molvane "$@"; }}\n'
    return subprocess.run(
        ["bash", "-o", "pipefail", "-c", prelude + script], capture_output=True, cwd=cwd, env=env
    )


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "in.sdf").write_bytes(DATA)
    (tmp_path / "tmp").mkdir()
    return tmp_path


# --- commands that count the blocks first read a stream once ----------------------------

# How the input reaches the command: {IN} in the command stands for it.
ROUTES = {
    "process substitution": ("", "<(cat in.sdf)"),
    "stdin pipe": ("cat in.sdf | ", "-"),
    "compressed stdin": ("gzip -c in.sdf | ", "-"),
    "named FIFO": ("mkfifo f && (cat in.sdf > f &) && ", "f"),
}

COUNTING = [
    ("molvane slice -2: {IN}", lambda: b"".join(BLOCKS[-2:])),
    ("molvane slice 0:3,-1 {IN}", lambda: b"".join(BLOCKS[0:3] + BLOCKS[-1:])),
    ("molvane split -n 3 {IN} -o 'p-{{n}}.sdf' && cat p-0.sdf p-1.sdf p-2.sdf", lambda: DATA),
    ("molvane split -n 3 {IN} -o 'p-{{n}}.sdf' && cat p-2.sdf", lambda: b"".join(BLOCKS[6:])),
]


@pytest.mark.parametrize("route", list(ROUTES))
@pytest.mark.parametrize("command, expected", COUNTING)
def test_counting_commands_read_streams_once(folder, route, command, expected):
    before, name = ROUTES[route]
    env = {**os.environ, "TMPDIR": str(folder / "tmp")}
    done = bash(before + command.format(IN=name), folder, env)
    assert done.returncode == 0, done.stderr
    assert done.stdout == expected()
    # The copy of the stream is gone afterwards.
    assert list((folder / "tmp").iterdir()) == []


def test_stream_copy_failure_is_one_line_and_writes_nothing(folder):
    # A file size limit fails the copy of stdin as a full disk would.
    assert len(DATA) > 1024
    done = bash("cat in.sdf | (ulimit -f 1; molvane split -n 2 - -o 'p-{n}.sdf')", folder)
    assert done.returncode == 2
    err = done.stderr.decode()
    assert err.startswith("molvane: error: <stdin>: ") and err.count("\n") == 1, err
    assert "TMPDIR" in err
    assert not list(folder.glob("p-*"))


def test_fifo_written_late_does_not_hang(folder):
    """A FIFO whose writer comes after the command starts is read once, whole."""
    os.mkfifo(folder / "late")
    writer = threading.Timer(0.3, (folder / "late").write_bytes, [DATA])
    writer.start()
    done = subprocess.run(
        [sys.executable, "-m", "molvane", "slice", "-1", "late"],
        capture_output=True,
        cwd=folder,
        timeout=120,
    )
    writer.join()
    assert (done.returncode, done.stdout) == (0, BLOCKS[-1]), done.stderr
