"""Changes of a loaded model, applied to HiGHS in place so that the next solve
starts from the basis the last one left.

Each function takes the Highs instance and the arrays kestpy sends (indices
int64, values float64); the caller has loaded everything staged first."""

import numpy as np

from ._loading import check
from ._staging import Objective


def _idx(indices):
    return np.asarray(indices, dtype=np.int32)


def _vals(values):
    return np.asarray(values, dtype=np.float64)


def col_bounds(h, indices, lowers, uppers):
    idx = _idx(indices)
    check(h.changeColsBounds(idx.size, idx, _vals(lowers), _vals(uppers)), "the changed variable bounds")


def col_types(h, indices, types):
    idx = _idx(indices)
    codes = np.frombuffer(types, dtype=np.uint8)
    # "B" is an integer column; its bounds, clipped to [0, 1], follow from kestpy
    integer = (codes != ord("C")).astype(np.uint8)
    check(h.changeColsIntegrality(idx.size, idx, integer), "the changed variable types")


def costs(h, objective, ncols, indices, coeffs):
    """Changes the costs of the columns indices; answers the objective as it
    now stands, for the backend to keep."""
    idx = _idx(indices)
    vals = _vals(coeffs)
    check(h.changeColsCost(idx.size, idx, vals), "the changed objective coefficients")
    if objective is None:
        full = np.zeros(ncols)
        constant, sense = 0.0, -1
    else:
        full = objective.costs(ncols).copy()
        constant, sense = objective.constant, objective.sense
    full[idx] = vals
    return Objective(np.arange(ncols, dtype=np.int64), full, constant, sense)


def row_bounds(h, indices, lowers, uppers):
    idx = _idx(indices)
    check(h.changeRowsBounds(idx.size, idx, _vals(lowers), _vals(uppers)), "the changed constraint bounds")


def coefficients(h, rows, cols, values):
    # HiGHS changes one coefficient per call; 0 takes the entry out
    for r, c, v in zip(_idx(rows).tolist(), _idx(cols).tolist(), _vals(values).tolist()):
        check(h.changeCoeff(r, c, v), "a changed coefficient")


def starts(h, values):
    """Hands HiGHS the start values that are set (NaN: none) as a partial solution."""
    given = np.flatnonzero(~np.isnan(values)).astype(np.int32)
    if given.size:
        check(h.setSolution(given.size, given, values[given]), "the MIP start")
