"""Keyed blocks: dimensions given as keys, sparse sets of tuples, lookup by key
and by position, names from the keys, per-member arguments as dicts and as
arrays, and the block sums sum(*pattern) and prod(coeffs, *pattern)."""
import array
import collections
import itertools
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import kestpy
from conftest import parts, var_id

KEST = kestpy.KEST
Vars = type(kestpy.Model("t").addVars(1))
PLANTS = ["Seattle", "San Diego"]
MARKETS = ["NY", "Chicago", "Topeka"]
ARCS = [("a", "b"), ("b", "c"), ("a", "c"), (1, 2)]


def names_and_bounds(rec):
    return [(n, lb, ub) for n, _, lb, ub in rec.args_of("add_variable")]


# ---------------------------------------------------------------- lookup and names


@pytest.mark.parametrize("dims, keys, names, positional", [
    ((PLANTS, MARKETS), list(itertools.product(PLANTS, MARKETS)),
     [f"x[{p},{k}]" for p in PLANTS for k in MARKETS], True),
    ((PLANTS, 2), [(p, i) for p in PLANTS for i in range(2)], ["x[Seattle,0]", "x[Seattle,1]", "x[San Diego,0]",
                                                               "x[San Diego,1]"], True),
    ((MARKETS,), MARKETS, ["x[NY]", "x[Chicago]", "x[Topeka]"], True),
    ((ARCS,), ARCS, ["x[a,b]", "x[b,c]", "x[a,c]", "x[1,2]"], True),
    ((np.array([3, 1, 2]),), [3, 1, 2], ["x[3]", "x[1]", "x[2]"], False),  # numbers are keys, never positions
    ((["a", 0], ["b"]), [("a", "b"), (0, "b")], ["x[a,b]", "x[0,b]"], False),
    ((range(1, 3), ["u", None]), [(1, "u"), (1, None), (2, "u"), (2, None)],
     ["x[1,u]", "x[1,None]", "x[2,u]", "x[2,None]"], False),
    ((np.array([0.5, 2.0]),), [0.5, 2.0], ["x[0.5]", "x[2.0]"], False),
])
def test_keys_and_positions_name_the_same_members(recording, attached, dims, keys, names, positional):
    m = kestpy.Model("m")
    m.addVar()
    rec = attached(m)
    x = m.addVars(*dims, name="x")
    assert x.keys() == keys
    assert len(x) == len(keys) and [var_id(v) for v in x] == list(range(1, len(keys) + 1))
    assert [var_id(x[k]) for k in keys] == list(range(1, len(keys) + 1))
    assert [n for n, _, _ in names_and_bounds(rec)] == names
    if positional:
        for p, k in enumerate(keys):
            if len(x.shape) == 1:
                assert var_id(x[p]) == p + 1
            else:
                assert var_id(x[np.unravel_index(p, x.shape)]) == p + 1
                # a key and a position mixed
                assert var_id(x[(k[0],) + tuple(int(i) for i in np.unravel_index(p, x.shape)[1:])]) == p + 1


def test_block_methods_are_documented():
    import inspect
    for f in (Vars.keys, Vars.sum, Vars.prod, Vars.shape):
        assert len((f.__doc__ or "").strip()) > 40, f
    assert list(inspect.signature(Vars.prod).parameters) == ["self", "coeffs", "pattern"]


def test_shape_and_values_of_keyed_and_numbered_blocks(recording, attached):
    m = kestpy.Model("m")
    assert m.addVars(2, 0, 3).shape == (2, 0, 3)
    assert m.addVars().shape == ()
    assert m.addVars(ARCS).shape == (4,)
    x = m.addVars(PLANTS, MARKETS)
    assert x.shape == (2, 3)
    rec = attached(m)
    m.optimize()
    rec.var_values.update({i: float(i) for i in range(20)})
    assert x.X.shape == (2, 3) and x.X[1, 2] == x["San Diego", "Topeka"].X == 10.0
    assert parts(kestpy.quicksum(x)) == ([(i, 1.0) for i in range(5, 11)], 0.0)


