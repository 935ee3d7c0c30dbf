"""Matrix-form modelling: A @ x, its arithmetic and block constraints give
the model that the same rows written term by term give, as a recording
backend receives it; and scipy agrees on the coefficients."""
import math

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
sp = pytest.importorskip("scipy.sparse")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import kestpy as kp  # noqa: E402
import kestpy_recording  # noqa: E402
from test_backend_protocol import same  # noqa: E402

FORMATS = ["dense", "csr", "csc", "coo", "lil"]
# Values whose sums depend on the order of addition, exact zeros of both signs.
VALUES = [0.0, -0.0, 1.0, -1.0, 0.1, 0.2, 0.3, -0.3, 2.5, 1e16, -1e16, 7.0]


def replayed(m):
    """The rows (indices, coeffs, constant, sense, rhs, name) and the objective
    a recording backend receives from a replay of m."""
    kestpy_recording.registry.reset()
    m.setBackend("recording")
    rows, objective = [], None
    for method, args in kestpy_recording.created[-1].calls:
        if method == "add_constraints":
            indices, coeffs, constants, senses, rhss, names = args
            for k in range(len(indices)):
                rows.append((indices[k], coeffs[k], constants[k], senses[k], rhss[k],
                             None if names is None else names[k]))
        elif method == "set_objective":
            objective = args
    return rows, objective


def stored_entries(A):
    """(row, column, value) in the order the matrix holds them."""
    if isinstance(A, np.ndarray):
        return [(r, c, A[r, c]) for r in range(A.shape[0]) for c in range(A.shape[1])]
    if A.format == "csr":
        return [(r, A.indices[k], A.data[k]) for r in range(A.shape[0]) for k in range(A.indptr[r], A.indptr[r + 1])]
    if A.format == "csc":
        return [(A.indices[k], c, A.data[k]) for c in range(A.shape[1]) for k in range(A.indptr[c], A.indptr[c + 1])]
    return stored_entries(A.tocsr()) if A.format != "coo" else list(zip(A.row, A.col, A.data))


@st.composite
def matrices(draw, shape=None):
    """A matrix in one of the formats with repeated entries and explicit zeros
    where the format keeps them."""
    m, n = shape or (draw(st.integers(0, 4)), draw(st.integers(1, 5)))
    k = draw(st.integers(0, 10)) if m else 0
    rows = draw(st.lists(st.integers(0, max(m - 1, 0)), min_size=k, max_size=k))
    cols = draw(st.lists(st.integers(0, n - 1), min_size=k, max_size=k))
    vals = draw(st.lists(st.sampled_from(VALUES), min_size=k, max_size=k))
    fmt = draw(st.sampled_from(FORMATS))
    if fmt == "dense":
        A = np.zeros((m, n))
        A[rows, cols] = vals
        return A
    if fmt in ("coo", "lil"):
        A = sp.coo_array((vals, (rows, cols)), shape=(m, n))
        return A if fmt == "coo" else sp.lil_matrix(A)
    # compressed, with the entries' repeats and order kept within a row (column)
    major, minor, extent = (rows, cols, m) if fmt == "csr" else (cols, rows, n)
    order = sorted(range(k), key=lambda e: major[e])
    indptr = np.searchsorted([major[e] for e in order], np.arange(extent + 1))
    build = sp.csr_array if fmt == "csr" else sp.csc_array
    return build((np.array([vals[e] for e in order]), np.array([minor[e] for e in order], dtype=np.int32),
                  indptr), shape=(m, n))


def term_rows(A, members):
    """Each row of A @ x summed term by term in stored order."""
    terms = [[] for _ in range(A.shape[0])]
    for r, c, v in stored_entries(A):
        terms[r].append(float(v) * members[c])
    return [kp.quicksum(t) for t in terms]


