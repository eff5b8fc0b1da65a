#!/usr/bin/env python3
"""The LangChain and LlamaIndex adapters beside orvex called directly, and beside
LangChain's own InMemoryVectorStore, on the same documents.

n documents (text "doc i", metadata {"i": i, "tag": i % 100}) with random unit
vectors of dimension d, cosine metric. The embedding model is a table lookup that
returns the stored Python lists, as a real model's client would, so neither side
pays for embedding. For each store:

  add        all n documents in one call (LangChain: add_texts with ids; LlamaIndex:
             add of ready-made TextNodes; directly: insert_batch of a float32 array
             with the same payloads), then for an on-disk store a flush
  search     k = 10 for single query vectors (LangChain:
             similarity_search_with_score_by_vector; LlamaIndex: query with a
             VectorStoreQuery), median over the queries, each query taken in
             turn with the same search on the adapter's own Index or
             Collection with payloads: their ratio is the adapter's overhead
             (at most 1.5 expected); the direct stores show the search
             without payloads instead

Every store must return the same 10 documents as the direct search.

    python bench/adapters.py            # n = 100,000, d = 384
    python bench/adapters.py --quick    # n = 10,000
    python bench/adapters.py --quick --json FILE   # results file for bench/report.py
"""
import argparse
import gc
import platform
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import InMemoryVectorStore
from llama_index.core.schema import TextNode
from llama_index.core.vector_stores.types import VectorStoreQuery

import orvex
from orvex import langchain as lc
import sys
sys.path.insert(0, str(Path(__file__).resolve().parent))
from results import Results, version_of  # noqa: E402
from orvex import llama_index as li

K = 10


class Table(Embeddings):
    """Embeds "doc i" as row i of a table; queries are never embedded here."""

    def __init__(self, rows):
        self.rows = rows

    def embed_documents(self, texts):
        return [self.rows[int(t[4:])] for t in texts]

    def embed_query(self, text):
        return self.rows[int(text[4:])]


