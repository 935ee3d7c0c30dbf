"""The type stubs agree with the built module and the backends, the examples
type-check against them, and help() documents every public callable."""

import importlib.util
import inspect
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import kestpy

ROOT = Path(__file__).resolve().parents[2]

pytest.importorskip("mypy")


def run_mypy(*args):
    # From a scratch directory, so that the installed packages (and their
    # stubs) are checked rather than the source tree's.
    env = dict(os.environ, MYPY_CACHE_DIR=os.devnull)
    if "PYTHONPATH" in env:  # relative entries would move with the directory
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    return subprocess.run([sys.executable, "-m", *args], cwd=tempfile.gettempdir(), env=env,
                          capture_output=True, text=True, timeout=600)


def test_stubs_match_the_runtime():
    modules = ["kestpy", "kestpy_highs"]
    if importlib.util.find_spec("pyscipopt") is not None:
        modules.append("kestpy_scip")
    done = run_mypy("mypy.stubtest", *modules, "--allowlist", str(ROOT / "tools" / "stubtest_allowlist.txt"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_type_check():
    done = run_mypy("mypy", "--config-file", str(ROOT / "pyproject.toml"), str(ROOT / "examples"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_public_callables_are_documented():
    callables = [kestpy.quicksum] + [getattr(kestpy.Model, n) for n in dir(kestpy.Model)
                                     if not n.startswith("_") and callable(getattr(kestpy.Model, n))]
    for f in callables:
        inspect.signature(f)  # the text signature parses
        body = (f.__doc__ or "").strip()
        assert len(body) > 40, f"{f.__qualname__} has no documentation"
    for name, attr in vars(kestpy.Model).items():
        if isinstance(attr, type(kestpy.Model.X)) and name != "ObjVal":
            assert attr.__doc__, f"Model.{name} has no documentation"
