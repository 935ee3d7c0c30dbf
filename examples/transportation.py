"""Shipping cases of a product from two canneries to three markets at least cost.

Each plant can ship up to its capacity, each market must get its demand, and a
case costs $90 per thousand miles to move. How much should go from each plant
to each market?

This is the transportation problem of Dantzig, "Linear Programming and
Extensions" (Princeton University Press, 1963), section 3.3. Its known
optimum is a cost of 153.675 (thousand dollars).
"""

import sys

import kestpy as kp

capacity = {"Seattle": 350, "San Diego": 600}  # cases
demand = {"New York": 325, "Chicago": 300, "Topeka": 275}  # cases
distance = {  # thousands of miles
    ("Seattle", "New York"): 2.5, ("Seattle", "Chicago"): 1.7, ("Seattle", "Topeka"): 1.8,
    ("San Diego", "New York"): 2.5, ("San Diego", "Chicago"): 1.8, ("San Diego", "Topeka"): 1.4,
}
freight = 90.0  # dollars per case and thousand miles
cost = {route: freight * miles / 1000 for route, miles in distance.items()}  # thousands of dollars per case

m = kp.Model("transportation")
ship = m.addVars(capacity, demand, name="ship")  # cases from each plant to each market
m.addConstrs((ship.sum(plant, "*") <= cases for plant, cases in capacity.items()), name="capacity")
m.addConstrs((ship.sum("*", market) >= cases for market, cases in demand.items()), name="demand")
m.setObjective(ship.prod(cost), kp.KEST.MINIMIZE)

m.setBackend("highs")
m.optimize()

for plant, market in ship.keys():
    if ship[plant, market].X > 1e-6:
        print(f"  {plant:<9} -> {market:<8} {ship[plant, market].X:6.1f} cases")
print(f"Optimal cost: {m.ObjVal:.3f}")

paid = sum(cost[route] * ship[route].X for route in ship.keys())
served = all(sum(ship[p, market].X for p in capacity) >= cases - 1e-6 for market, cases in demand.items())
if m.ObjVal is None or abs(m.ObjVal - 153.675) > 1e-6 or abs(paid - 153.675) > 1e-6 or not served:
    sys.exit(f"expected a cost of 153.675 with every market served, got {m.ObjVal}")
