"""Saved state of the metrics: restored copies continue exactly, windows included."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

from state_roundtrip import PROFILE, check_continues, check_hostile, exercise, ops, reseal

settings.load_profile(PROFILE)

CUMULATIVE = ["Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "MAE", "RMSE", "R2"]
WINDOWED = ["WindowMetric", "WindowRegressionMetric"]


@pytest.mark.parametrize("name", CUMULATIVE)
@given(before=st.lists(ops, max_size=40), after=st.lists(ops, max_size=30))
def test_cumulative_metrics_continue_exactly(name, before, after):
    check_continues(getattr(kc, name)(), before, after)


@pytest.mark.parametrize("name", WINDOWED)
@given(size=st.integers(-2, 9), before=st.lists(ops, max_size=60),
       after=st.lists(ops, max_size=40))
def test_window_metrics_continue_exactly(name, size, before, after):
    # Cuts land on every ring position, before and after the window fills and around the
    # periodic re-summation.
    check_continues(getattr(kc, name)(size), before, after)


@pytest.mark.parametrize("name", CUMULATIVE + WINDOWED)
def test_damaged_metric_states_are_refused_or_work(name):
    rng = random.Random(11)
    m = getattr(kc, name)(7) if name in WINDOWED else getattr(kc, name)()
    regression = name in {"MAE", "RMSE", "R2", "WindowRegressionMetric"}
    for _ in range(30):
        if regression:
            m.update(rng.uniform(-3, 3), rng.uniform(-3, 3))
        else:
            m.update(rng.randrange(5), rng.randrange(5))
    check_hostile(m, exercise, n=80)


def test_window_position_that_disagrees_with_its_count_is_refused():
    m = kc.WindowRegressionMetric(6)
    for i in range(3):
        m.update(float(i), 0.0)
    state = kavro.inspect(m)["state"]
    assert (state["head"], state["count"]) == (3, 3)
    data = kavro.dumps(m)
    # head is followed by count (4 bytes) and updates_since_resum (8 bytes) before the CRC.
    d = bytearray(data)
    head_at = len(d) - 4 - 8 - 4 - 4
    d[head_at:head_at + 4] = (1).to_bytes(4, "little")
    with pytest.raises(ValueError, match="position disagrees"):
        kavro.loads(reseal(d))
