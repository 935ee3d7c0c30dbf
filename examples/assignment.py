"""Which machine should do which job, to finish all four in the fewest hours?

Four machines, four jobs; each job goes to one machine and each machine takes
one job. The hours each machine needs for each job are given.

This is the Machineco example of Winston's "Operations Research: Applications
and Algorithms" (the section on assignment problems). Its known optimum: 15
hours, with machine 1 on job 2, machine 2 on job 4, machine 3 on job 3 and
machine 4 on job 1.
"""

import sys

import kestpy as kp

machines = ["machine 1", "machine 2", "machine 3", "machine 4"]
jobs = ["job 1", "job 2", "job 3", "job 4"]
hours = dict(zip(
    [(m, j) for m in machines for j in jobs],
    [14, 5, 8, 7,
     2, 12, 6, 5,
     7, 8, 3, 9,
     2, 4, 6, 10],
))

m = kp.Model("assignment")
assign = m.addVars(machines, jobs, vtype=kp.KEST.BINARY, name="assign")
m.addConstrs((assign.sum(machine, "*") == 1 for machine in machines), name="one_job")
m.addConstrs((assign.sum("*", job) == 1 for job in jobs), name="one_machine")
m.setObjective(assign.prod(hours), kp.KEST.MINIMIZE)

m.setBackend("highs")
m.optimize()

plan = {machine: job for machine, job in assign.keys() if assign[machine, job].X > 0.5}
for machine, job in plan.items():
    print(f"  {machine} -> {job} ({hours[machine, job]} hours)")
print(f"Optimal hours: {m.ObjVal:g}")

expected = {"machine 1": "job 2", "machine 2": "job 4", "machine 3": "job 3", "machine 4": "job 1"}
if m.ObjVal is None or abs(m.ObjVal - 15) > 1e-6 or plan != expected:
    sys.exit(f"expected 15 hours with {expected}, got {m.ObjVal} with {plan}")
