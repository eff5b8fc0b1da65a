#!/usr/bin/env python3
"""Exact k-nearest-neighbour search: orvex beside its peers, on one core.

Random float32 data (standard normal), k = 10. For every size it measures
  insert  vectors/s from a numpy array (insert_batch / add) and from lists
  single  median latency of one query, and the bytes of vectors scanned per
          second as a fraction of the measured one-core read bandwidth
  batch   search_batch throughput (queries/s) for 1, 100 and 1,000 queries
for orvex.Index, numpy brute force (a distance matrix, then argpartition),
FAISS IndexFlatL2 / IndexFlatIP with one thread and hnswlib's BFIndex, where
those are installed; then prints orvex's speed-up over each peer.

The machine's limits come first (bench/limits, which compiles two small C++
programs on the spot; numpy's sum stands in for the bandwidth without a
compiler): one-core read bandwidth, the bound of each exact kernel (dot: a
product and a sum per term; Euclidean: a subtraction, a product and a sum,
subtractions split between the add and the multiply units) and the pair rate
of all cores at once. Each batch kernel is printed as a share of its bound;
on AVX2, so are the exact kernels' hand-scheduled runs alone, in short turns
beside the machine's peak pair loop.

Then every core: search_batch(threads=0) against FAISS with its default
threads, batches of 1,000, wall clock, beside the machine's own scaling of
the compute bound from one core to all.

    python bench/search.py            # n = 100,000 and 1,000,000; d = 128 and 768
    python bench/search.py --quick    # n = 100,000 only, fewer repetitions
    python bench/search.py --quick --n 100000 300000 --json FILE   # results file for bench/report.py
"""
import argparse
import gc
import os
import sys
import time

# One core, one thread everywhere: set before numpy and FAISS load BLAS.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS"):
    os.environ[_var] = "1"

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from limits import describe, exact_runs, machine_limits  # noqa: E402
from results import Results  # noqa: E402

# The clock: thread CPU time by default, so that time spent descheduled on a
# shared machine is not charged to whichever system was running (every system
# here computes in the calling thread); --clock wall for elapsed time.
clock = time.thread_time


ALL_CPUS = os.sched_getaffinity(0)


def pin_to_one_core():
    cpus = sorted(os.sched_getaffinity(0))
    core = cpus[-1]
    os.sched_setaffinity(0, {core})
    return core


def optional(name):
    try:
        return __import__(name)
    except ImportError:
        return None


def median_latency(fn, queries, reps):
    times = []
    for i in range(reps):
        q = queries[i % len(queries)]
        t = clock()
        fn(q)
        times.append(clock() - t)
    return float(np.median(times))


def best_time(fn, reps):
    best = float("inf")
    for _ in range(reps):
        t = clock()
        fn()
        best = min(best, clock() - t)
    return best


class Result:
    def __init__(self, system, metric):
        self.system, self.metric = system, metric
        self.insert_np = self.insert_list = self.single = None
        self.batch = {}


# ---- the systems -----------------------------------------------------------

def run_orvex(orvex, metric, data, queries, k, opts):
    r = Result("orvex", metric)
    n, d = data.shape
    ids = np.arange(n, dtype=np.uint64)
    idx = orvex.Index({"l2": "euclidean", "ip": "dot"}[metric], d)
    t = clock()
    idx.insert_batch(ids, data)
    r.insert_np = n / (clock() - t)
    # Lists: a slice, since a million Python lists of floats would dwarf the index.
    m = min(n, opts.list_rows)
    rows = data[:m].tolist()
    lst = orvex.Index({"l2": "euclidean", "ip": "dot"}[metric], d)
    t = clock()
    lst.insert_batch(list(range(m)), rows)
    r.insert_list = m / (clock() - t)
    del lst, rows
    r.single = median_latency(lambda q: idx.search(q, k), queries, opts.single_reps)
    for nq in opts.batches:
        r.batch[nq] = nq / best_time(lambda: idx.search_batch(queries[:nq], k), opts.batch_reps)
    top = [hit[0] for hit in idx.search(queries[0], k)]
    return r, idx, top


