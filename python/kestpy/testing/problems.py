"""Small LP and MIP models with known optima, as plain data.

Each problem is built through kestpy by ``build`` and its solution checked by
``verify`` (bounds, integrality, rows, and the objective at the solution
against the known optimum), so a solution is accepted whichever optimal
vertex the solver picks.
"""

import math

import kestpy

INF = math.inf


class Problem:
    """variables: (lb, ub, "C"/"I"/"B"); rows: (terms, constant, sense, rhs) with
    terms a list of (variable, coefficient), repeats allowed; objective:
    (terms, constant, -1 minimise / +1 maximise)."""

    def __init__(self, name, about, variables, rows, objective, optimum):
        self.name, self.about = name, about
        self.variables, self.rows = variables, rows
        self.objective, self.optimum = objective, optimum

    def __repr__(self):
        return f"Problem({self.name})"


PROBLEMS = [
    Problem("lp_ranges", "an LP with two ranges: 2 <= x + y <= 5 and 1 <= x - y <= 3, each two rows",
            [(0, INF, "C"), (0, INF, "C")],
            [([(0, 1), (1, 1)], 0, ">", 2), ([(0, 1), (1, 1)], 0, "<", 5),
             ([(0, 1), (1, -1)], 0, ">", 1), ([(0, 1), (1, -1)], 0, "<", 3)],
            ([(0, 3), (1, 2)], 0, -1), 5.5),
    Problem("lp_free_variables", "an LP whose optimum needs free variables at negative values",
            [(-INF, INF, "C"), (-INF, INF, "C")],
            [([(0, 1), (1, 2)], 0, ">", -4), ([(0, 2), (1, 1)], 0, ">", -5)],
            ([(0, 1), (1, 1)], 0, -1), -3.0),
    Problem("lp_negative_lower_bounds", "an LP with negative lower bounds, one of them active",
            [(-5, 5, "C"), (-3, 10, "C")],
            [([(0, 1), (1, 1)], 0, ">", -6)],
            ([(0, 2), (1, 1)], 0, -1), -11.0),
    Problem("lp_equality_rows", "an LP with two equality rows",
            [(0, INF, "C"), (0, INF, "C"), (0, INF, "C")],
            [([(0, 1), (1, 1), (2, 1)], 0, "=", 10), ([(0, 1), (1, -1)], 0, "=", 2)],
            ([(0, 1), (1, 2), (2, 3)], 0, -1), 14.0),
    Problem("lp_objective_constant", "an LP whose objective has a constant 7.5",
            [(0, 2, "C"), (0, INF, "C")],
            [([(0, 1), (1, 1)], 0, ">", 3)],
            ([(0, 1), (1, 2)], 7.5, -1), 11.5),
    Problem("lp_maximize", "a maximisation LP",
            [(0, 4, "C"), (0, INF, "C")],
            [([(1, 2)], 0, "<", 12), ([(0, 3), (1, 2)], 0, "<", 18)],
            ([(0, 3), (1, 5)], 0, 1), 36.0),
    Problem("lp_row_constants_and_repeats", "an LP whose rows carry constants and repeat a variable",
            [(0, INF, "C"), (0, INF, "C")],
            [([(0, 1), (1, 1), (0, 1)], 3, "<", 11), ([(1, 1), (1, 1)], -4, "<", 2),
             ([(0, 1)], 1, ">", 1.5)],
            ([(0, 1), (1, 1)], 0, 1), 5.5),
    Problem("mip_general_integers", "a maximisation MIP in general integers whose LP optimum is fractional",
            [(0, INF, "I"), (0, INF, "I")],
            [([(0, 6), (1, 4)], 0, "<", 24), ([(0, 1), (1, 2)], 0, "<", 6)],
            ([(0, 5), (1, 4)], 0, 1), 20.0),
    Problem("mip_negative_integers", "a MIP in integers with negative bounds, an equality row and a constant",
            [(-10, 10, "I"), (-10, 10, "I"), (0, INF, "C")],
            [([(0, 3), (1, 2), (2, 1)], 0, "=", -7.5), ([(0, 1), (1, -1)], 0, "<", 2.5)],
            ([(0, 1), (1, 1), (2, 2)], -1, -1), -3.0),
    Problem("mip_binary_knapsack", "a binary knapsack",
            [(0, 1, "B")] * 4,
            [([(0, 4), (1, 6), (2, 3), (3, 5)], 0, "<", 12)],
            ([(0, 10), (1, 13), (2, 7), (3, 8)], 0, 1), 25.0),
    Problem("mip_mixed", "a MIP mixing binaries, general integers and continuous variables",
            [(0, 1, "B"), (0, 1, "B"), (0, 7, "I"), (0, INF, "C")],
            [([(2, 1), (0, -7)], 0, "<", 0), ([(3, 1), (1, -10)], 0, "<", 0),
             ([(2, 2), (3, 1)], 0, ">", 9.5)],
            ([(0, 4), (1, 3), (2, 1), (3, 1.5)], 0, -1), 9.0),
]
PROBLEM_BY_NAME = {p.name: p for p in PROBLEMS}

