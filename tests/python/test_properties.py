"""Property tests: random expressions, blocks, names and whole models.

The operators and quicksum are checked bit for bit against a plain-Python
rendering of the documented arithmetic (calculate, simplify and the operator
tables), and numerically against evaluating the same expression with floats.
Blocks are checked against numpy's row-major flat index and itertools.product.
Random model-building programs are checked by rebuilding the model from what
a recording backend received, at attach time and call by call, and comparing
it with the model that was built, as sparse matrices.
"""
import itertools
import math
import operator
import struct

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
try:
    from scipy import sparse
except ImportError:  # only the whole-model comparison needs it
    sparse = None

from hypothesis import HealthCheck, assume, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import kestpy  # noqa: E402
from conftest import parts, var_id  # noqa: E402
import kestpy_recording  # noqa: E402
from kestpy import KEST  # noqa: E402

INF = float("inf")
NVARS = 6
SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# ---------------------------------------------------------------- the documented arithmetic in Python

def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


def simplify(terms):
    """Stable sort by variable, left-to-right merge, zero coefficients dropped."""
    out = []
    for v, c in sorted(terms, key=lambda t: t[0]):
        if out and out[-1][0] == v:
            out[-1] = (v, out[-1][1] + c)
        else:
            out.append((v, c))
    return [(v, c) for v, c in out if c != 0.0]


def calculate(lhs, rhs, op):
    (lt, lc), (rt, rc) = lhs, rhs
    if op == "add":
        terms = [t for t in lt if t[1] != 0.0] + [t for t in rt if t[1] != 0.0]
        const = lc + rc
    elif op == "sub":
        terms = [t for t in lt if t[1] != 0.0] + [(v, -c) for v, c in rt if -c != 0.0]
        const = lc - rc
    else:
        assert not (lt and rt), "non-affine"
        if rt:
            terms, const = [(v, c * lc) for v, c in rt if c * lc != 0.0], lc * rc
        else:
            terms, const = [(v, c * rc) for v, c in lt if c * rc != 0.0], rc * lc
    return simplify(terms), const


def fn_var(i):
    return [(i, 1.0)], 0.0


def const(c):
    return [], c


OPS = {"add": operator.add, "sub": operator.sub, "mul": operator.mul}


# A reference value is ("num", python number), ("var", index) or ("lin", terms, constant).

def lin(terms, c):
    return ("lin", terms, c)


def ref_binop(op, l, r):
    """l op r by the operator tables; the interpreter asks the left operand first.
    Trees only multiply by numbers."""
    if l[0] == "num" and r[0] == "num":
        return ("num", OPS[op](l[1], r[1]))
    sign = -1.0 if op == "sub" else 1.0
    if l[0] == "var":
        x = l[1]
        if r[0] == "num":
            c = float(r[1])
            if op == "mul":
                return lin(simplify([(x, c)] if c != 0.0 else []), 0.0)
            return lin(*calculate(fn_var(x), const(c), op))
        if r[0] == "var":
            return lin(simplify([(x, 1.0), (r[1], sign)]), 0.0)
        return lin(*calculate(fn_var(x), (r[1], r[2]), op))
    if l[0] == "lin":
        e = (l[1], l[2])
        if r[0] == "num":
            return lin(*calculate(e, const(float(r[1])), op))
        if r[0] == "var":  # e's constant is kept as it is
            return lin(simplify(e[0] + [(r[1], sign)]), e[1])
        return lin(*calculate(e, (r[1], r[2]), op))
    c = float(l[1])  # a number on the left: the right operand's reflected table
    if r[0] == "var":
        x = r[1]
        if op == "mul":
            return lin(simplify([(x, c)] if c != 0.0 else []), 0.0)
        return lin(*calculate(([(x, sign)], 0.0), const(c), "add"))
    e = (r[1], r[2])
    if op == "sub":
        return lin(*calculate(const(c), e, "sub"))
    return lin(*calculate(e, const(c), op))


