"""What a backend object receives through the adapter, and what it may answer."""
import gc
import math
import sys
import tracemalloc
import weakref

import pytest

import kestpy
from conftest import raises_panic
from hostile import Index, Floaty
from kestpy_recording import Recorder

INF = float("inf")
KEST = kestpy.KEST


def same(a, b):
    """Equal values of exactly the same types, recursively; NaN equals NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    return a == b


def assert_calls(rec, expected):
    assert len(rec.calls) == len(expected), rec.calls
    for got, want in zip(rec.calls, expected):
        assert same(got, want), f"{got!r} != {want!r}"


# ---------------------------------------------------------------- replay


def test_replay_sends_whole_model_in_single_batch_calls(recording, attached):
    m = kestpy.Model("m")
    x = m.addVar(ub=10, name="x")
    y = m.addVar(lb=-INF, vtype=KEST.INTEGER)
    m.addVars(2, lb=[1, 2], vtype=KEST.BINARY, name="b")
    m.addConstr(2 * x + y <= 4, name="c0")
    m.addConstr(x >= 1)
    m.addConstrs([x + y == 3, 0 * x == 0])
    m.setObjective(x + 2 * y + 5, KEST.MAXIMIZE)
    m.setObjective(x + y, KEST.MINIMIZE)
    m.setParam("TimeLimit", 10)
    m.setParam("presolve", "off")
    m.setParam("TimeLimit", 2.5)
    rec = attached(m)
    # settings come last, once each with the latest value, in no promised order
    assert rec.methods()[3:] == ["set_optimizer_attr"] * 2
    assert same(sorted(rec.args_of("set_optimizer_attr")), [("TimeLimit", 2.5), ("presolve", "off")])
    del rec.calls[3:]
    assert_calls(rec, [
        ("add_variables", (4, ["x", "", "b[0]", "b[1]"], ["C", "I", "B", "B"], [0.0, -INF, 1.0, 2.0],
                           [10.0, INF, INF, INF])),
        ("add_constraints", ([[0, 1], [0], [0, 1], []], [[2.0, 1.0], [1.0], [1.0, 1.0], []],
                             [-4.0, 0.0, -3.0, 0.0], ["<", ">", "=", "="], [0.0, 1.0, 0.0, 0.0],
                             ["c0", "", "Cons[0]", "Cons[1]"])),
        ("set_objective", ([0, 1], [1.0, 1.0], 0.0, -1)),
    ])


# ---------------------------------------------------------------- forwarding


def test_additions_forwarded_one_call_each_with_given_values(recording, attached):
    m = kestpy.Model("empty")
    rec = attached(m)
    assert rec.calls == []  # nothing to replay
    assert same((rec.name, rec.env), ("empty", None))
    x = m.addVar()
    m.addVar(lb=-2, ub=INF, vtype=KEST.INTEGER, name="z")
    m.addVar(lb=float("nan"), ub=-0.0, vtype=KEST.BINARY, name="é")
    m.addVars(2, ub=[4, 5], name="w")
    m.addConstr(x >= 1)
    m.addConstrs((x <= k for k in range(2)), name=["p", "q"])
    assert_calls(rec, [
        ("add_variable", ("", None, 0.0, INF)),
        ("add_variable", ("z", "I", -2.0, INF)),
        ("add_variable", ("é", "B", float("nan"), -0.0)),
        ("add_variable", ("w[0]", "C", 0.0, 4.0)),
        ("add_variable", ("w[1]", "C", 0.0, 5.0)),
        # no name is None; a batch is forwarded one by one
        ("add_constraint", ([0], [1.0], ">", 1.0, None, 0.0)),
        ("add_constraint", ([0], [1.0], "<", 0.0, "p", 0.0)),
        ("add_constraint", ([0], [1.0], "<", 1.0, "q", 0.0)),
    ])


@pytest.mark.parametrize(
    "build, expected",
    [
        # The constant stays in the function: never folded into the right-hand side.
        (lambda x, y: 2 * x + 3 <= 10, ([0], [2.0], "<", 0.0, "c", -7.0)),
        (lambda x, y: x <= 5, ([0], [1.0], "<", 5.0, "c", 0.0)),
        (lambda x, y: 5 <= x, ([0], [1.0], ">", 5.0, "c", 0.0)),
        (lambda x, y: y >= x, ([0, 1], [-1.0, 1.0], ">", 0.0, "c", 0.0)),
        (lambda x, y: x + y == -INF, ([0, 1], [1.0, 1.0], "=", 0.0, "c", INF)),
        (lambda x, y: x - x == 1.5, ([], [], "=", 0.0, "c", -1.5)),
        (lambda x, y: kestpy.quicksum([y, x, y]) <= 1, ([0, 1], [1.0, 2.0], "<", 0.0, "c", -1.0)),
    ],
)
def test_constraint_forwarded_with_function_set_and_constant_apart(recording, attached, build, expected):
    m = kestpy.Model("m")
    x, y = m.addVar(), m.addVar()
    rec = attached(m)
    rec.clear()
    m.addConstr(build(x, y), name="c")
    assert_calls(rec, [("add_constraint", expected)])


def test_long_functions_arrive_exact_past_the_adapters_float_cache(recording, attached):
    # More distinct coefficients than the single-call float cache has slots,
    # each value repeated, with NaN and a subnormal among them.
    coeffs = [k / 7 for k in range(-20, 21) if k] + [float("nan"), -5e-324]
    coeffs = coeffs + coeffs[::-1]
    m = kestpy.Model("m")
    xs = m.addVars(len(coeffs))
    rec = attached(m)
    rec.clear()
    expr = kestpy.quicksum(c * xs[i] for i, c in enumerate(coeffs))
    m.addConstr(expr <= 1, name="c")
    m.setObjective(expr, KEST.MINIMIZE)
    expected = (list(range(len(coeffs))), coeffs)
    assert same(rec.calls[0], ("add_constraint", (*expected, "<", 0.0, "c", -1.0)))
    assert same(rec.calls[-1], ("set_objective", (*expected, 0.0, -1)))


def test_each_set_objective_sends_two_updates_previous_sense_first(recording, attached):
    m = kestpy.Model("m")
    x, y = m.addVar(), m.addVar()
    rec = attached(m)
    rec.clear()
    m.setObjective(kestpy.quicksum([y, x, y]), KEST.MAXIMIZE)  # terms as stored, unmerged
    m.setObjective(1 * x, KEST.MAXIMIZE)
    m.setObjective(y - 1, KEST.MINIMIZE)
    assert_calls(rec, [
        ("set_objective", ([1, 0, 1], [1.0, 1.0, 1.0], 0.0, -1)),
        ("set_objective", ([1, 0, 1], [1.0, 1.0, 1.0], 0.0, 1)),
        ("set_objective", ([0], [1.0], 0.0, 1)),
        ("set_objective", ([0], [1.0], 0.0, 1)),
        ("set_objective", ([1], [1.0], -1.0, 1)),
        ("set_objective", ([1], [1.0], -1.0, -1)),
    ])


def test_values_are_read_with_int_index_each_time(recording, attached):
    m = kestpy.Model("m")
    vs = m.addVars(3)
    rec = attached(m)
    rec.clear()
    rec.var_values[2] = 4
    assert vs[0].X is None
    assert same(vs[2].X, 4.0)
    assert same(vs[2].X, 4.0)
    assert_calls(rec, [("get_var_value", (0,)), ("get_var_value", (2,)), ("get_var_value", (2,))])


# ---------------------------------------------------------------- lookup and calling


class GetattrBackend:
    """Methods supplied by __getattr__, positional-only: keywords would fail."""

    def __init__(self, name, env):
        self.inner = Recorder(name, env)
        self.calls = self.inner.calls

    def __getattr__(self, attr):
        if attr.startswith("_"):
            raise AttributeError(attr)
        return lambda *args: getattr(self.inner, attr)(*args)


def test_methods_found_by_ordinary_attribute_lookup(recording, attached):
    recording.registry.factory = GetattrBackend
    m = kestpy.Model("m")
    x = m.addVar()
    rec = attached(m)
    m.addConstr(x <= 1)
    # A callable stored on the instance serves as well.
    rec.optimize = lambda: rec.calls.append(("instance optimize", ())) or 3
    m.optimize()
    rec.inner.var_values[0] = 1.5
    assert x.X == 1.5
    assert [c[0] for c in rec.calls] == ["add_variables", "add_constraint", "instance optimize", "get_var_value"]


def test_fault_keeps_the_backend_error_as_its_cause(recording, attached):
    # Which methods fault, and with what text, is in test_fault_injection.py.
    m = kestpy.Model("m")
    err = ValueError("backend says no")
    attached(m).raise_on("add_variable", err)
    with raises_panic(r"ValueError: backend says no") as info:
        m.addVar()
    assert info.value.__cause__ is err


# ---------------------------------------------------------------- results


# Answers that are refused are in the fault table of test_fault_injection.py.
ACCEPTED = {
    "add_variable": ((0, True, Index(3), 2**64 - 1), lambda m, x: m.addVar()),
    "add_constraint": ((0, True, Index(3), 2**64 - 1), lambda m, x: m.addConstr(x <= 1)),
    # the length of a batch answer is not compared with the count
    "add_variables": (((5, 6, 7), [], range(1), [True, Index(2)]), None),
    "add_constraints": (((5, 6, 7), [], range(1), [True, Index(2)]), None),
    "optimize": ((0, 5, True, Index(2), 2**32 - 1), lambda m, x: m.optimize()),
}


@pytest.mark.parametrize("method, answer", [(k, a) for k, (answers, _) in ACCEPTED.items() for a in answers])
def test_id_and_status_answers_accepted(recording, method, answer):
    m = kestpy.Model("m")
    x = m.addVar()
    m.addConstr(x <= 1)
    act = ACCEPTED[method][1]
    if act is None:  # a batch answer: met on replay
        recording.setup.append(lambda rec: rec.answer(method, answer))
        m.setBackend("recording")
        m.addVar()
    else:
        m.setBackend("recording")
        recording.created[-1].answer(method, answer)
        act(m, x)
        act(m, x)
    assert recording.created[-1].methods()[-1] == ("add_variable" if act is None else method)


def test_batch_result_is_iterated_to_its_end(recording):
    class Lying:
        """Reports length 1, yields three items, the last one bad."""

        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i >= 3:
                raise IndexError
            return [0, 1, "bad"][i]

    m = kestpy.Model("m")
    m.addVar()
    recording.setup.append(lambda rec: rec.answer("add_variables", Lying()))
    with raises_panic("TypeError"):
        m.setBackend("recording")


@pytest.mark.parametrize(
    "answer, expected", [(None, None), (5, 5.0), (True, 1.0), (Index(4), 4.0), (Floaty(2.5), 2.5), (-INF, -INF)])
def test_values_none_or_float(recording, attached, answer, expected):
    m = kestpy.Model("m")
    x = m.addVar()
    attached(m).answer("get_var_value", answer).answer("get_objective_value", answer)
    assert same(x.X, expected) and same(m.ObjVal, expected)


# ---------------------------------------------------------------- references


def test_results_and_backend_are_not_leaked(recording, attached):
    m = kestpy.Model("m")
    x = m.addVar()
    rec = attached(m)
    big = 2**62 + 1
    value = 12345.678
    status = Index(2)
    index_answer = 2**40
    rec.answer("get_var_value", value).answer("get_objective_value", value)
    rec.answer("optimize", status).answer("add_variable", index_answer)
    counts = [sys.getrefcount(o) for o in (rec, value, status, index_answer)]
    for _ in range(200):
        x.X
        m.ObjVal
        m.optimize()
        m.addVar()
        m.setParam("big", big)
    rec.calls.clear()
    assert [sys.getrefcount(o) for o in (rec, value, status, index_answer)] == counts


class Lean(Recorder):
    """Answers every method without keeping anything."""

    def _call(self, method, args, default):
        return default()


def test_argument_objects_are_released(recording):
    recording.registry.factory = Lean
    m = kestpy.Model("m")
    xs = m.addVars(5)
    m.setBackend("recording")
    rec = recording.created[-1]
    rec.var_values[3], rec.objective_value = 1.0, 2.0
    e = kestpy.quicksum(xs[i] * (i + 0.5) for i in range(5)) + 3
    c = e <= 7

    def round_trip():
        for _ in range(500):
            m.addConstr(c, name="some constraint name")
            m.addVar(lb=1.5, ub=2.5, vtype=KEST.INTEGER, name="a variable name")
            m.setObjective(e, KEST.MAXIMIZE)
            m.setParam("some parameter", "some value " * 3)
            m.setParam("other", 1.25)
            xs[3].X
            m.ObjVal

    round_trip()  # warm caches and free lists
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        round_trip()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # 500 rounds of leaked lists, floats and strings would be hundreds of kB.
    assert grown < 20_000, grown


def test_backend_released_on_replacement_and_with_model_and_variables(recording, recording2):
    m = kestpy.Model("m")
    x = m.addVar(ub=3, name="x")
    m.setBackend("recording")
    first = weakref.ref(recording.created.pop())
    m.addConstr(x <= 2, name="c")
    m.setObjective(x + 1, KEST.MAXIMIZE)
    m.setParam("Threads", 2)
    assert first() is not None  # held by the model and the adapter

    m.setBackend("recording2")
    assert first() is None
    second = recording2.created[-1]
    assert second.methods() == ["add_variables", "add_constraints", "set_objective", "set_optimizer_attr"]
    second.clear()
    m.addVar()
    m.optimize()
    assert second.methods() == ["add_variable", "optimize"]
    second = weakref.ref(recording2.created.pop())
    del m
    assert second() is not None  # the variable still holds the optimizer and its adapter
    del x
    assert second() is None
