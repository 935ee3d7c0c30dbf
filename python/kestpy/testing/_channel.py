"""Checks of the optional array channel: each method, when the backend has it,
must build the same model as the list-protocol calls it replaces, and the
bulk read must agree with get_var_value.

The arrays are made as kestpy makes them: read-only C-contiguous memoryviews
owning their memory, names None or a lazy sequence rather than a list."""

import math
import struct

import kestpy

from ._checks import _ROWS, _ROWS_MAX, _ROWS_MIN, _values_of, expect_values, solve_optimal
from ._harness import check, close, fail, kestpy_call, new_model, show, skip

INF = math.inf


def array(fmt, values):
    """A read-only memoryview of format fmt owning its bytes."""
    return memoryview(struct.pack(f"={len(values)}{fmt}", *values)).cast(fmt)


def codes(text):
    return memoryview(text.encode("ascii"))


class LazyNames:
    """A sequence of names that is not a list: len, indexing, iteration."""

    def __init__(self, names):
        self._names = tuple(names)

    def __len__(self):
        return len(self._names)

    def __getitem__(self, i):
        return self._names[i]

    def __iter__(self):
        return iter(self._names)


def _need(backend, method):
    d = backend.direct()
    if not d.has(method):
        skip(f"the backend has no {method}")
    return d


def _compare(lists, arrays, what, wants, n):
    """Solves both models for each {sense: wanted values} on the sum of the
    first n variables; their values must agree with each other and with the
    wants."""
    for sense, want in wants.items():
        out = []
        for d in (lists, arrays):
            d.set_objective(list(range(n)), [1.0] * n, 0.0, sense)
            out.append(solve_optimal(d, f"{what}, {'minimising' if sense < 0 else 'maximising'}"))
        (vl, ol), (va, oa) = out
        for j, (a, b) in enumerate(zip(vl, va)):
            if (a is None) != (b is None) or (a is not None and not close(b, a)):
                fail(f"{what}: variable {j} reads {b!r} when built with the array method and {a!r} when built "
                     f"with the list protocol; kestpy expected the same model both ways{arrays.context()}")
        if want is not None:
            expect_values(arrays, va, want, what + " (array method)")
        if (oa is not None) if ol is None else not close(oa, ol):
            fail(f"{what}: objective value {oa!r} with the array method, {ol!r} with the list protocol")


# a binary arrives with the filled-in default bounds [0, +inf]: its type alone caps it at 1
_VARS = [(-1.0, 1.0, "C"), (-2.5, 2.5, "I"), (0.0, INF, "B"), (0.5, 2.0, "C"), (0.0, INF, "C")]


@check("channel_add_variable_arrays", "add_variable_arrays builds the variables add_variables builds",
       channel="add_variable_arrays")
def check_add_variable_arrays(backend):
    lists = backend.direct()
    arrays = _need(backend, "add_variable_arrays")
    lb, ub, types = ([v[k] for v in _VARS] for k in range(3))
    lists.add_variables(3, ["a", "", "c"], types[:3], lb[:3], ub[:3])
    lists.add_variables(2, None, types[3:], lb[3:], ub[3:])
    lists.add_variable("s", "I", -3.5, 3.5)
    arrays.add_variable_arrays(array("d", lb[:3]), array("d", ub[:3]), codes("".join(types[:3])),
                               LazyNames(["a", "", "c"]))
    arrays.add_variable_arrays(array("d", lb[3:]), array("d", ub[3:]), codes("".join(types[3:])), None)
    arrays.add_variable_arrays(array("d", []), array("d", []), codes(""), None)
    answer = arrays.add_variable("s", "I", -3.5, 3.5)
    if answer != 5:
        fail(f"add_variable after array batches of 3, 2 and 0 variables answered {answer!r}; kestpy expected 5 "
             f"(the array batches count in the numbering){arrays.context()}")
    # the fifth variable has no upper bound: only minimised
    _compare(lists, arrays, "variables from arrays", {-1: [-1.0, -2.0, 0.0, 0.5, 0.0, -3.0]}, n=6)
    for d in (lists, arrays):
        d.set_objective([0, 1, 2, 3, 5], [1.0] * 5, 0.0, 1)
    values, _ = solve_optimal(arrays, "variables from arrays, maximising all but the fifth (a binary is at most 1)")
    expect_values(arrays, values, [1.0, 2.0, 1.0, 2.0, None, 3.0],
                  "maximising the bounded variables built from arrays")


def _csr(rows, index_fmt, start_fmt):
    starts, idx, val = [0], [], []
    for r in rows:
        idx += r[0]
        val += r[1]
        starts.append(len(idx))
    return array(start_fmt, starts), array(index_fmt, idx), array("d", val)


@check("channel_add_constraint_arrays",
       "add_constraint_arrays (CSR, int32 and int64 forms) builds the rows add_constraints builds",
       channel="add_constraint_arrays")
def check_add_constraint_arrays(backend):
    _need(backend, "add_constraint_arrays")
    # int32 while numbers fit, int64 beyond: each of indices and starts on its own
    for index_fmt, start_fmt in (("i", "i"), ("q", "q"), ("i", "q"), ("q", "i")):
        lists = backend.direct()
        arrays = backend.direct()
        for d in (lists, arrays):
            d.add_variables(3, None, None, 0.0, 10.0)
        first, rest = _ROWS[:4], _ROWS[4:]
        for part, names in ((first, ["c", "", "", ""]), (rest, None)):
            idx, val, sense, rhs, _, const = ([list(r[k]) if k < 2 else r[k] for r in part] for k in range(6))
            lists.add_constraints(idx, val, const, sense, rhs, names)
            starts, aidx, aval = _csr(part, index_fmt, start_fmt)
            arrays.add_constraint_arrays(starts, aidx, aval, array("d", const), codes("".join(sense)),
                                         array("d", rhs), None if names is None else LazyNames(names))
        arrays.add_constraint_arrays(array(start_fmt, [0]), array(index_fmt, []), array("d", []), array("d", []),
                                     codes(""), array("d", []), None)
        _compare(lists, arrays, f"rows from CSR arrays (indices {index_fmt!r}, starts {start_fmt!r}: a repeated "
                                f"index, constants, each sense, an empty row)", {-1: _ROWS_MIN, 1: _ROWS_MAX}, n=2)


