"""Every write path under faults: afterwards each target holds its old bytes
or the whole new output, never anything else, and no temporary is left
(except after SIGKILL, where it lies where the writing guide says)."""

import bz2
import contextlib
import errno
import gzip
import lzma
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import molvane
from molvane.cli import main

HERE = pathlib.Path(__file__).parent
BLOCK_COUNT = 300
TEMPORARY = re.compile(r"^\..+\.\d+\.\d+\.[0-9a-f]+\.tmp$")


def make_blocks(count=BLOCK_COUNT, seed=1):
    # Random values, so that compressed outputs are of some size too.
    rng = random.Random(seed)
    return b"".join(
        b"m%d\n  molvane\n\n  0  0  0  0  0  0            999 V2000\nM  END\n> <ID>\n%d\n\n"
        b"> <V>\n%s\n\n$$$$\n" % (i, i, rng.randbytes(40).hex().encode())
        for i in range(count)
    )


def zstd_decompress(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdDecompressor().decompressobj().decompress(data)


DECOMPRESS = {".gz": gzip.decompress, ".bz2": bz2.decompress, ".xz": lzma.decompress}


def content(path):
    """What a target holds, compared across runs: decompressed SD text, the
    rows of a Parquet file, else the bytes."""
    data = path.read_bytes()
    if path.suffix == ".zst":
        return zstd_decompress(data)
    if path.suffix in DECOMPRESS:
        return DECOMPRESS[path.suffix](data)
    if path.suffix == ".parquet":
        parquet = pytest.importorskip("pyarrow.parquet")
        return parquet.read_table(path).to_pylist()
    return data


class Raising:
    """Blocks of `source`, raising after `after` of them."""

    def __init__(self, source, after):
        self.blocks = molvane.parse_sdf(os.fsencode(source))
        self.after = after

    def __iter__(self):
        for number, block in enumerate(self.blocks):
            if number == self.after:
                raise RuntimeError("the source failed")
            yield block


def run_cli(*argv):
    if main([str(a) for a in argv]) != 0:
        raise OSError("the command failed")


def dask_write(source, folder, broken):
    dask = pytest.importorskip("dask")
    from molvane.dask import read_blocks, to_sdf

    bag = read_blocks(str(source), blocksize=8192)
    if broken:

        def fail_one(blocks):
            blocks = list(blocks)
            if any(block.get("ID") == "150" for block in blocks):
                raise RuntimeError("the source failed")
            return blocks

        bag = bag.map_partitions(fail_one)
    with dask.config.set(scheduler="threads"):
        to_sdf(bag, str(folder / "part-*.sdf"))


def write_with_sdf_writer(source, folder, broken):
    with molvane.sdf_writer(folder / "o.sdf") as out:
        for block in Raising(source, 150 if broken else None):
            out.write(block)


# name -> (targets in the folder, write(source, folder, broken))
PATHS = {
    **{
        suffix or "plain": (
            [f"o.sdf{suffix}"],
            lambda s, d, b, suffix=suffix: molvane.write_sdf(
                d / f"o.sdf{suffix}", Raising(s, 150 if b else None)
            ),
        )
        for suffix in ("", ".gz", ".bz2", ".xz", ".zst")
    },
    "sdf_writer": (["o.sdf"], write_with_sdf_writer),
    "cli SD": (["o.sdf.gz"], lambda s, d, b: run_cli("cat", s, "-o", d / "o.sdf.gz")),
    "cli csv": (["o.csv"], lambda s, d, b: run_cli("to-csv", s, "-q", "-o", d / "o.csv")),
    "cli jsonl": (["o.jsonl"], lambda s, d, b: run_cli("to-jsonl", s, "-q", "-o", d / "o.jsonl")),
    "cli parquet": (
        ["o.parquet"],
        lambda s, d, b: run_cli("to-parquet", s, "-q", "-o", d / "o.parquet"),
    ),
    "split": (
        [f"p{n}.sdf" for n in range(3)],
        lambda s, d, b: run_cli("split", "-k", "100", s, "-q", "-o", str(d / "p{n}.sdf")),
    ),
    "dask.to_sdf": ([], lambda s, d, b: dask_write(s, d, b)),
}


def needs(name):
    if name == ".zst":
        pytest.importorskip("zstandard")
    if name.startswith("cli ") and name != "cli SD" or name == "dask.to_sdf":
        pytest.importorskip("pyarrow")
    if name == "dask.to_sdf":
        pytest.importorskip("dask.bag")


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sources")
    good = folder / "in.sdf"
    good.write_bytes(make_blocks())
    # A compressed input cut short: the command reads blocks, then fails.
    cut = folder / "cut.sdf.gz"
    cut.write_bytes(gzip.compress(make_blocks())[:-2000])
    return good, cut


@pytest.fixture(scope="module")
def expected(sources, tmp_path_factory):
    """The complete new output of each path, from a run without faults."""
    results = {}

    def of(name):
        if name not in results:
            needs(name)
            folder = tmp_path_factory.mktemp("expected")
            PATHS[name][1](sources[0], folder, False)
            results[name] = {p.name: content(p) for p in folder.iterdir()}
            SIZES[name] = sum(p.stat().st_size for p in folder.iterdir())
        return results[name]

    return of


def prepare(folder, name, new):
    """Old files at every target name (and at dask's, which the new output names)."""
    names = PATHS[name][0] or sorted(new)
    old = {}
    for target in names:
        (folder / target).write_bytes(b"old " + target.encode())
        old[target] = (folder / target).read_bytes()
    return old


def check_outcome(folder, old, new, extra=()):
    """Each target old byte for byte or whole new; no other file left."""
    left = sorted(p.name for p in folder.iterdir() if p.name not in extra)
    assert left == sorted(old), left
    states = set()
    for target, before in old.items():
        now = (folder / target).read_bytes()
        if now == before:
            states.add("old")
        else:
            assert content(folder / target) == new[target], target
            states.add("new")
    return states


NAMES = list(PATHS)
SIZES = {}  # name -> bytes of the complete new output


# --- a file system that fills up --------------------------------------------------


@pytest.fixture(scope="module")
def small_fs():
    folder = tempfile.mkdtemp(prefix="molvane-tmpfs-")
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder], capture_output=True
    )
    if mounted.returncode != 0:
        os.rmdir(folder)
        pytest.skip("cannot mount a small tmpfs here (needs root): " + mounted.stderr.decode())
    yield pathlib.Path(folder)
    subprocess.run(["umount", folder], check=True)
    os.rmdir(folder)


