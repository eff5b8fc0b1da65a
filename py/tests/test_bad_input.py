"""Bad input from Python, property-based: sequences of calls on an Index or a
Collection with arbitrary arguments (wrong types, nested and lying
sequences, huge and negative numbers, NaN and infinities, objects whose
__len__, __iter__, __float__ or __index__ lie, raise or call back into the
object).

Every call must succeed or raise an ordinary Python exception of the class a
plain-Python reference of the conversion rules predicts; the object stays
usable; and its content (read back exactly after every call) is what the
successful calls put there according to a Python model. A Collection is
reopened at the end and must hold the same content.

ORVEX_HYPOTHESIS_EXAMPLES scales the number of examples (CI: the default).
"""

import array
import gc
import itertools
import math
import operator
import os
import pathlib
import sys
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvex import Collection, Index

U64_MAX = 2**64 - 1
EXAMPLES = int(os.environ.get("ORVEX_HYPOTHESIS_EXAMPLES", "100"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
# Objects whose __index__ returns a bool, or __float__ a float subclass, are
# part of the input; Python warns about them.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::RuntimeWarning")


class Boom(Exception):
    """What the lying objects raise."""


# ---- objects that lie ------------------------------------------------------


def fresh(exc):
    """A new exception like `exc`: a raised instance keeps the frames (and
    the objects in them) alive through its traceback."""
    return type(exc)(*exc.args)

# While set, objects that call back into the target return their value
# without calling (the reference conversion runs outside any borrow).
REFERENCE = [False]
# The object under test, for the objects that call back into it.
TARGET = [None]


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise fresh(self.value)
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise fresh(self.value)
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value!r})"


class LyingSequence:
    """A sequence whose __len__ lies (or raises) and whose iteration may
    yield its items and then raise."""

    def __init__(self, items, length, boom_after):
        self.items, self.length, self.boom_after = list(items), length, boom_after

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise fresh(self.length)
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for n, item in enumerate(self.items):
            if n == self.boom_after:
                raise Boom("iteration")
            yield item

    def __repr__(self):
        return f"LyingSequence({self.items!r}, {self.length!r}, {self.boom_after!r})"


class CallsBack:
    """An element whose __float__ / __index__ calls a method of the object
    being converted for, records what happened and returns `value`."""

    def __init__(self, method):
        self.method, self.seen = method, []

    def _call(self):
        if REFERENCE[0]:
            return
        target = TARGET[0]
        dim = DIMENSION[0]
        try:
            if self.method == "search":
                target.search([0.0] * dim, 3)
            else:
                target.insert(777_000, [0.0] * dim)
            self.seen.append("ok")
        except Exception as e:  # noqa: BLE001 - the class is what is checked
            self.seen.append(type(e))

    def __float__(self):
        self._call()
        return 0.5

    def __index__(self):
        self._call()
        return 777_001

    def __repr__(self):
        return f"CallsBack({self.method!r})"


DIMENSION = [0]


# ---- the reference conversion ----------------------------------------------


def is_sequence(obj):
    """Python's sequence check, for the kinds of objects drawn here."""
    return not isinstance(obj, dict) and hasattr(type(obj), "__getitem__")


def to_u64(obj):
    value = operator.index(obj)
    if value < 0 or value > U64_MAX:
        raise OverflowError("out of range")
    return int(value)


def to_double(obj):
    if isinstance(obj, float):
        return float(obj)
    kind = type(obj)
    if hasattr(kind, "__float__"):
        result = kind.__float__(obj)
        if type(result) is not float:
            raise TypeError("__float__ returned non-float")
        return result
    if hasattr(kind, "__index__"):
        return float(operator.index(obj))
    raise TypeError("must be real number")


def to_f32(d):
    with np.errstate(over="ignore"):
        return np.float32(d)


def check_list(obj):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not is_sequence(obj):
        raise TypeError("cannot be converted to 'Sequence'")


def to_vector(obj):
    check_list(obj)
    return np.array([to_f32(to_double(x)) for x in iter(obj)], dtype=np.float32).reshape(-1)


