"""Model.setParam, setBackend, optimize and ObjVal; re-entry and broken models."""
import math
import sys
import threading
import time
import types

import pytest

import kestpy
import kestpy_recording
from conftest import raises_panic
from hostile import Index, Floaty

INF = float("inf")
KEST = kestpy.KEST
BROKEN = "optimizer is unusable"
NOT_AVAILABLE = "'. Please ensure the corresponding module is available.: "


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return a == b


def test_signatures():
    assert kestpy.Model.setParam.__text_signature__ == "($self, paramname, newvalue)"
    assert kestpy.Model.setBackend.__text_signature__ == "($self, backend)"
    assert kestpy.Model.optimize.__text_signature__ == "($self)"
    with pytest.raises(AttributeError):
        kestpy.Model("m").ObjVal = 1.0


# ---------------------------------------------------------------- setParam


@pytest.mark.parametrize(
    "value, received",
    [
        (10, 10),
        (10.5, 10.5),
        (True, 1),
        (False, 0),
        ("fast", "fast"),
        ("", ""),
        (2**70, float(2**70)),
        (2**63 - 1, 2**63 - 1),
        (-(2**63), -(2**63)),
        (2**63, float(2**63)),
        (Index(7), 7),
        (Floaty(0.25), 0.25),
        (-INF, -INF),
    ],
)
@pytest.mark.parametrize("when", ["attached", "replayed"])
def test_setparam_value_kinds_as_received(recording, attached, value, received, when):
    m = kestpy.Model("m")
    if when == "attached":
        rec = attached(m)
        m.setParam("TimeLimit", value)
    else:
        m.setParam("TimeLimit", value)
        rec = attached(m)
    assert rec.methods() == ["set_optimizer_attr"]
    name, got = rec.calls[0][1]
    assert same(name, "TimeLimit")
    assert same(got, received), (got, received)


@pytest.mark.parametrize("value", [None, [1], (1.0,), b"1", 10**400, object(), 1j])
def test_setparam_unsupported_value(recording, attached, value):
    m = kestpy.Model("m")
    rec = attached(m)
    with pytest.raises(TypeError) as info:
        m.setParam("p", value)
    assert str(info.value) == "Unsupported attribute value type"
    assert rec.calls == []
    m.setParam("p", 1)  # still usable
    assert rec.methods() == ["set_optimizer_attr"]


def test_setparam_arguments():
    m = kestpy.Model("m")
    with pytest.raises(TypeError, match=r"^argument 'paramname': "):
        m.setParam(5, 1)
    with pytest.raises(TypeError, match="newvalue"):
        m.setParam("p")
    with pytest.raises(TypeError):
        m.setParam("p", 1, 2)
    assert m.setParam(newvalue=1, paramname="p") is None


def test_setparam_name_is_sent_verbatim(recording, attached):
    m = kestpy.Model("m")
    rec = attached(m)
    for name in ["Silent", "solver name", "ü", ""]:
        m.setParam(name, 1)
    assert [a[0] for a in rec.args_of("set_optimizer_attr")] == ["Silent", "solver name", "ü", ""]


# ---------------------------------------------------------------- setBackend


def test_setbackend_imports_module_and_calls_model_with_name_and_none(recording):
    m = kestpy.Model("plant 1")
    assert m.setBackend("recording") is None
    rec = recording.created[-1]
    assert type(rec) is kestpy_recording.Recorder
    assert same(rec.name, "plant 1") and rec.env is None


def test_setbackend_model_may_be_any_callable(monkeypatch):
    seen = []

    class Backend(kestpy_recording.Recorder):
        pass

    module = types.ModuleType("kestpy_anycallable")
    module.Model = lambda *args, **kwargs: seen.append((args, kwargs)) or Backend(*args)
    monkeypatch.setitem(sys.modules, "kestpy_anycallable", module)
    m = kestpy.Model("m")
    m.addVar()
    m.setBackend("anycallable")
    assert seen == [(("m", None), {})]


