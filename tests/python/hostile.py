"""Number stand-ins for the tests: objects that convert only through
__index__ or __float__, or that raise while converting.

A value that is an exception class raises a fresh instance on every call (re-
raising one object would grow its traceback and look like a leak); a value
that is an exception instance raises that instance.
"""


def _give(value, what):
    if isinstance(value, type) and issubclass(value, BaseException):
        raise value("bad " + what)
    if isinstance(value, BaseException):
        raise value
    return value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return _give(self.value, "index")


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return _give(self.value, "float")


class Seq:
    """A sequence that is neither list nor tuple, so it is read item by item."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]
