"""Draws corpus molecules with molvane beside RDKit's drawings of them.

    python tools/gallery.py [--corpus DIR] [--output docs/img/gallery.png]

Picks 24 molecules of the real SD files (MOLVANE_CORPUS, default
../shared/corpus): the first block of each file, in name order, that has 2D
coordinates, 6 to 60 atoms, a structure not picked before, and that RDKit
reads without sanitizing. Each is drawn by ``block.svg()`` and by RDKit's
MolDraw2DSVG at the same size, the pairs laid out in one HTML page, and the
page rasterised to PNG by headless Chromium (Debian's ``chromium``). RDKit is
imported only here. The PNG is written only when Chromium succeeded.
"""

from __future__ import annotations

import argparse
import html
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import molvane

REPO = pathlib.Path(__file__).resolve().parent.parent
CORPUS = (
    pathlib.Path(os.environ.get("MOLVANE_CORPUS") or REPO.parent / "shared" / "corpus")
    / "fileparsers"
)
COUNT = 24
SIZE = (260, 200)
COLUMNS = 4  # pairs per row


def pick(corpus: pathlib.Path) -> list[tuple[str, molvane.SDBlock[bytes]]]:
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")
    picked: list[tuple[str, molvane.SDBlock[bytes]]] = []
    seen: set[str] = set()
    for path in sorted(corpus.glob("*.sdf")):
        try:
            block = next(iter(molvane.parse_sdf(os.fsencode(path))), None)
        except ValueError:
            continue
        if block is None:
            continue
        mol = Chem.MolFromMolBlock(block.molblock, sanitize=False, removeHs=False)
        if mol is None or not 6 <= mol.GetNumAtoms() <= 60:
            continue
        if b"2D" not in block.molblock.split(b"\n")[1]:
            continue
        key = Chem.MolToSmiles(mol)
        if key in seen:
            continue
        seen.add(key)
        picked.append((path.name, block))
        if len(picked) == COUNT:
            break
    return picked


def rdkit_svg(block: molvane.SDBlock[bytes]) -> str:
    from rdkit import Chem
    from rdkit.Chem.Draw import rdMolDraw2D

    mol = Chem.MolFromMolBlock(block.molblock, sanitize=False, removeHs=False)
    mol.UpdatePropertyCache(strict=False)
    drawer = rdMolDraw2D.MolDraw2DSVG(*SIZE)
    drawer.DrawMolecule(mol)
    drawer.FinishDrawing()
    text: str = drawer.GetDrawingText()
    return text[text.index("<svg") :]  # without the XML declaration


def page(picked: list[tuple[str, molvane.SDBlock[bytes]]]) -> str:
    cells = []
    for name, block in picked:
        cells.append(
            '<div class="pair">'
            f'<div class="name">{html.escape(name)}</div>'
            f'<div class="row"><div>{block.svg(*SIZE)}<br>molvane</div>'
            f"<div>{rdkit_svg(block)}<br>RDKit</div></div></div>"
        )
    width = COLUMNS * (2 * SIZE[0] + 24)
    return (
        "<!DOCTYPE html><html><head><meta charset='utf-8'><style>"
        f"body{{margin:8px;width:{width}px;font:12px sans-serif;background:#fff}}"
        ".grid{display:flex;flex-wrap:wrap;gap:6px}"
        ".pair{border:1px solid #ccc;padding:2px}"
        ".row{display:flex;gap:2px;text-align:center}.name{color:#555}"
        "</style></head><body><div class='grid'>" + "".join(cells) + "</div></body></html>"
    )


def rasterise(page_html: str, output: pathlib.Path, rows: int) -> None:
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("tools/gallery.py: needs chromium (apt-get install chromium)")
    width = COLUMNS * (2 * SIZE[0] + 30) + 16
    height = rows * (SIZE[1] + 44) + 16
    with tempfile.TemporaryDirectory() as scratch:
        source = pathlib.Path(scratch) / "gallery.html"
        source.write_text(page_html, encoding="utf-8")
        shot = pathlib.Path(scratch) / "gallery.png"
        subprocess.run(
            [
                browser,
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--hide-scrollbars",
                f"--window-size={width},{height}",
                f"--screenshot={shot}",
                source.as_uri(),
            ],
            check=True,
            capture_output=True,
            timeout=120,
        )
        if not shot.exists():
            sys.exit("tools/gallery.py: chromium wrote no screenshot")
        output.parent.mkdir(parents=True, exist_ok=True)
        shutil.move(str(shot), output)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    parser.add_argument("--output", type=pathlib.Path, default=REPO / "docs/img/gallery.png")
    args = parser.parse_args()
    if not args.corpus.is_dir():
        sys.exit(f"tools/gallery.py: corpus folder {args.corpus} is absent")
    picked = pick(args.corpus)
    if len(picked) < COUNT:
        sys.exit(f"tools/gallery.py: only {len(picked)} of {COUNT} molecules found")
    rasterise(page(picked), args.output, rows=-(-COUNT // COLUMNS))
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
