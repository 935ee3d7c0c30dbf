"""Model.setParam, setBackend, optimize and ObjVal. Re-entry and broken models
are in test_fault_injection.py."""
import sys
import types

import pytest

import kestpy
import kestpy_recording
from conftest import raises_panic
from hostile import Index, Floaty

INF = float("inf")
KEST = kestpy.KEST
NOT_AVAILABLE = "'. Please ensure the corresponding module is available.: "


def same(a, b):
    return type(a) is type(b) and a == b


def test_signatures():
    assert kestpy.Model.setParam.__text_signature__ == "($self, paramname, newvalue)"
    assert kestpy.Model.setBackend.__text_signature__ == "($self, backend)"
    assert kestpy.Model.optimize.__text_signature__ == "($self)"
    assert kestpy.Model("m").setParam(newvalue=1, paramname="p") is None
    with pytest.raises(AttributeError):
        kestpy.Model("m").ObjVal = 1.0


@pytest.mark.parametrize("call, match", [
    (lambda m: m.setParam(5, 1), r"^argument 'paramname': "),
    (lambda m: m.setParam("p"), "newvalue"),
    (lambda m: m.setParam("p", 1, 2), None),
    (lambda m: m.setBackend(b"recording"), r"^argument 'backend': "),
    (lambda m: m.setBackend(), None),
    (lambda m: m.optimize(1), None),
    (lambda m: m.optimize(timeout=1), None),
])
def test_argument_errors(call, match):
    with pytest.raises(TypeError, match=match):
        call(kestpy.Model("m"))


# ---------------------------------------------------------------- setParam


@pytest.mark.parametrize(
    "value, received",
    [
        (10, 10), (10.5, 10.5), (True, 1), (False, 0), ("fast", "fast"), ("", ""), (-INF, -INF),
        (2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)),
        (Index(7), 7), (Floaty(0.25), 0.25),
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


# Integers that do not fit 64 bits are refused, not turned into floats.
@pytest.mark.parametrize("value", [2**70, 2**63, -(2**63) - 1, 10**400])
def test_setparam_int_beyond_64_bits_is_refused(recording, attached, value):
    m = kestpy.Model("m")
    rec = attached(m)
    with pytest.raises(OverflowError, match=f"^setParam: 'newvalue' {value} does not fit a 64-bit integer$"):
        m.setParam("Threads", value)
    assert rec.calls == []


@pytest.mark.parametrize("value", [None, [1], (1.0,), b"1", object(), 1j])
def test_setparam_unsupported_value(recording, attached, value):
    m = kestpy.Model("m")
    rec = attached(m)
    with pytest.raises(TypeError) as info:
        m.setParam("p", value)
    assert str(info.value) == "Unsupported attribute value type"
    assert rec.calls == []
    m.setParam("p", 1)  # still usable
    assert rec.methods() == ["set_optimizer_attr"]


def test_setparam_name_is_sent_verbatim(recording, attached):
    m = kestpy.Model("m")
    rec = attached(m)
    for name in ["Silent", "solver name", "ü", ""]:
        m.setParam(name, 1)
    assert [a[0] for a in rec.args_of("set_optimizer_attr")] == ["Silent", "solver name", "ü", ""]


# ---------------------------------------------------------------- setBackend


def test_setbackend_model_may_be_any_callable(monkeypatch):
    seen = []

    class Backend(kestpy_recording.Recorder):
        pass

    module = types.ModuleType("kestpy_anycallable")
    module.Model = lambda *args, **kwargs: seen.append((args, kwargs)) or Backend(*args)
    monkeypatch.setitem(sys.modules, "kestpy_anycallable", module)
    m = kestpy.Model("plant 1")
    m.addVar()
    assert m.setBackend("anycallable") is None
    # The model's name and no environment, by position.
    assert seen == [(("plant 1", None), {})]


@pytest.mark.parametrize(
    "name, install, error",
    [
        ("nowhere", lambda mp, reg: None, "ModuleNotFoundError: No module named 'kestpy_nowhere'"),
        ("nowhere", lambda mp, reg: mp.setitem(sys.modules, "kestpy_nowhere", types.ModuleType("kestpy_nowhere")),
         "AttributeError: module 'kestpy_nowhere' has no attribute 'Model'"),
        ("nowhere", lambda mp, reg: mp.setitem(sys.modules, "kestpy_nowhere", kestpy_recording) or setattr(
            reg, "model_error", ValueError("no licence")), "ValueError: no licence"),
        # the name is used unchanged
        (" recording", lambda mp, reg: None, "No module named 'kestpy_ recording'"),
    ],
)
def test_failed_backend_creation_is_a_fault_and_model_stays_usable(recording, monkeypatch, name, install, error):
    install(monkeypatch, recording.registry)
    m = kestpy.Model("m")
    x = m.addVar(name="x")
    with raises_panic() as info:
        m.setBackend(name)
    message = info.value.args[0]
    assert message.startswith(f"Failed to set backend to '{name}" + NOT_AVAILABLE), message
    assert error in message
    # No lock was held: the model is fine and still has no backend.
    assert x.X is None and m.ObjVal is None
    with pytest.raises(RuntimeError):
        m.optimize()
    recording.registry.model_error = None
    m.addVar(name="y")
    m.setBackend("recording")
    assert recording.created[-1].calls[0][1][1] == ["x", "y"]


# ---------------------------------------------------------------- optimize and ObjVal


def test_optimize_and_objval_ask_the_backend_every_time(recording, attached):
    m = kestpy.Model("m")
    assert m.ObjVal is None
    rec = attached(m)
    assert m.optimize() is None and m.optimize() is None
    assert m.ObjVal is None  # until the backend reports a value
    rec.objective_value = 3
    assert same(m.ObjVal, 3.0)
    rec.objective_value = None
    assert m.ObjVal is None
    assert rec.calls == [("optimize", ())] * 2 + [("get_objective_value", ())] * 3


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
