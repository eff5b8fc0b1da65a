"""What Python users see, one table per kind of text: error messages with their exception classes (a failing
call leaves its object unchanged and free, a Collection's files untouched), and the documents and text
signatures. Also the module and the properties of its two types."""

import gc
import importlib
import inspect
import os
import pathlib  # noqa: F401 - used by the calls of MESSAGES
import subprocess
import sys

import numpy as np
import pytest

import orvex
from _reference import Boom, FloatLike, IndexLike, LyingSequence, Model, assert_holds  # noqa: F401 - for MESSAGES
from orvex import Collection, Index, _orvex


def fail(exc, cause):
    raise exc from cause


MyTypeError = type("MyTypeError", (TypeError,), {})
I, C, SHARED = "Index", "Collection", {"search", "search_batch"}
METHODS = {I: ["insert", "search", "insert_batch", "search_batch"]}
METHODS[C] = METHODS[I] + ["flush"]
NEW_METHODS = {I: ["delete", "delete_batch", "get", "ids", "create_index", "drop_index", "indexes"]}
NEW_METHODS[C] = NEW_METHODS[I] + ["sync", "compact", "stats", "close", "__enter__", "__exit__"]
PARAMS = {"insert": "id vector", "search": "query k", "insert_batch": "ids vectors", "search_batch": "queries k",
          "__new__": "metric dimension", "open_or_create": "path dimension metric"}
GOOD = {"insert": "o.insert(8, [0.0, 0.0])", "search": "o.search([0.0, 0.0], 1)", "flush": "o.flush()",
        "insert_batch": "o.insert_batch([8], [[0.0, 0.0]])", "search_batch": "o.search_batch([[0.0, 0.0]], 1)"}
HOOKED = {"insert": "o.insert(7, [FloatLike({}), 0])", "insert_batch": "o.insert_batch([IndexLike({})], [[0, 0]])",
          "search": "o.search([0, 0], IndexLike({}))", "search_batch": "o.search_batch([[FloatLike({}), 0]], 1)"}


def binding_rows(kind, method):
    params, name, f = PARAMS[method].split(), f"{kind}.{method}()", "Index" if method == "__new__" else f"o.{method}"
    n, first, last = len(params), params[0], params[-1]

    def missing(names):
        names = [f"'{x}'" for x in names]
        listed = " and ".join(names) if len(names) < 3 else ", ".join(names[:-1]) + ", and " + names[-1]
        return f"{name} missing {len(names)} required positional argument{'s' * (len(names) > 1)}: {listed}"

    takes = f"{name} takes {n} positional arguments but {{}} were given"
    yield f"{f}(*range({n + 1}))", kind, TypeError, takes.format(n + 1)
    yield f"{f}(*range({n + 2}), bogus=1)", kind, TypeError, takes.format(n + 2)
    yield f"{f}(bogus=1)", kind, TypeError, f"{name} got an unexpected keyword argument 'bogus'"
    yield f"{f}({last}=1, Bogus=2)", kind, TypeError, f"{name} got an unexpected keyword argument 'Bogus'"
    yield f"{f}(1, {first}=1)", kind, TypeError, f"{name} got multiple values for argument '{first}'"
    for given in range(n):
        yield f"{f}(*range({given}))", kind, TypeError, missing(params[given:])
    yield f"{f}({last}=1)", kind, TypeError, missing(params[:-1])


def borrow_rows(kind):
    """Each method called back from a conversion under a conflicting borrow: refused, the refusal unprefixed."""
    for inner in METHODS[kind]:
        for outer in [m for m in HOOKED if inner not in SHARED or m not in SHARED]:
            yield (HOOKED[outer].format(f"lambda: {GOOD[inner]}"), kind, RuntimeError,
                   "Already mutably borrowed" if inner in SHARED else "Already borrowed")


def arg(name, text, *kind):
    return f"argument '{name}': " + text.format(*kind)


