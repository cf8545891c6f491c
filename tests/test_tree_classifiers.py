import csv
import math
import random
from fractions import Fraction

import pytest

import _kavro_core as kc
from real_data import open_csv


def and_concept(n, seed):
    """Threshold rule on two of five uniform features."""
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        x = {f"x{i}": rng.random() for i in range(5)}
        out.append((x, int(x["x1"] > 0.5 and x["x3"] <= 0.5)))
    return out


def prequential(model, stream):
    correct = 0
    for x, y in stream:
        correct += model.predict_one(x) == y
        model.learn_one(x, y)
    return correct / len(stream)


def mc_tree(**kwargs):
    t = kc.HoeffdingTreeClassifier(**kwargs)
    t.leaf_prediction = "mc"
    return t


def is_split(t, feature, lo, hi):
    """Under class-frequency prediction a single leaf answers the same everywhere."""
    return t.predict_proba_one({feature: lo}) != t.predict_proba_one({feature: hi})


# --- Hoeffding tree ---------------------------------------------------------------------------


def test_fresh_trees_answer_without_labels():
    for t in (kc.HoeffdingTreeClassifier(), kc.EFDTClassifier()):
        assert t.predict_one({"a": 1.0}) == 0
        assert t.predict_proba_one({"a": 1.0}) == {}
    t = kc.HoeffdingTreeClassifier()
    t.learn_one({"a": 1.0}, 3)
    t.reset()
    assert t.predict_one({}) == 0 and t.predict_proba_one({}) == {}


def test_single_label_stream_never_splits():
    t = kc.HoeffdingTreeClassifier(grace_period=1)
    rng = random.Random(7)
    for _ in range(300):
        t.learn_one({"a": rng.random(), "b": rng.random()}, 5)
    for v in (-10.0, 0.2, 0.9, 50.0):
        assert t.predict_proba_one({"a": v, "b": v}) == {5: 1.0}
        assert t.predict_one({"a": v}) == 5


def test_weight_zero_leaf_is_uniform_and_seen_labels_are_filled():
    # Class 0 carries no feature values, class 1 has one outlier at 0 and the rest at 100:
    # the lowest threshold gets no Gaussian mass on its left, so the left child starts empty.
    t = kc.HoeffdingTreeClassifier(split_criterion="gini")
    for _ in range(100):
        t.learn_one({}, 0)
    t.learn_one({"f": 0.0}, 1)
    for _ in range(99):
        t.learn_one({"f": 100.0}, 1)
    assert t.predict_proba_one({"f": 1.0}) == {0: 0.5, 1: 0.5}
    assert t.predict_one({"f": 1.0}) == 0
    right = t.predict_proba_one({"f": 50.0})
    assert right == {0: 0.0, 1: 1.0}
    assert t.predict_one({"f": 50.0}) == 1
    # A label first seen elsewhere joins both leaves' answers.
    t.learn_one({"f": 60.0}, 7)
    assert t.predict_proba_one({"f": 1.0}) == pytest.approx({0: 1 / 3, 1: 1 / 3, 7: 1 / 3})
    assert t.predict_proba_one({"f": 50.0})[0] == 0.0


@pytest.mark.parametrize("criterion", ["info_gain", "gini"])
def test_max_depth_zero_never_splits(criterion):
    deep = mc_tree(split_criterion=criterion, grace_period=50)
    flat = mc_tree(split_criterion=criterion, grace_period=50, max_depth=0)
    stream = [({"f": float(i % 2)}, i % 2) for i in range(400)]
    for x, y in stream:
        deep.learn_one(x, y)
        flat.learn_one(x, y)
    assert is_split(deep, "f", 0.0, 1.0)
    assert not is_split(flat, "f", 0.0, 1.0)
    assert flat.predict_proba_one({"f": 1.0}) == {0: 0.5, 1: 0.5}


