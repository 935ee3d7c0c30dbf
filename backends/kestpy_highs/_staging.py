"""What the backend receives and holds until it loads into HiGHS.

Both forms of the protocol, Python lists and buffer arrays, are checked here
and turned into the one staged form: column chunks, row chunks in CSR and
the objective, all numpy arrays. Arrays that arrive as buffers are wrapped,
not copied, unless a value has to change (a binary's bounds).
"""

import itertools
import math

import numpy as np

from ._scans import rising

INF = math.inf
INT32_MAX = int(np.iinfo(np.int32).max)

_TYPES = frozenset("CBI")
_SENSES = frozenset("<>=")
_C, _B, _I = ord("C"), ord("B"), ord("I")
_LE, _GE, _EQ = ord("<"), ord(">"), ord("=")
_INTS = (np.dtype(np.int32), np.dtype(np.int64))
_FORMAT = {np.dtype(np.float64): "'d' (float64)", np.dtype(np.uint8): "'B' (uint8)"}


class TooLarge(Exception):
    """A batch HiGHS can never take: it holds more nonzeros than a HiGHS index
    reaches. The batch still counts in the numbering."""

    def __init__(self, reason, count):
        super().__init__(reason)
        self.count = count


class ColChunk:
    __slots__ = ("n", "lo", "hi", "integer", "names")

    def __init__(self, n, lo, hi, integer, names):
        # integer: uint8 per column (1 for "I" and "B"), or None when all are "C";
        # names: a sequence of n str ("" for unnamed), or None when none is named
        self.n, self.lo, self.hi, self.integer, self.names = n, lo, hi, integer, names


class RowChunk:
    __slots__ = ("n", "starts", "idx", "val", "lo", "hi", "names")

    def __init__(self, n, starts, idx, val, lo, hi, names):
        # starts: n + 1 offsets into idx/val, starts[0] == 0
        self.n, self.starts, self.idx, self.val = n, starts, idx, val
        self.lo, self.hi, self.names = lo, hi, names


class Objective:
    __slots__ = ("idx", "val", "constant", "sense", "nan", "_costs")

    def __init__(self, idx, val, constant, sense):
        self.idx, self.val, self.constant, self.sense = idx, val, float(constant), sense
        self._costs = None
        # why it cannot load, or None
        bad = first_nan(val)
        if bad >= 0:
            self.nan = f"a coefficient is NaN (variable {int(idx[bad])})"
        elif math.isnan(self.constant):
            self.nan = "its constant is NaN"
        else:
            self.nan = None

    def costs(self, ncols):
        """The cost of each of ncols columns, repeats summed; kept, as the checks
        before loading and the loading itself both need it."""
        if self._costs is None or self._costs.size != ncols:
            self._costs = _summed(self.idx, self.val, ncols)
        return self._costs


def _summed(idx, val, ncols):
    """val summed by idx into ncols values, each a running sum from 0 (so -0.0
    turns 0.0)."""
    if not idx.size:
        return np.zeros(ncols)
    if not rising(idx):
        # bincount adds repeats in order, as a running sum from 0 would
        return np.bincount(idx, val, minlength=ncols)
    # no repeats, the usual case, and no bincount, which converts idx to intp
    # and adds one value at a time. 0.0 + x is x unless x is a zero
    zeros = np.count_nonzero(val) < val.size
    if idx.size == ncols:
        # idx is 0, 1, ..., ncols - 1; no cost vector is changed in place, so val serves
        return val + 0.0 if zeros else val
    out = np.zeros(ncols)
    out[idx] = val
    if zeros:
        out += 0.0
    return out


def first_nan(values):
    """Position of the first NaN in values (or of the first True in a bool
    array), or -1."""
    if values.dtype == np.bool_:
        nan = values
    else:
        # a sum takes any NaN in and makes no temporary array; an overflow or
        # inf - inf makes a NaN too, and costs only the search below
        with np.errstate(over="ignore", invalid="ignore"):
            total = np.add.reduce(values, initial=0.0)
        if not math.isnan(total):
            return -1
        nan = np.isnan(values)
    return int(nan.argmax()) if nan.any() else -1


def index_error(indices, ncols):
    """The error naming the first index outside 0..ncols-1."""
    bad = next(i for i in indices if i < 0 or i >= ncols)
    return IndexError(f"variable index {bad} out of range ({ncols} variables)")


