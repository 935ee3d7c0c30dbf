"""What-if runs on a weekly production plan: change capacities and a price in
place and solve again, without rebuilding the model.

The workshop of production_planning.py (Winston's Dakota Furniture problem)
earns 280 at best. Its finishing and carpentry hours are each worth 10 a unit
at the margin (their duals), and lumber is worth nothing (it is left over); a
table earns 30, 5 short of what would make tables worth making. So:

  two more finishing hours (20 -> 22)         profit 280 + 2 * 10 = 300
  then one more carpentry hour (8 -> 9)       profit 300 + 10     = 310
  back to the base week, lumber down to 40    profit 280 (still left over)
  the base week, tables sold at 34 not 30     profit 280, still no tables

Each change reaches the HiGHS model in place, which starts from the last basis.
"""

import sys

import kestpy as kp

products = ["desk", "table", "chair"]
profit = [60.0, 30.0, 20.0]
resources = {
    "lumber": ([8.0, 6.0, 1.0], 48.0),
    "finishing": ([4.0, 2.0, 1.5], 20.0),
    "carpentry": ([2.0, 1.5, 0.5], 8.0),
}

m = kp.Model("workshop")
make = m.addVars(len(products), name="make")
m.addConstrs(
    (kp.quicksum(use[p] * make[p] for p in range(len(products))) <= available
     for use, available in resources.values()),
    name=list(resources),
)
m.addConstr(make[1] <= 5, name="table_demand")
m.setObjective(kp.quicksum(profit[p] * make[p] for p in range(len(products))), kp.KEST.MAXIMIZE)
m.setBackend("highs")

lumber, finishing, carpentry = (m.getConstrByName(name) for name in resources)
table = make[1]



def base_lumber_40():
    finishing.RHS, carpentry.RHS, lumber.RHS = 20.0, 8.0, 40.0


def tables_at_34():
    lumber.RHS, table.Obj = 48.0, 34.0


runs = [
    ("base week", lambda: None, 280.0),
    ("finishing 22 h", lambda: setattr(finishing, "RHS", 22.0), 300.0),
    ("and carpentry 9 h", lambda: setattr(carpentry, "RHS", 9.0), 310.0),
    ("base week, lumber 40", base_lumber_40, 280.0),
    ("tables at 34", tables_at_34, 280.0),
]
failed = []
for what, change, want in runs:
    change()
    m.optimize()
    plan = ", ".join(f"{make[p].X:g} {products[p]}s" for p in range(len(products)))
    print(f"{what:<22} profit {m.ObjVal:7.2f}  ({plan}; {m.IterCount} simplex iterations)")
    if m.ObjVal is None or abs(m.ObjVal - want) > 1e-6 or (what == "tables at 34" and make[1].X > 1e-9):
        failed.append(f"{what}: profit {m.ObjVal}, expected {want}")
if failed:
    sys.exit("\n".join(failed))
