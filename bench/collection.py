#!/usr/bin/env python3
"""Persistent collection: insertion, flush, opening and memory, with figures.

Random float32 data (standard normal), Euclidean. For n vectors of dimension d
it measures
  ingest      in fresh processes, Collection.insert_batch + flush from numpy
              beside Index.insert_batch + cp of the collection's data.ovx and
              wal.log + sync -f (aim: within 2x), FAISS IndexIDMap2 add +
              write_index and LanceDB create_table (when installed: see
              --setup-peers), the peak memory the batch adds (aim: within
              1.3x the Index's) and single insert() calls in a Python loop
  insert      Collection.insert_batch from a numpy array: vectors/s and MB/s
              of vector data (one call for everything)
  flush       Collection.flush after those insertions (data file forced,
              log emptied, meta.json rewritten)
  open        Collection.open_or_create after the flush, in a fresh process,
              beside the time `cat data.ovx > /dev/null` takes; both with the
              file in the page cache (the file was just written and read)
  replay      Collection.open_or_create after the same insertions without a
              flush (the collection dropped, the log holding everything),
              beside `cat wal.log data.ovx > /dev/null`
  first insert  the first insert_batch of the same vectors into an Index in
              a fresh process that has just built its numpy array (as a user's
              loader would), beside FAISS IndexFlatL2.add in the same
              situation (when installed); worst of --reps processes each
  memory      peak resident memory (VmHWM; ru_maxrss where there is no
              /proc) of a fresh process that imports orvex and opens the
              collection, minus that of a process that only imports orvex,
              per stored vector, beside 4*d + 8 bytes (the vector and
              its id)
and prints a table with the aims: open within 1.5x of cat plus a first
insert_batch of the same vectors, the first insert_batch at least as fast as
FAISS's add, memory within 1.3x.

    python bench/collection.py            # n = 1,000,000, d = 128
    python bench/collection.py --quick    # n = 100,000
    python bench/collection.py --n 250000 --dim 768 --dir /path/on/the/disk
    python bench/collection.py --quick --json FILE     # results file for bench/report.py

Figures come from a shared machine: every timed step is the best of a few
runs where a repetition is cheap (open, cat), a single run otherwise.
"""
import argparse
import gc
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from results import Results  # noqa: E402

# Run in a fresh interpreter: opens the collection and reports the time and
# the peak resident memory. With no path it only imports orvex (the baseline).
CHILD = r"""
import json, resource, sys, time
import orvex
out = {}
if len(sys.argv) > 1:
    t = time.perf_counter()
    c = orvex.Collection.open_or_create(sys.argv[1], int(sys.argv[2]), "euclidean")
    out["open_s"] = time.perf_counter() - t
    out["len"] = len(c.search([0.0] * int(sys.argv[2]), 1))
# ru_maxrss keeps the high-water mark of the process image before exec (the
# forking parent's, numpy arrays and all); VmHWM belongs to this image alone.
out["maxrss_bytes"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
try:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                out["maxrss_bytes"] = int(line.split()[1]) * 1024
except OSError:
    pass
print(json.dumps(out))
"""


# Run in a fresh interpreter: builds the data as the parent did, then times
# the first insertion of it (orvex Index.insert_batch or FAISS add).
FIRST_INSERT = r"""
import json, sys, time
import numpy as np
system, n, d = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = np.random.default_rng(1).standard_normal((n, d), dtype=np.float32)
ids = np.arange(1, n + 1, dtype=np.uint64)
if system == "orvex":
    import orvex
    index = orvex.Index("euclidean", d)
    t = time.perf_counter()
    index.insert_batch(ids, data)
else:
    import faiss
    faiss.omp_set_num_threads(1)
    index = faiss.IndexFlatL2(d)
    t = time.perf_counter()
    index.add(data)
print(json.dumps({"insert_s": time.perf_counter() - t}))
"""


