"""As many queens as possible on an n x n board, no two attacking each other.

Known answer: for every n >= 4 the most is n queens (one per row). The example
checks both the count and that the placement found really has no attack.
"""

import sys

import kestpy as kp

n = int(sys.argv[1]) if len(sys.argv) > 1 else 8

m = kp.Model("queens")
q = m.addVars(n, n, vtype=kp.KEST.BINARY, name="q")
cells = [(r, c) for r in range(n) for c in range(n)]
m.addConstrs((kp.quicksum(q[r, c] for c in range(n)) <= 1 for r in range(n)), name="row")
m.addConstrs((kp.quicksum(q[r, c] for r in range(n)) <= 1 for c in range(n)), name="col")
# diagonals: r - c constant, and r + c constant
m.addConstrs((kp.quicksum(q[r, c] for r, c in cells if r - c == d) <= 1
              for d in range(-(n - 2), n - 1)), name="diag")
m.addConstrs((kp.quicksum(q[r, c] for r, c in cells if r + c == s) <= 1
              for s in range(1, 2 * n - 2)), name="anti")
m.setObjective(kp.quicksum(q[r, c] for r, c in cells), kp.KEST.MAXIMIZE)
m.setBackend("highs")
m.optimize()

queens = [(r, c) for r, c in cells if q[r, c].X > 0.5]
for r in range(n):
    print(" ".join("Q" if (r, c) in queens else "." for c in range(n)))
print(f"{len(queens)} queens")

attacks = [(a, b) for i, a in enumerate(queens) for b in queens[i + 1:]
           if a[0] == b[0] or a[1] == b[1] or abs(a[0] - b[0]) == abs(a[1] - b[1])]
if len(queens) != n or round(m.ObjVal) != n or attacks:
    sys.exit(f"expected {n} queens without attacks, got {len(queens)} with attacks {attacks}")