# The same expression on both sides: e, f are the matrix products (MLinExpr)
# or their rows (LinExpr), v a vector or its entry, x the block or its member.
EXPRESSIONS = [
    lambda e, f, v, x: e,
    lambda e, f, v, x: e + f,
    lambda e, f, v, x: e - f + v,
    lambda e, f, v, x: 2.5 * e - f / 4 - 1.5,
    lambda e, f, v, x: v - e,
    lambda e, f, v, x: -e + x,
    lambda e, f, v, x: x - 3 * f,
    lambda e, f, v, x: x + x - v,
    lambda e, f, v, x: v - 2 * x + e,
    lambda e, f, v, x: -x * 0.5 - x / 4,
    lambda e, f, v, x: x * 0 + v,
]
SENSES = [("<=", lambda a, b: a <= b), (">=", lambda a, b: a >= b), ("==", lambda a, b: a == b)]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_matrix_constructs_equal_the_model_written_term_by_term(data):
    A = data.draw(matrices(), label="A")
    m, n = A.shape
    B = data.draw(matrices(shape=(m, n)), label="B")
    v = np.array(data.draw(st.lists(st.sampled_from(VALUES), min_size=m, max_size=m)))
    rhs = np.array(data.draw(st.lists(st.sampled_from([0.0, 1.0, -2.5, math.inf, -math.inf]),
                                      min_size=m, max_size=m)))
    c = np.array(data.draw(st.lists(st.sampled_from(VALUES), min_size=n, max_size=n)))
    expression = data.draw(st.sampled_from(EXPRESSIONS[:5] if m != n else EXPRESSIONS))
    sense, compare = data.draw(st.sampled_from(SENSES))
    rhs[np.isinf(rhs)] = {"<=": math.inf, ">=": -math.inf, "==": 0.0}[sense]
    # a hand-made block in shuffled order, or the model's own
    order = data.draw(st.permutations(range(n)))
    shuffled = data.draw(st.booleans())

    def model(matrix_form):
        mo = kp.Model("m")
        made = mo.addVars(n, name="x")
        x = type(made)([n], list(order)) if shuffled else made  # made[i] is variable i
        members = [made[i] for i in order] if shuffled else list(made)
        if matrix_form:
            mo.addMConstrs(compare(expression(A @ x, B @ x, v, x), rhs), name="c")
            mo.setObjective(c @ x + 1.5, kp.KEST.MAXIMIZE)
        else:
            per_row = members if m == n else [None] * m  # x takes part only when m == n
            rows = zip(term_rows(A, members), term_rows(B, members), v, per_row)
            mo.addConstrs((compare(expression(e, f, float(vi), xi), float(b))
                           for (e, f, vi, xi), b in zip(rows, rhs)), name="c")
            mo.setObjective(kp.quicksum(float(ci) * xi for ci, xi in zip(c, members)) + 1.5,
                            kp.KEST.MAXIMIZE)
        return mo, members

    got, got_objective = replayed(model(True)[0])
    want, want_objective = replayed(model(False)[0])
    assert same(got, want), f"{got} != {want}"
    assert same(got_objective, want_objective)


@settings(max_examples=40, deadline=None)
@given(picks=st.lists(st.integers(0, 5), max_size=8), c=st.sampled_from(VALUES))
def test_taken_members_pair_with_a_block_as_written_term_by_term(picks, c):
    def model(matrix_form):
        mo = kp.Model("m")
        s = mo.addVars(2, 3, name="s")
        x = mo.addVars(len(picks), name="x")
        if matrix_form:
            mo.addMConstrs(x - c * s.take(np.array(picks)) <= 1.0, name="c")
        else:
            members = list(s)
            mo.addConstrs((x[k] - c * members[p] <= 1.0 for k, p in enumerate(picks)), name="c")
        return mo
    assert same(replayed(model(True))[0], replayed(model(False))[0])


@settings(max_examples=80, deadline=None)
@given(A=matrices())
def test_a_product_has_the_coefficients_scipy_sums(A):
    m, n = A.shape
    mo = kp.Model("m")
    mo.addVar()  # the block starts at index 1
    x = mo.addVars(n)
    mo.addMConstrs(A @ x <= 0)
    rows, _ = replayed(mo)
    got = np.zeros((m, n + 1))
    for r, (indices, coeffs, *_rest) in enumerate(rows):
        np.add.at(got[r], indices, coeffs)
    want = sp.coo_array(A).toarray() if not isinstance(A, np.ndarray) else A
    np.testing.assert_allclose(got[:, 1:], want, rtol=1e-12, atol=1e-12)
    assert not got[:, 0].any()
    assert all(0.0 not in coeffs and len(set(ix)) == len(ix) for ix, coeffs, *_ in rows)


def test_c_at_x_for_a_two_dimensional_block_reads_it_row_major():
    m = kp.Model("m")
    x = m.addVars(2, 3)
    c = np.arange(6.0)
    e = c @ x
    assert same(str(e), str(kp.quicksum(float(c[3 * i + j]) * x[i, j] for i in range(2) for j in range(3))))
    assert str(x @ c) == str(e)


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int32, np.int64, np.uint64, np.float32, bool])
def test_integer_and_other_coefficient_arrays_read_as_their_float64_conversion(dtype):
    # Integers are read without numpy's converted copy; they must give what it
    # gives, 2**53 + 1 rounding to the same double included.
    big = 2**53 + 1 if np.dtype(dtype).itemsize == 8 and dtype is not bool else 3
    a = np.array([[1, 0, big], [0, 2, 1]]).astype(dtype)
    m = kp.Model("m")
    x = m.addVars(3)
    m.addMConstrs(a @ x <= 0)
    m.setObjective(a[0] @ x, kp.KEST.MINIMIZE)
    want = a.astype(np.float64)
    rows, objective = replayed(m)
    assert [coeffs for _ix, coeffs, *_ in rows] == [[v for v in row if v != 0] for row in want.tolist()]
    assert str(a[0] @ x) == str(want[0] @ x)