def _check_range(idx, ncols):
    if idx.size and (idx.min() < 0 or idx.max() >= ncols):
        raise index_error(idx[(idx < 0) | (idx >= ncols)][:1].tolist(), ncols)


def _sense_bounds(codes, bound):
    """Row bounds (lo, hi) for sense codes and the moved right-hand sides; bound
    itself stands for a side that takes it in every row."""
    le, ge = codes == _LE, codes == _GE
    lo = (bound if not le.any() else np.full(bound.size, -INF) if le.all()
          else np.where(le, -INF, bound))
    hi = (bound if not ge.any() else np.full(bound.size, INF) if ge.all()
          else np.where(ge, INF, bound))
    return lo, hi


# -- the array form ---------------------------------------------------------

def _array(obj, what, dtype=None):
    """obj (a buffer) as a one-dimensional numpy array, without a copy."""
    a = np.asarray(obj)
    if a.ndim != 1:
        raise ValueError(f"{what}: expected a one-dimensional array, got {a.ndim} dimensions")
    if dtype is None:
        if a.dtype not in _INTS:
            raise TypeError(f"{what}: expected format 'i' (int32) or 'q' (int64), got {a.dtype}")
    elif a.dtype != dtype:
        raise TypeError(f"{what}: expected format {_FORMAT[np.dtype(dtype)]}, got {a.dtype}")
    return a


def _array_names(names, count, what):
    if names is None:
        return None
    if isinstance(names, str):
        raise TypeError(f"{what}: expected a sequence of str or None, got str")
    if len(names) != count:
        raise ValueError(f"{what}: {len(names)} names for {count} items")
    return names


def _first_bad_code(codes, allowed):
    # a count per symbol: a byte comparison is far cheaper than isin, which
    # widens the codes to a model-sized index array
    if sum(np.count_nonzero(codes == ord(c)) for c in allowed) == codes.size:
        return None
    ok = np.isin(codes, np.frombuffer(allowed.encode("ascii"), dtype=np.uint8))
    return chr(int(codes[int(np.argmin(ok))]))


def cols_from_arrays(lb, ub, types, names):
    lo = _array(lb, "lb", np.float64)
    hi = _array(ub, "ub", np.float64)
    codes = _array(types, "types", np.uint8)
    count = lo.size
    if hi.size != count or codes.size != count:
        raise ValueError(f"{lo.size} lower bounds, {hi.size} upper bounds and {codes.size} types")
    bad = _first_bad_code(codes, "CBI")
    if bad is not None:
        raise ValueError(f"unknown variable type {bad!r} (expected 'C', 'B' or 'I')")
    names = _array_names(names, count, "variable names")
    integer = None
    if count and not (codes == _C).all():
        integer = (codes != _C).view(np.uint8)
        binary = codes == _B
        if binary.any():
            lo = _clip(lo, binary, np.maximum, 0.0)
            hi = _clip(hi, binary, np.minimum, 1.0)
    return ColChunk(count, lo, hi, integer, names)


def _clip(bounds, binary, towards, limit):
    """bounds with towards(bound, limit) at the binaries; bounds itself when
    that changes none, which saves a model-sized copy (a binary's lower bound
    usually arrives as 0)."""
    every = binary.all()
    mine = bounds if every else bounds[binary]
    if towards is np.maximum:
        # keeps x exactly when its sign bit is clear: -0.0 turns 0.0
        kept = mine.view(np.int64).min() >= 0
    else:
        kept = mine.max() <= limit  # a NaN, which stays NaN, fails here and is copied
    if kept:
        return bounds
    # the received arrays are read-only and the caller's
    return towards(bounds, limit) if every else towards(bounds, limit, where=binary,
                                                        out=bounds.copy())


