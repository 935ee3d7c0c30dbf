"""HiGHS backend for kestpy: ``model.setBackend("highs")``.

``Model(name, env)`` returns a backend object over one ``highspy.Highs``
instance, quiet by default. kestpy drives it through the backend object
protocol: every method below takes positional arguments only.

==================  ==========================================================  =====================
method              positional arguments                                        result
==================  ==========================================================  =====================
add_variable        name or None, type "C"/"B"/"I" or None, lb or None,         index of the variable
                    ub or None
add_variables       count, names (prefix str, list of str with "" for           list of indices
                    unnamed, or None), list of types or None, lb and ub
                    (float, list of float, or None)
add_constraint      index list, coefficient list, ">"/"<"/"=", rhs, name or     index of the row
                    None, constant
add_constraints     index lists, coefficient lists, constants, senses, rhs,     list of indices
                    names or None
set_objective       index list, coefficient list, constant, -1 min / +1 max     None
update              none                                                        None
set_optimizer_attr  name, value                                                 None
optimize            none                                                        status number
get_var_value       variable index                                              float or None
get_objective_value none                                                        float or None
==================  ==========================================================  =====================

Variables are numbered 0, 1, 2, ... in arrival order. A missing lower bound
is 0.0, a missing upper bound +inf, a missing type "C". "B" is an integer
column with its bounds clipped to [0, 1]. A prefix name p names variable i of
the batch p_i (an empty prefix names nothing). A constraint means
sum(coeff * x) + constant (sense) rhs; the constant moves into the row bounds.
Repeated indices in one constraint or objective are summed, zero
coefficients are dropped. ``set_objective`` replaces the whole objective:
costs, offset and sense.

Settings: any HiGHS option by its own name ("time_limit", "mip_rel_gap",
"presolve", "threads", "output_flag", ...), plus the aliases "TimeLimit",
"MIPGap", "Threads", "OutputFlag", "Silent" (inverted output_flag) and
"SolverName" (accepted, no effect). A switch option such as "presolve" also
takes True/False or 1/0. An unknown name or a value of the wrong kind issues a
``UserWarning`` naming the option (with close matches) and changes nothing.

Status numbers returned by ``optimize``:

======  ============================================================
number  meaning
======  ============================================================
2       optimal
3       infeasible
4       infeasible or unbounded (not told apart)
5       unbounded
7       iteration limit reached
9       time limit reached
10      solution, node or leaf limit reached
11      interrupted
1       anything else (solver error, objective bound or target,
        a refused model or objective, ...)
======  ============================================================

Values: ``get_var_value`` and ``get_objective_value`` answer from the last
``optimize`` when it left a feasible primal solution (an incumbent found
before a limit counts) and the model was not infeasible or unbounded; they
answer None otherwise, and after any change of the model since that run.

Refusals: a NaN bound, right-hand side, constant or coefficient, or anything
HiGHS itself refuses (a lower bound of +inf, an upper bound of -inf, a
coefficient of 1e15 or more in size, ...) makes ``optimize`` issue a
``UserWarning`` ("HiGHS refused ...", naming the variable or constraint
holding a NaN) and return 1 with values None. Variables and constraints cannot
be removed, so every later ``optimize`` does the same without solving;
building calls go on answering as before. A NaN objective coefficient or
constant makes ``optimize`` warn and return 1, loading nothing, until
``set_objective`` replaces it. ``update`` refuses without a warning; the
``highs`` property raises RuntimeError with the reason.

Loading is deferred: variables, constraints and the objective are collected
as numpy arrays and handed to HiGHS in bulk (one addCols, one CSR addRows, or
one passModel of the arrays for a fresh model, passed once more with the
names when there are any) at ``optimize``, ``update`` or when the ``highs``
property is read. The solution is the same as with eager loading.
"""

import ctypes
import itertools
import math
import os
import sys

import highspy
import numpy as np

from . import _options

