"""What the tests share: float32 distances one rounded operation at a time, a plain model of the content of
an Index or a Collection, reading the content back exactly, and objects whose conversion hooks lie."""

from functools import reduce

import numpy as np

f32 = np.float32


def dot(a, b):
    """Products summed in blocks of 16 in order, the blocks in order, then the rest."""
    p, n = np.multiply(a, b, dtype=np.float32), len(a) // 16 * 16
    add = lambda xs, start: reduce(lambda s, x: f32(s + x), xs, start)  # noqa: E731
    return add(p[n:], add((add(p[j + 1:j + 16], p[j]) for j in range(0, n, 16)), f32(0.0)))


def cosine(q, v):
    p = f32(np.sqrt(dot(q, q)) * np.sqrt(dot(v, v)))
    return f32(1.0) if p == 0.0 else f32(f32(1.0) - f32(dot(q, v) / p))


def euclidean(q, v):
    diff = np.subtract(q, v, dtype=np.float32)
    return np.sqrt(dot(diff, diff))


DISTANCES = {"euclidean": euclidean, "cosine": cosine, "dot": lambda q, v: f32(-dot(q, v))}


class Model:
    """id -> float32 vector. An Index refuses a held id; a Collection replaces it and refuses non-finite
    components. Returns None or the class the real call raises."""

    def __init__(self, dim, collection):
        self.dim, self.collection, self.vectors = dim, collection, {}

    def insert(self, vid, vector):
        vector = np.asarray(vector, np.float32).reshape(-1)
        if len(vector) != self.dim or (vid in self.vectors and not self.collection):
            return ValueError
        if self.collection and not np.all(np.isfinite(vector)):
            return ValueError
        self.vectors[vid] = vector

    def insert_batch(self, ids, rows):
        if len(ids) != len(rows):
            return ValueError
        return next(filter(None, (self.insert(vid, row) for vid, row in zip(ids, rows))), None)


def content(obj, dim, upper):
    """id -> float32 vector of what `obj` (dot metric) holds: the distance to unit vector j is -component j."""
    columns = []
    for j in range(max(dim, 1)):
        found = obj.search([float(i == j) for i in range(dim)], upper)
        columns.append(dict(found))
        assert len(columns[-1]) == len(found), "an id is held twice"
        assert columns[-1].keys() == columns[0].keys(), "searches disagree on the ids held"
    return {vid: np.array([-c[vid] for c in columns[:dim]], np.float32) for vid in columns[0]}


def assert_holds(obj, model):
    """`obj` holds the model's ids and, for finite vectors, exactly their components (0 * inf hides them)."""
    held = content(obj, model.dim, len(model.vectors) + 5)
    assert held.keys() == model.vectors.keys(), (sorted(held), sorted(model.vectors))
    for vid, vector in model.vectors.items():
        assert not np.all(np.isfinite(vector)) or np.array_equal(held[vid], vector), (vid, held[vid], vector)


Boom = type("Boom", (Exception,), {})


class Lie:
    """Gives `value` (or what it returns, if callable) from its hook, or raises a fresh copy of it if it is an
    exception (a raised exception keeps its frames alive)."""

    def __init__(self, value):
        self.value = value

    def give(self, *_):
        if isinstance(self.value, BaseException):
            raise type(self.value)(*self.value.args)
        return self.value() if callable(self.value) else self.value

    def __repr__(self):
        return f"{type(self).__name__}{tuple(vars(self).values())!r}"


class FloatLike(Lie):
    __float__ = Lie.give


class IndexLike(Lie):
    __index__ = Lie.give


class LyingSequence(Lie):
    """Yields `items` (raising Boom at item `boom_after`); __len__ gives or raises `value`."""

    def __init__(self, items, value, boom_after=None):
        self.items, self.value, self.boom_after = list(items), value, boom_after

    __len__ = Lie.give

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for n, item in enumerate(self.items):
            if n == self.boom_after:
                raise Boom("iteration")
            yield item
