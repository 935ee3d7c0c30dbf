"""Seeded data for the benchmark models, shared by every library.

Each generator returns a plain object with numpy arrays (for the vectorised
writers: linopy and the numpy floor) and the same data as Python lists (for
everyone else), so that no library pays for converting the other form inside
the timed region.
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

SEED = 20240607

# p-median: the size is the number of customers C; the number of candidate
# locations L stays at 100 and the number of facilities to open is F = C / 50,
# so the largest size (C = 5000) is F = 100 with 500,100 variables and 1.5 M
# nonzeros.
PMEDIAN_LOCATIONS = 100

KNAPSACK_CAPACITY = 200.0


@dataclass
class PMedian:
    F: int
    C: int
    L: int
    loc: np.ndarray                 # loc[a]: location index of customer a
    loc_list: list = field(repr=False)


@dataclass
class Knapsack:
    N: int
    weight: np.ndarray
    value: np.ndarray
    weight_list: list = field(repr=False)
    value_list: list = field(repr=False)
    capacity: float = KNAPSACK_CAPACITY


@dataclass
class Grid:
    N: int


def pmedian(size: int) -> PMedian:
    C = int(size)
    L = PMEDIAN_LOCATIONS
    F = max(1, C // 50)
    rng = np.random.default_rng(SEED)
    loc = rng.integers(0, L, size=C)
    return PMedian(F=F, C=C, L=L, loc=loc, loc_list=loc.tolist())


def knapsack(size: int) -> Knapsack:
    N = int(size)
    rng = np.random.default_rng(SEED + 1)
    weight = rng.integers(1, 100, size=N)
    value = rng.integers(1, 100, size=N)
    return Knapsack(N=N, weight=weight, value=value,
                    weight_list=weight.tolist(), value_list=value.tolist())


def grid(size: int) -> Grid:
    return Grid(N=int(size))


GENERATORS = {
    "pmedian": pmedian,
    "queens": grid,
    "basic": grid,
    "knapsack": knapsack,
}


def make(model: str, size: int):
    return GENERATORS[model](size)


def dimensions(model: str, size: int) -> tuple[int, int, int]:
    """(variables, rows, nonzeros) of a model at a size, for the tables."""
    n = int(size)
    if model == "pmedian":
        d = pmedian(n)
        nv = d.L + d.L * d.C
        return nv, d.L * d.C + d.C + 1, 3 * d.L * d.C + d.L
    if model == "queens":
        # rows, columns, and 2N-1 diagonals in each direction
        return n * n, 2 * n + 2 * (2 * n - 1), 4 * n * n
    if model == "basic":
        return 2 * n * n, 2 * n * n, 4 * n * n
    if model == "knapsack":
        return n, 1, n
    raise KeyError(model)