SEQ, STR = "'{}' object cannot be converted to 'Sequence'", "'{}' object cannot be converted to 'PyString'"
INT, VEC = "'{}' object cannot be interpreted as an integer", "Can't extract `str` to `Vec`"
NUMBER, LENGTHS = "must be real number, not {}", "ids and vectors must have the same length"
# (call on `o`, an Index or a Collection at path `p` holding one vector, kind of `o`, exception class,
#  message or None for Python's own words (not prefixed)[, class of the __cause__])
MESSAGES = [
    *(r for kind in (I, C) for m in METHODS[I] for r in binding_rows(kind, m)),
    *binding_rows(I, "__new__"), *binding_rows(C, "open_or_create"), *borrow_rows(I), *borrow_rows(C),
    ("o.flush(1)", C, TypeError, "Collection.flush() takes no arguments (1 given)"),
    ("Collection()", C, TypeError, "No constructor defined for Collection"),
    # Conversions: the first bad argument wins.
    ("o.insert(1.0, 'ab')", I, TypeError, arg("id", INT, "float")),
    ("o.insert(1, 'ab')", C, TypeError, arg("vector", VEC)),
    ("o.search((x for x in [1]), '3')", I, TypeError, arg("query", SEQ, "generator")),
    ("o.search([1, 2], '3')", I, TypeError, arg("k", INT, "str")),
    ("o.insert_batch('12', 5)", I, TypeError, arg("ids", VEC)),
    ("o.insert_batch([1, 2.0], [[1, 2]] * 2)", I, TypeError, arg("ids", INT, "float")),
    ("o.insert_batch(np.array([1.0]), [[1, 2]])", C, TypeError, arg("ids", INT, "numpy.float64")),
    ("o.insert_batch([1, 2], [[1, 2], 'ab'])", C, TypeError, arg("vectors", VEC)),
    ("o.search_batch([[1, 2], 3], 'x')", C, TypeError, arg("queries", SEQ, "int")),
    ("o.search(type('S', (str,), {})('ab'), 1)", I, TypeError, arg("query", VEC)),
    ("o.insert(1, {'a': 1.0})", I, TypeError, arg("vector", SEQ, "dict")),
    ("o.insert(1, type('I', (), {'__qualname__': 'Outer.Inner'})())", I, TypeError, arg("vector", SEQ, "Outer.Inner")),
    ("o.insert(1, [1.0, 'x'])", I, TypeError, arg("vector", NUMBER, "str")),
    ("o.search_batch([[1, None]], 1)", C, TypeError, arg("queries", NUMBER, "NoneType")),
    ("o.insert(1, [1, FloatLike(TypeError('no'))])", I, TypeError, arg("vector", "no")),
    ("o.insert(1, [1, FloatLike(lambda: fail(TypeError('in'), KeyError('k')))])", C, TypeError, arg("vector", "in"),
     KeyError),
    ("o.insert(1, [FloatLike(MyTypeError('u')), 1])", I, MyTypeError, "u"),
    ("o.search(LyingSequence([1.0, 2.0], 2**62, 1), 1)", C, Boom, "iteration"),
    ("o.insert_batch([1, 2], memoryview(np.zeros((2, 2), np.float32)))", I, NotImplementedError, None),
    *((call, kind, OverflowError, None) for call, kind in [
        ("o.insert(-1, [1, 2])", I), ("o.insert(2**64, [1, 2])", C), ("o.insert_batch([1, -2], [[1, 2]] * 2)", C),
        ("o.insert_batch(np.array([1, -2], np.int8), [[1, 2]] * 2)", I), ("o.insert(1, [1.0, 10**400])", I),
        ("o.search_batch([[0, 0]], 1, threads=-1)", C)]),
    # Text parameters.
    ("Index(b'dot', 3)", I, TypeError, arg("metric", STR, "bytes")),
    ("Index('bogus', 2.5)", I, TypeError, arg("dimension", INT, "float")),
    ("o.open_or_create(pathlib.Path(p), 2.5, 3)", C, TypeError, arg("path", STR, "PosixPath")),
    ("o.open_or_create(p, 2.5, 3)", C, TypeError, arg("dimension", INT, "float")),
    ("o.open_or_create(p + 'x', 2, 3)", C, TypeError, arg("metric", STR, "int")),
    ("Index('dot\\udc80', 3)", I, UnicodeEncodeError, None),
    *((f"Index({m!r}, 3)", I, ValueError, "Invalid metric")
      for m in ["Euclidean", "DOT", "dot_product", "", "dot ", "dot\0"]),
    ("Index(type('S', (str,), {})('x'), 3)", I, ValueError, "Invalid metric"),
    ("o.open_or_create(p + 'x', 2, 'Cosine')", C, ValueError, "Invalid metric"),
    # Batches and the core's refusals.
    *((f"o.insert_batch({a})", kind, ValueError, LENGTHS) for kind, a in [
        (I, "[1, 2], [[0, 0]]"), (C, "[], [[0, 0]]"), (C, "[1], [[0, 0], [1, 1]]"),
        (I, "np.array([1, 2]), np.zeros((3, 2), np.float32)"), (C, "np.arange(2), np.zeros((3, 2), np.float32)")]),
    ("o.insert(8, [1.0])", I, ValueError, "dimension mismatch: expected 2, got 1"),
    ("o.insert(8, [1, 2, 3])", C, ValueError, "dimension mismatch: expected 2, got 3"),
    ("o.insert(100, [1.0, 1.0])", I, ValueError, "duplicate vector id: 100"),
    ("o.insert(8, [1, float('inf')])", C, ValueError,
     "WAL corrupted: serialization failed: vector component 1 is not finite"),
    ("o.open_or_create(p, 4, 'dot')", C, OSError,
     "collection error: collection is in use: another Collection has this directory open, in this process or another"),
    ("o.insert(8, [0, 0], payload={'tags': [1, float('nan')]})", C, ValueError,
     "payload['tags'][1]: float nan is not allowed"),
    ("o.insert(8, [0, 0], payload={'x': {'y': -float('inf')}})", I, ValueError, "payload['x']['y']: float inf is not allowed"),
    ("o.insert(8, [0, 0], payload={1: 2})", I, TypeError, "payload: keys must be str, not 'int'"),
    ("o.insert(8, [0, 0], payload={'s': {1}})", C, TypeError,
     "payload['s']: 'set' is not allowed (None, bool, int, float, str, list, tuple or dict)"),
    ("o.insert(8, [0, 0], payload={'i': [2**64]})", C, ValueError, "payload['i'][0]: int out of range (-2**63 to 2**64-1)"),
    ("o.insert(8, [0, 0], payload={'i': -2**63 - 1})", I, ValueError, "payload['i']: int out of range (-2**63 to 2**64-1)"),
    ("o.insert(8, [0, 0], payload=[('a', 1)])", C, TypeError, "payload: expected a dict or None, not 'list'"),
    ("o.insert(8, [0, 0], payload={'s': chr(0xd800)})", I, ValueError, "payload['s']: str is not valid UTF-8 (lone surrogate)"),
    ("o.insert_batch([8, 9], [[0, 0]] * 2, payloads=[None, {'a': float('nan')}])", C, ValueError,
     "payloads[1]['a']: float nan is not allowed"),
    ("o.insert_batch([8, 9], [[0, 0]] * 2, payloads=[None])", I, ValueError, "ids and payloads must have the same length"),
    ("o.insert_batch([8], [[0, 0]], payloads={'a': 1})", C, TypeError,
     "argument 'payloads': expected a list or tuple of dicts or None"),
    *[(f"o.search([0, 0], 1, where={w})", kind, ValueError, "invalid filter: " + text) for kind, w, text in [
        (C, "{'x': {'$foo': 1}}", "where['x']['$foo']: unknown operator '$foo'"),
        (I, "{'$eq': 1}", "where['$eq']: unknown operator '$eq' (or an operator without a field)"),
        (C, "{'$and': []}", "where['$and']: $and needs at least one condition"),
        (I, "{'$or': {'a': 1}}", "where['$or']: $or needs a list of conditions"),
        (C, "{'x': {'$in': 3}}", "where['x']['$in']: $in needs a list"),
        (I, "{'x': {'$contains': 3}}", "where['x']['$contains']: $contains needs a str"),
        (C, "{'x': {'$exists': 1}}", "where['x']['$exists']: $exists needs True or False"),
        (I, "{'x': {'$lt': 1, 'y': 2}}", "where['x']: a dict mixing operators and fields"),
        (C, "{'$not': {}}", "where['$not']: an empty condition"),
        (I, "{'x': {'$eq': float('nan')}}", "where['x']['$eq']: float nan is not allowed"),
        (C, "[1]", "where: expected a dict, not 'list'")]],
    ("o.search_batch([[0, 0]], 1, with_payload=True, as_numpy=True)", C, ValueError,
     "with_payload and as_numpy cannot be combined"),
    ("o.search_batch([[0, 0]], 1, as_numpy=1)", I, TypeError, "argument 'as_numpy': expected True or False"),
    ("o.search([0, 0], 1, with_payload='yes')", C, TypeError, "argument 'with_payload': expected True or False"),
    ("o.open_or_create(p + '/meta.json', 2, 'dot')", C, OSError, None),
    # Verify and repair: the directory must be free; arguments are checked before any file is read.
    ("o.verify(p)", C, OSError, "collection error: collection is in use: another Collection has this directory "
     "open, in this process or another"),
    ("o.repair(p)", C, OSError, "collection error: collection is in use: another Collection has this directory "
     "open, in this process or another"),
    ("o.verify()", C, TypeError, "Collection.verify() missing 1 required positional argument: 'path'"),
    ("o.repair(p, 2)", C, TypeError, "Collection.repair() takes 1 positional argument but 2 were given"),
    ("o.repair(p, metric='l3')", C, ValueError, None),
    ("o.repair(p, dimension=-1)", C, OverflowError, None),
]


