#!/usr/bin/env python3
"""Turns benchmark results files (--json of bench/search.py, collection.py,
surface.py, adapters.py, limits) into markdown tables and PNG plots.

    python bench/report.py docs/results/*.json                  # every table, to stdout
    python bench/report.py docs/results/*.json --plots docs/img --update README.md docs/performance.md

--update rewrites, in each file, what stands between the lines
    <!-- report:NAME -->   and   <!-- /report:NAME -->
with the table NAME: "headline" (the front page's figures), or BENCH.SECTION
for any section of any results file (e.g. search.search, collection.ingest,
surface.filtered), rendered with every key its rows have: a field a
benchmark adds shows up without a change here. Each table names the CPU, the
date and the versions its figures came from.

--plots DIR draws (matplotlib, installed by ./scripts/bench-setup):
    search_qps.png   batches of 1,000 queries per second against n, one core
    ingest.png       seconds to fill a store on disk from numpy against n
    filtered.png     filtered search latency against the share that passes
Files of the same benchmark taken at several n are merged.
"""
import argparse
import json
import os
import re
import sys


def load(paths):
    """{bench: merged results}: the sections' rows concatenated, the first file's machine and date."""
    merged = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        bench = data["bench"]
        if bench not in merged:
            merged[bench] = {**data, "sections": {}, "dates": set()}
        into = merged[bench]
        into["dates"].add(data["date"])
        into["versions"] = {**data.get("versions", {}), **into.get("versions", {})}
        for section, rows in data["sections"].items():
            into["sections"].setdefault(section, []).extend(rows)
    return merged


def caption(data, script):
    m = data["machine"]
    dates = sorted(data["dates"])
    when = dates[0] if len(dates) == 1 else f"{dates[0]} to {dates[-1]}"
    versions = ", ".join(f"{k} {v}" for k, v in sorted(data.get("versions", {}).items()))
    clock = data.get("params", {}).get("clock")
    return (f"*`{script}`: {m['cpu']} ({m['cpus']} cpus{', ' + m['flags'] if m.get('flags') else ''}), "
            f"{when}; {versions}{'; ' + clock if clock else ''}.*")


def fmt(v):
    if v is None:
        return "–"
    if isinstance(v, bool):
        return "yes" if v else "no"
    if isinstance(v, int):
        return f"{v:,}"
    if isinstance(v, float):
        a = abs(v)
        if a >= 1000:
            return f"{v:,.0f}"
        if a >= 100:
            return f"{v:.0f}"
        if a >= 10:
            return f"{v:.1f}"
        if a >= 1:
            return f"{v:.2f}"
        return f"{v:.3g}"
    return str(v)


def table(rows, columns=None):
    if columns is None:
        columns = []
        for row in rows:
            columns += [k for k in row if k not in columns]
        columns = [c for c in columns if any(row.get(c) is not None for row in rows)]
    lines = ["| " + " | ".join(columns) + " |", "|" + "---|" * len(columns)]
    for row in rows:
        lines.append("| " + " | ".join(fmt(row.get(c)) for c in columns) + " |")
    return "\n".join(lines)


SCRIPTS = {"search": "bench/search.py", "collection": "bench/collection.py", "surface": "bench/surface.py",
           "adapters": "bench/adapters.py", "limits": "python bench/limits"}


def section_table(results, name):
    bench, section = name.split(".", 1)
    data = results.get(bench)
    if data is None or section not in data["sections"]:
        return None
    return table(data["sections"][section]) + "\n\n" + caption(data, SCRIPTS.get(bench, bench))


def headline(results):
    """The front page's table: the largest search size at d = 128 (one core, CPU time), and the largest ingest."""
    rows, notes = [], []
    search = results.get("search")
    if search:
        found = search["sections"].get("search", [])
        d = 128 if any(r["d"] == 128 for r in found) else max(r["d"] for r in found)
        n = max(r["n"] for r in found if r["d"] == d)
        pick = {(r["system"].split()[0], r["metric"]): r for r in found if r["n"] == n and r["d"] == d}
        for metric in ("euclidean", "dot"):
            rows.append({"figure": f"single query, {metric} (ms)",
                         **{s: pick.get((s, metric), {}).get("single_ms") for s in ("orvex", "FAISS", "numpy")}})
            rows.append({"figure": f"batch of 1,000, {metric}, one core (q/s)",
                         **{s: pick.get((s, metric), {}).get("batch1000_qps") for s in ("orvex", "FAISS", "numpy")}})
        notes.append(f"search: n = {n:,}, d = {d}, k = 10; " + caption(search, "bench/search.py").strip("*"))
    coll = results.get("collection")
    if coll and coll["sections"].get("ingest"):
        found = coll["sections"]["ingest"]
        n = max(r["n"] for r in found)
        pick = {r.get("peer"): r for r in found if r["n"] == n}
        rows.append({"figure": f"fill a store on disk from numpy, n = {n:,} (s)",
                     "orvex": pick.get("orvex", {}).get("total_s"), "FAISS": pick.get("FAISS", {}).get("total_s"),
                     "LanceDB": pick.get("LanceDB", {}).get("total_s")})
        notes.append(caption(coll, "bench/collection.py").strip("*"))
    if not rows:
        return None
    columns = ["figure", "orvex", "FAISS", "numpy"] + (["LanceDB"] if any("LanceDB" in r for r in rows) else [])
    return table(rows, columns) + "\n\n" + "\n".join(f"*{note}*  " for note in notes).rstrip()


