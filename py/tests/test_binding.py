"""The call protocol: argument binding, conversion failures and borrows."""

import pathlib

import pytest

from orvex import Collection, Index

# (callable name in messages, parameters, a factory giving the bound callable)
CALLABLES = [
    ("Index.__new__()", ["metric", "dimension"], lambda: Index),
    ("Index.insert()", ["id", "vector"], lambda: Index("dot", 2).insert),
    ("Index.search()", ["query", "k"], lambda: Index("dot", 2).search),
    ("Index.insert_batch()", ["ids", "vectors"], lambda: Index("dot", 2).insert_batch),
    ("Index.search_batch()", ["queries", "k"], lambda: Index("dot", 2).search_batch),
    ("Collection.open_or_create()", ["path", "dimension", "metric"], lambda: Collection.open_or_create),
]
CALLABLE_IDS = [c[0] for c in CALLABLES]


def raises_exactly(cls, message, func, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    assert type(info.value) is cls, info.value
    assert info.value.args == (message,)
    return info.value


def quoted(names):
    names = [f"'{n}'" for n in names]
    if len(names) == 1:
        return names[0]
    if len(names) == 2:
        return " and ".join(names)
    return ", ".join(names[:-1]) + ", and " + names[-1]


@pytest.mark.parametrize("name, params, make", CALLABLES, ids=CALLABLE_IDS)
class TestBinding:
    def test_too_many_positional(self, name, params, make):
        n = len(params)
        raises_exactly(TypeError, f"{name} takes {n} positional arguments but {n + 1} were given",
                       make(), *range(n + 1))

    def test_too_many_positional_is_checked_before_keywords(self, name, params, make):
        n = len(params)
        raises_exactly(TypeError, f"{name} takes {n} positional arguments but {n + 2} were given",
                       make(), *range(n + 2), bogus=1)

    def test_unexpected_keyword(self, name, params, make):
        raises_exactly(TypeError, f"{name} got an unexpected keyword argument 'bogus'", make(), bogus=1)

    def test_keywords_are_checked_before_missing_parameters(self, name, params, make):
        raises_exactly(TypeError, f"{name} got an unexpected keyword argument 'Bogus'",
                       make(), **{params[-1]: 1, "Bogus": 2})

    def test_multiple_values(self, name, params, make):
        raises_exactly(TypeError, f"{name} got multiple values for argument '{params[0]}'",
                       make(), 1, **{params[0]: 1})

    @pytest.mark.parametrize("given", [0, 1, 2])
    def test_missing(self, name, params, make, given):
        if given >= len(params):
            pytest.skip("nothing missing")
        missing = params[given:]
        word = "argument" if len(missing) == 1 else "arguments"
        raises_exactly(TypeError, f"{name} missing {len(missing)} required positional {word}: {quoted(missing)}",
                       make(), *range(given))

    def test_missing_names_keep_parameter_order(self, name, params, make):
        # Fill only the last parameter by keyword: the others are missing.
        missing = params[:-1]
        word = "argument" if len(missing) == 1 else "arguments"
        raises_exactly(TypeError, f"{name} missing {len(missing)} required positional {word}: {quoted(missing)}",
                       make(), **{params[-1]: 1})


def test_keywords_bind_by_name():
    index = Index(metric="dot", dimension=2)
    index.insert(vector=[1.0, 2.0], id=5)
    index.insert_batch(vectors=[[0.0, 1.0]], ids=[6])
    assert index.search(k=1, query=[1.0, 0.0]) == [(5, -1.0)]
    assert index.search_batch(k=1, queries=[[0.0, 1.0]]) == [[(5, -2.0)]]


# ---- conversion failures -------------------------------------------------


class Outer:
    class Inner:
        pass


def gen():
    yield 1.0


class Unfloatable:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class BadIter:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise self.exc


def type_error_with_cause():
    err = TypeError("inner")
    err.__cause__ = KeyError("root")
    return err


# (call, exception class, message or None (Python's own wording), prefixed?)
CONVERSION_CASES = [
    # str where a list is expected, also inside a vector list.
    ("insert-str", lambda i: i.insert(1, "ab"), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
    ("search-str", lambda i: i.search("ab", 1), TypeError, "argument 'query': Can't extract `str` to `Vec`"),
    ("ids-str", lambda i: i.insert_batch("12", [[1, 2]]), TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
    ("vectors-str", lambda i: i.insert_batch([1], "ab"), TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
    ("vectors-inner-str", lambda i: i.insert_batch([1, 2], [[1, 2], "ab"]), TypeError,
     "argument 'vectors': Can't extract `str` to `Vec`"),
    ("queries-inner-str", lambda i: i.search_batch([[1, 2], "ab"], 1), TypeError,
     "argument 'queries': Can't extract `str` to `Vec`"),
    ("str-subclass", lambda i: i.insert(1, type("S", (str,), {})("ab")), TypeError,
     "argument 'vector': Can't extract `str` to `Vec`"),
    # Objects that fail the sequence check.
    ("dict", lambda i: i.insert(1, {"a": 1.0}), TypeError, "argument 'vector': 'dict' object cannot be converted to 'Sequence'"),
    ("generator", lambda i: i.search(gen(), 1), TypeError, "argument 'query': 'generator' object cannot be converted to 'Sequence'"),
    ("int", lambda i: i.insert_batch(5, []), TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
    ("set", lambda i: i.insert_batch([1], {1.0}), TypeError, "argument 'vectors': 'set' object cannot be converted to 'Sequence'"),
    ("inner-int", lambda i: i.search_batch([[1, 2], 3], 1), TypeError, "argument 'queries': 'int' object cannot be converted to 'Sequence'"),
    ("qualname", lambda i: i.insert(1, Outer.Inner()), TypeError,
     "argument 'vector': 'Outer.Inner' object cannot be converted to 'Sequence'"),
    # Text parameters.
    ("metric-int", lambda i: Index(1, 3), TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
    ("metric-bytes", lambda i: Index(b"dot", 3), TypeError, "argument 'metric': 'bytes' object cannot be converted to 'PyString'"),
    ("path-pathlib", lambda i: Collection.open_or_create(pathlib.PurePosixPath("/tmp/x"), 3, "dot"), TypeError,
     "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'"),
    ("metric-surrogate", lambda i: Index("dot\udc80", 3), UnicodeEncodeError, None),
    # Integer parameters: Python's own messages.
    ("id-float", lambda i: i.insert(1.0, [1, 2]), TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
    ("k-str", lambda i: i.search([1, 2], "3"), TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
    ("dimension-float", lambda i: Index("bogus", 2.5), TypeError,
     "argument 'dimension': 'float' object cannot be interpreted as an integer"),
    ("ids-element-float", lambda i: i.insert_batch([1, 2.0], [[1, 2], [3, 4]]), TypeError,
     "argument 'ids': 'float' object cannot be interpreted as an integer"),
    ("id-negative", lambda i: i.insert(-1, [1, 2]), OverflowError, None),
    ("id-2**64", lambda i: i.insert(2**64, [1, 2]), OverflowError, None),
    ("k-negative", lambda i: i.search([1, 2], -1), OverflowError, None),
    ("dimension-negative", lambda i: Index("cosine", -1), OverflowError, None),
    ("ids-negative", lambda i: i.insert_batch([1, -2], [[1, 2], [3, 4]]), OverflowError, None),
    # Float elements.
    ("element-str", lambda i: i.insert(1, [1.0, "x"]), TypeError, "argument 'vector': must be real number, not str"),
    ("element-none", lambda i: i.search_batch([[1.0, None]], 1), TypeError, "argument 'queries': must be real number, not NoneType"),
    ("element-huge-int", lambda i: i.insert(1, [1.0, 10**400]), OverflowError, None),
    ("element-float-raises-value", lambda i: i.insert(1, [1.0, Unfloatable(ValueError("no"))]), ValueError, "no"),
    ("element-float-raises-type", lambda i: i.insert(1, [1.0, Unfloatable(TypeError("no"))]), TypeError,
     "argument 'vector': no"),
    # The object's own item access / iteration.
    ("getitem-raises-key", lambda i: i.insert(1, BadIter(KeyError("k"))), KeyError, "k"),
    ("getitem-raises-type", lambda i: i.insert(1, BadIter(TypeError("t"))), TypeError, "argument 'vector': t"),
]


@pytest.mark.parametrize("call, cls, message", [c[1:] for c in CONVERSION_CASES], ids=[c[0] for c in CONVERSION_CASES])
def test_conversion_failures(call, cls, message):
    index = Index("euclidean", 2)
    index.insert(100, [0.0, 0.0])
    with pytest.raises(BaseException) as info:
        call(index)
    assert type(info.value) is cls
    if message is not None:
        assert info.value.args == (message,)
    else:
        assert not str(info.value).startswith("argument ")
    # Nothing changed: the index still holds only its first vector.
    assert index.search([0.0, 0.0], 10) == [(100, 0.0)]


def test_prefixed_type_error_keeps_the_cause():
    index = Index("dot", 2)
    with pytest.raises(TypeError) as info:
        index.insert(1, [1.0, Unfloatable(type_error_with_cause())])
    assert str(info.value) == "argument 'vector': inner"
    assert info.value.args == ("argument 'vector': inner",)
    assert isinstance(info.value.__cause__, KeyError)
    assert info.value.__cause__.args == ("root",)


def test_type_error_subclass_is_not_prefixed():
    class MyTypeError(TypeError):
        pass

    index = Index("dot", 2)
    with pytest.raises(MyTypeError) as info:
        index.insert(1, [1.0, Unfloatable(MyTypeError("mine"))])
    assert info.value.args == ("mine",)


def test_conversion_order_first_bad_argument_wins():
    # dimension is converted before the metric text is matched.
    with pytest.raises(TypeError, match="^argument 'dimension': "):
        Index("bogus", 2.5)
    index = Index("dot", 2)
    # id before vector; query before k; ids before vectors; queries before k.
    with pytest.raises(TypeError, match="^argument 'id': "):
        index.insert(1.5, "bad")
    with pytest.raises(TypeError, match="^argument 'query': "):
        index.search("bad", 1.5)
    with pytest.raises(TypeError, match="^argument 'ids': "):
        index.insert_batch("bad", "bad")
    with pytest.raises(TypeError, match="^argument 'queries': "):
        index.search_batch("bad", 1.5)
    with pytest.raises(TypeError, match="^argument 'path': "):
        Collection.open_or_create(1, 2.5, 3)
    with pytest.raises(TypeError, match="^argument 'dimension': "):
        Collection.open_or_create("/nonexistent/never", 2.5, 3)
    with pytest.raises(TypeError, match="^argument 'metric': "):
        Collection.open_or_create("/nonexistent/never", 2, 3)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
def test_valid_metric_texts(metric):
    assert type(Index(metric, 3)) is Index


@pytest.mark.parametrize("metric", ["Euclidean", "Cosine", "DOT", "dot_product", "hamming", "", "dot ", "dot\0",
                                    type("S", (str,), {})("x")])
def test_invalid_metric_texts(metric):
    with pytest.raises(ValueError) as info:
        Index(metric, 3)
    assert type(info.value) is ValueError and info.value.args == ("Invalid metric",)


def test_metric_str_subclass_with_valid_text():
    assert type(Index(type("S", (str,), {})("dot"), 1)) is Index


# ---- borrows ---------------------------------------------------------------


class Hook:
    """A number whose conversion runs `action` (a callable) first."""

    def __init__(self, action, swallow=True, value=7.0):
        self.action = action
        self.swallow = swallow
        self.value = value
        self.seen = None

    def _run(self):
        try:
            self.seen = self.action()
        except RuntimeError as e:
            self.seen = e
            if not self.swallow:
                raise

    def __float__(self):
        self._run()
        return self.value

    def __index__(self):
        self._run()
        return int(self.value)


def make_index():
    index = Index("euclidean", 2)
    index.insert(1, [0.0, 0.0])
    return index


# (outer call using the hook, inner action, expected outcome of the inner call)
BORROW_CASES = [
    ("insert/search", lambda ix, h: ix.insert(7, [h, 0.0]), lambda ix: ix.search([0.0, 0.0], 1), "Already mutably borrowed"),
    ("insert/insert", lambda ix, h: ix.insert(7, [h, 0.0]), lambda ix: ix.insert(8, [0.0, 0.0]), "Already borrowed"),
    ("insert-id/search", lambda ix, h: ix.insert(h, [0.0, 0.0]), lambda ix: ix.search([0.0, 0.0], 1), "Already mutably borrowed"),
    ("insert_batch/search_batch", lambda ix, h: ix.insert_batch([7], [[h, 0.0]]),
     lambda ix: ix.search_batch([[0.0, 0.0]], 1), "Already mutably borrowed"),
    ("insert_batch/insert_batch", lambda ix, h: ix.insert_batch([7], [[h, 0.0]]),
     lambda ix: ix.insert_batch([8], [[0.0, 0.0]]), "Already borrowed"),
    ("search/insert", lambda ix, h: ix.search([h, 0.0], 1), lambda ix: ix.insert(8, [0.0, 0.0]), "Already borrowed"),
    ("search-k/insert", lambda ix, h: ix.search([0.0, 0.0], h), lambda ix: ix.insert(8, [0.0, 0.0]), "Already borrowed"),
    ("search_batch/insert_batch", lambda ix, h: ix.search_batch([[h, 0.0]], 1),
     lambda ix: ix.insert_batch([8], [[0.0, 0.0]]), "Already borrowed"),
    ("search/search", lambda ix, h: ix.search([h, 0.0], 1), lambda ix: ix.search([0.0, 0.0], 1), [(1, 0.0)]),
    ("search_batch/search", lambda ix, h: ix.search_batch([[h, 0.0]], 1), lambda ix: ix.search([0.0, 0.0], 1), [(1, 0.0)]),
]


@pytest.mark.parametrize("outer, inner, expected", [c[1:] for c in BORROW_CASES], ids=[c[0] for c in BORROW_CASES])
def test_reentrant_call_during_conversion(outer, inner, expected):
    index = make_index()
    hook = Hook(lambda: inner(index))
    outer(index, hook)
    if isinstance(expected, str):
        assert type(hook.seen) is RuntimeError
        assert hook.seen.args == (expected,)
    else:
        assert hook.seen == expected
    # The borrow was released: the object takes any call again.
    index.insert(99, [5.0, 5.0])
    assert index.search([5.0, 5.0], 1) == [(99, 0.0)]


@pytest.mark.parametrize("outer, inner, expected", [c[1:] for c in BORROW_CASES if isinstance(c[3], str)],
                         ids=[c[0] for c in BORROW_CASES if isinstance(c[3], str)])
def test_escaping_borrow_error_fails_the_call_unprefixed(outer, inner, expected):
    index = make_index()
    hook = Hook(lambda: inner(index), swallow=False)
    with pytest.raises(RuntimeError) as info:
        outer(index, hook)
    assert info.value.args == (expected,)
    # Unchanged, and usable again.
    assert index.search([0.0, 0.0], 10) == [(1, 0.0)]
    index.insert(99, [5.0, 5.0])


def test_borrow_released_after_every_failure():
    index = make_index()
    for bad in [lambda: index.insert(1, [0.0, 0.0]), lambda: index.insert(2, "x"), lambda: index.insert_batch([1], []),
                lambda: index.search("x", 1), lambda: index.search_batch(5, 1)]:
        with pytest.raises(Exception):
            bad()
    index.insert(2, [1.0, 1.0])
    assert len(index.search([0.0, 0.0], 10)) == 2