def files(directory):
    return {f: (directory / f).read_bytes() for f in sorted(os.listdir(directory))} if directory.is_dir() else None


@pytest.mark.parametrize("call, kind, cls, message, cause", [
    pytest.param(*r[:4], r[4] if len(r) > 4 else None, id=f"{r[1]}: {r[0]}") for r in MESSAGES])
def test_errors(tmp_path, call, kind, cls, message, cause):
    path, model = tmp_path / "c", Model(2, kind == C)
    obj = Index("dot", 2) if kind == I else Collection.open_or_create(str(path), 2, "dot")
    for target in (obj, model):
        target.insert(100, [0.5, 0.25])
    before = files(path)
    try:
        eval(call, {**globals(), "o": obj, "p": str(path)})
    except BaseException as e:  # noqa: BLE001 - the class is what is checked
        got = (type(e), e.args, str(e), type(e.__cause__) if e.__cause__ else None)
    else:
        pytest.fail("no exception")
    assert got[0] is cls and got[3] is cause, got
    assert got[1] == (message,) if message is not None else not got[2].startswith("argument "), got
    assert files(path) == before and os.listdir(tmp_path) == (["c"] if kind == C else [])
    assert_holds(obj, model)
    obj.insert(101, [1.0, -1.0])  # the borrow was released
    model.insert(101, [1.0, -1.0])
    assert_holds(obj, model)
    if kind == C:  # and nothing was logged
        gc.collect()
        assert sys.getrefcount(obj) == 2
        del obj
        assert_holds(Collection.open_or_create(str(path), 2, "dot"), model)


