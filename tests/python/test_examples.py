"""Every example solves its model and agrees with the answer it knows."""

import itertools
import os
import re
import runpy
import subprocess
import sys
import textwrap

import pytest

import kestpy_highs

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = sorted(f for f in os.listdir(os.path.join(ROOT, "examples")) if f.endswith(".py"))


def run(example, extra_path=None, args=()):
    env = dict(os.environ)
    paths = [p for p in (extra_path, env.get("PYTHONPATH")) if p]
    if paths:
        env["PYTHONPATH"] = os.pathsep.join(paths)
    return subprocess.run([sys.executable, os.path.join(ROOT, "examples", example), *args],
                          capture_output=True, text=True, env=env, cwd=ROOT, timeout=300)


def test_the_expected_examples_exist():
    assert {"diet.py", "production_planning.py", "facility_location.py",
            "sudoku.py", "n_queens.py", "sensitivity.py",
            "transportation.py", "assignment.py", "blending.py", "tsp.py",
            "transportation_matrix.py"} <= set(EXAMPLES)


# The optima the textbooks publish (each example's docstring names its source).
@pytest.mark.parametrize("example, optimum", [
    ("transportation.py", 153.675), ("assignment.py", 15), ("blending.py", 287750),
    ("production_planning.py", 280), ("tsp.py", 668), ("transportation_matrix.py", 153.675)])
def test_textbook_models_reach_the_published_optimum(example, optimum):
    done = run(example)
    assert done.returncode == 0, done.stdout + done.stderr
    found = re.findall(r"^Optimal [a-z]+: (\S+)$", done.stdout, re.M)
    assert len(found) == 1 and float(found[0]) == pytest.approx(optimum, rel=1e-9)


def test_tsp_and_assignment_optima_agree_with_an_independent_search(capsys):
    from scipy.optimize import linear_sum_assignment
    tsp = runpy.run_path(os.path.join(ROOT, "examples", "tsp.py"))
    miles = tsp["miles"]
    shortest = min(sum(miles[a][b] for a, b in zip((0,) + order, order + (0,)))
                   for order in itertools.permutations(range(1, len(miles))))
    assert tsp["m"].ObjVal == shortest == 668
    assignment = runpy.run_path(os.path.join(ROOT, "examples", "assignment.py"))
    hours = [[assignment["hours"][m, j] for j in assignment["jobs"]] for m in assignment["machines"]]
    rows, cols = linear_sum_assignment(hours)
    assert assignment["m"].ObjVal == sum(hours[r][c] for r, c in zip(rows, cols)) == 15


def test_n_queens_other_sizes():
    for n in ("5", "11"):
        done = run("n_queens.py", args=(n,))
        assert done.returncode == 0, done.stdout + done.stderr
        assert f"{n} queens" in done.stdout


@pytest.fixture
def lying_backend(tmp_path):
    """A kestpy_highs that solves correctly but reports wrong values: each
    variable's as 1 - value, the objective's shifted by one."""
    real = os.path.dirname(kestpy_highs.__file__)
    (tmp_path / "kestpy_highs.py").write_text(textwrap.dedent(f"""
        import importlib.util
        spec = importlib.util.spec_from_file_location(
            "_real_highs", {os.path.join(real, "__init__.py")!r},
            submodule_search_locations=[{real!r}])
        real = importlib.util.module_from_spec(spec)
        import sys
        sys.modules["_real_highs"] = real
        spec.loader.exec_module(real)

        class Model(real.Model):
            def get_var_value(self, index):
                value = super().get_var_value(index)
                return None if value is None else 1.0 - value

            def get_objective_value(self):
                value = super().get_objective_value()
                return None if value is None else value + 1.0
    """))
    return str(tmp_path)


@pytest.mark.parametrize("example", EXAMPLES)
def test_example_matches_its_answer_and_notices_a_wrong_one(example, lying_backend):
    done = run(example)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip()
    assert run(example, extra_path=lying_backend).returncode != 0
