"""Micro-benchmarks of kestpy's own operations, in nanoseconds per operation.

Each figure is the median of several timed runs (garbage collection off while
timing, as timeit does) divided by the number of operations in a run. The
interpreter's own baseline, iterating a list of 10^6 objects and calling a
cheap C function on each, is measured the same way so that ratios can be read
against it.

The C++ floor: ``kest_cache_floor`` (bench/cpp/cache_floor.cpp, built with
-DKESTPY_BUILD_BENCH=ON) runs the same cache operations from a C++ loop and
prints nanoseconds per operation as JSON; CPP_KEYS maps its keys to the rows
here (an op name of this file is accepted as a key too). Pass the program with
``--cpp-floor PATH``; without it the first of CPP_FLOOR_CANDIDATES that exists
is used, and the column stays empty when none does.
"""
from __future__ import annotations

import gc
import json
import os
import statistics
import subprocess
import sys
import time
from collections import deque

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CPP_FLOOR_CANDIDATES = [os.path.join(HERE, "cpp", "build", "kest_cache_floor"),
                        os.path.join(ROOT, "build-bench", "kest_cache_floor"),
                        os.path.join(ROOT, "build", "kest_cache_floor")]
CPP_KEYS = {
    "addVar": "addVar(lb=0.0, ub=1.0)",
    "addVars_per_var": "addVars(1000, n/1000, name='x') per variable",
    "Vars_index": "Vars indexing x[i] (loop included)",
    "x_plus_y": "x + y (loop included)",
    "two_times_x": "2 * x (loop included)",
    "quicksum_per_var": "quicksum(list of Var) per item",
    "addConstr": "addConstr(prebuilt x + y <= 1)",
    "replay_per_nonzero": "replay into a null backend per nonzero (10 per row)",
}

# Interpreter baseline the target ratios refer to.
BASELINE = "baseline: for o in list: id(o)"


def time_once(fn, state):
    """Wall time of fn(state) in nanoseconds, garbage collection off while it runs."""
    gc.collect()
    gc.disable()
    try:
        t = time.perf_counter_ns()
        fn(state)
        return time.perf_counter_ns() - t
    finally:
        gc.enable()


