"""Bad input, property-based: calls on an Index or a Collection with arbitrary arguments (wrong types, nested
and lying sequences, huge and negative numbers, NaN and infinities, objects whose __len__, __iter__, __float__
or __index__ lie, raise or call back into the object). Each call succeeds or raises the class a plain reference
of the conversion rules and the model predict; the content, read back exactly after every call and after a
Collection is reopened, is the model's. ORVEX_HYPOTHESIS_EXAMPLES: examples per test."""

import gc
import itertools
import operator
import os
import pathlib
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _reference import Boom, FloatLike, IndexLike, Lie, LyingSequence, Model, assert_holds
from orvex import Collection, Index

U64_MAX = 2**64 - 1
SETTINGS = settings(max_examples=int(os.environ.get("ORVEX_HYPOTHESIS_EXAMPLES", "100")), deadline=None,
                    derandomize=True, database=None, suppress_health_check=list(HealthCheck))
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::RuntimeWarning")  # input here
# The object under test and its dimension, for the elements that call back into it (not while "reference"),
# and what their calls met.
STATE, COUNTER = {"reference": False, "target": None, "dim": 0, "met": []}, itertools.count()


class CallsBack(Lie):
    """An element whose conversion calls method `value` of the object under test, noting the outcome."""

    def __float__(self, result=0.5):
        if not STATE["reference"]:
            zeros = [0.0] * STATE["dim"]
            try:
                getattr(STATE["target"], self.value)(*((zeros, 3) if self.value == "search" else (777_000, zeros)))
                STATE["met"].append((self.value, "ok"))
            except Exception as e:  # noqa: BLE001 - the class is what is checked
                STATE["met"].append((self.value, type(e)))
        return result

    def __index__(self):
        return self.__float__(777_001)


def to_u64(obj):
    if not 0 <= (value := operator.index(obj)) <= U64_MAX:
        raise OverflowError
    return value


def to_f32(obj):
    """Python's float conversion (__float__ must give a float; __index__ is the fallback), rounded to float32."""
    kind = type(obj)
    value = obj if isinstance(obj, float) else kind.__float__(obj) if hasattr(kind, "__float__") else \
        float(operator.index(obj))
    if type(value) is not float and not isinstance(obj, float):
        raise TypeError
    with np.errstate(over="ignore"):
        return np.float32(value)


def sequence_of(convert):
    def run(obj):  # Python's sequence check, without str; then each item in turn
        if isinstance(obj, (str, dict)) or not hasattr(type(obj), "__getitem__"):
            raise TypeError
        return [convert(x) for x in iter(obj)]
    return run


def to_text(obj):
    if not isinstance(obj, str):
        raise TypeError
    obj.encode()  # UnicodeEncodeError for a lone surrogate
    return obj


to_vector = sequence_of(to_f32)
PARAMETERS = {"insert": (("id", to_u64), ("vector", to_vector)), "search": (("query", to_vector), ("k", to_u64)),
              "insert_batch": (("ids", sequence_of(to_u64)), ("vectors", sequence_of(to_vector))),
              "search_batch": (("queries", sequence_of(to_vector)), ("k", to_u64)),
              "open_or_create": (("path", to_text), ("dimension", to_u64), ("metric", to_text)), "flush": ()}


def reference(method, args, kwargs):
    """Binds and converts like the module: the converted values, or raises."""
    names = [n for n, _ in PARAMETERS[method]]
    bound = dict(zip(names, args))
    if len(args) > len(names) or any(k not in names or k in bound for k in kwargs) or len(bound | kwargs) < len(names):
        raise TypeError
    STATE["reference"] = True
    try:
        return [convert((bound | kwargs)[name]) for name, convert in PARAMETERS[method]]
    finally:
        STATE["reference"] = False


floats, f32s = st.floats(), st.floats(width=32, allow_nan=False, allow_infinity=False)
huge = st.sampled_from([2**63, U64_MAX, 2**64, 2**100, 10**400, -1, -(2**63), -(10**400)])
weird = st.sampled_from([None, "", "ab", b"x", {}, {1: 2.0}, set(), 1j, object(), [[1.0]], Boom, np.array([1.0, 2.0]),
                         np.float32(1.5), np.float64(-2.0), np.int64(3), np.uint64(U64_MAX), np.bool_(True)])
exceptions = st.sampled_from([Boom("x"), TypeError("mine"), ValueError("mine"), OverflowError("mine")])
lies = st.builds(lambda cls, v: cls(v), st.sampled_from([FloatLike, IndexLike]), st.one_of(
    floats, st.integers(-5, 20), huge, exceptions, st.sampled_from([1.5, "7", None, True, 2**2000])))