class FakeCSR:
    """Stands for a scipy CSR matrix whose arrays are whatever a test sets."""
    format = "csr"
    nnz = 1

    def __init__(self, shape=(1, 2), data=(1.0,), indices=(0,), indptr=(0, 1)):
        self.shape, self.data, self.indices, self.indptr = shape, np.asarray(data), np.asarray(indices), \
            np.asarray(indptr)

    def tocsr(self):
        return self


ERRORS = [
    (lambda x, y: np.ones((2, 4)) @ x, ValueError, r"A has shape \(2, 4\).*block x has shape \(3,\)"),
    (lambda x, y: np.ones(4) @ x, ValueError, r"c has shape \(4,\).*shape \(3,\)"),
    (lambda x, y: np.ones((2, 3)) @ x <= np.ones(5), ValueError, r"shapes \(2,\) and \(5,\)"),
    (lambda x, y: np.ones((2, 3)) @ x + np.ones((3, 3)) @ x, ValueError, r"shapes \(2,\) and \(3,\)"),
    (lambda x, y: np.array([[1.0, np.nan, 0]]) @ x, ValueError, "NaN in A at row 0, column 1"),
    (lambda x, y: sp.csr_array([[0, -np.inf, 0]]) @ x, ValueError, "-inf in A at row 0, column 1"),
    (lambda x, y: np.array([0, np.inf, 0]) @ x, ValueError, "inf in c at position 1"),
    (lambda x, y: np.ones((2, 3)) @ x <= np.array([1, np.nan]), ValueError, "NaN at row 1"),
    (lambda x, y: np.ones((2, 3)) @ x <= -np.inf, ValueError, "<=: -inf is not allowed"),
    (lambda x, y: np.ones((2, 3)) @ x == np.inf, ValueError, "==: inf is not allowed"),
    (lambda x, y: np.ones((2, 3)) @ x * np.nan, ValueError, r"\*: NaN is not allowed"),
    (lambda x, y: np.ones((2, 3)) @ x / 0, ZeroDivisionError, "MLinExpr division by zero"),
    (lambda x, y: np.ones((2, 3)) @ x + np.ones((2, 3)) @ y, ValueError, "model"),
    (lambda x, y: x - y, ValueError, "model"),
    (lambda x, y: x + type(x)([2], [0, 1]), ValueError, r"Vars \+: shapes \(3,\) and \(2,\)"),
    (lambda x, y: x - np.array([1.0, np.nan, 0.0]), ValueError, "NaN at row 1"),
    (lambda x, y: x / 0, ZeroDivisionError, "Vars division by zero"),
    (lambda x, y: x.take([0, 3]), ValueError, r"Vars.take: indices\[1\] is 3, outside 0..2"),
    (lambda x, y: x.take([[0]]), ValueError, r"shape \(1, 1\); expected one dimension"),
    (lambda x, y: x.take([0.5]), TypeError, "indices must hold integers"),
    (lambda x, y: x * x, TypeError, "unsupported operand"),
    (lambda x, y: 1 / x, TypeError, "unsupported operand"),
    (lambda x, y: np.ones((1, 3)) @ x != 1, TypeError, "no constraint"),
    (lambda x, y: bool(np.ones((1, 3)) @ x <= 1), TypeError, "no truth value"),
    (lambda x, y: x @ np.ones((3, 2)), TypeError, "write A.T @ x"),
    (lambda x, y: np.ones((1, 1, 3)) @ x, ValueError, r"\(1, 1, 3\); expected one or two dimensions"),
    (lambda x, y: [["a", "b", "c"]] @ x, TypeError, "expected a numpy array or scipy.sparse matrix of numbers"),
    (lambda x, y: FakeCSR((1, 3), indices=[0.5]) @ x, TypeError, "A.indices must hold integers"),
    (lambda x, y: FakeCSR((1, 3), indices=np.array([2**63], dtype=np.uint64)) @ x, ValueError,
     r"A.indices\[0\] is 9223372036854775808, outside 0..2"),
    (lambda x, y: FakeCSR((1, 3), indices=[-1]) @ x, ValueError, r"A.indices\[0\] is -1, outside"),
    (lambda x, y: FakeCSR((1, 3), indptr=[1, 1]) @ x, ValueError, "A.indptr must run from 0 to the 1 stored"),
    (lambda x, y: FakeCSR((2, 3), indptr=[0, 1]) @ x, ValueError, "A.indptr has 2 entries, not 3"),
]