def run_numpy(metric, data, queries, k, opts):
    r = Result("numpy", metric)
    norms = (data * data).sum(axis=1) if metric == "l2" else None

    def search(qs):
        out = []
        for s in range(0, len(qs), 64):  # bounded distance matrices
            q = qs[s:s + 64]
            dist = -(q @ data.T)
            if metric == "l2":
                dist = 2.0 * dist + norms[None, :] + (q * q).sum(axis=1)[:, None]
            part = np.argpartition(dist, k - 1, axis=1)[:, :k]
            order = np.take_along_axis(dist, part, axis=1).argsort(axis=1)
            out.append(np.take_along_axis(part, order, axis=1))
        return np.concatenate(out)

    t = clock()
    copy = np.array(data, copy=True)  # "insertion" is a copy of the array
    r.insert_np = len(data) / (clock() - t)
    del copy
    r.single = median_latency(lambda q: search(q[None, :]), queries, opts.single_reps)
    for nq in opts.batches:
        r.batch[nq] = nq / best_time(lambda: search(queries[:nq]), opts.batch_reps)
    return r


def run_faiss(faiss, metric, data, queries, k, opts):
    r = Result("faiss", metric)
    faiss.omp_set_num_threads(1)
    d = data.shape[1]
    idx = faiss.IndexFlatL2(d) if metric == "l2" else faiss.IndexFlatIP(d)
    t = clock()
    idx.add(data)
    r.insert_np = len(data) / (clock() - t)
    r.single = median_latency(lambda q: idx.search(q[None, :], k), queries, opts.single_reps)
    for nq in opts.batches:
        r.batch[nq] = nq / best_time(lambda: idx.search(queries[:nq], k), opts.batch_reps)
    top = list(idx.search(queries[:1], k)[1][0])
    return r, top


def run_hnswlib(hnswlib, metric, data, queries, k, opts):
    r = Result("hnswlib", metric)
    n, d = data.shape
    idx = hnswlib.BFIndex(space=metric, dim=d)
    idx.init_index(max_elements=n)
    t = clock()
    idx.add_items(data, np.arange(n))
    r.insert_np = n / (clock() - t)
    r.single = median_latency(lambda q: idx.knn_query(q[None, :], k=k, num_threads=1), queries, opts.single_reps)
    for nq in opts.batches:
        if nq * n * d > opts.hnswlib_budget:
            continue  # plain loops: too slow to be worth the wait
        r.batch[nq] = nq / best_time(lambda: idx.knn_query(queries[:nq], k=k, num_threads=1), 1)
    return r


# ---- the table ---------------------------------------------------------------

def fmt_rate(x):
    if x is None:
        return "-"
    return "%.2fM" % (x / 1e6) if x >= 1e6 else "%.0fk" % (x / 1e3) if x >= 1e4 else "%.0f" % x


SYSTEM_NAMES = {"orvex": "orvex", "faiss": "FAISS flat, 1 thread", "numpy": "numpy brute force",
                "hnswlib": "hnswlib BFIndex"}
METRIC_NAMES = {"l2": "euclidean", "ip": "dot"}


def record_size(out, n, d, results, limits, batches):
    """One row per system and metric for the results file."""
    for r in results:
        row = {"system": SYSTEM_NAMES[r.system], "metric": METRIC_NAMES[r.metric], "n": n, "d": d,
               "single_ms": round(r.single * 1e3, 3),
               "read_share": round(n * d * 4 / r.single / 1e9 / limits["read_gbps"], 3)}
        for nq in batches:
            if nq in r.batch:
                row[f"batch{nq}_qps"] = round(r.batch[nq], 1)
        if r.insert_np:
            row["insert_numpy_per_s"] = round(r.insert_np)
        if r.insert_list:
            row["insert_lists_per_s"] = round(r.insert_list)
        out.add("search", **row)


