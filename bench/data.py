"""The benchmark's data: a large SD file built from the corpus, its slices,
compressed copies, and the C floors."""

from __future__ import annotations

import gzip
import json
import os
import pathlib
import subprocess
import sys

BENCH = pathlib.Path(__file__).resolve().parent
REPO = BENCH.parent
CORPUS = (
    pathlib.Path(os.environ.get("MOLVANE_CORPUS") or REPO.parent / "shared" / "corpus")
    / "fileparsers"
)
FIELD = b"molvane_id"


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
