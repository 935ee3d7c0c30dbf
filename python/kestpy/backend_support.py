"""Helpers for backend authors: warnings that point at the user's line, and
the reading of switch values that the shipped backends share."""

import sys
import warnings

__all__ = ["NO_VALUE", "as_bool", "warn"]

#: What as_bool answers for a value that is no switch.
NO_VALUE = object()

_TRUE = {"true", "on", "yes", "1"}
_FALSE = {"false", "off", "no", "0"}


def warn(prefix, message, stacklevel):
    """A UserWarning "<prefix>: <message>" pointing stacklevel frames up from
    the caller of this function."""
    text = f"{prefix}: {message}"
    try:
        warnings.warn(text, UserWarning, stacklevel=stacklevel + 1)
    except Warning:
        # A filter that turns warnings into errors ("-W error") would make this
        # a raise inside a backend method, which breaks the model for good.
        # Say it on stderr instead.
        print(f"UserWarning: {text}", file=sys.stderr)


def as_bool(value):
    """True or False for a bool, 0/1, or a str such as "on"/"off"; NO_VALUE otherwise."""
    if isinstance(value, bool):
        return value
    if isinstance(value, (int, float)) and value in (0, 1):
        return bool(value)
    if isinstance(value, str):
        low = value.strip().lower()
        if low in _TRUE:
            return True
        if low in _FALSE:
            return False
    return NO_VALUE
