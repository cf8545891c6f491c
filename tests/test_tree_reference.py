"""Native Hoeffding trees against the pure-Python transcription, prediction by prediction."""

import csv
import math
import random

import pytest

import _kavro_core as kc

kt = pytest.importorskip("_kavro_testing")

from reference_hoeffding_tree import ReferenceAdaptiveTree, ReferenceHoeffdingTree  # noqa: E402
from real_data import open_csv


def electricity(n):
    with open_csv("electricity.csv") as f:
        rows = [r for _, r in zip(range(n), csv.DictReader(f))]
    return [({k: float(v) for k, v in r.items() if k != "class"}, int(r["class"])) for r in rows]


def messy_stream(n, seed, labels=(0, 13, -2, 26)):
    """Several labels sharing hash buckets, coarse values (ties), missing features, empty records."""
    rng = random.Random(seed)
    out = []
    for i in range(n):
        if rng.random() < 0.03:
            out.append(({}, rng.choice(labels)))
            continue
        x = {}
        for f in ("a", "b", "c", "d", "e\u00e9", "B"):
            if rng.random() < 0.85:
                x[f] = round(rng.gauss(0, 1), 1) if f != "d" else float(rng.randrange(3))
        score = x.get("a", 0.0) + 0.5 * x.get("b", 0.0) - x.get("d", 0.0)
        k = 0 if score < -0.8 else 1 if score < 0.3 else 2 if score < 1.2 else 3
        k = k * len(labels) // 4
        if rng.random() < 0.1:
            k = rng.randrange(len(labels))
        if i > n // 2:
            k = (k + 1) % len(labels)  # abrupt change half-way
        out.append((x, labels[k]))
    return out


def overflowing_stream(n, seed, n_labels):
    """Many labels, short records, and a feature that now and then overflows its summaries."""
    rng = random.Random(seed)
    labels = [rng.randrange(-50, 200) for _ in range(n_labels)]
    out = []
    for _ in range(n):
        x = {f"f{j}": (rng.random() if rng.random() < 0.9 else float(rng.randrange(2)))
             for j in range(rng.randrange(0, 5))}
        if rng.random() < 0.01:
            x["f0"] = rng.choice([math.inf, -math.inf, 1e300])
        s = max(min(x.get("f0", 0), 1.0), 0.0) * 3 + x.get("f1", 0)
        y = labels[int(s * n_labels / 4) % n_labels] if rng.random() < 0.8 else rng.choice(labels)
        out.append((x, y))
    return out


def assert_same_run(native, ref, stream, check_every=1):
    for i, (x, y) in enumerate(stream):
        if i % check_every == 0:
            keys = kt.record_keys(x)
            got = native.predict_proba_one(x)
            want = ref.predict_proba_one(x, keys)
            assert list(got.items()) == list(want.items()), (i, got, want)
            assert native.predict_one(x) == ref.predict_one(x, keys), i
            ref.learn_one(x, y, keys)
        else:
            ref.learn_one(x, y)
        native.learn_one(x, y)


TREE_CASES = [
    # (criterion, leaf_prediction, grace_period, tie_threshold, max_depth, nb_threshold)
    ("info_gain", "nba", 200, 0.05, 20, 0),
    ("gini", "nba", 100, 0.05, 20, 0),
    ("info_gain", "mc", 50, 0.05, 3, 0),
    ("gini", "nb", 50, 0.2, 20, 0),
    ("info_gain", "nb", 100, 0.05, 20, 120),
]


@pytest.mark.parametrize("criterion, mode, grace, tie, depth, nb_thr", TREE_CASES)
def test_tree_matches_transcription_on_electricity(criterion, mode, grace, tie, depth,
                                                    nb_thr):
    stream = electricity(2500)
    native = kc.HoeffdingTreeClassifier(grace_period=grace, tie_threshold=tie, max_depth=depth,
                                        nb_threshold=nb_thr, split_criterion=criterion)
    native.leaf_prediction = mode
    ref = ReferenceHoeffdingTree(grace_period=grace, tie_threshold=tie, max_depth=depth,
                                 nb_threshold=nb_thr, split_criterion=criterion,
                                 leaf_prediction=mode)
    assert_same_run(native, ref, stream)
    assert ref.n_splits > 0


@pytest.mark.parametrize("criterion, mode", [("info_gain", "nba"), ("gini", "mc"),
                                             ("gini", "nb")])
def test_tree_matches_transcription_on_messy_labels_and_records(criterion, mode):
    stream = messy_stream(2500, seed=7)
    native = kc.HoeffdingTreeClassifier(grace_period=60, split_confidence=0.01,
                                        tie_threshold=0.1, split_criterion=criterion)
    native.leaf_prediction = mode
    ref = ReferenceHoeffdingTree(grace_period=60, split_confidence=0.01, tie_threshold=0.1,
                                 split_criterion=criterion, leaf_prediction=mode)
    assert_same_run(native, ref, stream)
    assert ref.n_splits > 2, ref.n_splits
    # After a reset both start again from an empty leaf.
    native.reset()
    ref.reset()
    assert_same_run(native, ref, stream[:600])


