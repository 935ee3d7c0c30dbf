"""The module object, its KEST submodule and what every class of it shares."""
import ctypes
import inspect
import subprocess
import sys
import types

import pytest

import kestpy

KEST = kestpy.KEST


def public(namespace):
    return [k for k in vars(namespace) if not k.startswith("__")]


def vars_type():
    return type(kestpy.Model("t").addVars(1))


# ---------------------------------------------------------------- module


def test_module_attributes_in_registration_order():
    # an imported submodule (kestpy.testing) is bound as an attribute too
    own = [k for k in public(kestpy) if "kestpy." + k not in sys.modules]
    assert own == ["Var", "LinExpr", "Constr", "ConstrRef", "KEST", "Model", "quicksum", "read",
                   "_model_from_state", "_var_at", "_vars_at", "_linexpr_of", "_constr_of"]


def test_quicksum_is_a_builtin_function():
    assert isinstance(kestpy.quicksum, types.BuiltinFunctionType)
    assert kestpy.quicksum.__name__ == "quicksum"


def test_module_docstring_is_one_line():
    assert kestpy.__name__ == "kestpy"
    doc = kestpy.__doc__
    assert isinstance(doc, str) and doc.strip() and "\n" not in doc.strip()


@pytest.mark.parametrize("name", ["Vars", "Sense", "VarType"])
@pytest.mark.parametrize("where", [kestpy, KEST], ids=["kestpy", "KEST"])
def test_hidden_classes_are_not_attributes(where, name):
    with pytest.raises(AttributeError):
        getattr(where, name)


def test_kest_submodule_constants_in_order():
    assert isinstance(KEST, types.ModuleType)
    assert KEST.__name__ == "KEST"
    assert not KEST.__doc__
    statuses = {"LOADED": 0, "OTHER": 1, "OPTIMAL": 2, "INFEASIBLE": 3, "INF_OR_UNBD": 4, "UNBOUNDED": 5,
                "ITERATION_LIMIT": 7, "TIME_LIMIT": 9, "SOLUTION_LIMIT": 10, "INTERRUPTED": 11, "NUMERIC": 12}
    assert public(KEST) == ["CONTINUOUS", "BINARY", "INTEGER", "MINIMIZE", "MAXIMIZE", *statuses]
    # plain ints, the numbers backends return from optimize
    assert {name: getattr(KEST, name) for name in statuses} == statuses
    assert all(type(getattr(KEST, name)) is int for name in statuses)


def test_kest_is_reachable_only_as_an_attribute():
    from kestpy import KEST as imported

    assert imported is kestpy.KEST
    assert "KEST" not in sys.modules and "kestpy.KEST" not in sys.modules
    with pytest.raises(ImportError):
        __import__("kestpy.KEST")


REFUSAL = "kestpy can only be initialised once per process"


def test_second_initialisation_fails_with_import_error():
    init = ctypes.PyDLL(kestpy.__file__).PyInit_kestpy
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match=REFUSAL):
        init()
    # The first module is unharmed.
    assert str(kestpy.Model("after")) == "Model(name=after)"


SUBINTERPRETER = """
import sys
try:
    import _xxsubinterpreters as si
except ImportError:  # 3.13 renamed it
    import _interpreters as si

def import_in_subinterpreter():
    # A legacy sub-interpreter, as embedding programs make: since 3.12 an
    # isolated one refuses single-phase modules before kestpy is asked.
    if sys.version_info >= (3, 13):
        interp = si.create("legacy")
    elif sys.version_info >= (3, 12):
        interp = si.create(isolated=False)
    else:
        interp = si.create()
    try:
        failure = si.run_string(interp, "import kestpy")
    except getattr(si, "RunFailedError", ()) as e:
        return str(e)
    finally:
        si.destroy(interp)
    if failure is not None:  # 3.13 reports it instead of raising
        return f"<class '{failure.type.__name__}'>: {failure.msg}"
    return "imported"

if sys.argv[1] == "main-first":
    import kestpy
    print(import_in_subinterpreter())
    print(kestpy.Model("still"))
elif sys.argv[1] == "reimport":
    import kestpy
    del sys.modules["kestpy"]
    try:
        import kestpy
        print("imported")
    except ImportError as e:
        print("ImportError:", e)
else:
    print(import_in_subinterpreter())
    try:
        import kestpy
        print("imported")
    except ImportError as e:
        print("ImportError:", e)
"""