@check("channel_set_objective_arrays", "set_objective_arrays sets the objective set_objective sets",
       channel="set_objective_arrays")
def check_set_objective_arrays(backend):
    arrays = _need(backend, "set_objective_arrays")
    arrays.add_variable(None, None, 0.0, 4.0)
    arrays.add_variable(None, None, -3.0, 2.0)
    for fmt, idx, val, const, sense, x, want in (("i", [0, 1, 0], [1.0, 2.0, 1.0], 5.0, 1, [4.0, 2.0], 17.0),
                                                 ("q", [1], [1.0], -1.0, -1, [None, -3.0], -4.0),
                                                 ("q", [0, 1, 0], [1.0, 2.0, 1.0], 5.0, 1, [4.0, 2.0], 17.0),
                                                 ("i", [], [], 2.5, 1, [None, None], 2.5)):
        arrays.set_objective_arrays(array(fmt, idx), array("d", val), const, sense)
        what = f"set_objective_arrays({show(array(fmt, idx))}, {show(val)}, {const}, {sense})"
        values, objval = solve_optimal(arrays, what)
        expect_values(arrays, values, x, what)
        if not close(objval, want):
            fail(f"{what}: the objective value reads {objval!r}; kestpy expected {want!r}, as with set_objective "
                 f"(repeats add up, the whole objective is replaced){arrays.context()}")


def _bulk(d):
    got = d.call("get_var_values")
    if got is None:
        return None
    try:
        view = memoryview(got)
    except TypeError:
        fail(f"get_var_values() answered {show(got)}; kestpy expected None or a float64 buffer")
    if view.format.lstrip("@=<") != "d" or view.ndim != 1:
        fail(f"get_var_values() answered a buffer of format {view.format!r} and {view.ndim} dimensions; kestpy "
             f"expected a one-dimensional float64 ('d') buffer")
    return view.tolist()


@check("channel_get_var_values", "get_var_values agrees with get_var_value: None together, else equal floats",
       channel="get_var_values")
def check_get_var_values(backend):
    d = _need(backend, "get_var_values")
    d.add_variables(3, None, None, [0.5, -1.0, 2.0], [0.5, 3.0, 4.0])
    for step, act in (("before optimize", None), ("after optimize", d.optimize),
                      ("after add_variable", lambda: d.add_variable(None, None, 1.25, 1.25)),
                      ("after a second optimize", d.optimize),
                      ("after add_constraint", lambda: d.add_constraint([1], [1.0], "<", 2.0, None, 0.0)),
                      ("after set_objective", lambda: d.set_objective([1], [1.0], 0.0, 1)),
                      ("after an infeasible optimize",
                       lambda: (d.add_constraint([0], [1.0], ">", 1.0, None, 0.0), d.optimize()))):
        if act is not None:
            act()
        single = d.values()
        bulk = _bulk(d)
        if all(v is None for v in single):
            if bulk is not None:
                fail(f"{step}: get_var_values() answered {bulk}, get_var_value None for every variable; kestpy "
                     f"expected None from both{d.context()}")
            continue
        if bulk is None or len(bulk) != d.nvars or any(not close(b, s) for b, s in zip(bulk, single)):
            fail(f"{step}: get_var_values() answered {bulk}, get_var_value {single}; kestpy expected "
                 f"{d.nvars} values equal to get_var_value's{d.context()}")


def _bulk_read(block):
    got = block.X
    return None if got is None else [None if v is None else float(v) for v in got]


@check("bulk_reads_through_kestpy", "Vars.X and Model.X agree with each Var.X (once kestpy has bulk reads)")
def check_bulk_reads_through_kestpy(backend):
    m = new_model()
    block = m.addVars(3, lb=[0.5, -1.0, 2.0], ub=[0.5, 3.0, 4.0])
    if not hasattr(type(block), "X"):
        skip("this kestpy has no bulk reads (Vars.X)")
    xs = list(block)
    m.setObjective(xs[1] + xs[2], kestpy.KEST.MAXIMIZE)
    spy = backend.attach(m)
    for step, act in (("before optimize", None), ("after optimize", m.optimize),
                      ("after addVar", lambda: m.addVar(ub=1.0)), ("after a second optimize", m.optimize)):
        with kestpy_call(step, spy):
            if act is not None:
                act()
            bulk = {"Vars.X": _bulk_read(block)}
            if hasattr(m, "X"):
                whole = _bulk_read(m)
                bulk["Model.X"] = None if whole is None else whole[:3]
        single, _ = _values_of(m, xs, spy, "reading Var.X")
        for name, got in bulk.items():
            if all(v is None for v in single):
                bad = got is not None and any(v is not None for v in got)
            else:
                bad = got is None or len(got) != len(single) or any(not close(g, s) for g, s in zip(got, single))
            if bad:
                fail(f"{step}: {name} reads {got}, each Var.X {single}; kestpy expected them to agree"
                     f"\nlast backend calls:\n{spy.history()}")