def rows_from_arrays(starts, indices, coeffs, constants, senses, rhs, names, ncols):
    starts = _array(starts, "starts")
    idx = _array(indices, "indices")
    val = _array(coeffs, "coeffs", np.float64)
    const = _array(constants, "constants", np.float64)
    codes = _array(senses, "senses", np.uint8)
    rhs = _array(rhs, "rhs", np.float64)
    count = rhs.size
    if const.size != count or codes.size != count:
        raise ValueError(f"{const.size} constants, {codes.size} senses and {count} right-hand sides")
    if starts.size != count + 1:
        raise ValueError(f"starts: {starts.size} row starts for {count} constraints "
                         f"(expected {count + 1})")
    if starts[0] != 0:
        raise ValueError(f"starts: the first row start is {int(starts[0])} (expected 0)")
    nnz = int(starts[-1])
    if idx.size != nnz or val.size != nnz:
        raise ValueError(f"{idx.size} indices and {val.size} coefficients for {nnz} nonzeros")
    if count and (starts[1:] < starts[:-1]).any():
        row = int(np.argmax(starts[1:] < starts[:-1]))
        raise ValueError(f"starts: row {row} starts at {int(starts[row])} "
                         f"and ends before it at {int(starts[row + 1])}")
    bad = _first_bad_code(codes, "<>=")
    if bad is not None:
        raise ValueError(f"unknown constraint sense {bad!r} (expected '<', '>' or '=')")
    names = _array_names(names, count, "constraint names")
    if nnz > INT32_MAX:
        raise TooLarge(f"HiGHS refused the model: a batch of {count} constraints holds "
                       f"{nnz} nonzeros, more than HiGHS takes (2**31 - 1)", count)
    _check_range(idx, ncols)
    # x - 0.0 is x, -0.0 included; only a constant with a bit set moves a bound
    bound = rhs - const if const.view(np.int64).any() else rhs
    lo, hi = _sense_bounds(codes, bound)
    return RowChunk(count, starts, idx, val, lo, hi, names)


def objective_from_arrays(indices, coeffs, constant, sense, ncols):
    idx = _array(indices, "indices")
    val = _array(coeffs, "coeffs", np.float64)
    if idx.size != val.size:
        raise ValueError(f"{idx.size} indices and {val.size} coefficients")
    if sense not in (-1, 1):
        raise ValueError(f"objective sense {sense!r} (expected -1 or +1)")
    _check_range(idx, ncols)
    return Objective(idx, val, constant, sense)


# -- the list form -----------------------------------------------------------

def floats(values, count):
    """A new float64 array of count values."""
    if isinstance(values, np.ndarray):
        return np.array(values, dtype=np.float64)
    # one pass over the objects; np.array walks them twice (shape, then values)
    return np.fromiter(values, dtype=np.float64, count=count)


def _bounds(value, count, default, what):
    if value is None:
        return np.full(count, default)
    if isinstance(value, (list, tuple, np.ndarray)):
        if len(value) != count:
            raise ValueError(f"{what}: {len(value)} values for {count} variables")
        return floats(value, count)
    return np.full(count, float(value))


def batch_names(names, count, what):
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


def _codes(symbols, n):
    """One byte per symbol, as a uint8 array; the caller has checked each is one
    of its one-character symbols. Far cheaper than a numpy array of str."""
    return np.frombuffer("".join(symbols).encode("ascii"), dtype=np.uint8, count=n)


def _flatten(lists, dtype, count):
    """The inner lists end to end as one array of count elements."""
    return np.fromiter(itertools.chain.from_iterable(lists), dtype=dtype, count=count)


def cols_from_lists(count, names, types, lb, ub):
    count = int(count)
    if count < 0:
        raise ValueError(f"negative variable count {count}")
    lo = _bounds(lb, count, 0.0, "lower bounds")
    hi = _bounds(ub, count, INF, "upper bounds")
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
            binary = codes == _B
            integer = (codes != _C).view(np.uint8)
            if binary.any():
                np.maximum(lo, 0.0, out=lo, where=binary)
                np.minimum(hi, 1.0, out=hi, where=binary)
    return ColChunk(count, lo, hi, integer, batch_names(names, count, "variable names"))


def row_chunk(idx_lists, val_lists, lo, hi, names, ncols, checked=False):
    """Rows given as index and coefficient lists, in CSR."""
    n = len(idx_lists)
    lens = np.fromiter(map(len, idx_lists), dtype=np.int64, count=n)
    if not checked:
        vlens = np.fromiter(map(len, val_lists), dtype=np.int64, count=n)
        if not np.array_equal(lens, vlens):
            bad = int(np.flatnonzero(lens != vlens)[0])
            raise ValueError(f"constraint {bad} of the batch has {lens[bad]} indices "
                             f"and {vlens[bad]} coefficients")
    starts = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(lens, out=starts[1:])
    nnz = int(starts[-1])
    # HiGHS takes int32 indices: build them so, no int64 copy on the way
    try:
        idx = _flatten(idx_lists, np.int32, nnz)
    except OverflowError:
        idx = None
    if not checked and nnz and (idx is None or idx.min() < 0 or idx.max() >= ncols):
        raise index_error(itertools.chain.from_iterable(idx_lists), ncols)
    val = _flatten(val_lists, np.float64, nnz)
    return RowChunk(n, starts, idx, val, lo, hi, names)