def ref_quicksum(items):
    terms, c = [], 0.0
    for it in items:
        if it[0] == "lin":
            terms, c = calculate((terms, c), (it[1], it[2]), "add")
        elif it[0] == "var":
            terms = terms + [(it[1], 1.0)]
        else:
            terms, c = calculate((terms, c), const(float(it[1])), "add")
    return lin(terms, c)


def ref_compare(s, op, r):
    """(terms, constant, sense symbol, rhs) of the Constr that s op r builds."""
    if s[0] == "num":  # the interpreter mirrors it onto the other operand
        return ref_compare(r, {"<=": ">=", ">=": "<=", "==": "=="}[op], s)
    sense = {">=": ">", "<=": "<", "==": "="}[op]
    if s[0] == "var":
        x = s[1]
        if r[0] == "num":
            return [(x, 1.0)], 0.0, sense, float(r[1])
        if r[0] == "var":
            return simplify([(x, 1.0), (r[1], -1.0)]), 0.0, sense, 0.0
        return (*calculate(fn_var(x), (r[1], r[2]), "sub"), sense, 0.0)
    e = (s[1], s[2])
    if r[0] == "num":
        return (*calculate(e, const(float(r[1])), "sub"), sense, 0.0)
    if r[0] == "var":
        return simplify(e[0] + [(r[1], -1.0)]), e[1], sense, 0.0
    return (*calculate(e, (r[1], r[2]), "sub"), sense, 0.0)


# ---------------------------------------------------------------- expression trees

def numbers(exact=False):
    ints = st.integers(-6, 6)
    if exact:
        return st.one_of(ints, st.sampled_from([0.5, -1.5, 2.5, 0.0, -0.0]))
    return st.one_of(
        ints,
        st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False),
        st.booleans(),
        st.fractions(min_value=-8, max_value=8, max_denominator=12),
    )


def trees(exact=False, nvars=NVARS):
    num = numbers(exact).map(lambda c: ("num", c))
    leaf = st.one_of(st.integers(0, nvars - 1).map(lambda i: ("var", i)), num)

    def extend(children):
        return st.one_of(
            st.tuples(st.sampled_from(["add", "sub"]), children, children),
            st.tuples(st.just("mul"), children, num),
            st.tuples(st.just("mul"), num, children),
            st.lists(children, max_size=6).map(lambda items: ("quicksum", items)),
        )

    return st.recursive(leaf, extend, max_leaves=20)


def operands():
    """A Var, a number or a LinExpr about equally often: random trees alone
    seldom put a Var beside a LinExpr."""
    var = st.integers(0, NVARS - 1).map(lambda i: ("var", i))
    return st.one_of(var, numbers().map(lambda c: ("num", c)), st.tuples(st.sampled_from(["add", "sub"]), trees(), var))


def cells():
    """Trees whose root is any cell of the operator tables."""
    return st.tuples(st.sampled_from(["add", "sub", "mul"]), operands(), operands()).filter(
        lambda t: t[0] != "mul" or "num" in (t[1][0], t[2][0]))


def build(node, produced=None):
    """The tree as kestpy objects, and its reference value. Operator results
    that are LinExprs are collected in `produced`."""
    kind = node[0]
    if kind == "var":
        return kestpy.Var(node[1]), node
    if kind == "num":
        return node[1], node
    if kind == "quicksum":
        parts = [build(n, produced) for n in node[1]]
        return kestpy.quicksum([p[0] for p in parts]), ref_quicksum([p[1] for p in parts])
    (lo, lr), (ro, rr) = build(node[1], produced), build(node[2], produced)
    out = OPS[kind](lo, ro)
    if produced is not None and isinstance(out, kestpy.LinExpr):
        produced.append(out)
    return out, ref_binop(kind, lr, rr)


