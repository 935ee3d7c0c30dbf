"""The process must end cleanly after the module has been used: state that
the extension keeps in C++ statics is destroyed after the interpreter has
finalised, and must not touch Python objects then. A debug interpreter (the
reference-leak run uses one) crashes on such a touch; a release one may not."""

import textwrap

from conftest import run_python

# Every callable that binds its arguments by keyword name, once each.
SESSION = textwrap.dedent("""
    import kestpy
    from kestpy import KEST
    import kestpy_recording

    m = kestpy.Model(name="m")
    x = m.addVar(lb=0, ub=4, name="x")
    xs = m.addVars(2, 2, lb=0.0, name="xs")
    m.addConstr(x + xs[0, 1] <= 3, name="c")
    m.addConstrs((xs[i, 0] >= 1 for i in range(2)), name="r")
    m.setObjective(kestpy.quicksum(xs[i, j] for i in range(2) for j in range(2)) + x, KEST.MAXIMIZE)
    m.setParam("TimeLimit", 1.5)
    m.setBackend("recording")
    m.optimize()
    kestpy.Var(id=0), type(xs)(shape=[1], ids=[0])
    try:
        m.addVar(lb="no")
    except TypeError:
        print("session done")
""")


def test_process_ends_cleanly_after_every_binding_entry_point():
    done = run_python("-c", SESSION)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout.decode()}\n{done.stderr.decode()}"
    assert done.stdout == b"session done\n"


# A MIP that keeps HiGHS busy for seconds, solved on a daemon thread while the
# main thread ends: the exit must stop the solve, not abort the process.
DAEMON_SOLVE = textwrap.dedent("""
    import random, threading, time
    import kestpy as kp
    random.seed(1)
    m = kp.Model("busy")
    x = m.addVars(60, vtype=kp.KEST.BINARY)
    for k in range(40):
        m.addConstr(kp.quicksum(random.randint(1, 50) * x[i] for i in range(60)) <= 300 + k)
    m.setObjective(kp.quicksum(random.randint(1, 60) * x[i] for i in range(60)), kp.KEST.MAXIMIZE)
    m.setBackend("highs")
    started = threading.Event()
    def solve():
        started.set()
        m.optimize()
    threading.Thread(target=solve, daemon=True).start()
    started.wait()
    time.sleep(0.3)
    print("main ends")
""")


def test_exit_during_a_solve_on_a_daemon_thread_stops_the_solve():
    for _ in range(3):
        done = run_python("-c", DAEMON_SOLVE)
        assert (done.returncode, done.stdout.splitlines()[:1]) == (0, [b"main ends"]), done.stderr.decode()
