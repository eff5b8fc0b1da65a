"""orvex.llama_index: a VectorStoreIndex over a few documents retrieves what a numpy oracle ranks first,
filters select what LlamaIndex's own filter function selects, deletions by document, bad input stores
nothing; in memory and on disk."""

import datetime
import math
import zlib

import numpy as np
import pytest

pytest.importorskip("llama_index.core")
from llama_index.core import Document, StorageContext, VectorStoreIndex  # noqa: E402
from llama_index.core.embeddings import BaseEmbedding  # noqa: E402
from llama_index.core.schema import MetadataMode, TextNode  # noqa: E402
from llama_index.core.vector_stores.types import (  # noqa: E402
    FilterCondition, FilterOperator, MetadataFilter, MetadataFilters, VectorStoreQuery)
from llama_index.core.vector_stores.utils import build_metadata_filter_fn  # noqa: E402

from orvex.llama_index import OrvexVectorStore  # noqa: E402

WORDS = "cat dog fish bird cow horse sheep goat".split()


class Words(BaseEmbedding):
    """Deterministic: a count of each word's hash bucket (no model, no network)."""

    def _get_text_embedding(self, text):
        v = np.full(16, 0.01)
        for word in text.lower().replace(":", " ").split():
            v[zlib.crc32(word.encode()) % 16] += 1
        return v.tolist()

    _get_query_embedding = _get_text_embedding

    async def _aget_query_embedding(self, query):
        return self._get_text_embedding(query)


@pytest.fixture(params=["memory", "disk"])
def built(request, tmp_path):
    store = OrvexVectorStore(path=None if request.param == "memory" else tmp_path / "nodes")
    docs = [Document(text=" ".join(WORDS[j % 8] for j in range(i, i + 1 + i % 4)), doc_id=f"doc{i}",
                     metadata={"n": i, "kind": ["odd", "even"][i % 2 == 0], "name": f"item {i}"})
            for i in range(12)]
    docs[3].metadata["note"] = None
    index = VectorStoreIndex.from_documents(docs, storage_context=StorageContext.from_defaults(vector_store=store),
                                            embed_model=Words())
    yield store, index
    store.close()


def test_retrieval_equals_numpy_oracle(built):
    store, index = built
    nodes = store.get_nodes(filters=MetadataFilters(filters=[]))
    assert len(nodes) == 12 == len(store.client)
    m = np.array([Words()._get_text_embedding(n.get_content(metadata_mode=MetadataMode.EMBED)) for n in nodes])
    q = np.array(Words()._get_text_embedding("dog fish fish"))
    sims = m @ q / np.linalg.norm(m, axis=1) / np.linalg.norm(q)
    got = index.as_retriever(similarity_top_k=4).retrieve("dog fish fish")
    sim_of = {n.node_id: s for n, s in zip(nodes, sims)}
    np.testing.assert_allclose([g.score for g in got], np.sort(sims)[::-1][:4], rtol=1e-5)
    np.testing.assert_allclose([sim_of[g.node.node_id] for g in got], [g.score for g in got], rtol=1e-5)
    assert {g.node.get_content() for g in got} <= {n.get_content() for n in nodes}
    hit = index.as_retriever(similarity_top_k=2, filters=MetadataFilters(filters=[
        MetadataFilter(key="kind", value="odd")])).retrieve("dog")
    assert len(hit) == 2 and all(g.node.metadata["kind"] == "odd" for g in hit)

    index.delete_ref_doc("doc4")
    kept = next(n for n in nodes if n.ref_doc_id != "doc4")  # the nodes come in no fixed order
    query = VectorStoreQuery(query_embedding=q.tolist(), similarity_top_k=20, node_ids=[kept.node_id, "x"])
    assert store.query(query).ids == [kept.node_id] and len(store.client) == 11
    assert [n.ref_doc_id for n in store.get_nodes(node_ids=[n.node_id for n in nodes[:6]])] == \
        [n.ref_doc_id for n in nodes[:6] if n.ref_doc_id != "doc4"]
    store.clear()
    assert store.query(query).ids == [] and len(store.client) == 0


