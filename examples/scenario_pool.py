"""Scenarios of one model solved in a process pool.

A workshop makes tables (profit 30) and chairs (profit 20) from wood. A table
takes 4 units of wood and 2 hours, a chair 2 units and 2 hours; there are 100
hours. Wood is uncertain: each scenario fixes the units that arrive. The base
model is built once, pickled to the workers with its variables, and each
worker adds its scenario's wood limit to its own copy and solves it.

Known answer, by hand: per unit of wood a table earns 7.5 and a chair 10, per
hour 15 and 10. With w units of wood: w <= 100 makes wood the only limit, so
chairs only: 10 w. For 100 <= w <= 200 both limits bind: tables t and chairs c
with 4t + 2c = w and 2t + 2c = 100 give t = (w - 100) / 2, c = 50 - t, profit
30t + 20c = 1000 + 5(w - 100). Beyond 200 wood hours limit: 50 tables, 1500.
"""

import pickle
import sys
from concurrent.futures import ProcessPoolExecutor

import kestpy as kp


def base_model():
    m = kp.Model("workshop")
    x = m.addVars(2, name="make")  # tables, chairs
    m.addConstr(2 * x[0] + 2 * x[1] <= 100, name="hours")
    m.setObjective(30 * x[0] + 20 * x[1], kp.KEST.MAXIMIZE)
    m.setBackend("highs")
    return m, x


def solve(state, wood):
    m, x = pickle.loads(state)  # the same variable positions in the copy
    m.addConstr(4 * x[0] + 2 * x[1] <= wood, name="wood")
    m.optimize()
    return m.ObjVal


def by_hand(wood):
    if wood <= 100:
        return 10.0 * wood
    return 1000.0 + 5.0 * (min(wood, 200) - 100)


def main():
    scenarios = [40, 100, 130, 170, 200, 260]
    state = pickle.dumps(base_model())
    with ProcessPoolExecutor(max_workers=2) as pool:
        pooled = list(pool.map(solve, [state] * len(scenarios), scenarios))
    in_turn = [solve(state, w) for w in scenarios]
    for w, p, t in zip(scenarios, pooled, in_turn):
        print(f"wood {w:4d}: profit {p:8.2f} (in turn {t:8.2f}, by hand {by_hand(w):8.2f})")
    ok = all(abs(p - t) <= 1e-9 and abs(p - by_hand(w)) <= 1e-6 for w, p, t in zip(scenarios, pooled, in_turn))
    if not ok:
        print("the pool, the solves in turn and the answer by hand disagree")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
