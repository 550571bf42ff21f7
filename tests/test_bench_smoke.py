import importlib.util
import pathlib
import shutil
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "run.py"
SITE_CHART = BENCH.parent.parent / "docs" / "img" / "bench.png"


@pytest.mark.skipif(shutil.which("cc") is None, reason="the benchmark's C floors need a C compiler")
def test_quick_benchmark_reports_every_case(tmp_path):
    output = tmp_path / "RESULTS.md"
    site_chart_before = SITE_CHART.stat().st_mtime_ns
    run = subprocess.run(
        [
            sys.executable,
            str(BENCH),
            "--quick",
            "--scratch",
            str(tmp_path),
            "--output",
            str(output),
        ],
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert run.returncode == 0, run.stderr
    table = output.read_text()
    sys.path.insert(0, str(BENCH.parent))
    try:
        import run as bench
    finally:
        sys.path.pop(0)
    rows = {
        line.split(" | ")[0].lstrip("| ") for line in table.splitlines() if line.startswith("| ")
    }
    missing = [case.name for case in bench.CASES if case.name not in rows]
    assert not missing, missing
    # A case may lack an optional peer (RDKit), but none may crash.
    assert "failed:" not in table, table
    # The chart follows its output: a run elsewhere leaves the site's chart alone.
    chart = output.with_suffix(".png")
    if importlib.util.find_spec("matplotlib") is None:
        assert not chart.exists()
    else:
        assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", run.stderr
    assert SITE_CHART.stat().st_mtime_ns == site_chart_before
