"""The HiGHS backend: first through its protocol as the adapter calls it, then
through real kestpy models."""

import math
import random
import re
import sys
import types
import warnings

import numpy as np
import pytest

import kestpy as kp
from conftest import run_python
import kestpy_highs
from kestpy_highs import Model as Backend

INF = math.inf


def lp_of(backend):
    return backend.highs.getLp()


def dense(backend):
    """The constraint matrix that HiGHS holds, as a dense array."""
    lp = lp_of(backend)
    a = lp.a_matrix_
    out = np.zeros((lp.num_row_, lp.num_col_))
    start = list(a.start_)
    for j in range(lp.num_col_):
        for k in range(start[j], start[j + 1]):
            out[a.index_[k], j] += a.value_[k]
    return out


def col_name(backend, j):
    return backend.highs.getColName(j)[1]


def row_name(backend, i):
    return backend.highs.getRowName(i)[1]


def integrality(backend, j):
    return int(backend.highs.getColIntegrality(j)[1])


def add_vars(b, path, n, names=None, types_=None, lb=None, ub=None):
    """n variables through one batch call or n single calls."""
    if path == "batch":
        return b.add_variables(n, names, types_, lb, ub)
    pick = lambda v, i: v[i] if isinstance(v, list) else v  # noqa: E731
    return [b.add_variable(pick(names, i), pick(types_, i), pick(lb, i), pick(ub, i)) for i in range(n)]


def add_rows(b, path, rows):
    """rows: (indices, coeffs, sense, rhs, name, constant) tuples."""
    if path == "batch":
        return b.add_constraints([r[0] for r in rows], [r[1] for r in rows], [r[5] for r in rows],
                                 [r[2] for r in rows], [r[3] for r in rows], [r[4] or "" for r in rows])
    return [b.add_constraint(*r) for r in rows]


PATHS = ["single", "batch"]


# ---------------------------------------------------------------- variables

@pytest.mark.parametrize("path", PATHS)
def test_variable_defaults_bounds_types_and_names(path):
    b = Backend("m", None)
    assert add_vars(b, path, 2) == [0, 1]
    assert add_vars(b, path, 3, names=["a", "", "c"], types_=["C", "I", "C"],
                    lb=[-1.0, 2.0, -INF], ub=[1.0, 9.0, INF]) == [2, 3, 4]
    assert b.add_variable(None, None, None, None) == 5
    assert b.add_variables(2, "", None, 1.0, 5.0) == [6, 7]  # an empty prefix names nothing
    lp = lp_of(b)
    assert list(lp.col_lower_) == [0.0, 0.0, -1.0, 2.0, -INF, 0.0, 1.0, 1.0]
    assert list(lp.col_upper_) == [INF, INF, 1.0, 9.0, INF, INF, 5.0, 5.0]
    assert [integrality(b, j) for j in range(8)] == [0, 0, 0, 1, 0, 0, 0, 0]
    assert [col_name(b, j) for j in range(8)] == ["", "", "a", "", "c", "", "", ""]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("lb, ub, want", [(None, None, (0.0, 1.0)), (-5.0, 7.0, (0.0, 1.0)),
                                          (0.0, 0.0, (0.0, 0.0)), (1.0, INF, (1.0, 1.0))])
def test_binary_bounds_clipped(path, lb, ub, want):
    b = Backend("m", None)
    add_vars(b, path, 2, types_=["B", "C"], lb=lb, ub=ub)
    lp = lp_of(b)
    assert (lp.col_lower_[0], lp.col_upper_[0]) == want
    assert integrality(b, 0) == 1
    # the continuous neighbour keeps what it was given
    assert (lp.col_lower_[1], lp.col_upper_[1]) == (0.0 if lb is None else lb,
                                                    INF if ub is None else ub)


