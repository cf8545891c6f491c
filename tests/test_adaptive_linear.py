"""Adaptive linear learners, FTRL-Proximal and feature hashing: accuracy on Electricity,
persistence, batch against loop, label handling, scale invariance, sparsity and hashing."""

import gzip
import math
import random

import pytest

import kavro
from kavro.datasets import Electricity
from kavro.evaluate import _native_plan, progressive_val_score
from kavro.linear import (AdaptiveLinearRegression, AdaptiveLogisticRegression, FeatureHasher,
                          FTRLClassifier)
from kavro.metrics import Accuracy
from kavro.stream import iter_csv

from state_roundtrip import canon, copies

# Figure recorded from the reference linear learner (progressive validation, same file, same order).
REFERENCE_ACCURACY = 0.7299


def electricity_accuracy(model):
    result = progressive_val_score(Electricity(), model, metrics=[Accuracy()])
    return result.final["Accuracy"]


def test_electricity_accuracy_targets():
    assert electricity_accuracy(AdaptiveLogisticRegression()) >= REFERENCE_ACCURACY
    assert abs(electricity_accuracy(FTRLClassifier()) - REFERENCE_ACCURACY) <= 0.005


def test_native_loop_and_batch_match_the_python_loop(tmp_path):
    path = tmp_path / "head.csv"
    with gzip.open(_packaged(), "rt") as src:
        path.write_text("".join(line for _, line in zip(range(3001), src)))
    for make in (AdaptiveLogisticRegression, FTRLClassifier,
                 lambda: AdaptiveLogisticRegression(invariant=False, l2=0.01)):
        native, looped = make(), make()
        assert _native_plan(iter_csv(str(path), "class"), native, [Accuracy()]) is not None
        a = progressive_val_score(iter_csv(str(path), "class"), native, Accuracy()).final["Accuracy"]
        b = progressive_val_score((p for p in iter_csv(str(path), "class")), looped, Accuracy()).final["Accuracy"]
        assert a == b and kavro.dumps(native) == kavro.dumps(looped)
    rows = list(iter_csv(str(path), "class"))
    names = list(rows[0][0])
    X, y = [[x[n] for n in names] for x, _ in rows], [t for _, t in rows]
    whole, by_rows = AdaptiveLogisticRegression(), AdaptiveLogisticRegression()
    kavro.learn_many(whole, X, y, feature_names=names)
    for x, t in rows:
        by_rows.learn_one(x, t)
    assert kavro.dumps(whole) == kavro.dumps(by_rows)
    assert list(kavro.predict_many(whole, X, feature_names=names)) == [whole.predict_one(x) for x, _ in rows]


def _packaged():
    from importlib import resources
    return str(resources.files("kavro").joinpath("data", "electricity.csv.gz"))


def _three_class_stream(n, seed=1, scale=1.0):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        a, b = rng.uniform(-1, 1), rng.uniform(-1, 1)
        y = 0 if a > 0.3 else (1 if b > 0 else 2)
        out.append(({"a": a * scale, "b": b, "noise": rng.gauss(0, 1)}, y))
    return out


@pytest.mark.parametrize("make", [
    AdaptiveLogisticRegression,
    lambda: AdaptiveLogisticRegression(learning_rate=0.1, l2=0.001, normalize=False, adaptive=False,
                                       invariant=False, bias=False),
    lambda: AdaptiveLogisticRegression(normalize=True, adaptive=False),
    lambda: FTRLClassifier(alpha=0.5, l1=0.5, l2=0.1),
])
def test_classifier_persistence_is_exact(make):
    stream = _three_class_stream(400)

    def trained(n):
        model = make()
        for x, y in stream[:n]:
            model.learn_one(x, y)
        return model

    for name, copy in copies(trained(200)).items():
        replay = trained(200)
        for x, y in stream[200:]:
            assert canon(copy.predict_proba_one(x)) == canon(replay.predict_proba_one(x)), name
            copy.learn_one(x, y)
            replay.learn_one(x, y)
        assert kavro.dumps(copy) == kavro.dumps(replay) == kavro.dumps(trained(400)), name
    assert kavro.inspect(copy)