ARGS, KW = "\n\nArgs:\n    ", "\n\nKeyword Args:\n    "
PAYLOAD = (KW + "payload (dict | None): Data stored with the vector: a dict with str keys\n        whose values are "
           "None, bool, int, finite float, str, or lists, tuples\n        and dicts of these.")
WHERE = (KW + 'where (dict | None): Only vectors whose payload matches, e.g.\n        {"color": "red"} or {"price": '
         '{"$lt": 10}}; operators $eq $ne\n        $gt $gte $lt $lte $in $nin $contains $exists, combinators $and $or'
         "\n        $not; several keys must all match.\n    with_payload (bool): Return (id, distance, payload) triples.")
BATCH = ("($self, ids, vectors, *, payloads=None)", "Insert multiple vectors at once." + ARGS +
         "ids (list[int]): List of unique identifiers.\n    vectors (list[list[float]]): List of vectors." + KW +
         "payloads (list[dict | None] | None): One payload (or None) per id.")
C_BATCH = ("($self, ids, vectors, *, payloads=None, threads=None)", "Insert multiple vectors at once.\n\nA batch is "
           "one write to the log, forced once at its end; a large one goes\nstraight to the data file between two "
           "flushes, durable when the call returns.\nThe first item that fails stops it: the items before it stay." +
           BATCH[1][len("Insert multiple vectors at once."):] + "\n    threads (int | None): Cores that encode the log "
           "(None or 0: every core\n        for a large batch).")