@pytest.mark.parametrize("call, exc", [
    (lambda b: b.add_variable(None, "S", None, None), ValueError),
    (lambda b: b.add_variables(2, None, ["C", "Q"], None, None), ValueError),
    (lambda b: b.add_variables(2, None, None, [1.0], None), ValueError),
    (lambda b: b.add_variables(2, ["a"], None, None, None), ValueError),
    (lambda b: b.add_constraint([5], [1.0], "<", 1.0, None, 0.0), IndexError),
    (lambda b: b.add_constraint([0], [1.0], "<=", 1.0, None, 0.0), ValueError),
    (lambda b: b.add_constraint([0, 1], [1.0], "<", 1.0, None, 0.0), ValueError),
    (lambda b: b.add_constraints([[0], [9]], [[1.0], [1.0]], [0.0, 0.0], ["<", "<"], [1.0, 1.0], None),
     IndexError),
    (lambda b: b.add_constraints([[0]], [[1.0, 2.0]], [0.0], ["<"], [1.0], None), ValueError),
    (lambda b: b.add_constraints([[0]], [[1.0]], [0.0], ["!"], [1.0], None), ValueError),
    (lambda b: b.set_objective([0], [1.0], 0.0, 0), ValueError),
    (lambda b: b.set_objective([7], [1.0], 0.0, 1), IndexError),
])
def test_malformed_calls_raise(call, exc):
    b = Backend("m", None)
    b.add_variables(2, None, None, None, None)
    with pytest.raises(exc):
        call(b)


# ---------------------------------------------------------------- constraints

@pytest.mark.parametrize("path", PATHS)
def test_repeated_indices_summed_and_zeros_dropped(path):
    b = Backend("m", None)
    b.add_variables(3, None, None, None, None)
    add_rows(b, path, [([2, 0, 2, 1], [1.0, 4.0, 2.0, 0.0], "<", 1.0, None, 0.0),
                       ([1, 1], [1.0, -1.0], ">", 0.0, None, 0.0),
                       ([1, 0], [5.0, 6.0], "=", 2.0, None, 0.0)])
    np.testing.assert_array_equal(dense(b), [[4.0, 0.0, 3.0], [0.0, 0.0, 0.0], [6.0, 5.0, 0.0]])
    assert b.highs.getNumNz() == 4


@pytest.mark.parametrize("path", PATHS)
def test_row_names_with_duplicates_and_blanks(path):
    b = Backend("m", None)
    b.add_variables(2, ["x", "x"], None, None, 3.0)
    # the last row has no terms: 0 + 1 <= 5 holds, and must not disturb the solve
    add_rows(b, path, [([0], [1.0], "<", 1.0, "r", 0.0), ([1], [1.0], "<", 2.0, None, 0.0),
                       ([0, 1], [1.0, 1.0], "<", 2.5, "r", 0.0), ([], [], "<", 5.0, "k", 1.0)])
    b.set_objective([0, 1], [1.0, 1.0], 0.0, 1)
    assert b.optimize() == 2
    assert b.get_objective_value() == pytest.approx(2.5)
    assert [row_name(b, i) for i in range(4)] == ["r", "", "r", "k"]
    assert [col_name(b, j) for j in range(2)] == ["x", "x"]
    # names reach HiGHS when the instance is handed out, without losing the solution
    assert b.get_objective_value() == pytest.approx(2.5) and b.highs.getInfo().objective_function_value == 2.5
    b.add_variables(1, "y", None, None, None)
    add_rows(b, path, [([2], [1.0], "<", 1.0, "late", 0.0)])
    b.update()
    assert (col_name(b, 2), row_name(b, 4)) == ("y_0", "late")


@pytest.mark.parametrize("rows, status, objective", [
    ([], 2, 3.5),
    ([([], [], "<", 5.0, None, 1.0)], 2, 3.5),
    ([([], [], ">", 5.0, None, 1.0)], 3, None),
])
def test_model_without_variables(rows, status, objective):
    b = Backend("m", None)
    assert b.add_constraints([], [], [], [], [], None) == []
    assert b.add_variables(0, "x", [], None, None) == []
    for r in rows:
        b.add_constraint(*r)
    b.set_objective([], [], 3.5, -1)
    assert b.optimize() == status
    assert b.get_objective_value() == objective
    assert b.get_var_value(0) is None


