"""A collection spread over Ray actors: each shard is an ordinary ``Collection`` directory.

``ShardedCollection.open_or_create(path, dimension, metric, shards=N)`` starts N actors; actor i owns
``<path>/shard-000i`` on the node it runs on, next to a manifest (``<path>/shards.json``) that fixes N,
the dimension and the routing. An id always lives in shard ``splitmix64(id) % N``, on every machine and
in every run. Searches go to every shard and the k nearest of each are merged: the result is the one
a single ``Collection`` holding every vector returns, bit for bit (ties by id, NaN distances last).
"""

import collections
import json
import operator
import os
from itertools import chain

try:
    import ray
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy
except ImportError as e:
    raise ImportError('orvex.ray needs Ray: pip install "orvex[ray]"') from e

import numpy as np

from ._orvex import Collection, Index
from ._progress import _Progress

__all__ = ["ShardedCollection"]

MANIFEST = "shards.json"
ROUTING = "splitmix64(id) % shards"
_U64 = np.uint64


def _shard_of(ids, shards):
    """The shard of each id (a uint64 array): the splitmix64 finaliser of the id, modulo the shard count."""
    z = ids + _U64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> _U64(30))) * _U64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> _U64(27))) * _U64(0x94D049BB133111EB)
    return ((z ^ (z >> _U64(31))) % _U64(shards)).astype(np.intp)


def _as_ids(ids):
    if isinstance(ids, np.ndarray) and ids.dtype.kind in "iu":
        if ids.dtype.kind == "i" and (ids < 0).any():
            raise OverflowError("argument 'ids': can't convert negative int to unsigned")
        return ids.reshape(-1).astype(np.uint64)
    try:
        return np.fromiter((operator.index(i) for i in ids), np.uint64)
    except TypeError as e:
        raise TypeError(f"argument 'ids': {e}") from None


