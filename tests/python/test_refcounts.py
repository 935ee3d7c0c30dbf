"""No references leak: each operation, repeated many times, leaves the reference
counts of its arguments and the interpreter's allocated blocks where they were."""
import gc
import sys

import numpy as np
import pytest

import kestpy
import kestpy_recording
from hostile import Floaty, Index, Seq

KEST = kestpy.KEST
Var = kestpy.Var
Vars = type(kestpy.Model("t").addVars(1))
ROUNDS = 2000


def fresh_str(text):
    # Built at run time, so not interned or shared with the code's constants.
    return "".join(list(text))


def measure(watched):
    gc.collect()
    return [sys.getrefcount(o) for o in watched], sys.getallocatedblocks()


def assert_flat(op, watched=(), rounds=ROUNDS):
    for _ in range(300):  # warm up: static signatures, interned names, type caches
        op()
    # A leak shows in every attempt: a reference per call moves a count, and a
    # block per call shows as `rounds` blocks. Interpreter caches and free lists
    # settle well below this, though now and then one attempt catches a cache
    # taking a reference or growing, so only a change in all three fails.
    seen = []
    for _ in range(3):
        refs0, blocks0 = measure(watched)
        for _ in range(rounds):
            op()
        refs1, blocks1 = measure(watched)
        moved = [(repr(o), a, b) for o, a, b in zip(watched, refs0, refs1) if a != b]
        if not moved and blocks1 - blocks0 < rounds // 20:
            return
        seen.append((moved, blocks1 - blocks0))
    raise AssertionError(f"over {rounds} calls per attempt, (moved counts, block growth): {seen}")


def raising(exc, fn, *args, **kwargs):
    def op():
        try:
            fn(*args, **kwargs)
        except exc:
            pass
        else:
            raise AssertionError(f"{fn} did not raise {exc}")

    return op


# Objects the operations receive; their counts must not move.
NAME = fresh_str("variable name")
PREFIX = fresh_str("x")
F = Floaty(1.5)
F_BAD = Floaty(TypeError)
I2 = Index(2)
I_BAD = Index(ValueError)
BIG = 2**70
HUGE = 10**400
LB3 = [1, 2.5, F]
UB3 = (4, 5, 6)
SHORT = [1.0]
NAMES3 = [fresh_str("a"), fresh_str("b"), fresh_str("c")]
VT3 = [KEST.BINARY, KEST.INTEGER, KEST.CONTINUOUS]
SHAPE = [2, 3]

SEQ_VT3 = Seq(VT3)
IDS = list(range(10, 16))
KEY = (1, 2)
KEY_LIST = [1, 2]
KEY_BAD = (0.5, 0)
KEY_OUT = (2, 0)
SEQ_KEY = Seq([1, I2])
SEQ_KEY_BAD = Seq([1, I_BAD])
KEYS = [NAME, PREFIX]
ARCS = [(NAME, PREFIX), (PREFIX, NAME), (PREFIX, PREFIX)]
BY_KEY = {(NAME, 0): 1.0, (NAME, 1): F, (PREFIX, 0): 3, (PREFIX, 1): 4.5}
ARRAY = np.arange(4.0).reshape(2, 2)
CODES = np.array([0, 1, 2], dtype=np.int8)
COMMON = [NAME, PREFIX, F, F_BAD, I2, I_BAD, BIG, HUGE, LB3, UB3, SHORT, NAMES3, VT3, SHAPE, IDS, KEY,
          KEY_LIST, KEY_BAD, KEY_OUT, KEST.BINARY, KEST.MAXIMIZE, True, 1.5, KEYS, ARCS, BY_KEY, ARRAY, CODES]
if sys.version_info < (3, 12):  # immortal from 3.12 on
    COMMON.append(None)

MODEL = kestpy.Model("refcounts")
BLOCK = Vars(SHAPE, IDS)
LINE = Vars([3], [7, 8, 9])
V = MODEL.addVar()
KEYED = MODEL.addVars(KEYS, I2)
SPARSE = MODEL.addVars(ARCS)


