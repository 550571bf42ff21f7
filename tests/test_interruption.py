"""Long native loops answer signals, and a mapped file that shrinks is an error, not a crash.

Each case runs in a child interpreter: before these fixes the child hung,
ran out of memory or died of SIGBUS, which must not take the test run along.
"""

import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import faulthandler, itertools, os, signal, sys, threading, time
from molvane.native import SDBlock, parse_sdf, sdf_writer, write_sdf

class Alarm(Exception):
    pass

def on_alarm(*_):
    raise Alarm

signal.signal(signal.SIGALRM, on_alarm)
faulthandler.enable()
block = SDBlock(b"t\\n\\nM  END\\n> <v>\\n" + b"x" * 200 + b"\\n\\n$$$$\\n")
work = sys.argv[1]

def limit_memory():
    # Bounds the damage if signals went unheard; ASan's shadow memory needs
    # the whole address space, so its runs go without.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))

def alarm_soon():
    signal.setitimer(signal.ITIMER_REAL, 0.2)

def report(call):
    try:
        call()
    except Exception as error:
        print(type(error).__name__, getattr(error, "filename", None) is not None)
    else:
        print("no error")
"""

SIGNAL_CASES = {
    # write_sdf's own loop over a C iterator that never ends
    "write_sdf loop": """
        target = os.path.join(work, "o.sdf")
        open(target, "wb").write(b"old")
        alarm_soon()
        report(lambda: write_sdf(target, itertools.repeat(block)))
        assert open(target, "rb").read() == b"old" and os.listdir(work) == ["o.sdf"]
    """,
    # a FIFO whose reader has stopped reading: the write blocks
    "stalled FIFO reader": """
        fifo = os.path.join(work, "fifo")
        os.mkfifo(fifo)
        keeper = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # a reader that never reads
        alarm_soon()
        report(lambda: write_sdf(fifo, itertools.repeat(block, 100000)))
    """,
    # a FIFO without a reader: the open blocks
    "FIFO without a reader": """
        fifo = os.path.join(work, "fifo")
        os.mkfifo(fifo)
        alarm_soon()
        report(lambda: sdf_writer(fifo))
    """,
    # a source without a single `$$$$` line grows its buffer until a signal
    "endless block": """
        limit_memory()
        alarm_soon()
        report(lambda: next(parse_sdf("/dev/zero")))
    """,
    "endless file object": """
        class Zeros:
            def read(self, size):
                return b"x" * size
        limit_memory()
        alarm_soon()
        report(lambda: next(parse_sdf(Zeros())))
    """,
    # a C loop (deque) over an endless stream of blocks steps the iterator
    # without running any bytecode in between
    "C loop over a stream": """
        import collections
        fifo = os.path.join(work, "fifo")
        os.mkfifo(fifo)
        def feed():
            with open(fifo, "wb") as out:
                try:
                    while True:
                        out.write(bytes(block) * 1000)
                except (BrokenPipeError, ValueError):
                    pass
        threading.Thread(target=feed, daemon=True).start()
        alarm_soon()
        report(lambda: collections.deque(parse_sdf(fifo), maxlen=0))
        os._exit(0)  # the feeder may still be blocked in write
    """,
}


def run_child(body, tmp_path, timeout=60):
    script = PRELUDE + textwrap.dedent(body)
    return subprocess.run(
        [sys.executable, "-c", script, str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.mark.parametrize("case", SIGNAL_CASES)
def test_signal_handlers_run_and_their_exception_propagates(tmp_path, case):
    result = run_child(SIGNAL_CASES[case], tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["Alarm", "False"], result.stderr


SHRINK_CASES = {
    "while splitting": """
        blocks = parse_sdf(path, borrow=BORROW)
        first = next(blocks)
        os.truncate(path, 4096)
        report(lambda: sum(1 for _ in blocks))
        assert first.title == "t0" and len(str(first)) > 0
    """,
    "from another thread": """
        blocks = parse_sdf(path, borrow=BORROW)
        next(blocks)
        thread = threading.Thread(target=os.truncate, args=(path, 0))
        thread.start(); thread.join()
        report(lambda: list(blocks))
    """,
}


@pytest.mark.parametrize("borrow", [False, True])
@pytest.mark.parametrize("case", SHRINK_CASES)
def test_a_mapped_file_that_shrinks_raises(tmp_path, case, borrow):
    body = f"""
        path = os.path.join(work, "big.sdf")
        with open(path, "wb") as out:
            for i in range(100000):
                out.write(bytes(block).replace(b"t", f"t{{i}}".encode(), 1))
        BORROW = {borrow}
    """ + SHRINK_CASES[case]
    result = run_child(textwrap.dedent(body), tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["OSError", "True"], result.stderr
    assert "Fatal Python error" not in result.stderr  # faulthandler saw nothing


def test_other_bus_errors_still_reach_faulthandler(tmp_path):
    # Our handler only takes faults inside its own reads of a mapping.
    body = """
        path = os.path.join(work, "big.sdf")
        open(path, "wb").write(bytes(block) * 100)
        list(parse_sdf(path))  # installs our handler
        import mmap
        with open(path, "r+b") as f:
            view = mmap.mmap(f.fileno(), 0)
            os.truncate(path, 0)
            view[-1]
    """
    result = run_child(body, tmp_path)
    # killed by SIGBUS (or, under ASan, stopped by its report after faulthandler's)
    assert result.returncode == (23 if "asan" in os.environ.get("LD_PRELOAD", "") else -7)
    assert "Fatal Python error: Bus error" in result.stderr
