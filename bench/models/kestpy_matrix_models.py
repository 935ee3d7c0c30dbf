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


def pmedian(d):
    L, C = d.L, d.C
    m = kp.Model("pmedian")
    s = m.addVars(L, lb=0.0, ub=1.0, name="s")
    x = m.addVars(L, C, lb=0.0, ub=1.0, name="x")      # x[i, a] at i * C + a
    dist = np.abs(d.loc[None, :] - np.arange(L)[:, None])
    m.setObjective(dist.ravel() @ x, kp.KEST.MINIMIZE)
    # x[i, a] <= s[i]: each row of the location's column of ones picks s[i]
    m.addMConstrs(x - sp.kron(sp.eye_array(L), np.ones((C, 1)), format="csr") @ s <= 0, name="link")
    # every customer served once: sum over i of x[i, a]
    m.addMConstrs(sp.kron(np.ones((1, L)), sp.eye_array(C), format="csr") @ x == 1, name="cover")
    m.addConstr(np.ones(L) @ s == d.F, name="open")
    return m


def queens(d):
    N = d.N
    m = kp.Model("queens")
    x = m.addVars(N, N, vtype=kp.KEST.BINARY, name="x")
    ones = np.ones((1, N))
    m.addMConstrs(sp.kron(sp.eye_array(N), ones, format="csr") @ x == 1, name="row")
    m.addMConstrs(sp.kron(ones, sp.eye_array(N), format="csr") @ x == 1, name="col")
    i, j = np.indices((N, N))
    cells = np.arange(N * N)
    diagonal = sp.csr_array((np.ones(N * N), ((j - i + N - 1).ravel(), cells)), shape=(2 * N - 1, N * N))
    anti = sp.csr_array((np.ones(N * N), ((i + j).ravel(), cells)), shape=(2 * N - 1, N * N))
    m.addMConstrs(diagonal @ x <= 1, name="diag")
    m.addMConstrs(anti @ x <= 1, name="anti")
    return m


def basic(d):
    N = d.N
    n = N * N
    m = kp.Model("basic")
    x = m.addVars(N, N, name="x")
    y = m.addVars(N, N, name="y")
    m.setObjective(np.full(n, 2.0) @ x + np.ones(n) @ y, kp.KEST.MINIMIZE)
    eye = sp.eye_array(n, format="csr")
    m.addMConstrs(x - eye @ y >= np.repeat(np.arange(N, dtype=float), N), name="lower")
    m.addMConstrs(x + eye @ y >= 0, name="sum")
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