# ---------------------------------------------------------------- objective

@pytest.mark.parametrize("sense, want", [(-1, -4.0), (1, 6.0)])
def test_objective_sense(sense, want):
    b = Backend("m", None)
    b.add_variable("x", None, -4.0, 6.0)
    b.set_objective([0], [1.0], 0.0, sense)
    assert b.optimize() == 2
    assert b.get_var_value(0) == want
    assert b.get_objective_value() == want


def test_objective_before_variables_then_replaced_not_added():
    b = Backend("m", None)
    b.set_objective([], [], 2.0, 1)
    b.update()  # sense and constant must survive a flush without columns
    b.add_variables(2, None, None, None, 3.0)
    b.add_constraint([0], [1.0], "<", 10.0, None, 0.0)
    assert b.optimize() == 2
    assert b.get_objective_value() == 2.0
    b.set_objective([0], [1.0], 10.0, 1)
    b.update()
    b.set_objective([1, 1], [1.0, 2.0], 0.5, 1)  # repeats summed: 3*x1
    assert b.optimize() == 2
    assert list(lp_of(b).col_cost_) == [0.0, 3.0]
    assert b.get_objective_value() == 9.5


# ---------------------------------------------------------------- solving and values

def small_lp(b):
    b.add_variables(2, "x", None, None, None)
    b.add_constraint([0, 1], [1.0, 1.0], "<", 4.0, "sum", 0.0)
    b.add_constraint([0, 1], [1.0, 3.0], "<", 6.0, "mix", 0.0)
    b.set_objective([0, 1], [3.0, 5.0], 0.0, 1)


def test_values_from_last_run():
    b = Backend("m", None)
    assert b.get_var_value(0) is None and b.get_objective_value() is None
    small_lp(b)
    assert b.optimize() == 2
    assert [b.get_var_value(0), b.get_var_value(1)] == pytest.approx([3.0, 1.0])
    assert b.get_objective_value() == pytest.approx(14.0)
    assert b.get_var_value(2) is None
    b.set_optimizer_attr("time_limit", 5.0)  # a setting keeps them
    assert b.get_objective_value() == pytest.approx(14.0)


def test_zero_values_read_as_positive_zero():
    # HiGHS leaves -0.0 on y here; a user printing the solution should see 0.0
    m = kp.Model("knapsack")
    x, y = m.addVar(vtype=kp.KEST.INTEGER), m.addVar(vtype=kp.KEST.INTEGER)
    m.addConstr(6 * x + 4 * y <= 24)
    m.addConstr(x + 2 * y <= 6)
    m.setObjective(5 * x + 4 * y, kp.KEST.MAXIMIZE)
    m.setBackend("highs")
    m.optimize()
    assert (x.X, m.ObjVal) == (4.0, 20.0)
    assert y.X == 0.0 and math.copysign(1.0, y.X) == 1.0


@pytest.mark.parametrize("change", [
    lambda b: b.add_variable(None, None, None, None),
    lambda b: b.add_variables(1, None, None, None, None),
    lambda b: b.add_constraint([0], [1.0], "<", 100.0, None, 0.0),
    lambda b: b.add_constraints([[0]], [[1.0]], [0.0], ["<"], [100.0], None),
    lambda b: b.set_objective([0], [1.0], 0.0, 1),
])
def test_any_change_forgets_values(change):
    b = Backend("m", None)
    small_lp(b)
    b.optimize()
    change(b)
    assert b.get_var_value(0) is None
    assert b.get_objective_value() is None
    assert b.optimize() == 2
    assert b.get_var_value(0) is not None


