"""A minimal kestpy backend over scipy.optimize.milp: ``model.setBackend("scipy")``.

It keeps the model in Python lists and hands it to ``milp`` at ``optimize``.
It speaks the list protocol only (the README's table) and passes the
conformance kit: see test_kestpy_scipy.py beside it. Settings: "TimeLimit",
"OutputFlag" and "Silent".
"""

import math
import warnings

import numpy as np
from scipy.optimize import Bounds, LinearConstraint, milp
from scipy.sparse import csr_array

# milp's status: 0 optimal, 1 iteration or time limit, 2 infeasible, 3 unbounded, 4 other
_STATUS = {0: 2, 2: 3, 3: 5}


class Model:
    def __init__(self, name, env):
        self.lb, self.ub, self.integer = [], [], []
        self.rows = []            # (indices, coefficients, lower side, upper side)
        self.cost, self.offset, self.sense = {}, 0.0, -1
        self.options = {"disp": False}
        self.solution = None      # (values, objective value) of the last solve, until a change

    def add_variable(self, name, vtype, lb, ub):
        lo = 0.0 if lb is None else float(lb)
        hi = math.inf if ub is None else float(ub)
        if vtype == "B":
            lo, hi = max(lo, 0.0), min(hi, 1.0)
        self.solution = None
        self.lb.append(lo)
        self.ub.append(hi)
        self.integer.append(vtype in ("I", "B"))
        return len(self.lb) - 1

    def add_variables(self, count, names, types, lb, ub):
        def per_variable(v):
            return v if isinstance(v, (list, tuple)) else [v] * count

        types = types or [None] * count
        return [self.add_variable(None, t, lo, hi) for t, lo, hi in zip(types, per_variable(lb), per_variable(ub))]

    def add_constraint(self, indices, coeffs, sense, rhs, name, constant):
        bound = float(rhs) - float(constant)
        self.solution = None
        self.rows.append((list(indices), [float(c) for c in coeffs],
                          -math.inf if sense == "<" else bound, math.inf if sense == ">" else bound))
        return len(self.rows) - 1

    def add_constraints(self, indices, coeffs, constants, senses, rhss, names):
        return [self.add_constraint(*row, None, c) for *row, c in zip(indices, coeffs, senses, rhss, constants)]

    def set_objective(self, indices, coeffs, constant, sense):
        self.solution = None
        self.cost = {}
        for j, c in zip(indices, coeffs):
            self.cost[j] = self.cost.get(j, 0.0) + c
        self.offset, self.sense = float(constant), sense

    def update(self):
        pass

    def set_optimizer_attr(self, name, value):
        if name == "TimeLimit":
            self.options["time_limit"] = float(value)
        elif name in ("OutputFlag", "Silent"):
            self.options["disp"] = bool(value) != (name == "Silent")
        else:
            warnings.warn(f"kestpy_scipy: unknown option {name!r} ignored", UserWarning, stacklevel=3)

    def optimize(self):
        self.solution = None
        n = len(self.lb)
        if n == 0:  # every row is its constant: feasible or not
            if all(lo <= 0.0 <= hi for _, _, lo, hi in self.rows):
                self.solution = ([], self.offset)
                return 2
            return 3
        c = np.zeros(n)
        for j, v in self.cost.items():
            c[j] += v
        rows = [LinearConstraint(self._matrix(n), [r[2] for r in self.rows], [r[3] for r in self.rows])] \
            if self.rows else []
        res = milp(c if self.sense == -1 else -c, integrality=self.integer,
                   bounds=Bounds(self.lb, self.ub), constraints=rows, options=self.options)
        status = _STATUS.get(res.status, 1)
        if res.status == 1:
            status = 9 if "time" in res.message.lower() else 7
        elif res.status == 4 and "unbounded or infeasible" in res.message:
            status = 4
        if res.x is not None and status not in (3, 5):
            self.solution = ([float(v) for v in res.x], float(c @ res.x) + self.offset)
        return status

    def _matrix(self, n):
        ptr, idx, val = [0], [], []
        for indices, coeffs, _, _ in self.rows:
            idx += indices
            val += coeffs
            ptr.append(len(idx))
        matrix = csr_array((val, idx, ptr), shape=(len(self.rows), n))
        matrix.sum_duplicates()  # a row may repeat a variable; HiGHS wants each once
        return matrix

    def get_var_value(self, index):
        return None if self.solution is None else self.solution[0][index]

    def get_objective_value(self):
        return None if self.solution is None else self.solution[1]
