"""Typed interface of the extension module ``orvex._orvex``."""

from collections.abc import Sequence
from types import TracebackType
from typing import Any, Literal, SupportsFloat, SupportsIndex, final

import numpy as np
from typing_extensions import Buffer, Self

_Vector = Sequence[SupportsFloat | SupportsIndex] | bytes | Buffer
_Ids = Sequence[SupportsIndex] | Buffer
_Vectors = Sequence[_Vector] | Buffer
_Results = list[tuple[int, float]]
_PayloadResults = list[tuple[int, float, dict[str, Any]]]
_Json = None | bool | int | float | str | Sequence["_Json"] | dict[str, "_Json"]
_Payload = dict[str, _Json] | None
_Where = dict[str, Any]
_NumpyResults = tuple[np.ndarray, np.ndarray, np.ndarray]

@final
class Index:
    """In-memory brute-force vector index.

    This index stores all vectors in memory and performs exhaustive search
    for exact nearest neighbors.
    """

    def __new__(cls, metric: str, dimension: SupportsIndex) -> Index: ...
    def insert(self, id: SupportsIndex, vector: _Vector, *, payload: _Payload = None) -> None:
        """Insert a vector into the index.

        Args:
            id (int): Unique identifier for the vector.
            vector (list[float]): The vector data.

        Keyword Args:
            payload (dict | None): Data stored with the vector: a dict with str keys
                whose values are None, bool, int, finite float, str, or lists, tuples
                and dicts of these.
        """

    def search(
        self, query: _Vector, k: SupportsIndex, *, where: _Where | None = None, with_payload: bool = False
    ) -> _Results | _PayloadResults:
        """Search for nearest neighbors.

        Args:
            query (list[float]): The query vector.
            k (int): Number of neighbors to return.

        Returns:
            list[tuple[int, float]]: List of (id, distance) tuples.

        Keyword Args:
            where (dict | None): Only vectors whose payload matches, e.g.
                {"color": "red"} or {"price": {"$lt": 10}}; operators $eq $ne
                $gt $gte $lt $lte $in $nin $contains $exists, combinators $and $or
                $not; several keys must all match.
            with_payload (bool): Return (id, distance, payload) triples.
        """

    def insert_batch(self, ids: _Ids, vectors: _Vectors, *, payloads: Sequence[_Payload] | None = None) -> None:
        """Insert multiple vectors at once.

        Args:
            ids (list[int]): List of unique identifiers.
            vectors (list[list[float]]): List of vectors.

        Keyword Args:
            payloads (list[dict | None] | None): One payload (or None) per id.
        """

    def search_batch(
        self,
        queries: _Vectors,
        k: SupportsIndex,
        *,
        where: _Where | None = None,
        with_payload: bool = False,
        as_numpy: bool = False,
        threads: SupportsIndex = 1,
    ) -> list[_Results] | list[_PayloadResults] | _NumpyResults:
        """Search for nearest neighbors for multiple queries.

        Args:
            queries (list[list[float]]): List of query vectors.
            k (int): Number of neighbors per query.

        Returns:
            list[list[tuple[int, float]]]: Results for each query.

        Keyword Args:
            where (dict | None): Only vectors whose payload matches, e.g.
                {"color": "red"} or {"price": {"$lt": 10}}; operators $eq $ne
                $gt $gte $lt $lte $in $nin $contains $exists, combinators $and $or
                $not; several keys must all match.
            with_payload (bool): Return (id, distance, payload) triples.
            as_numpy (bool): Return (ids, distances, counts): uint64 and float32
                arrays of shape (len(queries), min(k, len(self))), rows padded with
                id 2**64 - 1 and distance inf, and the int64 count of each row.
        """


    def delete(self, id: SupportsIndex) -> bool:
        """Delete a vector.

        Returns:
            bool: True if the id was held; False (and nothing written) otherwise.
        """

    def delete_batch(self, ids: _Ids) -> int:
        """Delete several vectors.

        Returns:
            int: How many of the ids were held.
        """

    def get(self, id: SupportsIndex) -> tuple[list[float], dict[str, Any]] | None:
        """Read a stored vector back.

        Returns:
            tuple[list[float], dict] | None: The vector and its payload, or None.
        """

    def ids(self) -> list[int]:
        """The held ids, ascending."""

    def create_index(self, key: str) -> None:
        """Index the top-level payload key `key`: equality, in-list and numeric range
        filters on it then read only the entries they select.

        The index maps each scalar value of the key (null, booleans, numbers,
        strings; 1 and 1.0 are different values) to its entries, about 4 bytes an
        entry holding the key, and is kept up to date by every change; entries
        holding an array or an object there are matched as without an index. An
        index already held is kept. A Collection records the key and rebuilds
        the index when opened. Raises ValueError beyond 32 indexed keys.
        """

    def drop_index(self, key: str) -> bool:
        """Drop the index of `key`; False when there was none."""

    def indexes(self) -> list[str]:
        """The indexed payload keys, ascending."""

    def __len__(self) -> int: ...
    def __contains__(self, id: object) -> bool: ...