def test_growing_a_solved_model():
    b = Backend("m", None)
    small_lp(b)
    assert b.optimize() == 2
    # rows and columns now go through addCols/addRows on a loaded model
    b.add_variables(2, ["z", "z"], ["I", "B"], None, [2.5, 9.0])
    b.add_constraint([2, 3, 0], [1.0, 1.0, 1.0], "<", 3.0, "late", 0.0)
    b.set_objective([0, 1, 2, 3], [3.0, 5.0, 4.0, 1.0], 0.0, 1)
    assert b.optimize() == 2
    # with x0 capped at c = 3 - z - y the LP part gives 10 + 4c/3, so the total is
    # 14 + 8z/3 - y/3: best at z = 2 (bound 2.5 floored by integrality), y = 0
    assert b.get_objective_value() == pytest.approx(14 + 16 / 3)
    assert b.get_var_value(2) == pytest.approx(2.0)
    assert [col_name(b, j) for j in range(4)] == ["x_0", "x_1", "z", "z"]
    assert row_name(b, 2) == "late"
    assert integrality(b, 3) == 1 and lp_of(b).col_upper_[3] == 1.0


@pytest.mark.parametrize("sense, statuses", [(1, (4, 5)), (-1, (3, 4))])
def test_unbounded_and_infeasible_give_no_values(sense, statuses):
    b = Backend("m", None)
    b.add_variable("x", None, None, None)
    if sense == -1:
        b.add_constraint([0], [1.0], "<", -1.0, None, 0.0)
    b.set_objective([0], [1.0], 0.0, sense)
    assert b.optimize() in statuses
    assert b.get_var_value(0) is None
    assert b.get_objective_value() is None


NAN = math.nan


@pytest.mark.parametrize("flush_first", [False, True])
@pytest.mark.parametrize("bad, reason, ncols, nrows", [
    (lambda b: b.add_variables(2, None, None, [0.0, 0.0], [1.0, NAN]),
     "a variable's upper bound is NaN (variable 3)", 4, 2),
    (lambda b: b.add_variable(None, "B", NAN, None),  # clipping to [0, 1] keeps the NaN
     "a variable's lower bound is NaN (variable 2)", 3, 2),
    (lambda b: b.add_constraint([0], [1.0], ">", 1.0, None, NAN),
     "a constraint's right-hand side or constant is NaN (constraint 2)", 2, 3),
    # an unsorted row with a repeat goes through the merge before the check
    (lambda b: b.add_constraints([[0], [1, 0, 1]], [[1.0], [2.0, NAN, -2.0]], [0.0, 0.0],
                                 ["<", "<"], [1.0, 1.0], None),
     "a constraint coefficient is NaN (constraint 3, variable 0)", 2, 4),
])
def test_nan_refused_for_good_with_numbering_kept(bad, reason, ncols, nrows, flush_first):
    b = Backend("m", None)
    small_lp(b)
    if flush_first:
        b.update()
    bad(b)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        b.update()  # refuses without a word
    with pytest.raises(RuntimeError) as err:
        b.highs
    assert str(err.value) == "HiGHS refused the model: " + reason
    assert b.add_variable(None, None, None, None) == ncols
    assert b.add_constraints([[0, ncols]], [[1.0, 1.0]], [0.0], ["<"], [1.0], None) == [nrows]
    b.set_objective([0], [1.0], 0.0, 1)
    for _ in range(2):
        with pytest.warns(UserWarning, match=re.escape(reason)) as rec:
            assert b.optimize() == 1
        assert len(rec) == 1
        assert b.get_var_value(0) is None and b.get_objective_value() is None


def test_update_leaves_a_nan_objective_staged():
    b = Backend("m", None)
    small_lp(b)
    b.set_objective([0, 1], [3.0, NAN], 0.0, 1)
    b.update()
    with pytest.raises(RuntimeError, match=r"objective was refused: a coefficient is NaN \(variable 1\)"):
        b.highs
    b.set_objective([0, 1], [3.0, 5.0], 0.0, 1)
    assert b.optimize() == 2 and b.get_objective_value() == pytest.approx(14.0)


def knapsack(b, n, seed=3):
    rng = random.Random(seed)
    w = [float(rng.randint(5, 40)) for _ in range(n)]
    v = [float(rng.randint(5, 60)) for _ in range(n)]
    b.add_variables(n, "take", ["B"] * n, None, None)
    b.add_constraint(list(range(n)), w, "<", sum(w) / 2, "cap", 0.0)
    b.set_objective(list(range(n)), v, 0.0, 1)


