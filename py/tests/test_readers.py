"""Readers beside a writer. Two reader processes refresh in a loop while writer processes (this file run as a
script) carry out a fixed sequence of changes and are killed at random instants, each next one going on from
where the collection stands; after every refresh a reader holds exactly what some prefix of the changes made,
never an earlier one than before, and at the end what all of them made. Then: deleted ids leave a reader's
answers at the refresh after the deletion and stay gone; readers refuse every change; opening nothing fails.
ORVEX_READER_KILLS: the number of writers killed (10)."""

import json
import os
import random
import select
import sys
import time
from subprocess import PIPE, Popen

import numpy as np
import pytest

from orvex import Collection

DIM = 512  # 4,200 rows of it take the bulk path


def plan(count, seed=2026):
    """(items, steps). items: (id, serial) inserts the vector of that serial (the item's number), (id, None)
    deletes the id; steps: (kind, first item, end) in order, each change step's ids distinct; a batch carries
    no payloads, a single insert {"n": serial}."""
    rng, items, steps, live, nid = random.Random(seed), [], [], [], 1
    for s in range(count):
        r, first = rng.random(), len(items)
        if s % 500 == 40 or r < 0.35:  # a fifth of a batch's rows replace held ids
            chosen = set()
            for _ in range(4200 if s % 500 == 40 else rng.choice([20, 100, 300])):
                vid = rng.choice(live) if live and s % 500 != 40 and rng.random() < 0.2 else nid
                if vid in chosen or vid == nid:
                    vid, nid = nid, nid + 1
                    live.append(vid)
                chosen.add(vid)
                items.append((vid, len(items)))
            steps.append(("batch", first, len(items)))
        elif r < 0.6:
            vid = rng.choice(live) if live and r < 0.45 else nid
            if vid == nid:
                nid += 1
                live.append(vid)
            items.append((vid, len(items)))
            steps.append(("insert", first, first + 1))
        elif (r < 0.8 or len(live) > 8000) and live:  # long runs stay within 8,000 ids
            gone = set(rng.sample(live, 3000 if len(live) > 8000 else min(len(live), rng.choice([1, 1, 30]))))
            items += [(vid, None) for vid in sorted(gone)]
            live = [vid for vid in live if vid not in gone]
            steps.append(("delete" if len(gone) == 1 else "delete_batch", first, len(items)))
        else:
            steps.append((rng.choice(["flush", "flush", "compact", "sync"]), first, first))
    return items, steps


KILLS = int(os.environ.get("ORVEX_READER_KILLS", "10"))
ITEMS, STEPS = plan(max(90, 9 * KILLS))
ROWS = np.random.default_rng(5).uniform(-2, 2, (4096, DIM)).astype(np.float32)


def vectors(first, end):
    """The vectors of serials first to end: component 0 is the serial (exact below 2**24)."""
    out = ROWS[np.arange(first, end) % len(ROWS)]
    out[:, 0] = np.arange(first, end)
    return out


def apply(model, item):
    vid, serial = item
    model.pop(vid, None) if serial is None else model.__setitem__(vid, serial)


def final_content():
    """id -> serial: what all the items make."""
    model = {}
    for item in ITEMS:
        apply(model, item)
    return model


SINGLES = {first for kind, first, _ in STEPS if kind == "insert"}


def held(c):
    """id -> serial of what `c` holds, each vector and payload checked against its serial's."""
    out = {}
    for vid in c.ids():
        vector, payload = c.get(vid)
        serial = int(vector[0])
        assert np.array_equal(np.array(vector, np.float32), vectors(serial, serial + 1)[0]), (vid, serial)
        assert payload == ({"n": serial} if serial in SINGLES else {}), (vid, payload)
        out[vid] = serial
    return out


def prefixes(got, start, model):
    """Yields, ascending, each j >= start such that the first j items make `got`, given `model`: what the
    first `start` make. It applies the items to `model` as it goes: at each j yielded it holds j's content."""
    differ = {vid for vid in model.keys() | got.keys() if model.get(vid) != got.get(vid)}
    for j in range(start, len(ITEMS) + 1):
        if not differ:
            yield j
        if j < len(ITEMS):
            apply(model, ITEMS[j])
            vid = ITEMS[j][0]
            (differ.discard if got.get(vid) == model.get(vid) else differ.add)(vid)


def writer(path):
    """Goes on from the last prefix of the items the collection holds; tells "ready <items held>", then "done"."""
    c = Collection.open_or_create(path, DIM, "euclidean")
    at = max(prefixes(held(c), 0, {}))
    print("ready", at, flush=True)
    for kind, first, end in STEPS:
        if end < at or first < end == at:  # done already
            continue
        time.sleep(random.uniform(0, 0.02))
        begin = max(first, at)
        ids = [vid for vid, _ in ITEMS[begin:end]]
        if kind == "batch":
            c.insert_batch(ids, vectors(begin, end))
        elif kind == "insert":
            c.insert(ids[0], vectors(first, end)[0], payload={"n": first})
        elif kind.startswith("delete"):
            c.delete(ids[0]) if kind == "delete" else c.delete_batch(ids)
        else:
            getattr(c, kind)()
    c.flush()
    print("done", flush=True)


