"""The conformance kit run against every shipped backend and the README's
example backend. Each backend passes each check; the limits beyond a time
limit are the ones its solver has."""

import importlib.util
import os
import sys

import pytest

from kestpy.testing import conformance_suite

_EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "backend")
sys.path.insert(0, os.path.normpath(_EXAMPLE))
from test_kestpy_scipy import TestConformance as TestScipyExample  # noqa: E402,F401

TestHighs = conformance_suite("kestpy_highs", limits={10: {"mip_max_improving_sols": 1}})

if importlib.util.find_spec("pyscipopt") is not None:
    TestScip = conformance_suite("kestpy_scip", limits={10: {"limits/solutions": 1}})
else:
    def test_scip_backend_needs_pyscipopt():
        pytest.skip('pyscipopt missing: pip install ".[scip]"')