def test_time_limit_zero():
    b = Backend("m", None)
    knapsack(b, 40)
    b.set_optimizer_attr("time_limit", 0.0)
    assert b.optimize() == 9
    b.set_optimizer_attr("TimeLimit", 60)
    assert b.optimize() == 2
    assert b.get_objective_value() > 0


@pytest.mark.parametrize("sorted_rows", [True, False])
@pytest.mark.parametrize("flush_between", [False, True])
def test_rows_from_mixed_chunks_match_a_dense_reference(sorted_rows, flush_between):
    # sorted rows keep their order and only lose zeros; unsorted ones are sorted and
    # summed; batches and single rows are merged, or added to a loaded model
    rng = random.Random(5 + sorted_rows)
    n = 12

    def row(i):
        k = rng.choice([0, 1, 3, 6])
        idx = sorted(rng.sample(range(n), k)) if sorted_rows else [rng.randrange(n) for _ in range(k)]
        val = [rng.choice([0.0, 0.0, rng.uniform(-3, 3)]) for _ in idx]
        return (idx, val, rng.choice("<>="), rng.uniform(-5, 5), f"r{i}" if i % 3 else None,
                rng.uniform(-1, 1))

    rows = [row(i) for i in range(30)]
    b = Backend("m", None)
    b.add_variables(n, "v", None, None, None)
    add_rows(b, "batch", rows[:10])
    add_rows(b, "single", rows[10:20])
    if flush_between:
        b.update()
    add_rows(b, "batch", rows[20:])
    a = np.zeros((len(rows), n))
    for i, (idx, val, *_rest) in enumerate(rows):
        for j, c in zip(idx, val):
            a[i, j] += c
    np.testing.assert_allclose(dense(b), a)
    assert b.highs.getNumNz() == np.count_nonzero(a)
    lp = lp_of(b)
    for i, (_idx, _val, sense, rhs, name, constant) in enumerate(rows):
        bound = rhs - constant  # the constant moves to the row bounds
        assert lp.row_lower_[i] == (-INF if sense == "<" else bound)
        assert lp.row_upper_[i] == (INF if sense == ">" else bound)
        assert row_name(b, i) == (name or "")


@pytest.mark.parametrize("call", [
    lambda b: b.add_constraints([[0], [2 ** 40]], [[1.0], [1.0]], [0.0, 0.0], ["<", "<"],
                                [1.0, 1.0], None),
    lambda b: b.add_constraints([[-2 ** 40]], [[1.0]], [0.0], ["<"], [1.0], None),
    lambda b: b.set_objective([0, 2 ** 70], [1.0, 1.0], 0.0, 1),
])
def test_index_beyond_int_range_is_out_of_range(call):
    b = Backend("m", None)
    b.add_variables(2, None, None, None, None)
    with pytest.raises(IndexError, match="out of range"):
        call(b)
    assert b.highs.getNumRow() == 0

# ---------------------------------------------------------------- settings

@pytest.mark.parametrize("name, value, option, stored", [
    ("time_limit", 7, "time_limit", 7.0),
    ("TimeLimit", 3, "time_limit", 3.0),
    ("Threads", 1, "threads", 1),
    ("OutputFlag", 0, "output_flag", False),
    ("output_flag", True, "output_flag", True),
    ("Silent", 0, "output_flag", True),
    ("Silent", True, "output_flag", False),
    ("presolve", "off", "presolve", "off"),
    ("presolve", 0, "presolve", "off"),
    ("presolve", True, "presolve", "on"),
    ("SolverName", "anything", "presolve", "choose"),  # accepted, changes nothing
    ("simplex_iteration_limit", 50.0, "simplex_iteration_limit", 50),
])
def test_options_and_aliases(recwarn, name, value, option, stored):
    b = Backend("m", None)
    b.set_optimizer_attr(name, value)
    got = b.highs.getOptionValue(option)[1]
    assert got == stored and type(got) is type(stored)
    assert not recwarn.list


