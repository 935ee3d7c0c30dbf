"""Fault injection: backends that fail in every protocol method, in every phase,
hostile argument objects, and calls back into a model that is in use.

A backend failure under the model's write lock is a fault that leaves the model
broken for good; one under the read lock (value reads) or before any lock
leaves it usable. Other models never notice. Hostile arguments meet the
documented errors, and when they call back into the model they find it in use
("Already borrowed") and leave it exactly as it was.
"""
import gc
import re
import sys
import weakref

import pytest

import kestpy
import kestpy_recording
from conftest import bounded, raises_panic
from hostile import Floaty, Index, Seq
from kestpy import KEST

BROKEN = "The model's optimizer is unusable: an earlier operation failed while it held the optimizer lock"
CHANGED = ("The model is being changed by this thread (a backend method is running under its lock); "
           "it cannot be used from inside that call")
READ = ("The model is being read by this thread (a backend method is running under its lock); "
        "it cannot be used from inside that call")
# What calls back into a model meet: under the write lock, under a value read, and
# while the model converts an argument (before any lock).
CHANGING = {"addVar": "Already borrowed", "optimize": "Already borrowed", "ObjVal": "Already mutably borrowed",
            "str": "Already mutably borrowed", "X": CHANGED}
READING_X = {"addVar": READ, "optimize": READ, "ObjVal": READ, "str": "ok", "X": READ}
READING_OBJVAL = {**READING_X, "addVar": "Already borrowed", "optimize": "Already borrowed"}
CONVERTING = {k: v for k, v in CHANGING.items() if k != "X"}


def probe(m, x=None):
    """Calls back into m; returns what each call met ("ok" or the RuntimeError's text)."""
    calls = {"addVar": m.addVar, "optimize": m.optimize, "ObjVal": lambda: m.ObjVal, "str": lambda: str(m)}
    if x is not None:
        calls["X"] = lambda: x.X
    seen = {}
    for label, fn in calls.items():
        try:
            fn()
            seen[label] = "ok"
        except RuntimeError as e:
            seen[label] = str(e)
    return seen


def expect_panic(fn, match=None):
    """Runs fn, which must end in the fault exception; returns its message only,
    so that no traceback (and nothing it refers to) outlives the call."""
    with raises_panic(match) as info:
        fn()
    message = str(info.value.args[0])
    del info
    return message


def build_base(m):
    x = m.addVar(ub=4, name="x")
    vs = m.addVars(2, name="v")
    m.addConstr(x + vs[0] <= 3, name="c")
    m.setObjective(x + 2 * vs[1], KEST.MAXIMIZE)
    m.setParam("p", 1)
    return x, vs


def replay_calls(m):
    """What a fresh recording backend receives when attached to m: its whole content."""
    m.setBackend("recording")
    calls = kestpy_recording.created[-1].calls
    # Settings come in no particular order.
    return [c for c in calls if c[0] != "set_optimizer_attr"], sorted(
        c[1] for c in calls if c[0] == "set_optimizer_attr"
    )


def clean_replay(extra=None):
    m = kestpy.Model("m")
    x, vs = build_base(m)
    if extra is not None:
        extra(m, x, vs)
    return replay_calls(m)


# ---------------------------------------------------------------- backend failures by phase

