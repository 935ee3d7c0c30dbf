"""Blending crude oils into three gasolines, with advertising to lift demand.

A refinery buys three crude oils and blends them into three gasolines, each
with a minimum octane rating and a maximum sulfur content. Refining costs $4
a barrel, at most 14,000 barrels a day; at most 5,000 barrels of each crude
are available. Each gasoline's daily demand must be met exactly, and each
dollar spent advertising a gasoline raises its demand by 10 barrels. What
blend, and what advertising, earn the most?

This is the Sunco Oil example of Winston's "Operations Research: Applications
and Algorithms" (the section on blending problems). Its known optimum: a
daily profit of $287,750 (with $750 spent advertising gasoline 2).
"""

import sys

import kestpy as kp

gasolines = {  # price per barrel, least octane, most sulfur, daily demand
    "gas 1": (70.0, 10.0, 0.01, 3000.0),
    "gas 2": (60.0, 8.0, 0.02, 2000.0),
    "gas 3": (50.0, 6.0, 0.01, 1000.0),
}
crudes = {  # price per barrel, octane, sulfur
    "crude 1": (45.0, 12.0, 0.005),
    "crude 2": (35.0, 6.0, 0.02),
    "crude 3": (25.0, 8.0, 0.03),
}
refining, capacity, crude_limit, lift = 4.0, 14000.0, 5000.0, 10.0

m = kp.Model("blending")
use = m.addVars(crudes, gasolines, name="use")  # barrels of a crude in a gasoline
advertise = m.addVars(gasolines, name="advertise")  # dollars
m.addConstrs((use.sum("*", g) == demand + lift * advertise[g] for g, (_, _, _, demand) in gasolines.items()),
             name="demand")
m.addConstrs((use.sum(c, "*") <= crude_limit for c in crudes), name="crude")
m.addConstr(use.sum() <= capacity, name="refinery")
# The blend's octane at least the gasoline's: sum (octane_c - least) * use >= 0.
octane = {(c, g): crudes[c][1] - gasolines[g][1] for c in crudes for g in gasolines}
sulfur = {(c, g): crudes[c][2] - gasolines[g][2] for c in crudes for g in gasolines}
m.addConstrs((use.prod(octane, "*", g) >= 0 for g in gasolines), name="octane")
m.addConstrs((use.prod(sulfur, "*", g) <= 0 for g in gasolines), name="sulfur")
margin = {(c, g): gasolines[g][0] - crudes[c][0] - refining for c in crudes for g in gasolines}
m.setObjective(use.prod(margin) - advertise.sum(), kp.KEST.MAXIMIZE)

m.setBackend("highs")
m.optimize()

for g in gasolines:
    blend = ", ".join(f"{use[c, g].X:.0f} {c}" for c in crudes)
    print(f"  {g}: {blend}; advertising ${advertise[g].X:.0f}")
print(f"Optimal profit: {m.ObjVal:.2f}")

profit = sum(margin[k] * use[k].X for k in use.keys()) - sum(advertise[g].X for g in gasolines)
if m.ObjVal is None or abs(m.ObjVal - 287750) > 1e-4 or abs(profit - 287750) > 1e-4:
    sys.exit(f"expected a profit of 287750, got {m.ObjVal} (and {profit} from the blend)")