@pytest.mark.parametrize("dims, key, error, message", [
    ((PLANTS, MARKETS), ("Boston", "NY"), KeyError, "'Boston' is not a key of dimension 0"),
    ((PLANTS, MARKETS), ("Seattle", 3), IndexError, "Index out of bounds"),
    ((PLANTS, MARKETS), ("Seattle", -1), TypeError, "Expected integers for indices"),
    ((PLANTS, MARKETS), "Seattle", IndexError, "Index dimension does not match variable dimension"),
    ((PLANTS, MARKETS), ("Seattle", ["NY"]), TypeError, "unhashable type: 'list'"),
    ((range(3, 6),), 0, KeyError, "0 is not a key of dimension 0"),
    ((MARKETS,), ("NY", "Chicago"), KeyError, "('NY', 'Chicago') is not a key of the block"),
    ((ARCS,), ("a", "z"), KeyError, "('a', 'z') is not a key of the block"),
    ((ARCS,), "a", KeyError, "'a' is not a key of the block"),
    ((ARCS,), 4, IndexError, "Index out of bounds"),
])
def test_lookup_refusals(dims, key, error, message):
    x = kestpy.Model("m").addVars(*dims)
    with pytest.raises(error) as info:
        x[key]
    assert type(info.value) is error
    assert (info.value.args[0] if error is KeyError else str(info.value)) == message


@pytest.mark.parametrize("dims, error, message", [
    (("abc",), TypeError, "addVars: dimension 0 is a str; give an int or a list of keys"),
    ((2, b"ab"), TypeError, "addVars: dimension 1 is a bytes; give an int or a list of keys"),
    ((frozenset("ab"),), TypeError, "addVars: dimension 0 is a frozenset, whose order is arbitrary"),
    ((["a", ["b"]],), TypeError, "addVars: dimension 0 entry 1 is a list, which cannot be a key (keys are hashable)"),
    ((2, ["a", "b", "a"]), ValueError, "addVars: dimension 1 has the key 'a' twice (entries 0 and 2)"),
    ((collections.deque([1, True]),), ValueError, "addVars: dimension 0 has the key True twice (entries 0 and 1)"),
    (([2, 3],), TypeError, "'list' object cannot be interpreted as an integer"),  # a shape, not keys
    (((2,),), TypeError, "'tuple' object cannot be interpreted as an integer"),
    (([1.0, math.nan],), ValueError, "addVars: dimension 0 entry 1 is NaN, which no lookup could find again"),
    (([("a", "b"), ("c",)],), ValueError, "addVars: entry 1 ('c',) has 1 items but entry 0 has 2"),
    (([("a", "b"), ("a", "b")],), ValueError, "addVars: dimension 0 has the key ('a', 'b') twice"),
    ((None,), TypeError, "'NoneType' object cannot be interpreted as an integer"),
])
def test_dimension_refusals_add_nothing(dims, error, message):
    m = kestpy.Model("m")
    with pytest.raises(error) as info:
        m.addVars(*dims)
    assert type(info.value) is error and str(info.value).startswith(message)
    assert m.NumVars == 0


# ---------------------------------------------------------------- dicts as per-member arguments


def test_dict_arguments_are_read_in_member_order(recording, attached):
    m = kestpy.Model("m")
    rec = attached(m)
    cap = {("San Diego", "NY"): 4, ("Seattle", "Chicago"): 2.5, ("Seattle", "NY"): 1, ("San Diego", "Chicago"): 3}
    x = m.addVars(PLANTS, MARKETS[:2], ub=cap, name={k: f"n{i}" for i, k in enumerate(reversed(list(cap)))},
                  vtype={k: KEST.INTEGER if k[0] == "Seattle" else KEST.BINARY for k in cap})
    assert rec.args_of("add_variable") == [("n1", "I", 0.0, 1.0), ("n2", "I", 0.0, 2.5),
                                           ("n3", "B", 0.0, 4.0), ("n0", "B", 0.0, 3.0)]
    from collections import OrderedDict, UserDict
    m.addVars(ARCS, lb=UserDict({k: i for i, k in enumerate(ARCS)}), obj=OrderedDict((k, 1) for k in ARCS))
    assert [lb for _, _, lb, _ in rec.args_of("add_variable")[4:]] == [0.0, 1.0, 2.0, 3.0]
    with pytest.raises(TypeError, match="^Expected a scalar or a list$"):
        m.addVars(2, lb={0: 5, 1: 6})  # a numbered block has no keys for a dict
    assert parts(x.sum()) == ([(i, 1.0) for i in range(4)], 0.0)