def reenter_model():
    m = kestpy.Model("re")

    class Reenter:
        def __float__(self):
            m.addVar()
            return 0.0

    class Shared:
        def __index__(self):
            str(m)
            return 1

    r, s = Reenter(), Shared()

    def op():
        for call in (lambda: m.addVar(lb=r), lambda: m.addVars(s)):
            try:
                call()
            except RuntimeError:
                pass

    return op


OPERATIONS = {
    "model-new-str-del": lambda: str(kestpy.Model(NAME)),
    "model-keyword": lambda: kestpy.Model(name=NAME),
    "model-bad-name": raising(TypeError, kestpy.Model, 1),
    "model-binding": raising(TypeError, kestpy.Model, NAME, nam=NAME),
    "addVar-all": lambda: MODEL.addVar(F, I2, 2.0, KEST.BINARY, NAME),
    "addVar-keywords": lambda: MODEL.addVar(lb=1, ub=BIG, obj=F, vtype=None, name=NAME),
    "addVar-obj-objective": lambda: MODEL.addVar(obj=1.5),
    "addVar-prefixed-type-error": raising(TypeError, MODEL.addVar, lb=F_BAD),
    "addVar-overflow": raising(OverflowError, MODEL.addVar, ub=HUGE),
    "addVar-cast-error": raising(TypeError, MODEL.addVar, vtype=KEST.MAXIMIZE),
    "addVar-index-error": raising(ValueError, MODEL.addVar, lb=I_BAD),
    "addVar-binding": raising(TypeError, MODEL.addVar, 1, lb=F),
    "addVar-unexpected": raising(TypeError, MODEL.addVar, bogus=F),
    "addVars-lists": lambda: MODEL.addVars(3, lb=LB3, ub=UB3, obj=LB3, vtype=VT3, name=NAMES3),
    "addVars-scalars": lambda: MODEL.addVars(I2, 3, lb=F, ub=BIG, obj=0.0, vtype=KEST.BINARY, name=PREFIX),
    "addVars-empty": lambda: MODEL.addVars(0, 5, lb=LB3, name=PREFIX),
    "addVars-range-and-bad-range": lambda: (MODEL.addVars(3, lb=range(3), vtype=SEQ_VT3),
                                            raising(TypeError, MODEL.addVars, 3, name=range(3))()),
    "addVars-iterator-refused": raising(TypeError, lambda: MODEL.addVars(3, lb=iter(LB3))),
    "addVars-str-refused": raising(TypeError, MODEL.addVars, 3, lb=NAME),
    "addVars-bad-item": raising(TypeError, MODEL.addVars, 3, name=LB3),
    "addVars-short-list": raising(ValueError, MODEL.addVars, 3, ub=SHORT),
    "addVars-bad-extent": raising(TypeError, MODEL.addVars, NAME),
    "addVars-keyed": lambda: (MODEL.addVars(KEYS, 2, lb=BY_KEY, ub=ARRAY, obj=ARRAY.T, name=PREFIX),
                              MODEL.addVars(ARCS, vtype=CODES, lb=ARRAY[0, :1].repeat(3), name=NAMES3)),
    "addVars-keyed-refused": lambda: (raising(ValueError, MODEL.addVars, KEYS + [NAME])(),
                                      raising(ValueError, MODEL.addVars, KEYS, 3, ub=BY_KEY)(),
                                      raising(TypeError, MODEL.addVars, [KEYS])(),
                                      raising(ValueError, MODEL.addVars, 3, lb=ARRAY)(),
                                      raising(TypeError, MODEL.addVars, 3, vtype=ARRAY[0, :1].repeat(3))()),
    "vars-keyed-lookup": lambda: (KEYED[NAME, 1], KEYED[0, 1], SPARSE[PREFIX, NAME], SPARSE[1],
                                  raising(KeyError, KEYED.__getitem__, (1.5, 0))(),
                                  raising(KeyError, SPARSE.__getitem__, (NAME, NAME))()),
    "vars-sum-prod-keys": lambda: (KEYED.sum(NAME, "*"), KEYED.sum(), KEYED.prod(BY_KEY), KEYED.prod(ARRAY, "*", 1),
                                   KEYED.keys(), SPARSE.keys(), SPARSE.sum("*", PREFIX), BLOCK.sum(1, "*"),
                                   raising(KeyError, KEYED.sum, 1.5, "*")(),
                                   raising(TypeError, KEYED.prod, {(NAME, 0): NAME})()),
    "addVars-negative-extent": raising(OverflowError, MODEL.addVars, 2, -1),
    "addVars-extent-raises": raising(ValueError, MODEL.addVars, I_BAD),
    "addVars-too-large": raising(MemoryError, MODEL.addVars, 2**62),
    "reentrant-use": reenter_model(),
    "var-new-str": lambda: str(Var(I2)),
    "var-bad-id": raising(TypeError, Var, NAME),
    "var-negative": raising(OverflowError, Var, -1),
    "var-keyword": raising(TypeError, Var, bogus=I2),
    "var-x": lambda: (V.X, Var(3).X),
    "var-hash": raising(TypeError, hash, V),
    "vars-new-str": lambda: str(Vars(SHAPE, IDS)),
    "vars-str-refused": raising(TypeError, Vars, NAME, IDS),
    "vars-bad-item": raising(TypeError, Vars, SHAPE, LB3),
    "vars-tuple-key": lambda: BLOCK[KEY],
    "vars-list-key": lambda: BLOCK[KEY_LIST],
    "vars-sequence-key": lambda: (BLOCK[SEQ_KEY], raising(TypeError, BLOCK.__getitem__, SEQ_KEY_BAD)()),
    "vars-index-key": lambda: LINE[I2],
    "vars-bad-key": raising(TypeError, BLOCK.__getitem__, KEY_BAD),
    "vars-out-of-bounds": raising(IndexError, BLOCK.__getitem__, KEY_OUT),
    "vars-dimension": raising(IndexError, BLOCK.__getitem__, I2),
    "vars-flat": raising(IndexError, Vars([3], [1]).__getitem__, I2),
    "vars-iterate": lambda: (list(LINE), list(BLOCK)),
    "enum-compare": lambda: (KEST.BINARY == I2, KEST.MAXIMIZE == BIG, KEST.MINIMIZE == 1.5,
                             KEST.BINARY != KEST.MAXIMIZE, True == KEST.MAXIMIZE, KEST.BINARY == I_BAD),
    "enum-forms": lambda: (repr(KEST.BINARY), int(KEST.MAXIMIZE), str(KEST.INTEGER)),
    "enum-order": raising(TypeError, lambda: KEST.MINIMIZE < KEST.MAXIMIZE),
    "enum-hash": raising(TypeError, hash, KEST.BINARY),
}


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_operation_leaks_nothing(name):
    assert_flat(OPERATIONS[name], COMMON)


