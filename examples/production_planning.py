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

profit = {"desk": 60.0, "table": 30.0, "chair": 20.0}
# what one unit of each product uses, and what the week has
uses = {
    "lumber": {"desk": 8.0, "table": 6.0, "chair": 1.0},
    "finishing": {"desk": 4.0, "table": 2.0, "chair": 1.5},
    "carpentry": {"desk": 2.0, "table": 1.5, "chair": 0.5},
}
available = {"lumber": 48.0, "finishing": 20.0, "carpentry": 8.0}
table_demand = 5.0

m = kp.Model("workshop")
make = m.addVars(profit, name="make")  # one variable per product, keyed by its name
m.addConstrs((make.prod(uses[r]) <= available[r] for r in uses), name=list(uses))
m.addConstr(make["table"] <= table_demand, name="table_demand")
m.setObjective(make.prod(profit), kp.KEST.MAXIMIZE)

m.setBackend("highs")
m.optimize()

print("Production plan for the week:")
for product in make.keys():
    print(f"  {product:<6} {make[product].X:6.2f}")
print(f"Optimal profit: {m.ObjVal:.2f}")

plan = {product: make[product].X for product in make.keys()}
if m.ObjVal is None or abs(m.ObjVal - 280.0) > 1e-6 or \
        any(abs(plan[p] - want) > 1e-6 for p, want in {"desk": 2.0, "table": 0.0, "chair": 8.0}.items()):
    sys.exit(f"expected 2 desks, 0 tables, 8 chairs and profit 280, got {plan} and {m.ObjVal}")
