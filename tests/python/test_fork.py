"""fork() while another thread holds a model's lock, in a child interpreter."""

import sys
import textwrap

import pytest

from test_signals_and_limits import child, finish

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="fork")

FORK = textwrap.dedent("""
    import os, threading
    import kestpy
    import kestpy_gate
    from kestpy import KEST

    busy = kestpy.Model("busy")
    x = busy.addVar()
    busy.setObjective(x + 0, KEST.MAXIMIZE)
    busy.setBackend("gate")
    threading.Thread(target=busy.optimize, daemon=True).start()
    kestpy_gate.entered.wait()  # the solve holds busy's lock from now on

    free = kestpy.Model("free")
    y = free.addVar(ub=3.0)
    free.setObjective(y + 0, KEST.MAXIMIZE)
    free.setBackend("highs")
    reader = threading.Thread(target=lambda: x.X, daemon=True)  # waits for busy's lock
    reader.start()

    pid = os.fork()
    if pid == 0:
        try:
            x.X
            os._exit(3)
        except RuntimeError as e:
            if "forked" not in str(e):
                os._exit(4)
        free.addConstr(y <= 2)
        free.optimize()
        os._exit(0 if free.ObjVal == 2.0 and y.X == 2.0 else 5)
    _, status = os.waitpid(pid, 0)
    kestpy_gate.release.set()
    print("child", os.waitstatus_to_exitcode(status), flush=True)
""")


def test_a_child_after_fork_gets_usable_models_or_a_clear_error(tmp_path):
    assert finish(child(tmp_path, FORK)) == "child 0\n"