def evaluate(node, point, absolute=False):
    """Plain-float evaluation; with absolute, the magnitude scale of its rounding error."""
    kind = node[0]
    f = abs if absolute else (lambda v: v)
    if kind == "var":
        return f(point[node[1]])
    if kind == "num":
        return f(float(node[1]))
    if kind == "quicksum":
        return sum((evaluate(n, point, absolute) for n in node[1]), 0.0)
    a, b = evaluate(node[1], point, absolute), evaluate(node[2], point, absolute)
    if kind == "sub" and not absolute:
        return a - b
    if kind == "mul":
        return a * b
    return a + b


def assert_matches(obj, ref):
    if ref[0] == "num":
        assert not isinstance(obj, (kestpy.LinExpr, kestpy.Var)) and obj == ref[1]
        return
    if ref[0] == "var":
        assert isinstance(obj, kestpy.Var) and str(obj) == f"Var({ref[1]})"
        return
    assert isinstance(obj, kestpy.LinExpr)
    terms, c = parts(obj)
    assert [v for v, _ in terms] == [v for v, _ in ref[1]], (str(obj), ref)
    assert all(same_float(a, b) for (_, a), (_, b) in zip(terms, ref[1])), (str(obj), ref)
    assert same_float(c, ref[2]), (str(obj), ref)


def assert_simplified(expr):
    terms, _ = parts(expr)
    assert all(terms[i][0] < terms[i + 1][0] for i in range(len(terms) - 1)), str(expr)
    assert all(c != 0.0 for _, c in terms), str(expr)


@SETTINGS
@given(cells(), st.lists(st.floats(-1e3, 1e3, allow_nan=False), min_size=NVARS, max_size=NVARS))
def test_operators_and_quicksum_follow_the_documented_arithmetic_exactly(tree, point):
    produced = []
    obj, ref = build(tree, produced)
    assert_matches(obj, ref)
    for expr in produced:
        assert_simplified(expr)
    # ... and the result evaluates like the same expression in plain floats.
    expected = evaluate(tree, point)
    scale = evaluate(tree, point, absolute=True)
    if isinstance(obj, kestpy.LinExpr):
        terms, c = parts(obj)
        got = math.fsum([coeff * point[v] for v, coeff in terms] + [c])
    elif isinstance(obj, kestpy.Var):
        got = point[var_id(obj)]
    else:
        got = float(obj)
    assert math.isclose(got, expected, rel_tol=1e-9, abs_tol=1e-9 * scale + 1e-300), (got, expected, scale)


def float_bits(v):
    """The bits, except a NaN's: the printed form that parts() reads has no sign for it."""
    return "nan" if math.isnan(v) else struct.pack("<d", v)


@SETTINGS
@given(trees(), st.one_of(st.floats(allow_nan=False).filter(lambda c: c != 0.0), st.integers(-9, 9).filter(bool)))
def test_negation_and_division_are_the_float_operations_on_every_coefficient(tree, divisor):
    """-e negates each coefficient and the constant; e / c multiplies each by
    the float 1 / c (the reference is plain float arithmetic on the parts)."""
    obj, _ = build(tree)
    assume(isinstance(obj, (kestpy.LinExpr, kestpy.Var)))
    terms, c = parts(obj) if isinstance(obj, kestpy.LinExpr) else ([(var_id(obj), 1.0)], None)
    r = 1 / divisor
    for got, want_terms, want_c in (
            (-obj, [(v, -k) for v, k in terms], 0.0 if c is None else -c),
            (obj / divisor, [(v, k * r) for v, k in terms], 0.0 if c is None else r * c)):
        want_terms = [(v, k) for v, k in simplify(want_terms) if k != 0.0]
        got_terms, got_c = parts(got)
        assert [(v, float_bits(k)) for v, k in got_terms] == [(v, float_bits(k)) for v, k in want_terms]
        assert float_bits(got_c) == float_bits(want_c)


COEFFS = [1.0, -1.0, 0.1, 0.2, 0.3, -0.3, 1e16, -1e16, 3.0, INF, -INF, math.nan]


