"""The HiGHS backend's shortcuts on the way to HiGHS: the block scans that
clear the usual model against plain-float references, and the values HiGHS
gets when a shortcut skips a copy or a pass (signed zeros included)."""

import math
import random

import numpy as np
import pytest

from kestpy_highs import _scans

INF, NAN = math.inf, math.nan
SPECIAL = [0.0, -0.0, 1.5, -3.0, INF, -INF, NAN, 1e20, -2e25, 1e-12, -1e-9, 2e-9]


def bounds_reference(values, limit):
    return all(not math.isnan(v) and (math.isinf(v) or abs(v) < limit) for v in values)


def rising_reference(starts, idx):
    return all(a < b for r in range(len(starts) - 1)
               for a, b in zip(idx[starts[r]:starts[r + 1] - 1], idx[starts[r] + 1:starts[r + 1]]))


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
        lens = [rng.choice([0, 1, 2, 3]) for _ in range(rng.randint(0, 6))]
        starts = np.concatenate([[0], np.cumsum(lens, dtype=np.int64)]).astype(np.int32)
        idx = [rng.randrange(6) for _ in range(int(starts[-1]))]
        for r in range(len(lens)):
            if rng.random() < 0.7:  # most rows sorted, some with a repeat left in
                idx[starts[r]:starts[r + 1]] = sorted(idx[starts[r]:starts[r + 1]])
        assert (_scans.rows_rising(starts, np.array(idx, dtype=np.int32))
                == rising_reference(starts.tolist(), idx))
