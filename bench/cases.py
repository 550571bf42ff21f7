"""The benchmark's cases: each a function of the data files that returns
(bytes processed, blocks) or (bytes, blocks, seconds it timed itself), and
one Case record per row naming its baseline and its goals."""

from __future__ import annotations

import dataclasses
import gzip
import json
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from typing import Any

from data import CORPUS, FIELD

# --- cases: each returns (bytes processed, blocks) ---------------------------


def c_floor(exe, path):
    out = subprocess.run([str(exe), str(path)], check=True, capture_output=True, text=True)
    blocks, seconds = out.stdout.split()
    return os.path.getsize(path), int(blocks), float(seconds)


def py_read(files):
    with open(files["lf"], "rb") as f:
        data = f.read()
    return len(data), data.count(b"\n$$$$")


def py_split(files):
    with open(files["lf"], "rb") as f:
        data = f.read()
    parts = data.split(b"\n$$$$\n")
    return len(data), len(parts) - (1 if parts and not parts[-1] else 0)


def py_line_reader(files):
    blocks = 0
    size = 0
    with open(files["lf"], "rb") as f:
        fields = {}
        name = None
        value = []
        for line in f:
            size += len(line)
            if line.startswith(b"$$$$"):
                blocks += 1
                fields = {}
                name = None
            elif line.startswith(b">"):
                start = line.find(b"<")
                end = line.rfind(b">")
                name = line[start + 1 : end]
                value = []
            elif name is not None:
                if line.strip():
                    value.append(line.rstrip(b"\r\n"))
                else:
                    fields[name] = b"\n".join(value)
                    name = None
    return size, blocks


def rdkit_supplier(files):
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")
    blocks = 0
    with open(files["rdkit"], "rb") as f:
        supplier = Chem.ForwardSDMolSupplier(f, sanitize=False, removeHs=False, strictParsing=False)
        for mol in supplier:
            if mol is not None:
                mol.GetPropsAsDict()
            blocks += 1
    expected = files["rdkit"].read_bytes().count(b"\n$$$$\n")
    if blocks != expected:
        raise RuntimeError(f"RDKit read {blocks} of {expected} blocks")
    return os.path.getsize(files["rdkit"]), blocks


def parse_path(key, *, as_str=False, borrow=False):
    def case(files):
        from molvane import parse_sdf

        path = str(files[key]) if as_str else os.fsencode(files[key])
        blocks = 0
        for _ in parse_sdf(path, borrow=borrow):
            blocks += 1
        return os.path.getsize(files[key]), blocks

    return case


def parse_gzip(files):
    from molvane import parse_sdf

    blocks = 0
    with gzip.open(files["gz"], "rb") as f:
        for _ in parse_sdf(f):
            blocks += 1
    return os.path.getsize(files["slice"]), blocks


def gzip_read(files):
    with gzip.open(files["gz"], "rb") as f:
        data = f.read()
    return len(data), data.count(b"\n$$$$")


# --- compressed files: molvane against the decompressor (compressor) alone ---

PLAIN_OF = {"gz": "slice", "zst": "slice", "bz2": "small", "xz": "small"}


def library_reader(key, path):
    if key == "gz":
        from isal import igzip

        return igzip.open(path, "rb")
    if key == "bz2":
        import bz2

        return bz2.open(path, "rb")
    if key == "xz":
        import lzma

        return lzma.open(path, "rb")
    import zstandard

    return zstandard.ZstdDecompressor().stream_reader(open(path, "rb"), read_across_frames=True)


def decompress_floor(key):
    """The library's own decompression: 128 KiB reads, discarded."""

    def case(files):
        with library_reader(key, files[key]) as f:
            while f.read(131072):
                pass
        return os.path.getsize(files[PLAIN_OF[key]]), 0

    return case


def parse_compressed(key):
    def case(files):
        from molvane import parse_sdf

        blocks = 0
        for _ in parse_sdf(os.fsencode(files[key])):
            blocks += 1
        return os.path.getsize(files[PLAIN_OF[key]]), blocks

    return case


def gzip_write_floor(files):
    from isal import igzip

    data = files["slice"].read_bytes()
    out = files["lf"].with_name("written_floor.sdf.gz")
    start = time.perf_counter()
    # Level 2, isal's default: what write_sdf's default gzip level maps to.
    with igzip.open(out, "wb", compresslevel=2) as f:
        f.write(data)
    return len(data), data.count(b"\n$$$$"), time.perf_counter() - start


def from_sdf(files):
    from molvane import SDBlock

    with open(files["lf"], "rb") as f:
        data = f.read()
    blocks = 0
    for _ in SDBlock.from_sdf(data):
        blocks += 1
    return len(data), blocks


def per_block(method):
    def case(files):
        from molvane import parse_sdf

        blocks = 0
        for block in parse_sdf(os.fsencode(files["lf"])):
            method(block)
            blocks += 1
        return os.path.getsize(files["lf"]), blocks

    return case


def rdkit_slice_get(files):
    from molvane import parse_sdf

    blocks = 0
    for block in parse_sdf(os.fsencode(files["rdkit"])):
        block.get(FIELD)
        blocks += 1
    return os.path.getsize(files["rdkit"]), blocks


def edit_and_write(files):
    from molvane import parse_sdf, write_sdf

    out = files["lf"].with_name("written.sdf")

    def edited():
        for block in parse_sdf(os.fsencode(files["lf"])):
            block.set_record(b"molvane_note", b"seen")
            yield block

    blocks = write_sdf(os.fsencode(out), edited())
    return os.path.getsize(files["lf"]), blocks


RECORD_EDITS = 40_000


def record_edits(method):
    """`method` called 40,000 times with new names on one block; both cases
    build the same text, so the ratio of their speeds is one of times."""

    def case(files):
        from molvane import SDBlock

        block = SDBlock(b"edits\n\nM  END\n$$$$\n")
        edit = getattr(block, method)
        for i in range(RECORD_EDITS):
            edit(b"F%d" % i, b"v")
        return len(bytes(block)), RECORD_EDITS

    return case


def write_only(name):
    """write_sdf of the parsed slice to `name` (its suffix may ask for
    compression), timed without the parsing."""

    def case(files):
        from molvane import parse_sdf, write_sdf

        blocks = list(parse_sdf(os.fsencode(files["slice"])))
        out = files["lf"].with_name(name)
        start = time.perf_counter()
        write_sdf(os.fsencode(out), blocks)
        return os.path.getsize(files["slice"]), len(blocks), time.perf_counter() - start

    return case


def write_floor(files):
    with open(files["slice"], "rb") as f:
        data = f.read()
    out = files["lf"].with_name("written_floor.sdf")
    start = time.perf_counter()
    with open(out, "wb") as f:
        f.write(data)
    return len(data), data.count(b"\n$$$$"), time.perf_counter() - start


def read_write_floor(files):
    with open(files["lf"], "rb") as f:
        data = f.read()
    with open(files["lf"].with_name("written_floor.sdf"), "wb") as f:
        f.write(data)
    return len(data), data.count(b"\n$$$$")


def two_files_one_thread(files):
    size_a, blocks_a = parse_path("lf")(files)
    size_b, blocks_b = parse_path("lf2")(files)
    return size_a + size_b, blocks_a + blocks_b