@st.composite
def sum_items(draw):
    """Vars, numbers and LinExprs whose coefficients cancel, overflow or are NaN."""
    out = []
    for kind in draw(st.lists(st.sampled_from(["var", "expr", "num"]), max_size=60)):
        if kind == "var":
            out.append(("var", draw(st.integers(0, NVARS - 1))))
        elif kind == "num":
            out.append(("num", draw(st.sampled_from([0, -0.0, 0.1, 0.2, 1e16, -1e16, 7, True]))))
        else:
            e = 0 * kestpy.Var(0)
            for _ in range(draw(st.integers(0, 3))):
                e = e + draw(st.sampled_from(COEFFS)) * kestpy.Var(draw(st.integers(0, NVARS - 1)))
            out.append(("lin", *parts(e), e))
    return out


@settings(max_examples=400, deadline=None)
@given(sum_items())
def test_quicksum_simplifies_after_every_expression_or_number_only(items):
    """Sums, cancellations, NaN and signed zeros come out exactly as if the whole
    accumulator were simplified at every such item; Var items stay as they come."""
    objs = [kestpy.Var(it[1]) if it[0] == "var" else it[-1] if it[0] == "lin" else it[1] for it in items]
    _, terms, c = ref_quicksum([it[:3] for it in items])
    want = [(v, repr(x)) for v, x in terms], repr(c)  # repr tells -0.0 from 0.0 and matches any NaN
    for got in (kestpy.quicksum(objs), kestpy.quicksum(iter(objs))):
        t, k = parts(got)
        assert ([(v, repr(x)) for v, x in t], repr(k)) == want


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(operands(), st.sampled_from(["<=", ">=", "=="]), operands())
def test_comparisons_build_the_documented_constraint(lhs, op, rhs):
    (lo, lr), (ro, rr) = build(lhs), build(rhs)
    assume(not (lr[0] == "num" and rr[0] == "num"))
    cmp = {"<=": operator.le, ">=": operator.ge, "==": operator.eq}[op]
    constr = cmp(lo, ro)
    assert isinstance(constr, kestpy.Constr)
    kestpy_recording.registry.reset()
    m = kestpy.Model("m")
    m.addVars(NVARS)
    m.setBackend("recording")
    m.addConstr(constr)
    idx, coeffs, sense, rhs_value, name, constant = kestpy_recording.created[-1].calls[-1][1]
    terms, c, ref_sense, ref_rhs = ref_compare(lr, op, rr)
    assert idx == [v for v, _ in terms]
    assert all(same_float(a, b) for a, (_, b) in zip(coeffs, terms))
    assert same_float(constant, c) and sense == ref_sense and same_float(rhs_value, ref_rhs)
    assert name is None
    assert all(idx[i] < idx[i + 1] for i in range(len(idx) - 1)) and 0.0 not in coeffs


# ---------------------------------------------------------------- blocks and names

Vars = type(kestpy.Model("types").addVars(1))
shapes = st.lists(st.integers(1, 5), max_size=4)


@SETTINGS
@given(shapes, st.data())
def test_block_indexing_is_numpy_row_major(shape, data):
    n = math.prod(shape)
    ids = data.draw(st.lists(st.integers(0, 2**64 - 1), min_size=n, max_size=n))
    index = tuple(data.draw(st.integers(0, e - 1)) for e in shape)
    vs = Vars(shape, ids)
    flat = int(np.ravel_multi_index(index, shape)) if shape else 0
    expected = f"Var({ids[flat]})"
    assert str(vs[index]) == expected
    assert str(vs[list(index)]) == expected
    if len(shape) == 1:
        assert str(vs[index[0]]) == expected
    # One index past its extent, anywhere, is out of bounds.
    if shape:
        d = data.draw(st.integers(0, len(shape) - 1))
        bad = index[:d] + (shape[d] + data.draw(st.integers(0, 3)),) + index[d + 1:]
        with pytest.raises(IndexError, match="^Index out of bounds$"):
            vs[bad]
    if len(shape) == 1:
        assert [str(v) for v in vs] == [f"Var({i})" for i in ids]


