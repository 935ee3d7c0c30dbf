"""Loading staged columns, rows and the objective into a highspy.Highs: one
passModel for a fresh model, one addCols and one addRows for later batches."""

import ctypes
import os
import sys

import highspy
import numpy as np

from ._scans import bounds_clean, coefficients_clean, rows_monotone
from ._staging import INT32_MAX, first_nan

_ROWWISE = int(highspy.MatrixFormat.kRowwise)

_banner_hidden = False


class Refused(RuntimeError):
    """HiGHS cannot take the staged columns or rows; as neither can be removed,
    the model stays refused."""


class ObjectiveRefused(RuntimeError):
    """The objective holds a NaN; a later set_objective replaces it."""


def new_highs():
    # HiGHS prints its banner on the first construction in a process, before
    # any option can be set; send that one write to /dev/null.
    global _banner_hidden
    if _banner_hidden:
        return highspy.Highs()
    _banner_hidden = True
    try:
        sys.stdout.flush()
        saved = os.dup(1)
    except (OSError, ValueError, AttributeError):
        return highspy.Highs()
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
        highs = highspy.Highs()
        try:
            ctypes.CDLL(None).fflush(None)
        except (OSError, AttributeError):
            pass
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    return highs


def check(status, what):
    if status == highspy.HighsStatus.kError:
        raise Refused(f"HiGHS refused {what}")


def nan_reason(base_col, lo, hi, base_row, rlo, rhi, starts, idx, val):
    """What holds a NaN among new columns and rows (CSR), or None."""
    for bound, side in ((lo, "lower"), (hi, "upper")):
        bad = first_nan(bound)
        if bad >= 0:
            return f"a variable's {side} bound is NaN (variable {base_col + bad})"
    bad = first_nan(np.isnan(rlo) | np.isnan(rhi))
    if bad >= 0:
        return f"a constraint's right-hand side or constant is NaN (constraint {base_row + bad})"
    bad = first_nan(val)
    if bad >= 0:
        row = int(np.searchsorted(starts, bad, side="right")) - 1
        return (f"a constraint coefficient is NaN "
                f"(constraint {base_row + row}, variable {int(idx[bad])})")
    return None


def _option(h, name):
    return h.getOptionValue(name)[1]


def _beyond(values, limit):
    """Position of the first finite value of size limit or more, or -1."""
    big = np.abs(values) >= limit
    if not big.any():
        return -1
    big &= np.isfinite(values)
    return int(big.argmax()) if big.any() else -1


def magnitude_reason(h, base_col, lo, hi, base_row, rlo, rhi, starts, idx, val):
    """What HiGHS would take as another number than the one given, or None: a
    finite bound it reads as infinite, a coefficient it drops as tiny."""
    limit = _option(h, "infinite_bound")
    for bounds, kind, side, base in ((lo, "variable", "lower", base_col),
                                     (hi, "variable", "upper", base_col),
                                     (rlo, "constraint", "lower", base_row),
                                     (rhi, "constraint", "upper", base_row)):
        bad = _beyond(bounds, limit)
        if bad >= 0:
            return (f"a {kind}'s {side} bound {bounds[bad]:g} would be read as infinite, its "
                    f"size reaching the infinite_bound option ({limit:g}) ({kind} {base + bad})")
    tiny = _option(h, "small_matrix_value")
    small = np.abs(val) <= tiny  # zeros are gone already
    if small.any():
        bad = int(small.argmax())
        row = int(np.searchsorted(starts, bad, side="right")) - 1
        return (f"a constraint coefficient {val[bad]:g} would be dropped, its size within "
                f"the small_matrix_value option ({tiny:g}) "
                f"(constraint {base_row + row}, variable {int(idx[bad])})")
    return None


def objective_reason(h, objective, ncols):
    """Why HiGHS cannot take the objective as given, or None."""
    if objective is None:
        return None
    if objective.nan is not None:
        return objective.nan
    limit = _option(h, "infinite_cost")
    full = costs(objective, ncols)
    bad = -1 if bounds_clean(full, limit) else _beyond(full, limit)
    if bad >= 0:
        return (f"a coefficient would be read as infinite, its size reaching the "
                f"infinite_cost option ({limit:g}) (variable {bad})")
    return None


