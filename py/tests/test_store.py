"""Payloads, where filters, deletion, point reads, numpy results, compaction,
close and the one-opener rule, on both classes, against plain Python oracles."""

import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import orvex

D = 4


def make(kind, tmp_path, name="c"):
    if kind == "index":
        return orvex.Index("euclidean", D)
    return orvex.Collection.open_or_create(str(tmp_path / name), D, "euclidean")


BOTH = pytest.mark.parametrize("kind", ["index", "collection"])


def same(a, b):
    """JSON equality as the store keeps it: kinds and number representations
    must agree (1 is not 1.0, True is not 1), 0.0 equals -0.0."""
    kinds = (bool, int, float, str, list, dict, type(None))
    ka = next(k for k in kinds if isinstance(a, k))
    kb = next(k for k in kinds if isinstance(b, k))
    if ka is not kb:
        return False
    if ka is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if ka is dict:
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def matches(where, payload):
    """The matching rules, written independently of the store."""
    for key, cond in where.items():
        if key == "$and":
            ok = all(matches(c, payload) for c in cond)
        elif key == "$or":
            ok = any(matches(c, payload) for c in cond)
        elif key == "$not":
            ok = not matches(cond, payload)
        elif isinstance(cond, dict) and cond and all(k.startswith("$") for k in cond):
            ok = all(leaf(op, arg, key in payload, payload.get(key)) for op, arg in cond.items())
        else:
            ok = key in payload and same(payload[key], cond)
        if not ok:
            return False
    return True


def leaf(op, arg, present, value):
    if op == "$eq":
        return present and same(value, arg)
    if op == "$ne":
        return not (present and same(value, arg))
    if op in ("$gt", "$gte", "$lt", "$lte"):
        if not (present and is_number(value) and is_number(arg)):
            return False
        a, b = float(value), float(arg)
        return {"$gt": a > b, "$gte": a >= b, "$lt": a < b, "$lte": a <= b}[op]
    if op == "$in":
        return present and any(same(value, x) for x in arg)
    if op == "$nin":
        return not (present and any(same(value, x) for x in arg))
    if op == "$contains":
        return present and isinstance(value, str) and arg in value
    assert op == "$exists"
    return present == arg


VALUES = [None, True, False, 0, 1, 1.0, -0.0, 2.5, -3, 2**53 + 1, 2**64 - 1, -(2**63), "", "ab", "abc", "b",
          [1, "a"], [1.0], {"x": 1, "y": [None]}, {"y": [None], "x": 1}]


def random_where(rng, depth=0):
    r = rng.random()
    if depth < 2 and r < 0.2:
        op = rng.choice(["$and", "$or"])
        return {op: [random_where(rng, depth + 1) for _ in range(rng.randint(1, 3))]}
    if depth < 2 and r < 0.3:
        return {"$not": random_where(rng, depth + 1)}
    key = rng.choice("abc")
    op = rng.choice(["lit", "$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$contains", "$exists"])
    if op == "lit":
        return {key: rng.choice(VALUES)}
    if op in ("$in", "$nin"):
        return {key: {op: rng.sample(VALUES, rng.randint(0, 3))}}
    if op == "$contains":
        return {key: {op: rng.choice(["", "a", "bc", "B"])}}
    if op == "$exists":
        return {key: {op: rng.random() < 0.5}}
    return {key: {op: rng.choice(VALUES)}}