def fill(folder, free):
    """A filler file that leaves about `free` bytes of the file system free."""
    filler = folder / "filler"
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    with contextlib.suppress(OSError):
        while True:
            os.write(fd, b"\1" * 4096)
    os.close(fd)
    size = filler.stat().st_size
    os.truncate(filler, max(0, size - free))


@pytest.mark.parametrize("name", NAMES)
def test_a_filling_file_system(small_fs, sources, expected, name, capsys):
    new = expected(name)
    largest = SIZES[name]
    outcomes = set()
    # From no room at all to ample, through points inside the write.
    for free in [0, 4096, largest // 3, 2 * largest // 3, largest, 4 * largest + 65536]:
        for leftover in small_fs.iterdir():
            leftover.unlink()
        old = prepare(small_fs, name, new)
        fill(small_fs, free)
        try:
            PATHS[name][1](sources[0], small_fs, False)
            outcome = "done"
        except (OSError, RuntimeError):
            outcome = "failed"
        states = check_outcome(small_fs, old, new, extra={"filler"})
        if name != "split":  # parts before the full one are written whole
            assert states == ({"new"} if outcome == "done" else {"old"})
        outcomes.add(outcome)
    assert outcomes == {"done", "failed"}  # the sweep saw both
    capsys.readouterr()


# --- a source that fails midway -------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_a_failing_source_keeps_the_old_files(tmp_path, sources, expected, name, capsys):
    new = expected(name)
    old = prepare(tmp_path, name, new)
    source = sources[1] if name.startswith("cli ") or name == "split" else sources[0]
    with pytest.raises((OSError, RuntimeError, EOFError)):
        PATHS[name][1](source, tmp_path, True)
    assert check_outcome(tmp_path, old, new) == {"old"} or name == "split"
    capsys.readouterr()


# --- a file-size limit one byte short -------------------------------------------

CHILD = """
import os, pathlib, resource, signal, sys, tempfile
sys.path.insert(0, {here!r})
import test_write_faults as t
name, source, folder, limit = sys.argv[1], sys.argv[2], pathlib.Path(sys.argv[3]), int(sys.argv[4])
if sys.argv[5] == "unprivileged":
    # The interpreter lies where only root may read: a first write (as root,
    # elsewhere) imports everything, then the child becomes an ordinary user.
    t.PATHS[name][1](source, pathlib.Path(tempfile.mkdtemp()), False)
    os.setgroups([])
    os.setgid(t.UNPRIVILEGED)
    os.setuid(t.UNPRIVILEGED)
if limit:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
try:
    t.PATHS[name][1](source, folder, False)
except Exception as error:
    print("failed", type(error).__name__, getattr(error, "errno", None), getattr(error, "filename", None))
else:
    print("done")
"""


def run_child(name, source, folder, limit=0, user="root"):
    env = dict(os.environ)
    if user != "root" and env.get("MOLVANE_SANITIZED") == "1":
        # A child that has dropped to another user cannot reopen the
        # interpreter's libraries under /root to name the frames that the
        # leak suppressions match, so it cannot tell others' leaks from ours.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            CHILD.format(here=str(HERE)),
            *(name, str(source), str(folder), str(limit), user),
        ],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.split("\n")[-2].split(" ", 3)


