"""Standard test problems with published optima, rebuilt through kestpy and
solved through the HiGHS backend; and every sample problem solved through
both the HiGHS and the SCIP backend, which must agree.

The MPS files come from CoinUtils' sample data (Debian package
coinor-libcoinutils-dev): four Netlib LPs and two MIPLIB problems with
published optima, and the other samples.
"""

import copy
import importlib.util
import math
import os

import highspy
import numpy as np
import pytest

import kestpy as kp

SAMPLES = "/usr/share/coin/Data/Sample"

PUBLISHED = {
    "afiro": -464.75314286,
    "brandy": 1518.5098965,
    "finnis": 172790.96547,
    "e226": -18.751929066,
    "p0033": 3089.0,
    "lseu": 1120.0,
}


def read_mps(path):
    highs = highspy.Highs()
    highs.setOptionValue("output_flag", False)
    assert highs.readModel(path) != highspy.HighsStatus.kError
    return highs.getLp()


def rows_of(lp):
    """The column-wise matrix as one list of (column, value) pairs per row."""
    a = lp.a_matrix_
    assert a.format_ == highspy.MatrixFormat.kColwise
    start, index, value = list(a.start_), list(a.index_), list(a.value_)
    rows = [[] for _ in range(lp.num_row_)]
    for j in range(lp.num_col_):
        for k in range(start[j], start[j + 1]):
            rows[index[k]].append((j, value[k]))
    return rows


def build(lp, attach_first, backend="highs"):
    """The problem built in kestpy; backend None leaves it unattached."""
    m = kp.Model("known")
    if attach_first:
        m.setBackend(backend)
    n = lp.num_col_
    integer = [int(t) == int(highspy.HighsVarType.kInteger) for t in lp.integrality_] or [False] * n
    x = m.addVars(n,
                  lb=[float(v) for v in lp.col_lower_],
                  ub=[float(v) for v in lp.col_upper_],
                  vtype=[kp.KEST.INTEGER if i else kp.KEST.CONTINUOUS for i in integer],
                  name=list(lp.col_names_))
    names = list(lp.row_names_) or [f"r{i}" for i in range(lp.num_row_)]
    for i, row in enumerate(rows_of(lp)):
        expr = kp.quicksum(v * x[j] for j, v in row)
        lo, hi = lp.row_lower_[i], lp.row_upper_[i]
        if lo == hi:
            m.addConstr(expr == lo, name=names[i])
            continue
        # a ranged row becomes two constraints: kestpy has no interval constraint
        if lo > -math.inf:
            m.addConstr(expr >= lo, name=names[i])
        if hi < math.inf:
            m.addConstr(expr <= hi, name=names[i] + ("_up" if lo > -math.inf else ""))
    cost = list(lp.col_cost_)
    sense = kp.KEST.MAXIMIZE if lp.sense_ == highspy.ObjSense.kMaximize else kp.KEST.MINIMIZE
    # A right-hand side on the objective row is minus the objective's constant
    # (e226: RHS -7.113, constant +7.113); HiGHS's reader keeps it as the offset.
    m.setObjective(kp.quicksum(c * x[j] for j, c in enumerate(cost) if c) + lp.offset_, sense)
    if not attach_first and backend is not None:
        m.setBackend(backend)
    return m, x, cost


@pytest.mark.parametrize("attach_first", [True, False], ids=["attach-first", "attach-last"])
@pytest.mark.parametrize("problem", list(PUBLISHED))
def test_published_optimum(problem, attach_first):
    path = os.path.join(SAMPLES, problem + ".mps")
    if not os.path.exists(path):
        pytest.skip(f"{path} missing: install coinor-libcoinutils-dev")
    lp = read_mps(path)
    m, x, cost = build(lp, attach_first)
    m.optimize()
    # Netlib publishes e226's optimum without that constant (-18.751929066 is
    # c'x alone), so the model's value is the published one plus the constant.
    assert m.ObjVal == pytest.approx(PUBLISHED[problem] + lp.offset_, rel=1e-6)
    # the objective value is the linear part at the solution plus the constant
    values = [x[j].X for j in range(lp.num_col_)]
    linear = sum(c * v for c, v in zip(cost, values))
    assert m.ObjVal == pytest.approx(linear + lp.offset_, rel=1e-9, abs=1e-9)
    for j in range(lp.num_col_):
        assert lp.col_lower_[j] - 1e-6 <= values[j] <= lp.col_upper_[j] + 1e-6
    if problem == "e226":
        assert lp.offset_ == pytest.approx(7.113)
        assert m.ObjVal == pytest.approx(-11.638929066, rel=1e-6)


