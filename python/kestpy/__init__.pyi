"""Linear and mixed-integer models in Python, solved through exchangeable backends.

Solution reads (X, ObjVal, Pi, RC, Slack) are typed as the values they give
after a solve that left a solution; they are None when it left none, which
code learns from Model.Status or Model.SolCount before reading them.
"""

from collections.abc import Hashable, Iterable, Iterator, Mapping, Sequence
from os import PathLike
from types import ModuleType
from typing import Any, ClassVar, Final, NoReturn, SupportsIndex, Union, final, overload

import numpy as np
import numpy.typing as npt

_Number = Union[float, SupportsIndex]
_Operand = Union["Var", "LinExpr", float]
_FloatArray = npt.NDArray[np.float64]
# A dimension of addVars: an extent, or the dimension's keys.
_Dimension = Union[SupportsIndex, Iterable[Hashable]]
# A per-member argument: one value for all, a (nested) sequence in row-major
# order, a mapping keyed like Vars.keys(), or an array of the block's shape.
_PerMember = Union[float, Sequence[Any], Mapping[Any, float], npt.NDArray[Any]]
_Path = Union[str, bytes, PathLike[str], PathLike[bytes]]
# What A @ x and c @ x take: a numpy array (or anything numpy.asarray takes) or a
# scipy.sparse matrix or array (scipy ships no types, so any object is let through).
_Matrix = Union[npt.ArrayLike, object]
_Rows = Union["MLinExpr", "Vars", npt.ArrayLike]

@final
class Sense:
    """An objective's direction: KEST.MINIMIZE or KEST.MAXIMIZE (int() gives 0 or 1)."""

    MINIMIZE: ClassVar[Sense]
    MAXIMIZE: ClassVar[Sense]
    def __int__(self, /) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self, /) -> int: ...  # type: ignore[override]

@final
class VarType:
    """A variable's kind: KEST.CONTINUOUS, KEST.BINARY or KEST.INTEGER (int() gives 0, 1, 2)."""

    CONTINUOUS: ClassVar[VarType]
    BINARY: ClassVar[VarType]
    INTEGER: ClassVar[VarType]
    def __int__(self, /) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self, /) -> int: ...  # type: ignore[override]

@final
class _KEST(ModuleType):
    """The constants: variable kinds, objective senses and solve statuses."""

    CONTINUOUS: Final[VarType]
    BINARY: Final[VarType]
    INTEGER: Final[VarType]
    MINIMIZE: Final[Sense]
    MAXIMIZE: Final[Sense]
    LOADED: Final[int]
    OTHER: Final[int]
    OPTIMAL: Final[int]
    INFEASIBLE: Final[int]
    INF_OR_UNBD: Final[int]
    UNBOUNDED: Final[int]
    ITERATION_LIMIT: Final[int]
    TIME_LIMIT: Final[int]
    SOLUTION_LIMIT: Final[int]
    INTERRUPTED: Final[int]
    NUMERIC: Final[int]

KEST: _KEST