@pytest.mark.parametrize("minority, splits_on_info_gain", [(1, False), (4, True)])
def test_minimum_branch_rule_of_information_gain(minority, splits_on_info_gain):
    # Perfectly separable, but the minority side holds 0.5 % (or 2 %) of the leaf's weight.
    # A confidence near 1 makes the bound tiny, so the tie rule accepts any finite best.
    for criterion, expected in (("info_gain", splits_on_info_gain), ("gini", True)):
        t = mc_tree(split_criterion=criterion, split_confidence=0.999999)
        for _ in range(200 - minority):
            t.learn_one({"f": 0.0}, 0)
        for _ in range(minority):
            t.learn_one({"f": 1.0}, 1)
        assert is_split(t, "f", 0.0, 1.0) == expected, criterion
        if expected:
            assert t.predict_proba_one({"f": 1.0}) == {0: 0.0, 1: 1.0}


def test_null_candidate_under_each_criterion():
    # A weakly informative single feature: under information gain the null candidate has
    # merit -inf, so the lone feature wins by an infinite margin; under Gini the null
    # candidate is a close second and the bound refuses the split.
    rng = random.Random(3)
    stream = []
    for i in range(200):
        y = i % 2
        stream.append(({"f": rng.random() + 0.1 * y}, y))
    for criterion, expected in (("info_gain", True), ("gini", False)):
        t = mc_tree(split_criterion=criterion, tie_threshold=0.0)
        for x, y in stream:
            t.learn_one(x, y)
        assert is_split(t, "f", 0.0, 1.1) == expected, criterion


def test_adaptive_mode_switches_to_naive_bayes_only_when_it_wins():
    rng = random.Random(11)
    t = kc.HoeffdingTreeClassifier(max_depth=0)
    x0, x1 = {"a": 0.0}, {"a": 5.0}
    t.learn_one({"a": rng.gauss(0, 1)}, 0)
    t.learn_one({"a": rng.gauss(5, 1)}, 1)
    # Neither prediction has been right yet: the tie favours class frequencies.
    assert t.predict_proba_one(x1) == {0: 0.5, 1: 0.5}
    for i in range(60):
        y = i % 2
        t.learn_one({"a": rng.gauss(5.0 * y, 1)}, y)
    adaptive = t.predict_proba_one(x1)
    assert adaptive[1] > 0.99
    assert t.predict_one(x0) == 0 and t.predict_one(x1) == 1
    t.leaf_prediction = "nb"
    assert t.predict_proba_one(x1) == adaptive
    t.leaf_prediction = "mc"
    assert t.predict_proba_one(x1) == {0: 0.5, 1: 0.5}
    # nb_threshold above the leaf weight forces class frequencies in every mode.
    forced = kc.HoeffdingTreeClassifier(max_depth=0, nb_threshold=1000)
    forced.leaf_prediction = "nb"
    for i in range(20):
        forced.learn_one({"a": 5.0 * (i % 2) + 0.1 * i}, i % 2)
    assert forced.predict_proba_one(x1) == {0: 0.5, 1: 0.5}


def fma(a, b, c):
    return float(Fraction(a) * Fraction(b) + Fraction(c))


class Estimator:
    def __init__(self):
        self.w = self.mean = self.m2 = self.lo = self.hi = 0.0

    def update(self, v):
        if self.w <= 0:
            self.lo = self.hi = v
        elif v < self.lo:
            self.lo = v
        elif v > self.hi:
            self.hi = v
        self.w += 1.0
        old = self.mean
        self.mean = old + (v - old) / self.w
        self.m2 = fma(v - old, v - self.mean, self.m2)

    def sd(self):
        return math.sqrt(self.m2 / (self.w - 1.0)) if self.w > 1 else 0.0

    def pdf(self, v):
        var = self.m2 / (self.w - 1.0)
        return math.exp(-0.5 * ((v - self.mean) * (v - self.mean)) / var) / math.sqrt(
            6.283185307179586 * var)


