"""What a solve leaves behind: Status, SolCount and the other solve details,
through the list protocol and through real HiGHS solves of every status the
HiGHS backend produces, and Ctrl-C during a solve."""

import contextlib
import inspect
import json
import math
import os
import signal
import subprocess
import sys

import numpy as np
import pytest
from conftest import _HERE, interruptible

import kestpy as kp
import kestpy_recording
from kestpy import KEST

NO_DETAILS = dict(ObjBound=None, MIPGap=None, Runtime=None, StatusText=None, Pi=None, RC=None, Slack=None)


def details(m):
    return {name: getattr(m, name) for name in NO_DETAILS}


# ---- the list protocol -----------------------------------------------------

def test_list_backend_status_numbers_pass_through_and_reset_on_change(attached):
    m = kp.Model("m")
    x = m.addVar(ub=3)
    assert (m.Status, m.SolCount, m.NumVars, m.NumConstrs, m.NumNZs) == (KEST.LOADED, 0, 1, 0, 0)
    rec = attached(m)
    y = m.addVar()
    m.addConstrs(x + i * y <= 1 for i in range(1, 4))
    assert (m.NumVars, m.NumConstrs, m.NumNZs) == (2, 3, 6)
    # a number kestpy has no name for travels unchanged; 0 ("not solved") reads OTHER
    for answer, status in [(2, KEST.OPTIMAL), (9, KEST.TIME_LIMIT), (42, 42), (0, KEST.OTHER)]:
        rec.answer("optimize", answer)
        assert m.optimize() is None
        assert m.Status == status
        m.setParam("p", 1)  # settings keep the status
        assert m.Status == status
    rec.objective_value = 1.5
    rec.clear()
    # without get_solve_info a value means a solution; nothing else is asked
    assert (m.SolCount, details(m)) == (1, NO_DETAILS)
    assert rec.methods() == ["get_objective_value"]
    for change in (lambda: m.addVar(), lambda: m.addConstr(1 * x >= 0), lambda: m.setObjective(2 * x, KEST.MINIMIZE)):
        m.optimize()
        change()
        assert (m.Status, m.SolCount) == (KEST.LOADED, 0)


class ResultRecorder(kestpy_recording.Recorder):
    """Answers the optional result methods with what the test put in `results`."""

    def __init__(self, name, env):
        super().__init__(name, env)
        self.results = {}

    def get_solve_info(self):
        return self._call("get_solve_info", (), lambda: self.results.get("info"))

    def get_constraint_duals(self):
        return self._call("get_constraint_duals", (), lambda: self.results.get("Pi"))

    def get_reduced_costs(self):
        return self._call("get_reduced_costs", (), lambda: self.results.get("RC"))

    def get_constraint_slacks(self):
        return self._call("get_constraint_slacks", (), lambda: self.results.get("Slack"))


@pytest.fixture
def result_backend(recording):
    recording.registry.factory = ResultRecorder
    m = kp.Model("m")
    x = m.addVars(3)
    m.addConstrs(x[i] + x[0] <= i for i in range(2))
    m.setBackend("recording")
    return m, x, recording.created[-1]


def test_result_methods_carry_values_and_faults_leave_the_model_usable(result_backend, panic):
    m, x, rec = result_backend
    rec.results = {"info": {"sol_count": 0, "obj_bound": 4, "mip_gap": None, "runtime": 0.25, "status_text": "why"},
                   "Pi": np.array([1.0, -2.0]), "RC": None, "Slack": memoryview(b"\0" * 16).cast("d")}
    assert details(m) == NO_DETAILS and m.SolCount == 0  # LOADED: nothing is asked
    assert "get_solve_info" not in rec.methods()
    m.optimize()
    rec.objective_value = 3.0  # sol_count is the backend's word, not the value's
    assert (m.SolCount, m.ObjBound, m.MIPGap, m.Runtime, m.StatusText) == (0, 4.0, None, 0.25, "why")
    assert m.Pi.tolist() == [1.0, -2.0] and m.RC is None and m.Slack.tolist() == [0.0, 0.0]
    bad = [("Pi", np.array([1.0])), ("Pi", np.array([1, 2])), ("RC", np.zeros(3, dtype=np.float32)), ("RC", [0.0] * 3),
           ("info", [1]), ("info", {"sol_count": "one"}), ("info", {"runtime": "slow"})]
    for key, value in bad:
        good = rec.results[key]
        rec.results[key] = value
        attr = {"info": "Runtime"}.get(key, key)
        with panic(f"get_{'solve_info' if key == 'info' else ''}"):
            getattr(m, attr) if key != "info" else (m.SolCount, m.Runtime)
        rec.results[key] = good
    m.addVar()  # a fault while reading leaves the model usable
    m.optimize()
    assert m.Status == KEST.OPTIMAL


def test_keyboard_interrupt_from_a_backend_optimize_is_an_interrupted_solve(attached):
    m = kp.Model("m")
    x = m.addVar()
    rec = attached(m)
    rec.raise_on("optimize", KeyboardInterrupt("stop"))
    rec.var_values[0] = 1.0
    with pytest.raises(KeyboardInterrupt, match="stop"):
        m.optimize()
    assert (m.Status, x.X) == (KEST.INTERRUPTED, 1.0)  # the backend's values stay readable
    del rec._raises["optimize"]
    m.addConstr(1 * x <= 2)
    m.optimize()
    assert m.Status == KEST.OPTIMAL


# ---- real HiGHS solves: every status the backend produces -------------------