__all__ = ["Model", "STATUS_NAMES"]

_INF = math.inf
_MS = highspy.HighsModelStatus
_STATUS = {
    _MS.kOptimal: 2,
    _MS.kInfeasible: 3,
    _MS.kUnboundedOrInfeasible: 4,
    _MS.kUnbounded: 5,
    _MS.kIterationLimit: 7,
    _MS.kTimeLimit: 9,
    _MS.kSolutionLimit: 10,
    _MS.kInterrupt: 11,
    _MS.kHighsInterrupt: 11,
}
STATUS_NAMES = {
    1: "other",
    2: "optimal",
    3: "infeasible",
    4: "infeasible or unbounded",
    5: "unbounded",
    7: "iteration limit",
    9: "time limit",
    10: "solution limit",
    11: "interrupted",
}
_NO_VALUES = (3, 4, 5)
_FEASIBLE = 2  # HiGHS primal solution status: feasible point held
_TYPES = frozenset("CBI")
_SENSES = frozenset("<>=")
_INT32_MAX = np.iinfo(np.int32).max
_ROWWISE = int(highspy.MatrixFormat.kRowwise)

_banner_hidden = False


def _new_highs():
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


class _Refused(RuntimeError):
    """HiGHS cannot take the staged columns or rows; as neither can be removed,
    the model stays refused."""


class _ObjectiveRefused(RuntimeError):
    """The objective holds a NaN; a later set_objective replaces it."""


def _check(status, what):
    if status == highspy.HighsStatus.kError:
        raise _Refused(f"HiGHS refused {what}")


def _first_nan(values):
    """Position of the first NaN in values (or of the first True in a bool
    array), or -1."""
    nan = values if values.dtype == np.bool_ else np.isnan(values)
    return int(nan.argmax()) if nan.any() else -1


def _bounds(value, count, default, what):
    if value is None:
        return np.full(count, default)
    if isinstance(value, (list, tuple, np.ndarray)):
        if len(value) != count:
            raise ValueError(f"{what}: {len(value)} values for {count} variables")
        return _floats(value, count)
    return np.full(count, float(value))


def _floats(values, count):
    """A new float64 array of count values."""
    if isinstance(values, np.ndarray):
        return np.array(values, dtype=np.float64)
    # one pass over the objects; np.array walks them twice (shape, then values)
    return np.fromiter(values, dtype=np.float64, count=count)


def _batch_names(names, count, what):
    """A list of count names ("" for unnamed), or None when nothing is named."""
    if names is None:
        return None
    if isinstance(names, str):
        return [f"{names}_{i}" for i in range(count)] if names else None
    if len(names) != count:
        raise ValueError(f"{what}: {len(names)} names for {count} items")
    if not any(names):
        return None
    # the caller's list is kept as it is: a copy of millions of names costs memory
    return names if type(names) is list else list(names)


def _index_error(indices, ncols):
    """The error naming the first index outside 0..ncols-1."""
    bad = next(i for i in indices if i < 0 or i >= ncols)
    return IndexError(f"variable index {bad} out of range ({ncols} variables)")


def _codes(symbols, n):
    """One byte per symbol, as a uint8 array; the caller has checked each is one
    of its one-character symbols. Far cheaper than a numpy array of str."""
    return np.frombuffer("".join(symbols).encode("ascii"), dtype=np.uint8, count=n)


def _flatten(lists, dtype, count):
    """The inner lists end to end as one array of count elements."""
    return np.fromiter(itertools.chain.from_iterable(lists), dtype=dtype, count=count)