def render(results, name):
    return headline(results) if name == "headline" else section_table(results, name)


def update(path, results):
    text = open(path).read()
    pattern = re.compile(r"(<!-- report:([\w.]+) -->\n)(.*?)(<!-- /report:\2 -->)", re.S)
    missing = []

    def replace(m):
        body = render(results, m.group(2))
        if body is None:
            missing.append(m.group(2))
            return m.group(0)
        return m.group(1) + body + "\n" + m.group(4)

    new = pattern.sub(replace, text)
    if new != text:
        open(path, "w").write(new)
    print(f"{path}: updated" + (f" (no results for: {', '.join(missing)})" if missing else ""))


def plots(results, out_dir):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        sys.exit("the plots need matplotlib: ./scripts/bench-setup installs it into build/bench-venv")
    os.makedirs(out_dir, exist_ok=True)

    def figure(title, xlabel, ylabel, series, name, logx=True, logy=True, sub=None):
        fig, ax = plt.subplots(figsize=(5.6, 3.4), dpi=100)
        for label, (xs, ys, style) in series.items():
            order = sorted(range(len(xs)), key=lambda i: xs[i])
            ax.plot([xs[i] for i in order], [ys[i] for i in order], style, label=label)
        from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter
        xs_all = sorted({x for xs, _, _ in series.values() for x in xs})
        if logx:
            ax.set_xscale("log")
        if logy:
            ax.set_yscale("log")
        ax.set_xticks(xs_all)
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}" if v >= 1 else f"{v:.0%}"))
        ax.xaxis.set_minor_formatter(NullFormatter())
        if logy:
            ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}" if v >= 10 else f"{v:.2g}"))
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.set_xlabel(xlabel)
        ax.set_ylabel(ylabel)
        ax.set_title(title, fontsize=9)
        if sub:
            fig.text(0.01, 0.01, sub, fontsize=6, color="0.4")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout(rect=(0, 0.04, 1, 1))
        path = os.path.join(out_dir, name)
        fig.savefig(path)
        plt.close(fig)
        print(f"{path}: drawn")

    def sub(data):
        m = data["machine"]
        return f"{m['cpu']}, {m['cpus']} cpus, {sorted(data['dates'])[-1]}"

    styles = ["o-", "s-", "^-", "d-", "v-"]
    search = results.get("search")
    if search and search["sections"].get("search"):
        rows = [r for r in search["sections"]["search"] if r["d"] == 128 and "batch1000_qps" in r] or \
            [r for r in search["sections"]["search"] if "batch1000_qps" in r]
        series = {}
        for r in rows:
            key = f"{r['system']} ({r['metric']})"
            xs, ys, _ = series.setdefault(key, ([], [], styles[len(series) % len(styles)]))
            xs.append(r["n"])
            ys.append(r["batch1000_qps"])
        figure(f"exact search, batches of 1,000 queries, d = {rows[0]['d']}, k = 10, one core", "n (vectors)",
               "queries/s", series, "search_qps.png", sub=sub(search))
    coll = results.get("collection")
    if coll and coll["sections"].get("ingest"):
        series = {}
        for r in coll["sections"]["ingest"]:
            if r.get("peer") not in ("orvex", "FAISS", "LanceDB"):
                continue
            xs, ys, _ = series.setdefault(r["peer"], ([], [], styles[len(series) % len(styles)]))
            xs.append(r["n"])
            ys.append(r["total_s"])
        figure(f"fill a store on disk from numpy, d = {coll['sections']['ingest'][0]['d']} (lower is better)",
               "n (vectors)", "seconds, wall", series, "ingest.png", sub=sub(coll))
    surface = results.get("surface")
    if surface and surface["sections"].get("filtered"):
        rows = surface["sections"]["filtered"]
        ranges = [r for r in rows if r["filter"].startswith("tag <")]
        series = {"where tag < t": ([r["selectivity"] for r in ranges], [r["ms"] for r in ranges], "o-")}
        for r in rows:
            if r["filter"] == "none":
                series["no filter"] = ([min(x["selectivity"] for x in rows), 1.0], [r["ms"], r["ms"]], "k--")
            elif not r["filter"].startswith("tag <"):
                series[f"where {r['filter']}"] = ([r["selectivity"]], [r["ms"]], "s")
        n = surface["params"].get("n")
        figure(f"filtered search, n = {n:,}, d = {surface['params'].get('d')}, k = 10", "share of vectors that pass",
               "ms per query, wall", series, "filtered.png", logy=False, sub=sub(surface))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("results", nargs="+", help="results files (--json of the benchmarks)")
    ap.add_argument("--update", nargs="*", default=[], metavar="FILE", help="markdown files with report blocks")
    ap.add_argument("--plots", metavar="DIR", help="draw the PNG plots into DIR")
    args = ap.parse_args()
    results = load(args.results)
    if args.plots:
        plots(results, args.plots)
    for path in args.update:
        update(path, results)
    if not args.update and not args.plots:
        print("## headline\n\n" + (headline(results) or "(no search or ingest results)") + "\n")
        for bench, data in results.items():
            for section in data["sections"]:
                print(f"## {bench}.{section}\n\n{section_table(results, bench + '.' + section)}\n")


if __name__ == "__main__":
    main()