def to_ids(obj):
    check_list(obj)
    return [to_u64(x) for x in iter(obj)]


def to_vectors(obj):
    check_list(obj)
    return [to_vector(row) for row in iter(obj)]


def to_text(obj):
    if not isinstance(obj, str):
        raise TypeError("cannot be converted to 'PyString'")
    obj.encode("utf-8")
    return str(obj)


PARAMETERS = {
    "insert": (("id", to_u64), ("vector", to_vector)),
    "search": (("query", to_vector), ("k", to_u64)),
    "insert_batch": (("ids", to_ids), ("vectors", to_vectors)),
    "search_batch": (("queries", to_vectors), ("k", to_u64)),
    "open_or_create": (("path", to_text), ("dimension", to_u64), ("metric", to_text)),
}


def reference(method, args, kwargs):
    """Binds and converts like the module: the converted values, or raises."""
    params = PARAMETERS[method]
    names = [n for n, _ in params]
    if len(args) > len(params):
        raise TypeError("too many positional arguments")
    bound = dict(zip(names, args))
    for key in kwargs:
        if key not in names or key in bound:
            raise TypeError("bad keyword")
        bound[key] = kwargs[key]
    if len(bound) < len(names):
        raise TypeError("missing")
    REFERENCE[0] = True
    try:
        return [convert(bound[name]) for name, convert in params]
    finally:
        REFERENCE[0] = False


# ---- strategies -------------------------------------------------------------

floats = st.floats(allow_nan=True, allow_infinity=True)
f32s = st.floats(width=32, allow_nan=False, allow_infinity=False)
huge_ints = st.sampled_from([2**63, U64_MAX, 2**64, 2**100, 10**400, -1, -(2**63), -(10**400)])
weird = st.one_of(
    st.none(), st.text(max_size=3), st.binary(max_size=3), st.just({}), st.just({1: 2.0}), st.just(set()),
    st.just(1j), st.just(object()), st.just([[1.0]]), st.just(Boom), st.just(np.array([1.0, 2.0])),
    st.sampled_from([np.float32(1.5), np.float64(-2.0), np.int64(3), np.uint64(U64_MAX), np.bool_(True)]),
)
exceptions = st.sampled_from([Boom("float"), TypeError("mine"), ValueError("mine"), OverflowError("mine")])
float_likes = st.one_of(floats, st.sampled_from([3, "3.5", 2**2000, None, True])).map(FloatLike)
index_likes = st.one_of(st.integers(-5, 20), huge_ints, st.sampled_from([1.5, "7", None, True])).map(IndexLike)
raisers = exceptions.flatmap(lambda e: st.sampled_from([FloatLike(e), IndexLike(e)]))
callbacks = st.sampled_from(["search", "insert"]).map(CallsBack)

elements = st.one_of(
    f32s, f32s, floats, st.integers(-(2**70), 2**70), huge_ints, st.booleans(),
    float_likes, index_likes, raisers, callbacks, weird,
)
# Arguments are well-formed more often than not, so that the content grows
# and later calls meet a non-empty object; "good" values still come in every
# accepted form, lying lengths included.
good_ids = st.one_of(st.integers(0, 12), st.integers(0, 12), st.just(U64_MAX), st.just(True),
                     st.integers(0, 12).map(IndexLike), st.integers(0, 12).map(np.uint64))
wild_ids = st.one_of(huge_ints, index_likes, raisers, callbacks, floats, weird)
ids = st.one_of(good_ids, good_ids, good_ids, wild_ids)
ks = st.one_of(st.integers(0, 8), st.integers(0, 8), st.just(U64_MAX), huge_ints, index_likes, raisers, floats,
               weird)
lengths = st.one_of(st.integers(-3, 10), st.sampled_from([2**62, 2**63 - 1, U64_MAX]), exceptions)


def lying(items, boom=True):
    booms = st.one_of(st.none(), st.integers(0, 4)) if boom else st.none()
    return st.builds(LyingSequence, st.just(items), lengths, booms)


