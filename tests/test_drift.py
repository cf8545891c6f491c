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


@pytest.mark.parametrize("n", [5, 6])
def test_adwin_bucket_layout_after_five_and_six_updates(n):
    # With max_buckets 5, five values are five single buckets and the sixth merges
    # the two oldest into one bucket of two values. The cut drops the oldest bucket
    # whole, so the outlier leaves alone after 5 updates (width 5 -> 4) but together
    # with its neighbour after 6 (width 6 -> 4). A loose delta lets it make the cut.
    a = kc.ADWIN(delta=2.5, clock=1, max_buckets=5, min_window_length=2, grace_period=n - 1)
    assert feed(a, [-10.0] + [1.0] * (n - 1)) == [n]
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
    ({"max_buckets": 2**31 - 1}, "max_buckets"),  # row arithmetic would overflow
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


# ---------------------------------------------------------------- EDDM


def errors_at_gaps(*phases):
    """Each phase (gap, n): n errors, each after gap - 1 correct predictions."""
    out = []
    for gap, n in phases:
        for _ in range(n):
            out += [0] * (gap - 1) + [1]
    return out


def flags(e):
    return (e.warning_detected, e.drift_detected)


def first(stream, e, attr):
    for i, v in enumerate(stream, 1):
        e.update(v)
        if getattr(e, attr):
            return i
    return None


def test_eddm_parameters():
    with pytest.raises(ValueError, match=r"^'alpha' must be greater or equal to 'beta'\.$"):
        kc.EDDM(alpha=0.8, beta=0.9)
    e = kc.EDDM(alpha=0.9, beta=0.9)
    assert (e.warm_start, e.alpha, e.beta) == (30, 0.9, 0.9)
    e.beta = 0.85
    e.warm_start = 7
    assert (e.warm_start, e.beta) == (7, 0.85)
    for name in ("drift_detected", "warning_detected"):
        with pytest.raises(AttributeError):
            setattr(e, name, True)


def test_eddm_correct_predictions_change_nothing():
    e = kc.EDDM(warm_start=0)
    for v in [0, 2, -1, 0, 5] * 200:
        e.update(v)
        assert flags(e) == (False, False)
    # Values other than 1 are correct predictions: only the step count moved.
    a, b = kc.EDDM(warm_start=0), kc.EDDM(warm_start=0)
    for v in [0, 2, -1, 1, 3, 1, 1]:
        a.update(v)
        b.update(1 if v == 1 else 0)
        assert flags(a) == flags(b)


def test_eddm_warm_up_counts_updates_and_errors():
    stream = errors_at_gaps((5, 3), (1, 300))
    # Without warm-up the closer errors warn at update 18 and drift at 19.
    assert first(stream, kc.EDDM(warm_start=0), "warning_detected") == 18
    assert first(stream, kc.EDDM(warm_start=0), "drift_detected") == 19
    # With the default the ratio is first tested on the 31st error (update 43).
    e = kc.EDDM()
    assert first(stream, e, "drift_detected") == 43
    assert not e.warning_detected


def test_eddm_warning_then_drift_then_restart():
    stream = errors_at_gaps((10, 40), (1, 300))
    e = kc.EDDM()
    seen = []
    for i, v in enumerate(stream, 1):
        e.update(v)
        seen.append(flags(e))
        if e.drift_detected:
            break
    assert seen.index((True, False)) == 434  # first warning at update 435
    assert i == 449 and seen[-1] == (True, True)  # the warning keeps its value
    # The next update restarts from the initial state before taking its value,
    # so the detector then behaves exactly as a fresh one.
    rest = errors_at_gaps((5, 3), (1, 300)) * 2
    fresh = kc.EDDM()
    for v in rest:
        e.update(v)
        fresh.update(v)
        assert flags(e) == flags(fresh)
    e.update(0)
    fresh.update(0)
    assert flags(e) == flags(fresh)


def test_eddm_reset_matches_fresh():
    rng = random.Random(5)
    stream = [1 if rng.random() < (0.1 if i < 700 else 0.4) else 0 for i in range(3000)]
    e = kc.EDDM(warm_start=20, alpha=0.97, beta=0.93)
    for v in stream[:500]:
        e.update(v)
    e.reset()
    assert flags(e) == (False, False)
    assert (e.warm_start, e.alpha, e.beta) == (20, 0.97, 0.93)
    fresh = kc.EDDM(warm_start=20, alpha=0.97, beta=0.93)
    drifts = 0
    for v in stream:
        e.update(v)
        fresh.update(v)
        assert flags(e) == flags(fresh)
        drifts += e.drift_detected
    assert drifts >= 1
