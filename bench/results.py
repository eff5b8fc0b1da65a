"""Results files of the benchmarks: rows of dicts, grouped in sections, with
the machine, the date and the versions they came from.

    results = Results("search", params={"k": 10})
    results.add("search", system="orvex", n=100000, single_ms=1.2)
    results.write(path)            # nothing happens when path is None

A results file is one JSON object:
    {"bench": NAME, "date": "YYYY-MM-DD", "machine": {"cpu", "cpus", "flags", "system"},
     "versions": {module: version}, "params": {...}, "sections": {SECTION: [row, ...]}}
A row is any flat dict of numbers and strings; bench/report.py renders every
section as a table of the keys its rows have, so a new field or section shows
up without changing the report.
"""
import datetime
import importlib
import json
import os
import platform
import sys


# The cpus the process may use as it starts (a benchmark may pin itself to one later).
CPUS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def cpu_name():
    """The CPU's model name, with its family and model numbers (a name like "AMD EPYC" covers several)."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                key = key.strip()
                if key in ("model name", "cpu family", "model") and key not in fields:
                    fields[key] = value.strip()
                if not line.strip():
                    break
    except OSError:
        pass
    name = fields.get("model name") or platform.processor() or "unknown CPU"
    if "cpu family" in fields and "model" in fields:
        name += f" (family {fields['cpu family']}, model {fields['model']})"
    return name


def cpu_flags():
    """The CPU's feature flags from /proc/cpuinfo (empty where there is none)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def version_of(module):
    """The version of an installed module, or None; never imports more than asked."""
    mod = sys.modules.get(module)
    if mod is None:
        try:
            mod = importlib.import_module(module)
        except ImportError:
            return None
    return getattr(mod, "__version__", "installed")


class Results:
    def __init__(self, bench, params=None):
        flags = cpu_flags()
        self.data = {
            "bench": bench,
            "date": datetime.date.today().isoformat(),
            "machine": {
                "cpu": cpu_name(),
                "cpus": CPUS,
                "flags": " ".join(f for f in ("avx2", "fma", "avx512f") if f in flags),
                "system": f"{platform.system()} {platform.release()}, Python {platform.python_version()}",
            },
            "versions": {},
            "params": dict(params or {}),
            "sections": {},
        }

    def version(self, name, value):
        if value is not None:
            self.data["versions"][name] = value

    def param(self, **kw):
        self.data["params"].update(kw)

    def add(self, section, **row):
        self.data["sections"].setdefault(section, []).append(row)
        return row

    def write(self, path):
        if not path:
            return
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "w") as f:
            json.dump(self.data, f, indent=1, sort_keys=False)
            f.write("\n")
        print(f"results written to {path}")
