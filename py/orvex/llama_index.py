"""orvex as a LlamaIndex vector store (``pip install "orvex[llama-index]"``).

    from llama_index.core import StorageContext, VectorStoreIndex
    from orvex.llama_index import OrvexVectorStore

    store = OrvexVectorStore()                                  # in memory: an orvex Index
    store = OrvexVectorStore(path="/data/nodes", dimension=384)  # on disk: an orvex Collection
    index = VectorStoreIndex.from_documents(
        documents, storage_context=StorageContext.from_defaults(vector_store=store))

A node's payload holds its metadata keys (as given: only JSON values are
taken), the node itself as LlamaIndex serialises it (``_node_content``), its
``ref_doc_id`` and its id under ``"_orvex_id"``. ``MetadataFilters`` become
orvex ``where`` dicts; the operators orvex has no match for (``any``, ``all``,
``contains`` on lists, ``text_match_insensitive``) are refused. Similarities
are ``1 - distance`` for cosine, ``-distance`` (the dot product) for dot and
minus the distance for euclidean, as LlamaIndex computes them.
"""

from __future__ import annotations

import os
from typing import Any

from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.schema import BaseNode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

from ._documents import ID_KEY, DocumentStore, check_ids

_OPERATORS = {FilterOperator.EQ: "$eq", FilterOperator.NE: "$ne", FilterOperator.GT: "$gt",
              FilterOperator.GTE: "$gte", FilterOperator.LT: "$lt", FilterOperator.LTE: "$lte",
              FilterOperator.IN: "$in", FilterOperator.NIN: "$nin", FilterOperator.TEXT_MATCH: "$contains"}
_NODE_KEYS = {"_node_content", "_node_type", "document_id", "doc_id", "ref_doc_id"}


def to_where(filters: MetadataFilters) -> dict[str, Any] | None:
    """The orvex ``where`` dict of LlamaIndex filters (None: no condition)."""
    parts = []
    for f in filters.filters:
        if isinstance(f, MetadataFilters):
            nested = to_where(f)
            parts += [] if nested is None else [nested]
        elif f.operator == FilterOperator.IS_EMPTY:
            parts.append({"$or": [{f.key: {"$exists": False}}, {f.key: None}, {f.key: ""}, {f.key: []}]})
        elif f.operator in _OPERATORS:
            parts.append({f.key: {_OPERATORS[f.operator]: f.value}})
        else:
            raise ValueError(f"filter on {f.key!r}: operator {f.operator.value!r} cannot be expressed in orvex "
                             f"(supported: {', '.join(op.value for op in [*_OPERATORS, FilterOperator.IS_EMPTY])})")
    if not parts:
        return None
    if filters.condition == FilterCondition.NOT:
        return {"$not": {"$or": parts}}
    return {"$or" if filters.condition == FilterCondition.OR else "$and": parts}


class OrvexVectorStore(BasePydanticVectorStore):
    """A LlamaIndex vector store kept in an orvex ``Index`` (``path=None``) or a
    ``Collection`` at ``path``. ``metric``: "cosine", "euclidean" or "dot". The
    dimension is that of the first embedding added or queried; an existing
    collection needs ``dimension`` to be read before that."""

    stores_text: bool = True
    flat_metadata: bool = False
    path: str | None = None
    metric: str = "cosine"
    dimension: int | None = None
    _store: DocumentStore = PrivateAttr()

    def __init__(self, path: str | os.PathLike | None = None, metric: str = "cosine", dimension: int | None = None,
                 **kwargs: Any) -> None:
        super().__init__(path=None if path is None else os.fspath(path), metric=metric, dimension=dimension,
                         **kwargs)
        self._store = DocumentStore(metric, self.path, dimension)

    @classmethod
    def class_name(cls) -> str:
        return "OrvexVectorStore"

    @property
    def client(self) -> Any:
        """The orvex Index or Collection (None before anything is stored)."""
        return self._store.opened()

    def close(self) -> None:
        """Flush and release an on-disk store's collection (it reopens on next use)."""
        self._store.close()

    def add(self, nodes: list[BaseNode], **kwargs: Any) -> list[str]:
        ids = check_ids([node.node_id for node in nodes], "node ids")
        payloads = []
        for node in nodes:
            # (a copy without the embedding, which LlamaIndex would serialise and drop)
            payload = node_to_metadata_dict(node.model_copy(update={"embedding": None}), remove_text=False,
                                            flat_metadata=self.flat_metadata)
            payload.update((k, v) for k, v in node.metadata.items() if k not in _NODE_KEYS)
            payloads.append(payload)
        self._store.put(ids, [node.embedding for node in nodes], payloads)
        return ids

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        self._store.delete_where({"ref_doc_id": ref_doc_id})

    def delete_nodes(self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None,
                     **delete_kwargs: Any) -> None:
        """Delete the nodes of ``node_ids`` that match ``filters``; given neither, nothing."""
        if node_ids is not None or filters is not None:
            self._store.delete_where(self._where(node_ids, filters))

    def clear(self) -> None:
        self._store.clear()

    def get_nodes(self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None) -> list[BaseNode]:
        if filters is None and node_ids is not None:
            return [metadata_dict_to_node(payload) for _, payload in self._store.get(node_ids, "node_ids")]
        return [metadata_dict_to_node(payload) for _, payload in self._store.find(self._where(node_ids, filters))]

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        if query.mode != VectorStoreQueryMode.DEFAULT:
            raise ValueError(f"query mode {VectorStoreQueryMode(query.mode).value!r} is not supported (only 'default')")
        if query.query_embedding is None:
            raise ValueError("the query has no embedding")
        # An empty list of node or document ids is no restriction, as LlamaIndex's retrievers pass it.
        hits = self._store.search(query.query_embedding, query.similarity_top_k,
                                  self._where(query.node_ids or None, query.filters, query.doc_ids or None))
        cosine = self.metric == "cosine"
        return VectorStoreQueryResult(nodes=[metadata_dict_to_node(payload) for _, _, payload in hits],
                                      similarities=[1.0 - d if cosine else -d for _, d, _ in hits],
                                      ids=[payload[ID_KEY] for _, _, payload in hits])

    @staticmethod
    def _where(node_ids: list[str] | None, filters: MetadataFilters | None,
               doc_ids: list[str] | None = None) -> dict[str, Any] | None:
        parts = [] if node_ids is None else [{ID_KEY: {"$in": check_ids(node_ids, "node_ids")}}]
        parts += [] if doc_ids is None else [{"ref_doc_id": {"$in": list(doc_ids)}}]
        where = None if filters is None else to_where(filters)
        parts += [] if where is None else [where]
        return None if not parts else parts[0] if len(parts) == 1 else {"$and": parts}