@pytest.mark.parametrize("dims, kwargs, error, message", [
    ((PLANTS,), {"ub": {"Seattle": 1}}, ValueError, "addVars: 'ub' has no entry for the key 'San Diego'"),
    ((PLANTS, 1), {"lb": {("Seattle", 0): 1, ("San Diego", 0): 2, ("Boston", 0): 3}}, ValueError,
     "addVars: 'lb' has an entry for the key ('Boston', 0), which names no member of the block"),
    ((PLANTS,), {"obj": {"Seattle": 1, "San Diego": "2"}}, TypeError,
     "addVars: 'obj' has a str for the key 'San Diego', not a number"),
    ((PLANTS,), {"vtype": {"Seattle": KEST.BINARY, "San Diego": "B"}}, TypeError,
     "addVars: 'vtype' has a str for the key 'San Diego', not a VarType"),
    ((range(3),), {"ub": {1: 1, 2: 2, 3: 3}}, ValueError, "addVars: 'ub' has no entry for the key 0"),
    ((ARCS,), {"name": {k: "n" for k in ARCS[1:]}}, ValueError, "addVars: 'name' has no entry for the key ('a', 'b')"),
])
def test_dict_argument_refusals_add_nothing(dims, kwargs, error, message):
    m = kestpy.Model("m")
    with pytest.raises(error) as info:
        m.addVars(*dims, **kwargs)
    assert type(info.value) is error and str(info.value) == message
    assert m.NumVars == 0


# ---------------------------------------------------------------- arrays in


INTS = [0, 1, 2, 3, 5, 7]
FLOATS = [-0.5, 1e-7, 2.0**-24, 65504.0, -0.0, 3.25]


@pytest.mark.parametrize("make, base", [
    (lambda v: np.array(v, dtype=np.float64), FLOATS),
    (lambda v: np.array(v, dtype=np.float32), FLOATS),
    (lambda v: np.array(v, dtype=np.float16), FLOATS),  # subnormal and largest halves, exactly
    (lambda v: np.array(v, dtype=">f8"), FLOATS),
    (lambda v: np.array(v, dtype=np.int8), [-128, 1, 2, 3, 5, 127]),
    (lambda v: np.array(v, dtype=">i2"), [-300, 1, 2, 3, 5, 7]),
    (lambda v: np.array(v, dtype=np.int32), INTS),
    (lambda v: np.array(v, dtype=np.int64), [2**62, 1, 2, 3, 5, -7]),
    (lambda v: np.array(v, dtype=np.uint8), [255, 1, 2, 3, 5, 7]),
    (lambda v: np.array(v, dtype=np.uint64), [2**64 - 1, 1, 2, 3, 5, 7]),
    (lambda v: np.array(v, dtype=bool), [0, 1, 1, 0, 1, 1]),
    (lambda v: np.array(v, dtype=np.float64).reshape(2, 3), FLOATS),
    (lambda v: np.asfortranarray(np.array(v, dtype=np.float64).reshape(2, 3)), FLOATS),
    (lambda v: np.array(v[::-1], dtype=np.int16).reshape(3, 2).T[:, ::-1].T.reshape(2, 3)[:, ::1], INTS),
    (lambda v: np.array(v, dtype=np.float32).reshape(3, 2).T, FLOATS),  # strided two dimensions
    (lambda v: np.repeat(np.array(v, dtype=np.float64), 2)[::2], FLOATS),  # strided one dimension
    (lambda v: array.array("d", v), FLOATS),
    (lambda v: memoryview(array.array("q", v)), INTS),
])
def test_arrays_read_as_the_same_list_would(recording, attached, make, base):
    arr = make(base)
    values = [float(x) for x in np.asarray(arr).ravel()]  # row-major, as numpy converts
    m = kestpy.Model("m")
    rec = attached(m)
    m.addVars(2, 3, lb=arr, ub=arr, obj=arr)
    m.addVars(2, 3, lb=values, ub=values, obj=values)
    calls = rec.args_of("add_variable")
    assert calls[:6] == calls[6:]
    assert [lb for _, _, lb, _ in calls[:6]] == values
    assert [math.copysign(1, lb) for _, _, lb, _ in calls[:6]] == [math.copysign(1, v) for v in values]
    m.optimize()
    assert rec.args_of("set_objective")[0][1] == [v for v in values if v] * 2