def test_regressor_persistence_and_fit():
    rng = random.Random(3)
    model = AdaptiveLinearRegression()
    stream = [({"u": u, "v": v, "big": 1000.0 * w}, 2.0 * u - 3.0 * v + 0.004 * 1000.0 * w + 1.0)
              for u, v, w in ((rng.random(), rng.random(), rng.random()) for _ in range(3000))]
    for x, y in stream[:2000]:
        model.learn_one(x, y)
    saved = kavro.loads(kavro.dumps(model))
    errors = []
    for x, y in stream[2000:]:
        assert canon(saved.predict_one(x)) == canon(model.predict_one(x))
        errors.append(abs(model.predict_one(x) - y))
        model.learn_one(x, y)
        saved.learn_one(x, y)
    assert sum(errors) / len(errors) < 0.05
    assert abs(model.intercept - 1.0) < 0.1 and abs(model.weights["u"] - 2.0) < 0.1


@pytest.mark.parametrize("make", [AdaptiveLogisticRegression, AdaptiveLinearRegression])
def test_normalised_updates_ignore_feature_scale(make):
    stream = _three_class_stream(1500)
    if make is AdaptiveLinearRegression:
        stream = [(x, x["a"] - 2 * x["b"]) for x, _ in stream]
    else:
        stream = [(x, int(y == 0)) for x, y in stream]
    plain, scaled = make(), make()
    for x, y in stream:
        big = dict(x, a=x["a"] * 1e4)
        if make is AdaptiveLinearRegression:
            assert plain.predict_one(x) == pytest.approx(scaled.predict_one(big), rel=1e-9, abs=1e-9)
        else:
            assert plain.predict_proba_one(x).get(1, 0.0) == pytest.approx(scaled.predict_proba_one(big).get(1, 0.0),
                                                                      rel=1e-9)
        plain.learn_one(x, y)
        scaled.learn_one(big, y)


@pytest.mark.parametrize("make", [AdaptiveLogisticRegression, FTRLClassifier])
def test_labels_binary_symmetry_and_one_vs_rest(make):
    # Untrained, then a single label.
    model = make()
    assert model.predict_one({"a": 1.0}) == 0 and model.predict_proba_one({"a": 1.0}) == {}
    model.learn_one({"a": 1.0}, 5)
    assert model.predict_one({"a": 1.0}) == 5 and model.predict_proba_one({"a": 1.0}) == {5: 1.0}
    # Two labels: the same stream with the labels swapped gives the mirrored model exactly,
    # whichever label comes first.
    stream = [(x, 7 if y == 0 else 3) for x, y in _three_class_stream(500)]
    a, b = make(), make()
    for x, y in stream:
        pa, pb = a.predict_proba_one(x), b.predict_proba_one(x)
        assert pa == pytest.approx({10 - k: v for k, v in pb.items()}, abs=1e-12)
        assert a.predict_one(x) == 10 - b.predict_one(x) or not pa or pa[3] == pa[7]
        a.learn_one(x, y)
        b.learn_one(x, 10 - y)
    w_a, w_b = a.weights, b.weights
    assert list(w_a) == [7] and list(w_b) == [7]
    assert all(w_a[7][k] == -w_b[7][k] for k in w_a[7])
    # Three labels: one model per label, learnt well on a separable problem.
    model = make()
    stream = _three_class_stream(4000, seed=5)
    correct = 0
    for x, y in stream:
        correct += model.predict_one(x) == y
        proba = model.predict_proba_one(x)
        if len(proba) == 3:
            assert sum(proba.values()) == pytest.approx(1.0)
        model.learn_one(x, y)
    assert sorted(model.weights) == [0, 1, 2]
    assert correct / len(stream) > 0.85
    model.reset()
    assert model.predict_proba_one({"a": 1.0}) == {}


def test_ftrl_l1_keeps_weights_exactly_zero():
    rng = random.Random(7)
    stream = []
    for _ in range(3000):
        x = {f"rare{rng.randrange(500)}": 1.0, "signal": rng.uniform(-1, 1)}
        stream.append((x, int(x["signal"] > 0)))
    dense, sparse = FTRLClassifier(), FTRLClassifier(l1=5.0)
    for x, y in stream:
        dense.learn_one(x, y)
        sparse.learn_one(x, y)
    seen = len(dense.weights[1])
    assert dense.n_nonzero == seen + 1  # every feature and the intercept
    weights = sparse.weights[1]
    nonzero = sum(w != 0.0 for w in weights.values())
    assert sparse.n_nonzero - nonzero in (0, 1)  # the intercept may be zero too
    assert nonzero < seen / 10
    assert weights["signal"] > 1.0
    assert sum(sparse.predict_one(x) == y for x, y in stream[-500:]) > 450


