"""A backend for tests: records every protocol call and answers as told.

``Model(name, env)`` returns a :class:`Recorder`. Each protocol method appends
``(method_name, args_tuple)`` to ``recorder.calls`` and then, in this order:
raises the exception set with :meth:`Recorder.raise_on`, runs the hook set with
:meth:`Recorder.on` (its result is the answer), returns the value set with
:meth:`Recorder.answer`, or gives the default answer.

Recorders made by this module are appended to ``created``; callables in
``setup`` run on every new recorder before ``Model`` returns it, so a test can
configure a backend before ``setBackend`` replays the model into it.
``registry.factory`` replaces the Recorder class, ``registry.model_error``
makes ``Model`` itself raise.
``kestpy_recording2`` is the same machinery under a second module name, with
registries of its own.
"""

PROTOCOL = (
    "add_variable",
    "add_variables",
    "add_constraint",
    "add_constraints",
    "set_objective",
    "update",
    "set_optimizer_attr",
    "optimize",
    "get_var_value",
    "get_objective_value",
)


class Recorder:
    def __init__(self, name, env):
        self.name = name
        self.env = env
        self.calls = []
        self.var_values = {}
        self.objective_value = None
        self._answers = {}
        self._hooks = {}
        self._raises = {}
        self._hidden = set()
        self._next_var = 0
        self._next_constr = 0

    # -- configuration

    def answer(self, method, value):
        """Makes `method` return `value` instead of its default."""
        self._answers[method] = value
        return self

    def raise_on(self, method, exc):
        """Makes `method` raise `exc` (after recording the call)."""
        self._raises[method] = exc
        return self

    def on(self, method, fn):
        """Makes `method` answer fn(*args); fn runs inside the backend call."""
        self._hooks[method] = fn
        return self

    def hide(self, method):
        """Makes attribute lookup of `method` fail as for a missing attribute."""
        self._hidden.add(method)
        return self

    def __getattribute__(self, attr):
        if attr in object.__getattribute__(self, "_hidden"):
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{attr}'")
        return object.__getattribute__(self, attr)

    # -- reading the record

    def methods(self):
        return [m for m, _ in self.calls]

    def args_of(self, method):
        return [a for m, a in self.calls if m == method]

    def clear(self):
        self.calls.clear()

    # -- the protocol

    def _call(self, method, args, default):
        self.calls.append((method, args))
        if method in self._raises:
            raise self._raises[method]
        if method in self._hooks:
            return self._hooks[method](*args)
        if method in self._answers:
            return self._answers[method]
        return default()

    def _number(self, counter, count):
        """The next `count` numbers of the counter attribute named `counter`."""
        first = getattr(self, counter)
        setattr(self, counter, first + count)
        return list(range(first, first + count))

    def add_variable(self, name, vtype, lb, ub):
        return self._call("add_variable", (name, vtype, lb, ub), lambda: self._number("_next_var", 1)[0])

    def add_variables(self, count, names, types, lb, ub):
        return self._call("add_variables", (count, names, types, lb, ub), lambda: self._number("_next_var", count))

    def add_constraint(self, indices, coeffs, sense, rhs, name, constant):
        args = (indices, coeffs, sense, rhs, name, constant)
        return self._call("add_constraint", args, lambda: self._number("_next_constr", 1)[0])

    def add_constraints(self, indices, coeffs, constants, senses, rhss, names):
        args = (indices, coeffs, constants, senses, rhss, names)
        return self._call("add_constraints", args, lambda: self._number("_next_constr", len(indices)))

    def set_objective(self, indices, coeffs, constant, sense):
        return self._call("set_objective", (indices, coeffs, constant, sense), lambda: None)

    def update(self):
        return self._call("update", (), lambda: None)

    def set_optimizer_attr(self, name, value):
        return self._call("set_optimizer_attr", (name, value), lambda: None)

    def optimize(self):
        return self._call("optimize", (), lambda: 2)

    def get_var_value(self, index):
        return self._call("get_var_value", (index,), lambda: self.var_values.get(index))

    def get_objective_value(self):
        return self._call("get_objective_value", (), lambda: self.objective_value)

    def __repr__(self):
        return f"Recorder({self.name!r}, {len(self.calls)} calls)"


class Registry:
    """The module-level state of one backend module name."""

    def __init__(self):
        self.created = []
        self.setup = []
        self.factory = Recorder
        self.model_error = None

    def Model(self, name, env):  # noqa: N802 - the protocol's name
        if self.model_error is not None:
            raise self.model_error
        rec = self.factory(name, env)
        for configure in self.setup:
            configure(rec)
        self.created.append(rec)
        return rec

    def reset(self):
        self.created.clear()
        self.setup.clear()
        self.factory = Recorder
        self.model_error = None


registry = Registry()
Model = registry.Model
created = registry.created
setup = registry.setup
