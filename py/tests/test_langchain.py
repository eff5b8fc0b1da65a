"""orvex.langchain: LangChain's standard vector store suite, in memory and on disk, sync and async; then
what the suite leaves out: bad input stores nothing, colliding ids, filters, scores, MMR, reopening."""

import datetime
import math
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("langchain_core")
pytest.importorskip("langchain_tests")
from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding  # noqa: E402
from langchain_tests.integration_tests import VectorStoreIntegrationTests  # noqa: E402

import orvex._documents  # noqa: E402
from orvex.langchain import OrvexVectorStore  # noqa: E402


class TestInMemory(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self):
        return OrvexVectorStore(self.get_embeddings())


class TestOnDisk(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path):
        store = OrvexVectorStore(self.get_embeddings(), path=str(tmp_path / "docs"))
        yield store
        store.close()


@pytest.fixture(params=["memory", "disk"])
def store(request, tmp_path):
    s = OrvexVectorStore(DeterministicFakeEmbedding(size=8), path=None if request.param == "memory" else
                         str(tmp_path / "docs"))
    s.add_texts(["alpha", "beta", "gamma"], [{"n": 1, "tag": "x"}, {"n": 2, "tag": "y"}, {"n": 3, "tag": "x"}],
                ids=["a", "b", "c"])
    yield s
    s.close()


class Unit:  # an embedding model whose vectors are given by the test
    def __init__(self, vectors):
        self.vectors = vectors

    def embed_documents(self, texts):
        return [self.vectors[t] for t in texts]

    def embed_query(self, text):
        return self.vectors[text]


@pytest.mark.parametrize("call, exc, text", [
    ("s.add_texts(['d'], [{'when': datetime.datetime(2024, 1, 1)}])", TypeError, "metadata['when']: 'datetime'"),
    ("s.add_texts(['d', 'e'], [{}, {'tags': {1, 2}}], ids=['d', 'e'])", TypeError, "1 (id 'e'): metadata['tags']: 'set'"),
    ("s.add_texts(['d'], [{'score': math.nan}], ids=['a'])", ValueError, "(id 'a'): metadata['score']: float nan"),
    ("s.add_texts(['d', 'e'], ids=['d', 5])", TypeError, "ids[1]: a document id must be a str, not 'int'"),
    ("s.add_texts(['d'], [{'_orvex_text': 1}])", ValueError, "metadatas[0]: key '_orvex_text' is reserved"),
    ("s.add_texts(['d'], [{'_orvex_id': 1}])", ValueError, "metadata key '_orvex_id' is reserved"),
    ("s.add_texts(['d', 'e'], ids=['d'])", ValueError, "2 texts, 2 metadatas and 1 ids"),
    ("s.add_texts(['d', 'short'], ids=['d', 'e'])", ValueError, "document 1 (id 'e'): the embedding has 7 components"),
    ("s.add_texts(['nan'], ids=['a'])", ValueError, "(id 'a'): the embedding has a component that is not finite"),
    ("s.similarity_search_by_vector([1.0] * 7)", ValueError, "query embedding has 7 components, the store holds 8"),
    ("s.similarity_search('alpha', filter={'n': {'$near': 1}})", ValueError, "where['n']['$near']: unknown operator"),
    ("s.similarity_search('alpha', filter=lambda doc: True)", TypeError, "filter: expected a dict"),
    ("s.similarity_search('alpha', score_threshold=0.5)", TypeError, "unexpected keyword arguments: 'score_threshold'"),
    ("s.get_by_ids([1])", TypeError, "ids[0]: a document id must be a str"),
])
def test_bad_input_stores_nothing(store, call, exc, text):
    s = store
    s.embedding = Unit({"d": [0.0] * 8, "e": [1.0] * 8, "short": [1.0] * 7, "nan": [math.nan] * 8,
                        "alpha": store.embedding.embed_query("alpha")})
    before = s.get_by_ids(["a", "b", "c"])
    with pytest.raises(exc) as e:
        eval(call)
    assert text in str(e.value)
    assert s.get_by_ids(["a", "b", "c", "d", "e"]) == before and len(s.store) == 3


