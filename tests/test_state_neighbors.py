"""Saved state of the nearest-neighbour learners: the window, the column numbering and the
parameters survive every route; inconsistent windows are refused."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

from state_roundtrip import PROFILE, check_continues, check_hostile, exercise, ops, reseal

settings.load_profile(PROFILE)

knn_params = st.fixed_dictionaries({
    "n_neighbors": st.integers(0, 6),
    "window_size": st.sampled_from([-1, 1, 2, 5, 17]),
    "p": st.integers(1, 3),
})


@pytest.mark.parametrize("name", ["KNNClassifier", "KNNRegressor"])
@given(params=knn_params, before=st.lists(ops, max_size=40), after=st.lists(ops, max_size=25))
def test_restored_copies_continue_exactly(name, params, before, after):
    check_continues(getattr(kc, name)(**params), before, after)


@pytest.mark.parametrize("name", ["KNNClassifier", "KNNRegressor"])
def test_damaged_states_are_refused_or_work(name):
    rng = random.Random(2)
    model = getattr(kc, name)(n_neighbors=3, window_size=6)
    for _ in range(10):
        x = {f"f{rng.randrange(4)}": rng.uniform(-1, 1) for _ in range(2)}
        model.learn_one(x, rng.randrange(3) if name == "KNNClassifier" else rng.random())
    check_hostile(model, exercise, n=100)


def test_column_numbering_out_of_range_is_refused():
    model = kc.KNNRegressor(window_size=4)
    model.learn_one({"a": 1.0, "b": 2.0}, 0.5)
    data = kavro.dumps(model)
    # Column numbers are 4-byte values following each name in the feature index.
    at = data.index(b"b") + 1
    column = int.from_bytes(data[at:at + 4], "little")
    assert column in (0, 1)
    for bad in (2, -1, 1 - column):
        d = bytearray(data)
        d[at:at + 4] = bad.to_bytes(4, "little", signed=True)
        with pytest.raises(ValueError, match="KNN feature columns"):
            kavro.loads(reseal(d))