# Every linear sample, read by kestpy; share2qp's quadratic section (after its
# ENDATA) is not read, so both backends solve its linear part. Each solves in seconds.
SAMPLE_FILES = sorted(f[:-4] for f in os.listdir(SAMPLES) if f.endswith(".mps")) if os.path.isdir(SAMPLES) else []
UNREADABLE = {"conic", "spec_sections"}  # conic and SOS sections: not linear models


@pytest.mark.skipif(importlib.util.find_spec("pyscipopt") is None, reason='pyscipopt missing: pip install ".[scip]"')
@pytest.mark.parametrize("problem", [p for p in SAMPLE_FILES if p not in UNREADABLE])
def test_highs_and_scip_agree(problem):
    from kestpy.testing import Backend

    base = kp.read(os.path.join(SAMPLES, problem + ".mps"))
    outcome = {}
    for name in ("highs", "scip"):
        m = copy.deepcopy(base)
        spy = Backend(name).attach(m)
        m.optimize()
        outcome[name] = (spy.last_status(), m.ObjVal)
    (h_status, h_obj), (s_status, s_obj) = outcome["highs"], outcome["scip"]
    # infeasible: HiGHS may not tell infeasible from unbounded (4), SCIP may
    assert h_status == s_status or {h_status, s_status} <= {3, 4}, outcome
    if h_status == 2:
        assert s_obj == pytest.approx(h_obj, rel=1e-6, abs=1e-6)
    else:
        assert h_obj is None and s_obj is None


def constraint_rows(lp):
    """(row, sense, rhs) of each constraint build() made, in creation order."""
    out = []
    for i in range(lp.num_row_):
        lo, hi = lp.row_lower_[i], lp.row_upper_[i]
        if lo == hi:
            out.append((i, "=", lo))
            continue
        if lo > -math.inf:
            out.append((i, ">", lo))
        if hi < math.inf:
            out.append((i, "<", hi))
    return out


@pytest.mark.parametrize("problem", ["afiro", "brandy", "e226", "finnis"])
def test_duals_and_reduced_costs_meet_the_optimality_conditions(problem):
    path = os.path.join(SAMPLES, problem + ".mps")
    if not os.path.exists(path):
        pytest.skip(f"{path} missing: install coinor-libcoinutils-dev")
    lp = read_mps(path)
    m, x, cost = build(lp, attach_first=False)
    m.optimize()
    assert m.Status == kp.KEST.OPTIMAL
    rows = constraint_rows(lp)
    dense = np.zeros((lp.num_row_, lp.num_col_))
    for i, row in enumerate(rows_of(lp)):
        for j, v in row:
            dense[i, j] += v
    a = dense[[i for i, _, _ in rows]]
    rhs = np.array([r for _, _, r in rows])
    c, xv = np.array(cost), m.X
    pi, rc, slack = m.Pi, m.RC, m.Slack
    assert (pi.shape, rc.shape, slack.shape) == ((len(rows),), (lp.num_col_,), (len(rows),))
    scale = 1.0 + abs(m.ObjVal)
    tol = 1e-6 * scale
    # relative to the size of the terms summed
    assert (np.abs(slack - (rhs - a @ xv)) <= 1e-6 * (1 + np.abs(rhs) + np.abs(a) @ np.abs(xv))).all()
    assert (np.abs(rc - (c - a.T @ pi)) <= 1e-6 * (1 + np.abs(c) + np.abs(a.T) @ np.abs(pi))).all()
    # minimisation: a dual prices its row's side (>= rows up, <= rows down),
    # a reduced cost its variable's bound (lower up, upper down)
    assert lp.sense_ == highspy.ObjSense.kMinimize
    senses = np.array([s for _, s, _ in rows])
    assert (pi[senses == ">"] >= -tol).all() and (pi[senses == "<"] <= tol).all()
    lo, hi = np.array(lp.col_lower_), np.array(lp.col_upper_)
    assert (rc[np.isinf(lo)] <= tol).all() and (rc[np.isinf(hi)] >= -tol).all()
    # complementary slackness: a priced row is tight, a priced variable at its bound
    assert np.abs(pi * slack).max() <= tol
    priced = np.where(np.abs(rc) <= 1e-9, 0.0, rc)  # below that, a cost left at 0 by rounding
    up, down = priced > 0, priced < 0
    assert np.abs(priced[up] * (xv[up] - lo[up])).max(initial=0) <= tol
    assert np.abs(priced[down] * (hi[down] - xv[down])).max(initial=0) <= tol
    # strong duality: the dual objective, from bounds and right-hand sides
    # alone, equals the primal one
    bound_term = (priced[up] * lo[up]).sum() + (priced[down] * hi[down]).sum()
    dual = float(pi @ rhs + bound_term) + lp.offset_
    assert dual == pytest.approx(m.ObjVal, rel=1e-6)
