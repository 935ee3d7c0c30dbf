"""SCIP backend for kestpy: ``model.setBackend("scip")``.

``Model(name, env)`` returns a backend object over one ``pyscipopt.Model``,
quiet by default (``pip install "kestpy[scip]"`` brings PySCIPOpt, whose
wheels hold SCIP). kestpy drives it through the list protocol, every method
positional, as the HiGHS backend's docstring tables them: add_variable,
add_variables, add_constraint, add_constraints, set_objective, update,
set_optimizer_attr, optimize, get_var_value, get_objective_value.

PySCIPOpt has no bulk building call (its matrix API creates one variable and
one constraint at a time), so this backend has no array-channel methods:
variables and rows go into SCIP as they arrive.

Variables are numbered 0, 1, 2, ... in arrival order. A missing lower bound
is 0.0, a missing upper bound +inf, a missing type "C". "B" is an integer
variable with its bounds clipped to [0, 1]. A prefix name p names variable i
of the batch p_i. A constraint means sum(coeff * x) + constant (sense) rhs;
the constant moves into the row's sides and repeated indices add up.
``set_objective`` replaces costs, constant and sense.

Settings: any SCIP parameter by its own name ("limits/time", "limits/gap",
"presolving/maxrounds", "lp/threads", ...), plus the aliases "TimeLimit"
(limits/time), "MIPGap" (limits/gap), "Threads" (lp/threads: an ordinary SCIP
solve runs on one thread, its LP solver may use more), "OutputFlag" (SCIP's
output on or off), "Silent" (the inverse) and "SolverName" (accepted, no
effect). An unknown name or a value of the wrong kind or range issues a
``UserWarning`` naming the option (with close matches) and changes nothing.

Status numbers returned by ``optimize``, as the HiGHS backend's: 2 optimal
(also a MIP gap limit reached), 3 infeasible, 4 infeasible or unbounded,
5 unbounded, 9 time limit, 10 solution, node or stall-node limit, 11
interrupted, 1 anything else (memory or restart limit, a refused model).

Values: ``get_var_value`` and ``get_objective_value`` answer from the last
``optimize`` when SCIP holds a feasible solution and the status is not 3, 4
or 5; None otherwise, and after any change of the model since that run.

Refusals: a NaN bound, right-hand side, constant or coefficient, a lower
bound of +inf or an upper bound of -inf, or anything SCIP refuses, makes
``optimize`` warn ("SCIP refused ...") and return 1 with values None, then
and on every later ``optimize``, as nothing can be removed. A NaN in the
objective does so only until ``set_objective`` replaces it.
"""

import math

import pyscipopt
from pyscipopt.scip import Expr, ExprCons, Term

from . import _options

__all__ = ["Model"]

_INF = math.inf
_STATUS = {
    "optimal": 2,
    "gaplimit": 2,
    "infeasible": 3,
    "inforunbd": 4,
    "unbounded": 5,
    "timelimit": 9,
    "sollimit": 10,
    "bestsollimit": 10,
    "nodelimit": 10,
    "totalnodelimit": 10,
    "stallnodelimit": 10,
    "userinterrupt": 11,
    "terminate": 11,
}
_NO_VALUES = (3, 4, 5)
_TYPES = {None: "C", "C": "C", "I": "I", "B": "B"}
_SENSES = frozenset("<>=")


def _per_variable(value, count, default, what):
    if value is None:
        return [default] * count
    if isinstance(value, (int, float)):
        return [float(value)] * count
    if len(value) != count:
        raise ValueError(f"{what}: {len(value)} values for {count} variables")
    return [float(v) for v in value]


def _batch_names(names, count):
    if names is None:
        return [""] * count
    if isinstance(names, str):
        return [f"{names}_{i}" for i in range(count)] if names else [""] * count
    if len(names) != count:
        raise ValueError(f"variable names: {len(names)} names for {count} variables")
    return [n or "" for n in names]


class _Refused(Exception):
    """SCIP cannot take the model; nothing can be removed, so it stays so."""


