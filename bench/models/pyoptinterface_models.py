"""pyoptinterface on HiGHS, written as its documentation writes models:
add_variables into a tupledict (or numpy object arrays, as its n-queens
example does), quicksum, add_linear_constraint with a sense and a right-hand
side. Every call goes straight into HiGHS, so the build is the load."""
from __future__ import annotations

import numpy as np
import pyoptinterface as poi
from pyoptinterface import highs

NAME = "pyoptinterface"
DIRECT = True


def _model():
    m = highs.Model()
    m.set_model_attribute(poi.ModelAttribute.Silent, True)
    return m


def pmedian(d):
    L, C, loc = d.L, d.C, d.loc_list
    m = _model()
    s = m.add_variables(range(L), lb=0.0, ub=1.0)
    x = m.add_variables(range(L), range(C), lb=0.0, ub=1.0)
    m.set_objective(
        poi.quicksum(abs(loc[a] - i) * x[i, a] for a in range(C) for i in range(L)),
        poi.ObjectiveSense.Minimize)
    for i in range(L):
        for a in range(C):
            m.add_linear_constraint(x[i, a] - s[i], poi.Leq, 0.0)
    for a in range(C):
        m.add_linear_constraint(poi.quicksum(x[i, a] for i in range(L)), poi.Eq, 1.0)
    m.add_linear_constraint(poi.quicksum(s.values()), poi.Eq, float(d.F))
    return m


def queens(d):
    N = d.N
    m = _model()
    x = np.empty((N, N), dtype=object)
    for i in range(N):
        for j in range(N):
            x[i, j] = m.add_variable(domain=poi.VariableDomain.Binary)
    for i in range(N):
        m.add_linear_constraint(poi.quicksum(x[i, :]), poi.Eq, 1.0)
    for j in range(N):
        m.add_linear_constraint(poi.quicksum(x[:, j]), poi.Eq, 1.0)
    for k in range(-N + 1, N):
        m.add_linear_constraint(poi.quicksum(x.diagonal(k)), poi.Leq, 1.0)
    flipped = np.fliplr(x)
    for k in range(-N + 1, N):
        m.add_linear_constraint(poi.quicksum(flipped.diagonal(k)), poi.Leq, 1.0)
    return m


def basic(d):
    N = d.N
    m = _model()
    x = m.add_variables(range(N), range(N), lb=0.0)
    y = m.add_variables(range(N), range(N), lb=0.0)
    m.set_objective(poi.quicksum(2 * x[i, j] + y[i, j] for i in range(N) for j in range(N)),
                    poi.ObjectiveSense.Minimize)
    for i in range(N):
        for j in range(N):
            m.add_linear_constraint(x[i, j] - y[i, j], poi.Geq, float(i))
            m.add_linear_constraint(x[i, j] + y[i, j], poi.Geq, 0.0)
    return m


def knapsack(d):
    N, w, v = d.N, d.weight_list, d.value_list
    m = _model()
    x = m.add_variables(range(N), domain=poi.VariableDomain.Binary)
    m.set_objective(poi.quicksum(-v[i] * x[i] for i in range(N)), poi.ObjectiveSense.Minimize)
    m.add_linear_constraint(poi.quicksum(w[i] * x[i] for i in range(N)), poi.Leq, d.capacity)
    return m


MODELS = {"pmedian": pmedian, "queens": queens, "basic": basic, "knapsack": knapsack}


def build(model, d):
    return MODELS[model](d)


def load(m):
    return None


def run0(m):
    m.set_raw_parameter("time_limit", 0.0)
    m.optimize()


def solve(m):
    m.optimize()
    if m.get_model_attribute(poi.ModelAttribute.TerminationStatus) != poi.TerminationStatusCode.OPTIMAL:
        return None
    try:
        return m.get_model_attribute(poi.ModelAttribute.ObjectiveValue)
    except Exception:
        return 0.0


def dims(m):
    return m.number_of_variables(), m.number_of_constraints(poi.ConstraintType.Linear), None