def _read_manifest(path):
    try:
        with open(os.path.join(path, MANIFEST), encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    try:
        manifest = json.loads(text)
        return manifest if manifest["routing"] == ROUTING and {"shards", "dimension"} <= manifest.keys() else {}
    except (ValueError, TypeError, KeyError):
        return {}


def _write_manifest(path, manifest, tag):
    """Replaces the manifest atomically: a temporary file, synced, renamed over it, the directory synced."""
    target, tmp = os.path.join(path, MANIFEST), os.path.join(path, f".{MANIFEST}.{tag}")
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(manifest, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, target)
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class _Shard:
    """One shard, in its own actor: a Collection directory on this node. A (re)started actor opens its
    directory if the node holds the manifest; only `create` makes a new one. A reader's shard opens it
    read-only; given no shard count, it takes the count and the dimension from the manifest."""

    def __init__(self, path, number, shards, dimension, metric, read_only=False):
        self.path, self.number, self.shards, self.dimension, self.metric = path, number, shards, dimension, metric
        self.dir, self.read_only = os.path.join(path, f"shard-{number:04d}"), read_only
        self.col, self.error = None, None
        if read_only or os.path.exists(os.path.join(path, MANIFEST)):
            try:
                self._open()
            except Exception as e:  # noqa: BLE001 - reported by every later call
                self.error = e

    def _open(self):
        manifest = _read_manifest(self.path)
        if manifest == {}:
            raise ValueError(f"{os.path.join(self.path, MANIFEST)} is not a sharded collection manifest")
        if manifest is None and self.read_only:
            raise FileNotFoundError(f"no sharded collection at {self.path}: {MANIFEST} is missing")
        if manifest is not None:
            if self.shards is None:
                self.shards, self.dimension = manifest["shards"], manifest["dimension"]
            if (manifest["shards"], manifest["dimension"]) != (self.shards, self.dimension):
                raise ValueError(f"{self.path} holds a sharded collection of {manifest['shards']} shards of "
                                 f"dimension {manifest['dimension']}; asked for {self.shards} shards of "
                                 f"dimension {self.dimension}")
            if not os.path.isdir(self.dir):
                raise FileNotFoundError(f"shard directory missing: {self.dir} (a shard is made once, with the "
                                        "sharded collection)")
        if self.read_only:
            self.col = Collection.open_read_only(self.dir)
            return
        col = Collection.open_or_create(self.dir, self.dimension, self.metric)
        if manifest is None and len(col):
            col.close()
            raise ValueError(f"{self.dir} holds vectors but {self.path} has no {MANIFEST}: not adopted")
        self.col = col

    def opened(self):
        """Whether the directory was opened at the start (the manifest was there); its error otherwise."""
        if self.error is not None:
            raise self.error
        return self.col is not None

    def layout(self):
        return self.shards, self.dimension

    def create(self):
        os.makedirs(self.path, exist_ok=True)
        self._open()

    def seal(self):
        manifest = {"shards": self.shards, "dimension": self.dimension, "routing": ROUTING}
        if _read_manifest(self.path) != manifest:
            _write_manifest(self.path, manifest, self.number)

    def call(self, method, *args, **kwargs):
        if self.col is None:
            raise self.error or ValueError("shard is not open")
        return getattr(self.col, method)(*args, **kwargs)

    @ray.method(max_task_retries=10)
    def read(self, method, *args, **kwargs):
        """A call that changes nothing: Ray sends it again to the restarted actor if the actor dies under it."""
        return self.call(method, *args, **kwargs)


_ShardActor = ray.remote(_Shard)
_READS = {"search", "search_batch", "get", "__contains__", "__len__", "ids", "stats"}
_CHANGES = {"insert", "insert_batch", "delete", "delete_batch", "flush", "sync", "compact"}


def _send(actor, method, *args, **kwargs):
    return (actor.read if method in _READS else actor.call).remote(method, *args, **kwargs)


def _gather(refs):
    """Waits for every call, then returns their results, or raises the first failure as the shard raised it."""
    results, error = [], None
    for ref in refs:
        try:
            results.append(ray.get(ref))
        except ray.exceptions.RayTaskError as e:
            error = error or e.cause
        except ray.exceptions.RayError as e:
            error = error or e
    if error is not None:
        raise error
    return results


def _sort_key(hit):
    """Distance (NaN last, -0.0 equal to 0.0), then id."""
    return (hit[1] != hit[1], 0.0 if hit[1] != hit[1] else hit[1], hit[0])


def _merge(hit_lists, k):
    return sorted(chain.from_iterable(hit_lists), key=_sort_key)[:k]


def _merge_arrays(parts, k):
    """Merges the shards' (ids, distances, counts) into the array form of one collection's answer."""
    ids = np.concatenate([p[0] for p in parts], axis=1)
    dists = np.concatenate([p[1] for p in parts], axis=1)
    pad = np.concatenate([np.arange(p[0].shape[1]) >= p[2][:, None] for p in parts], axis=1)
    width = min(k, ids.shape[1])
    order = np.lexsort((ids, dists, pad), axis=-1)[:, :width]
    counts = np.minimum(sum(p[2] for p in parts), width).astype(np.int64)
    return np.take_along_axis(ids, order, 1), np.take_along_axis(dists, order, 1), counts


class ShardedCollection:
    """A collection split into shards held by Ray actors, one Collection directory each.

    Ids are routed by a fixed hash; searches are answered by every shard and merged into exactly the
    answer of one Collection holding all the vectors. Durability is each shard's: an insertion spanning
    shards is not atomic across them.
    """

    def __init__(self, path, dimension, actors, read_only=False):
        self.path, self.dimension, self._actors, self._read_only = path, dimension, tuple(actors), read_only

    @classmethod
    def open_or_create(cls, path, dimension, metric, *, shards, nodes=None, max_restarts=-1, actor_options=None):
        """Open a sharded collection, or create it with its shards.

        Args:
            path (str): Directory of the manifest and the shard directories, on every node holding shards.
            dimension (int): Dimension of the vectors (must match existing).
            metric (str): Distance metric ("cosine", "euclidean", "dot").

        Keyword Args:
            shards (int): Number of shards (must match existing).
            nodes (list[str] | None): Ray node ids or addresses; shard i runs on nodes[i % len(nodes)].
                None: every shard on this process's node.
            max_restarts (int): How often Ray restarts a dead shard actor on its node (-1: always).
            actor_options (dict | None): More options for the actors (num_cpus, memory, ...).
        """
        path, dimension, shards = os.path.abspath(os.fspath(path)), operator.index(dimension), operator.index(shards)
        if shards < 1:
            raise ValueError("shards must be at least 1")
        start = _starter(nodes, max_restarts, actor_options)
        actors = [start(path, i, shards, dimension, metric) for i in range(shards)]
        try:
            opened = _gather([a.opened.remote() for a in actors])
            if not any(opened):
                _gather([a.create.remote() for a in actors])
                _gather([a.seal.remote() for a in actors])
            elif not all(opened):
                missing = os.path.join(path, f"shard-{opened.index(False):04d}")
                raise FileNotFoundError(f"shard directory missing: {missing} (a shard is made once, with the "
                                        "sharded collection)")
        except BaseException:
            for a in actors:
                ray.kill(a, no_restart=True)
            raise
        return cls(path, dimension, actors)

    @classmethod
    def open_read_only(cls, path, *, nodes=None, max_restarts=-1, actor_options=None):
        """Open an existing sharded collection for searching beside its writer.

        Each shard actor opens its shard with Collection.open_read_only; the shard count and the dimension
        come from the manifest. refresh() moves every shard to its writer's latest state; every changing
        call raises OSError "collection is read-only".

        Args:
            path (str): Directory of the manifest and the shard directories, on every node holding shards.

        Keyword Args:
            nodes (list[str] | None): As for open_or_create: shard i runs on nodes[i % len(nodes)].
            max_restarts (int): How often Ray restarts a dead shard actor (-1: always); a restarted one
                opens its shard again, at the latest state.
            actor_options (dict | None): More options for the actors (num_cpus, memory, ...).

        Raises:
            OSError: No sharded collection at path (no manifest), or a shard missing or damaged.
            ValueError: The manifest is not that of a sharded collection.
        """
        path = os.path.abspath(os.fspath(path))
        start = _starter(nodes, max_restarts, actor_options)
        actors = [start(path, 0, None, None, None, True)]  # shard 0 reads the manifest on its node
        try:
            _gather([actors[0].opened.remote()])
            shards, dimension = _gather([actors[0].layout.remote()])[0]
            actors += [start(path, i, shards, dimension, None, True) for i in range(1, shards)]
            _gather([a.opened.remote() for a in actors])
        except BaseException:
            for a in actors:
                ray.kill(a, no_restart=True)
            raise
        return cls(path, dimension, actors, read_only=True)

    def refresh(self):
        """Refresh every shard (see Collection.refresh): each moves to its writer's latest state on disk.

        A search running meanwhile may find some shards refreshed and others not yet.

        Returns:
            int: The changes applied, summed over the shards (0 for a writer).
        """
        return sum(self._all("refresh"))

    @property
    def actors(self):
        """The shard actors, shard 0 first."""
        return self._check()

    def _check(self, method=None):
        """The actors, once `method` is known to be allowed: the collection open, and no change to a reader."""
        if self._actors is None:
            raise ValueError("sharded collection is closed")
        if self._read_only and method in _CHANGES:
            raise OSError("collection is read-only")
        return self._actors

    def _all(self, method, *args, **kwargs):
        return _gather([_send(a, method, *args, **kwargs) for a in self._check(method)])

    def _one(self, id, method, *args, **kwargs):
        """Calls the shard of `id`; an id that is no u64 goes to shard 0, which refuses it as a Collection does."""
        actors = self._check(method)
        try:
            shard = int(_shard_of(np.array([operator.index(id)], np.uint64), len(actors))[0])
        except (TypeError, OverflowError):
            shard = 0
        return _gather([_send(actors[shard], method, id, *args, **kwargs)])[0]

    def _split(self, ids, vectors, payloads=None):
        """(shard, ids, vectors, payloads) per shard with ids, in the batch's order; the vectors and payloads
        are checked first so that a refused batch writes nothing."""
        actors, ids = self._check("insert_batch"), _as_ids(ids)
        dimension, vectors = self.dimension, np.asarray(vectors, np.float32)
        if len(ids) != len(vectors):
            raise ValueError("ids and vectors must have the same length")
        if len(ids) == 0:
            return
        if vectors.ndim != 2 or vectors.shape[1] != dimension:
            got = vectors.shape[1] if vectors.ndim == 2 else vectors[0].size
            raise ValueError(f"dimension mismatch: expected {dimension}, got {got}")
        bad = np.argwhere(~np.isfinite(vectors))
        if len(bad):
            raise ValueError(f"vector {bad[0][0]} component {bad[0][1]} is not finite")
        if payloads is not None:  # the same checks and messages as a store's, on a throwaway index
            Index("dot", 1).insert_batch(np.arange(len(ids), dtype=np.uint64), np.zeros((len(ids), 1), np.float32),
                                         payloads=payloads)
        shard = _shard_of(ids, len(actors))
        order = np.argsort(shard, kind="stable")
        bounds = np.searchsorted(shard[order], np.arange(len(actors) + 1))
        for s in range(len(actors)):
            rows = order[bounds[s]:bounds[s + 1]]
            if len(rows):
                yield s, ids[rows], vectors[rows], None if payloads is None else [payloads[i] for i in rows]

    def _submit(self, shard, ids, vectors, payloads):
        return _send(self._actors[shard], "insert_batch", ids, vectors, payloads=payloads)

    def insert(self, id, vector, *, payload=None):
        self._one(id, "insert", vector, payload=payload)

    def insert_batch(self, ids, vectors, *, payloads=None):
        _gather([self._submit(*part) for part in list(self._split(ids, vectors, payloads))])

    def load(self, chunks, progress=True, *, in_flight=2, total=None):
        """Insert chunks of vectors, streaming them to the shards.

        Args:
            chunks (iterable): (ids, vectors) or (ids, vectors, payloads) tuples, numpy arrays welcome.
            progress (bool): Show a bar (tqdm when installed, else a line on stderr every few seconds).

        Keyword Args:
            in_flight (int): Chunks under way per shard before the next waits.
            total (int | None): The number of vectors, for the bar.

        Returns:
            int: The vectors inserted.
        """
        pending = [collections.deque() for _ in self._check("insert_batch")]
        bar = _Progress(progress, total, "orvex load")
        try:
            for number, chunk in enumerate(chunks):
                if not isinstance(chunk, (tuple, list)) or len(chunk) not in (2, 3):
                    raise TypeError(f"chunk {number}: expected (ids, vectors) or (ids, vectors, payloads)")
                for part in list(self._split(*chunk)):
                    while len(pending[part[0]]) >= in_flight:
                        ref, n = pending[part[0]].popleft()
                        _gather([ref])
                        bar.update(n)
                    pending[part[0]].append((self._submit(*part), len(part[1])))
        except BaseException:
            refs = [ref for q in pending for ref, _ in q]
            if refs:
                ray.wait(refs, num_returns=len(refs))
            raise
        rest = [entry for q in pending for entry in q]
        _gather([ref for ref, _ in rest])
        bar.update(sum(n for _, n in rest), last=True)
        return bar.done

    def delete(self, id):
        return self._one(id, "delete")

    def delete_batch(self, ids):
        actors, ids = self._check("delete_batch"), _as_ids(ids)
        shard = _shard_of(ids, len(actors))
        return sum(_gather([_send(a, "delete_batch", ids[shard == s]) for s, a in enumerate(actors)]))

    def get(self, id):
        return self._one(id, "get")

    def __contains__(self, id):
        return self._one(id, "__contains__")

    def __len__(self):
        return sum(self._all("__len__"))

    def ids(self):
        return sorted(chain.from_iterable(self._all("ids")))

    def search(self, query, k, *, where=None, with_payload=False):
        # One vector travels inside each call: cheaper than putting it in the object store (7 against 13 ms
        # for a round trip to 4 shards on 2 cores), whereas a batch is put there once for all shards.
        return _merge(self._all("search", query, k, where=where, with_payload=with_payload), operator.index(k))

    def search_batch(self, queries, k, *, where=None, with_payload=False, as_numpy=False, **options):
        ref = ray.put(queries)
        parts = self._all("search_batch", ref, k, where=where, with_payload=with_payload,
                          as_numpy=as_numpy or not with_payload, **options)
        k = operator.index(k)
        if with_payload:
            return [_merge(rows, k) for rows in zip(*parts)]
        ids, dists, counts = _merge_arrays(parts, k)
        if as_numpy:
            return ids, dists, counts
        return [list(zip(i[:c].tolist(), d[:c].tolist())) for i, d, c in zip(ids, dists, counts)]

    def flush(self):
        self._all("flush")

    def sync(self):
        self._all("sync")

    def compact(self):
        return sum(self._all("compact"))

    def stats(self):
        """Counts and sizes summed over the shards: vectors, dead_records, data_bytes, log_bytes; and shards."""
        total = collections.Counter()
        for s in self._all("stats"):
            total.update({k: v for k, v in s.items() if k != "indexes"})  # shards index nothing
        return {**total, "shards": len(self._actors)}

    def close(self):
        """Close every shard (each flushes first), then stop the actors.

        Any later call raises ValueError; a second close does nothing. If a shard's flush fails, its error
        is raised once every actor is stopped; that shard recovers from its log when reopened.
        """
        if self._actors is None:
            return
        actors, self._actors = self._actors, None
        try:
            _gather([_send(a, "close") for a in actors])
        finally:
            for a in actors:
                ray.kill(a, no_restart=True)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False


for _name in ["insert", "insert_batch", "delete", "delete_batch", "get", "ids", "search", "search_batch",
              "flush", "sync", "compact"]:
    getattr(ShardedCollection, _name).__doc__ = getattr(Collection, _name).__doc__


def _starter(nodes, max_restarts, actor_options):
    """A function starting shard actor i (given _Shard's arguments) on its node, Ray started if need be."""
    if not ray.is_initialized():
        ray.init()
    placed = _resolve_nodes(nodes)
    options = {"max_restarts": max_restarts, "max_task_retries": 0, **(actor_options or {})}

    def start(path, i, *args):
        return _ShardActor.options(**options, scheduling_strategy=NodeAffinitySchedulingStrategy(
            placed[i % len(placed)], soft=False)).remote(path, i, *args)

    return start


def _resolve_nodes(nodes):
    """Node ids for the shards: each given id or address (of a live node), or this process's node."""
    if nodes is None:
        return [ray.get_runtime_context().get_node_id()]
    live = [n for n in ray.nodes() if n["Alive"]]
    found = []
    for want in nodes:
        match = [n["NodeID"] for n in live if want in (n["NodeID"], n["NodeManagerAddress"], n["NodeManagerHostname"])]
        if not match:
            raise ValueError(f"no live Ray node has the id or address {want!r}")
        found.append(match[0])
    if not found:
        raise ValueError("nodes must name at least one node")
    return found
