"""Speed and memory benchmarks of molvane against its peers and the hardware floor.

    python bench/run.py [--size-mb N] [--quick]

Builds its data in a scratch directory from the real SD files beside the
repository, runs every case several times (warm page cache) in a fresh
process of its own, and prints one markdown table: case, MB/s, blocks/s,
ratio to its baseline and peak RSS growth. The table, with the date, the
Python version and the CPU, is written to bench/RESULTS.md (or --output),
and a chart of the same figures to docs/img/bench.png (beside another
--output, or --chart; it needs matplotlib, from the docs extra).
"""

from __future__ import annotations

import argparse
import datetime
import gzip
import json
import os
import pathlib
import platform
import shlex
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BENCH = pathlib.Path(__file__).resolve().parent
REPO = BENCH.parent
CORPUS = (
    pathlib.Path(os.environ.get("MOLVANE_CORPUS") or REPO.parent / "shared" / "corpus")
    / "fileparsers"
)
FIELD = b"molvane_id"


# --- data ------------------------------------------------------------------


def corpus_blocks():
    """Every block of the corpus files, LF line endings, each ending in $$$$."""
    if os.environ.get("CI") and not CORPUS.is_dir():
        sys.exit(
            f"bench/run.py: corpus folder {CORPUS} is absent and CI is set; set MOLVANE_CORPUS"
        )
    blocks = []
    for path in sorted(CORPUS.glob("*.sdf")):
        data = path.read_bytes().replace(b"\r\n", b"\n")
        current = []
        for line in data.splitlines(keepends=True):
            if line.startswith(b"$$$$"):
                current.append(b"$$$$\n")
                blocks.append(b"".join(current))
                current = []
            else:
                current.append(line if line.endswith(b"\n") else line + b"\n")
    blocks = [b for b in blocks if rdkit_reads(b) and records_named(b)]
    if not blocks:
        # Without the corpus, a small block of our own stands in.
        blocks.append(
            b"bench\n  molvane\n\n  1  0  0  0  0  0  0  0  0  0999 V2000\n"
            b"    0.0000    0.0000    0.0000 C   0  0  0  0  0  0  0  0  0  0  0  0\n"
            b"M  END\n> <NAME>\ncarbon\n\n$$$$\n"
        )
    return blocks


def rdkit_reads(block: bytes) -> bool:
    """Whether RDKit's supplier reads the block and goes on after it: the
    corpus holds deliberately broken blocks that would stop the RDKit
    baseline early, and the comparison must cover the same molecules."""
    try:
        from rdkit import Chem, RDLogger
    except ImportError:
        return True
    import io

    RDLogger.DisableLog("rdApp.*")
    supplier = Chem.ForwardSDMolSupplier(
        io.BytesIO(block + block), sanitize=False, removeHs=False, strictParsing=False
    )
    mols = list(supplier)
    return len(mols) == 2 and all(m is not None for m in mols)


def records_named(block: bytes) -> bool:
    """Whether every data header of the block names its record: the corpus
    holds deliberately broken headers, on which the per-block record cases
    would stop with MalformedRecordError."""
    try:
        from molvane import MalformedRecordError, SDBlock
    except ImportError:
        return True
    try:
        SDBlock(block).names()
    except MalformedRecordError:
        return False
    return True


def varied(block: bytes, serial: int) -> bytes:
    """The block with its title and an id record made unique."""
    title_end = block.find(b"\n") + 1
    body = block[title_end : len(block) - len(b"$$$$\n")]
    if body and not body.endswith(b"\n\n"):
        body += b"\n"
    if b"M  END" not in body:
        body = b"  molvane\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
    title = block[: title_end - 1].rstrip()[:60]
    record = b"> <" + FIELD + b">\n" + str(serial).encode() + b"\n\n"
    return title + b" #" + str(serial).encode() + b"\n" + body + record + b"$$$$\n"


def with_fresh_coordinates(data: bytes) -> bytes:
    """The data with the last four digits of every decimal number drawn anew
    (a fixed seed, so every run builds the same file); lengths and the
    block structure stay as they were."""
    import random
    import re

    draw = random.Random(20261207).randrange
    return re.sub(rb"(?<=\d\.)\d{4}(?!\d)", lambda _: b"%04d" % draw(10000), data)


