"""Differential check: random programs solved by kestpy over HiGHS agree with
scipy.optimize.milp on feasibility and the optimal objective, and kestpy's
values satisfy the program. Each program attaches before or after building,
then changes (a constraint more, a new objective) and is solved again.

CI runs a short sweep. The long run, documented in README.md ("Differential
testing"):

    KESTPY_DIFFERENTIAL_EXAMPLES=3000 python -m pytest tests/python/test_differential.py \
        -p no:cacheprovider --hypothesis-seed=1
"""

import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from scipy.optimize import Bounds, LinearConstraint, linprog, milp

import kestpy
from kestpy import KEST

EXAMPLES = int(os.environ.get("KESTPY_DIFFERENTIAL_EXAMPLES", "500"))
TOL = 1e-6
# A program either solver cannot finish in this time is set aside, not compared:
# free integer variables can make a branch-and-bound run without end.
LIMIT = 5.0
KIND = {"C": KEST.CONTINUOUS, "I": KEST.INTEGER, "B": KEST.BINARY}


@st.composite
def variable(draw):
    kind = draw(st.sampled_from("CIB"))
    if kind == "B":
        return kind, 0.0, 1.0
    lb = draw(st.one_of(st.just(-math.inf), st.integers(-6, 6).map(float)))
    ub = draw(st.one_of(st.just(math.inf), st.integers(0, 8).map(lambda w: (0.0 if lb == -math.inf else lb) + w)))
    return kind, lb, ub


def row(n):
    return st.tuples(st.lists(st.integers(-4, 4).map(float), min_size=n, max_size=n),
                     st.sampled_from("<>="), st.integers(-12, 12).map(float))


@st.composite
def program(draw):
    variables = draw(st.lists(variable(), min_size=1, max_size=6))
    n = len(variables)
    return {
        "vars": variables,
        "block": draw(st.booleans()),  # one addVars call, or addVar one by one
        "rows": draw(st.lists(row(n), max_size=5)),
        "objective": draw(st.tuples(st.lists(st.integers(-5, 5).map(float), min_size=n, max_size=n),
                                    st.integers(-3, 3).map(float), st.sampled_from([KEST.MINIMIZE, KEST.MAXIMIZE]))),
        "attach_first": draw(st.booleans()),
        "more_row": draw(row(n)),
        "new_objective": draw(st.tuples(st.lists(st.integers(-5, 5).map(float), min_size=n, max_size=n),
                                        st.just(0.0), st.sampled_from([KEST.MINIMIZE, KEST.MAXIMIZE]))),
    }


def expression(coeffs, xs, constant=0.0):
    return kestpy.quicksum(c * x for c, x in zip(coeffs, xs) if c) + constant


def add_row(m, xs, r):
    coeffs, sense, rhs = r
    e = expression(coeffs, xs)
    if isinstance(e, (int, float)):  # no terms: nothing to compare, keep the row feasible-neutral
        return False
    m.addConstr(e <= rhs if sense == "<" else e >= rhs if sense == ">" else e == rhs)
    return True


def relaxation_unbounded(c, lb, ub, rows):
    """Whether the continuous relaxation is unbounded (presolve off, which
    otherwise reports "infeasible or unbounded" as infeasible)."""
    a_ub = [r[0] if r[1] == "<" else [-v for v in r[0]] for r in rows if r[1] != "="]
    b_ub = [r[2] if r[1] == "<" else -r[2] for r in rows if r[1] != "="]
    a_eq = [r[0] for r in rows if r[1] == "="]
    b_eq = [r[2] for r in rows if r[1] == "="]
    res = linprog(c, A_ub=a_ub or None, b_ub=b_ub or None, A_eq=a_eq or None, b_eq=b_eq or None,
                  bounds=list(zip(lb, ub)), method="highs", options={"presolve": False})
    return res.status == 3


