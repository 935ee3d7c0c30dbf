"""The SCIP backend beyond the conformance kit (test_conformance.py): its
settings, refusals and empty domains."""

import math

import pytest

pytest.importorskip("pyscipopt")
import kestpy_scip  # noqa: E402
from kestpy_scip import Model as Backend  # noqa: E402


def small(b):
    """max x + y, x + y <= 3, x, y in [0, 2]: optimum 3."""
    b.add_variables(2, None, None, 0.0, 2.0)
    b.add_constraint([0, 1], [1.0, 1.0], "<", 3.0, None, 0.0)
    b.set_objective([0, 1], [1.0, 1.0], 0.0, 1)


@pytest.mark.parametrize("name, value, param, stored", [
    ("TimeLimit", 5, "limits/time", 5.0),
    ("MIPGap", 0.01, "limits/gap", 0.01),
    ("Threads", 2.0, "lp/threads", 2),
    ("limits/nodes", 10, "limits/nodes", 10),
    ("presolving/donotaggr", "on", "presolving/donotaggr", True),
    ("lp/initalgorithm", "d", "lp/initalgorithm", "d"),
])
def test_options_and_aliases(recwarn, name, value, param, stored):
    b = Backend("m", None)
    b.set_optimizer_attr(name, value)
    got = b.scip.getParam(param)
    assert got == stored and type(got) is type(stored)
    assert not recwarn.list


@pytest.mark.parametrize("name, value, pieces", [
    ("limits/tme", 1.0, ["'limits/tme'", "'limits/time'"]),
    ("Timelimit", 1.0, ["'Timelimit'", "'TimeLimit'"]),
    ("TimeLimit", "soon", ["'TimeLimit' ('limits/time')", "float"]),
    ("limits/nodes", 2.5, ["'limits/nodes'", "int"]),
    ("TimeLimit", -1.0, ["'TimeLimit' ('limits/time')", "not valid"]),
    ("Silent", "loud", ["'Silent'", "bool"]),
])
def test_bad_option_warns_and_changes_nothing(capfd, name, value, pieces):
    b = Backend("m", None)
    before = dict(b.scip.getParams())
    with pytest.warns(UserWarning) as caught:
        b.set_optimizer_attr(name, value)
    assert all(piece in str(caught[0].message) for piece in pieces), caught[0].message
    assert dict(b.scip.getParams()) == before
    small(b)
    assert b.optimize() == 2 and b.get_objective_value() == pytest.approx(3.0)


@pytest.mark.parametrize("build, reason", [
    (lambda b: b.add_variable(None, None, math.nan, 1.0), r"variable 1 has the bounds \[nan, 1.0\]"),
    (lambda b: b.add_variable(None, None, math.inf, None), r"variable 1 has the bounds \[inf, inf\]"),
    (lambda b: b.add_constraint([0], [math.nan], "<", 1.0, None, 0.0), "constraint 0 holds a NaN"),
    (lambda b: b.add_constraints([[0]], [[1.0]], [math.nan], ["<"], [1.0], None), "constraint 0 holds a NaN"),
    (lambda b: b.add_constraint([0], [1.0], "=", math.inf, None, 0.0), "constraint 0 has the infinite side inf"),
])
def test_refused_input_warns_and_returns_1_for_good(build, reason):
    b = Backend("m", None)
    b.add_variable(None, None, 0.0, 1.0)
    build(b)
    for _ in range(2):
        with pytest.warns(UserWarning, match=f"kestpy_scip: SCIP refused the model: {reason}"):
            assert b.optimize() == 1
        assert b.get_var_value(0) is None and b.get_objective_value() is None


def test_nan_objective_refused_until_replaced():
    b = Backend("m", None)
    small(b)
    b.set_objective([0], [math.nan], 0.0, 1)
    with pytest.warns(UserWarning, match="the objective holds a NaN"):
        assert b.optimize() == 1
    b.set_objective([0, 1], [1.0, 2.0], 0.5, 1)
    assert b.optimize() == 2 and b.get_objective_value() == pytest.approx(5.5)


@pytest.mark.parametrize("vtype, lb, ub", [(None, 2.0, 1.0), ("B", 1.5, None), ("I", 0.2, 0.8)])
def test_empty_domain_is_infeasible(vtype, lb, ub):
    b = Backend("m", None)
    b.add_variable(None, vtype, lb, ub)
    b.set_objective([0], [1.0], 0.0, -1)
    assert b.optimize() == 3 and b.get_var_value(0) is None


def test_growing_and_resolving_a_solved_model():
    b = Backend("m", None)
    small(b)
    assert b.optimize() == 2
    b.add_variable("z", "I", 0.0, 2.5)
    b.add_constraint([1, 2], [1.0, 1.0], "<", 2.0, "c", 0.0)
    b.set_objective([0, 1, 2], [1.0, 1.0, 3.0], 1.0, 1)
    assert b.optimize() == 2
    assert [b.get_var_value(j) for j in range(3)] == pytest.approx([2.0, 0.0, 2.0])
    assert b.get_objective_value() == pytest.approx(9.0)
    assert "3 variables, 2 constraints" in repr(b) and kestpy_scip.__all__ == ["Model"]


def test_objective_constant_beyond_scips_infinity_changes_only_the_value():
    # SCIP reads an offset of 1e20 or more as infinite and then solves another problem
    b = Backend("m", None)
    small(b)
    b.set_objective([0, 1], [1.0, 2.0], 1e25, 1)
    assert b.optimize() == 2
    assert [b.get_var_value(0), b.get_var_value(1)] == pytest.approx([1.0, 2.0])
    assert b.get_objective_value() == 1e25 + 5.0
