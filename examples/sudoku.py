"""A sudoku as a binary model: x[r, c, v] = 1 when cell (r, c) holds v + 1.

Known answer: the puzzle is the example of Wikipedia's "Sudoku" article,
which has one solution, printed there too; the model must find exactly it.
"""

import sys

import kestpy as kp

puzzle = [
    "53..7....",
    "6..195...",
    ".98....6.",
    "8...6...3",
    "4..8.3..1",
    "7...2...6",
    ".6....28.",
    "...419..5",
    "....8..79",
]
solution = [
    "534678912",
    "672195348",
    "198342567",
    "859761423",
    "426853791",
    "713924856",
    "961537284",
    "287419635",
    "345286179",
]

m = kp.Model("sudoku")
x = m.addVars(9, 9, 9, vtype=kp.KEST.BINARY, name="x")
N = range(9)
m.addConstrs((kp.quicksum(x[r, c, v] for v in N) == 1 for r in N for c in N), name="cell")
m.addConstrs((kp.quicksum(x[r, c, v] for c in N) == 1 for r in N for v in N), name="row")
m.addConstrs((kp.quicksum(x[r, c, v] for r in N) == 1 for c in N for v in N), name="col")
m.addConstrs((kp.quicksum(x[3 * br + i, 3 * bc + j, v] for i in range(3) for j in range(3)) == 1
              for br in range(3) for bc in range(3) for v in N), name="box")
m.addConstrs((x[r, c, int(ch) - 1] == 1 for r, line in enumerate(puzzle)
              for c, ch in enumerate(line) if ch != "."), name="given")
m.setBackend("highs")
m.optimize()

grid = ["".join(str(1 + max(N, key=lambda v: x[r, c, v].X)) for c in N) for r in N]
for r, line in enumerate(grid):
    if r and r % 3 == 0:
        print("------+-------+------")
    print(" | ".join(" ".join(line[c:c + 3]) for c in (0, 3, 6)))

if grid != solution:
    sys.exit("the grid differs from the published solution")
