"""python-mip on its HiGHS solver, written as its documentation writes
models: add_var, xsum and ``m += constraint``."""
from __future__ import annotations

import mip

NAME = "mip"
DIRECT = False


def _model(name):
    m = mip.Model(name, sense=mip.MINIMIZE, solver_name=mip.HIGHS)
    m.verbose = 0
    return m


def pmedian(d):
    L, C, loc = d.L, d.C, d.loc_list
    m = _model("pmedian")
    s = [m.add_var(lb=0, ub=1) for i in range(L)]
    x = [[m.add_var(lb=0, ub=1) for a in range(C)] for i in range(L)]
    m.objective = mip.minimize(
        mip.xsum(abs(loc[a] - i) * x[i][a] for a in range(C) for i in range(L)))
    for i in range(L):
        for a in range(C):
            m += x[i][a] - s[i] <= 0
    for a in range(C):
        m += mip.xsum(x[i][a] for i in range(L)) == 1
    m += mip.xsum(s[i] for i in range(L)) == d.F
    return m


def queens(d):
    N = d.N
    m = _model("queens")
    x = [[m.add_var(var_type=mip.BINARY) for j in range(N)] for i in range(N)]
    for i in range(N):
        m += mip.xsum(x[i][j] for j in range(N)) == 1
    for j in range(N):
        m += mip.xsum(x[i][j] for i in range(N)) == 1
    for k in range(-N + 1, N):
        m += mip.xsum(x[i][i + k] for i in range(max(0, -k), min(N, N - k))) <= 1
    for k in range(-N + 1, N):
        m += mip.xsum(x[i][N - 1 - i - k] for i in range(max(0, -k), min(N, N - k))) <= 1
    return m


def basic(d):
    N = d.N
    m = _model("basic")
    x = [[m.add_var(lb=0) for j in range(N)] for i in range(N)]
    y = [[m.add_var(lb=0) for j in range(N)] for i in range(N)]
    m.objective = mip.minimize(
        mip.xsum(2 * x[i][j] + y[i][j] for i in range(N) for j in range(N)))
    for i in range(N):
        for j in range(N):
            m += x[i][j] - y[i][j] >= i
            m += x[i][j] + y[i][j] >= 0
    return m


def knapsack(d):
    N, w, v = d.N, d.weight_list, d.value_list
    m = _model("knapsack")
    x = [m.add_var(var_type=mip.BINARY) for i in range(N)]
    m.objective = mip.minimize(mip.xsum(-v[i] * x[i] for i in range(N)))
    m += mip.xsum(w[i] * x[i] for i in range(N)) <= d.capacity
    return m


MODELS = {"pmedian": pmedian, "queens": queens, "basic": basic, "knapsack": knapsack}


def build(model, d):
    return MODELS[model](d)


def load(m):
    # The HiGHS solver buffers columns and rows; asking for the matrix size
    # flushes them into HiGHS.
    return m.num_nz


def run0(m):
    m.optimize(max_seconds=0)


def solve(m):
    m.optimize()
    return m.objective_value if m.objective_value is not None else 0.0


def dims(m):
    return m.num_cols, m.num_rows, m.num_nz
