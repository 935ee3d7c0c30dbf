#!/usr/bin/env python3
"""Structure-aware fuzzing of kestpy's Python API with atheris.

Each input is decoded into a sequence of API calls (models, variables,
blocks, operators, quicksum, constraints, objective, settings, backends,
solves, value reads) with argument objects drawn from what the sequence has
built so far, plain values and hostile objects (whose __index__, __float__,
__iter__, __len__ or __getitem__ raise, answer with the wrong type, shrink a
list, or call back into a model). The backends are the recording backends of
the tests, which the sequence can make raise, answer wrongly, lose methods or
call back into their model.

Only the documented exceptions are caught: the argument errors (TypeError,
ValueError, IndexError, OverflowError, MemoryError for impossible blocks),
RuntimeError with the documented messages, the fault exception with the
documented messages, and the errors the hostile objects raise themselves.
Anything else propagates and is a finding; so is a crash or a hang.

Run (see fuzz/README.md):
    PYTHONPATH=<build dir> python3 fuzz/fuzz_api.py [libFuzzer flags] [corpus dir]
"""
import gc
import operator
import os
import re
import sys
from fractions import Fraction

_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(_HERE, "..", "tests", "python"))

import atheris  # noqa: E402

with atheris.instrument_imports():
    import kestpy_recording  # noqa: E402
    import kestpy_recording2  # noqa: E402

import kestpy  # noqa: E402
from kestpy import KEST  # noqa: E402

MAX_STEPS = 48
MAX_MEMBERS = 4096  # blocks the harness lets through (a bigger one is only memory and time)


class HostileError(Exception):
    """Raised by hostile objects; must pass through kestpy unchanged or be discarded."""


class HostileBase(BaseException):
    """The same, outside Exception."""


class Finding(AssertionError):
    pass


RUNTIME_MESSAGES = re.compile(
    r"^(Already borrowed|Already mutably borrowed|Msg\(\"No backend solver attached\"\)"
    r"|The model is being (changed|read) by this thread .*|Failed to set optimizer attr: .*)$",
    re.S,
)
FAULT_MESSAGES = re.compile(
    r"^(Unsupported type for (addition|subtraction|multiplication|comparison) with (Var|LinExpr)"
    r"|Multiplication of (two variables|a variable with a linear expression) is not supported in linear expressions"
    r"|Python backend method '\w+' (failed|returned an unusable result): .*"
    r"|The model's optimizer is unusable: .*"
    r"|Failed to set backend to '.*'\. Please ensure the corresponding module is available\.: .*"
    r"|Failed to sync bridge optimizer to Python backend: .*)$",
    re.S,
)
PLAIN_ERRORS = (TypeError, ValueError, IndexError, KeyError, OverflowError, MemoryError, HostileError, HostileBase)


def call(fn, *args, **kwargs):
    """Runs one API call; documented outcomes return (ok, value), anything else raises."""
    try:
        return True, fn(*args, **kwargs)
    except PLAIN_ERRORS as e:
        if isinstance(e, MemoryError) and getattr(fn, "__name__", "") != "addVars":
            raise Finding(f"MemoryError outside addVars: {e!r}") from e
        return False, e
    except RuntimeError as e:
        if not RUNTIME_MESSAGES.match(str(e)):
            raise Finding(f"undocumented RuntimeError: {e!r}") from e
        return False, e
    except BaseException as e:  # noqa: B036
        if type(e).__name__ != "PanicException":
            raise
        message = str(e.args[0]) if e.args else ""
        if not FAULT_MESSAGES.match(message):
            raise Finding(f"undocumented fault: {message!r}") from e
        return False, e


TERM = re.compile(r"AffineTerm \{ var: VarId\((\d+)\), coeff: ([^ ]+) \}")


