"""Changes of a loaded model, applied to HiGHS in place so that the next solve
starts from the basis the last one left.

Each function takes the Highs instance and the arrays kestpy sends (indices
int64, values float64); the caller has loaded everything staged first. Each
answers False, changing nothing, when HiGHS would take a value as another
(a finite bound it reads as infinite, a coefficient it drops as tiny) or
refuses it (a lower bound of +inf, ...): kestpy then rebuilds the model, and
loading it refuses it with the warning a model built so gets."""

import highspy
import numpy as np

from ._loading import _beyond, _option
from ._staging import Objective

def _idx(indices):
    return np.asarray(indices, dtype=np.int32)


def _vals(values):
    return np.asarray(values, dtype=np.float64)


def _applied(status):
    return status != highspy.HighsStatus.kError


def _bounds_fit(h, lowers, uppers):
    limit = _option(h, "infinite_bound")
    return (_beyond(lowers, limit) < 0 and _beyond(uppers, limit) < 0
            and not (lowers == np.inf).any() and not (uppers == -np.inf).any())


def col_bounds(h, indices, lowers, uppers):
    idx, lo, hi = _idx(indices), _vals(lowers), _vals(uppers)
    return _bounds_fit(h, lo, hi) and _applied(h.changeColsBounds(idx.size, idx, lo, hi))


def col_types(h, indices, types):
    idx = _idx(indices)
    codes = np.frombuffer(types, dtype=np.uint8)
    # "B" is an integer column; its bounds, clipped to [0, 1], follow from kestpy
    integer = (codes != ord("C")).astype(np.uint8)
    return _applied(h.changeColsIntegrality(idx.size, idx, integer))


def costs(h, objective, ncols, indices, coeffs):
    """Changes the costs of the columns indices; answers the objective as it
    now stands, for the backend to keep, or None when HiGHS cannot take them."""
    idx, vals = _idx(indices), _vals(coeffs)
    if _beyond(vals, _option(h, "infinite_cost")) >= 0 or not _applied(h.changeColsCost(idx.size, idx, vals)):
        return None
    if objective is None:
        full = np.zeros(ncols)
        constant, sense = 0.0, -1
    else:
        full = objective.costs(ncols).copy()
        constant, sense = objective.constant, objective.sense
    full[idx] = vals
    return Objective(np.arange(ncols, dtype=np.int64), full, constant, sense)


def row_bounds(h, indices, lowers, uppers):
    idx, lo, hi = _idx(indices), _vals(lowers), _vals(uppers)
    return _bounds_fit(h, lo, hi) and _applied(h.changeRowsBounds(idx.size, idx, lo, hi))


def coefficients(h, rows, cols, values):
    vals = _vals(values)
    size = np.abs(vals)
    if ((size > 0) & (size <= _option(h, "small_matrix_value"))).any() or \
            (size >= _option(h, "large_matrix_value")).any():
        return False
    # HiGHS changes one coefficient per call; 0 takes the entry out
    for r, c, v in zip(_idx(rows).tolist(), _idx(cols).tolist(), vals.tolist()):
        if not _applied(h.changeCoeff(r, c, v)):
            return False  # the earlier ones stay: kestpy rebuilds the model anyway
    return True


def starts(h, values):
    """Hands HiGHS the start values that are set (NaN: none) as a partial solution."""
    given = np.flatnonzero(~np.isnan(values)).astype(np.int32)
    if given.size:
        h.setSolution(given.size, given, values[given])
