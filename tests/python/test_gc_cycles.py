"""A backend object that refers back to its model must not keep both alive."""
import gc
import sys
import weakref

import pytest

import kestpy
import kestpy_recording as kr


# What the backend keeps of its own model: each closes a cycle through the
# model's shared optimizer cell (model -> cell -> adapter -> backend -> ...).
KEPT = {
    "model": lambda m, x, vs: m,
    "var": lambda m, x, vs: x,
    "vars": lambda m, x, vs: vs,
    "var_from_vars": lambda m, x, vs: vs[1, 2],
    "closure": lambda m, x, vs: (lambda v: lambda: v.X)(x),
    "expr_and_var": lambda m, x, vs: [2 * x + 1, x],
}


@pytest.mark.parametrize("keep", list(KEPT))
def test_backend_referring_back_to_its_model_is_collected(keep):
    m = kestpy.Model("cycle")
    x = m.addVar()
    vs = m.addVars(2, 3)
    m.setBackend("recording")
    rec = kr.created.pop()
    rec.kept = KEPT[keep](m, x, vs)
    alive = weakref.ref(rec)
    del m, vs, rec
    gc.collect()
    # A live Var still shares the cell, so the whole chain is reachable.
    assert alive() is not None
    assert x.X is None
    del x
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