def good_vectors(dim):
    comps = st.lists(f32s, min_size=dim, max_size=dim)
    return st.one_of(
        comps, comps, comps.map(tuple), comps.flatmap(lambda c: lying(c, boom=False)),
        comps.map(lambda c: np.array(c, dtype=np.float32)), comps.map(lambda c: np.array(c, dtype=np.float64)),
        comps.map(lambda c: [FloatLike(x) for x in c]), comps.map(lambda c: array.array("f", c)),
        comps.map(lambda c: np.repeat(np.array(c, dtype=np.float32), 2)[::2]),  # strided
        st.lists(st.integers(-(2**40), 2**40), min_size=dim, max_size=dim),
        st.lists(floats, min_size=dim, max_size=dim),  # NaN, infinities, beyond float32
    )


def wild_vectors(dim):
    good = st.lists(f32s, min_size=dim, max_size=dim)
    wild = st.lists(elements, max_size=dim + 2)
    return st.one_of(
        wild, wild.map(tuple), wild.flatmap(lying), good.flatmap(lying),
        good.map(lambda c: np.array(c, dtype=np.float16)),
        st.lists(st.integers(-(2**31), 2**31 - 1), min_size=dim, max_size=dim).map(lambda c: np.array(c, np.int32)),
        good.map(lambda c: np.array(c, dtype=np.float32).reshape(1, -1)),  # 2-D where 1-D is meant
        good.map(lambda c: memoryview(array.array("d", c))),
        st.binary(min_size=dim, max_size=dim + 1), st.integers(0, dim + 1).map(range),
        st.just((x for x in range(dim))), weird,
    )


def float_sequences(dim):
    good = good_vectors(dim)
    return st.one_of(good, good, good, wild_vectors(dim))


def matrices(dim, n):
    def matrix(dtype, extra=0):
        size = n * (dim + extra)
        return st.lists(f32s, min_size=size, max_size=size).map(
            lambda c: np.array(c, dtype=dtype).reshape(n, dim + extra))
    return st.one_of(
        matrix(np.float32), matrix(np.float64), matrix(np.float32).map(np.asfortranarray),
        matrix(np.float32).map(lambda m: m[::-1]), matrix(np.float32, 1),
        matrix(np.float32).map(lambda m: np.clip(m, -100, 100).astype(np.int16)),
    )


def vector_lists(dim, n=None):
    """Vector lists, of exactly n rows when n is given (wild ones of any)."""
    sizes = dict(min_size=n, max_size=n) if n is not None else dict(max_size=5)
    good_rows = st.lists(good_vectors(dim), **sizes)
    rows = st.lists(float_sequences(dim), **sizes)
    count = st.just(n) if n is not None else st.integers(0, 5)
    return st.one_of(
        good_rows, good_rows, good_rows.map(tuple), good_rows.flatmap(lambda r: lying(r, boom=False)),
        count.flatmap(lambda k: matrices(dim, k)), count.flatmap(lambda k: matrices(dim, k)),
        rows, rows.flatmap(lying), weird,
    )


def id_lists(n=None):
    sizes = dict(min_size=n, max_size=n) if n is not None else dict(max_size=5)
    small = st.lists(st.integers(0, 12), **sizes)
    return st.one_of(
        st.lists(good_ids, **sizes), small, small.map(tuple), small.flatmap(lambda r: lying(r, boom=False)),
        small.map(lambda c: np.array(c, dtype=np.uint64)), small.map(lambda c: np.array(c, dtype=np.int8)),
        small.map(lambda c: array.array("q", c)),
        st.lists(ids, max_size=5), st.lists(ids, max_size=5).flatmap(lying),
        st.lists(st.integers(-3, 12), max_size=5).map(lambda c: np.array(c, dtype=np.int64)),
        small.map(lambda c: np.array(c, dtype=np.float64)), small.map(lambda c: np.array(c, dtype=np.bool_)),
        st.integers(0, 5).map(range), weird,
    )


