import csv
import random

import pytest

import _kavro_core as kc
from real_data import open_csv



def piecewise_stream(n, seed):
    """y depends linearly on b with a slope whose sign flips at a = 0.5."""
    rng = random.Random(seed)
    for _ in range(n):
        a, b = rng.random(), rng.random()
        y = (b if a <= 0.5 else 1.0 - b) + rng.gauss(0.0, 0.05)
        yield {"a": a, "b": b}, y


def prequential_mae(model, stream):
    err = err_mean = mean = 0.0
    n = 0
    for x, y in stream:
        err += abs(y - model.predict_one(x))
        err_mean += abs(y - mean)
        model.learn_one(x, y)
        n += 1
        mean += (y - mean) / n
    return err / n, err_mean / n


# ---- HoeffdingTreeRegressor ------------------------------------------------------------


def test_htr_parameters_and_attributes():
    t = kc.HoeffdingTreeRegressor()
    assert isinstance(t, kc.IRegressor)
    assert (t.grace_period, t.split_confidence, t.tie_threshold, t.max_depth, t.learning_rate) == (
        200, 1e-07, 0.05, 20, 0.01)
    t = kc.HoeffdingTreeRegressor(3, 0.1, 0.2, 4, 0.5)
    assert (t.grace_period, t.split_confidence, t.tie_threshold, t.max_depth, t.learning_rate) == (
        3, 0.1, 0.2, 4, 0.5)
    t.grace_period, t.split_confidence, t.tie_threshold, t.max_depth, t.learning_rate = 7, 0.3, 0.4, 9, 0.6
    assert (t.grace_period, t.split_confidence, t.tie_threshold, t.max_depth, t.learning_rate) == (
        7, 0.3, 0.4, 9, 0.6)


@pytest.mark.parametrize("bad", [0, -5])
def test_htr_rejects_grace_period_below_one(bad):
    with pytest.raises(ValueError, match="grace_period"):
        kc.HoeffdingTreeRegressor(grace_period=bad)
    t = kc.HoeffdingTreeRegressor(grace_period=5)
    with pytest.raises(ValueError, match="grace_period"):
        t.grace_period = bad
    assert t.grace_period == 5
    t.learn_one({"a": 1.0}, 1.0)


def test_htr_fresh_one_example_and_mean_until_grace_period():
    t = kc.HoeffdingTreeRegressor(grace_period=50)
    assert t.predict_one({}) == 0.0
    t.learn_one({"a": 1.0}, 4.0)
    assert t.predict_one({"a": 1.0}) == 4.0
    assert t.predict_one({}) == 4.0
    # Before the leaf has counted grace_period examples it answers with its mean only.
    rng = random.Random(1)
    mean, n = 4.0, 1
    for _ in range(40):
        a = rng.random()
        y = 3.0 * a
        t.learn_one({"a": a}, y)
        n += 1
        mean = mean + (y - mean) / n
        assert t.predict_one({"a": 0.9}) == pytest.approx(mean, rel=1e-12)
        assert t.predict_one({"a": 0.1}) == t.predict_one({"a": 0.9})


def test_htr_constant_target_keeps_mean():
    t = kc.HoeffdingTreeRegressor(grace_period=5, tie_threshold=10.0)
    rng = random.Random(2)
    for _ in range(300):
        t.learn_one({"a": rng.random(), "b": rng.random()}, 3.0)
    for a in (-10.0, 0.0, 0.5, 10.0):
        assert t.predict_one({"a": a, "b": 1.0 - a}) == 3.0


def test_htr_child_example_count_is_truncated():
    # learning_rate 0 keeps every leaf model equal to its mean, so a prediction is the
    # target mean of the leaf reached; leaves reveal themselves by diverging means.
    t = kc.HoeffdingTreeRegressor(grace_period=3, max_depth=100, learning_rate=0.0)
    for a, y in ((0.0, 0.0), (1.0, 1.0), (2.0, 2.0)):
        t.learn_one({"a": a}, y)
    # Root split at a = 1; its left child starts with int(1.5) = 1 counted example, so
    # it first attempts a split at its third count, after two more examples.
    t.learn_one({"a": 0.5}, 5.0)
    t.learn_one({"a": -100.0}, 1000.0)
    assert t.predict_one({"a": -100.0}) == t.predict_one({"a": 0.99})
    # The second example made it split, so the next one reaches only one grandchild.
    t.learn_one({"a": -100.0}, 1000.0)
    assert t.predict_one({"a": -100.0}) > t.predict_one({"a": 0.99})
    assert t.predict_one({"a": 1.5}) != t.predict_one({"a": 0.99})


def test_htr_reset_and_determinism():
    data = list(piecewise_stream(1500, 3))
    t = kc.HoeffdingTreeRegressor(grace_period=50, tie_threshold=0.5)
    for x, y in data:
        t.learn_one(x, y)
    probes = [x for x, _ in data[:50]]
    before = [t.predict_one(x) for x in probes]
    t.reset()
    assert t.predict_one(probes[0]) == 0.0
    assert t.grace_period == 50 and t.tie_threshold == 0.5
    for x, y in data:
        t.learn_one(x, y)
    assert [t.predict_one(x) for x in probes] == before


