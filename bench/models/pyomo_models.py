"""Pyomo, written as its documentation writes concrete models: indexed Var
and Constraint components built by rules, quicksum. HiGHS receives the model
through Pyomo's persistent HiGHS interface (set_instance)."""
from __future__ import annotations

import pyomo.environ as pyo
from pyomo.contrib.solver.solvers.highs import Highs

NAME = "pyomo"
DIRECT = False


def pmedian(d):
    loc = d.loc_list
    m = pyo.ConcreteModel()
    m.L = pyo.RangeSet(0, d.L - 1)
    m.C = pyo.RangeSet(0, d.C - 1)
    m.s = pyo.Var(m.L, bounds=(0, 1))
    m.x = pyo.Var(m.L, m.C, bounds=(0, 1))
    m.obj = pyo.Objective(
        expr=pyo.quicksum(abs(loc[a] - i) * m.x[i, a] for a in m.C for i in m.L),
        sense=pyo.minimize)
    m.link = pyo.Constraint(m.L, m.C, rule=lambda m, i, a: m.x[i, a] - m.s[i] <= 0)
    m.cover = pyo.Constraint(m.C, rule=lambda m, a: pyo.quicksum(m.x[i, a] for i in m.L) == 1)
    m.open = pyo.Constraint(expr=pyo.quicksum(m.s[i] for i in m.L) == d.F)
    return m


def queens(d):
    N = d.N
    m = pyo.ConcreteModel()
    m.I = pyo.RangeSet(0, N - 1)
    m.K = pyo.RangeSet(-N + 1, N - 1)
    m.x = pyo.Var(m.I, m.I, within=pyo.Binary)
    m.row = pyo.Constraint(m.I, rule=lambda m, i: pyo.quicksum(m.x[i, j] for j in m.I) == 1)
    m.col = pyo.Constraint(m.I, rule=lambda m, j: pyo.quicksum(m.x[i, j] for i in m.I) == 1)
    m.diag = pyo.Constraint(m.K, rule=lambda m, k: pyo.quicksum(
        m.x[i, i + k] for i in range(max(0, -k), min(N, N - k))) <= 1)
    m.anti = pyo.Constraint(m.K, rule=lambda m, k: pyo.quicksum(
        m.x[i, N - 1 - i - k] for i in range(max(0, -k), min(N, N - k))) <= 1)
    m.obj = pyo.Objective(expr=0)
    return m


def basic(d):
    N = d.N
    m = pyo.ConcreteModel()
    m.I = pyo.RangeSet(0, N - 1)
    m.x = pyo.Var(m.I, m.I, within=pyo.NonNegativeReals)
    m.y = pyo.Var(m.I, m.I, within=pyo.NonNegativeReals)
    m.obj = pyo.Objective(expr=pyo.quicksum(2 * m.x[i, j] + m.y[i, j] for i in m.I for j in m.I))
    m.lower = pyo.Constraint(m.I, m.I, rule=lambda m, i, j: m.x[i, j] - m.y[i, j] >= i)
    m.sum = pyo.Constraint(m.I, m.I, rule=lambda m, i, j: m.x[i, j] + m.y[i, j] >= 0)
    return m


def knapsack(d):
    w, v = d.weight_list, d.value_list
    m = pyo.ConcreteModel()
    m.I = pyo.RangeSet(0, d.N - 1)
    m.x = pyo.Var(m.I, within=pyo.Binary)
    m.obj = pyo.Objective(expr=pyo.quicksum(-v[i] * m.x[i] for i in m.I))
    m.capacity = pyo.Constraint(expr=pyo.quicksum(w[i] * m.x[i] for i in m.I) <= d.capacity)
    return m


MODELS = {"pmedian": pmedian, "queens": queens, "basic": basic, "knapsack": knapsack}


class Handle:
    def __init__(self, m):
        self.m = m
        self.opt = None


def build(model, d):
    return Handle(MODELS[model](d))


def load(hd):
    hd.opt = Highs()
    hd.opt.set_instance(hd.m)


def run0(hd):
    hd.opt.solve(hd.m, time_limit=0.0, load_solutions=False,
                 raise_exception_on_nonoptimal_result=False)


def solve(hd):
    opt = hd.opt or Highs()
    res = opt.solve(hd.m)
    return pyo.value(hd.m.obj)


def dims(hd):
    h = hd.opt._solver_model  # no public accessor for the HiGHS object
    return h.getNumCol(), h.getNumRow(), h.getNumNz()
