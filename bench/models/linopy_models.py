"""linopy, written as its documentation writes models: labelled variable
arrays over coordinates, vectorised constraints and sums. HiGHS receives the
model through linopy's direct path (to_highspy, one passModel)."""
from __future__ import annotations

import numpy as np
import pandas as pd
import xarray as xr
import linopy

NAME = "linopy"
DIRECT = False


def pmedian(d):
    L, C = d.L, d.C
    m = linopy.Model()
    locs = pd.RangeIndex(L, name="i")
    custs = pd.RangeIndex(C, name="a")
    s = m.add_variables(lower=0, upper=1, coords=[locs], name="s")
    x = m.add_variables(lower=0, upper=1, coords=[locs, custs], name="x")
    dist = xr.DataArray(np.abs(d.loc[None, :] - np.arange(L)[:, None]),
                        coords=[locs, custs])
    m.add_objective((dist * x).sum())
    m.add_constraints(x - s <= 0, name="link")
    m.add_constraints(x.sum("i") == 1, name="cover")
    m.add_constraints(s.sum() == d.F, name="open")
    return m


def queens(d):
    N = d.N
    m = linopy.Model()
    rows = pd.RangeIndex(N, name="i")
    cols = pd.RangeIndex(N, name="j")
    x = m.add_variables(binary=True, coords=[rows, cols], name="x")
    m.add_constraints(x.sum("j") == 1, name="row")
    m.add_constraints(x.sum("i") == 1, name="col")
    i = xr.DataArray(np.arange(N), coords=[rows])
    j = xr.DataArray(np.arange(N), coords=[cols])
    # group the cells by diagonal (i - j) and by anti-diagonal (i + j)
    diag = (i - j).rename("diag")
    anti = (i + j).rename("anti")
    m.add_constraints(x.groupby(diag).sum() <= 1, name="diag")
    m.add_constraints(x.groupby(anti).sum() <= 1, name="anti")
    m.add_objective(0 * x)  # a feasibility problem still needs one
    return m


def basic(d):
    N = d.N
    m = linopy.Model()
    coords = [pd.RangeIndex(N, name="i"), pd.RangeIndex(N, name="j")]
    x = m.add_variables(lower=0, coords=coords, name="x")
    y = m.add_variables(lower=0, coords=coords, name="y")
    m.add_constraints(x - y >= xr.DataArray(np.arange(N), coords=[coords[0]]), name="lower")
    m.add_constraints(x + y >= 0, name="sum")
    m.add_objective((2 * x).sum() + y.sum())
    return m


def knapsack(d):
    items = pd.RangeIndex(d.N, name="item")
    m = linopy.Model()
    x = m.add_variables(binary=True, coords=[items], name="x")
    w = xr.DataArray(d.weight, coords=[items])
    v = xr.DataArray(d.value, coords=[items])
    m.add_constraints((w * x).sum() <= d.capacity, name="capacity")
    m.add_objective((-v * x).sum())
    return m


MODELS = {"pmedian": pmedian, "queens": queens, "basic": basic, "knapsack": knapsack}


class Handle:
    def __init__(self, m):
        self.m = m
        self.highs = None


def build(model, d):
    return Handle(MODELS[model](d))


def load(hd):
    hd.highs = hd.m.to_highspy()
    hd.highs.setOptionValue("output_flag", False)


def run0(hd):
    hd.highs.setOptionValue("time_limit", 0.0)
    hd.highs.run()


def solve(hd):
    hd.m.solve("highs", io_api="direct", output_flag=False)
    return hd.m.objective.value if hd.m.objective.value is not None else 0.0


def dims(hd):
    h = hd.highs
    return h.getNumCol(), h.getNumRow(), h.getNumNz()
