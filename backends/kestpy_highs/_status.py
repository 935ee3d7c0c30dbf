"""Status numbers returned by ``optimize`` and the HiGHS model statuses they
stand for."""

import highspy

_MS = highspy.HighsModelStatus

# every HiGHS model status not listed here is 1 ("other")
STATUS = {
    _MS.kOptimal: 2,
    _MS.kInfeasible: 3,
    _MS.kUnboundedOrInfeasible: 4,
    _MS.kUnbounded: 5,
    _MS.kIterationLimit: 7,
    _MS.kTimeLimit: 9,
    _MS.kSolutionLimit: 10,
    _MS.kInterrupt: 11,
    _MS.kHighsInterrupt: 11,  # type: ignore[attr-defined]  # not in every highspy
}
OTHER = 1
OPTIMAL = 2
INFEASIBLE = 3
INTERRUPTED = 11
STATUS_NAMES = {
    1: "other",
    2: "optimal",
    3: "infeasible",
    4: "infeasible or unbounded",
    5: "unbounded",
    7: "iteration limit",
    9: "time limit",
    10: "solution limit",
    11: "interrupted",
}
# statuses whose primal point, feasible or not, is no answer to the model
NO_VALUES = (3, 4, 5)
# HiGHS primal solution status: a feasible point is held
FEASIBLE = 2


def status_of(model_status):
    return STATUS.get(model_status, OTHER)