def two_files_two_threads(files):
    results = {}
    errors = []

    def work(key):
        try:
            results[key] = parse_path(key)(files)
        except BaseException as error:  # re-raised in the calling thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(key,)) for key in ("lf", "lf2")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return tuple(map(sum, zip(*results.values())))


# Structure drawings: width and height of every drawing, and how many of the
# slice's first blocks RDKit draws (about one pass over the corpus's
# molecules, which the slice repeats, so its per-molecule speed is the
# slice's; the whole slice would take it minutes).
DRAW_SIZE = (300, 200)
RDKIT_DRAWN = 600


def svg_slice(files):
    from molvane import parse_sdf

    width, height = DRAW_SIZE
    blocks = 0
    for block in parse_sdf(os.fsencode(files["slice"])):
        block.svg(width, height)
        blocks += 1
    return os.path.getsize(files["slice"]), blocks


def rdkit_draw_slice(files):
    from rdkit import Chem, RDLogger
    from rdkit.Chem.Draw import rdMolDraw2D

    from molvane import parse_sdf

    RDLogger.DisableLog("rdApp.*")
    width, height = DRAW_SIZE
    molblocks = []
    size = 0
    for block in parse_sdf(os.fsencode(files["slice"])):
        molblocks.append(block.molblock)
        size += len(bytes(block))
        if len(molblocks) == RDKIT_DRAWN:
            break
    start = time.perf_counter()
    for molblock in molblocks:
        mol = Chem.MolFromMolBlock(molblock, sanitize=False, removeHs=False)
        if mol is None:
            continue
        drawer = rdMolDraw2D.MolDraw2DSVG(width, height)
        drawer.DrawMolecule(mol)
        drawer.FinishDrawing()
        drawer.GetDrawingText()
    return size, len(molblocks), time.perf_counter() - start


# Heavy atoms whose implicit hydrogen count equals RDKit's, and all heavy
# atoms compared, in the last run of the case below: for AGREEMENT_GOALS.
AGREEMENT = [None]


def hydrogens_against_rdkit(files):
    """implicit_hydrogens() of every corpus molecule RDKit sanitizes, each
    heavy atom's count compared with RDKit's GetTotalNumHs."""
    from rdkit import Chem, RDLogger

    from molvane import parse_sdf

    RDLogger.DisableLog("rdApp.*")
    size = blocks = agree = total = 0
    for path in sorted(CORPUS.glob("*.sdf")):
        try:
            found = list(parse_sdf(os.fsencode(path)))
        except ValueError:
            continue
        for block in found:
            blocks += 1
            size += len(bytes(block))
            mol = Chem.MolFromMolBlock(block.molblock, removeHs=False)
            if mol is None:
                continue
            ours = block.implicit_hydrogens()
            for atom in mol.GetAtoms():
                if atom.GetAtomicNum() != 1:
                    total += 1
                    agree += ours[atom.GetIdx()] == atom.GetTotalNumHs()
    AGREEMENT[0] = [agree, total]
    return size, blocks


def v3000_table(indices):
    lines = [
        "t",
        "  molvane",
        "",
        "  0  0  0     0  0            999 V3000",
        "M  V30 BEGIN CTAB",
        f"M  V30 COUNTS {len(indices)} 0 0 0 0",
        "M  V30 BEGIN ATOM",
    ]
    lines += [f"M  V30 {i} C 0 0 0 0" for i in indices]
    lines += ["M  V30 END ATOM", "M  V30 END CTAB", "M  END"]
    return lines


def validate_indices(indices):
    def case(files):
        from molvane import CTable

        table = CTable(v3000_table(indices))
        size = sum(len(line) + 1 for line in table.lines)
        start = time.perf_counter()
        table.valid_atom_indices()
        table.renumber_indices()
        return size, 1, time.perf_counter() - start

    return case


def dict_frame(files):
    import pandas as pd

    from molvane import parse_sdf

    frame = pd.DataFrame([b.to_dict() for b in parse_sdf(str(files["lf"]))])
    return os.path.getsize(files["lf"]), len(frame)


def rdkit_load_sdf(files):
    from rdkit import RDLogger
    from rdkit.Chem import PandasTools

    RDLogger.DisableLog("rdApp.*")
    frame = PandasTools.LoadSDF(str(files["rdkit"]), molColName=None)
    return os.path.getsize(files["rdkit"]), len(frame)


def table_case(function, key="lf", **options):
    def case(files):
        import molvane

        result = getattr(molvane, function)(str(files[key]), **options)
        rows = result.num_rows if hasattr(result, "num_rows") else len(result)
        # A compressed file is measured by the bytes it holds, as its floor is.
        return os.path.getsize(files[PLAIN_OF.get(key, key)]), rows

    return case


def dense_round_trip(whole_blocks):
    """to_pandas of the dense slice, then from_table into write_sdf: rows
    rebuilt from their records and molblock (every number from its value or
    its kept text), or, with `whole_blocks`, taken from the block column."""

    def case(files):
        import molvane

        source = str(files["dense"])
        out = pathlib.Path(files["dense"]).with_name("round_trip.sdf")
        if whole_blocks:
            frame = molvane.to_pandas(source, title=None, block="block", columns=[], threads=1)
            molvane.write_sdf(str(out), molvane.from_table(frame, block="block"))
        else:
            frame = molvane.to_pandas(source, molblock="molblock", threads=1)
            molvane.write_sdf(str(out), molvane.from_table(frame))
        # Every number is written as read: the output is the input again.
        if out.stat().st_size != os.path.getsize(source):
            raise AssertionError("the round trip changed the dense slice")
        return os.path.getsize(source), len(frame)

    return case


def table_of_gzip_object(files):
    """to_arrow of a binary file object over the .gz slice: the reader decompresses it."""
    import molvane

    with open(files["gz"], "rb") as handle:
        rows = molvane.to_arrow(handle, threads=1).num_rows
    return os.path.getsize(files["slice"]), rows


def table_of_fifo(files):
    """to_arrow of a FIFO that `cat` feeds with the slice, one thread."""
    import molvane

    fifo = pathlib.Path(tempfile.mkdtemp()) / "slice.fifo"
    os.mkfifo(fifo)
    command = f"cat {shlex.quote(str(files['slice']))} > {shlex.quote(str(fifo))}"
    feeder = subprocess.Popen(command, shell=True)
    try:
        rows = molvane.to_arrow(os.fsencode(fifo), threads=1).num_rows
    finally:
        feeder.wait()
        fifo.unlink()
        fifo.parent.rmdir()
    return os.path.getsize(files["slice"]), rows


# The table's own buffers in the last run of a memory case, in KiB.
TABLE_KB = [0]


# --- the command line: whole processes, start-up included on both sides -----


def arrow_bytes(table):
    """The bytes of a table's own buffers (pyarrow's count of them)."""
    return table.nbytes


def table_memory_case(function, key="lf", **options):
    """table_case that also reports the table's own buffers, for the memory goals."""

    def case(files):
        import molvane

        result = getattr(molvane, function)(str(files[key]), **options)
        TABLE_KB[0] = arrow_bytes(result) // 1024
        rows = result.num_rows if hasattr(result, "num_rows") else len(result)
        # A compressed file is measured by the bytes it holds, as its floor is.
        return os.path.getsize(files[PLAIN_OF.get(key, key)]), rows

    return case


