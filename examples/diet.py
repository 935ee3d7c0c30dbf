"""The cheapest diet that meets a day's needs.

Six foods, each with a price per serving and a limit on servings, and three
needs: at least 2000 kcal, 55 g of protein and 800 mg of calcium.

Known answer, by hand: calories are the need that costs money here (the
protein and calcium come along free with them). Taking calories cheapest
first, oatmeal (0.27 cents/kcal) and cherry pie (0.48 cents/kcal) go to their
limits, 4 and 2 servings, for 1280 kcal; the next cheapest, milk (0.56
cents/kcal), covers the missing 720 kcal with 4.5 servings. Cost: 1.20 + 4.00 +
4.05 = 9.25. That this is optimal is shown by pricing a kcal at 0.9/160 = 0.005625:
every unused food then costs more than its calories are worth, every food at
its limit less.
"""

import sys

import kestpy as kp

foods = ["oatmeal", "chicken", "eggs", "milk", "cherry pie", "pork and beans"]
price = [0.30, 2.40, 1.30, 0.90, 2.00, 1.90]
max_servings = [4, 3, 2, 8, 2, 2]
content = {  # per serving
    "calories": [110, 205, 160, 160, 420, 260],
    "protein": [4, 32, 13, 8, 4, 14],
    "calcium": [2, 12, 54, 285, 22, 80],
}
need = {"calories": 2000, "protein": 55, "calcium": 800}

m = kp.Model("diet")
servings = m.addVars(len(foods), ub=[float(s) for s in max_servings], name="servings")
for nutrient, amounts in content.items():
    m.addConstr(kp.quicksum(amounts[f] * servings[f] for f in range(len(foods))) >= need[nutrient],
                name=nutrient)
m.setObjective(kp.quicksum(price[f] * servings[f] for f in range(len(foods))), kp.KEST.MINIMIZE)

m.setBackend("highs")
m.optimize()

print("Cheapest diet:")
for f, food in enumerate(foods):
    if servings[f].X > 1e-9:
        print(f"  {servings[f].X:4.1f} x {food}")
print(f"  cost {m.ObjVal:.2f}")

expected = {"oatmeal": 4.0, "milk": 4.5, "cherry pie": 2.0}
got = {food: servings[f].X for f, food in enumerate(foods)}
if abs(m.ObjVal - 9.25) > 1e-6 or any(abs(got[food] - expected.get(food, 0.0)) > 1e-6 for food in foods):
    sys.exit(f"expected cost 9.25 with {expected}, got {m.ObjVal} with {got}")
