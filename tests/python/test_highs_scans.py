"""The HiGHS backend's shortcuts on the way to HiGHS: the block scans that
clear the usual model against plain-float references, and the values HiGHS
gets when a shortcut skips a copy or a pass (signed zeros included)."""

import math
import random
import re

import numpy as np
import pytest

from kestpy_highs import Model as Backend
from kestpy_highs import _scans

from test_highs_arrays import codes, lp_arrays, mv

INF, NAN = math.inf, math.nan
SPECIAL = [0.0, -0.0, 1.5, -3.0, INF, -INF, NAN, 1e20, -1e20, 2e25, 1e-12, 1e-9, -1e-9, 2e-9]


def signed(values):
    return [(v, math.copysign(1.0, v)) for v in values]


def bounds_reference(values, limit):
    return all(not math.isnan(v) and (math.isinf(v) or abs(v) < limit) for v in values)


def monotone_reference(starts, idx):
    rows = [idx[starts[r]:starts[r + 1]] for r in range(len(starts) - 1)]
    return all(row == sorted(set(row)) or row == sorted(set(row), reverse=True) for row in rows)


@pytest.mark.parametrize("block", [1, 3, 1 << 15])
def test_scans_agree_with_plain_floats(block, monkeypatch):
    monkeypatch.setattr(_scans, "_BLOCK", block)
    rng = random.Random(block)
    for _ in range(300):
        n = rng.randint(0, 12)
        # mostly clean arrays, so that a single bad value has to be found
        values = [rng.choice(SPECIAL) if rng.random() < 0.15 else rng.uniform(-5, 5)
                  for _ in range(n)]
        x = np.array(values, dtype=np.float64)
        assert _scans.bounds_clean(x, 1e20) == bounds_reference(values, 1e20)
        assert _scans.coefficients_clean(x, 1e-9) == all(abs(v) > 1e-9 for v in values)
        lens = [rng.choice([0, 1, 2, 3, 5]) for _ in range(rng.randint(0, 6))]
        starts = np.concatenate([[0], np.cumsum(lens, dtype=np.int64)]).astype(np.int32)
        idx = []
        for k in lens:
            row = rng.sample(range(6), k) if rng.random() < 0.9 else [rng.randrange(6)] * k
            shape = rng.random()  # most rows sorted: one turn or repeat has to be found
            idx += sorted(row) if shape < 0.6 else sorted(row, reverse=True) if shape < 0.85 else row
        assert (_scans.rows_monotone(starts, np.array(idx, dtype=np.int32))
                == monotone_reference(starts.tolist(), idx))
        assert _scans.rising(np.array(idx, dtype=np.int64)) == all(a < b for a, b in zip(idx, idx[1:]))


@pytest.mark.parametrize("ncols, idx, val", [
    (3, [0, 1, 2], [-0.0, 2.0, 0.0]),        # every column: the coefficients serve as they are
    (3, [0, 1, 2], [1.0, 2.0, 3.0]),
    (5, [1, 3], [-0.0, 4.0]),                # rising: scattered
    (4, [3, 1, 3, 0], [1.0, -0.0, 2.5, 0.0]),  # repeats: summed
])
def test_costs_are_running_sums_from_zero(ncols, idx, val):
    b = Backend("m", None)
    b.add_variables(ncols, None, None, None, None)
    b.set_objective_arrays(mv(idx, np.int32), mv(val, np.float64), 0.0, -1)
    expected = [0.0] * ncols
    for j, v in zip(idx, val):
        expected[j] += v
    assert signed(b.highs.getLp().col_cost_) == signed(expected)


@pytest.mark.parametrize("types, lb, ub", [
    ("BBB", [0.0, 0.0, 0.0], [1.0, 1.0, 1.0]),   # nothing to clip
    ("BBB", [-0.0, -2.0, 0.0], [INF, 0.5, 1.0]),
    ("CBI", [-0.0, -0.0, -1.0], [5.0, 3.0, 2.0]),
    ("BCB", [0.0, -1.0, 0.5], [1.0, 7.0, 1.0]),
])
@pytest.mark.parametrize("constants", [[0.0, 0.0], [-0.0, 0.0], [0.5, -0.0]])
def test_clipped_bounds_and_moved_rhs_match_the_list_path(types, lb, ub, constants):
    rhs = [-0.0, 1.0]
    lists, arrays = Backend("l", None), Backend("a", None)
    lists.add_variables(3, None, list(types), lb, ub)
    lists.add_constraints([[0], [1, 2]], [[1.0], [1.0, 1.0]], constants, ["<", "="], rhs, None)
    arrays.add_variable_arrays(mv(lb, np.float64), mv(ub, np.float64), codes(types), None)
    arrays.add_constraint_arrays(mv([0, 1, 3], np.int32), mv([0, 1, 2], np.int32),
                                 mv([1.0] * 3, np.float64), mv(constants, np.float64), codes("<="),
                                 mv(rhs, np.float64), None)
    got, want = lp_arrays(arrays), lp_arrays(lists)
    for key in ("col_lo", "col_hi", "row_lo", "row_hi"):
        assert signed(got[key]) == signed(want[key]), key


@pytest.mark.parametrize("coeffs, reason", [
    # the sum that clears the usual coefficients overflows or meets inf - inf
    ([1e308, 1e308, NAN], "a coefficient is NaN (variable 2)"),
    ([INF, -INF, NAN], "a coefficient is NaN (variable 2)"),
    ([1e308, 1e308, 1.0], "its size reaching the infinite_cost option (1e+20) (variable 0)"),
])
def test_objective_checks_survive_a_sum_that_overflows(coeffs, reason):
    b = Backend("m", None)
    b.add_variables(3, None, None, None, None)
    b.set_objective_arrays(mv([0, 1, 2], np.int32), mv(coeffs, np.float64), 0.0, -1)
    with pytest.warns(UserWarning, match=re.escape(reason)):
        assert b.optimize() == 1