def reader(path):
    """Refreshes and checks until told "final" on stdin; then reports what it saw."""
    r, last, model, seen = Collection.open_read_only(path), 0, {}, set()
    while True:
        final = select.select([sys.stdin], [], [], 0)[0]
        applied = r.refresh()
        state = dict(model)
        j = next(prefixes(got := held(r), last, state), None)
        assert j is not None, f"after {len(seen)} states and {applied} changes: no prefix of the items from {last}"
        last, model = j, state
        seen.add(j)
        if final:
            assert got == final_content(), "the refresh after the last flush misses changes"
            print(json.dumps({"states": len(seen), "held": len(got)}), flush=True)
            return


def test_readers_beside_a_writer_killed_again_and_again(tmp_path, capsys):
    path, rng, starts = str(tmp_path / "c"), random.Random(7), []
    Collection.open_or_create(path, DIM, "euclidean").close()
    readers = [Popen([sys.executable, __file__, "reader", path], stdin=PIPE, stdout=PIPE, stderr=PIPE)
               for _ in range(2)]
    try:
        for round in range(KILLS + 1):
            w = Popen([sys.executable, __file__, "writer", path], stdout=PIPE, stderr=PIPE)
            ready = w.stdout.readline().split()
            starts += ready[1:]
            if round < KILLS and ready:
                time.sleep(rng.uniform(0, 0.3))
                w.kill()
            out, err = w.communicate()
            assert ready[:1] == [b"ready"] and w.returncode in (0, -9), err.decode()[-2000:]
        assert out == b"done\n"
        for r in readers:
            r.stdin.write(b"final\n")
            r.stdin.flush()
        reports = [r.communicate(timeout=120) for r in readers]
    finally:
        for r in readers:
            r.kill() if r.poll() is None else None
    for r, (out, err) in zip(readers, reports):
        assert r.returncode == 0, err.decode()[-3000:]
        assert json.loads(out)["states"] >= 3, "the readers saw too little of the writers' work"
    with capsys.disabled():
        print(f"\nreaders: writers started at items {b' '.join(starts).decode()} of {len(ITEMS)}; readers saw "
              + ", ".join(f"{json.loads(out)['states']} states" for out, _ in reports))


def test_deleted_ids_leave_at_the_refresh_after_the_deletion_and_stay_gone(tmp_path):
    path, rows = str(tmp_path / "c"), np.random.default_rng(1).standard_normal((400, 4)).astype(np.float32)
    w = Collection.open_or_create(path, 4, "euclidean")
    w.insert_batch(range(300), rows[:300], payloads=[{"g": i % 2} for i in range(300)])
    w.flush()  # these in the data file, the next in the log
    w.insert_batch(range(300, 400), rows[300:], payloads=[{"g": i % 2} for i in range(300, 400)])
    r, gone = Collection.open_read_only(path), list(range(3, 400, 7))

    def shown():  # the deleted ids each way of asking shows (each is its own nearest), and how many len counts
        ids, _, _ = r.search_batch(rows[gone], 3, as_numpy=True, where={"g": {"$in": [0, 1]}})
        found = [[vid for q in rows[gone] for vid, _ in r.search(q, 3)], ids.reshape(-1).tolist(),
                 [vid for vid in gone if vid in r and r.get(vid)], r.ids()]
        return [set(f) & set(gone) for f in found] + [len(r) - 400 + len(gone)]

    assert shown() == [set(gone)] * 4 + [len(gone)]
    w.delete_batch(gone[1:])
    w.delete(gone[0])
    w.sync()
    assert shown() == [set(gone)] * 4 + [len(gone)]  # until the refresh
    assert r.refresh() == len(gone) and shown() == [set()] * 4 + [0]
    for change, applied in [(w.flush, 0), (w.compact, 400 - len(gone)), (lambda: w.insert(500, rows[0]), 1)]:
        change()
        w.sync()
        assert r.refresh() == applied and shown()[:4] == [set()] * 4 and r.ids() == w.ids()


@pytest.mark.parametrize("call", ["insert(9, [0.0] * 4)", "insert_batch([9], [[0.0] * 4])", "delete(1)",
                                  "delete_batch([1])", "flush()", "sync()", "compact()", "create_index('h')",
                                  "drop_index('g')"])
def test_readers_refuse_changes_and_write_nothing(tmp_path, call):
    path = tmp_path / "c"
    with Collection.open_or_create(str(path), 4, "dot") as w:
        w.insert(1, [1.0, 0, 0, 0], payload={"g": 1})
        w.create_index("g")
    files = {f.name: f.read_bytes() for f in path.iterdir()}
    r = Collection.open_read_only(str(path))
    with pytest.raises(OSError, match="^collection is read-only$"):
        eval(f"r.{call}")
    assert r.get(1) == ([1.0, 0, 0, 0], {"g": 1}) and r.indexes() == ["g"]
    r.close()
    assert {f.name: f.read_bytes() for f in path.iterdir()} == files


def test_opening_no_collection_names_the_path_and_makes_nothing(tmp_path):
    (tmp_path / "empty").mkdir()
    for path in (tmp_path / "none" / "c", tmp_path / "empty"):
        with pytest.raises(OSError, match=f"^cannot open {path} read-only: .*meta.json is missing"):
            Collection.open_read_only(str(path))
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["empty"]


if __name__ == "__main__":
    {"writer": writer, "reader": reader}[sys.argv[1]](sys.argv[2])