# name: (protocol method, phase, action). "write" actions run with the backend
# attached and hold the write lock; "replay" actions attach a fresh backend;
# "read" actions hold the read lock.
TRIGGERS = {
    "addVar": ("add_variable", "write", lambda m, x, vs: m.addVar()),
    "addVars": ("add_variable", "write", lambda m, x, vs: m.addVars(2)),
    # obj coefficients reach the backend as one objective before the solve
    "addVar obj": ("set_objective", "write", lambda m, x, vs: (m.addVar(obj=1.5), m.optimize())),
    "addConstr": ("add_constraint", "write", lambda m, x, vs: m.addConstr(x >= 1)),
    "addConstrs": ("add_constraint", "write", lambda m, x, vs: m.addConstrs([x >= 1, x <= 2])),
    "setObjective": ("set_objective", "write", lambda m, x, vs: m.setObjective(x + 1, KEST.MINIMIZE)),
    "setParam": ("set_optimizer_attr", "write", lambda m, x, vs: m.setParam("q", 2.5)),
    "optimize": ("optimize", "write", lambda m, x, vs: m.optimize()),
    "replay variables": ("add_variables", "replay", lambda m, x, vs: m.setBackend("recording")),
    "replay constraints": ("add_constraints", "replay", lambda m, x, vs: m.setBackend("recording")),
    "replay objective": ("set_objective", "replay", lambda m, x, vs: m.setBackend("recording")),
    "replay settings": ("set_optimizer_attr", "replay", lambda m, x, vs: m.setBackend("recording")),
    "X": ("get_var_value", "read", lambda m, x, vs: x.X),
    "Vars X": ("get_var_value", "read", lambda m, x, vs: vs[1].X),
    "ObjVal": ("get_objective_value", "read", lambda m, x, vs: m.ObjVal),
}


def refusals(trigger):
    """What calls back into the model meet while the trigger's backend method runs."""
    if TRIGGERS[trigger][1] != "read":
        return CHANGING
    return READING_OBJVAL if trigger == "ObjVal" else READING_X


class Halt(BaseException):
    """A BaseException that is neither an interrupt nor a MemoryError: a fault."""


class Unprintable(Exception):
    def __str__(self):
        raise ZeroDivisionError("no text for you")


class Reentering(Exception):
    """An error whose text, read while the fault is built, calls back into the model."""

    seen = {}

    def __init__(self, m, x):
        super().__init__()
        self.m, self.x = m, x

    def __str__(self):
        Reentering.seen = probe(self.m, self.x)
        return "reentering"


# name: (configure(rec, method, m, x), pattern the fault message contains)
INJECTIONS = {
    # a lone surrogate in the text is escaped, not lost
    "raises": (lambda rec, meth, m, x: rec.raise_on(meth, ValueError("injected\ud800")),
               re.escape("ValueError: injected\\ud800")),
    # a BaseException other than KeyboardInterrupt and MemoryError (those
    # cut a call short: test_interrupts below) is a fault
    "raises BaseException": (lambda rec, meth, m, x: rec.raise_on(meth, Halt("stop")), "Halt"),
    "missing method": (lambda rec, meth, m, x: rec.hide(meth), "AttributeError: 'Recorder' object has no attribute"),
    # str() raises: repr() stands in
    "unprintable error": (lambda rec, meth, m, x: rec.raise_on(meth, Unprintable("no str")),
                          re.escape("Unprintable: Unprintable('no str')")),
    "error re-enters": (lambda rec, meth, m, x: rec.raise_on(meth, Reentering(m, x)), "Reentering"),
}


def other_model_works(other, oy, orec):
    """A model built before the fault, in the same process, on its own backend."""
    other.addConstr(oy <= 5, name="late")
    other.setObjective(oy * 2, KEST.MAXIMIZE)
    orec.var_values[0] = 5.0
    orec.objective_value = 10.0
    other.optimize()
    assert oy.X == 5.0 and other.ObjVal == 10.0
    assert orec.methods()[-6:] == [
        "add_constraint", "set_objective", "set_objective", "optimize", "get_var_value", "get_objective_value"]


def run_injection(recording, recording2, trigger, configure):
    """Sets up a model in the trigger's phase with configure(rec, method, m, x)
    applied to its backend; returns (model, x, vs, the backend (None until a
    replay makes it), the other model's parts, the action)."""
    method, phase, act = TRIGGERS[trigger]
    other = kestpy.Model("other")
    oy = other.addVar()
    other.setBackend("recording2")
    orec = recording2.created[-1]
    m = kestpy.Model("m")
    x, vs = build_base(m)
    if phase == "replay":
        recording.setup.append(lambda rec: configure(rec, method, m, x))
        m.setBackend("recording2")  # a working backend first: the replay replaces it
        rec = None
    else:
        m.setBackend("recording")
        rec = recording.created[-1]
        rec.var_values.update({0: 1.0, 1: 2.0, 2: 3.0})
        rec.objective_value = 7.0
        configure(rec, method, m, x)
    return m, x, vs, rec, (other, oy, orec), act