def with_dense_records(data: bytes, count: int = 20) -> bytes:
    """Each block's molblock with the same `count` records: ints, floats and
    names in turn, drawn with a fixed seed. Where the big file's records are
    the corpus's mix (87 names, most of them in few blocks), every block of
    this one has every column, as in a vendor's or database's dump."""
    import random

    draw = random.Random(20261207)
    out = []
    for block in data.split(b"$$$$\n"):
        end = block.find(b"M  END\n")
        if end < 0:
            continue
        records = []
        for k in range(count):
            if k % 3 == 0:
                value = b"%d" % draw.randrange(10**6)
            elif k % 3 == 1:
                value = b"%.4f" % draw.random()
            else:
                value = b"name-%d" % draw.randrange(10**9)
            records.append(b"> <F%d>\n%s\n\n" % (k, value))
        out.append(block[: end + 7] + b"".join(records) + b"$$$$\n")
    return b"".join(out)


def make_data(scratch: pathlib.Path, size_mb: int, slice_mb: int, rdkit_mb: int):
    scratch.mkdir(parents=True, exist_ok=True)
    # The version in the stamp's name makes older scratch data be rebuilt.
    stamp = scratch / f"data-v3-{size_mb}-{slice_mb}-{rdkit_mb}.json"
    files = {
        "lf": scratch / "big_lf.sdf",
        "lf2": scratch / "big_lf_2.sdf",
        "crlf": scratch / "big_crlf.sdf",
        "gz": scratch / "slice.sdf.gz",
        "slice": scratch / "slice.sdf",
        "rdkit": scratch / "rdkit_slice.sdf",
        "small": scratch / "small.sdf",
        "bz2": scratch / "small.sdf.bz2",
        "xz": scratch / "small.sdf.xz",
        "zst": scratch / "slice.sdf.zst",
        "dense": scratch / "dense_slice.sdf",
    }
    if stamp.exists() and all(p.exists() for p in files.values()):
        return files, json.loads(stamp.read_text())
    blocks = corpus_blocks()
    target = size_mb * 1024 * 1024
    written = serial = 0
    with open(files["lf"], "wb") as out:
        pending = []
        while written < target:
            for block in blocks:
                text = varied(block, serial)
                serial += 1
                pending.append(text)
                written += len(text)
                if written >= target:
                    break
            out.write(b"".join(pending))
            pending.clear()
    data = files["lf"].read_bytes()
    files["lf2"].write_bytes(data)
    files["crlf"].write_bytes(data.replace(b"\n", b"\r\n"))

    def cut(limit_mb):
        end = data.find(b"\n$$$$\n", limit_mb * 1024 * 1024)
        return data if end < 0 else data[: end + 6]

    # The slice feeds the compressed and write cases. The big file repeats the
    # corpus every few megabytes, which xz and zstd (windows of 8 MB and more)
    # compress 80-120 fold, against the 5-10 fold of real dumps; fresh digits
    # in every coordinate give the slice a real dump's entropy.
    slice_data = with_fresh_coordinates(cut(slice_mb))
    files["slice"].write_bytes(slice_data)
    with gzip.open(files["gz"], "wb", compresslevel=1) as out:
        out.write(slice_data)
    files["rdkit"].write_bytes(cut(rdkit_mb))
    files["dense"].write_bytes(with_dense_records(slice_data))
    # bzip2 and xz compress slowly: their files hold a smaller cut.
    small_end = slice_data.find(b"\n$$$$\n", min(slice_mb, 16) * 1024 * 1024)
    small = slice_data if small_end < 0 else slice_data[: small_end + 6]
    files["small"].write_bytes(small)
    import bz2
    import lzma

    files["bz2"].write_bytes(bz2.compress(small, 9))
    files["xz"].write_bytes(lzma.compress(small, preset=6))
    try:
        import zstandard

        files["zst"].write_bytes(zstandard.ZstdCompressor(level=3).compress(slice_data))
    except ImportError:
        files["zst"].write_bytes(b"")
    meta = {"blocks": serial}
    stamp.write_text(json.dumps(meta))
    return files, meta


