"""Checks of the optional change methods: each, when the backend has it, must
change the model it holds into the one a fresh backend builds from the changed
data; and through kestpy, a model changed after a solve must solve as the
same model rebuilt from scratch, whichever methods the backend has (kestpy
replays the model into a fresh backend for those it lacks)."""

import math
import struct

import kestpy

from ._checks import solve_optimal
from ._harness import check, close, fail, kestpy_call, new_model, skip

INF = math.inf


def _ints(values):
    return memoryview(struct.pack(f"={len(values)}q", *values)).cast("q")


def _floats(values):
    return memoryview(struct.pack(f"={len(values)}d", *values)).cast("d")


def _codes(text):
    return memoryview(text.encode("ascii"))


class Data:
    """A small model as plain data: bounds, types, costs (maximised) and rows
    {var: coeff} with lower and upper bounds on their sum of terms."""

    def __init__(self):
        self.lb = [0.0, 0.0, 0.0]
        self.ub = [2.5, 3.0, 5.0]
        self.types = ["C", "C", "C"]
        self.obj = [1.0, 2.0, 3.0]
        self.rows = [({0: 1.0, 1: 1.0, 2: 1.0}, -INF, 6.0), ({0: 1.0, 1: -1.0}, -2.0, INF)]

    def build(self, d):
        """Into a fresh backend object by the list protocol; a range as two rows."""
        d.add_variables(3, None, list(self.types), list(self.lb), list(self.ub))
        for terms, lo, hi in self.rows:
            idx, val = list(terms), list(terms.values())
            if lo == hi:
                d.add_constraint(idx, val, "=", lo, None, 0.0)
                continue
            if lo > -INF:
                d.add_constraint(idx, val, ">", lo, None, 0.0)
            if hi < INF:
                d.add_constraint(idx, val, "<", hi, None, 0.0)
        d.set_objective([0, 1, 2], list(self.obj), 0.0, 1)


def _set_coefficients(data):
    data.rows[0][0].pop(1)
    data.rows[0][0][2] = 2.0
    data.rows[1][0][2] = 1.0


def _set_bounds(data, row, lo, hi):
    data.rows[row] = (data.rows[row][0], lo, hi)


# method, its arguments, and the same change made to the data
_CHANGES = [
    ("set_variable_bounds", (_ints([1, 2]), _floats([1.0, -1.0]), _floats([2.0, 1.5])),
     lambda data: (data.lb.__setitem__(1, 1.0), data.ub.__setitem__(1, 2.0), data.lb.__setitem__(2, -1.0),
                   data.ub.__setitem__(2, 1.5))),
    ("set_variable_types", (_ints([0]), _codes("I")), lambda data: data.types.__setitem__(0, "I")),
    ("set_objective_coefficients", (_ints([0, 2]), _floats([5.0, 0.0])),
     lambda data: (data.obj.__setitem__(0, 5.0), data.obj.__setitem__(2, 0.0))),
    ("set_constraint_bounds", (_ints([0, 1]), _floats([-INF, -1.0]), _floats([4.0, 1.0])),
     lambda data: (_set_bounds(data, 0, -INF, 4.0), _set_bounds(data, 1, -1.0, 1.0))),
    ("set_coefficients", (_ints([0, 0, 1]), _ints([1, 2, 2]), _floats([0.0, 2.0, 1.0])), _set_coefficients),
    ("set_variable_names", (_ints([0]), ["renamed"]), lambda data: None),
    ("set_constraint_names", (_ints([1]), ["renamed"]), lambda data: None),
    ("set_start_values", (_ints([0, 1]), _floats([1.0, math.nan])), lambda data: None),
]


def _make_check(method, args, change):
    @check(f"change_{method}", f"{method} changes the model into the one built from the changed data",
           channel=method)
    def check_change(backend):
        d = backend.direct()
        if not d.has(method):
            skip(f"the backend has no {method}")
        data = Data()
        data.build(d)
        solve_optimal(d, f"the model before {method}")
        answer = d.call(method, *args)
        if answer is False:
            skip(f"the backend declined {method} here (answered False)")
        change(data)
        fresh = backend.direct()
        data.build(fresh)
        _, want = solve_optimal(fresh, f"the model built with the data {method} gives")
        _, got = solve_optimal(d, f"the model after {method}")
        if want is None or got is None or not close(got, want):
            fail(f"after {method}, optimize found the objective {got!r}; the same model built afresh has "
                 f"{want!r}{d.context()}")

    return check_change