def cpu_name():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown CPU"


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def median_search(fn, queries, beside=None):
    """Median time of fn per query; with beside, also of beside on the same query, taken in turn."""
    times, other, results = [], [], []
    for q in queries:
        result, t = timed(lambda: fn(q))
        times.append(t)
        results.append(result)
        if beside is not None:
            other.append(timed(lambda: beside(q))[1])
    return statistics.median(times), results, statistics.median(other) if other else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--queries", type=int, default=50)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json", metavar="FILE", help="also write the figures as a results file (bench/report.py)")
    args = ap.parse_args()
    n = 10_000 if args.quick else args.n
    rng = np.random.default_rng(7)
    matrix = rng.standard_normal((n, args.dim), dtype=np.float32)
    matrix /= np.linalg.norm(matrix, axis=1, keepdims=True)
    rows = matrix.tolist()
    texts = [f"doc {i}" for i in range(n)]
    metadatas = [{"i": i, "tag": i % 100} for i in range(n)]
    ids = [str(i) for i in range(n)]
    queries = [q.tolist() for q in rng.standard_normal((args.queries, args.dim), dtype=np.float32)]
    workdir = Path(tempfile.mkdtemp(prefix="orvex-adapters-"))
    print(f"CPU: {cpu_name()}; orvex {orvex.__version__}; n = {n:,}, d = {args.dim}, k = {K}, cosine, "
          f"{len(queries)} single queries (median)\n")
    print(f"{'store':<40} {'add (s)':>8} {'search (ms)':>12} {'direct (ms)':>12} {'overhead':>9}")
    expected = []
    out = Results("adapters", params={"n": n, "d": args.dim, "k": K, "metric": "cosine", "queries": len(queries),
                                      "clock": "wall"})
    for name in ("orvex", "numpy", "langchain_core", "llama_index.core"):
        out.version(name, version_of(name))

    def report(name, add_s, search, results):
        """search: (median ms of the store, median ms of the direct search on its own orvex object)."""
        same = [sorted(r) for r in results] == [sorted(r) for r in expected[: len(results)]]
        s, direct = search
        out.add("adapters", store=name, add_s=round(add_s, 3), search_ms=round(s * 1e3, 3),
                direct_ms=None if direct is None else round(direct * 1e3, 3),
                overhead=None if direct is None else round(s / direct, 3), same_results=same)
        print(f"{name:<40} {add_s:8.2f} {s * 1e3:12.2f} {'' if direct is None else f'{direct * 1e3:12.2f}':>12} "
              f"{'' if direct is None else f'{s / direct:8.2f}x':>9}{'' if same else '  DIFFERENT RESULTS'}")
        return same

    def direct_search(store):  # the orvex Index or Collection under an adapter
        return lambda q: store.target.search(q, K, with_payload=True)

    ok = True
    for where in ("memory", "disk"):
        payloads = [{**m, "_orvex_text": t, "_orvex_id": i} for m, t, i in zip(metadatas, texts, ids)]
        if where == "memory":
            direct = orvex.Index("cosine", args.dim)
            _, add_s = timed(lambda: direct.insert_batch(np.arange(n, dtype=np.uint64), matrix, payloads=payloads))
        else:
            direct = orvex.Collection.open_or_create(str(workdir / "direct"), args.dim, "cosine")
            _, add_s = timed(lambda: (direct.insert_batch(np.arange(n, dtype=np.uint64), matrix, payloads=payloads),
                                      direct.flush()))
        s, results, bare = median_search(lambda q: direct.search(q, K, with_payload=True), queries,
                                         lambda q: direct.search(q, K))
        expected = [[str(i) for i, _, _ in r] for r in results]
        report(f"{type(direct).__name__} directly (direct: no payloads)", add_s, (s, bare), expected)
        del direct, payloads
        gc.collect()

        path = None if where == "memory" else str(workdir / "langchain")
        store = lc.OrvexVectorStore(Table(rows), path=path, dimension=args.dim)
        _, add_s = timed(lambda: (store.add_texts(texts, metadatas, ids=ids), store.close()))
        store.get_by_ids(["0"])  # reopened before the searches
        s, results, direct_s = median_search(lambda q: store.similarity_search_with_score_by_vector(q, K), queries,
                                             direct_search(store.store))
        ok &= report(f"LangChain OrvexVectorStore ({where})", add_s, (s, direct_s),
                     [[d.id for d, _ in r] for r in results])
        store.close()
        del store
        gc.collect()

        path = None if where == "memory" else str(workdir / "llama_index")
        nodes = [TextNode(id_=i, text=t, metadata=m, embedding=r) for i, t, m, r in zip(ids, texts, metadatas, rows)]
        store = li.OrvexVectorStore(path=path, dimension=args.dim)
        _, add_s = timed(lambda: (store.add(nodes), store.close()))
        store.get_nodes(node_ids=["0"])
        s, results, direct_s = median_search(
            lambda q: store.query(VectorStoreQuery(query_embedding=q, similarity_top_k=K)), queries,
            direct_search(store._store))
        ok &= report(f"LlamaIndex OrvexVectorStore ({where})", add_s, (s, direct_s), [r.ids for r in results])
        store.close()
        del store, nodes
        gc.collect()

    store = InMemoryVectorStore(Table(rows))
    _, add_s = timed(lambda: store.add_texts(texts, metadatas, ids=ids))
    s, results, _ = median_search(lambda q: store.similarity_search_with_score_by_vector(q, K),
                                  queries[: max(3, len(queries) // 10)])
    ok &= report("LangChain InMemoryVectorStore", add_s, (s, None), [[d.id for d, _ in r] for r in results])
    print("\ndirect: the same query on the adapter's own orvex object, with payloads, taken in turn with the "
          "adapter's;\nan on-disk add includes the flush (the adapters: close)")
    out.write(args.json)
    if not ok:
        raise SystemExit("a store returned other documents than the direct search")


if __name__ == "__main__":
    main()
