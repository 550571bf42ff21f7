"""The results table and chart."""

from __future__ import annotations

import statistics
import sys

from cases import BY_NAME, CASES


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
        (name, BY_NAME[name].baseline)
        for name, result in results.items()
        if not name.startswith("floor:")
        and BY_NAME[name].baseline in results
        and "unavailable" not in result
        and "unavailable" not in results[BY_NAME[name].baseline]
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
        baseline = BY_NAME[name].baseline
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
    goals = [(c.name, baseline, least) for c in CASES for baseline, least in c.goals()]
    for case, baseline, least in goals:
        a, b = results.get(case), results.get(baseline)
        if not a or not b or "unavailable" in a or "unavailable" in b:
            rows.append(f"| {case} >= {least:.3g}x {baseline} | n/a | n/a |")
            continue
        ratio = speed(a)[0] / speed(b)[0]
        rows.append(
            f"| {case} >= {least:.3g}x {baseline} | {ratio:.2f}x | {'yes' if ratio >= least else 'no'} |"
        )
    for case, least in [(c.name, c.least_mbps) for c in CASES if c.least_mbps]:
        a = results.get(case)
        if not a or "unavailable" in a:
            rows.append(f"| {case} >= {least:,.0f} MB/s | n/a | n/a |")
            continue
        mbs = speed(a)[0]
        rows.append(
            f"| {case} >= {least:,.0f} MB/s | {mbs:,.0f} MB/s | {'yes' if mbs >= least else 'no'} |"
        )
    for case, least in [(c.name, c.least_agreement) for c in CASES if c.least_agreement]:
        a = results.get(case)
        if not a or "unavailable" in a or "agreement" not in a:
            rows.append(f"| {case}: equal answers >= {least:.1%} | n/a | n/a |")
            continue
        agree, total = a["agreement"]
        share = agree / total if total else 0.0
        rows.append(
            f"| {case}: equal answers >= {least:.1%} | {share:.3%} ({agree:,} of {total:,}) | "
            f"{'yes' if share >= least else 'no'} |"
        )
    for case, (most, window) in [(c.name, c.memory) for c in CASES if c.memory]:
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
