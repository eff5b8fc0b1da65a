#!/usr/bin/env python3
"""The Python surface: compaction, filtered search, point operations and
numpy results, with figures.

For n vectors of dimension d (random float32, Euclidean, each with a payload
{"tag": i % 100}):
  compact     delete every second vector, flush, then Collection.compact,
              beside copying the live bytes and forcing them to disk
              (`cp` of a file of that size, then `sync -f`); the peak resident
              memory the compaction adds is printed too
  filtered    search with where={"tag": {"$lt": t}} for t = 1, 10, 50 and
              100 (1%, 10%, half and all pass) and where={"tag": 7} (1%
              pass, spread) beside the unfiltered search: the where dict is
              converted once per call
  point ops   get, delete, len and `in` per call (constant time: the same at
              any n)
  indexed     the same filters after create_index("tag") and
              create_index("rare") ({"rare": i % 1000} too): 1% and 0.1%
              equality, a 1% range (rare < 10), half passing, search_batch of
              1,000 queries with the 1% filter beside the unfiltered batch (one
              thread), each index's bytes per entry, and the open time with the
              two indexes beside without; LanceDB's filtered exact search on the
              same data beside, when the interpreter of --peer-python has it
  numpy       search_batch of 1,000 queries, k = 10, as lists and as_numpy

    python bench/surface.py            # n = 1,000,000, d = 128
    python bench/surface.py --quick    # n = 100,000
    python bench/surface.py --quick --json FILE   # results file for bench/report.py
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import orvex

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from results import Results  # noqa: E402


def best(fn, reps=5):
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def vm_hwm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_hwm():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


PEER = r"""
import sys, time
import numpy as np, pyarrow as pa, lancedb
vectors = np.load(sys.argv[1]); q = np.load(sys.argv[2]); n = len(vectors)
idx = np.arange(n)
table = pa.table({"id": idx, "tag": idx % 100, "rare": idx % 1000,
                  "vector": pa.FixedSizeListArray.from_arrays(pa.array(vectors.reshape(-1)), vectors.shape[1])})
t = lancedb.connect(sys.argv[3]).create_table("t", table)
def best(fn, reps=5):
    out = []
    for _ in range(reps):
        s = time.perf_counter(); fn(); out.append(time.perf_counter() - s)
    return min(out)
plain = best(lambda: t.search(q).limit(10).to_arrow())
print("none", plain)
for where in ["tag = 7", "rare = 7", "rare < 10", "tag < 50"]:
    print(where, best(lambda: t.search(q).where(where, prefilter=True).limit(10).to_arrow()))