for _method, _args, _change in _CHANGES:
    _make_check(_method, _args, _change)


# ---------------------------------------------------------------- through kestpy


def _plant(params):
    """A small production MIP from params; answers the model and its variables."""
    m = new_model()
    x = m.addVar(lb=params["lb"][0], ub=params["ub"][0], vtype=params["vtype"][0], name="x")
    y = m.addVar(lb=params["lb"][1], ub=params["ub"][1], vtype=params["vtype"][1], name="y")
    rows = [(params["a"][0][0] * x + params["a"][0][1] * y, params["rhs"][0]),
            (params["a"][1][0] * x + params["a"][1][1] * y, params["rhs"][1])]
    for k, (lhs, rhs) in enumerate(rows):
        if params["sense"][k] == "<":
            m.addConstr(lhs <= rhs, name=f"c{k}")
        elif params["sense"][k] == ">":
            m.addConstr(lhs >= rhs, name=f"c{k}")
        else:
            m.addConstr(lhs == rhs, name=f"c{k}")
    m.setObjective(params["c"][0] * x + params["c"][1] * y, kestpy.KEST.MAXIMIZE)
    return m, [x, y]


def _start():
    return {"lb": [0.0, 0.0], "ub": [40.0, 30.0], "vtype": [kestpy.KEST.CONTINUOUS] * 2, "c": [30.0, 50.0],
            "a": [[2.0, 3.0], [1.0, 2.0]], "rhs": [120.0, 70.0], "sense": ["<", "<"]}


def _set(obj, attr, value, params, key, index):
    setattr(obj, attr, value)
    params[key][index] = value


def _coeff(m, refs, xs, params, k, j, value):
    m.chgCoeff(refs[k], xs[j], value)
    params["a"][k][j] = value


# each step: what it does to the model (m, xs, refs) and to params alike
_STEPS = [
    ("Var.UB", lambda m, xs, refs, p: _set(xs[0], "UB", 12.5, p, "ub", 0)),
    ("Var.LB", lambda m, xs, refs, p: _set(xs[1], "LB", 2.0, p, "lb", 1)),
    ("Var.Obj", lambda m, xs, refs, p: _set(xs[0], "Obj", 80.0, p, "c", 0)),
    ("ConstrRef.RHS", lambda m, xs, refs, p: _set(refs[0], "RHS", 100.0, p, "rhs", 0)),
    ("Var.VType", lambda m, xs, refs, p: _set(xs[0], "VType", kestpy.KEST.INTEGER, p, "vtype", 0)),
    ("chgCoeff", lambda m, xs, refs, p: _coeff(m, refs, xs, p, 1, 0, 3.0)),
    ("chgCoeff to 0", lambda m, xs, refs, p: _coeff(m, refs, xs, p, 0, 1, 0.0)),
    ("ConstrRef.Sense", lambda m, xs, refs, p: _set(refs[1], "Sense", "=", p, "sense", 1)),
    ("Var.Start", lambda m, xs, refs, p: setattr(xs[1], "Start", 2.0)),
]


def _attach(backend, m):
    with kestpy_call("setBackend (replaying the model)", None):
        m.setBackend(backend.name)


def _objective(backend, m, what):
    with kestpy_call(what, None):
        m.optimize()
    if m.Status != kestpy.KEST.OPTIMAL:
        fail(f"{what}: optimize ended with status {m.Status}; kestpy expected 2 (optimal)")
    return m.ObjVal


@check("changes_through_kestpy",
       "a model changed after a solve (bounds, costs, rhs, type, coefficients, sense, start) solves as if rebuilt")
def check_changes_through_kestpy(backend):
    params = _start()
    m, xs = _plant(params)
    _attach(backend, m)
    refs = m.getConstrs()
    _objective(backend, m, "optimize before any change")
    for what, step in _STEPS:
        with kestpy_call(what, None):
            step(m, xs, refs, params)
        if m.ObjVal is not None or m.Status != kestpy.KEST.LOADED:
            fail(f"after {what}, ObjVal reads {m.ObjVal!r} and Status {m.Status}; kestpy expected None and 0 "
                 f"(LOADED) until the next optimize")
        got = _objective(backend, m, f"optimize after {what}")
        fresh, _ = _plant(params)
        _attach(backend, fresh)
        want = _objective(backend, fresh, f"optimize of the model rebuilt after {what}")
        if not close(got, want):
            fail(f"after {what}, the changed model's optimum is {got!r}; the same model built afresh has {want!r}")
