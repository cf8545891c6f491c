"""Saved state of the regression ensembles and of gradient boosting: copies made at any
point continue exactly as the original (members, background trees, drifts, replacements,
random draws); damaged states are refused or give working objects."""

import json
import os
import random

from hypothesis import given
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

import pytest

from state_roundtrip import (WORD_DAMAGE, check_loads_or_refuses, checks, copies, mutations,
                             seal, split_state, trained_alike)
from test_state_tree_regressors import (SLOW, STREAMS, abrupt_change_stream, make_stream,
                                        run_together, stream_of)

CHECKS = checks(30, 8, 400)

SEEDS = st.integers(0, 2**32 - 1)
DELTAS = st.sampled_from([0.001, 0.05, 0.5, 0.9])

FOREST = {
    "n_models": st.integers(1, 3), "seed": SEEDS,
    "lambda_value": st.sampled_from([1.0, 6.0]),
    "drift_delta": DELTAS, "warning_delta": DELTAS,
    "grace_period": st.integers(5, 50), "max_depth": st.integers(1, 6),
    "learning_rate": st.sampled_from([0.01, 0.1]),
}

CASES = {
    "ARFRegressor": st.fixed_dictionaries(FOREST),
    "SRPRegressor": st.fixed_dictionaries({
        **FOREST,
        "subspace_fraction": st.sampled_from([0.2, 0.6, 1.0]),
        "training_method": st.sampled_from(["patches", "subspaces", "resampling"]),
    }),
    "LeveragingBaggingRegressor": st.fixed_dictionaries({
        "n_models": st.integers(0, 3), "seed": SEEDS,
        "lambda_value": st.sampled_from([1.0, 6.0]),
        "drift_delta": DELTAS, "grace_period": st.integers(5, 50),
        "max_depth": st.integers(1, 6), "split_confidence": st.sampled_from([0.01, 0.3]),
        "leaf_prediction": st.sampled_from(["mean", "perceptron", "adaptive"]),
    }),
    "SGBTClassifier": st.fixed_dictionaries({
        "n_models": st.integers(1, 3), "learning_rate": st.sampled_from([0.0125, 0.5]),
        "percentage_of_features": st.integers(20, 100),
        "multiply_hessian_by": st.integers(1, 3), "skip_training": st.integers(1, 3),
        "use_squared_loss": st.booleans(), "bag_size": st.integers(1, 3),
        "n_classes": st.sampled_from([0, 2, 3]), "scale_prediction_by_lr": st.booleans(),
        "grace_period": st.integers(5, 30), "split_confidence": st.sampled_from([0.05, 0.3]),
        "max_depth": st.integers(1, 6),
        "leaf_prediction": st.sampled_from(["mean", "perceptron", "adaptive"]),
        "seed": st.integers(-2**31, 2**31 - 1),
    }),
    "SGBRRegressor": st.fixed_dictionaries({
        "n_models": st.integers(1, 3), "learning_rate": st.sampled_from([0.1, 1.0]),
        "percentage_of_features": st.integers(20, 100),
        "multiply_hessian_by": st.integers(1, 3), "skip_training": st.integers(1, 3),
        "bag_size": st.integers(1, 3), "grace_period": st.integers(5, 30),
        "split_confidence": st.sampled_from([0.01, 0.3]), "max_depth": st.integers(1, 6),
        "leaf_prediction": st.sampled_from(["mean", "perceptron", "adaptive"]),
        "seed": st.integers(-2**31, 2**31 - 1),
    }),
}

WRITES = {
    "ARFRegressor": [("n_models", 2), ("seed", 5)],
    "SRPRegressor": [("n_models", 2), ("seed", 5)],
    "LeveragingBaggingRegressor": [("n_models", 1), ("seed", 5)],
    "SGBTClassifier": [("n_models", 2), ("seed", 5), ("n_classes", 2), ("n_classes", 0)],
    "SGBRRegressor": [("n_models", 2), ("seed", 5)],
}


def classify(stream, n_labels):
    return [(x, int(abs(y) * 3) % n_labels) for x, y in stream]


def predict_classifier(m, x):
    return (m.predict_one(x), m.predict_proba_one(x))


def stream_for(name, spec, n_labels=3):
    stream = stream_of(spec)
    return classify(stream, n_labels) if name == "SGBTClassifier" else stream


def run_all(name, models, stream):
    if name == "SGBTClassifier":
        run_together(models, stream, predict=predict_classifier)
    else:
        run_together(models, stream)


