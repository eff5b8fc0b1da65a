"""The module object, the two types' properties and their documents."""

import subprocess
import sys
import textwrap
import weakref

import pytest

import orvex
from orvex import _orvex
from orvex import Collection, Index

INSERT_BATCH_DOC = (
    "Insert multiple vectors at once.\n\n"
    "Args:\n"
    "    ids (list[int]): List of unique identifiers.\n"
    "    vectors (list[list[float]]): List of vectors."
)
SEARCH_BATCH_DOC = (
    "Search for nearest neighbors for multiple queries.\n\n"
    "Args:\n"
    "    queries (list[list[float]]): List of query vectors.\n"
    "    k (int): Number of neighbors per query.\n\n"
    "Returns:\n"
    "    list[list[tuple[int, float]]]: Results for each query."
)

DOCS = {
    (Index, None): (
        "(metric, dimension)",
        "In-memory brute-force vector index.\n\n"
        "This index stores all vectors in memory and performs exhaustive search\n"
        "for exact nearest neighbors.",
    ),
    (Index, "insert"): (
        "($self, id, vector)",
        "Insert a vector into the index.\n\n"
        "Args:\n"
        "    id (int): Unique identifier for the vector.\n"
        "    vector (list[float]): The vector data.",
    ),
    (Index, "search"): (
        "($self, query, k)",
        "Search for nearest neighbors.\n\n"
        "Args:\n"
        "    query (list[float]): The query vector.\n"
        "    k (int): Number of neighbors to return.\n\n"
        "Returns:\n"
        "    list[tuple[int, float]]: List of (id, distance) tuples.",
    ),
    (Index, "insert_batch"): ("($self, ids, vectors)", INSERT_BATCH_DOC),
    (Index, "search_batch"): ("($self, queries, k)", SEARCH_BATCH_DOC),
    (Collection, None): (
        None,
        "Persistent vector collection backed by disk storage.\n\n"
        "Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection\n"
        "for durability. Supports crash recovery.",
    ),
    (Collection, "open_or_create"): (
        "(path, dimension, metric)",
        "Open an existing collection or create a new one.\n\n"
        "Args:\n"
        "    path (str): File system path for the collection.\n"
        "    dimension (int): Dimension of the vectors (must match existing).\n"
        '    metric (str): Distance metric ("cosine", "euclidean", "dot").',
    ),
    (Collection, "insert"): (
        "($self, id, vector)",
        "Insert a vector into the collection.\n\n"
        "Args:\n"
        "    id (int): Unique identifier.\n"
        "    vector (list[float]): Vector data.",
    ),
    (Collection, "search"): (
        "($self, query, k)",
        "Search for nearest neighbors.\n\n"
        "Args:\n"
        "    query (list[float]): Query vector.\n"
        "    k (int): Number of results.\n\n"
        "Returns:\n"
        "    list[tuple[int, float]]: List of (id, distance) tuples.",
    ),
    (Collection, "insert_batch"): ("($self, ids, vectors)", INSERT_BATCH_DOC),
    (Collection, "search_batch"): ("($self, queries, k)", SEARCH_BATCH_DOC),
    (Collection, "flush"): (
        "($self)",
        "Flush all pending writes to disk (checkpoint).\n\n"
        "This ensures all data is durable and truncates the WAL.",
    ),
}


@pytest.mark.parametrize("owner, name", list(DOCS), ids=lambda v: getattr(v, "__name__", str(v)))
def test_documents_and_text_signatures(owner, name):
    signature, doc = DOCS[(owner, name)]
    target = owner if name is None else getattr(owner, name)
    assert target.__doc__ == doc
    assert target.__text_signature__ == signature
    assert not doc.endswith("\n")


def test_package_exports_the_module_types():
    assert orvex.Index is _orvex.Index
    assert orvex.Collection is _orvex.Collection
    assert set(orvex.__all__) >= {"Index", "Collection"}
    assert isinstance(orvex.__version__, str)


def test_module_has_exactly_two_attributes_of_its_own():
    own = [name for name in vars(_orvex) if not name.startswith("__")]
    assert own == ["Index", "Collection"]
    assert _orvex.__doc__ == ""


@pytest.mark.parametrize("cls", [Index, Collection], ids=lambda c: c.__name__)
def test_type_properties(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    # Nothing but construction, destruction and the listed methods.
    methods = {"insert", "search", "insert_batch", "search_batch"}
    if cls is Collection:
        methods |= {"open_or_create", "flush"}
    assert {n for n in vars(cls) if not n.startswith("__")} == methods
    for dunder in ("__repr__", "__len__", "__eq__", "__lt__", "__hash__", "__iter__"):
        assert getattr(cls, dunder, None) is getattr(object, dunder, None)


def test_instances_have_no_dict_and_no_weakref():
    index = Index("dot", 2)
    assert not hasattr(index, "__dict__")
    with pytest.raises(AttributeError):
        index.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(index)


def test_collection_constructor_is_refused():
    for args, kwargs in [((), {}), (("/tmp/x", 3, "cosine"), {}), ((), {"path": "x"})]:
        with pytest.raises(TypeError) as info:
            Collection(*args, **kwargs)
        assert info.value.args == ("No constructor defined for Collection",)


def test_second_initialization_raises_import_error():
    script = textwrap.dedent(
        """
        import importlib, sys
        import orvex._orvex as first
        del sys.modules["orvex._orvex"]
        try:
            importlib.import_module("orvex._orvex")
        except ImportError as e:
            print("ImportError", e)
        else:
            print("imported again")
        index = first.Index("dot", 1)
        index.insert(1, [2.0])
        print(index.search([1.0], 1))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert lines[0].startswith("ImportError")
    assert lines[1] == "[(1, -2.0)]"
