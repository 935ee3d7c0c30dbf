"""Two threads on one model while the backend lets go of the interpreter lock.

The backends here sleep inside a protocol method (time.sleep releases the
interpreter lock), so another thread runs while the model is held. Model
methods from that thread meet the documented RuntimeError at once; value
reads wait for the model's lock without holding the interpreter lock and then
succeed. Every wait is bounded, so a deadlock fails the test instead of
hanging it.
"""
import random
import threading
import time

import pytest

import kestpy
from conftest import bounded, run_python
from kestpy import KEST

HOLD = 0.3  # seconds a slow backend method keeps the model


class Background(threading.Thread):
    """Runs fn on a daemon thread for the length of a with block; `entered` is
    set by the slow backend method."""

    def __init__(self, fn):
        super().__init__(target=self.body, args=(fn,), daemon=True)
        self.entered = threading.Event()
        self.finished_at = self.result = self.error = None

    def body(self, fn):
        try:
            self.result = fn()
        except BaseException as e:  # noqa: B036
            self.error = e
        self.finished_at = time.monotonic()

    def __enter__(self):
        self.start()
        assert self.entered.wait(10), "the backend method was never reached"
        return self

    def __exit__(self, *exc):
        self.join(10)
        assert not self.is_alive(), "deadlock: the background call did not finish"
        if exc[0] is None and self.error is not None:
            raise self.error


def slow(answer, bg=None, hold=HOLD):
    """A backend method that sleeps (letting go of the interpreter lock), then answers."""
    def method(*args):
        if bg is not None:
            bg.entered.set()
        time.sleep(hold)
        return answer(*args) if callable(answer) else answer

    return method


def model_with_backend(attached):
    m = kestpy.Model("m")
    x = m.addVar(name="x")
    vs = m.addVars(2, name="v")
    m.addConstr(x + vs[0] <= 4)
    m.setObjective(x + vs[1], KEST.MAXIMIZE)
    rec = attached(m)
    rec.var_values.update({0: 1.5, 1: 2.5, 2: 3.5})
    rec.objective_value = 5.0
    return m, x, vs, rec


# Operations from the other thread; all but the last two need the model for themselves.
BUSY = {
    "addVar": lambda m, x, vs: m.addVar(),
    "addVars": lambda m, x, vs: m.addVars(3),
    "addConstr": lambda m, x, vs: m.addConstr(x >= 1),
    "addConstrs": lambda m, x, vs: m.addConstrs([x >= 1]),
    "setObjective": lambda m, x, vs: m.setObjective(x + 0, KEST.MINIMIZE),
    "setParam": lambda m, x, vs: m.setParam("p", 1),
    "setBackend": lambda m, x, vs: m.setBackend("recording2"),
    "optimize": lambda m, x, vs: m.optimize(),
    "ObjVal": lambda m, x, vs: m.ObjVal,
    "str": lambda m, x, vs: str(m),
}

# Operations that hold the model exclusively and call a backend method.
HOLDERS = {
    "optimize": ("optimize", 2, lambda m, x, vs: m.optimize()),
    "addConstr": ("add_constraint", 0, lambda m, x, vs: m.addConstr(x <= 3)),
    "setParam": ("set_optimizer_attr", None, lambda m, x, vs: m.setParam("q", 1.5)),
}