def build_floors(scratch: pathlib.Path):
    exes = {}
    for name in (
        "floor_mmap",
        "floor_read",
        "floor_mmap_memchr",
        "floor_read_memchr",
        "floor_memchr",
    ):
        exe = scratch / name
        source = BENCH / f"{name}.c"
        if not exe.exists() or exe.stat().st_mtime < source.stat().st_mtime:
            subprocess.run(["cc", "-O2", "-o", str(exe), str(source)], check=True)
        exes[name] = exe
    return exes


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
        return os.path.getsize(files[key]), rows

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
    TABLE_KB[0] = largest // 1024
    return os.path.getsize(files["lf"]), rows


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


# A hash set of 100,000 indices has 107,897 buckets in libstdc++: with the
# identity hash, multiples of that number all land in one bucket.
ATOMS = 100_000
ADVERSARIAL_INDICES = [(i + 1) * 107_897 for i in range(ATOMS)]


# name -> (function, baseline name or None)
CASES = {
    "floor: mmap + memmem (C)": ("floor_mmap", None),
    "floor: 128 KiB reads + memmem (C)": ("floor_read", "floor: mmap + memmem (C)"),
    "python: open().read()": (py_read, None),
    "python: read + split at $$$$": (py_split, None),
    "python: line reader, dict per block": (py_line_reader, None),
    "rdkit: ForwardSDMolSupplier + GetPropsAsDict (slice)": (rdkit_supplier, None),
    "parse_sdf(bytes path)": (parse_path("lf"), "floor: mmap + memmem (C)"),
    "parse_sdf(bytes path, borrow=True)": (
        parse_path("lf", borrow=True),
        "floor: mmap + memmem (C)",
    ),
    "parse_sdf(str path), LF": (parse_path("lf", as_str=True), "floor: mmap + memmem (C)"),
    "parse_sdf(str path), CR LF": (
        parse_path("crlf", as_str=True),
        "floor: mmap + memmem (C)",
    ),
    "gzip.open().read() (slice)": (gzip_read, None),
    "parse_sdf(gzip.open(...)) (slice)": (parse_gzip, "gzip.open().read() (slice)"),
    "isal: igzip read, 128 KiB (slice)": (decompress_floor("gz"), None),
    "parse_sdf(path.sdf.gz) (slice)": (parse_compressed("gz"), "isal: igzip read, 128 KiB (slice)"),
    "isal: igzip write, level 2 (slice)": (gzip_write_floor, None),
    "write_sdf(path.sdf.gz) (slice)": (
        write_only("written.sdf.gz"),
        "isal: igzip write, level 2 (slice)",
    ),
    "bz2: BZ2File read, 128 KiB (16 MB cut)": (decompress_floor("bz2"), None),
    "parse_sdf(path.sdf.bz2) (16 MB cut)": (
        parse_compressed("bz2"),
        "bz2: BZ2File read, 128 KiB (16 MB cut)",
    ),
    "lzma: LZMAFile read, 128 KiB (16 MB cut)": (decompress_floor("xz"), None),
    "parse_sdf(path.sdf.xz) (16 MB cut)": (
        parse_compressed("xz"),
        "lzma: LZMAFile read, 128 KiB (16 MB cut)",
    ),
    "zstandard: stream_reader read, 128 KiB (slice)": (decompress_floor("zst"), None),
    "parse_sdf(path.sdf.zst) (slice)": (
        parse_compressed("zst"),
        "zstandard: stream_reader read, 128 KiB (slice)",
    ),
    # Every source through the one reader: tables of compressed input and pipes.
    "to_arrow(bytes path), one thread (slice)": (
        table_case("to_arrow", "slice", threads=1),
        None,
    ),
    "to_arrow(path.sdf.gz) (slice)": (
        table_case("to_arrow", "gz"),
        "isal: igzip read, 128 KiB (slice)",
    ),
    "to_arrow(binary file object over .gz) (slice)": (
        table_of_gzip_object,
        "isal: igzip read, 128 KiB (slice)",
    ),
    "to_arrow(FIFO fed by cat), one thread (slice)": (
        table_of_fifo,
        "to_arrow(bytes path), one thread (slice)",
    ),
    "SDBlock.from_sdf(whole bytes)": (from_sdf, "python: read + split at $$$$"),
    "get(name) per block (slice)": (
        rdkit_slice_get,
        "rdkit: ForwardSDMolSupplier + GetPropsAsDict (slice)",
    ),
    "get(name) per block": (
        per_block(lambda b: b.get(FIELD)),
        "python: line reader, dict per block",
    ),
    "names() per block": (per_block(lambda b: b.names()), "python: line reader, dict per block"),
    "to_dict() per block": (
        per_block(lambda b: b.to_dict()),
        "python: line reader, dict per block",
    ),
    "python: read + one write": (read_write_floor, None),
    "parse_sdf + set_record + write_sdf(path)": (edit_and_write, "python: read + one write"),
    "python: one f.write (slice)": (write_floor, None),
    "write_sdf(path) of parsed blocks (slice)": (
        write_only("written.sdf"),
        "python: one f.write (slice)",
    ),
    "one thread, two files in turn": (two_files_one_thread, None),
    "two threads, one file each": (two_files_two_threads, "one thread, two files in turn"),
    "python: dict per block -> pandas.DataFrame (all str)": (dict_frame, None),
    "rdkit: PandasTools.LoadSDF(molColName=None) (slice)": (rdkit_load_sdf, None),
    "to_arrow(str path), auto types (slice)": (
        table_case("to_arrow", "rdkit"),
        "rdkit: PandasTools.LoadSDF(molColName=None) (slice)",
    ),
    "to_arrow(str path), auto types": (
        table_case("to_arrow"),
        "python: dict per block -> pandas.DataFrame (all str)",
    ),
    "to_arrow(str path), types='str'": (
        table_case("to_arrow", types="str"),
        "python: dict per block -> pandas.DataFrame (all str)",
    ),
    "to_pandas(str path)": (
        table_case("to_pandas"),
        "python: dict per block -> pandas.DataFrame (all str)",
    ),
    "to_polars(str path)": (
        table_case("to_polars"),
        "python: dict per block -> pandas.DataFrame (all str)",
    ),
    "floor: mmap + memchr (C)": ("floor_mmap_memchr", None),
    "floor: 128 KiB reads + memchr (C)": ("floor_read_memchr", "floor: mmap + memchr (C)"),
    "to_arrow(str path), auto types, one thread (slice)": (
        table_case("to_arrow", "rdkit", threads=1),
        "rdkit: PandasTools.LoadSDF(molColName=None) (slice)",
    ),
    "to_arrow(str path), auto types, one thread": (
        table_memory_case("to_arrow", threads=1),
        "floor: mmap + memchr (C)",
    ),
    "to_arrow(str path), auto types, all threads": (
        table_memory_case("to_arrow"),
        "to_arrow(str path), auto types, one thread",
    ),
    "to_arrow(bytes path), auto types, one thread": (
        table_case("to_arrow", "lf", threads=1),
        "floor: mmap + memchr (C)",
    ),
    "to_arrow(str path), 4 byte ranges in turn, one thread": (
        table_ranges,
        "to_arrow(str path), auto types, one thread",
    ),
    "to_arrow(str path), block column, one thread": (
        table_memory_case("to_arrow", threads=1, block="block"),
        "to_arrow(str path), auto types, one thread",
    ),
    "to_arrow(str path), block column, all threads": (
        table_memory_case("to_arrow", block="block"),
        "to_arrow(str path), block column, one thread",
    ),
    "to_arrow(str path), dense records, one thread (dense slice)": (
        table_case("to_arrow", "dense", threads=1),
        None,
    ),
    "to_arrow(str path), dense records, all threads (dense slice)": (
        table_case("to_arrow", "dense"),
        "to_arrow(str path), dense records, one thread (dense slice)",
    ),
    "iter_batches(str path), 8192 rows a batch": (
        table_batches,
        "to_arrow(str path), auto types, one thread",
    ),
    "floor: mmap + memchr count of '$' (C)": ("floor_memchr", None),
    "SDFile(bytes path) index": (sdfile_index(), "floor: mmap + memchr count of '$' (C)"),
    "SDFile(str path) index": (sdfile_index(as_str=True), "floor: mmap + memchr count of '$' (C)"),
    "rdkit: SDMolSupplier(sanitize=False) len() index": (rdkit_index, None),
    "rdkit: 100,000 random SDMolSupplier(sanitize=False)[i]": (rdkit_lookups, None),
    "SDFile: 100,000 random f[i]": (
        sdfile_lookups,
        "rdkit: 100,000 random SDMolSupplier(sanitize=False)[i]",
    ),
    "dask.read_sdf(str path, blocksize='64 MiB').compute(), 2-worker LocalCluster": (
        dask_read_sdf("compute"),
        "to_arrow(str path), auto types, one thread",
    ),
    "dask.read_sdf(str path, blocksize='64 MiB').persist(), 2-worker LocalCluster": (
        dask_read_sdf("persist"),
        "to_arrow(str path), auto types, one thread",
    ),
    "V3000 index checks, 100,000 atoms in order": (validate_indices(range(1, ATOMS + 1)), None),
    "V3000 index checks, 100,000 atoms aimed at one bucket": (
        validate_indices(ADVERSARIAL_INDICES),
        "V3000 index checks, 100,000 atoms in order",
    ),
    "grep -c '^$$$$' (process)": (grep_count, None),
    "molvane count (process)": (cli_count, "grep -c '^$$$$' (process)"),
    "rdkit: ForwardSDMolSupplier filter script (process, slice)": (rdkit_filter, None),
    "molvane filter, numeric field (process, slice)": (
        cli_filter,
        "rdkit: ForwardSDMolSupplier filter script (process, slice)",
    ),
    "to_arrow + pyarrow.parquet.write_table (process, slice)": (parquet_direct, None),
    "molvane to-parquet (process, slice)": (
        cli_parquet,
        "to_arrow + pyarrow.parquet.write_table (process, slice)",
    ),
}