# Answers of the wrong type.


class RaisingIterSeq(Seq):
    def __len__(self):
        return len(self.items)

    def __iter__(self):
        raise ZeroDivisionError("iter")


class HugeLenSeq(Seq):
    def __len__(self):
        return sys.maxsize


class RaisingLenSeq(Seq):
    def __len__(self):
        raise ZeroDivisionError("len")


def gen_ids():
    yield 0


RAISING_INDEX, STR_INDEX = Index(ZeroDivisionError), Index("3")
RAISING_FLOAT, STR_FLOAT = Floaty(ZeroDivisionError), Floaty("1.0")
INT_ANSWERS = ["0", 1.5, -1, None, 2**64, RAISING_INDEX, STR_INDEX]
IDS_ANSWERS = ["01", 3, [0, "a"], [-1], [1.5], gen_ids(), RaisingIterSeq([0]), [RAISING_INDEX]]
VALUE_ANSWERS = ["5", [1.0], object(), RAISING_FLOAT, STR_FLOAT, 10**400]
STATUS_ANSWERS = [-1, 2.0, "2", None, 2**32, RAISING_INDEX, STR_INDEX, Index(-2)]

WRONG = (
    [("addVar", a) for a in INT_ANSWERS]
    + [("addConstrs", a) for a in INT_ANSWERS]
    + [("replay variables", a) for a in IDS_ANSWERS]
    + [("replay constraints", a) for a in IDS_ANSWERS]
    + [("optimize", a) for a in STATUS_ANSWERS]
    + [("X", a) for a in VALUE_ANSWERS]
    + [("ObjVal", a) for a in VALUE_ANSWERS]
)


def answering(value):
    return lambda rec, meth, m, x: rec.answer(meth, value)


# Every injection in every method, and answers that do not convert in the methods
# whose answer is used; the fault names the conversion error an answer caused.
FAILURES = [pytest.param(t, *INJECTIONS[i], id=f"{t}-{i}") for t in TRIGGERS for i in INJECTIONS] + [
    pytest.param(t, answering(a), f"^Python backend method '{TRIGGERS[t][0]}' returned an unusable result: "
                 ".*(TypeError|OverflowError|ZeroDivisionError)",
                 id=f"{t}-answer-{type(a).__name__}{i}") for i, (t, a) in enumerate(WRONG)]


@pytest.mark.parametrize("trigger, configure, text", FAILURES)
def test_backend_failure_in_each_method_and_phase(recording, recording2, trigger, configure, text):
    Reentering.seen = {}
    method, phase, _ = TRIGGERS[trigger]
    m, x, vs, rec, other_parts, act = run_injection(recording, recording2, trigger, configure)

    message = expect_panic(lambda: act(m, x, vs), text)
    assert f"'{method}'" in message
    rec = rec or recording.created[-1]
    if "AttributeError" not in text:  # a missing method is never called
        assert rec.methods()[-1] == method  # the failing call was the last one made
    if "Reentering" in text:
        # Its text is read while the fault is built, still under the model's lock.
        assert Reentering.seen == refusals(trigger)

    n_calls = len(rec.calls)
    if phase == "read":
        # A fault under the read lock leaves the model as it was.
        expect_panic(lambda: act(m, x, vs), text)  # the backend still fails the same way
        recording.setup.clear()
        rec.__init__("m", None)  # disarm; keep the object the adapter holds
        rec.var_values[1] = 2.0
        m.addConstr(x <= 1)
        m.optimize()
        assert vs[0].X == 2.0
        assert rec.methods() == ["add_constraint", "optimize", "get_var_value"]
    else:
        for _, _, op in [*TRIGGERS.values(), *TRIGGERS.values()]:  # twice: for good
            expect_panic(lambda: op(m, x, vs), BROKEN)
        for op in (lambda: m.addVar(lb="a"), lambda: m.setParam("p", None)):
            pytest.raises(TypeError, op)  # argument errors come first
        assert len(rec.calls) == n_calls  # no backend call on a broken model
        assert str(m) == "Model(name=m)"  # takes no lock

    other_model_works(*other_parts)


