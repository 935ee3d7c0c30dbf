"""Settings reach every backend as the last one held them: in the order they
were set, the value set last winning across a backend's names for one option,
and a value the backend refused never replacing the one it kept."""

import pytest

import kestpy
import kestpy_highs


@pytest.fixture
def made(monkeypatch):
    """The HiGHS backend objects kestpy makes, in order."""
    out = []

    class Tracked(kestpy_highs.Model):
        def __init__(self, *args):
            super().__init__(*args)
            out.append(self)

    monkeypatch.setattr(kestpy_highs, "Model", Tracked)
    return out


def option(backend, name):
    return backend.highs.getOptionValue(name)[1]


# (own name, value, another name for the option, value): each pair disagrees.
PAIRS = [
    ("time_limit", 100.0, "TimeLimit", 1.0),
    ("output_flag", True, "OutputFlag", False),
    ("output_flag", True, "Silent", True),  # Silent inverts output_flag
]


@pytest.mark.parametrize("own, a, alias, b", PAIRS, ids=["time", "output", "silent"])
@pytest.mark.parametrize("alias_first", [True, False])
@pytest.mark.parametrize("attach_first", [True, False])
def test_the_value_set_last_wins_across_aliases(made, own, a, alias, b, alias_first, attach_first):
    m = kestpy.Model("m")
    m.addVar()
    if attach_first:
        m.setBackend("highs")
    order = [(alias, b), (own, a)] if alias_first else [(own, a), (alias, b)]
    for name, value in order:
        m.setParam(name, value)
    last_name, last_value = order[-1]
    expected = (not last_value) if last_name == "Silent" else last_value
    if attach_first:
        assert option(made[-1], own) == expected
    m.setBackend("highs")  # a replay
    assert option(made[-1], own) == expected


@pytest.mark.parametrize("refused", ["5s", float("nan")])
def test_a_refused_value_never_displaces_the_accepted_one(made, refused):
    m = kestpy.Model("m")
    m.setBackend("highs")
    m.setParam("time_limit", 5)
    m.setParam("mip_rel_gap", 0.5)
    with pytest.warns(UserWarning, match="not applied"):
        m.setParam("TimeLimit", refused)
    assert option(made[-1], "time_limit") == 5.0
    m.setParam("mip_rel_gap", 0.25)  # the order of the others is kept
    m.setBackend("highs")
    assert [option(made[-1], n) for n in ("time_limit", "mip_rel_gap")] == [5.0, 0.25]


def test_a_value_refused_at_a_replay_is_forgotten(made):
    m = kestpy.Model("m")
    m.setParam("time_limit", "5s")
    with pytest.warns(UserWarning, match="not applied"):
        m.setBackend("highs")
    default = option(made[-1], "time_limit")
    m.setBackend("highs")  # no second warning: filterwarnings=error would raise
    assert option(made[-1], "time_limit") == default


@pytest.mark.parametrize("answer, kept", [(False, 1), (None, 2), (0, 2), (True, 2)])
def test_only_false_means_refused_for_any_backend(recording, attached, answer, kept):
    m = kestpy.Model("m")
    rec = attached(m)
    m.setParam("p", 1)
    m.setParam("q", 7)
    rec.answer("set_optimizer_attr", answer)
    m.setParam("p", 2)
    m.setBackend("recording")
    expected = [("q", 7), ("p", 2)] if kept == 2 else [("p", 1), ("q", 7)]
    assert recording.created[-1].args_of("set_optimizer_attr") == expected