def argument(name, dim):
    return {
        "id": ids, "vector": float_sequences(dim), "query": float_sequences(dim), "k": ks,
        "ids": id_lists(), "vectors": vector_lists(dim), "queries": vector_lists(dim),
    }[name]


@st.composite
def calls(draw, methods, dim):
    """(method, args, kwargs), mostly well-formed in shape, sometimes not."""
    method = draw(st.sampled_from(methods))
    if method == "flush":
        return method, tuple(draw(st.lists(st.integers(), max_size=1))), {}
    names = [n for n, _ in PARAMETERS[method]]
    if method == "insert_batch" and draw(st.booleans()):
        n = draw(st.integers(0, 5))  # ids and vectors of one length
        fresh_ids = st.lists(st.integers(21, 60), min_size=n, max_size=n, unique=True)
        values = [draw(st.one_of(fresh_ids, fresh_ids.map(np.array), id_lists(n))), draw(vector_lists(dim, n))]
    else:
        values = [draw(argument(name, dim)) for name in names]
    shape = "positional"
    if draw(st.integers(0, 3)) == 0:
        shape = draw(st.sampled_from(["keywords", "keywords", "extra", "unknown", "missing", "twice"]))
    if shape == "positional":
        return method, tuple(values), {}
    if shape == "keywords":
        return method, (), dict(zip(names, values))
    if shape == "extra":
        return method, tuple(values) + (1,), {}
    if shape == "unknown":
        return method, tuple(values), {"bogus": 1}
    if shape == "missing":
        return method, tuple(values[:-1]), {}
    return method, tuple(values), {names[0]: values[0]}


# ---- the model --------------------------------------------------------------


class Model:
    """What the object holds: id -> float32 vector."""

    def __init__(self, dim, replaces, finite_only):
        self.dim, self.replaces, self.finite_only = dim, replaces, finite_only
        self.vectors = {}

    def insert(self, vid, vector):
        """Predicts one core insertion: None on success, else the exception class."""
        if len(vector) != self.dim:
            return ValueError
        if self.finite_only and not np.all(np.isfinite(vector)):
            return ValueError
        if vid in self.vectors and not self.replaces:
            return ValueError
        self.vectors[vid] = vector
        return None

    def hits(self, query, k):
        return min(k, len(self.vectors)) if len(query) == self.dim else 0


def check_results(results, expected_len, model):
    assert type(results) is list and len(results) == expected_len
    for item in results:
        assert type(item) is tuple and len(item) == 2
        assert type(item[0]) is int and type(item[1]) is float
        assert item[0] in model.vectors


def check_content(obj, model):
    """Reads the content back exactly (dot metric: the distance to the j-th
    unit vector is minus component j) and compares it with the model."""
    n = len(model.vectors) + 5
    columns = []
    for j in range(max(model.dim, 1)):
        unit = [0.0] * model.dim
        if model.dim:
            unit[j] = 1.0
        results = obj.search(unit, n)
        got = [vid for vid, _ in results]
        assert len(got) == len(set(got)), "an id held twice"
        assert set(got) == set(model.vectors), "ids differ from the model"
        columns.append(dict(results))
    for vid, vector in model.vectors.items():
        if not np.all(np.isfinite(vector)):
            continue  # 0 * inf would hide the components; presence is checked above
        got = np.array([-columns[j][vid] for j in range(model.dim)], dtype=np.float32)
        # Exact, up to the sign of zero (0 + -0 is 0 in the sum that reads it).
        assert np.array_equal(got, vector), f"id {vid}: stored {got}, expected {vector}"