@pytest.mark.parametrize("make, error, message", ERRORS)
def test_refused_operands_say_why(make, error, message):
    x = kp.Model("one").addVars(3)
    y = kp.Model("two").addVars(3)
    with pytest.raises(error, match=message):
        make(x, y)


def test_blocks_of_another_model_or_unknown_variables_are_refused_and_the_model_stays_usable():
    m, other = kp.Model("m"), kp.Model("other")
    x = m.addVars(3)
    with pytest.raises(ValueError, match="holds variables of model 'm', not of this model 'other'"):
        other.addMConstrs(np.eye(3) @ x <= 1)
    stray = type(x)([2], [0, 7])
    with pytest.raises(ValueError, match=r"VarId\(7\) is not a variable of this model"):
        m.addMConstrs(np.ones((1, 2)) @ stray <= 1)
    with pytest.raises(TypeError, match="cannot be cast as 'MConstr'"):
        m.addMConstrs(x[0] <= 1)
    assert (m.NumConstrs, other.NumConstrs) == (0, 0)
    empty = m.addMConstrs(np.zeros((0, 3)) @ x >= 0)
    assert (len(empty), empty.indices, m.NumConstrs) == (0, range(0, 0), 0)
    assert m.addConstr(sp.eye_array(3) @ x <= 2, name="cap") is None
    block = m.addMConstrs(sp.csr_array(np.ones((2, 3))) @ x >= 1, name=["a", "b"])
    assert (len(block), block.indices, m.NumConstrs, m.NumNZs) == (2, range(3, 5), 5, 9)
    assert [row[-1] for row in replayed(m)[0]] == ["cap[0]", "cap[1]", "cap[2]", "a", "b"]


def test_rows_a_model_took_without_a_copy_change_apart_from_the_block_they_came_from():
    # A first block's arrays become the model's rows as they are; a change of
    # either side must not reach the other.
    m = kp.Model("m")
    x = m.addVars(3)
    e = 2 * x + 1
    c = e <= 4
    rows = m.addMConstrs(c)
    m.chgCoeff(rows[0], x[0], 5.0)
    rows[1].RHS = 9.0
    m.addVars(1)
    again = m.addMConstrs(c)
    assert [m.getCoeff(r, x[i]) for i, r in enumerate(again)] == [2.0] * 3
    assert [r.RHS for r in again] == [3.0] * 3
    assert (m.getCoeff(rows[0], x[0]), rows[1].RHS) == (5.0, 9.0)
    assert str(e[0]) == str(2 * x[0] + 1) and len(e) == 3 and e.nnz == 3
    assert replayed(m)[0][0][:2] == ([0], [5.0])


def test_block_results_are_the_models_results_for_its_rows_and_members():
    # the glass works of examples/sensitivity.py with the plants as one block
    m = kp.Model("glass")
    spare = m.addVar(ub=1.0)
    x = m.addVars(1, 2)
    plants = m.addMConstrs(np.array([[1.0, 0.0], [0.0, 2.0], [3.0, 2.0]]) @ x <= [4.0, 12.0, 18.0])
    m.addConstr(spare + x[0, 0] <= 100)
    m.setObjective(np.array([3.0, 5.0]) @ x + spare, kp.KEST.MAXIMIZE)
    assert (plants.Pi, plants.Slack, x.RC) == (None, None, None)
    m.setBackend("highs")
    m.optimize()
    assert m.ObjVal == pytest.approx(37.0)
    np.testing.assert_allclose(plants.Pi, [0.0, 1.5, 1.0], atol=1e-9)
    np.testing.assert_allclose(plants.Slack, [2.0, 0.0, 0.0], atol=1e-9)
    np.testing.assert_array_equal(plants.Pi, m.Pi[list(plants.indices)])
    rows = list(plants)  # the block's rows as handles: the same constraints as getConstrs
    assert [r.index for r in rows] == [c.index for c in m.getConstrs()[:3]] and plants[-1].index == 2
    assert [r.Pi for r in rows] == list(plants.Pi) and [r.RHS for r in rows] == [4.0, 12.0, 18.0]
    with pytest.raises(IndexError):
        plants[3]
    assert x.RC.shape == (1, 2)
    np.testing.assert_array_equal(x.RC.ravel(), m.RC[1:])
    m.addConstr(spare <= 1)
    assert (plants.Pi, x.RC) == (None, None)  # the model changed since