def two_class_merit(criterion, pre, left, right):
    wl, wr = left[0] + left[1], right[0] + right[1]
    total = wl + wr
    if criterion == "gini":
        imp = 0.0
        for m, w in ((left, wl), (right, wr)):
            imp += (w / total) * (1.0 - ((m[0] / w) * (m[0] / w) + (m[1] / w) * (m[1] / w)))
        return 1.0 - imp

    def h(m, w):
        return -sum((v / w) * math.log2(v / w) for v in m if v > 0)

    if wl / total <= 0.01 or wr / total <= 0.01:
        return -math.inf
    return h(pre, pre[0] + pre[1]) - (wl * h(left, wl) + wr * h(right, wr)) / total


def expected_children(criterion, stream):
    """The split of one leaf on one feature with two overlapping classes, transcribed."""
    est = [Estimator(), Estimator()]
    for x, y in stream:
        est[y].update(x["f"])
    pre = [est[0].w, est[1].w]
    lo, hi = min(e.lo for e in est), max(e.hi for e in est)
    step = (hi - lo) / 11.0
    best = (-math.inf, None, None)
    for i in range(1, 11):
        p = fma(float(i), step, lo)
        left, right = [0.0, 0.0], [0.0, 0.0]
        for c, e in enumerate(est):
            if p < e.lo:
                right[c] += e.w
            elif p >= e.hi:
                left[c] += e.w
            else:
                eq = e.pdf(p) * e.w
                phi = (math.erf((p - e.mean) / (e.sd() * 1.4142135623730951)) + 1.0) * 0.5
                less = fma(phi, e.w, -eq)
                left[c] += eq + less
                right[c] += max(0.0, (e.w - eq) - less)
        merit = two_class_merit(criterion, pre, left, right)
        if merit > best[0]:
            best = (merit, left, right)
    return [{c: v / (m[0] + m[1]) for c, v in enumerate(m)} for m in best[1:]]


@pytest.mark.parametrize("criterion", ["info_gain", "gini"])
def test_split_divides_class_weights_by_gaussian_estimate(criterion):
    rng = random.Random(21)
    stream = [({"f": rng.gauss(2.0 * (i % 2), 1.0)}, i % 2) for i in range(200)]
    t = mc_tree(split_criterion=criterion, tie_threshold=1.0)
    for x, y in stream:
        t.learn_one(x, y)
    left, right = expected_children(criterion, stream)
    assert t.predict_proba_one({"f": -50.0}) == left
    assert t.predict_proba_one({"f": 50.0}) == right


@pytest.mark.parametrize("criterion", ["info_gain", "gini"])
def test_synthetic_concept_is_learnt_by_splitting(criterion):
    stream = and_concept(6000, seed=3)
    t = mc_tree(split_criterion=criterion)
    prequential(t, stream[:5000])
    assert prequential(t, stream[5000:]) > 0.9


def test_efdt_equals_hoeffding_tree_with_same_arguments():
    args = dict(grace_period=50, split_confidence=1e-3, tie_threshold=0.1, nb_threshold=3,
                max_depth=4)
    e = kc.EFDTClassifier(**args)
    h = kc.HoeffdingTreeClassifier(**args, split_criterion="info_gain")
    assert isinstance(e, kc.HoeffdingTreeClassifier) and isinstance(e, kc.IClassifier)
    assert kc.EFDTClassifier().split_confidence == 1e-05
    for x, y in and_concept(1500, seed=5):
        assert e.predict_proba_one(x) == h.predict_proba_one(x)
        assert e.predict_one(x) == h.predict_one(x)
        e.learn_one(x, y)
        h.learn_one(x, y)
    e.split_criterion = "gini"
    assert e.split_criterion == "gini"