@SETTINGS
@given(st.lists(st.integers(0, 4), max_size=3), st.data())
def test_model_blocks_number_and_name_members_like_itertools_product(shape, data):
    kestpy_recording.registry.reset()
    prefix = data.draw(st.text(st.characters(blacklist_categories=("Cs",)), max_size=5))
    m = kestpy.Model("m")
    first = data.draw(st.integers(0, 3))
    for _ in range(first):
        m.addVar()
    vs = m.addVars(*shape, name=prefix) if prefix or data.draw(st.booleans()) else m.addVars(*shape)
    members = list(itertools.product(*(range(e) for e in shape)))
    for k, index in enumerate(members):
        assert str(vs[index]) == f"Var({first + k})"
    m.setBackend("recording")
    calls = kestpy_recording.created[-1].calls
    names = calls[0][1][1] if calls else []
    expected = [f"{prefix}[{','.join(map(str, index))}]" for index in members]
    assert names == [""] * first + expected


@SETTINGS
@given(st.integers(0, 12), st.one_of(st.none(), st.text(st.characters(blacklist_categories=("Cs",)), max_size=4)))
def test_constraint_batch_names_like_itertools_product(count, prefix):
    kestpy_recording.registry.reset()
    m = kestpy.Model("m")
    x = m.addVar()
    m.addConstrs((x <= i for i in range(count)), name=prefix)
    m.setBackend("recording")
    calls = kestpy_recording.created[-1].calls
    names = calls[1][1][5] if count else []
    base = "Cons" if prefix is None else prefix
    assert names == [f"{base}[{i}]" for (i,) in itertools.product(range(count))]


# ---------------------------------------------------------------- whole models through the replay

VTYPES = [None, KEST.CONTINUOUS, KEST.BINARY, KEST.INTEGER]


def letter(vtype):
    return "C" if vtype is None else "CBI"[int(vtype)]


EXACT = numbers(exact=True)
names_st = st.text(st.characters(blacklist_categories=("Cs",)), max_size=3)


class Reference:
    """The model that a program built, as the documentation says it must be cached."""

    def __init__(self):
        self.vars = []  # (name, lb, ub, type)
        self.rows = []  # (terms, constant, sense, rhs, name)
        self.objective = None  # (terms, constant, sense code)
        self.params = {}

    def add_objective_terms(self, ids, coeffs):
        extra = [(i, float(c)) for i, c in zip(ids, coeffs) if float(c) != 0.0]
        if not extra:
            return
        terms, c, sense = self.objective if self.objective else ([], 0.0, -1)
        terms, c = calculate((terms, c), (extra, 0.0), "add")
        self.objective = (terms, c, sense)


var_kwargs = st.fixed_dictionaries({}, optional={
    "lb": EXACT, "ub": st.one_of(EXACT, st.just(INF)), "obj": EXACT, "vtype": st.sampled_from(VTYPES), "name": names_st})
actions = st.one_of(
    st.tuples(st.just("addVar"), var_kwargs),
    st.tuples(st.just("addVars"), st.lists(st.integers(0, 3), max_size=2), st.data()),
    st.tuples(st.just("addConstr"), trees(True, 4), st.sampled_from(["<=", ">=", "=="]), trees(True, 4),
              st.one_of(st.none(), names_st)),
    st.tuples(st.just("addConstrs"), st.lists(st.tuples(trees(True, 4), st.sampled_from(["<=", ">=", "=="]),
                                                        trees(True, 4)), max_size=3), st.data()),
    st.tuples(st.just("setObjective"), trees(True, 4), st.sampled_from([KEST.MINIMIZE, KEST.MAXIMIZE])),
    st.tuples(st.just("setParam"), st.sampled_from(["a", "b", "TimeLimit"]),
              st.one_of(st.integers(-5, 5), st.floats(-5, 5, allow_nan=False), st.text(max_size=3), st.booleans())),
    st.tuples(st.just("attach")),
)


