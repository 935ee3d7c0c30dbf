"""The HiGHS backend's array methods: the same models as through the lists, the
same refusals, and every value at once."""

import math
import random
import re

import highspy
import numpy as np
import pytest

from kestpy_highs import Model as Backend

INF = math.inf
NAN = math.nan


def mv(values, dtype):
    # read-only, as the extension hands them over
    return memoryview(np.asarray(values, dtype=dtype)).toreadonly()


def codes(symbols):
    return mv([ord(s) for s in symbols], np.uint8)


SPLIT = 5


def random_model(seed, nvars=9, nrows=14):
    """Columns (name, type, lb, ub) and rows (indices, coeffs, sense, rhs, name,
    constant) that a known point satisfies: repeats, unsorted and falling rows,
    zeros, empty rows and names included. The first SPLIT rows use only the
    first SPLIT columns."""
    rng = random.Random(seed)
    cols = [(f"v{j}" if j % 3 else "", rng.choice("CCIB"), float(rng.randint(-4, 0)),
             float(rng.randint(1, 4))) for j in range(nvars)]
    point = [rng.randint(max(0, int(lb)), min(1, int(ub))) for _, _, lb, ub in cols]
    rows = []
    for i in range(nrows):
        shape = rng.choice(["rising", "falling", "any", "any", "empty"])
        k = 0 if shape == "empty" else rng.randint(1, 5)
        idx = [rng.randrange(nvars if i >= SPLIT else SPLIT) for _ in range(k)]
        if shape != "any":
            idx = sorted(set(idx), reverse=shape == "falling")
        val = [rng.choice([0.0, rng.randint(-3, 3) or 1.5]) for _ in idx]
        constant = rng.choice([0.0, 0.5, -2.0])
        activity = sum(c * point[j] for j, c in zip(idx, val)) + constant
        sense = rng.choice("<>=")
        rhs = activity + {"<": 1.0, ">": -1.0, "=": 0.0}[sense]
        rows.append((idx, val, sense, rhs, f"r{i}" if i % 4 else "", constant))
    obj = ([rng.randrange(nvars) for _ in range(nvars + 3)],
           [float(rng.randint(-5, 5)) for _ in range(nvars + 3)], rng.choice([0.0, 7.5]),
           rng.choice([-1, 1]))
    return cols, rows, obj


def feed_lists(b, cols, rows):
    b.add_variables(len(cols), [c[0] for c in cols], [c[1] for c in cols],
                    [c[2] for c in cols], [c[3] for c in cols])
    b.add_constraints([r[0] for r in rows], [r[1] for r in rows], [r[5] for r in rows],
                      [r[2] for r in rows], [r[3] for r in rows], [r[4] for r in rows])


def feed_arrays(b, cols, rows):
    names = tuple(c[0] for c in cols)
    b.add_variable_arrays(mv([c[2] for c in cols], np.float64), mv([c[3] for c in cols], np.float64),
                          codes(c[1] for c in cols), names if any(names) else None)
    starts = np.zeros(len(rows) + 1, dtype=np.int32)
    np.cumsum([len(r[0]) for r in rows], out=starts[1:])
    flat = lambda k, dtype: mv([x for r in rows for x in r[k]], dtype)  # noqa: E731
    names = [r[4] for r in rows]
    b.add_constraint_arrays(mv(starts, np.int32), flat(0, np.int32), flat(1, np.float64),
                            mv([r[5] for r in rows], np.float64), codes(r[2] for r in rows),
                            mv([r[3] for r in rows], np.float64), names if any(names) else None)


def set_objective(b, path, obj):
    if path == "lists":
        b.set_objective(*obj)
    else:
        b.set_objective_arrays(mv(obj[0], np.int32), mv(obj[1], np.float64), obj[2], obj[3])


def build(path, cols, rows, obj, split):
    """The model through one path; with split, its second half arrives after a load."""
    b = Backend("m", None)
    feed = feed_lists if path == "lists" else feed_arrays
    halves = [(cols[:split], rows[:split]), (cols[split:], rows[split:])] if split else [(cols, rows)]
    for k, (c, r) in enumerate(halves):
        feed(b, c, r)
        if k == 0 and split:
            set_objective(b, path, ([0], [1.0], 0.0, 1))
            b.update()
    set_objective(b, path, obj)
    return b


def lp_arrays(b):
    h = b.highs
    lp = h.getLp()
    a = lp.a_matrix_
    return {"cost": list(lp.col_cost_), "col_lo": list(lp.col_lower_), "col_hi": list(lp.col_upper_),
            "row_lo": list(lp.row_lower_), "row_hi": list(lp.row_upper_), "start": list(a.start_),
            "index": list(a.index_), "value": list(a.value_), "offset": lp.offset_,
            "sense": h.getObjectiveSense()[1],
            "integrality": [int(h.getColIntegrality(j)[1]) for j in range(lp.num_col_)],
            "col_names": [h.getColName(j)[1] for j in range(lp.num_col_)],
            "row_names": [h.getRowName(i)[1] for i in range(lp.num_row_)]}