def test_attributes_read_and_write_live_values():
    t = kc.HoeffdingTreeClassifier(grace_period=10, split_confidence=0.5, tie_threshold=0.2,
                                   max_depth=3, split_criterion="gini")
    assert (t.grace_period, t.split_confidence, t.tie_threshold, t.max_depth) == (10, 0.5, 0.2, 3)
    assert (t.split_criterion, t.leaf_prediction, t.n_split_points) == ("gini", "nba", 10)
    assert not hasattr(t, "nb_threshold")
    t.n_split_points = 0  # no candidate thresholds: never splits
    t.leaf_prediction = "mc"
    for x, y in and_concept(500, seed=1):
        t.learn_one(x, y)
    assert not is_split(t, "x1", 0.0, 1.0) and not is_split(t, "x3", 0.0, 1.0)


@pytest.mark.parametrize("make", [
    lambda g: kc.HoeffdingTreeClassifier(grace_period=g),
    lambda g: kc.EFDTClassifier(grace_period=g),
    lambda g: kc.SGTClassifier(grace_period=g),
])
def test_grace_period_below_one_is_rejected(make):
    for bad in (0, -5):
        with pytest.raises(ValueError, match="grace_period"):
            make(bad)
    t = make(1)
    with pytest.raises(ValueError, match="grace_period"):
        t.grace_period = 0
    assert t.grace_period == 1
    t.learn_one({"a": 1.0}, 1)


# --- Stochastic gradient tree -----------------------------------------------------------------


def test_sgt_first_step_and_label_classes():
    t = kc.SGTClassifier()
    assert t.predict_one({}) == 1
    assert t.predict_proba_one({}) == {1: 0.5, 0: 0.5}
    t.learn_one({"a": 1.0}, 0)
    value = 0.0 - 0.1 * 0.5 / 0.35
    p = 1.0 / (1.0 + math.exp(-value))
    assert t.predict_proba_one({"a": 3.0}) == {1: p, 0: 1.0 - p}
    assert t.predict_one({}) == 0
    pos, neg = kc.SGTClassifier(), kc.SGTClassifier()
    pos.learn_one({}, 7)
    neg.learn_one({}, -3)
    assert pos.predict_proba_one({})[1] == 1.0 - p and pos.predict_one({}) == 1
    assert neg.predict_proba_one({})[1] == p and neg.predict_one({}) == 0


def test_sgt_does_not_split_with_nonnegative_lambda():
    stream = and_concept(3000, seed=2)
    for lam in (0.1, 1.0):
        t = kc.SGTClassifier(lambda_=lam, grace_period=50)
        for x, y in stream:
            t.learn_one(x, y)
        assert t.predict_proba_one({"x1": 1.0, "x3": 0.0}) == t.predict_proba_one({})


def test_sgt_takes_zero_lambda_and_refuses_values_that_spoil_leaves():
    stream = and_concept(2000, seed=3)
    t = kc.SGTClassifier(lambda_=0.0, grace_period=50)
    assert prequential(t, stream) > 0.5
    t.reset()
    assert t.predict_proba_one({"x1": 1.0}) == {1: 0.5, 0: 0.5}
    assert (t.learning_rate, t.lambda_, t.grace_period, t.max_depth) == (0.1, 0.0, 50, 6)
    # A non-finite rate or a negative regularisation makes leaf values non-finite (a state that
    # could not be loaded back): refused everywhere, the old value kept.
    for kwargs in ({"learning_rate": math.inf}, {"learning_rate": math.nan}, {"learning_rate": 0.0},
                   {"lambda_": -0.01}, {"lambda_": math.inf}):
        with pytest.raises(ValueError, match=next(iter(kwargs)).rstrip("_")):
            kc.SGTClassifier(**kwargs)
        attr, value = next(iter(kwargs.items()))
        with pytest.raises(ValueError):
            setattr(t, attr, value)
    assert (t.learning_rate, t.lambda_) == (0.1, 0.0)


# --- Hoeffding adaptive tree ------------------------------------------------------------------