SEARCH_BATCH = ("($self, queries, k, *, where=None, with_payload=False, as_numpy=False, threads=1)",
                "Search for nearest neighbors for multiple queries." + ARGS +
                "queries (list[list[float]]): List of query vectors.\n    k (int): Number of neighbors per query.\n\n"
                "Returns:\n    list[list[tuple[int, float]]]: Results for each query." + WHERE +
                "\n    as_numpy (bool): Return (ids, distances, counts): uint64 and float32\n        arrays of shape "
                "(len(queries), min(k, len(self))), rows padded with\n        id 2**64 - 1 and distance inf, and the "
                "int64 count of each row.\n    threads (int): Threads that share the scan (0: every core this process"
                "\n        may use); the results are the same for every value.")
RETURNS = "\n\nReturns:\n    list[tuple[int, float]]: List of (id, distance) tuples."
SEARCH_SIG = "($self, query, k, *, where=None, with_payload=False)"
SHARED_DOCS = {
    "delete": ("($self, id)", "Delete a vector.\n\nReturns:\n    bool: True if the id was held; False (and nothing "
               "written) otherwise."),
    "delete_batch": ("($self, ids)", "Delete several vectors.\n\nReturns:\n    int: How many of the ids were held."),
    "get": ("($self, id)", "Read a stored vector back.\n\nReturns:\n    tuple[list[float], dict] | None: The vector "
            "and its payload, or None."),
    "ids": ("($self)", "The held ids, ascending."),
    "create_index": ("($self, key)", "Index the top-level payload key `key`: equality, in-list and numeric range\n"
                     "filters on it then read only the entries they select.\n\nThe index maps each scalar value of "
                     "the key (null, booleans, numbers,\nstrings; 1 and 1.0 are different values) to its entries, "
                     "about 4 bytes an\nentry holding the key, and is kept up to date by every change; entries\n"
                     "holding an array or an object there are matched as without an index. An\nindex already held "
                     "is kept. A Collection records the key and rebuilds\nthe index when opened. Raises ValueError "
                     "beyond 32 indexed keys."),
    "drop_index": ("($self, key)", "Drop the index of `key`; False when there was none."),
    "indexes": ("($self)", "The indexed payload keys, ascending."),
}
DOCS = {
    (I, None): ("(metric, dimension)", "In-memory brute-force vector index.\n\nThis index stores all vectors in "
                "memory and performs exhaustive search\nfor exact nearest neighbors."),
    (I, "insert"): ("($self, id, vector, *, payload=None)", "Insert a vector into the index." + ARGS +
                    "id (int): Unique identifier for the vector.\n    vector (list[float]): The vector data." + PAYLOAD),
    (I, "search"): (SEARCH_SIG, "Search for nearest neighbors." + ARGS + "query (list[float]): The query vector.\n"
                    "    k (int): Number of neighbors to return." + RETURNS + WHERE),
    **{(kind, m): doc for kind in (I, C) for m, doc in SHARED_DOCS.items()},
    **{(kind, m): doc for kind in (I, C) for m, doc in [("insert_batch", BATCH), ("search_batch", SEARCH_BATCH)]},
    (C, "insert_batch"): C_BATCH,
    (C, None): (None, "Persistent vector collection backed by disk storage.\n\nStores vectors and metadata on disk "
                "with WAL (Write-Ahead Log) protection\nfor durability. Supports crash recovery."),
    (C, "open_or_create"): ("(path, dimension, metric)", "Open an existing collection or create a new one." + ARGS +
                            "path (str): File system path for the collection.\n    dimension (int): Dimension of the "
                            'vectors (must match existing).\n    metric (str): Distance metric ("cosine", "euclidean", '
                            '"dot").'),
    (C, "verify"): ("(path)", "Read every byte of the collection at path and change nothing." + ARGS +
                    "path (str): The collection's directory (not open elsewhere).\n\nReturns:\n    dict: \"ok\" and, "
                    'per file ("wal.log", "data.ovx", "data.ovx.sum",\n    "meta.json"), whether it is whole, the '
                    "offset and kind of the first\n    damage, the frames or records before it and any torn tail."),
    (C, "repair"): ("(path, *, dimension=None, metric=None)", "Point-in-time repair: keep what precedes the first "
                    "damage, set the rest aside.\n\nThe log keeps its whole frames before the first damaged one; the "
                    "rest goes\nto wal.log.damaged-<offset>. Damaged records of the data file, and records\nwritten "
                    "for frames set aside, go to data.ovx.damaged-<offset>. A damaged\nmeta.json is rebuilt. Nothing "
                    "is deleted; running it again is safe." + ARGS + "path (str): The collection's directory (not "
                    "open elsewhere)." + KW + "dimension (int | None): For rebuilding meta.json when no record tells "
                    "it.\n    metric (str | None): For rebuilding meta.json when it cannot be read.\n\nReturns:\n"
                    "    dict: Per file, what was kept and what was set aside (and where), and\n    \"ok\": whether "
                    "verify finds the result whole."),
    (C, "insert"): ("($self, id, vector, *, payload=None)", "Insert a vector into the collection." + ARGS +
                    "id (int): Unique identifier.\n    vector (list[float]): Vector data." + PAYLOAD),
    (C, "search"): (SEARCH_SIG, "Search for nearest neighbors." + ARGS +
                    "query (list[float]): Query vector.\n    k (int): Number of results." + RETURNS + WHERE),
    (C, "sync"): ("($self)", "Force the write-ahead log to stable storage.\n\nEvery insertion and deletion "
                  "acknowledged so far becomes durable, without\na checkpoint."),
    (C, "compact"): ("($self)", "Flush, then rewrite the data file with only the live records.\n\nReturns:\n"
                     "    int: The bytes reclaimed."),
    (C, "stats"): ("($self)", "Counts and sizes: vectors, dead_records, data_bytes, log_bytes,\nindexes (the bytes "
                   "each payload index holds, by key) and read_only. A\nreader counts no dead records and gives the "
                   "bytes it has read."),
    (C, "close"): ("($self)", "Flush, then release the files and the directory.\n\nAny later call raises ValueError; "
                   "a second close does nothing. If the\nflush fails, its error is raised and the collection stays open."),
    (C, "flush"): ("($self)", "Flush all pending writes to disk (checkpoint).\n\n"
                   "This ensures all data is durable and truncates the WAL."),
}


