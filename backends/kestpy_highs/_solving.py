"""Running HiGHS so that Ctrl-C stops the solve, not the model.

A signal reaches Python code on the main thread only, and not while that
thread is inside HiGHS. So on the main thread HiGHS runs on a worker thread
while the main thread waits, interruptibly. The worker is one long-lived
thread per process: HiGHS sets up its thread pool per calling thread, which
would cost a fresh thread about a millisecond per solve. A KeyboardInterrupt there sets a
flag that HiGHS's interrupt callback reads at its next check. HiGHS checks
between MIP phases only (not inside sub-MIPs or strong branching), which can
take seconds; so after a short grace the wait ends with the incumbent that
the improving-solution callback last handed over, and the worker is left to
finish its check in the background. Every later use of the Highs instance
waits for it first (settle), and so does the interpreter's exit, instead of
pulling the thread from under HiGHS. A solve that a thread of the program's
own runs is told to stop when the interpreter exits, and the exit waits for
it to return.
"""

import atexit
import os
import queue
import threading
import typing

import highspy
import numpy as np
from highspy import cb

_T = cb.HighsCallbackType
_CHECKS = (_T.kCallbackSimplexInterrupt, _T.kCallbackIpmInterrupt, _T.kCallbackMipInterrupt)
_IMPROVED = _T.kCallbackMipImprovingSolution

# seconds HiGHS gets to stop by itself after Ctrl-C
GRACE = 0.5


class _State:
    """What the callback shares with the waiting thread. HiGHS holds this,
    not the backend, so there is no reference cycle through HiGHS."""

    __slots__ = ("stop", "incumbent")

    def __init__(self):
        self.stop = False
        self.incumbent = None  # (objective, values) of the last improving solution


def _callback(kind, message, data_out, data_in, state):
    if kind == _IMPROVED:
        if data_out.mip_solution is not None:
            state.incumbent = (float(data_out.objective_function_value),
                               np.array(data_out.mip_solution, dtype=np.float64))
        return
    # assigned either way: HiGHS keeps the flag from one run to the next
    data_in.user_interrupt = state.stop


def _run(h, reset_scheduler):
    if reset_scheduler:
        # HiGHS keeps one thread pool per process; a changed size needs a new one
        highspy.Highs.resetGlobalScheduler(True)
    h.run()


class _Worker:
    """The thread that runs HiGHS for the main thread. A daemon: idle, it
    waits in Python; busy (an interrupted run ending by itself), the exit
    waits for it (finish_all)."""

    def __init__(self):
        self.jobs = queue.SimpleQueue()
        self.busy = threading.Lock()
        threading.Thread(target=self._loop, name="kestpy-highs", daemon=True).start()

    def _loop(self):
        while True:
            h, reset_scheduler, outcome, finished = self.jobs.get()
            with self.busy:
                try:
                    _run(h, reset_scheduler)
                except BaseException as e:  # handed to the waiting thread
                    outcome.append(e)
                finally:
                    finished.release()
                del h


_worker = None


def _the_worker():
    global _worker
    if _worker is None:
        _worker = _Worker()
    return _worker


def _forget_worker():
    # a forked child has no worker thread, only the parent's object for it
    global _worker
    _worker = None


# Runs on threads of the program's own, each as (state, lock released when
# HiGHS returns). The exit stops them: HiGHS must not be running when the
# process ends, and a daemon thread is not waited for.
_elsewhere: set[tuple[typing.Any, threading.Lock]] = set()
_elsewhere_lock = threading.Lock()


def _run_elsewhere(state, h, reset_scheduler):
    entry = (state, threading.Lock())
    entry[1].acquire()
    with _elsewhere_lock:
        _elsewhere.add(entry)
    try:
        _run(h, reset_scheduler)
    finally:
        with _elsewhere_lock:
            _elsewhere.discard(entry)
        entry[1].release()


@atexit.register
def _finish_all():
    with _elsewhere_lock:
        running = list(_elsewhere)
    for state, _ in running:
        state.stop = True
    for _, returned in running:
        _wait(returned)
    if _worker is not None:
        _wait(_worker.busy)
        _worker.busy.release()


os.register_at_fork(after_in_child=_forget_worker)


def _wait(lock, timeout=-1):
    """Acquires lock; a Ctrl-C meanwhile is absorbed. Returns whether it did."""
    while True:
        try:
            return lock.acquire(timeout=timeout)
        except KeyboardInterrupt:
            pass


class Runner:
    """Runs one Highs instance, interruptibly."""

    def __init__(self, h):
        self._h = h
        self._state = _State()
        self._running = None  # the lock a run left to end by itself releases
        h.setCallback(_callback, self._state)
        for kind in _CHECKS:
            h.startCallback(kind)

    def settle(self):
        """Waits for a run that an interrupt left behind."""
        if self._running is not None:
            _wait(self._running)
            self._running = None
            self._state.stop = False
            self._h.stopCallback(_IMPROVED)

    @property
    def detached(self):
        """Whether the last run was left to end by itself."""
        return self._running is not None

    def run(self, reset_scheduler=False):
        """Runs HiGHS, after a new thread pool when reset_scheduler. Returns None when the run ended by itself (the instance
        then holds the outcome), else (KeyboardInterrupt, incumbent): the run
        has been told to stop, and incumbent is (objective, values) or None.
        An error raised by the run is raised here."""
        self.settle()
        state = self._state
        state.stop = False
        state.incumbent = None
        if threading.current_thread() is not threading.main_thread():
            _run_elsewhere(state, self._h, reset_scheduler)  # no signal can reach this thread
            return None
        self._h.startCallback(_IMPROVED)
        try:
            return self._run_on_worker(state, reset_scheduler)
        finally:
            if self._running is None:
                self._h.stopCallback(_IMPROVED)

    def _run_on_worker(self, state, reset_scheduler):
        outcome = []
        finished = threading.Lock()
        finished.acquire()
        _the_worker().jobs.put((self._h, reset_scheduler, outcome, finished))
        try:
            finished.acquire()
        except KeyboardInterrupt as e:
            state.stop = True
            if not _wait(finished, GRACE):
                # HiGHS is between checks: answer with what it has found so far
                self._running = finished
                return e, state.incumbent
            state.stop = False
            if outcome:
                raise outcome[0] from None
            return e, None
        if outcome:
            raise outcome[0]
        return None
