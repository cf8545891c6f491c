"""Saved state of the drift detectors: restored copies continue exactly (same drifts, same
window), and damaged or inconsistent windows are refused."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

from state_roundtrip import PROFILE, check_continues, check_hostile, exercise, ops, payload_offset, reseal

settings.load_profile(PROFILE)

adwin_params = st.fixed_dictionaries({
    "delta": st.sampled_from([0.002, 0.1, 0.5]),
    "clock": st.integers(1, 8),
    "max_buckets": st.integers(1, 6),
    "min_window_length": st.integers(1, 6),
    "grace_period": st.integers(0, 12),
})
eddm_params = st.fixed_dictionaries({
    "warm_start": st.integers(0, 10),
    "alpha": st.floats(0.5, 1.0),
    "beta": st.just(0.5),
})


@given(params=adwin_params, before=st.lists(ops, max_size=120), after=st.lists(ops, max_size=80))
def test_adwin_continues_exactly(params, before, after):
    check_continues(kc.ADWIN(**params), before, after)


@given(params=eddm_params, before=st.lists(ops, max_size=80), after=st.lists(ops, max_size=60))
def test_eddm_continues_exactly(params, before, after):
    check_continues(kc.EDDM(**params), before, after)


def test_adwin_restored_after_drifts_keeps_detecting_the_same_changes():
    rng = random.Random(3)
    a = kc.ADWIN(clock=4)
    for i in range(3000):
        a.update(rng.gauss(0 if (i // 700) % 2 == 0 else 3, 1))
    b = kavro.loads(kavro.dumps(a))
    hits_a, hits_b = [], []
    for i in range(2000):
        v = rng.gauss(5 if i > 900 else 0, 1)
        a.update(v)
        b.update(v)
        hits_a.append((a.drift_detected, a.width, a.estimation))
        hits_b.append((b.drift_detected, b.width, b.estimation))
    assert hits_a == hits_b and any(h[0] for h in hits_a)


@pytest.mark.parametrize("make", [lambda: kc.ADWIN(clock=3, max_buckets=2), kc.EDDM])
def test_damaged_detector_states_are_refused_or_work(make):
    rng = random.Random(5)
    d = make()
    for _ in range(400):
        d.update(rng.random() if isinstance(d, kc.ADWIN) else int(rng.random() < 0.3))
    check_hostile(d, exercise, n=100)


def test_adwin_window_inconsistencies_are_refused():
    a = kc.ADWIN(max_buckets=2)
    for i in range(40):
        a.update(float(i % 3))
    data = kavro.dumps(a)
    state = kavro.inspect(a)["state"]
    # The payload starts with delta (8 bytes) and four 4-byte parameters, then the row counts.
    start = payload_offset(data)
    counts_at = start + 8 + 16
    n_rows = len(state["counts"])
    assert int.from_bytes(data[counts_at:counts_at + 8], "little") == n_rows

    def patched(offset, value, width=4):
        d = bytearray(data)
        d[offset:offset + width] = value.to_bytes(width, "little", signed=True)
        return reseal(d)

    first_count = counts_at + 8
    with pytest.raises(ValueError, match="bucket count of a row"):
        kavro.loads(patched(first_count, 3))  # above max_buckets
    with pytest.raises(ValueError, match="width disagrees"):
        kavro.loads(patched(first_count, (state["counts"][0] + 1) % 3))
    last_count = first_count + 4 * (n_rows - 1)
    with pytest.raises(ValueError):
        kavro.loads(patched(last_count, 0))  # an empty last row
    with pytest.raises(ValueError, match="clock"):
        kavro.loads(patched(start + 8, 0))
