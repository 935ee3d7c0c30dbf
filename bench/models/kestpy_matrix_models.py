"""kestpy in matrix form, written the way a numpy user writes a model: the
coefficients as numpy arrays and scipy.sparse matrices, whole blocks of rows
as ``A @ x <= b`` added with ``addMConstrs``, objectives as ``c @ x``.
Loading is the same as for kestpy (``setBackend("highs")`` and the
backend's ``update``)."""
from __future__ import annotations

import numpy as np
import scipy.sparse as sp

import kestpy as kp
from bench.models.kestpy_models import dims, load, run0, solve  # noqa: F401 - the module's interface

NAME = "kestpy-matrix"
DIRECT = False


def rows_of(indices, length, ncols):
    """A 0/1 matrix whose row r holds ones at indices[r * length:(r + 1) * length]."""
    nrows = len(indices) // length
    return sp.csr_array((np.ones(len(indices)), indices, np.arange(0, len(indices) + 1, length)),
                        shape=(nrows, ncols))


def pmedian(d):
    L, C = d.L, d.C
    m = kp.Model("pmedian")
    s = m.addVars(L, lb=0.0, ub=1.0, name="s")
    x = m.addVars(L, C, lb=0.0, ub=1.0, name="x")      # x[i, a] at i * C + a
    dist = np.abs(d.loc[None, :] - np.arange(L)[:, None])
    m.setObjective(dist.ravel() @ x, kp.KEST.MINIMIZE)
    # x[i, a] <= s[i]: member i * C + a of x against s[i]
    m.addMConstrs(x - s.take(np.repeat(np.arange(L), C)) <= 0, name="link")
    # every customer served once: row a sums x[i, a] over i
    cover = rows_of(np.arange(L * C).reshape(L, C).T.ravel(), L, L * C)
    m.addMConstrs(cover @ x == 1, name="cover")
    m.addConstr(np.ones(L) @ s == d.F, name="open")
    return m


def queens(d):
    N = d.N
    m = kp.Model("queens")
    x = m.addVars(N, N, vtype=kp.KEST.BINARY, name="x")
    cells = np.arange(N * N).reshape(N, N)
    m.addMConstrs(rows_of(cells.ravel(), N, N * N) @ x == 1, name="row")
    m.addMConstrs(rows_of(cells.T.ravel(), N, N * N) @ x == 1, name="col")
    for name, board in (("diag", cells), ("anti", cells[:, ::-1])):
        lines = [board.diagonal(k) for k in range(-N + 1, N)]
        starts = np.concatenate([[0], np.cumsum([len(line) for line in lines])])
        A = sp.csr_array((np.ones(N * N), np.concatenate(lines), starts), shape=(2 * N - 1, N * N))
        m.addMConstrs(A @ x <= 1, name=name)
    return m


def basic(d):
    N = d.N
    n = N * N
    m = kp.Model("basic")
    x = m.addVars(N, N, name="x")
    y = m.addVars(N, N, name="y")
    m.setObjective(np.full(n, 2.0) @ x + np.ones(n) @ y, kp.KEST.MINIMIZE)
    # blocks of the same shape combine member by member (row-major)
    m.addMConstrs(x - y >= np.repeat(np.arange(N, dtype=float), N), name="lower")
    m.addMConstrs(x + y >= 0, name="sum")
    return m


def knapsack(d):
    m = kp.Model("knapsack")
    x = m.addVars(d.N, vtype=kp.KEST.BINARY, name="x")
    m.addConstr(d.weight @ x <= d.capacity, name="capacity")
    m.setObjective(-d.value @ x, kp.KEST.MINIMIZE)
    return m


MODELS = {"pmedian": pmedian, "queens": queens, "basic": basic, "knapsack": knapsack}


def build(model, d):
    return MODELS[model](d)
