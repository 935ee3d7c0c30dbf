"""Weekly production plan for a furniture workshop.

The workshop makes desks, tables and chairs. Each product needs lumber and
hours of finishing and carpentry; the week has only so much of each, and the
market takes at most five tables. How many of each should be made to earn the
most?

This is the Dakota Furniture problem from Winston's "Operations Research:
Applications and Algorithms". Its known optimum: 2 desks, no tables and
8 chairs, for a profit of 280.
"""

import sys

import kestpy as kp

products = ["desk", "table", "chair"]
profit = [60.0, 30.0, 20.0]
# what one unit of each product uses, and what the week has
resources = {
    "lumber": ([8.0, 6.0, 1.0], 48.0),
    "finishing": ([4.0, 2.0, 1.5], 20.0),
    "carpentry": ([2.0, 1.5, 0.5], 8.0),
}
table_demand = 5.0

m = kp.Model("workshop")
make = m.addVars(len(products), name="make")
m.addConstrs(
    (kp.quicksum(use[p] * make[p] for p in range(len(products))) <= available
     for use, available in resources.values()),
    name=list(resources),
)
m.addConstr(make[1] <= table_demand, name="table_demand")
m.setObjective(kp.quicksum(profit[p] * make[p] for p in range(len(products))), kp.KEST.MAXIMIZE)

m.setBackend("highs")
m.optimize()

print("Production plan for the week:")
for p, product in enumerate(products):
    print(f"  {product:<6} {make[p].X:6.2f}")
print(f"  profit {m.ObjVal:6.2f}")

plan = [make[p].X for p in range(len(products))]
if m.ObjVal is None or abs(m.ObjVal - 280.0) > 1e-6 or \
        any(abs(got - want) > 1e-6 for got, want in zip(plan, [2.0, 0.0, 8.0])):
    sys.exit(f"expected 2 desks, 0 tables, 8 chairs and profit 280, got {plan} and {m.ObjVal}")
