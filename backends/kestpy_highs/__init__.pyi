"""The HiGHS backend: kestpy models solved by HiGHS through highspy."""

from collections.abc import Sequence
from typing import Any

import highspy

__all__ = ["Model", "STATUS_NAMES"]

STATUS_NAMES: dict[int, str]
"""The words for each status number optimize() answers."""

_Names = str | Sequence[str] | None
_Bounds = float | Sequence[float] | None

class Model:
    """One HiGHS instance that a kestpy model replays into and forwards to.

    kestpy calls the methods below; a program reaches the instance itself
    through the highs property (for HiGHS calls kestpy does not make).
    """

    def __init__(self, name: str | None = None, env: object = None) -> None: ...
    def add_variable(self, name: str | None, vtype: str | None, lb: float | None, ub: float | None) -> int: ...
    def add_variables(
        self, count: int, names: _Names, types: Sequence[str] | None, lb: _Bounds, ub: _Bounds
    ) -> list[int]: ...
    def add_variable_arrays(self, lb: memoryview, ub: memoryview, types: memoryview, names: Sequence[str] | None) -> None: ...
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
    def add_constraint_arrays(
        self,
        starts: memoryview,
        indices: memoryview,
        coeffs: memoryview,
        constants: memoryview,
        senses: memoryview,
        rhs: memoryview,
        names: Sequence[str] | None,
    ) -> None: ...
    def set_objective(self, indices: Sequence[int], coeffs: Sequence[float], constant: float, sense: int) -> None: ...
    def set_objective_arrays(self, indices: memoryview, coeffs: memoryview, constant: float, sense: int) -> None: ...
    def update(self) -> None: ...
    @property
    def highs(self) -> highspy.Highs:
        """The HiGHS instance, with the model loaded and its names given."""

    def set_optimizer_attr(self, name: str, value: object) -> bool | None: ...
    def optimize(self) -> int: ...
    def get_var_values(self) -> Any: ...
    def get_var_value(self, index: int) -> float | None: ...
    def get_objective_value(self) -> float | None: ...
    def get_solve_info(self) -> dict[str, Any]: ...
    def get_constraint_duals(self) -> Any: ...
    def get_reduced_costs(self) -> Any: ...
    def get_constraint_slacks(self) -> Any: ...