class Injected(ValueError):
    pass  # unlike ValueError itself, can be weakly referenced


@pytest.mark.parametrize("trigger", list(TRIGGERS))
def test_faulty_backend_and_its_error_are_released(recording, recording2, trigger):
    """After a fault in any phase, deleting the model frees the backend, the
    injected exception and everything the fault message was built from."""
    err = Injected("injected")
    err_ref = weakref.ref(err)
    configure = lambda rec, meth, m, x: rec.raise_on(meth, err)  # noqa: E731
    m, x, vs, rec, other_parts, act = run_injection(recording, recording2, trigger, configure)
    expect_panic(lambda: act(m, x, vs), "injected")
    del configure, err
    rec_ref = weakref.ref(recording.created[-1])
    del m, x, vs, rec, other_parts, act
    recording.created.clear()
    recording2.created.clear()
    recording.setup.clear()
    gc.collect()
    assert rec_ref() is None
    assert err_ref() is None


# ---------------------------------------------------------------- calls back from a backend method

# Answers for the hooks below; "add_variables" and "add_constraints" answer lists.
ANSWERS = {"add_variable": 0, "add_constraint": 0, "optimize": 2, "get_var_value": 1.0, "get_objective_value": 2.0,
           "add_variables": lambda n, *rest: list(range(n)), "add_constraints": lambda ix, *rest: list(range(len(ix)))}


@pytest.mark.parametrize("trigger", list(TRIGGERS))
def test_backend_method_calling_back_into_its_model_is_refused(recording, recording2, trigger):
    """The call back meets an error at once (it must not wait for ever on a lock
    its own thread holds), leaves nothing half done, and other models work."""
    seen = {}

    def configure(rec, method, m, x):
        answer = ANSWERS.get(method)

        def hook(*args):
            seen.update(probe(m, x), other=oy.X)
            return answer(*args) if callable(answer) else answer

        rec.on(method, hook)

    m, x, vs, rec, (other, oy, orec), act = run_injection(recording, recording2, trigger, configure)
    orec.var_values[0] = 9.0
    result, _ = bounded(lambda: act(m, x, vs))
    assert not isinstance(result, BaseException), result
    assert seen == {**refusals(trigger), "other": 9.0}
    recording.setup.clear()
    changes = TRIGGERS[trigger][1] == "write" and trigger != "optimize"
    # what the action changed, without the solve a detached model cannot run
    change = {"addVar obj": lambda m, x, vs: m.addVar(obj=1.5)}.get(trigger, act)
    assert replay_calls(m) == clean_replay(change if changes else None)


def test_uncaught_error_of_a_call_back_is_a_fault_that_breaks_the_model(recording, attached):
    m = kestpy.Model("m")
    rec = attached(m)
    rec.on("optimize", lambda: m.addVar())
    expect_panic(m.optimize, "RuntimeError: Already borrowed")
    expect_panic(m.addVar, BROKEN)


@pytest.mark.parametrize("method", ["set_objective", "set_optimizer_attr"])
@pytest.mark.parametrize("answer", [RAISING_INDEX, STR_FLOAT])  # each faults if converted
def test_results_that_are_not_looked_at_never_fault(recording, attached, method, answer):
    m = kestpy.Model("m")
    x, vs = build_base(m)
    rec = attached(m)
    rec.answer(method, answer)
    m.setObjective(x + 1, KEST.MINIMIZE)
    m.setParam("p", 3)
    m.addVar()  # still usable
    assert rec.methods()[-4:] == ["set_objective", "set_objective", "set_optimizer_attr", "add_variable"]