class Model:
    """One SCIP model behind the kestpy backend object protocol."""

    def __init__(self, name=None, env=None):
        self.name = name
        self._m = pyscipopt.Model(name or "kestpy")
        self._m.hideOutput(True)
        self._vars = []
        self._terms = []
        self._nrows = 0
        self._offset = 0.0
        # why SCIP cannot take the model (for good), or the objective (until replaced)
        self._refused = None
        self._objective_refused = None
        # the first variable whose bounds are empty: the model is infeasible
        self._empty_domain = None
        # SCIP is past its problem stage and must drop its transformed copy before a change
        self._transformed = False
        self._valid = False
        self._values = None
        self._objval = None

    def _change(self):
        self._valid = False
        self._values = None
        self._objval = None
        if self._transformed:
            self._m.freeTransform()
            self._transformed = False

    def _refuse(self, reason):
        if self._refused is None:
            self._refused = reason

    # -- protocol: building -----------------------------------------------

    def add_variable(self, name, vtype, lb, ub):
        if vtype not in _TYPES:
            raise ValueError(f"unknown variable type {vtype!r} (expected 'C', 'B' or 'I')")
        lo = 0.0 if lb is None else float(lb)
        hi = _INF if ub is None else float(ub)
        self._change()
        return self._add(name or "", _TYPES[vtype], lo, hi)

    def _add(self, name, vtype, lo, hi):
        index = len(self._vars)
        if vtype == "B":
            vtype, lo, hi = "I", max(lo, 0.0), min(hi, 1.0)
        if math.isnan(lo) or math.isnan(hi) or lo == _INF or hi == -_INF:
            self._refuse(f"variable {index} has the bounds [{lo}, {hi}]")
            lo, hi = 0.0, 0.0
        elif lo > hi:
            if self._empty_domain is None:
                self._empty_domain = index
            lo = hi
        # SCIP takes None for an infinite bound
        var = self._m.addVar(name, vtype=vtype, lb=None if lo == -_INF else lo, ub=None if hi == _INF else hi)
        self._vars.append(var)
        self._terms.append(Term(var))
        return index

    def add_variables(self, count, names, types, lb, ub):
        count = int(count)
        if count < 0:
            raise ValueError(f"negative variable count {count}")
        lo = _per_variable(lb, count, 0.0, "lower bounds")
        hi = _per_variable(ub, count, _INF, "upper bounds")
        if types is None:
            types = ["C"] * count
        elif len(types) != count:
            raise ValueError(f"types: {len(types)} values for {count} variables")
        bad = set(types) - set(_TYPES)
        if bad:
            raise ValueError(f"unknown variable type {sorted(bad, key=repr)[0]!r} (expected 'C', 'B' or 'I')")
        labels = _batch_names(names, count)
        self._change()
        start = len(self._vars)
        for i in range(count):
            self._add(labels[i], types[i], lo[i], hi[i])
        return list(range(start, start + count))

    def _expr(self, indices, coeffs, what):
        """The linear expression, repeats added up and zeros dropped; None
        when a coefficient is NaN."""
        if len(indices) != len(coeffs):
            raise ValueError(f"{what}: {len(indices)} indices and {len(coeffs)} coefficients")
        if not indices:
            return Expr({})
        n = len(self._vars)
        if min(indices) < 0 or max(indices) >= n:
            bad = next(j for j in indices if not 0 <= j < n)
            raise IndexError(f"{what}: variable index {bad} out of range ({n} variables)")
        values = [float(c) for c in coeffs]
        total = sum(values)
        # a NaN makes the sum NaN; so does inf - inf, hence the second look
        if total != total and any(c != c for c in values):
            return None
        # one Term per variable, made once: building them costs more than the rest
        terms = dict(zip(map(self._terms.__getitem__, indices), values))
        if len(terms) != len(indices):
            terms = {}
            for j, c in zip(indices, values):
                key = self._terms[j]
                terms[key] = terms.get(key, 0.0) + c
        if 0.0 in terms.values():
            terms = {k: c for k, c in terms.items() if c != 0.0}
        return Expr(terms)

    def add_constraint(self, indices, coeffs, sense, rhs, name, constant):
        if sense not in _SENSES:
            raise ValueError(f"unknown constraint sense {sense!r} (expected '<', '>' or '=')")
        row = self._nrows
        expr = self._expr(indices, coeffs, f"constraint {row}")
        self._change()
        self._row(row, expr, sense, float(rhs) - float(constant), name or "")
        self._nrows += 1
        return row

    def _row(self, row, expr, sense, bound, name):
        if expr is None or math.isnan(bound):
            self._refuse(f"constraint {row} holds a NaN")
            return
        lhs = None if sense == "<" or bound == -_INF else bound
        rhs = None if sense == ">" or bound == _INF else bound
        if (sense == "=" and math.isinf(bound)) or (sense == "<" and bound == -_INF) or (
                sense == ">" and bound == _INF):
            self._refuse(f"constraint {row} has the infinite side {bound}")
            return
        try:
            self._m.addCons(ExprCons(expr, lhs=lhs, rhs=rhs), name=name)
        except Exception as e:  # SCIP's own refusals: a coefficient it calls infinite, ...
            self._refuse(f"constraint {row}: {e}")

    def add_constraints(self, indices, coeffs, constants, senses, rhss, names):
        n = len(indices)
        for what, seq in (("coefficient lists", coeffs), ("constants", constants),
                          ("senses", senses), ("right-hand sides", rhss)):
            if len(seq) != n:
                raise ValueError(f"{len(seq)} {what} for {n} constraints")
        if names is not None and len(names) != n:
            raise ValueError(f"{len(names)} names for {n} constraints")
        bad = set(senses) - _SENSES
        if bad:
            raise ValueError(f"unknown constraint sense {sorted(bad, key=repr)[0]!r} (expected '<', '>' or '=')")
        start = self._nrows
        exprs = [self._expr(indices[i], coeffs[i], f"constraint {start + i}") for i in range(n)]
        self._change()
        for i in range(n):
            self._row(start + i, exprs[i], senses[i], float(rhss[i]) - float(constants[i]),
                      (names[i] or "") if names is not None else "")
        self._nrows += n
        return list(range(start, start + n))

    def set_objective(self, indices, coeffs, constant, sense):
        if sense not in (-1, 1):
            raise ValueError(f"objective sense {sense!r} (expected -1 or +1)")
        expr = self._expr(indices, coeffs, "objective")
        constant = float(constant)
        self._change()
        if expr is None or math.isnan(constant):
            self._objective_refused = "the objective holds a NaN"
            return
        self._objective_refused = None
        # the constant stays out of SCIP, which takes an offset of 1e20 or more
        # for infinite and then solves another problem
        self._offset = constant
        try:
            self._m.setObjective(expr, "maximize" if sense == 1 else "minimize")
        except Exception as e:
            self._objective_refused = f"the objective: {e}"

    def update(self):
        pass

    # -- protocol: settings, solving, values ----------------------------------

    def set_optimizer_attr(self, name, value):
        _options.apply(self._m, name, value)

    def optimize(self):
        self._change()
        reason = self._refused or self._objective_refused
        if reason is not None:
            # past warn() and this method: the user's optimize line
            _options.warn(f"SCIP refused the model: {reason}; not solved", stacklevel=3)
            return 1
        if self._empty_domain is not None:
            return 3
        self._m.optimize()
        self._transformed = True
        status = _STATUS.get(self._m.getStatus(), 1)
        if status not in _NO_VALUES and self._m.getNSols() > 0:
            self._valid = True
            self._objval = float(self._m.getObjVal()) + self._offset
        return status

    def get_var_value(self, index):
        if not self._valid:
            return None
        if self._values is None:
            sol = self._m.getBestSol()
            self._values = [float(self._m.getSolVal(sol, v)) for v in self._vars]
        if 0 <= index < len(self._values):
            return self._values[index] + 0.0
        return None

    def get_objective_value(self):
        return self._objval if self._valid else None

    @property
    def scip(self):
        """The pyscipopt.Model holding the model."""
        return self._m

    def __repr__(self):
        return f"<kestpy_scip.Model {self.name!r}: {len(self._vars)} variables, {self._nrows} constraints>"