def print_size(n, d, results, limits, batches):
    read_gbps = limits["read_gbps"]
    nbytes = n * d * 4
    print()
    print("n = {:,}  d = {}  k = 10  ({:.0f} MB of vectors)".format(n, d, nbytes / 1e6))
    head = "{:<8} {:<3} {:>9} {:>9} {:>9} {:>6} {:>5}".format(
        "system", "", "ins np/s", "ins lst/s", "single ms", "GB/s", "%bw")
    for nq in batches:
        head += " {:>10}".format("b%d q/s" % nq)
    print(head)
    for r in results:
        gbps = nbytes / r.single / 1e9
        line = "{:<8} {:<3} {:>9} {:>9} {:>9.2f} {:>6.1f} {:>4.0f}%".format(
            r.system, r.metric, fmt_rate(r.insert_np), fmt_rate(r.insert_list), r.single * 1e3,
            gbps, 100 * gbps / read_gbps)
        for nq in batches:
            v = r.batch.get(nq)
            line += " {:>10}".format("-" if v is None else "%.1f" % v)
        print(line)
    orvex = {r.metric: r for r in results if r.system == "orvex"}
    for r in results:
        if r.system == "orvex" or r.metric not in orvex:
            continue
        o = orvex[r.metric]
        parts = ["single %.2fx" % (r.single / o.single)]
        for nq in batches:
            if nq in r.batch and nq in o.batch:
                parts.append("b%d %.2fx" % (nq, o.batch[nq] / r.batch[nq]))
        if r.insert_np and o.insert_np:
            parts.append("insert np %.2fx" % (o.insert_np / r.insert_np))
        print("  orvex vs {:<8} {:<3} {}".format(r.system, r.metric, ", ".join(parts)))
    if "pair_g" in limits:
        for metric, o in orvex.items():
            if 1000 in o.batch:
                bound = limits["l2_terms_g" if metric == "l2" else "pair_g"]
                terms = o.batch[1000] * n * d / 1e9
                # Batches skip the exact work of vectors a bounded approximate
                # distance rules out: the figure is terms answered (the exact
                # kernels alone: bench/kernel_bench.cpp).
                print("  orvex {} batch 1000: {:.1f} G terms/s answered (pruned scan) = {:.0f}% of the exact {} "
                      "bound ({:.1f} G/s)".format(metric, terms, 100 * terms / bound,
                                                  "Euclidean" if metric == "l2" else "dot", bound))


def run_all_cores(orvex, faiss, data, queries, k, reps, out):
    """Batches of 1,000 on every core, wall clock: orvex threads=0 beside FAISS's default threads."""
    pinned = os.sched_getaffinity(0)
    os.sched_setaffinity(0, ALL_CPUS)
    try:
        n, d = data.shape
        cores = len(ALL_CPUS)
        # The machine's own scaling is measured here, next to the runs it is
        # compared with, not with the limits printed first: on a shared
        # machine the neighbours' load changes within minutes.
        limits = machine_limits()
        scaling = limits.get("pair_g_all", 0) / limits["pair_g"] if "pair_g" in limits else None
        # n cores cannot scale past n: a figure above it is noise in the one-core rate.
        scaling = min(scaling, float(cores)) if scaling else None
        print("  every core ({} cpus; the compute bound scales {}):".format(
            cores, "%.2fx from one to all" % scaling if scaling else "unmeasured"))
        for metric in ("l2", "ip"):
            idx = orvex.Index({"l2": "euclidean", "ip": "dot"}[metric], d)
            idx.insert_batch(np.arange(n, dtype=np.uint64), data)
            # One thread and every core take turns, so a neighbour that
            # slows the machine for a while weighs on both alike.
            times = best_walls({t: (lambda t=t: idx.search_batch(queries, k, threads=t)) for t in (1, 0)}, reps)
            rate = {t: len(queries) / s for t, s in times.items()}
            del idx
            gc.collect()
            row = out.add("all_cores", metric=METRIC_NAMES[metric], n=n, d=d, cpus=cores,
                          orvex_qps=round(rate[0], 1), orvex_one_thread_qps=round(rate[1], 1),
                          machine_scaling=round(scaling, 3) if scaling else None)
            line = "    orvex {:<3} threads=0: {:.1f} q/s, {:.2f}x its one thread".format(
                metric, rate[0], rate[0] / rate[1])
            if scaling:
                line += " = {:.0f}% of the machine's {:.2f}x".format(100 * rate[0] / rate[1] / scaling, scaling)
            if faiss:
                faiss.omp_set_num_threads(cores)
                fidx = faiss.IndexFlatL2(d) if metric == "l2" else faiss.IndexFlatIP(d)
                fidx.add(data)
                frate = len(queries) / best_wall(lambda: fidx.search(queries, k), reps)
                faiss.omp_set_num_threads(1)
                del fidx
                row["faiss_qps"] = round(frate, 1)
                line += "; faiss {} threads: {:.1f} q/s; orvex {:.2f}x".format(cores, frate, rate[0] / frate)
            print(line)
    finally:
        os.sched_setaffinity(0, pinned)


