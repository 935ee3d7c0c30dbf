"""quicksum: one accumulator, Var items appended as they come, LinExpr and
number items simplifying everything so far."""

import sys

import pytest

import kestpy
from kestpy import Var, quicksum
from conftest import parts

x, y, z = Var(0), Var(1), Var(2)


@pytest.mark.parametrize(
    "items,terms,constant",
    [
        ([x, y, x, 0], [(0, 2.0), (1, 1.0)], 0.0),
        ([2 * x, 3, y], [(0, 2.0), (1, 1.0)], 3.0),
        ([1, 2.5, True], [], 4.5),
        ([], [], 0.0),
        ([y, x, 1 * z, y, x], [(0, 1.0), (1, 1.0), (2, 1.0), (1, 1.0), (0, 1.0)], 0.0),
        ([x, 0 - x, y], [(1, 1.0)], 0.0),
    ],
)
@pytest.mark.parametrize("wrap", [list, tuple, lambda v: (i for i in v)], ids=["list", "tuple", "gen"])
def test_examples(items, terms, constant, wrap):
    assert parts(quicksum(wrap(items))) == (terms, constant)


def test_a_later_operator_simplifies(recording):
    s = quicksum([x, y, x])
    assert parts(s + 0) == ([(0, 2.0), (1, 1.0)], 0.0)
    assert parts(s - y) == ([(0, 2.0)], 0.0)
    assert parts(s * 2) == ([(0, 4.0), (1, 2.0)], 0.0)
    assert parts(3 - s) == ([(0, -2.0), (1, -1.0)], 3.0)
    assert parts(x + s) == ([(0, 3.0), (1, 1.0)], 0.0)
    # ... and so does a comparison.
    model = kestpy.Model("m")
    model.addVar(), model.addVar()
    model.setBackend("recording")
    model.addConstr(quicksum([x, x]) == 0)
    model.addConstr(quicksum([x, y, x]) <= s)
    calls = recording.created[-1].args_of("add_constraint")
    assert calls == [([0], [2.0], "=", 0.0, None, 0.0), ([], [], "<", 0.0, None, 0.0)]
    # The operand itself is unchanged.
    assert parts(s) == ([(0, 1.0), (1, 1.0), (0, 1.0)], 0.0)


def test_blocks_sum_all_their_members(recording):
    model = kestpy.Model("m")
    vs = model.addVars(4)
    assert parts(quicksum(v for v in vs)) == ([(0, 1.0), (1, 1.0), (2, 1.0), (3, 1.0)], 0.0)
    assert parts(quicksum(vs)) == ([(0, 1.0), (1, 1.0), (2, 1.0), (3, 1.0)], 0.0)
    grid = model.addVars(2, 2)
    assert parts(quicksum(v for v in grid)) == ([(4, 1.0), (5, 1.0), (6, 1.0), (7, 1.0)], 0.0)
    assert parts(quicksum(grid)) == parts(quicksum(list(grid)))


def test_keyword_argument():
    assert parts(quicksum(generator=[x, 2])) == parts(quicksum([x, 2]))
    assert quicksum.__module__ == "kestpy"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "quicksum() missing 1 required positional argument: 'generator'"),
    (([], []), {}, "quicksum() takes 1 positional argument but 2 were given"),
    ((), {"items": []}, "quicksum() got an unexpected keyword argument 'items'"),
    ((5,), {}, "'int' object is not iterable"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        quicksum(*args, **kwargs)
    assert str(info.value) == message


class BadFloat:
    def __float__(self):
        raise ValueError("not a number")


@pytest.mark.parametrize("bad", ["s", None, BadFloat(), 10**400, [x]], ids=repr)
def test_unsupported_item(bad):
    for wrap in (list, tuple, iter):
        with pytest.raises(TypeError, match=r"^Item is not a LinExpr, Var, or f64$") as info:
            quicksum(wrap([x, 2 * y, bad, z]))
        assert info.value.__context__ is None


def test_generator_exception_passes_unchanged():
    class Boom(Exception):
        pass

    def gen():
        yield x
        raise Boom("stop")

    with pytest.raises(Boom, match="stop"):
        quicksum(gen())


def test_fault_inside_generator_passes_unchanged(panic):
    with panic("Multiplication of two variables"):
        quicksum(x * v for v in [y])


class Shrinker:
    """A number whose conversion empties the list being summed."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 1.5


@pytest.mark.parametrize("wrap", [lambda v: v, iter], ids=["list", "iter"])
def test_list_mutated_during_the_sum(wrap):
    items = [x, None, y, z]
    items[1] = Shrinker(items)
    assert parts(quicksum(wrap(items))) == ([(0, 1.0)], 1.5)
    assert items == []


def test_items_are_released():
    item_var, item_expr, item_num = Var(9), x + 1, 10.0**5
    seq = [item_var, item_expr, item_num] * 50
    before = [sys.getrefcount(o) for o in (item_var, item_expr, item_num)]
    for wrap in (list, tuple, iter):
        quicksum(wrap(seq))
    for bad in (None, "s"):
        with pytest.raises(TypeError):
            quicksum(seq + [bad])
    del wrap
    assert [sys.getrefcount(o) for o in (item_var, item_expr, item_num)] == before
