"""Scans of model-sized arrays that answer the usual question, "is anything
wrong here?", a cache-sized block at a time.

Each scan answers True only when the full check it stands for would find
nothing; on False the caller runs that check to learn what and where. Working
in blocks keeps every temporary small and warm in the cache: a model-sized
temporary costs a first touch of each of its pages, which on a loaded machine
costs more than the arithmetic.
"""

import math

import numpy as np

# 32768 float64 values: 256 KiB, within a core's L2 cache
_BLOCK = 1 << 15


def _blocks(size):
    for start in range(0, size, _BLOCK):
        yield start, min(start + _BLOCK, size)


def bounds_clean(values, limit):
    """True when values hold no NaN and no finite value of size limit or more
    (HiGHS would read it as infinite); infinite values are fine."""
    size = values.size
    absolute = np.empty(min(size, _BLOCK))
    below = np.empty(absolute.size, dtype=np.bool_)
    infinite = np.empty(absolute.size, dtype=np.bool_)
    for start, stop in _blocks(size):
        x = values[start:stop]
        # two reductions clear the usual block, all small or all one infinity;
        # a NaN makes both NaN and fails them
        low, high = x.min(), x.max()
        if -limit < low and high < limit or low == high and math.isinf(low):
            continue
        a, ok = absolute[:stop - start], below[:stop - start]
        np.abs(x, out=a)
        np.less(a, limit, out=ok)  # NaN fails here
        if ok.all():
            continue
        inf = infinite[:stop - start]
        np.equal(a, math.inf, out=inf)
        np.logical_or(ok, inf, out=ok)
        if not ok.all():
            return False
    return True


def coefficients_clean(values, tiny):
    """True when every value's size is above tiny (HiGHS drops the others as
    zero); such values hold no NaN and no zero."""
    tiny = max(tiny, 0.0)
    size = values.size
    absolute = np.empty(min(size, _BLOCK))
    above = np.empty(absolute.size, dtype=np.bool_)
    for start, stop in _blocks(size):
        x = values[start:stop]
        # a block of one sign is cleared by its nearest value to zero
        if x.min() > tiny or x.max() < -tiny:
            continue
        a, ok = absolute[:stop - start], above[:stop - start]
        np.abs(x, out=a)
        np.greater(a, tiny, out=ok)
        if not ok.all():
            return False
    return True


def rising(idx):
    """True when the indices strictly rise."""
    pairs = idx.size - 1
    # indices fit their own type, and so does the difference of two (none is negative)
    step = np.empty(max(min(pairs, _BLOCK), 0), dtype=idx.dtype)
    for start, stop in _blocks(pairs):
        d = step[:stop - start]
        np.subtract(idx[start + 1:stop + 1], idx[start:stop], out=d)
        if d.min() <= 0:
            return False
    return True


def rows_monotone(starts, idx):
    """True when the indices of every row (CSR: row r holds idx[starts[r]:
    starts[r + 1]], starts sorted) strictly rise or strictly fall, so that no
    row names a variable twice. The indices are taken as checked: none is
    negative."""
    pairs = idx.size - 1
    if pairs < 1:
        return True
    size = min(pairs, _BLOCK)
    step = np.empty(size, dtype=idx.dtype)
    sign = np.empty(size, dtype=np.int8)
    product = np.empty(size, dtype=np.int8)
    # the row starts within each block, found at once; the keys in the type of
    # starts, as searchsorted otherwise converts the whole of starts
    edges = np.append(np.arange(1, pairs + 1, _BLOCK, dtype=np.int64), pairs + 1)
    within = np.searchsorted(starts, edges.astype(starts.dtype, copy=False))
    before = 0  # the sign of the pair before the block, 0 when it joins two rows
    for block, (start, stop) in enumerate(_blocks(pairs)):
        d, s = step[:stop - start], sign[:stop - start]
        # d[k] joins entries start + k and start + k + 1: its sign tells
        # rising, falling or a repeat
        np.subtract(idx[start + 1:stop + 1], idx[start:stop], out=d)
        # a pair whose second entry starts a row joins two rows: any sign goes
        cuts = starts[within[block]:within[block + 1]] - (start + 1)
        d[cuts] = 1
        if before >= 0 and d.min() > 0:
            # every row rising, the usual case
            before = 0 if cuts.size and cuts[-1] == d.size - 1 else 1
            continue
        np.subtract(idx[start + 1:stop + 1], idx[start:stop], out=d)
        np.sign(d, out=s, casting="unsafe")
        s[cuts] = 2
        if not s.all():
            return False  # a repeat within a row
        s[cuts] = 0
        # a turn within a row: two neighbouring pairs of opposite signs
        if before * s[0] < 0:
            return False
        p = product[:s.size - 1]
        np.multiply(s[:-1], s[1:], out=p)
        if p.size and p.min() < 0:
            return False
        before = s[-1]
    return True