@pytest.mark.parametrize("name, value, pieces", [
    ("time_limt", 1.0, ["'time_limt'", "'time_limit'"]),
    ("Timelimit", 1.0, ["'Timelimit'", "'TimeLimit'"]),
    ("no_such_thing_at_all", 1, ["'no_such_thing_at_all'"]),
    ("time_limit", "soon", ["'time_limit'", "float"]),
    ("TimeLimit", "soon", ["'TimeLimit'", "'time_limit'"]),
    ("threads", 2.5, ["'threads'", "int"]),
    ("output_flag", 7, ["'output_flag'", "bool"]),
    ("Silent", "loud", ["'Silent'"]),
    ("presolve", "fast", ["'presolve'", "'fast'"]),
    ("time_limit", math.nan, ["'time_limit'", "NaN"]),  # HiGHS would store it
    ("TimeLimit", True, ["'TimeLimit'", "float"]),
])
def test_bad_option_warns_and_changes_nothing(name, value, pieces):
    b = Backend("m", None)
    before = b.highs.getOptions()
    with pytest.warns(UserWarning) as caught:
        b.set_optimizer_attr(name, value)
    assert all(piece in str(caught[0].message) for piece in pieces), caught[0].message
    after = b.highs.getOptions()
    assert all(getattr(before, o) == getattr(after, o)
               for o in dir(before) if not o.startswith("_"))
    knapsack(b, 8)
    assert b.optimize() == 2


def test_threads_changed_between_models():
    # HiGHS refuses to run when the thread count differs from its pool's
    for threads in (1, 2, 0):
        b = Backend("m", None)
        b.set_optimizer_attr("Threads", threads)
        knapsack(b, 12)
        assert b.optimize() == 2


def test_quiet_by_default():
    done = run_python("-c", "import kestpy_highs as k\n"
                            "b = k.Model('q', None)\n"
                            "b.add_variables(3, 'x', ['I'] * 3, None, 4.0)\n"
                            "b.add_constraint([0, 1, 2], [1.0, 2.0, 3.0], '<', 7.5, 'c', 0.0)\n"
                            "b.set_objective([0, 1, 2], [1.0, 1.0, 1.0], 0.0, 1)\n"
                            "assert b.optimize() == 2\n")
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


def test_status_table_is_documented():
    # the docstring's table lists exactly the numbers optimize can return
    doc = kestpy_highs.__doc__
    table = doc[doc.index("Status numbers"):]
    documented = {int(m.group(1)) for m in re.finditer(r"^(\d+)\s{2,}\S", table, re.M)}
    assert documented == set(kestpy_highs._STATUS.values()) | {1} == set(kestpy_highs.STATUS_NAMES)


# ---------------------------------------------------------------- through kestpy

@pytest.fixture
def probe(monkeypatch):
    """A backend module "kestpy_probe" that hands out HiGHS backends and keeps them."""
    made = []
    factory = lambda name, env: made.append(Backend(name, env)) or made[-1]  # noqa: E731
    monkeypatch.setitem(sys.modules, "kestpy_probe", types.SimpleNamespace(Model=factory))
    return made