@pytest.mark.parametrize("owner, name", DOCS, ids=str)
def test_documents_and_text_signatures(owner, name):
    target = getattr(_orvex, owner) if name is None else getattr(getattr(_orvex, owner), name)
    assert (target.__text_signature__, target.__doc__) == DOCS[owner, name]


# orvex.ray. Refusals: (call on `o`, a ShardedCollection of 2 shards of dimension 2 at path `p` holding id 100,
# exception class, message), run by test_ray.py in this order, each leaving `o` as it was, the last closing it.
NO_RAY = 'orvex.ray needs Ray: pip install "orvex[ray]"'
SHARDED_MESSAGES = [
    ("o.open_or_create(p, 2, 'dot', shards=0)", ValueError, "shards must be at least 1"),
    ("o.open_or_create(p, 2, 'dot', shards=2, nodes=['nowhere'])", ValueError,
     "no live Ray node has the id or address 'nowhere'"),
    ("o.open_or_create(p, 2, 'dot', shards=2, nodes=[])", ValueError, "nodes must name at least one node"),
    ("o.open_or_create(p, 3, 'dot', shards=2)", ValueError,
     "{p} holds a sharded collection of 2 shards of dimension 2; asked for 2 shards of dimension 3"),
    ("o.open_or_create(p, 2, 'dot', shards=3)", ValueError,
     "{p} holds a sharded collection of 2 shards of dimension 2; asked for 3 shards of dimension 2"),
    ("o.insert_batch([1, 2], [[0, 1], [0, float('inf')]])", ValueError, "vector 1 component 1 is not finite"),
    ("o.insert_batch(np.array([1, -2]), [[0, 1]] * 2)", OverflowError,
     "argument 'ids': can't convert negative int to unsigned"),
    ("o.insert_batch([1, 2], [[0, 1, 2]] * 2)", ValueError, "dimension mismatch: expected 2, got 3"),
    ("o.insert_batch([1, 2], [[0, 1]])", ValueError, "ids and vectors must have the same length"),
    ("o.insert_batch([8, 9], [[0, 0]] * 2, payloads=[None, {'a': float('nan')}])", ValueError,
     "payloads[1]['a']: float nan is not allowed"),
    ("o.load([(1, 2, 3, 4)])", TypeError, "chunk 0: expected (ids, vectors) or (ids, vectors, payloads)"),
    ("o.close() or o.search([0, 0], 1)", ValueError, "sharded collection is closed"),
]
SHARD_FILES = {  # formatted with the shard directory and the path
    "missing": "shard directory missing: {} (a shard is made once, with the sharded collection)",
    "orphan": "{} holds vectors but {} has no shards.json: not adopted",
    "manifest": "{1}/shards.json is not a sharded collection manifest",
}
SHARDED_DOCS = {  # as inspect.getdoc gives them
    None: "A collection split into shards held by Ray actors, one Collection directory each.\n\nIds are routed by a "
          "fixed hash; searches are answered by every shard and merged into exactly the\nanswer of one Collection "
          "holding all the vectors. Durability is each shard's: an insertion spanning\nshards is not atomic across "
          "them.",
    "open_or_create": "Open a sharded collection, or create it with its shards." + ARGS + "path (str): Directory of "
        "the manifest and the shard directories, on every node holding shards.\n    dimension (int): Dimension of "
        'the vectors (must match existing).\n    metric (str): Distance metric ("cosine", "euclidean", "dot").' + KW +
        "shards (int): Number of shards (must match existing).\n    nodes (list[str] | None): Ray node ids or "
        "addresses; shard i runs on nodes[i % len(nodes)].\n        None: every shard on this process's node.\n"
        "    max_restarts (int): How often Ray restarts a dead shard actor on its node (-1: always).\n    "
        "actor_options (dict | None): More options for the actors (num_cpus, memory, ...).",
    "open_read_only": "Open an existing sharded collection for searching beside its writer.\n\nEach shard actor "
        "opens its shard with Collection.open_read_only; the shard count and the dimension\ncome from the manifest. "
        "refresh() moves every shard to its writer's latest state; every changing\ncall raises OSError \"collection "
        "is read-only\"." + ARGS + "path (str): Directory of the manifest and the shard directories, on every node "
        "holding shards." + KW + "nodes (list[str] | None): As for open_or_create: shard i runs on nodes[i % "
        "len(nodes)].\n    max_restarts (int): How often Ray restarts a dead shard actor (-1: always); a restarted "
        "one\n        opens its shard again, at the latest state.\n    actor_options (dict | None): More options for "
        "the actors (num_cpus, memory, ...).\n\nRaises:\n    OSError: No sharded collection at path (no manifest), "
        "or a shard missing or damaged.\n    ValueError: The manifest is not that of a sharded collection.",
    "refresh": "Refresh every shard (see Collection.refresh): each moves to its writer's latest state on disk.\n\n"
               "A search running meanwhile may find some shards refreshed and others not yet.\n\nReturns:\n    int: "
               "The changes applied, summed over the shards (0 for a writer).",
    "load": "Insert chunks of vectors, streaming them to the shards." + ARGS + "chunks (iterable): (ids, vectors) or "
            "(ids, vectors, payloads) tuples, numpy arrays welcome.\n    progress (bool): Show a bar (tqdm when "
            "installed, else a line on stderr every few seconds)." + KW + "in_flight (int): Chunks under way per "
            "shard before the next waits.\n    total (int | None): The number of vectors, for the bar.\n\nReturns:\n"
            "    int: The vectors inserted.",
    "stats": "Counts and sizes summed over the shards: vectors, dead_records, data_bytes, log_bytes; and shards.",
    "close": "Close every shard (each flushes first), then stop the actors.\n\nAny later call raises ValueError; a "
             "second close does nothing. If a shard's flush fails, its error\nis raised once every actor is stopped; "
             "that shard recovers from its log when reopened.",
    "actors": "The shard actors, shard 0 first.",
}