def remap(tree, n):
    """Variable indices of a tree taken modulo the model's variable count."""
    if tree[0] == "var":
        return ("var", tree[1] % n)
    if tree[0] == "num":
        return tree
    if tree[0] == "quicksum":
        return ("quicksum", [remap(t, n) for t in tree[1]])
    return (tree[0], remap(tree[1], n), remap(tree[2], n))


def constraint(lhs, op, rhs, n):
    (lo, lr), (ro, rr) = build(remap(lhs, n)), build(remap(rhs, n))
    if lr[0] == "num" and rr[0] == "num":
        lo, lr = kestpy.Var(0), ("var", 0)
    cmp = {"<=": operator.le, ">=": operator.ge, "==": operator.eq}[op]
    return cmp(lo, ro), ref_compare(lr, op, rr)


def run_program(program):
    m = kestpy.Model("m")
    ref = Reference()
    for action in program:
        kind = action[0]
        n = len(ref.vars)
        if kind == "addVar":
            kw = action[1]
            v = m.addVar(**kw)
            assert str(v) == f"Var({n})"
            ref.vars.append((kw.get("name", ""), float(kw.get("lb", 0.0)), float(kw.get("ub", INF)),
                             letter(kw.get("vtype"))))
            ref.add_objective_terms([n], [kw.get("obj", 0.0)])
        elif kind == "addVars":
            shape, data = action[1], action[2]
            count = math.prod(shape)
            kw, cols = {}, {}
            for key, elem, default in (("lb", EXACT, 0.0), ("ub", EXACT, INF), ("obj", EXACT, 0.0),
                                       ("vtype", st.sampled_from([KEST.CONTINUOUS, KEST.BINARY, KEST.INTEGER]),
                                        KEST.CONTINUOUS)):
                form = data.draw(st.sampled_from(["absent", "scalar", "list"]))
                if form == "scalar":
                    kw[key] = data.draw(elem)
                    cols[key] = [kw[key]] * count
                elif form == "list":
                    kw[key] = data.draw(st.lists(elem, min_size=count, max_size=count + 1))
                    cols[key] = kw[key][:count]
                else:
                    cols[key] = [default] * count
            form = data.draw(st.sampled_from(["absent", "prefix", "list"]))
            if form == "prefix":
                kw["name"] = data.draw(names_st)
            elif form == "list":
                kw["name"] = data.draw(st.lists(names_st, min_size=count, max_size=count))
            if form == "list":
                names = kw["name"]
            else:
                prefix = kw.get("name", "")
                names = [f"{prefix}[{','.join(map(str, i))}]" for i in itertools.product(*(range(e) for e in shape))]
            m.addVars(*shape, **kw)
            for i in range(count):
                ref.vars.append((names[i], float(cols["lb"][i]), float(cols["ub"][i]), letter(cols["vtype"][i])))
            ref.add_objective_terms(range(n, n + count), cols["obj"])
        elif kind == "addConstr" and n:
            c, (terms, const_, sense, rhs) = constraint(action[1], action[2], action[3], n)
            m.addConstr(c, name=action[4])
            ref.rows.append((terms, const_, sense, rhs, action[4] or ""))
        elif kind == "addConstrs" and n:
            built = [constraint(*spec, n) for spec in action[1]]
            data = action[2]
            form = data.draw(st.sampled_from(["absent", "prefix", "list"]))
            if form == "absent":
                name, names = None, [f"Cons[{i}]" for i in range(len(built))]
            elif form == "prefix":
                name = data.draw(names_st)
                names = [f"{name}[{i}]" for i in range(len(built))]
            else:
                name = data.draw(st.lists(names_st, min_size=len(built), max_size=len(built) + 1))
                names = name[: len(built)]
            m.addConstrs((c for c, _ in built), name=name)
            for (_, (terms, const_, sense, rhs)), nm in zip(built, names):
                ref.rows.append((terms, const_, sense, rhs, nm))
        elif kind == "setObjective" and n:
            obj, r = build(remap(action[1], n))
            if not isinstance(obj, kestpy.LinExpr):
                obj, r = kestpy.quicksum([obj]), ref_quicksum([r])
            m.setObjective(obj, action[2])
            ref.objective = (r[1], r[2], 1 if action[2] == KEST.MAXIMIZE else -1)
        elif kind == "setParam":
            m.setParam(action[1], action[2])
            value = action[2]
            ref.params[action[1]] = int(value) if isinstance(value, bool) else value
        elif kind == "attach":
            m.setBackend("recording")
    return m, ref


