"""The Python surface of Collection: opening, insertions, searches, flush."""

import os
import pathlib

import numpy as np
import pytest

from orvex import Collection, Index


def meta_text(dimension, metric, count, next_id):
    return (
        "{\n"
        f'  "dimension": {dimension},\n'
        f'  "metric": "{metric}",\n'
        f'  "vector_count": {count},\n'
        f'  "next_id": {next_id}\n'
        "}"
    ).encode()


def snapshot(directory):
    return {name: (directory / name).read_bytes() for name in sorted(os.listdir(directory))}


@pytest.fixture
def path(tmp_path):
    return tmp_path / "coll"


def open_(path, dimension=3, metric="euclidean"):
    return Collection.open_or_create(str(path), dimension, metric)


# ---- opening ---------------------------------------------------------------


def test_creation_writes_the_three_files(path):
    c = open_(path, 128, "cosine")
    assert type(c) is Collection
    assert sorted(os.listdir(path)) == ["data.ovx", "meta.json", "wal.log"]
    assert (path / "meta.json").read_bytes() == meta_text(128, "Cosine", 0, 1)
    assert len((path / "meta.json").read_bytes()) == 81
    assert (path / "wal.log").read_bytes() == b""
    assert (path / "data.ovx").read_bytes() == b""


def test_missing_parents_are_created(tmp_path):
    path = tmp_path / "a" / "b" / "c"
    open_(path)
    assert (path / "meta.json").exists()


def test_keywords_and_static_call_through_an_instance(tmp_path):
    first = Collection.open_or_create(path=str(tmp_path / "x"), dimension=3, metric="dot")
    second = first.open_or_create(str(tmp_path / "y"), 3, "dot")
    assert type(second) is Collection and second is not first
    first.insert(1, [1.0, 0.0, 0.0])
    assert second.search([1.0, 0.0, 0.0], 5) == []
    assert (tmp_path / "y" / "meta.json").read_bytes() == meta_text(3, "DotProduct", 0, 1)


@pytest.mark.parametrize("metric", ["Cosine", "dot_product", "hamming", ""])
def test_invalid_metric_touches_nothing(path, metric):
    with pytest.raises(ValueError) as info:
        open_(path, 3, metric)
    assert type(info.value) is ValueError and info.value.args == ("Invalid metric",)
    assert not path.exists()


def test_path_must_be_str(path):
    with pytest.raises(TypeError) as info:
        Collection.open_or_create(pathlib.Path(path), 3, "cosine")
    assert str(info.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"
    assert not path.exists()


def test_other_dimension_is_refused_and_changes_nothing(path):
    c = open_(path, 4)
    c.insert(1, [1.0, 2.0, 3.0, 4.0])
    del c
    before = snapshot(path)
    with pytest.raises(OSError) as info:
        open_(path, 8)
    e = info.value
    assert type(e) is OSError
    assert e.args == ("collection error: dimension mismatch: collection has 4, config has 8",)
    assert (e.errno, e.strerror, e.filename) == (None, None, None)
    assert snapshot(path) == before


def test_reopening_with_another_metric_uses_it(path):
    c = open_(path, 2, "euclidean")
    c.insert(1, [3.0, 4.0])
    c.flush()
    del c
    c = open_(path, 2, "dot")
    assert c.search([1.0, 0.0], 1) == [(1, -3.0)]


@pytest.mark.parametrize("kind", ["file", "unwritable"])
def test_opening_failure_is_os_error(tmp_path, kind):
    if kind == "file":
        target = tmp_path / "plain"
        target.write_bytes(b"x")
    else:
        if os.geteuid() == 0:
            pytest.skip("root may write anywhere")
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o500)
        target = locked / "coll"
    with pytest.raises(OSError) as info:
        open_(target)
    assert type(info.value) is OSError
    assert len(info.value.args) == 1 and info.value.errno is None
    assert "os error" in info.value.args[0]


