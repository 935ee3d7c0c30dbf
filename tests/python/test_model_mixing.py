"""Variables remember their model: expressions and constraints that mix two
models, or that reach a model their variables do not belong to, are refused
with a ValueError naming both, and the model is left as it was."""
import gc
import operator

import pytest

import kestpy
from kestpy import Var, quicksum

MIXED = r"^An expression cannot hold variables of model '{}' and of {}model '{}'$"

COMBINE = [operator.add, operator.sub, operator.le, operator.ge, operator.eq,
           lambda l, r: quicksum([l, r]), lambda l, r: quicksum(iter([l, 2, r]))]


@pytest.fixture
def two():
    a, b = kestpy.Model("a"), kestpy.Model("b")
    return a, a.addVars(3), b, b.addVars(3)


@pytest.mark.parametrize("op", COMBINE)
@pytest.mark.parametrize("shape", ["var-var", "expr-var", "var-expr", "expr-expr"])
def test_operators_refuse_two_models(two, op, shape):
    _, xa, _, xb = two
    left = xa[0] if shape.startswith("var") else 2 * xa[0] + 1
    right = xb[1] if shape.endswith("var") else xb[1] / 2 - Var(2)
    with pytest.raises(ValueError, match=MIXED.format("a", "", "b")):
        op(left, right)
    with pytest.raises(ValueError, match=MIXED.format("b", "", "a")):
        op(right, left)


def test_models_of_one_name_are_told_apart():
    xa, xb = kestpy.Model("m").addVar(), kestpy.Model("m").addVar()
    with pytest.raises(ValueError, match=MIXED.format("m", "another ", "m")):
        xa + xb
    with pytest.raises(ValueError, match=r"^addConstr: 'constr' holds variables of model 'm', "
                                         r"not of this model \(also named 'm'\)$"):
        kestpy.Model("m").addConstr(xa >= 1)


def test_hand_built_vars_and_numbers_join_any_model(recording, attached):
    a, b = kestpy.Model("a"), kestpy.Model("b")
    xa, xb = a.addVars(2), b.addVars(2)
    free = Var(1) + 3
    rec_b = attached(b)
    b.addConstr(free + xb[0] <= 4)
    b.addConstr(quicksum([Var(0), 1]) == 2)
    b.setObjective(free * 2, kestpy.KEST.MAXIMIZE)
    methods = [c[0] for c in rec_b.calls]
    assert methods.count("add_constraint") == 2 and "set_objective" in methods
    a.addConstr(free <= 1)  # joins a just as well
    with pytest.raises(ValueError, match="model 'a' and of model 'b'"):
        (free + xa[0]) + xb[0]


@pytest.mark.parametrize(
    "call, message",
    [(lambda a, xb: a.addConstr(xb[0] >= 7), r"addConstr: 'constr' holds variables of model 'b', not of this model 'a'"),
     (lambda a, xb: a.addConstrs(c for c in [Var(0) <= 1, xb[0] <= 1]),
      r"addConstrs: an item of 'generator' holds variables of model 'b', not of this model 'a'"),
     (lambda a, xb: a.setObjective(2 * xb[1], kestpy.KEST.MINIMIZE),
      r"setObjective: 'expr' holds variables of model 'b', not of this model 'a'")],
)
def test_a_model_refuses_another_models_variables_and_changes_nothing(recording, attached, two, call, message):
    a, xa, b, xb = two
    a.addConstr(xa[0] <= 1)
    rec = attached(a)
    before = list(rec.calls)
    with pytest.raises(ValueError, match="^" + message + "$"):
        call(a, xb)
    assert rec.calls == before
    a.setBackend("recording")  # the cache holds no trace either
    assert [c[0] for c in recording.created[-1].calls] == ["add_variables", "add_constraints"]
    assert recording.created[-1].calls[1][1][0] == [[0]]


def test_a_dead_model_is_not_confused_with_a_new_one_at_its_address():
    for _ in range(20):
        old = kestpy.Model("old")
        e = 2 * old.addVar() + 1
        del old
        gc.collect()
        new = kestpy.Model("new")
        new.addVar()
        with pytest.raises(ValueError, match="^setObjective: 'expr' holds variables of a model that no longer "
                                             "exists, not of this model 'new'$"):
            new.setObjective(e, kestpy.KEST.MINIMIZE)