def rows_from_lists(indices, coeffs, constants, senses, rhss, names, ncols):
    n = len(indices)
    for what, seq in (("coefficient lists", coeffs), ("constants", constants),
                      ("senses", senses), ("right-hand sides", rhss)):
        if len(seq) != n:
            raise ValueError(f"{len(seq)} {what} for {n} constraints")
    kinds = set(senses)
    if not kinds <= _SENSES:
        raise ValueError(f"unknown constraint sense {sorted(kinds - _SENSES)[0]!r} "
                         "(expected '<', '>' or '=')")
    row_names = batch_names(names, n, "constraint names")
    bound = floats(rhss, n) - floats(constants, n)
    if kinds == {"<"}:
        lo, hi = np.full(n, -INF), bound
    elif kinds == {">"}:
        lo, hi = bound, np.full(n, INF)
    elif kinds == {"="}:
        lo, hi = bound, bound.copy()
    else:
        lo, hi = _sense_bounds(_codes(senses, n), bound)
    return row_chunk(indices, coeffs, lo, hi, row_names, ncols)


def objective_from_lists(indices, coeffs, constant, sense, ncols):
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
    if n and (idx is None or idx.min() < 0 or idx.max() >= ncols):
        raise index_error(indices, ncols)
    return Objective(idx, floats(coeffs, n), constant, sense)


class Staging:
    """Columns and rows received since the last load. Single variables and
    constraints gather in lists and become one chunk when a batch follows or
    the staged data is taken, so their order is kept."""

    def __init__(self):
        self.cols, self.rows = [], []
        self._reset_single_cols()
        self._reset_single_rows()

    def _reset_single_cols(self):
        self._c_lo, self._c_hi, self._c_int, self._c_names = [], [], [], []

    def _reset_single_rows(self):
        self._r_idx, self._r_val, self._r_lo, self._r_hi, self._r_names = [], [], [], [], []

    def add_col(self, lo, hi, integer, name):
        self._c_lo.append(lo)
        self._c_hi.append(hi)
        self._c_int.append(integer)
        self._c_names.append(name or "")

    def add_row(self, idx, val, lo, hi, name):
        self._r_idx.append(idx)
        self._r_val.append(val)
        self._r_lo.append(lo)
        self._r_hi.append(hi)
        self._r_names.append(name or "")

    def add_cols(self, chunk):
        self._seal_single_cols()
        if chunk.n:
            self.cols.append(chunk)

    def add_rows(self, chunk):
        self._seal_single_rows()
        if chunk.n:
            self.rows.append(chunk)

    def _seal_single_cols(self):
        n = len(self._c_lo)
        if not n:
            return
        integer = np.array(self._c_int, dtype=np.uint8) if any(self._c_int) else None
        self.cols.append(ColChunk(
            n, np.array(self._c_lo, dtype=np.float64), np.array(self._c_hi, dtype=np.float64),
            integer, self._c_names if any(self._c_names) else None))
        self._reset_single_cols()

    def _seal_single_rows(self):
        if not self._r_idx:
            return
        self.rows.append(row_chunk(
            self._r_idx, self._r_val,
            np.array(self._r_lo, dtype=np.float64), np.array(self._r_hi, dtype=np.float64),
            self._r_names if any(self._r_names) else None, 0, checked=True))
        self._reset_single_rows()

    def take(self):
        """The staged column and row chunks, in arrival order; nothing stays."""
        self._seal_single_cols()
        self._seal_single_rows()
        cols, rows = self.cols, self.rows
        self.cols, self.rows = [], []
        return cols, rows

    def drop(self):
        self.cols, self.rows = [], []
        self._reset_single_cols()
        self._reset_single_rows()

    def empty(self):
        return not (self.cols or self.rows or self._c_lo or self._r_idx)