# Run in a fresh interpreter: builds the data as the parent did, then fills
# one store with it, timing the fill and what it takes to be on disk, and the
# peak resident memory the fill adds to the process.
INGEST = r"""
import json, os, subprocess, sys, time
import numpy as np
system, n, d, where = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
data = np.random.default_rng(1).standard_normal((n, d), dtype=np.float32)
ids = np.arange(1, n + 1, dtype=np.uint64)
def rss(field):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(field))
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the high-water mark starts again from here
except OSError:
    pass
before = rss("VmRSS:")
out = {}
t = time.perf_counter()
if system == "collection":
    import orvex
    c = orvex.Collection.open_or_create(where, d, "euclidean")
    c.insert_batch(ids, data)
    out["insert_s"] = time.perf_counter() - t
    c.flush()
elif system == "index+cp":
    import orvex
    index = orvex.Index("euclidean", d)
    index.insert_batch(ids, data)
    out["insert_s"] = time.perf_counter() - t
    src, dst = where.split(",")
    os.makedirs(dst)
    subprocess.run(["cp", os.path.join(src, "data.ovx"), os.path.join(src, "wal.log"), dst], check=True)
    subprocess.run(["sync", "-f", dst], check=True)
elif system == "faiss":
    import faiss
    faiss.omp_set_num_threads(1)
    index = faiss.IndexIDMap2(faiss.IndexFlatL2(d))
    index.add_with_ids(data, ids.astype(np.int64))
    out["insert_s"] = time.perf_counter() - t
    os.makedirs(where)
    faiss.write_index(index, os.path.join(where, "index.faiss"))
    subprocess.run(["sync", "-f", where], check=True)
    out["version"] = faiss.__version__
elif system == "lancedb":
    import lancedb, pyarrow as pa
    vectors = pa.FixedSizeListArray.from_arrays(pa.array(data.reshape(-1)), d)
    table = pa.table({"id": pa.array(ids), "vector": vectors})
    lancedb.connect(where).create_table("vectors", data=table)
    subprocess.run(["sync", "-f", where], check=True)
    out["version"] = lancedb.__version__
elif system == "singles":
    import orvex
    c = orvex.Collection.open_or_create(where, d, "euclidean")
    rows = data.tolist()
    t = time.perf_counter()
    for i, row in enumerate(rows):
        c.insert(i + 1, row)
    out["insert_s"] = time.perf_counter() - t
    c.flush()
out["total_s"] = time.perf_counter() - t
out["peak_added_bytes"] = rss("VmHWM:") - before
print(json.dumps(out))
"""


def ingest(system, n, d, where, python=None):
    """What the INGEST child reports, or None when the system is missing."""
    out = subprocess.run([python or sys.executable, "-c", INGEST, system, str(n), str(d), where],
                         capture_output=True, text=True)
    if out.returncode != 0:
        if "ModuleNotFoundError" not in out.stderr:
            print(f"{system} failed:\n{out.stderr[-2000:]}")
        return None
    return json.loads(out.stdout)


def peers_python():
    """The interpreter of the peers' environment (bench/collection.py --setup-peers makes it)."""
    here = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "bench-venv")
    python = os.path.join(here, "bin", "python")
    return python if os.path.exists(python) else None


def best_ingest(reps, *args):
    """The fastest of `reps` ingest runs (each in a fresh process), or None when the system is missing."""
    runs = []
    for _ in range(max(1, reps)):
        shutil.rmtree(args[3], ignore_errors=True)
        runs.append(ingest(*args))
        if runs[-1] is None:
            return None
    return min(runs, key=lambda r: r["total_s"])


