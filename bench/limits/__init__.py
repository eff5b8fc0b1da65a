"""The machine's own limits, which bench/search.py reads its figures against.

Two small C++ programs, compiled on the spot with g++ and run:
  machine.cpp  one-core read bandwidth; additions, multiplications, fused
               multiply-adds and (product, sum) pairs per second on one core;
               the pair rate of every core at once. An exact dot product is
               bound by the pair rate (a product and a sum per term, each
               rounded); an exact Euclidean term (a subtraction, a product
               and a sum) by two thirds of it.
  runs.cpp     the AVX2 scan's hand-scheduled runs (core/index/runs_avx2.h)
               alone, with their data in L2, taking turns with the peak pair
               loop: the exact kernels' share of their bound.
Without a compiler, numpy's sum stands in for the read bandwidth.

    python bench/limits                  # prints the figures
    python bench/limits --json FILE      # and writes them as a results file
"""
import json
import os
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CORE = os.path.join(HERE, "..", "..", "core")
# The cpus the process may use when it started (a benchmark pins itself to one later).
ALL_CPUS = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []


def _compile_and_run(source, flags, exe_name, runner=()):
    cxx = shutil.which("g++") or shutil.which("c++")
    if not cxx:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, exe_name)
        build = subprocess.run([cxx, "-O2", "-std=c++20", *flags, os.path.join(HERE, source), "-o", exe],
                               capture_output=True, text=True)
        if build.returncode != 0:
            return None
        run = subprocess.run([*runner, exe], capture_output=True, text=True)
        return json.loads(run.stdout) if run.returncode == 0 else None


def machine_limits():
    """machine.cpp's figures (a dict), or the read bandwidth alone from numpy."""
    runner = ("taskset", "-c", ",".join(map(str, ALL_CPUS))) if ALL_CPUS and shutil.which("taskset") else ()
    lim = _compile_and_run("machine.cpp", ["-ffp-contract=off", "-pthread", "-Wno-psabi"], "machine", runner)
    if lim is not None:
        lim["how"] = "bench/limits/machine.cpp (%d-bit)" % lim["vector_bits"]
        return lim
    import numpy as np
    a = np.ones(1 << 28, dtype=np.float32)
    best = 0.0
    for _ in range(3):
        t = time.thread_time()
        a.sum()
        best = max(best, a.nbytes / (time.thread_time() - t) / 1e9)
    return {"read_gbps": best, "how": "numpy sum"}


def exact_runs():
    """runs.cpp's figures (a dict): the AVX2 scan's runs alone, or None without AVX2 or a compiler."""
    from results import cpu_flags
    if not {"avx2", "fma"} <= cpu_flags():
        return None
    return _compile_and_run("runs.cpp", ["-mavx2", "-mfma", "-I", CORE], "runs")


def describe(limits, runs):
    lines = ["limits (%s): one-core read bandwidth %.1f GB/s" % (limits["how"], limits["read_gbps"])]
    if "pair_g" in limits:
        lines.append("  one core, G lane operations/s: add %.1f, mul %.1f, fma %.1f; exact bounds in G terms/s: "
                     "dot %.1f, Euclidean %.1f; all %d cpus at once: %.1f G pairs/s" % (
                         limits["add_g"], limits["mul_g"], limits["fma_g"], limits["pair_g"],
                         limits["l2_terms_g"], limits["cores"], limits["pair_g_all"]))
    if runs:
        lines.append("  exact kernels alone (the AVX2 runs, group data in L2, taking turns with the peak pair "
                     "loop): dot %.1f G terms/s = %.0f%% of %.1f; Euclidean %.1f G terms/s = %.0f%% of %.1f" % (
                         runs["dot_terms_g"], 100 * runs["dot_share"], runs["pair_g"], runs["l2_terms_g"],
                         100 * runs["l2_share"], runs["pair_g"] * 2 / 3))
    return "\n".join(lines)


def main():
    import argparse
    from results import Results
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--json", metavar="FILE", help="write the figures as a results file")
    args = ap.parse_args()
    limits, runs = machine_limits(), exact_runs()
    print(describe(limits, runs))
    results = Results("limits")
    results.add("limits", **{k: v for k, v in limits.items()})
    if runs:
        results.add("exact_runs", **runs)
    results.write(args.json)
