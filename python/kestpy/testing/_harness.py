"""What every check stands on: the backend handle, direct protocol calls that
keep a log for failure messages, the spy that watches kestpy's calls, and
output capture."""

import contextlib
import ctypes
import importlib
import io
import math
import numbers
import os
import sys
import tempfile
import types
import unittest

import kestpy

CHECKS: dict[str, tuple] = {}


class ConformanceError(AssertionError):
    """A backend did something kestpy does not expect; the message says what
    it did and what kestpy expected."""


def check(name, about, channel=None):
    """Registers a check under name; channel names the optional method(s) the
    check needs (it is skipped for a backend without them)."""

    def register(fn):
        fn.check_name = name
        fn.about = about
        fn.channel = channel
        CHECKS[name] = fn
        return fn

    return register


def fail(text):
    raise ConformanceError(text)


def skip(text):
    raise unittest.SkipTest(text)


def close(got, want, tol=1e-6):
    return (isinstance(got, float) and not math.isnan(got)
            and abs(got - want) <= tol * max(1.0, abs(want)))


def show(value):
    """A short printed form of an argument or answer."""
    if isinstance(value, memoryview):
        return f"memoryview({value.format!r}, {value.tolist() if value.nbytes <= 256 else '...'})"
    text = repr(value)
    return text if len(text) <= 120 else text[:117] + "..."


class Backend:
    """The backend under test: its module, and the settings the checks use.

    module: a module object or a module name ("kestpy_scip" or just "scip").
    time_limit, output_flag: the setting names for a time limit in seconds and
        for solver output on/off (None skips the parts of the checks that set
        them).
    limits: {status number: {setting: value}}: settings that make the kit's
        limit model stop with that status (time_limit, when given, already
        stands for status 9 with a limit of 0 seconds).
    """

    def __init__(self, module, time_limit="TimeLimit", output_flag="OutputFlag", limits=None):
        if isinstance(module, str):
            module = importlib.import_module(module if module.startswith("kestpy_") else "kestpy_" + module)
        if not module.__name__.startswith("kestpy_"):
            raise ValueError(f"backend module {module.__name__!r}: kestpy imports backends as kestpy_<name>")
        # kestpy's setBackend finds the module by name
        registered = sys.modules.setdefault(module.__name__, module)
        if registered is not module:
            raise ValueError(f"backend module {module.__name__!r}: another module of that name is in sys.modules, "
                             "and kestpy would import that one")
        self.module = module
        self.name = module.__name__[len("kestpy_"):]
        self.time_limit = time_limit
        self.output_flag = output_flag
        self.limits = dict(limits or {})
        if time_limit is not None:
            self.limits.setdefault(9, {time_limit: 0.0})
        self._spy_name = None

    def __repr__(self):
        return f"Backend({self.module.__name__})"

    def direct(self, name="kit"):
        return Direct(self, name)

    # -- through kestpy, watched by a spy ----------------------------------

    def spy_name(self):
        """The setBackend name of a module whose objects wrap this backend's
        and log what kestpy calls."""
        if self._spy_name is None:
            self._spy_name = f"kitspy_{self.name}_{id(self):x}"
            spy_module = types.ModuleType("kestpy_" + self._spy_name)
            spy_module.Model = lambda name, env: Spy(self.module.Model(name, env))
            sys.modules[spy_module.__name__] = spy_module
        return self._spy_name

    def attach(self, model):
        """Attaches a spied backend to a kestpy model; returns the spy."""
        spies = []
        module = sys.modules["kestpy_" + self.spy_name()]
        make = module.Model
        module.Model = lambda name, env: spies.append(make(name, env)) or spies[-1]
        try:
            with kestpy_call("setBackend (replaying the model)", None):
                model.setBackend(self.spy_name())
        finally:
            module.Model = make
        return spies[-1]


class Spy:
    """Forwards every attribute to the backend object; logs the calls and
    answers of the protocol methods. A method the backend lacks is lacking
    here too, so kestpy sees the same object."""

    def __init__(self, inner):
        self.inner = inner
        self.log = []
        self.statuses = []

    def __getattr__(self, attr):
        value = getattr(self.inner, attr)
        if attr.startswith("_") or not callable(value):
            return value

        def call(*args):
            self.log.append((attr, args))
            answer = value(*args)
            self.log[-1] = (attr, args, answer)
            if attr == "optimize":
                self.statuses.append(answer)
            return answer

        return call

    def last_status(self):
        return self.statuses[-1] if self.statuses else None

    def history(self, last=8):
        lines = []
        for entry in self.log[-last:]:
            args = ", ".join(show(a) for a in entry[1])
            lines.append(f"  {entry[0]}({args})" + (f" -> {show(entry[2])}" if len(entry) == 3 else " raised"))
        return "\n".join(lines)


