"""Shipping cases of canned goods from two plants to three markets at the
least freight cost: the problem of transportation.py written in matrix form,
the data as numpy arrays and each family of constraints one block, A @ x <= b.

Dantzig's classic transportation problem: Seattle can ship 350 cases, San
Diego 600; New York needs 325, Chicago 300, Topeka 275. Freight costs 90
dollars per case and thousand miles over these distances (thousand miles):

                New York  Chicago  Topeka
    Seattle        2.5      1.7      1.8
    San Diego      2.5      1.8      1.4

Known answer: the least cost is 153.675 (thousand dollars). The markets'
duals, what one more case delivered there would cost, are 0.225 for New York,
0.153 for Chicago and 0.126 for Topeka (the plants' are 0); the two unused
routes would cost 0.036 (Seattle to Topeka) and 0.009 (San Diego to Chicago)
more per case than the routes in use (their reduced costs).
"""

import sys

import numpy as np

import kestpy as kp

supply = np.array([350.0, 600.0])
demand = np.array([325.0, 300.0, 275.0])
distance = np.array([[2.5, 1.7, 1.8],
                     [2.5, 1.8, 1.4]])
cost = 90.0 * distance / 1000.0
plants, markets = distance.shape

m = kp.Model("transportation")
ship = m.addVars(plants, markets, name="ship")            # ship[i, j], row-major
# row i of the first matrix sums plant i's routes, row j of the second market j's
leaving = np.kron(np.eye(plants), np.ones((1, markets)))
arriving = np.kron(np.ones((1, plants)), np.eye(markets))
capacity = m.addMConstrs(leaving @ ship <= supply, name="supply")
needs = m.addMConstrs(arriving @ ship >= demand, name="demand")
m.setObjective(cost.ravel() @ ship, kp.KEST.MINIMIZE)
m.setBackend("highs")
m.optimize()
if m.Status != kp.KEST.OPTIMAL:
    sys.exit(f"no optimal plan: status {m.Status} ({m.StatusText})")

flow = ship.X
print(f"Optimal cost: {m.ObjVal:.6g}")
for i, plant in enumerate(("Seattle", "San Diego")):
    print(f"  {plant:9s} ships", ", ".join(f"{q:g}" for q in flow[i]))
print("  markets' duals:", ", ".join(f"{p:.3f}" for p in needs.Pi))
print("  reduced costs of the routes:", np.round(ship.RC, 3).tolist())

# The shipments themselves may differ between optimal plans; the cost, the
# duals and the reduced costs may not.
problems = []
if abs(m.ObjVal - 153.675) > 1e-6 or abs(float(cost.ravel() @ flow.ravel()) - m.ObjVal) > 1e-6:
    problems.append(f"cost {m.ObjVal}, expected 153.675")
if (flow < -1e-9).any() or (flow.sum(axis=1) > supply + 1e-6).any() or (flow.sum(axis=0) < demand - 1e-6).any():
    problems.append(f"the plan {flow.tolist()} breaks a supply or a demand")
if not np.allclose(needs.Pi, [0.225, 0.153, 0.126], atol=1e-9) or not np.allclose(capacity.Pi, 0.0, atol=1e-9):
    problems.append(f"duals {capacity.Pi.tolist()} {needs.Pi.tolist()}")
if not np.allclose(ship.RC, [[0.0, 0.0, 0.036], [0.0, 0.009, 0.0]], atol=1e-9):
    problems.append(f"reduced costs {ship.RC.tolist()}")
if problems:
    sys.exit("; ".join(problems))