def test_htr_splits_and_beats_running_mean():
    data = list(piecewise_stream(6000, 4))
    split = kc.HoeffdingTreeRegressor(grace_period=100)
    flat = kc.HoeffdingTreeRegressor(grace_period=100, max_depth=0)
    mae, mae_mean = prequential_mae(split, data)
    mae_flat, _ = prequential_mae(flat, data)
    assert mae < 0.5 * mae_mean
    assert mae < 0.7 * mae_flat  # a single leaf cannot follow the slope change


def test_htr_absent_features_route_as_zero():
    t = kc.HoeffdingTreeRegressor(grace_period=3, learning_rate=0.0)
    for a, y in ((-1.0, 0.0), (1.0, 10.0), (3.0, 20.0)):
        t.learn_one({"a": a}, y)
    t.learn_one({"a": -1.0}, -50.0)  # lands left of the split at a = 1
    assert t.predict_one({}) == t.predict_one({"a": 0.0}) == t.predict_one({"a": -1.0})
    assert t.predict_one({}) != t.predict_one({"a": 2.0})


# ---- FIMTDDRegressor -------------------------------------------------------------------


def test_fimtdd_parameters_and_attributes():
    t = kc.FIMTDDRegressor()
    assert isinstance(t, kc.IRegressor)
    assert (t.grace_period, t.split_confidence, t.seed, t.drift_detection) == (200, 1e-07, 1, True)
    t = kc.FIMTDDRegressor(10, 0.01, 0.05, 5, "mean", 0.1, 0.0, True, 0.1, 2.0, 0.9, 10, 100,
                           False, 7)
    assert (t.grace_period, t.split_confidence, t.seed, t.drift_detection) == (10, 0.01, 7, False)
    t.grace_period, t.split_confidence, t.seed, t.drift_detection = 20, 0.5, 9, True
    assert (t.grace_period, t.split_confidence, t.seed, t.drift_detection) == (20, 0.5, 9, True)


@pytest.mark.parametrize("mode", ["adaptive", "mean", "perceptron"])
def test_fimtdd_fresh_and_one_example(mode):
    t = kc.FIMTDDRegressor(leaf_prediction=mode)
    assert t.predict_one({"a": 1.0}) == 0.0
    assert t.n_splits() == 0
    t.learn_one({"a": 1.0, "b": 2.0}, 5.0)
    assert t.predict_one({"a": 1.0, "b": 2.0}) == 5.0
    assert t.predict_one({}) == 5.0
    t.reset()
    assert t.predict_one({"a": 1.0}) == 0.0
    assert t.n_splits() == 0


@pytest.mark.parametrize("mode", ["adaptive", "mean"])
def test_fimtdd_constant_target(mode):
    t = kc.FIMTDDRegressor(grace_period=10, leaf_prediction=mode)
    rng = random.Random(5)
    for _ in range(500):
        t.learn_one({"a": rng.random(), "b": rng.random()}, 3.0)
    assert t.n_splits() == 0
    assert t.predict_one({"a": 0.2, "b": 0.7}) == 3.0


def test_fimtdd_needs_ten_examples_to_split():
    t = kc.FIMTDDRegressor(grace_period=1, leaf_prediction="mean")
    for i in range(9):
        t.learn_one({"a": float(i)}, 0.0 if i < 5 else 10.0)
        assert t.n_splits() == 0
    t.learn_one({"a": 9.0}, 10.0)
    assert t.n_splits() == 1
    # Cut at key 4; new leaves fall back to the tree's target mean until they learn.
    assert t.predict_one({"a": 4.0}) == t.predict_one({"a": 4.5}) == 5.0
    t.learn_one({"a": 4.0}, 0.0)
    assert t.predict_one({"a": 4.0}) == 0.0
    assert t.predict_one({"a": 4.5}) == 50.0 / 11.0


def test_fimtdd_grace_period_between_attempts():
    t = kc.FIMTDDRegressor(grace_period=30, leaf_prediction="mean")
    for i in range(29):
        t.learn_one({"a": float(i)}, 0.0 if i < 15 else 10.0)
    assert t.n_splits() == 0
    t.learn_one({"a": 29.0}, 10.0)
    assert t.n_splits() == 1


def test_fimtdd_seed_and_reset_reproduce_the_model():
    data = list(piecewise_stream(800, 6))
    probes = [x for x, _ in data[:40]]

    def trained(seed):
        t = kc.FIMTDDRegressor(grace_period=50, leaf_prediction="perceptron", seed=seed)
        for x, y in data:
            t.learn_one(x, y)
        return t

    a, b, c = trained(3), trained(3), trained(4)
    pa = [a.predict_one(x) for x in probes]
    assert pa == [b.predict_one(x) for x in probes]
    assert pa != [c.predict_one(x) for x in probes]
    # A new seed takes effect at reset; retraining then reproduces that seed's model.
    c.seed = 3
    assert [c.predict_one(x) for x in probes] != pa
    c.reset()
    for x, y in data:
        c.learn_one(x, y)
    assert [c.predict_one(x) for x in probes] == pa
    assert c.n_splits() == a.n_splits()


