"""Checks of the list protocol (called directly) and of what kestpy relies on
when it drives the backend (through kestpy's API, watched by a spy)."""

import math

import kestpy

from . import problems
from ._harness import Backend, captured_output, check, close, fail, is_int, kestpy_call, new_model, skip

INF = math.inf
_STATUS_TEXT = {2: "optimal", 3: "infeasible", 4: "infeasible or unbounded", 5: "unbounded",
                7: "iteration limit", 9: "time limit", 10: "solution limit", 11: "interrupted", 1: "other"}


def status_text(status):
    return f"{status} ({_STATUS_TEXT.get(status, 'not a kestpy status number')})"


def index_list(answer):
    """A batch answer as a list, or None when it is no sequence of indices."""
    if is_int(answer):
        return None
    try:
        return list(answer)
    except TypeError:
        return None


def expect_values(d, got, want, what):
    """got: values read back; want: expected floats, None where any value goes."""
    for j, (g, w) in enumerate(zip(got, want)):
        if w is not None and not close(g, w):
            fail(f"{what}: variable {j} reads {g!r}; kestpy expected {w!r}{d.context()}")


def solve_optimal(d, what):
    _, values, objval = _expect_status(d, (2,), what + " (a feasible bounded model)")
    return values, objval


# ---------------------------------------------------------------- numbering


@check("numbering", "variables are numbered 0, 1, 2, ... in arrival order, batches included")
def check_numbering(backend: Backend):
    d = backend.direct()
    answers = [d.add_variable(None, None, 0.5, 0.5), d.add_variable("b", "C", 1.5, 1.5),
               d.add_variables(3, None, None, [2.5, 3.5, 4.5], [2.5, 3.5, 4.5]),
               d.add_variables(0, None, None, None, None),
               d.add_variable(None, None, 5.5, 5.5)]
    want = [0, 1, [2, 3, 4], [], 5]
    got = [a if is_int(a) else index_list(a) for a in answers]
    if got != want:
        fail(f"add_variable, add_variable, add_variables(3), add_variables(0), add_variable returned "
             f"{got}; kestpy expected {want} (variables are numbered 0, 1, 2, ... in arrival order)")
    d.set_objective([], [], 0.0, -1)
    values, _ = solve_optimal(d, "numbering")
    expect_values(d, values, [j + 0.5 for j in range(6)], "each variable fixed at its index + 0.5")
    # through kestpy: created before and after attach, singly and in blocks
    m = new_model()
    fixed = [m.addVar(lb=0.5, ub=0.5)]
    fixed += list(m.addVars(2, lb=[1.5, 2.5], ub=[1.5, 2.5]))
    spy = backend.attach(m)
    with kestpy_call("addVar/addVars after attach", spy):
        fixed += [m.addVar(lb=3.5, ub=3.5)]
        fixed += list(m.addVars(2, lb=[4.5, 5.5], ub=[4.5, 5.5]))
        m.optimize()
        read = [v.X for v in fixed]
    for j, v in enumerate(read):
        if not close(v, j + 0.5):
            fail(f"through kestpy, the variable created {j}th (fixed at {j + 0.5}) reads {v!r}; the backend's "
                 f"index {j} is not the {j}th variable created (optimize returned {spy.last_status()})"
                 f"\nlast backend calls:\n{spy.history()}")


# ---------------------------------------------------------------- argument forms