def check_simplified(expr):
    """Operator results are sorted by variable, duplicate-free and without zeros."""
    terms = [(int(v), float(c)) for v, c in TERM.findall(str(expr))]
    for i, (v, c) in enumerate(terms):
        if c == 0.0 or (i and not terms[i - 1][0] < v):
            raise Finding(f"operator result not simplified: {expr}")


class Run:
    """The state one input builds: pools of objects, the fuzzed data."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.models = []
        self.vars = []
        self.blocks = []
        self.exprs = []
        self.constrs = []
        self.lists = []  # lists that hostile objects may shrink
        self.hostile_classes = {}

    # ---- drawing values

    def int_(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def pick(self, pool):
        return pool[self.int_(0, len(pool) - 1)] if pool else None

    def text(self):
        return self.fdp.ConsumeUnicodeNoSurrogates(self.int_(0, 6))

    def number(self):
        k = self.int_(0, 7)
        if k == 0:
            return self.int_(-5, 5)
        if k == 1:
            return self.fdp.ConsumeRegularFloat()
        if k == 2:
            return self.fdp.PickValueInList([float("nan"), float("inf"), -float("inf"), -0.0, 1e308, 5e-324])
        if k == 3:
            return self.fdp.PickValueInList([2**63, -(2**63) - 1, 2**64, 2**64 - 1, 10**400, -1])
        if k == 4:
            return self.fdp.ConsumeBool()
        if k == 5:
            return Fraction(self.int_(-9, 9), self.int_(1, 9))
        if k == 6:
            return self.int_(0, 8)
        return float(self.int_(-3, 3)) / 2

    def model_or_none(self):
        return self.pick(self.models)

    def value(self, depth=0):
        k = self.int_(0, 15)
        if k <= 2:
            return self.number()
        if k == 3:
            return self.pick(self.vars) or kestpy.Var(self.int_(0, 6))
        if k == 4:
            return self.pick(self.exprs) if self.exprs else self.number()
        if k == 5:
            return self.pick(self.constrs)
        if k == 6:
            return self.fdp.PickValueInList([KEST.CONTINUOUS, KEST.BINARY, KEST.INTEGER, KEST.MINIMIZE, KEST.MAXIMIZE])
        if k == 7:
            return self.text()
        if k == 8:
            return None
        if k == 9 and depth < 2:
            items = [self.value(depth + 1) for _ in range(self.int_(0, 4))]
            if self.fdp.ConsumeBool():
                self.lists.append(items)
                return items
            return tuple(items)
        if k == 10:
            return self.hostile(depth)
        if k == 11:
            return self.pick(self.blocks)
        if k == 12:
            return self.model_or_none()
        if k == 13 and depth < 2:
            items = [self.value(depth + 1) for _ in range(self.int_(0, 3))]
            return (i for i in items)
        if k == 14:
            return self.fdp.PickValueInList([b"1", {}, object(), 1j, [], ()])
        return self.int_(0, 3)

    # ---- hostile objects

    def hostile(self, depth):
        dunders = tuple(
            d for d in ("__index__", "__float__", "__iter__", "__len__", "__getitem__") if self.fdp.ConsumeBool()
        )
        behaviours = {d: self.int_(0, 5) for d in dunders}
        payload = [self.value(depth + 1) for _ in range(self.int_(0, 3))] if depth < 2 else []
        cls = self.hostile_classes.get(dunders)
        if cls is None:
            ns = {d: _make_dunder(d) for d in dunders}
            cls = type("Hostile", (), ns)
            self.hostile_classes[dunders] = cls
        obj = cls()
        obj.run = self
        obj.behaviours = behaviours
        obj.small = self.int_(0, 3)
        obj.payload = payload
        return obj

    def poke(self):
        """Calls back into a model from inside a conversion or a backend method."""
        m = self.model_or_none()
        if m is None:
            return
        k = self.int_(0, 4)
        fn = [
            lambda: m.addVar(),
            lambda: str(m),
            lambda: m.ObjVal,
            lambda: m.optimize(),
            lambda: self.vars and self.vars[-1].X,
        ][k]
        call(fn)

    # ---- one step

    def step(self):
        op = self.int_(0, len(STEPS) - 1)
        STEPS[op](self)


def _make_dunder(name):
    def method(self, *args):
        run = self.run
        b = self.behaviours.get(name, 0)
        if name == "__getitem__" and isinstance(args[0], int) and args[0] > len(self.payload):
            raise IndexError(args[0])  # every sequence ends: an endless one only hangs list()
        if b == 1:
            raise HostileError(name)
        if b == 2:
            raise HostileBase(name)
        if b == 3:
            return "wrong" if name != "__iter__" else 5
        if b == 4:
            run.poke()
        if b == 5 and run.lists:
            run.lists[-1].clear()
        if name == "__index__":
            return self.small
        if name == "__float__":
            return float(self.small)
        if name == "__len__":
            return len(self.payload)
        if name == "__getitem__":
            return self.payload[args[0]]
        return iter(self.payload)

    return method


# ---------------------------------------------------------------- the steps


def s_model(run):
    ok, m = call(kestpy.Model, run.text() if run.fdp.ConsumeBool() else run.value())
    if ok:
        if not str(m).startswith("Model(name="):
            raise Finding(str(m))
        run.models.append(m)


def well_formed(run, name):
    """A value of the kind the parameter takes, so that calls also get past
    their argument checks."""
    if name in ("lb", "ub", "obj"):
        if run.fdp.ConsumeBool():
            return run.number()
        return [run.number() for _ in range(run.int_(0, 6))]
    if name == "vtype":
        kinds = [KEST.CONTINUOUS, KEST.BINARY, KEST.INTEGER]
        if run.fdp.ConsumeBool():
            return run.fdp.PickValueInList(kinds + [None])
        return [run.fdp.PickValueInList(kinds) for _ in range(run.int_(0, 6))]
    if run.fdp.ConsumeBool():
        return run.text()
    return [run.text() for _ in range(run.int_(0, 6))]


def kwargs(run, names):
    out = {}
    for n in names:
        k = run.int_(0, 3)
        if k == 1:
            out[n] = run.value()
        elif k >= 2:
            out[n] = well_formed(run, n)
    return out


def s_add_var(run):
    m = run.model_or_none()
    if m is None:
        return
    kw = kwargs(run, ("lb", "ub", "obj", "vtype", "name"))
    if run.fdp.ConsumeBool():  # addVar takes no lists
        kw = {k: (v[0] if v else 0) if isinstance(v, list) else v for k, v in kw.items()}
    ok, v = call(m.addVar, **kw)
    if ok:
        if not re.fullmatch(r"Var\(\d+\)", str(v)):
            raise Finding(str(v))
        run.vars.append(v)


def s_add_vars(run):
    m = run.model_or_none()
    if m is None:
        return
    extents = [run.value() if run.int_(0, 3) == 0 else run.int_(0, 4) for _ in range(run.int_(0, 3))]
    size = 1
    for e in extents:
        if type(e) is int and e > 0:
            size *= e
    if MAX_MEMBERS < size < 2**64:
        return  # only memory and time
    ok, vs = call(m.addVars, *extents, **kwargs(run, ("lb", "ub", "obj", "vtype", "name")))
    if ok:
        run.blocks.append(vs)
        got = call(lambda: list(vs))[1]
        if isinstance(got, list):
            run.vars.extend(got[:8])


def fresh_constr(run):
    """A constraint over the pool's variables and expressions."""
    lhs = operand(run)
    if lhs is None or not isinstance(lhs, (kestpy.Var, kestpy.LinExpr)):
        lhs = run.pick(run.vars) or kestpy.Var(run.int_(0, 3))
    fn = run.fdp.PickValueInList([operator.eq, operator.le, operator.ge])
    ok, c = call(fn, lhs, operand(run) if run.fdp.ConsumeBool() else run.number())
    if ok and isinstance(c, kestpy.Constr):
        run.constrs.append(c)
        return c
    return run.value()


