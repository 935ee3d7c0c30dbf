"""The conformance kit itself: a backend with one fault fails exactly the
check for that fault, with a message saying what the backend did and what
kestpy expected; the array-channel checks run against small fake backends
called directly. The example backend (examples/backend) is the sound base."""

import os
import re
import sys
import types
import unittest

import numpy as np
import pytest
from scipy.optimize import Bounds, LinearConstraint, milp

import kestpy
from kestpy.testing import CHECKS, PROBLEMS, Backend, ConformanceError, run_check

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "backend"))
import kestpy_scipy  # noqa: E402

Sound = kestpy_scipy.Model


class Channel(Sound):
    """The example backend with every array-channel method, each doing what
    the list calls it replaces do."""

    def add_variable_arrays(self, lb, ub, types, names):
        kinds = bytes(types).decode()
        return self.add_variables(len(lb), None if names is None else list(names), list(kinds),
                                  list(np.frombuffer(lb)), list(np.frombuffer(ub)))

    def add_constraint_arrays(self, starts, indices, coeffs, constants, senses, rhs, names):
        s = np.asarray(starts).tolist()
        idx, val = np.asarray(indices).tolist(), np.asarray(coeffs).tolist()
        rows = [idx[s[i]:s[i + 1]] for i in range(len(s) - 1)]
        vals = [val[s[i]:s[i + 1]] for i in range(len(s) - 1)]
        return self.add_constraints(rows, vals, np.asarray(constants).tolist(), list(bytes(senses).decode()),
                                    np.asarray(rhs).tolist(), None if names is None else list(names))

    def set_objective_arrays(self, indices, coeffs, constant, sense):
        self.set_objective(np.asarray(indices).tolist(), np.asarray(coeffs).tolist(), constant, sense)

    def get_var_values(self):
        return None if self.solution is None else np.array(self.solution[0])


def variant(base, **methods):
    return type("Broken", (base,), methods)


def wrong_numbering(self, count, names, types_, lb, ub):
    Sound.add_variables(self, count, names, types_, lb, ub)
    return list(range(count))  # counted from the batch, not the model


def dropped_scalar_ub(self, count, names, types_, lb, ub):
    return Sound.add_variables(self, count, names, types_, lb, ub if isinstance(ub, list) else None)


def infeasible_as_4(self):
    status = Sound.optimize(self)
    return 4 if status == 3 else status


def stale_after_objective(self, indices, coeffs, constant, sense):
    kept = self.solution
    Sound.set_objective(self, indices, coeffs, constant, sense)
    self.solution = kept


def lb_none_as_free(self, name, vtype, lb, ub):
    return Sound.add_variable(self, name, vtype, -np.inf if lb is None else lb, ub)


def batch_fills_lb(self, count, names, types_, lb, ub):
    return Sound.add_variables(self, count, names, types_, 0.0 if lb is None else lb, ub)


def empty_batch_answers_none(self, indices, coeffs, constants, senses, rhss, names):
    return Sound.add_constraints(self, indices, coeffs, constants, senses, rhss, names) if indices else None


def constant_needs_a_term(self, indices, coeffs, constant, sense):
    Sound.set_objective(self, indices, coeffs, constant if indices else 0.0, sense)


def empty_model_refused(self):
    return Sound.optimize(self) if self.lb or self.rows else 1


def unbounded_as_infeasible(self):
    status = Sound.optimize(self)
    return 3 if status in (4, 5) else status


def time_limit_ignored(self, name, value):
    if name != "TimeLimit":
        Sound.set_optimizer_attr(self, name, value)


def free_as_nonnegative(self, count, names, types_, lb, ub):
    lb = [0.0 if v == -np.inf else v for v in lb] if isinstance(lb, list) else lb
    return Sound.add_variables(self, count, names, types_, lb, ub)


def chatty(self):
    print("solving")
    return Sound.optimize(self)


def constants_dropped(self, starts, indices, coeffs, constants, senses, rhs, names):
    zeros = memoryview(bytes(8 * len(constants))).cast("d")
    return Channel.add_constraint_arrays(self, starts, indices, coeffs, zeros, senses, rhs, names)


