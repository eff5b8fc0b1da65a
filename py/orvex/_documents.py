"""Documents under string ids in an Index or a Collection: what the LangChain and
LlamaIndex adapters share. Imports no framework.

A document is stored under the u64 id made of the first 8 bytes of the BLAKE2b
hash of its string id, and its payload keeps the string id under ``ID_KEY``.
A second string id with the same hash is refused when it is added (never
written over the first), and every read compares the stored string id with the
one asked for. A batch is checked whole before anything is written: an error
stores nothing.
"""

from __future__ import annotations

import hashlib
import os
import re
import threading
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from . import Collection, Index

ID_KEY = "_orvex_id"
METRICS = ("cosine", "euclidean", "dot")
_PAYLOAD_ERROR = re.compile(r"^payloads\[(\d+)\]")


def key_of(doc_id: str) -> int:
    """The u64 id a string id is stored under."""
    digest = hashlib.blake2b(doc_id.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "little")


def check_ids(ids: Sequence[Any], what: str = "ids") -> list[str]:
    ids = list(ids)
    for i, doc_id in enumerate(ids):
        if not isinstance(doc_id, str):
            raise TypeError(f"{what}[{i}]: a document id must be a str, not {type(doc_id).__name__!r}")
    return ids


class DocumentStore:
    """An Index (``path=None``) or a Collection at ``path``, opened with the dimension
    of the first vector it is given unless ``dimension`` is known. ``probe`` (if
    any) tells the dimension when a read must open an existing collection first."""

    def __init__(self, metric: str = "cosine", path: str | os.PathLike | None = None,
                 dimension: int | None = None, probe: Callable[[], int] | None = None):
        if metric not in METRICS:
            raise ValueError(f"metric must be one of {', '.join(METRICS)}, not {metric!r}")
        self.metric, self.path, self.dimension, self._probe = metric, path, dimension, probe
        self.target: Index | Collection | None = None
        self._lock = threading.RLock()
        if dimension is not None:
            self.open(dimension)

    def open(self, dimension: int) -> Index | Collection:
        with self._lock:
            if self.target is None:
                self.target = (Index(self.metric, dimension) if self.path is None
                               else Collection.open_or_create(os.fspath(self.path), dimension, self.metric))
                self.dimension = dimension
            return self.target

    def opened(self) -> Index | Collection | None:
        """The store, opening an existing collection first; None while nothing is stored."""
        if self.target is None and self.path is not None and os.path.exists(self.path):
            if self.dimension is None and self._probe is None:
                raise ValueError(f"{os.fspath(self.path)!r} holds a collection: pass dimension= to open it "
                                 "before adding or searching")
            self.open(self.dimension if self.dimension is not None else self._probe())
        return self.target

    def close(self) -> None:
        """Flush and release a collection (it reopens on next use); an Index stays."""
        with self._lock:
            if isinstance(self.target, Collection):
                self.target.close()
                self.target = None

    def __len__(self) -> int:
        target = self.opened()
        return 0 if target is None else len(target)

    def _matrix(self, vectors: Sequence[Any], ids: list[str]) -> np.ndarray:
        """The embeddings as one float32 array, or an error naming the first bad one."""
        if len(vectors) == 0:
            return np.zeros((0, self.dimension or 1), np.float32)
        try:
            matrix = np.asarray(vectors, dtype=np.float32)
            if matrix.ndim == 2 and matrix.shape[1] == (self.dimension or matrix.shape[1]) and np.isfinite(matrix).all():
                return matrix
        except (TypeError, ValueError):
            pass  # uneven rows or a None: found below
        dimension = self.dimension
        for i, vector in enumerate(vectors):
            if vector is None:
                raise ValueError(f"document {i} (id {ids[i]!r}): no embedding")
            row = np.asarray(vector, dtype=np.float32)
            dimension = row.size if dimension is None else dimension
            if row.ndim != 1 or row.size != dimension:
                raise ValueError(f"document {i} (id {ids[i]!r}): the embedding has {row.size} components, "
                                 f"the store holds {dimension}")
            if not np.isfinite(row).all():
                raise ValueError(f"document {i} (id {ids[i]!r}): the embedding has a component that is not finite")
        raise ValueError("the embeddings are not a list of vectors")

    def put(self, ids: list[str], vectors: Sequence[Any], payloads: list[dict[str, Any]]) -> None:
        """Store or replace documents; ``payloads`` get the string ids added."""
        if not len(ids) == len(vectors) == len(payloads):
            raise ValueError(f"{len(ids)} ids, {len(vectors)} embeddings and {len(payloads)} payloads")
        for i, payload in enumerate(payloads):
            if ID_KEY in payload:
                raise ValueError(f"document {i} (id {ids[i]!r}): metadata key {ID_KEY!r} is reserved")
            payload[ID_KEY] = ids[i]
        all_keys = [key_of(doc_id) for doc_id in ids]
        last = dict(zip(all_keys, range(len(ids))))  # an id given twice: the last one wins
        for doc_id, k in zip(ids, all_keys):
            if ids[last[k]] != doc_id:
                raise ValueError(f"ids {doc_id!r} and {ids[last[k]]!r} hash to the same key; nothing was stored")
        rows = sorted(last.values())
        with self._lock:
            self.opened()
            matrix = self._matrix([vectors[i] for i in rows], [ids[i] for i in rows])
            if not rows:
                return
            target = self.open(matrix.shape[1])
            keys = [all_keys[i] for i in rows]
            held = [k for k in keys if k in target]
            for k, stored in zip(held, (target.get(k)[1].get(ID_KEY) for k in held)):
                if stored != ids[last[k]]:
                    raise ValueError(f"id {ids[last[k]]!r} hashes to the key of the stored id {stored!r}; "
                                     "nothing was stored")
            old = [(k, *target.get(k)) for k in held] if isinstance(target, Index) else []
            if old:
                target.delete_batch([k for k, _, _ in old])  # an Index does not replace in place
            try:
                target.insert_batch(np.array(keys, np.uint64), matrix, payloads=[payloads[i] for i in rows])
            except (TypeError, ValueError) as e:
                if old:
                    target.insert_batch([k for k, _, _ in old], [v for _, v, _ in old], payloads=[p for *_, p in old])
                found = _PAYLOAD_ERROR.match(str(e))
                if found is None:
                    raise
                i = rows[int(found.group(1))]
                raise type(e)(f"document {i} (id {ids[i]!r}): metadata{str(e)[found.end():]}") from None

    def get(self, ids: Sequence[str], what: str = "ids") -> list[tuple[int, dict[str, Any]]]:
        """(key, payload) of each id held, in the order asked."""
        target = self.opened()
        found = []
        for doc_id in check_ids(ids, what):
            got = None if target is None else target.get(key_of(doc_id))
            if got is not None and got[1].get(ID_KEY) == doc_id:
                found.append((key_of(doc_id), got[1]))
        return found

    def vectors(self, keys: Sequence[int]) -> np.ndarray:
        return np.array([self.target.get(k)[0] for k in keys], np.float32).reshape(len(keys), -1)

    def delete(self, ids: Sequence[str]) -> int:
        with self._lock:
            keys = [k for k, _ in self.get(ids)]
            return self.target.delete_batch(keys) if keys else 0

    def delete_where(self, where: dict[str, Any] | None) -> int:
        with self._lock:
            keys = [k for k, _ in self.find(where)]
            return self.target.delete_batch(keys) if keys else 0

    def search(self, vector: Sequence[float], k: int, where: dict[str, Any] | None = None
               ) -> list[tuple[int, float, dict[str, Any]]]:
        """(key, distance, payload) of the k nearest, nearest first."""
        if where is not None and not isinstance(where, dict):
            raise TypeError(f"filter: expected a dict of orvex conditions, not {type(where).__name__!r}")
        query = np.asarray(vector, dtype=np.float32)
        target = self.opened()
        if self.dimension is not None and (query.ndim != 1 or query.size != self.dimension):
            raise ValueError(f"the query embedding has {query.size} components, the store holds {self.dimension}")
        if target is None or k <= 0:
            return []
        return target.search(query, k, where=where, with_payload=True)

    def find(self, where: dict[str, Any] | None) -> list[tuple[int, dict[str, Any]]]:
        """(key, payload) of every document matching ``where``."""
        target = self.opened()
        if target is None or len(target) == 0:
            return []
        hits = target.search(np.zeros(self.dimension, np.float32), len(target), where=where, with_payload=True)
        return [(key, payload) for key, _, payload in hits]

    def clear(self) -> None:
        with self._lock:
            target = self.opened()
            if target is not None:
                target.delete_batch(target.ids())