def pick_constr(run):
    k = run.int_(0, 2)
    if k == 0 and run.constrs:
        return run.pick(run.constrs)
    if k == 1:
        return fresh_constr(run)
    return run.value()


def s_add_constr(run):
    m = run.model_or_none()
    if m is not None:
        call(m.addConstr, pick_constr(run), **kwargs(run, ("name",)))


def s_add_constrs(run):
    m = run.model_or_none()
    if m is None:
        return
    items = [pick_constr(run) for _ in range(run.int_(0, 4))]
    form = run.int_(0, 3)
    gen = items if form == 0 else tuple(items) if form == 1 else (i for i in items) if form == 2 else run.value()
    call(m.addConstrs, gen, **kwargs(run, ("name",)))


def s_set_objective(run):
    m = run.model_or_none()
    if m is not None:
        k = run.int_(0, 2)
        if k == 0 and run.exprs:
            e = run.pick(run.exprs)
        elif k == 1:
            e = call(lambda a, b: a + b, operand(run), run.number())[1]
        else:
            e = run.value()
        s = run.fdp.PickValueInList([KEST.MINIMIZE, KEST.MAXIMIZE]) if run.fdp.ConsumeBool() else run.value()
        call(m.setObjective, e, s)


def s_set_param(run):
    m = run.model_or_none()
    if m is not None:
        call(m.setParam, run.text() if run.fdp.ConsumeBool() else run.value(), run.value())


