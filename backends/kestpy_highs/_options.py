"""Solver settings for the HiGHS backend: aliases, value coercion, warnings."""

import difflib
import math

from kestpy.backend_support import NO_VALUE, as_bool
from kestpy.backend_support import warn as _warn

import highspy

# Common cross-solver names mapped to the HiGHS option they mean.
ALIASES = {
    "TimeLimit": "time_limit",
    "MIPGap": "mip_rel_gap",
    "Threads": "threads",
    "OutputFlag": "output_flag",
}
# "Silent" inverts output_flag; "SolverName" is answered and does nothing.
SPECIAL = ("Silent", "SolverName")

_ON_OFF_CHOICES = {"on", "off", "choose"}
_KIND_TEXT = {
    highspy.HighsOptionType.kBool: "a bool",
    highspy.HighsOptionType.kInt: "an int",
    highspy.HighsOptionType.kDouble: "a float",
    highspy.HighsOptionType.kString: "a str",
}


def _candidates_by_lower():
    names = [n for n in dir(highspy.HighsOptions) if not n.startswith("_")]
    by_lower = {}
    for c in names + list(ALIASES) + list(SPECIAL):
        by_lower.setdefault(c.lower(), c)
    return by_lower


_BY_LOWER = None


def close_matches(name):
    global _BY_LOWER
    if _BY_LOWER is None:
        _BY_LOWER = _candidates_by_lower()
    hits = difflib.get_close_matches(name.lower(), list(_BY_LOWER), n=3, cutoff=0.6)
    return [_BY_LOWER[h] for h in hits]


def warn(message, stacklevel=4):
    """A UserWarning pointing stacklevel frames up; the default, past this
    helper, apply() and the backend method, is the user's setParam line."""
    _warn("kestpy_highs", message, stacklevel)


def _coerce(highs, hname, kind, value):
    """The value in the Python type HiGHS wants for this option, or NO_VALUE."""
    T = highspy.HighsOptionType
    if kind == T.kBool:
        return as_bool(value)
    if isinstance(value, bool):
        if kind == T.kString:
            return _on_off(highs, hname, value)
        return NO_VALUE
    if kind == T.kInt:
        if isinstance(value, int):
            return value
        if isinstance(value, float) and value.is_integer():
            return int(value)
        return NO_VALUE
    if kind == T.kDouble:
        if isinstance(value, (int, float)):
            return float(value)
        return NO_VALUE
    if kind == T.kString:
        if isinstance(value, str):
            return value
        if isinstance(value, int) and value in (0, 1):
            return _on_off(highs, hname, bool(value))
    return NO_VALUE


def _on_off(highs, hname, flag):
    # presolve, parallel, run_crossover, ...: a switch written as 0/1 or True/False
    status, current = highs.getOptionValue(hname)
    if status == highspy.HighsStatus.kOk and current in _ON_OFF_CHOICES:
        return "on" if flag else "off"
    return NO_VALUE


def option_kind(highs, hname):
    status, kind = highs.getOptionType(hname)
    return kind if status == highspy.HighsStatus.kOk else None


def apply(highs, name, value):
    """Set one option; return the HiGHS option name that changed, or None.

    Never raises for a bad name or value: it warns and leaves HiGHS untouched.
    """
    if name == "SolverName":
        return None
    if name == "Silent":
        flag = as_bool(value)
        if flag is NO_VALUE:
            warn(f"option 'Silent' expects a bool, got {type(value).__name__} {value!r}; not applied")
            return None
        highs.setOptionValue("output_flag", not flag)
        return "output_flag"
    hname = ALIASES.get(name, name)
    kind = option_kind(highs, hname)
    if kind is None:
        hint = close_matches(name)
        text = f"unknown option {name!r} ignored"
        if hint:
            text += "; did you mean " + ", ".join(repr(h) for h in hint) + "?"
        warn(text)
        return None
    coerced = _coerce(highs, hname, kind, value)
    if coerced is NO_VALUE:
        shown = repr(name) if hname == name else f"{name!r} ({hname!r})"
        warn(f"option {shown} expects {_KIND_TEXT.get(kind, 'another kind of value')}, "
             f"got {type(value).__name__} {value!r}; not applied")
        return None
    if isinstance(coerced, float) and math.isnan(coerced):
        # HiGHS stores a NaN limit or tolerance without a word, and every
        # comparison with it then fails
        shown = repr(name) if hname == name else f"{name!r} ({hname!r})"
        warn(f"option {shown} cannot be NaN; not applied")
        return None
    if highs.setOptionValue(hname, coerced) == highspy.HighsStatus.kError:
        warn(f"value {value!r} is not valid for option {name!r}; not applied")
        return None
    return hname
