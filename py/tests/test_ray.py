"""Sharded collections on a local Ray: every answer equal to one Index's, the manifest's refusals, the fixed
routing and merge order, and a shard actor killed in the middle of a load."""

import os
import shutil

import numpy as np
import pytest

ray = pytest.importorskip("ray")

import orvex  # noqa: E402
from _reference import content  # noqa: E402
from orvex.ray import ShardedCollection, _merge, _merge_arrays, _shard_of  # noqa: E402
from test_surface import SHARD_FILES, SHARDED_MESSAGES  # noqa: E402

D = 12


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=300 * 2**20, log_to_driver=False)
    yield
    ray.shutdown()


def answers(store, queries, k, where):
    out = [store.search(queries[0], k, where=where)]
    for kw in ({}, {"with_payload": True}, {"as_numpy": True}):
        got = store.search_batch(queries, k, where=where, **kw)
        out.append([(a.dtype, a.tolist()) for a in got] if kw.get("as_numpy") else got)
    return out


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
def test_same_answers_as_one_index(tmp_path, metric):
    rng = np.random.default_rng(len(metric))
    n = 400
    ids = np.append(rng.choice(2**62, n - 2, replace=False).astype(np.uint64) + 1, np.uint64([2**64 - 2, 0]))
    vectors = rng.standard_normal((n, D)).astype(np.float32)
    vectors[200:240] = vectors[:40]  # equal distances, ordered by id
    payloads = [{"g": i % 3, "s": "ab"[i % 2]} for i in range(n)]
    index = orvex.Index(metric, D)
    index.insert_batch(ids, vectors, payloads=payloads)
    path = tmp_path / "s"
    with ShardedCollection.open_or_create(str(path), D, metric, shards=4) as sc:
        assert sc.load([(ids[:150], vectors[:150], payloads[:150]), (ids[150:300], vectors[150:300])],
                       progress=False) == 300
        for i in range(150, 300):  # the chunk without payloads, given them one by one
            sc.insert(int(ids[i]), vectors[i].tolist(), payload=payloads[i])
        sc.insert_batch([int(ids[300])] + ids[300:].tolist(), np.vstack([vectors[:1], vectors[300:]]),
                        payloads=[None] + payloads[300:])  # the later of two equal ids wins
        gone = ids[::7].tolist()
        assert sc.delete_batch(gone[1:]) + sc.delete(gone[0]) == index.delete_batch(gone) == len(gone)
        queries = np.concatenate([rng.standard_normal((5, D)), vectors[1:2]]).astype(np.float32)
        cases = [(k, where) for k in (1, 10, n + 5) for where in (None, {"g": 1}, {"$or": [{"g": 2}, {"s": "a"}]})]
        assert [answers(sc, queries, k, where) for k, where in cases] == [
            answers(index, queries, k, where) for k, where in cases]
        assert (len(sc), sc.ids(), sc.stats()["vectors"]) == (len(index), index.ids(), len(index))
        assert [sc.get(i) for i in (int(ids[1]), gone[0], 2**64 - 2)] == [index.get(i) for i in (int(ids[1]), gone[0], 2**64 - 2)]
        assert (int(ids[1]) in sc, gone[0] in sc, -1 in sc) == (True, False, False)
        sc.compact()
    assert sorted(os.listdir(path)) == ["shard-0000", "shard-0001", "shard-0002", "shard-0003", "shards.json"]


def test_merge_orders_ties_by_id_and_nan_last():
    nan, inf = float("nan"), float("inf")
    shards = [[(9, 0.0), (4, 1.0), (8, nan)], [(3, -0.0), (5, 1.0), (2, nan)], []]
    expected = [(3, -0.0), (9, 0.0), (4, 1.0), (5, 1.0), (2, nan), (8, nan)]
    got = _merge(shards, 10)
    assert [h[0] for h in got] == [h[0] for h in expected] and str(got) == str(expected)
    pad = 2**64 - 1
    parts = [(np.array([[i for i, _ in s] + [pad] * (3 - len(s))], np.uint64),
              np.array([[d for _, d in s] + [inf] * (3 - len(s))], np.float32), np.array([len(s)])) for s in shards]
    ids, dists, counts = _merge_arrays(parts, 7)
    assert (ids.tolist(), counts.tolist()) == ([[3, 9, 4, 5, 2, 8, pad]], [6])
    assert str(dists.tolist()) == str([[d for _, d in expected] + [inf]])