@pytest.mark.parametrize("holder", list(HOLDERS))
def test_other_thread_is_refused_model_methods_and_waits_for_value_reads(recording, recording2, attached, holder):
    m, x, vs, rec = model_with_backend(attached)
    method, answer, act = HOLDERS[holder]
    bg = Background(lambda: act(m, x, vs))
    rec.on(method, slow(answer, bg))
    ticks = []
    stop = threading.Event()

    def try_all():
        out = {}
        for op, call in BUSY.items():
            try:
                out[op] = ("ok", call(m, x, vs))
            except RuntimeError as e:
                out[op] = ("RuntimeError", str(e))
        return out

    def ticker():  # runs only while nobody holds the interpreter lock for long
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    with bg:
        start = time.monotonic()
        refused, at = bounded(try_all)
        # Every call was refused at once, while the backend still held the model.
        assert at - start < HOLD / 2
        assert bg.finished_at is None
        t = threading.Thread(target=ticker, daemon=True)
        t.start()
        got, at = bounded(lambda: (x.X, vs[1].X))
        stop.set()
        t.join(5)
    assert refused == {
        op: ("RuntimeError", "Already mutably borrowed" if op in ("ObjVal", "str") else "Already borrowed")
        for op in BUSY}
    assert bg.error is None
    # The reads waited for the holder to finish...
    assert got == (1.5, 3.5) and at >= bg.finished_at
    # ... and the interpreter kept running other threads meanwhile.
    assert len([tk for tk in ticks if tk < bg.finished_at]) >= 5
    # The refused calls changed nothing; the model works afterwards.
    assert rec.methods().count(method) == 1
    m.optimize()
    assert recording2.created == []


@pytest.mark.parametrize("call, expected, waits", [
    (lambda m, vs: vs[1].X, 2.0, False),  # both hold the read side at once
    # A read takes no exclusive use, so the writer gets past that check and
    # waits for the lock instead.
    (lambda m, vs: str(m.addVar(name="late")), "Var(3)", True),
], ids=["reader", "writer"])
def test_slow_value_read_shares_with_readers_and_holds_off_writers(recording, attached, call, expected, waits):
    m, x, vs, rec = model_with_backend(attached)
    bg = Background(lambda: x.X)
    rec.on("get_var_value", slow(lambda i: float(i), bg))
    with bg:
        start = time.monotonic()
        got, at = bounded(lambda: call(m, vs))
    assert got == expected and bg.result == 0.0
    if waits:
        assert at >= bg.finished_at
    else:
        assert at - start < 2 * HOLD - 0.05


def test_read_during_replay_reads_the_new_backend(recording):
    m = kestpy.Model("m")
    x = m.addVar()
    bg = Background(lambda: m.setBackend("recording"))

    def configure(rec):
        rec.var_values[0] = 9.0
        rec.on("add_variables", slow(lambda count, *rest: list(range(count)), bg))

    recording.setup.append(configure)
    with bg:
        busy, _ = bounded(lambda: m.addVar())
        got, _ = bounded(lambda: x.X)
    assert got == 9.0
    assert str(busy) == "Already borrowed"


def test_other_model_and_expressions_unaffected_during_solve(recording, recording2, attached):
    m, x, vs, rec = model_with_backend(attached)
    bg = Background(lambda: m.optimize())
    rec.on("optimize", slow(2, bg))

    def elsewhere():
        other = kestpy.Model("other")
        y = other.addVar()
        other.addConstr(y + kestpy.Var(0) <= 2)  # a hand-built Var joins any model
        other.setBackend("recording2")
        recording2.created[-1].var_values[0] = 1.25
        other.optimize()
        return str(2 * x + vs[0] - 1), y.X

    with bg:
        (expr, value), at = bounded(elsewhere)
        assert bg.finished_at is None or at < bg.finished_at
    assert value == 1.25
    assert expr.startswith("ScalarAffineFn { terms: [AffineTerm { var: VarId(0), coeff: 2.0 }")


