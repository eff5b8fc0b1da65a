"""orvex quick start: exact nearest neighbours on real handwritten digits.

The data set is scikit-learn's bundled copy of the UCI handwritten digits
(1,797 images of 8x8 pixels, values 0..16, with their labels); nothing is
downloaded. The script

  1. stores 1,500 digits in an in-memory Index and in an on-disk Collection,
  2. shows the nearest stored digits of a few held-out digits, with labels,
  3. checks both against a numpy oracle (the pixel values are small integers,
     so every Euclidean distance is exact in float32 and must match bit for bit),
  4. classifies all held-out digits by a vote of their 5 nearest neighbours,
  5. times insertion and search beside numpy brute force,
  6. drops the collection without a checkpoint, reopens it and shows that the
     write-ahead log brought every vector back.

It checks its own results and exits with status 1 if any check fails.

Needs: orvex, numpy, scikit-learn.
"""

import statistics
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import numpy as np
from sklearn.datasets import load_digits

import orvex

K = 5
N_STORED = 1500
SHADES = " .:-=+*#%@"


def check(condition, message):
    if not condition:
        print(f"CHECK FAILED: {message}", file=sys.stderr)
        sys.exit(1)


def ascii_digit(pixels):
    """8x8 pixels (0..16) as 8 lines of text."""
    grid = np.asarray(pixels).reshape(8, 8)
    return ["".join(SHADES[int(v) * (len(SHADES) - 1) // 16] * 2 for v in row) for row in grid]


def oracle_distances(stored, query):
    """Exact float32 Euclidean distances: integer pixels make the squared
    distance an exact integer, of which float32 sqrt is correctly rounded."""
    squared = ((stored.astype(np.int64) - query.astype(np.int64)) ** 2).sum(axis=1)
    return np.sqrt(squared.astype(np.float32))


def oracle_top(oracle, k):
    """The k nearest by the oracle: distance ascending, equal distances by id."""
    order = np.lexsort((np.arange(len(oracle)), oracle))[:k]
    return [(int(i), float(oracle[i])) for i in order]


def timed(fn, repeat=1):
    times = []
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return result, statistics.median(times)


def main():
    digits = load_digits()
    pixels = digits.data.astype(np.float32)  # (1797, 64), values 0..16
    labels = digits.target
    stored, queries = pixels[:N_STORED], pixels[N_STORED:]
    stored_labels, query_labels = labels[:N_STORED], labels[N_STORED:]
    ids = np.arange(N_STORED, dtype=np.uint64)
    dim = pixels.shape[1]

    print(f"orvex {orvex.__version__}: exact nearest-neighbour search")
    print(f"data: {len(pixels)} handwritten digits of 8x8 pixels ({dim} dimensions), labels 0-9")
    print(f"      storing {N_STORED}, holding out {len(queries)} as queries\n")

    # 1. Store the digits in an Index and in a Collection.
    index = orvex.Index("euclidean", dim)
    _, t_index = timed(lambda: index.insert_batch(ids, stored))
    workdir = Path(tempfile.mkdtemp(prefix="orvex-quickstart-"))
    path = str(workdir / "digits")
    collection = orvex.Collection.open_or_create(path, dim, "euclidean")
    _, t_coll = timed(lambda: collection.insert_batch(ids, stored))
    _, t_flush = timed(collection.flush)
    print(f"stored {N_STORED} vectors in an Index      in {t_index * 1e3:7.2f} ms")
    print(f"stored {N_STORED} vectors in a Collection  in {t_coll * 1e3:7.2f} ms "
          f"(+ flush {t_flush * 1e3:.2f} ms) at {path}")
    files = {p.name: p.stat().st_size for p in sorted(Path(path).iterdir())}
    print("collection files: " + ", ".join(f"{n} ({s:,} bytes)" for n, s in files.items()) + "\n")
    check(files["wal.log"] < 128, "the log is emptied by the flush (it holds only the entry that starts the next log)")

    # 2. The nearest stored digits of a few held-out ones.
    for q in range(3):
        results = index.search(queries[q], K)
        art_q = ascii_digit(queries[q])
        art_n = ascii_digit(stored[results[0][0]])
        print(f"query {q}: a '{query_labels[q]}'          nearest: id {results[0][0]}, "
              f"a '{stored_labels[results[0][0]]}'")
        for left, right in zip(art_q, art_n):
            print(f"   {left}      {right}")
        print("   neighbours: " + ", ".join(f"id {i} ('{stored_labels[i]}', {d:.3f})" for i, d in results) + "\n")

    # 3. Index, Collection and the numpy oracle agree.
    index_results = index.search_batch(queries, K)
    coll_results = collection.search_batch(queries, K, threads=0)  # every core: the same answer
    for q, (a, b) in enumerate(zip(index_results, coll_results)):
        check(a == oracle_top(oracle_distances(stored, queries[q]), K), f"Index equals the numpy oracle for query {q}")
        check(a == b, f"Collection equals Index for query {q}")
        check(a == index.search(queries[q], K), f"search_batch equals search for query {q}")
    print(f"Index, Collection and the numpy oracle agree on all {len(queries)} queries, bit for bit\n")

    # 4. Classify the held-out digits by a vote of their nearest neighbours.
    votes = [Counter(stored_labels[i] for i, _ in r).most_common(1)[0][0] for r in index_results]
    accuracy = float(np.mean(np.array(votes) == query_labels))
    print(f"{K}-nearest-neighbour vote on {len(queries)} held-out digits: {accuracy:.1%} correct")
    check(accuracy > 0.9, "the neighbours vote for the right digit")

    # 5. Timings beside numpy brute force.
    q0 = queries[0]
    _, t_search = timed(lambda: index.search(q0, K), repeat=200)
    _, t_batch = timed(lambda: index.search_batch(queries, K), repeat=5)
    def numpy_knn():
        d = ((stored - q0) ** 2).sum(axis=1)
        top = np.argpartition(d, K)[:K]
        return top[np.argsort(d[top])]

    _, t_numpy = timed(numpy_knn, repeat=200)
    print(f"single search (median):   orvex {t_search * 1e6:8.1f} us   numpy {t_numpy * 1e6:8.1f} us")
    print(f"search_batch of {len(queries)}:     orvex {t_batch * 1e3:8.2f} ms   "
          f"({len(queries) / t_batch:,.0f} queries/s)\n")

    # 6. Insert more without a checkpoint, drop the collection, reopen it.
    extra_ids = np.arange(N_STORED, N_STORED + len(queries), dtype=np.uint64)
    collection.insert_batch(extra_ids, queries)
    del collection  # no flush: the new vectors live only in the write-ahead log
    (reopened, t_open) = timed(lambda: orvex.Collection.open_or_create(path, dim, "euclidean"))
    count = len(reopened.search(np.zeros(dim), 10**9))
    print(f"reopened the collection in {t_open * 1e3:.2f} ms: {count} vectors "
          f"({N_STORED} from the data file, {len(queries)} replayed from the log)")
    check(count == N_STORED + len(queries), "every vector is back after reopening")
    found = reopened.search_batch(queries, 1)
    check(all(r[0] == (int(extra_ids[q]), 0.0) for q, r in enumerate(found)),
          "each held-out digit finds itself at distance 0")
    everything = np.vstack([stored, queries])  # row i holds id i
    check(all(r == oracle_top(oracle_distances(everything, queries[q]), K)
              for q, r in enumerate(reopened.search_batch(queries, K))),
          "the reopened collection equals the numpy oracle over all stored vectors")
    print("each held-out digit now finds itself first, at distance 0.0\n")
    reopened.close()

    # 7. Payloads, a filtered search, deletions and a compaction.
    lpath = str(workdir / "labelled")
    labelled = orvex.Collection.open_or_create(lpath, dim, "euclidean")
    labelled.insert_batch(ids, stored, payloads=[{"label": int(l), "odd": bool(l % 2)} for l in stored_labels])
    q0 = queries[0]
    sevens = labelled.search(q0, K, where={"label": 7}, with_payload=True)
    print("nearest '7's to query 0: " + ", ".join(f"id {i} ({d:.3f})" for i, d, _ in sevens))
    masked = oracle_distances(stored, q0)
    masked[stored_labels != 7] = np.inf
    check([(i, d) for i, d, _ in sevens] == oracle_top(masked, K) and all(p["label"] == 7 for *_, p in sevens),
          "a filtered search equals filter-then-sort")
    small_odd = labelled.search(q0, K, where={"odd": True, "label": {"$lt": 5}})
    check(all(stored_labels[i] in (1, 3) for i, _ in small_odd), "several conditions must all hold")
    fours = [int(i) for i in ids if stored_labels[i] == 4]
    print(f"deleted every '4': {labelled.delete_batch(fours)} vectors")
    labelled.flush()
    before = labelled.stats()
    reclaimed, t_compact = timed(labelled.compact)
    after = labelled.stats()
    print(f"compaction: {before['dead_records']} dead records, {reclaimed:,} bytes reclaimed in "
          f"{t_compact * 1e3:.2f} ms (data file {before['data_bytes']:,} -> {after['data_bytes']:,} bytes)")
    check(after["dead_records"] == 0 and labelled.search(q0, K, where={"label": 4}) == [],
          "deleted vectors are gone and their space reclaimed")
    labelled.close()
    with orvex.Collection.open_or_create(lpath, dim, "euclidean") as again:
        vector, payload = again.get(int(ids[0]))
        check(len(again) == N_STORED - len(fours) and np.array_equal(np.float32(vector), stored[0])
              and payload["label"] == stored_labels[0], "the compacted collection reopens whole")
        print(f"reopened: {len(again)} vectors; get({int(ids[0])}) -> label {payload['label']}\n")
    print("all checks passed")


if __name__ == "__main__":
    main()
