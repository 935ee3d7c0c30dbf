"""A backend object that refers back to its model must not keep both alive."""
import gc
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