F, C = MetadataFilter, FilterCondition


@pytest.mark.parametrize("filters", [
    [F(key="n", value=3, operator=FilterOperator.GT), F(key="kind", value="odd")],
    [F(key="n", value=[1, 2, 5], operator=FilterOperator.IN), F(key="n", value=2, operator=FilterOperator.LTE)],
    [F(key="n", value=[1, 2], operator=FilterOperator.NIN), F(key="kind", value="even", operator=FilterOperator.NE)],
    [F(key="name", value="item 1", operator=FilterOperator.TEXT_MATCH), F(key="n", value=11, operator="<")],
    [F(key="note", value=None, operator=FilterOperator.IS_EMPTY), F(key="n", value=4.5, operator=">=")],
])
@pytest.mark.parametrize("condition", [C.AND, C.OR, C.NOT])
def test_filters_select_what_llama_index_selects(built, filters, condition):
    store, _ = built
    filters = MetadataFilters(filters=filters, condition=condition)
    everything = {n.node_id: n.metadata for n in store.get_nodes(filters=MetadataFilters(filters=[]))}
    expected = set(filter(build_metadata_filter_fn(everything.__getitem__, filters), everything))
    assert {n.node_id for n in store.get_nodes(filters=filters)} == expected
    nested = MetadataFilters(filters=[filters, F(key="n", value=0, operator=">=")])
    assert {n.node_id for n in store.get_nodes(filters=nested)} == expected


def node(i, embedding=(1.0, 0.0), **metadata):
    return TextNode(id_=f"new{i}", text="new", embedding=list(embedding), metadata=metadata)


@pytest.mark.parametrize("call, exc, text", [
    ("s.add([node(0), node(1, (1.0, 2.0, 3.0))])", ValueError, "document 1 (id 'new1'): the embedding has 3 components"),
    ("s.add([node(0, when=datetime.date(2024, 1, 1))])", TypeError, "(id 'new0'): metadata['when']: 'date'"),
    ("s.add([node(0), node(1, tags={'a'})])", TypeError, "(id 'new1'): metadata['tags']: 'set' is not allowed"),
    ("s.add([node(0, x=math.nan)])", ValueError, "(id 'new0'): metadata['x']: float nan is not allowed"),
    ("s.add([node(0, (math.inf, 0.0))])", ValueError, "the embedding has a component that is not finite"),
    ("s.add([TextNode(id_='e', text='no embedding')])", ValueError, "document 0 (id 'e'): no embedding"),
    ("s.get_nodes(node_ids=['new0', 3])", TypeError, "node_ids[1]: a document id must be a str, not 'int'"),
    ("s.query(VectorStoreQuery(query_embedding=[1.0], similarity_top_k=1))", ValueError, "has 1 components"),
    ("s.query(VectorStoreQuery(query_embedding=[1.0, 0.0], mode='mmr'))", ValueError, "query mode 'mmr'"),
    *((f"s.get_nodes(filters=MetadataFilters(filters=[F(key='tags', value=['a'], operator={op!r})]))", ValueError,
       f"filter on 'tags': operator {op!r} cannot be expressed") for op in ["any", "all", "contains"]),
    ("s.delete_nodes(filters=MetadataFilters(filters=[F(key='t', value='A', operator='text_match_insensitive')]))",
     ValueError, "filter on 't': operator 'text_match_insensitive'"),
])
def test_bad_input_stores_nothing(tmp_path, call, exc, text):
    s = OrvexVectorStore(path=tmp_path / "nodes")
    s.add([node(9, (0.0, 1.0), tags=["a"], t="A")])
    with pytest.raises(exc) as e:
        eval(call)
    assert text in str(e.value)
    assert [n.node_id for n in s.get_nodes(filters=MetadataFilters(filters=[]))] == ["new9"]
    s.close()
    again = OrvexVectorStore(path=tmp_path / "nodes", dimension=2)
    assert len(again.client) == 1