def test_routing_is_a_fixed_hash():
    ids = np.array([0, 1, 2**64 - 1, 123456789, 2**63], np.uint64)
    assert _shard_of(ids, 7).tolist() == [2, 2, 0, 5, 6]
    assert int(_shard_of(ids[:1], 2**64 - 1)[0]) % 2**64 == 0xE220A8397B1DCDAF  # splitmix64's first output from seed 0


def test_refusals_write_nothing(tmp_path):
    path = str(tmp_path / "s")
    o = ShardedCollection.open_or_create(path, 2, "dot", shards=2)
    o.insert(100, [0.5, 0.25])
    for call, cls, message in SHARDED_MESSAGES:
        with pytest.raises(cls) as e:
            eval(call, {"o": o, "p": path, "np": np})
        assert e.value.args == (message.format(p=path),), call
        assert o._actors is None or (o.ids(), o.get(100)) == ([100], ([0.5, 0.25], {}))
    holder = f"shard-{_shard_of(np.array([100], np.uint64), 2)[0]:04d}"
    other = ({"shard-0000", "shard-0001"} - {holder}).pop()
    shutil.rmtree(os.path.join(path, other))

    def refused(cls, text, shard):
        with pytest.raises(cls) as e:
            ShardedCollection.open_or_create(path, 2, "dot", shards=2)
        assert e.value.args == (SHARD_FILES[text].format(os.path.join(path, shard), path),)

    refused(FileNotFoundError, "missing", other)
    assert sorted(os.listdir(path)) == [holder, "shards.json"]  # no shard made anew
    with open(os.path.join(path, "shards.json"), "w") as f:
        f.write("[]")
    refused(ValueError, "manifest", other)
    os.remove(os.path.join(path, "shards.json"))
    refused(ValueError, "orphan", holder)
    assert "shards.json" not in os.listdir(path)


def test_killed_shard_restarts_with_a_prefix(tmp_path):
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((6000, D)).astype(np.float32)
    sc = ShardedCollection.open_or_create(tmp_path / "s", D, "dot", shards=4, max_restarts=1)

    def chunks():
        for c in range(30):
            yield np.arange(c * 200, c * 200 + 200, dtype=np.uint64), vectors[c * 200:c * 200 + 200]
            if c == 11:
                sc.flush()
            if c == 20:
                ray.kill(sc.actors[1], no_restart=False)

    try:
        sc.load(chunks(), progress=False)
    except ray.exceptions.RayActorError:
        pass
    held = content(sc, D, 6001)
    shard = _shard_of(np.arange(6000, dtype=np.uint64), 4)
    for s in range(4):
        sent = np.flatnonzero(shard == s)
        kept = sorted(i for i in held if shard[i] == s)
        assert kept == sent[:len(kept)].tolist() and len(kept) >= np.count_nonzero(sent < 2400), s
    assert all(np.array_equal(v, vectors[i]) for i, v in held.items())
    sc.close()


def test_read_only_shards_answer_as_the_writer_after_refresh(tmp_path):
    vectors = np.random.default_rng(4).standard_normal((300, D)).astype(np.float32)
    path, queries = str(tmp_path / "s"), vectors[:5]
    with ShardedCollection.open_or_create(path, D, "euclidean", shards=2) as w:
        w.insert_batch(np.arange(200), vectors[:200])
        w.flush()
        r = ShardedCollection.open_read_only(path)
        w.insert_batch(np.arange(200, 300), vectors[200:])
        assert w.delete_batch(np.arange(0, 300, 5)) == 60
        assert (len(r), r.dimension, r.refresh()) == (200, D, 160)
        assert answers(r, queries, 10, None) == answers(w, queries, 10, None) and r.ids() == w.ids()
        w.compact()
        assert r.refresh() == 240 and answers(r, queries, 300, None) == answers(w, queries, 300, None)
        for call in ["insert(1, [0.0] * D)", "insert_batch([1], [[0.0] * D])", "load([([1], [[0.0] * D])])",
                     "delete(1)", "delete_batch([1])", "flush()", "sync()", "compact()"]:
            with pytest.raises(OSError, match="^collection is read-only$"):
                eval(f"r.{call}")
        r.close()
        assert w.refresh() == 0 and len(w) == 240
    with pytest.raises(FileNotFoundError, match=f"^no sharded collection at {tmp_path}/none: shards.json is missing"):
        ShardedCollection.open_read_only(tmp_path / "none")
