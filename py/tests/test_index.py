"""Index behaviour seen from Python: ids, vector kinds, batches, results."""

import array
import math

import numpy as np
import pytest

from _reference import DISTANCES, bits
from orvex import Index

U64_MAX = 2**64 - 1


def stored_components(index, ids, dimension):
    """Reads stored vectors back exactly: with the dot metric, the distance to
    the i-th unit vector is minus component i (finite components only)."""
    out = {i: [None] * dimension for i in ids}
    for c in range(dimension):
        unit = [0.0] * dimension
        unit[c] = 1.0
        for vid, dist in index.search(unit, len(ids) + 10):
            out[vid][c] = -dist
    return out


# ---- ids -----------------------------------------------------------------


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("given, stored", [
    (True, 1), (False, 0), (0, 0), (U64_MAX, U64_MAX), (IndexLike(42), 42),
    (np.uint64(U64_MAX), U64_MAX), (np.int64(5), 5),
])
def test_accepted_ids(given, stored):
    index = Index("dot", 1)
    index.insert(given, [1.0])
    [(vid, _)] = index.search([1.0], 1)
    assert vid == stored and type(vid) is int


@pytest.mark.parametrize("given, exc", [
    (-1, OverflowError), (2**64, OverflowError), (np.int64(-1), OverflowError), (IndexLike(-3), OverflowError),
    (1.0, TypeError), ("1", TypeError), (None, TypeError), (np.float64(1.0), TypeError),
])
def test_refused_ids(given, exc):
    index = Index("dot", 1)
    with pytest.raises(exc) as info:
        index.insert(given, [1.0])
    assert type(info.value) is exc
    assert str(info.value).startswith("argument 'id': ") == (exc is TypeError)
    assert index.search([1.0], 5) == []


@pytest.mark.parametrize("ids", [
    [1, 2, 3], (1, 2, 3), range(1, 4), [True, 2, 3], np.array([1, 2, 3]), np.array([1, 2, 3], dtype=np.uint8),
    np.array([1, 2, 3], dtype=np.int32), np.array([1, 2, 3], dtype=np.uint64), array.array("q", [1, 2, 3]),
    np.array([1, 0, 2, 0, 3, 0])[::2], np.array([1, 2, 3], dtype=">i8"),
    [np.int16(1), 2, IndexLike(3)],
])
def test_id_list_kinds(ids):
    index = Index("dot", 1)
    index.insert_batch(ids, [[1.0], [2.0], [3.0]])
    assert sorted(index.search([1.0], 10)) == [(1, -1.0), (2, -2.0), (3, -3.0)]


@pytest.mark.parametrize("ids", [np.array([1, -2], dtype=np.int64), np.array([1, -2], dtype=np.int8), [1, -2]])
def test_negative_id_in_list_is_overflow_error(ids):
    index = Index("dot", 1)
    with pytest.raises(OverflowError):
        index.insert_batch(ids, [[1.0], [2.0]])
    assert index.search([1.0], 10) == []


def test_float_id_array_is_refused_with_prefix():
    with pytest.raises(TypeError, match="^argument 'ids': "):
        Index("dot", 1).insert_batch(np.array([1.0]), [[1.0]])


# ---- vectors ---------------------------------------------------------------

VECTOR_KINDS = [
    ("list", [1.0, 2.0, 3.0]),
    ("list-int", [1, 2, 3]),
    ("tuple", (1.0, 2, 3.0)),
    ("range", range(1, 4)),
    ("numpy-f32", np.array([1, 2, 3], dtype=np.float32)),
    ("numpy-f64", np.array([1, 2, 3], dtype=np.float64)),
    ("numpy-f16", np.array([1, 2, 3], dtype=np.float16)),
    ("numpy-int", np.array([1, 2, 3])),
    ("numpy-big-endian", np.array([1, 2, 3], dtype=">f4")),
    ("numpy-strided", np.array([1, 9, 2, 9, 3, 9], dtype=np.float32)[::2]),
    ("numpy-reversed", np.array([3, 2, 1], dtype=np.float64)[::-1]),
    ("numpy-column", np.array([[1, 0], [2, 0], [3, 0]], dtype=np.float32)[:, 0]),
    ("array-f", array.array("f", [1, 2, 3])),
    ("array-d", array.array("d", [1, 2, 3])),
    ("memoryview", memoryview(array.array("f", [1, 2, 3]))),
    ("bytes", b"\x01\x02\x03"),
    ("bytearray", bytearray(b"\x01\x02\x03")),
    ("numpy-scalars", [np.float32(1), np.float64(2), np.int8(3)]),
    ("list-subclass", type("L", (list,), {})([1.0, 2.0, 3.0])),
]


