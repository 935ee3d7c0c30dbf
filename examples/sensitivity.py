"""What an hour of plant time is worth: duals, reduced costs and slacks.

A glass works makes doors (profit 3 per batch) and windows (profit 5). Doors
take 1 hour of plant 1 (4 hours free a week) and 3 hours of plant 3, windows
2 hours of plant 2 (12 free) and 2 hours of plant 3 (18 free).

Known answer, the textbook's: 2 batches of doors and 6 of windows, profit 36.
Plant 2 and plant 3 are full, plant 1 has 2 hours to spare. The shadow prices
(duals) are 0 for plant 1, 1.5 for plant 2 and 1 for plant 3: one more hour of
plant 3 earns 1 more. Both products are made, so both reduced costs are 0.
"""

import sys

import kestpy as kp


def plan(hours):
    m = kp.Model("glass")
    doors = m.addVar(name="doors")
    windows = m.addVar(name="windows")
    for plant, (use_doors, use_windows), free in zip(("plant1", "plant2", "plant3"),
                                                     ((1, 0), (0, 2), (3, 2)), hours):
        m.addConstr(use_doors * doors + use_windows * windows <= free, name=plant)
    m.setObjective(3 * doors + 5 * windows, kp.KEST.MAXIMIZE)
    m.setBackend("highs")
    m.optimize()
    if m.Status != kp.KEST.OPTIMAL:
        sys.exit(f"no optimal plan: status {m.Status} ({m.StatusText})")
    return m, doors, windows


hours = [4.0, 12.0, 18.0]
m, doors, windows = plan(hours)
print(f"make {doors.X:g} doors and {windows.X:g} windows for a profit of {m.ObjVal:g}")
for name, free, dual, slack in zip(("plant 1", "plant 2", "plant 3"), hours, m.Pi, m.Slack):
    print(f"  {name}: {free - slack:g} of {free:g} hours used; an extra hour is worth {dual:g}")
print(f"  reduced costs: doors {m.RC[0]:g}, windows {m.RC[1]:g}")

# A dual is the profit of one more unit of the resource, as long as the same
# constraints stay binding: solving again with an hour more shows it.
gains = []
for i in range(3):
    more = list(hours)
    more[i] += 1.0
    gains.append(plan(more)[0].ObjVal - m.ObjVal)
print("  profit of one more hour, by re-solving:", ", ".join(f"{g:g}" for g in gains))

expected: dict = {"x": (2.0, 6.0), "obj": 36.0, "Pi": [0.0, 1.5, 1.0], "RC": [0.0, 0.0], "Slack": [2.0, 0.0, 0.0]}
got = {"x": (doors.X, windows.X), "obj": m.ObjVal, "Pi": m.Pi.tolist(), "RC": m.RC.tolist(),
       "Slack": m.Slack.tolist()}


def numbers(answer: dict) -> list[float]:
    return [*answer["x"], answer["obj"], *answer["Pi"], *answer["RC"], *answer["Slack"]]


close = all(abs(a - b) <= 1e-9 for a, b in zip(numbers(expected), numbers(got)))
if not close or any(abs(g - p) > 1e-9 for g, p in zip(gains, expected["Pi"])):
    sys.exit(f"expected {expected} and gains equal to the duals, got {got} and gains {gains}")
