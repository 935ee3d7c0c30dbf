import contextlib
import os
import re
import subprocess
import sys
import threading
import time

import pytest

# The recording backends are importable only while the tests run.
_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import kestpy  # noqa: E402
import kestpy_recording  # noqa: E402
import kestpy_recording2  # noqa: E402


@pytest.fixture
def recording():
    """The recording backend module, with a clean registry."""
    kestpy_recording.registry.reset()
    kestpy_recording2.registry.reset()
    yield kestpy_recording
    kestpy_recording.registry.reset()
    kestpy_recording2.registry.reset()


@pytest.fixture
def recording2(recording):
    return kestpy_recording2


@pytest.fixture
def attached(recording):
    """attached(model) -> the recorder that setBackend("recording") made for it."""

    def attach(model):
        before = len(recording.created)
        model.setBackend("recording")
        assert len(recording.created) == before + 1
        return recording.created[-1]

    return attach


def interruptible(script):
    """A child's script that answers Ctrl-C even when started with SIGINT
    ignored (a suite run as a background job hands that on to its children)."""
    return "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n" + script


@contextlib.contextmanager
def raises_panic(match=None):
    """The module's fatal-fault exception: a BaseException but not an Exception."""
    import re

    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert not isinstance(exc, Exception)
    if match is not None:
        assert re.search(match, str(exc.args[0])), exc.args[0]


_FN = re.compile(r"ScalarAffineFn \{ terms: \[(.*)\], constant: (\S+) \}")
_TERM = re.compile(r"AffineTerm \{ var: VarId\((\d+)\), coeff: (\S+) \}")


def parts(e):
    """(terms, constant) of a LinExpr, read from its printed form."""
    assert type(e) is kestpy.LinExpr, type(e)
    m = _FN.fullmatch(str(e))
    assert m, str(e)
    return [(int(v), float(c)) for v, c in _TERM.findall(m[1])], float(m[2])


def var_id(v):
    """The identifier of a Var, read from its printed form."""
    assert type(v) is kestpy.Var
    text = str(v)
    assert text.startswith("Var(") and text.endswith(")")
    return int(text[4:-1])


def bounded(fn, timeout=10.0):
    """Calls fn on its own daemon thread; returns (its result or exception, finish
    time), and fails rather than hangs when it does not finish."""
    out = {}

    def body():
        try:
            out["value"] = fn()
        except BaseException as e:  # noqa: B036
            out["value"] = e
        out["at"] = time.monotonic()

    t = threading.Thread(target=body, daemon=True)
    t.start()
    t.join(timeout)
    assert not t.is_alive(), "deadlock: the call did not finish"
    return out["value"], out["at"]


def run_python(*args, timeout=120):
    """Runs a fresh interpreter that finds the module and the test backends as
    this one does; returns the finished process (output as bytes)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [_HERE, *sys.path] if p))
    return subprocess.run([sys.executable, *args], capture_output=True, env=env, timeout=timeout)


@pytest.fixture
def panic():
    return raises_panic


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long runs (scale); skipped unless KESTPY_SLOW=1")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("KESTPY_SLOW") == "1":
        return
    skip = pytest.mark.skip(reason="slow: set KESTPY_SLOW=1 to run")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
