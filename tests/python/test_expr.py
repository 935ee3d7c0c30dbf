"""LinExpr and Constr: the operator and comparison tables of Var and LinExpr,
their dispatch, and the fault raised for unsupported operands."""

import fractions
import math
import operator
import re
import sys

import pytest

import kestpy
from conftest import parts
from kestpy import Constr, Var, quicksum

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
OTHERS = ["abc", None, 1j, 10**400]

ARITH = {"addition": operator.add, "subtraction": operator.sub, "multiplication": operator.mul,
         "division": operator.truediv}
COMPARE = [operator.eq, operator.le, operator.ge]

NUMBERS = [
    (fractions.Fraction(5, 2), 2.5),
    (type("Idx", (), {"__index__": lambda self: 4})(), 4.0),
    (type("Flt", (), {"__float__": lambda self: -1.5})(), -1.5),
]


@pytest.mark.parametrize("number,value", NUMBERS, ids=lambda v: type(v).__name__)
def test_anything_with_a_float_conversion_is_a_number(number, value):
    for fn in ARITH.values():
        for left, right in ((x, number), (number, x), (E, number), (number, E)):
            if fn is operator.truediv and left is number:
                continue
            want = fn(left if left is not number else value, right if right is not number else value)
            assert parts(fn(left, right)) == parts(want)


@pytest.mark.parametrize("word", ARITH)
@pytest.mark.parametrize("other", OTHERS, ids=lambda v: type(v).__name__)
def test_unsupported_operand_faults(panic, word, other):
    for left, right, cls in ((x, other, "Var"), (other, x, "Var"), (E, other, "LinExpr"), (other, E, "LinExpr")):
        with panic(f"^Unsupported type for {word} with {cls}$"):
            ARITH[word](left, right)


@pytest.mark.parametrize(
    "left,op,right,message",
    [
        (x, operator.mul, y, "Multiplication of two variables is not supported in linear expressions"),
        (x, operator.mul, F,
         "Multiplication of a variable with a linear expression is not supported in linear expressions"),
        (E, operator.mul, y, "Unsupported type for multiplication with LinExpr"),
        (E, operator.mul, F, "Unsupported type for multiplication with LinExpr"),
        (x, operator.truediv, y, "Unsupported type for division with Var"),
        (x, operator.truediv, F, "Unsupported type for division with Var"),
        (E, operator.truediv, y, "Unsupported type for division with LinExpr"),
        (2, operator.truediv, x, "Unsupported type for division with Var"),
        (2.5, operator.truediv, E, "Unsupported type for division with LinExpr"),
    ],
)
def test_products_and_quotients_that_are_not_linear(panic, left, op, right, message):
    """The left operand's table decides: x * e and e * x fail differently."""
    with panic("^" + re.escape(message) + "$"):
        op(left, right)


@pytest.mark.parametrize("s", [x, E, 2 * x], ids=["Var", "LinExpr", "scaled"])
@pytest.mark.parametrize("zero", [0, 0.0, -0.0, False], ids=repr)
def test_division_by_zero(s, zero):
    with pytest.raises(ZeroDivisionError, match=f"^{type(s).__name__} division by zero$"):
        s / zero


class Greedy:
    """Accepts every reflected operation; it is never consulted for x op g."""

    def __radd__(self, other):
        return "radd"

    __rsub__ = __rmul__ = __rtruediv__ = __radd__

    def __add__(self, other):
        return NotImplemented


@pytest.mark.parametrize("left", [x, E], ids=["Var", "LinExpr"])
def test_left_operand_never_declines(panic, left):
    cls = type(left).__name__
    for word, fn in ARITH.items():
        with panic(f"Unsupported type for {word} with {cls}"):
            fn(left, Greedy())
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


@pytest.mark.parametrize("fn", COMPARE)
@pytest.mark.parametrize("other", OTHERS, ids=lambda v: type(v).__name__)
def test_comparison_with_unsupported_operand_faults(panic, fn, other):
    for s, cls in ((x, "Var"), (E, "LinExpr")):
        with panic(f"^Unsupported type for comparison with {cls}$"):
            fn(s, other)
        with panic(f"^Unsupported type for comparison with {cls}$"):
            fn(other, s)


@pytest.mark.parametrize(
    "expr,want",
    [
        (lambda: 5 >= x, ([(0, 1.0)], 0.0, "<", 5.0)),
        (lambda: 5 >= E, ([(0, 2.0), (2, 3.0)], -4.0, "<", 0.0)),
        (lambda: x + 1 <= 5, ([(0, 1.0)], -4.0, "<", 0.0)),
        (lambda: x == x, ([], 0.0, "=", 0.0)),
        (lambda: y <= E, ([(0, -2.0), (1, 1.0), (2, -3.0)], -1.0, "<", 0.0)),
    ],
)
def test_reflected_and_mixed_comparisons(constr_of, expr, want):
    assert constr_of(expr()) == want


