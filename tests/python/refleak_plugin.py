"""Reference-leak check for the test suite (loaded by tools/refleaks.sh with
``-p refleak_plugin`` under a debug interpreter).

Each test runs as usual once; that run is what pytest reports, and it is also
the first warm-up. If it passed, the test runs again silently, ``warm-ups - 1``
more times and then ``runs`` counted times, each time with its function-scoped
fixtures set up and torn down, and the interpreter's total reference count is
read after each. The test is a leak when the count grew on every counted run:
the rule of CPython's own ``-R`` option, which tolerates one-off growth such as
caches filled on first use. A leak, or a failure in a repeated run, is
reported as an error at the test's teardown.

A suspected leak is confirmed over as many counted runs again, so that a
cache still settling is not taken for one.

Only code compiled against the debug headers moves the count exactly; wheels
built for the release interpreter (numpy, highspy, scipy) do increments and
decrements that it cannot see, so that calling them moves the count by
itself. A test that calls into such a package (named with
--refleak-foreign-package, seen during its reported run) or that is named with
--refleak-foreign therefore runs once only, as do tests named with
--refleak-once.
"""

import gc
import linecache
import os
import re
import sys
import threading
import time
import types

import pytest
from _pytest.reports import TestReport
from _pytest.runner import CallInfo, runtestprotocol

try:
    from hypothesis import HealthCheck, settings

    # Repeated runs must draw the same examples to be comparable, and the
    # debug interpreter is too slow for per-example deadlines.
    settings.register_profile("refleak", derandomize=True, database=None, deadline=None,
                              max_examples=20,
                              suppress_health_check=list(HealthCheck))
    # Around every example Hypothesis saves, seeds and restores numpy's global
    # random state when numpy is loaded, through numpy's release-built code
    # (see below): that alone would move the count by tens of thousands per
    # run. Marking the wrapper as made keeps Hypothesis from making it.
    from hypothesis.internal import entropy as _entropy

    if getattr(_entropy, "NP_RANDOM", "absent") is None:
        _entropy.NP_RANDOM = object()
except ImportError:  # pragma: no cover - the suite needs hypothesis anyway
    settings = None


def pytest_addoption(parser):
    group = parser.getgroup("refleak", "reference leak check (debug interpreter)")
    group.addoption("--refleak-warmups", type=int, default=1,
                    help="uncounted runs of each test (the reported run is the first)")
    group.addoption("--refleak-runs", type=int, default=3,
                    help="counted runs of each test; a leak grows the count on every one")
    group.addoption("--refleak-once", action="append", default=[], metavar="PREFIX",
                    help="node id prefix of tests run once only (they work in subprocesses)")
    group.addoption("--refleak-foreign", action="append", default=[], metavar="PREFIX",
                    help="node id prefix of tests that run release-built extensions (run once)")
    group.addoption("--refleak-foreign-package", action="append", default=[], metavar="NAME",
                    help="package built for the release interpreter; a test seen calling "
                         "into it runs once only")
    group.addoption("--refleak-max-examples", type=int, default=20,
                    help="cap on hypothesis examples per test run (those are drawn "
                         "derandomized, so every repetition sees the same ones)")


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("refleak_plugin needs a debug interpreter (sys.gettotalrefcount)")
    config.pluginmanager.register(RefleakChecker(config), "refleak-checker")


def _cleanup():
    """Empties the caches that grow on first use, as CPython's -R does."""
    re.purge()
    linecache.clearcache()
    try:
        import typing

        for clear in typing._cleanups:
            clear()
    except (ImportError, AttributeError):
        pass
    # Hypothesis keeps the strategies it builds in a bounded cache, which
    # fills up over many more runs than are counted here.
    clear_strategies = getattr(sys.modules.get("hypothesis.strategies._internal.utils"),
                               "clear_strategy_cache", None)
    if clear_strategies is not None:
        clear_strategies()
    sys._clear_type_cache()
    gc.collect()