def test_model_with_variables_is_released():
    def op():
        m = kestpy.Model(NAME)
        vs = m.addVars(3, lb=LB3, name=NAMES3)
        v = vs[1]
        del m, vs
        return v.X

    assert_flat(op, COMMON)


class Quiet(kestpy_recording.Recorder):
    """A recording backend that keeps nothing, so growth can only be a leak."""

    def _call(self, method, args, default):
        return default()


@pytest.fixture
def quiet_backend(recording):
    recording.registry.factory = Quiet  # the recording fixture puts the Recorder back


def test_backend_paths_leak_nothing(quiet_backend):
    m = kestpy.Model(NAME)
    m.setBackend("recording")
    kestpy_recording.created.clear()
    v = m.addVar()

    def op():
        m.addVar(lb=F, ub=I2, obj=2.0, vtype=KEST.INTEGER, name=NAME)
        m.addVars(3, lb=LB3, obj=LB3, vtype=VT3, name=NAMES3)
        return v.X

    # The objective grows with every call, and each update sends all of it.
    assert_flat(op, COMMON, rounds=1000)


def test_models_attached_to_a_backend_are_released(quiet_backend):
    def op():
        m = kestpy.Model(NAME)
        m.addVars(2, name=PREFIX, obj=1.0)
        m.setBackend("recording")
        kestpy_recording.created.clear()
        v = m.addVar()
        del m
        return v.X

    assert_flat(op, COMMON)