@pytest.mark.parametrize(
    "install, error",
    [
        (lambda mp, reg: None, "ModuleNotFoundError: No module named 'kestpy_nowhere'"),
        (lambda mp, reg: mp.setitem(sys.modules, "kestpy_nowhere", types.ModuleType("kestpy_nowhere")),
         "AttributeError: module 'kestpy_nowhere' has no attribute 'Model'"),
        (lambda mp, reg: mp.setitem(sys.modules, "kestpy_nowhere", kestpy_recording) or setattr(
            reg, "model_error", ValueError("no licence")), "ValueError: no licence"),
    ],
)
def test_failed_backend_creation_is_a_fault_and_model_stays_usable(recording, monkeypatch, install, error):
    install(monkeypatch, recording.registry)
    m = kestpy.Model("m")
    x = m.addVar(name="x")
    with raises_panic() as info:
        m.setBackend("nowhere")
    message = info.value.args[0]
    assert message.startswith("Failed to set backend to 'nowhere" + NOT_AVAILABLE), message
    assert error in message
    # No lock was held: the model is fine and still has no backend.
    assert x.X is None and m.ObjVal is None
    with pytest.raises(RuntimeError):
        m.optimize()
    recording.registry.model_error = None
    m.addVar(name="y")
    m.setBackend("recording")
    assert recording.created[-1].calls[0][1][1] == ["x", "y"]


def test_setbackend_argument_must_be_str():
    with pytest.raises(TypeError, match=r"^argument 'backend': "):
        kestpy.Model("m").setBackend(b"recording")
    with pytest.raises(TypeError):
        kestpy.Model("m").setBackend()


def test_backend_name_is_used_unchanged():
    with raises_panic("kestpy_ recording"):
        kestpy.Model("m").setBackend(" recording")


# ---------------------------------------------------------------- optimize and ObjVal


def test_optimize_without_backend():
    m = kestpy.Model("m")
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            m.optimize()
        assert str(info.value) == 'Msg("No backend solver attached")'
    m.addVar()  # usable


def test_optimize_takes_no_arguments():
    with pytest.raises(TypeError):
        kestpy.Model("m").optimize(1)
    with pytest.raises(TypeError):
        kestpy.Model("m").optimize(timeout=1)


def test_optimize_calls_backend_each_time(recording, attached):
    m = kestpy.Model("m")
    rec = attached(m)
    assert m.optimize() is None
    assert m.optimize() is None
    assert rec.calls == [("optimize", ()), ("optimize", ())]


def test_objval_none_until_backend_reports_a_value(recording, attached):
    m = kestpy.Model("m")
    assert m.ObjVal is None
    rec = attached(m)
    assert m.ObjVal is None
    rec.objective_value = 3
    assert same(m.ObjVal, 3.0)
    rec.objective_value = None
    assert m.ObjVal is None
    assert rec.methods() == ["get_objective_value"] * 3


# ---------------------------------------------------------------- re-entry


def entry_points(m, x):
    """Model operations that call a backend method, and the method each calls."""
    return {
        "addVar": ("add_variable", lambda: m.addVar()),
        "addVars": ("add_variable", lambda: m.addVars(1)),
        "addConstr": ("add_constraint", lambda: m.addConstr(x <= 1)),
        "addConstrs": ("add_constraint", lambda: m.addConstrs([x <= 1])),
        "setObjective": ("set_objective", lambda: m.setObjective(x + 1, KEST.MAXIMIZE)),
        "setParam": ("set_optimizer_attr", lambda: m.setParam("p", 1)),
        "optimize": ("optimize", lambda: m.optimize()),
    }


ENTRIES = ["addVar", "addVars", "addConstr", "addConstrs", "setObjective", "setParam", "optimize"]


