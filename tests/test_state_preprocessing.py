"""Saved state of the transformers: statistics, the selector's cached selection and its order
indices survive every route."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

from state_roundtrip import PROFILE, check_continues, check_hostile, exercise, ops, reseal

settings.load_profile(PROFILE)

TRANSFORMERS = {
    "StandardScaler": st.fixed_dictionaries({"with_std": st.booleans()}),
    "MinMaxScaler": st.fixed_dictionaries({}),
    "MaxAbsScaler": st.fixed_dictionaries({}),
    "VarianceThreshold": st.fixed_dictionaries({
        "threshold": st.floats(0.0, 5.0), "min_samples": st.integers(0, 4)}),
    "SelectKBest": st.fixed_dictionaries({"k": st.integers(-1, 4), "use_abs": st.booleans()}),
}


@pytest.mark.parametrize("name", sorted(TRANSFORMERS))
@given(data=st.data(), before=st.lists(ops, max_size=40), after=st.lists(ops, max_size=30))
def test_restored_copies_continue_exactly(name, data, before, after):
    check_continues(getattr(kc, name)(**data.draw(TRANSFORMERS[name])), before, after)


@given(order=st.lists(st.sampled_from("abcdef"), max_size=6), before=st.lists(ops, max_size=30),
       after=st.lists(ops, max_size=20))
def test_selector_order_indices_and_stale_selection_survive(order, before, after):
    # Order indices are kept across reset; a copy taken while the selection is stale (after
    # learning or new order indices) must reselect exactly as the original.
    sel = kc.SelectKBest(k=2)
    sel.set_feature_order(order)
    check_continues(sel, before, after)
    sel.set_feature_order(list(reversed(order)) + ["z"])
    check_continues(sel, [], after)


@pytest.mark.parametrize("name", sorted(TRANSFORMERS))
def test_damaged_states_are_refused_or_work(name):
    rng = random.Random(4)
    t = getattr(kc, name)()
    for _ in range(20):
        x = {f"f{rng.randrange(5)}": rng.uniform(-2, 2) for _ in range(3)}
        t.learn_one(x, rng.random()) if name == "SelectKBest" else t.learn_one(x)
    check_hostile(t, exercise, n=80)


def test_selection_flags_that_disagree_with_the_count_are_refused():
    sel = kc.SelectKBest(k=1)
    for i in range(4):
        sel.learn_one({"a": float(i), "b": float(i % 2)}, float(i))
    sel.transform_one({"a": 1.0})  # brings the selection up to date
    state = kavro.inspect(sel)["state"]
    assert not state["dirty"] and state["n_selected"] == 1
    data = kavro.dumps(sel)
    # n_selected (8 bytes) precedes the order table; find it after the last feature.
    d = bytearray(data)
    tail = len(d) - 4 - 1 - 4  # checksum, dirty flag, next order index
    order_table = 8 + 8 + sum(8 + len(k) + 4 for k in state["feature_order"])
    at = tail - order_table - 8
    assert int.from_bytes(d[at:at + 8], "little") == 1
    d[at:at + 8] = (2).to_bytes(8, "little")
    with pytest.raises(ValueError, match="selection flags disagree"):
        kavro.loads(reseal(d))