def ingest_rows(n, d, scratch, singles, out, reps=3):
    """Filling a collection from numpy, beside an Index plus copying its files, FAISS and LanceDB: the best of
    `reps` runs each, the collection and its baseline taking turns (the first process after a large free of
    memory pays for the pages the machine hands back)."""
    rows = []

    def record(system, got, **extra):
        out.add("ingest", system=system, n=n, d=d, total_s=round(got["total_s"], 3),
                insert_s=round(got["insert_s"], 3) if "insert_s" in got else None,
                peak_added_mb=round(got["peak_added_bytes"] / 1e6, 1), **extra)

    coll_dir = os.path.join(scratch, "ingest")
    coll = base = None
    for _ in range(max(1, reps)):
        shutil.rmtree(coll_dir, ignore_errors=True)
        got = ingest("collection", n, d, coll_dir)
        coll = got if coll is None or got["total_s"] < coll["total_s"] else coll
        got = ingest("index+cp", n, d, coll_dir + "," + os.path.join(scratch, "copied"))
        base = got if base is None or got["total_s"] < base["total_s"] else base
        shutil.rmtree(os.path.join(scratch, "copied"), ignore_errors=True)
    mb = sum(file_mb(os.path.join(coll_dir, f)) for f in ("data.ovx", "wal.log"))
    record("orvex Collection.insert_batch + flush", coll, peer="orvex")
    record("orvex Index.insert_batch + cp + sync", base, peer="orvex Index + cp")
    rows.append(("Collection.insert_batch + flush", f"{coll['total_s']:.2f} s", f"{n / coll['total_s']:,.0f} vectors/s",
                 f"{coll['total_s'] / base['total_s']:.2f}x Index + cp + sync (aim <= 2x)"))
    rows.append(("  of which insert_batch", f"{coll['insert_s']:.2f} s", "", ""))
    rows.append(("Index.insert_batch + cp + sync -f", f"{base['total_s']:.2f} s",
                 f"insert {base['insert_s']:.2f} s, then {mb:,.0f} MB copied", ""))
    rows.append(("peak memory added, Collection", f"{coll['peak_added_bytes'] / 1e6:,.0f} MB", "",
                 f"{coll['peak_added_bytes'] / base['peak_added_bytes']:.2f}x the Index's "
                 f"{base['peak_added_bytes'] / 1e6:,.0f} MB (aim <= 1.3x)"))
    shutil.rmtree(coll_dir, ignore_errors=True)
    py = peers_python() or sys.executable
    for system, label in (("faiss", "FAISS IndexIDMap2 add + write_index + sync"),
                          ("lancedb", "LanceDB create_table + sync")):
        got = best_ingest(reps, system, n, d, os.path.join(scratch, system), py)
        shutil.rmtree(os.path.join(scratch, system), ignore_errors=True)
        if got is None:
            print(f"{system}: not installed (./scripts/bench-setup installs it); skipped")
            continue
        record(f"{label} ({got['version']})", got, peer={"faiss": "FAISS", "lancedb": "LanceDB"}[system])
        out.version(system, got["version"])
        rows.append((f"{label} ({got['version']})", f"{got['total_s']:.2f} s", f"{n / got['total_s']:,.0f} vectors/s",
                     f"orvex {got['total_s'] / coll['total_s']:.2f}x faster"))
    if singles:
        one = ingest("singles", singles, d, os.path.join(scratch, "singles"))
        shutil.rmtree(os.path.join(scratch, "singles"), ignore_errors=True)
        out.add("singles", n=singles, d=d, insert_s=round(one["insert_s"], 3),
                per_s=round(singles / one["insert_s"]))
        rows.append((f"{singles:,} single insert() calls", f"{one['insert_s']:.2f} s",
                     f"{singles / one['insert_s']:,.0f} vectors/s", ""))
    return rows


def first_insert_worst(system, n, d, reps):
    """Worst first-insertion time over `reps` fresh processes, or None when the system is missing."""
    times = []
    for _ in range(reps):
        out = subprocess.run([sys.executable, "-c", FIRST_INSERT, system, str(n), str(d)],
                             capture_output=True, text=True)
        if out.returncode != 0:
            return None
        times.append(json.loads(out.stdout)["insert_s"])
    return max(times)