@pytest.mark.parametrize("attach", ["before", "after"])
def test_kestpy_model_attached_before_or_after(probe, attach):
    m = kp.Model("shop")
    if attach == "before":
        m.setBackend("probe")
    x = m.addVar(ub=40.0, name="chairs")
    y = m.addVar(name="tables")
    z = m.addVars(2, lb=1.0, ub=[3.0, 4.0], name="extra")
    w = m.addVar(lb=-3.0, ub=5.0, vtype=kp.KEST.BINARY, name="w")  # clipped to [0, 1]
    m.addConstr(x + 2 * y + z[0] + 3 <= 103, name="wood")  # the constant moves to the bound
    m.addConstrs((x - y + k >= 2 * k for k in range(2)), name="mix")
    m.setObjective(3 * x + 5 * y + 1 * z[0] + 2 * z[1] + 1 * w, kp.KEST.MAXIMIZE)
    if attach == "after":
        m.setBackend("probe")
    b = probe[-1]
    assert b.name == "shop"
    lp = lp_of(b)
    assert list(lp.col_lower_) == [0.0, 0.0, 1.0, 1.0, 0.0]
    assert list(lp.col_upper_) == [40.0, INF, 3.0, 4.0, 1.0]
    assert (lp.row_lower_[0], lp.row_upper_[0]) == (-INF, 100.0)
    assert [integrality(b, j) for j in range(5)] == [0, 0, 0, 0, 1]
    assert [col_name(b, j) for j in range(5)] == ["chairs", "tables", "extra[0]", "extra[1]", "w"]
    assert [row_name(b, i) for i in range(3)] == ["wood", "mix[0]", "mix[1]"]
    m.optimize()
    # one more chair is worth 3 and costs half a table (2.5), so x = 40; each
    # unit of extra[0] beyond its floor costs half a table too, so z0 = 1 and
    # wood leaves y = (100 - 40 - 1) / 2 = 29.5 (mix[1] needs only y <= 39)
    assert [x.X, y.X, z[0].X, z[1].X, w.X] == pytest.approx([40.0, 29.5, 1.0, 4.0, 1.0])
    assert m.ObjVal == pytest.approx(3 * 40 + 5 * 29.5 + 1 + 2 * 4 + 1)


def test_kestpy_objective_replaced_with_the_other_sense():
    m = kp.Model("o")
    m.setBackend("highs")
    x = m.addVar(lb=-2.0, ub=3.0, name="x")
    y = m.addVar(lb=-1.0, ub=1.0, name="y")
    m.setObjective(1 * x + 10, kp.KEST.MAXIMIZE)
    m.optimize()
    assert m.ObjVal == pytest.approx(13.0)
    m.setObjective(1 * y, kp.KEST.MINIMIZE)
    m.optimize()
    assert m.ObjVal == pytest.approx(-1.0) and y.X == pytest.approx(-1.0)