"""


def peer_rows(python, work, vectors, q):
    """LanceDB's filtered exact search (no vector index: a flat scan) on the same data, in its own interpreter."""
    if not os.path.exists(python) or subprocess.run([python, "-c", "import lancedb"], capture_output=True).returncode:
        return [("LanceDB", "skipped", f"not installed for {python}")]
    np.save(os.path.join(work, "v.npy"), vectors)
    np.save(os.path.join(work, "q.npy"), q)
    out = subprocess.run([python, "-c", PEER, os.path.join(work, "v.npy"), os.path.join(work, "q.npy"),
                          os.path.join(work, "lance")], capture_output=True, text=True)
    if out.returncode:
        return [("LanceDB", "failed", out.stderr.strip().splitlines()[-1] if out.stderr.strip() else "")]
    rows = []
    for line in out.stdout.splitlines():
        name, secs = line.rsplit(" ", 1)
        rows.append((f"LanceDB flat search, where {name}", f"{float(secs) * 1e3:.2f} ms", ""))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--n", type=int, default=None)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--peer-python", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build",
                                                          "bench-venv", "bin", "python"))
    ap.add_argument("--json", metavar="FILE", help="also write the figures as a results file (bench/report.py)")
    args = ap.parse_args()
    n = args.n or (100_000 if args.quick else 1_000_000)
    d = args.dim
    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((n, d), dtype=np.float32)
    ids = np.arange(n, dtype=np.uint64)
    payloads = [{"tag": i % 100, "rare": i % 1000} for i in range(n)]
    work = tempfile.mkdtemp(prefix="orvex-surface-")
    path = os.path.join(work, "c")
    print(f"orvex {orvex.__version__}: n = {n:,}, d = {d}, python {sys.version.split()[0]}")
    rows = []
    out = Results("surface", params={"n": n, "d": d, "metric": "euclidean", "k": 10, "clock": "wall"})
    out.version("orvex", orvex.__version__)
    out.version("numpy", np.__version__)
    try:
        col = orvex.Collection.open_or_create(path, d, "euclidean")
        t = time.perf_counter()
        col.insert_batch(ids, vectors, payloads=payloads)
        col.flush()
        rows.append(("insert_batch with payloads + flush", f"{time.perf_counter() - t:.2f} s", ""))

        # Filtered search beside the unfiltered one.
        q = vectors[0]
        plain = best(lambda: col.search(q, 10))
        rows.append(("search, no filter", f"{plain * 1e3:.2f} ms", ""))
        out.add("filtered", filter="none", selectivity=1.0, ms=round(plain * 1e3, 3), vs_unfiltered=1.0)
        filters = [(f"tag < {t}", {"tag": {"$lt": t}}, t / 100) for t in (1, 10, 50, 100)]
        filters.append(("tag == 7 (spread)", {"tag": 7}, 0.01))
        for name, where, share in filters:
            took = best(lambda: col.search(q, 10, where=where))
            rows.append((f"search, where {name} ({share:.0%} pass)", f"{took * 1e3:.2f} ms",
                         f"{took / plain:.2f}x unfiltered"))
            out.add("filtered", filter=name, selectivity=share, ms=round(took * 1e3, 3),
                    vs_unfiltered=round(took / plain, 3))

        # The same with payload indexes.
        queries = vectors[:1000]
        batch_plain = best(lambda: col.search_batch(queries, 10, threads=1), reps=1)
        batch_one = best(lambda: col.search_batch(queries, 10, where={"tag": 7}, threads=1), reps=1)
        col.close()
        t = time.perf_counter()
        col = orvex.Collection.open_or_create(path, d, "euclidean")
        open_plain = time.perf_counter() - t
        col.create_index("tag")
        col.create_index("rare")
        col.close()
        t = time.perf_counter()
        col = orvex.Collection.open_or_create(path, d, "euclidean")
        open_indexed = time.perf_counter() - t
        plain = best(lambda: col.search(q, 10))
        for name, where in [("tag == 7 (1% pass)", {"tag": 7}), ("rare == 7 (0.1% pass)", {"rare": 7}),
                            ("rare < 10 (1% pass, range)", {"rare": {"$lt": 10}}),
                            ("tag < 50 (half pass)", {"tag": {"$lt": 50}})]:
            t_where = best(lambda: col.search(q, 10, where=where))
            rows.append((f"indexed search, where {name}", f"{t_where * 1e3:.2f} ms", f"{plain / t_where:.1f}x faster "
                         "than unfiltered"))
            out.add("indexed", filter=name, ms=round(t_where * 1e3, 3), speedup=round(plain / t_where, 1))
        batch_indexed = best(lambda: col.search_batch(queries, 10, where={"tag": 7}, threads=1), reps=1)
        rows.append(("search_batch 1,000, 1 thread, no filter", f"{batch_plain * 1e3:.0f} ms", ""))
        rows.append(("search_batch 1,000, 1 thread, tag == 7", f"{batch_one * 1e3:.0f} ms",
                     f"{batch_plain / batch_one:.1f}x faster than unfiltered, no index"))
        rows.append(("search_batch 1,000, 1 thread, tag == 7, indexed", f"{batch_indexed * 1e3:.0f} ms",
                     f"{batch_plain / batch_indexed:.1f}x faster than unfiltered"))
        for key, nbytes in col.stats()["indexes"].items():
            rows.append((f"index on {key}", f"{nbytes / n:.2f} B/entry", f"{nbytes / 1e6:.1f} MB"))
        rows.append(("open with two indexes", f"{open_indexed:.2f} s", f"{open_indexed / open_plain:.2f}x the open "
                     f"without ({open_plain:.2f} s)"))
        rows.extend(peer_rows(args.peer_python, work, vectors, q))

        # numpy results.
        queries = vectors[:1000]
        lists = best(lambda: col.search_batch(queries, 10), reps=2)
        arrays = best(lambda: col.search_batch(queries, 10, as_numpy=True), reps=2)
        rows.append(("search_batch 1,000 x k=10, lists", f"{lists * 1e3:.1f} ms", ""))
        rows.append(("search_batch 1,000 x k=10, as_numpy", f"{arrays * 1e3:.1f} ms", f"{lists / arrays:.2f}x faster"))
        out.add("numpy_results", lists_ms=round(lists * 1e3, 1), as_numpy_ms=round(arrays * 1e3, 1))

        # Point operations.
        probe = [int(i) for i in rng.integers(0, n, 10_000)]
        t = time.perf_counter()
        for i in probe:
            col.get(i)
        rows.append(("get", f"{(time.perf_counter() - t) / len(probe) * 1e6:.2f} us/call", ""))
        out.add("point_ops", op="get", us_per_call=round((time.perf_counter() - t) / len(probe) * 1e6, 3))
        t = time.perf_counter()
        for i in probe:
            _ = i in col
        rows.append(("in", f"{(time.perf_counter() - t) / len(probe) * 1e6:.2f} us/call", ""))
        out.add("point_ops", op="in", us_per_call=round((time.perf_counter() - t) / len(probe) * 1e6, 3))
        t = time.perf_counter()
        for _ in range(10_000):
            len(col)
        rows.append(("len", f"{(time.perf_counter() - t) / 10_000 * 1e6:.2f} us/call", ""))
        out.add("point_ops", op="len", us_per_call=round((time.perf_counter() - t) / 10_000 * 1e6, 3))

        # Delete every second vector, then compact.
        t = time.perf_counter()
        col.delete_batch(ids[::2])
        rows.append(("delete_batch of n/2 (logged)", f"{(time.perf_counter() - t) / (n // 2) * 1e6:.2f} us/id", ""))
        col.flush()
        before = col.stats()
        reset_hwm()
        rss0 = vm_hwm()
        t = time.perf_counter()
        reclaimed = col.compact()
        t_compact = time.perf_counter() - t
        extra = vm_hwm() - rss0
        after = col.stats()
        data = os.path.join(path, "data.ovx")
        copy = os.path.join(work, "copy")
        t = time.perf_counter()
        subprocess.run(["cp", data, copy], check=True)
        subprocess.run(["sync", "-f", copy], check=True)
        t_cp = time.perf_counter() - t
        out.add("compact", seconds=round(t_compact, 3), cp_sync_s=round(t_cp, 3),
                reclaimed_mb=round(reclaimed / 1e6, 1), peak_added_mb=round(extra / 1e6, 1))
        rows.append(("compact (half dead)", f"{t_compact:.2f} s",
                     f"{t_compact / t_cp:.2f}x cp + sync -f of the live bytes ({t_cp:.2f} s); "
                     f"{reclaimed / 1e6:.0f} MB reclaimed, {before['data_bytes'] / 1e6:.0f} -> "
                     f"{after['data_bytes'] / 1e6:.0f} MB; peak memory +{extra / 1e6:.0f} MB"))
        col.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    w = max(len(r[0]) for r in rows)
    for name, figure, note in rows:
        print(f"{name:<{w}}  {figure:>16}  {note}")
    out.write(args.json)


if __name__ == "__main__":
    main()
