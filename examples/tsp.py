"""The shortest round trip through five Indiana cities.

A salesperson lives in Gary and must visit Fort Wayne, Evansville, Terre Haute
and South Bend once each, then return home. Which order makes the trip
shortest?

Modelled with a binary variable per ordered pair of cities and the
Miller-Tucker-Zemlin constraints, which forbid tours that do not pass through
home. This is the Joe State example of Winston's "Operations Research:
Applications and Algorithms" (the section on the traveling salesperson
problem). Its known optimum: 668 miles, Gary - Evansville - Terre Haute -
Fort Wayne - South Bend - Gary (or its reverse).
"""

import sys

import kestpy as kp

cities = ["Gary", "Fort Wayne", "Evansville", "Terre Haute", "South Bend"]
miles = [  # road miles between the cities, in the order above
    [0, 132, 217, 164, 58],
    [132, 0, 290, 201, 79],
    [217, 290, 0, 113, 303],
    [164, 201, 113, 0, 196],
    [58, 79, 303, 196, 0],
]
home, n = cities[0], len(cities)
distance = {(a, b): miles[i][j] for i, a in enumerate(cities) for j, b in enumerate(cities) if a != b}

m = kp.Model("tsp")
go = m.addVars(list(distance), vtype=kp.KEST.BINARY, name="go")  # a sparse set: travel a -> b
order = m.addVars(cities[1:], lb=1, ub=n - 1, name="order")  # the place of each city in the tour
m.addConstrs((go.sum(city, "*") == 1 for city in cities), name="leave")
m.addConstrs((go.sum("*", city) == 1 for city in cities), name="arrive")
m.addConstrs((order[a] - order[b] + (n - 1) * go[a, b] <= n - 2
              for a, b in distance if a != home and b != home), name="mtz")
m.setObjective(go.prod(distance), kp.KEST.MINIMIZE)

m.setBackend("highs")
m.optimize()

successor = {a: b for a, b in go.keys() if go[a, b].X > 0.5}
tour = [home]
while len(tour) <= n and successor.get(tour[-1], home) != home:
    tour.append(successor[tour[-1]])
length = sum(distance[a, b] for a, b in zip(tour, tour[1:] + [home]))
print(" -> ".join(tour + [home]))
print(f"Optimal length: {m.ObjVal:g}")

if m.ObjVal is None or abs(m.ObjVal - 668) > 1e-6 or sorted(tour) != sorted(cities) or length != 668:
    sys.exit(f"expected a tour of 668 miles through every city, got {tour} and {m.ObjVal}")
