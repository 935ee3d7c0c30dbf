"""The SCIP backend: kestpy models solved by SCIP through PySCIPOpt."""

from collections.abc import Sequence
from typing import Any

import pyscipopt

__all__ = ["Model"]

_Names = str | Sequence[str] | None
_Bounds = float | Sequence[float] | None

class Model:
    """One SCIP model that a kestpy model replays into and forwards to.

    kestpy calls the methods below; a program reaches the SCIP model itself
    through the scip property.
    """

    def __init__(self, name: str | None = None, env: object = None) -> None: ...
    def add_variable(self, name: str | None, vtype: str | None, lb: float | None, ub: float | None) -> int: ...
    def add_variables(
        self, count: int, names: _Names, types: Sequence[str] | None, lb: _Bounds, ub: _Bounds
    ) -> list[int]: ...
    def add_constraint(
        self, indices: Sequence[int], coeffs: Sequence[float], sense: str, rhs: Any, name: str | None, constant: float
    ) -> int: ...
    def add_constraints(
        self,
        indices: Sequence[Sequence[int]],
        coeffs: Sequence[Sequence[float]],
        constants: Sequence[float],
        senses: Sequence[str],
        rhss: Sequence[Any],
        names: _Names,
    ) -> list[int]: ...
    def set_objective(self, indices: Sequence[int], coeffs: Sequence[float], constant: float, sense: int) -> None: ...
    def update(self) -> None: ...
    @property
    def scip(self) -> pyscipopt.Model:
        """The SCIP model, with the kestpy model loaded."""

    def set_optimizer_attr(self, name: str, value: object) -> bool | None: ...
    def optimize(self) -> int: ...
    def get_var_value(self, index: int) -> float | None: ...
    def get_objective_value(self) -> float | None: ...