@pytest.mark.parametrize("order", ["main-first", "sub-first", "reimport"])
def test_a_second_import_that_would_initialise_again_fails(order):
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER, order], capture_output=True, text=True,
                         check=True, timeout=60).stdout.splitlines()
    if order == "main-first":
        assert out[0].startswith("<class 'ImportError'>") and REFUSAL in out[0]
        assert out[1] == "Model(name=still)"
    elif order == "sub-first":
        # 3.13 initialises such a module for the main interpreter on the way,
        # so the sub-interpreter's own initialisation is the second one there
        first = "imported" if sys.version_info < (3, 13) else "<class 'ImportError'>: " + REFUSAL
        assert out == [first, "ImportError: " + REFUSAL]
    else:
        assert out == ["ImportError: " + REFUSAL]


# ---------------------------------------------------------------- classes


def instances():
    m = kestpy.Model("m")
    v = m.addVar()
    return {
        "Var": v,
        "Vars": m.addVars(2),
        "LinExpr": v + 1,
        "Constr": v <= 1,
        "Model": m,
        "Sense": KEST.MINIMIZE,
        "VarType": KEST.BINARY,
    }


CLASS_NAMES = ["Var", "Vars", "LinExpr", "Constr", "Model", "Sense", "VarType"]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_shape(name):
    obj = instances()[name]
    cls = type(obj)
    assert cls.__name__ == cls.__qualname__ == name
    assert not cls.__doc__  # at most the signature line, which is not a docstring
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    assert f"<class 'builtins.{name}'>" == repr(cls)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1


@pytest.mark.parametrize("name", ["LinExpr", "Constr", "Sense", "VarType"])
def test_classes_without_constructor(name):
    cls = type(instances()[name])
    for call in (lambda: cls(), lambda: cls(0), lambda: cls(x=1)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"cannot create 'builtins.{name}' instances"


@pytest.mark.parametrize("name", ["Var", "LinExpr", "Sense", "VarType"])
def test_comparing_classes_are_unhashable(name):
    obj = instances()[name]
    with pytest.raises(TypeError):
        hash(obj)
    with pytest.raises(TypeError):
        {obj}


@pytest.mark.parametrize("name", ["Model", "Vars"])
def test_identity_hash_and_default_repr(name):
    obj = instances()[name]
    assert hash(obj) == hash(obj)
    assert repr(obj).startswith(f"<builtins.{name} object at 0x")


def test_model_has_no_comparison():
    a, b = kestpy.Model("m"), kestpy.Model("m")
    assert a == a and a != b
    with pytest.raises(TypeError):
        a < b


# ---------------------------------------------------------------- signatures


def model_method(name):
    return lambda: getattr(kestpy.Model, name)


SIGNATURES = [
    (lambda: kestpy.Model, "(name)", "(name)"),
    (lambda: kestpy.Var, "(id)", "(id)"),
    (vars_type, "(shape, ids)", "(shape, ids)"),
    (model_method("addVar"), '($self, lb=0., ub=..., obj=0.0, vtype=None, name="")',
     "(self, /, lb=0.0, ub=Ellipsis, obj=0.0, vtype=None, name='')"),
    (model_method("addVars"), "($self, *indices, lb=None, ub=None, obj=None, vtype=None, name=None)",
     "(self, /, *indices, lb=None, ub=None, obj=None, vtype=None, name=None)"),
    (model_method("addConstr"), "($self, constr, name=None)", "(self, /, constr, name=None)"),
    (model_method("addConstrs"), "($self, generator, name=None)", "(self, /, generator, name=None)"),
    (model_method("setObjective"), "($self, expr, sense)", "(self, /, expr, sense)"),
    (model_method("setParam"), "($self, paramname, newvalue)", "(self, /, paramname, newvalue)"),
    (model_method("setBackend"), "($self, backend)", "(self, /, backend)"),
    (model_method("optimize"), "($self)", "(self, /)"),
    (lambda: kestpy.quicksum, "(generator)", "(generator)"),
]


@pytest.mark.parametrize("get, text, shown", SIGNATURES, ids=[s[1] for s in SIGNATURES])
def test_text_signatures(get, text, shown):
    obj = get()
    assert obj.__text_signature__ == text
    assert str(inspect.signature(obj)) == shown


def test_model_methods_in_order():
    names = [k for k in vars(kestpy.Model) if not k.startswith("__")]
    written = ["addVar", "addVars", "addConstr", "addConstrs", "setObjective", "setParam", "setBackend", "optimize"]
    assert names[:len(written)] == written and "ObjVal" in names


def test_read_only_attributes_have_empty_docstrings():
    assert kestpy.Var.X.__doc__ == ""
    assert kestpy.Model.ObjVal.__doc__ == ""


@pytest.mark.parametrize("make, attr", [(lambda: kestpy.Var(0), "X"), (lambda: kestpy.Model("m").addVar(), "X"),
                                        (lambda: kestpy.Model("m"), "ObjVal")], ids=["Var", "model-Var", "Model"])
def test_read_only_attributes_refuse_assignment(make, attr):
    with pytest.raises(AttributeError):
        setattr(make(), attr, 1.0)