_VTYPE = {"C": kestpy.KEST.CONTINUOUS, "I": kestpy.KEST.INTEGER, "B": kestpy.KEST.BINARY}


def expression(terms, constant, x):
    return kestpy.quicksum(c * x[j] for j, c in terms) + constant


def constraint(row, x):
    terms, constant, sense, rhs = row
    e = expression(terms, constant, x)
    return e <= rhs if sense == "<" else e >= rhs if sense == ">" else e == rhs


def build(problem, model, attach=None, when="first"):
    """Builds the problem into a kestpy model: the first variable with addVar,
    the others with one addVars, the first row with addConstr, the others with
    addConstrs. attach(model) runs when says: "first" (before anything),
    "middle" (after the variables), "last", or never for None. Returns the
    variables and attach's result."""
    spy = None
    if attach is not None and when == "first":
        spy = attach(model)
    lb, ub, vt = zip(*problem.variables)
    x = [model.addVar(lb=lb[0], ub=ub[0], vtype=_VTYPE[vt[0]], name="x0")]
    if len(lb) > 1:
        block = model.addVars(len(lb) - 1, lb=list(lb[1:]), ub=list(ub[1:]),
                              vtype=[_VTYPE[t] for t in vt[1:]], name="x")
        x += [block[i] for i in range(len(lb) - 1)]
    if attach is not None and when == "middle":
        spy = attach(model)
    model.addConstr(constraint(problem.rows[0], x), name="r0")
    if len(problem.rows) > 1:
        model.addConstrs((constraint(r, x) for r in problem.rows[1:]), name="r")
    terms, constant, sense = problem.objective
    model.setObjective(expression(terms, constant, x),
                       kestpy.KEST.MAXIMIZE if sense == 1 else kestpy.KEST.MINIMIZE)
    if attach is not None and when == "last":
        spy = attach(model)
    return x, spy


def objective_at(problem, values):
    terms, constant, _ = problem.objective
    return sum(c * values[j] for j, c in terms) + constant


def violations(problem, values, tol=1e-6):
    """What the values break: bounds, integrality, rows; an empty list when
    nothing."""
    out = []
    for j, ((lb, ub, vt), v) in enumerate(zip(problem.variables, values)):
        if v is None:
            out.append(f"variable {j} has no value")
            continue
        if v < lb - tol * max(1, abs(lb)) or v > ub + tol * max(1, abs(ub)):
            out.append(f"variable {j} = {v!r} outside its bounds [{lb}, {ub}]")
        if vt in "IB" and abs(v - round(v)) > 1e-5:
            out.append(f"integer variable {j} = {v!r}")
    if out:
        return out
    for i, (terms, constant, sense, rhs) in enumerate(problem.rows):
        lhs = sum(c * values[j] for j, c in terms) + constant
        slack = 1e-6 * max(1, abs(rhs))
        if (sense == "<" and lhs > rhs + slack) or (sense == ">" and lhs < rhs - slack) or (
                sense == "=" and abs(lhs - rhs) > slack):
            out.append(f"row {i}: {lhs!r} {sense} {rhs} does not hold")
    return out
