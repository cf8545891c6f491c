"""Saved state of the pipelines: steps and learner are objects of their own, so sharing is
kept (within one pickle, within one saved state) and restored pipelines are independent."""

import copy
import pickle
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

from state_roundtrip import PROFILE, ROUTES, check_continues, check_hostile, exercise, ops

settings.load_profile(PROFILE)

# copy.copy is shallow: the copy shares the original's parts (tested below).
DEEP_ROUTES = [r for r in ROUTES if r != "copy"]

STEPS = {
    "StandardScaler": kc.StandardScaler,
    "MinMaxScaler": kc.MinMaxScaler,
    "MaxAbsScaler": kc.MaxAbsScaler,
    "VarianceThreshold": lambda: kc.VarianceThreshold(0.1),
    "SelectKBest": lambda: kc.SelectKBest(k=2),
}
CLASSIFIERS = {
    "NaiveBayes": kc.NaiveBayes,
    "Perceptron": kc.Perceptron,
    "SoftmaxRegression": kc.SoftmaxRegression,
    "KNNClassifier": lambda: kc.KNNClassifier(3, 8),
    "pipeline": lambda: kc.ClassificationPipeline([kc.MinMaxScaler()], kc.Perceptron()),
}
REGRESSORS = {
    "LinearRegression": kc.LinearRegression,
    "BayesianLinearRegression": kc.BayesianLinearRegression,
    "KNNRegressor": lambda: kc.KNNRegressor(2, 5),
    "pipeline": lambda: kc.RegressionPipeline([kc.MaxAbsScaler()], kc.LinearRegression()),
}


def record(rng):
    return {n: rng.uniform(-3, 3) for n in "abcd" if rng.random() < 0.8}


@given(data=st.data(), before=st.lists(ops, max_size=30), after=st.lists(ops, max_size=20))
@pytest.mark.parametrize("kind", ["classification", "regression"])
def test_restored_copies_continue_exactly(kind, data, before, after):
    steps = [STEPS[n]() for n in data.draw(st.lists(st.sampled_from(sorted(STEPS)), max_size=3))]
    if kind == "classification":
        learner = CLASSIFIERS[data.draw(st.sampled_from(sorted(CLASSIFIERS)))]()
        pipe = kc.ClassificationPipeline(steps, learner)
    else:
        learner = REGRESSORS[data.draw(st.sampled_from(sorted(REGRESSORS)))]()
        pipe = kc.RegressionPipeline(steps, learner)
    check_continues(pipe, before, after, DEEP_ROUTES)


def test_pickled_together_the_step_is_the_restored_scaler():
    rng = random.Random(1)
    scaler = kc.StandardScaler()
    pipe = kc.RegressionPipeline([scaler], kc.LinearRegression())
    for _ in range(10):
        pipe.learn_one(record(rng), rng.random())
    for protocol in (2, 3, 4, 5):
        pipe2, scaler2 = pickle.loads(pickle.dumps([pipe, scaler], protocol=protocol))
        assert scaler2 is not scaler
        before = kavro.dumps(scaler2)
        pipe2.learn_one(record(rng), 1.0)
        assert kavro.dumps(scaler2) != before  # training through the pipeline moved it
        assert kavro.inspect(pipe2)["state"]["steps"][0]["state"] == kavro.inspect(scaler2)["state"]
        assert kavro.dumps(scaler) != kavro.dumps(scaler2)


def test_an_object_held_twice_is_restored_shared_once():
    rng = random.Random(2)
    shared = kc.StandardScaler()
    pipe = kc.ClassificationPipeline([shared, kc.MinMaxScaler(), shared], kc.Perceptron())
    twin = kc.ClassificationPipeline([kc.StandardScaler(), kc.MinMaxScaler(), kc.StandardScaler()],
                                     kc.Perceptron())
    for _ in range(15):
        x, y = record(rng), rng.randrange(3)
        pipe.learn_one(dict(x), y)
        twin.learn_one(dict(x), y)
    data = kavro.dumps(pipe)
    assert len(data) < len(kavro.dumps(twin))  # the second mention is a reference
    restored = kavro.loads(data)
    assert kavro.dumps(restored) == data
    for _ in range(15):
        x, y = record(rng), rng.randrange(3)
        assert restored.predict_proba_one(dict(x)) == pipe.predict_proba_one(dict(x))
        pipe.learn_one(dict(x), y)
        restored.learn_one(dict(x), y)
    assert kavro.dumps(restored) == kavro.dumps(pipe)


def test_a_restored_pipeline_is_independent_and_a_shallow_copy_shares_parts():
    rng = random.Random(3)
    scaler, learner = kc.MinMaxScaler(), kc.LinearRegression()
    pipe = kc.RegressionPipeline([scaler], learner)
    pipe.learn_one(record(rng), 0.5)
    saved = (kavro.dumps(pipe), kavro.dumps(scaler), kavro.dumps(learner))
    for route in DEEP_ROUTES:
        c = ROUTES[route](pipe)
        for _ in range(5):
            c.learn_one(record(rng), rng.random())
        assert (kavro.dumps(pipe), kavro.dumps(scaler), kavro.dumps(learner)) == saved, route
    shallow = copy.copy(pipe)
    shallow.learn_one({"a": 100.0}, 9.0)
    assert kavro.dumps(scaler) != saved[1] and kavro.dumps(learner) != saved[2]


@pytest.mark.parametrize("kind", ["classification", "regression"])
def test_damaged_states_are_refused_or_work(kind):
    rng = random.Random(6)
    if kind == "classification":
        pipe = kc.ClassificationPipeline([kc.StandardScaler(), kc.SelectKBest(k=2)],
                                         kc.LogisticRegressionClassifier())
    else:
        pipe = kc.RegressionPipeline([kc.VarianceThreshold()], kc.PassiveAggressiveRegressor())
    for _ in range(15):
        pipe.learn_one(record(rng), rng.randrange(3))
    check_hostile(pipe, exercise, n=100)


def test_a_part_of_the_wrong_kind_is_refused():
    # A regression learner where a classification pipeline's learner belongs.
    other = kavro.dumps(kc.RegressionPipeline([], kc.LinearRegression()))
    # The class name (a 2-byte length, then the name) is in the header, outside the checksum.
    forged = other.replace(b"\x12\x00RegressionPipeline", b"\x16\x00ClassificationPipeline", 1)
    with pytest.raises(ValueError, match="not of the kind"):
        kavro.loads(forged)