@contextlib.contextmanager
def kestpy_call(what, spy):
    """Turns kestpy's fault for a backend that raised or answered wrongly into
    a conformance failure naming the operation."""
    try:
        yield
    except BaseException as e:  # noqa: B036 - PanicException is a BaseException
        if type(e).__name__ != "PanicException":
            raise
        cause = e.__cause__
        detail = f"{type(cause).__name__}: {cause}" if cause is not None else str(e)
        calls = f"\nlast backend calls:\n{spy.history()}" if spy is not None and spy.log else ""
        fail(f"kestpy {what}: the backend faulted ({detail}); kestpy expected the call to succeed{calls}")


class Direct:
    """One backend object driven with protocol calls; counts the variables it
    was given and logs every call for messages."""

    def __init__(self, backend, name):
        self.backend = backend
        try:
            self.obj = backend.module.Model(name, None)
        except Exception as e:
            fail(f"{backend.module.__name__}.Model({name!r}, None) raised {type(e).__name__}: {e}")
        self.log = []
        self.nvars = 0

    def has(self, method):
        return callable(getattr(self.obj, method, None))

    def call(self, method, *args):
        try:
            answer = getattr(self.obj, method)(*args)
        except Exception as e:
            fail(f"{method}({', '.join(show(a) for a in args)}) raised {type(e).__name__}: {e}; "
                 f"kestpy expects this call to be accepted{self.context()}")
        self.log.append(f"{method}({', '.join(show(a) for a in args)}) -> {show(answer)}")
        return answer

    def context(self):
        return ("\nafter:\n  " + "\n  ".join(self.log[-8:])) if self.log else ""

    def add_variable(self, name, vtype, lb, ub):
        self.nvars += 1
        return self.call("add_variable", name, vtype, lb, ub)

    def add_variables(self, count, names, types_, lb, ub):
        self.nvars += count
        return self.call("add_variables", count, names, types_, lb, ub)

    def add_variable_arrays(self, lb, ub, types_, names):
        self.nvars += len(lb)
        return self.call("add_variable_arrays", lb, ub, types_, names)

    def __getattr__(self, method):
        if method.startswith("_"):
            raise AttributeError(method)
        return lambda *args: self.call(method, *args)

    def optimize(self):
        status = self.call("optimize")
        if not is_int(status):
            fail(f"optimize() answered {show(status)}; kestpy expected a status number (int){self.context()}")
        return int(status)

    def values(self):
        out = []
        for j in range(self.nvars):
            v = self.call("get_var_value", j)
            if v is not None and not isinstance(v, numbers.Real):
                fail(f"get_var_value({j}) answered {show(v)}; kestpy expected a float or None")
            out.append(None if v is None else float(v))
        return out

    def objective(self):
        v = self.call("get_objective_value")
        if v is not None and not isinstance(v, numbers.Real):
            fail(f"get_objective_value() answered {show(v)}; kestpy expected a float or None")
        return None if v is None else float(v)


def is_int(value):
    return isinstance(value, numbers.Integral) or (
        hasattr(type(value), "__index__") and not isinstance(value, float))


def _flush_c_stdio():
    try:
        ctypes.CDLL(None).fflush(None)
    except (OSError, AttributeError):
        pass


@contextlib.contextmanager
def captured_output():
    """Everything written inside the block to file descriptors 1 and 2, where
    solvers write from C, and to sys.stdout and sys.stderr, which need not be
    those descriptors (pytest replaces them); yields a list that holds the
    text afterwards."""
    out = []
    python_side = io.StringIO()
    sys.stdout.flush()
    sys.stderr.flush()
    _flush_c_stdio()
    saved = [os.dup(1), os.dup(2)]
    with tempfile.TemporaryFile() as sink:
        try:
            os.dup2(sink.fileno(), 1)
            os.dup2(sink.fileno(), 2)
            with contextlib.redirect_stdout(python_side), contextlib.redirect_stderr(python_side):
                yield out
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            _flush_c_stdio()
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])
            sink.seek(0)
            out.append(python_side.getvalue() + sink.read().decode(errors="replace"))


def new_model(name="kit"):
    return kestpy.Model(name)
