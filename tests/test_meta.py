"""Bagging, ADWIN bagging, boosting, voting and stacking of any learner."""

import pickle
import random

import numpy as np
import pytest

import kavro
from kavro import _native
from kavro.dummy import MajorityClassClassifier, MeanRegressor, NoChangeClassifier
from kavro.ensemble import (
    ADWINBaggingClassifier,
    AdaBoostClassifier,
    ARFClassifier,
    BaggingClassifier,
    BaggingRegressor,
    StackingClassifier,
    VotingClassifier,
)
from kavro.linear import LogisticRegressionClassifier, NaiveBayes
from kavro.metrics import MAE, Accuracy
from kavro.model_selection import ModelSelector
from kavro.neighbors import KNNClassifier
from kavro.pipeline import ClassificationPipeline
from kavro.preprocessing import StandardScaler
from kavro.tree import HoeffdingTreeClassifier, HoeffdingTreeRegressor

PROTOTYPED = [BaggingClassifier, ADWINBaggingClassifier, AdaBoostClassifier]


def class_stream(seed, n, flip_at=None):
    r = random.Random(seed)
    for t in range(n):
        x = {f"f{i}": r.random() for i in range(4)}
        y = int(x["f0"] + x["f1"] > 1.0)
        if flip_at is not None and t >= flip_at:
            y = 1 - y
        yield x, y


def reg_stream(seed, n):
    r = random.Random(seed)
    for _ in range(n):
        x = {f"f{i}": r.random() for i in range(3)}
        yield x, 3.0 * x["f0"] - 2.0 * x["f1"] + 0.1 * r.random()


def run(model, stream):
    out = []
    for x, y in stream:
        out.append(model.predict_one(x))
        model.learn_one(x, y)
    return out


def members():
    """Members of every sort: core and catalogued, trees, linear, neighbours, pipelines, ensembles
    and meta-learners themselves."""
    return [
        HoeffdingTreeClassifier(grace_period=20),
        LogisticRegressionClassifier(),
        KNNClassifier(n_neighbors=3, window_size=50),
        ClassificationPipeline([StandardScaler()], NaiveBayes()),
        ARFClassifier(n_models=2, grace_period=20, seed=3),
        MajorityClassClassifier(),
        ModelSelector([NaiveBayes(), NoChangeClassifier()]),
        BaggingClassifier(NaiveBayes(), n_models=2, seed=1),
    ]


@pytest.mark.parametrize("cls", PROTOTYPED)
@pytest.mark.parametrize("member", members(), ids=lambda m: type(m).__name__)
def test_any_classifier_is_a_member_and_pickling_midway_is_exact(cls, member):
    model = cls(member, n_models=3, seed=7)
    assert [type(m) for m in model.members] == [type(member)] * 3
    stream = list(class_stream(1, 300, flip_at=200))
    run(model, stream[:150])
    copy = pickle.loads(pickle.dumps(model))
    loaded = kavro.loads(kavro.dumps(model))
    a, b, c = run(model, stream[150:]), run(copy, stream[150:]), run(loaded, stream[150:])
    assert a == b == c and set(a) <= {-1, 0, 1}
    assert kavro.dumps(model) == kavro.dumps(copy) == kavro.dumps(loaded)


@pytest.mark.parametrize("cls", PROTOTYPED)
def test_members_are_unlearnt_copies_and_the_prototype_never_learns(cls):
    tree = HoeffdingTreeClassifier(grace_period=50)
    run(tree, class_stream(0, 100))  # a learnt model passed as prototype gives unlearnt members
    model = cls(tree, n_models=4, seed=1)
    fresh = kavro.dumps(HoeffdingTreeClassifier(grace_period=50))
    assert model.model is not tree and kavro.dumps(model.model) == fresh
    assert all(kavro.dumps(m) == fresh for m in model.members)
    assert len({id(m) for m in model.members}) == 4
    run(model, class_stream(2, 300))
    assert kavro.dumps(model.model) == fresh
    model.reset()
    assert all(kavro.dumps(m) == fresh for m in model.members)
    assert "HoeffdingTreeClassifier(grace_period=50)" in repr(model)


@pytest.mark.parametrize("cls", PROTOTYPED)
def test_deterministic_under_a_seed(cls):
    runs = [run(cls(HoeffdingTreeClassifier(grace_period=20), n_models=4, seed=s), class_stream(3, 600))
            for s in (5, 5, 6)]
    assert runs[0] == runs[1]
    same = cls(HoeffdingTreeClassifier(grace_period=20), n_models=4, seed=5)
    other = cls(HoeffdingTreeClassifier(grace_period=20), n_models=4, seed=6)
    for m in (same, other):
        run(m, class_stream(3, 600))
    assert kavro.dumps(same) != kavro.dumps(other)
    assert cls(NaiveBayes(), seed=None).seed == 0


