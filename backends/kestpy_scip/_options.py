"""Solver settings for the SCIP backend: aliases, value coercion, warnings."""

import difflib

from kestpy.backend_support import NO_VALUE, as_bool
from kestpy.backend_support import warn as _warn

# Common cross-solver names mapped to the SCIP parameter they mean. SCIP's
# ordinary solve runs on one thread; its LP solver's thread count is the one
# thread setting that applies to it.
ALIASES = {
    "TimeLimit": "limits/time",
    "MIPGap": "limits/gap",
    "Threads": "lp/threads",
}
# "OutputFlag" and "Silent" switch SCIP's message handler; "SolverName" is
# answered and does nothing.
SPECIAL = ("OutputFlag", "Silent", "SolverName")


def warn(message, stacklevel=4):
    """A UserWarning pointing stacklevel frames up; the default, past this
    helper, apply() and the backend method, is the user's setParam line."""
    _warn("kestpy_scip", message, stacklevel)


def _coerce(current, value):
    """The value in the Python type of the parameter's current value, or
    NO_VALUE. SCIP's char parameters hold a one-letter str."""
    if isinstance(current, bool):
        return as_bool(value)
    if isinstance(value, bool):
        return NO_VALUE
    if isinstance(current, int):
        if isinstance(value, int):
            return value
        if isinstance(value, float) and value.is_integer():
            return int(value)
        return NO_VALUE
    if isinstance(current, float):
        return float(value) if isinstance(value, (int, float)) else NO_VALUE
    if isinstance(current, str):
        return value if isinstance(value, str) else NO_VALUE
    return NO_VALUE


_KIND_TEXT = {bool: "a bool", int: "an int", float: "a float", str: "a str"}


def apply(model, name, value):
    """Set one setting on a pyscipopt.Model. Never raises for a bad name or
    value: it warns and leaves SCIP untouched. Returns True when it applied."""
    if name == "SolverName":
        return False
    if name in ("OutputFlag", "Silent"):
        flag = as_bool(value)
        if flag is NO_VALUE:
            warn(f"option {name!r} expects a bool, got {type(value).__name__} {value!r}; not applied")
            return False
        model.hideOutput(flag if name == "Silent" else not flag)
        return True
    sname = ALIASES.get(name, name)
    try:
        current = model.getParam(sname)
    except (KeyError, LookupError, ValueError):
        hint = difflib.get_close_matches(name, list(model.getParams()) + list(ALIASES) + list(SPECIAL), n=3)
        text = f"unknown option {name!r} ignored"
        if hint:
            text += "; did you mean " + ", ".join(repr(h) for h in hint) + "?"
        warn(text)
        return False
    coerced = _coerce(current, value)
    shown = repr(name) if sname == name else f"{name!r} ({sname!r})"
    if coerced is NO_VALUE:
        warn(f"option {shown} expects {_KIND_TEXT.get(type(current), 'another kind of value')}, "
             f"got {type(value).__name__} {value!r}; not applied")
        return False
    try:
        model.setParam(sname, coerced)
    except Exception as e:  # SCIP refuses values out of the parameter's range
        warn(f"value {value!r} is not valid for option {shown} ({e}); not applied")
        return False
    return True