def dense(b):
    lp = b.highs.getLp()
    a, out = lp.a_matrix_, np.zeros((lp.num_row_, lp.num_col_))
    # HiGHS keeps the matrix column-wise after passModel, row-wise after addRows
    rowwise = a.format_ == highspy.MatrixFormat.kRowwise
    for major in range(lp.num_row_ if rowwise else lp.num_col_):
        for k in range(a.start_[major], a.start_[major + 1]):
            out[(major, a.index_[k]) if rowwise else (a.index_[k], major)] += a.value_[k]
    return out


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("split", [0, SPLIT])
def test_arrays_and_lists_give_the_same_highs_model_and_solution(seed, split):
    cols, rows, obj = random_model(seed)
    by_lists, by_arrays = (build(p, cols, rows, obj, split) for p in ("lists", "arrays"))
    assert lp_arrays(by_arrays) == lp_arrays(by_lists)
    reference = np.zeros((len(rows), len(cols)))
    for i, (idx, val, *_rest) in enumerate(rows):
        np.add.at(reference[i], idx, val)
    np.testing.assert_array_equal(dense(by_arrays), reference)
    assert by_arrays.highs.getNumNz() == np.count_nonzero(reference)
    assert by_lists.optimize() == by_arrays.optimize() == 2
    values = by_arrays.get_var_values()
    assert values.dtype == np.float64 and values.shape == (len(cols),)
    assert list(values) == [by_lists.get_var_value(j) for j in range(len(cols))]
    assert by_arrays.get_objective_value() == by_lists.get_objective_value()


@pytest.mark.parametrize("call, exc, text", [
    (lambda b: b.add_variable_arrays(mv([0.0], np.float64), mv([1.0, 2.0], np.float64),
                                     codes("CC"), None), ValueError, "1 lower bounds"),
    (lambda b: b.add_variable_arrays(mv([0.0], np.float32), mv([1.0], np.float64), codes("C"),
                                     None), TypeError, "lb: expected format 'd'"),
    (lambda b: b.add_variable_arrays(mv([0.0], np.float64), mv([1.0], np.float64), codes("S"),
                                     None), ValueError, "unknown variable type 'S'"),
    (lambda b: b.add_variable_arrays(mv([0.0], np.float64), mv([1.0], np.float64), codes("C"),
                                     ["a", "b"]), ValueError, "2 names for 1 items"),
    (lambda b: b.add_constraint_arrays(mv([0, 1], np.int32), mv([0], np.int32), mv([1.0], np.float64),
                                       mv([0.0], np.float64), codes("!"), mv([1.0], np.float64), None),
     ValueError, "unknown constraint sense '!'"),
    (lambda b: b.add_constraint_arrays(mv([1, 1], np.int32), mv([0], np.int32), mv([1.0], np.float64),
                                       mv([0.0], np.float64), codes("<"), mv([1.0], np.float64), None),
     ValueError, "first row start is 1"),
    (lambda b: b.add_constraint_arrays(mv([0, 2, 1], np.int32), mv([0], np.int32),
                                       mv([1.0], np.float64), mv([0.0] * 2, np.float64), codes("<<"),
                                       mv([1.0] * 2, np.float64), None), ValueError, "row 1 starts at 2"),
    (lambda b: b.add_constraint_arrays(mv([0, 2], np.int32), mv([0], np.int32), mv([1.0], np.float64),
                                       mv([0.0], np.float64), codes("<"), mv([1.0], np.float64), None),
     ValueError, "1 indices and 1 coefficients for 2 nonzeros"),
    (lambda b: b.add_constraint_arrays(mv([0, 1], np.int32), mv([0], np.int32), mv([1.0], np.float64),
                                       mv([0.0], np.float64), codes("<"), mv([1.0] * 2, np.float64),
                                       None), ValueError, "1 constants, 1 senses and 2 right-hand"),
    (lambda b: b.add_constraint_arrays(mv([0, 2], np.int64), mv([1, 2 ** 40], np.int64),
                                       mv([1.0] * 2, np.float64), mv([0.0], np.float64), codes("<"),
                                       mv([1.0], np.float64), None), IndexError, "index 1099511627776"),
    (lambda b: b.set_objective_arrays(mv([0], np.int32), mv([1.0], np.float64), 0.0, 0),
     ValueError, "objective sense 0"),
    (lambda b: b.set_objective_arrays(mv([-1], np.int32), mv([1.0], np.float64), 0.0, 1),
     IndexError, "variable index -1 out of range (2 variables)"),
])
def test_malformed_array_calls_raise_and_change_nothing(call, exc, text):
    b = Backend("m", None)
    b.add_variables(2, None, None, None, None)
    with pytest.raises(exc, match=re.escape(text)):
        call(b)
    assert (b.highs.getNumCol(), b.highs.getNumRow()) == (2, 0)