def cover(m, seed=1, n=600, rows=600, k=5):
    """A set cover with costs 1 and 2: HiGHS finds covers within a fraction of a
    second but needs minutes to prove one optimal. Returns the variables, the
    costs and the rows as a matrix."""
    rng = np.random.default_rng(seed)
    costs = rng.integers(1, 3, n).astype(float)
    x = m.addVars(n, vtype=KEST.BINARY, obj=costs.tolist())
    matrix = np.zeros((rows, n))
    for r in range(rows):
        members = rng.choice(n, k, replace=False)
        matrix[r, members] = 1.0
        m.addConstr(kp.quicksum(x[int(j)] for j in members) >= 1)
    return x, costs, matrix


def small(m, vtype=KEST.CONTINUOUS, unbounded=False, infeasible=False):
    x = m.addVar(vtype=vtype)
    y = m.addVar(vtype=vtype, ub=math.inf if unbounded else 10)
    m.addConstr(x - y <= 1)
    if infeasible:
        m.addConstr(x + y >= 30)
    m.setObjective(x + y, KEST.MAXIMIZE)
    return x


# name: (build(m), settings, Status, SolCount)
CASES = {
    "optimal": (small, {}, KEST.OPTIMAL, 1),
    "infeasible": (lambda m: small(m, infeasible=True), {}, KEST.INFEASIBLE, 0),
    "unbounded": (lambda m: small(m, unbounded=True), {}, KEST.UNBOUNDED, 0),
    "infeasible or unbounded": (lambda m: small(m, KEST.INTEGER, unbounded=True), {}, KEST.INF_OR_UNBD, 0),
    "iteration limit": (lambda m: small(m), {"presolve": "off", "simplex_iteration_limit": 0},
                        KEST.ITERATION_LIMIT, 1),  # the start is feasible
    "time limit, no incumbent": (cover, {"time_limit": 0.0}, KEST.TIME_LIMIT, 0),
    "time limit, incumbent": (cover, {"time_limit": 3.0}, KEST.TIME_LIMIT, 1),
    "solution limit": (cover, {"mip_max_improving_sols": 1}, KEST.SOLUTION_LIMIT, 1),
    "refused": (lambda m: m.addConstr(float("nan") * small(m) <= 1), {}, KEST.OTHER, 0),
}


@pytest.mark.parametrize("case", list(CASES))
def test_every_highs_status_reads_with_what_can_be_read(case):
    build, settings, status, sol_count = CASES[case]
    m = kp.Model(case)
    build(m)
    m.setBackend("highs")
    for name, value in settings.items():
        m.setParam(name, value)
    mip = build is cover or case == "infeasible or unbounded"
    for _ in range(2):  # solved again: the same outcome, a refusal warned again
        with pytest.warns(UserWarning, match="refused") if case == "refused" else contextlib.nullcontext():
            m.optimize()
        assert (m.Status, m.SolCount) == (status, sol_count)
        assert (m.X is None, m.ObjVal is None) == (not sol_count, not sol_count)
        assert m.Runtime >= 0.0
        if case == "refused":
            assert "NaN" in m.StatusText  # the reason, every time
        assert (m.ObjBound is None, m.MIPGap is None) == (not mip, not (mip and sol_count))
        assert (m.Pi is None, m.RC is None) == (case != "optimal",) * 2
        assert (m.Slack is None) == (not sol_count)
    if build is cover and sol_count:
        assert m.ObjBound <= m.ObjVal and m.MIPGap == pytest.approx((m.ObjVal - m.ObjBound) / m.ObjVal)
    if case == "iteration limit":
        m.setParam("simplex_iteration_limit", 2**31 - 1)
        m.optimize()
        assert (m.Status, m.ObjVal) == (KEST.OPTIMAL, 21.0)


# ---- Ctrl-C during a solve: a real SIGINT to a process solving a hard MIP ---

CHILD = inspect.getsource(cover) + """
import json
import kestpy as kp
from kestpy import KEST

m = kp.Model("hard")
x, costs, matrix = cover(m)
m.setBackend("highs")
m.setParam("time_limit", 300.0)
print("solving", flush=True)
out = {"raised": False}
try:
    m.optimize()
except KeyboardInterrupt:
    out["raised"] = True
values = m.X
out.update(status=m.Status, sol_count=m.SolCount, obj=m.ObjVal,
           cost=None if values is None else float(costs @ values),
           covered=bool(values is not None and (matrix @ values).min() >= 1 - 1e-6))
m.setParam("time_limit", 0.5)  # usable and solvable again
m.optimize()
out.update(again=m.Status, again_sol_count=m.SolCount)
print(json.dumps(out), flush=True)
"""


def test_ctrl_c_stops_the_solve_keeps_the_incumbent_and_reaches_the_caller():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [_HERE, *sys.path] if p))
    script = interruptible("import numpy as np\n" + CHILD)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=env, text=True)
    try:
        assert child.stdout.readline() == "solving\n", child.stderr.read()
        # The model is loaded within milliseconds and its first cover found
        # within a fraction of a second; proving one optimal takes minutes.
        with contextlib.suppress(subprocess.TimeoutExpired):
            child.wait(3.0)
        assert child.returncode is None, "the solve ended before the interrupt"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    result = json.loads(out)
    assert result["raised"] and (result["status"], result["sol_count"]) == (KEST.INTERRUPTED, 1)
    assert result["covered"] and result["cost"] == pytest.approx(result["obj"])
    assert (result["again"], result["again_sol_count"]) == (KEST.TIME_LIMIT, 1)
