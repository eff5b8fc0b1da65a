"""orvex on Ray: one collection in four shards, answering exactly as one collection would.

The script

  1. starts a local Ray (or joins a cluster with --address, spreading the shards over its nodes),
  2. opens a ShardedCollection of 4 shards: <path>/shard-0000 ... shard-0003, each an ordinary
     Collection directory owned by one Ray actor, and <path>/shards.json, which fixes the shard count,
     the dimension and the routing of ids,
  3. streams 200,000 random vectors with payloads into it in chunks, with a progress bar,
  4. answers a batch of queries, filtered and not, and checks the answers against one orvex.Index
     holding the same vectors: the same (id, distance) lists, bit for bit,
  5. kills one shard actor: Ray restarts it on its node, it reopens its directory, nothing is lost,
  6. shows that reopening with another shard count is refused.

It checks its own results and exits with status 1 if any check fails.

    python examples/ray_shards.py
    python examples/ray_shards.py --address auto --path /data/orvex-example   # on a cluster

On a cluster, --path must be a directory every node can create on its own disk; orvex must be
installed on every node. Needs: orvex[ray] (Ray and numpy); tqdm shows a bar if installed.
"""

import argparse
import shutil
import sys
import tempfile
import time

import numpy as np
import ray

import orvex
from orvex.ray import ShardedCollection

N, D, SHARDS = 200_000, 64, 4


def check(condition, message):
    if not condition:
        print(f"CHECK FAILED: {message}", file=sys.stderr)
        sys.exit(1)


def chunks(vectors, payloads, size=25_000):
    for start in range(0, len(vectors), size):
        ids = np.arange(start, min(start + size, len(vectors)), dtype=np.uint64)
        yield ids, vectors[start:start + size], payloads[start:start + size]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--address", help="a Ray cluster to join (e.g. auto); default: a local Ray")
    ap.add_argument("--path", help="directory of the sharded collection (default: a temporary one)")
    args = ap.parse_args()
    if args.address:
        ray.init(address=args.address)
        # By address rather than node id: a node keeps its address when Ray restarts, so the shards
        # find their directories again. The same list, in the same order, every time.
        nodes = sorted({n["NodeManagerAddress"] for n in ray.nodes() if n["Alive"]})
    else:
        ray.init(include_dashboard=False, object_store_memory=2**30)
        nodes = None
    scratch = None if args.path else tempfile.mkdtemp(prefix="orvex-shards-")
    path = args.path or scratch + "/vectors"

    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((N, D), dtype=np.float32)
    payloads = [{"shop": ["north", "south", "east"][i % 3], "price": int(i % 100)} for i in range(N)]
    index = orvex.Index("cosine", D)  # the reference: everything in one place
    index.insert_batch(np.arange(N, dtype=np.uint64), vectors, payloads=payloads)

    sc = ShardedCollection.open_or_create(path, D, "cosine", shards=SHARDS, nodes=nodes)
    t = time.perf_counter()
    loaded = sc.load(chunks(vectors, payloads), total=N)
    sc.flush()  # every shard checkpoints; from here on a crash loses nothing
    print(f"loaded {loaded:,} vectors into {SHARDS} shards in {time.perf_counter() - t:.1f} s")
    print("totals over the shards:", sc.stats())

    queries = rng.standard_normal((200, D), dtype=np.float32)
    where = {"$and": [{"shop": {"$in": ["north", "east"]}}, {"price": {"$lt": 30}}]}
    for kw in ({}, {"where": where}, {"where": where, "with_payload": True}):
        got, expected = sc.search_batch(queries, 10, **kw), index.search_batch(queries, 10, **kw)
        check(got == expected, f"sharded answers differ from one Index's with {kw}")
    print("query 0, 3 nearest with north or east and price < 30:")
    for vid, dist, payload in sc.search(queries[0], 3, where=where, with_payload=True):
        print(f"  id {vid:>6}  distance {dist:.6f}  {payload}")
    print(f"{len(queries)} queries x 3 forms: the same (id, distance) lists as one Index")

    victim = sc.actors[2]
    ray.kill(victim, no_restart=False)  # the process dies at once, as in a crash
    for _ in range(100):  # calls wait while Ray restarts the actor; a call caught by the death fails
        try:
            check(len(sc) == N, "a flushed vector was lost when a shard restarted")
            break
        except ray.exceptions.RayActorError:
            time.sleep(0.1)
    check(sc.search_batch(queries, 10) == index.search_batch(queries, 10), "answers changed after a restart")
    print("shard 2 killed: Ray restarted it, it reopened its directory, every vector is there")
    sc.close()

    try:
        ShardedCollection.open_or_create(path, D, "cosine", shards=SHARDS + 1, nodes=nodes)
        check(False, "reopening with another shard count was accepted")
    except ValueError as e:
        print(f"reopening with {SHARDS + 1} shards is refused: {e}")
    with ShardedCollection.open_or_create(path, D, "cosine", shards=SHARDS, nodes=nodes) as sc:
        check(len(sc) == N, "reopening lost vectors")
    if scratch:
        shutil.rmtree(scratch)
    print("all checks passed")


if __name__ == "__main__":
    main()
