#!/usr/bin/env python3
"""Memory of kestpy's model cache at scale.

Builds a model of N variables (one block, named) and N constraints of K terms
each (K*N nonzeros: row i is x[i] + x[i+1] + ... + x[i+K-1] <= 1, indices
wrapping around), then attaches a backend, which replays the whole cache into
it. Reports the resident memory that the cache holds per variable and per
nonzero (deltas of the process's resident set, read from /proc/self/statm,
after the Python temporaries of each phase are gone), the time of each phase
and the extra peak memory of the replay (the arrays the backend receives).

    python3 tools/scale_report.py                 # 10 million variables, 30 million nonzeros
    python3 tools/scale_report.py --vars 1000000 --json out.json
"""
import argparse
import gc
import json
import os
import sys
import time
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench", "backends"))
from kestpy_null import Model as NullModel  # noqa: E402  (the answers it does not tally)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak():
    """Makes VmHWM start again from the current resident set (Linux >= 4.0)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def available_memory():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


class Tally(NullModel):
    """A backend that keeps only counts and checksums of what it receives."""

    def __init__(self, name, env):
        self.vars = 0
        self.rows = 0
        self.nonzeros = 0
        self.index_sum = 0
        self.coeff_sum = 0.0
        self.upper_sum = 0.0
        self.names = 0
        self.senses = set()
        self.first_row = None

    def add_variables(self, count, names, types, lb, ub):
        self.vars += count
        self.names += sum(1 for n in names if n)
        self.upper_sum += sum(ub)
        return range(count)

    def add_variable(self, name, vtype, lb, ub):
        self.vars += 1
        return 0

    def add_constraints(self, indices, coeffs, constants, senses, rhs, names):
        if self.first_row is None and indices:
            self.first_row = (indices[0], coeffs[0], constants[0], senses[0], rhs[0], names[0])
        self.rows += len(indices)
        for idx, cf in zip(indices, coeffs):
            self.nonzeros += len(idx)
            self.index_sum += sum(idx)
            self.coeff_sum += sum(cf)
        self.senses.update(senses)
        return range(len(indices))

    def add_constraint(self, *args):
        self.rows += 1
        return 0

    # The array channel, which the shipped backends take.
    def add_variable_arrays(self, lb, ub, types, names):
        import numpy as np
        self.vars += len(lb)
        self.upper_sum += float(np.asarray(ub).sum())
        if names is not None:
            self.names += len(names) - sum(1 for n in names if not n)

    def add_constraint_arrays(self, starts, indices, coeffs, constants, senses, rhs, names):
        import numpy as np
        idx, cf, st = np.asarray(indices), np.asarray(coeffs), np.asarray(starts)
        if self.first_row is None and len(senses):
            self.first_row = (idx[st[0]:st[1]].tolist(), cf[st[0]:st[1]].tolist(), constants[0],
                              chr(senses[0]), rhs[0], names[0] if names is not None else "")
        self.rows += len(senses)
        self.nonzeros += len(idx)
        self.index_sum += int(idx.sum(dtype=np.int64))
        self.coeff_sum += float(cf.sum())
        self.senses.update(map(chr, np.unique(np.asarray(senses))))


def install_backend(name, factory):
    """Makes `factory` importable as the backend module kestpy_<name>."""
    module = types.ModuleType("kestpy_" + name)
    module.Model = factory
    sys.modules[module.__name__] = module


def measure(n_vars=10_000_000, per_row=3, chunk=500_000, backend="scale_tally", log=None):
    """Builds, replays and measures; returns a dict of figures (and the Tally when used)."""
    import kestpy

    say = log or (lambda *a, **k: None)
    received = []
    if backend == "scale_tally":
        install_backend("scale_tally", lambda name, env: received.append(Tally(name, env)) or received[-1])
    gc.collect()
    out = {"vars": n_vars, "per_row": per_row, "nonzeros": n_vars * per_row, "memory_available": available_memory()}
    base = rss()

    t = time.perf_counter()
    m = kestpy.Model("scale")
    vs = m.addVars(n_vars, ub=1.0, name="x")
    del vs
    gc.collect()
    out["time_vars"] = time.perf_counter() - t
    after_vars = rss()
    say(f"{n_vars:,} variables in {out['time_vars']:.1f} s")

    V = kestpy.Var
    t = time.perf_counter()
    for lo in range(0, n_vars, chunk):
        hi = min(lo + chunk, n_vars)
        if per_row == 3:
            rows = (V(i) + V((i + 1) % n_vars) + V((i + 2) % n_vars) <= 1 for i in range(lo, hi))
        else:
            rows = (kestpy.quicksum([V((i + k) % n_vars) for k in range(per_row)]) <= 1 for i in range(lo, hi))
        m.addConstrs(rows)
        say(f"  rows {hi:,}", end="\r")
    gc.collect()
    out["time_constraints"] = time.perf_counter() - t
    after_constrs = rss()
    say(f"{n_vars:,} constraints, {n_vars * per_row:,} nonzeros in {out['time_constraints']:.1f} s")

    out["bytes_per_var"] = (after_vars - base) / n_vars
    out["bytes_per_row"] = (after_constrs - after_vars) / n_vars
    out["bytes_per_nonzero"] = (after_constrs - after_vars) / (n_vars * per_row)
    out["cache_bytes"] = after_constrs - base

    peak_ok = reset_peak()
    before_replay = rss()
    t = time.perf_counter()
    m.setBackend(backend)
    out["time_replay"] = time.perf_counter() - t
    out["replay_peak_extra_bytes"] = (peak_rss() - before_replay) if peak_ok else None
    gc.collect()
    out["after_replay_extra_bytes"] = rss() - before_replay
    say(f"replay into kestpy_{backend} in {out['time_replay']:.1f} s")
    out["process_peak_bytes"] = peak_rss()
    if received:
        out["tally"] = received[-1]
    del m
    gc.collect()
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--vars", type=int, default=10_000_000)
    ap.add_argument("--per-row", type=int, default=3)
    ap.add_argument("--chunk", type=int, default=500_000)
    ap.add_argument("--backend", default="scale_tally",
                    help="scale_tally (counts what arrives) or null (bench/backends/kestpy_null.py)")
    ap.add_argument("--json", help="write the figures to this file")
    args = ap.parse_args()

    figures = measure(args.vars, args.per_row, args.chunk, args.backend,
                      log=lambda *a, **k: print(*a, **k, file=sys.stderr, flush=True))
    tally = figures.pop("tally", None)
    if tally is not None:
        assert tally.vars == args.vars and tally.rows == args.vars, (tally.vars, tally.rows)
        assert tally.nonzeros == args.vars * args.per_row, tally.nonzeros
        figures["backend_received"] = {"vars": tally.vars, "rows": tally.rows, "nonzeros": tally.nonzeros}
    mb = 1024 * 1024
    print(f"variables            {figures['vars']:>14,}")
    print(f"nonzeros             {figures['nonzeros']:>14,}")
    print(f"cache                {figures['cache_bytes'] / mb:>14,.0f} MiB")
    print(f"bytes per variable   {figures['bytes_per_var']:>14.1f}   (name, bounds, type)")
    print(f"bytes per row        {figures['bytes_per_row']:>14.1f}   (name, set, function, {args.per_row} terms)")
    print(f"bytes per nonzero    {figures['bytes_per_nonzero']:>14.1f}   (constraint memory / nonzeros)")
    print(f"build variables      {figures['time_vars']:>14.1f} s")
    print(f"build constraints    {figures['time_constraints']:>14.1f} s")
    print(f"replay               {figures['time_replay']:>14.1f} s")
    if figures["replay_peak_extra_bytes"] is not None:
        print(f"replay peak extra    {figures['replay_peak_extra_bytes'] / mb:>14,.0f} MiB   (the arrays the backend receives)")
    print(f"process peak         {figures['process_peak_bytes'] / mb:>14,.0f} MiB")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=2)


if __name__ == "__main__":
    main()