def table_ranges(files, parts=4):
    """to_arrow of a file as `parts` byte ranges, one after the other, on one thread."""
    import molvane

    path = str(files["lf"])
    size = os.path.getsize(path)
    cuts = [size * i // parts for i in range(parts + 1)]
    rows = sum(
        molvane.to_arrow(path, start=a, stop=b, threads=1).num_rows for a, b in zip(cuts, cuts[1:])
    )
    return size, rows


def table_batches(files, batch_size=8192):
    """iter_batches of a mapped file: each batch dropped before the next is built."""
    import molvane

    rows = 0
    largest = 0
    for batch in molvane.iter_batches(str(files["lf"]), batch_size):
        rows += batch.num_rows
        largest = max(largest, batch.nbytes)
        del batch  # else it lives on while the next one is built
    TABLE_KB[0] = largest // 1024
    return os.path.getsize(files["lf"]), rows


# The table's own buffers in the last run of a memory case, in KiB.
TABLE_KB = [0]


# --- the command line: whole processes, start-up included on both sides -----


def grep_count(files):
    out = subprocess.run(
        ["grep", "-c", r"^\$\$\$\$", str(files["lf"])], check=True, capture_output=True
    )
    return os.path.getsize(files["lf"]), int(out.stdout)


def cli_count(files):
    out = subprocess.run(
        [sys.executable, "-m", "molvane", "count", str(files["lf"])],
        check=True,
        capture_output=True,
    )
    return os.path.getsize(files["lf"]), int(out.stdout)


# Both filters keep the blocks whose id lies below the middle one: a numeric
# comparison on every block, about half of them written. The limit is found
# outside the timed part.
RDKIT_FILTER = """
import sys
from rdkit import Chem, RDLogger
RDLogger.DisableLog("rdApp.*")
limit = float(sys.argv[3])
writer = Chem.SDWriter(sys.argv[2])
with open(sys.argv[1], "rb") as handle:
    for mol in Chem.ForwardSDMolSupplier(handle, sanitize=False, removeHs=False, strictParsing=False):
        if mol is not None and mol.HasProp("molvane_id") and float(mol.GetProp("molvane_id")) < limit:
            writer.write(mol)
writer.close()
"""


def _filter_limit(path):
    from molvane import parse_sdf

    ids = [float(b.get(FIELD)) for b in parse_sdf(os.fsencode(path))]
    return ids, (min(ids) + max(ids)) / 2


def rdkit_filter(files):
    import rdkit  # noqa: F401  (without it the case is unavailable, not failed)

    ids, limit = _filter_limit(files["rdkit"])
    out = pathlib.Path(files["rdkit"]).with_name("filtered_rdkit.sdf")
    start = time.perf_counter()
    subprocess.run(
        [sys.executable, "-c", RDKIT_FILTER, str(files["rdkit"]), str(out), str(limit)], check=True
    )
    return os.path.getsize(files["rdkit"]), len(ids), time.perf_counter() - start


def cli_filter(files):
    ids, limit = _filter_limit(files["rdkit"])
    out = pathlib.Path(files["rdkit"]).with_name("filtered_cli.sdf")
    start = time.perf_counter()
    argv = [
        sys.executable,
        "-m",
        "molvane",
        "filter",
        f"{FIELD.decode()} < {limit}",
        str(files["rdkit"]),
        "-o",
        str(out),
    ]
    subprocess.run(argv, check=True)
    return os.path.getsize(files["rdkit"]), len(ids), time.perf_counter() - start


PARQUET_DIRECT = """
import sys
import pyarrow.parquet
import molvane
pyarrow.parquet.write_table(molvane.to_arrow(sys.argv[1], title=None), sys.argv[2])
"""


def parquet_direct(files):
    out = pathlib.Path(files["slice"]).with_name("direct.parquet")
    subprocess.run(
        [sys.executable, "-c", PARQUET_DIRECT, str(files["slice"]), str(out)], check=True
    )
    return os.path.getsize(files["slice"]), 0


def cli_parquet(files):
    out = pathlib.Path(files["slice"]).with_name("cli.parquet")
    argv = [sys.executable, "-m", "molvane", "to-parquet", str(files["slice"]), "-o", str(out)]
    subprocess.run(argv, check=True)
    return os.path.getsize(files["slice"]), 0


# --- durable writes: the fsync before the rename, against the same write without it ---


def write_whole(durable):
    """write_sdf of the whole file's blocks (mapped, borrowed), timed without
    the parsing; `durable=False` is the write as it was before the sync."""

    def case(files):
        from molvane import parse_sdf, write_sdf

        blocks = list(parse_sdf(os.fsencode(files["lf"]), borrow=True))
        out = files["lf"].with_name("written_whole.sdf")
        start = time.perf_counter()
        write_sdf(os.fsencode(out), blocks, _durable=durable)
        seconds = time.perf_counter() - start
        os.unlink(out)
        return os.path.getsize(files["lf"]), len(blocks), seconds

    return case


def write_whole_floor(durable):
    """Python's one f.write of the whole file (read beforehand), with or
    without os.fsync: what the device allows any writer."""

    def case(files):
        with open(files["lf"], "rb") as f:
            data = f.read()
        out = files["lf"].with_name("written_whole_floor.sdf")
        start = time.perf_counter()
        with open(out, "wb") as f:
            f.write(data)
            if durable:
                f.flush()
                os.fsync(f.fileno())
        seconds = time.perf_counter() - start
        os.unlink(out)
        return len(data), data.count(b"\n$$$$"), seconds

    return case


def split_100(durable):
    """`molvane split -n 100` of the whole file, in this process; without
    the sync, every part written as split wrote it before: one write_sdf
    call per part, in turn."""

    def case(files):
        from molvane import native
        from molvane.cli import main, split

        def write_parts_as_before(parts, pattern, start, verbose, bgzf=False):
            for number, part in enumerate(parts, start=start):
                native.write_sdf(split.file_name(pattern, number), part, _durable=False)

        if not durable:
            split._write_parts = write_parts_as_before
        folder = files["lf"].with_name("split_parts")
        folder.mkdir(exist_ok=True)
        start = time.perf_counter()
        status = main(
            ["split", "-q", "-n", "100", str(files["lf"]), "-o", str(folder / "p{n}.sdf")]
        )
        seconds = time.perf_counter() - start
        assert status == 0
        parts = len(os.listdir(folder))
        for name in os.listdir(folder):
            os.unlink(folder / name)
        return os.path.getsize(files["lf"]), parts, seconds

    return case


# --- molvane view: time to the first page, and a far page against the first ---


def _viewer_get(url, route):
    import urllib.request

    base = url.split("/?")[0]
    token = url.split("token=")[1]
    sep = "&" if "?" in route else "?"
    with urllib.request.urlopen(f"{base}{route}{sep}token={token}", timeout=600) as response:
        return response.read()


def sanitizable_slice(files):
    """The slice without the blocks RDKit cannot sanitize, made once: mols2grid
    stops at the first such block (it asks a SMILES of a missing molecule),
    so both viewers are timed on this file."""
    path = pathlib.Path(files["slice"]).with_name("slice_sanitizable.sdf")
    if path.exists():
        return path
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")
    data = pathlib.Path(files["slice"]).read_bytes()
    kept = [
        block + b"$$$$\n"
        for block in data.split(b"$$$$\n")[:-1]
        if Chem.MolFromMolBlock(block.split(b"M  END")[0] + b"M  END\n") is not None
    ]
    temporary = path.with_suffix(".tmp")
    temporary.write_bytes(b"".join(kept))
    temporary.rename(path)
    return path


def view_first_page(files):
    """From starting `molvane view --no-browser` to the page and its first 24
    blocks (drawings included) served over HTTP, as a browser asks for them."""
    path = sanitizable_slice(files)
    start = time.perf_counter()
    process = subprocess.Popen(
        [sys.executable, "-m", "molvane", "view", "--no-browser", str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    try:
        url = process.stdout.readline().split()[-1]
        for route in ("/", "/viewer.js", "/viewer.css", "/api/files"):
            _viewer_get(url, route)
        page = json.loads(_viewer_get(url, "/api/page?start=0&count=24"))
        elapsed = time.perf_counter() - start
        assert len(page["rows"]) == 24, page
    finally:
        process.terminate()
        process.wait()
    return os.path.getsize(path), 24, elapsed


def mols2grid_display(files):
    """mols2grid.display(path) returning its HTML, for the same file."""
    import mols2grid
    from rdkit import RDLogger

    RDLogger.DisableLog("rdApp.*")
    path = sanitizable_slice(files)
    start = time.perf_counter()
    mols2grid.display(str(path))
    return os.path.getsize(path), 24, time.perf_counter() - start


VIEW_FAR_BLOCK = 250_000
VIEW_PAGES = 100


def view_page_at(far):
    """VIEW_PAGES requests of the 24-block page at block 0 or VIEW_FAR_BLOCK of
    the big file, from a server started in this process, its index done."""

    def case(files):
        from molvane.viewer import open_viewer

        server = open_viewer([str(files["lf"])])
        server.start()
        try:
            count = server.files[0].wait_count()
            at = min(VIEW_FAR_BLOCK, count - 24) if far else 0
            route = f"/api/page?start={at}&count=24"
            _viewer_get(server.url, route)
            start = time.perf_counter()
            for _ in range(VIEW_PAGES):
                _viewer_get(server.url, route)
            elapsed = time.perf_counter() - start
        finally:
            server.close()
        return os.path.getsize(files["lf"]), VIEW_PAGES * 24, elapsed

    return case


# Both filters keep the blocks whose id lies below the middle one: a numeric
# comparison on every block, about half of them written. The limit is found
# outside the timed part.
RDKIT_FILTER = """
import sys
from rdkit import Chem, RDLogger
RDLogger.DisableLog("rdApp.*")
limit = float(sys.argv[3])
writer = Chem.SDWriter(sys.argv[2])
with open(sys.argv[1], "rb") as handle:
    for mol in Chem.ForwardSDMolSupplier(handle, sanitize=False, removeHs=False, strictParsing=False):
        if mol is not None and mol.HasProp("molvane_id") and float(mol.GetProp("molvane_id")) < limit:
            writer.write(mol)
writer.close()
"""


# cut: three fields of every block (an int, a float and a name of the dense
# slice, where every block has them) to CSV, against the loop a user of RDKit
# writes for the same table.
CUT_FIELDS = ["F0", "F1", "F2"]
RDKIT_CUT = """
import csv, sys
from rdkit import Chem, RDLogger
RDLogger.DisableLog("rdApp.*")
fields = sys.argv[3].split(",")
with open(sys.argv[1], "rb") as handle, open(sys.argv[2], "w", newline="") as out:
    writer = csv.writer(out, lineterminator="\\n")
    writer.writerow(fields)
    for mol in Chem.ForwardSDMolSupplier(handle, sanitize=False, removeHs=False, strictParsing=False):
        if mol is not None:
            writer.writerow([mol.GetProp(f) if mol.HasProp(f) else "" for f in fields])
"""


def _timed_process(files, argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True)
    seconds = time.perf_counter() - start
    blocks = files["dense"].read_bytes().count(b"\n$$$$\n")
    return os.path.getsize(files["dense"]), blocks, seconds


def rdkit_cut(files):
    import rdkit  # noqa: F401  (without it the case is unavailable, not failed)

    out = pathlib.Path(files["dense"]).with_name("cut_rdkit.csv")
    argv = [sys.executable, "-c", RDKIT_CUT, str(files["dense"]), str(out), ",".join(CUT_FIELDS)]
    return _timed_process(files, argv)


def cli_cut(files):
    out = pathlib.Path(files["dense"]).with_name("cut_cli.csv")
    argv = [sys.executable, "-m", "molvane", "cut", ",".join(CUT_FIELDS), str(files["dense"])]
    return _timed_process(files, [*argv, "-o", str(out)])


def _trailing_copy(files):
    """The large LF file with two blank lines after its last $$$$ line."""
    path = pathlib.Path(files["lf"]).with_name("big_lf_trailing.sdf")
    if not path.exists() or path.stat().st_size != os.path.getsize(files["lf"]) + 2:
        shutil.copyfile(files["lf"], path)
        with open(path, "ab") as out:
            out.write(b"\n\n")
    return path


def _timed_copy(files, argv, out, trailing=True):
    source = _trailing_copy(files) if trailing else pathlib.Path(files["lf"])
    start = time.perf_counter()
    with open(out, "wb") as sink:
        subprocess.run([*argv, str(source)], check=True, stdout=sink)
    seconds = time.perf_counter() - start
    if pathlib.Path(out).read_bytes() != source.read_bytes():
        raise AssertionError(f"{argv[0]} did not copy the file byte for byte")
    return os.path.getsize(source), source.read_bytes().count(b"\n$$$$\n"), seconds


def coreutils_cat(files):
    return _timed_copy(files, ["cat"], pathlib.Path(files["lf"]).with_name("cat_coreutils.sdf"))


def cli_cat(trailing):
    def case(files):
        argv = [sys.executable, "-m", "molvane", "cat"]
        out = pathlib.Path(files["lf"]).with_name("cat_cli.sdf")
        return _timed_copy(files, argv, out, trailing)

    return case


LOOKUPS = 100_000


def sdfile_index(as_str=False):
    def case(files):
        import molvane

        f = molvane.SDFile(str(files["lf"]) if as_str else os.fsencode(files["lf"]))
        return os.path.getsize(files["lf"]), len(f)

    return case


def lookup_plan(path):
    """The same random block numbers for every peer, and their bytes."""
    import random

    import molvane

    offsets = memoryview(molvane.SDFile(os.fsencode(path)).offsets).tolist()
    rng = random.Random(15)
    picks = [rng.randrange(len(offsets) - 1) for _ in range(LOOKUPS)]
    return picks, sum(offsets[i + 1] - offsets[i] for i in picks)


def sdfile_lookups(files):
    import molvane

    picks, size = lookup_plan(files["lf"])
    f = molvane.SDFile(os.fsencode(files["lf"]))
    len(f)  # the index: its own row
    start = time.perf_counter()
    for i in picks:
        f[i]
    return size, len(picks), time.perf_counter() - start


def rdkit_lookups(files):
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")
    picks, size = lookup_plan(files["lf"])
    supplier = Chem.SDMolSupplier(str(files["lf"]), sanitize=False)
    len(supplier)  # its index, by reading every line, left out as for molvane
    start = time.perf_counter()
    for i in picks:
        supplier[i]
    return size, len(picks), time.perf_counter() - start


def rdkit_index(files):
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")
    return os.path.getsize(files["lf"]), len(Chem.SDMolSupplier(str(files["lf"]), sanitize=False))


_DASK_CLIENT = []


def dask_read_sdf(finish):
    """dask.read_sdf(...) on a LocalCluster of two worker processes of one
    thread each, started once per case process: the warm-up run starts it,
    and the timed runs leave its start-up out. `finish` is "compute" (the
    frame gathered into this process) or "persist" (the partitions built
    and kept on the workers: the reading without the transfer)."""

    def case(files):
        import molvane.dask

        if not _DASK_CLIENT:
            from distributed import Client, LocalCluster

            cluster = LocalCluster(
                n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
            )
            _DASK_CLIENT.append(Client(cluster))
        start = time.perf_counter()
        # Pieces of 64 MiB: nine or so share out evenly over two workers,
        # and the first arrive at the client while the others are read.
        frame = molvane.dask.read_sdf(str(files["lf"]), blocksize="64 MiB")
        if finish == "compute":
            rows = len(frame.compute())
            elapsed = time.perf_counter() - start
        else:
            from distributed import wait

            frame = frame.persist()
            wait(frame)
            elapsed = time.perf_counter() - start
            rows = int(frame.map_partitions(len).compute().sum())
        return os.path.getsize(files["lf"]), rows, elapsed

    return case


# --- one schema per input: scans, batches to a scan's schema, Dask sums -------

_SCANNED = {}


def scan_one_thread(files):
    """scan_schema of the file on one thread: names and kinds, no table
    (its native call, which also counts the blocks it read)."""
    import molvane
    from molvane import native

    path = str(files["lf"])
    scanned = native._build_table(molvane.parse_sdf(path), scan=True, threads=1, title="title")
    return os.path.getsize(files["lf"]), scanned.scanned


def batches_to_scan(files, batch_size=65536):
    """iter_batches to a schema scanned before (by the warm-up run), each
    batch dropped before the next; every batch must have that schema."""
    import molvane

    path = str(files["lf"])
    if "lf" not in _SCANNED:
        _SCANNED["lf"] = molvane.scan_schema(path)
    schema = _SCANNED["lf"]
    rows = 0
    largest = 0
    for batch in molvane.iter_batches(path, batch_size, schema=schema):
        if batch.schema != schema:
            raise AssertionError("a batch of another schema")
        rows += batch.num_rows
        largest = max(largest, batch.nbytes)
        del batch  # else it lives on while the next one is built
    TABLE_KB[0] = largest // 1024
    return os.path.getsize(files["lf"]), rows


_CLUSTERS: dict[int, Any] = {}


def cluster_client(workers):
    """A client of a LocalCluster of `workers` one-thread worker processes,
    started once per case process (by the warm-up run)."""
    if workers not in _CLUSTERS:
        from distributed import Client, LocalCluster

        cluster = LocalCluster(
            n_workers=workers, processes=True, threads_per_worker=1, dashboard_address=None
        )
        _CLUSTERS[workers] = Client(cluster)
    return _CLUSTERS[workers]


def cluster_sum(workers, path_of, column, **options):
    """dask.read_sdf(path_of(files), **options)[column].sum() on
    cluster_client(workers): the scan and the partitions run on the workers,
    and only the sums travel to the client."""

    def case(files):
        import molvane.dask

        path = path_of(files)
        client = cluster_client(workers)
        start = time.perf_counter()
        frame = molvane.dask.read_sdf(str(path), **options)
        total = client.compute(frame[column].sum()).result()
        elapsed = time.perf_counter() - start
        if not total:
            raise AssertionError("nothing summed")
        return os.path.getsize(files["lf"]), 1, elapsed

    return case


def dask_sum(workers):
    """The big file's molvane_id summed with default options."""
    return cluster_sum(workers, lambda files: files["lf"], "molvane_id")


# --- BGZF: the big file as blocked gzip, read in parallel and at random ---------


def bgzf_file(files):
    """The big LF file as BGZF (written once by write_sdf(bgzf=True), level 2)."""
    out = files["lf"].with_name("big_lf.bgzf.sdf.gz")
    if not out.exists() or out.stat().st_mtime < files["lf"].stat().st_mtime:
        import molvane

        molvane.write_sdf(
            os.fsencode(out),
            molvane.parse_sdf(os.fsencode(files["lf"])),
            bgzf=True,
            compresslevel=6,
        )
    return out


def bgzf_cluster_sum(workers):
    """The BGZF file's FIELD summed with default options."""
    return cluster_sum(workers, bgzf_file, FIELD.decode())


# --- plain gzip with saved access points: the big file read in parallel -----------


def gzindex_file(files):
    """The big LF file as one plain gzip stream (level 6), indexed by
    `molvane index` (written and indexed once)."""
    out = files["lf"].with_name("big_lf.plain.sdf.gz")
    if not out.exists() or out.stat().st_mtime < files["lf"].stat().st_mtime:
        import molvane

        molvane.write_sdf(
            os.fsencode(out), molvane.parse_sdf(os.fsencode(files["lf"])), compresslevel=6
        )
    index = out.with_name(out.name + ".idx")
    if not index.exists() or index.stat().st_mtime < out.stat().st_mtime:
        from molvane import _gzindex

        _gzindex.index_file(os.fsencode(out))
    return out


def gzindex_cluster_sum(workers):
    """The indexed plain gzip file's FIELD summed, in eight pieces whatever
    the size, so that a quick run has some to share."""

    def eighths(files):
        return gzindex_file(files)

    def case(files):
        piece = os.path.getsize(gzindex_file(files)) // 8 + 1
        return cluster_sum(workers, eighths, FIELD.decode(), blocksize=piece)(files)

    return case


def bgzf_lookups(files):
    import molvane

    path = bgzf_file(files)
    picks, size = lookup_plan(files["lf"])
    f = molvane.SDFile(os.fsencode(path))
    len(f)  # the index: a decompressing pass, left out as RDKit's is
    start = time.perf_counter()
    for i in picks:
        f[i]
    return size, len(picks), time.perf_counter() - start


def bgzf_read_through(files):
    """parse_sdf over the slice written as BGZF at gzip's level (read as gzip)."""
    from molvane import parse_sdf, write_sdf

    out = files["lf"].with_name("slice.bgzf.sdf.gz")
    if not out.exists() or out.stat().st_mtime < files["slice"].stat().st_mtime:
        write_sdf(
            os.fsencode(out), parse_sdf(os.fsencode(files["slice"])), bgzf=True, compresslevel=1
        )
    start = time.perf_counter()
    blocks = sum(1 for _ in parse_sdf(os.fsencode(out)))
    return os.path.getsize(files["slice"]), blocks, time.perf_counter() - start


def bgzf_write(files):
    """write_sdf(path.sdf.gz, bgzf=True) of the parsed slice, as write_only times gzip."""
    from molvane import parse_sdf, write_sdf

    blocks = list(parse_sdf(os.fsencode(files["slice"])))
    out = files["lf"].with_name("written.bgzf.sdf.gz")
    start = time.perf_counter()
    write_sdf(os.fsencode(out), blocks, bgzf=True)
    return os.path.getsize(files["slice"]), len(blocks), time.perf_counter() - start


# A hash set of 100,000 indices has 107,897 buckets in libstdc++: with the
# identity hash, multiples of that number all land in one bucket.
ATOMS = 100_000
ADVERSARIAL_INDICES = [(i + 1) * 107_897 for i in range(ATOMS)]


# name -> (function, baseline name or None)


# --- remote files: one local S3 server (moto), the plain file uploaded once ----

_S3: dict[str, Any] = {}


def _s3_object(files):
    """The big plain file as an object of a moto S3 server started here, once."""
    if "url" not in _S3:
        import fsspec
        from moto.server import ThreadedMotoServer

        server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
        server.start()
        host, port = server.get_host_and_port()
        options = {
            "key": "bench",
            "secret": "bench",
            "client_kwargs": {"endpoint_url": f"http://{host}:{port}", "region_name": "us-east-1"},
        }
        import boto3

        boto3.client(
            "s3",
            aws_access_key_id="bench",
            aws_secret_access_key="bench",
            **options["client_kwargs"],
        ).create_bucket(Bucket="bench")
        fs = fsspec.filesystem("s3", skip_instance_cache=True, **options)
        fs.put_file(str(files["lf"]), "bench/big_lf.sdf")
        _S3.update(server=server, fs=fs, options=options, url="s3://bench/big_lf.sdf")
    return _S3


def s3_cat(files):
    s3 = _s3_object(files)
    started = time.perf_counter()
    data = s3["fs"].cat_file("bench/big_lf.sdf")
    seconds = time.perf_counter() - started
    return len(data), data.count(b"\n$$$$"), seconds


def s3_to_arrow(files):
    import molvane

    s3 = _s3_object(files)
    started = time.perf_counter()
    table = molvane.to_arrow(s3["url"], storage_options=s3["options"])
    seconds = time.perf_counter() - started
    return os.path.getsize(files["lf"]), table.num_rows, seconds


@dataclasses.dataclass(frozen=True)
class Case:
    """One measured case: its name (the row of the results), what it runs (a
    function of the data files returning (bytes, blocks[, seconds]), or the
    name of a C floor), the baseline its ratio is shown against, and its
    goals: the least ratio of speeds to the baseline, other baselines with
    their least ratios, a least speed in MB/s, and the most peak RSS growth
    as (ratio of the table's own buffers, window MB)."""

    name: str
    run: Callable[..., Any] | str
    baseline: str | None = None
    least: float | None = None
    also: tuple[tuple[str, float], ...] = ()
    least_mbps: float | None = None
    memory: tuple[float, float] | None = None
    # the least share of answers equal to a peer's (the case reports them)
    least_agreement: float | None = None

    def goals(self) -> list[tuple[str, float]]:
        """(baseline, least ratio of speeds) for every ratio goal of the case."""
        own = [(self.baseline, self.least)] if self.baseline and self.least else []
        return own + list(self.also)


# Rows in the order they are run and reported.
CASES = [
    Case("floor: mmap + memmem (C)", "floor_mmap"),
    Case("floor: 128 KiB reads + memmem (C)", "floor_read", baseline="floor: mmap + memmem (C)"),
    Case("python: open().read()", py_read),
    Case("python: read + split at $$$$", py_split),
    Case("python: line reader, dict per block", py_line_reader),
    Case("rdkit: ForwardSDMolSupplier + GetPropsAsDict (slice)", rdkit_supplier),
    Case(
        "parse_sdf(bytes path)",
        parse_path("lf"),
        baseline="floor: mmap + memmem (C)",
        least=0.8,
        also=(("python: read + split at $$$$", 5.0),),
    ),
    Case(
        "parse_sdf(bytes path, borrow=True)",
        parse_path("lf", borrow=True),
        baseline="floor: mmap + memmem (C)",
    ),
    Case(
        "parse_sdf(str path), LF",
        parse_path("lf", as_str=True),
        baseline="floor: mmap + memmem (C)",
    ),
    Case(
        "parse_sdf(str path), CR LF",
        parse_path("crlf", as_str=True),
        baseline="floor: mmap + memmem (C)",
    ),
    Case("gzip.open().read() (slice)", gzip_read),
    Case("parse_sdf(gzip.open(...)) (slice)", parse_gzip, baseline="gzip.open().read() (slice)"),
    Case("isal: igzip read, 128 KiB (slice)", decompress_floor("gz")),
    Case(
        "parse_sdf(path.sdf.gz) (slice)",
        parse_compressed("gz"),
        baseline="isal: igzip read, 128 KiB (slice)",
        least=0.9,
        also=(("parse_sdf(gzip.open(...)) (slice)", 2.5),),
    ),
    Case("isal: igzip write, level 2 (slice)", gzip_write_floor),
    Case(
        "write_sdf(path.sdf.gz) (slice)",
        write_only("written.sdf.gz"),
        baseline="isal: igzip write, level 2 (slice)",
        least=0.9,
    ),
    Case("bz2: BZ2File read, 128 KiB (16 MB cut)", decompress_floor("bz2")),
    Case(
        "parse_sdf(path.sdf.bz2) (16 MB cut)",
        parse_compressed("bz2"),
        baseline="bz2: BZ2File read, 128 KiB (16 MB cut)",
        least=0.9,
    ),
    Case("lzma: LZMAFile read, 128 KiB (16 MB cut)", decompress_floor("xz")),
    Case(
        "parse_sdf(path.sdf.xz) (16 MB cut)",
        parse_compressed("xz"),
        baseline="lzma: LZMAFile read, 128 KiB (16 MB cut)",
        least=0.9,
    ),
    Case("zstandard: stream_reader read, 128 KiB (slice)", decompress_floor("zst")),
    Case(
        "parse_sdf(path.sdf.zst) (slice)",
        parse_compressed("zst"),
        baseline="zstandard: stream_reader read, 128 KiB (slice)",
        least=0.9,
    ),
    Case("SDBlock.from_sdf(whole bytes)", from_sdf, baseline="python: read + split at $$$$"),
    Case(
        "get(name) per block (slice)",
        rdkit_slice_get,
        baseline="rdkit: ForwardSDMolSupplier + GetPropsAsDict (slice)",
        least=50.0,
    ),
    Case(
        "get(name) per block",
        per_block(lambda b: b.get(FIELD)),
        baseline="python: line reader, dict per block",
    ),
    Case(
        "names() per block",
        per_block(lambda b: b.names()),
        baseline="python: line reader, dict per block",
    ),
    Case(
        "to_dict() per block",
        per_block(lambda b: b.to_dict()),
        baseline="python: line reader, dict per block",
    ),
    Case("python: read + one write", read_write_floor),
    Case(
        "parse_sdf + set_record + write_sdf(path)",
        edit_and_write,
        baseline="python: read + one write",
        least=0.5,
    ),
    Case("python: one f.write (slice)", write_floor),
    Case(
        "write_sdf(path) of parsed blocks (slice)",
        write_only("written.sdf"),
        baseline="python: one f.write (slice)",
        least=0.5,
    ),
    # durable writes: each with fsync against the same write without it; the
    # sync costs at most 10% of a whole-file write, 20% of a split. Where the
    # device itself cannot take the file that fast, the floor is the same
    # bytes made durable by one write and os.fsync, which it must not lose to.
    Case("write_sdf(path), no fsync (as before)", write_whole(False)),
    Case(
        "write_sdf(path), fsync",
        write_whole(True),
        baseline="write_sdf(path), no fsync (as before)",
        least=0.9,
        also=(("python: one f.write + os.fsync", 1.0),),
    ),
    Case("python: one f.write, no fsync", write_whole_floor(False)),
    Case(
        "python: one f.write + os.fsync",
        write_whole_floor(True),
        baseline="python: one f.write, no fsync",
    ),
    Case("split -n 100, no fsync (as before)", split_100(False)),
    Case(
        "split -n 100, fsync",
        split_100(True),
        baseline="split -n 100, no fsync (as before)",
        least=0.8,
    ),
    Case("one thread, two files in turn", two_files_one_thread),
    Case(
        "two threads, one file each",
        two_files_two_threads,
        baseline="one thread, two files in turn",
        least=1.7,
    ),
    Case("python: dict per block -> pandas.DataFrame (all str)", dict_frame),
    Case("rdkit: PandasTools.LoadSDF(molColName=None) (slice)", rdkit_load_sdf),
    Case(
        "to_arrow(str path), auto types (slice)",
        table_case("to_arrow", "rdkit"),
        baseline="rdkit: PandasTools.LoadSDF(molColName=None) (slice)",
        least=50.0,
    ),
    Case(
        "to_arrow(str path), auto types",
        table_case("to_arrow"),
        baseline="python: dict per block -> pandas.DataFrame (all str)",
    ),
    Case(
        "to_arrow(str path), types='str'",
        table_case("to_arrow", types="str"),
        baseline="python: dict per block -> pandas.DataFrame (all str)",
    ),
    Case(
        "to_pandas(str path)",
        table_case("to_pandas"),
        baseline="python: dict per block -> pandas.DataFrame (all str)",
    ),
    Case(
        "to_polars(str path)",
        table_case("to_polars"),
        baseline="python: dict per block -> pandas.DataFrame (all str)",
    ),
    Case("floor: mmap + memchr (C)", "floor_mmap_memchr"),
    Case(
        "floor: 128 KiB reads + memchr (C)",
        "floor_read_memchr",
        baseline="floor: mmap + memchr (C)",
    ),
    Case(
        "to_arrow(str path), auto types, one thread (slice)",
        table_case("to_arrow", "rdkit", threads=1),
        baseline="rdkit: PandasTools.LoadSDF(molColName=None) (slice)",
        least=50.0,
        least_mbps=1500.0,
    ),
    Case(
        "to_arrow(str path), auto types, one thread",
        table_memory_case("to_arrow", threads=1),
        baseline="floor: mmap + memchr (C)",
        least_mbps=1500.0,
        memory=(1.5, 16),
    ),
    Case(
        "to_arrow(str path), auto types, all threads",
        table_memory_case("to_arrow"),
        baseline="to_arrow(str path), auto types, one thread",
        least=1.8,
        memory=(1.5, 16),
    ),
    Case(
        "to_arrow(bytes path), auto types, one thread",
        table_case("to_arrow", "lf", threads=1),
        baseline="floor: mmap + memchr (C)",
    ),
    Case(
        "to_arrow(str path), 4 byte ranges in turn, one thread",
        table_ranges,
        baseline="to_arrow(str path), auto types, one thread",
    ),
    Case(
        "to_arrow(str path), block column, one thread",
        table_memory_case("to_arrow", threads=1, block="block"),
        baseline="to_arrow(str path), auto types, one thread",
        memory=(1.5, 16),
    ),
    Case(
        "to_arrow(str path), block column, all threads",
        table_memory_case("to_arrow", block="block"),
        baseline="to_arrow(str path), block column, one thread",
        least=1.8,
    ),
    Case(
        "to_arrow(str path), dense records, one thread (dense slice)",
        table_case("to_arrow", "dense", threads=1),
    ),
    Case(
        "to_arrow(str path), dense records, all threads (dense slice)",
        table_case("to_arrow", "dense"),
        baseline="to_arrow(str path), dense records, one thread (dense slice)",
        least=1.8,
    ),
    # Typed columns keep the texts of numbers written otherwise ("0.1230"):
    # typing with them against keeping every column as text, and the way
    # back by records against whole blocks.
    Case(
        "to_arrow(str path), dense records, types='str', one thread (dense slice)",
        table_case("to_arrow", "dense", threads=1, types="str"),
    ),
    Case(
        "to_arrow(str path), dense records typed, texts kept, one thread (dense slice)",
        table_case("to_arrow", "dense", threads=1),
        baseline="to_arrow(str path), dense records, types='str', one thread (dense slice)",
        least=0.7,
    ),
    Case(
        "to_pandas -> from_table -> write_sdf, block column (dense slice)", dense_round_trip(True)
    ),
    Case(
        "to_pandas -> from_table -> write_sdf, records as written (dense slice)",
        dense_round_trip(False),
        baseline="to_pandas -> from_table -> write_sdf, block column (dense slice)",
        least=0.1,
    ),
    Case(
        "iter_batches(str path), 8192 rows a batch",
        table_batches,
        baseline="to_arrow(str path), auto types, one thread",
        memory=(1.5, 16),
    ),
    Case("floor: mmap + memchr count of '$' (C)", "floor_memchr"),
    Case(
        "SDFile(bytes path) index",
        sdfile_index(),
        baseline="floor: mmap + memchr count of '$' (C)",
        least=0.8,
    ),
    Case(
        "SDFile(str path) index",
        sdfile_index(as_str=True),
        baseline="floor: mmap + memchr count of '$' (C)",
    ),
    Case("rdkit: SDMolSupplier(sanitize=False) len() index", rdkit_index),
    Case("rdkit: 100,000 random SDMolSupplier(sanitize=False)[i]", rdkit_lookups),
    Case(
        "SDFile: 100,000 random f[i]",
        sdfile_lookups,
        baseline="rdkit: 100,000 random SDMolSupplier(sanitize=False)[i]",
        least=20.0,
    ),
    Case(
        "dask.read_sdf(str path, blocksize='64 MiB').compute(), 2-worker LocalCluster",
        dask_read_sdf("compute"),
        baseline="to_arrow(str path), auto types, one thread",
        least=1.6,
    ),
    Case(
        "dask.read_sdf(str path, blocksize='64 MiB').persist(), 2-worker LocalCluster",
        dask_read_sdf("persist"),
        baseline="to_arrow(str path), auto types, one thread",
    ),
    # One schema per input: a scan against the build, batches to its schema, Dask sums.
    Case(
        "scan_schema(str path), one thread",
        scan_one_thread,
        baseline="to_arrow(str path), auto types, one thread",
        least=1 / 0.35,
    ),
    Case(
        "iter_batches(str path, schema=scan), 65536 rows a batch",
        batches_to_scan,
        baseline="to_arrow(str path), auto types, one thread",
        least=0.9,
        memory=(1.5, 16),
    ),
    Case("dask.read_sdf(str path)[id].sum(), 1-worker LocalCluster", dask_sum(1)),
    Case(
        "dask.read_sdf(str path)[id].sum(), 2-worker LocalCluster",
        dask_sum(2),
        baseline="dask.read_sdf(str path)[id].sum(), 1-worker LocalCluster",
        least=1.6,
    ),
    Case("V3000 index checks, 100,000 atoms in order", validate_indices(range(1, ATOMS + 1))),
    Case(
        "V3000 index checks, 100,000 atoms aimed at one bucket",
        validate_indices(ADVERSARIAL_INDICES),
        baseline="V3000 index checks, 100,000 atoms in order",
        least=0.33,
    ),
    # record edits on one block of many records: set_record must not rescan
    # it; set_record with new names within 3x the time of append_record
    Case("40,000 append_record, new names, one block", record_edits("append_record")),
    Case(
        "40,000 set_record, new names, one block",
        record_edits("set_record"),
        baseline="40,000 append_record, new names, one block",
        least=1 / 3,
    ),
    # cat of a file with blank lines after its last $$$$ copies it byte for byte, as fast as a file without them
    Case("coreutils cat, trailing blank lines (process)", coreutils_cat),
    Case("molvane cat, file ending in $$$$ (process)", cli_cat(False)),
    Case(
        "molvane cat, trailing blank lines (process)",
        cli_cat(True),
        baseline="molvane cat, file ending in $$$$ (process)",
        least=0.9,
        also=(("coreutils cat, trailing blank lines (process)", 0.1),),
    ),
    Case("grep -c '^$$$$' (process)", grep_count),
    Case("molvane count (process)", cli_count, baseline="grep -c '^$$$$' (process)", least=1 / 1.5),
    Case("rdkit: ForwardSDMolSupplier filter script (process, slice)", rdkit_filter),
    Case(
        "molvane filter, numeric field (process, slice)",
        cli_filter,
        baseline="rdkit: ForwardSDMolSupplier filter script (process, slice)",
        least=20.0,
    ),
    Case("to_arrow + pyarrow.parquet.write_table (process, slice)", parquet_direct),
    Case(
        "molvane to-parquet (process, slice)",
        cli_parquet,
        baseline="to_arrow + pyarrow.parquet.write_table (process, slice)",
        least=1 / 1.2,
    ),
    Case(
        "rdkit: MolFromMolBlock(sanitize=False) + MolDraw2DSVG (slice, first blocks)",
        rdkit_draw_slice,
    ),
    # drawings: 20x RDKit's per molecule, one thread
    Case(
        "block.svg() per block (slice)",
        svg_slice,
        baseline="rdkit: MolFromMolBlock(sanitize=False) + MolDraw2DSVG (slice, first blocks)",
        least=20.0,
    ),
    # hydrogen counts equal RDKit's on 99.5% of heavy atoms
    Case(
        "implicit_hydrogens() against RDKit's sanitized counts (corpus)",
        hydrogens_against_rdkit,
        least_agreement=0.995,
    ),
    # molvane view: its first page 20x sooner than mols2grid's HTML; a far
    # page within 2x of the first
    Case("mols2grid: display(path) HTML (sanitizable slice)", mols2grid_display),
    Case(
        "molvane view: first page served (process, sanitizable slice)",
        view_first_page,
        baseline="mols2grid: display(path) HTML (sanitizable slice)",
        least=20.0,
    ),
    Case("molvane view: page at block 0, 100 requests", view_page_at(far=False)),
    Case(
        "molvane view: page at block 250,000, 100 requests",
        view_page_at(far=True),
        baseline="molvane view: page at block 0, 100 requests",
        least=0.5,
    ),
    # molvane cut to CSV against an RDKit reading loop writing the same three columns.
    Case("rdkit: ForwardSDMolSupplier + csv.writer, 3 fields (process, dense slice)", rdkit_cut),
    Case(
        "molvane cut, 3 fields to CSV (process, dense slice)",
        cli_cut,
        baseline="rdkit: ForwardSDMolSupplier + csv.writer, 3 fields (process, dense slice)",
        least=10.0,
    ),
    # Every source through the one reader: compressed input and pipes near their floors.
    Case("to_arrow(bytes path), one thread (slice)", table_case("to_arrow", "slice", threads=1)),
    Case(
        "to_arrow(path.sdf.gz) (slice)",
        table_case("to_arrow", "gz"),
        baseline="isal: igzip read, 128 KiB (slice)",
        least=0.85,
    ),
    Case(
        "to_arrow(binary file object over .gz) (slice)",
        table_of_gzip_object,
        baseline="isal: igzip read, 128 KiB (slice)",
        least=0.8,
    ),
    Case(
        "to_arrow(FIFO fed by cat), one thread (slice)",
        table_of_fifo,
        baseline="to_arrow(bytes path), one thread (slice)",
        least=0.8,
    ),
    # Remote files: to_arrow of an S3 object against s3fs's own cat of it.
    Case("s3fs: cat_file of the object (local moto S3)", s3_cat),
    Case(
        "to_arrow(s3:// URL) (local moto S3)",
        s3_to_arrow,
        baseline="s3fs: cat_file of the object (local moto S3)",
        least=0.7,
    ),
    # BGZF: parallel partitions, random lookups and writing against their peers
    Case("dask.read_sdf(BGZF)[col].sum(), 1-worker LocalCluster", bgzf_cluster_sum(1)),
    Case(
        "dask.read_sdf(BGZF)[col].sum(), 2-worker LocalCluster",
        bgzf_cluster_sum(2),
        baseline="dask.read_sdf(BGZF)[col].sum(), 1-worker LocalCluster",
        least=1.6,
    ),
    Case(
        "SDFile(BGZF): 100,000 random f[i]",
        bgzf_lookups,
        baseline="rdkit: 100,000 random SDMolSupplier(sanitize=False)[i]",
        least=0.5,
    ),
    Case(
        "parse_sdf(path.sdf.gz), BGZF (slice)",
        bgzf_read_through,
        baseline="parse_sdf(path.sdf.gz) (slice)",
    ),
    Case(
        "write_sdf(path.sdf.gz, bgzf=True) (slice)",
        bgzf_write,
        baseline="write_sdf(path.sdf.gz) (slice)",
        least=0.8,
    ),
    # plain gzip read in parallel through the access points of `molvane index`
    Case(
        "dask.read_sdf(indexed .sdf.gz)[col].sum(), 1-worker LocalCluster",
        gzindex_cluster_sum(1),
    ),
    Case(
        "dask.read_sdf(indexed .sdf.gz)[col].sum(), 2-worker LocalCluster",
        gzindex_cluster_sum(2),
        baseline="dask.read_sdf(indexed .sdf.gz)[col].sum(), 1-worker LocalCluster",
        least=1.6,
    ),
]

BY_NAME = {case.name: case for case in CASES}