# Goals: (case, baseline, least ratio of speeds)
GOALS = [
    ("parse_sdf(bytes path)", "floor: mmap + memmem (C)", 0.8),
    ("parse_sdf(bytes path)", "python: read + split at $$$$", 5.0),
    ("get(name) per block (slice)", "rdkit: ForwardSDMolSupplier + GetPropsAsDict (slice)", 50.0),
    ("parse_sdf + set_record + write_sdf(path)", "python: read + one write", 0.5),
    ("write_sdf(path) of parsed blocks (slice)", "python: one f.write (slice)", 0.5),
    ("two threads, one file each", "one thread, two files in turn", 1.7),
    ("parse_sdf(path.sdf.gz) (slice)", "isal: igzip read, 128 KiB (slice)", 0.9),
    ("parse_sdf(path.sdf.gz) (slice)", "parse_sdf(gzip.open(...)) (slice)", 2.5),
    ("write_sdf(path.sdf.gz) (slice)", "isal: igzip write, level 2 (slice)", 0.9),
    ("parse_sdf(path.sdf.bz2) (16 MB cut)", "bz2: BZ2File read, 128 KiB (16 MB cut)", 0.9),
    ("parse_sdf(path.sdf.xz) (16 MB cut)", "lzma: LZMAFile read, 128 KiB (16 MB cut)", 0.9),
    ("parse_sdf(path.sdf.zst) (slice)", "zstandard: stream_reader read, 128 KiB (slice)", 0.9),
    (
        "to_arrow(str path), auto types (slice)",
        "rdkit: PandasTools.LoadSDF(molColName=None) (slice)",
        50.0,
    ),
    (
        "to_arrow(str path), auto types, one thread (slice)",
        "rdkit: PandasTools.LoadSDF(molColName=None) (slice)",
        50.0,
    ),
    (
        "to_arrow(str path), auto types, all threads",
        "to_arrow(str path), auto types, one thread",
        1.8,
    ),
    (
        "to_arrow(str path), block column, all threads",
        "to_arrow(str path), block column, one thread",
        1.8,
    ),
    (
        "to_arrow(str path), dense records, all threads (dense slice)",
        "to_arrow(str path), dense records, one thread (dense slice)",
        1.8,
    ),
    ("SDFile(bytes path) index", "floor: mmap + memchr count of '$' (C)", 0.8),
    ("SDFile: 100,000 random f[i]", "rdkit: 100,000 random SDMolSupplier(sanitize=False)[i]", 20.0),
    (
        "dask.read_sdf(str path, blocksize='64 MiB').compute(), 2-worker LocalCluster",
        "to_arrow(str path), auto types, one thread",
        1.6,
    ),
    # "within a few times the ordinary case"
    (
        "V3000 index checks, 100,000 atoms aimed at one bucket",
        "V3000 index checks, 100,000 atoms in order",
        0.33,
    ),
    # the command line: count within 1.5x of grep, filter 20x RDKit, to-parquet within 1.2x of the library
    ("molvane count (process)", "grep -c '^$$$$' (process)", 1 / 1.5),
    (
        "molvane filter, numeric field (process, slice)",
        "rdkit: ForwardSDMolSupplier filter script (process, slice)",
        20.0,
    ),
    (
        "molvane to-parquet (process, slice)",
        "to_arrow + pyarrow.parquet.write_table (process, slice)",
        1 / 1.2,
    ),
]


