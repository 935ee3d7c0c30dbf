"""The floor: the model as numpy CSR arrays handed to HiGHS in one passModel.

Nothing a modelling library can do is cheaper than this, so kestpy is
reported as a multiple of it.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import highspy

NAME = "floor"
DIRECT = False

INF = highspy.kHighsInf
ROWWISE = 2   # MatrixFormat::kRowwise
MINIMIZE = 1  # ObjSense::kMinimize


@dataclass
class Arrays:
    cost: np.ndarray
    col_lower: np.ndarray
    col_upper: np.ndarray
    row_lower: np.ndarray
    row_upper: np.ndarray
    start: np.ndarray     # CSR row starts, length num_row + 1
    index: np.ndarray
    value: np.ndarray
    integrality: np.ndarray | None = None
    highs: object = None

    def __post_init__(self):
        # passModel reads integrality for every column even for an LP
        if self.integrality is None:
            self.integrality = np.zeros(len(self.cost), dtype=np.int32)



def pmedian(d) -> Arrays:
    L, C = d.L, d.C
    nx = L * C
    # columns: s_0..s_{L-1}, then x[i, a] at L + i*C + a
    cost = np.zeros(L + nx)
    cost[L:] = np.abs(d.loc[None, :] - np.arange(L)[:, None]).ravel()
    xcol = L + np.arange(nx)
    # link rows x[i,a] - s_i <= 0, row i*C + a
    link_idx = np.empty(2 * nx, dtype=np.int32)
    link_idx[0::2] = xcol
    link_idx[1::2] = np.repeat(np.arange(L), C)
    link_val = np.tile(np.array([1.0, -1.0]), nx)
    # cover rows sum_i x[i,a] = 1
    cover_idx = (L + np.arange(L)[None, :] * C + np.arange(C)[:, None]).ravel()
    # open row sum_i s_i = F
    index = np.concatenate([link_idx, cover_idx, np.arange(L)]).astype(np.int32)
    value = np.concatenate([link_val, np.ones(C * L), np.ones(L)])
    lengths = np.concatenate([np.full(nx, 2), np.full(C, L), [L]])
    start = np.zeros(len(lengths) + 1, dtype=np.int32)
    np.cumsum(lengths, out=start[1:])
    row_lower = np.concatenate([np.full(nx, -INF), np.ones(C), [float(d.F)]])
    row_upper = np.concatenate([np.zeros(nx), np.ones(C), [float(d.F)]])
    return Arrays(cost, np.zeros(L + nx), np.ones(L + nx), row_lower, row_upper,
                  start, index, value)


def queens(d) -> Arrays:
    N = d.N
    idx = np.arange(N * N, dtype=np.int32).reshape(N, N)
    flipped = idx[:, ::-1]
    diags = [idx.diagonal(k) for k in range(-N + 1, N)]
    antis = [flipped.diagonal(k) for k in range(-N + 1, N)]
    pieces = [idx.ravel(), idx.T.ravel()] + diags + antis
    lengths = np.concatenate([np.full(2 * N, N),
                              [len(p) for p in diags], [len(p) for p in antis]])
    index = np.concatenate(pieces).astype(np.int32)
    start = np.zeros(len(lengths) + 1, dtype=np.int32)
    np.cumsum(lengths, out=start[1:])
    nrow = len(lengths)
    row_lower = np.concatenate([np.ones(2 * N), np.full(nrow - 2 * N, -INF)])
    return Arrays(np.zeros(N * N), np.zeros(N * N), np.ones(N * N),
                  row_lower, np.ones(nrow), start, index, np.ones(len(index)),
                  integrality=np.ones(N * N, dtype=np.int32))


def basic(d) -> Arrays:
    N = d.N
    n = N * N
    # columns: x[i,j] at i*N + j, y[i,j] at n + i*N + j
    cost = np.concatenate([np.full(n, 2.0), np.ones(n)])
    xs = np.arange(n, dtype=np.int32)
    index = np.empty(4 * n, dtype=np.int32)
    # rows 0..n-1: x - y >= i; rows n..2n-1: x + y >= 0
    index[0:2 * n:2] = xs
    index[1:2 * n:2] = xs + n
    index[2 * n::2] = xs
    index[2 * n + 1::2] = xs + n
    value = np.ones(4 * n)
    value[1:2 * n:2] = -1.0
    start = np.arange(0, 4 * n + 1, 2, dtype=np.int32)
    row_lower = np.concatenate([np.repeat(np.arange(N, dtype=float), N), np.zeros(n)])
    return Arrays(cost, np.zeros(2 * n), np.full(2 * n, INF), row_lower,
                  np.full(2 * n, INF), start, index, value)


def knapsack(d) -> Arrays:
    N = d.N
    return Arrays(-d.value.astype(float), np.zeros(N), np.ones(N),
                  np.array([-INF]), np.array([d.capacity]),
                  np.array([0, N], dtype=np.int32),
                  np.arange(N, dtype=np.int32), d.weight.astype(float),
                  integrality=np.ones(N, dtype=np.int32))


MODELS = {"pmedian": pmedian, "queens": queens, "basic": basic, "knapsack": knapsack}


def build(model: str, d) -> Arrays:
    return MODELS[model](d)


def load(a: Arrays) -> None:
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    ncol, nrow = len(a.cost), len(a.row_lower)
    status = h.passModel(ncol, nrow, len(a.index), ROWWISE, MINIMIZE, 0.0,
                         a.cost, a.col_lower, a.col_upper, a.row_lower, a.row_upper,
                         a.start, a.index, a.value,
                         a.integrality)
    if status != highspy.HighsStatus.kOk:
        raise RuntimeError(f"passModel failed: {status}")
    a.highs = h


def run0(a: Arrays) -> None:
    """A solve with time limit 0, the way load-on-solve libraries are timed."""
    a.highs.setOptionValue("time_limit", 0.0)
    a.highs.run()


def solve(a: Arrays) -> float | None:
    if a.highs is None:
        load(a)
    a.highs.run()
    return a.highs.getInfo().objective_function_value


def dims(a):
    h = a.highs
    return h.getNumCol(), h.getNumRow(), h.getNumNz()