def test_feature_hasher_determinism_balance_and_collisions():
    h = FeatureHasher(n_features=64, seed=3)
    x = {f"name{i}": float(i + 1) for i in range(1000)}
    before = dict(x)
    out = h.transform_one(x)
    assert x == before
    assert out == FeatureHasher(n_features=64, seed=3).transform_one(x)
    assert out == kavro.loads(kavro.dumps(h)).transform_one(x)
    assert out != FeatureHasher(n_features=64, seed=4).transform_one(x)
    # Colliding names add their signed values.
    expected = {}
    for name, v in x.items():
        j, sign = h.column(name)
        assert 0 <= j < 64 and sign in (1.0, -1.0)
        expected[str(j)] = expected.get(str(j), 0.0) + sign * v
    assert out.keys() == expected.keys()
    assert all(out[k] == pytest.approx(expected[k]) for k in out)
    # Signs and columns balanced over many names.
    big = FeatureHasher(n_features=16)
    columns = [big.column(f"f{i}") for i in range(20000)]
    positive = sum(sign > 0 for _, sign in columns)
    assert abs(positive / len(columns) - 0.5) < 0.02
    counts = [0] * 16
    for j, _ in columns:
        counts[j] += 1
    assert max(counts) < 1.1 * len(columns) / 16 and min(counts) > 0.9 * len(columns) / 16
    # Known columns: the hash is part of the saved behaviour.
    assert FeatureHasher().column("price") == FeatureHasher().column("price")
    assert h.learn_one(x) is None and h.transform_one({}) == {}


def test_hasher_feeds_a_learner_in_a_pipeline():
    pipe = kavro.pipeline.ClassificationPipeline([FeatureHasher(n_features=2**10)], AdaptiveLogisticRegression())
    correct = 0
    stream = [({"token_" + ("up" if y else "down"): 1.0, "other": 1.0}, y)
              for y in (random.Random(i).randrange(2) for i in range(400))]
    for x, y in stream:
        correct += pipe.predict_one(x) == y
        pipe.learn_one(x, y)
    assert correct > 380


@pytest.mark.parametrize("make, kwargs, name", [
    (AdaptiveLogisticRegression, {"learning_rate": 0.0}, "learning_rate"),
    (AdaptiveLogisticRegression, {"learning_rate": math.inf}, "learning_rate"),
    (AdaptiveLinearRegression, {"l2": -1.0}, "l2"),
    (FTRLClassifier, {"alpha": 0.0}, "alpha"),
    (FTRLClassifier, {"beta": -1.0}, "beta"),
    (FTRLClassifier, {"l1": math.nan}, "l1"),
    (FeatureHasher, {"n_features": 0}, "n_features"),
    (FeatureHasher, {"seed": -1}, "seed"),
])
def test_bad_parameters_name_the_parameter(make, kwargs, name):
    with pytest.raises(ValueError, match=name):
        make(**kwargs)


def test_invariant_updates_never_overshoot_the_target():
    rng = random.Random(11)
    invariant, plain = (AdaptiveLinearRegression(learning_rate=50.0, invariant=flag) for flag in (True, False))
    overshoots = 0
    for _ in range(200):
        x = {"a": rng.uniform(-1, 1), "b": rng.uniform(0, 5)}
        y = 3 * x["a"] - x["b"]
        before = invariant.predict_one(x)
        invariant.learn_one(x, y)
        after = invariant.predict_one(x)
        assert min(before, y) - 1e-9 <= after <= max(before, y) + 1e-9
        p = plain.predict_one(x)
        plain.learn_one(x, y)
        overshoots += (plain.predict_one(x) - y) * (p - y) < 0
    assert overshoots > 50  # the gradient step at that rate does overshoot


def test_bad_target_is_refused_and_changes_nothing():
    model = AdaptiveLinearRegression()
    model.learn_one({"a": 1.0}, 2.0)
    before = kavro.dumps(model)
    with pytest.raises(ValueError, match="y"):
        model.learn_one({"a": 1.0}, math.nan)
    assert kavro.dumps(model) == before
