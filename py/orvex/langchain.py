"""orvex as a LangChain vector store (``pip install "orvex[langchain]"``).

    from orvex.langchain import OrvexVectorStore

    store = OrvexVectorStore(embeddings)                     # in memory: an orvex Index
    store = OrvexVectorStore(embeddings, path="/data/docs")  # on disk: an orvex Collection
    store.add_texts(["a cat", "a dog"], [{"kind": "cat"}, {"kind": "dog"}], ids=["c", "d"])
    store.similarity_search("kitten", k=1, filter={"kind": "cat"})

A document's payload holds its metadata keys, its text under ``"_orvex_text"``
and its id under ``"_orvex_id"``. Filters are orvex ``where`` dicts over the
metadata (``{"year": {"$gte": 2020}}``). ``similarity_search_with_score``
gives the metric's distance (smaller is nearer); the relevance scores are
LangChain's functions of it for the metric. Async calls run the sync ones in
an executor.
"""

from __future__ import annotations

import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

from ._documents import ID_KEY, DocumentStore, check_ids

TEXT_KEY = "_orvex_text"


def _no_more(kwargs: dict[str, Any]) -> None:
    if kwargs:
        raise TypeError(f"OrvexVectorStore got unexpected keyword arguments: {', '.join(map(repr, kwargs))}")


class OrvexVectorStore(VectorStore):
    """A LangChain ``VectorStore`` kept in an orvex ``Index`` (``path=None``) or a
    ``Collection`` at ``path``. ``metric``: "cosine", "euclidean" or "dot". The
    dimension is the embeddings' (asked of the model when an existing collection
    is read before anything is added) unless ``dimension`` is given."""

    def __init__(self, embedding: Embeddings, *, path: str | None = None, metric: str = "cosine",
                 dimension: int | None = None) -> None:
        self.embedding = embedding
        self.store = DocumentStore(metric, path, dimension, probe=lambda: len(embedding.embed_query("orvex")))

    @property
    def embeddings(self) -> Embeddings:
        return self.embedding

    def close(self) -> None:
        """Flush and release an on-disk store's collection (it reopens on next use)."""
        self.store.close()

    def add_texts(self, texts: Iterable[str], metadatas: list[dict[str, Any]] | None = None, *,
                  ids: Sequence[str | None] | None = None, **kwargs: Any) -> list[str]:
        _no_more(kwargs)
        texts = list(texts)
        metadatas = [{}] * len(texts) if metadatas is None else list(metadatas)
        ids = [None] * len(texts) if ids is None else list(ids)
        if not len(texts) == len(metadatas) == len(ids):
            raise ValueError(f"{len(texts)} texts, {len(metadatas)} metadatas and {len(ids)} ids")
        ids = check_ids([str(uuid.uuid4()) if i is None else i for i in ids])
        payloads = []
        for i, (text, metadata) in enumerate(zip(texts, metadatas)):
            if not isinstance(text, str):
                raise TypeError(f"texts[{i}]: expected a str, not {type(text).__name__!r}")
            if not isinstance(metadata, dict):
                raise TypeError(f"metadatas[{i}]: expected a dict, not {type(metadata).__name__!r}")
            if TEXT_KEY in metadata:
                raise ValueError(f"metadatas[{i}]: key {TEXT_KEY!r} is reserved")
            payloads.append({**metadata, TEXT_KEY: text})
        vectors = self.embedding.embed_documents(texts) if texts else []
        if len(vectors) != len(texts):
            raise ValueError(f"the embedding model gave {len(vectors)} embeddings for {len(texts)} texts")
        self.store.put(ids, vectors, payloads)
        return ids

    def add_documents(self, documents: list[Document], **kwargs: Any) -> list[str]:
        ids = kwargs.pop("ids", None)
        return self.add_texts([d.page_content for d in documents], [d.metadata for d in documents],
                              ids=[d.id for d in documents] if ids is None else ids, **kwargs)

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        return [_document(payload) for _, payload in self.store.get(ids)]

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool:
        """Delete the documents of ``ids`` (ids not held are skipped), or every document."""
        _no_more(kwargs)
        if ids is None:
            self.store.clear()
        else:
            self.store.delete(ids)
        return True

    def similarity_search(self, query: str, k: int = 4, filter: dict[str, Any] | None = None,
                          **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter, **kwargs)]

    def similarity_search_with_score(self, query: str, k: int = 4, filter: dict[str, Any] | None = None,
                                     **kwargs: Any) -> list[tuple[Document, float]]:
        _no_more(kwargs)
        return self.similarity_search_with_score_by_vector(self.embedding.embed_query(query), k, filter)

    def similarity_search_by_vector(self, embedding: list[float], k: int = 4, filter: dict[str, Any] | None = None,
                                    **kwargs: Any) -> list[Document]:
        _no_more(kwargs)
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, filter)]

    def similarity_search_with_score_by_vector(self, embedding: list[float], k: int = 4,
                                               filter: dict[str, Any] | None = None) -> list[tuple[Document, float]]:
        return [(_document(payload), distance) for _, distance, payload in self.store.search(embedding, k, filter)]

    def max_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20, lambda_mult: float = 0.5,
                                      filter: dict[str, Any] | None = None, **kwargs: Any) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(self.embedding.embed_query(query), k, fetch_k,
                                                            lambda_mult, filter, **kwargs)

    def max_marginal_relevance_search_by_vector(self, embedding: list[float], k: int = 4, fetch_k: int = 20,
                                                lambda_mult: float = 0.5, filter: dict[str, Any] | None = None,
                                                **kwargs: Any) -> list[Document]:
        _no_more(kwargs)
        hits = self.store.search(embedding, fetch_k, filter)
        if not hits:
            return []
        chosen = maximal_marginal_relevance(np.asarray(embedding, np.float32),
                                            self.store.vectors([key for key, _, _ in hits]), lambda_mult, k)
        return [_document(hits[i][2]) for i in chosen]

    @classmethod
    def from_texts(cls, texts: list[str], embedding: Embeddings, metadatas: list[dict[str, Any]] | None = None, *,
                   ids: list[str] | None = None, path: str | None = None, metric: str = "cosine",
                   dimension: int | None = None, **kwargs: Any) -> OrvexVectorStore:
        _no_more(kwargs)
        store = cls(embedding, path=path, metric=metric, dimension=dimension)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        return {"cosine": self._cosine_relevance_score_fn, "euclidean": self._euclidean_relevance_score_fn,
                "dot": self._max_inner_product_relevance_score_fn}[self.store.metric]


def _document(payload: dict[str, Any]) -> Document:
    metadata = dict(payload)
    doc_id, text = metadata.pop(ID_KEY), metadata.pop(TEXT_KEY)
    return Document(id=doc_id, page_content=text, metadata=metadata)
