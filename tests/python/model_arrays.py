"""A model's data as arrays, read back through the recording backend's
replay: the matrix as scipy CSR, row and column bounds, types and objective.
Used to compare models (one read from a file with one read from another,
or with what HiGHS's own reader made of the same file)."""

import math

import numpy as np
import scipy.sparse as sp

import kestpy_recording


def arrays(model):
    kestpy_recording.registry.reset()
    model.setBackend("recording")
    rec = kestpy_recording.registry.created[-1]
    lb, ub, types = [], [], []
    rows, cols, vals, row_lo, row_hi = [], [], [], [], []
    c0, sense, cost = 0.0, -1, None
    for method, args in rec.calls:
        if method == "add_variables":
            count, _names, t, lo, hi = args
            as_list = lambda v, d: list(v) if isinstance(v, list) else [d if v is None else v] * count  # noqa: E731
            lb += as_list(lo, 0.0)
            ub += as_list(hi, math.inf)
            types += as_list(t, "C")
        elif method == "add_constraints":
            for idx, co, const, s, rhs in zip(*args[:5]):
                r = len(row_lo)
                rows += [r] * len(idx)
                cols += list(idx)
                vals += list(co)
                b = rhs - const
                row_lo.append(b if s in ">=" else -math.inf)
                row_hi.append(b if s in "<=" else math.inf)
        elif method == "set_objective":
            idx, co, c0, sense = args
            cost = np.zeros(len(lb))
            np.add.at(cost, list(idx), list(co))
    n = len(lb)
    a = sp.csr_matrix((vals, (rows, cols)), shape=(len(row_lo), n))
    kestpy_recording.registry.reset()
    return {
        "A": a, "row_lo": np.array(row_lo), "row_hi": np.array(row_hi), "lb": np.array(lb), "ub": np.array(ub),
        "types": list(types), "c": np.zeros(n) if cost is None else cost, "c0": c0, "sense": sense,
    }


def highs_arrays(lp):
    """The same from a highspy Lp, a ranged row split as kestpy.read splits it."""
    a = lp.a_matrix_
    csc = sp.csc_matrix((np.array(a.value_), np.array(a.index_), np.array(a.start_)), shape=(lp.num_row_, lp.num_col_))
    csr = csc.tocsr()
    pick, lo, hi = [], [], []
    for i, (l, h) in enumerate(zip(lp.row_lower_, lp.row_upper_)):
        if l > -math.inf and h < math.inf and l != h:
            pick += [i, i]
            lo += [l, -math.inf]
            hi += [math.inf, h]
        else:
            pick.append(i)
            lo.append(l)
            hi.append(h)
    import highspy

    integer = [int(t) == int(highspy.HighsVarType.kInteger) for t in lp.integrality_] or [False] * lp.num_col_
    return {
        "A": csr[pick], "row_lo": np.array(lo), "row_hi": np.array(hi), "lb": np.array(lp.col_lower_),
        "ub": np.array(lp.col_upper_), "types": ["I" if i else "C" for i in integer], "c": np.array(lp.col_cost_),
        "c0": lp.offset_, "sense": 1 if lp.sense_ == highspy.ObjSense.kMaximize else -1,
    }


def differences(x, y, binary_as_integer=False):
    """The keys on which two array sets differ (exactly, NaN-free data)."""
    out = []
    for key in x:
        a, b = x[key], y[key]
        if key == "A":
            same = a.shape == b.shape and (a != b).nnz == 0
        elif key == "types":
            norm = (lambda t: ["I" if v == "B" else v for v in t]) if binary_as_integer else list
            same = norm(a) == norm(b)
        else:
            same = np.array_equal(a, b)
        if not same:
            out.append(key)
    return out
