import random
import statistics

import pytest

import _kavro_core as kc


def feed(detector, values):
    """Feeds values; returns the 1-based update numbers that reported drift."""
    hits = []
    for i, v in enumerate(values, 1):
        detector.update(v)
        if detector.drift_detected:
            hits.append(i)
    return hits


def state(d):
    return (d.drift_detected, d.width, d.estimation, d.variance)


# ---------------------------------------------------------------- ADWIN


def test_adwin_empty_and_constant():
    a = kc.ADWIN()
    assert state(a) == (False, 0.0, 0.0, 0.0)
    assert feed(a, [2.5] * 500) == []
    assert a.width == 500.0
    assert a.estimation == 2.5
    assert a.variance == 0.0


def test_adwin_first_test_waits_for_clock_and_grace_period():
    rng = random.Random(1)
    wild = [rng.choice([-1e6, 1e6]) * (i // 8 % 2) for i in range(31)]
    assert feed(kc.ADWIN(), wild) == []
    # With a test on every update, the grace period alone holds back detection.
    a = kc.ADWIN(delta=0.5, clock=1, min_window_length=1, grace_period=10)
    hits = feed(a, [0.0] * 5 + [100.0] * 20)
    assert hits and hits[0] >= 11


def test_adwin_step_change_detected_at_scheduled_test():
    a = kc.ADWIN()
    assert feed(a, [0.0] * 1000) == []
    hits = feed(a, [1.0] * 24)
    assert hits == [24]  # update 1024, the first test after the change
    assert a.width < 100
    # Only old zeros were dropped: all 24 ones are still in the window.
    assert a.estimation * a.width == pytest.approx(24.0)
    assert a.variance == pytest.approx(a.estimation * (1.0 - a.estimation))
    a.update(1.0)
    assert not a.drift_detected


def test_adwin_window_statistics_follow_deletions():
    rng = random.Random(7)
    values = [rng.gauss(0.0, 1.0) for _ in range(3000)]
    values += [rng.gauss(3.0, 2.0) for _ in range(700)]
    a = kc.ADWIN()
    hits = feed(a, values)
    assert hits and hits[0] > 3000
    n = int(a.width)
    assert a.width == n
    window = values[-n:]
    assert a.estimation == pytest.approx(statistics.fmean(window), rel=1e-9)
    assert a.variance == pytest.approx(statistics.pvariance(window), rel=1e-9)


def test_adwin_bucket_layout_after_six_updates():
    # With max_buckets 5 the sixth value compresses the two oldest into one bucket of
    # two values; the cut then drops that bucket whole (a single-value bucket would
    # leave width 5). A loose delta lets one outlier pair make the cut.
    a = kc.ADWIN(delta=2.5, clock=1, max_buckets=5, min_window_length=2, grace_period=5)
    assert feed(a, [-10.0, 1.0, 1.0, 1.0, 1.0, 1.0]) == [6]
    assert a.width == 4.0
    assert a.estimation == 1.0


def test_adwin_single_bucket_rows_never_delete_from_empty_row():
    # With max_buckets 1 the 23 values sit in rows 4, 2, 1 and 0 (row 3 empty). The
    # first cut drops row 4; the next must drop the 4-value bucket of row 2.
    a = kc.ADWIN(delta=1.0, clock=23, max_buckets=1, min_window_length=1, grace_period=0)
    hits = feed(a, [0.0] * 16 + [100.0] * 4 + [-100.0] * 3)
    assert hits == [23]
    assert a.width == 3.0
    assert a.estimation == -100.0
    assert a.variance == pytest.approx(0.0, abs=1e-9)
    # It keeps working on the shortened window.
    feed(a, [-100.0] * 100)
    assert a.estimation == pytest.approx(-100.0)
    assert a.width >= 3.0


def test_adwin_reset_matches_fresh():
    rng = random.Random(3)
    stream = [rng.random() + (2.0 if i > 600 else 0.0) for i in range(1500)]
    a = kc.ADWIN(delta=0.01, clock=8)
    feed(a, [rng.random() * 50 for _ in range(2000)])
    a.reset()
    assert state(a) == (False, 0.0, 0.0, 0.0)
    b = kc.ADWIN(delta=0.01, clock=8)
    for v in stream:
        a.update(v)
        b.update(v)
        assert state(a) == state(b)


@pytest.mark.parametrize("kwargs, name", [
    ({"clock": 0}, "clock"),
    ({"clock": -3}, "clock"),
    ({"max_buckets": 0}, "max_buckets"),
    ({"max_buckets": -1}, "max_buckets"),
])
def test_adwin_rejects_unsafe_parameters(kwargs, name):
    with pytest.raises(ValueError, match=name):
        kc.ADWIN(**kwargs)


def test_adwin_smallest_safe_parameters_and_read_only_properties():
    a = kc.ADWIN(delta=0.002, clock=1, max_buckets=1)
    feed(a, [float(i % 2) for i in range(300)])
    assert a.width == 300.0
    for name in ("drift_detected", "estimation", "width", "variance"):
        with pytest.raises(AttributeError):
            setattr(a, name, 1)
    assert not isinstance(a, (kc.IClassifier, kc.IRegressor, kc.ITransformer))