@pytest.mark.parametrize("entry", ENTRIES)
def test_reentry_from_backend_method_is_refused(recording, attached, entry):
    m = kestpy.Model("m")
    x = m.addVar()
    other = kestpy.Model("other")
    ox = other.addVar()
    rec = attached(m)
    attached(other).var_values[0] = 9.0
    method, act = entry_points(m, x)[entry]
    seen = {}

    def attempt(label, fn):
        try:
            seen[label] = ("ok", fn())
        except RuntimeError as e:
            seen[label] = ("RuntimeError", str(e))

    def hook(*args):
        attempt("addVar", lambda: m.addVar())
        attempt("optimize", lambda: m.optimize())
        attempt("ObjVal", lambda: m.ObjVal)
        attempt("str", lambda: str(m))
        attempt("X", lambda: x.X)
        attempt("other X", lambda: ox.X)
        return {"add_variable": 0, "add_constraint": 0, "optimize": 2}.get(method)

    rec.on(method, hook)
    act()
    assert seen["addVar"] == ("RuntimeError", "Already borrowed")
    assert seen["optimize"] == ("RuntimeError", "Already borrowed")
    assert seen["ObjVal"] == ("RuntimeError", "Already mutably borrowed")
    assert seen["str"] == ("RuntimeError", "Already mutably borrowed")
    assert seen["X"][0] == "RuntimeError"
    assert seen["other X"] == ("ok", 9.0)
    # Nothing was left half done: the model works afterwards.
    rec.on(method, lambda *a: {"add_variable": 0, "add_constraint": 0, "optimize": 2}.get(method))
    act()
    assert str(m) == "Model(name=m)"


def test_reentry_during_replay_is_refused(recording):
    m = kestpy.Model("m")
    x = m.addVar()
    seen = []

    def hook(count, *rest):
        for fn in (lambda: m.addVar(), lambda: m.ObjVal, lambda: x.X):
            try:
                fn()
            except RuntimeError as e:
                seen.append(str(e))
        return list(range(count))

    recording.setup.append(lambda rec: rec.on("add_variables", hook))
    m.setBackend("recording")
    assert seen[:2] == ["Already borrowed", "Already mutably borrowed"] and len(seen) == 3


def test_uncaught_reentry_error_is_a_fault_that_breaks_the_model(recording, attached):
    m = kestpy.Model("m")
    rec = attached(m)
    rec.on("optimize", lambda: m.addVar())
    with raises_panic(r"RuntimeError: Already borrowed"):
        m.optimize()
    with raises_panic(BROKEN):
        m.addVar()


def test_other_thread_waits_without_holding_the_interpreter(recording, attached):
    m = kestpy.Model("m")
    x = m.addVar()
    rec = attached(m)
    rec.var_values[0] = 1.5
    got = []
    reader = threading.Thread(target=lambda: got.append(x.X))

    def solve():
        reader.start()
        time.sleep(0.2)  # lets go of the interpreter lock; the reader must not hang on it
        assert got == []  # the reader waits for the model's lock
        return 2

    rec.on("optimize", solve)
    m.optimize()
    reader.join(10)
    assert got == [1.5]


# ---------------------------------------------------------------- faults under the write lock


def break_model(recording, attached):
    m = kestpy.Model("m")
    x = m.addVar()
    vs = m.addVars(2)
    rec = attached(m)
    rec.raise_on("add_constraint", ValueError("rejected"))
    with raises_panic("ValueError: rejected"):
        m.addConstr(x <= 1)
    return m, x, vs, rec


LOCKING_OPERATIONS = {
    "addVar": lambda m, x, vs: m.addVar(),
    "addVars": lambda m, x, vs: m.addVars(2),
    "addConstr": lambda m, x, vs: m.addConstr(x >= 0),
    "addConstrs": lambda m, x, vs: m.addConstrs([x >= 0]),
    "setObjective": lambda m, x, vs: m.setObjective(x + 1, KEST.MINIMIZE),
    "setParam": lambda m, x, vs: m.setParam("p", 1),
    "setBackend": lambda m, x, vs: m.setBackend("recording2"),
    "optimize": lambda m, x, vs: m.optimize(),
    "ObjVal": lambda m, x, vs: m.ObjVal,
    "X": lambda m, x, vs: x.X,
    "Vars X": lambda m, x, vs: vs[1].X,
}