@check("add_variable_forms", "add_variable: name str/None, type C/B/I/None, lb and ub float/None")
def check_add_variable_forms(backend):
    d = backend.direct()
    for answer in (d.add_variable(None, None, None, 3.0), d.add_variable("y", "C", -2.0, 5.0),
                   d.add_variable(None, "I", -1.5, 4.7), d.add_variable("b", "B", None, None),
                   d.add_variable("", None, 1.0, None)):
        if not is_int(answer):
            fail(f"add_variable answered {answer!r}; kestpy expected an int{d.context()}")
    d.set_objective([0, 1, 2, 3, 4], [1.0] * 5, 0.0, -1)
    values, _ = solve_optimal(d, "add_variable forms, minimising")
    expect_values(d, values, [0.0, -2.0, -1.0, 0.0, 1.0],
                  "minimising every variable (lb None is 0, an integer in [-1.5, 4.7] is at least -1, "
                  "a binary at least 0)")
    d.set_objective([0, 1, 2, 3], [1.0] * 4, 0.0, 1)
    values, _ = solve_optimal(d, "add_variable forms, maximising")
    expect_values(d, values, [3.0, 5.0, 4.0, 1.0, None],
                  "maximising the bounded variables (an integer in [-1.5, 4.7] is at most 4, a binary "
                  "with bounds None at most 1)")


@check("add_variables_forms",
       "add_variables: names prefix/list/None, types list/None, lb and ub float/list/None, count 0")
def check_add_variables_forms(backend):
    d = backend.direct()
    batches = [(2, "p", None, 1.0, 2.0), (3, ["a", "", "c"], ["C", "I", "B"], [-1.0, -2.5, 0.0], [1.0, 2.5, 1.0]),
               (0, None, None, None, None), (2, None, ["I", "C"], None, [3.5, 4.0]),
               (1, "", None, [0.5], None)]
    for batch in batches:
        answer = d.add_variables(*batch)
        got = index_list(answer)
        if got is None or len(got) != batch[0]:
            fail(f"add_variables{batch} answered {answer!r}; kestpy expected a list of {batch[0]} indices")
    d.set_objective(list(range(8)), [1.0] * 8, 0.0, -1)
    values, _ = solve_optimal(d, "add_variables forms, minimising")
    expect_values(d, values, [1.0, 1.0, -1.0, -2.0, 0.0, 0.0, 0.0, 0.5],
                  "minimising every variable (scalar lb 1.0 applies to each of its batch, list bounds one "
                  "by one, lb None is 0)")
    d.set_objective(list(range(7)), [1.0] * 7, 0.0, 1)
    values, _ = solve_optimal(d, "add_variables forms, maximising")
    expect_values(d, values, [2.0, 2.0, 1.0, 2.0, 1.0, 3.0, 4.0, None],
                  "maximising the bounded variables (scalar ub 2.0 applies to each of its batch, an integer "
                  "in [-2.5, 2.5] is at most 2)")


# Three variables in [0, 10]; the rows hold x0 = 3, 1 <= x1 <= 4, x2 = 5 - x0
# through a repeated index, constants, each sense and an empty row.
_ROWS = [([0, 0], [1.0, 1.0], "<", 6.0, "c", 0.0),       # 2 x0 <= 6
         ([1], [1.0], "<", 5.0, None, 1.0),                # x1 + 1 <= 5
         ([0], [1.0], ">", 2.0, None, -1.0),               # x0 - 1 >= 2
         ([1, 1, 0], [0.5, 0.5, -1.0], ">", -2.0, "", 0.0),  # x1 - x0 >= -2
         ([2, 0], [1.0, 1.0], "=", 7.0, "e", 2.0),         # x2 + x0 + 2 = 7
         ([], [], "<", 1.0, None, 0.5)]                    # 0.5 <= 1
_ROWS_MIN = [3.0, 1.0, 2.0]
_ROWS_MAX = [3.0, 4.0, 2.0]
_ROWS_ABOUT = ("rows with a repeated index (x0 + x0 <= 6), constants (x1 + 1 <= 5, x0 - 1 >= 2), "
               "each sense and an empty row 0.5 <= 1")


def _solve_rows(d, what):
    d.set_objective([0, 1], [1.0, 1.0], 0.0, -1)
    values, _ = solve_optimal(d, what + ", minimising x0 + x1")
    expect_values(d, values, _ROWS_MIN, what + ": " + _ROWS_ABOUT)
    d.set_objective([0, 1], [1.0, 1.0], 0.0, 1)
    values, _ = solve_optimal(d, what + ", maximising x0 + x1")
    expect_values(d, values, _ROWS_MAX, what + ": " + _ROWS_ABOUT)


