"""LinExpr and Constr: the operator and comparison tables of Var and LinExpr,
their dispatch, and the fault raised for unsupported operands."""

import fractions
import math
import operator
import re
import sys

import pytest

import kestpy
from kestpy import Constr, LinExpr, Var

_FN = re.compile(r"ScalarAffineFn \{ terms: \[(.*)\], constant: (\S+) \}")
_TERM = re.compile(r"AffineTerm \{ var: VarId\((\d+)\), coeff: (\S+) \}")


def parts(e):
    """(terms, constant) of a LinExpr, read from its printed form."""
    assert type(e) is LinExpr, type(e)
    m = _FN.fullmatch(str(e))
    assert m, str(e)
    return [(int(v), float(c)) for v, c in _TERM.findall(m[1])], float(m[2])


def same(a, b):
    """Float equality that also tells 0.0 from -0.0 and accepts NaN == NaN."""
    return a == b and math.copysign(1, a) == math.copysign(1, b) or (math.isnan(a) and math.isnan(b))


def assert_parts(e, terms, constant):
    got_terms, got_constant = parts(e)
    assert got_terms == terms
    assert same(got_constant, constant), (got_constant, constant)


@pytest.fixture
def constr_of(recording):
    """constr_of(c) -> (terms, constant, sense, rhs) as the backend receives them."""
    model = kestpy.Model("m")
    for _ in range(6):
        model.addVar()
    model.setBackend("recording")
    rec = recording.created[-1]

    def read(c):
        assert type(c) is Constr, type(c)
        model.addConstr(c)
        indices, coeffs, sense, rhs, name, constant = rec.args_of("add_constraint")[-1]
        assert name is None
        return list(zip(indices, coeffs)), constant, sense, rhs

    return read


x, y, z = Var(0), Var(1), Var(2)
E = 2 * x + 3 * z + 1  # terms (0, 2), (2, 3); constant 1
F = y - z + 2  # terms (1, 1), (2, -1); constant 2
OTHERS = ["abc", None, object(), [1], 1j, 10**400]

ARITH = {"+": operator.add, "-": operator.sub, "*": operator.mul}
COMPARE = {"==": (operator.eq, "="), "<=": (operator.le, "<"), ">=": (operator.ge, ">")}

FAULT_WORD = {"+": "addition", "-": "subtraction", "*": "multiplication"}


class TestOperands:
    def test_fixture_operands(self):
        assert_parts(E, [(0, 2.0), (2, 3.0)], 1.0)
        assert_parts(F, [(1, 1.0), (2, -1.0)], 2.0)


# Every cell of the arithmetic tables: (left, op, right) -> (terms, constant).
ARITH_CELLS = [
    # Var on the left
    ("x", "+", 2.5, [(0, 1.0)], 2.5),
    ("x", "+", "y", [(0, 1.0), (1, 1.0)], 0.0),
    ("x", "+", "F", [(0, 1.0), (1, 1.0), (2, -1.0)], 2.0),
    ("x", "-", 2.5, [(0, 1.0)], -2.5),
    ("x", "-", "y", [(0, 1.0), (1, -1.0)], 0.0),
    ("x", "-", "F", [(0, 1.0), (1, -1.0), (2, 1.0)], -2.0),
    ("x", "*", 2.5, [(0, 2.5)], 0.0),
    # Var on the right
    (2.5, "+", "x", [(0, 1.0)], 2.5),
    (2.5, "-", "x", [(0, -1.0)], 2.5),
    (2.5, "*", "x", [(0, 2.5)], 0.0),
    # LinExpr on the left
    ("E", "+", 2.5, [(0, 2.0), (2, 3.0)], 3.5),
    ("E", "+", "y", [(0, 2.0), (1, 1.0), (2, 3.0)], 1.0),
    ("E", "+", "F", [(0, 2.0), (1, 1.0), (2, 2.0)], 3.0),
    ("E", "-", 2.5, [(0, 2.0), (2, 3.0)], -1.5),
    ("E", "-", "y", [(0, 2.0), (1, -1.0), (2, 3.0)], 1.0),
    ("E", "-", "F", [(0, 2.0), (1, -1.0), (2, 4.0)], -1.0),
    ("E", "*", 2.5, [(0, 5.0), (2, 7.5)], 2.5),
    # LinExpr on the right
    (2.5, "+", "E", [(0, 2.0), (2, 3.0)], 3.5),
    (2.5, "-", "E", [(0, -2.0), (2, -3.0)], 1.5),
    (2.5, "*", "E", [(0, 5.0), (2, 7.5)], 2.5),
]