@pytest.mark.parametrize(
    "answer",
    [HugeLenSeq([0, 1, 2]), RaisingLenSeq([0, 1, 2]), range(3), (0, 1, 2)],
    ids=["lying len", "raising len", "range", "tuple"],
)
def test_batch_result_length_only_sizes_the_result(recording, answer):
    # A __len__ that lies or raises must not decide what happens: the items do.
    m = kestpy.Model("m")
    m.addVars(3)
    recording.setup.append(lambda rec: rec.answer("add_variables", answer))
    m.setBackend("recording")
    m.addVar()
    assert recording.created[-1].methods() == ["add_variables", "add_variable"]


def test_answer_whose_conversion_reenters_the_model(recording, attached):
    m = kestpy.Model("m")
    x, vs = build_base(m)
    rec = attached(m)
    seen = []
    # Under the read lock: the value converts (the re-entries are refused) and
    # the model stays usable; the same under the write lock.
    rec.answer("get_var_value", hook_object("__float__", m, 4, seen, x))
    assert bounded(lambda: x.X)[0] == 4.0
    rec.answer("add_variable", hook_object("__index__", m, 0, seen, x))
    m.addVar()
    assert seen == [READING_X, CHANGING]
    m.optimize()


# ---------------------------------------------------------------- faults before any lock


@pytest.mark.parametrize("act, raises", [
    (lambda m, x, vs: m.optimize(), lambda: pytest.raises(RuntimeError, match=r'^Msg\("No backend solver attached"\)$')),
    (lambda m, x, vs: x * vs[0], raises_panic),
    (lambda m, x, vs: (x + 1) * (vs[0] + 1), raises_panic),
    (lambda m, x, vs: x == None, raises_panic),  # noqa: E711
], ids=["optimize without backend", "Var times Var", "LinExpr times LinExpr", "comparison with None"])
def test_error_before_any_lock_leaves_model_usable(recording, act, raises):
    m = kestpy.Model("m")
    x, vs = build_base(m)
    for _ in range(2):
        with raises():
            act(m, x, vs)
    assert x.X is None
    assert replay_calls(m) == clean_replay()


# ---------------------------------------------------------------- hostile arguments


def shrinking_list(values, hook):
    """A list whose first item's conversion hook empties the list."""
    lst = []

    class Shrink:
        def _shrink(self):
            lst.clear()
            return values[0]

    setattr(Shrink, hook, lambda self: self._shrink())
    lst.extend([Shrink(), *values[1:]])
    return lst


Vars = type(kestpy.Model("types").addVars(1))


class NonIterator:
    def __iter__(self):
        return 5


def late_error(x):
    yield x <= 1
    yield x <= 2
    raise ZeroDivisionError("late")