def test_sharded_collection_texts(monkeypatch):
    with monkeypatch.context() as m:
        m.setitem(sys.modules, "ray", None)
        m.delitem(sys.modules, "orvex.ray", raising=False)
        with pytest.raises(ImportError) as e:
            importlib.import_module("orvex.ray")
        assert e.value.args == (NO_RAY,)
    sharded = pytest.importorskip("orvex.ray").ShardedCollection
    assert {n: inspect.getdoc(getattr(sharded, n) if n else sharded) for n in SHARDED_DOCS} == SHARDED_DOCS
    shared = {n for n in vars(sharded) if not n.startswith("_")} - set(SHARDED_DOCS)  # Collection's documents
    assert {n: getattr(sharded, n).__doc__ for n in shared} == {n: getattr(Collection, n).__doc__ for n in shared}


def test_module_and_types():
    assert [n for n in vars(_orvex) if not n.startswith("__")] == ["Index", "Collection"] == orvex.__all__[:2]
    for cls in (Index, Collection):
        assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("builtins", cls.__name__, (object,))
        assert {n for n in vars(cls) if not n.startswith("__") or n in ("__enter__", "__exit__")} == set(
            METHODS[cls.__name__] + NEW_METHODS[cls.__name__]) | (
            {"open_or_create", "open_read_only", "refresh", "verify", "repair"} if cls is Collection else set())
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    script = ("import importlib, sys\nimport orvex._orvex as first\ndel sys.modules['orvex._orvex']\n"
              "try:\n    importlib.import_module('orvex._orvex')\nexcept ImportError:\n    print('ImportError')\n"
              "index = first.Index('dot', 1)\nindex.insert(1, [2.0])\nprint(index.search([1.0], 1))\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["ImportError", "[(1, -2.0)]"]
