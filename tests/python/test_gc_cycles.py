"""A backend object that refers back to its model must not keep both alive."""
import gc
import sys
import weakref

import pytest

import kestpy
import kestpy_recording as kr


@pytest.mark.parametrize("keep_var", [False, True])
def test_backend_referring_to_its_model_is_collected(keep_var):
    m = kestpy.Model("cycle")
    x = m.addVar()
    m.setBackend("recording")
    rec = kr.created[-1]
    rec.model = m  # model -> cell -> adapter -> backend -> model
    alive = weakref.ref(rec)
    kr.created.clear()
    if not keep_var:
        del x
    del m, rec
    gc.collect()
    if keep_var:
        # A live Var still shares the cell, so the whole chain is reachable.
        assert alive() is not None
        assert x.X is None
        del x
        gc.collect()
    assert alive() is None


@pytest.mark.parametrize("keep", ["var", "vars", "var_from_vars", "closure", "expr_and_var"])
def test_backend_keeping_a_var_of_its_model_is_collected(keep):
    # backend -> Var -> model -> cell -> adapter -> backend
    m = kestpy.Model("cycle")
    x = m.addVar()
    vs = m.addVars(2, 3)
    m.setBackend("recording")
    rec = kr.created[-1]
    kr.created.clear()
    kept = {
        "var": lambda: x,
        "vars": lambda: vs,
        "var_from_vars": lambda: vs[1, 2],
        "closure": lambda: (lambda v: lambda: v.X)(x),
        "expr_and_var": lambda: [2 * x + 1, x],
    }[keep]()
    rec.kept = kept
    alive = weakref.ref(rec)
    del m, x, vs, rec, kept
    gc.collect()
    assert alive() is None


def test_model_is_freed_while_its_vars_live_on():
    # The Vars share the model's optimizer, not the Model object.
    m = kestpy.Model("short-lived")
    before = sys.getrefcount(m)
    xs = [m.addVar() for _ in range(3)]
    vs = m.addVars(2)
    assert sys.getrefcount(m) == before
    m.setBackend("recording")
    rec = kr.created[-1]
    kr.created.clear()
    rec.var_values[1] = 2.0
    del m
    gc.collect()
    assert [x.X for x in xs] == [None, 2.0, None]
    assert vs[0].X is None