UNSUPPORTED = (TypeError, "Unsupported attribute value type")
NOT_A_LIST = (TypeError, "Expected a scalar or a list")
# name: (call(m, x, vs), exception type, message fragment)
HOSTILE = {
    "extent __index__ raises": (lambda m, x, vs: m.addVars(RAISING_INDEX), ZeroDivisionError, "index"),
    "extent __index__ wrong type": (lambda m, x, vs: m.addVars(2, STR_INDEX), TypeError, "non-int"),
    "setParam __index__ raises": (lambda m, x, vs: m.setParam("p", RAISING_INDEX), *UNSUPPORTED),
    "setParam __float__ wrong type": (lambda m, x, vs: m.setParam("p", STR_FLOAT), *UNSUPPORTED),
    "Var __index__ raises": (lambda m, x, vs: kestpy.Var(RAISING_INDEX), ZeroDivisionError, "index"),
    "key __index__ raises": (lambda m, x, vs: vs[RAISING_INDEX], TypeError, "Expected integers for indices"),
    "tuple key __index__ wrong type": (lambda m, x, vs: vs[(STR_INDEX,)], TypeError, "Expected integers"),
    "list key __index__ raises": (lambda m, x, vs: vs[[RAISING_INDEX]], TypeError, "Expected integers"),
    "Vars shape __index__ raises": (lambda m, x, vs: Vars([RAISING_INDEX], [0]), ZeroDivisionError, "index"),
    "lb __float__ raises": (lambda m, x, vs: m.addVar(lb=RAISING_FLOAT), ZeroDivisionError, "float"),
    "ub __float__ wrong type": (lambda m, x, vs: m.addVar(ub=STR_FLOAT), TypeError, "argument 'ub': "),
    "obj __float__ raises": (lambda m, x, vs: m.addVar(obj=RAISING_FLOAT), ZeroDivisionError, "float"),
    "block lb __float__ raises": (lambda m, x, vs: m.addVars(2, lb=RAISING_FLOAT), *NOT_A_LIST),
    "block ub item wrong type": (lambda m, x, vs: m.addVars(2, ub=[1.0, STR_FLOAT]), *NOT_A_LIST),
    "block lb shrinking list": (lambda m, x, vs: m.addVars(3, lb=shrinking_list([1.0, 2.0, 3.0], "__float__")),
                                ValueError, "'lb' has 1 entry but the block has 3 members"),
    "block obj shrinking list": (lambda m, x, vs: m.addVars(3, obj=shrinking_list([1, 2, 3], "__index__")),
                                 ValueError, "'obj' has 1 entry but the block has 3 members"),
    "block lb __iter__ raises": (lambda m, x, vs: m.addVars(1, lb=RaisingIterSeq([1.0])), *NOT_A_LIST),
    "addConstrs __iter__ raises": (lambda m, x, vs: m.addConstrs(RaisingIterSeq([x <= 1])), ZeroDivisionError, "iter"),
    "addConstrs __iter__ wrong type": (lambda m, x, vs: m.addConstrs(NonIterator()), TypeError,
                                       "iter() returned non-iterator"),
    "addConstrs generator raises late": (lambda m, x, vs: m.addConstrs(late_error(x)), ZeroDivisionError, "late"),
    "addConstrs names __iter__ raises": (lambda m, x, vs: m.addConstrs([x <= 1], name=RaisingIterSeq(["a"])),
                                         *NOT_A_LIST),
    "quicksum __iter__ raises": (lambda m, x, vs: kestpy.quicksum(RaisingIterSeq([x])), ZeroDivisionError, "iter"),
    "quicksum item __float__ raises": (lambda m, x, vs: kestpy.quicksum([x, RAISING_FLOAT]), TypeError,
                                       "Item is not a LinExpr, Var, or f64"),
}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_argument_meets_documented_error_and_changes_nothing(recording, attached, name):
    call, exc_type, fragment = HOSTILE[name]
    m = kestpy.Model("m")
    x, vs = build_base(m)
    rec = attached(m)
    n_calls = len(rec.calls)
    with pytest.raises(exc_type) as info:
        call(m, x, vs)
    assert fragment in str(info.value)
    assert len(rec.calls) == n_calls  # nothing reached the backend
    del info
    expected = clean_replay(lambda m, x, vs: m.addVar())
    m.addVar()
    assert replay_calls(m) == expected


@pytest.mark.parametrize("seq", [HugeLenSeq, RaisingLenSeq], ids=["lying len", "raising len"])
def test_sequence_length_is_only_a_hint(recording, attached, seq):
    assert str(Vars(seq([2]), (0, 1))) == "Vars(shape=[2], ids=[VarId(0), VarId(1)])"
    assert str(Vars([2], seq([0, 1]))) == "Vars(shape=[2], ids=[VarId(0), VarId(1)])"
    assert str(Vars([2, 2], [0, 1, 2, 3])[seq([1, 0])]) == "Var(2)"
    m = kestpy.Model("m")
    rec = attached(m)
    m.addVars(2, lb=seq([1.0, 2.0]), name=seq(["a", "b"]))
    m.addConstrs([kestpy.Var(0) <= 1], name=seq(["c"]))
    assert rec.calls == [("add_variable", ("a", "C", 1.0, float("inf"))),
                         ("add_variable", ("b", "C", 2.0, float("inf"))),
                         ("add_constraint", ([0], [1.0], "<", 1.0, "c", 0.0))]