def test_colliding_ids_are_refused_never_overwritten(store, monkeypatch):
    real = orvex._documents.key_of
    twins = {"z": "b", "y": "x"}  # z takes the key of the stored b; x and y share one
    monkeypatch.setattr(orvex._documents, "key_of", lambda doc_id: real(twins.get(doc_id, doc_id)))
    with pytest.raises(ValueError, match="id 'z' hashes to the key of the stored id 'b'; nothing was stored"):
        store.add_texts(["delta", "zeta"], ids=["d", "z"])
    with pytest.raises(ValueError, match="ids 'x' and 'y' hash to the same key"):
        store.add_texts(["x", "y"], ids=["x", "y"])
    assert store.get_by_ids(["z", "d", "x", "y"]) == [] and store.delete(["z"])  # reads check the stored id
    assert [d.page_content for d in store.get_by_ids(["b"])] == ["beta"] and len(store.store) == 3


@pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot"])
def test_scores_and_mmr_against_numpy(metric):
    rng = np.random.default_rng(5)
    vectors = {f"t{i}": v / np.linalg.norm(v) for i, v in enumerate(rng.standard_normal((31, 8)).astype(np.float32))}
    vectors["q"] = vectors.pop("t30")  # unit vectors: the relevance scores lie in [0, 1]
    s = OrvexVectorStore.from_texts([f"t{i}" for i in range(30)], Unit({k: v.tolist() for k, v in vectors.items()}),
                                    [{"i": i} for i in range(30)], metric=metric)
    m, q = np.stack([vectors[f"t{i}"] for i in range(30)]), vectors["q"]
    dist = {"cosine": 1 - m @ q / np.linalg.norm(m, axis=1) / np.linalg.norm(q),
            "euclidean": np.linalg.norm(m - q, axis=1), "dot": -(m @ q)}[metric]
    got = s.similarity_search_with_relevance_scores("q", k=5)
    order = np.argsort(dist)[:5]
    assert [d.metadata["i"] for d, _ in got] == order.tolist()
    relevance = s._select_relevance_score_fn()
    np.testing.assert_allclose([r for _, r in got], [relevance(float(dist[i])) for i in order], rtol=1e-5, atol=1e-6)
    mmr = s.max_marginal_relevance_search("q", k=4, fetch_k=10, lambda_mult=0.3, filter={"i": {"$lt": 20}})
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
    pool = [i for i in np.argsort(dist) if i < 20][:10]
    assert [d.metadata["i"] for d in mmr] == [pool[j] for j in maximal_marginal_relevance(q, m[pool], 0.3, 4)]


def test_filters_retriever_and_reopening(store, tmp_path):
    assert sorted(d.id for d in store.similarity_search("alpha", k=5, filter={"tag": "x"})) == ["a", "c"]
    either = {"$or": [{"n": 2}, {"n": {"$gt": 2}}]}
    assert sorted(d.id for d in store.similarity_search("alpha", k=5, filter=either)) == ["b", "c"]
    assert [d.id for d in store.as_retriever(search_kwargs={"k": 1}).invoke("beta")] == ["b"]
    path = str(tmp_path / "again")
    OrvexVectorStore.from_texts(["one", "two"], store.embedding, ids=["1", "2"], path=path).close()
    again = OrvexVectorStore(store.embedding, path=path)  # learns the dimension from the model
    assert again.get_by_ids(["2"]) == [Document(id="2", page_content="two")]
    again.close()


def test_import_orvex_loads_no_framework():
    code = "import orvex, sys; print([m for m in sys.modules if m.split('.')[0] in ('langchain_core', 'llama_index')])"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "[]\n"
