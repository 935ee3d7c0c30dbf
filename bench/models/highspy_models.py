"""highspy's own modelling layer (highspy.Highs addVariables / addConstr(s) /
qsum / expressions), written as its examples write models. Each variable and
row goes into HiGHS as it is added, so the build is the load."""
from __future__ import annotations

import numpy as np
import highspy

NAME = "highspy"
DIRECT = True


def _model():
    h = highspy.Highs()
    h.silent()
    return h


def pmedian(d):
    L, C, loc = d.L, d.C, d.loc_list
    h = _model()
    s = h.addVariables(L, lb=0, ub=1)
    x = h.addVariables(L, C, lb=0, ub=1)
    h.addConstrs(x[i, a] - s[i] <= 0 for i in range(L) for a in range(C))
    h.addConstrs(h.qsum(x[i, a] for i in range(L)) == 1 for a in range(C))
    h.addConstr(h.qsum(s) == d.F)
    h.setObjective(h.qsum(abs(loc[a] - i) * x[i, a] for a in range(C) for i in range(L)),
                   highspy.ObjSense.kMinimize)
    return h


def queens(d):
    N = d.N
    h = _model()
    x = h.addBinaries(N, N)
    h.addConstrs(h.qsum(x[i, :]) == 1 for i in range(N))
    h.addConstrs(h.qsum(x[:, j]) == 1 for j in range(N))
    h.addConstrs(h.qsum(x.diagonal(k)) <= 1 for k in range(-N + 1, N))
    flipped = np.fliplr(x)
    h.addConstrs(h.qsum(flipped.diagonal(k)) <= 1 for k in range(-N + 1, N))
    return h


def basic(d):
    N = d.N
    h = _model()
    x = h.addVariables(N, N, lb=0)
    y = h.addVariables(N, N, lb=0)
    h.addConstrs(x[i, j] - y[i, j] >= i for i in range(N) for j in range(N))
    h.addConstrs(x[i, j] + y[i, j] >= 0 for i in range(N) for j in range(N))
    h.setObjective(h.qsum(2 * x[i, j] + y[i, j] for i in range(N) for j in range(N)),
                   highspy.ObjSense.kMinimize)
    return h


def knapsack(d):
    N, w, v = d.N, d.weight_list, d.value_list
    h = _model()
    x = h.addBinaries(N)
    h.addConstr(h.qsum(w[i] * x[i] for i in range(N)) <= d.capacity)
    h.setObjective(h.qsum(-v[i] * x[i] for i in range(N)), highspy.ObjSense.kMinimize)
    return h


MODELS = {"pmedian": pmedian, "queens": queens, "basic": basic, "knapsack": knapsack}


def build(model, d):
    return MODELS[model](d)


def load(h):
    return None


def run0(h):
    h.setOptionValue("time_limit", 0.0)
    h.run()


def solve(h):
    h.run()
    return h.getInfo().objective_function_value


def dims(h):
    return h.getNumCol(), h.getNumRow(), h.getNumNz()
