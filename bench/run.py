"""Speed and memory benchmarks of molvane against its peers and the hardware floor.

    python bench/run.py [--size-mb N] [--quick]

The data is built by data.py, the cases and their goals are the Case records
of cases.py, and report.py renders the table and the chart; this file runs
them.

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
import json
import os
import pathlib
import platform
import subprocess
import sys
import time

import cases
from cases import BY_NAME, CASES, c_floor
from data import BENCH, REPO, build_floors, make_data
from report import render, summary, write_chart

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
    function = BY_NAME[case_name].run
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
    if cases.TABLE_KB[0]:
        output["table_kb"] = cases.TABLE_KB[0]
    if cases.AGREEMENT[0]:
        output["agreement"] = cases.AGREEMENT[0]
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


def selected(only):
    """The names of the cases to run: those containing a text of `only` (every
    case without it) and the baselines their goals are measured against, so
    that a ratio always compares two measurements of the same run."""
    chosen = {c.name for c in CASES if not only or any(text in c.name for text in only)}
    by_name = {c.name: c for c in CASES}
    pending = list(chosen)
    while pending:
        case = by_name[pending.pop()]
        for peer in [case.baseline, *(name for name, _ in case.also)]:
            if peer in by_name and peer not in chosen:
                chosen.add(peer)
                pending.append(peer)
    return chosen


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=512)
    parser.add_argument("--quick", action="store_true", help="small data, two runs: a smoke run")
    parser.add_argument("--scratch", type=pathlib.Path, default=BENCH / "_scratch")
    parser.add_argument("--output", type=pathlib.Path, default=BENCH / "RESULTS.md")
    parser.add_argument("--repeat", type=int)
    parser.add_argument(
        "--only",
        action="append",
        help="run only cases containing this text (and the baselines of their goals)",
    )
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
    chosen = selected(args.only)
    for case in CASES:
        name = case.name
        if name not in chosen:
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


if __name__ == "__main__":
    sys.exit(main())