@pytest.mark.parametrize("vector", [k[1] for k in VECTOR_KINDS], ids=[k[0] for k in VECTOR_KINDS])
def test_vector_kinds(vector):
    index = Index("dot", 3)
    index.insert(1, vector)
    assert stored_components(index, [1], 3) == {1: [1.0, 2.0, 3.0]}
    assert index.search(vector, 1) == [(1, -14.0)]


def test_bytes_are_components():
    index = Index("dot", 2)
    index.insert(1, b"\x01\x02")
    assert stored_components(index, [1], 2) == {1: [1.0, 2.0]}


def test_dimension_zero():
    index = Index("dot", 0)
    index.insert(1, [])
    index.insert(2, ())
    assert sorted(index.search([], 5)) == [(1, -0.0), (2, -0.0)]
    assert all(math.copysign(1, d) == -1 for _, d in index.search([], 5))


FLT_MAX = float(np.finfo(np.float32).max)
HALFWAY = 2.0**128 - 2.0**103


@pytest.mark.parametrize("value", [
    0.1, 1 / 3, -2.5e-40, 2.0**-150, 1.5 * 2.0**-149, FLT_MAX, math.nextafter(HALFWAY, 0), HALFWAY, 1e300,
    -1e300, float("inf"), -float("inf"), 16777217, 2**100 + 1,
])
def test_rounding_to_float32_matches_numpy(value):
    with np.errstate(over="ignore"):
        expected = np.array([value], dtype=np.float64).astype(np.float32)[0]
    index = Index("dot", 1)
    index.insert(1, [value])
    [(_, dist)] = index.search([1.0], 1)
    assert bits([-dist]) == bits([expected])


def test_nan_component_is_stored():
    index = Index("dot", 1)
    index.insert(1, [float("nan")])
    [(_, dist)] = index.search([1.0], 1)
    assert math.isnan(dist)


def random_rows(n, d, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((n, d)) * rng.choice([1e-3, 1.0, 1e3], size=(n, 1))).astype(np.float64)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("layout", ["c", "fortran", "sliced"])
def test_numpy_inputs_equal_list_inputs_bit_for_bit(dtype, layout):
    d = 19
    rows = random_rows(40, d, seed=3)
    arr = rows.astype(dtype)
    if layout == "fortran":
        arr = np.asfortranarray(arr)
    elif layout == "sliced":
        wide = np.zeros((40, 2 * d), dtype=dtype)
        wide[:, ::2] = arr
        arr = wide[:, ::2]
    ids = np.arange(40, dtype=np.uint64)
    from_lists = Index("dot", d)
    from_lists.insert_batch(ids.tolist(), arr.tolist())
    from_numpy = Index("dot", d)
    from_numpy.insert_batch(ids, arr)
    one_by_one = Index("dot", d)
    for i in range(40):
        one_by_one.insert(int(ids[i]), arr[i])
    expected = stored_components(from_lists, range(40), d)
    assert stored_components(from_numpy, range(40), d) == expected
    assert stored_components(one_by_one, range(40), d) == expected
    want = [[v for v in expected[i]] for i in range(40)]
    assert bits(want) == bits(arr.astype(np.float32))
    queries = random_rows(5, d, seed=4).astype(dtype)
    assert from_numpy.search_batch(queries, 7) == from_lists.search_batch(queries.tolist(), 7)


