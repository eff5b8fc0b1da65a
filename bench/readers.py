#!/usr/bin/env python3
"""Readers beside a writer: what a writer costs the readers, what readers cost the writer, refresh and
opening, with figures.

Random float32 data (standard normal), Euclidean, k = 10. A collection of n vectors of dimension d is
written and flushed; then, every process a real one (multiprocessing, spawn):
  search      2 reader processes (Collection.open_read_only) search single queries in a loop (one thread
              each) and refresh every second, with no writer and then beside a writer: queries/s of the
              readers, and the ratio (aim: >= 0.8x)
  insert      a writer process inserts batches of 1,000 (insert_batch, the log forced at each batch's end)
              and flushes every 50 batches, with no readers and then beside the 2 readers: vectors/s, and
              the ratio (aim: >= 0.9x). Its batches replace held ids, cycling through them, so that the
              readers keep searching n vectors. Each phase of these two lasts --seconds; they run in
              --rounds alternating rounds and each figure is that of its best round
  refresh     a reader's refresh() after the writer inserted 10,000 new vectors in one insert_batch and
              flushed, after 10,000 more without a flush (only in the log), and after the writer then
              flushed those (the reader reads again from the data file what it had from the log), beside
              Index.insert_batch of the same 10,000 into an Index holding as many vectors as the reader,
              in the same process, that grows with it as the reader's own index does (memory for the new
              vectors included) (aim: after a flush within 2x); best of --reps
  open        Collection.open_read_only of the flushed collection against open_or_create of the same
              directory, each in a fresh process, the best of --reps alternating runs (aim: within 1.1x);
              the files are in the page cache
  memory      the resident memory (VmRSS) of each reader process once it searched: each holds its own
              index (the readers share the page cache, not their heaps), beside 4*d + 8 bytes a vector
              and the writer's
On a machine with fewer than 4 cpus the processes of `search` and `insert` share cores: the ratios per
cpu-second (work done per second of cpu time the process got) show what is left once that is set aside.

    python bench/readers.py                # n = 1,000,000, d = 128
    python bench/readers.py --quick        # n = 100,000
    python bench/readers.py --quick --json FILE     # results file for bench/report.py
"""
import argparse
import json
import multiprocessing as mp
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from collection import print_rows  # noqa: E402
from results import CPUS, Results, cpu_name  # noqa: E402

K, BATCH, FLUSH_EVERY, READERS, NEW = 10, 1000, 50, 2, 10_000


def rss_mb():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) / 1024 for line in f if line.startswith("VmRSS:"))


def reader_main(path, d, seconds, seed, ready, go, out):
    """Searches single queries until `seconds` after go, refreshing every second."""
    import orvex
    r = orvex.Collection.open_read_only(path)
    queries = np.random.default_rng(seed).standard_normal((256, d), dtype=np.float32)
    r.search(queries[0], K)
    ready.put(len(r))
    go.wait()
    start = time.perf_counter()
    cpu, end, next_refresh = time.process_time(), start + seconds, start + 1.0
    done, refreshes, refresh_s, applied = 0, 0, 0.0, 0
    while (now := time.perf_counter()) < end:
        if now >= next_refresh:
            applied += r.refresh()
            refresh_s += time.perf_counter() - now
            refreshes, next_refresh = refreshes + 1, next_refresh + 1.0
        r.search(queries[done % len(queries)], K)
        done += 1
    out.put({"role": "reader", "queries": done, "wall_s": time.perf_counter() - start,
             "cpu_s": time.process_time() - cpu, "refreshes": refreshes, "refresh_s": refresh_s,
             "applied": applied, "rss_mb": rss_mb(), "len": len(r)})