callbacks = st.sampled_from(["search", "insert"]).map(CallsBack)
elements = st.one_of(f32s, f32s, floats, st.integers(-(2**70), 2**70), huge, st.booleans(), lies, callbacks, weird)
# Well-formed arguments (in every accepted form) come more often than not: the content grows.
good_ids = st.one_of(st.integers(0, 12), st.just(U64_MAX), st.just(True), st.integers(0, 12).map(IndexLike),
                     st.integers(0, 12).map(np.uint64))
ids = st.one_of(good_ids, good_ids, good_ids, huge, lies, callbacks, floats, weird)
ks = st.one_of(st.integers(0, 8), st.integers(0, 8), st.just(U64_MAX), huge, lies, floats, weird)
# A fresh path (relative: the test runs in its own directory) or a bad one.
paths = st.one_of(st.builds(lambda: f"o{next(COUNTER)}"), st.integers(), st.sampled_from(
    ["bad\0path", "\udc80", pathlib.Path("/tmp/x"), b"/tmp/x", None]))
metrics = st.sampled_from(["euclidean", "cosine", "dot", "Dot", "", "dot\0", "\udc80", b"dot", None])
lengths = st.one_of(st.integers(-3, 10), st.sampled_from([2**62, 2**63 - 1, U64_MAX]), exceptions)
FLOAT_TYPES = [np.float32, np.float64, np.float16, ">f4", np.int32]
ID_TYPES = [np.uint64, np.int8, np.longlong, np.int64, ">i8", np.float64, np.bool_]


def forms(items, dtypes=(), boom=False):
    """`items` as a list, tuple, lying sequence or numpy array of one of `dtypes` (strided, Fortran-ordered)."""
    booms = st.one_of(st.none(), st.integers(0, 4)) if boom else st.none()
    found = [st.sampled_from([list, tuple]).map(lambda kind: kind(items)),
             st.builds(lambda n, b: LyingSequence(items, n, b), lengths, booms)]
    if dtypes:
        arrays = st.sampled_from(dtypes).map(lambda t: np.array(items).astype(t))
        found += [arrays, arrays, arrays.map(lambda a: a[::-1] if a.ndim > 1 else np.repeat(a, 2)[::2]),
                  arrays.map(np.asfortranarray)]
    return st.one_of(found)


def vectors(dim):
    good = st.lists(f32s, min_size=dim, max_size=dim)
    odd = st.lists(st.one_of(floats, st.integers(-(2**40), 2**40), f32s.map(FloatLike)), min_size=dim, max_size=dim)
    found = st.one_of(good.flatmap(lambda c: forms(c, FLOAT_TYPES)), odd.flatmap(lambda c: forms(c, [np.float64])))
    return st.one_of(found, found, found, st.lists(elements, max_size=dim + 2).flatmap(lambda c: forms(c, boom=True)),
                     good.map(lambda c: np.array([c], np.float32)),  # 2-D where 1-D is meant
                     good.map(lambda c: memoryview(np.array(c))), st.binary(min_size=dim, max_size=dim + 1),
                     st.integers(0, dim + 1).map(range), st.just(x for x in range(dim)), weird)


def vector_lists(dim, n=None):  # of n rows when n is given
    sizes = dict(min_size=n, max_size=n) if n is not None else dict(max_size=5)
    plain = st.sampled_from([dim, dim, dim, dim + 1]).flatmap(
        lambda d: st.lists(st.lists(f32s, min_size=d, max_size=d), **sizes))
    return st.one_of(plain.flatmap(lambda rows: forms(rows, [np.float32, np.float32, np.float64, np.int16])),
                     st.lists(vectors(dim), **sizes).flatmap(lambda r: forms(r, boom=True)), weird)


def id_lists(n=None):
    sizes = dict(min_size=n, max_size=n) if n is not None else dict(max_size=5)
    small = st.lists(st.integers(0, 12), **sizes)
    return st.one_of(small.flatmap(lambda c: forms(c, ID_TYPES)), st.lists(good_ids, **sizes).flatmap(forms),
                     st.lists(ids, **sizes).flatmap(lambda c: forms(c, boom=True)),
                     st.lists(st.integers(-3, 12), **sizes).flatmap(lambda c: forms(c, [np.int64, np.int8])),
                     st.integers(0, 5).map(range), weird)


