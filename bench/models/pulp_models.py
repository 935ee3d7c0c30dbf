"""PuLP, written as its documentation writes models: LpVariable.dicts,
``prob += constraint`` and lpSum."""
from __future__ import annotations

import pulp

NAME = "pulp"
DIRECT = False


def pmedian(d):
    L, C, loc = d.L, d.C, d.loc_list
    prob = pulp.LpProblem("pmedian", pulp.LpMinimize)
    s = pulp.LpVariable.dicts("s", range(L), lowBound=0, upBound=1)
    x = pulp.LpVariable.dicts("x", (range(L), range(C)), lowBound=0, upBound=1)
    prob += pulp.lpSum(abs(loc[a] - i) * x[i][a] for a in range(C) for i in range(L))
    for i in range(L):
        for a in range(C):
            prob += x[i][a] - s[i] <= 0
    for a in range(C):
        prob += pulp.lpSum(x[i][a] for i in range(L)) == 1
    prob += pulp.lpSum(s[i] for i in range(L)) == d.F
    return prob


def queens(d):
    N = d.N
    prob = pulp.LpProblem("queens", pulp.LpMinimize)
    x = pulp.LpVariable.dicts("x", (range(N), range(N)), cat=pulp.LpBinary)
    prob += 0
    for i in range(N):
        prob += pulp.lpSum(x[i][j] for j in range(N)) == 1
    for j in range(N):
        prob += pulp.lpSum(x[i][j] for i in range(N)) == 1
    for k in range(-N + 1, N):
        prob += pulp.lpSum(x[i][i + k] for i in range(max(0, -k), min(N, N - k))) <= 1
    for k in range(-N + 1, N):
        prob += pulp.lpSum(x[i][N - 1 - i - k] for i in range(max(0, -k), min(N, N - k))) <= 1
    return prob


def basic(d):
    N = d.N
    prob = pulp.LpProblem("basic", pulp.LpMinimize)
    x = pulp.LpVariable.dicts("x", (range(N), range(N)), lowBound=0)
    y = pulp.LpVariable.dicts("y", (range(N), range(N)), lowBound=0)
    prob += pulp.lpSum(2 * x[i][j] + y[i][j] for i in range(N) for j in range(N))
    for i in range(N):
        for j in range(N):
            prob += x[i][j] - y[i][j] >= i
            prob += x[i][j] + y[i][j] >= 0
    return prob


def knapsack(d):
    N, w, v = d.N, d.weight_list, d.value_list
    prob = pulp.LpProblem("knapsack", pulp.LpMinimize)
    x = pulp.LpVariable.dicts("x", range(N), cat=pulp.LpBinary)
    prob += pulp.lpSum(-v[i] * x[i] for i in range(N))
    prob += pulp.lpSum(w[i] * x[i] for i in range(N)) <= d.capacity
    return prob


MODELS = {"pmedian": pmedian, "queens": queens, "basic": basic, "knapsack": knapsack}


def build(model, d):
    return MODELS[model](d)


def load(prob):
    # What LpProblem.solve and HiGHS.actualSolve do up to (not including) the
    # run: a constant objective gets PuLP's dummy column, then HiGHS is built.
    prob.fixObjective()
    solver = pulp.HiGHS(msg=False)
    solver.createAndConfigureSolver(prob)
    solver.buildSolverModel(prob)
    return solver


def run0(prob):
    prob.solverModel.setOptionValue("time_limit", 0.0)
    prob.solverModel.run()


def solve(prob):
    prob.solve(pulp.HiGHS(msg=False))
    return pulp.value(prob.objective) or 0.0


def dims(prob):
    h = prob.solverModel
    dummy = any(v.name == "__dummy" for v in prob.variables())
    return h.getNumCol() - dummy, h.getNumRow(), h.getNumNz()
