"""Where to open depots: an uncapacitated facility location problem.

Five candidate depots, each with a fixed cost of opening; twelve shops, each
with a weekly demand, served from open depots at 3.0 per unit of demand and
unit of distance. Which depots should open, and which shop does each serve, to make
the total cost smallest?

Known answer: with every shop served from its nearest open depot, the best
choice can also be found by trying all 31 non-empty sets of open depots; the
example does that in plain Python and checks the model against it.
"""

import itertools
import math
import sys

import kestpy as kp

depots = {  # name: (x, y, cost of opening)
    "north": (5.0, 9.0, 420.0),
    "south": (5.0, 1.0, 380.0),
    "east": (9.0, 5.0, 350.0),
    "west": (1.0, 5.0, 300.0),
    "centre": (5.0, 5.0, 610.0),
}
shops = {  # name: (x, y, demand)
    "A": (1.0, 1.0, 12.0), "B": (2.0, 8.0, 7.0), "C": (4.0, 3.0, 9.0),
    "D": (6.0, 7.0, 15.0), "E": (8.0, 2.0, 6.0), "F": (9.0, 9.0, 11.0),
    "G": (3.0, 6.0, 8.0), "H": (7.0, 4.0, 10.0), "I": (0.0, 9.0, 5.0),
    "J": (10.0, 6.0, 9.0), "K": (5.0, 0.0, 13.0), "L": (6.0, 5.0, 4.0),
}
rate = 3.0  # cost of moving one unit of demand over one unit of distance
opening = {d: cost for d, (_, _, cost) in depots.items()}
cost = {(d, s): rate * shops[s][2] * math.dist(depots[d][:2], shops[s][:2]) for d in depots for s in shops}

m = kp.Model("depots")
is_open = m.addVars(depots, vtype=kp.KEST.BINARY, name="open")
serve = m.addVars(depots, shops, ub=1.0, name="serve")  # share of shop s served by depot d
m.addConstrs((serve.sum("*", s) == 1 for s in shops), name=[f"supply_{s}" for s in shops])
m.addConstrs((serve[d, s] - is_open[d] <= 0 for d in depots for s in shops), name="only_open")
m.setObjective(is_open.prod(opening) + serve.prod(cost), kp.KEST.MINIMIZE)
m.setBackend("highs")
m.optimize()

opened = [d for d in depots if is_open[d].X > 0.5]
print(f"Open depots: {', '.join(opened)}")
for s in shops:
    depot = max(depots, key=lambda d: serve[d, s].X)
    print(f"  shop {s} <- {depot}")
print(f"Optimal cost: {m.ObjVal:.3f}")


def total(open_set):
    return sum(opening[d] for d in open_set) + sum(min(cost[d, s] for d in open_set) for s in shops)


best = min((c for k in range(1, len(depots) + 1) for c in itertools.combinations(depots, k)), key=total)
print(f"By enumeration: {', '.join(best)} at {total(best):.3f}")
if abs(m.ObjVal - total(best)) > 1e-6 * total(best) or sorted(opened) != sorted(best):
    sys.exit("the model's answer differs from the enumeration")