@BOTH
@pytest.mark.parametrize("indexed", [False, True])
def test_filtered_search_equals_filter_then_sort(kind, indexed, tmp_path):
    """With payload indexes on a (kept up by the insertions) and b (built from them), c left to the matcher."""
    rng = random.Random(5)
    store = make(kind, tmp_path)
    if indexed:
        store.create_index("a")
    vectors = np.random.default_rng(5).standard_normal((300, D)).astype(np.float32)
    payloads = [{k: rng.choice(VALUES) for k in "abc" if rng.random() < 0.7} for _ in range(300)]
    store.insert_batch(list(range(300)), vectors, payloads=payloads)
    if indexed:
        store.create_index("b")
        assert store.indexes() == ["a", "b"]
        if kind == "collection":
            store.close()
            store = make(kind, tmp_path)
            assert store.indexes() == ["a", "b"] and set(store.stats()["indexes"]) == {"a", "b"}
    q = np.zeros(D, dtype=np.float32)
    dist = np.sqrt(((vectors - q) ** 2).sum(axis=1, dtype=np.float32))
    for _ in range(300):
        where = random_where(rng)
        expected = sorted((float(dist[i]), i) for i in range(300) if matches(where, payloads[i]))
        got = store.search(q, 20, where=where, with_payload=True)
        assert [(i, d) for i, d, _ in got] == [(i, d) for d, i in expected[:20]], where
        assert all(matches(where, p) and same(p, payloads[i]) for i, _, p in got), where
        batch = store.search_batch([q, q], 20, where=where, threads=2)
        assert batch == [[(i, d) for i, d, _ in got]] * 2


@BOTH
def test_payloads_read_back_exactly_and_deletions_stick(kind, tmp_path):
    store = make(kind, tmp_path)
    payload = {"n": None, "t": True, "i": -(2**63), "u": 2**64 - 1, "f": 1.0, "z": -0.0, "s": "é\n\"",
               "l": [1, [2.5, {"k": "v"}], ()], "d": {"b": 1, "a": [False]}}
    store.insert(1, [1, 2, 3, 4], payload=payload)
    store.insert_batch([2, 3, 4], [[0] * D] * 3, payloads=[None, {"k": 1}, None])
    expect = dict(payload, l=[1, [2.5, {"k": "v"}], []])
    vector, got = store.get(1)
    assert vector == [1.0, 2.0, 3.0, 4.0] and same(got, expect)
    assert store.get(2) == ([0.0] * D, {}) and store.get(99) is None
    assert (len(store), 3 in store, 99 in store, -1 in store, 2**64 in store) == (4, True, False, False, False)
    assert store.delete(3) is True and store.delete(3) is False and store.delete_batch([2, 3, 7, 2]) == 1
    assert store.ids() == [1, 4] and store.get(3) is None and 3 not in store
    if kind == "collection":
        log = store.stats()["log_bytes"]
        assert store.delete(12345) is False and store.delete_batch([3, 2]) == 0
        assert store.stats()["log_bytes"] == log  # nothing written for absent ids
        del store
        store = make(kind, tmp_path)
        assert store.ids() == [1, 4] and same(store.get(1)[1], expect)
        store.flush()
        store.close()
        store = make(kind, tmp_path)
        assert store.ids() == [1, 4] and store.stats()["vectors"] == 2


def test_refusals_write_nothing_and_nesting_is_bounded(tmp_path):
    col = make("collection", tmp_path)
    col.insert(1, [0] * D)
    log = col.stats()["log_bytes"]
    looped = {}
    looped["me"] = looped
    with pytest.raises(ValueError, match="nested more than 256 levels deep"):
        col.insert(2, [0] * D, payload=looped)
    with pytest.raises(ValueError, match="float nan"):
        col.insert_batch([3, 4], [[0] * D] * 2, payloads=[None, {"x": float("nan")}])
    assert col.ids() == [1] and col.stats()["log_bytes"] == log
    del col
    assert make("collection", tmp_path).ids() == [1]


def test_filters_nested_a_million_deep_are_refused():
    store = orvex.Index("dot", D)
    deep = {"x": 1}
    for _ in range(1_000_000):
        deep = {"$not": deep}
    with pytest.raises(ValueError, match="levels deep"):
        store.search_batch([[0] * D], 1, where=deep)