def test_shrinking_list_key_is_read_safely():
    vs = Vars([2], [10, 11])
    # The key's first index empties the list: what remains is that one index.
    assert str(vs[shrinking_list([1, 0, 0], "__index__")]) == "Var(11)"
    with pytest.raises(IndexError, match="Index dimension does not match"):
        Vars([2, 2], [0, 1, 2, 3])[shrinking_list([1, 0], "__index__")]


def test_shrinking_list_in_quicksum_is_read_safely():
    x = kestpy.Var(0)
    lst = shrinking_list([1.0, x, x], "__float__")
    assert str(kestpy.quicksum(lst)) == "ScalarAffineFn { terms: [], constant: 1.0 }"


def hook_object(hook, m, value, seen, x=None):
    """An object whose `hook` calls back into m (appending what the calls met to
    seen) and then answers with value."""

    def answer(self):
        seen.append(probe(m, x))
        return {"__float__": float, "__iter__": iter}.get(hook, lambda v: v)(value)

    ns = {hook: answer}
    if hook == "__iter__":  # a sequence, not only an iterable
        ns["__getitem__"] = lambda self, i: value[i]
    return type("Hook" + hook.strip("_"), (), ns)()


# name: call(m, x, h), where h(hook, value) gives the argument that answers value
REENTRANT = {
    "addVar lb __float__": lambda m, x, h: m.addVar(lb=h("__float__", 2.0)),
    "addVar obj __float__": lambda m, x, h: m.addVar(obj=h("__float__", 3)),
    "addVars extent __index__": lambda m, x, h: m.addVars(h("__index__", 2), 3),
    "addVars ub scalar __float__": lambda m, x, h: m.addVars(2, ub=h("__float__", 5)),
    "addVars lb item __index__": lambda m, x, h: m.addVars(2, lb=[h("__index__", 1), 2.0]),
    "addVars lb sequence __iter__": lambda m, x, h: m.addVars(2, lb=h("__iter__", [1.0, 2.0])),
    "addConstrs __iter__": lambda m, x, h: m.addConstrs(h("__iter__", [x <= 1, x >= 0])),
    "addConstrs names __iter__": lambda m, x, h: m.addConstrs([x <= 1], name=h("__iter__", ["a"])),
    "setParam __index__": lambda m, x, h: m.setParam("q", h("__index__", 7)),
    "setParam __float__": lambda m, x, h: m.setParam("q", h("__float__", 7.5)),
}


@pytest.mark.parametrize("attach", [False, True], ids=["detached", "attached"])
@pytest.mark.parametrize("name", list(REENTRANT))
def test_argument_calling_back_into_model_finds_it_borrowed(recording, name, attach):
    call = REENTRANT[name]
    m = kestpy.Model("m")
    x, vs = build_base(m)
    if attach:
        m.setBackend("recording")
    seen = []
    call(m, x, lambda hook, value: hook_object(hook, m, value, seen))
    assert seen and all(s == CONVERTING for s in seen)
    # The call did exactly what it does with plain values, and nothing else.
    assert replay_calls(m) == clean_replay(lambda m, x, vs: call(m, x, lambda hook, value: value))


def test_generator_calling_back_into_model(recording):
    m = kestpy.Model("m")
    x, vs = build_base(m)
    seen = []

    def gen():
        yield x <= 1
        seen.append(probe(m))
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            m.addConstrs([x <= 5])
        yield x >= 0

    m.addConstrs(gen(), name="g")
    assert seen == [CONVERTING]
    assert replay_calls(m) == clean_replay(lambda m, x, vs: m.addConstrs([x <= 1, x >= 0], name="g"))


@pytest.mark.parametrize("call, message", [
    (lambda m: m.addVar(1, 2, 3, None, "n", 6), "Model.addVar() takes from 0 to 5 positional arguments but 6 were given"),
    (lambda m: m.addConstr(), "Model.addConstr() missing 1 required positional argument: 'constr'"),
    (lambda m: m.setParam("p", 1, x=2), "Model.setParam() got an unexpected keyword argument 'x'"),
    (lambda m: m.optimize(1), "Model.optimize() takes 0 positional arguments but 1 was given"),
])
def test_binding_errors_come_before_the_busy_model(call, message):
    # As for any Python function, the arguments are bound before the body runs.
    m = kestpy.Model("m")
    x = m.addVar()
    met = []

    def gen():
        with pytest.raises(TypeError) as info:
            call(m)
        met.append(str(info.value))
        yield x <= 1

    m.addConstrs(gen())
    assert met == [message]


