"""Every Python example of the documentation site and the README runs as written.

The examples read files shipped in the repository (examples/, tests/data/)
by paths relative to a clone's root, so each one runs in a scratch directory
holding copies of those folders, in a fresh namespace. An example that
imports an optional library that is not installed (RDKit, tqdm, dask, ...)
is skipped, naming it; so is one placed after an HTML comment
``<!-- needs: name, ... -->`` naming a module or attribute that is absent,
when it needs a library only through molvane (``molvane.to_pandas`` needs
pandas without importing it) or an API this build lacks.

An example with an ``if __name__ == "__main__":`` guard (a process pool, a
Dask cluster) runs as a script of its own, as a reader would run it, so that
worker processes can import it. Examples that start worker processes are
skipped under the sanitizer preload, which worker processes inherit and
whose leak checker then reports third-party libraries.

Shell blocks made only of ``molvane`` commands (pipelines and ``&&`` chains
of them) run too, line by line, each expected to exit 0; blocks that call
other programs (obabel, grep) are shown for comparison, not run.
"""

from __future__ import annotations

import ast
import importlib.util
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
PAGES = sorted((REPO / "docs").rglob("*.md")) + [REPO / "README.md"]
# Libraries an example may need that a test run need not have.
OPTIONAL = set("rdkit pandas polars pyarrow dask distributed tqdm zstandard numpy".split())
FENCE = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>```+|~~~+)[ \t]*(?P<lang>[\w+-]*)[^\n]*$")
WORKERS = re.compile(r"ProcessPoolExecutor|LocalCluster|multiprocessing")
MAIN_GUARD = re.compile(r"^if __name__ == [\"']__main__[\"']:", re.M)
NEEDS = re.compile(r"<!--\s*needs:\s*(?P<names>[\w ,.-]+?)\s*-->")


def code_blocks(text: str) -> list[tuple[int, str, str, set[str]]]:
    """(line, language, code, needs) of each fenced block, indented ones (in tabs) too."""
    blocks = []
    lines = text.splitlines()
    needs: set[str] = set()
    i = 0
    while i < len(lines):
        marker = NEEDS.search(lines[i])
        if marker:
            needs = {name.strip() for name in marker["names"].split(",")}
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, fence = opening["indent"], opening["fence"]
        start = i
        body = []
        i += 1
        while i < len(lines) and not (
            lines[i].strip().startswith(fence) and lines[i].strip().strip(fence[0]) == ""
        ):
            body.append(
                lines[i][len(indent) :] if lines[i].startswith(indent) else lines[i].lstrip()
            )
            i += 1
        if i == len(lines):
            raise ValueError(f"line {start + 1}: code block never closed")
        blocks.append((start + 1, opening["lang"].lower(), "\n".join(body) + "\n", needs))
        needs = set()
        i += 1
    return blocks


def examples():
    params = []
    for page in PAGES:
        name = page.relative_to(REPO).as_posix()
        for line, lang, code, needs in code_blocks(page.read_text(encoding="utf-8")):
            if lang in ("python", "py"):
                params.append(pytest.param(code, needs, id=f"{name}:{line}"))
    return params


SHELLS = ("sh", "shell", "bash", "console")
SEPARATORS = {"|", "||", "&&", ";"}


def command_lines(code: str) -> list[str] | None:
    """The lines of a shell block if every command in it is molvane's, else None."""
    lines = [
        line.strip()
        for line in code.splitlines()
        if line.strip() and not line.lstrip().startswith("#")
    ]
    for line in lines:
        lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
        lexer.whitespace_split = True
        tokens = list(lexer)
        heads = [tokens[0]] + [
            after for token, after in zip(tokens, tokens[1:]) if token in SEPARATORS
        ]
        if any(head != "molvane" for head in heads):
            return None
    return lines or None


def command_examples():
    params = []
    for page in PAGES:
        name = page.relative_to(REPO).as_posix()
        for line, lang, code, _ in code_blocks(page.read_text(encoding="utf-8")):
            lines = command_lines(code) if lang in SHELLS else None
            if lines:
                params.append(pytest.param(lines, id=f"{name}:{line}"))
    return params or [
        pytest.param(None, marks=pytest.mark.skip(reason="no page shows molvane commands"))
    ]


def imported_roots(code: str) -> set[str]:
    roots = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            roots.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            roots.add(node.module.split(".")[0])
    return roots


def available(name: str) -> bool:
    """Whether a module, or an attribute of one (``molvane.SDFile.save_index``), exists."""
    if importlib.util.find_spec(name.split(".")[0]) is None:
        return False
    parts = name.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            found = importlib.import_module(".".join(parts[:cut]))
        except ImportError:
            continue
        for attribute in parts[cut:]:
            if not hasattr(found, attribute):
                return False
            found = getattr(found, attribute)
        return True
    return False


@pytest.fixture
def clone_root(tmp_path, monkeypatch):
    for folder in ("examples", "tests/data"):
        shutil.copytree(REPO / folder, tmp_path / folder)
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize(("code", "needs"), examples())
def test_example_runs(code, needs, clone_root, capsys):
    missing = sorted(
        name for name in (imported_roots(code) & OPTIONAL) | needs if not available(name)
    )
    if missing:
        pytest.skip(f"needs {', '.join(missing)}, not available here")
    if WORKERS.search(code) and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("starts worker processes, which would inherit the sanitizer preload")
    if MAIN_GUARD.search(code):
        script = clone_root / "example.py"
        script.write_text(code, encoding="utf-8")
        done = subprocess.run(
            [sys.executable, str(script)], capture_output=True, text=True, timeout=300
        )
        assert done.returncode == 0, done.stderr
    else:
        exec(compile(code, "<docs example>", "exec"), {"__name__": "__docs_example__"})
    # An example must not write outside its scratch directory.
    assert not (REPO / "checked.sdf").exists()


@pytest.mark.parametrize("lines", command_examples())
def test_command_example_runs(lines, clone_root):
    bin_dir = os.path.dirname(sys.executable)
    if shutil.which("molvane", path=bin_dir) is None:
        pytest.skip(f"the molvane command is not installed beside {sys.executable}")
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
    for line in lines:
        done = subprocess.run(
            ["bash", "-c", "set -o pipefail; " + line],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 0, f"{line}\n{done.stderr}"


def test_pages_have_examples():
    """The extraction finds the blocks: a page layout it misreads would pass vacuously."""
    found = {param.id.split(":")[0] for param in examples()}
    assert {"README.md", "docs/getting-started.md", "docs/guide/reading.md"} <= found


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("```python\nx = 1\n```\n", [(1, "python", "x = 1\n", set())]),
        (
            '=== "tab"\n\n    ```python\n    if x:\n        y\n    ```\n',
            [(3, "python", "if x:\n    y\n", set())],
        ),
        ("<!-- needs: pandas -->\n```py\nz\n```\n", [(2, "py", "z\n", {"pandas"})]),
        (
            "```sh\nls\n```\n```python\nq\n```\n",
            [(1, "sh", "ls\n", set()), (4, "python", "q\n", set())],
        ),
        (
            "````markdown\n```python\nnot code\n```\n````\n",
            [(1, "markdown", "```python\nnot code\n```\n", set())],
        ),
    ],
    ids=["plain", "indented-in-tab", "needs-marker", "two-languages", "nested-fence"],
)
def test_code_blocks(text, expected):
    assert code_blocks(text) == expected


@pytest.mark.parametrize(
    ("code", "expected"),
    [
        ("molvane count a.sdf\n", ["molvane count a.sdf"]),
        (
            "# note\nmolvane filter 'A < 1' a.sdf | molvane head -n 2 > b.sdf\n",
            ["molvane filter 'A < 1' a.sdf | molvane head -n 2 > b.sdf"],
        ),
        (
            "molvane count a.sdf && molvane fields a.sdf\n",
            ["molvane count a.sdf && molvane fields a.sdf"],
        ),
        ("obabel a.sdf -O b.sdf\n", None),
        ("molvane cat a.sdf | grep -c x\n", None),
        ("molvane filter 'NAME ~ \"a|b\"' a.sdf\n", ["molvane filter 'NAME ~ \"a|b\"' a.sdf"]),
    ],
    ids=[
        "one",
        "pipeline-and-comment",
        "chain",
        "other-program",
        "pipe-into-other",
        "pipe-in-quotes",
    ],
)
def test_command_lines(code, expected):
    assert command_lines(code) == expected


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("molvane", True),
        ("molvane.SDBlock.title", True),
        ("molvane.SDBlock.no_such_member", False),
        ("molvane.no_such_module", False),
        ("no_such_library_at_all", False),
    ],
)
def test_available(name, expected):
    assert available(name) is expected


def test_unclosed_block_is_an_error():
    with pytest.raises(ValueError, match="never closed"):
        code_blocks("```python\nx = 1\n")