def rebuild(calls):
    """The model as a backend sees it, from the protocol calls it received."""
    got = Reference()
    for method, args in calls:
        if method == "add_variables":
            count, names, types, lbs, ubs = args
            for i in range(count):
                got.vars.append((names[i], lbs[i], ubs[i], types[i]))
        elif method == "add_variable":
            name, vtype, lb, ub = args
            got.vars.append((name if name is not None else "", lb, ub, vtype or "C"))
        elif method == "add_constraints":
            idx, coeffs, consts, senses, rhss, names = args
            for row in zip(idx, coeffs, consts, senses, rhss, names):
                got.rows.append((list(zip(row[0], row[1])), row[2], row[3], row[4], row[5]))
        elif method == "add_constraint":
            idx, coeffs, sense, rhs, name, const_ = args
            got.rows.append((list(zip(idx, coeffs)), const_, sense, rhs, name if name is not None else ""))
        elif method == "set_objective":
            idx, coeffs, const_, sense = args
            got.objective = (list(zip(idx, coeffs)), const_, sense)
        elif method == "set_optimizer_attr":
            got.params[args[0]] = args[1]
    return got


def matrix(rows, ncols):
    data, ri, ci = [], [], []
    for r, row in enumerate(rows):
        for v, c in row[0]:
            ri.append(r)
            ci.append(v)
            data.append(c)
    return sparse.csr_matrix((data, (ri, ci)), shape=(len(rows), ncols))


def assert_same_model(got, ref):
    n = len(ref.vars)
    assert got.vars == ref.vars
    a, b = matrix(got.rows, n), matrix(ref.rows, n)
    assert a.shape == b.shape and (a != b).nnz == 0
    for k in (1, 3):  # constants and right-hand sides, bit for bit
        assert [struct.pack("<d", r[k]) for r in got.rows] == [struct.pack("<d", float(r[k])) for r in ref.rows]
    assert [r[2] for r in got.rows] == [r[2] for r in ref.rows]
    assert [r[4] for r in got.rows] == [r[4] for r in ref.rows]
    if ref.objective is None:
        assert got.objective is None
    else:
        assert got.objective is not None
        assert (matrix([got.objective], n) != matrix([ref.objective], n)).nnz == 0
        assert same_float(got.objective[1], ref.objective[1]) and got.objective[2] == ref.objective[2]
    assert sorted((k, type(v).__name__, v) for k, v in got.params.items()) == sorted(
        (k, type(v).__name__, v) for k, v in ref.params.items())


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(actions, max_size=12))
def test_backends_receive_exactly_the_model_that_was_built(program):
    if sparse is None:
        pytest.skip("scipy is not installed")
    kestpy_recording.registry.reset()
    m, ref = run_program(program)
    # A backend attached during the program saw the replay and then every change
    # (obj coefficients reach it as one objective before the solve).
    if kestpy_recording.created:
        m.optimize()
        assert_same_model(rebuild(kestpy_recording.created[-1].calls), ref)
    # A backend attached now sees the whole model in one replay.
    m.setBackend("recording")
    replay = kestpy_recording.created[-1].calls
    assert [c[0] for c in replay if c[0] != "set_optimizer_attr"] == [
        k for k, present in (("add_variables", ref.vars), ("add_constraints", ref.rows),
                             ("set_objective", ref.objective)) if present]
    assert_same_model(rebuild(replay), ref)
