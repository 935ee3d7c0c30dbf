"""Scale: a model of 10 million variables and 30 million nonzeros builds and
replays into a backend within the machine's memory. Slow (a minute or two and
several GiB): runs only with KESTPY_SLOW=1. KESTPY_SCALE_VARS sets another size.
tools/scale_report.py prints the same figures for a report."""
import importlib.util
import os

import pytest

pytestmark = pytest.mark.slow

N = int(os.environ.get("KESTPY_SCALE_VARS", "10000000"))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load_report_tool():
    spec = importlib.util.spec_from_file_location("scale_report", os.path.join(ROOT, "tools", "scale_report.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_ten_million_variables_thirty_million_nonzeros_build_and_replay():
    tool = load_report_tool()
    figures = tool.measure(N, per_row=3)
    tally = figures["tally"]
    # The backend received the whole model in one replay: every variable, named
    # and bounded, every row with its three terms.
    assert tally.vars == N and tally.names == N and tally.upper_sum == float(N)
    assert tally.rows == N and tally.nonzeros == 3 * N
    assert tally.index_sum == 3 * (N * (N - 1) // 2)  # each variable in exactly three rows
    assert tally.coeff_sum == 3.0 * N and tally.senses == {"<"}
    # x0 + x1 + x2 <= 1 keeps the whole difference in the function: constant -1, rhs 0.
    assert tally.first_row == ([0, 1, 2], [1.0, 1.0, 1.0], -1.0, "<", 0.0, "Cons[0]")
    # Within the machine's memory, with the cache at a few dozen bytes per item.
    assert figures["process_peak_bytes"] < figures["memory_available"]
    assert figures["bytes_per_var"] < 200
    assert figures["bytes_per_nonzero"] < 200