def abrupt_change_stream(seed, n=900):
    rng = random.Random(seed)
    for i in range(n):
        a = rng.random()
        if i < 600:
            yield {"a": a}, 0.0 if a <= 0.5 else 10.0
        else:
            yield {"a": a}, 100.0


def run_abrupt_change(drift_detection, switch_off_at=None):
    t = kc.FIMTDDRegressor(grace_period=50, leaf_prediction="mean", page_hinckley_threshold=1.0,
                           alternate_tree_t_min=20, drift_detection=drift_detection)
    for i, (x, y) in enumerate(abrupt_change_stream(7, 630)):
        if i == switch_off_at:
            t.drift_detection = False
        t.learn_one(x, y)
        if i == 599:
            assert t.predict_one({"a": 0.1}) == 0.0
            assert t.predict_one({"a": 0.9}) == 10.0
    return t


@pytest.mark.parametrize("switch_off_at", [None, 601])
def test_fimtdd_alternate_replaces_subtree_after_change(switch_off_at):
    # The root's alternate, a leaf that only saw the new concept, takes its place; an
    # alternate grown before the change test is switched off is still compared.
    t = run_abrupt_change(True, switch_off_at)
    assert t.predict_one({"a": 0.1}) == t.predict_one({"a": 0.9}) == 100.0


def test_fimtdd_without_change_test_keeps_stale_subtree():
    t = run_abrupt_change(False)
    assert t.predict_one({"a": 0.1}) < 50.0 and t.predict_one({"a": 0.9}) < 50.0


def test_fimtdd_losing_alternate_is_dropped_and_watching_resumes():
    # A burst of unpredictable targets starts an alternate that never beats the old
    # tree (fast fading compares recent errors only).
    def run(alternate_tree_time):
        t = kc.FIMTDDRegressor(grace_period=50, leaf_prediction="mean",
                               page_hinckley_threshold=1.0, alternate_tree_t_min=10,
                               alternate_tree_time=alternate_tree_time,
                               alternate_tree_fading_factor=0.5)
        rng = random.Random(8)
        preds = []
        for i in range(1030):
            a = rng.random()
            if i >= 1000:
                y = 100.0
            elif 600 <= i < 605:
                y = rng.choice((-100.0, 100.0))
            else:
                y = 0.0 if a <= 0.5 else 10.0
            t.learn_one({"a": a}, y)
            preds.append((t.predict_one({"a": 0.1}), t.predict_one({"a": 0.9})))
        return preds

    dropped, kept = run(100), run(10**6)
    assert all(lo < hi for lo, hi in dropped[650:1000])
    # While the alternate grows, the leaves below the node may not split, so the
    # burst-polluted left leaf keeps its mean; once the alternate is dropped (at its
    # 100th example) that leaf splits again and its clean part predicts 0.
    assert dropped[730][0] == 0.0
    assert kept[730][0] < 0.0
    # The restarted change test catches the real change at 1000.
    assert dropped[-1] == (100.0, 100.0)


@pytest.mark.parametrize("mode", ["adaptive", "perceptron"])
def test_fimtdd_splits_and_beats_running_mean(mode):
    data = list(piecewise_stream(6000, 9))
    t = kc.FIMTDDRegressor(grace_period=100, leaf_prediction=mode)
    mae, mae_mean = prequential_mae(t, data)
    assert t.n_splits() >= 1
    assert mae < 0.6 * mae_mean


def test_fimtdd_adaptive_clamps_to_leaf_range_perceptron_does_not():
    rng = random.Random(10)
    data = [({"a": a}, 10.0 * a) for a in (rng.random() for _ in range(2000))]
    preds = {}
    for mode in ("adaptive", "perceptron"):
        t = kc.FIMTDDRegressor(grace_period=10**6, leaf_prediction=mode)
        for x, y in data:
            t.learn_one(x, y)
        preds[mode] = t.predict_one({"a": 5.0})
    top = max(y for _, y in data)
    assert preds["perceptron"] > top
    assert preds["adaptive"] <= top


def read_csv(name):
    with open_csv(name) as fh:
        reader = csv.reader(fh)
        header = next(reader)
        for row in reader:
            values = [float(v) for v in row]
            yield dict(zip(header[:-1], values[:-1])), values[-1]


@pytest.mark.parametrize("factory", [kc.HoeffdingTreeRegressor, kc.FIMTDDRegressor])
def test_trees_on_fried(factory):
    data = list(read_csv("fried.csv"))[:10000]
    mae, mae_mean = prequential_mae(factory(), data)
    assert mae < 0.65 * mae_mean