@final
class Var:
    """One decision variable of a model (or, built as Var(i) by hand, of none).

    Arithmetic with numbers, variables and expressions makes a LinExpr;
    <=, >= and == make a Constr.
    """

    def __new__(cls, id: SupportsIndex) -> Var: ...
    @property
    def X(self) -> float:
        """The variable's value in the last solution (None when there is none)."""

    LB: float
    """The lower bound; settable (NaN refused)."""
    UB: float
    """The upper bound; settable (NaN refused)."""
    @property
    def VType(self) -> VarType:
        """The type; settable, also by "C", "B", "I"."""

    @VType.setter
    def VType(self, value: VarType | str) -> None: ...
    VarName: str
    """The name ("" when unnamed); settable."""
    Obj: float
    """The objective coefficient; setting it keeps the rest of the objective."""
    @property
    def Start(self) -> float | None:
        """The MIP start value, or None; settable (None takes it away)."""

    @Start.setter
    def Start(self, value: float | None) -> None: ...
    @property
    def index(self) -> int:
        """The position in the model, in creation order from 0."""

    def __add__(self, other: _Operand, /) -> LinExpr: ...
    def __radd__(self, other: _Operand, /) -> LinExpr: ...
    def __sub__(self, other: _Operand, /) -> LinExpr: ...
    def __rsub__(self, other: _Operand, /) -> LinExpr: ...
    def __mul__(self, other: float, /) -> LinExpr: ...
    def __rmul__(self, other: float, /) -> LinExpr: ...
    def __truediv__(self, other: float, /) -> LinExpr: ...
    def __neg__(self, /) -> LinExpr: ...
    def __rtruediv__(self, other: object, /) -> NoReturn:
        """Always raises: a number divided by an expression is not linear."""

    def __le__(self, other: _Operand, /) -> Constr: ...
    def __ge__(self, other: _Operand, /) -> Constr: ...
    def __eq__(self, other: _Operand, /) -> Constr: ...  # type: ignore[override]
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Vars:
    """A block of variables made by Model.addVars, members in row-major order.

    b[i, j] picks a member by position, b["Seattle", "NY"] by key where the
    block has keys; iterating yields every member; len(b) counts them.
    A block in arithmetic is the MLinExpr of one row per member (row-major):
    x - y, 2 * x + 1, x + e for an MLinExpr e of as many rows.
    """

    def __new__(cls, shape: Sequence[SupportsIndex], ids: Sequence[SupportsIndex]) -> Vars: ...
    def __add__(self, other: _Rows, /) -> MLinExpr: ...
    def __radd__(self, other: _Rows, /) -> MLinExpr: ...
    def __sub__(self, other: _Rows, /) -> MLinExpr: ...
    def __rsub__(self, other: _Rows, /) -> MLinExpr: ...
    def __mul__(self, other: float, /) -> MLinExpr: ...
    def __rmul__(self, other: float, /) -> MLinExpr: ...
    def __truediv__(self, other: float, /) -> MLinExpr: ...
    def __neg__(self, /) -> MLinExpr: ...
    def __getitem__(self, key: Any) -> Var: ...
    def __iter__(self) -> Iterator[Var]: ...
    def __len__(self) -> int: ...
    @property
    def X(self) -> _FloatArray:
        """The members' values as a numpy array shaped like the block (None when there is no solution)."""

    @property
    def shape(self) -> tuple[int, ...]:
        """The block's extents: one per dimension ((n,) for a sparse set of n tuples)."""

    def keys(self) -> list[Any]:
        """The members' keys in row-major order (a tuple per member when the block has several dimensions)."""

    def sum(self, *pattern: Any) -> LinExpr:
        """The sum of the members matching the pattern (a key, position or "*" per dimension)."""

    def take(self, indices: npt.ArrayLike, /) -> Vars:
        """A one-dimensional block of the members at the given flat (row-major) positions, in that order."""

    def prod(self, coeffs: _PerMember, /, *pattern: Any) -> LinExpr:
        """The sum of coeffs[key] * member over the members matching the pattern."""

    @property
    def LB(self) -> _FloatArray:
        """The members' lower bounds as a numpy array shaped like the block."""

    @property
    def UB(self) -> _FloatArray:
        """The members' upper bounds as a numpy array shaped like the block."""

    @property
    def Obj(self) -> _FloatArray:
        """The members' objective coefficients as a numpy array shaped like the block."""

    @property
    def Start(self) -> _FloatArray:
        """The members' MIP start values (NaN: none) as a numpy array shaped like the block."""

    def setAttr(self, attrname: str, values: object) -> None:
        """Set "LB", "UB", "Obj", "Start", "VType" or "VarName" of every member: one value or one per member."""

    @property
    def RC(self) -> _FloatArray:
        """The members' reduced costs as a numpy array shaped like the block (None without an LP optimum)."""

    __array_ufunc__: ClassVar[None]
    def __matmul__(self, other: npt.ArrayLike, /) -> LinExpr:
        """x @ c for a one-dimensional c: the LinExpr sum of c[k] * x's member k."""

    @overload
    def __rmatmul__(self, other: np.ndarray[tuple[int], np.dtype[Any]], /) -> LinExpr: ...  # type: ignore[overload-overlap]
    @overload
    def __rmatmul__(self, other: _Matrix, /) -> MLinExpr:
        """A @ x: an MLinExpr of one row per row of the matrix A (numpy or scipy.sparse) over
        the block's members in row-major order; c @ x for a one-dimensional c: a LinExpr."""

