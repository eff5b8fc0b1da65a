"""Values through the binding against numpy and the model: ids, kinds of
vectors and id lists, numpy layouts, rounding to float32, exact distances,
batches, and what a Collection keeps on disk."""

import array
import contextlib
import math
import operator
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

from _reference import DISTANCES, FloatLike, IndexLike, LyingSequence, Model, assert_holds
from orvex import Collection, Index

U64_MAX, KINDS = 2**64 - 1, ["Index", "Collection"]


def make(kind, tmp_path, dim, metric="dot", name="c"):
    return Index(metric, dim) if kind == "Index" else Collection.open_or_create(str(tmp_path / name), dim, metric)


@pytest.mark.parametrize("ids, vector", [
    ((1, 2, 3), (1.0, 2, 3.0)), ([True, U64_MAX, IndexLike(3)], range(1, 4)), ([4, 5, 6], b"\x01\x02\x03"),
    ([False, np.uint64(U64_MAX), np.int64(5)], bytearray(b"\x01\x02\x03")),
    (np.array([1, 2, 3], "u1"), np.array([1, 2, 3], ">f4")), (array.array("q", [1, 2, 3]), array.array("f", [1, 2, 3])),
    (np.array([1, 0, 2, 0, 3, 0], np.uint64)[::2], np.array([[1, 0], [2, 0], [3, 0]], np.float32)[:, 0]),
    (LyingSequence([1, 2, 3], RuntimeError("len")), memoryview(array.array("d", [1, 2, 3]))),
    (LyingSequence([np.int16(4), 5, 6], -1), np.array([3, 2, 1], np.float64)[::-1]),
    ([7, 8, 9], type("L", (list,), {})([np.float32(1), np.float64(2), np.int8(3)]))])
def test_kinds_of_vectors_and_id_lists(ids, vector):
    index, model = Index("dot", 3), Model(3, False)
    index.insert_batch(ids, [vector, [1, 1, 1], [2, 2, 2]])
    index.insert(10, vector)
    assert index.search(vector, 1)[0][1] == -14.0 and all(type(vid) is int for vid, _ in index.search(vector, 9))
    model.insert_batch([*map(operator.index, ids), 10], [[1, 2, 3], [1, 1, 1], [2, 2, 2], [1, 2, 3]])
    assert_holds(index, model)


HALFWAY = 2.0**128 - 2.0**103  # between the largest float32 and 2**128


@pytest.mark.parametrize("form", ["list", "FloatLike", "float64", "float64 strided", "float64 matrix"])
@pytest.mark.parametrize("value", [0.1, 1 / 3, -2.5e-40, 2.0**-150, 1.5 * 2.0**-149, float(np.finfo(np.float32).max),
                                   math.nextafter(HALFWAY, 0), HALFWAY, 1e300, -math.inf, 16777217, 2**100 + 1])
def test_rounding_to_float32_matches_numpy(value, form):
    with np.errstate(over="ignore"):
        expected = np.float64(value).astype(np.float32)
    index, wide = Index("dot", 1), np.array([value, 0.0], np.float64)
    {"list": lambda: index.insert(1, [value]), "FloatLike": lambda: index.insert(1, [FloatLike(float(value))]),
     "float64": lambda: index.insert(1, wide[:1]), "float64 strided": lambda: index.insert(1, wide[::2]),
     "float64 matrix": lambda: index.insert_batch([1], wide[:1].reshape(1, 1))}[form]()
    assert np.float32(-index.search([1.0], 1)[0][1]).tobytes() == expected.tobytes()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("layout", ["C", "fortran", "sliced", "reversed"])
def test_numpy_inputs_equal_list_inputs_bit_for_bit(tmp_path, kind, dtype, layout):
    rng = np.random.default_rng(3)
    arr = (rng.standard_normal((40, 19)) * rng.choice([1e-30, 1e-3, 1.0, 1e3, 1e30], size=(40, 1))).astype(dtype)
    arr = {"C": arr, "fortran": np.asfortranarray(arr), "reversed": arr[::-1],
           "sliced": np.repeat(arr, 2, axis=1)[:, ::2]}[layout]
    model, queries = Model(19, kind == "Collection"), rng.standard_normal((5, 19)).astype(dtype)
    model.insert_batch(range(40), arr.astype(np.float32))
    for name, fill in [("lists", lambda o: o.insert_batch(list(range(40)), arr.tolist())),
                       ("numpy", lambda o: o.insert_batch(np.arange(40, dtype=np.uint64), arr)),
                       ("rows", lambda o: [o.insert(i, arr[i]) for i in range(40)])]:
        fill(obj := make(kind, tmp_path, 19, name=name))
        assert_holds(obj, model)
        assert obj.search_batch(queries, 7) == obj.search_batch(queries.tolist(), 7)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
@pytest.mark.parametrize("dim", [1, 2, 16, 17, 33])
def test_distances_are_the_exact_float32_values(tmp_path, kind, metric, dim):
    rng = np.random.default_rng(dim)
    rows = (rng.standard_normal((12, dim)) * rng.choice([1e-3, 1.0, 1e3], size=(12, 1))).astype(np.float32)
    queries = rng.standard_normal((4, dim)).astype(np.float32)
    rows[0], queries[1], queries[2, 0] = 0.0, 0.0, 2.0**24  # a large first term shows the order of the sums
    obj = make(kind, tmp_path, dim, metric)
    obj.insert_batch(list(range(12)), rows)
    results = obj.search_batch(queries, 100)
    assert results == [obj.search(q, 100) for q in queries]
    for q, found in zip(queries, results):
        assert [d for _, d in found] == sorted(d for _, d in found) and all(type(d) is float for _, d in found)
        assert {i: np.float32(d).tobytes() for i, d in found} == {
            i: DISTANCES[metric](q, rows[i]).tobytes() for i in range(12)}