def test_array_refusals_and_type_codes(recording, attached):
    m = kestpy.Model("m")
    rec = attached(m)
    with pytest.raises(ValueError, match=r"^addVars: 'ub' has shape \(5,\) but the block has shape \(2, 3\)$"):
        m.addVars(2, 3, ub=np.zeros(5))
    with pytest.raises(ValueError, match=r"^addVars: 'lb' has shape \(3,\) but the block has shape \(2,\)$"):
        m.addVars(PLANTS, lb=np.zeros(3))  # arrays are exact, unlike lists
    with pytest.raises(TypeError, match=r"^addVars: 'vtype' is an array of float64; give integer VarType codes"):
        m.addVars(2, vtype=np.zeros(2))
    with pytest.raises(ValueError, match=r"^addVars: 'vtype' entry 1 is 7, not a VarType code"):
        m.addVars(2, vtype=np.array([1, 7]))
    with pytest.raises(TypeError, match="^addVars: 'lb' is an array of complex numbers, not of real ones$"):
        m.addVars(2, lb=np.array([1, 2], dtype=np.complex64))
    assert rec.args_of("add_variable") == []
    m.addVars(3, vtype=np.array([int(KEST.CONTINUOUS), int(KEST.BINARY), int(KEST.INTEGER)], dtype=np.uint8),
              ub=np.array([np.nan, 1.0, 2.0]), name=np.array(["a", "b", "c"]))
    m.addVars(1, vtype=np.array([KEST.BINARY], dtype=object), lb=np.array([2], dtype=object))
    got = rec.args_of("add_variable")
    assert [(n, t, lb) for n, t, lb, _ in got] == [("a", "C", 0.0), ("b", "B", 0.0), ("c", "I", 0.0),
                                                   ("[0]", "B", 2.0)]
    assert math.isnan(got[0][3])  # a NaN bound passes on as a scalar one does


# ---------------------------------------------------------------- sum and prod


def reference(x, pattern, coeffs=None):
    """The terms sum/prod should give, from keys() and plain Python."""
    keys = x.keys()
    first = var_id(next(iter(x))) if len(x) else 0
    terms = []
    for p, k in enumerate(keys):
        items = k if isinstance(k, tuple) else (k,)
        if pattern and not all(q == "*" or q == i for q, i in zip(pattern, items)):
            continue
        c = 1.0 if coeffs is None else coeffs.get(k)
        if c is not None and c != 0:
            terms.append((first + p, float(c)))
    return terms, 0.0


KEY_LISTS = [["a", "b", "c"], range(10, 30, 10), 2, [("p", 1), ("q", 2)], 3]