def child(*args):
    out = subprocess.run([sys.executable, "-c", CHILD, *map(str, args)], capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit("child failed:\n" + out.stderr)
    return json.loads(out.stdout)


def cat_seconds(paths, reps=3):
    """Best wall time of `cat paths > /dev/null`."""
    best = float("inf")
    for _ in range(reps):
        t = time.perf_counter()
        subprocess.run(["cat", *paths], stdout=subprocess.DEVNULL, check=True)
        best = min(best, time.perf_counter() - t)
    return best


def best_open(path, d, reps):
    """Best open time over `reps` fresh processes, and the peak memory seen."""
    runs = [child(path, d) for _ in range(reps)]
    return min(r["open_s"] for r in runs), min(r["maxrss_bytes"] for r in runs), runs[0]


def file_mb(path):
    return os.path.getsize(path) / 1e6 if os.path.exists(path) else 0.0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="n = 100,000")
    ap.add_argument("--n", type=int, default=None, help="number of vectors (default 1,000,000)")
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--dir", default=None, help="parent of the scratch directories (default: the system's)")
    ap.add_argument("--reps", type=int, default=3, help="fresh processes per open figure")
    ap.add_argument("--keep", action="store_true", help="keep the collections on disk")
    ap.add_argument("--singles", type=int, default=None,
                    help="single insert() calls timed in a Python loop (default n; 0: none)")
    ap.add_argument("--ingest-only", action="store_true", help="only the ingest figures")
    ap.add_argument("--setup-peers", action="store_true",
                    help="make build/bench-venv (./scripts/bench-setup: FAISS, LanceDB, ...), then exit")
    ap.add_argument("--json", metavar="FILE", help="also write the figures as a results file (bench/report.py)")
    args = ap.parse_args()
    if args.setup_peers:
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        subprocess.run([os.path.join(root, "scripts", "bench-setup")], check=True)
        return
    n = args.n or (100_000 if args.quick else 1_000_000)
    d = args.dim

    import orvex

    out = Results("collection", params={"n": n, "d": d, "metric": "euclidean", "clock": "wall",
                                        "reps": args.reps})
    out.version("orvex", orvex.__version__)
    out.version("numpy", np.__version__)
    so = [f for f in os.listdir(os.path.dirname(orvex.__file__)) if f.startswith("_orvex")]
    print(f"orvex {orvex.__version__} from {os.path.dirname(orvex.__file__)} ({', '.join(so)})")
    print(f"n = {n:,}  d = {d}  vector data {n * d * 4 / 1e6:.1f} MB  python {sys.version.split()[0]}")

    rng = np.random.default_rng(1)
    data = rng.standard_normal((n, d), dtype=np.float32)
    ids = np.arange(1, n + 1, dtype=np.uint64)
    mb = data.nbytes / 1e6

    scratch = tempfile.mkdtemp(prefix="orvex-bench-", dir=args.dir)
    flushed_dir = os.path.join(scratch, "flushed")
    logged_dir = os.path.join(scratch, "logged")
    rows = []
    try:
        # ---- filling a collection, beside an Index and the peers ---------------
        rows += ingest_rows(n, d, scratch, n if args.singles is None else args.singles, out, args.reps)
        if args.ingest_only:
            out.write(args.json)
            return print_rows(rows)
        # ---- insertions, then flush -------------------------------------------
        c = orvex.Collection.open_or_create(flushed_dir, d, "euclidean")
        t = time.perf_counter()
        c.insert_batch(ids, data)
        insert_s = time.perf_counter() - t
        wal_mb_before_flush = file_mb(os.path.join(flushed_dir, "wal.log"))
        t = time.perf_counter()
        c.flush()
        flush_s = time.perf_counter() - t
        del c
        gc.collect()
        rows.append(("insert_batch (numpy)", f"{insert_s:.2f} s",
                     f"{n / insert_s:,.0f} vectors/s, {mb / insert_s:,.0f} MB/s", ""))
        rows.append(("flush", f"{flush_s:.2f} s", f"log was {wal_mb_before_flush:,.0f} MB", ""))
        out.add("steps", step="insert_batch (numpy)", seconds=round(insert_s, 3), per_s=round(n / insert_s))
        out.add("steps", step="flush", seconds=round(flush_s, 3))

        # ---- opening after the flush ------------------------------------------
        data_file = os.path.join(flushed_dir, "data.ovx")
        cat_data_s = cat_seconds([data_file])
        open_s, _, first = best_open(flushed_dir, d, args.reps)
        assert first["len"] == 1
        rows.append(("cat data.ovx (warm)", f"{cat_data_s:.3f} s",
                     f"{file_mb(data_file):,.0f} MB, {file_mb(data_file) / cat_data_s:,.0f} MB/s", ""))
        first_s = first_insert_worst("orvex", n, d, args.reps)
        faiss_s = first_insert_worst("faiss", n, d, args.reps)
        rows.append(("first insert_batch, fresh process", f"{first_s:.3f} s", f"{n / first_s:,.0f} vectors/s",
                     f"worst of {args.reps}" + (f"; FAISS add {faiss_s:.3f} s: orvex {faiss_s / first_s:.2f}x "
                                                "(aim >= 1x)" if faiss_s else "")))
        out.add("steps", step="cat data.ovx (warm)", seconds=round(cat_data_s, 3))
        out.add("steps", step="first insert_batch, fresh process", seconds=round(first_s, 3),
                faiss_add_s=round(faiss_s, 3) if faiss_s else None)
        out.add("steps", step="open after flush (warm)", seconds=round(open_s, 3), per_s=round(n / open_s))
        rows.append(("open after flush (warm)", f"{open_s:.3f} s", f"{n / open_s:,.0f} vectors/s",
                     f"{open_s / cat_data_s:.2f}x cat; {open_s / (cat_data_s + first_s):.2f}x cat + first insert "
                     "(aim <= 1.5x)"))

        # ---- memory of a process that opens the collection --------------------
        base = min(child()["maxrss_bytes"] for _ in range(args.reps))
        peak = min(child(flushed_dir, d)["maxrss_bytes"] for _ in range(args.reps))
        per_vec = (peak - base) / n
        ideal = 4 * d + 8
        out.add("memory", state="open after flush", mb=round((peak - base) / 1e6, 1),
                bytes_per_vector=round(per_vec), ideal_bytes=ideal)
        rows.append(("peak memory, open after flush", f"{(peak - base) / 1e6:,.0f} MB",
                     f"{per_vec:,.0f} B/vector (baseline {base / 1e6:,.0f} MB)",
                     f"{per_vec / ideal:.2f}x {ideal} B (aim <= 1.3x)"))

        # ---- the same insertions without a flush: log replay --------------------
        c = orvex.Collection.open_or_create(logged_dir, d, "euclidean")
        c.insert_batch(ids, data)
        del c  # buffers written out, no checkpoint: the log holds every insertion
        gc.collect()
        del data
        wal = os.path.join(logged_dir, "wal.log")
        logged_data = os.path.join(logged_dir, "data.ovx")
        cat_both_s = cat_seconds([wal, logged_data])
        replay_s, replay_peak, _ = best_open(logged_dir, d, 1)
        rows.append(("cat wal.log data.ovx (warm)", f"{cat_both_s:.3f} s",
                     f"{file_mb(wal) + file_mb(logged_data):,.0f} MB", ""))
        rows.append(("open with log replay (warm)", f"{replay_s:.3f} s", f"{n / replay_s:,.0f} vectors/s",
                     f"{replay_s / cat_both_s:.2f}x cat, {replay_s / open_s:.1f}x open after flush"))
        out.add("steps", step="cat wal.log data.ovx (warm)", seconds=round(cat_both_s, 3))
        out.add("steps", step="open with log replay (warm)", seconds=round(replay_s, 3), per_s=round(n / replay_s))
        out.add("memory", state="open with replay", mb=round((replay_peak - base) / 1e6, 1),
                bytes_per_vector=round((replay_peak - base) / n), ideal_bytes=ideal)
        rows.append(("peak memory, open with replay", f"{(replay_peak - base) / 1e6:,.0f} MB",
                     f"{(replay_peak - base) / n:,.0f} B/vector", f"{(replay_peak - base) / n / ideal:.2f}x {ideal} B"))
    finally:
        if args.keep:
            print(f"collections kept in {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)

    print_rows(rows)
    out.write(args.json)


def print_rows(rows):
    w = [max(len(r[i]) for r in rows) for i in range(4)]
    print()
    print(f"{'step':<{w[0]}}  {'time/size':>{w[1]}}  {'rate':<{w[2]}}  ratio")
    for r in rows:
        print(f"{r[0]:<{w[0]}}  {r[1]:>{w[1]}}  {r[2]:<{w[2]}}  {r[3]}")


if __name__ == "__main__":
    main()