def test_two_dimensional_memoryview_is_not_a_vector_list():
    # A memoryview's rows cannot be iterated; it goes the general way and fails there.
    view = memoryview(np.zeros((2, 3), dtype=np.float32))
    with pytest.raises(NotImplementedError):
        Index("dot", 3).insert_batch([1, 2], view)


def test_zero_dimensional_array_is_refused():
    with pytest.raises(TypeError, match="^argument 'vector': "):
        Index("dot", 1).insert(1, np.float32(1.0).reshape(()))


# ---- lying lengths ---------------------------------------------------------


class Lying:
    """A sequence that reports `length` but yields `items`."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("length", [2**62, 2**63 - 1, 0, 10**6, RuntimeError("no len"), -1],
                         ids=["2**62", "2**63-1", "0", "1e6", "raises", "negative"])
def test_lying_length_is_only_a_hint(length):
    index = Index("dot", 3)
    index.insert(1, Lying([1.0, 2.0, 3.0], length))
    index.insert_batch(Lying([2, 3], length), Lying([Lying([1.0, 1.0, 1.0], length), [2.0, 2.0, 2.0]], length))
    assert sorted(index.search(Lying([1.0, 0.0, 0.0], length), 5)) == [(1, -1.0), (2, -1.0), (3, -2.0)]
    assert index.search_batch(Lying([[0.0, 0.0, 1.0]], length), 1) == [[(1, -3.0)]]


def test_length_overflowing_ssize_t_is_ignored():
    with pytest.raises(OverflowError):
        len(Lying([], 2**64))
    index = Index("dot", 1)
    index.insert(1, Lying([1.0], 2**64))
    assert index.search([1.0], 1) == [(1, -1.0)]


# ---- insertion errors and batches -------------------------------------------


def test_insert_errors():
    index = Index("euclidean", 3)
    index.insert(7, [1.0, 2.0, 3.0])
    with pytest.raises(ValueError) as info:
        index.insert(8, [1.0, 2.0])
    assert info.value.args == ("dimension mismatch: expected 3, got 2",)
    with pytest.raises(ValueError) as info:
        index.insert(7, [0.0, 0.0, 0.0])
    assert info.value.args == ("duplicate vector id: 7",)
    with pytest.raises(ValueError) as info:
        index.insert(7, [0.0, 0.0])
    assert info.value.args == ("dimension mismatch: expected 3, got 2",)
    assert index.search([1.0, 2.0, 3.0], 5) == [(7, 0.0)]


def test_insert_returns_none():
    index = Index("dot", 1)
    assert index.insert(1, [1.0]) is None
    assert index.insert_batch([2], [[1.0]]) is None
    assert index.insert_batch([], []) is None


@pytest.mark.parametrize("ids, vectors", [
    ([1, 2], [[0.0, 0.0, 0.0]]),
    ([1], [[0.0, 0.0, 0.0], [1.0, 1.0, 1.0]]),
    ([], [[0.0, 0.0, 0.0]]),
    (np.array([1, 2]), np.zeros((3, 3), dtype=np.float32)),
])
def test_batch_length_mismatch_inserts_nothing(ids, vectors):
    index = Index("euclidean", 3)
    with pytest.raises(ValueError) as info:
        index.insert_batch(ids, vectors)
    assert info.value.args == ("ids and vectors must have the same length",)
    assert index.search([0.0, 0.0, 0.0], 10) == []


def test_batch_stops_at_first_error_and_keeps_earlier_pairs():
    a, b, c, d = [1.0, 0.0], [2.0, 0.0], [3.0, 0.0], [4.0, 0.0]
    index = Index("dot", 2)
    with pytest.raises(ValueError) as info:
        index.insert_batch([1, 2, 1, 3], [a, b, c, d])
    assert info.value.args == ("duplicate vector id: 1",)
    assert sorted(index.search([1.0, 0.0], 10)) == [(1, -1.0), (2, -2.0)]


def test_batch_row_of_wrong_length_stops_there():
    index = Index("dot", 2)
    with pytest.raises(ValueError) as info:
        index.insert_batch([1, 2, 3], [[1.0, 0.0], [1.0], [3.0, 0.0]])
    assert info.value.args == ("dimension mismatch: expected 2, got 1",)
    assert index.search([1.0, 0.0], 10) == [(1, -1.0)]


def test_batch_conversion_failure_inserts_nothing():
    index = Index("dot", 3)
    with pytest.raises(TypeError, match="^argument 'vectors': "):
        index.insert_batch([1, 2], [[0.0, 0.0, 0.0], "xyz"])
    assert index.search([1.0, 0.0, 0.0], 10) == []


def test_large_numpy_batch():
    n, d = 100_000, 16
    data = np.random.default_rng(0).standard_normal((n, d)).astype(np.float32)
    index = Index("euclidean", d)
    index.insert_batch(np.arange(n, dtype=np.uint64), data)
    [(vid, dist)] = index.search(data[12345], 1)
    assert (vid, dist) == (12345, 0.0)


# ---- searches and results ---------------------------------------------------


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
@pytest.mark.parametrize("dimension", [1, 2, 15, 16, 17, 33])
def test_distances_are_the_exact_float32_values(metric, dimension):
    rows = random_rows(12, dimension, seed=dimension)
    index = Index(metric, dimension)
    index.insert_batch(list(range(12)), rows)
    query = random_rows(1, dimension, seed=100 + dimension)[0]
    results = index.search(query, 100)
    assert type(results) is list and len(results) == 12
    for pair in results:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is int and type(pair[1]) is float
    reference = DISTANCES[metric]
    q32 = query.astype(np.float32)
    got = {vid: dist for vid, dist in results}
    want = {i: reference(q32, rows[i].astype(np.float32)) for i in range(12)}
    assert {i: bits([got[i]]) for i in got} == {i: bits([want[i]]) for i in want}
    dists = [dist for _, dist in results]
    assert dists == sorted(dists)


def test_the_block_of_sixteen_rule_shows_through():
    # 2**24 then 31 ones against 32 ones: blocked sum 2**24 + 16.
    index = Index("dot", 32)
    index.insert(1, [2.0**24] + [1.0] * 31)
    assert index.search([1.0] * 32, 1) == [(1, -(2.0**24 + 16))]


def test_cosine_edge_values():
    index = Index("cosine", 2)
    index.insert(1, [1.0, 1.0])
    index.insert(2, [0.0, 0.0])
    assert dict(index.search([1.0, 1.0], 2)) == {1: -(2.0**-23), 2: 1.0}


def test_k_bounds():
    index = Index("euclidean", 1)
    index.insert_batch([1, 2, 3], [[1.0], [2.0], [3.0]])
    assert index.search([0.0], 0) == []
    assert index.search([0.0], 2) == [(1, 1.0), (2, 2.0)]
    assert index.search([0.0], U64_MAX) == [(1, 1.0), (2, 2.0), (3, 3.0)]
    assert index.search([0.0, 0.0], 3) == []  # wrong length: nothing found
    assert Index("dot", 3).search([1.0, 2.0, 3.0], 5) == []


def test_search_batch_shapes():
    index = Index("euclidean", 2)
    index.insert_batch([1, 2], [[0.0, 0.0], [3.0, 4.0]])
    assert index.search_batch([], 5) == []
    assert index.search_batch(np.zeros((0, 2), dtype=np.float32), 5) == []
    assert index.search_batch([[0.0, 0.0], [3.0, 4.0]], 1) == [[(1, 0.0)], [(2, 0.0)]]
    # A query of another length finds nothing; the others are answered.
    assert index.search_batch([[0.0, 0.0], [1.0], [3.0, 4.0]], 1) == [[(1, 0.0)], [], [(2, 0.0)]]
    assert Index("dot", 2).search_batch([[1.0, 2.0], [3.0, 4.0]], 5) == [[], []]


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
def test_search_batch_equals_single_searches(metric):
    d = 24
    rows = random_rows(300, d, seed=7)
    index = Index(metric, d)
    index.insert_batch(np.arange(300), rows.astype(np.float32))
    queries = random_rows(20, d, seed=8).astype(np.float32)
    assert index.search_batch(queries, 10) == [index.search(q, 10) for q in queries]