NAMED = {"x": x, "y": y, "E": E, "F": F}


def operand(v):
    return NAMED.get(v, v) if isinstance(v, str) else v


@pytest.mark.parametrize("left,op,right,terms,constant", ARITH_CELLS)
def test_arithmetic_table(left, op, right, terms, constant):
    before = [str(operand(v)) for v in (left, right)]
    result = ARITH[op](operand(left), operand(right))
    assert_parts(result, terms, constant)
    # Operands are values: nothing changed them.
    assert [str(operand(v)) for v in (left, right)] == before


NUMBERS = [
    (2.5, 2.5),
    (2, 2.0),
    (True, 1.0),
    (fractions.Fraction(5, 2), 2.5),
    (type("Idx", (), {"__index__": lambda self: 4})(), 4.0),
    (type("Flt", (), {"__float__": lambda self: -1.5})(), -1.5),
]


@pytest.mark.parametrize("number,value", NUMBERS, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("op", ["+", "-", "*"])
def test_anything_with_a_float_conversion_is_a_number(number, value, op):
    for left, right in ((x, number), (number, x), (E, number), (number, E)):
        got = ARITH[op](left, right)
        want = ARITH[op](left if left is not number else value, right if right is not number else value)
        assert parts(got) == parts(want)


@pytest.mark.parametrize("op", ["+", "-", "*"])
@pytest.mark.parametrize("other", OTHERS, ids=lambda v: type(v).__name__)
def test_unsupported_operand_faults(panic, op, other):
    word = FAULT_WORD[op]
    for left, right, cls in ((x, other, "Var"), (other, x, "Var"), (E, other, "LinExpr"), (other, E, "LinExpr")):
        with panic(f"^Unsupported type for {word} with {cls}$"):
            ARITH[op](left, right)


@pytest.mark.parametrize(
    "left,right,message",
    [
        (x, y, "Multiplication of two variables is not supported in linear expressions"),
        (x, x, "Multiplication of two variables is not supported in linear expressions"),
        (x, F, "Multiplication of a variable with a linear expression is not supported in linear expressions"),
        (E, y, "Unsupported type for multiplication with LinExpr"),
        (E, F, "Unsupported type for multiplication with LinExpr"),
        (y + 1, x, "Unsupported type for multiplication with LinExpr"),
        (x + 1, y + 1, "Unsupported type for multiplication with LinExpr"),
    ],
)
def test_products_that_are_not_linear(panic, left, right, message):
    """The left operand's table decides: x * e and e * x fail differently."""
    with panic("^" + re.escape(message) + "$"):
        left * right


class Greedy:
    """Accepts every reflected operation; it is never consulted for x op g."""

    def __radd__(self, other):
        return "radd"

    __rsub__ = __rmul__ = __radd__

    def __add__(self, other):
        return NotImplemented


@pytest.mark.parametrize("left", [x, E], ids=["Var", "LinExpr"])
def test_left_operand_never_declines(panic, left):
    cls = type(left).__name__
    with panic(f"Unsupported type for addition with {cls}"):
        left + Greedy()
    with panic(f"Unsupported type for subtraction with {cls}"):
        left - Greedy()
    with panic(f"Unsupported type for multiplication with {cls}"):
        left * Greedy()
    # From the right, the other operand declines first and our table faults.
    with panic(f"Unsupported type for addition with {cls}"):
        Greedy() + left


class BadFloat:
    def __float__(self):
        raise ValueError("no")


@pytest.mark.parametrize("other", [BadFloat(), 10**400], ids=["raising __float__", "huge int"])
def test_failed_float_conversion_only_means_unsupported(panic, other):
    with panic("Unsupported type for addition with Var") as info:
        x + other
    assert info.value.__cause__ is None
    assert info.value.__context__ is None


def test_fault_is_a_base_exception_not_caught_by_except_exception():
    try:
        try:
            x * y
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("the fault was caught as an Exception")
    except BaseException as exc:  # noqa: BLE001
        cls = type(exc)
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert cls.__name__ == "PanicException"
    assert not hasattr(kestpy, "PanicException")
    # Every fault of this module has the same class.
    with pytest.raises(cls):
        x == None  # noqa: E711
    with pytest.raises(cls):
        E * F


COMPARE_CELLS = [
    ("x", 2.5, [(0, 1.0)], 0.0, 2.5),
    ("x", "y", [(0, 1.0), (1, -1.0)], 0.0, 0.0),
    ("x", "F", [(0, 1.0), (1, -1.0), (2, 1.0)], -2.0, 0.0),
    ("E", 2.5, [(0, 2.0), (2, 3.0)], -1.5, 0.0),
    ("E", "y", [(0, 2.0), (1, -1.0), (2, 3.0)], 1.0, 0.0),
    ("E", "F", [(0, 2.0), (1, -1.0), (2, 4.0)], -1.0, 0.0),
]


@pytest.mark.parametrize("op", COMPARE)
@pytest.mark.parametrize("left,right,terms,constant,rhs", COMPARE_CELLS)
def test_comparison_table(constr_of, op, left, right, terms, constant, rhs):
    fn, sense = COMPARE[op]
    got = constr_of(fn(operand(left), operand(right)))
    assert got == (terms, constant, sense, rhs)


@pytest.mark.parametrize("op", COMPARE)
@pytest.mark.parametrize("other", OTHERS, ids=lambda v: type(v).__name__)
def test_comparison_with_unsupported_operand_faults(panic, op, other):
    fn = COMPARE[op][0]
    for s, cls in ((x, "Var"), (E, "LinExpr")):
        with panic(f"^Unsupported type for comparison with {cls}$"):
            fn(s, other)
        with panic(f"^Unsupported type for comparison with {cls}$"):
            fn(other, s)


@pytest.mark.parametrize(
    "expr,want",
    [
        (lambda: 5 >= x, ([(0, 1.0)], 0.0, "<", 5.0)),
        (lambda: 5 <= x, ([(0, 1.0)], 0.0, ">", 5.0)),
        (lambda: 3 == x, ([(0, 1.0)], 0.0, "=", 3.0)),
        (lambda: 5 >= E, ([(0, 2.0), (2, 3.0)], -4.0, "<", 0.0)),
        (lambda: x + 1 <= 5, ([(0, 1.0)], -4.0, "<", 0.0)),
        (lambda: x + 2 >= 5, ([(0, 1.0)], -3.0, ">", 0.0)),
        (lambda: 2 * x >= y, ([(0, 2.0), (1, -1.0)], 0.0, ">", 0.0)),
        (lambda: x == x, ([], 0.0, "=", 0.0)),
        (lambda: y <= E, ([(0, -2.0), (1, 1.0), (2, -3.0)], -1.0, "<", 0.0)),
    ],
)
def test_reflected_and_mixed_comparisons(constr_of, expr, want):
    assert constr_of(expr()) == want


@pytest.mark.parametrize("s", [x, E], ids=["Var", "LinExpr"])
@pytest.mark.parametrize("r", [y, 3, 2.5, F, x], ids=["Var", "int", "float", "LinExpr", "x"])
def test_not_equal_is_false_for_supported_operands(s, r):
    assert (s != r) is False
    assert (r != s) is False
    assert bool(s == r) is True


@pytest.mark.parametrize("s", [x, E], ids=["Var", "LinExpr"])
def test_not_equal_with_unsupported_operand_faults(panic, s):
    cls = type(s).__name__
    with panic(f"Unsupported type for comparison with {cls}"):
        s != None  # noqa: E711
    with panic(f"Unsupported type for comparison with {cls}"):
        s in [None]
    assert s in [y]


@pytest.mark.parametrize("s", [x, E], ids=["Var", "LinExpr"])
@pytest.mark.parametrize("r", [3, y, F], ids=["int", "Var", "LinExpr"])
@pytest.mark.parametrize("op", [operator.lt, operator.gt])
def test_strict_orderings_are_not_supported(s, r, op):
    with pytest.raises(TypeError, match="not supported between instances"):
        op(s, r)
    with pytest.raises(TypeError, match="not supported between instances"):
        op(r, s)


@pytest.mark.parametrize("s", [x, E], ids=["Var", "LinExpr"])
@pytest.mark.parametrize(
    "op",
    [operator.neg, operator.pos, abs, lambda v: v / 2, lambda v: 2 / v, lambda v: v**2, lambda v: v // 2,
     lambda v: v % 2, lambda v: v @ v],
    ids=["neg", "pos", "abs", "div", "rdiv", "pow", "floordiv", "mod", "matmul"],
)
def test_undefined_operators_raise_type_error(s, op):
    with pytest.raises(TypeError):
        op(s)


def test_inplace_operators_rebind():
    e = x + 1
    old = e
    e += y
    assert e is not old
    assert_parts(old, [(0, 1.0)], 1.0)
    assert_parts(e, [(0, 1.0), (1, 1.0)], 1.0)
    e -= x
    assert_parts(e, [(1, 1.0)], 1.0)
    e *= 2
    assert_parts(e, [(1, 2.0)], 2.0)


@pytest.mark.parametrize(
    "make,terms,constant",
    [
        (lambda: x + 1, [(0, 1.0)], 1.0),
        (lambda: 1 + x, [(0, 1.0)], 1.0),
        (lambda: 3 - x, [(0, -1.0)], 3.0),
        (lambda: x - 3, [(0, 1.0)], -3.0),
        (lambda: x - x, [], 0.0),
        (lambda: x * 0, [], 0.0),
        (lambda: 0 * x, [], 0.0),
        (lambda: x * -0.0, [], 0.0),
        (lambda: 2 * (x + 1), [(0, 2.0)], 2.0),
        (lambda: (x + 1) * 2, [(0, 2.0)], 2.0),
        (lambda: (x + y) - y, [(0, 1.0)], 0.0),
        (lambda: Var(5) + Var(2), [(2, 1.0), (5, 1.0)], 0.0),
        (lambda: Var(5) - Var(2), [(2, -1.0), (5, 1.0)], 0.0),
        (lambda: x + x, [(0, 2.0)], 0.0),
        (lambda: E - E, [], 0.0),
        (lambda: (x - 1) * 0, [], -0.0),
        (lambda: 0 * (x - 1), [], -0.0),
        # c - x is c + (-x): the constant is 0.0 + c, so -0.0 becomes 0.0 ...
        (lambda: -0.0 - x, [(0, -1.0)], 0.0),
        (lambda: x + -0.0, [(0, 1.0)], 0.0),
        # ... while e + y keeps e's constant as it is.
        (lambda: (x - 1) * 0 + y, [(1, 1.0)], -0.0),
        (lambda: (x - 1) * 0 - y, [(1, -1.0)], -0.0),
        (lambda: -0.0 - (x - x), [], -0.0),
        (lambda: x * math.nan, [(0, math.nan)], 0.0),
        (lambda: x + math.inf, [(0, 1.0)], math.inf),
        (lambda: x * math.inf - x * math.inf, [(0, math.nan)], 0.0),
    ],
)
def test_results(make, terms, constant):
    got_terms, got_constant = parts(make())
    assert len(got_terms) == len(terms)
    for (gv, gc), (wv, wc) in zip(got_terms, terms):
        assert gv == wv and same(gc, wc)
    assert same(got_constant, constant)


def test_sum_over_variables():
    assert_parts(sum([x, y, x]), [(0, 2.0), (1, 1.0)], 0.0)
    assert_parts(sum([x, E, 1]), [(0, 3.0), (2, 3.0)], 2.0)
    assert_parts(sum([y], x), [(0, 1.0), (1, 1.0)], 0.0)


def test_printed_form():
    assert str(x + 2 * y) == (
        "ScalarAffineFn { terms: [AffineTerm { var: VarId(0), coeff: 1.0 }, "
        "AffineTerm { var: VarId(1), coeff: 2.0 }], constant: 0.0 }"
    )
    assert str(x - x) == "ScalarAffineFn { terms: [], constant: 0.0 }"
    # No representation of its own.
    assert repr(E).startswith("<builtins.LinExpr object at 0x")
    assert repr(x == 1).startswith("<builtins.Constr object at 0x")
    c = x == 1
    assert str(c) == repr(c)


@pytest.mark.parametrize("cls,name", [(LinExpr, "LinExpr"), (Constr, "Constr")])
def test_classes(cls, name):
    with pytest.raises(TypeError, match=re.escape(f"cannot create 'builtins.{name}' instances")):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__doc__ is None
    assert cls.__bases__ == (object,)
    instance = E if cls is LinExpr else (x == 1)
    with pytest.raises(AttributeError):
        instance.anything = 1
    assert bool(instance) is True
    with pytest.raises(TypeError):
        len(instance)


def test_hashing():
    with pytest.raises(TypeError, match="unhashable type"):
        hash(E)
    with pytest.raises(TypeError, match="unhashable type"):
        {x}
    c = x <= 1
    assert hash(c) == hash(c)
    assert {c: 1}[c] == 1


def test_no_reference_leaks():
    """Operands and results are released: repeated operations keep the counts."""
    a, b, c = Var(3), x + 1, 2.5
    counts = [sys.getrefcount(o) for o in (a, b, c)]
    for _ in range(1000):
        a + b, b + a, a - c, c * b, a <= b, b == c, a != b
    try:
        a * b
    except BaseException:  # noqa: BLE001
        pass
    assert [sys.getrefcount(o) for o in (a, b, c)] == counts
