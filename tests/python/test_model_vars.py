"""Model: constructor, string form, addVar and addVars, and the obj coefficients."""
import math

import pytest

import kestpy
from hostile import Index, Floaty
from conftest import var_id

KEST = kestpy.KEST
INF = math.inf


def next_id(m):
    """The id the next variable gets: the number of variables in the model."""
    return var_id(m.addVar())


def same(a, b):
    """Equal values of the same types, recursively (so 1 and 1.0 differ)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def added(rec):
    """The variables the backend was told about, as (name, kind, lb, ub)."""
    assert set(rec.methods()) <= {"add_variable", "set_objective"}, rec.calls
    return rec.args_of("add_variable")


# ---------------------------------------------------------------- constructor and str


@pytest.mark.parametrize("name", ["plant 1", "", "größe"])
def test_str_form(name):
    assert str(kestpy.Model(name)) == f"Model(name={name})"
    assert str(kestpy.Model(name=name)) == f"Model(name={name})"


@pytest.mark.parametrize(
    "call, exc, message",
    [(lambda m: kestpy.Model(), TypeError, "Model() missing 1 required positional argument: 'name'"),
     (lambda m: kestpy.Model(1), TypeError, "argument 'name': must be str, not int"),
     (lambda m: kestpy.Model("a", "b"), TypeError, "positional argument but 2 were given"),
     (lambda m: kestpy.Model(nam="x"), TypeError, "unexpected keyword argument 'nam'"),
     (lambda m: kestpy.Model("a", name="b"), TypeError, "multiple values for argument 'name'"),
     (lambda m: kestpy.Model("\ud800"), UnicodeEncodeError, None),
     (lambda m: m.addVar(1, 2, 3, None, "x", 6), TypeError, "takes from 0 to 5 positional arguments but 6 were given"),
     (lambda m: m.addVars(2, indices=3), TypeError, "unexpected keyword argument 'indices'"),
     (lambda m: kestpy.Model.addVar(), TypeError, "needs an argument"),
     (lambda m: kestpy.Model.addVar(1), TypeError, "doesn't apply to a 'int' object")],
)
def test_binding_errors(call, exc, message):
    m = kestpy.Model("m")
    with pytest.raises(exc) as info:
        call(m)
    if message:
        assert message in str(info.value)
    assert next_id(m) == 0


# ---------------------------------------------------------------- addVar


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [((), {}, ("", None, 0.0, INF)),
     ((1, 2, 0, KEST.BINARY, "x"), {}, ("x", "B", 1.0, 2.0)),
     ((), {"lb": -3, "ub": 7.5, "name": "y"}, ("y", None, -3.0, 7.5)),
     ((), {"vtype": KEST.CONTINUOUS}, ("", "C", 0.0, INF)),
     ((5, 1), {"vtype": KEST.BINARY}, ("", "B", 5.0, 1.0)),  # bounds passed on unchanged, even lb > ub
     ((True, Index(4)), {"name": "z"}, ("z", None, 1.0, 4.0)),
     ((Floaty(0.25),), {"ub": 2**70}, ("", None, 0.25, float(2**70))),
     ((-INF, INF), {"name": "ünï x[0]"}, ("ünï x[0]", None, -INF, INF))],
)
def test_addvar_arguments_reach_the_backend(recording, attached, args, kwargs, expected):
    m = kestpy.Model("m")
    rec = attached(m)
    v = m.addVar(*args, **kwargs)
    assert var_id(v) == 0
    assert len(rec.calls) == 1
    assert same(added(rec), [expected])


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [({"lb": "a"}, TypeError, "argument 'lb': must be real number, not str"),
     ({"ub": None}, TypeError, "argument 'ub': "),
     ({"obj": "x"}, TypeError, "argument 'obj': "),
     ({"lb": Floaty(TypeError("inner"))}, TypeError, "argument 'lb': inner"),
     ({"ub": Index(TypeError("inner"))}, TypeError, "argument 'ub': inner"),
     ({"vtype": 1}, TypeError, "argument 'vtype': 'int' object cannot be cast as 'VarType'"),
     ({"vtype": KEST.MINIMIZE}, TypeError, "argument 'vtype': 'Sense' object cannot be cast as 'VarType'"),
     ({"name": None}, TypeError, "argument 'name': must be str, not NoneType"),
     ({"lb": 1, "ub": "b", "name": 3}, TypeError, "argument 'ub': "),  # first failure, in order
     ({"lb": 10**400}, OverflowError, "int too large to convert to float"),
     ({"obj": Floaty(OverflowError("big"))}, OverflowError, "big"),
     ({"ub": Floaty(ValueError("val"))}, ValueError, "val")],
)
def test_addvar_conversion_errors(kwargs, exc, message):
    m = kestpy.Model("m")
    with pytest.raises(exc) as info:
        m.addVar(**kwargs)
    assert type(info.value) is exc
    text = str(info.value)
    if exc is TypeError:
        assert text.startswith(message)
    else:
        assert not text.startswith("argument")
        if message:
            assert text == message
    assert next_id(m) == 0  # nothing was added


# ---------------------------------------------------------------- addVars


@pytest.mark.parametrize(
    "extents, name, names, shape",
    [((3,), None, ["[0]", "[1]", "[2]"], "[3]"),
     ((), "x", ["x[]"], "[]"),
     ((2, 0), "x", [], "[2, 0]"),
     ((1, 11), "z", [f"z[0,{i}]" for i in range(11)], "[1, 11]"),
     ((2,), "ab", ["ab[0]", "ab[1]"], "[2]"),  # a str is always a prefix
     ((Index(2), True), "i", ["i[0,0]", "i[1,0]"], "[2, 1]"),
     ((2,), ("p", "q", "extra"), ["p", "q"], "[2]"),  # longer lists: extras unused
     ((1,), ["with [brackets]"], ["with [brackets]"], "[1]")],
)
def test_addvars_names_and_shape(recording, attached, extents, name, names, shape):
    m = kestpy.Model("m")
    rec = attached(m)
    vs = m.addVars(*extents, name=name)
    ids = ", ".join(f"VarId({i})" for i in range(len(names)))
    assert str(vs) == f"Vars(shape={shape}, ids=[{ids}])"
    assert [a[0] for a in added(rec)] == names
    assert next_id(m) == len(names)


@pytest.mark.parametrize(
    "kwargs, expected",
    [({"lb": (1, 2, 3)}, [("[0]", "C", 1.0, INF), ("[1]", "C", 2.0, INF), ("[2]", "C", 3.0, INF)]),
     ({"lb": range(3), "ub": [5, 6, 7, 8]}, [("[0]", "C", 0.0, 5.0), ("[1]", "C", 1.0, 6.0), ("[2]", "C", 2.0, 7.0)]),
     ({"lb": -1.5, "ub": Floaty(2.5)}, [(f"[{i}]", "C", -1.5, 2.5) for i in range(3)]),
     ({"lb": [Index(1), True, Floaty(0.5)]}, [("[0]", "C", 1.0, INF), ("[1]", "C", 1.0, INF), ("[2]", "C", 0.5, INF)]),
     ({"vtype": None, "lb": None, "ub": None, "obj": None, "name": None}, [(f"[{i}]", "C", 0.0, INF) for i in range(3)])],
)
def test_addvars_params(recording, attached, kwargs, expected):
    m = kestpy.Model("m")
    rec = attached(m)
    m.addVars(3, **kwargs)
    assert same(added(rec), expected)


@pytest.mark.parametrize(
    "kwargs",
    [{"lb": iter([1, 2, 3])},
     {"lb": "123"},
     {"lb": [1, "2", 3]},
     {"obj": "1"},
     {"vtype": 1},
     {"vtype": [KEST.BINARY, KEST.MINIMIZE, KEST.BINARY]},
     {"name": 3},
     {"name": ["a", 2, "c"]},
     {"lb": Floaty(OverflowError("swallowed"))},
     {"lb": [[1], [2], [3]]}],
)
def test_addvars_param_errors(kwargs):
    m = kestpy.Model("m")
    with pytest.raises(TypeError) as info:
        m.addVars(3, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == "Expected a scalar or a list"
    assert next_id(m) == 0


@pytest.mark.parametrize(
    "extents, exc, message",
    [(({2},), TypeError, "addVars: dimension 0 is a set, whose order is arbitrary; give a list of keys (sorted(...))"),
     ((2.0,), TypeError, "'float' object cannot be interpreted as an integer"),
     ((-1,), OverflowError, "can't convert negative int to unsigned"),
     ((2, -3), OverflowError, "can't convert negative int to unsigned"),
     ((2**64,), OverflowError, None),
     ((Index(ValueError("mine")),), ValueError, "mine"),
     ((2**32, 2**32), OverflowError, None),  # the member count does not fit in 64 bits
     ((2**62,), MemoryError, None),  # too large to allocate: not a fault, the model stays usable
     ((2**63, 2, 0), None, None)],  # a zero extent makes the product 0, whatever the others
)
def test_addvars_extent_errors(extents, exc, message):
    m = kestpy.Model("m")
    if exc is None:
        vs = m.addVars(*extents)
        assert str(vs).endswith("ids=[])")
        assert next_id(m) == 0
        return
    with pytest.raises(exc) as info:
        m.addVars(*extents, name="x")
    assert type(info.value) is exc
    assert not str(info.value).startswith("argument")
    if message:
        assert str(info.value) == message
    assert next_id(m) == 0


@pytest.mark.parametrize("param", ["lb", "ub", "obj", "vtype", "name"])
def test_addvars_short_list_is_refused_before_anything_is_added(recording, attached, param):
    sample = {"lb": 1.0, "ub": 2.0, "obj": 1.0, "vtype": KEST.BINARY, "name": "n"}[param]
    m = kestpy.Model("m")
    rec = attached(m)
    for extents, given in (((2, 2), 3), ((1,), 0)):
        with pytest.raises(ValueError) as info:
            m.addVars(*extents, **{param: [sample] * given})
        text = str(info.value)
        assert f"'{param}'" in text
        assert str(given) in text and str(math.prod(extents)) in text
    assert rec.calls == []
    assert next_id(m) == 0


def test_addvars_short_list_with_an_empty_block_is_fine():
    m = kestpy.Model("m")
    assert str(m.addVars(0, lb=[], name=[], vtype=[], obj=[], ub=[])) == "Vars(shape=[0], ids=[])"
    assert next_id(m) == 0


# ---------------------------------------------------------------- re-entrant use


@pytest.mark.parametrize("inner, message", [("addVar", "Already borrowed"), ("str", "Already mutably borrowed")])
@pytest.mark.parametrize(
    "outer",
    ["addVar-lb", "addVar-ub", "addVar-obj", "addVar-lb-index", "addVars-extent", "addVars-second-extent"],
)
def test_reentrant_use_during_conversion(inner, message, outer):
    m = kestpy.Model("m")
    calls = []

    def reenter(self):
        calls.append(1)
        m.addVar() if inner == "addVar" else str(m)
        return 1

    f, i = type("F", (), {"__float__": reenter})(), type("I", (), {"__index__": reenter})()
    run = {
        "addVar-lb": lambda: m.addVar(lb=f),
        "addVar-ub": lambda: m.addVar(0, f),
        "addVar-obj": lambda: m.addVar(obj=f),
        "addVar-lb-index": lambda: m.addVar(lb=i),
        "addVars-extent": lambda: m.addVars(i),
        "addVars-second-extent": lambda: m.addVars(2, i, name="x"),
    }[outer]
    with pytest.raises(RuntimeError) as info:
        run()
    assert str(info.value) == message
    assert calls == [1]
    # Exclusive use ended with the call: the model works, and nothing was added.
    assert str(m) == "Model(name=m)"
    assert next_id(m) == 0


def test_reentrant_use_from_a_backend_method(recording, attached):
    m = kestpy.Model("m")
    rec = attached(m)
    seen = []

    def hook(*args):
        for attempt in (lambda: m.addVar(), lambda: str(m), lambda: m.addVars(1)):
            try:
                attempt()
            except RuntimeError as e:
                seen.append(str(e))
        return 0

    rec.on("add_variable", hook)
    m.addVar()
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already borrowed"]
    seen.clear()
    m.addVars(1)
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already borrowed"]
    assert next_id(m) == 2  # the refused calls added nothing


# ---------------------------------------------------------------- obj coefficients


@pytest.mark.parametrize("zero", [0, 0.0, -0.0, False])
def test_zero_obj_makes_no_objective_update(recording, attached, zero):
    m = kestpy.Model("m")
    rec = attached(m)
    m.addVar(obj=zero)
    m.addVars(3, obj=zero)
    m.addVars(3, obj=[zero] * 3)
    m.addVars(0, obj=[])
    assert rec.args_of("set_objective") == []


def test_obj_reaches_the_backend_once_before_the_solve(recording, attached):
    m = kestpy.Model("m")
    rec = attached(m)
    m.addVar()
    m.addVar(obj=2.5)
    m.addVars(3, obj=[1, 0, 2])
    m.addVars(2, 2, obj=1.5)
    assert "set_objective" not in rec.methods()
    m.optimize()
    assert rec.methods()[-2:] == ["set_objective", "optimize"]
    assert same(rec.args_of("set_objective"), [([1, 2, 4, 5, 6, 7, 8], [2.5, 1.0, 2.0] + [1.5] * 4, 0.0, -1)])
    m.optimize()  # nothing new: not sent again
    assert rec.methods().count("set_objective") == 1
    m.addVar(obj=-1)
    replayed = attached(m)  # a replay carries the objective as it stands
    assert same(replayed.args_of("set_objective"),
                [([1, 2, 4, 5, 6, 7, 8, 9], [2.5, 1.0, 2.0] + [1.5] * 4 + [-1.0], 0.0, -1)])


def test_obj_list_is_converted_whole_even_past_the_member_count():
    m = kestpy.Model("m")
    with pytest.raises(TypeError, match="Expected a scalar or a list"):
        m.addVars(2, obj=[0, 0, "x"])
    assert next_id(m) == 0


def test_model_written_with_obj_only_is_solved_as_written():
    pytest.importorskip("highspy")
    m = kestpy.Model("m")
    x = m.addVar(lb=1, ub=5, obj=2)
    y = m.addVars(2, lb=[1, 2], ub=4, obj=[1, -1])
    m.setBackend("highs")
    m.optimize()
    assert m.ObjVal == pytest.approx(2 * 1 + 1 * 1 - 1 * 4)
    assert (x.X, y[0].X, y[1].X) == pytest.approx((1.0, 1.0, 4.0))


def test_obj_merges_the_objective_constant_as_a_sum_would(recording, attached):
    m = kestpy.Model("m")
    m.addVar()
    m.setObjective(kestpy.quicksum([-1.5]) * 0, KEST.MINIMIZE)  # constant -0.0
    m.addVar(obj=1)
    # -0.0 + 0.0 is 0.0: adding terms is the sum with a function of constant 0.0
    assert same(attached(m).args_of("set_objective"), [([1], [1.0], 0.0, -1)])


# ---------------------------------------------------------------- later blocks

_LETTER = {"C": KEST.CONTINUOUS, "B": KEST.BINARY, "I": KEST.INTEGER}


def _block_arguments(form, k):
    """addVars arguments for a 2x3 block (the k-th of a model) in `form`, and
    what each member should hold: (name, type letter, lb, ub)."""
    import numpy as np

    lbs = [float(10 * k + i) for i in range(6)]
    ubs = [lb + 0.5 for lb in lbs]
    codes = [(k + i) % 3 for i in range(6)]
    letters = ["CBI"[c] for c in codes]
    names = [f"b{k}[{i},{j}]" for i in range(2) for j in range(3)]
    if form == "scalar":
        kwargs = {"lb": lbs[0], "ub": ubs[0], "vtype": _LETTER[letters[0]], "name": f"b{k}"}
        return kwargs, [(n, letters[0], lbs[0], ubs[0]) for n in names]
    if form == "list":
        kwargs = {"lb": lbs, "ub": ubs, "vtype": [_LETTER[c] for c in letters], "name": [f"n{k}_{i}" for i in range(6)]}
        names = kwargs["name"]
    elif form == "array":  # contiguous float64, flat
        kwargs = {"lb": np.array(lbs), "ub": np.array(ubs), "vtype": np.array(codes, dtype=np.int64), "name": f"b{k}"}
    else:  # strided, big-endian and half-precision arrays read element by element
        wide = np.zeros((2, 6), dtype=">f8")
        wide[:, ::2] = np.array(lbs).reshape(2, 3)
        kwargs = {"lb": wide[:, ::2], "ub": np.array(ubs, dtype=np.float16).reshape(2, 3),
                  "vtype": np.array(codes, dtype=">i2").reshape(2, 3), "name": f"b{k}"}
    return kwargs, [(names[i], letters[i], lbs[i], ubs[i]) for i in range(6)]


@pytest.mark.parametrize("form", ["scalar", "list", "array", "strided"])
@pytest.mark.parametrize("backend", [None, "lists", "arrays"])
def test_later_blocks_hold_what_was_given(recording, attached, form, backend):
    from test_array_channel import ArrayRecorder

    m = kestpy.Model("m")
    if backend == "arrays":
        recording.registry.factory = ArrayRecorder
    rec = attached(m) if backend else None
    m.addVar(lb=-3.0, name="first")
    expected = [("first", "C", -3.0, INF)]
    for k in range(3):
        kwargs, members = _block_arguments(form, k)
        start = len(expected)
        vs = m.addVars(2, 3, **kwargs)
        expected += members
        flat = [vs[i, j] for i in range(2) for j in range(3)]
        assert vs.LB.ravel().tolist() == [e[2] for e in members]
        assert vs.UB.ravel().tolist() == [e[3] for e in members]
        assert [(v.VarName, v.VType, v.index) for v in flat] == [
            (e[0], _LETTER[e[1]], start + p) for p, e in enumerate(members)]
    # the blocks as the backend heard of them (addVar passes on what it was given)
    if backend == "lists":
        assert added(rec)[1:] == expected[1:]
    elif backend == "arrays":
        got = [a for m_, a in rec.calls if m_ == "add_variables"]
        assert len(got) == 3  # one call a block
        assert [t for _, *columns in got for t in zip(*columns)] == expected[1:]


def test_a_strided_vtype_array_is_read_in_row_major_order():
    import numpy as np

    m = kestpy.Model("m")
    codes = np.array([[0, 1], [2, 0], [1, 2]], dtype=np.int32).T  # shape (2, 3), column-major in memory
    vs = m.addVars(2, 3, vtype=codes)
    assert [vs[i, j].VType for i in range(2) for j in range(3)] == [
        KEST.CONTINUOUS, KEST.INTEGER, KEST.BINARY, KEST.BINARY, KEST.CONTINUOUS, KEST.INTEGER]