def _counts():
    _cleanup()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def _wider_finalizer_lists(item):
    """The finalizer lists of the module- and session-scoped fixtures that the
    test uses. pytest appends to them each time a function-scoped fixture that
    depends on them is set up (tmp_path on tmp_path_factory, say), so that
    they are torn down in order; that growth is pytest's, not the test's."""
    info = getattr(item, "_fixtureinfo", None)
    lists = []
    for defs in getattr(info, "name2fixturedefs", {}).values():
        for fixturedef in defs:
            finalizers = getattr(fixturedef, "_finalizers", None)
            if fixturedef.scope != "function" and isinstance(finalizers, list):
                lists.append(finalizers)
    return lists


def _cap_examples(item, cap):
    """Hypothesis reads a test's settings when it is called, so a lower
    max_examples set on the test function holds for every run here."""
    fn = getattr(item, "obj", None)
    current = getattr(fn, "_hypothesis_internal_use_settings", None)
    if settings is None or current is None:
        return
    if current.max_examples > cap or not current.derandomize or current.database is not None:
        fn._hypothesis_internal_use_settings = settings(
            current, max_examples=min(cap, current.max_examples), derandomize=True,
            database=None, deadline=None)


def _exceptions_in_params(item):
    """Exception instances among a parametrized test's arguments, also inside
    them (an object whose __index__ raises one it holds, say). Each raise of
    the same instance adds to its traceback, which is the test's doing."""
    callspec = getattr(item, "callspec", None)
    found, seen = [], set()
    todo = [(value, 0) for value in getattr(callspec, "params", {}).values()]
    while todo:
        obj, depth = todo.pop()
        if id(obj) in seen or isinstance(obj, (type, types.ModuleType, types.FunctionType)):
            continue
        seen.add(id(obj))
        if isinstance(obj, BaseException):
            found.append(obj)
        elif depth < 3:
            todo.extend((ref, depth + 1) for ref in gc.get_referents(obj))
    return found


class _ForeignProbe:
    """Notes, during one run of a test, whether it called into one of the
    given packages: a Python function defined in them or a builtin that they
    define (numpy's functions and array methods, highspy's bound methods)."""

    def __init__(self, packages):
        self.packages = tuple(packages)
        self.dirs = tuple(f"{os.sep}{p}{os.sep}" for p in self.packages)
        self.seen = None

    def _ours(self, name):
        return isinstance(name, str) and name.split(".", 1)[0] in self.packages

    def _hook(self, frame, event, arg):
        if self.seen:
            return
        if event == "call":
            if any(d in frame.f_code.co_filename for d in self.dirs):
                self.seen = frame.f_code.co_filename
        elif event == "c_call":
            owner = getattr(arg, "__self__", None)
            for name in (getattr(arg, "__module__", None), type(owner).__module__,
                         getattr(owner, "__name__", None)):
                if self._ours(name):
                    self.seen = f"{name}.{getattr(arg, '__name__', '?')}"
                    break

    def __enter__(self):
        self.seen = None
        if self.packages:
            sys.setprofile(self._hook)
            threading.setprofile(self._hook)
        return self

    def __exit__(self, *exc):
        if self.packages:
            sys.setprofile(None)
            threading.setprofile(None)


def _leaks(deltas):
    return bool(deltas) and all(d >= 1 for d in deltas)