# Every source through the one reader: compressed input and pipes near their floors.
GOALS += [
    ("to_arrow(path.sdf.gz) (slice)", "isal: igzip read, 128 KiB (slice)", 0.85),
    ("to_arrow(binary file object over .gz) (slice)", "isal: igzip read, 128 KiB (slice)", 0.8),
    (
        "to_arrow(FIFO fed by cat), one thread (slice)",
        "to_arrow(bytes path), one thread (slice)",
        0.8,
    ),
    ("parse_sdf(path.sdf.zst) (slice)", "zstandard: stream_reader read, 128 KiB (slice)", 0.85),
]


# Speeds in MB/s: (case, least)
SPEED_GOALS = [
    ("to_arrow(str path), auto types, one thread", 1500.0),
    ("to_arrow(str path), auto types, one thread (slice)", 1500.0),
]

# Peak RSS growth against the table's own buffers: (case, most ratio, window MB)
MEMORY_GOALS = [
    ("to_arrow(str path), auto types, one thread", 1.5, 16),
    ("to_arrow(str path), auto types, all threads", 1.5, 16),
    ("to_arrow(str path), block column, one thread", 1.5, 16),
    ("iter_batches(str path), 8192 rows a batch", 1.5, 16),
]


# --- measuring ------------------------------------------------------------------


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak_rss():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def worker(case_name, scratch, repeat):
    """Runs one case `repeat` times in this process and prints JSON."""
    files = {k: pathlib.Path(v) for k, v in json.loads(os.environ["MOLVANE_BENCH_FILES"]).items()}
    function, _ = CASES[case_name]
    if isinstance(function, str):
        exe = pathlib.Path(scratch) / function
        runs = [c_floor(exe, files["lf"]) for _ in range(repeat)]
        print(
            json.dumps(
                {
                    "times": [r[2] for r in runs],
                    "bytes": runs[0][0],
                    "blocks": runs[0][1],
                    "rss_kb": 0,
                }
            )
        )
        return
    try:
        function(files)  # warm-up: page cache and lazy imports
    except (ImportError, AttributeError) as error:
        print(json.dumps({"unavailable": f"{type(error).__name__}: {error}"}))
        return
    import gc

    gc.collect()
    times = []
    rss_growth = 0
    for _ in range(repeat):
        gc.collect()
        base = status_kb("VmRSS")
        reset_peak_rss()
        start = time.perf_counter()
        result = function(files)
        elapsed = time.perf_counter() - start
        if len(result) == 3:  # the case timed its own core part
            elapsed = result[2]
        rss_growth = max(rss_growth, status_kb("VmHWM") - base)
        times.append(elapsed)
    output = {"times": times, "bytes": result[0], "blocks": result[1], "rss_kb": rss_growth}
    if TABLE_KB[0]:
        output["table_kb"] = TABLE_KB[0]
    print(json.dumps(output))