def test_kestpy_settings_replayed_and_bad_ones_only_warned(capsys):
    m = kp.Model("t")
    m.setParam("time_limit", 0.0)  # replayed on attach
    m.setParam("no_such_option", 1)
    rng = random.Random(5)
    take = m.addVars(40, vtype=kp.KEST.BINARY, name="take")
    w = [rng.randint(5, 40) for _ in range(40)]
    m.addConstr(kp.quicksum(w[i] * take[i] for i in range(40)) <= sum(w) // 2, name="cap")
    m.setObjective(kp.quicksum(rng.randint(5, 60) * t for t in take), kp.KEST.MAXIMIZE)
    # under warnings-as-errors a bad setting must not break the model: stderr instead
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        m.setBackend("highs")
        m.setParam("time_limt", 5.0)
    assert capsys.readouterr().err.count("UserWarning: kestpy_highs:") == 2
    m.optimize()
    assert m.ObjVal is None
    with pytest.warns(UserWarning, match="TimeLimitt"):
        m.setParam("TimeLimitt", 10)
    m.setParam("TimeLimit", 30)
    m.optimize()
    assert m.ObjVal is not None and m.ObjVal > 0


REFUSED = [
    pytest.param(lambda m, x: m.addVar(lb=INF), "HiGHS refused", id="lb=inf"),
    pytest.param(lambda m, x: m.addVar(lb=-INF, ub=-INF), "HiGHS refused",
                 id="ub=-inf"),
    pytest.param(lambda m, x: m.addVar(ub=NAN), "upper bound is NaN (variable 1)", id="ub=nan"),
    pytest.param(lambda m, x: m.addConstr(x >= INF), "HiGHS refused", id="rhs=inf"),
    pytest.param(lambda m, x: m.addConstr(x <= NAN), "constant is NaN (constraint 1)",
                 id="rhs=nan"),
    pytest.param(lambda m, x: m.addConstr(1e300 * x <= 1), "HiGHS refused",
                 id="huge-coefficient"),
    # HiGHS itself takes this one and calls x = 5 optimal
    pytest.param(lambda m, x: m.addConstr(NAN * x <= 1),
                 "coefficient is NaN (constraint 1, variable 0)", id="nan-coefficient"),
    # HiGHS would take these as other numbers: dropped, or infinite
    pytest.param(lambda m, x: m.addConstr(1e-10 * x >= 1),
                 "coefficient 1e-10 would be dropped", id="tiny-coefficient"),
    pytest.param(lambda m, x: m.addVar(lb=-1e21), "lower bound -1e+21 would be read as infinite",
                 id="lb=-1e21"),
    pytest.param(lambda m, x: m.addConstr(x <= 1e21),
                 "constraint's upper bound 1e+21 would be read as infinite", id="rhs=1e21"),
]


@pytest.mark.parametrize("add, reason", REFUSED)
def test_kestpy_refused_input_warns_and_model_stays_usable(add, reason):
    m = kp.Model("r")
    m.setBackend("highs")
    x = m.addVar(ub=5.0, name="x")
    m.addConstr(1 * x >= 1, name="floor")
    m.setObjective(1 * x, kp.KEST.MAXIMIZE)
    m.optimize()
    assert x.X == 5.0 and m.ObjVal == 5.0
    add(m, x)
    assert x.X is None and m.ObjVal is None  # as after any change
    with pytest.warns(UserWarning, match="refused") as rec:
        m.optimize()
    assert len(rec) == 1 and reason in str(rec[0].message)
    assert rec[0].filename == __file__  # the user's optimize line, not the backend
    assert x.X is None and m.ObjVal is None
    str(m)
    y = m.addVar(ub=2.0, name="y")
    m.addConstr(x + y <= 3, name="late")
    m.setObjective(1 * x + 1 * y, kp.KEST.MAXIMIZE)
    with pytest.warns(UserWarning, match="refused") as rec:
        m.optimize()
    assert len(rec) == 1
    assert x.X is None and y.X is None and m.ObjVal is None


@pytest.mark.parametrize("solved_first", [False, True])
@pytest.mark.parametrize("objective, reason", [
    (lambda x, y: NAN * x + 1 * y, "a coefficient is NaN (variable 0)"),
    (lambda x, y: 1 * x + 1 * y + NAN, "its constant is NaN"),
    (lambda x, y: 1e25 * x + 1 * y, "a coefficient would be read as infinite"),
])
def test_kestpy_refused_objective_warns_until_replaced(probe, objective, reason, solved_first):
    m = kp.Model("o")
    m.setBackend("probe")
    x = m.addVar(ub=5.0, name="x")
    y = m.addVar(ub=3.0, name="y")
    m.addConstr(x + y <= 6, name="cap")
    if solved_first:
        m.setObjective(1 * x, kp.KEST.MAXIMIZE)
        m.optimize()
        assert m.ObjVal == 5.0
    m.setObjective(objective(x, y), kp.KEST.MAXIMIZE)
    with pytest.warns(UserWarning, match=re.escape("objective was refused: " + reason)):
        m.optimize()
    assert x.X is None and m.ObjVal is None
    with pytest.raises(RuntimeError, match="objective was refused"):
        probe[-1].highs  # nothing loaded while the objective is NaN
    m.setObjective(2 * x + 1 * y + 1, kp.KEST.MAXIMIZE)
    m.optimize()
    assert [x.X, y.X, m.ObjVal] == pytest.approx([5.0, 1.0, 12.0])


@pytest.mark.parametrize("add", [
    lambda m, x: m.addVar(lb=INF),
    lambda m, x: m.setObjective(NAN * x, kp.KEST.MINIMIZE),
])
def test_kestpy_refusal_under_warnings_as_errors_is_no_fault(capsys, add):
    m = kp.Model("e")
    m.setBackend("highs")
    x = m.addVar(ub=5.0, name="x")
    add(m, x)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        m.optimize()
        m.optimize()
    assert capsys.readouterr().err.count("UserWarning: kestpy_highs: ") == 2
    assert x.X is None
    m.addVar(name="more")
    str(m)