def best_walls(fns, reps):
    """The best wall time of each of several callables (a dict), run in turns."""
    best = {key: float("inf") for key in fns}
    for _ in range(reps):
        for key, fn in fns.items():
            t = time.perf_counter()
            fn()
            best[key] = min(best[key], time.perf_counter() - t)
    return best


def best_wall(fn, reps):
    return best_walls({0: fn}, reps)[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="n = 100,000 only, fewer repetitions")
    ap.add_argument("--n", type=int, nargs="*", help="numbers of vectors")
    ap.add_argument("--d", type=int, nargs="*", help="dimensions")
    ap.add_argument("--metric", choices=["l2", "ip", "both"], default="both")
    ap.add_argument("--no-peers", action="store_true", help="orvex alone")
    ap.add_argument("--no-all-cores", action="store_true", help="skip the every-core section")
    ap.add_argument("--clock", choices=["cpu", "wall"], default="cpu",
                    help="thread CPU time (default) or elapsed time")
    ap.add_argument("--json", metavar="FILE", help="also write the figures as a results file (bench/report.py)")
    opts = ap.parse_args()
    global clock
    clock = time.thread_time if opts.clock == "cpu" else time.perf_counter
    opts.k = 10
    sizes_n = opts.n or ([100_000] if opts.quick else [100_000, 1_000_000])
    sizes_d = opts.d or [128, 768]
    metrics = ["l2", "ip"] if opts.metric == "both" else [opts.metric]
    opts.batches = [1, 100, 1000]
    opts.single_reps = 15 if opts.quick else 41
    opts.batch_reps = 1 if opts.quick else 2
    opts.list_rows = 20_000
    opts.hnswlib_budget = 2e10  # n * d * queries

    core = pin_to_one_core()
    orvex = optional("orvex")
    if orvex is None:
        sys.exit("orvex is not installed: run ./scripts/setup (or pip install .) first")
    faiss = None if opts.no_peers else optional("faiss")
    hnswlib = None if opts.no_peers else optional("hnswlib")
    limits = machine_limits()
    runs = exact_runs()
    out = Results("search", params={"k": opts.k, "clock": ("thread CPU time, one pinned core" if opts.clock == "cpu"
                                     else "wall") + " (all_cores: wall, every core)", "batch_reps": opts.batch_reps, "single_reps": opts.single_reps})
    out.version("orvex", orvex.__version__)
    out.version("numpy", np.__version__)
    out.version("faiss", getattr(faiss, "__version__", "installed") if faiss else None)
    if hnswlib:
        out.version("hnswlib", getattr(hnswlib, "__version__", "installed"))
    out.add("limits", **limits)
    if runs:
        out.add("exact_runs", **runs)
    print("orvex search benchmark: one core (cpu %d), k = 10, %s clock" % (
        core, "thread CPU time" if opts.clock == "cpu" else "wall"))
    print("machine: %s, %d cpus; numpy %s; faiss %s; hnswlib %s" % (
        out.data["machine"]["cpu"], os.cpu_count(), np.__version__,
        getattr(faiss, "__version__", "not installed"),
        "installed" if hnswlib else "not installed"))
    print(describe(limits, runs))

    rng = np.random.default_rng(12345)
    for n in sizes_n:
        for d in sizes_d:
            data = rng.standard_normal((n, d), dtype=np.float32)
            queries = rng.standard_normal((1000, d), dtype=np.float32)
            results = []
            for metric in metrics:
                r, idx, top = run_orvex(orvex, metric, data, queries, opts.k, opts)
                results.append(r)
                del idx
                gc.collect()
                if faiss:
                    fr, ftop = run_faiss(faiss, metric, data, queries, opts.k, opts)
                    results.append(fr)
                    if ftop[:1] != top[:1]:
                        print("  note: orvex and faiss disagree on the nearest of query 0 (%s vs %s)" % (top[:1], ftop[:1]))
                    gc.collect()
                results.append(run_numpy(metric, data, queries, opts.k, opts))
                gc.collect()
                if hnswlib:
                    results.append(run_hnswlib(hnswlib, metric, data, queries, opts.k, opts))
                    gc.collect()
            print_size(n, d, results, limits, opts.batches)
            record_size(out, n, d, results, limits, opts.batches)
            if not opts.no_all_cores:
                run_all_cores(orvex, faiss, data, queries, opts.k, opts.batch_reps, out)
            sys.stdout.flush()
            del data, queries
            gc.collect()
    out.write(opts.json)


if __name__ == "__main__":
    main()
