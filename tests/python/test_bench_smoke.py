"""The benchmark harness must keep running: its quick mode, its formulation
check and its micro-benchmarks, each in a subprocess. No timing is asserted."""
import importlib.util
import json
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from bench import data, runner  # noqa: E402
from bench.models import LIBRARIES, missing  # noqa: E402

needs_highs = pytest.mark.skipif(importlib.util.find_spec("highspy") is None,
                                 reason="highspy is not installed")


def run_bench(*args, timeout=600):
    env = dict(os.environ)
    env["PYTHONPATH"] = ROOT + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-m", "bench", *args], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=timeout)


def table_rows(md, title_start):
    """Data rows of the first markdown table after a heading starting with title_start."""
    lines = md.splitlines()
    start = next(i for i, l in enumerate(lines) if l.startswith("### " + title_start))
    header = next(i for i in range(start, len(lines)) if lines[i].startswith("| size"))
    cols = [c.strip() for c in lines[header].strip("|").split("|")]
    rows = []
    for line in lines[header + 2:]:
        if not line.startswith("|"):
            break
        rows.append(dict(zip(cols, (c.strip() for c in line.strip("|").split("|")))))
    return rows


@needs_highs
def test_quick_mode_writes_a_table_per_model(tmp_path):
    proc = run_bench("--quick", "--out", str(tmp_path))
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    readme = (tmp_path / "README.md").read_text()
    summary = json.loads((tmp_path / "summary.json").read_text())
    installed = [lib for lib in LIBRARIES if not missing(lib, "load")]
    assert "floor" in installed
    for model in runner.MODELS:
        assert f"({model}.md)" in readme
        size = runner.SMALL[model]
        rows = table_rows((tmp_path / f"{model}.md").read_text(), "(b)")
        assert [r["size"] for r in rows] == [str(size)]
        for lib in installed:
            # every installed library measured the model, skipped ones show a dash
            assert rows[0][lib] != "—", (model, lib)
            rec = summary["records"][runner.key(model, size, lib, runner.phases_for(lib)[-1])]
            assert len(rec["reps"]) == 1 and rec["reps"][0]["load_s"] > 0
        for lib in set(LIBRARIES) - set(installed):
            assert rows[0].get(lib, "—") == "—"


@needs_highs
def test_check_mode_agrees_with_the_floor():
    libs = [lib for lib in ("floor", "kestpy", "highspy") if not missing(lib, "check")]
    proc = run_bench("--check", "--libs", ",".join(libs))
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    lines = [l for l in proc.stdout.splitlines() if " objective " in l]
    assert len(lines) == len(runner.MODELS) * len(libs)
    assert all(l.rstrip().endswith("ok") for l in lines)


def test_micro_quick_reports_every_operation(tmp_path):
    proc = run_bench("micro", "--quick", "--out", str(tmp_path))
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    res = json.loads((tmp_path / "micro.json").read_text())
    ops = {r["op"]: r for r in res["ops"]}
    assert all(r["ns"] > 0 for r in ops.values())
    if importlib.util.find_spec("kestpy") is not None:
        assert "quicksum(list of Var) per item" in ops
        assert "replay into a null backend per variable" in ops
    md = (tmp_path / "micro.md").read_text()
    assert md.count("\n| ") == len(ops) + 1


@needs_highs
@pytest.mark.parametrize("model", runner.MODELS)
@pytest.mark.parametrize("which", ["small", "full"])
def test_floor_arrays_match_the_stated_dimensions(model, which):
    from bench.models import floor_models
    size = runner.SMALL[model] if which == "small" else runner.SIZES[model][1]
    a = floor_models.build(model, data.make(model, size))
    nv, nrow, nnz = data.dimensions(model, size)
    assert (len(a.cost), len(a.row_lower), len(a.index)) == (nv, nrow, nnz)
    assert a.start[-1] == nnz and len(a.start) == nrow + 1
    assert a.index.min() >= 0 and a.index.max() < nv


@pytest.mark.parametrize("tokens, want", [
    (None, runner.SIZES),
    (["queens=4,5"], {**runner.SIZES, "queens": [4, 5]}),
    (["7"], {m: [7] for m in runner.MODELS}),
])
def test_sizes_option(tokens, want):
    from bench.__main__ import parse_sizes
    assert parse_sizes(tokens, runner.MODELS) == want


def test_pyomo_is_capped_at_large_sizes():
    runs, skips = runner.plan(["basic"], ["floor", "pyomo"], {"basic": [10, 1000]})
    assert ("basic", 1000, "floor", "load") in runs
    if not missing("pyomo"):
        assert ("basic", 10, "pyomo", "load") in runs
    assert not any(r[1] == 1000 and r[2] == "pyomo" for r in runs)
    assert runner.key("basic", 1000, "pyomo", "*") in skips
