"""The array channel: backends that define the array methods receive whole
batches as arrays that own their memory; what they receive is the model the
list protocol would have sent."""
import gc
import os

import numpy as np
import pytest

import kestpy
from conftest import raises_panic
from kestpy import KEST, quicksum
from kestpy_recording import Recorder
from test_backend_protocol import same


def rows(starts, idx, coeffs):
    return ([list(map(int, idx[a:b])) for a, b in zip(starts[:-1], starts[1:])],
            [list(map(float, coeffs[a:b])) for a, b in zip(starts[:-1], starts[1:])])


class ArrayRecorder(Recorder):
    """Records the array methods in the list protocol's form, and keeps what it got."""

    values = None

    def __init__(self, name, env):
        super().__init__(name, env)
        self.kept = []

    def add_variable_arrays(self, lb, ub, types, names):
        self.kept.append((lb, ub, types, names))
        n = len(lb)
        assert (lb.format, ub.format, types.format, lb.readonly) == ("d", "d", "B", True)
        self.calls.append(("add_variables", (n, list(names) if names is not None else [""] * n,
                                             [chr(t) for t in types], lb.tolist(), ub.tolist())))

    def add_constraint_arrays(self, starts, idx, coeffs, constants, senses, rhs, names):
        self.kept.append((starts, idx, coeffs, constants, senses, rhs, names))
        assert (starts.format, idx.format, coeffs.format, senses.format) == ("i", "i", "d", "B")
        n = len(senses)
        self.calls.append(("add_constraints", rows(starts, idx, coeffs) + (
            constants.tolist(), [chr(s) for s in senses], rhs.tolist(),
            list(names) if names is not None else [""] * n)))

    def set_objective_arrays(self, idx, coeffs, constant, sense):
        self.kept.append((idx, coeffs))
        self.calls.append(("set_objective", (idx.tolist(), coeffs.tolist(), constant, sense)))

    def get_var_values(self):
        self.calls.append(("get_var_values", ()))
        return self.values


def build(m):
    x = m.addVar(ub=4, name="x")
    y = m.addVars(2, 3, lb=-1, vtype=KEST.INTEGER, name="y")
    m.addVar(vtype=KEST.BINARY)
    m.addConstr(x + 2 * y[0, 1] <= 3, name="first")
    m.addConstr(x >= 1)
    # repeats and unsorted terms come through quicksum as written
    m.addConstrs((quicksum([y[1, j], x, y[1, j], 3.0]) == j for j in range(3)), name="eq")
    m.addConstrs([x - y[0, 0] >= -2, 0.5 * x <= 7])
    m.setObjective(x + 3 * y[1, 2] + 1.5, KEST.MAXIMIZE)
    return x, y


def test_replay_carries_the_model_the_lists_carry(recording, attached):
    m = kestpy.Model("m")
    build(m)
    lists = attached(m).calls
    recording.registry.factory = ArrayRecorder
    arrays = attached(m).calls
    assert same(arrays, lists)
    assert [c[0] for c in arrays] == ["add_variables", "add_constraints", "set_objective"]


def test_batches_while_attached_are_one_call_each(recording, attached):
    recording.registry.factory = ArrayRecorder
    m = kestpy.Model("m")
    rec = attached(m)
    x, y = build(m)
    assert rec.methods() == ["add_variable", "add_variables", "add_variable", "add_constraint", "add_constraint",
                             "add_constraints", "add_constraints", "set_objective", "set_objective"]
    # unnamed batches still name their members: "[i,j]" and "Cons[i]"
    m.addVars(2)
    m.addConstrs([x <= 1])
    assert rec.calls[-2][1][1] == ["[0]", "[1]"] and rec.calls[-1][1][-1] == ["Cons[0]"]