def starts_read_as_int32(self, starts, indices, coeffs, constants, senses, rhs, names):
    wrong = np.frombuffer(starts, dtype=np.int32)[:len(starts)]
    return Channel.add_constraint_arrays(self, wrong, indices, coeffs, constants, senses, rhs, names)


def binary_as_continuous(self, lb, ub, types, names):
    return Channel.add_variable_arrays(self, lb, ub, memoryview(bytes(types).replace(b"B", b"C")), names)


def objective_constant_dropped(self, indices, coeffs, constant, sense):
    Channel.set_objective_arrays(self, indices, coeffs, 0.0, sense)


def stale_bulk(self):
    if self.solution is not None:
        self.last = np.array(self.solution[0])
    return getattr(self, "last", None)


# (the checks that fail, base, {method: faulty version}, the failure message)
BROKEN = [
    ("numbering", Sound, {"add_variables": wrong_numbering},
     r"returned \[0, 1, \[0, 1, 2\], \[\], 5\]; kestpy expected \[0, 1, \[2, 3, 4\], \[\], 5\]"),
    ("add_variables_forms", Sound, {"add_variables": dropped_scalar_ub},
     r"maximising .*returned [45] \(.*unbounded\); kestpy expected 2 \(optimal\)"),
    ("add_variable_forms", Sound, {"add_variable": lb_none_as_free, "add_variables": batch_fills_lb},
     r"add_variable forms, minimising \(a feasible bounded model\): optimize\(\) returned [45]"),
    ("add_constraints_forms", Sound, {"add_constraints": empty_batch_answers_none},
     r"add_constraints with 0 rows answered None; kestpy expected a list of 0 indices"),
    ("set_objective", Sound, {"set_objective": constant_needs_a_term},
     r"then maximising only the constant 2\.5: the objective value reads 0\.0; kestpy expected 2\.5"),
    ("status_optimal", Sound, {"optimize": empty_model_refused},
     r"a model without variables, rows or objective: optimize\(\) returned 1 \(other\); kestpy expected 2"),
    ("status_unbounded", Sound, {"optimize": unbounded_as_infeasible},
     r"an unbounded LP \(ub None is \+inf\): optimize\(\) returned 3 \(infeasible\); kestpy expected 5"),
    ("status_limits settings_before_attach settings_after_attach", Sound, {"set_optimizer_attr": time_limit_ignored},
     r"returned 2 \(optimal\); kestpy expected 9 \(time limit\)"),
    ("known_lp_free_variables", Sound, {"add_variables": free_as_nonnegative},
     r"lp_free_variables .* attached after building: ObjVal reads 0\.0 .*known optimum -3\.0"),
    ("status_infeasible", Sound, {"optimize": infeasible_as_4},
     r"returned 4 \(infeasible or unbounded\); kestpy expected 3 \(infeasible\)"),
    ("values_after_change", Sound, {"set_objective": stale_after_objective},
     r"after setObjective following optimize, the values read \[2\.0, 3\.0\] and the objective 8\.0; kestpy expected None"),
    ("settings_after_attach", Sound, {"optimize": chatty},
     r"default settings wrote 'solving\\n'; kestpy expected a quiet backend"),
    # the replays after changes read the constants from the arrays too
    ("channel_add_constraint_arrays changes_through_kestpy", Channel, {"add_constraint_arrays": constants_dropped},
     r"variable 0 reads 2\.0 when built with the array method and 3\.0 when built with the list protocol"
     r"|after Var\.LB: optimize ended with status 3"),
    ("channel_add_constraint_arrays", Channel, {"add_constraint_arrays": starts_read_as_int32},
     r"starts 'q'"),
    ("channel_add_variable_arrays", Channel, {"add_variable_arrays": binary_as_continuous},
     r"maximising all but the fifth \(a binary is at most 1\).*returned [45] \(.*unbounded\)"),
    ("channel_set_objective_arrays", Channel, {"set_objective_arrays": objective_constant_dropped},
     r"the objective value reads 12\.0; kestpy expected 17\.0"),
    ("channel_get_var_values", Channel, {"get_var_values": stale_bulk},
     r"after add_variable: get_var_values\(\) answered \[0\.5, -1\.0, 2\.0\], get_var_value None"),
]