def _nan_reason(base_col, lo, hi, base_row, rlo, rhi, starts, idx, val):
    """What holds a NaN among new columns and rows (CSR), or None."""
    for bound, side in ((lo, "lower"), (hi, "upper")):
        bad = _first_nan(bound)
        if bad >= 0:
            return f"a variable's {side} bound is NaN (variable {base_col + bad})"
    bad = _first_nan(np.isnan(rlo) | np.isnan(rhi))
    if bad >= 0:
        return f"a constraint's right-hand side or constant is NaN (constraint {base_row + bad})"
    bad = _first_nan(val)
    if bad >= 0:
        row = int(np.searchsorted(starts, bad, side="right")) - 1
        return (f"a constraint coefficient is NaN "
                f"(constraint {base_row + row}, variable {int(idx[bad])})")
    return None


class _ColChunk:
    __slots__ = ("n", "lo", "hi", "integer", "names")

    def __init__(self, n, lo, hi, integer, names):
        self.n, self.lo, self.hi, self.integer, self.names = n, lo, hi, integer, names


class _RowChunk:
    __slots__ = ("n", "lens", "idx", "val", "lo", "hi", "names")

    def __init__(self, n, lens, idx, val, lo, hi, names):
        self.n, self.lens, self.idx, self.val = n, lens, idx, val
        self.lo, self.hi, self.names = lo, hi, names


def _joined(chunks, field):
    """One field of the chunks end to end; a single chunk's array as it is."""
    if len(chunks) == 1:
        return getattr(chunks[0], field)
    return np.concatenate([getattr(c, field) for c in chunks])


def _concat_names(chunks, total):
    if not any(c.names for c in chunks):
        return None
    if len(chunks) == 1:
        return chunks[0].names
    out = []
    for c in chunks:
        out.extend(c.names if c.names else [""] * c.n)
    assert len(out) == total
    return out