def s_set_backend(run):
    m = run.model_or_none()
    if m is None:
        return
    k = run.int_(0, 4)
    if k == 4:
        kestpy_recording.registry.model_error = HostileError("no backend today")
    name = ["recording", "recording2", "no_such_backend", None, "recording"][k]
    call(m.setBackend, name if name is not None else run.value())
    kestpy_recording.registry.model_error = None


def s_optimize(run):
    m = run.model_or_none()
    if m is not None:
        call(m.optimize)


def read_value(obj, attr):
    """Reads ObjVal or X; a documented outcome is a float or None."""
    ok, v = call(getattr, obj, attr)
    if ok and v is not None and type(v) is not float:
        raise Finding(f"{attr} {v!r}")


def s_objval(run):
    m = run.model_or_none()
    if m is not None:
        read_value(m, "ObjVal")


def s_x(run):
    v = run.pick(run.vars)
    if v is not None:
        read_value(v, "X")


def s_index(run):
    vs = run.pick(run.blocks)
    if vs is None:
        vs = call(lambda: type(run.pick(run.blocks) or kestpy.Model("t").addVars(1))([2, 2], [0, 1, 2, 3]))[1]
    key = run.value() if run.fdp.ConsumeBool() else tuple(run.int_(0, 3) for _ in range(run.int_(0, 3)))
    ok, v = call(lambda: vs[key])
    if ok and isinstance(v, kestpy.Var):
        run.vars.append(v)


def s_block_sums(run):
    vs = run.pick(run.blocks)
    if vs is None:
        return
    pattern = [run.value() if run.fdp.ConsumeBool() else "*" for _ in range(run.int_(0, 3))]
    if run.fdp.ConsumeBool():
        ok, e = call(vs.sum, *pattern)
    else:
        ok, e = call(vs.prod, run.value(), *pattern)
    if ok:
        check_simplified(e)
        run.exprs.append(e)


def s_construct(run):
    if run.fdp.ConsumeBool():
        ok, v = call(kestpy.Var, run.value())
        if ok:
            run.vars.append(v)
    else:
        vars_type = type(kestpy.Model("t").addVars(0))
        ok, vs = call(vars_type, run.value(), run.value())
        if ok:
            run.blocks.append(vs)