def reference(variables, rows, objective):
    """(objective value or None, scipy status) by scipy's milp."""
    coeffs, constant, sense = objective
    c = np.array(coeffs) * (-1.0 if sense == KEST.MAXIMIZE else 1.0)
    lb = [v[1] for v in variables]
    ub = [v[2] for v in variables]
    integrality = [0 if v[0] == "C" else 1 for v in variables]
    cons = []
    if rows:
        a = np.array([r[0] for r in rows])
        lo = [r[2] if r[1] in ">=" else -np.inf for r in rows]
        hi = [r[2] if r[1] in "<=" else np.inf for r in rows]
        cons = [LinearConstraint(a, lo, hi)]
    res = milp(c, integrality=integrality, bounds=Bounds(lb, ub), constraints=cons,
               options={"mip_rel_gap": 0, "time_limit": LIMIT})
    assume(res.status != 1)  # the time limit
    if res.status != 0:
        return None, res.status
    if any(integrality):
        # milp can call an unbounded program with free integers optimal. With
        # a feasible point and an unbounded relaxation (rational data) the
        # program is unbounded itself.
        if relaxation_unbounded(c, lb, ub, rows):
            return None, 3
    value = float(np.dot(coeffs, res.x)) + constant
    return value, 0


def check(m, xs, variables, rows, objective):
    expected, status = reference(variables, rows, objective)
    m.optimize()
    got = m.ObjVal
    if expected is None:
        assert got is None, f"scipy status {status}, kestpy objective {got}"
        return
    assert got is not None, f"scipy found {expected}, kestpy none"
    assert got == pytest.approx(expected, rel=TOL, abs=TOL)
    x = np.array([v.X for v in xs])
    for (kind, lb, ub), value in zip(variables, x):
        assert lb - TOL <= value <= ub + TOL
        if kind != "C":
            assert abs(value - round(value)) <= TOL
    for coeffs, sense, rhs in rows:
        lhs = float(np.dot(coeffs, x))
        assert (sense != "<" or lhs <= rhs + TOL) and (sense != ">" or lhs >= rhs - TOL)
        assert sense != "=" or abs(lhs - rhs) <= TOL
    assert float(np.dot(objective[0], x)) + objective[1] == pytest.approx(got, rel=TOL, abs=TOL)


# The short sweep solves the same programs every run (the long run picks its
# set with --hypothesis-seed): scipy's own HiGHS crashed once, in a full-suite
# run, on a program never seen again; a fixed set keeps CI from meeting such a
# case by chance.
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow],
          derandomize="KESTPY_DIFFERENTIAL_EXAMPLES" not in os.environ)
@given(program())
def test_kestpy_over_highs_agrees_with_scipy_milp(p):
    m = kestpy.Model("diff")
    m.setParam("mip_rel_gap", 0.0)
    m.setParam("time_limit", 4 * LIMIT)
    if p["attach_first"]:
        m.setBackend("highs")
    variables = p["vars"]
    if p["block"]:
        block = m.addVars(len(variables), lb=[v[1] for v in variables], ub=[v[2] for v in variables],
                          vtype=[KIND[v[0]] for v in variables])
        xs = [block[i] for i in range(len(variables))]
    else:
        xs = [m.addVar(lb=lb, ub=ub, vtype=KIND[kind]) for kind, lb, ub in variables]
    rows = [r for r in p["rows"] if add_row(m, xs, r)]
    coeffs, constant, sense = p["objective"]
    m.setObjective(expression(coeffs, xs, constant), sense)
    if not p["attach_first"]:
        m.setBackend("highs")
    check(m, xs, variables, rows, p["objective"])

    # a change, then a second solve on the same backend
    if add_row(m, xs, p["more_row"]):
        rows.append(p["more_row"])
    coeffs, constant, sense = p["new_objective"]
    m.setObjective(expression(coeffs, xs, constant), sense)
    check(m, xs, variables, rows, p["new_objective"])