@check("add_constraint_forms", "add_constraint: repeated indices, constants, each sense, name str/None, empty rows")
def check_add_constraint_forms(backend):
    d = backend.direct()
    d.add_variables(3, None, None, 0.0, 10.0)
    for row in _ROWS:
        answer = d.add_constraint(*row)
        if not is_int(answer):
            fail(f"add_constraint answered {answer!r}; kestpy expected an int{d.context()}")
    _solve_rows(d, "add_constraint")


@check("add_constraints_forms", "add_constraints: the same rows in batches, names list/None, an empty batch")
def check_add_constraints_forms(backend):
    d = backend.direct()
    d.add_variables(3, None, None, 0.0, 10.0)
    for part, named in ((_ROWS[:4], True), ([], False), (_ROWS[4:], False)):
        idx, val, sense, rhs, name, const = ([list(r[k]) if k < 2 else r[k] for r in part] for k in range(6))
        names = [n or "" for n in name] if named else None
        answer = d.add_constraints(idx, val, const, sense, rhs, names)
        got = index_list(answer)
        if got is None or len(got) != len(part):
            fail(f"add_constraints with {len(part)} rows answered {answer!r}; kestpy expected a list of "
                 f"{len(part)} indices")
    _solve_rows(d, "add_constraints")


@check("set_objective", "set_objective replaces costs, constant and sense; repeated indices add up")
def check_set_objective(backend):
    d = backend.direct()
    d.add_variable(None, None, 0.0, 4.0)
    d.add_variable(None, None, -3.0, 2.0)
    d.set_objective([0, 1, 0], [1.0, 2.0, 1.0], 5.0, 1)
    values, objval = solve_optimal(d, "maximising x0 + 2 x1 + x0 + 5")
    expect_values(d, values, [4.0, 2.0], "maximising x0 + 2 x1 + x0 + 5")
    if not close(objval, 17.0):
        fail(f"maximising x0 + 2 x1 + x0 + 5: the objective value reads {objval!r}; kestpy expected 17.0 "
             f"(repeated indices add up, the constant counts){d.context()}")
    for (idx, val, const, sense), x, want, what in (
            (([1], [1.0], -1.0, -1), [None, -3.0], -4.0, "then minimising x1 - 1"),
            (([0, 1], [0.0, 0.0], 0.0, 1), [None, None], 0.0, "then zero costs"),
            (([], [], 2.5, 1), [None, None], 2.5, "then maximising only the constant 2.5")):
        d.set_objective(idx, val, const, sense)
        values, objval = solve_optimal(d, what)
        expect_values(d, values, x, what)
        if not close(objval, want):
            fail(f"{what}: the objective value reads {objval!r}; kestpy expected {want!r} (set_objective "
                 f"replaces the whole objective: costs, constant and sense){d.context()}")


# ---------------------------------------------------------------- statuses


def _expect_status(d, allowed, what):
    status = d.optimize()
    if status not in allowed:
        fail(f"{what}: optimize() returned {status_text(status)}; kestpy expected "
             f"{' or '.join(status_text(s) for s in allowed)}{d.context()}")
    return status, d.values(), d.objective()


def _expect_no_values(d, values, objval, what):
    if any(v is not None for v in values) or objval is not None:
        fail(f"{what}: get_var_value answered {values} and get_objective_value {objval!r}; kestpy expected None "
             f"(no feasible point){d.context()}")


@check("status_optimal", "optimize answers 2 for an optimal LP, MIP and model without variables")
def check_status_optimal(backend):
    for build, want, what in ((_lp_box, [1.0, 2.0], "an LP"), (_mip_box, [1.0, 2.0], "a MIP"),
                              (None, [], "a model without variables, rows or objective")):
        d = backend.direct()
        if build:
            build(d)
        status, values, objval = _expect_status(d, (2,), what)
        expect_values(d, values, want, what)
        if objval is None:
            fail(f"{what}: get_objective_value answered None after optimal; kestpy expected a float{d.context()}")


