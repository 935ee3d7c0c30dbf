"""A diving heuristic for a 0-1 knapsack: solve the LP relaxation, fix one
fractional item, solve again, until every item is in or out. The
fixing changes bounds in place; the LP restarts from the last basis.

Items (value, weight): (60, 10), (100, 20), (120, 30); capacity 50. The LP
takes items 1 and 2 and two thirds of item 3 (240). Diving fixes the
fractional item with the largest value at 1 (or at 0 when that leaves no
feasible point) and arrives at items 2 and 3, worth 220: the optimum, which
the same model solved as a MIP (VType set to BINARY in place) confirms.
"""

import sys

import kestpy as kp

values = [60.0, 100.0, 120.0]
weights = [10.0, 20.0, 30.0]
capacity = 50.0

m = kp.Model("knapsack")
take = m.addVars(len(values), ub=1.0, name="take")
m.addConstr(kp.quicksum(w * x for w, x in zip(weights, take)) <= capacity, name="capacity")
m.setObjective(kp.quicksum(v * x for v, x in zip(values, take)), kp.KEST.MAXIMIZE)
m.setBackend("highs")

m.optimize()
print(f"LP relaxation {m.ObjVal:g}: {take.X.tolist()}")
relaxation = m.ObjVal
while True:
    fractional = [x for x in take if 1e-6 < x.X < 1 - 1e-6]
    if not fractional:
        break
    x = max(fractional, key=lambda v: v.X)
    x.LB = 1.0                      # try it in
    m.optimize()
    if m.Status != kp.KEST.OPTIMAL:
        x.LB, x.UB = 0.0, 0.0       # it does not fit: out
        m.optimize()
    print(f"fixed {x.VarName} at {x.LB:g}: {m.ObjVal:g} {take.X.tolist()}")
heuristic = m.ObjVal

# the exact answer: free the items again and make them binary, in place
take.setAttr("LB", 0.0)
take.setAttr("UB", 1.0)
take.setAttr("VType", kp.KEST.BINARY)
m.optimize()
print(f"heuristic {heuristic:g}, MIP optimum {m.ObjVal:g}")
if abs(relaxation - 240.0) > 1e-6 or abs(heuristic - 220.0) > 1e-6 or abs(m.ObjVal - 220.0) > 1e-6:
    sys.exit(f"expected 240, 220 and 220, got {relaxation}, {heuristic} and {m.ObjVal}")
