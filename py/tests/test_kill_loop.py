"""Kill loop: a child process (this file run as a script) inserts into a Collection and flushes; SIGKILL stops
it at a random instant, a quarter of the time within milliseconds of open_or_create (often during recovery).
In some rounds the parent then appends the torn end of an interrupted write to wal.log or data.ovx. After every
kill the collection opens and holds (read back exactly) what the first j attempted insertions made of the
content before, for some j covering every synced insertion: each 100th single one since the open or the last
flush or batch that returned, the whole of every batch that returned, and all before such a flush. The next
child goes on in the same directory with new ids and some earlier ones again (a reinsertion replaces). ORVEX_KILLS: the number of kills (40; 1000 for the long run)."""

import os
import random
import struct
import sys
import time
import zlib
from subprocess import PIPE, Popen

import numpy as np

from _reference import content
from orvex import Collection

DIM, SYNC_EVERY, MAX_VECTORS = 8, 100, 40_000


class Plan:
    """A seeded workload. ops: ("insert" | "batch", first attempt, count) or ("flush",); ids[i],
    vectors[i]: the i-th insertion attempted. Component 0 of a vector is its serial number, so no two vectors
    written are equal; the others have magnitudes in [0.5, 2), far from any rounding and from 0."""

    def __init__(self, seed, nid, first_serial):  # nid: the next new id
        rng, self.ops, self.ids = random.Random(seed), [], []
        for _ in range(600):
            if (r := rng.random()) < 0.03:
                self.ops.append(("flush",))
                continue
            # Now and then a batch of 50k, or one of 150k that takes the bulk path.
            big = r >= 0.85 and rng.random() < 0.006
            count = 1 if r < 0.85 else rng.choice([50_000, 150_000] if big else [1, 2, 5, 20, 50, 99, 100, 101, 250])
            first = len(self.ids)
            for _ in range(count):
                reuse = nid > 1 and rng.random() < 0.15
                self.ids.append(rng.randrange(max(1, nid - rng.choice([300, 5000])), nid) if reuse else nid)
                nid += not reuse
            self.ops.append(("insert" if r < 0.85 else "batch", first, count))
        self.next_id, n, vrng = nid, len(self.ids), np.random.default_rng(seed)
        self.vectors = (vrng.uniform(0.5, 2.0, (n, DIM)) * vrng.choice([-1.0, 1.0], (n, DIM))).astype(np.float32)
        self.vectors[:, 0] = np.arange(first_serial, first_serial + n)  # exact below 2**24


def child(path, seed, first_id, first_serial, metric):
    """Carries the plan out, telling "opening", "opened", "begin N", "ack N", "done" (one write per line)."""
    plan, rng = Plan(seed, first_id, first_serial), random.Random(seed ^ 0x5EED)
    os.write(1, b"opening\n")
    c = Collection.open_or_create(path, DIM, metric)
    os.write(1, b"opened\n")
    for n, (kind, *op) in enumerate(plan.ops):
        time.sleep(rng.choice([0, rng.uniform(0, 0.003)]))
        os.write(1, b"begin %d\n" % n)
        if kind == "flush":
            c.flush()
        else:
            ids, vs, form = plan.ids[op[0]:op[0] + op[1]], plan.vectors[op[0]:op[0] + op[1]], rng.choice(
                ["lists", "tuples", "f32", "f64", "uint64 ids"])
            vs = {"lists": vs.tolist(), "tuples": [tuple(v) for v in vs.tolist()], "f64": vs.astype(np.float64)}.get(
                form, vs)
            c.insert(ids[0], vs[0]) if kind == "insert" else c.insert_batch(
                np.array(ids, np.uint64) if form == "uint64 ids" else ids, vs)
        os.write(1, b"ack %d\n" % n)
    os.write(1, b"done\n")


def run_child(path, seed, first_id, first_serial, rng):
    """Starts a child and kills it at a random instant: (its lines, stderr, killed)."""
    proc = Popen([sys.executable, __file__, path, str(seed), str(first_id), str(first_serial),
                  rng.choice(["euclidean", "cosine", "dot"])], stdout=PIPE, stderr=PIPE)
    lines = [proc.stdout.readline()]  # "opening"
    if rng.random() < 0.25:
        time.sleep(rng.uniform(0, 0.004))
    else:
        lines.append(proc.stdout.readline())  # "opened"
        time.sleep(rng.uniform(0, 0.25))
    if killed := proc.poll() is None:
        proc.kill()
    out, err = proc.communicate()
    return b"".join(lines + [out]).decode().splitlines(), err.decode(errors="replace"), killed