@pytest.mark.parametrize("name", NAMES)
def test_a_file_size_limit_one_byte_short(tmp_path, sources, expected, name):
    new = expected(name)
    clean = tmp_path / "clean"
    clean.mkdir()
    assert run_child(name, sources[0], clean)[0] == "done"
    largest = max(p.stat().st_size for p in clean.iterdir())
    folder = tmp_path / "limited"
    folder.mkdir()
    old = prepare(folder, name, new)
    outcome = run_child(name, sources[0], folder, largest - 1)
    assert outcome[0] == "failed", outcome
    if name in ("plain", "sdf_writer", ".gz", ".bz2", ".xz", ".zst"):  # the error names the file
        target = folder / PATHS[name][0][0]
        assert outcome[1:] == ["OSError", str(errno.EFBIG), str(target)]
    assert check_outcome(folder, old, new) == {"old"} or name == "split"


# --- permissions, as a user other than root ---------------------------------------

UNPRIVILEGED = 65534  # nobody


def need_root():
    if os.geteuid() != 0:
        pytest.skip("needs root, to run a child as another user")


@pytest.mark.parametrize("fault", ["read-only directory", "0444 target"])
@pytest.mark.parametrize("name", NAMES)
def test_permissions_are_respected(sources, expected, name, fault):
    need_root()
    new = expected(name)
    top = pathlib.Path(tempfile.mkdtemp(prefix="molvane-perm-"))
    try:
        top.chmod(0o755)
        folder = top / "d"
        folder.mkdir()
        old = prepare(folder, name, new)
        for path in folder.iterdir():
            os.chown(path, UNPRIVILEGED, UNPRIVILEGED)
            path.chmod(0o444 if fault == "0444 target" else 0o644)
        if fault == "0444 target":
            os.chown(folder, UNPRIVILEGED, UNPRIVILEGED)
        source = top / "in.sdf"
        source.write_bytes(sources[0].read_bytes())
        source.chmod(0o644)
        outcome = run_child(name, source, folder, user="unprivileged")
        assert outcome[0] == "failed", outcome
        if not name.startswith("cli ") and name != "split":  # the API names the file
            assert outcome[3] == str(folder / sorted(old)[0])
        assert check_outcome(folder, old, new) == {"old"}
    finally:
        subprocess.run(["rm", "-rf", str(top)], check=True)


# --- signals to a command ---------------------------------------------------------


def molvane_command():
    script = pathlib.Path(sys.executable).with_name("molvane")
    return [str(script)] if script.exists() else [sys.executable, "-m", "molvane"]


