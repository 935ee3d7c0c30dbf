"""The conformance kit run against the example backend: all a backend author writes."""
from kestpy.testing import conformance_suite

TestConformance = conformance_suite("kestpy_scipy")
