"""The kit as a pytest test class, and single checks run by name."""

from ._harness import CHECKS, Backend

# importing the check modules registers their checks, in this order
from . import _checks, _channel, _changes  # noqa: E402,F401


def as_backend(backend, **options):
    return backend if isinstance(backend, Backend) else Backend(backend, **options)


def run_check(backend, name, **options):
    """Runs the check called name; raises ConformanceError when the backend
    fails it, unittest.SkipTest when it does not apply."""
    CHECKS[name](as_backend(backend, **options))


def conformance_suite(backend, **options):
    """A pytest test class with one test per check, for the backend module
    (name or module object); options as for Backend. Bind it to a name
    starting with "Test" in a test module:

        TestMyBackend = conformance_suite("kestpy_mine")
    """
    holder = {}

    def get():
        # resolved at the first test, so that a missing solver fails the tests
        # rather than their collection
        if "backend" not in holder:
            holder["backend"] = as_backend(backend, **options)
        return holder["backend"]

    def make(fn):
        def test(self):
            fn(get())
        test.__name__ = "test_" + fn.check_name
        test.__doc__ = fn.about
        return test

    body = {"test_" + name: make(fn) for name, fn in CHECKS.items()}
    title = backend if isinstance(backend, str) else getattr(backend, "__name__", "backend")
    body["__doc__"] = f"kestpy conformance of {title}"
    return type("KestpyConformance", (), body)
