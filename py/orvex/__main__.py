"""Command line: python -m orvex verify|repair|stats|compact PATH.

verify   reads every file of the collection and changes nothing; prints a
         short report and exits 1 when it finds damage
repair   point-in-time repair (see Collection.repair); prints what was kept
         and what was set aside; exits 1 if the result is still not whole
stats    opens the collection and prints its counts and sizes
compact  opens the collection, rewrites its data file, prints the bytes
         reclaimed

Opening (stats, compact) needs meta.json, which names the dimension and the
metric.
"""

import json
import os
import sys

from . import Collection

USAGE = "usage: python -m orvex {verify,repair,stats,compact} PATH"


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


def main(argv):
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


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