class Model:
    """One HiGHS model behind the kestpy backend object protocol."""

    def __init__(self, name=None, env=None):
        self.name = name
        self._h = _new_highs()
        self._h.setOptionValue("output_flag", False)
        self._threads_set = False
        # columns/rows already inside HiGHS, and the totals including staged ones
        self._h_cols = 0
        self._h_rows = 0
        self._ncols = 0
        self._nrows = 0
        self._col_chunks = []
        self._row_chunks = []
        self._reset_single_cols()
        self._reset_single_rows()
        # current objective: (index list, coefficient list, constant, sense)
        self._objective = None
        self._objective_dirty = False
        # why the objective cannot load (a NaN), until it is replaced
        self._objective_nan = None
        # why HiGHS refused the columns or rows, once it has: for good
        self._refused = None
        self._valid = False
        self._values = None
        self._objval = None

    # -- staging --------------------------------------------------------

    def _reset_single_cols(self):
        self._c_lo, self._c_hi, self._c_int, self._c_names = [], [], [], []

    def _reset_single_rows(self):
        self._r_idx, self._r_val, self._r_lo, self._r_hi, self._r_names = [], [], [], [], []

    def _seal_single_cols(self):
        n = len(self._c_lo)
        if not n:
            return
        integer = np.array(self._c_int, dtype=np.uint8) if any(self._c_int) else None
        self._col_chunks.append(_ColChunk(
            n, np.array(self._c_lo, dtype=np.float64), np.array(self._c_hi, dtype=np.float64),
            integer, self._c_names if any(self._c_names) else None))
        self._reset_single_cols()

    def _seal_single_rows(self):
        if not self._r_idx:
            return
        self._row_chunks.append(self._row_chunk(
            self._r_idx, self._r_val,
            np.array(self._r_lo, dtype=np.float64), np.array(self._r_hi, dtype=np.float64),
            self._r_names if any(self._r_names) else None, checked=True))
        self._reset_single_rows()

    def _row_chunk(self, idx_lists, val_lists, lo, hi, names, checked=False):
        n = len(idx_lists)
        lens = np.fromiter(map(len, idx_lists), dtype=np.int64, count=n)
        if not checked:
            vlens = np.fromiter(map(len, val_lists), dtype=np.int64, count=n)
            if not np.array_equal(lens, vlens):
                bad = int(np.flatnonzero(lens != vlens)[0])
                raise ValueError(f"constraint {bad} of the batch has {lens[bad]} indices "
                                 f"and {vlens[bad]} coefficients")
        nnz = int(lens.sum())
        # HiGHS takes int32 indices: build them so, no int64 copy on the way
        try:
            idx = _flatten(idx_lists, np.int32, nnz)
        except OverflowError:
            idx = None
        if not checked and nnz and (idx is None or idx.min() < 0 or idx.max() >= self._ncols):
            raise _index_error(itertools.chain.from_iterable(idx_lists), self._ncols)
        val = _flatten(val_lists, np.float64, nnz)
        return _RowChunk(n, lens, idx, val, lo, hi, names)

    def _changed(self):
        self._valid = False
        self._values = None
        self._objval = None

    # -- protocol: building -----------------------------------------------

    def add_variable(self, name, vtype, lb, ub):
        lo = 0.0 if lb is None else float(lb)
        hi = _INF if ub is None else float(ub)
        if vtype is None or vtype == "C":
            integer = 0
        elif vtype == "I":
            integer = 1
        elif vtype == "B":
            integer = 1
            lo = max(lo, 0.0)
            hi = min(hi, 1.0)
        else:
            raise ValueError(f"unknown variable type {vtype!r} (expected 'C', 'B' or 'I')")
        self._changed()
        self._c_lo.append(lo)
        self._c_hi.append(hi)
        self._c_int.append(integer)
        self._c_names.append(name or "")
        index = self._ncols
        self._ncols += 1
        return index

    def add_variables(self, count, names, types, lb, ub):
        count = int(count)
        if count < 0:
            raise ValueError(f"negative variable count {count}")
        lo = _bounds(lb, count, 0.0, "lower bounds")
        hi = _bounds(ub, count, _INF, "upper bounds")
        integer = None
        if types is not None:
            if len(types) != count:
                raise ValueError(f"types: {len(types)} values for {count} variables")
            kinds = set(types)
            if not kinds <= _TYPES:
                raise ValueError(f"unknown variable type {sorted(kinds - _TYPES)[0]!r} "
                                 "(expected 'C', 'B' or 'I')")
            if kinds != {"C"} and count:
                codes = _codes(types, count)
                binary = codes == ord("B")
                integer = (codes != ord("C")).view(np.uint8)
                if binary.any():
                    np.maximum(lo, 0.0, out=lo, where=binary)
                    np.minimum(hi, 1.0, out=hi, where=binary)
        col_names = _batch_names(names, count, "variable names")
        self._changed()
        self._seal_single_cols()
        if count:
            self._col_chunks.append(_ColChunk(count, lo, hi, integer, col_names))
        start = self._ncols
        self._ncols += count
        return list(range(start, start + count))

    def add_constraint(self, indices, coeffs, sense, rhs, name, constant):
        if len(indices) != len(coeffs):
            raise ValueError(f"{len(indices)} indices and {len(coeffs)} coefficients")
        if indices and (min(indices) < 0 or max(indices) >= self._ncols):
            raise _index_error(indices, self._ncols)
        bound = float(rhs) - float(constant)
        if sense == "<":
            lo, hi = -_INF, bound
        elif sense == ">":
            lo, hi = bound, _INF
        elif sense == "=":
            lo = hi = bound
        else:
            raise ValueError(f"unknown constraint sense {sense!r} (expected '<', '>' or '=')")
        self._changed()
        self._r_idx.append(indices)
        self._r_val.append(coeffs)
        self._r_lo.append(lo)
        self._r_hi.append(hi)
        self._r_names.append(name or "")
        index = self._nrows
        self._nrows += 1
        return index

    def add_constraints(self, indices, coeffs, constants, senses, rhss, names):
        n = len(indices)
        for what, seq in (("coefficient lists", coeffs), ("constants", constants),
                          ("senses", senses), ("right-hand sides", rhss)):
            if len(seq) != n:
                raise ValueError(f"{len(seq)} {what} for {n} constraints")
        kinds = set(senses)
        if not kinds <= _SENSES:
            raise ValueError(f"unknown constraint sense {sorted(kinds - _SENSES)[0]!r} "
                             "(expected '<', '>' or '=')")
        row_names = _batch_names(names, n, "constraint names")
        bound = _floats(rhss, n) - _floats(constants, n)
        if kinds == {"<"}:
            lo, hi = np.full(n, -_INF), bound
        elif kinds == {">"}:
            lo, hi = bound, np.full(n, _INF)
        elif kinds == {"="}:
            lo, hi = bound, bound.copy()
        else:
            codes = _codes(senses, n)
            lo = np.where(codes == ord("<"), -_INF, bound)
            hi = np.where(codes == ord(">"), _INF, bound)
        chunk = self._row_chunk(indices, coeffs, lo, hi, row_names)
        self._changed()
        self._seal_single_rows()
        if n:
            self._row_chunks.append(chunk)
        start = self._nrows
        self._nrows += n
        return list(range(start, start + n))

    def set_objective(self, indices, coeffs, constant, sense):
        n = len(indices)
        if n != len(coeffs):
            raise ValueError(f"{n} indices and {len(coeffs)} coefficients")
        if sense not in (-1, 1):
            raise ValueError(f"objective sense {sense!r} (expected -1 or +1)")
        # held as arrays: the lists cost four times the memory until the next objective
        try:
            idx = np.fromiter(indices, dtype=np.int64, count=n)
        except OverflowError:
            idx = None
        if n and (idx is None or idx.min() < 0 or idx.max() >= self._ncols):
            raise _index_error(indices, self._ncols)
        val = _floats(coeffs, n)
        constant = float(constant)
        self._changed()
        self._objective = (idx, val, constant, sense)
        self._objective_dirty = True
        bad = _first_nan(val)
        if bad >= 0:
            self._objective_nan = f"a coefficient is NaN (variable {int(idx[bad])})"
        elif math.isnan(constant):
            self._objective_nan = "its constant is NaN"
        else:
            self._objective_nan = None

    def update(self):
        try:
            self._flush()
        except (_Refused, _ObjectiveRefused):
            # _flush has marked a refused model; a NaN objective stays staged
            pass

    # -- loading into HiGHS -------------------------------------------------

    def _costs(self, ncols):
        if self._objective is None or not self._objective[0].size:
            return np.zeros(ncols)
        # bincount adds repeats in order, as a running sum from 0 would
        return np.bincount(self._objective[0], self._objective[1], minlength=ncols)

    def _objective_sense_offset(self):
        if self._objective is None:
            return highspy.ObjSense.kMinimize, 0.0
        sense = highspy.ObjSense.kMaximize if self._objective[3] == 1 else highspy.ObjSense.kMinimize
        return sense, self._objective[2]

    @staticmethod
    def _csr(rows, ncols):
        """Row starts, column indices and values of the rows, merged and zero-free."""
        n = sum(c.n for c in rows)
        lens, idx, val = _joined(rows, "lens"), _joined(rows, "idx"), _joined(rows, "val")
        nnz = idx.size
        if nnz > _INT32_MAX:
            raise OverflowError("too many nonzeros for HiGHS (more than 2**31 - 1)")
        starts = np.zeros(n + 1, dtype=np.int64)
        np.cumsum(lens, out=starts[1:])
        if nnz:
            # every row strictly increasing? pairs across a row boundary do not count
            rising = idx[1:] > idx[:-1]
            inner = starts[1:-1]
            rising[inner[(inner > 0) & (inner < nnz)] - 1] = True
            if not rising.all():
                # some row is unsorted or repeats a variable: sort and sum repeats
                del rising
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
                starts[1:] = np.cumsum(np.bincount(row_of, minlength=n))
                del row_of
            else:
                del rising
            keep = val != 0.0
            if not keep.all():
                # a row start moves back by the zeros dropped before it
                kept = np.zeros(idx.size + 1, dtype=np.int64)
                np.cumsum(keep, out=kept[1:])
                starts = kept[starts]
                idx = idx[keep]
                val = val[keep]
        return (n, starts.astype(np.int32), np.ascontiguousarray(idx, dtype=np.int32),
                np.ascontiguousarray(val, dtype=np.float64))

    def _drop_staged(self):
        self._col_chunks, self._row_chunks = [], []
        self._reset_single_cols()
        self._reset_single_rows()

    def _flush(self):
        """Load everything staged into HiGHS. Raises _Refused, the model then
        refused for good and its staged data dropped, when HiGHS cannot take the
        columns or rows; raises _ObjectiveRefused, loading nothing, when only
        the objective is at fault."""
        if self._refused is not None:
            self._drop_staged()
            raise _Refused(self._refused)
        self._seal_single_cols()
        self._seal_single_rows()
        if not self._col_chunks and not self._row_chunks and not self._objective_dirty:
            return
        if self._objective_dirty and self._objective_nan is not None:
            raise _ObjectiveRefused("the objective was refused: " + self._objective_nan)
        try:
            self._load()
        except _Refused as e:
            # _load has already let the staged data go; nothing more can load, ever
            self._refused = str(e)
            raise

    def _load(self):
        cols, rows = self._col_chunks, self._row_chunks
        self._col_chunks, self._row_chunks = [], []
        h = self._h
        base_col = self._h_cols
        if cols:
            n_new = sum(c.n for c in cols)
            lo, hi = _joined(cols, "lo"), _joined(cols, "hi")
            col_names = _concat_names(cols, n_new)
            integer_cols = [np.flatnonzero(c.integer) + off
                            for c, off in zip(cols, itertools.accumulate(
                                [base_col] + [c.n for c in cols]))
                            if c.integer is not None]
            where = (np.concatenate(integer_cols).astype(np.int32) if integer_cols
                     else np.zeros(0, dtype=np.int32))
        else:
            n_new, col_names, where = 0, None, np.zeros(0, dtype=np.int32)
            lo = hi = np.zeros(0)
        if rows:
            m_new, starts, idx, val = self._csr(rows, max(self._ncols, 1))
            rlo, rhi = _joined(rows, "lo"), _joined(rows, "hi")
            row_names = _concat_names(rows, m_new)
        else:
            m_new, row_names = 0, None
            starts = np.zeros(1, dtype=np.int32)
            idx = np.zeros(0, dtype=np.int32)
            val = rlo = rhi = np.zeros(0)
        # HiGHS takes a NaN coefficient without a word and solves another
        # model; refuse any NaN here, before anything reaches HiGHS
        reason = _nan_reason(base_col, lo, hi, self._h_rows, rlo, rhi, starts, idx, val)
        if reason is not None:
            raise _Refused("HiGHS refused the model: " + reason)
        # the staged chunks are merged now; let them go before HiGHS makes its copy
        del cols, rows

        if self._h_cols == 0 and self._h_rows == 0 and (n_new or m_new):
            # fresh model: one passModel of the arrays, as HiGHS reads them in place
            sense, offset = self._objective_sense_offset()
            integrality = np.zeros(n_new, dtype=np.int32)
            integrality[where] = 1
            _check(h.passModel(n_new, m_new, int(starts[-1]), _ROWWISE, int(sense), offset,
                               self._costs(n_new), lo, hi, rlo, rhi, starts, idx, val,
                               integrality), "the model")
            del starts, idx, val
            if col_names or row_names:
                # HiGHS has no bulk name call: one name at a time costs microseconds
                # each, so the model goes in again with every name in its vectors
                lp = h.getLp()
                if col_names:
                    lp.col_names_ = col_names
                if row_names:
                    lp.row_names_ = row_names
                _check(h.passModel(lp), "the model")
            self._objective_dirty = False
        else:
            if n_new:
                empty_i = np.zeros(0, dtype=np.int32)
                _check(h.addCols(n_new, np.zeros(n_new), lo, hi, 0, empty_i, empty_i,
                                 np.zeros(0)), "the new columns")
                if col_names:
                    pass_name = h.passColName
                    for i, s in enumerate(col_names):
                        if s:
                            pass_name(base_col + i, s)
            if m_new:
                _check(h.addRows(m_new, rlo, rhi, int(starts[-1]), starts[:-1], idx, val),
                       "the new rows")
                if row_names:
                    pass_name = h.passRowName
                    for i, s in enumerate(row_names):
                        if s:
                            pass_name(self._h_rows + i, s)
            if where.size:
                _check(h.changeColsIntegrality(where.size, where,
                                               np.ones(where.size, dtype=np.uint8)),
                       "the integer columns")
        self._h_cols += n_new
        self._h_rows += m_new
        if self._objective_dirty:
            ncols = self._h_cols
            if ncols:
                _check(h.changeColsCost(ncols, np.arange(ncols, dtype=np.int32),
                                        self._costs(ncols)), "the objective")
            sense, offset = self._objective_sense_offset()
            _check(h.changeObjectiveSense(sense), "the objective sense")
            _check(h.changeObjectiveOffset(offset), "the objective constant")
            self._objective_dirty = False

    @property
    def highs(self):
        """The highspy.Highs instance, with everything staged loaded into it.
        RuntimeError when the model or its objective was refused."""
        self._flush()
        return self._h

    # -- protocol: settings, solving, values ----------------------------------

    def set_optimizer_attr(self, name, value):
        if _options.apply(self._h, name, value) == "threads":
            self._threads_set = True

    def optimize(self):
        self._changed()
        try:
            self._flush()
        except _Refused as e:
            # past warn() and this method: the user's optimize line
            _options.warn(f"{e}; not solved, now or later, as variables and constraints "
                          "cannot be removed", stacklevel=3)
            return 1
        except _ObjectiveRefused as e:
            _options.warn(f"{e}; not solved until an objective without NaN is set",
                          stacklevel=3)
            return 1
        if self._h_cols == 0:
            return self._optimize_without_columns()
        if self._threads_set:
            # HiGHS keeps one thread pool per process; a changed size needs a new one
            highspy.Highs.resetGlobalScheduler(True)
        self._h.run()
        status = _STATUS.get(self._h.getModelStatus(), 1)
        info = self._h.getInfo()
        if status not in _NO_VALUES and info.primal_solution_status == _FEASIBLE:
            self._valid = True
            self._objval = float(info.objective_function_value)
        return status

    def _optimize_without_columns(self):
        # HiGHS calls a model without columns "empty" and checks nothing; every
        # row is then the constant 0, so feasibility is a bound check.
        lp = self._h.getLp()
        ok, tol = True, self._h.getOptionValue("primal_feasibility_tolerance")[1]
        if self._h_rows:
            lo = np.asarray(lp.row_lower_)
            hi = np.asarray(lp.row_upper_)
            ok = bool((lo <= tol).all() and (hi >= -tol).all())
        if not ok:
            return 3
        self._valid = True
        self._objval = float(self._objective_sense_offset()[1])
        return 2

    def get_var_value(self, index):
        if not self._valid:
            return None
        if self._values is None:
            self._values = self._h.getSolution().col_value
        if 0 <= index < len(self._values):
            # + 0.0 turns the -0.0 HiGHS leaves on some zero columns into 0.0
            return float(self._values[index]) + 0.0
        return None

    def get_objective_value(self):
        return self._objval if self._valid else None

    def __repr__(self):
        return (f"<kestpy_highs.Model {self.name!r}: {self._ncols} variables, "
                f"{self._nrows} constraints>")