def test_adaptive_tree_fresh_and_validation():
    t = kc.HoeffdingAdaptiveTreeClassifier()
    assert t.predict_one({"a": 1.0}) == 0 and t.predict_proba_one({"a": 1.0}) == {}
    assert (t.grace_period, t.max_depth) == (200, 20)
    with pytest.raises(ValueError, match="grace_period"):
        kc.HoeffdingAdaptiveTreeClassifier(grace_period=0)
    with pytest.raises(ValueError, match="grace_period"):
        t.grace_period = -1
    assert t.grace_period == 200


def test_adaptive_tree_replaces_its_main_tree_after_abrupt_drift():
    stream = and_concept(6000, seed=4)
    stream = stream[:3000] + [(x, 1 - y) for x, y in stream[3000:]]
    hat, ht = kc.HoeffdingAdaptiveTreeClassifier(), kc.HoeffdingTreeClassifier()
    assert prequential(hat, stream[:3000]) == prequential(ht, stream[:3000])
    prequential(hat, stream[3000:5000])
    prequential(ht, stream[3000:5000])
    assert prequential(hat, stream[5000:]) > 0.9
    assert prequential(ht, stream[5000:]) < 0.8
    # Without a warning first, the drift leaves an empty tree that has learnt nothing.
    quiet = kc.HoeffdingAdaptiveTreeClassifier(warning_delta=1e-100)
    empty_at = []
    for i, (x, y) in enumerate(stream):
        quiet.learn_one(x, y)
        if quiet.predict_proba_one(x) == {}:
            empty_at.append(i)
            assert quiet.predict_one(x) == 0
    assert len(empty_at) == 1 and empty_at[0] > 3000


def test_adaptive_tree_promotes_the_background_tree():
    # Label 1 is gradually renamed 2: the tree grown since the warning has never seen 1.
    rng = random.Random(9)
    stream = []
    for i, (x, y) in enumerate(and_concept(8000, seed=4)):
        if i >= 3000 and y == 1 and rng.random() < (i - 3000) / 3000:
            y = 2
        stream.append((x, y))
    t = kc.HoeffdingAdaptiveTreeClassifier()
    probe = {"x1": 0.9, "x3": 0.1}
    key_sets = []
    for x, y in stream:
        t.learn_one(x, y)
        keys = sorted(t.predict_proba_one(probe))
        if not key_sets or key_sets[-1] != keys:
            key_sets.append(keys)
    assert key_sets == [[0], [0, 1], [0, 1, 2], [0, 2]]


def test_adaptive_tree_settings_apply_to_trees_built_later():
    stream = and_concept(400, seed=6)
    a = kc.HoeffdingAdaptiveTreeClassifier()
    a.grace_period = 10
    a.max_depth = 3
    b = kc.HoeffdingAdaptiveTreeClassifier()
    for x, y in stream:
        assert a.predict_proba_one(x) == b.predict_proba_one(x)
        a.learn_one(x, y)
        b.learn_one(x, y)
    a.reset()
    c = kc.HoeffdingAdaptiveTreeClassifier(grace_period=10, max_depth=3)
    differs = False
    for x, y in stream:
        assert a.predict_proba_one(x) == c.predict_proba_one(x)
        differs |= c.predict_proba_one(x) != b.predict_proba_one(x)
        a.learn_one(x, y)
        c.learn_one(x, y)
    assert differs


# --- Real stream ------------------------------------------------------------------------------


def electricity():
    with open_csv("electricity.csv") as f:
        rows = list(csv.DictReader(f))
    return [({k: float(v) for k, v in r.items() if k != "class"}, int(r["class"])) for r in rows]


def test_electricity_prequential_accuracy():
    stream = electricity()
    ht = prequential(kc.HoeffdingTreeClassifier(), stream)
    hat = prequential(kc.HoeffdingAdaptiveTreeClassifier(), stream)
    assert 0.75 < ht < 0.85
    assert ht < hat < 0.9
