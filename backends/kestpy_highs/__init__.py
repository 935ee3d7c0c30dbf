"""HiGHS backend for kestpy: ``model.setBackend("highs")``.

``Model(name, env)`` returns a backend object over one ``highspy.Highs``
instance, quiet by default. kestpy drives it through the backend object
protocol: every method below takes positional arguments only.

======================  ========================================================  =====================
method                  positional arguments                                      result
======================  ========================================================  =====================
add_variable            name or None, type "C"/"B"/"I" or None, lb or None,       index of the variable
                        ub or None
add_variables           count, names (prefix str, list of str with "" for         list of indices
                        unnamed, or None), list of types or None, lb and ub
                        (float, list of float, or None)
add_variable_arrays     lb, ub (float64 arrays), types (uint8 array of the        None
                        codes of "C"/"B"/"I"), names (sequence of str with ""
                        for unnamed, or None)
add_constraint          index list, coefficient list, ">"/"<"/"=", rhs, name or   index of the row
                        None, constant
add_constraints         index lists, coefficient lists, constants, senses, rhs,   list of indices
                        names or None
add_constraint_arrays   starts (int32/int64, count + 1 row starts from 0),        None
                        indices (int32/int64), coeffs, constants (float64),
                        senses (uint8 codes of "<"/">"/"="), rhs (float64),
                        names (sequence of str or None)
set_objective           index list, coefficient list, constant, -1 min / +1 max   None
set_objective_arrays    indices (int32/int64 array), coeffs (float64 array),      None
                        constant, -1 min / +1 max
update                  none                                                      None
set_optimizer_attr      name, value                                               False when refused,
                                                                                  else None
optimize                none                                                      status number
get_var_value           variable index                                            float or None
get_var_values          none                                                      float64 array or None
get_objective_value     none                                                      float or None
get_solve_info          none                                                      dict (below) or None
get_constraint_duals    none                                                      float64 array or None
get_reduced_costs       none                                                      float64 array or None
get_constraint_slacks   none                                                      float64 array or None
set_variable_bounds     indices (int64 array), lb, ub (float64 arrays)            True, False when not
                                                                                  applied
set_variable_types      indices, types (uint8 codes of "C"/"B"/"I")               as above
set_variable_names      indices, list of str                                      as above
set_objective_coefficients  indices, coeffs (float64)                             as above
set_constraint_bounds   indices, lower, upper on sum(coeff * x) (float64,         as above
                        -inf/+inf for an open side)
set_coefficients        rows, cols (int64), values (float64; 0 removes)           as above
set_constraint_names    indices, list of str                                      as above
set_start_values        indices, values (float64, NaN: no start)                  as above
======================  ========================================================  =====================

The ``*_arrays`` methods take buffers (a memoryview or numpy array, one
dimension) and mean what their list counterparts mean; constraint k of a batch
holds the terms starts[k] to starts[k+1] - 1. They are wrapped, not copied,
and may be kept. ``get_var_values`` answers every variable's value at once,
as a read-only array, under the same rule as ``get_var_value``.

Variables are numbered 0, 1, 2, ... in arrival order. A missing lower bound
is 0.0, a missing upper bound +inf, a missing type "C". "B" is an integer
column with its bounds clipped to [0, 1]. A prefix name p names variable i of
the batch p_i (an empty prefix names nothing). A constraint means
sum(coeff * x) + constant (sense) rhs; the constant moves into the row bounds.
Repeated indices in one constraint or objective are summed, zero
coefficients are dropped. ``set_objective`` replaces the whole objective:
costs, offset and sense.

Settings: any HiGHS option by its own name ("time_limit", "mip_rel_gap",
"presolve", "threads", "output_flag", ...), plus the aliases "TimeLimit",
"MIPGap", "Threads", "OutputFlag", "Silent" (inverted output_flag) and
"SolverName" (accepted, no effect). A switch option such as "presolve" also
takes True/False or 1/0. An unknown name or a value of the wrong kind issues a
``UserWarning`` naming the option (with close matches) and changes nothing;
``set_optimizer_attr`` then returns False, so kestpy keeps the value HiGHS
still holds for a later ``setBackend``.

Status numbers returned by ``optimize``:

======  ============================================================
number  meaning
======  ============================================================
2       optimal
3       infeasible
4       infeasible or unbounded (not told apart)
5       unbounded
7       iteration limit reached
9       time limit reached
10      solution, node or leaf limit reached
11      interrupted
1       anything else (solver error, objective bound or target,
        a refused model or objective, ...)
======  ============================================================

Interrupts: ``optimize`` called on the main thread runs HiGHS on a worker
thread and waits for it. Ctrl-C (KeyboardInterrupt) while it waits asks HiGHS
to stop at its next check. HiGHS checks between MIP phases, not inside
sub-MIPs or strong branching, so after half a second at most ``optimize``
stops waiting: status 11, with the last improving solution HiGHS handed over
(or HiGHS's own when it stopped in time) readable until the next change, and
the KeyboardInterrupt raised again, for kestpy to record the solve and pass it
on. A run still ending by itself is waited for by every later call that needs
HiGHS, and by the interpreter's exit.

Solve details: ``get_solve_info`` answers, after an ``optimize``, a dict with
``sol_count`` (1 when values can be read, else 0), ``obj_bound`` and
``iter_count`` (simplex iterations of the solve, None when HiGHS did not
run), ``mip_gap`` (HiGHS's dual bound and relative gap after a MIP solve, the gap
only with an incumbent, else None), ``runtime`` (seconds spent in ``optimize``) and ``status_text`` (the
status's name, or why the model was refused); None before any ``optimize``.
``get_constraint_duals`` (HiGHS row duals: d objective / d rhs, in either
sense) and ``get_reduced_costs`` (c - A'duals) answer, by row and by column,
after an LP solved to optimality, None otherwise (a MIP, no optimum).
``get_constraint_slacks`` answers rhs - (sum(coeff * x) + constant) of every
row whenever values can be read.

Values: ``get_var_value`` and ``get_objective_value`` answer from the last
``optimize`` when it left a feasible primal solution (an incumbent found
before a limit counts) and the model was not infeasible or unbounded; they
answer None otherwise, and after any change of the model since that run.

Refusals: a NaN bound, right-hand side, constant or coefficient, a number
HiGHS would read as another (a finite bound of the infinite_bound option's
size or more, 1e20 by default, as infinite; a nonzero coefficient of the
small_matrix_value option's size or less, 1e-9, as zero), or anything HiGHS
itself refuses (a lower bound of +inf, an upper bound of -inf, a coefficient
of 1e15 or more in size, ...) makes ``optimize`` issue a ``UserWarning``
("HiGHS refused ...", naming the variable or constraint at fault) and return
1 with values None. Variables and constraints cannot
be removed, so every later ``optimize`` does the same without solving;
building calls go on answering as before. A NaN objective coefficient or
constant, or a cost HiGHS would read as infinite (the infinite_cost option,
1e20), makes ``optimize`` warn and return 1, loading nothing, until
``set_objective`` replaces it. ``update`` refuses without a warning; the
``highs`` property raises RuntimeError with the reason.

Changes: the ``set_*`` methods above change what HiGHS holds in place (after
loading whatever is staged), so the next ``optimize`` starts from the basis
the last one left: ``changeColsBounds``, ``changeColsIntegrality``,
``changeColsCost``, ``changeRowsBounds``, ``changeCoeff``, and
``setSolution`` with the variables that have a start. A model HiGHS refused
answers False, and so does a change HiGHS would read as another number or
refuse (a bound it reads as infinite, a tiny coefficient, ...): kestpy
rebuilds the model from its cache instead, and loading it refuses it as above. A binary's
bounds arrive within [0, 1].

Loading is deferred: whatever arrives, lists or arrays, is staged as numpy
arrays (a batch of arrays as it came) and handed to HiGHS in bulk at
``optimize``, ``update`` or when the ``highs`` property is read. A fresh
model goes in with one passModel of the arrays, later batches with one
addCols and one addRows. Solving does not read names, and highspy has no bulk
name call (about 2 µs a name), so names are kept in the form they arrived in
and handed to HiGHS when the ``highs`` property hands the instance out. Rows are
merged only where needed: a row that repeats a variable is sorted and summed,
zeros are dropped, other rows keep their order. The solution is the same as
with eager loading. A batch of more than 2**31 - 1 nonzeros is more than
HiGHS takes: it is refused as above.
"""