@st.composite
def calls(draw, methods, dim):
    """(method, args, kwargs), mostly well-formed in shape, sometimes not."""
    method = draw(st.sampled_from(methods))
    names = [n for n, _ in PARAMETERS[method]]
    if method == "insert_batch" and draw(st.booleans()):  # ids and vectors of one length
        n = draw(st.integers(0, 5))
        fresh = st.lists(st.integers(21, 60), min_size=n, max_size=n, unique=True)
        values = [draw(st.one_of(fresh, fresh.map(np.array), id_lists(n))), draw(vector_lists(dim, n))]
    else:
        strategy = {"id": ids, "k": ks, "ids": id_lists(), "vector": vectors(dim), "query": vectors(dim),
                    "path": paths, "dimension": ks, "metric": metrics}
        values = [draw(strategy[name] if name in strategy else vector_lists(dim)) for name in names]
    shape = draw(st.sampled_from(["positional"] * 6 + ["keywords", "keywords", "extra", "unknown", "missing", "twice"]))
    return method, *{"positional": (values, {}), "keywords": ((), dict(zip(names, values))), "extra": (
        values + [1], {}), "unknown": (values, {"bogus": 1}), "missing": (values[:-1], {}),
        "twice": (values, dict(zip(names[:1], values)))}[shape]


def run_call(obj, model, method, args, kwargs):
    expected = converted = None
    try:
        converted = reference(method, args, kwargs)
        if method.startswith("insert"):
            expected = getattr(model, method)(*converted)
        elif method == "open_or_create":
            expected = ValueError if converted[2] not in ("euclidean", "cosine", "dot") else \
                OSError if "\0" in converted[0] else None
    except Exception as e:  # noqa: BLE001
        expected = type(e)
    try:
        STATE["met"] = []
        result, outcome = getattr(obj, method)(*args, **kwargs), None
    except Exception as e:  # noqa: BLE001 - the class is what is checked; BaseException propagates
        result, outcome = None, e
    assert type(outcome) is (expected or type(None)), (method, args, kwargs, outcome)
    if outcome is None and method.startswith("search"):
        queries, found = ([converted[0]], [result]) if method == "search" else (converted[0], result)
        assert type(result) is list and len(found) == len(queries)
        for query, pairs in zip(queries, found):
            assert len(pairs) == (min(converted[1], len(model.vectors)) if len(query) == model.dim else 0)
            assert all(type(p) is tuple and type(p[0]) is int and p[0] in model.vectors for p in pairs)
    elif outcome is None and method == "open_or_create":
        assert type(result) is Collection and result.search_batch([[0.0] * min(converted[1], 64)], 3) == [[]]
    else:
        assert result is None
    if method == "open_or_create" and converted is not None and expected is ValueError:
        assert not os.path.exists(converted[0]), "an unknown metric touched the disk"
    for inner, met in STATE["met"]:  # calls back during the conversion met the borrow rules
        assert met == ("ok" if method.startswith("search") and inner == "search" else RuntimeError), (method, inner)


@pytest.mark.parametrize("kind", [Index, Collection], ids=["Index", "Collection"])
@SETTINGS
@given(data=st.data())
def test_calls_with_bad_input(tmp_path, monkeypatch, kind, data):
    """Starts from distinct ids with finite vectors, then makes the calls; a Collection is reopened at the end."""
    monkeypatch.chdir(tmp_path)
    extra = ["flush", "open_or_create", "open_or_create"] if kind is Collection else []
    dim, n, path = data.draw(st.sampled_from([0, 1, 2, 3, 5])), data.draw(st.integers(0, 6)), f"c{next(COUNTER)}"
    start = data.draw(st.lists(st.integers(0, 20), min_size=n, max_size=n, unique=True))
    rows = data.draw(st.lists(st.lists(f32s, min_size=dim, max_size=dim), min_size=n, max_size=n))
    ops = data.draw(st.lists(calls(["insert", "insert", "insert_batch", "search", "search_batch"] + extra, dim),
                             min_size=1, max_size=10))
    obj = Index("dot", dim) if kind is Index else Collection.open_or_create(path, dim, "dot")
    model = Model(dim, kind is Collection)
    STATE.update(target=obj, dim=dim)
    obj.insert_batch(start, rows)
    assert model.insert_batch(start, rows) is None
    for method, args, kwargs in ops:
        run_call(obj, model, method, args, kwargs)
        assert_holds(obj, model)
    STATE["target"] = None
    if kind is Collection:
        gc.collect()  # tracebacks kept by the checks hold frames that hold it
        assert sys.getrefcount(obj) == 2, "the collection would outlive this test"
        del obj  # the last reference: its buffers reach the files
        assert_holds(Collection.open_or_create(path, dim, "dot"), model)