@final
class Collection:
    """Persistent vector collection backed by disk storage.

    Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection
    for durability. Supports crash recovery.
    """

    @staticmethod
    def open_read_only(path: str) -> Collection:
        """Open an existing collection for searching beside its writer.

        Any number of readers, in this process or others, may have a
        collection open beside at most one writer (open_or_create). A reader
        holds a snapshot: the writer's changes up to some instant, in the
        writer's order; refresh() moves it on. Every changing call raises
        OSError "collection is read-only".

        Raises:
            OSError: No collection at path, or a damaged one.
        """

    def refresh(self) -> int:
        """Move a reader's snapshot to the writer's latest state on disk;
        returns the number of changes applied (0 for a writer)."""

    @staticmethod
    def open_or_create(path: str, dimension: SupportsIndex, metric: str) -> Collection:
        """Open an existing collection or create a new one.

        Args:
            path (str): File system path for the collection.
            dimension (int): Dimension of the vectors (must match existing).
            metric (str): Distance metric ("cosine", "euclidean", "dot").
        """

    @staticmethod
    def verify(path: str) -> dict[str, Any]:
        """Read every byte of the collection at path and change nothing.

        Args:
            path (str): The collection's directory (not open elsewhere).

        Returns:
            dict: "ok" and, per file ("wal.log", "data.ovx", "data.ovx.sum",
            "meta.json"), whether it is whole, the offset and kind of the first
            damage, the frames or records before it and any torn tail.
        """

    @staticmethod
    def repair(path: str, *, dimension: SupportsIndex | None = None, metric: str | None = None) -> dict[str, Any]:
        """Point-in-time repair: keep what precedes the first damage, set the rest aside.

        The log keeps its whole frames before the first damaged one; the rest goes
        to wal.log.damaged-<offset>. Damaged records of the data file, and records
        written for frames set aside, go to data.ovx.damaged-<offset>. A damaged
        meta.json is rebuilt. Nothing is deleted; running it again is safe.

        Args:
            path (str): The collection's directory (not open elsewhere).

        Keyword Args:
            dimension (int | None): For rebuilding meta.json when no record tells it.
            metric (str | None): For rebuilding meta.json when it cannot be read.

        Returns:
            dict: Per file, what was kept and what was set aside (and where), and
            "ok": whether verify finds the result whole.
        """

    def insert(self, id: SupportsIndex, vector: _Vector, *, payload: _Payload = None) -> None:
        """Insert a vector into the collection.

        Args:
            id (int): Unique identifier.
            vector (list[float]): Vector data.

        Keyword Args:
            payload (dict | None): Data stored with the vector: a dict with str keys
                whose values are None, bool, int, finite float, str, or lists, tuples
                and dicts of these.
        """

    def search(
        self, query: _Vector, k: SupportsIndex, *, where: _Where | None = None, with_payload: bool = False
    ) -> _Results | _PayloadResults:
        """Search for nearest neighbors.

        Args:
            query (list[float]): Query vector.
            k (int): Number of results.

        Returns:
            list[tuple[int, float]]: List of (id, distance) tuples.

        Keyword Args:
            where (dict | None): Only vectors whose payload matches, e.g.
                {"color": "red"} or {"price": {"$lt": 10}}; operators $eq $ne
                $gt $gte $lt $lte $in $nin $contains $exists, combinators $and $or
                $not; several keys must all match.
            with_payload (bool): Return (id, distance, payload) triples.
        """

    def insert_batch(
        self, ids: _Ids, vectors: _Vectors, *, payloads: Sequence[_Payload] | None = None, threads: int | None = None
    ) -> None:
        """Insert multiple vectors at once.

        A batch is one write to the log, forced once at its end; a large one goes
        straight to the data file between two flushes, durable when the call returns.
        The first item that fails stops it: the items before it stay.

        Args:
            ids (list[int]): List of unique identifiers.
            vectors (list[list[float]]): List of vectors.

        Keyword Args:
            payloads (list[dict | None] | None): One payload (or None) per id.
            threads (int | None): Cores that encode the log (None or 0: every core
                for a large batch).
        """

    def search_batch(
        self,
        queries: _Vectors,
        k: SupportsIndex,
        *,
        where: _Where | None = None,
        with_payload: bool = False,
        as_numpy: bool = False,
        threads: SupportsIndex = 1,
    ) -> list[_Results] | list[_PayloadResults] | _NumpyResults:
        """Search for nearest neighbors for multiple queries.

        Args:
            queries (list[list[float]]): List of query vectors.
            k (int): Number of neighbors per query.

        Returns:
            list[list[tuple[int, float]]]: Results for each query.

        Keyword Args:
            where (dict | None): Only vectors whose payload matches, e.g.
                {"color": "red"} or {"price": {"$lt": 10}}; operators $eq $ne
                $gt $gte $lt $lte $in $nin $contains $exists, combinators $and $or
                $not; several keys must all match.
            with_payload (bool): Return (id, distance, payload) triples.
            as_numpy (bool): Return (ids, distances, counts): uint64 and float32
                arrays of shape (len(queries), min(k, len(self))), rows padded with
                id 2**64 - 1 and distance inf, and the int64 count of each row.
        """

    def flush(self) -> None:
        """Flush all pending writes to disk (checkpoint).

        This ensures all data is durable and truncates the WAL.
        """

    def delete(self, id: SupportsIndex) -> bool:
        """Delete a vector.

        Returns:
            bool: True if the id was held; False (and nothing written) otherwise.
        """

    def delete_batch(self, ids: _Ids) -> int:
        """Delete several vectors.

        Returns:
            int: How many of the ids were held.
        """

    def get(self, id: SupportsIndex) -> tuple[list[float], dict[str, Any]] | None:
        """Read a stored vector back.

        Returns:
            tuple[list[float], dict] | None: The vector and its payload, or None.
        """

    def ids(self) -> list[int]:
        """The held ids, ascending."""

    def create_index(self, key: str) -> None:
        """Index the top-level payload key `key`: equality, in-list and numeric range
        filters on it then read only the entries they select.

        The index maps each scalar value of the key (null, booleans, numbers,
        strings; 1 and 1.0 are different values) to its entries, about 4 bytes an
        entry holding the key, and is kept up to date by every change; entries
        holding an array or an object there are matched as without an index. An
        index already held is kept. A Collection records the key and rebuilds
        the index when opened. Raises ValueError beyond 32 indexed keys.
        """

    def drop_index(self, key: str) -> bool:
        """Drop the index of `key`; False when there was none."""

    def indexes(self) -> list[str]:
        """The indexed payload keys, ascending."""

    def __len__(self) -> int: ...
    def __contains__(self, id: object) -> bool: ...

    def sync(self) -> None:
        """Force the write-ahead log to stable storage.

        Every insertion and deletion acknowledged so far becomes durable, without
        a checkpoint.
        """

    def compact(self) -> int:
        """Flush, then rewrite the data file with only the live records.

        Returns:
            int: The bytes reclaimed.
        """

    def stats(self) -> dict[str, Any]:
        """Counts and sizes: vectors, dead_records, data_bytes, log_bytes,
        indexes (the bytes each payload index holds, by key) and read_only. A
        reader counts no dead records and gives the bytes it has read."""

    def close(self) -> None:
        """Flush, then release the files and the directory.

        Any later call raises ValueError; a second close does nothing. If the
        flush fails, its error is raised and the collection stays open.
        """

    def __enter__(self) -> Self: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Literal[False]: ...