@pytest.mark.parametrize("criterion", ["info_gain", "gini"])
def test_feature_subspace_matches_transcription(criterion):
    stream = electricity(2000) + messy_stream(800, seed=3, labels=(0, 1))
    native = kt.SubspaceTree(50, 0, 20, criterion, 1e-07, 0.05, 2, 4242)
    ref = ReferenceHoeffdingTree(grace_period=50, split_criterion=criterion,
                                 max_split_features=2, seed=4242)
    assert_same_run(native, ref, stream)
    assert ref.n_splits > 1
    # The generator is not re-seeded by a reset.
    native.reset()
    ref.reset()
    assert_same_run(native, ref, stream[:1000])
    assert ref.rng.pos > 0


@pytest.mark.parametrize("criterion, grace", [("info_gain", 50), ("gini", 30)])
def test_adaptive_tree_matches_transcription(criterion, grace):
    stream = electricity(3000)
    native = kc.HoeffdingAdaptiveTreeClassifier(grace_period=grace, split_criterion=criterion)
    ref = ReferenceAdaptiveTree(kc, grace_period=grace, split_criterion=criterion)
    assert_same_run(native, ref, stream, check_every=3)
    assert ref.n_warnings > 1 and ref.n_drifts > 1


def test_adaptive_tree_matches_transcription_on_messy_labels():
    stream = messy_stream(3000, seed=11)
    args = dict(grace_period=40, split_confidence=0.01, split_criterion="gini")
    native = kc.HoeffdingAdaptiveTreeClassifier(**args)
    ref = ReferenceAdaptiveTree(kc, **args)
    assert_same_run(native, ref, stream)
    assert ref.n_drifts > 0


@pytest.mark.parametrize("criterion, mode", [("gini", "mc"), ("info_gain", "nba")])
def test_overflowing_summaries_match_transcription(criterion, mode):
    # Both sides of a point can get NaN weight; that must not score as a perfect Gini split.
    stream = overflowing_stream(1500, seed=15, n_labels=15)
    native = kc.HoeffdingTreeClassifier(grace_period=60, split_criterion=criterion)
    native.leaf_prediction = mode
    ref = ReferenceHoeffdingTree(grace_period=60, split_criterion=criterion, leaf_prediction=mode)
    assert_same_run(native, ref, stream)


def reordered_stream(n, seed):
    """Runs of records sharing one key order, changing between runs: keys shuffled, one
    feature often missing, one appearing only late (inside a run)."""
    rng = random.Random(seed)
    out = []
    keys = []
    run_left = 0
    for i in range(n):
        if run_left == 0:
            run_left = rng.randrange(1, 80)
            keys = ["p", "q", "r"] + (["s"] if rng.random() < 0.5 else [])
            rng.shuffle(keys)
        run_left -= 1
        if i == n // 3 + 7:
            keys = keys + ["late"]
        x = {k: round(rng.gauss(0, 1), 2) for k in keys}
        score = x["p"] + 0.8 * x.get("s", 0.0) - 1.5 * x.get("late", 0.0)
        y = 0 if score < -0.6 else 1 if score < 0.6 else 2
        if rng.random() < 0.1:
            y = rng.randrange(3)
        if i > 2 * n // 3:
            y = (y + 1) % 3  # abrupt change
        out.append((x, y))
    return out


@pytest.mark.parametrize("criterion, mode", [("info_gain", "nba"), ("gini", "nb")])
def test_tree_matches_transcription_when_key_order_and_set_change(criterion, mode):
    stream = reordered_stream(2400, seed=21)
    assert len({tuple(kt.record_keys(x)) for x, _ in stream}) > 10
    native = kc.HoeffdingTreeClassifier(grace_period=40, split_confidence=0.01,
                                        split_criterion=criterion)
    native.leaf_prediction = mode
    ref = ReferenceHoeffdingTree(grace_period=40, split_confidence=0.01,
                                 split_criterion=criterion, leaf_prediction=mode)
    assert_same_run(native, ref, stream, check_every=2)
    assert ref.n_splits > 3, ref.n_splits


def test_adaptive_tree_matches_transcription_when_key_order_and_set_change():
    # Main and background trees read each record once between them.
    stream = reordered_stream(3000, seed=22)
    args = dict(grace_period=30, split_confidence=0.01)
    native = kc.HoeffdingAdaptiveTreeClassifier(**args)
    ref = ReferenceAdaptiveTree(kc, **args)
    assert_same_run(native, ref, stream, check_every=3)
    assert ref.n_warnings > 0 and ref.n_drifts > 0


@pytest.mark.parametrize("criterion", ["info_gain", "gini"])
def test_split_attempts_over_many_labels_match_transcription(criterion):
    # More than 64 labels at one leaf, some sharing hash buckets.
    rng = random.Random(31)
    labels = [j * 13 - 400 for j in range(70)]
    stream = []
    for _ in range(2000):
        j = rng.randrange(len(labels))
        x = {"u": j / 10 + rng.gauss(0, 1.5), "v": rng.gauss(0, 1)}
        stream.append((x, labels[j]))
    native = kc.HoeffdingTreeClassifier(grace_period=400, split_confidence=0.5,
                                        split_criterion=criterion)
    ref = ReferenceHoeffdingTree(grace_period=400, split_confidence=0.5,
                                 split_criterion=criterion)
    assert_same_run(native, ref, stream, check_every=5)
    assert ref.n_splits > 0