@pytest.mark.parametrize("kind", KINDS)
def test_one_order_for_ties_and_nan_on_any_thread_count(tmp_path, kind):
    rng = np.random.default_rng(3)
    rows = rng.integers(-2, 3, size=(700, 4)).astype(np.float32)  # small integers: many equal distances
    if kind == "Index":
        rows[[5, 300, 600], 1] = np.nan  # a Collection refuses these
    ids = [int(i) for i in rng.permutation(10**6)[:700]]
    queries = rng.integers(-2, 3, size=(40, 4)).astype(np.float32)
    obj = make(kind, tmp_path, 4, "euclidean")
    obj.insert_batch(ids, rows)
    for i in ids[:50]:  # removal moves the last slot into the hole: slot order is not id order
        obj.delete(i)
    obj.insert_batch(ids[:50], rows[:50])
    want = []  # (id, repr of the distance): NaN compares equal to NaN
    for q in queries:
        d = [float(DISTANCES["euclidean"](q, r)) for r in rows]
        ranked = sorted(zip(d, ids), key=lambda t: (math.isnan(t[0]), 0.0 if math.isnan(t[0]) else t[0], t[1]))
        want.append([(i, repr(d)) for d, i in ranked])

    def shown(results):
        return [[(i, repr(d)) for i, d in r] for r in results]

    assert shown(obj.search(q, 700) for q in queries[:3]) == want[:3]
    for threads in (0, 1, 2, 3):
        for k in (1, 60):
            assert shown(obj.search_batch(queries, k, threads=threads)) == [w[:k] for w in want], (threads, k)


@pytest.mark.parametrize("kind", KINDS)
def test_a_change_from_another_thread_waits_for_the_scan(tmp_path, kind):
    obj = make(kind, tmp_path, 8)
    obj.insert_batch(list(range(5000)), np.ones((5000, 8), np.float32))
    errors = []

    def change():
        try:
            obj.insert(10**9, [2.0] * 8)
            obj.delete(0)
        except Exception as e:  # noqa: BLE001 - any refusal is the failure
            errors.append(e)

    other = threading.Thread(target=change)
    # Started while this call holds its borrow: it runs while the scan runs without the interpreter lock.
    query = [FloatLike(lambda: 1.0 if other.ident else other.start() or 1.0)] + [1.0] * 7
    found = obj.search_batch([query] * 20, 3, threads=2)
    other.join()
    assert errors == [] and 10**9 in obj and 0 not in obj
    assert found == [[(0, -8.0), (1, -8.0), (2, -8.0)]] * 20


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("ids, rows", [
    ([1, 2, 1, 3], [[1, 0], [2, 0], [3, 0], [4, 0]]), ([1, 2, 3], [[1, 0], [2], [3, 0]]),
    ([5, 6, 5, 7], np.array([[1, 0], [2, 0], [3, 0], [np.inf, 0]]))], ids=["held id", "short row", "not finite"])
def test_batches_stop_at_the_first_error_keeping_the_pairs_before(tmp_path, kind, ids, rows):
    obj, model = make(kind, tmp_path, 2), Model(2, kind == "Collection")
    with pytest.raises(fails) if (fails := model.insert_batch(ids, rows)) else contextlib.nullcontext():
        obj.insert_batch(ids, rows)  # an Index refuses a held id, a Collection replaces its vector
    assert_holds(obj, model)
    if kind == "Collection":
        del obj
        assert_holds(make(kind, tmp_path, 2), model)


def test_collection_reopens_with_what_it_holds(tmp_path):
    path, model = str(tmp_path / "a" / "b"), Model(2, True)
    c = Collection.open_or_create(path, 2, "euclidean")
    assert sorted(os.listdir(path)) == ["data.ovx", "meta.json", "wal.log"]
    for i in range(250):  # ids below 50 twice: the second vector replaces the first
        c.insert(i % 200, [float(i), -1.0])
        model.insert(i % 200, [float(i), -1.0])
    for step in ["close", "close again", "flush"]:
        if step == "flush":
            c.flush()
            assert os.path.getsize(os.path.join(path, "wal.log")) < 128  # the entry that starts its generation
        del c
        c = Collection.open_or_create(path, 2, "dot")  # the metric of the call counts
        assert_holds(c, model)


def test_huge_dimensions(tmp_path):
    """28 + 4 * dimension wraps around 64 bits for some; in a child, so that a crash fails this test only."""
    code = ("import sys; from orvex import Collection\nfor d in [2**62 - 7, 2**62, 2**63, 2**64 - 1] * 2:\n"
            "    assert (c := Collection.open_or_create(sys.argv[1] + str(d), d, 'dot')).search([], 3) == []\n"
            "    assert c.insert_batch([], []) is None; del c\n")
    assert subprocess.run([sys.executable, "-c", code, str(tmp_path / "c")]).returncode == 0