def test_unreadable_meta_is_os_error(path):
    open_(path)
    (path / "meta.json").write_bytes(b'{"dimension": 3}')
    with pytest.raises(OSError) as info:
        open_(path)
    assert info.value.args[0].startswith("collection error: ")
    assert "missing field `metric`" in info.value.args[0]


# ---- insertions ----------------------------------------------------------------


def test_reinserting_an_id_replaces_it(path):
    c = open_(path)
    v, w = [1.0, 2.0, 3.0], [7.0, 8.0, 9.0]
    assert c.insert(1, v) is None
    assert c.insert(1, w) is None
    assert c.search(w, 1) == [(1, 0.0)]
    assert c.search(v, 5) == [(1, c.search(v, 1)[0][1])]


def test_wrong_length_is_refused_before_logging(path):
    c = open_(path)
    c.insert(1, [1.0, 2.0, 3.0])
    del c  # writes the log's buffer out
    size = (path / "wal.log").stat().st_size
    assert size > 0
    c = open_(path)
    with pytest.raises(ValueError) as info:
        c.insert(2, [1.0, 2.0])
    assert type(info.value) is ValueError
    assert info.value.args == ("dimension mismatch: expected 3, got 2",)
    del c
    assert (path / "wal.log").stat().st_size == size
    # The collection still opens and holds only the good vector.
    assert open_(path).search([1.0, 2.0, 3.0], 5) == [(1, 0.0)]


def test_batch_length_mismatch_writes_nothing(path):
    c = open_(path)
    with pytest.raises(ValueError) as info:
        c.insert_batch([1, 2], [[0.0, 0.0, 0.0]])
    assert info.value.args == ("ids and vectors must have the same length",)
    del c
    assert (path / "wal.log").read_bytes() == b""
    assert (path / "data.ovx").read_bytes() == b""


def test_batch_stops_at_first_error_keeping_earlier_pairs(path):
    c = open_(path, 2)
    with pytest.raises(ValueError) as info:
        c.insert_batch([1, 2, 3], [[1.0, 0.0], [1.0], [3.0, 0.0]])
    assert info.value.args == ("dimension mismatch: expected 2, got 1",)
    assert c.search([0.0, 0.0], 10) == [(1, 1.0)]
    del c
    assert open_(path, 2).search([0.0, 0.0], 10) == [(1, 1.0)]


def test_duplicate_inside_batch_later_vector_wins(path):
    c = open_(path, 1, "dot")
    c.insert_batch([5, 6, 5], [[1.0], [2.0], [3.0]])
    assert sorted(c.search([1.0], 10)) == [(5, -3.0), (6, -2.0)]


def test_numpy_batch_equals_list_batch(tmp_path):
    rng = np.random.default_rng(1)
    data = rng.standard_normal((200, 17)).astype(np.float32)
    a = open_(tmp_path / "a", 17, "dot")
    a.insert_batch(np.arange(200, dtype=np.uint64), data)
    b = open_(tmp_path / "b", 17, "dot")
    b.insert_batch(list(range(200)), data.tolist())
    queries = rng.standard_normal((6, 17))
    assert a.search_batch(queries, 9) == b.search_batch(queries.tolist(), 9)
    assert a.search_batch(queries, 9) == [a.search(q, 9) for q in queries]
    del a, b
    assert (tmp_path / "a" / "wal.log").read_bytes() == (tmp_path / "b" / "wal.log").read_bytes()


def test_conversion_failure_writes_nothing(path):
    c = open_(path)
    with pytest.raises(TypeError, match="^argument 'vectors': "):
        c.insert_batch([1, 2], [[0.0, 0.0, 0.0], "xyz"])
    with pytest.raises(OverflowError):
        c.insert(-1, [0.0, 0.0, 0.0])
    del c
    assert (path / "wal.log").read_bytes() == b""


# ---- searches, flush, reopening -------------------------------------------------


def test_fresh_collection_finds_nothing(path):
    c = open_(path)
    assert c.search([1.0, 2.0, 3.0], 5) == []
    assert c.search_batch([[1.0, 2.0, 3.0], [0.0, 0.0, 0.0]], 5) == [[], []]
    assert c.search_batch([], 5) == []


