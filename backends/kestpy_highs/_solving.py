"""Running HiGHS so that Ctrl-C stops the solve, not the model.

A signal reaches Python code on the main thread only, and not while that
thread is inside HiGHS. So on the main thread HiGHS runs on a worker thread
while the main thread waits, interruptibly. A KeyboardInterrupt there sets a
flag that HiGHS's interrupt callback reads at its next check. HiGHS checks
between MIP phases only (not inside sub-MIPs or strong branching), which can
take seconds; so after a short grace the wait ends with the incumbent that
the improving-solution callback last handed over, and the worker is left to
finish its check in the background. Every later use of the Highs instance
waits for it first (settle). The worker is no daemon: the interpreter's exit
waits for it too, instead of pulling the thread from under HiGHS.
"""

import threading

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


def _solve(h, outcome, finished):
    try:
        h.run()
    except BaseException as e:  # handed to the waiting thread
        outcome.append(e)
    finally:
        # what highspy's own threaded solve does: the worker's hold on the
        # scheduler ends with the worker
        highspy.Highs.resetThreadScheduler(False)
        finished.release()


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
        self._running = None  # (worker, finished) of a run left to end by itself
        h.setCallback(_callback, self._state)
        for kind in _CHECKS:
            h.startCallback(kind)

    def settle(self):
        """Waits for a run that an interrupt left behind."""
        if self._running is not None:
            worker, finished = self._running
            _wait(finished)
            worker.join()
            self._running = None
            self._state.stop = False
            self._h.stopCallback(_IMPROVED)

    @property
    def detached(self):
        """Whether the last run was left to end by itself."""
        return self._running is not None

    def run(self):
        """Runs HiGHS. Returns None when the run ended by itself (the instance
        then holds the outcome), else (KeyboardInterrupt, incumbent): the run
        has been told to stop, and incumbent is (objective, values) or None.
        An error raised by the run is raised here."""
        self.settle()
        state = self._state
        state.stop = False
        state.incumbent = None
        if threading.current_thread() is not threading.main_thread():
            self._h.run()  # no signal can reach this thread
            return None
        self._h.startCallback(_IMPROVED)
        try:
            return self._run_on_worker(state)
        finally:
            if self._running is None:
                self._h.stopCallback(_IMPROVED)

    def _run_on_worker(self, state):
        outcome = []
        # Waited on instead of Thread.join: a join that Ctrl-C interrupts can
        # mark a still running thread as ended.
        finished = threading.Lock()
        finished.acquire()
        worker = threading.Thread(target=_solve, args=(self._h, outcome, finished), name="kestpy-highs")
        worker.start()
        try:
            finished.acquire()
        except KeyboardInterrupt as e:
            state.stop = True
            if not _wait(finished, GRACE):
                # HiGHS is between checks: answer with what it has found so far
                self._running = (worker, finished)
                return e, state.incumbent
            worker.join()
            state.stop = False
            if outcome:
                raise outcome[0] from None
            return e, None
        worker.join()  # it has only its last lines left to run
        if outcome:
            raise outcome[0]
        return None
