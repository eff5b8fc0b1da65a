"""Typed interface of the extension module ``orvex._orvex``."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer

_Vector = Sequence[SupportsFloat | SupportsIndex] | bytes | Buffer
_Ids = Sequence[SupportsIndex] | Buffer
_Vectors = Sequence[_Vector] | Buffer
_Results = list[tuple[int, float]]

@final
class Index:
    """In-memory brute-force vector index.

    This index stores all vectors in memory and performs exhaustive search
    for exact nearest neighbors.
    """

    def __new__(cls, metric: str, dimension: SupportsIndex) -> Index: ...
    def insert(self, id: SupportsIndex, vector: _Vector) -> None:
        """Insert a vector into the index.

        Args:
            id (int): Unique identifier for the vector.
            vector (list[float]): The vector data.
        """

    def search(self, query: _Vector, k: SupportsIndex) -> _Results:
        """Search for nearest neighbors.

        Args:
            query (list[float]): The query vector.
            k (int): Number of neighbors to return.

        Returns:
            list[tuple[int, float]]: List of (id, distance) tuples.
        """

    def insert_batch(self, ids: _Ids, vectors: _Vectors) -> None:
        """Insert multiple vectors at once.

        Args:
            ids (list[int]): List of unique identifiers.
            vectors (list[list[float]]): List of vectors.
        """

    def search_batch(self, queries: _Vectors, k: SupportsIndex) -> list[_Results]:
        """Search for nearest neighbors for multiple queries.

        Args:
            queries (list[list[float]]): List of query vectors.
            k (int): Number of neighbors per query.

        Returns:
            list[list[tuple[int, float]]]: Results for each query.
        """

@final
class Collection:
    """Persistent vector collection backed by disk storage.

    Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection
    for durability. Supports crash recovery.
    """

    @staticmethod
    def open_or_create(path: str, dimension: SupportsIndex, metric: str) -> Collection:
        """Open an existing collection or create a new one.

        Args:
            path (str): File system path for the collection.
            dimension (int): Dimension of the vectors (must match existing).
            metric (str): Distance metric ("cosine", "euclidean", "dot").
        """

    def insert(self, id: SupportsIndex, vector: _Vector) -> None:
        """Insert a vector into the collection.

        Args:
            id (int): Unique identifier.
            vector (list[float]): Vector data.
        """

    def search(self, query: _Vector, k: SupportsIndex) -> _Results:
        """Search for nearest neighbors.

        Args:
            query (list[float]): Query vector.
            k (int): Number of results.

        Returns:
            list[tuple[int, float]]: List of (id, distance) tuples.
        """

    def insert_batch(self, ids: _Ids, vectors: _Vectors) -> None:
        """Insert multiple vectors at once.

        Args:
            ids (list[int]): List of unique identifiers.
            vectors (list[list[float]]): List of vectors.
        """

    def search_batch(self, queries: _Vectors, k: SupportsIndex) -> list[_Results]:
        """Search for nearest neighbors for multiple queries.

        Args:
            queries (list[list[float]]): List of query vectors.
            k (int): Number of neighbors per query.

        Returns:
            list[list[tuple[int, float]]]: Results for each query.
        """

    def flush(self) -> None:
        """Flush all pending writes to disk (checkpoint).

        This ensures all data is durable and truncates the WAL.
        """