def test_flush(path):
    c = open_(path, 2)
    c.insert_batch([1, 7], [[0.0, 0.0], [3.0, 4.0]])
    with pytest.raises(TypeError) as info:
        c.flush(1)
    assert "flush() takes no arguments (1 given)" in str(info.value)
    assert c.flush() is None
    assert (path / "wal.log").read_bytes() == b""
    assert (path / "meta.json").read_bytes() == meta_text(2, "Euclidean", 2, 8)
    del c
    assert sorted(open_(path, 2).search([0.0, 0.0], 5)) == [(1, 0.0), (7, 5.0)]


def test_vectors_survive_a_close_without_flush(path):
    c = open_(path, 2)
    for i in range(250):
        c.insert(i, [float(i), 1.0])
    del c
    c = open_(path, 2)
    assert c.search([10.0, 1.0], 1) == [(10, 0.0)]
    assert len(c.search([0.0, 0.0], 1000)) == 250
    # Reopening again without a flush keeps one entry per id.
    del c
    assert len(open_(path, 2).search([0.0, 0.0], 1000)) == 250


def test_collection_and_index_agree(path):
    rng = np.random.default_rng(5)
    data = rng.standard_normal((300, 24)).astype(np.float32)
    c = open_(path, 24, "cosine")
    ix = Index("cosine", 24)
    c.insert_batch(range(300), data)
    ix.insert_batch(range(300), data)
    q = rng.standard_normal((4, 24))
    assert c.search_batch(q, 10) == ix.search_batch(q, 10)
    c.flush()
    del c
    assert open_(path, 24, "cosine").search_batch(q, 10) == ix.search_batch(q, 10)


# ---- call protocol on Collection ------------------------------------------------

METHODS = [
    ("insert", ["id", "vector"]),
    ("search", ["query", "k"]),
    ("insert_batch", ["ids", "vectors"]),
    ("search_batch", ["queries", "k"]),
]


@pytest.mark.parametrize("method, params", METHODS, ids=[m[0] for m in METHODS])
def test_binding_messages(path, method, params):
    f = getattr(open_(path), method)
    name = f"Collection.{method}()"
    with pytest.raises(TypeError) as info:
        f(1, 2, 3)
    assert info.value.args == (f"{name} takes 2 positional arguments but 3 were given",)
    with pytest.raises(TypeError) as info:
        f(nope=1)
    assert info.value.args == (f"{name} got an unexpected keyword argument 'nope'",)
    with pytest.raises(TypeError) as info:
        f(1, **{params[0]: 1})
    assert info.value.args == (f"{name} got multiple values for argument '{params[0]}'",)
    with pytest.raises(TypeError) as info:
        f()
    assert info.value.args == (f"{name} missing 2 required positional arguments: '{params[0]}' and '{params[1]}'",)


class Hook:
    def __init__(self, action):
        self.action = action
        self.seen = None

    def __float__(self):
        try:
            self.action()
        except RuntimeError as e:
            self.seen = e
        return 1.0


@pytest.mark.parametrize("outer, inner, message", [
    (lambda c, h: c.insert(1, [h, 0.0, 0.0]), lambda c: c.flush(), "Already borrowed"),
    (lambda c, h: c.insert(1, [h, 0.0, 0.0]), lambda c: c.search([0.0, 0.0, 0.0], 1), "Already mutably borrowed"),
    (lambda c, h: c.search([h, 0.0, 0.0], 1), lambda c: c.flush(), "Already borrowed"),
    (lambda c, h: c.search_batch([[h, 0.0, 0.0]], 1), lambda c: c.insert(2, [0.0, 0.0, 0.0]), "Already borrowed"),
], ids=["insert/flush", "insert/search", "search/flush", "search_batch/insert"])
def test_borrows(path, outer, inner, message):
    c = open_(path)
    hook = Hook(lambda: inner(c))
    outer(c, hook)
    assert type(hook.seen) is RuntimeError and hook.seen.args == (message,)
    c.flush()
    c.insert(3, [0.0, 0.0, 0.0])
