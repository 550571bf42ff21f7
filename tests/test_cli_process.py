"""The console script as a shell sees it: pipes, exit statuses, stderr, the progress bar."""

import io
import pathlib
import signal
import subprocess
import sys

import pytest
from cli_blocks import numbered, split_blocks

from molvane.cli import COMMANDS, main
from molvane.cli.progress import Progress

BLOCKS = numbered(30)
SCRIPT = pathlib.Path(sys.executable).with_name("molvane")


def molvane():
    """The console script when installed beside this interpreter, else python -m molvane."""
    if SCRIPT.exists():
        return [str(SCRIPT)]
    return [sys.executable, "-m", "molvane"]


@pytest.fixture
def sdf(tmp_path):
    path = tmp_path / "in.sdf"
    path.write_bytes(b"".join(BLOCKS))
    return path


def shell(command, **kwargs):
    return subprocess.run(["bash", "-o", "pipefail", "-c", command], capture_output=True, **kwargs)


@pytest.mark.parametrize("entry", ["script", "module"])
def test_the_entry_points_are_one_program(entry):
    argv = molvane() if entry == "script" else [sys.executable, "-m", "molvane"]
    if entry == "script" and not SCRIPT.exists():
        pytest.skip("the molvane script is not installed beside this interpreter")
    from molvane import __version__

    done = subprocess.run([*argv, "--version"], capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"molvane {__version__}\n", "")


def test_commands_pipe_into_each_other_through_compressed_stdin(sdf):
    exe = " ".join(molvane())
    expected = [b for i, b in enumerate(BLOCKS) if i * 1.5 < 30][2:7]
    done = shell(
        f"gzip -c {sdf} | {exe} filter 'VALUE < 30' - | {exe} head --skip 2 -n 5 | {exe} cat - ",
    )
    assert done.returncode == 0 and done.stderr == b""
    assert split_blocks(done.stdout) == expected
    counted = shell(f"{exe} slice 1:4 {sdf} | {exe} count")
    assert counted.stdout == b"3\n"


def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path):
    big = tmp_path / "big.sdf"
    big.write_bytes(b"".join(BLOCKS) * 400)
    writer = subprocess.Popen(
        [*molvane(), "cat", str(big)], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    reader = subprocess.run(["head", "-n", "1"], stdin=writer.stdout, capture_output=True)
    writer.stdout.close()
    err = writer.stderr.read()
    writer.wait(timeout=60)
    assert reader.stdout == b"mol0\n"
    assert err == b""
    assert writer.returncode in (0, -signal.SIGPIPE)


@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_every_command_has_help_with_an_example(capsys, command):
    assert main([command, "--help"]) == 0
    out = capsys.readouterr().out
    assert out.startswith(f"usage: molvane {command} ")
    assert f"molvane {command} " in out.split("example", 1)[1]


# --- the progress bar ------------------------------------------------------------


class Terminal(io.StringIO):
    def isatty(self):
        return True


class Reader:
    """Blocks with the position/size of a reader."""

    def __init__(self, count, size):
        self.count, self.size, self.position = count, size, 0

    def __iter__(self):
        for i in range(self.count):
            self.position = (i + 1) * self.size // self.count
            yield i


@pytest.mark.parametrize(
    "enabled, stream", [(True, Terminal()), (False, Terminal()), (True, io.StringIO())]
)
def test_progress_draws_on_a_terminal_only_and_clears_itself(monkeypatch, enabled, stream):
    import molvane.cli.progress as progress

    monkeypatch.setattr(progress, "_INTERVAL", 0.0)
    bar = Progress(enabled, stream)
    assert list(bar.track(Reader(5000, 10_000_000), "in.sdf")) == list(range(5000))
    text = stream.getvalue()
    if not (enabled and stream.isatty()):
        assert text == ""
        return
    frames = [f for f in text.split("\r\x1b[K") if f]
    assert frames and all(f.startswith("in.sdf  [") for f in frames)
    assert all(part in frames[-1] for part in ("4,096 blocks", "82%", "left", "/s"))
    assert text.endswith("\r\x1b[K")  # the line is wiped when the input is done


def test_the_bar_is_off_when_stderr_is_not_a_terminal(sdf):
    done = subprocess.run(
        [*molvane(), "filter", "-c", "VALUE < 1e9", str(sdf)], capture_output=True
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{len(BLOCKS)}\n".encode(), b"")