@BOTH
def test_numpy_results(kind, tmp_path):
    store = make(kind, tmp_path)
    store.insert_batch([5, 6, 7], [[0, 0, 0, 0], [1, 0, 0, 0], [3, 0, 0, 0]], payloads=[{"p": 1}, None, {"p": 1}])
    ids, dists, counts = store.search_batch([[0] * D, [3, 0, 0, 0]], 5, where={"p": 1}, as_numpy=True)
    assert ids.dtype == np.uint64 and dists.dtype == np.float32 and counts.dtype == np.int64
    assert ids.shape == dists.shape == (2, 3) and counts.tolist() == [2, 2]
    assert ids.tolist() == [[5, 7, 2**64 - 1], [7, 5, 2**64 - 1]]
    assert dists.tolist() == [[0.0, 3.0, np.inf], [0.0, 3.0, np.inf]]
    with pytest.raises(ValueError, match="with_payload and as_numpy cannot be combined"):
        store.search_batch([[0] * D], 1, with_payload=True, as_numpy=True)
    with pytest.raises(TypeError, match="argument 'as_numpy': expected True or False"):
        store.search_batch([[0] * D], 1, as_numpy=1)


def test_numpy_is_imported_only_when_asked():
    code = ("import sys, orvex; i = orvex.Index('dot', 2); i.insert(1, [1, 2]); i.search_batch([[1, 1]], 1); "
            "print('numpy' in sys.modules)")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout.strip() == "False"


def test_close_compaction_and_one_opener(tmp_path):
    path = str(tmp_path / "c")
    col = orvex.Collection.open_or_create(path, D, "euclidean")
    with pytest.raises(OSError, match="collection is in use"):
        orvex.Collection.open_or_create(path, D, "euclidean")
    other = textwrap.dedent(f"""
        import orvex
        try:
            orvex.Collection.open_or_create({path!r}, {D}, "euclidean")
        except OSError as e:
            print(e)
    """)
    assert "collection is in use" in subprocess.run([sys.executable, "-c", other], capture_output=True,
                                                    text=True).stdout
    col.insert_batch(list(range(100)), np.arange(400, dtype=np.float32).reshape(100, D))
    col.delete_batch(list(range(0, 100, 2)))
    col.insert(1, [9, 9, 9, 9])
    before = col.stats()
    reclaimed = col.compact()
    after = col.stats()
    # The log holds only the entry that starts its generation.
    assert after["dead_records"] == 0 and after["vectors"] == 50 and 0 < after["log_bytes"] < 128
    record = 17 + 4 * D + len('{"data":{}}')
    assert before["dead_records"] == 51 and reclaimed == before["data_bytes"] - after["data_bytes"] == 51 * record
    assert os.path.getsize(path + "/data.ovx") == after["data_bytes"] == 50 * record
    assert col.get(1) == ([9.0] * D, {}) and col.get(2) is None
    col.delete(3)  # the id map follows the compacted offsets
    with col:
        pass
    for call in (lambda: col.search([0] * D, 1), lambda: len(col), lambda: col.flush(), lambda: 5 in col):
        with pytest.raises(ValueError, match="collection is closed"):
            call()
    col.close()  # again: nothing
    with orvex.Collection.open_or_create(path, D, "euclidean") as again:
        assert len(again) == 49 and 3 not in again and sorted(os.listdir(path)) == ["data.ovx", "data.ovx.sum", "meta.json",
                                                                                      "wal.log"]
    del again
    orvex.Collection.open_or_create(path, D, "euclidean")  # destruction released the directory too


def test_sync_makes_acknowledged_changes_durable(tmp_path):
    path = str(tmp_path / "c")
    child = textwrap.dedent(f"""
        import os, signal, orvex
        c = orvex.Collection.open_or_create({path!r}, {D}, "euclidean")
        c.insert_batch([1, 2, 3], [[1, 0, 0, 0]] * 3)
        c.delete(2)
        c.sync()
        c.insert(4, [0] * {D})  # not synced: may be lost
        os.kill(os.getpid(), signal.SIGKILL)
    """)
    subprocess.run([sys.executable, "-c", child])
    col = orvex.Collection.open_or_create(path, D, "euclidean")
    assert col.ids()[:2] == [1, 3] and 2 not in col