def test_arrays_and_names_outlive_the_model(recording, attached):
    recording.registry.factory = ArrayRecorder
    m = kestpy.Model("m")
    m.addVars(1000, ub=np.arange(1000.0).tolist(), name="v")
    rec = attached(m)
    lb, ub, types, names = rec.kept[0]
    m.addVars(100000)  # the cache's columns move
    del m
    gc.collect()
    assert np.asarray(ub)[-1] == 999.0 and np.frombuffer(types, np.uint8).tolist() == [ord("C")] * 1000
    assert (len(names), names[7], names[-1], list(names)[998]) == (1000, "v[7]", "v[999]", "v[998]")
    with pytest.raises(IndexError):
        names[1000]
    with pytest.raises(ValueError):
        np.asarray(ub)[0] = 1.0  # read-only


def test_a_kept_objective_stays_as_sent(recording, attached):
    # The objective's arrays are shares of the cache's own: changing the
    # objective afterwards must not reach what the backend kept.
    recording.registry.factory = ArrayRecorder
    m = kestpy.Model("m")
    x = m.addVars(5000, name="x")
    m.setObjective(quicksum((i + 1.0) * x[i] for i in range(5000)), KEST.MINIMIZE)
    rec = attached(m)
    idx, coeffs = rec.kept[-1]
    x[3].Obj = -7.0
    z = m.addVar(obj=2.0)
    assert (x[3].Obj, x[4].Obj, z.Obj) == (-7.0, 5.0, 2.0)
    m.setObjective(x[0] + 0.0, KEST.MAXIMIZE)
    del m, x
    gc.collect()
    assert np.array_equal(np.asarray(idx), np.arange(5000)) and np.array_equal(np.asarray(coeffs), np.arange(1.0, 5001))


# The sanitizer's allocator keeps freed blocks in quarantine, so the resident
# set there says nothing about what the backend holds.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="resident set measures the sanitizer's quarantine")
def test_batches_added_one_by_one_hold_only_themselves(recording, attached):
    # A backend keeping each batch's arrays must not keep the cache's whole
    # columns alive with them: the columns are copied on the next append while
    # shared, so every batch would hold a copy of all rows before it.
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    recording.registry.factory = ArrayRecorder
    m = kestpy.Model("m")
    x = m.addVars(20)
    total = quicksum(x[i] for i in range(20))
    rec = attached(m)
    before = rss()
    for k in range(2000):
        m.addConstrs([total <= k])
        m.addVars(1)
    assert len(rec.kept) == 4001  # the replay, then a batch a call
    assert rss() - before < 64 * 2**20  # all rows held once: 0.5 MiB; a copy per batch: 500 MiB


def test_bulk_values(recording, attached):
    recording.registry.factory = ArrayRecorder
    m = kestpy.Model("m")
    x = m.addVars(2, 3)
    rec = attached(m)
    assert x.X is None and m.X is None
    rec.values = np.arange(6.0)
    assert x.X.tolist() == [[0, 1, 2], [3, 4, 5]] and m.X.tolist() == list(range(6))
    assert x[1, 2].X is None  # single reads stay on get_var_value
    rec.values = np.zeros(5)
    with raises_panic("5 values, none for variable 5"):
        x.X


def test_a_backend_rebuilt_after_an_interrupt_gets_the_arrays_and_the_pending_objective(recording, attached):
    recording.registry.factory = ArrayRecorder
    m = kestpy.Model("m")
    rec = attached(m)
    x, y = build(m)
    rec.raise_on("add_constraint", KeyboardInterrupt("injected"))
    with pytest.raises(KeyboardInterrupt, match="injected"):
        m.addConstr(x <= 2, name="cut")
    m.addVar(obj=2.0, name="late")  # a coefficient the rebuilt backend must see
    m.optimize()
    rebuilt = recording.created[-1]
    assert rebuilt is not rec and type(rebuilt) is ArrayRecorder
    methods = [c for c in rebuilt.methods() if c != "set_optimizer_attr"]
    assert methods == ["add_variables", "add_constraints", "set_objective", "optimize"]
    n, names = rebuilt.calls[0][1][:2]
    assert (n, names[-1]) == (9, "late")
    assert rebuilt.args_of("add_constraints")[0][-1][-1] == "cut"
    idx, coeffs = rebuilt.args_of("set_objective")[0][:2]
    assert dict(zip(idx, coeffs))[8] == 2.0
