"""Running HiGHS so that Ctrl-C stops the solve, not the model.

A signal reaches Python code on the main thread only, and not while that
thread is inside HiGHS. So on the main thread HiGHS runs on a worker thread
while the main thread waits, interruptibly; a KeyboardInterrupt there sets a
flag that HiGHS's interrupt callbacks read at their next check (simplex
iteration, IPM iteration, MIP node), and HiGHS ends with what it has found.
"""

import threading

import highspy
from highspy import cb

_CHECKS = (cb.HighsCallbackType.kCallbackSimplexInterrupt,
           cb.HighsCallbackType.kCallbackIpmInterrupt,
           cb.HighsCallbackType.kCallbackMipInterrupt)


def _interrupt_check(kind, message, data_out, data_in, stop):
    # assigned either way: HiGHS keeps the flag from one run to the next
    data_in.user_interrupt = stop[0]


def install_interrupt(h, stop):
    """Makes HiGHS stop at its next check once stop[0] is true. `stop` is a
    one-item list, not the backend, so HiGHS holds no reference back to it."""
    h.setCallback(_interrupt_check, stop)
    for kind in _CHECKS:
        h.startCallback(kind)


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


def run_interruptibly(h, stop):
    """Runs h and returns None, or the KeyboardInterrupt that stopped it (h
    then holds what it found). An error raised by the run is raised here."""
    stop[0] = False
    if threading.current_thread() is not threading.main_thread():
        h.run()  # no signal can reach this thread
        return None
    outcome = []
    # Waited on instead of Thread.join: a join that Ctrl-C interrupts can mark
    # a still running thread as ended, and the next join then returns at once.
    finished = threading.Lock()
    finished.acquire()
    worker = threading.Thread(target=_solve, args=(h, outcome, finished), name="kestpy-highs", daemon=True)
    worker.start()
    interrupt = None
    while True:
        try:
            finished.acquire()
            break
        except KeyboardInterrupt as e:
            # later Ctrl-C only repeat the request; HiGHS stops at its next check
            stop[0] = True
            if interrupt is None:
                interrupt = e
    worker.join()  # it has only its last lines left to run
    stop[0] = False
    if outcome:
        raise outcome[0]
    return interrupt