def test_damage_is_found_refused_and_repaired_from_the_command_line(tmp_path):
    """A flipped bit in a logged frame and one in the flushed data file: opening refuses, verify says where
    (exit 1), repair keeps the frames before the damage and sets the rest aside, then all reads whole."""
    path = str(tmp_path / "c")
    cli = [sys.executable, "-m", "orvex"]
    c = orvex.Collection.open_or_create(path, 2, "dot")
    c.insert_batch(list(range(1, 101)), [[float(i), 1.0] for i in range(1, 101)])
    c.flush()
    c.insert_batch(list(range(101, 121)), [[float(i), 1.0] for i in range(101, 121)])
    c.sync()
    del c  # dropped without a flush: the log keeps the last 20
    wal = tmp_path / "c" / "wal.log"
    log = bytearray(wal.read_bytes())
    log[len(log) // 2] ^= 4
    wal.write_bytes(bytes(log))
    with pytest.raises(OSError, match="WAL corrupted: checksum mismatch"):
        orvex.Collection.open_or_create(path, 2, "dot")
    report = orvex.Collection.verify(path)
    assert not report["ok"] and report["wal.log"]["damage"].startswith("WAL corrupted: checksum mismatch")
    kept = report["wal.log"]["frames"]  # the first starts the log's generation
    out = subprocess.run(cli + ["verify", path], capture_output=True, text=True)
    assert out.returncode == 1 and "wal.log: DAMAGED at offset" in out.stdout and "repair" in out.stdout
    done = orvex.Collection.repair(path)
    assert done["ok"] and done["wal.log"]["kept_frames"] == kept
    assert (tmp_path / "c" / done["wal.log"]["set_aside"]).read_bytes() == bytes(log[report["wal.log"]["damage_offset"]:])
    with orvex.Collection.open_or_create(path, 2, "dot") as c:
        assert c.ids() == list(range(1, 100 + kept))
        c.delete(3)
    data = tmp_path / "c" / "data.ovx"
    raw = bytearray(data.read_bytes())
    raw[40] ^= 1  # inside the second record's vector
    data.write_bytes(bytes(raw))
    with pytest.raises(OSError, match="data.ovx damaged at offset 0: checksum mismatch in bytes 0 to"):
        orvex.Collection.open_or_create(path, 2, "dot")
    assert subprocess.run(cli + ["repair", path], capture_output=True).returncode == 0
    assert subprocess.run(cli + ["verify", path], capture_output=True).returncode == 0
    out = subprocess.run(cli + ["stats", path], capture_output=True, text=True, check=True).stdout
    assert "vectors: " in out
    assert subprocess.run(cli + ["compact", path], capture_output=True, text=True, check=True).stdout.startswith("reclaimed")


def test_import_from_the_command_line(tmp_path):
    """import creates the collection from a .npy matrix (ids after the largest held, or from --ids), reports
    vectors/s, and refuses what is not a matrix or ids of another length, changing nothing."""
    path, cli = str(tmp_path / "c"), [sys.executable, "-m", "orvex", "import"]
    rows = np.random.default_rng(0).standard_normal((70_000, 3)).astype(np.float32)
    np.save(tmp_path / "rows.npy", rows)
    np.save(tmp_path / "ids.npy", np.arange(10**6, 10**6 + 500, dtype=np.uint64))
    np.save(tmp_path / "flat.npy", rows[:, 0])
    out = subprocess.run(cli + [path, "--npy", str(tmp_path / "rows.npy"), "--metric", "dot"], capture_output=True,
                         text=True)
    assert out.returncode == 0 and out.stdout.startswith("imported 70,000 vectors in") and "vectors/s" in out.stdout
    np.save(tmp_path / "few.npy", rows[:500] * 2)
    for extra, code in [(["--npy", str(tmp_path / "few.npy"), "--ids", str(tmp_path / "ids.npy")], 0),
                        (["--npy", str(tmp_path / "flat.npy")], 1),
                        (["--npy", str(tmp_path / "rows.npy"), "--ids", str(tmp_path / "ids.npy")], 1)]:
        assert subprocess.run(cli + [path] + extra, capture_output=True).returncode == code
    with orvex.Collection.open_or_create(path, 3, "dot") as c:
        assert len(c) == 70_500 and c.ids()[-1] == 10**6 + 499
        assert c.get(70_000)[0] == rows[69_999].tolist() and c.get(10**6)[0] == (rows[0] * 2).tolist()
