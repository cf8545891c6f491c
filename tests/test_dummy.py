"""The baselines, checked against their definitions, and the baseline-corrected kappas that
measure a model against them."""

import pickle
import random
import statistics

import pytest

import kavro
from kavro.dummy import MajorityClassClassifier, MeanRegressor, NoChangeClassifier, NoChangeRegressor
from kavro.metrics import KappaM, KappaT

X = {"a": 1.0}


def labels(seed, n=300, choices=(-3, 0, 1, 7)):
    rng = random.Random(seed)
    out, y = [], rng.choice(choices)
    for _ in range(n):
        if rng.random() < 0.3:  # runs, so that no-change is a real competitor
            y = rng.choice(choices)
        out.append(y)
    return out


def test_no_change_classifier_repeats_the_last_label():
    model = NoChangeClassifier()
    assert model.predict_one(X) == -1 and model.predict_proba_one(X) == {}
    previous = None
    for y in labels(1):
        if previous is not None:
            assert model.predict_one({"b": float(y)}) == previous
            assert model.predict_proba_one(X) == {previous: 1.0}
        model.learn_one(X, y)
        previous = y
    model.reset()
    assert model.predict_one(X) == -1 and model.predict_proba_one(X) == {}


def test_majority_class_classifier_predicts_the_most_frequent_label_seen_first_on_ties():
    model = MajorityClassClassifier()
    assert model.predict_one(X) == -1 and model.predict_proba_one(X) == {}
    seen = []
    for y in labels(2):
        if seen:
            counts = {c: seen.count(c) for c in dict.fromkeys(seen)}  # first-appearance order
            top = max(counts.values())
            assert model.predict_one(X) == next(c for c, k in counts.items() if k == top)
            proba = model.predict_proba_one(X)
            assert proba == pytest.approx({c: k / len(seen) for c, k in counts.items()})
        model.learn_one(X, y)
        seen.append(y)
    # Ties keep the label seen first, whatever its value.
    model.reset()
    for y in (5, 2, 2, 5):
        model.learn_one(X, y)
    assert model.predict_one(X) == 5


def test_regression_baselines():
    last, mean = NoChangeRegressor(), MeanRegressor()
    assert last.predict_one(X) == 0.0 and mean.predict_one(X) == 0.0 and mean.n == 0
    rng = random.Random(3)
    ys = [rng.gauss(5.0, 3.0) for _ in range(200)]
    for i, y in enumerate(ys, 1):
        last.learn_one(X, y)
        mean.learn_one(X, y)
        assert last.predict_one(X) == y
        assert mean.predict_one(X) == pytest.approx(statistics.fmean(ys[:i]), rel=1e-12)
    assert mean.n == len(ys)
    last.reset()
    mean.reset()
    assert (last.predict_one(X), mean.predict_one(X), mean.n) == (0.0, 0.0, 0)


@pytest.mark.parametrize("seed", [4, 5])
def test_saved_baselines_predict_and_learn_on_as_before(seed):
    ys = labels(seed, 120)
    for model in (NoChangeClassifier(), MajorityClassClassifier()):
        for y in ys[:60]:
            model.learn_one(X, y)
        copy = pickle.loads(pickle.dumps(model))
        for y in ys[60:]:
            assert copy.predict_one(X) == model.predict_one(X)
            assert copy.predict_proba_one(X) == model.predict_proba_one(X)
            model.learn_one(X, y)
            copy.learn_one(X, y)


def prequential(model, ys, measure):
    for y in ys:
        measure.update(y, model.predict_one(X))
        model.learn_one(X, y)
    return measure.get()


def accuracy_of(model, ys):
    hits = 0
    for y in ys:
        hits += model.predict_one(X) == y
        model.learn_one(X, y)
    return hits / len(ys)


@pytest.mark.parametrize("seed", [6, 7, 8])
def test_each_kappa_is_zero_for_its_own_baseline_and_corrects_by_its_accuracy(seed):
    ys = labels(seed, 400, choices=(-1, 0, 2))  # -1 also a label: the baselines' empty prediction
    assert prequential(NoChangeClassifier(), ys, KappaT()) == 0.0
    assert prequential(MajorityClassClassifier(), ys, KappaM()) == 0.0
    rng = random.Random(seed)
    preds = [y if rng.random() < 0.7 else rng.choice((-1, 0, 2)) for y in ys]
    acc = sum(p == y for p, y in zip(preds, ys)) / len(ys)
    for measure, baseline in ((KappaT(), NoChangeClassifier()), (KappaM(), MajorityClassClassifier())):
        for y, p in zip(ys, preds):
            measure.update(y, p)
        ref = accuracy_of(baseline, ys)
        assert measure.get() == pytest.approx((acc - ref) / (1 - ref), rel=1e-12)


def test_progressive_evaluation_of_the_baselines_follows_their_definitions():
    stream = kavro.datasets.Electricity().take(2000)
    ys = [y for _, y in stream]
    res = kavro.evaluate.progressive_val_score(stream, NoChangeClassifier(), [kavro.metrics.Accuracy(), KappaT()],
                                               every=500, progress=False)
    assert res.final["Accuracy"] == accuracy_of(NoChangeClassifier(), ys) and res.final["KappaT"] == 0.0
    res = kavro.evaluate.progressive_val_score(stream, MajorityClassClassifier(), [KappaM()], progress=False)
    assert res.final["KappaM"] == 0.0