def run_case(name, files, scratch, repeat):
    env = dict(os.environ, MOLVANE_BENCH_FILES=json.dumps({k: str(v) for k, v in files.items()}))
    out = subprocess.run(
        [
            sys.executable,
            __file__,
            "--worker",
            name,
            "--scratch",
            str(scratch),
            "--repeat",
            str(repeat),
        ],
        capture_output=True,
        text=True,
        env=env,
    )
    if out.returncode != 0:
        return {"unavailable": "failed: " + (out.stderr.strip().splitlines() or ["?"])[-1]}
    return json.loads(out.stdout.strip().splitlines()[-1])


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=512)
    parser.add_argument("--quick", action="store_true", help="small data, two runs: a smoke run")
    parser.add_argument("--scratch", type=pathlib.Path, default=BENCH / "_scratch")
    parser.add_argument("--output", type=pathlib.Path, default=BENCH / "RESULTS.md")
    parser.add_argument("--repeat", type=int)
    parser.add_argument("--only", action="append", help="run only cases containing this text")
    parser.add_argument(
        "--chart",
        type=pathlib.Path,
        help="PNG chart of the measured speeds, written with the results (needs matplotlib: "
        "pip install 'molvane[docs]'); by default docs/img/bench.png with the default --output, "
        "else the output's name with .png; an empty value skips it",
    )
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args.worker, args.scratch, args.repeat)
        return 0

    size_mb = 16 if args.quick else args.size_mb
    slice_mb = 4 if args.quick else 64
    rdkit_mb = 2 if args.quick else 64
    repeat = args.repeat or (2 if args.quick else 5)
    files, meta = make_data(args.scratch, size_mb, slice_mb, rdkit_mb)
    build_floors(args.scratch)

    results = {}
    for name in CASES:
        if args.only and not any(text in name for text in args.only):
            continue
        results[name] = run_case(name, files, args.scratch, repeat)
        print(f"  {name}: {summary(results[name])}", file=sys.stderr)

    table = render(results, size_mb, repeat)
    print(table)
    header = (
        f"# Benchmark results\n\n"
        f"Date: {datetime.date.today().isoformat()}; Python {platform.python_version()}; "
        f"CPU: {cpu_model()}, {os.cpu_count()} cores; file: {size_mb} MB LF "
        f"({meta['blocks']} blocks), slices of {slice_mb} MB (gzip, write) and {rdkit_mb} MB (RDKit).\n"
        f"Best of {repeat} runs (median in brackets), warm page cache, each case in a fresh process.\n\n"
    )
    args.output.write_text(header + table + "\n")
    if args.chart is None:
        # The site's chart goes with the site's table; another output (a
        # smoke run's) keeps its chart beside it.
        default_output = args.output.resolve() == (BENCH / "RESULTS.md").resolve()
        args.chart = (
            REPO / "docs" / "img" / "bench.png"
            if default_output
            else args.output.with_suffix(".png")
        )
    if str(args.chart) not in ("", "."):
        title = f"{size_mb} MB file, {cpu_model()}, {os.cpu_count()} cores, {datetime.date.today().isoformat()}"
        write_chart(results, args.chart, title)
    return 0


