"""Model.addConstr, Model.addConstrs and Model.setObjective: what reaches the
model (observed through a recording backend), argument errors, and the
refusals that leave the model unchanged."""

import math
import re

import pytest

import kestpy
from kestpy import KEST, Var

MIN, MAX = KEST.MINIMIZE, KEST.MAXIMIZE


def make_model(nvars=3):
    m = kestpy.Model("m")
    vs = [m.addVar(name=f"v{i}") for i in range(nvars)]
    return m, vs


def constraints(rec):
    """The replayed constraints as (indices, coeffs, constant, sense, rhs, name);
    an unnamed constraint is cached with the empty name."""
    calls = rec.args_of("add_constraints")
    if not calls:
        return []
    assert len(calls) == 1
    idx, coeffs, constants, senses, rhss, names = calls[0]
    return list(zip(idx, coeffs, constants, senses, rhss, names))


# -- addConstr ----------------------------------------------------------------


def test_addConstr_and_addConstrs_forward_function_set_and_name(attached):
    m, (x, y, z) = make_model()
    rec = attached(m)
    assert m.addConstr(x + 2 * y <= 4, "c0") is None
    m.addConstr(x <= 5)
    m.addConstr(constr=y == z, name=None)
    m.addConstrs((v <= 1 for v in (x, y)), name="r")  # one at a time when attached
    assert rec.args_of("add_constraint") == [
        ([0, 1], [1.0, 2.0], "<", 0.0, "c0", -4.0),
        ([0], [1.0], "<", 5.0, None, 0.0),
        ([1, 2], [1.0, -1.0], "=", 0.0, None, 0.0),
        ([0], [1.0], "<", 1.0, "r[0]", 0.0),
        ([1], [1.0], "<", 1.0, "r[1]", 0.0),
    ]


def test_addConstr_is_cached_and_replayed(attached):
    m, (x, y, z) = make_model()
    c = 3 * x - z >= 1
    m.addConstr(c, "a")
    m.addConstr(c, "b")  # the same Constr twice
    assert constraints(attached(m)) == [
        ([0, 2], [3.0, -1.0], -1.0, ">", 0.0, "a"),
        ([0, 2], [3.0, -1.0], -1.0, ">", 0.0, "b"),
    ]


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda m, x: m.addConstr(5), "argument 'constr': 'int' object cannot be cast as 'Constr'"),
        (lambda m, x: m.addConstr(x + 1), "argument 'constr': 'LinExpr' object cannot be cast as 'Constr'"),
        (lambda m, x: m.addConstr(x), "argument 'constr': 'Var' object cannot be cast as 'Constr'"),
        (lambda m, x: m.addConstr(x <= 1, 5), "argument 'name': must be str, not int"),
        (lambda m, x: m.addConstr(), "Model.addConstr() missing 1 required positional argument: 'constr'"),
        (lambda m, x: m.addConstr(x <= 1, "n", 1),
         "Model.addConstr() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda m, x: m.addConstr(x <= 1, "n", name="n"), "Model.addConstr() got multiple values for argument 'name'"),
        (lambda m, x: m.addConstrs(), "Model.addConstrs() missing 1 required positional argument: 'generator'"),
        (lambda m, x: m.addConstrs([], names=["a"]), "Model.addConstrs() got an unexpected keyword argument 'names'"),
        (lambda m, x: m.setObjective(x, MAX), "'Var' object cannot be cast as 'LinExpr'"),
        (lambda m, x: m.setObjective(x <= 1, MAX), "'Constr' object cannot be cast as 'LinExpr'"),
        (lambda m, x: m.setObjective(x + 1, 1), "argument 'sense': 'int' object cannot be cast as 'Sense'"),
        (lambda m, x: m.setObjective(x + 1, KEST.CONTINUOUS),
         "argument 'sense': 'VarType' object cannot be cast as 'Sense'"),
        # The sense is checked first.
        (lambda m, x: m.setObjective(x, "max"), "argument 'sense': 'str' object cannot be cast as 'Sense'"),
        (lambda m, x: m.setObjective(None, None), "argument 'sense': 'NoneType' object cannot be cast as 'Sense'"),
        # a type name is given whole, however long
        (lambda m, x: m.addConstr(type("N" * 250, (), {})()),
         "argument 'constr': '" + "N" * 250 + "' object cannot be cast as 'Constr'"),
        (lambda m, x: m.setObjective(x * 1), "Model.setObjective() missing 1 required positional argument: 'sense'"),
        (lambda m, x: m.setObjective(),
         "Model.setObjective() missing 2 required positional arguments: 'expr' and 'sense'"),
    ],
)
def test_argument_errors_change_nothing(attached, call, message):
    m, (x, y, z) = make_model()
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call(m, x)
    rec = attached(m)
    assert constraints(rec) == [] and rec.args_of("set_objective") == []


