"""A conformance kit for kestpy backends.

A backend author tests a backend module ``kestpy_<name>`` against what kestpy
relies on with one line in a pytest module::

    from kestpy.testing import conformance_suite

    TestConformance = conformance_suite("kestpy_mine")

Each check becomes one test. The checks call the list protocol directly
(numbering, every argument form, status numbers, limits), drive the backend
through kestpy's API (values after a change, settings before and after
``setBackend``, replay after a late attach, known answers of small LP and MIP
models), compare the optional array-channel methods with the list protocol
when the backend has them, and check each optional change method it has
(``set_variable_bounds``, ``set_constraint_bounds``, ...) against a model built
from the changed data, and changes made through kestpy against the model
rebuilt, whichever change methods the backend has. A failure raises :class:`ConformanceError` saying
what the backend did and what kestpy expected; a check that does not apply
(no array method, no setting names) is skipped.

Options of :func:`conformance_suite` (and :class:`Backend`):

- ``time_limit="TimeLimit"``: the setting for a time limit in seconds; the
  kit sets it to 0 and expects status 9. None skips those parts.
- ``output_flag="OutputFlag"``: the setting turning solver output on (1) and
  off (0); the kit expects output only when on. None skips those parts.
- ``limits={status: {setting: value}}``: more limits the backend supports,
  each expected to stop the kit's 0-1 knapsack of 60 items with that status
  (for example ``{10: {"limits/solutions": 1}}``).

``run_check(backend, name)`` runs one check; ``CHECKS`` maps each check's
name to its function (with ``about``, a one-line description).
"""

from ._harness import CHECKS, Backend, ConformanceError
from ._suite import conformance_suite, run_check
from .problems import PROBLEMS

__all__ = ["CHECKS", "PROBLEMS", "Backend", "ConformanceError", "conformance_suite", "run_check"]
