"""Refusals that name the argument and say what was wrong with it, and the
block shapes addVars accepts as nested sequences."""

import re

import numpy as np
import pytest

import kestpy
from kestpy import KEST

UTF8 = re.escape("is a str that cannot be encoded as UTF-8 ('utf-8' codec can't encode character '\\ud800'")


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.addVars(2, name=["a", "\ud800"]), ValueError, "^addVars: 'name' entry 1 " + UTF8),
    (lambda m: m.addVars(2, name="\ud800"), ValueError, "^addVars: 'name' " + UTF8),
    (lambda m: m.addVars(2, ub=b"\x05\x07"), TypeError, "^addVars: 'ub' is bytes, not a number or a list"),
    (lambda m: m.addVars(2, lb=bytearray(2)), TypeError, "^addVars: 'lb' is bytearray"),
    (lambda m: m.addVars(2, 3, lb=np.zeros((3, 2))), ValueError,
     r"^addVars: 'lb' has shape \(3, 2\) but the block has shape \(2, 3\)$"),
    (lambda m: m.addVars(2, 2, ub=[[1, 2], [3]]), ValueError,
     "^addVars: 'ub' has 1 entries along dimension 1 but the block has 2$"),
    (lambda m: m.addVars(2, 2, 2, obj=[[1, 2], [3, 4]]), ValueError, "^addVars: 'obj' is nested but not to the block's 3"),
    (lambda m: m.setParam("threads", 2**70), OverflowError,
     "^setParam: 'newvalue' 1180591620717411303424 does not fit a 64-bit integer$"),
    (lambda m: m.setParam("threads", -(2**63) - 1), OverflowError, "^setParam: 'newvalue' -9223372036854775809 "),
    (lambda m: m.setBackend(""), ValueError, "^setBackend: 'backend' '' is not a backend name"),
    (lambda m: m.setBackend("../x"), ValueError, r"^setBackend: 'backend' '\.\./x' is not a backend name"),
    (lambda m: m.setBackend("a/b"), ValueError, "^setBackend: 'backend' 'a/b' is not a backend name"),
])
def test_refusals_name_the_argument_and_change_nothing(recording, call, error, message):
    m = kestpy.Model("m")
    with pytest.raises(error, match=message):
        call(m)
    assert str(m.addVar()) == "Var(0)"  # nothing was added before
    m.setBackend("recording")
    assert recording.created[-1].args_of("set_optimizer_attr") == []


@pytest.mark.parametrize("nested", [
    np.arange(6.0).reshape(2, 3),
    [[0, 1, 2], [3, 4, 5]],
    ((0.0, 1.0, 2.0), np.array([3.0, 4.0, 5.0])),
])
def test_a_nested_argument_of_the_blocks_shape_reads_row_major(nested):
    m = kestpy.Model("m")
    v = m.addVars(2, 3, lb=nested, ub=10.0, name=[["a", "b", "c"], ["d", "e", "f"]])
    m.setObjective(kestpy.quicksum(v[i, j] for i in range(2) for j in range(3)) + 0, KEST.MINIMIZE)
    m.setBackend("highs")
    m.optimize()
    assert m.X.tolist() == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]
    assert v[1, 0].X == 3.0