@final
class MLinExpr:
    """A vector of affine expressions, one per row: A @ x for a matrix A and a block x.

    Rows add and subtract row by row (with an MLinExpr or a block of as many
    members), take a number or a vector of one number per row, and scale by a
    number; <=, >= and == with a number, a vector or an MLinExpr make an
    MConstr for Model.addMConstrs. e[i] is row i as a LinExpr.
    """

    __array_ufunc__: ClassVar[None]
    def __add__(self, other: _Rows, /) -> MLinExpr: ...
    def __radd__(self, other: _Rows, /) -> MLinExpr: ...
    def __sub__(self, other: _Rows, /) -> MLinExpr: ...
    def __rsub__(self, other: _Rows, /) -> MLinExpr: ...
    def __mul__(self, other: float, /) -> MLinExpr: ...
    def __rmul__(self, other: float, /) -> MLinExpr: ...
    def __truediv__(self, other: float, /) -> MLinExpr: ...
    def __neg__(self, /) -> MLinExpr: ...
    def __rtruediv__(self, other: object, /) -> NoReturn:
        """Always raises: a number divided by an expression is not linear."""

    def __le__(self, other: _Rows, /) -> MConstr: ...
    def __ge__(self, other: _Rows, /) -> MConstr: ...
    def __eq__(self, other: _Rows, /) -> MConstr: ...  # type: ignore[override]
    def __ne__(self, other: object, /) -> NoReturn:  # type: ignore[override]
        """Always raises: != makes no constraint."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __len__(self) -> int: ...
    def __getitem__(self, i: SupportsIndex, /) -> LinExpr: ...
    @property
    def shape(self) -> tuple[int]:
        """(rows,): one affine expression per row."""

    @property
    def nnz(self) -> int:
        """The number of terms over all rows."""

@final
class MConstr:
    """A block of constraints, one per row of an MLinExpr compared with a right-hand side.

    Model.addMConstrs (or Model.addConstr) adds it in one call. Like Constr
    it has no truth value.
    """

    __array_ufunc__: ClassVar[None]
    def __len__(self) -> int: ...
    def __bool__(self, /) -> bool: ...

@final
class Constrs:
    """The block of constraints Model.addMConstrs added: its rows' positions and results.

    b[i] is row i as a ConstrRef; iterating yields every row.
    """

    def __len__(self) -> int: ...
    def __getitem__(self, i: SupportsIndex, /) -> ConstrRef: ...
    def __iter__(self) -> Iterator[ConstrRef]: ...
    @property
    def indices(self) -> range:
        """The block's positions among the model's constraints, as Model.Pi and Model.Slack order them."""

    @property
    def Pi(self) -> _FloatArray:
        """The duals of the block's rows as a numpy array (None without an LP optimum)."""

    @property
    def Slack(self) -> _FloatArray:
        """rhs - (expression + constant) of each of the block's rows (None without a solution)."""

@final
class LinExpr:
    """An affine expression: a sum of coefficient * variable terms plus a constant."""

    def __add__(self, other: _Operand, /) -> LinExpr: ...
    def __radd__(self, other: _Operand, /) -> LinExpr: ...
    def __sub__(self, other: _Operand, /) -> LinExpr: ...
    def __rsub__(self, other: _Operand, /) -> LinExpr: ...
    def __mul__(self, other: float, /) -> LinExpr: ...
    def __rmul__(self, other: float, /) -> LinExpr: ...
    def __truediv__(self, other: float, /) -> LinExpr: ...
    def __neg__(self, /) -> LinExpr: ...
    def __rtruediv__(self, other: object, /) -> NoReturn:
        """Always raises: a number divided by an expression is not linear."""

    def __le__(self, other: _Operand, /) -> Constr: ...
    def __ge__(self, other: _Operand, /) -> Constr: ...
    def __eq__(self, other: _Operand, /) -> Constr: ...  # type: ignore[override]
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Constr:
    """A constraint made by comparing expressions, for Model.addConstr.

    It has no truth value: bool() raises TypeError, so a chained comparison
    such as 2 <= x <= 5 is refused instead of silently losing a part.
    """

    def __bool__(self, /) -> bool: ...

@final
class ConstrRef:
    """A constraint of a model, from Model.getConstrs or Model.getConstrByName.

    RHS is the bound on the terms, constants moved to the right; Sense is
    "<", ">" or "=" ("R" for a range, whose RHS is its upper bound).
    """

    RHS: float
    """The right-hand side; settable, the sense staying."""
    @property
    def Sense(self) -> str:
        """"<", ">", "=" or "R"; settable to "<", ">", "=" (or "<=", ">=", "=="), the RHS staying."""

    @Sense.setter
    def Sense(self, value: str) -> None: ...
    ConstrName: str
    """The name ("" when unnamed); settable."""
    @property
    def Pi(self) -> float | None:
        """The dual value after an LP solved to optimality, else None."""

    @property
    def Slack(self) -> float | None:
        """rhs - (expression + constant) after a solve with values, else None."""

    @property
    def index(self) -> int:
        """The position in the model, in creation order from 0."""

    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self, /) -> int: ...