def _ops(kp, n):
    """(name, count, setup() -> state, run(state)). ``setup`` runs before
    every timed run so that each run starts from the same model."""
    from bench import backends_on_path

    # the null backend some rows attach to
    backends_on_path()
    ops = []

    def add(name, count, setup, run):
        ops.append((name, count, setup, run))

    def objs_setup():
        return [object() for _ in range(n)]

    def baseline(objs):
        for o in objs:
            id(o)
    add(BASELINE, n, objs_setup, baseline)

    def baseline_map(objs):
        deque(map(id, objs), maxlen=0)
    add("baseline: deque(map(id, list), maxlen=0)", n, objs_setup, baseline_map)

    def baseline_len(objs):
        for o in objs:
            len(objs)
    add("baseline: for o in list: len(list)", n, objs_setup, baseline_len)

    if kp is None:
        return ops

    small = max(n // 10, 1000)

    def model():
        return kp.Model("micro")

    def add_var(m):
        for _ in range(small):
            m.addVar(lb=0.0, ub=1.0)
    add("addVar(lb=0.0, ub=1.0)", small, model, add_var)

    # obj coefficients go into the objective in place: flat ns per call whatever
    # the count, detached and attached (the objective reaches the backend once)
    def attached_model():
        m = model()
        m.setBackend("null")
        return m

    for count in (n // 100, n // 10, n):
        def add_var_obj(m, count=count):
            for _ in range(count):
                m.addVar(obj=1.5)
        add(f"addVar(obj=1.5), {count:,} calls", count, model, add_var_obj)
        def add_var_obj_solve(m, count=count):
            add_var_obj(m, count)
            m.optimize()  # where the objective reaches the backend
        add(f"addVar(obj=1.5), {count:,} calls, attached, then optimize", count, attached_model,
            add_var_obj_solve)

    # bulk values of a solved LP, against reading them from highspy directly
    bulk = n // 2

    def solved_block():
        m = model()
        x = m.addVars(bulk, ub=1.0, obj=-1.0)
        m.setBackend("highs")
        m.optimize()
        return m, x

    def read_block(st):
        st[1].X
    add(f"Vars.X, {bulk:,} values, per value", bulk, solved_block, read_block)

    def highspy_model():
        import highspy
        import numpy as np
        h = highspy.Highs()
        h.setOptionValue("output_flag", False)
        h.addVars(bulk, np.zeros(bulk), np.ones(bulk))
        h.changeColsCost(bulk, np.arange(bulk, dtype=np.int32), -np.ones(bulk))
        h.run()
        return h

    def read_highspy(h):
        import numpy as np
        np.asarray(h.getSolution().col_value)
    add(f"highspy: np.asarray(getSolution().col_value), {bulk:,} values, per value", bulk,
        highspy_model, read_highspy)

    def add_vars(m):
        m.addVars(n, lb=0.0, ub=1.0)
    add("addVars(n) per variable", n, model, add_vars)

    def add_vars_2d(m):
        m.addVars(1000, n // 1000, name="x")
    add("addVars(1000, n/1000, name='x') per variable", n, model, add_vars_2d)

    def block_1d():
        m = model()
        return m, m.addVars(n)

    def index_1d(st):
        x = st[1]
        for i in range(n):
            x[i]
    add("Vars indexing x[i] (loop included)", n, block_1d, index_1d)

    def block_2d():
        m = model()
        return m, m.addVars(1000, n // 1000)

    def index_2d(st):
        x = st[1]
        cols = range(n // 1000)
        for i in range(1000):
            for j in cols:
                x[i, j]
    add("Vars indexing x[i, j] (loop included)", n, block_2d, index_2d)

    def var_list():
        m = model()
        x = m.addVars(n)
        return m, [x[i] for i in range(n)]

    def plus(st):
        xs = st[1]
        y = xs[0]
        for x in xs[:small]:
            x + y
    add("x + y (loop included)", small, var_list, plus)

    def times2(st):
        for x in st[1][:small]:
            2 * x
    add("2 * x (loop included)", small, var_list, times2)

    def qs_list(st):
        kp.quicksum(st[1])
    add("quicksum(list of Var) per item", n, var_list, qs_list)

    def qs_gen(st):
        kp.quicksum(x for x in st[1])
    add("quicksum(x for x in list) per item", n, var_list, qs_gen)

    def coeff_list(k):
        def setup():
            m, xs = var_list()
            return m, xs[:k], [float(i % 97 + 1) for i in range(k)]
        return setup

    def qs_coeff(st):
        kp.quicksum(c * x for c, x in zip(st[2], st[1]))
    # A LinExpr item may cost a pass over the sum so far: two lengths show
    # whether the cost per item grows with the sum.
    for k in (small // 10, small):
        add(f"quicksum(c * x for ...) per item, {k:,} items", k, coeff_list(k), qs_coeff)

    def gen_coeff(st):
        deque((c * x for c, x in zip(st[2], st[1])), maxlen=0)
    add(f"the c * x generator alone (deque), {small:,} items", small, coeff_list(small), gen_coeff)

    def constr_list():
        m = model()
        x = m.addVars(small)
        y = m.addVars(small)
        xs = [x[i] for i in range(small)]
        ys = [y[i] for i in range(small)]
        return m, [a + b <= 1 for a, b in zip(xs, ys)], xs, ys

    def add_constr(st):
        m = st[0]
        for c in st[1]:
            m.addConstr(c)
    add("addConstr(prebuilt x + y <= 1)", small, constr_list, add_constr)

    def constr_list_attached():
        st = constr_list()
        st[0].setBackend("null")
        return st
    add("addConstr(prebuilt x + y <= 1) forwarded to a null backend", small,
        constr_list_attached, add_constr)

    def add_constr_expr(st):
        m, _, xs, ys = st
        for a, b in zip(xs, ys):
            m.addConstr(a + b <= 1)
    add("addConstr(x + y <= 1) with the expression", small, constr_list, add_constr_expr)

    def add_constrs(st):
        st[0].addConstrs(st[1])
    add("addConstrs(list of x + y <= 1) per constraint", small, constr_list, add_constrs)

    def add_constrs_gen(st):
        m, _, xs, ys = st
        m.addConstrs(a + b <= 1 for a, b in zip(xs, ys))
    add("addConstrs(x + y <= 1 for ...) per constraint", small, constr_list, add_constrs_gen)

    width = 10
    pool = 1000

    def rows_model():
        m = model()
        x = m.addVars(pool)
        xs = [x[i] for i in range(pool)]
        m.addConstrs(kp.quicksum(xs[(i + j) % pool] for j in range(width)) <= 1
                     for i in range(small))
        return m

    def replay(m):
        m.setBackend("null")
    add(f"replay into a null backend per nonzero ({width} per row)", small * width,
        rows_model, replay)

    def vars_model():
        m = model()
        m.addVars(n)
        return m
    add("replay into a null backend per variable", n, vars_model, replay)
    return ops


def cpp_floor(path, n):
    """{op name: ns} from the C++ floor program, or {} when there is none."""
    path = path or next((p for p in CPP_FLOOR_CANDIDATES if os.path.exists(p)), None)
    if not path:
        return {}
    try:
        out = subprocess.run([path, str(n)], capture_output=True, text=True, timeout=600,
                             check=True)
        raw = json.loads(out.stdout)
    except (OSError, subprocess.SubprocessError, ValueError) as e:
        print(f"C++ floor {path} failed: {e}", file=sys.stderr)
        return {}
    return {CPP_KEYS.get(k, k): v for k, v in raw.items()
            if isinstance(v, (int, float)) and k != "n"}


def run(quick=False, cpp_floor_path=None, log=print) -> dict:
    try:
        import kestpy as kp
    except ImportError:
        kp = None
    n = 100_000 if quick else 1_000_000
    repeat = 1 if quick else 5
    results = []
    for name, count, setup, fn in _ops(kp, n):
        try:
            ns = []
            for _ in range(repeat):
                state = setup()
                ns.append(time_once(fn, state) / count)
                del state
            value = statistics.median(ns)
            results.append({"op": name, "ns": value, "count": count})
            log(f"  {name:55s} {value:9.1f} ns/op")
        except BaseException as e:  # a kestpy fault derives from BaseException
            results.append({"op": name, "error": f"{type(e).__name__}: {e}"})
            log(f"  {name:55s} FAILED {type(e).__name__}: {e}")
    return {"n": n, "repeat": repeat, "kestpy": kp is not None, "ops": results,
            "cpp_floor": cpp_floor(cpp_floor_path, n)}


def table(res, machine) -> str:
    base = next((r["ns"] for r in res["ops"] if r["op"] == BASELINE and "ns" in r), None)
    cpp = res.get("cpp_floor") or {}
    lines = ["# Micro-benchmarks of kestpy's own operations", "",
             f"Machine: {machine.get('cpu', '?')}, {machine.get('cores')} cores; "
             f"Python {machine.get('python')}; run on {machine.get('date')}; "
             f"versions: {', '.join(f'{k} {v}' for k, v in sorted(machine.get('versions', {}).items()))}.",
             "",
             f"n = {res['n']:,} (smaller ops use n/10); median of {res['repeat']} runs, "
             "garbage collection off while timing. Ratios are to the interpreter's "
             f"baseline `{BASELINE}`.",
             "" if res["kestpy"] else "\nkestpy was not installed: only the baselines ran.\n",
             "| operation | ns/op | × baseline | C++ floor ns/op | × C++ floor |",
             "|---|---:|---:|---:|---:|"]
    for r in res["ops"]:
        if "ns" not in r:
            lines.append(f"| {r['op']} | failed: {r['error'][:120]} | | | |")
            continue
        ratio = f"{r['ns'] / base:.2f}" if base else ""
        floor = cpp.get(r["op"])
        floor_ns = "" if floor is None else f"{floor:.1f}"
        floor_ratio = f"{r['ns'] / floor:.2f}" if floor else ""
        lines.append(f"| {r['op']} | {r['ns']:.1f} | {ratio} | {floor_ns} | {floor_ratio} |")
    lines.append("")
    return "\n".join(lines)


def main(out_dir, quick=False, cpp_floor=None) -> int:
    from bench.report import machine_info
    res = run(quick=quick, cpp_floor_path=cpp_floor)
    machine = machine_info()
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "micro.json"), "w") as f:
        json.dump({"machine": machine, **res}, f, indent=1)
    path = os.path.join(out_dir, "micro.md")
    with open(path, "w") as f:
        f.write(table(res, machine))
    print(path)
    return 0 if all("ns" in r for r in res["ops"]) else 1
