"""Var and Vars: constructors, string forms, X, item access and iteration."""
import gc

import pytest

import kestpy
from conftest import parts, raises_panic, var_id
from hostile import Index

Var = kestpy.Var
Vars = type(kestpy.Model("t").addVars(1))
U64_MAX = 2**64 - 1


# ---------------------------------------------------------------- Var


@pytest.mark.parametrize(
    "arg, shown",
    [(3, "Var(3)"), (True, "Var(1)"), (Index(7), "Var(7)"), (U64_MAX, f"Var({U64_MAX})")],
)
def test_var_constructor_and_str(arg, shown):
    v = Var(arg)
    assert str(v) == shown
    assert v.X is None
    assert Var(id=arg).__str__() == shown


def test_var_repr_is_the_default_object_form():
    assert repr(Var(3)).startswith("<builtins.Var object at 0x")


@pytest.mark.parametrize(
    "call, exc, message",
    [(lambda: Var(-1), OverflowError, "can't convert negative int to unsigned"),  # the interpreter's text
     (lambda: Var(2**64), OverflowError, "int too big to convert"),
     (lambda: Var(Index(ValueError("mine"))), ValueError, "mine"),
     # Only a TypeError of the conversion gets the argument prefix.
     (lambda: Var("a"), TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
     (lambda: Var(1.5), TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
     (lambda: Var(Index(TypeError("inner"))), TypeError, "argument 'id': inner"),
     (lambda: Var(), TypeError, "Var() missing 1 required positional argument: 'id'"),
     (lambda: Var(1, 2), TypeError, "Var() takes 1 positional argument but 2 were given"),
     (lambda: Vars(), TypeError, "Vars() missing 2 required positional arguments: 'shape' and 'ids'"),
     (lambda: Vars([1], [2], [3]), TypeError, "Vars() takes 2 positional arguments but 3 were given")],
)
def test_constructor_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


# ---------------------------------------------------------------- Vars constructor and str


@pytest.mark.parametrize(
    "shape, ids, shown",
    [([2], [0, 1], "Vars(shape=[2], ids=[VarId(0), VarId(1)])"),
     ([], [], "Vars(shape=[], ids=[])"),
     ((2, 3), range(4, 6), "Vars(shape=[2, 3], ids=[VarId(4), VarId(5)])"),
     ([Index(1), True], (U64_MAX,), f"Vars(shape=[1, 1], ids=[VarId({U64_MAX})])"),
     ([0], [], "Vars(shape=[0], ids=[])")],
)
def test_vars_constructor_and_str(shape, ids, shown):
    assert str(Vars(shape, ids)) == shown
    assert str(Vars(shape=shape, ids=ids)) == shown


def test_vars_constructor_copies_its_sequences():
    shape, ids = [2], [0, 1]
    vs = Vars(shape, ids)
    shape.append(5)
    ids[0] = 9
    assert str(vs) == "Vars(shape=[2], ids=[VarId(0), VarId(1)])"


@pytest.mark.parametrize(
    "shape, ids, exc, message",
    [("ab", [], TypeError, "argument 'shape': Can't extract `str` to `Vec`"),
     ([1], "", TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
     ([1], (i for i in [1]), TypeError, "argument 'ids': "),
     (3, [], TypeError, "argument 'shape': "),
     ([1.0], [], TypeError, "argument 'shape': "),
     ([1], ["0"], TypeError, "argument 'ids': "),
     ([1], [-1], OverflowError, "can't convert negative int to unsigned"),
     ([2**64], [], OverflowError, None)],
)
def test_vars_constructor_errors(shape, ids, exc, message):
    with pytest.raises(exc) as info:
        Vars(shape, ids)
    assert type(info.value) is exc
    if exc is TypeError:
        assert str(info.value).startswith(message)
    else:
        assert not str(info.value).startswith("argument")
        if message:
            assert str(info.value) == message


@pytest.mark.parametrize(
    "shape, ids, length",
    [([2], [0, 1], 2), ([2, 3], [], 6), ([], [], 1), ([3, 0, 2**63], [], 0), ([2**32, 2**31], [], None),
     ([U64_MAX, 2], [], None)],
)
def test_vars_length_is_the_product_of_the_extents(shape, ids, length):
    if length is None:
        with pytest.raises(OverflowError, match="^The block has more members than fit in a machine word$"):
            len(Vars(shape, ids))
    else:
        assert len(Vars(shape, ids)) == length


def test_vars_has_no_readable_fields_but_its_shape():
    vs = Vars([2], [0, 1])
    for attr in ("ids", "id"):
        assert not hasattr(vs, attr)
        assert not hasattr(Var(0), attr)
    assert not hasattr(Var(0), "shape")
    assert vs.shape == (2,)
    with pytest.raises(AttributeError):
        vs.shape = (3,)


# ---------------------------------------------------------------- item access

BLOCK = Vars([2, 3], list(range(10, 16)))


@pytest.mark.parametrize(
    "shape, ids, key, expected",
    [([3], [7, 8, 9], True, 8),
     ([3], [7, 8, 9], Index(0), 7),
     ([], [5], (), 5),
     ([2, 2], [1, 2, 3, 4, 5], (Index(1), Index(1)), 4)],  # ids beyond the shape are never reached
)
def test_item_access(shape, ids, key, expected):
    assert var_id(Vars(shape, ids)[key]) == expected


FLAT = "Flat index out of bounds"


@pytest.mark.parametrize(
    "block, key, exc, message",
    [(BLOCK, [1, 3], IndexError, "Index out of bounds"),
     (BLOCK, 1, IndexError, "Index dimension does not match variable dimension"),
     (BLOCK, (), IndexError, "Index dimension does not match variable dimension"),
     (BLOCK, (9, 9, 9), IndexError, "Index dimension does not match variable dimension"),  # before the bounds
     (BLOCK, (-1, 0), TypeError, "Expected integers for indices"),
     (BLOCK, [0, -1], TypeError, "Expected integers for indices"),
     (BLOCK, (0.5, 0), TypeError, "Expected integers for indices"),
     (BLOCK, slice(0, 1), TypeError, "Expected integers for indices"),
     (BLOCK, "ab", TypeError, "Expected integers for indices"),
     (BLOCK, (2**64, 0), TypeError, "Expected integers for indices"),
     (BLOCK, None, TypeError, "Expected integers for indices"),
     (BLOCK, (Index(ValueError("x")), 0), TypeError, "Expected integers for indices"),
     (BLOCK, -1, TypeError, "Expected integers for indices"),
     (BLOCK, iter([0, 1]), TypeError, "Expected integers for indices"),
     # Fewer ids than the shape promises, and flat positions that overflow.
     (Vars([3], [1, 2]), 2, IndexError, FLAT),
     (Vars([], []), (), IndexError, FLAT),
     (Vars([2, 2], [0, 1, 2]), (1, 1), IndexError, FLAT),
     (Vars([U64_MAX, 2], [1, 2, 3]), (2**63, 0), IndexError, FLAT),
     (Vars([2**40, 2**40], [1]), (2**30, 0), IndexError, FLAT)],
)
def test_item_access_errors(block, key, exc, message):
    with pytest.raises(exc) as info:
        block[key]
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize(
    "shape, ids, expected",
    [([3], [1, 2], [1, 2]),
     ([2], [4, 5, 6], [4, 5]),
     ([0], [], []),
     ([2, 3], list(range(10, 17)), list(range(10, 16))),
     ([2, 2, 2], [7, 6, 5], [7, 6, 5]),  # stops where the ids end
     ([2, 0, 3], [1, 2], []),
     ([U64_MAX, 2], [1, 2, 3], [1, 2, 3]),
     ([], [5, 6], [5])],
)
def test_iteration_yields_every_member_in_row_major_order(shape, ids, expected):
    vs = Vars(shape, ids)
    assert [var_id(v) for v in vs] == expected
    assert parts(kestpy.quicksum(vs)) == ([(i, 1.0) for i in expected], 0.0)
    it = iter(vs)
    assert iter(it) is it
    del vs
    assert [var_id(v) for v in it] == expected  # the iterator keeps the block


def test_members_of_an_iterated_block_belong_to_its_model(recording, attached):
    m = kestpy.Model("m")
    vs = m.addVars(2, 2)
    rec = attached(m)
    rec.var_values[3] = 1.5
    assert [v.X for v in vs] == [None, None, None, 1.5]
    with pytest.raises(ValueError, match="model 'm'"):
        next(iter(vs)) + kestpy.Model("other").addVar()


# ---------------------------------------------------------------- X and the shared optimizer


def test_x_reads_the_backend_value_as_float(recording, attached):
    m = kestpy.Model("m")
    v = m.addVar()
    vs = m.addVars(2)
    assert v.X is None and vs[1].X is None  # no backend yet
    rec = attached(m)
    rec.var_values.update({0: 1.5, 2: 4})
    rec.clear()
    assert v.X == 1.5
    x2 = vs[1].X
    assert x2 == 4.0 and type(x2) is float
    assert vs[0].X is None
    assert rec.args_of("get_var_value") == [(0,), (2,), (1,)]
    # A hand-built Var has no handle: it never asks the backend.
    rec.clear()
    assert Var(0).X is None
    assert rec.calls == []


def test_var_outlives_its_model():
    m = kestpy.Model("m")
    v = m.addVar()
    vs = m.addVars(2, 2)
    del m
    gc.collect()
    assert v.X is None
    w = vs[1, 1]
    del vs
    gc.collect()
    assert w.X is None
    assert str(w) == "Var(4)"


def test_var_outlives_its_model_with_backend(recording, attached):
    m = kestpy.Model("m")
    vs = m.addVars(3)
    rec = attached(m)
    rec.var_values[2] = 7.0
    w = vs[2]
    del m, vs
    gc.collect()
    assert w.X == 7.0
    assert rec.methods()[-1] == "get_var_value"


def test_x_from_inside_a_backend_call_of_the_same_model_raises(recording, attached):
    m = kestpy.Model("m")
    v = m.addVar()
    rec = attached(m)
    seen = []

    def hook(*args):
        try:
            v.X
        except RuntimeError as e:
            seen.append(e)
        return 1

    rec.on("add_variable", hook)
    m.addVar()
    assert len(seen) == 1
    # The model is still usable afterwards.
    rec.var_values[0] = 3.0
    assert v.X == 3.0


def test_x_on_a_broken_model_is_a_fault(recording, attached):
    m = kestpy.Model("m")
    v = m.addVar()
    rec = attached(m)
    rec.raise_on("add_variable", ValueError("backend down"))
    with raises_panic():
        m.addVar()
    for _ in range(2):  # the mark never clears
        with raises_panic():
            v.X
    assert Var(0).X is None  # no handle, no lock


# ---------------------------------------------------------------- either form of a block's ids

@pytest.mark.parametrize("ids", [[10, 11, 12, 13, 14, 15], [15, 3, 9, 3, 0, 7]], ids=["run", "table"])
def test_a_block_reads_alike_whether_its_ids_run_or_are_listed(ids):
    import collections
    import pickle

    import numpy as np

    def coeffs(e):
        out = collections.Counter()
        for v, c in parts(e)[0]:
            out[v] += c
        return {v: c for v, c in out.items() if c}

    vs = Vars([2, 3], ids)
    assert [var_id(v) for v in vs] == ids
    assert [var_id(vs[i, j]) for i in range(2) for j in range(3)] == ids
    assert str(vs) == "Vars(shape=[2, 3], ids=[" + ", ".join(f"VarId({i})" for i in ids) + "])"
    assert str(pickle.loads(pickle.dumps(vs))) == str(vs)
    assert coeffs(vs.sum()) == coeffs(kestpy.quicksum(vs)) == dict(collections.Counter(map(float, ids)))
    assert coeffs(vs.sum(1, "*")) == dict(collections.Counter(map(float, ids[3:])))
    weights = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    by_hand = collections.Counter()
    for i, w in zip(ids, weights):
        by_hand[i] += w
    assert coeffs(vs.prod(weights)) == dict(by_hand)
    flat = Vars([6], ids)
    assert coeffs(np.array(weights) @ flat) == dict(by_hand)
    m = kestpy.Model("m")
    x = m.addVars(16)
    m.addMConstrs(np.array([weights, weights[::-1]]) @ flat <= 1.0)
    m.addConstr(kestpy.quicksum(w * Var(i) for w, i in zip(weights, ids)) <= 1.0)
    m.addConstr(kestpy.quicksum(w * Var(i) for w, i in zip(weights[::-1], ids)) <= 1.0)
    cs = m.getConstrs()
    rows = [[m.getCoeff(c, x[j]) for j in range(16)] for c in cs]
    assert rows[:2] == rows[2:] and any(rows[0])