@pytest.mark.parametrize("name", sorted(CASES))
@CHECKS
@given(data=st.data())
def test_copies_continue_exactly(name, data):
    params = data.draw(CASES[name], label="params")
    spec = data.draw(STREAMS.map(lambda s: {**s, "n": min(s["n"], 250)}), label="stream")
    stream = stream_for(name, spec, data.draw(st.integers(1, 4), label="labels"))
    model, twin, rest = trained_alike(data, lambda: getattr(kc, name)(**params), stream,
                                      st.sampled_from(WRITES[name]))
    run_all(name, [model, twin, *copies(model).values()], rest)


def drifting(name, n):
    stream = abrupt_change_stream(21, n)
    return classify(stream, 3) if name == "SGBTClassifier" else stream


# Settings under which members drift, grow background trees and are replaced quickly.
BUSY = {
    "ARFRegressor": dict(n_models=3, drift_delta=0.5, warning_delta=0.9, grace_period=20),
    "SRPRegressor": dict(n_models=3, drift_delta=0.5, warning_delta=0.9, grace_period=20),
    "LeveragingBaggingRegressor": dict(n_models=3, drift_delta=0.5, grace_period=20),
    "SGBTClassifier": dict(n_models=3, bag_size=2, grace_period=10, skip_training=2),
    "SGBRRegressor": dict(n_models=3, bag_size=2, grace_period=10, skip_training=2),
}


@pytest.mark.parametrize("name", sorted(BUSY))
def test_busy_ensembles_continue_exactly_at_every_stage(name):
    cls = getattr(kc, name)
    stream = drifting(name, 700)
    model = cls(**BUSY[name])
    taken = []
    for i, (x, y) in enumerate(stream):
        if i in (0, 30, 590, 610):
            taken += list(copies(model).values())[:3]
            state = kavro.inspect(model)["state"]
            json.dumps(state)
        model.learn_one(x, y)
        for c in taken:
            c.learn_one(x, y)
    run_all(name, [model] + taken, drifting(name, 60))


def test_forest_members_with_background_trees_are_saved():
    model = kc.ARFRegressor(**BUSY["ARFRegressor"])
    seen_background = False
    for x, y in abrupt_change_stream(22, 700):
        model.learn_one(x, y)
        members = kavro.inspect(model)["state"]["members"]
        if any(m["background"] is not None for m in members):
            seen_background = True
            run_together([model, *copies(model).values()], abrupt_change_stream(23, 100))
            break
    assert seen_background


@pytest.mark.parametrize("name", sorted(CASES))
def test_untrained_and_reset_objects(name):
    cls = getattr(kc, name)
    stream = drifting(name, 200)
    fresh = cls()
    run_all(name, [fresh] + list(copies(fresh).values()), stream[:50])
    trained = cls(**BUSY[name])
    for x, y in stream:
        trained.learn_one(x, y)
    trained.reset()
    run_all(name, [trained] + list(copies(trained).values()), stream[:100])


# ---- damaged states --------------------------------------------------------------------------

@pytest.mark.parametrize("name", sorted(BUSY))
def test_damaged_states_refused_or_working(name):
    cls = getattr(kc, name)
    model = cls(**BUSY[name])
    for x, y in drifting(name, 300):
        model.learn_one(x, y)
    data = kavro.dumps(model)
    rnd = random.Random(name)
    stream = drifting(name, 10)
    count = 25 if os.environ.get("LD_PRELOAD") else 120
    loaded = sum(check_loads_or_refuses(m, stream, SLOW)
                 for m in mutations(data, rnd, count, WORD_DAMAGE, drawn=True))
    assert loaded < count
    head, _ = split_state(data)
    for n in (0, 3, 100):
        check_loads_or_refuses(seal(head, bytes(rnd.randrange(256) for _ in range(n))), stream,
                               SLOW)


def test_structure_checks():
    # A booster stage count that disagrees with the booster's settings.
    model = kc.SGBRRegressor(n_models=2, bag_size=1)
    for x, y in make_stream(2, 40, 3):
        model.learn_one(x, y)
    state = kavro.inspect(model)["state"]
    assert state["booster"]["initialised"] and len(state["booster"]["stage_trees"]) == 2
    # n_models of the booster's own settings sits right after the presence byte of the booster.
    head, payload = split_state(kavro.dumps(model))
    offset = 4 + 8 + 4 + 4 + 4 + 4 + 4 + 4 + 4 + 8 + 8 + len(b"mean") + 1
    assert payload[offset:offset + 4] == (2).to_bytes(4, "little")
    bad = bytearray(payload)
    bad[offset:offset + 4] = (3).to_bytes(4, "little")
    with pytest.raises(ValueError, match="stage count"):
        kavro.loads(seal(head, bytes(bad)))
    bad[offset:offset + 4] = (0).to_bytes(4, "little")
    with pytest.raises(ValueError, match="fewer than one stage"):
        kavro.loads(seal(head, bytes(bad)))
