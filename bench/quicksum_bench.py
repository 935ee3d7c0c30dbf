"""Nanoseconds per item of kestpy's accumulation paths.

    python bench/quicksum_bench.py [--n 1000000] [--constraints 100000] [--repeat 5]

Figures (median of --repeat runs, garbage collection off while timing):
- quicksum over a list of n Vars: one append per item, no Python object made;
- quicksum over a generator of c * x terms: the generator builds one LinExpr
  per item (the caller's cost), quicksum appends its term;
- the generator alone (the same c * x terms, consumed by a deque), so the
  share of quicksum in the line above can be read off;
- addConstrs with a prebuilt list of small constraints (x[i] + x[i+1] <= 1),
  and with a generator that builds them while they are drawn.
"""
from __future__ import annotations

import argparse
import statistics
from collections import deque

import kestpy

try:
    from bench.micro import time_once
except ImportError:  # run as a script: this directory is on the path, the package is not
    from micro import time_once


def timed(fn, repeat, setup=None):
    """Median wall time of fn(state) in nanoseconds; setup() makes a fresh state."""
    times = []
    for _ in range(repeat):
        state = setup() if setup else None
        times.append(time_once(fn, state))
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=10**6, help="items per quicksum")
    ap.add_argument("--constraints", type=int, default=10**5, help="constraints per addConstrs")
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    n, nc, repeat = args.n, args.constraints, args.repeat

    m = kestpy.Model("bench")
    xs = list(m.addVars(n))
    coeffs = [1.0 + (i % 7) for i in range(n)]

    rows = []
    ns = timed(lambda _: kestpy.quicksum(xs), repeat)
    rows.append((f"quicksum(list of {n} Vars)", ns / n))

    ns = timed(lambda _: kestpy.quicksum(c * x for c, x in zip(coeffs, xs)), repeat)
    rows.append((f"quicksum(c * x for {n} terms)", ns / n))

    ns = timed(lambda _: deque((c * x for c, x in zip(coeffs, xs)), maxlen=0), repeat)
    rows.append(("  of which the generator alone", ns / n))

    def fresh():
        model = kestpy.Model("c")
        v = list(model.addVars(nc + 1))
        return model, v

    def prebuilt():
        model, v = fresh()
        return model, [v[i] + v[i + 1] <= 1 for i in range(nc)]

    ns = timed(lambda s: s[0].addConstrs(s[1]), repeat, prebuilt)
    rows.append((f"addConstrs(list of {nc} constraints)", ns / nc))

    ns = timed(lambda s: s[0].addConstrs(s[1][i] + s[1][i + 1] <= 1 for i in range(nc)), repeat, fresh)
    rows.append((f"addConstrs(generator of {nc} constraints)", ns / nc))

    width = max(len(name) for name, _ in rows)
    print(f"{'operation':<{width}}  ns/item")
    for name, per_item in rows:
        print(f"{name:<{width}}  {per_item:8.1f}")


if __name__ == "__main__":
    main()
