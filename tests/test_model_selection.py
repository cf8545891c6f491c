"""Model selection while the stream runs: best-so-far selection, successive halving, grids."""

import collections
import math
import pickle
import random

import pytest

import kavro
from kavro.dummy import MajorityClassClassifier, MeanRegressor, NoChangeClassifier, NoChangeRegressor
from kavro.evaluate import grid
from kavro.linear import LinearRegression, NaiveBayes
from kavro.metrics import MAE, R2, Accuracy, MacroF1, WindowMetric
from kavro.model_selection import (
    ModelSelector,
    ModelSelectorRegressor,
    SuccessiveHalvingClassifier,
    SuccessiveHalvingRegressor,
)
from kavro.tree import HoeffdingTreeClassifier


def drifting_labels(seed, n):
    """Labels from the features, flipped every 300 examples, so the best candidate changes."""
    r = random.Random(seed)
    for t in range(n):
        x = {"a": r.random(), "b": r.random()}
        y = int(x["a"] > 0.5)
        if (t // 300) % 2 == 1:
            y = int(r.random() < 0.9) if t % 7 else 0
        yield x, y


def reg_stream(seed, n):
    r = random.Random(seed)
    for _ in range(n):
        x = {"a": r.random(), "b": r.random()}
        yield x, 4.0 * x["a"] - x["b"] + 0.2 * r.random()


def candidates():
    return [NaiveBayes(), HoeffdingTreeClassifier(grace_period=20), NoChangeClassifier(), MajorityClassClassifier()]


def reference_selection(models, stream, score, higher, window=None):
    """Best-so-far selection written out: each model's predictions scored on all or the last
    `window` examples, the first of the best chosen."""
    kept = [collections.deque(maxlen=window) for _ in models]
    out = []
    for x, y in stream:
        values = [score(list(k)) for k in kept]
        merits = [(v if higher else -v) if not math.isnan(v) else -math.inf for v in values]
        best = max(range(len(models)), key=lambda i: (merits[i], -i))
        out.append((best, models[best].predict_one(x)))
        for m, k in zip(models, kept):
            k.append((y, m.predict_one(x)))
            m.learn_one(x, y)
    return out


def accuracy(pairs):
    return sum(a == b for a, b in pairs) / len(pairs) if pairs else 0.0


@pytest.mark.parametrize("window", [None, 40])
def test_selector_predicts_with_the_best_candidate_so_far(window):
    stream = list(drifting_labels(1, 1500))
    selector = ModelSelector(candidates(), Accuracy(), window=window)
    expected = reference_selection(candidates(), stream, accuracy, True, window)
    got = []
    for x, y in stream:
        got.append((selector.best, selector.predict_one(x)))
        selector.learn_one(x, y)
    assert got == expected
    assert len({b for b, _ in got}) > 1  # the choice moved
    assert selector.window == window


def test_selector_of_regressors_minimises_an_error_and_maximises_r2():
    stream = list(reg_stream(2, 800))

    def mae(pairs):
        return sum(abs(a - b) for a, b in pairs) / len(pairs) if pairs else 0.0

    for metric, higher in ((MAE(), False), (None, False)):
        models = [MeanRegressor(), LinearRegression(), NoChangeRegressor()]
        selector = ModelSelectorRegressor([MeanRegressor(), LinearRegression(), NoChangeRegressor()], metric)
        expected = reference_selection(models, stream, mae, higher)
        got = []
        for x, y in stream:
            got.append((selector.best, selector.predict_one(x)))
            selector.learn_one(x, y)
        assert got == expected
    r2 = ModelSelectorRegressor([MeanRegressor(), LinearRegression()], R2())
    for x, y in stream:
        r2.learn_one(x, y)
    assert r2.best == 1 and r2.scores[1] > r2.scores[0]


def test_ties_keep_the_earlier_candidate_and_measures_are_separate_copies():
    metric = Accuracy()
    selector = ModelSelector([NaiveBayes(), NaiveBayes()], metric)
    for x, y in drifting_labels(3, 200):
        selector.learn_one(x, y)
    assert selector.best == 0 and selector.scores[0] == selector.scores[1] > 0.5
    assert metric.get() == 0.0 and selector.metric is not metric  # the given measure is untouched


def test_any_measure_and_exact_after_pickling():
    stream = list(drifting_labels(4, 600))
    for metric in (MacroF1(), WindowMetric(window_size=50)):
        selector = ModelSelector(candidates(), metric, window=30)
        for x, y in stream[:300]:
            selector.learn_one(x, y)
        copies = [pickle.loads(pickle.dumps(selector)), kavro.loads(kavro.dumps(selector))]
        for x, y in stream[300:]:
            preds = {m.predict_one(x) for m in [selector, *copies]}
            assert len(preds) == 1
            for m in [selector, *copies]:
                m.learn_one(x, y)
        assert all(kavro.dumps(c) == kavro.dumps(selector) for c in copies)
        assert kavro.inspect(selector)["state"]["candidates"]["metric"]["class"] == type(metric).__name__


def test_successive_halving_schedule():
    models = [NoChangeClassifier(), NaiveBayes(), MajorityClassClassifier(), HoeffdingTreeClassifier(grace_period=20)]
    sh = SuccessiveHalvingClassifier(models, Accuracy(), budget=400, eta=2)
    assert sh.rounds == 2 and sh.active == [0, 1, 2, 3]
    stream = list(drifting_labels(5, 400))
    # Round 0 lasts 400 / (4 * 2) = 50 examples, round 1 400 / (2 * 2) = 100.
    for t, (x, y) in enumerate(stream):
        if t == 50:
            assert sh.round == 1 and len(sh.active) == 2
            scores = sh.scores
            ranked = sorted(range(4), key=lambda i: (-scores[i], i))[:2]
            assert sh.active == sorted(ranked)
            stopped = [i for i in range(4) if i not in sh.active]
            frozen = [kavro.dumps(models[i]) for i in stopped]
        if t == 150:
            assert sh.round == 2 and len(sh.active) == 1
        assert sh.predict_one(x) == models[sh.best].predict_one(x) and sh.best in sh.active
        sh.learn_one(x, y)
    assert [kavro.dumps(models[i]) for i in stopped] == frozen  # stopped candidates learn no more
    copy = pickle.loads(pickle.dumps(sh))
    assert kavro.dumps(copy) == kavro.dumps(sh) and copy.active == sh.active
    sh.reset()
    assert sh.active == [0, 1, 2, 3] and sh.round == 0


def test_successive_halving_of_regressors_keeps_the_better_half():
    sh = SuccessiveHalvingRegressor([MeanRegressor(), LinearRegression(), NoChangeRegressor()], MAE(), budget=600, eta=2)
    for x, y in reg_stream(6, 400):
        sh.learn_one(x, y)
    assert sh.rounds == 2 and sh.active == [1] and sh.best == 1


@pytest.mark.parametrize("call, error, words", [
    (lambda: ModelSelector([]), ValueError, "models"),
    (lambda: ModelSelector([NaiveBayes()], window=0), ValueError, "window"),
    (lambda: ModelSelector([NaiveBayes()], MAE()), TypeError, "metric"),
    (lambda: ModelSelector([NaiveBayes()], "accuracy"), TypeError, "metric"),
    (lambda: ModelSelectorRegressor([LinearRegression()], Accuracy()), TypeError, "metric"),
    (lambda: SuccessiveHalvingClassifier([NaiveBayes(), NaiveBayes(), NaiveBayes()], budget=5), ValueError, "budget"),
    (lambda: SuccessiveHalvingClassifier([NaiveBayes()], eta=1), ValueError, "eta"),
])
def test_bad_parameters_are_refused(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_grid_builds_one_unlearnt_candidate_per_combination():
    base = HoeffdingTreeClassifier(max_depth=7)
    for x, y in drifting_labels(7, 50):
        base.learn_one(x, y)
    models = grid(base, {"grace_period": [10, 50], "split_confidence": [0.1, 0.01, 0.001]})
    assert [(m.grace_period, m.split_confidence) for m in models] == [
        (g, c) for g in (10, 50) for c in (0.1, 0.01, 0.001)]
    assert all(m.max_depth == 7 for m in models)
    fresh = HoeffdingTreeClassifier(max_depth=7, grace_period=10, split_confidence=0.1)
    assert kavro.dumps(models[0]) == kavro.dumps(fresh)
    selector = ModelSelector(models)
    assert len(selector.models) == 6
    with pytest.raises(ValueError, match="no_such"):
        grid(base, {"no_such": [1]})
    with pytest.raises(ValueError, match="grace_period"):
        grid(base, {"grace_period": []})
    with pytest.raises(TypeError, match="model"):
        grid(object(), {"a": [1]})


def test_schedule_with_a_larger_eta_and_a_single_candidate():
    sh = SuccessiveHalvingClassifier([NaiveBayes() for _ in range(9)], budget=18, eta=3)
    assert sh.rounds == 2  # 9 -> 3 -> 1
    stream = list(drifting_labels(8, 12))
    for x, y in stream[:1]:  # round 0 lasts 18 / (9 * 2) = 1 example
        sh.learn_one(x, y)
    assert len(sh.active) == 3
    for x, y in stream[1:4]:  # round 1 lasts 18 / (3 * 2) = 3 examples
        sh.learn_one(x, y)
    assert len(sh.active) == 1 and sh.round == 2
    alone = SuccessiveHalvingClassifier([NaiveBayes()], budget=1)
    assert alone.rounds == 0
    for x, y in stream:
        alone.learn_one(x, y)
    assert alone.active == [0]


def test_reset_forgets_the_measures_and_the_window():
    selector = ModelSelector([NoChangeClassifier(), MajorityClassClassifier()], window=10)
    for x, y in drifting_labels(9, 100):
        selector.learn_one(x, y)
    assert max(selector.scores) > 0
    selector.reset()
    assert selector.scores == [0.0, 0.0] and selector.best == 0
    assert kavro.inspect(selector)["state"]["candidates"]["outcomes"] == [[], []]


def test_grid_over_a_meta_learner_copies_its_prototype():
    from kavro.ensemble import BaggingClassifier

    models = grid(BaggingClassifier(HoeffdingTreeClassifier(grace_period=30)), {"n_models": [2, 3]})
    assert [m.n_models for m in models] == [2, 3]
    assert all(m.model.grace_period == 30 for m in models)
    assert models[0].model is not models[1].model
