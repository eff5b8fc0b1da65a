"""Child process of the kill loop, and the workload plan it shares with it.

The plan is a seeded sequence of operations on one Collection: single
insertions (vector as list, tuple, float32 or float64 array), batches (lists
of lists, float32 or float64 matrices, ids as a list or a uint64 array) and
flushes. New ids count up from a given first id; some insertions reuse an
earlier id, which replaces its vector. Component 0 of every vector is its
serial number, so no two vectors ever written are equal.

Run as a script, the child opens the collection and carries the plan out,
writing one line per event to stdout (one write each, so a kill never splits
a line):

    opening             about to call open_or_create
    opened              open_or_create returned
    begin N             operation N is about to be called
    ack N               operation N returned
    done                the plan is complete

The parent derives what was acknowledged and what was synced from these lines
and the plan alone.
"""

import os
import random
import sys
import time

import numpy as np

DIMENSION = 8


class Plan:
    """ops: ("insert", first_attempt, form) | ("batch", first_attempt, count, form) | ("flush",).
    ids[i], vectors[i]: the i-th insertion attempted, in attempt order."""

    def __init__(self, seed, first_new_id, first_serial, n_ops=600, dimension=DIMENSION, reinsert=0.15):
        rng = random.Random(seed)
        self.ops = []
        ids = []
        next_new = first_new_id
        for _ in range(n_ops):
            r = rng.random()
            if r < 0.03:
                self.ops.append(("flush",))
                continue
            single = r < 0.85
            count = 1 if single else rng.choice([1, 2, 5, 20, 50, 99, 100, 101, 250])
            first = len(ids)
            for _ in range(count):
                if next_new > 1 and rng.random() < reinsert:
                    window = rng.choice([300, 5000])
                    ids.append(rng.randrange(max(1, next_new - window), next_new))
                else:
                    ids.append(next_new)
                    next_new += 1
            if single:
                self.ops.append(("insert", first, rng.choice(["list", "tuple", "f32", "f64"])))
            else:
                self.ops.append(("batch", first, count, rng.choice(["lists", "f32", "f64", "f32-ids"])))
        self.ids = ids
        self.next_new_id = next_new
        vrng = np.random.default_rng(seed)
        # Magnitudes in [0.5, 2): two stored vectors that differ do so by far
        # more than any rounding, and no component is zero.
        mags = vrng.uniform(0.5, 2.0, size=(len(ids), dimension))
        signs = vrng.choice([-1.0, 1.0], size=(len(ids), dimension))
        vectors = (mags * signs).astype(np.float32)
        vectors[:, 0] = np.arange(first_serial, first_serial + len(ids), dtype=np.float64)
        self.vectors = vectors
        self.next_serial = first_serial + len(ids)
        if self.next_serial >= 2**24:
            raise ValueError("serials must stay exact in float32")

    def attempts_of(self, op):
        """The attempt indices an operation covers, as a range."""
        if op[0] == "insert":
            return range(op[1], op[1] + 1)
        if op[0] == "batch":
            return range(op[1], op[1] + op[2])
        return range(0)


def _say(text):
    os.write(1, (text + "\n").encode())


def _run(path, seed, first_new_id, first_serial, metric, pace, reinsert):
    plan = Plan(seed, first_new_id, first_serial, reinsert=reinsert)
    rng = random.Random(seed ^ 0x5EED)
    from orvex import Collection

    _say("opening")
    c = Collection.open_or_create(path, DIMENSION, metric)
    _say("opened")
    for n, op in enumerate(plan.ops):
        if pace and rng.random() < 0.5:
            time.sleep(rng.uniform(0, pace))
        _say(f"begin {n}")
        if op[0] == "flush":
            c.flush()
        elif op[0] == "insert":
            _, i, form = op
            v = plan.vectors[i]
            if form == "list":
                v = [float(x) for x in v]
            elif form == "tuple":
                v = tuple(float(x) for x in v)
            elif form == "f64":
                v = v.astype(np.float64)
            c.insert(plan.ids[i], v)
        else:
            _, i, count, form = op
            ids = plan.ids[i:i + count]
            vs = plan.vectors[i:i + count]
            if form == "lists":
                c.insert_batch(list(ids), [[float(x) for x in row] for row in vs])
            elif form == "f64":
                c.insert_batch(list(ids), vs.astype(np.float64))
            elif form == "f32-ids":
                c.insert_batch(np.array(ids, dtype=np.uint64), vs)
            else:
                c.insert_batch(list(ids), vs)
        _say(f"ack {n}")
    _say("done")


if __name__ == "__main__":
    path, seed, first_new_id, first_serial, metric, pace, reinsert = sys.argv[1:8]
    _run(path, int(seed), int(first_new_id), int(first_serial), metric, float(pace), float(reinsert))
