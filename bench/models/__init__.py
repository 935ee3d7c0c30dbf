"""One module per library, each writing the four models the way that
library's own documentation writes models.

Every module exposes:
  NAME      the name used on the command line and in the tables
  MODULES   modules that must import for the library to run at all
  DIRECT    True when building the model already loads it into HiGHS
  build(model, data) -> handle      the model held by the library
  load(handle)                      make HiGHS hold the whole model
  solve(handle) -> float | None     solve to optimality, for --check
"""
from __future__ import annotations

import importlib
import importlib.util

# Order of the columns in the tables: the floor, then kestpy, then the peers.
# "kestpy-scip" is kestpy with its SCIP backend, beside kestpy with HiGHS;
# "kestpy-matrix" is kestpy with the models written in matrix form.
LIBRARIES = ["floor", "kestpy", "kestpy-matrix", "kestpy-scip", "highspy", "pyoptinterface", "mip", "linopy",
             "pulp", "pyomo"]

_MODULE = {name: f"bench.models.{name.replace('-', '_')}_models" for name in LIBRARIES}


def get(name: str):
    return importlib.import_module(_MODULE[name])


def missing(name: str, phase: str = "load") -> list[str]:
    """Modules a library needs for a phase that cannot be found."""
    needs = {
        "floor": ["numpy", "highspy"],
        "kestpy": ["kestpy"] + (["kestpy_highs"] if phase != "build" else []),
        "kestpy-matrix": ["kestpy", "scipy"] + (["kestpy_highs"] if phase != "build" else []),
        "kestpy-scip": ["kestpy"] + (["kestpy_scip", "pyscipopt"] if phase != "build" else []),
        "highspy": ["highspy"],
        "pyoptinterface": ["pyoptinterface"],
        "mip": ["mip"],
        "linopy": ["linopy", "highspy"],
        "pulp": ["pulp", "highspy"],
        "pyomo": ["pyomo", "highspy"],
    }[name]
    return [m for m in needs if importlib.util.find_spec(m) is None]