def test_many_threads_hammering_one_model(recording, attached):
    """Writers, readers and a solver loop race on one model whose backend keeps
    dropping the interpreter lock. Every call either succeeds or meets the
    documented RuntimeError; afterwards the model holds exactly what succeeded."""
    m = kestpy.Model("m")
    x = m.addVar()
    rec = attached(m)
    rec.var_values[0] = 1.0
    for method, answer in [("optimize", 2), ("get_var_value", 1.0), ("add_variable", 0), ("add_constraint", 0)]:
        rec.on(method, slow(answer, hold=0.001))
    added = []
    refused = []
    unexpected = []
    deadline = time.monotonic() + 1.5

    def worker(seed):
        rnd = random.Random(seed)
        ops = [
            ("var", lambda: m.addVar()),
            ("constr", lambda: m.addConstr(x <= rnd.random())),
            ("solve", lambda: m.optimize()),
            ("read", lambda: x.X),
            ("objval", lambda: m.ObjVal),
            ("param", lambda: m.setParam("p", rnd.randint(0, 9))),
        ]
        while time.monotonic() < deadline:
            kind, fn = rnd.choice(ops)
            try:
                result = fn()
            except BaseException as e:  # noqa: B036
                busy = type(e) is RuntimeError and str(e) in ("Already borrowed", "Already mutably borrowed")
                (refused if busy else unexpected).append(repr(e))
                continue
            if kind in ("var", "constr"):
                added.append(kind)
            elif kind == "read" and result != 1.0:
                unexpected.append(f"X read {result!r}")

    threads = [threading.Thread(target=worker, args=(s,), daemon=True) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert unexpected == []
    assert refused and added  # the race really happened
    # Forwarded calls match the successes one to one, and a fresh backend
    # receives the same model.
    assert rec.methods().count("add_variable") == added.count("var")
    assert rec.methods().count("add_constraint") == added.count("constr")
    m.setBackend("recording")
    replay = recording.created[-1].calls
    assert replay[0][0] == "add_variables" and replay[0][1][0] == 1 + added.count("var")
    assert replay[1][0] == "add_constraints" and len(replay[1][1][0]) == added.count("constr")


def test_waiting_writer_is_not_starved_by_overlapping_readers(recording, attached):
    """Readers that keep overlapping hold the read side all the time; a writer
    that waits must still get in, and readers arriving after it queue."""
    m, x, vs, rec = model_with_backend(attached)
    rec.on("get_var_value", slow(1.0, hold=0.002))
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            x.X

    readers = [threading.Thread(target=reader, daemon=True) for _ in range(3)]
    for t in readers:
        t.start()
    time.sleep(0.05)
    try:
        start = time.monotonic()
        got, at = bounded(lambda: m.addVar(name="w"), timeout=5)
    finally:
        stop.set()
        for t in readers:
            t.join(5)
    assert str(got) == "Var(3)"
    assert at - start < 1.0


EXIT_SCRIPT = """
import gc, os, sys, threading, time
import kestpy, kestpy_recording

class SlowTeardown:
    # Collected by the last collection, once the interpreter is finalizing:
    # it lets go of the interpreter lock while daemon threads wake up.
    def __del__(self, sleep=time.sleep, write=os.write):
        sleep(0.6)
        write(1, b"teardown done\\n")

gc.disable()
t = SlowTeardown(); t.cycle = t; del t

m = kestpy.Model("m")
x = m.addVar()
m.setBackend("recording")
rec = kestpy_recording.created[-1]
started = threading.Event()

def nap(*args):
    started.set()
    time.sleep(0.2)
    return 2

class Sleepy:
    def __float__(self):
        started.set()
        time.sleep(0.2)
        return 1.0

case = sys.argv[1]
if case in ("backend", "lock wait"):
    rec.on("optimize", nap)
    threading.Thread(target=m.optimize, daemon=True).start()
if case == "lock wait":
    started.wait()
    threading.Thread(target=lambda: x.X, daemon=True).start()
    threading.Thread(target=lambda: m.ObjVal, daemon=True).start()
elif case == "conversion":
    threading.Thread(target=lambda: x + Sleepy(), daemon=True).start()
    threading.Thread(target=lambda: m.addVar(lb=Sleepy()), daemon=True).start()
started.wait()
time.sleep(0.05)
"""


@pytest.mark.parametrize("case", ["backend", "lock wait", "conversion"])
def test_daemon_thread_in_a_call_survives_interpreter_exit(case):
    """A daemon thread inside a kestpy call that wants the interpreter lock back
    while the interpreter finalizes is ended by it; the process must still exit
    cleanly (it crashed at exit, or aborted with 'exception not rethrown')."""
    proc = run_python("-c", EXIT_SCRIPT, case, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout == b"teardown done\n"
    assert b"not rethrown" not in proc.stderr