def progress(plan, lines):
    """(insertions attempted, insertions synced, the last thing the child began: "opening", "flush", ...)."""
    acked, attempted, synced, since_sync = {line for line in lines if line.startswith("ack ")}, 0, 0, 0
    for n in (int(line[6:]) for line in lines if line.startswith("begin ")):
        kind, *op = plan.ops[n]
        if kind == "flush" and f"ack {n}" in acked:
            synced, since_sync = attempted, 0
        elif kind == "batch":  # one call, the log forced at its end
            attempted = op[0] + op[1]
            if f"ack {n}" in acked:
                synced, since_sync = attempted, 0
        elif kind != "flush":
            attempted = op[0] + op[1]
            if f"ack {n}" in acked:
                since_sync += 1
                if since_sync == SYNC_EVERY:
                    synced, since_sync = attempted, 0
    last = lines[-1] if lines else "opening"
    return attempted, synced, plan.ops[int(last[6:])][0] if last.startswith("begin ") else last


def ends_whole(file):
    """Whether the file ends at a frame (log) or record (data file) boundary: a child killed in the middle
    of a write leaves a torn end, and a crash never writes past it."""
    data, at = open(file, "rb").read(), 0
    while at < len(data):
        if file.endswith("wal.log"):
            at += 8 + (struct.unpack_from("<I", data, at + 4)[0] if at + 8 <= len(data) else len(data))
        else:
            dim = struct.unpack_from("<I", data, at + 9)[0] if at + 13 <= len(data) else len(data)
            end = at + 13 + 4 * dim
            at = end + 4 + (struct.unpack_from("<I", data, end)[0] if end + 4 <= len(data) else len(data))
    return at == len(data)


def tear(file, rng, foreign_id):
    """Appends the unfinished end of a write never acknowledged: part of a frame or record, or zeros."""
    text = b'{"kind":"Insert","id":%d,"vector":[%s],"payload":{"data":{}}}' % (foreign_id, b",".join([b"0.75"] * DIM))
    whole = struct.pack("<II", zlib.crc32(text), len(text)) + text if file.endswith("wal.log") else (
        b"\0" + struct.pack("<QI", foreign_id, DIM) + np.full(DIM, 0.75, np.float32).tobytes()
        + struct.pack("<I", 11) + b'{"data":{}}')
    zeros = rng.random() < 0.25
    with open(file, "ab") as f:
        f.write(bytes(rng.randrange(1, 64)) if zeros else whole[:rng.randrange(1, len(whole))])
    return zeros


def test_kill_loop(tmp_path, capsys):
    rng = random.Random(int(os.environ.get("ORVEX_KILL_SEED", "20240611")))
    stats = dict.fromkeys(["kills", "during open", "during flush", "cut tails", "zero tails", "directories",
                           "batches of 50k+"], 0)
    started, base, rounds = time.monotonic(), None, 0
    while stats["kills"] < int(os.environ.get("ORVEX_KILLS", "40")):
        if base is None or len(base) > MAX_VECTORS or first_serial > 2**24 - 200_000:
            stats["directories"] += 1
            path, base, first_id, first_serial = str(tmp_path / f"c{stats['directories']}"), {}, 1, 1
        rounds, seed = rounds + 1, rng.randrange(2**32)
        plan = Plan(seed, first_id, first_serial)
        lines, err, killed = run_child(path, seed, first_id, first_serial, rng)
        assert killed or lines[-1:] == ["done"], f"the child failed on its own: {err[-2000:]}"
        attempted, synced, where = progress(plan, lines)
        stats["batches of 50k+"] += sum(plan.ops[int(line[6:])][-1] >= 50_000 for line in lines
                                         if line.startswith("begin ") and plan.ops[int(line[6:])][0] == "batch")
        for key, hit in [("kills", True), ("during open", where == "opening"), ("during flush", where == "flush")]:
            stats[key] += killed and hit
        if os.path.isdir(path):
            for file in [os.path.join(path, name) for name in ("wal.log", "data.ovx")]:
                if os.path.exists(file) and rng.random() < 0.3 and ends_whole(file):
                    stats["zero tails" if tear(file, rng, 2**63 + rounds) else "cut tails"] += 1
        at, upper = f"round {rounds} in {path}", len(base) + attempted + 10
        held = content(Collection.open_or_create(path, DIM, "dot"), DIM, upper)  # it opens
        held = {vid: v.tobytes() for vid, v in held.items()}
        assert len(held) < upper, f"{at}: more vectors than were ever inserted"
        differ, found = {vid for vid in base.keys() | held.keys() if base.get(vid) != held.get(vid)}, []
        for j, (vid, vec) in enumerate(zip(plan.ids[:attempted], plan.vectors[:attempted])):
            found += [j] if not differ else []  # the first j insertions on top of base give held
            (differ.discard if held.get(vid) == vec.tobytes() else differ.add)(vid)
        found += [attempted] if not differ else []
        assert found, f"{at}: the content is no prefix of the {attempted} insertions attempted"
        assert found[-1] >= synced, f"{at}: only {found[-1]} of {synced} synced insertions survived"
        base, first_id, first_serial = held, plan.next_id, first_serial + attempted
    with capsys.disabled():
        print(f"\nkill loop: {rounds} rounds, {time.monotonic() - started:.0f} s, {len(base)} vectors, {stats}")
    assert stats["cut tails"] > 0, "no open met a torn tail"


if __name__ == "__main__":
    child(sys.argv[1], *map(int, sys.argv[2:5]), sys.argv[5])