def test_bagging_repeats_each_example_poisson_one_times():
    n, models = 4000, 8
    bag = BaggingRegressor(MeanRegressor(), n_models=models, seed=3)
    for x, y in reg_stream(0, n):
        bag.learn_one(x, y)
    counts = np.array([m.n for m in bag.members], dtype=float)
    # Each count is a sum of n Poisson(1) draws: mean n, standard deviation sqrt(n).
    assert abs(counts.mean() - n) < 4 * np.sqrt(n / models)
    assert np.all(np.abs(counts - n) < 5 * np.sqrt(n))
    assert len(set(counts)) > 1
    assert bag.predict_one({}) == pytest.approx(np.mean([m.predict_one({}) for m in bag.members]))


def test_bagging_prediction_averages_normalised_member_probabilities():
    bag = BaggingClassifier(NaiveBayes(), n_models=5, seed=2)
    run(bag, class_stream(4, 200))
    x = {"f0": 0.7, "f1": 0.4, "f2": 0.1, "f3": 0.9}
    expected = {}
    for m in bag.members:
        p = m.predict_proba_one(x)
        total = sum(p.values())
        for k, v in p.items():
            expected[k] = expected.get(k, 0.0) + v / total / len(bag.members)
    got = bag.predict_proba_one(x)
    assert got.keys() == expected.keys()
    assert all(got[k] == pytest.approx(expected[k]) for k in got)
    assert bag.predict_one(x) == max(got, key=got.get)
    assert BaggingClassifier(NaiveBayes()).predict_one(x) == -1


@pytest.mark.parametrize("make, y_kind", [
    (lambda: BaggingClassifier(HoeffdingTreeClassifier(grace_period=20), n_models=5, seed=1), int),
    (lambda: BaggingRegressor(HoeffdingTreeRegressor(grace_period=20), n_models=5, seed=1), float),
    (lambda: VotingClassifier([NaiveBayes(), HoeffdingTreeClassifier(grace_period=20)], weights=[1.0, 2.0]), int),
    (lambda: ModelSelector([NaiveBayes(), HoeffdingTreeClassifier(grace_period=20)], window=50), int),
])
def test_members_on_threads_give_the_one_thread_result(make, y_kind):
    rows = list(class_stream(5, 3000)) if y_kind is int else list(reg_stream(5, 3000))
    X = np.array([[x[f"f{i}"] for i in range(len(rows[0][0]))] for x, _ in rows])
    y = np.array([t for _, t in rows], dtype=y_kind)
    names = [f"f{i}" for i in range(X.shape[1])]
    one, two = make(), make()
    assert _native.parallel_members(two) > 1
    kavro.learn_many(one, X, y, feature_names=names, n_jobs=1)
    kavro.learn_many(two, X, y, feature_names=names, n_jobs=2)
    assert kavro.dumps(one) == kavro.dumps(two)
    seq = make()
    for x, t in rows:
        seq.learn_one(x, t)
    assert kavro.dumps(seq) == kavro.dumps(one)
    # Test-then-train in the native loop: each member votes on a row just before its step.
    scored = []
    for n_jobs in (1, 2):
        model, metric = make(), (Accuracy() if y_kind is int else MAE())
        assert _native.Prequential(model, [metric], n_jobs).run(X, y, names)
        scored.append((metric.get(), kavro.dumps(model)))
    model, metric = make(), (Accuracy() if y_kind is int else MAE())
    for x, t in rows:
        metric.update(t, model.predict_one(x))
        model.learn_one(x, t)
    assert scored[0] == scored[1] == (metric.get(), kavro.dumps(model))


def test_adwin_bagging_replaces_members_after_a_change():
    model = ADWINBaggingClassifier(HoeffdingTreeClassifier(grace_period=20), n_models=3, seed=1)
    stream = list(class_stream(6, 4000, flip_at=2000))
    run(model, stream[:2000])
    before = model.n_replaced
    hits = [p == y for p, (_, y) in zip(run(model, stream[2000:]), stream[2000:])]
    assert model.n_replaced > before
    assert np.mean(hits[-500:]) > 0.85  # recovered after the flip


def test_boosting_weights_follow_member_errors():
    model = AdaBoostClassifier(HoeffdingTreeClassifier(grace_period=20), n_models=4, seed=2)
    stream = list(class_stream(7, 2000))
    preds = run(model, stream)
    errors = model.errors
    assert len(errors) == 4 and all(0.0 <= e < 0.5 for e in errors)
    assert np.mean([p == y for p, (_, y) in zip(preds[1000:], stream[1000:])]) > 0.85
    x = stream[0][0]
    proba = model.predict_proba_one(x)
    assert sum(proba.values()) == pytest.approx(1.0)
    # The vote: members' labels weighted by log((1 - e) / e).
    votes = {}
    for m, e in zip(model.members, errors):
        votes[m.predict_one(x)] = votes.get(m.predict_one(x), 0.0) + np.log((1 - max(e, 1e-6)) / max(e, 1e-6))
    total = sum(votes.values())
    assert all(proba[k] == pytest.approx(v / total) for k, v in votes.items())


