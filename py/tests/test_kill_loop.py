"""Kill loop: a child process inserts and flushes, SIGKILL stops it at a
random instant (sometimes while it opens and recovers the collection), and
the parent checks what the directory holds afterwards.

The promise checked after every kill:
  - the collection opens;
  - its content (an id -> vector map) is what the first j attempted
    insertions made of the content before the child started, for some j:
    no holes, no partial vector, no id never inserted, no id twice;
  - j covers every synced insertion: those followed by the log's sync at
    every 100th entry since the open or the last flush, and those before a
    flush that returned.
An insertion that was running when the kill came counts as attempted: it may
or may not be there. The next child goes on in the same directory with new
ids (and some earlier ones again).

CI runs ORVEX_KILLS kills (100 by default); ORVEX_KILLS=1000 is the long run.
The test prints one report line with what it met.
"""

import os
import random
import shutil
import struct
import subprocess
import sys
import threading
import time
import zlib

import numpy as np

from crash_child import DIMENSION, Plan
from orvex import Collection

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "crash_child.py")
KILLS = int(os.environ.get("ORVEX_KILLS", "100"))
# Share of insertions that reuse an earlier id (replacing its vector).
REINSERT = float(os.environ.get("ORVEX_KILL_REINSERT", "0.15"))
SYNC_EVERY = 100
# A directory is started afresh once it holds this many vectors, so that one
# round's checks stay cheap however many rounds run.
MAX_VECTORS = 40_000


# ---- files as the kill left them ------------------------------------------


def log_tail(data):
    """'whole', 'torn' (a frame cut short by the end) or 'zeros' (a zero-filled tail)."""
    pos = 0
    while pos < len(data):
        if len(data) - pos < 8:
            break
        _, length = struct.unpack_from("<II", data, pos)
        if pos + 8 + length > len(data):
            break
        pos += 8 + length
    if pos == len(data):
        return "whole"
    return "zeros" if not any(data[pos:]) else "torn"


def data_tail(data):
    """The same for data.ovx: marker, id, dim, components, payload_len, payload."""
    pos = 0
    while pos < len(data):
        if len(data) - pos < 13:
            break
        (dim,) = struct.unpack_from("<I", data, pos + 9)
        at_len = pos + 13 + 4 * dim
        if at_len + 4 > len(data):
            break
        (payload_len,) = struct.unpack_from("<I", data, at_len)
        if at_len + 4 + payload_len > len(data):
            break
        pos = at_len + 4 + payload_len
    if pos == len(data):
        return "whole"
    return "zeros" if not any(data[pos:]) else "torn"


def tear(file, rng, foreign_id):
    """Appends the unfinished end of an interrupted write to `file`: a cut
    frame (wal.log) or record (data.ovx) of an insertion that was never
    acknowledged, or a run of zero bytes. Returns whether it was zeros."""
    vector = np.full(DIMENSION, 0.75, dtype=np.float32)
    if file.endswith("wal.log"):
        text = ('{"kind":"Insert","id":%d,"vector":[%s],"payload":{"data":{}}}'
                % (foreign_id, ",".join("0.75" for _ in vector))).encode()
        whole = struct.pack("<II", zlib.crc32(text), len(text)) + text
    else:
        whole = (b"\0" + struct.pack("<QI", foreign_id, DIMENSION) + vector.tobytes()
                 + struct.pack("<I", 11) + b'{"data":{}}')
    zeros = rng.random() < 0.25
    tail = bytes(rng.randrange(1, 64)) if zeros else whole[:rng.randrange(1, len(whole))]
    with open(file, "ab") as f:
        f.write(tail)
    return zeros


# ---- the child -------------------------------------------------------------