def writer_main(path, d, n, seconds, ready, go, out):
    """Inserts batches of BATCH (replacing held ids in turn), flushing every FLUSH_EVERY, until `seconds` after go."""
    import orvex
    w = orvex.Collection.open_or_create(path, d, "euclidean")
    pool = np.random.default_rng(7).standard_normal((16, BATCH, d), dtype=np.float32)
    ready.put(len(w))
    go.wait()
    start = time.perf_counter()
    cpu, end, batches = time.process_time(), start + seconds, 0
    while time.perf_counter() < end:
        first = batches * BATCH % (n - BATCH + 1)
        w.insert_batch(np.arange(first + 1, first + BATCH + 1, dtype=np.uint64), pool[batches % len(pool)])
        batches += 1
        if batches % FLUSH_EVERY == 0:
            w.flush()
    out.put({"role": "writer", "vectors": batches * BATCH, "wall_s": time.perf_counter() - start,
             "cpu_s": time.process_time() - cpu, "flushes": batches // FLUSH_EVERY, "rss_mb": rss_mb()})
    w.close()


def run_phase(ctx, path, d, n, seconds, readers, writer):
    """Starts the processes, lets them go together once all are open, and returns their reports."""
    ready, out, go = ctx.Queue(), ctx.Queue(), ctx.Event()
    procs = [ctx.Process(target=reader_main, args=(path, d, seconds, i, ready, go, out)) for i in range(readers)]
    procs += [ctx.Process(target=writer_main, args=(path, d, n, seconds, ready, go, out))] if writer else []
    for p in procs:
        p.start()
    for _ in procs:
        while True:
            try:
                ready.get(timeout=5)
                break
            except queue.Empty:
                if any(p.exitcode not in (None, 0) for p in procs):
                    sys.exit("a benchmark process failed as it opened the collection")
    go.set()
    reports = [out.get(timeout=600 + seconds) for _ in procs]
    for p in procs:
        p.join()
        if p.exitcode != 0:
            sys.exit(f"a benchmark process failed (exit {p.exitcode})")
    return [r for r in reports if r["role"] == "reader"], next((r for r in reports if r["role"] == "writer"), None)


def refresh_main(path, d, conn):
    """A reader answering the parent's commands: ("refresh",) -> (seconds, changes applied); ("index", seed)
    -> seconds of Index.insert_batch of the NEW vectors of that seed into an Index holding as many vectors as the
    reader held at its first refresh plus every seed inserted since: it grows as the reader does."""
    import orvex
    r = orvex.Collection.open_read_only(path)
    index = None
    conn.send(len(r))
    while (cmd := conn.recv()) is not None:
        if cmd[0] == "refresh":
            t = time.perf_counter()
            applied = r.refresh()
            conn.send((time.perf_counter() - t, applied))
        else:
            # An Index holding as many vectors as the reader: what its refresh inserts into.
            if index is None:
                index = orvex.Index("euclidean", d)
                for start in range(0, len(r), 100_000):
                    stop = min(len(r), start + 100_000)
                    index.insert_batch(np.arange(start, stop, dtype=np.uint64),
                                       np.random.default_rng(start).standard_normal((stop - start, d), dtype=np.float32))
            ids, rows = new_vectors(cmd[1], d)
            t = time.perf_counter()
            index.insert_batch(ids, rows)
            seconds = time.perf_counter() - t
            conn.send((seconds, len(index)))
    conn.send(len(r))


def new_vectors(seed, d):
    first = 10**9 + seed * NEW
    return (np.arange(first, first + NEW, dtype=np.uint64),
            np.random.default_rng(seed).standard_normal((NEW, d), dtype=np.float32))


BASELINE = "import sys; sys.path.insert(0, sys.argv[1]); import orvex, readers; print(readers.rss_mb())"

OPEN = r"""
import json, sys, time
import orvex
t = time.perf_counter()
c = orvex.Collection.open_read_only(sys.argv[1]) if sys.argv[2] == "reader" else \
    orvex.Collection.open_or_create(sys.argv[1], int(sys.argv[3]), "euclidean")
print(json.dumps({"open_s": time.perf_counter() - t, "len": len(c)}))
"""


def open_seconds(path, how, d):
    out = subprocess.run([sys.executable, "-c", OPEN, path, how, str(d)], capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit("open failed:\n" + out.stderr)
    return json.loads(out.stdout)["open_s"]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="n = 100,000, 4 s a phase")
    ap.add_argument("--n", type=int, default=None, help="number of vectors (default 1,000,000)")
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--seconds", type=float, default=None, help="length of each search/insert phase (default 10)")
    ap.add_argument("--rounds", type=int, default=2, help="rounds of the search/insert phases (the best is kept)")
    ap.add_argument("--reps", type=int, default=3, help="runs of each refresh and open figure (the best is kept)")
    ap.add_argument("--dir", default=None, help="parent of the scratch directories (default: the system's)")
    ap.add_argument("--json", metavar="FILE", help="also write the figures as a results file (bench/report.py)")
    args = ap.parse_args()
    n, d = args.n or (100_000 if args.quick else 1_000_000), args.dim
    seconds = args.seconds or (4.0 if args.quick else 10.0)

    import orvex

    out = Results("readers", params={"n": n, "d": d, "k": K, "metric": "euclidean", "readers": READERS,
                                     "batch": BATCH, "flush_every": FLUSH_EVERY, "seconds": seconds,
                                     "rounds": args.rounds, "reps": args.reps, "clock": "wall"})
    out.version("orvex", orvex.__version__)
    out.version("numpy", np.__version__)
    print(f"{cpu_name()}, {CPUS} cpus; {out.data['date']}; orvex {orvex.__version__}, python "
          f"{sys.version.split()[0]}")
    print(f"n = {n:,}  d = {d}  k = {K}  {READERS} readers, writer batches of {BATCH:,} flushed every "
          f"{FLUSH_EVERY}, {seconds:g} s a phase")
    if CPUS < READERS + 2:
        print(f"note: {READERS} readers and a writer share {CPUS} cpus: the wall-clock ratios include that")

    scratch = tempfile.mkdtemp(prefix="orvex-readers-", dir=args.dir)
    base = os.path.join(scratch, "base")
    ctx, rows = mp.get_context("spawn"), []
    try:
        c = orvex.Collection.open_or_create(base, d, "euclidean")
        data = np.random.default_rng(1).standard_normal((n, d), dtype=np.float32)
        c.insert_batch(np.arange(1, n + 1, dtype=np.uint64), data)
        c.close()  # flushed
        del data, c

        # ---- searching and inserting, apart and together ---------------------------
        def copy(name):
            target = os.path.join(scratch, name)
            shutil.copytree(base, target)
            return target

        def per_s(reports, key, clock="wall_s"):
            return sum(r[key] / r[clock] for r in reports)

        # Alternating rounds; each figure is that of its best round (the machine may be shared).
        alones, solos, besides = [], [], []
        for _ in range(args.rounds):
            alones.append(run_phase(ctx, base, d, n, seconds, READERS, writer=False)[0])  # readers write nothing
            solos.append(run_phase(ctx, copy("writer"), d, n, seconds, 0, writer=True)[1])
            besides.append(run_phase(ctx, copy("both"), d, n, seconds, READERS, writer=True))
            for name in ("writer", "both"):
                shutil.rmtree(os.path.join(scratch, name))
        alone = max(alones, key=lambda reports: per_s(reports, "queries"))
        beside = max((b[0] for b in besides), key=lambda reports: per_s(reports, "queries"))
        solo = max(solos, key=lambda r: r["vectors"] / r["wall_s"])
        writer = max((b[1] for b in besides), key=lambda r: r["vectors"] / r["wall_s"])

        qs_alone, qs_beside = per_s(alone, "queries"), per_s(beside, "queries")
        qcpu_alone, qcpu_beside = per_s(alone, "queries", "cpu_s"), per_s(beside, "queries", "cpu_s")
        refreshes = max(1, sum(r["refreshes"] for r in beside))
        rows.append(("search, 2 readers, no writer", f"{qs_alone:,.1f} q/s", f"{qcpu_alone:,.1f} q/cpu-s", ""))
        rows.append(("search, 2 readers beside the writer", f"{qs_beside:,.1f} q/s", f"{qcpu_beside:,.1f} q/cpu-s",
                     f"{qs_beside / qs_alone:.2f}x (aim >= 0.8x); per cpu-s {qcpu_beside / qcpu_alone:.2f}x"))
        refresh_ms = 1e3 * sum(r["refresh_s"] for r in beside) / refreshes
        rows.append(("  their refreshes, every second", f"{refresh_ms:,.1f} ms",
                     f"{sum(r['applied'] for r in beside) / refreshes:,.0f} changes each", f"{refreshes} refreshes"))
        v_solo, v_beside = solo["vectors"] / solo["wall_s"], writer["vectors"] / writer["wall_s"]
        vcpu_solo, vcpu_beside = solo["vectors"] / solo["cpu_s"], writer["vectors"] / writer["cpu_s"]
        rows.append(("insert, writer, no readers", f"{v_solo:,.0f} vectors/s", f"{vcpu_solo:,.0f} /cpu-s",
                     f"{solo['flushes']} flushes"))
        rows.append(("insert, writer beside 2 readers", f"{v_beside:,.0f} vectors/s", f"{vcpu_beside:,.0f} /cpu-s",
                     f"{v_beside / v_solo:.2f}x (aim >= 0.9x); per cpu-s {vcpu_beside / vcpu_solo:.2f}x"))
        for phase, reports in (("no writer", alone), ("beside the writer", beside)):
            out.add("search", phase=phase, readers=READERS, q_per_s=round(per_s(reports, "queries"), 1),
                    q_per_cpu_s=round(per_s(reports, "queries", "cpu_s"), 1),
                    refreshes=sum(r["refreshes"] for r in reports),
                    refresh_ms=round(1e3 * sum(r["refresh_s"] for r in reports)
                                     / max(1, sum(r["refreshes"] for r in reports)), 2))
        for phase, report in (("no readers", solo), ("beside 2 readers", writer)):
            out.add("insert", phase=phase, vectors_per_s=round(report["vectors"] / report["wall_s"]),
                    vectors_per_cpu_s=round(report["vectors"] / report["cpu_s"]), flushes=report["flushes"])

        # ---- memory of the readers, beside the writer's ------------------------------
        # A process that only imports numpy and orvex: what the interpreter holds without a collection.
        here = os.path.dirname(os.path.abspath(__file__))
        base_mb = float(subprocess.run([sys.executable, "-c", BASELINE, here], capture_output=True, text=True,
                                       check=True).stdout)
        ideal = n * (4 * d + 8) / 2**20
        for phase, reports in (("no writer", alone), ("beside the writer", beside)):
            for i, r in enumerate(reports):
                out.add("memory", process=f"reader {i}", phase=phase, rss_mb=round(r["rss_mb"], 1),
                        baseline_mb=round(base_mb, 1), ideal_mb=round(ideal, 1))
        out.add("memory", process="writer", phase="no readers", rss_mb=round(solo["rss_mb"], 1),
                baseline_mb=round(base_mb, 1), ideal_mb=round(ideal, 1))
        added = [r["rss_mb"] - base_mb for r in alone + beside]
        rows.append(("reader RSS, each (no writer; beside it)",
                     ", ".join(f"{r['rss_mb']:,.0f}" for r in alone) + "; " + ", ".join(
                         f"{r['rss_mb']:,.0f}" for r in beside) + " MiB",
                     f"less {base_mb:,.0f} MiB of interpreter: {min(added) / ideal:.2f}x to {max(added) / ideal:.2f}x",
                     f"vectors and ids: {ideal:,.0f} MiB"))
        rows.append(("writer RSS (no readers)", f"{solo['rss_mb']:,.0f} MiB",
                     f"less the interpreter: {(solo['rss_mb'] - base_mb) / ideal:.2f}x", ""))

        # ---- refresh after 10,000 new vectors --------------------------------------------
        w = orvex.Collection.open_or_create(base, d, "euclidean")
        parent, child = ctx.Pipe()
        proc = ctx.Process(target=refresh_main, args=(base, d, child))
        proc.start()
        held = parent.recv()
        times = {"flushed": [], "logged": [], "reflushed": [], "index": []}

        def refresh(how, changes):
            parent.send(("refresh",))
            seconds_taken, applied = parent.recv()
            assert applied == changes, (how, applied)
            times[how].append(seconds_taken)

        for rep in range(args.reps):  # each starts with the reader up to date and the log empty
            w.insert_batch(*new_vectors(2 * rep, d))
            w.flush()
            refresh("flushed", NEW)
            w.insert_batch(*new_vectors(2 * rep + 1, d))
            refresh("logged", NEW)
            w.flush()
            refresh("reflushed", 0)  # the same changes, now in the data file
            for seed in (2 * rep, 2 * rep + 1):
                parent.send(("index", seed))
                times["index"].append(parent.recv()[0])
        parent.send(None)
        assert parent.recv() == held + 2 * NEW * args.reps
        proc.join()
        w.close()
        best = {key: min(v) for key, v in times.items()}
        rows.append((f"Index.insert_batch of {NEW:,} (into {held:,})", f"{best['index'] * 1e3:.2f} ms",
                     f"{NEW / best['index']:,.0f} vectors/s", ""))
        for how, label in (("flushed", "after insert_batch + flush"), ("logged", "after insert_batch, no flush"),
                           ("reflushed", "after a flush of those logged")):
            rows.append((f"refresh, {label}", f"{best[how] * 1e3:.2f} ms",
                         f"{NEW / best[how]:,.0f} vectors/s" if how != "reflushed" else "0 changes",
                         f"{best[how] / best['index']:.2f}x Index.insert_batch"
                         + (" (aim <= 2x)" if how == "flushed" else "")))
            out.add("refresh", after=label, new=NEW if how != "reflushed" else 0, ms=round(best[how] * 1e3, 3),
                    index_insert_ms=round(best["index"] * 1e3, 3), ratio=round(best[how] / best["index"], 2))

        # ---- opening: reader against writer ----------------------------------------------
        opens = {"reader": [], "writer": []}
        for _ in range(args.reps):
            for how in opens:
                opens[how].append(open_seconds(base, how, d))
        reader_s, writer_s = min(opens["reader"]), min(opens["writer"])
        held = n + 2 * NEW * args.reps
        rows.append(("open_or_create, flushed (warm)", f"{writer_s:.3f} s", f"{held / writer_s:,.0f} vectors/s", ""))
        rows.append(("open_read_only, flushed (warm)", f"{reader_s:.3f} s", f"{held / reader_s:,.0f} vectors/s",
                     f"{reader_s / writer_s:.2f}x open_or_create (aim <= 1.1x)"))
        out.add("open", how="open_or_create", n=held, seconds=round(writer_s, 4))
        out.add("open", how="open_read_only", n=held, seconds=round(reader_s, 4),
                ratio=round(reader_s / writer_s, 3))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print_rows(rows)
    out.write(args.json)


if __name__ == "__main__":
    main()
