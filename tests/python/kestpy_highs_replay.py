"""The HiGHS backend without the change methods, for tests: every change
reaches it by a replay into a fresh object. `created` holds every object made."""

import kestpy_highs

_CHANGES = {"set_variable_bounds", "set_variable_types", "set_variable_names", "set_objective_coefficients",
            "set_constraint_bounds", "set_coefficients", "set_constraint_names", "set_start_values"}

created = []


def _init(self, name=None, env=None):
    kestpy_highs.Model.__init__(self, name, env)
    created.append(self)


Model = type("Model", (), {**{k: v for k, v in vars(kestpy_highs.Model).items()
                              if k not in _CHANGES and k not in ("__dict__", "__weakref__")},
                           "__init__": _init})