def test_voting_weights_and_held_models():
    a, b = NaiveBayes(), NoChangeClassifier()
    only_a = VotingClassifier([a, b], weights=[1.0, 0.0])
    run(only_a, class_stream(8, 100))
    assert only_a.models[0] is a and a.predict_one({"f0": 0.1, "f1": 0.1}) != -1  # held, not copied
    x = {"f0": 0.9, "f1": 0.8, "f2": 0.0, "f3": 0.0}
    pa = a.predict_proba_one(x)
    total = sum(pa.values())
    got = only_a.predict_proba_one(x)
    assert all(got[k] == pytest.approx(v / total) for k, v in pa.items())
    assert only_a.weights == [1.0, 0.0] and VotingClassifier([NaiveBayes()]).weights is None


def test_stacking_meta_model_learns_from_probabilities_taken_before_the_members_learn():
    # Labels alternate, so the last label (what NoChange predicts before learning) decides the
    # next one; probabilities taken after learning would only echo the label.
    stack = StackingClassifier([NoChangeClassifier()], KNNClassifier(n_neighbors=1, window_size=100))
    labels = [t % 2 for t in range(400)]
    preds = run(stack, [({"f": 0.0}, y) for y in labels])
    assert np.mean([p == y for p, y in zip(preds[50:], labels[50:])]) == 1.0
    assert stack.meta_features({"f": 0.0}) == {"0:1": 1.0}


@pytest.mark.parametrize("call, error, words", [
    (lambda: BaggingClassifier(NaiveBayes(), n_models=0), ValueError, "n_models"),
    (lambda: BaggingClassifier(None), TypeError, "model"),
    (lambda: AdaBoostClassifier(NaiveBayes(), seed=-1), ValueError, "seed"),
    (lambda: BaggingClassifier(NaiveBayes(), seed=2**32), ValueError, "seed"),
    (lambda: BaggingRegressor(NaiveBayes()), TypeError, "incompatible"),
    (lambda: VotingClassifier([]), ValueError, "models"),
    (lambda: VotingClassifier([NaiveBayes()], weights=[1.0, 2.0]), ValueError, "weights"),
    (lambda: VotingClassifier([NaiveBayes(), NaiveBayes()], weights=[0.0, 0.0]), ValueError, "weights"),
    (lambda: VotingClassifier([NaiveBayes(), NaiveBayes()], weights=[1.0, float("nan")]), ValueError, "weights"),
    (lambda: StackingClassifier([NaiveBayes()], None), TypeError, "meta_model"),
])
def test_bad_parameters_are_refused(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_shared_objects_are_refused():
    nb = NaiveBayes()
    with pytest.raises(ValueError, match="same object"):
        VotingClassifier([nb, nb])
    with pytest.raises(ValueError, match="meta_model"):
        StackingClassifier([nb], nb)
    # Members that share a step would learn it twice, and race on threads.
    scaler = StandardScaler()
    pipes = [ClassificationPipeline([scaler], NaiveBayes()), ClassificationPipeline([scaler], NaiveBayes())]
    for make in (lambda: VotingClassifier(pipes), lambda: ModelSelector(pipes),
                 lambda: StackingClassifier(pipes[:1], pipes[1])):
        with pytest.raises(ValueError, match="share an object"):
            make()
    VotingClassifier([ClassificationPipeline([StandardScaler()], NaiveBayes()) for _ in range(2)])


@pytest.mark.parametrize("make, regression", [
    (lambda: BaggingRegressor(HoeffdingTreeRegressor(grace_period=20), n_models=3, seed=4), True),
    (lambda: VotingClassifier([NaiveBayes(), KNNClassifier(window_size=30)], weights=[2.0, 1.0]), False),
    (lambda: StackingClassifier([NaiveBayes(), HoeffdingTreeClassifier(grace_period=20)], LogisticRegressionClassifier()), False),
], ids=["bagging-regressor", "voting", "stacking"])
def test_held_and_regression_ensembles_are_exact_after_pickling(make, regression):
    stream = list(reg_stream(9, 400)) if regression else list(class_stream(9, 400, flip_at=250))
    model = make()
    run(model, stream[:200])
    copy, loaded = pickle.loads(pickle.dumps(model)), kavro.loads(kavro.dumps(model))
    assert run(model, stream[200:]) == run(copy, stream[200:]) == run(loaded, stream[200:])
    assert kavro.dumps(model) == kavro.dumps(copy) == kavro.dumps(loaded)
    state = kavro.inspect(model)["state"]
    held = state.get("members") or state.get("models")
    assert all(set(h) == {"class", "state"} for h in held)


def test_a_copy_shares_nothing_with_its_prototype():
    # A pipeline prototype: its steps are copied too, so members never share a scaler.
    bag = BaggingClassifier(ClassificationPipeline([StandardScaler()], NaiveBayes()), n_models=2, seed=0)
    run(bag, class_stream(10, 50))
    a, b = bag.members
    assert kavro.dumps(a) != kavro.dumps(b)  # different Poisson draws, separate scalers
    assert kavro.dumps(bag.model) == kavro.dumps(ClassificationPipeline([StandardScaler()], NaiveBayes()))