import math
import threading
import time

import highspy
import numpy as np

from . import _changes, _options, _staging
from ._loading import (ObjectiveRefused, Refused, give_names, load, new_highs, objective_reason,
                       row_activity, sense_offset)
from ._status import (FEASIBLE, INFEASIBLE, INTERRUPTED, NO_VALUES, OPTIMAL, OTHER, STATUS_NAMES,
                      status_of)
from ._solving import Runner
from ._status import STATUS as _STATUS  # noqa: F401  (the table the docstring documents)

__all__ = ["Model", "STATUS_NAMES"]

_INF = math.inf


class Model:
    """One HiGHS model behind the kestpy backend object protocol."""

    def __init__(self, name=None, env=None):
        self.name = name
        self._h = new_highs()
        self._h.setOptionValue("output_flag", False)
        self._threads_set = False
        # columns/rows already inside HiGHS, and the totals including staged ones
        self._h_cols = 0
        self._h_rows = 0
        self._ncols = 0
        self._nrows = 0
        self._staged = _staging.Staging()
        # names loaded columns and rows have that HiGHS has not been given yet
        self._col_names, self._row_names = [], []
        # the current objective (_staging.Objective) and whether HiGHS lacks it
        self._objective = None
        self._objective_dirty = False
        # MIP start values by column (NaN: none), once any is given
        self._start = None
        # why HiGHS refused the columns or rows, once it has: for good
        self._refused = None
        self._valid = False
        self._values = None
        self._objval = None
        # what the last optimize reported, None after a change
        self._info = None
        self._lp_duals = False
        self._slacks = None
        # runs HiGHS so that Ctrl-C stops it; every use of self._h after the
        # first optimize is preceded by self._runner.settle()
        self._runner = Runner(self._h)

    def _changed(self):
        self._valid = False
        self._values = None
        self._objval = None
        self._info = None
        self._lp_duals = False
        self._slacks = None

    # -- protocol: building -----------------------------------------------

    def add_variable(self, name, vtype, lb, ub):
        lo = 0.0 if lb is None else float(lb)
        hi = _INF if ub is None else float(ub)
        if vtype is None or vtype == "C":
            integer = 0
        elif vtype == "I":
            integer = 1
        elif vtype == "B":
            integer = 1
            lo = max(lo, 0.0)
            hi = min(hi, 1.0)
        else:
            raise ValueError(f"unknown variable type {vtype!r} (expected 'C', 'B' or 'I')")
        self._changed()
        self._staged.add_col(lo, hi, integer, name)
        index = self._ncols
        self._ncols += 1
        return index

    def add_variables(self, count, names, types, lb, ub):
        chunk = _staging.cols_from_lists(count, names, types, lb, ub)
        start = self._add_cols(chunk)
        return list(range(start, start + chunk.n))

    def add_variable_arrays(self, lb, ub, types, names):
        self._add_cols(_staging.cols_from_arrays(lb, ub, types, names))

    def _add_cols(self, chunk):
        self._changed()
        self._staged.add_cols(chunk)
        start = self._ncols
        self._ncols += chunk.n
        return start

    def add_constraint(self, indices, coeffs, sense, rhs, name, constant):
        if len(indices) != len(coeffs):
            raise ValueError(f"{len(indices)} indices and {len(coeffs)} coefficients")
        if indices and (min(indices) < 0 or max(indices) >= self._ncols):
            raise _staging.index_error(indices, self._ncols)
        bound = float(rhs) - float(constant)
        if sense == "<":
            lo, hi = -_INF, bound
        elif sense == ">":
            lo, hi = bound, _INF
        elif sense == "=":
            lo = hi = bound
        else:
            raise ValueError(f"unknown constraint sense {sense!r} (expected '<', '>' or '=')")
        self._changed()
        self._staged.add_row(indices, coeffs, lo, hi, name)
        index = self._nrows
        self._nrows += 1
        return index

    def add_constraints(self, indices, coeffs, constants, senses, rhss, names):
        chunk = _staging.rows_from_lists(indices, coeffs, constants, senses, rhss, names,
                                         self._ncols)
        start = self._add_rows(chunk)
        return list(range(start, start + chunk.n))

    def add_constraint_arrays(self, starts, indices, coeffs, constants, senses, rhs, names):
        try:
            chunk = _staging.rows_from_arrays(starts, indices, coeffs, constants, senses, rhs,
                                              names, self._ncols)
        except _staging.TooLarge as e:
            # refused for good, as HiGHS would refuse it; the rows keep their numbers
            self._changed()
            if self._refused is None:
                self._refused = str(e)
            self._nrows += e.count
            return
        self._add_rows(chunk)

    def _add_rows(self, chunk):
        self._changed()
        self._staged.add_rows(chunk)
        start = self._nrows
        self._nrows += chunk.n
        return start

    def set_objective(self, indices, coeffs, constant, sense):
        self._set_objective(_staging.objective_from_lists(indices, coeffs, constant, sense,
                                                          self._ncols))

    def set_objective_arrays(self, indices, coeffs, constant, sense):
        self._set_objective(_staging.objective_from_arrays(indices, coeffs, constant, sense,
                                                           self._ncols))

    def _set_objective(self, objective):
        self._changed()
        self._objective = objective
        self._objective_dirty = True

    def update(self):
        try:
            self._flush()
        except (Refused, ObjectiveRefused):
            # _flush has marked a refused model; a NaN objective stays staged
            pass

    # -- protocol: changes in place -----------------------------------------

    def _loaded(self):
        """Loads what is staged before a change; False when HiGHS cannot hold
        the model as it stands (kestpy then rebuilds it)."""
        self._changed()
        try:
            self._flush()
        except (Refused, ObjectiveRefused):
            return False
        return True

    def set_variable_bounds(self, indices, lowers, uppers):
        if not self._loaded():
            return False
        return _changes.col_bounds(self._h, indices, lowers, uppers)

    def set_variable_types(self, indices, types):
        if not self._loaded():
            return False
        return _changes.col_types(self._h, indices, types)

    def set_objective_coefficients(self, indices, coeffs):
        if not self._loaded():
            return False
        objective = _changes.costs(self._h, self._objective, self._ncols, indices, coeffs)
        if objective is None:
            return False
        self._objective = objective
        return True

    def set_constraint_bounds(self, indices, lowers, uppers):
        if not self._loaded():
            return False
        return _changes.row_bounds(self._h, indices, lowers, uppers)

    def set_coefficients(self, rows, cols, values):
        if not self._loaded():
            return False
        return _changes.coefficients(self._h, rows, cols, values)

    def set_variable_names(self, indices, names):
        # kept for the highs property, after the names that came with the columns
        if not self._loaded():
            return False
        self._col_names += [(int(i), [s]) for i, s in zip(indices, names)]
        return True

    def set_constraint_names(self, indices, names):
        if not self._loaded():
            return False
        self._row_names += [(int(i), [s]) for i, s in zip(indices, names)]
        return True

    def set_start_values(self, indices, values):
        # kept, and handed to HiGHS before every solve: a change of the model
        # makes HiGHS drop a solution it was given
        self._changed()
        if self._start is None or self._start.size < self._ncols:
            start = np.full(self._ncols, np.nan)
            if self._start is not None:
                start[:self._start.size] = self._start
            self._start = start
        self._start[np.asarray(indices, dtype=np.int64)] = np.asarray(values, dtype=np.float64)
        return True

    # -- loading into HiGHS -------------------------------------------------

    def _flush(self):
        """Load everything staged into HiGHS. Raises Refused, the model then
        refused for good and its staged data dropped, when HiGHS cannot take the
        columns or rows; raises ObjectiveRefused, loading nothing, when only
        the objective is at fault."""
        self._runner.settle()
        if self._refused is not None:
            self._staged.drop()
            raise Refused(self._refused)
        if self._staged.empty() and not self._objective_dirty:
            return
        if self._objective_dirty:
            reason = objective_reason(self._h, self._objective, self._ncols)
            if reason is not None:
                raise ObjectiveRefused("the objective was refused: " + reason)
        try:
            n_new, m_new, objective_loaded, col_names, row_names = load(
                self._h, self._staged, self._h_cols, self._h_rows, self._objective,
                self._objective_dirty)
        except Refused as e:
            # the staged data is gone; nothing more can load, ever
            self._refused = str(e)
            raise
        self._h_cols += n_new
        self._h_rows += m_new
        self._col_names += col_names
        self._row_names += row_names
        if objective_loaded:
            self._objective_dirty = False

    @property
    def highs(self):
        """The highspy.Highs instance, with everything staged loaded into it,
        names included. RuntimeError when the model or its objective was refused."""
        self._flush()
        if self._col_names or self._row_names:
            give_names(self._h, self._col_names, self._row_names)
            self._col_names, self._row_names = [], []
        return self._h

    # -- protocol: settings, solving, values ----------------------------------

    def set_optimizer_attr(self, name, value):
        self._runner.settle()
        changed = _options.apply(self._h, name, value)
        if changed == "threads":
            self._threads_set = True
        if changed is None and name != "SolverName":
            return False  # refused (apply has warned): the option keeps its value
        return None

    def optimize(self):
        self._changed()
        started = time.perf_counter()
        try:
            self._flush()
        except Refused as e:
            # past warn() and this method: the user's optimize line
            _options.warn(f"{e}; not solved, now or later, as variables and constraints "
                          "cannot be removed", stacklevel=3)
            return self._report(OTHER, started, str(e))
        except ObjectiveRefused as e:
            _options.warn(f"{e}; not solved until another objective is set", stacklevel=3)
            return self._report(OTHER, started, str(e))
        if self._h_cols == 0:
            return self._report(self._optimize_without_columns(), started)
        if self._start is not None:
            _changes.starts(self._h, self._start[:self._h_cols])
        interrupted = self._runner.run(reset_scheduler=self._threads_set)
        if interrupted is not None and self._runner.detached:
            return self._interrupted_early(started, *interrupted)
        status = INTERRUPTED if interrupted is not None else status_of(self._h.getModelStatus())
        info = self._h.getInfo()
        if status not in NO_VALUES and info.primal_solution_status == FEASIBLE:
            self._valid = True
            self._objval = float(info.objective_function_value)
        mip = info.mip_node_count >= 0
        self._lp_duals = (status == OPTIMAL and not mip
                          and info.dual_solution_status == FEASIBLE)
        self._report(status, started, mip=(info.mip_dual_bound, info.mip_gap) if mip else None,
                     iterations=int(info.simplex_iteration_count))
        if interrupted is not None:
            # the solve is recorded; the user's Ctrl-C goes on to stop the script
            raise interrupted[0]
        return status

    def _interrupted_early(self, started, interrupt, incumbent):
        # HiGHS has been told to stop and will at its next check; until the next
        # change the model answers with the incumbent it had handed over
        if incumbent is not None:
            self._valid = True
            self._objval, values = incumbent
            values += 0.0
            values.flags.writeable = False
            self._values = values
        self._report(INTERRUPTED, started)
        raise interrupt

    def _report(self, status, started, text=None, mip=None, iterations=None):
        self._info = {
            "sol_count": 1 if self._valid else 0,
            "obj_bound": None if mip is None or math.isnan(mip[0]) else float(mip[0]),
            # a gap needs an incumbent
            "mip_gap": None if mip is None or not self._valid else float(mip[1]),
            "runtime": time.perf_counter() - started,
            "status_text": text if text is not None else STATUS_NAMES[status],
            "iter_count": iterations,
        }
        return status

    def _optimize_without_columns(self):
        # HiGHS calls a model without columns "empty" and checks nothing; every
        # row is then the constant 0, so feasibility is a bound check.
        lp = self._h.getLp()
        ok, tol = True, self._h.getOptionValue("primal_feasibility_tolerance")[1]
        if self._h_rows:
            lo = np.asarray(lp.row_lower_)
            hi = np.asarray(lp.row_upper_)
            ok = bool((lo <= tol).all() and (hi >= -tol).all())
        if not ok:
            return INFEASIBLE
        self._valid = True
        self._lp_duals = True
        self._objval = float(sense_offset(self._objective)[1])
        return OPTIMAL

    def get_var_values(self):
        if not self._valid:
            return None
        if self._values is None:
            self._runner.settle()
            # the cheapest way out of highspy: its solution comes as a list, which
            # fromiter reads in one pass (np.asarray walks it twice)
            values = np.fromiter(self._h.getSolution().col_value, dtype=np.float64,
                                 count=self._h_cols)
            # turns the -0.0 HiGHS leaves on some zero columns into 0.0
            values += 0.0
            # handed out as it is: read-only, so no caller can change the cache
            values.flags.writeable = False
            self._values = values
        return self._values

    def get_var_value(self, index):
        values = self.get_var_values()
        if values is not None and 0 <= index < values.size:
            return values.item(index)
        return None

    def get_objective_value(self):
        return self._objval if self._valid else None

    def get_solve_info(self):
        return None if self._info is None else dict(self._info)

    def get_constraint_duals(self):
        if not self._lp_duals:
            return None
        self._runner.settle()
        if self._h_cols == 0:
            return np.zeros(self._h_rows)
        return np.array(self._h.getSolution().row_dual, dtype=np.float64) + 0.0

    def get_reduced_costs(self):
        if not self._lp_duals:
            return None
        self._runner.settle()
        if self._h_cols == 0:
            return np.zeros(0)
        return np.array(self._h.getSolution().col_dual, dtype=np.float64) + 0.0

    def get_constraint_slacks(self):
        values = self.get_var_values()
        if values is None:
            return None
        if self._slacks is None:
            self._runner.settle()
            lp = self._h.getLp()
            upper = np.asarray(lp.row_upper_, dtype=np.float64)
            # a row keeps its rhs (less its constant) on the side its sense names
            bound = np.where(np.isfinite(upper), upper, np.asarray(lp.row_lower_, dtype=np.float64))
            # the activity of the values handed out (an early interrupt's
            # incumbent among them), not of HiGHS's own last point
            slacks = bound - row_activity(lp, values, self._h_rows)
            slacks += 0.0
            slacks.flags.writeable = False
            self._slacks = slacks
        return self._slacks

    def __repr__(self):
        return (f"<kestpy_highs.Model {self.name!r}: {self._ncols} variables, "
                f"{self._nrows} constraints>")
