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