def _joined(chunks, field):
    """One field of the chunks end to end; a single chunk's array as it is."""
    if len(chunks) == 1:
        return getattr(chunks[0], field)
    return np.concatenate([getattr(c, field) for c in chunks])


def _names(chunks, base):
    """(first index, names) of every chunk that names something, for a later
    give_names; the names stay in the compact form they arrived in."""
    out = []
    for c in chunks:
        if c.names is not None:
            out.append((base, c.names))
        base += c.n
    return out


def give_names(h, col_names, row_names):
    """Hands names kept back by load to HiGHS. highspy has no bulk name call,
    so this costs about 2 µs a name; it runs only when the Highs instance is
    handed out, as solving does not read names."""
    for pass_name, runs in ((h.passColName, col_names), (h.passRowName, row_names)):
        for base, names in runs:
            for i, s in enumerate(names):
                if s:
                    pass_name(base + i, s)


def csr(rows, ncols, tiny):
    """Row starts, column indices and values of the rows, merged, with repeats
    summed and zeros dropped, in the int32/float64 arrays HiGHS reads; and
    whether every value's size is above tiny, the usual case, which makes the
    search for zeros here and the checks before loading needless."""
    n = sum(c.n for c in rows)
    idx, val = _joined(rows, "idx"), _joined(rows, "val")
    if len(rows) == 1:
        starts = rows[0].starts
    else:
        starts = np.empty(n + 1, dtype=np.int64)
        row = off = 0
        for c in rows:
            starts[row:row + c.n] = c.starts[:-1]
            starts[row:row + c.n] += off
            row += c.n
            off += int(c.starts[-1])
        starts[n] = off
    nnz = idx.size
    if nnz > INT32_MAX:
        raise Refused(f"HiGHS refused the model: the new constraints hold {nnz} nonzeros, "
                      "more than HiGHS takes (2**31 - 1)")
    if not rows_monotone(starts, idx):
        # sort each row and sum its repeats; HiGHS refuses a repeated index.
        # Rows that only run backwards need none of this: HiGHS takes any order
        lens = np.diff(starts)
        row_of = np.repeat(np.arange(n, dtype=np.int64), lens)
        key = row_of * ncols + idx
        del row_of
        order = np.argsort(key, kind="stable")
        key = key[order]
        val = val[order]
        del order
        first = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
        val = np.add.reduceat(val, first)
        key = key[first]
        del first
        row_of = key // ncols
        idx = (key - row_of * ncols).astype(np.int32)
        del key
        starts = np.zeros(n + 1, dtype=np.int64)
        starts[1:] = np.cumsum(np.bincount(row_of, minlength=n))
        del row_of
    clean = coefficients_clean(val, tiny)
    if not clean:
        keep = val != 0.0
        if not keep.all():
            # a row start moves back by the zeros dropped before it
            kept = np.zeros(idx.size + 1, dtype=np.int64)
            np.cumsum(keep, out=kept[1:])
            starts = kept[starts]
            idx = idx[keep]
            val = val[keep]
            del keep, kept
            clean = coefficients_clean(val, tiny)
    return (n, np.ascontiguousarray(starts, dtype=np.int32),
            np.ascontiguousarray(idx, dtype=np.int32),
            np.ascontiguousarray(val, dtype=np.float64), clean)


def costs(objective, ncols):
    return np.zeros(ncols) if objective is None else objective.costs(ncols)


def sense_offset(objective):
    if objective is None:
        return highspy.ObjSense.kMinimize, 0.0
    sense = highspy.ObjSense.kMaximize if objective.sense == 1 else highspy.ObjSense.kMinimize
    return sense, objective.constant


_NO_INT = np.zeros(0, dtype=np.int32)
_NO_FLOAT = np.zeros(0)