def _lp_box(d, vtype=None):
    d.add_variable(None, vtype, 1.0, 3.0)
    d.add_variable(None, vtype, -1.0, 2.0)
    d.add_constraint([0, 1], [1.0, 1.0], "<", 3.5, None, 0.0)
    d.set_objective([0, 1], [-1.0, 2.0], 0.0, 1)


def _mip_box(d):
    _lp_box(d, "I")


@check("status_infeasible", "optimize answers 3 for an infeasible LP and MIP; values are None")
def check_status_infeasible(backend):
    def lp(d):
        d.add_variables(2, None, None, [0.0, 0.0], [1.0, 1.0])
        d.add_constraint([0, 1], [1.0, 1.0], ">", 3.0, None, 0.0)

    def mip(d):  # feasible as an LP (x = 0.5), not in integers
        d.add_variable(None, "I", 0.0, 10.0)
        d.add_constraint([0, 0], [1.0, 1.0], "=", 1.0, None, 0.0)

    def rowless(d):  # a row without variables: 1 <= 0
        d.add_constraint([], [], "<", 0.0, None, 1.0)

    for build, what in ((lp, "x0 + x1 >= 3 with x in [0, 1]"), (mip, "2 x = 1 with x integer"),
                        (rowless, "the empty row 1 <= 0")):
        d = backend.direct()
        build(d)
        d.set_objective([], [], 0.0, -1)
        _, values, objval = _expect_status(d, (3,), what)
        _expect_no_values(d, values, objval, what)


@check("status_unbounded", "optimize answers 5 (or 4) for an unbounded LP and MIP; values are None")
def check_status_unbounded(backend):
    for vtype, what in ((None, "an unbounded LP"), ("I", "an unbounded MIP")):
        d = backend.direct()
        d.add_variable(None, vtype, 0.0, None)   # ub None is +inf
        d.add_variable(None, vtype, -2.0, 2.0)
        d.add_constraint([0, 1], [1.0, -1.0], ">", 0.0, None, 0.0)
        d.set_objective([0, 1], [1.0, 1.0], 0.0, 1)
        _, values, objval = _expect_status(d, (5, 4), what + " (ub None is +inf)")
        _expect_no_values(d, values, objval, what)