# -- addConstrs ---------------------------------------------------------------


@pytest.mark.parametrize(
    "wrap,name,names",
    [(list, None, ["Cons[0]", "Cons[1]", "Cons[2]"]),
     (tuple, "", ["[0]", "[1]", "[2]"]),
     (iter, ("a", "b", "c", "d"), ["a", "b", "c"]),  # longer lists: extras unused
     (lambda v: (c for c in v), "r", ["r[0]", "r[1]", "r[2]"])],
    ids=["list", "tuple", "iter", "gen"],
)
def test_addConstrs_accepts_any_iterable(attached, wrap, name, names):
    m, (x, y, z) = make_model()
    kwargs = {} if name is None else {"name": name}
    assert m.addConstrs(wrap([x <= 1, y >= 2, x + y + z == 3]), **kwargs) is None
    assert constraints(attached(m)) == [
        ([0], [1.0], 0.0, "<", 1.0, names[0]),
        ([1], [1.0], 0.0, ">", 2.0, names[1]),
        ([0, 1, 2], [1.0, 1.0, 1.0], -3.0, "=", 0.0, names[2]),
    ]


@pytest.mark.parametrize("empty", [[], (c for c in [])], ids=["list", "gen"])
def test_addConstrs_over_nothing(attached, empty):
    m, (x, y, z) = make_model()
    assert m.addConstrs(empty) is None
    assert m.addConstrs(generator=empty, name=[]) is None
    assert constraints(attached(m)) == []


def test_addConstrs_bad_item_adds_nothing(attached):
    m, (x, y, z) = make_model()
    drawn = []

    def gen():
        for item in (x <= 1, 5, y <= 2):
            drawn.append(item)
            yield item

    with pytest.raises(TypeError, match=r"^'int' object cannot be cast as 'Constr'$"):
        m.addConstrs(gen())
    assert len(drawn) == 2  # advanced past the Constr and the number, no further
    with pytest.raises(TypeError, match=r"^'LinExpr' object cannot be cast as 'Constr'$"):
        m.addConstrs([x <= 1, x + 1])
    assert constraints(attached(m)) == []


def test_addConstrs_failing_generator_adds_nothing(attached, panic):
    m, (x, y, z) = make_model()

    def gen():
        yield x <= 1
        raise KeyError("broken")

    with pytest.raises(KeyError, match="broken"):
        m.addConstrs(gen())
    # A fault inside the generator happens before the lock: the model stays usable.
    with panic("Multiplication of two variables"):
        m.addConstrs(v * y <= 1 for v in (x, y))
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        m.addConstrs(3)
    m.addConstr(z <= 3, "ok")
    assert constraints(attached(m)) == [([2], [1.0], 0.0, "<", 3.0, "ok")]


@pytest.mark.parametrize("name", [5, ["a", "b", 3], iter(["a", "b", "c"])])
def test_addConstrs_bad_name_after_the_generator(attached, name):
    m, (x, y, z) = make_model()
    drawn = []

    def gen():
        for i in range(3):
            drawn.append(i)
            yield x >= i

    with pytest.raises(TypeError, match=r"^Expected a scalar or a list$"):
        m.addConstrs(gen(), name=name)
    assert drawn == [0, 1, 2]
    assert constraints(attached(m)) == []


def test_addConstrs_bad_item_is_reported_before_a_bad_name():
    m, (x, y, z) = make_model()
    with pytest.raises(TypeError, match="cannot be cast as 'Constr'"):
        m.addConstrs([x <= 1, None], name=5)


@pytest.mark.parametrize("count,names,counts", [
    (3, ["a", "b"], "has 2 entries but there are 3 constraints"),
    (1, [], "has 0 entries but there is 1 constraint"),
    (2, ("only",), "has 1 entry but there are 2 constraints"),
])
def test_addConstrs_short_name_list_adds_nothing(attached, count, names, counts):
    m, (x, y, z) = make_model()
    with pytest.raises(ValueError) as info:
        m.addConstrs([x <= i for i in range(count)], name=names)
    assert str(info.value) == "addConstrs: 'name' " + counts
    assert constraints(attached(m)) == []


# -- setObjective ---------------------------------------------------------------


def test_setObjective_two_updates_per_call(attached):
    m, (x, y, z) = make_model()
    rec = attached(m)
    assert m.setObjective(x + 2 * z + 1, MAX) is None
    m.setObjective(expr=y * 1, sense=MIN)
    assert rec.args_of("set_objective") == [
        ([0, 2], [1.0, 2.0], 1.0, -1),  # the new function with the sense before
        ([0, 2], [1.0, 2.0], 1.0, 1),
        ([1], [1.0], 0.0, 1),
        ([1], [1.0], 0.0, -1),
    ]