def write_chart(results, path, title):
    """Each molvane case beside its baseline (floor or peer), in MB/s on a log scale."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(
            "chart not written: it needs matplotlib (pip install 'molvane[docs]')", file=sys.stderr
        )
        return
    pairs = [
        (name, CASES[name][1])
        for name, result in results.items()
        if not name.startswith("floor:")
        and CASES[name][1] in results
        and "unavailable" not in result
        and "unavailable" not in results[CASES[name][1]]
    ]
    if not pairs:
        print("chart not written: no case was measured with its baseline", file=sys.stderr)
        return
    height = 0.38
    figure, axes = plt.subplots(figsize=(11, 1.2 + 0.62 * len(pairs)))
    rows = range(len(pairs))
    ours = [speed(results[name])[0] for name, _ in pairs]
    theirs = [speed(results[baseline])[0] for _, baseline in pairs]
    axes.barh([r - height / 2 for r in rows], ours, height, label="molvane", color="#2b6cb0")
    axes.barh(
        [r + height / 2 for r in rows],
        theirs,
        height,
        label="its baseline (floor, peer or plain case)",
        color="#a0aec0",
    )
    for row, (mine, base) in enumerate(zip(ours, theirs)):
        axes.text(
            mine * 1.05,
            row - height / 2,
            f"{mine:,.0f} MB/s ({mine / base:.2f}x)",
            va="center",
            fontsize=7,
        )
        axes.text(
            base * 1.05, row + height / 2, f"{base:,.0f}", va="center", fontsize=7, color="#4a5568"
        )
    axes.set_yticks(list(rows))
    # "$$$$" in a case name would start matplotlib's math text.
    labels = [f"{name}\nvs {baseline}".replace("$", r"\$") for name, baseline in pairs]
    axes.set_yticklabels(labels, fontsize=7)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.set_xlim(right=max(ours + theirs) * 6)
    axes.set_xlabel("MB/s, best run (log scale)")
    axes.set_title(title, fontsize=9)
    axes.legend(loc="lower right", fontsize=8)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)
    plt.close(figure)
    print(f"chart written to {path}", file=sys.stderr)


def summary(result):
    if "unavailable" in result:
        return result["unavailable"]
    return f"best {min(result['times']):.3f}s over {len(result['times'])} runs"


def speed(result):
    best = min(result["times"])
    return result["bytes"] / best / 1e6, result["blocks"] / best


def render(results, size_mb, repeat):
    rows = [
        "| case | MB/s | blocks/s | ratio to baseline | peak RSS growth |",
        "|---|---:|---:|---|---:|",
    ]
    for name, result in results.items():
        if "unavailable" in result:
            rows.append(f"| {name} | n/a | n/a | {result['unavailable']} | n/a |")
            continue
        mbs, bps = speed(result)
        median = statistics.median(result["times"])
        med_mbs = result["bytes"] / median / 1e6
        baseline = CASES[name][1]
        ratio = ""
        if baseline and baseline in results and "unavailable" not in results[baseline]:
            ratio = f"{mbs / speed(results[baseline])[0]:.2f}x {baseline}"
        rows.append(
            f"| {name} | {mbs:,.0f} ({med_mbs:,.0f}) | {bps:,.0f} | {ratio} | "
            f"{result['rss_kb'] / 1024:,.1f} MB |"
        )
    rows.append("")
    rows.append("| goal | measured | met |")
    rows.append("|---|---:|---|")
    for case, baseline, least in GOALS:
        a, b = results.get(case), results.get(baseline)
        if not a or not b or "unavailable" in a or "unavailable" in b:
            rows.append(f"| {case} >= {least}x {baseline} | n/a | n/a |")
            continue
        ratio = speed(a)[0] / speed(b)[0]
        rows.append(
            f"| {case} >= {least}x {baseline} | {ratio:.2f}x | {'yes' if ratio >= least else 'no'} |"
        )
    for case, least in SPEED_GOALS:
        a = results.get(case)
        if not a or "unavailable" in a:
            rows.append(f"| {case} >= {least:,.0f} MB/s | n/a | n/a |")
            continue
        mbs = speed(a)[0]
        rows.append(
            f"| {case} >= {least:,.0f} MB/s | {mbs:,.0f} MB/s | {'yes' if mbs >= least else 'no'} |"
        )
    for case, most, window in MEMORY_GOALS:
        a = results.get(case)
        if not a or "unavailable" in a or "table_kb" not in a:
            rows.append(f"| {case}: peak RSS growth <= {most}x table + {window} MB | n/a | n/a |")
            continue
        table_mb, grown_mb = a["table_kb"] / 1024, a["rss_kb"] / 1024
        met = grown_mb <= most * table_mb + window
        rows.append(
            f"| {case}: peak RSS growth <= {most}x table + {window} MB | {grown_mb:,.1f} MB "
            f"(table {table_mb:,.1f} MB) | {'yes' if met else 'no'} |"
        )
    return "\n".join(rows)


if __name__ == "__main__":
    sys.exit(main())
