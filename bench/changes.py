"""Right-hand-side changes followed by re-solves of one LP, in place against
rebuilding the model each time.

The LP: n variables in [0, 1] and n rows x_i + x_(i+1 mod n) <= b_i, the
objective max sum c_j x_j, b and c drawn from [1, 2] with a fixed seed. Each
step sets one row's RHS to a new draw and solves again:

  in place   ConstrRef.RHS = b, then optimize: HiGHS changes the row bound
             and starts from the last basis
  rebuilt    a new Model built from the data with that RHS, setBackend,
             optimize: a cold solve every time

Printed: seconds per step (change + re-solve, or build + attach + solve) and
HiGHS's mean simplex iterations per solve, which show the warm start. The
rebuilt side runs fewer steps (--rebuilds) when it is slow; its per-step
figures are what it would cost per change. Also: the cost of one queued
change, x.UB = v in a loop of --sets calls, sent to HiGHS in one batch.
"""
from __future__ import annotations

import random
import statistics
import time


def _data(n, seed=1):
    rng = random.Random(seed)
    return [rng.uniform(1, 2) for _ in range(n)], [rng.uniform(1, 2) for _ in range(n)]


def _build(kp, rhs, cost):
    n = len(rhs)
    m = kp.Model("changes")
    x = m.addVars(n, ub=1.0)
    xs = list(x)
    m.addConstrs(xs[i] + xs[(i + 1) % n] <= rhs[i] for i in range(n))
    m.setObjective(kp.quicksum(c * v for c, v in zip(cost, xs)), kp.KEST.MAXIMIZE)
    return m, x


def _steps(n, count, seed=2):
    rng = random.Random(seed)
    return [(rng.randrange(n), rng.uniform(1, 2)) for _ in range(count)]


def in_place(kp, n, changes):
    rhs, cost = _data(n)
    m, _ = _build(kp, rhs, cost)
    m.setBackend("highs")
    t = time.perf_counter()
    m.optimize()
    first = time.perf_counter() - t
    refs = m.getConstrs()
    iters, objs = [], []
    t = time.perf_counter()
    for row, value in _steps(n, changes):
        refs[row].RHS = value
        m.optimize()
        iters.append(m.IterCount)
        objs.append(m.ObjVal)
    per = (time.perf_counter() - t) / changes
    return {"first_solve_s": first, "first_iters": None, "per_step_s": per,
            "mean_iters": statistics.fmean(iters), "objs": objs}


def rebuilt(kp, n, changes):
    rhs, cost = _data(n)
    iters, objs = [], []
    t = time.perf_counter()
    for row, value in _steps(n, changes):
        rhs[row] = value
        m, _ = _build(kp, rhs, cost)
        m.setBackend("highs")
        m.optimize()
        iters.append(m.IterCount)
        objs.append(m.ObjVal)
    per = (time.perf_counter() - t) / changes
    return {"per_step_s": per, "mean_iters": statistics.fmean(iters), "objs": objs}


def queued_sets(kp, n, sets):
    rhs, cost = _data(n)
    m, x = _build(kp, rhs, cost)
    m.setBackend("highs")
    m.optimize()
    members = list(x)
    rng = random.Random(3)
    picks = [(members[rng.randrange(n)], rng.uniform(0.5, 1.0)) for _ in range(sets)]
    t = time.perf_counter()
    for v, ub in picks:
        v.UB = ub
    per_set = (time.perf_counter() - t) / sets
    t = time.perf_counter()
    m.optimize()
    return {"per_set_ns": per_set * 1e9, "solve_after_s": time.perf_counter() - t}


def main(rows=100_000, changes=1000, rebuilds=10, sets=10_000):
    import kestpy as kp
    print(f"LP of {rows} rows and {rows} variables; {changes} RHS changes in place, {rebuilds} rebuilt")
    a = in_place(kp, rows, changes)
    print(f"  first solve           {a['first_solve_s']:.3f} s")
    print(f"  in place, per change  {a['per_step_s'] * 1e3:9.2f} ms  {a['mean_iters']:9.1f} simplex iterations")
    b = rebuilt(kp, rows, rebuilds)
    print(f"  rebuilt, per change   {b['per_step_s'] * 1e3:9.2f} ms  {b['mean_iters']:9.1f} simplex iterations")
    # the same steps give the same optima both ways
    same = all(abs(p - q) <= 1e-7 * max(1.0, abs(q)) for p, q in zip(a["objs"], b["objs"]))
    print(f"  ratio {b['per_step_s'] / a['per_step_s']:.1f}x; optima of the first {rebuilds} steps agree: {same}")
    c = queued_sets(kp, rows, sets)
    print(f"  x.UB = v, queued      {c['per_set_ns']:9.0f} ns per set; the one solve after {sets}: "
          f"{c['solve_after_s']:.3f} s")
    return 0 if same else 1