def s_quicksum(run):
    k = run.int_(0, 2)
    items = [run.value() for _ in range(run.int_(0, 6))]
    arg = items if k == 0 else (i for i in items) if k == 1 else run.value()
    ok, e = call(kestpy.quicksum, arg)
    if ok:
        if not isinstance(e, kestpy.LinExpr):
            raise Finding(repr(e))
        run.exprs.append(e)


def operand(run):
    k = run.int_(0, 3)
    if k == 0 and run.vars:
        return run.pick(run.vars)
    if k == 1 and run.exprs:
        return run.pick(run.exprs)
    if k == 2:
        return run.number()
    return run.value()


def s_arith(run):
    a, b = operand(run), operand(run)
    fn = run.fdp.PickValueInList([operator.add, operator.sub, operator.mul])
    ok, r = call(fn, a, b)
    if ok and isinstance(r, kestpy.LinExpr):
        check_simplified(r)
        run.exprs.append(r)


def s_compare(run):
    a, b = operand(run), operand(run)
    fn = run.fdp.PickValueInList([operator.eq, operator.le, operator.ge, operator.ne, operator.lt, operator.gt])
    ok, r = call(fn, a, b)
    if ok and isinstance(r, kestpy.Constr):
        run.constrs.append(r)


def s_str(run):
    for pool in (run.models, run.vars, run.blocks, run.exprs, run.constrs):
        obj = run.pick(pool)
        if obj is not None:
            call(str, obj)
            call(repr, obj)


def s_configure_backend(run):
    recs = kestpy_recording.created + kestpy_recording2.created
    rec = run.pick(recs)
    if rec is None:
        return
    method = run.fdp.PickValueInList(list(kestpy_recording.PROTOCOL))
    k = run.int_(0, 5)
    if k == 0:
        rec.answer(method, run.value())
    elif k == 1:
        rec.raise_on(method, run.fdp.PickValueInList([HostileError("backend"), HostileBase("backend"), ValueError()]))
    elif k == 2:
        rec.hide(method)
    elif k == 3:

        def hook(*args, run=run, default=rec._answers.get(method)):
            run.poke()
            return {"add_variable": 0, "add_constraint": 0, "optimize": 2}.get(method, default)

        rec.on(method, hook)
    elif k == 4:
        rec.var_values[run.int_(0, 8)] = run.value()
        rec.objective_value = run.value()
    else:
        rec.__init__(rec.name, rec.env)


def s_forget(run):
    pool = run.fdp.PickValueInList([run.models, run.vars, run.blocks, run.exprs, run.constrs, run.lists])
    if pool:
        del pool[run.int_(0, len(pool) - 1)]
    if run.int_(0, 7) == 0:
        gc.collect()


STEPS = [
    s_model, s_add_var, s_add_var, s_add_vars, s_add_constr, s_add_constrs, s_set_objective, s_set_param,
    s_set_backend, s_optimize, s_objval, s_x, s_index, s_block_sums, s_construct, s_quicksum, s_arith, s_arith,
    s_compare, s_compare, s_str, s_configure_backend, s_forget,
]


def test_one_input(data):
    kestpy_recording.registry.reset()
    kestpy_recording2.registry.reset()
    run = Run(data)
    run.models.append(kestpy.Model("m"))
    steps = 0
    while run.fdp.remaining_bytes() and steps < MAX_STEPS:
        run.step()
        steps += 1
    # Break the cycles the run built (hostile objects refer to it) before the next input.
    run.__dict__.clear()


def main():
    # Coverage of the harness's own branches (which call, which argument kind,
    # which outcome) guides the search; the extension itself is not instrumented.
    for fn in list(globals().values()):
        if callable(fn) and getattr(fn, "__module__", None) == __name__ and hasattr(fn, "__code__"):
            globals()[fn.__name__] = atheris.instrument_func(fn)
    for cls in (Run,):
        for name, fn in list(vars(cls).items()):
            if hasattr(fn, "__code__"):
                setattr(cls, name, atheris.instrument_func(fn))
    STEPS[:] = [globals()[f.__name__] for f in STEPS]
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
