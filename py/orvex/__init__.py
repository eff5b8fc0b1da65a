"""orvex: an embedded vector database with exact nearest-neighbour search.

``Index`` keeps vectors in memory; ``Collection`` keeps them in a directory on
disk, protected by a write-ahead log. ``orvex.ray.ShardedCollection`` (with Ray
installed) splits a collection into shards held by Ray actors.
"""

from ._orvex import Collection, Index

__all__ = ["Index", "Collection", "__version__"]
__version__ = "0.1.0"