@settings(max_examples=120, deadline=None)
@given(dims=st.lists(st.sampled_from(KEY_LISTS), min_size=1, max_size=3), data=st.data())
def test_sum_and_prod_agree_with_a_reference(dims, data):
    m = kestpy.Model("m")
    m.addVars(data.draw(st.integers(0, 3)))
    x = m.addVars(*dims)
    axes = [list(range(d)) if isinstance(d, int) else list(d) for d in dims]
    if dims == [KEY_LISTS[3]]:  # a sparse set: one pattern item per tuple item
        axes = [list(items) for items in zip(*KEY_LISTS[3])]
    pattern = data.draw(st.one_of(st.just(()), st.tuples(*[st.sampled_from(["*"] + a) for a in axes])))
    keys = x.keys()
    chosen = data.draw(st.lists(st.sampled_from(keys), unique_by=repr)) if keys else []
    coeffs = {k: data.draw(st.sampled_from([0.0, 1.5, -2.0, 3])) for k in chosen}
    assert parts(x.sum(*pattern)) == reference(x, pattern)
    assert parts(x.prod(coeffs, *pattern)) == reference(x, pattern, coeffs)
    dense = [coeffs.get(k, 0.0) for k in keys]
    assert parts(x.prod(np.array(dense).reshape(x.shape), *pattern)) == reference(x, pattern, coeffs)


def test_sparse_sums_and_refusals():
    m = kestpy.Model("m")
    f = m.addVars(ARCS, name="flow")
    assert parts(f.sum("a", "*")) == ([(0, 1.0), (2, 1.0)], 0.0)
    assert parts(f.sum("*", "c")) == ([(1, 1.0), (2, 1.0)], 0.0)
    assert parts(f.sum("z", "*")) == ([], 0.0)  # a node with no arcs out
    assert parts(f.prod({("a", "c"): 2, ("b", "c"): 0.5, ("x", "y"): 9}, "*", "c")) == ([(1, 0.5), (2, 2.0)], 0.0)
    assert parts(f.prod([1, 2, 3, 4])) == ([(0, 1.0), (1, 2.0), (2, 3.0), (3, 4.0)], 0.0)
    x = m.addVars(PLANTS, MARKETS)
    for call, error, message in [
        (lambda: f.sum("a"), TypeError, "sum: the pattern has 1 item but the block's keys have 2"),
        (lambda: x.sum("*", "*", "*"), TypeError, "sum: the pattern has 3 items but the block's keys have 2"),
        (lambda: x.sum("Boston", "*"), KeyError, "'Boston' is not a key of dimension 0"),
        (lambda: x.prod({("Seattle", "NY"): "1"}), TypeError,
         "prod: 'coeffs' has a str for the key ('Seattle', 'NY'), not a number"),
        (lambda: x.prod([1, 2]), ValueError, "prod: 'coeffs' has 2 entries but the block has 6 members"),
        (lambda: x.prod(np.ones((3, 2))), ValueError, "prod: 'coeffs' has shape (3, 2) but the block has shape (2, 3)"),
        (lambda: x.prod(), TypeError, "prod() missing 1 required positional argument: 'coeffs'"),
    ]:
        with pytest.raises(error) as info:
            call()
        assert (info.value.args[0] if error is KeyError else str(info.value)) == message
    with pytest.raises(ValueError, match="model 'm'"):
        x.sum() + kestpy.Model("other").addVar()


def test_keyed_transportation_model_solves_to_its_optimum():
    supply = {"Seattle": 350, "San Diego": 600}
    demand = {"NY": 325, "Chicago": 300, "Topeka": 275}
    miles = {("Seattle", "NY"): 2.5, ("Seattle", "Chicago"): 1.7, ("Seattle", "Topeka"): 1.8,
             ("San Diego", "NY"): 2.5, ("San Diego", "Chicago"): 1.8, ("San Diego", "Topeka"): 1.4}
    m = kestpy.Model("transport")
    ship = m.addVars(supply, demand, obj={k: 90 * d / 1000 for k, d in miles.items()}, name="ship")
    m.addConstrs((ship.sum(p, "*") <= s for p, s in supply.items()), name="supply")
    m.addConstrs((ship.sum("*", k) >= d for k, d in demand.items()), name="demand")
    m.setBackend("highs")
    m.optimize()
    assert m.ObjVal == pytest.approx(153.675)
    assert sum(ship[p, k].X for p in supply for k in ["NY"]) == pytest.approx(325)