def small(b):
    b.add_variable_arrays(mv([0.0, 0.0], np.float64), mv([INF, INF], np.float64), codes("CC"),
                          ("x", "y"))
    b.add_constraint_arrays(mv([0, 2, 4], np.int32), mv([0, 1, 1, 0], np.int32),
                            mv([1.0, 1.0, 3.0, 1.0], np.float64), mv([0.0, 0.0], np.float64),
                            codes("<<"), mv([4.0, 6.0], np.float64), None)
    b.set_objective_arrays(mv([0, 1], np.int32), mv([3.0, 5.0], np.float64), 0.0, 1)


HUGE = 2 ** 31


@pytest.mark.parametrize("bad, reason, nrows", [
    (lambda b: b.add_variable_arrays(mv([NAN], np.float64), mv([1.0], np.float64), codes("B"),
                                     None), "a variable's lower bound is NaN (variable 2)", 2),
    (lambda b: b.add_constraint_arrays(mv([0, 3], np.int32), mv([1, 0, 1], np.int32),
                                       mv([2.0, NAN, -2.0], np.float64), mv([0.0], np.float64),
                                       codes("<"), mv([1.0], np.float64), None),
     "a constraint coefficient is NaN (constraint 2, variable 0)", 3),
    (lambda b: b.add_constraint_arrays(mv([0, 0], np.int32), mv([], np.int32), mv([], np.float64),
                                       mv([NAN], np.float64), codes("="), mv([1.0], np.float64), None),
     "a constraint's right-hand side or constant is NaN (constraint 2)", 3),
    # more nonzeros than a HiGHS index reaches: refused before anything is read
    (lambda b: b.add_constraint_arrays(
        mv([0, HUGE], np.int64), mv(np.broadcast_to(np.int32(0), (HUGE,)), np.int32),
        mv(np.broadcast_to(np.float64(1.0), (HUGE,)), np.float64), mv([0.0], np.float64), codes("<"),
        mv([1.0], np.float64), None), "1 constraints holds 2147483648 nonzeros", 3),
])
def test_array_refusals_warn_at_optimize_for_good(bad, reason, nrows):
    b = Backend("m", None)
    small(b)
    bad(b)
    assert b.add_constraint([0], [1.0], "<", 1.0, None, 0.0) == nrows  # numbering kept
    for _ in range(2):
        with pytest.warns(UserWarning, match=re.escape(reason)):
            assert b.optimize() == 1
        assert b.get_var_values() is None and b.get_objective_value() is None


def test_int64_arrays_of_a_small_batch_load_as_int32_ones():
    b = Backend("m", None)
    small(b)
    b.add_constraint_arrays(mv([0, 2], np.int64), mv([1, 0], np.int64), mv([1.0, 1.0], np.float64),
                            mv([0.0], np.float64), codes(">"), mv([1.0], np.float64), ["late"])
    b.set_objective_arrays(mv([1, 0, 1], np.int64), mv([1.0, 3.0, 4.0], np.float64), 0.5, 1)
    assert b.optimize() == 2
    assert list(b.get_var_values()) == [3.0, 1.0]
    assert b.get_objective_value() == 14.5
    assert b.highs.getRowName(2)[1] == "late"


def test_nan_objective_through_arrays_waits_for_a_new_one():
    b = Backend("m", None)
    small(b)
    b.set_objective_arrays(mv([1], np.int32), mv([NAN], np.float64), 0.0, 1)
    with pytest.warns(UserWarning, match=re.escape("a coefficient is NaN (variable 1)")):
        assert b.optimize() == 1
    b.set_objective_arrays(mv([0, 1], np.int32), mv([3.0, 5.0], np.float64), 0.0, 1)
    assert b.optimize() == 2 and b.get_objective_value() == 14.0


def test_var_values_before_and_after_solve_and_change():
    b = Backend("m", None)
    assert b.get_var_values() is None
    # HiGHS leaves -0.0 on y here; every value must read as a plain 0.0
    b.add_variable_arrays(mv([0.0, 0.0], np.float64), mv([INF, INF], np.float64), codes("II"), None)
    b.add_constraint_arrays(mv([0, 2, 4], np.int32), mv([0, 1, 0, 1], np.int32),
                            mv([6.0, 4.0, 1.0, 2.0], np.float64), mv([0.0, 0.0], np.float64),
                            codes("<<"), mv([24.0, 6.0], np.float64), None)
    b.set_objective_arrays(mv([0, 1], np.int32), mv([5.0, 4.0], np.float64), 0.0, 1)
    assert b.get_var_values() is None
    assert b.optimize() == 2
    values = b.get_var_values()
    assert list(values) == [4.0, 0.0] and math.copysign(1.0, values[1]) == 1.0
    with pytest.raises(ValueError):
        values[0] = 9.0  # the cached answer is not the caller's to change
    b.add_variable(None, None, None, None)
    assert b.get_var_values() is None
    assert b.optimize() == 2 and b.get_var_values().shape == (3,)
    b.add_constraint_arrays(mv([0, 1], np.int32), mv([0], np.int32), mv([1.0], np.float64),
                            mv([0.0], np.float64), codes(">"), mv([9.0], np.float64), None)
    assert b.optimize() == 3 and b.get_var_values() is None