class ChildRun:
    """One child process; its lines are gathered by a reader thread."""

    def __init__(self, path, seed, first_new_id, first_serial, metric, pace, reinsert):
        self.lines = []
        self.opening = threading.Event()
        self.opened = threading.Event()
        self.proc = subprocess.Popen(
            [sys.executable, CHILD, path, str(seed), str(first_new_id), str(first_serial), metric, str(pace),
             str(reinsert)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            if not raw.endswith(b"\n"):
                break  # a line cut by the kill never happens (one write per line)
            line = raw.decode().strip()
            self.lines.append(line)
            if line == "opening":
                self.opening.set()
            elif line == "opened":
                self.opened.set()
        self.opening.set()
        self.opened.set()

    def kill_after(self, rng):
        """Kills at a random instant; returns whether the kill came before the child ended."""
        if not self.opening.wait(60):
            raise AssertionError("child never started")
        if rng.random() < 0.25:
            time.sleep(rng.uniform(0, 0.004))  # often inside open_or_create
        else:
            self.opened.wait(60)
            time.sleep(rng.uniform(0, 0.25))
        killed = self.proc.poll() is None
        if killed:
            self.proc.kill()
        self.proc.wait()
        self.reader.join()
        self.stderr = self.proc.stderr.read().decode(errors="replace")
        return killed


def progress(plan, lines):
    """(attempted, synced, where): attempted insertions, synced insertions,
    and what the child was doing when it stopped."""
    begun, acked = [], set()
    for line in lines:
        word, _, n = line.partition(" ")
        if word == "begin":
            begun.append(int(n))
        elif word == "ack":
            acked.add(int(n))
    attempted = synced = since_sync = 0
    for n in begun:
        op = plan.ops[n]
        covered = plan.attempts_of(op)
        attempted = max(attempted, covered.stop) if covered else attempted
        if n not in acked:
            continue
        if op[0] == "flush":
            synced, since_sync = attempted, 0
            continue
        for a in covered:
            since_sync += 1
            if since_sync == SYNC_EVERY:
                synced, since_sync = a + 1, 0
    if not lines or lines[-1] == "opening":
        where = "open"
    elif lines[-1] == "opened":
        where = "idle"
    elif lines[-1] == "done":
        where = "done"
    elif lines[-1].startswith("begin") and plan.ops[int(lines[-1].split()[1])][0] == "flush":
        where = "flush"
    else:
        where = "insert"
    return attempted, synced, where


# ---- what the directory holds ----------------------------------------------


def read_content(path, upper):
    """Opens the collection and reads every stored vector back exactly: with
    the dot metric the distance to the j-th unit vector is minus component j.
    Fails on an id returned twice or on more entries than `upper`."""
    c = Collection.open_or_create(path, DIMENSION, "dot")
    columns = {}
    for j in range(DIMENSION):
        unit = [0.0] * DIMENSION
        unit[j] = 1.0
        results = c.search(unit, upper)
        assert len(results) < upper, "more vectors than were ever inserted"
        ids = [vid for vid, _ in results]
        assert len(set(ids)) == len(ids), "an id is held twice"
        for vid, dist in results:
            columns.setdefault(vid, [0.0] * DIMENSION)[j] = -dist
    del c
    return {vid: np.array(comps, dtype=np.float32).tobytes() for vid, comps in columns.items()}


def prefixes_matching(base, content, ids, vectors):
    """Every j such that applying the first j attempted insertions to `base`
    gives exactly `content`."""
    current = dict(base)
    differ = {vid for vid in current.keys() | content.keys() if current.get(vid) != content.get(vid)}
    matching = [0] if not differ else []
    for j, (vid, vec) in enumerate(zip(ids, vectors)):
        current[vid] = vec
        if content.get(vid) == vec:
            differ.discard(vid)
        else:
            differ.add(vid)
        if not differ:
            matching.append(j + 1)
    return matching


def explain(base, content, ids, vectors):
    """For a failed check: the j closest to `content`, and how they differ."""
    def version(vid, vec, upto):
        if vec is None:
            return "absent"
        if base.get(vid) == vec:
            return "before"
        for a in range(upto - 1, -1, -1):
            if ids[a] == vid and vectors[a] == vec:
                return f"attempt {a}"
        return "a vector never written"

    current = dict(base)
    differ = {vid for vid in current.keys() | content.keys() if current.get(vid) != content.get(vid)}
    best = (len(differ), 0, set(differ))
    for j, (vid, vec) in enumerate(zip(ids, vectors)):
        current[vid] = vec
        (differ.discard if content.get(vid) == vec else differ.add)(vid)
        if len(differ) < best[0]:
            best = (len(differ), j + 1, set(differ))
    _, j, differ = best
    expected = dict(base)
    for vid, vec in zip(ids[:j], vectors[:j]):
        expected[vid] = vec
    lines = [f"closest prefix: {j} insertions, {len(differ)} ids differ"]
    for vid in sorted(differ)[:6]:
        lines.append(f"  id {vid}: holds {version(vid, content.get(vid), len(ids))}, "
                     f"expected {version(vid, expected.get(vid), j)}")
    return "\n".join(lines)


# ---- the loop ----------------------------------------------------------------


def test_kill_loop(tmp_path, capsys):
    rng = random.Random(int(os.environ.get("ORVEX_KILL_SEED", "20240611")))
    stats = dict(kills=0, during_open=0, during_flush=0, torn_log=0, torn_data=0, zero_tails=0, made_torn=0,
                 made_zeros=0,
                 unopenable=0, lost_synced=0, not_a_prefix=0, directories=0, vectors=0)
    failures = []
    started = time.monotonic()
    base, path = None, None
    first_new_id = first_serial = 1
    rounds = 0
    while stats["kills"] < KILLS and not failures:
        if base is None or len(base) > MAX_VECTORS or first_serial > 2**24 - 100_000:
            stats["directories"] += 1
            path = str(tmp_path / f"coll{stats['directories']}")
            base, first_new_id, first_serial = {}, 1, 1
        rounds += 1
        seed = rng.randrange(2**32)
        plan = Plan(seed, first_new_id, first_serial, reinsert=REINSERT)
        metric = rng.choice(["euclidean", "cosine", "dot"])
        child = ChildRun(path, seed, first_new_id, first_serial, metric, pace=0.003, reinsert=REINSERT)
        killed = child.kill_after(rng)
        attempted, synced, where = progress(plan, child.lines)
        if not killed and where != "done":
            failures.append(f"child failed on its own: {child.stderr.strip()[-2000:]}")
            break
        if killed:
            stats["kills"] += 1
            stats["during_open"] += where == "open"
            stats["during_flush"] += where == "flush"

        # The files exactly as the kill left them.
        snapshot = tmp_path / "last-kill"
        shutil.rmtree(snapshot, ignore_errors=True)
        if os.path.isdir(path):
            shutil.copytree(path, snapshot)
            for name, parse, key in (("wal.log", log_tail, "torn_log"), ("data.ovx", data_tail, "torn_data")):
                file = os.path.join(path, name)
                if os.path.exists(file):
                    tail = parse(open(file, "rb").read())
                    stats[key] += tail == "torn"
                    stats["zero_tails"] += tail == "zeros"
            # Whole buffers of whole frames and records reach the files, so a
            # kill rarely tears one by itself: in some rounds, add the torn
            # end that an interrupted write leaves.
            for name in ("wal.log", "data.ovx"):
                file = os.path.join(path, name)
                if os.path.exists(file) and rng.random() < 0.3:
                    zeros = tear(file, rng, foreign_id=2**63 + rounds)
                    stats["made_zeros" if zeros else "made_torn"] += 1

        ids = plan.ids[:attempted]
        vectors = [v.tobytes() for v in plan.vectors[:attempted]]
        try:
            content = read_content(path, len(base) + attempted + 10)
        except OSError as e:
            stats["unopenable"] += 1
            failures.append(f"round {rounds}: reopening failed: {e} (files kept in {snapshot})")
            break
        except AssertionError as e:
            stats["not_a_prefix"] += 1
            failures.append(f"round {rounds}: {e} (files kept in {snapshot})")
            break
        matching = prefixes_matching(base, content, ids, vectors)
        if not matching:
            stats["not_a_prefix"] += 1
            failures.append(
                f"round {rounds}: content is no prefix of the {attempted} attempted insertions "
                f"({len(content)} vectors held, {len(base)} before; files kept in {snapshot})\n"
                + explain(base, content, ids, vectors))
            break
        if matching[-1] < synced:
            stats["lost_synced"] += synced - matching[-1]
            failures.append(f"round {rounds}: only {matching[-1]} of {synced} synced insertions survived "
                            f"(files kept in {snapshot})")
            break
        base = content
        stats["vectors"] = max(stats["vectors"], len(base))
        first_new_id = plan.next_new_id
        first_serial += attempted

    elapsed = time.monotonic() - started
    with capsys.disabled():
        print(f"\nkill loop: {stats['kills']} kills in {elapsed:.0f} s ({stats['during_open']} during open, "
              f"{stats['during_flush']} during flush), torn tails met: {stats['torn_log']} in wal.log, "
              f"{stats['torn_data']} in data.ovx ({stats['zero_tails']} zero-filled); made: {stats['made_torn']} cut, "
              f"{stats['made_zeros']} zero-filled; "
              f"unopenable opens: {stats['unopenable']}, lost synced insertions: {stats['lost_synced']}, "
              f"states that are no prefix: {stats['not_a_prefix']}; "
              f"{stats['directories']} directories, up to {stats['vectors']} vectors")
    assert not failures, failures[0]
    assert stats["kills"] >= KILLS
    assert stats["torn_log"] + stats["torn_data"] + stats["made_torn"] > 0, "no open ever met a torn tail"