@pytest.mark.parametrize(
    "sig",
    [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL],
    ids=["SIGINT", "SIGTERM", "SIGHUP", "SIGKILL"],
)
@pytest.mark.parametrize("output", ["o.sdf", "o.sdf.gz", "o.jsonl"])
def test_signals_to_a_command(tmp_path, sig, output):
    if output.endswith("jsonl"):
        pytest.importorskip("pyarrow")
    target = tmp_path / output
    target.write_bytes(b"old")
    command = "to-jsonl" if output.endswith("jsonl") else "cat"
    child = subprocess.Popen(
        [*molvane_command(), command, "-q", "-", "-o", str(target)],
        stdin=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    data = make_blocks(4000)
    if command == "cat":  # half the input: the command waits mid-write
        child.stdin.write(data[: len(data) // 2])
        child.stdin.flush()
    else:  # the table is built from all of it, then written row by row
        child.stdin.write(data * 10)
        child.stdin.close()
    deadline = time.monotonic() + 30
    while not [p for p in tmp_path.iterdir() if TEMPORARY.match(p.name)]:
        assert child.poll() is None and time.monotonic() < deadline, child.stderr.read()
        time.sleep(0.01)
    child.send_signal(sig)
    with contextlib.suppress(BrokenPipeError):
        child.stdin.close()
    assert child.wait(30) == -sig  # killed by the signal itself
    assert target.read_bytes() == b"old"
    left = sorted(p.name for p in tmp_path.iterdir() if p != target)
    if sig == signal.SIGKILL:
        assert len(left) == 1 and TEMPORARY.match(left[0]) and left[0].startswith("." + output)
    else:
        assert left == []


# --- writers that are never closed ---------------------------------------------------

UNCLOSED = """
import sys
import molvane
out = molvane.sdf_writer(sys.argv[1])
for block in molvane.parse_sdf(sys.argv[2]):
    out.write(block)
{end}
"""


@pytest.mark.parametrize(
    "end",
    [
        "del out",  # reference counting
        "keep = [out]; keep.append(keep); del keep, out; import gc; gc.collect()",
        "",  # still open at exit
        "keep = [out]; keep.append(keep)",  # in a cycle at exit
        # The traceback keeps the writer alive until exit: what it holds then
        # is only part of the blocks, and must not replace the file.
        "raise SystemError('the script failed midway')",
    ],
    ids=["deleted", "collected", "at exit", "cycle at exit", "exception"],
)
@pytest.mark.parametrize("suffix", ["", ".gz", ".bz2"])
def test_an_unclosed_writer_commits_the_whole_file_unless_the_program_fails(
    tmp_path, sources, end, suffix
):
    target = tmp_path / f"o.sdf{suffix}"
    target.write_bytes(b"old")
    done = subprocess.run(
        [sys.executable, "-c", UNCLOSED.format(end=end), str(target), str(sources[0])],
        capture_output=True,
        text=True,
        timeout=60,
    )
    if end.startswith("raise"):
        assert done.returncode == 1
        assert "left as it was" in done.stderr and "the script failed midway" in done.stderr
        assert target.read_bytes() == b"old"
    else:
        assert done.returncode == 0 and done.stderr == "", done.stderr
        assert content(target) == sources[0].read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == [target.name]


@pytest.mark.parametrize("name", ["plain", ".gz", "sdf_writer", "cli csv", "split", "dask.to_sdf"])
def test_owner_group_and_mode_are_kept(tmp_path, sources, expected, name):
    need_root()  # only root may give the new file another user's owner
    new = expected(name)
    old = prepare(tmp_path, name, new)
    for target in old:
        os.chown(tmp_path / target, UNPRIVILEGED, UNPRIVILEGED)
        os.chmod(tmp_path / target, 0o640)
    PATHS[name][1](sources[0], tmp_path, False)
    assert check_outcome(tmp_path, old, new) == {"new"}
    for target in old:
        status = (tmp_path / target).stat()
        assert (status.st_uid, status.st_gid) == (UNPRIVILEGED, UNPRIVILEGED)
        assert status.st_mode & 0o7777 == 0o640