def outcomes(model_class, tag):
    """{check name: None (passed), "skip" or the failure message}."""
    module = types.ModuleType(f"kestpy_kittest_{tag}")
    module.Model = model_class
    backend = Backend(module)
    out = {}
    for name in CHECKS:
        try:
            run_check(backend, name)
            out[name] = None
        except unittest.SkipTest:
            out[name] = "skip"
        except ConformanceError as e:
            out[name] = str(e)
    return out


@pytest.mark.parametrize("base", [Sound, Channel], ids=["list protocol", "with array channel"])
def test_sound_backends_pass_every_check(base):
    got = outcomes(base, base.__name__.lower())
    assert {k: v for k, v in got.items() if v not in (None, "skip")} == {}
    skipped = {k for k, v in got.items() if v == "skip"}
    # kestpy's bulk reads (Vars.X) are checked once kestpy has them
    bulk = set() if hasattr(type(kestpy.Model("t").addVars(1)), "X") else {"bulk_reads_through_kestpy"}
    changes = {k for k in CHECKS if k.startswith("change_")}  # neither has the change methods
    assert skipped == bulk | changes | (set() if base is Channel else {k for k in CHECKS if k.startswith("channel_")})


@pytest.mark.parametrize("check, base, fault, message", BROKEN,
                         ids=[f"{b[0]}-{next(iter(b[2].values())).__name__}" for b in BROKEN])
def test_each_fault_fails_exactly_its_check(check, base, fault, message):
    got = outcomes(variant(base, **fault), next(iter(fault.values())).__name__)
    failed = {k: v for k, v in got.items() if v not in (None, "skip")}
    assert set(failed) == set(check.split()), failed
    for text in failed.values():
        assert re.search(message, text, re.S), text


def test_a_backend_that_raises_is_named_with_its_call():
    def refuse(self, *args):
        raise TypeError("no lists here")

    got = outcomes(variant(Sound, add_constraints=refuse), "raises")
    assert "add_constraints([[0, 0], [1], [0], [1, 1, 0]], " in got["add_constraints_forms"]
    assert "raised TypeError: no lists here; kestpy expects this call to be accepted" in got["add_constraints_forms"]
    # through kestpy the replay's add_constraints faults, and the kit says so
    assert "kestpy setBackend (replaying the model): the backend faulted (TypeError: no lists here)" \
        in got["known_lp_ranges"]


@pytest.mark.parametrize("problem", PROBLEMS, ids=[p.name for p in PROBLEMS])
def test_known_optima_agree_with_scipy(problem):
    n = len(problem.variables)
    a = np.zeros((len(problem.rows), n))
    lo, hi = [], []
    for i, (terms, constant, sense, rhs) in enumerate(problem.rows):
        for j, c in terms:
            a[i, j] += c
        lo.append(-np.inf if sense == "<" else rhs - constant)
        hi.append(np.inf if sense == ">" else rhs - constant)
    terms, constant, sense = problem.objective
    c = np.zeros(n)
    for j, v in terms:
        c[j] += v
    res = milp(-sense * c, constraints=LinearConstraint(a, lo, hi),
               bounds=Bounds(*zip(*[(v[0], v[1]) for v in problem.variables])),
               integrality=[t != "C" for _, _, t in problem.variables])
    assert res.status == 0
    assert -sense * res.fun + constant == pytest.approx(problem.optimum, abs=1e-9)


def test_kit_is_a_submodule_installed_beside_the_extension():
    import kestpy.testing

    here = os.path.dirname(kestpy.__file__)
    assert kestpy.__path__ == [os.path.join(here, "kestpy")]
    assert os.path.dirname(kestpy.testing.__file__) == os.path.join(here, "kestpy", "testing")
