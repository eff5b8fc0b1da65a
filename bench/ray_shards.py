#!/usr/bin/env python3
"""A collection in Ray shards against one Collection on the same machine, with figures.

Random float32 data (standard normal), Euclidean, k = 10. The same n vectors go into one Collection and
into a ShardedCollection of --shards shards (actors on a local Ray started here), and the script prints
  load        Collection.insert_batch + flush against ShardedCollection.load (chunks of 50,000) + flush
  batch       search_batch of --batch queries: queries/s of each (the Collection with threads=0, every
              core, where this orvex has the keyword), and the ratio (aim: sharded within 1.5x)
  single      one query's round trip: Collection.search against ShardedCollection.search (put, one call
              per shard, merge), and the bare cost of one call to every shard (len()); the difference
              is the overhead of sharding
and checks that both answer every query of the batch with the same (id, distance) lists.

    python bench/ray_shards.py             # n = 1,000,000, d = 128, 4 shards, batches of 1,000
    python bench/ray_shards.py --quick     # n = 100,000
    python bench/ray_shards.py --n 250000 --dim 768 --shards 8 --dir /path/on/the/disk

Wall-clock times (the shards run in other processes); each figure is the best of --reps runs, as the
machine may be shared. Needs: orvex[ray] and numpy.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np


def best(fn, reps):
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times), statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="n = 100,000")
    ap.add_argument("--n", type=int, default=None, help="number of vectors (default 1,000,000)")
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--shards", type=int, default=4)
    ap.add_argument("--batch", type=int, default=1000, help="queries per search_batch")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--singles", type=int, default=50, help="single queries timed")
    ap.add_argument("--object-store-gb", type=float, default=2.0)
    ap.add_argument("--dir", default=None, help="parent of the scratch directories (default: the system's)")
    args = ap.parse_args()
    n, d, k = args.n or (100_000 if args.quick else 1_000_000), args.dim, 10

    import ray

    import orvex
    from orvex.ray import ShardedCollection

    print(f"orvex {orvex.__version__}, ray {ray.__version__}, python {sys.version.split()[0]}, "
          f"{os.cpu_count()} CPUs")
    print(f"n = {n:,}  d = {d}  shards = {args.shards}  batch = {args.batch}  k = {k}")
    rng = np.random.default_rng(1)
    data = rng.standard_normal((n, d), dtype=np.float32)
    ids = np.arange(n, dtype=np.uint64)
    queries = rng.standard_normal((args.batch, d), dtype=np.float32)

    ray.init(include_dashboard=False, object_store_memory=int(args.object_store_gb * 2**30), log_to_driver=False)
    scratch = tempfile.mkdtemp(prefix="orvex-ray-bench-", dir=args.dir)
    rows = []
    try:
        one = orvex.Collection.open_or_create(os.path.join(scratch, "one"), d, "euclidean")
        t = time.perf_counter()
        for s in range(0, n, 50_000):
            one.insert_batch(ids[s:s + 50_000], data[s:s + 50_000])
        one.flush()
        one_load = time.perf_counter() - t
        sharded = ShardedCollection.open_or_create(os.path.join(scratch, "sharded"), d, "euclidean",
                                                   shards=args.shards)
        t = time.perf_counter()
        sharded.load(((ids[s:s + 50_000], data[s:s + 50_000]) for s in range(0, n, 50_000)), progress=False)
        sharded.flush()
        sharded_load = time.perf_counter() - t
        assert len(sharded) == len(one) == n
        rows.append(("load + flush", f"{n / one_load:,.0f} vectors/s", f"{n / sharded_load:,.0f} vectors/s",
                     f"{one_load / sharded_load:.2f}x"))

        threads = {"threads": 0}

        def one_batch():
            try:
                return one.search_batch(queries, k, **threads)
            except TypeError:  # an orvex without the threads keyword searches on one thread
                threads.clear()
                return one.search_batch(queries, k)

        expected = one_batch()
        assert sharded.search_batch(queries, k) == expected, "the shards and the collection disagree"
        one_s, _ = best(one_batch, args.reps)
        sharded_s, _ = best(lambda: sharded.search_batch(queries, k), args.reps)
        print("the Collection searches batches with", "threads=0" if threads else "one thread (no threads keyword)")
        rows.append((f"search_batch of {args.batch:,}", f"{args.batch / one_s:,.1f} q/s",
                     f"{args.batch / sharded_s:,.1f} q/s", f"{one_s / sharded_s:.2f}x (aim >= 0.67x)"))

        singles = [q for q in queries[:args.singles]]
        assert all(sharded.search(q, k) == one.search(q, k) for q in singles[:5])
        one_q = statistics.median(best(lambda: one.search(q, k), 1)[0] for q in singles)
        sharded_q = statistics.median(best(lambda: sharded.search(q, k), 1)[0] for q in singles)
        call = statistics.median(best(lambda: len(sharded), 1)[0] for _ in singles)
        rows.append(("single query (median)", f"{one_q * 1e3:.2f} ms", f"{sharded_q * 1e3:.2f} ms",
                     f"overhead {(sharded_q - one_q) * 1e3:+.2f} ms"))
        rows.append(("one call to every shard", "", f"{call * 1e3:.2f} ms", "len(): Ray's floor"))
        sharded.close()
        one.close()
    finally:
        ray.shutdown()
        shutil.rmtree(scratch, ignore_errors=True)

    w = [max(len(r[i]) for r in rows + [("step", "Collection", "sharded")]) for i in range(3)]
    print()
    print(f"{'step':<{w[0]}}  {'Collection':>{w[1]}}  {'sharded':>{w[2]}}  ratio (sharded / one)")
    for r in rows:
        print(f"{r[0]:<{w[0]}}  {r[1]:>{w[1]}}  {r[2]:>{w[2]}}  {r[3]}")


if __name__ == "__main__":
    main()