def _limit_data(n=60):
    """A 0-1 multi-knapsack of n items and 4 rows: nothing a solver settles
    before its first look at the clock. (weights per row, capacities, profits)"""
    seed, numbers = 12345, []
    for _ in range(5 * n):
        seed = (1103515245 * seed + 12345) % 2**31
        numbers.append(float(10 + seed % 90))
    weights = [numbers[r * n:(r + 1) * n] for r in range(4)]
    return weights, [float(sum(w) // 3) for w in weights], numbers[4 * n:]


def _limit_model(d):
    weights, caps, profits = _limit_data()
    n = len(profits)
    d.add_variables(n, None, ["B"] * n, None, None)
    for w, cap in zip(weights, caps):
        d.add_constraint(list(range(n)), w, "<", cap, None, 0.0)
    d.set_objective(list(range(n)), profits, 0.0, 1)


@check("status_limits", "optimize answers the limit's status (9 for a time limit of 0) and feasible values or None")
def check_status_limits(backend):
    if not backend.limits:
        skip("no limit settings given for this backend")
    for status, settings in sorted(backend.limits.items()):
        d = backend.direct()
        for name, value in settings.items():
            d.set_optimizer_attr(name, value)
        _limit_model(d)
        got, values, objval = _expect_status(d, (status,), f"the limit model with {settings}")
        if any(v is None for v in values) != (objval is None):
            fail(f"the limit model with {settings}: values {values} and objective value {objval!r}; kestpy expected "
                 f"both present (an incumbent) or both None{d.context()}")


# ---------------------------------------------------------------- values


def _values_of(m, xs, spy, what):
    with kestpy_call(what, spy):
        return [x.X for x in xs], m.ObjVal


@check("values_after_change", "Var.X and ObjVal are None before optimize and after each change, back after optimize")
def check_values_after_change(backend):
    m = new_model()
    xs = list(m.addVars(2, ub=[4.0, 3.0]))
    m.addConstr(xs[0] + xs[1] <= 5)
    m.setObjective(xs[0] + 2 * xs[1], kestpy.KEST.MAXIMIZE)
    spy = backend.attach(m)
    got = _values_of(m, xs, spy, "reading values before optimize")
    if got != ([None, None], None):
        fail(f"before any optimize the values read {got}; kestpy expected None for each\n{spy.history()}")
    changes = [("addVar", lambda: m.addVar(ub=1.0)), ("addVars", lambda: m.addVars(2, ub=1.0)),
               ("addConstr", lambda: m.addConstr(xs[0] >= 1)),
               ("addConstrs", lambda: m.addConstrs(x <= 3.5 for x in xs)),
               ("setObjective", lambda: m.setObjective(xs[0] + 3 * xs[1], kestpy.KEST.MAXIMIZE))]
    for change, act in changes:
        with kestpy_call("optimize", spy):
            m.optimize()
        values, objval = _values_of(m, xs, spy, "reading values after optimize")
        if None in values or objval is None:
            fail(f"after an optimal optimize (status {spy.last_status()}) the values read {values}, objective "
                 f"{objval!r}; kestpy expected floats\n{spy.history()}")
        with kestpy_call(change, spy):
            act()
        got = _values_of(m, xs, spy, f"reading values after {change}")
        if got != ([None, None], None):
            fail(f"after {change} following optimize, the values read {got[0]} and the objective {got[1]!r}; "
                 f"kestpy expected None: the model changed since the last solve\n{spy.history()}")


# ---------------------------------------------------------------- settings


def _optimize_capturing(m, spy, what):
    with captured_output() as out, kestpy_call(what, spy):
        m.optimize()
    return out[0]


def _limit_model_in_kestpy(m):
    weights, caps, profits = _limit_data()
    x = m.addVars(len(profits), vtype=kestpy.KEST.BINARY)
    for w, cap in zip(weights, caps):
        m.addConstr(kestpy.quicksum(c * x[j] for j, c in enumerate(w)) <= cap)
    m.setObjective(kestpy.quicksum(c * x[j] for j, c in enumerate(profits)), kestpy.KEST.MAXIMIZE)


def _expect_limit(spy, when):
    if spy.last_status() != 9:
        fail(f"with the time limit 0 set {when}, optimize returned {status_text(spy.last_status())}; kestpy "
             f"expected 9 (time limit): the setting did not reach the solver\n{spy.history()}")


@check("settings_before_attach", "settings made before setBackend reach the solver on replay")
def check_settings_before_attach(backend):
    if backend.time_limit is None and backend.output_flag is None:
        skip("no setting names given for this backend")
    if backend.time_limit is not None:
        m = new_model()
        _limit_model_in_kestpy(m)
        m.setParam(backend.time_limit, 0.0)
        spy = backend.attach(m)
        _optimize_capturing(m, spy, "optimize")
        _expect_limit(spy, f"before attach ({backend.time_limit}=0.0)")
    if backend.output_flag is not None:
        m = new_model()
        x = m.addVar(ub=2.0)
        m.setObjective(x + 0, kestpy.KEST.MAXIMIZE)
        m.setParam(backend.output_flag, 1)
        spy = backend.attach(m)
        if not _optimize_capturing(m, spy, "optimize").strip():
            fail(f"with {backend.output_flag}=1 set before attach, optimize wrote nothing; kestpy expected solver "
                 f"output: the setting was not replayed into the solver\n{spy.history()}")


@check("settings_after_attach", "settings made after setBackend reach the solver; quiet until output is asked for")
def check_settings_after_attach(backend):
    if backend.time_limit is None and backend.output_flag is None:
        skip("no setting names given for this backend")
    if backend.output_flag is not None:
        # quiet by default, as the output flag's effect is seen against that
        m = new_model()
        x = m.addVar(ub=2.0)
        m.setObjective(x + 0, kestpy.KEST.MAXIMIZE)
        spy = backend.attach(m)
        printed = _optimize_capturing(m, spy, "optimize")
        if printed.strip():
            fail(f"optimize with default settings wrote {printed[:200]!r}; kestpy expected a quiet backend")
        m.setParam(backend.output_flag, 1)
        if not _optimize_capturing(m, spy, "optimize").strip():
            fail(f"with {backend.output_flag}=1 set after attach, optimize wrote nothing; kestpy expected "
                 f"solver output\n{spy.history()}")
        m.setParam(backend.output_flag, 0)
        printed = _optimize_capturing(m, spy, "optimize")
        if printed.strip():
            fail(f"with {backend.output_flag}=0 set after attach, optimize wrote {printed[:200]!r}; kestpy "
                 f"expected no output")
    if backend.time_limit is not None:
        m = new_model()
        _limit_model_in_kestpy(m)
        spy = backend.attach(m)
        m.setParam(backend.time_limit, 0.0)
        _optimize_capturing(m, spy, "optimize")
        _expect_limit(spy, f"after attach ({backend.time_limit}=0.0)")


# ---------------------------------------------------------------- replay and known answers


def solve_problem(backend, problem, when):
    """Builds and solves a problem through kestpy attaching when says; fails
    unless the solution is optimal, feasible and worth the known optimum."""
    m = new_model(problem.name)
    spy_box = []

    def attach(model):
        spy_box.append(backend.attach(model))
        return spy_box[-1]

    if when == "again":
        x, _ = problem_build(problem, m, attach, "first")
        attach(m)  # a second setBackend replaces the first backend with a fresh replay
    else:
        x, _ = problem_build(problem, m, attach, when)
    spy = spy_box[-1]
    with kestpy_call("optimize", spy):
        m.optimize()
    values, objval = _values_of(m, x, spy, "reading values")
    what = f"{problem.name} ({problem.about}) attached {_WHEN[when]}"
    if spy.last_status() != 2:
        fail(f"{what}: optimize returned {status_text(spy.last_status())}; kestpy expected 2 (optimal)"
             f"\nlast backend calls:\n{spy.history()}")
    broken = problems.violations(problem, values)
    if broken:
        fail(f"{what}: the solution {values} breaks the model: {'; '.join(broken)}")
    at = problems.objective_at(problem, values)
    if not close(objval, problem.optimum, 1e-6) or not close(at, problem.optimum, 1e-6):
        fail(f"{what}: ObjVal reads {objval!r} and the objective at the solution is {at!r}; kestpy expected the "
             f"known optimum {problem.optimum!r}")


def problem_build(problem, m, attach, when):
    with kestpy_call(f"building {problem.name}", None):
        return problems.build(problem, m, attach, when)


_WHEN = {"first": "before building", "middle": "after the variables", "last": "after building",
         "again": "before building and again after it"}


@check("replay_after_late_attach", "a model built before setBackend, in part or whole, or attached twice, solves alike")
def check_replay_after_late_attach(backend):
    for problem in (problems.PROBLEM_BY_NAME["lp_row_constants_and_repeats"],
                    problems.PROBLEM_BY_NAME["mip_negative_integers"]):
        for when in ("middle", "last", "again"):
            solve_problem(backend, problem, when)


def _known_answer(problem):
    def run(backend):
        solve_problem(backend, problem, "first")
        solve_problem(backend, problem, "last")
    return run


for _p in problems.PROBLEMS:
    check("known_" + _p.name, _p.about + f"; optimum {_p.optimum}")(_known_answer(_p))
