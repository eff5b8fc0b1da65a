"""Command line: python -m orvex verify|repair|stats|compact PATH,
python -m orvex import PATH --npy FILE [--ids FILE] [--metric METRIC].

verify   reads every file of the collection and changes nothing; prints a
         short report and exits 1 when it finds damage
repair   point-in-time repair (see Collection.repair); prints what was kept
         and what was set aside; exits 1 if the result is still not whole
stats    opens the collection and prints its counts and sizes
compact  opens the collection, rewrites its data file, prints the bytes
         reclaimed
import   loads a .npy matrix (rows are vectors) into the collection,
         creating it with the matrix's dimension when PATH does not hold one
         (--metric, default euclidean), under the ids of a .npy vector
         (--ids) or else under the ids after the largest one held; flushes,
         then prints vectors/s. Shows a bar with tqdm installed

Opening (stats, compact) needs meta.json, which names the dimension and the
metric.
"""

import json
import os
import sys
import time

from . import Collection

USAGE = ("usage: python -m orvex {verify,repair,stats,compact} PATH\n"
         "       python -m orvex import PATH --npy FILE [--ids FILE] [--metric euclidean|cosine|dot]")
CHUNK = 65536  # rows per insert_batch call of an import


def _file_line(name, f):
    if f.get("whole", True):
        tail = f" (torn tail of {f['torn_tail']} bytes: an interrupted write)" if f.get("torn_tail") else ""
        return f"{name}: whole{tail}"
    return f"{name}: DAMAGED at offset {f.get('damage_offset')}: {f.get('damage')}"


def verify(path):
    report = Collection.verify(path)
    log, data, meta, sums = (report[k] for k in ("wal.log", "data.ovx", "meta.json", "data.ovx.sum"))
    print(_file_line("wal.log", log) + f"; {log['frames']} whole frames")
    print(_file_line("data.ovx", data) + f"; {data['records']} records, checksums {data.get('checksums')}"
          f" covering {data.get('covered', 0)} bytes")
    if sums["state"] == "damaged":
        print(f"data.ovx.sum: DAMAGED: {sums['problem']}")
    print(_file_line("meta.json", meta))
    if report["ok"]:
        print("ok")
        return 0
    print(f"damage found: `python -m orvex repair {path}` keeps what precedes it and moves the rest aside")
    return 1


def repair(path):
    report = Collection.repair(path)
    for name in ("wal.log", "data.ovx", "meta.json"):
        if name in report:
            parts = [f"{k}={v}" for k, v in report[name].items() if v not in (None, 0, False)]
            print(f"{name}: " + (", ".join(parts) if parts else "nothing to do"))
    print("ok" if report["ok"] else "still damaged: see `python -m orvex verify`")
    return 0 if report["ok"] else 1


def _open(path):
    with open(os.path.join(path, "meta.json"), encoding="utf-8") as f:
        meta = json.load(f)
    metric = {"Euclidean": "euclidean", "Cosine": "cosine", "DotProduct": "dot"}[meta["metric"]]
    return Collection.open_or_create(path, meta["dimension"], metric)


def import_npy(path, npy, ids_file, metric):
    import numpy as np

    from ._progress import _Progress

    rows = np.load(npy, mmap_mode="r")
    if rows.ndim != 2:
        raise ValueError(f"{npy}: expected a 2-d matrix, got {rows.ndim} dimensions")
    if os.path.exists(os.path.join(path, "meta.json")):
        c = _open(path)
    else:
        c = Collection.open_or_create(path, rows.shape[1], metric or "euclidean")
    with c:
        if ids_file is not None:
            ids = np.load(ids_file, mmap_mode="r")
            if ids.ndim != 1 or len(ids) != len(rows):
                raise ValueError(f"{ids_file}: expected {len(rows)} ids, got shape {ids.shape}")
        else:
            held = c.ids()
            start = held[-1] + 1 if held else 1
            ids = np.arange(start, start + len(rows), dtype=np.uint64)
        bar, t = _Progress(True, len(rows), "orvex import"), time.perf_counter()
        for at in range(0, len(rows), CHUNK):
            part = np.ascontiguousarray(rows[at:at + CHUNK], dtype=np.float32)
            c.insert_batch(np.ascontiguousarray(ids[at:at + CHUNK], dtype=np.uint64), part)
            bar.update(len(part), last=at + CHUNK >= len(rows))
        c.flush()
        took = time.perf_counter() - t
    print(f"imported {len(rows):,} vectors in {took:.2f} s: {len(rows) / max(took, 1e-9):,.0f} vectors/s")
    return 0


def main(argv):
    if argv[:1] == ["import"]:
        return _import_command(argv[1:])
    if len(argv) != 2 or argv[0] not in ("verify", "repair", "stats", "compact"):
        print(USAGE, file=sys.stderr)
        return 2
    command, path = argv
    try:
        if command == "verify":
            return verify(path)
        if command == "repair":
            return repair(path)
        with _open(path) as c:
            if command == "stats":
                for k, v in c.stats().items():
                    print(f"{k}: {v}")
            else:
                print(f"reclaimed {c.compact()} bytes")
        return 0
    except (OSError, ValueError, KeyError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1


def _import_command(argv):
    import argparse

    ap = argparse.ArgumentParser(prog="python -m orvex import")
    ap.add_argument("path")
    ap.add_argument("--npy", required=True)
    ap.add_argument("--ids", default=None)
    ap.add_argument("--metric", default=None, choices=["euclidean", "cosine", "dot"])
    args = ap.parse_args(argv)
    try:
        return import_npy(args.path, args.npy, args.ids, args.metric)
    except (OSError, ValueError, TypeError, OverflowError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