class RefleakChecker:
    def __init__(self, config):
        self.warmups = max(1, config.getoption("refleak_warmups"))
        self.runs = max(1, config.getoption("refleak_runs"))
        self.once = tuple(config.getoption("refleak_once"))
        self.foreign = tuple(config.getoption("refleak_foreign"))
        self.max_examples = max(1, config.getoption("refleak_max_examples"))
        self.probe = _ForeignProbe(config.getoption("refleak_foreign_package"))
        self.foreign_found = 0
        self.checked = 0
        self.run_once = 0
        self.leaking = 0

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        if item.nodeid.startswith(self.once):
            self.run_once += 1
            return None  # pytest's own protocol
        _cap_examples(item, self.max_examples)
        ihook = item.ihook
        ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        # Tearing down to the parent keeps module- and class-scoped fixtures
        # alive between runs, so that only the test itself is measured.
        with self.probe:
            reports = runtestprotocol(item, log=True, nextitem=item.parent)
        foreign = self.probe.seen or item.nodeid.startswith(self.foreign)
        passed = all(r.passed for r in reports)
        del reports
        if foreign and passed:
            self.foreign_found += 1
        verdict = self._repeat(item) if passed and not foreign else None
        # What the next test does not share goes now; pytest would have done
        # it in the reported run's teardown, and reports a failure the same way.
        call = CallInfo.from_call(lambda: item.session._setupstate.teardown_exact(nextitem),
                                  when="teardown")
        if call.excinfo is not None:
            ihook.pytest_runtest_logreport(report=ihook.pytest_runtest_makereport(item=item, call=call))
        del call
        if verdict:
            self.leaking += 1
            now = time.time()
            ihook.pytest_runtest_logreport(report=TestReport(
                item.nodeid, item.location, {}, "failed", verdict, "teardown",
                start=now, stop=now, duration=0.0))
        ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def _repeat(self, item):
        first = self._measure(item, self.warmups - 1, self.runs)
        if isinstance(first, str) or first is None:
            return first
        if not _leaks(first[0]):
            self.checked += 1
            return None
        # A suspect is confirmed over as many runs again: a cache that is
        # still settling stops growing, a leak does not.
        again = self._measure(item, 0, self.runs)
        if isinstance(again, str) or again is None:
            return again
        self.checked += 1
        if not _leaks(again[0]):
            return None
        refs, blocks = first[0] + again[0], first[1] + again[1]
        return (f"reference leak: the total reference count grew by {refs} (live allocations "
                f"by {blocks}) over {len(refs)} counted runs (if the test runs release-built "
                f"extension code in this process, name its package with "
                f"--refleak-foreign-package or the test with --refleak-foreign)")

    def _measure(self, item, warmups, runs):
        """Runs the test warmups + runs times silently: (reference deltas,
        block deltas) of the counted runs, the failure text of a failing run,
        or None when a run skipped."""
        # Preallocated, so that storing a delta takes no new reference.
        ref_deltas, block_deltas = [0] * runs, [0] * runs
        wider = _wider_finalizer_lists(item)
        lengths = [0] * len(wider)
        raised = _exceptions_in_params(item)
        for exc in raised:
            exc.__traceback__ = exc.__context__ = None
        before = _counts() if warmups == 0 else None
        for i in range(warmups + runs):
            saved_sections = list(item._report_sections)
            for k, finalizers in enumerate(wider):
                lengths[k] = len(finalizers)
            reports = runtestprotocol(item, log=False, nextitem=item.parent)
            # The entries added by this run only finish fixtures that its own
            # teardown has already finished.
            for k, finalizers in enumerate(wider):
                del finalizers[lengths[k]:]
            item._report_sections[:] = saved_sections
            for exc in raised:
                exc.__traceback__ = exc.__context__ = None
            failed = [r.longreprtext for r in reports if r.failed]
            skipped = any(r.skipped for r in reports)
            del reports
            if failed:
                return (f"failed when repeated, so its references cannot be "
                        f"counted:\n{failed[0]}")
            if skipped:
                return None
            if i + 1 < warmups:
                continue  # nothing counts before the last warm-up's end
            after = _counts()
            if i >= warmups:
                ref_deltas[i - warmups] = after[0] - before[0]
                block_deltas[i - warmups] = after[1] - before[1]
            before = after
        return ref_deltas, block_deltas

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.write_line(
            f"refleak: {self.checked} tests run {self.warmups}+{self.runs} times and counted, "
            f"{self.leaking} leaking or failing when repeated; {self.run_once} run once as "
            f"asked, {self.foreign_found} run once for calling release-built code")
