"""kestpy, written the way its users write models: addVars blocks, quicksum,
addConstrs over generators. The model is built without a backend; loading is
``setBackend("highs")``, which replays the whole cache into the backend.

The HiGHS backend stages what it receives and hands it to HiGHS at the next
``update`` or ``optimize``; nothing in kestpy calls ``update``, so the
benchmark calls it on the backend object to stop the clock only when HiGHS
holds the whole model. The two steps are timed apart as well.
"""
from __future__ import annotations

import importlib
import time

import kestpy as kp

try:  # imported here, as the peers import their solver modules, outside the clock
    import kestpy_highs  # noqa: F401
except ImportError:
    pass

NAME = "kestpy"
DIRECT = False


def pmedian(d):
    L, C, loc = d.L, d.C, d.loc_list
    m = kp.Model("pmedian")
    s = m.addVars(L, lb=0.0, ub=1.0, name="s")
    x = m.addVars(L, C, lb=0.0, ub=1.0, name="x")
    m.setObjective(kp.quicksum(abs(loc[a] - i) * x[i, a] for a in range(C) for i in range(L)),
                   kp.KEST.MINIMIZE)
    m.addConstrs((x[i, a] - s[i] <= 0 for i in range(L) for a in range(C)), name="link")
    m.addConstrs((kp.quicksum(x[i, a] for i in range(L)) == 1 for a in range(C)), name="cover")
    m.addConstr(kp.quicksum(s) == d.F, name="open")
    return m


def queens(d):
    N = d.N
    m = kp.Model("queens")
    x = m.addVars(N, N, vtype=kp.KEST.BINARY, name="x")
    m.addConstrs((kp.quicksum(x[i, j] for j in range(N)) == 1 for i in range(N)), name="row")
    m.addConstrs((kp.quicksum(x[i, j] for i in range(N)) == 1 for j in range(N)), name="col")
    m.addConstrs((kp.quicksum(x[i, i + k] for i in range(max(0, -k), min(N, N - k))) <= 1
                  for k in range(-N + 1, N)), name="diag")
    m.addConstrs((kp.quicksum(x[i, N - 1 - i - k] for i in range(max(0, -k), min(N, N - k))) <= 1
                  for k in range(-N + 1, N)), name="anti")
    return m


def basic(d):
    N = d.N
    m = kp.Model("basic")
    x = m.addVars(N, N, name="x")
    y = m.addVars(N, N, name="y")
    m.setObjective(kp.quicksum(2 * x[i, j] + y[i, j] for i in range(N) for j in range(N)),
                   kp.KEST.MINIMIZE)
    m.addConstrs((x[i, j] - y[i, j] >= i for i in range(N) for j in range(N)), name="lower")
    m.addConstrs((x[i, j] + y[i, j] >= 0 for i in range(N) for j in range(N)), name="sum")
    return m


def knapsack(d):
    N, w, v = d.N, d.weight_list, d.value_list
    m = kp.Model("knapsack")
    x = m.addVars(N, vtype=kp.KEST.BINARY, name="x")
    m.addConstr(kp.quicksum(w[i] * x[i] for i in range(N)) <= d.capacity, name="capacity")
    m.setObjective(kp.quicksum(-v[i] * x[i] for i in range(N)), kp.KEST.MINIMIZE)
    return m


MODELS = {"pmedian": pmedian, "queens": queens, "basic": basic, "knapsack": knapsack}


def build(model, d):
    return MODELS[model](d)


def load(m, backend="highs"):
    """setBackend, then the backend's update; returns the two times."""
    module = importlib.import_module("kestpy_" + backend)
    factory = module.Model
    made = []

    def recording_factory(name, env):
        made.append(factory(name, env))
        return made[-1]

    module.Model = recording_factory
    try:
        t0 = time.perf_counter()
        m.setBackend(backend)
        t1 = time.perf_counter()
    finally:
        module.Model = factory
    made[-1].update()
    return {"replay_s": t1 - t0, "flush_s": time.perf_counter() - t1}


def run0(m):
    m.setParam("time_limit", 0.0)
    m.optimize()


def solve(m):
    m.optimize()
    return m.ObjVal


def dims(m):
    return None