@pytest.mark.parametrize("op", list(LOCKING_OPERATIONS))
def test_fault_under_write_lock_breaks_model_for_good(recording, recording2, attached, op):
    m, x, vs, rec = break_model(recording, attached)
    rec.clear()
    for _ in range(2):
        with raises_panic(BROKEN):
            LOCKING_OPERATIONS[op](m, x, vs)
    assert rec.calls == []
    # Operations that take no lock still work, and other models are unaffected.
    assert str(m) == "Model(name=m)"
    other = kestpy.Model("other")
    y = other.addVar()
    other.addConstr(y <= 1)
    other.setBackend("recording2")
    other.optimize()
    assert y.X is None


def test_argument_errors_on_broken_model_come_first(recording, attached):
    m, x, vs, rec = break_model(recording, attached)
    with pytest.raises(TypeError):
        m.addVar(lb="a")
    with pytest.raises(TypeError):
        m.setParam("p", None)


@pytest.mark.parametrize(
    "setup, action",
    [
        (lambda rec: rec.raise_on("optimize", ValueError("x")), lambda m: m.optimize()),
        (lambda rec: rec.answer("optimize", -1), lambda m: m.optimize()),
        (lambda rec: rec.raise_on("set_optimizer_attr", ValueError("x")), lambda m: m.setParam("a", "b")),
        (lambda rec: rec.answer("add_variable", "0"), lambda m: m.addVar()),
        (lambda rec: rec.raise_on("set_objective", ValueError("x")),
         lambda m: m.setObjective(m.addVars(1)[0] + 0, KEST.MAXIMIZE)),
    ],
)
def test_every_write_fault_breaks_the_model(recording, attached, setup, action):
    m = kestpy.Model("m")
    x = m.addVar()
    rec = attached(m)
    setup(rec)
    with raises_panic():
        action(m)
    with raises_panic(BROKEN):
        x.X


def test_failed_replay_breaks_the_model(recording):
    m = kestpy.Model("m")
    x = m.addVar()
    recording.setup.append(lambda rec: rec.raise_on("add_variables", ValueError("replay")))
    with raises_panic("ValueError: replay"):
        m.setBackend("recording")
    recording.setup.clear()
    with raises_panic(BROKEN):
        m.setBackend("recording")
    with raises_panic(BROKEN):
        x.X


def test_fault_while_reading_leaves_model_usable(recording, attached):
    m = kestpy.Model("m")
    x = m.addVar()
    rec = attached(m)
    rec.answer("get_var_value", "not a number")
    with raises_panic("TypeError"):
        x.X
    rec.answer("get_var_value", 2)
    assert x.X == 2.0
    m.addVar()


# ---------------------------------------------------------------- the typical road


def test_typical_road(recording):
    m = kestpy.Model("m")  # 1
    x = m.addVar(ub=10, name="x")  # 2
    y = m.addVar(name="y")
    c = 2 * x + y <= 4  # 3
    m.addConstr(c, name="c0")  # 4
    m.setObjective(x + y, KEST.MAXIMIZE)  # 5
    m.setBackend("recording")  # 6
    rec = recording.created[-1]
    assert rec.calls == [
        ("add_variables", (2, ["x", "y"], ["C", "C"], [0.0, 0.0], [10.0, INF])),
        ("add_constraints", ([[0, 1]], [[2.0, 1.0]], [-4.0], ["<"], [0.0], ["c0"])),
        ("set_objective", ([0, 1], [1.0, 1.0], 0.0, 1)),
    ]
    rec.var_values.update({0: 0.0, 1: 4})
    rec.objective_value = 4
    m.optimize()  # 7
    assert rec.calls[-1] == ("optimize", ())
    assert same(x.X, 0.0) and same(y.X, 4.0) and same(m.ObjVal, 4.0)  # 8
    assert rec.calls[-3:] == [("get_var_value", (0,)), ("get_var_value", (1,)), ("get_objective_value", ())]