@final
class Model:
    """An optimisation model, cached whole and solved through a backend.

    Build it with addVar/addVars, addConstr/addConstrs and setObjective;
    attach a solver with setBackend; solve with optimize; read the outcome
    from Status, ObjVal, X, Pi, RC and Slack.
    """

    def __new__(cls, name: str) -> Model: ...
    def addVar(
        self,
        lb: float = 0.0,
        ub: float = ...,
        obj: float = 0.0,
        vtype: VarType | None = None,
        name: str = "",
    ) -> Var:
        """Add one variable and return it as a Var."""

    def addVars(
        self,
        *indices: _Dimension,
        lb: _PerMember | None = None,
        ub: _PerMember | None = None,
        obj: _PerMember | None = None,
        vtype: VarType | Sequence[VarType] | Mapping[Any, VarType] | npt.NDArray[np.integer[Any]] | None = None,
        name: str | Sequence[str] | Mapping[Any, str] | npt.NDArray[np.str_] | None = None,
    ) -> Vars:
        """Add a block of variables and return it as a Vars."""

    def addConstr(self, constr: Constr | MConstr, name: str | Sequence[str] | None = None) -> None:
        """Add one constraint made by a comparison of expressions (or a block, as addMConstrs)."""

    def addMConstrs(self, constrs: MConstr, name: str | Sequence[str] | None = None) -> Constrs:
        """Add a block of constraints (A @ x <= b) in one call and return its Constrs handle."""

    def addConstrs(self, generator: Iterable[Constr], name: str | Sequence[str] | None = None) -> None:
        """Add every constraint an iterable yields, in one batch."""

    def setObjective(self, expr: LinExpr, sense: Sense) -> None:
        """Replace the objective, to be minimised or maximised."""

    def setParam(self, paramname: str, newvalue: float | str) -> None:
        """Set a solver setting by name."""

    def setBackend(self, backend: str) -> None:
        """Attach the solver backend kestpy_<backend> and replay the model into it."""

    def optimize(self) -> None:
        """Solve the model with the attached backend."""

    def getVarByName(self, name: str) -> Var | None:
        """The first variable with this name, or None."""

    def getConstrs(self) -> list[ConstrRef]:
        """A ConstrRef for every constraint, in creation order."""

    def getConstrByName(self, name: str) -> ConstrRef | None:
        """The first constraint with this name, or None."""

    def chgCoeff(self, constr: ConstrRef, var: Var, newvalue: float) -> None:
        """Make newvalue the coefficient of var in constr; 0 takes the term out."""

    def getCoeff(self, constr: ConstrRef, var: Var) -> float:
        """The coefficient of var in constr; 0.0 when absent."""

    @property
    def IterCount(self) -> int | None:
        """Simplex iterations of the last solve, or None."""

    def write(self, path: _Path) -> None:
        """Write the model as free MPS (.mps) or CPLEX-style LP (.lp), gzip-compressed when the path ends in .gz."""

    def __copy__(self) -> Model:
        """An independent copy of the model, as __deepcopy__."""

    def __deepcopy__(self, memo: object, /) -> Model:
        """An independent copy of the model with the same variable positions."""

    @property
    def ObjVal(self) -> float:
        """The objective's value in the last solution (None when there is none)."""

    @property
    def X(self) -> _FloatArray:
        """The values of all variables in creation order (None when there is no solution)."""

    @property
    def Status(self) -> int:
        """The last solve's status, a KEST constant; KEST.LOADED before any and after a change."""

    @property
    def StatusText(self) -> str | None:
        """The backend's words on the last solve's status, or None."""

    @property
    def SolCount(self) -> int:
        """1 when the last solve left values to read, else 0."""

    @property
    def ObjBound(self) -> float | None:
        """The best bound on the objective (MIPs), or None."""

    @property
    def MIPGap(self) -> float | None:
        """The relative gap of the incumbent to ObjBound (MIPs), or None."""

    @property
    def Runtime(self) -> float | None:
        """Seconds the last solve took, or None."""

    @property
    def NumVars(self) -> int:
        """The number of variables."""

    @property
    def NumConstrs(self) -> int:
        """The number of constraints."""

    @property
    def NumNZs(self) -> int:
        """The number of constraint coefficients, repeats counted."""

    @property
    def Pi(self) -> _FloatArray:
        """Constraint duals in creation order, d ObjVal / d rhs (None unless an LP was solved to optimality)."""

    @property
    def RC(self) -> _FloatArray:
        """Reduced costs of all variables in creation order (None unless an LP was solved to optimality)."""

    @property
    def Slack(self) -> _FloatArray:
        """rhs - (expression + constant) of every constraint in creation order (None when there is no solution)."""

def quicksum(generator: Iterable[_Operand]) -> LinExpr:
    """Sum an iterable of variables, expressions and numbers in one pass."""

def read(path: _Path) -> Model:
    """A new Model from an MPS (free or fixed) or LP file, by the suffix .mps or .lp, optionally with .gz."""