NO_TRUTH = "^A Constr has no truth value. A chained comparison such as 2 <= x <= 5 keeps only one of its parts"


@pytest.mark.parametrize("s", [x, E], ids=["Var", "LinExpr"])
@pytest.mark.parametrize("r", [y, 2.5, F, x], ids=["Var", "float", "LinExpr", "x"])
def test_a_constraint_has_no_truth_value(s, r):
    """!= and `in` ask for the truth of ==, a chained comparison for the first part's."""
    questions = [lambda: s != r, lambda: r != s, lambda: bool(s == r), lambda: 2 <= s <= 5,
                 lambda: r <= s <= r, lambda: not (s >= r)]
    if r is not s:
        questions.append(lambda: s in [r])
    for question in questions:
        with pytest.raises(TypeError, match=NO_TRUTH):
            question()
    assert s in [s]  # identity answers before any comparison


@pytest.mark.parametrize("s", [x, E], ids=["Var", "LinExpr"])
def test_not_equal_with_unsupported_operand_faults(panic, s):
    cls = type(s).__name__
    with panic(f"Unsupported type for comparison with {cls}"):
        s != None  # noqa: E711
    with panic(f"Unsupported type for comparison with {cls}"):
        s in [None]


@pytest.mark.parametrize("s", [x, E], ids=["Var", "LinExpr"])
def test_strict_orderings_and_other_operators_are_not_supported(s):
    for r in (3, y, F):
        for op in (operator.lt, operator.gt):
            with pytest.raises(TypeError, match="not supported between instances"):
                op(s, r)
            with pytest.raises(TypeError, match="not supported between instances"):
                op(r, s)
    for op in (operator.pos, abs, lambda v: v**2, lambda v: v // 2, lambda v: v % 2, lambda v: v @ v):
        with pytest.raises(TypeError):
            op(s)


def test_negation_flips_the_sign_of_nan_as_subtraction_does(constr_of):
    """The printed form hides a NaN's sign; the backend sees it."""
    sign = lambda v: math.copysign(1, v)  # noqa: E731
    for e in (x * math.nan + math.nan, x * -math.nan - math.nan):
        [(_, c)], k, _, _ = constr_of(e <= 0)
        [(_, neg_c)], neg_k, _, _ = constr_of(-e <= 0)
        [(_, sub_c)], _, _, _ = constr_of(0 - e <= 0)
        assert sign(neg_c) == -sign(c) == sign(sub_c)
        assert sign(neg_k) == -sign(k)


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
    e /= 4
    assert_parts(e, [(1, 0.5)], 0.5)


@pytest.mark.parametrize(
    "make,terms,constant",
    [
        (lambda: x - x, [], 0.0),
        (lambda: x * 0, [], 0.0),
        (lambda: 0 * x, [], 0.0),
        (lambda: x * -0.0, [], 0.0),
        (lambda: Var(5) - Var(2), [(2, -1.0), (5, 1.0)], 0.0),
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
        # -x is x * -1; -e negates every coefficient and the constant.
        (lambda: -x, [(0, -1.0)], 0.0),
        (lambda: -(x - 1), [(0, -1.0)], 1.0),
        (lambda: -(x + 0), [(0, -1.0)], -0.0),
        (lambda: -quicksum([y, x, y]), [(0, -1.0), (1, -2.0)], -0.0),
        # e / c is e * (1 / c).
        (lambda: (x + y) / 2, [(0, 0.5), (1, 0.5)], 0.0),
        (lambda: (x - 1) / math.inf, [], -0.0),
        (lambda: x / -math.inf, [], 0.0),
        (lambda: quicksum([y, x, y]) / 4, [(0, 0.25), (1, 0.5)], 0.0),
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


def test_truth_and_hashing():
    assert bool(E) is True
    with pytest.raises(TypeError):
        len(E)
    with pytest.raises(TypeError, match="unhashable type"):
        hash(E)
    c = x <= 1
    assert hash(c) == hash(c)
    assert {c: 1}[c] == 1


def test_no_reference_leaks():
    """Operands and results are released: repeated operations keep the counts."""
    a, b, c = Var(3), x + 1, 2.5
    counts = [sys.getrefcount(o) for o in (a, b, c)]
    for _ in range(1000):
        a + b, b + a, a - c, c * b, a <= b, b == c, -a, -b, a / c, b / c
    for fails in (lambda: a * b, lambda: a != b, lambda: c / a, lambda: b / 0):
        try:
            fails()
        except BaseException:  # noqa: BLE001
            pass
    assert [sys.getrefcount(o) for o in (a, b, c)] == counts
