"""Runs every measurement in a fresh process and collects the medians."""
from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from bench import data
from bench.models import LIBRARIES, missing

MODELS = ["pmedian", "queens", "basic", "knapsack"]

# Sizes of the full run, two orders of magnitude up to the largest the issue
# names; it has to fit in about 40 minutes on 2 cores.
SIZES = {
    "pmedian": [100, 1000, 5000],
    "queens": [30, 300, 1000],
    "basic": [30, 300, 1000],
    "knapsack": [1000, 100_000, 1_000_000],
}

# Sizes of --quick and --check: small enough to solve everywhere in seconds.
SMALL = {"pmedian": 100, "queens": 8, "basic": 10, "knapsack": 100}

# Largest size a library runs at, where its time would dominate the run.
CAPS = {
    "pyomo": {"pmedian": 1000, "queens": 300, "basic": 300, "knapsack": 100_000},
}

# Libraries whose build call already loads HiGHS: the build phase is the load
# phase, measured once.
DIRECT = {"pyoptinterface", "highspy"}

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def key(model, size, lib, phase) -> str:
    return f"{model}|{size}|{lib}|{phase}"


def run_one(lib, model, size, phase, timeout) -> dict:
    """One child process; returns its JSON result or an error record."""
    fd, path = tempfile.mkstemp(prefix="kestbench-", suffix=".json")
    os.close(fd)
    cmd = [sys.executable, "-m", "bench.worker", lib, model, str(size), phase, path]
    env = dict(os.environ)
    env["PYTHONPATH"] = ROOT + os.pathsep + env.get("PYTHONPATH", "")
    started = time.perf_counter()
    try:
        proc = subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True,
                              text=True, timeout=timeout)
        try:
            with open(path) as f:
                result = json.load(f)
        except (OSError, ValueError):
            tail = (proc.stderr or proc.stdout or "")[-2000:]
            result = {"ok": False, "error": f"worker exited {proc.returncode}: {tail}"}
    except subprocess.TimeoutExpired:
        result = {"ok": False, "timeout": True, "error": f"timeout after {timeout:.0f} s"}
    finally:
        try:
            os.unlink(path)
        except OSError:
            pass
    result["wall_s"] = time.perf_counter() - started
    return result


def phases_for(lib, run0=False) -> list[str]:
    load = "load_run0" if run0 else "load"
    return [load] if lib in DIRECT else ["build", load]


def plan(models, libs, sizes, run0=False):
    """(model, size, lib, phase) in the order they run, and the skips."""
    runs, skips = [], {}
    for model in models:
        for size in sizes[model]:
            for lib in libs:
                cap = CAPS.get(lib, {}).get(model)
                if cap is not None and size > cap:
                    skips[key(model, size, lib, "*")] = f"above the size cap {cap}"
                    continue
                for phase in phases_for(lib, run0):
                    gone = missing(lib, phase)
                    if gone:
                        skips[key(model, size, lib, phase)] = "not installed: " + ", ".join(gone)
                        continue
                    runs.append((model, size, lib, phase))
    return runs, skips


def run(models, libs, sizes, reps, timeout=150.0, slow=20.0, run0=False, log=print):
    """Runs the plan; returns {key: record} with every repetition kept."""
    runs, skips = plan(models, libs, sizes, run0)
    records = {k: {"skipped": why} for k, why in skips.items()}
    dead = set()   # (lib, model) that timed out or failed: larger sizes are skipped
    for model, size, lib, phase in runs:
        k = key(model, size, lib, phase)
        if (lib, model) in dead:
            records[k] = {"skipped": "not run: a smaller size timed out or failed"}
            continue
        rec = records.setdefault(k, {"reps": []})
        for rep in range(reps):
            res = run_one(lib, model, size, phase, timeout)
            if res.get("timeout"):
                rec["timeout"] = timeout
                log(f"  {k}: timeout after {timeout:.0f} s")
                dead.add((lib, model))
                break
            if not res.get("ok"):
                rec["error"] = res.get("error", "failed")
                log(f"  {k}: FAILED {rec['error'].splitlines()[0][:200]}")
                dead.add((lib, model))
                break
            rec["reps"].append({f: res[f] for f in (
                "build_s", "load_s", "load_only_s", "load_run0_s", "peak_rss",
                "base_rss", "import_s", "replay_s", "flush_s") if f in res})
            t = res.get("load_run0_s", res.get("load_s", res["build_s"]))
            log(f"  {k} rep {rep + 1}: {t:.4f} s, peak {res['peak_rss'] / 2**20:.0f} MiB")
            if res["wall_s"] > slow:
                rec["note"] = f"{len(rec['reps'])} repetition(s): one took {res['wall_s']:.0f} s"
                break
    return records


def median(rec, field):
    vals = [r[field] for r in rec.get("reps", []) if field in r]
    return statistics.median(vals) if vals else None


def check(models, libs, sizes=None, timeout=600.0, log=print) -> bool:
    """Solves each model in every library and compares with the floor."""
    ok = True
    for model in models:
        size = sizes[model][0] if sizes else SMALL[model]
        expect = data.dimensions(model, size)
        ref = None
        for lib in ["floor"] + [l for l in libs if l != "floor"]:
            gone = missing(lib, "check")
            if gone:
                log(f"{model:9s} {size:>7} {lib:15s} skipped (not installed: {', '.join(gone)})")
                continue
            res = run_one(lib, model, size, "check", timeout)
            if not res.get("ok"):
                ok = False
                log(f"{model:9s} {size:>7} {lib:15s} FAILED {res.get('error')}")
                continue
            obj = res["objective"]
            if lib == "floor":
                ref = obj
            dims = res.get("dims")
            good_obj = obj is not None and ref is not None and \
                abs(obj - ref) <= 1e-6 * max(1.0, abs(ref))
            good_dims = dims is None or all(
                got is None or got == want for got, want in zip(dims, expect))
            ok = ok and good_obj and good_dims
            log(f"{model:9s} {size:>7} {lib:15s} objective {obj!s:>12} "
                f"dims {tuple(dims) if dims else '-'!s:24} "
                f"{'ok' if good_obj and good_dims else 'MISMATCH (floor ' + str(ref) + ', ' + str(expect) + ')'}")
    return ok