def test_setObjective_keeps_terms_as_stored(attached):
    m, (x, y, z) = make_model()
    rec = attached(m)
    m.setObjective(kestpy.quicksum([z, x, z]), MIN)
    assert rec.args_of("set_objective")[-1] == ([2, 0, 2], [1.0, 1.0, 1.0], 0.0, -1)


# -- unknown variables --------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda m, bad: m.addConstr(Var(0) + bad >= 0, "c"),
        lambda m, bad: m.addConstrs([Var(0) <= 1, bad + Var(1) == 2, Var(2) >= 0]),
        lambda m, bad: m.addConstrs((v <= 1 for v in (Var(0), bad)), name="n"),
        lambda m, bad: m.setObjective(bad * 2, MAX),
        lambda m, bad: m.setObjective(kestpy.quicksum([Var(1), bad, Var(0)]), MAX),
    ],
    ids=["addConstr", "addConstrs", "addConstrs-gen", "setObjective", "setObjective-quicksum"],
)
@pytest.mark.parametrize("attach_first", [False, True])
def test_unknown_variable_is_refused_and_changes_nothing(attached, call, attach_first):
    m, (x, y, z) = make_model()
    m.addConstr(x <= 1, "before")
    m.setObjective(x + y, MIN)
    rec = attached(m) if attach_first else None
    if rec:
        rec.clear()
    with pytest.raises(ValueError, match=r"^VarId\(7\) is not a variable of this model$"):
        call(m, Var(7))
    if rec:
        assert rec.calls == []
    # The model is not broken and still holds what it held.
    m.addConstr(z >= 0, "after")
    final = attached(m)
    assert [c[5] for c in constraints(final)] == ["before", "after"]
    assert final.args_of("set_objective") == [([0, 1], [1.0, 1.0], 0.0, -1)]


def test_variable_ids_up_to_the_last_one_are_accepted(attached):
    m, (x, y, z) = make_model()
    m.addConstr(Var(2) <= 1)
    m.setObjective(Var(0) + Var(2), MAX)
    with pytest.raises(ValueError, match=r"VarId\(3\)"):
        m.addConstr(Var(3) <= 1)
    w = m.addVar()
    m.addConstr(Var(3) <= 1)
    assert [c[0] for c in constraints(attached(m))] == [[2], [3]]
    del w


def test_variables_of_another_model_are_refused_even_within_range(attached):
    # A Var remembers its model; a hand-built one has none and only its id is checked.
    m, _ = make_model(2)
    other, (a, b, c) = make_model(3)
    for v in (c, b):
        with pytest.raises(ValueError, match=r"holds variables of model 'm', not of this model \(also named 'm'\)"):
            m.addConstr(v <= 1)
    m.addConstr(Var(1) <= 1)
    assert constraints(attached(m)) == [([1], [1.0], 0.0, "<", 1.0, "")]


# -- exclusive use and faults under the lock ------------------------------------------


def test_reentrant_calls_from_the_generator(attached):
    m, (x, y, z) = make_model()
    seen = []

    def gen():
        for call in (lambda: m.addVar(), lambda: str(m), lambda: m.addConstr(x <= 1)):
            try:
                call()
            except RuntimeError as exc:
                seen.append(str(exc))
        yield y <= 2

    m.addConstrs(gen())
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already borrowed"]
    assert str(m) == "Model(name=m)"
    assert constraints(attached(m)) == [([1], [1.0], 0.0, "<", 2.0, "Cons[0]")]


def test_backend_failure_under_the_lock_breaks_the_model(attached, panic):
    m, (x, y, z) = make_model()
    rec = attached(m)
    rec.raise_on("add_constraint", RuntimeError("solver says no"))
    with panic("solver says no"):
        m.addConstr(x <= 1)
    with panic():
        m.setObjective(x * 1, MAX)
    with panic():
        m.addConstrs([y <= 1])


NAN = float("nan")


@pytest.mark.parametrize(
    "build",
    [
        lambda x, y: x - NAN * y <= 0,
        lambda x, y: 0 - NAN * y <= 0,
        lambda x, y: (x + 0) - NAN * y <= 0,
        lambda x, y: x <= NAN * y,
        lambda x, y: x + 1 <= NAN * y,
    ],
    ids=["var-expr", "num-expr", "expr-expr", "var<=expr", "expr<=expr"],
)
def test_subtraction_negates_the_sign_of_a_nan_coefficient(attached, build):
    m, (x, y, _) = make_model()
    m.addConstr(build(x, y))
    (idx, coeffs, *_), = constraints(attached(m))
    assert math.copysign(1.0, coeffs[idx.index(1)]) == -1.0