def load(h, staged, base_col, base_row, objective, objective_dirty):
    """Load what is staged after the base_col columns and base_row rows HiGHS
    holds, and the objective when it changed (or the model is passed anew).
    Returns the number of columns and rows added, whether the objective went
    in, and the names of the new columns and rows, which HiGHS gets from
    give_names when it needs them. Raises Refused, nothing new being loaded, when a NaN or a number
    HiGHS would misread is staged, or when HiGHS refuses."""
    # taken here, so that the chunks can go before HiGHS makes its copy
    cols, rows = staged.take()
    if cols:
        n_new = sum(c.n for c in cols)
        lo, hi = _joined(cols, "lo"), _joined(cols, "hi")
        col_names = _names(cols, base_col)
        integer = None
        if any(c.integer is not None for c in cols):
            integer = np.concatenate([c.integer if c.integer is not None
                                      else np.zeros(c.n, dtype=np.uint8) for c in cols])
    else:
        n_new, col_names, integer = 0, [], None
        lo = hi = _NO_FLOAT
    if base_col + n_new > INT32_MAX:
        raise Refused(f"HiGHS refused the model: {base_col + n_new} variables, "
                      "more than HiGHS takes (2**31 - 1)")
    tiny = _option(h, "small_matrix_value")
    if rows:
        m_new, starts, idx, val, clean = csr(rows, max(base_col + n_new, 1), tiny)
        rlo, rhi = _joined(rows, "lo"), _joined(rows, "hi")
        row_names = _names(rows, base_row)
    else:
        m_new, row_names, clean = 0, [], True
        starts = np.zeros(1, dtype=np.int32)
        idx, val = _NO_INT, _NO_FLOAT
        rlo = rhi = _NO_FLOAT
    # HiGHS takes a NaN coefficient without a word, and a tiny coefficient or a
    # huge bound with a log line nobody sees, and solves another model; refuse
    # them here, before anything reaches HiGHS. The scans find the usual
    # nothing cheaply; the checks say what and where otherwise
    limit = _option(h, "infinite_bound")
    reason = None
    if not (clean and all(bounds_clean(b, limit) for b in (lo, hi, rlo, rhi))):
        reason = (nan_reason(base_col, lo, hi, base_row, rlo, rhi, starts, idx, val)
                  or magnitude_reason(h, base_col, lo, hi, base_row, rlo, rhi, starts, idx, val))
    if reason is not None:
        raise Refused("HiGHS refused the model: " + reason)
    # the chunks are merged now; a merge made copies, so let them go
    del cols, rows

    if base_col == 0 and base_row == 0 and (n_new or m_new):
        # fresh model: one passModel of the arrays, which HiGHS reads in place
        sense, offset = sense_offset(objective)
        integrality = (integer.astype(np.int32) if integer is not None
                       else np.zeros(n_new, dtype=np.int32))
        check(h.passModel(n_new, m_new, int(starts[-1]), _ROWWISE, int(sense), offset,
                          costs(objective, n_new), lo, hi, rlo, rhi, starts, idx, val,
                          integrality), "the model")
        return n_new, m_new, True, col_names, row_names
    if n_new:
        check(h.addCols(n_new, np.zeros(n_new), lo, hi, 0, _NO_INT, _NO_INT, _NO_FLOAT),
              "the new columns")
        if integer is not None:
            where = (np.flatnonzero(integer) + base_col).astype(np.int32)
            check(h.changeColsIntegrality(where.size, where, np.ones(where.size, dtype=np.uint8)),
                  "the integer columns")
    if m_new:
        check(h.addRows(m_new, rlo, rhi, int(starts[-1]), starts[:-1], idx, val),
              "the new rows")
    if not objective_dirty:
        return n_new, m_new, False, col_names, row_names
    ncols = base_col + n_new
    if ncols:
        check(h.changeColsCost(ncols, np.arange(ncols, dtype=np.int32), costs(objective, ncols)),
              "the objective")
    sense, offset = sense_offset(objective)
    check(h.changeObjectiveSense(sense), "the objective sense")
    check(h.changeObjectiveOffset(offset), "the objective constant")
    return n_new, m_new, True, col_names, row_names


def row_activity(lp, values, rows):
    """A @ values for the constraint matrix of a HighsLp, in either storage."""
    a = lp.a_matrix_
    start = np.asarray(a.start_, dtype=np.int64)
    index = np.asarray(a.index_, dtype=np.int64)[:start[-1]] if start.size else np.zeros(0, np.int64)
    value = np.asarray(a.value_, dtype=np.float64)[:index.size]
    owner = np.repeat(np.arange(start.size - 1), np.diff(start))  # the column (or row) of each entry
    if a.format_ == highspy.MatrixFormat.kColwise:
        return np.bincount(index, weights=value * values[owner], minlength=rows)
    return np.bincount(owner, weights=value * values[index], minlength=rows)