def run_call(obj, model, method, args, kwargs, exclusive):
    """Runs one call and checks it against the reference and the model."""
    callbacks = [x for x in _walk((args, kwargs)) if isinstance(x, CallsBack)]
    for cb in callbacks:
        cb.seen.clear()
    if method == "flush":
        expected = TypeError if args else None
        converted = None
    else:
        try:
            converted = reference(method, args, kwargs)
            expected = None
        except Exception as e:  # noqa: BLE001
            expected, converted = type(e), None

    before = dict(model.vectors)
    outcome = None
    try:
        result = getattr(obj, method)(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - any ordinary exception may be right
        outcome = e
    # BaseException that is not an Exception (the module's internal fault,
    # SystemError is an Exception and is refused below) propagates and fails.
    assert not isinstance(outcome, SystemError), outcome
    assert not isinstance(outcome, MemoryError), outcome

    if converted is None:
        if expected is None:  # flush()
            assert outcome is None, outcome
            assert result is None
            return
        assert type(outcome) is expected, (method, args, kwargs, outcome)
        assert model.vectors == before
        return
    if method == "insert":
        vid, vector = converted
        fails = model.insert(vid, vector)
    elif method == "insert_batch":
        id_list, rows = converted
        fails = None
        if len(id_list) != len(rows):
            fails = ValueError
        else:
            for vid, row in zip(id_list, rows):
                fails = model.insert(vid, row)
                if fails:
                    break
    else:
        fails = None
    if fails:
        assert type(outcome) is fails, (method, args, kwargs, outcome)
    else:
        assert outcome is None, (method, args, kwargs, outcome)
        if method == "search":
            check_results(result, model.hits(converted[0], converted[1]), model)
        elif method == "search_batch":
            assert type(result) is list and len(result) == len(converted[0])
            for query, one in zip(converted[0], result):
                check_results(one, model.hits(query, converted[1]), model)
        else:
            assert result is None
    # Calls back made during the conversion met the borrow rules.
    for cb in callbacks:
        for seen in cb.seen:
            if exclusive or cb.method == "insert":
                assert seen is RuntimeError, (method, cb.method, seen)
            else:
                assert seen == "ok", (method, cb.method, seen)


def _walk(obj, depth=0):
    if depth > 4:
        return
    yield obj
    if isinstance(obj, (list, tuple)):
        for x in obj:
            yield from _walk(x, depth + 1)
    elif isinstance(obj, dict):
        for x in obj.values():
            yield from _walk(x, depth + 1)
    elif isinstance(obj, LyingSequence):
        for x in obj.items:
            yield from _walk(x, depth + 1)


EXCLUSIVE = {"insert": True, "insert_batch": True, "flush": True, "search": False, "search_batch": False}


# ---- the properties -----------------------------------------------------------


@st.composite
def starts(draw, dim):
    """A few distinct ids with finite vectors, inserted before the session."""
    n = draw(st.integers(0, 6))
    start_ids = draw(st.lists(st.integers(0, 20), min_size=n, max_size=n, unique=True))
    rows = draw(st.lists(st.lists(f32s, min_size=dim, max_size=dim), min_size=n, max_size=n))
    return start_ids, rows


def begin(obj, model, start):
    start_ids, rows = start
    obj.insert_batch(start_ids, rows)
    for vid, row in zip(start_ids, rows):
        assert model.insert(vid, np.array(row, dtype=np.float32)) is None
    check_content(obj, model)


@st.composite
def index_sessions(draw):
    dim = draw(st.sampled_from([0, 1, 2, 3, 5]))
    ops = draw(st.lists(calls(["insert", "insert", "insert_batch", "search", "search_batch"], dim),
                        min_size=1, max_size=12))
    return dim, draw(starts(dim)), ops


@SETTINGS
@given(index_sessions())
def test_index_survives_bad_input(session):
    dim, start, ops = session
    index = Index("dot", dim)
    TARGET[0], DIMENSION[0] = index, dim
    model = Model(dim, replaces=False, finite_only=False)
    begin(index, model, start)
    for method, args, kwargs in ops:
        run_call(index, model, method, args, kwargs, EXCLUSIVE[method])
        check_content(index, model)


_counter = itertools.count()
_root = tempfile.mkdtemp(prefix="orvex-bad-input-")


@st.composite
def collection_sessions(draw):
    dim = draw(st.sampled_from([0, 1, 2, 3, 5]))
    ops = draw(st.lists(calls(["insert", "insert", "insert_batch", "search", "search_batch", "flush"], dim),
                        min_size=1, max_size=10))
    return dim, draw(starts(dim)), ops


@SETTINGS
@given(collection_sessions())
def test_collection_survives_bad_input_and_reopens_with_what_it_acknowledged(session):
    dim, start, ops = session
    path = os.path.join(_root, f"c{next(_counter)}")
    c = Collection.open_or_create(path, dim, "dot")
    TARGET[0], DIMENSION[0] = c, dim
    model = Model(dim, replaces=True, finite_only=True)
    begin(c, model, start)
    for method, args, kwargs in ops:
        run_call(c, model, method, args, kwargs, EXCLUSIVE[method])
        check_content(c, model)
    TARGET[0] = None
    gc.collect()  # tracebacks kept by the checks hold frames that hold it
    assert sys.getrefcount(c) == 2, "the collection would outlive this test"
    del c  # the last reference: its buffers reach the files
    reopened = Collection.open_or_create(path, dim, "dot")
    check_content(reopened, model)


paths = st.one_of(
    st.just("FRESH"), st.just("bad\0path"), st.just("\udc80"), st.just(pathlib.Path("/tmp/x")),
    st.just(b"/tmp/x"), st.none(), st.integers(),
)
metrics = st.one_of(st.sampled_from(["euclidean", "cosine", "dot", "Dot", "hamming", "", "dot\0", "\udc80"]),
                    st.none(), st.binary(max_size=3))
dimensions = st.one_of(st.integers(0, 4), huge_ints, index_likes, raisers, floats, weird)


@SETTINGS
@given(paths, dimensions, metrics, st.sampled_from(["positional", "keywords", "through an instance"]))
def test_open_or_create_with_bad_arguments(path, dimension, metric, how):
    if path == "FRESH":
        path = os.path.join(_root, f"o{next(_counter)}")
    try:
        _, dim, metric_text = reference("open_or_create", (path, dimension, metric), {})
        if metric_text not in ("euclidean", "cosine", "dot"):
            expected = ValueError
        elif "\0" in path:
            expected = OSError
        else:
            expected = None
    except Exception as e:  # noqa: BLE001
        expected = type(e)
    opener = Collection.open_or_create
    if how == "through an instance":
        opener = Collection.open_or_create(os.path.join(_root, f"i{next(_counter)}"), 1, "dot").open_or_create
    try:
        if how == "keywords":
            c = opener(path=path, dimension=dimension, metric=metric)
        else:
            c = opener(path, dimension, metric)
        outcome = None
    except Exception as e:  # noqa: BLE001
        outcome = e
    if expected is None:
        assert outcome is None, outcome
        assert type(c) is Collection
        if dim < 2**16:
            model = Model(dim, replaces=True, finite_only=True)
            check_content(c, model)
    else:
        assert type(outcome) is expected, (path, dimension, metric, outcome)
        if expected is ValueError and isinstance(path, str) and path.startswith(_root):
            assert not os.path.exists(path), "an unknown metric touched the disk"


@pytest.mark.parametrize("dimension", [2**62 - 7, 2**62, 2**63, U64_MAX])
def test_dimensions_whose_record_size_wraps(tmp_path, dimension):
    """28 + 4 * dimension wraps around 64 bits for these (to 0 for the first):
    creating and reopening such a collection must not divide by it. Run in a
    child process so that a crash fails this test only."""
    import subprocess
    code = (
        "import sys; from orvex import Collection\n"
        "p, d = sys.argv[1], int(sys.argv[2])\n"
        "for _ in range(2):\n"
        "    c = Collection.open_or_create(p, d, 'dot')\n"
        "    assert c.search([], 3) == []\n"
        "    c.insert_batch([], [])\n"
        "    del c\n"
    )
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "c"), str(dimension)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, f"exit {done.returncode}: {done.stderr[-2000:]}"


@pytest.fixture(autouse=True, scope="module")
def _clean_root():
    yield
    import shutil
    shutil.rmtree(_root, ignore_errors=True)