def test_uncaught_callback_error_passes_through_and_changes_nothing(recording):
    m = kestpy.Model("m")
    x, vs = build_base(m)

    class Grabby:
        def __float__(self):
            m.addVar()  # raises "Already borrowed", uncaught
            return 1.0

    def grabby_generator():
        yield x <= 1
        m.addVar()

    for call in (lambda: m.addVar(lb=Grabby()), lambda: m.addConstrs(grabby_generator())):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            call()
    assert replay_calls(m) == clean_replay()


@pytest.mark.parametrize(
    "act, expected",
    [
        (lambda m, rec: m.setBackend("a\0b"), "Failed to set backend to 'a\0b'. Please ensure"),
        (lambda m, rec: (rec.raise_on("add_variable", ValueError("x\0y")), m.addVar()), "ValueError: x\0y"),
    ],
    ids=["backend name", "backend error"],
)
def test_fault_message_keeps_text_after_a_nul(recording, attached, act, expected):
    m = kestpy.Model("m")
    rec = attached(m)
    message = expect_panic(lambda: act(m, rec))
    assert expected in message


# ---------------------------------------------------------------- interrupts and memory errors


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError])
@pytest.mark.parametrize("trigger", list(TRIGGERS))
def test_interrupt_or_memory_error_in_a_backend_method_is_no_fault(recording, recording2, trigger, exc):
    """The caller gets the exception itself; the model stays usable, holds the
    interrupted change (a MemoryError undoes it), and the next solve runs on a
    backend rebuilt from the model."""
    method, phase, act = TRIGGERS[trigger]
    m, x, vs, rec, _, act = run_injection(recording, recording2, trigger,
                                          lambda rec, meth, m, x: rec.raise_on(meth, exc("injected")))
    with pytest.raises(exc, match="injected"):
        act(m, x, vs)
    recording.setup.clear()
    before = len(recording.created)
    # Ctrl-C in optimize itself is an interrupted solve: the backend is kept
    rebuilds = phase == "write" and not (trigger == "optimize" and exc is KeyboardInterrupt)
    if trigger == "optimize" and exc is KeyboardInterrupt:
        assert m.Status == kestpy.KEST.INTERRUPTED
        rec._raises.clear()
    m.optimize()
    if not rebuilds:
        assert len(recording.created) == before
    if rebuilds:  # the failing backend is replaced by a rebuilt one
        assert len(recording.created) == before + 1
        rebuilt = recording.created[-1]
        assert rebuilt.methods()[-1] == "optimize"
        rebuilt.calls.pop()
        assert [c for c in rebuilt.calls if c[0] != "set_optimizer_attr"] == replay_calls(m)[0]
    kept = phase == "write" and (exc is KeyboardInterrupt or trigger in ("addVar obj", "optimize"))
    change = {"addVar obj": lambda m, x, vs: m.addVar(obj=1.5)}.get(trigger, act)
    assert replay_calls(m) == clean_replay(change if kept and trigger != "optimize" else None)


def test_a_backend_rebuilt_by_a_solve_replaces_the_one_the_model_held(recording):
    """The stale backend, and the whole model it holds, is let go."""
    m = kestpy.Model("m")
    x = m.addVar()
    m.setBackend("recording")
    stale = recording.created[-1]
    stale.raise_on("add_constraint", KeyboardInterrupt("injected"))
    with pytest.raises(KeyboardInterrupt):
        m.addConstr(x <= 1)
    gone = weakref.ref(stale)
    del stale
    recording.created.clear()
    m.optimize()
    gc.collect()
    assert gone() is None and len(recording.created) == 1
