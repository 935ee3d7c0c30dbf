"""kestpy with the SCIP backend: the same models as kestpy_models, loaded with
``setBackend("scip")``. The SCIP backend hands each variable and row to SCIP
as it arrives (PySCIPOpt has no bulk call), so the replay is the whole load;
its ``update`` does nothing and is timed only to keep the phases alike.
"""
from __future__ import annotations

from bench.models import kestpy_models

try:  # imported outside the clock, as every library's solver module is
    import kestpy_scip  # noqa: F401
except ImportError:
    pass

NAME = "kestpy-scip"
DIRECT = False


def build(model, d):
    return kestpy_models.build(model, d)


def load(m):
    return kestpy_models.load(m, backend="scip")


def run0(m):
    m.setParam("limits/time", 0.0)
    m.optimize()


def solve(m):
    m.optimize()
    return m.ObjVal


def dims(m):
    return None
