"""A representative kestpy session for tools/valgrind.sh: builds models with
every building call, replays them into the recording backend and into HiGHS,
solves, reads results, and walks the error paths (argument errors, unknown
variables, backend faults, broken models), in a few rounds so that anything
lost per round would add up. Exits non-zero if a result is wrong."""

import gc
import math
import sys
import weakref

# The backends and what they load come in before kestpy does any work, so that
# what the imports themselves keep (numpy's tables, the import system's own
# leftovers at exit) is not allocated under a kestpy frame: tools/valgrind.sh
# blames a definite loss on kestpy when a kestpy frame allocated it.
import highspy  # noqa: F401
import numpy  # noqa: F401

import kestpy_highs  # noqa: F401
import kestpy_recording

import kestpy as kp
from kestpy import KEST


def expect(exc_name, fn, *args, **kwargs):
    """fn must raise an exception whose class is named exc_name."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # PanicException is a BaseException
        if type(exc).__name__ != exc_name:
            raise
        return exc
    raise AssertionError(f"{fn!r} did not raise {exc_name}")


def transport(n_src, n_dst):
    """A small transportation problem, solved by HiGHS."""
    supply = [20.0 + 3 * i for i in range(n_src)]
    demand = [sum(supply) / n_dst * 0.9] * n_dst
    cost = [[1.0 + ((3 * i + 7 * j) % 11) for j in range(n_dst)] for i in range(n_src)]
    m = kp.Model("transport")
    ship = m.addVars(n_src, n_dst, ub=100.0, name="ship")
    m.addConstrs((kp.quicksum(ship[i, j] for j in range(n_dst)) <= supply[i] for i in range(n_src)),
                 name=[f"supply{i}" for i in range(n_src)])
    m.addConstrs((kp.quicksum(ship[i, j] for i in range(n_src)) >= demand[j] for j in range(n_dst)),
                 name="demand")
    m.setObjective(kp.quicksum(cost[i][j] * ship[i, j] for i in range(n_src) for j in range(n_dst)),
                   KEST.MINIMIZE)
    m.setParam("output_flag", False)
    m.setBackend("highs")
    m.optimize()
    total = sum(ship[i, j].X for i in range(n_src) for j in range(n_dst))
    if not math.isclose(total, sum(demand), rel_tol=1e-6):
        sys.exit(f"transport: shipped {total}, demand {sum(demand)}")
    if m.ObjVal is None or m.ObjVal <= 0:
        sys.exit(f"transport: objective {m.ObjVal}")
    return m.ObjVal


def knapsack():
    """A small MIP with binaries and integers, attached before building."""
    m = kp.Model("knapsack")
    m.setBackend("highs")
    m.setParam("output_flag", False)
    take = m.addVars(8, vtype=KEST.BINARY, name="take")
    extra = m.addVar(lb=0, ub=3, vtype=KEST.INTEGER, name="extra")
    weight = [3, 4, 5, 9, 4, 2, 7, 6]
    value = [4.0, 5.0, 6.0, 10.0, 4.5, 2.5, 8.0, 6.5]
    m.addConstr(kp.quicksum(w * take[k] for k, w in enumerate(weight)) + 2 * extra <= 20, name="cap")
    m.setObjective(kp.quicksum(v * take[k] for k, v in enumerate(value)) + 1.5 * extra, KEST.MAXIMIZE)
    m.optimize()
    if m.ObjVal is None or m.ObjVal < 20:
        sys.exit(f"knapsack: objective {m.ObjVal}")


def expressions():
    """Operators and printed forms, without a backend."""
    m = kp.Model("expr")
    x, y = m.addVar(name="x"), m.addVar(ub=5, name="y")
    v = m.addVars(2, 3, lb=[0.0] * 6, name="v")
    e = 2 * x + y - 3
    e = (e + v[1, 2]) * 0.5 - x
    e = 0 - e + 4 - (y * 2)
    total = kp.quicksum([e, x, v[0, 0], 7.5])
    texts = [str(e), repr(total), str(x >= y), str(e == 0), str(3 <= total)]
    if not all(texts):
        sys.exit("empty printed form")
    cons = [x + y <= 4, e >= 1, total == 2, 2 * v[0, 1] <= x]
    for c in cons:
        m.addConstr(c)
    m.addConstrs(c for c in cons)
    m.setObjective(e, KEST.MAXIMIZE)
    return m, x


def recorded(model_x):
    """Replays a built model into the recording backend and reads results."""
    m, x = model_x
    m.setBackend("recording")
    rec = kestpy_recording.created[-1]
    rec.var_values[0] = 1.25  # x is the model's first variable
    rec.objective_value = 3.5
    m.optimize()
    if m.ObjVal != 3.5 or x.X != 1.25:
        sys.exit(f"recording: objective {m.ObjVal}, x {x.X}")
    if len(rec.calls) < 3:
        sys.exit(f"recording: only {rec.calls}")


def cycles():
    """Backends that keep a Var or their model: only the collector frees them."""
    alive = []
    for keep in ("var", "vars", "model"):
        m = kp.Model("cycle")
        x = m.addVar()
        vs = m.addVars(2, 2)
        m.setBackend("recording")
        rec = kestpy_recording.created.pop()
        rec.kept = {"var": x, "vars": vs, "model": m}[keep]
        alive.append(weakref.ref(rec))
    del m, x, vs, rec
    gc.collect()
    if any(r() is not None for r in alive):
        sys.exit("cycles: a backend that keeps a Var or its model was not collected")


def error_paths():
    m = kp.Model("errors")
    x = m.addVar()
    other = kp.Model("other").addVar()
    expect("TypeError", m.addVar, lb="zero")
    expect("TypeError", m.addVar, name=None)
    expect("TypeError", m.addVars, 2, lb="no")
    expect("OverflowError", m.addVars, -1)
    expect("TypeError", m.addConstr, 3)
    expect("TypeError", m.addConstrs, "xy")
    expect("TypeError", m.setObjective, x, 5)
    expect("TypeError", kp.quicksum, 4)
    expect("PanicException", lambda: x * x)
    expect("TypeError", lambda: {x: 1})
    expect("PanicException", lambda: x + "text")
    # a constraint on another model's variable
    try:
        m.addConstr(other <= 1)
    except BaseException:
        pass
    # a backend method that raises breaks the model for good
    kestpy_recording.registry.setup.append(lambda rec: rec.raise_on("optimize", ValueError("no")))
    m.setBackend("recording")
    expect("PanicException", m.optimize)
    expect("PanicException", m.addVar)
    kestpy_recording.registry.reset()
    # a backend that answers with the wrong type
    n = kp.Model("wrong")
    n.addVar()
    kestpy_recording.registry.setup.append(lambda rec: rec.answer("optimize", "done"))
    n.setBackend("recording")
    expect("PanicException", n.optimize)
    kestpy_recording.registry.reset()
    # an unknown backend module
    expect("PanicException", kp.Model("nobackend").setBackend, "no_such_backend_here")


def main(rounds):
    objs = set()
    for _ in range(rounds):
        objs.add(round(transport(4, 5), 6))
        knapsack()
        recorded(expressions())
        error_paths()
        cycles()
        kestpy_recording.registry.reset()
        gc.collect()
    if len(objs) != 1:
        sys.exit(f"transport objective changed between rounds: {objs}")
    print(f"valgrind workload: {rounds} rounds done, transport objective {objs.pop()}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 3)
