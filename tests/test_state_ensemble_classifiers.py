"""Saved state of the ensemble classifiers: a copy restored at any point, by any route, continues
exactly as the original (members, background trees, replacements, random draws); damaged states
are refused or give objects that work."""

import copy
import functools
import json
import pickle
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

from state_roundtrip import MUTATION, check_loads_or_refuses, checks, mutated, seal, split_state
from test_state_tree_classifiers import (SLOW, assert_continues_alike, make_stream,
                                         predict_both, run)

# Unrecognised option strings are drawn on purpose: they select the default behaviour (and warn).
pytestmark = pytest.mark.filterwarnings("ignore:.*is not a recognised value:UserWarning")

CHECKS = checks(20, 4, 400)

STREAM = st.fixed_dictionaries({
    "seed": st.integers(0, 2**32 - 1),
    "n": st.integers(0, 300),
    "n_features": st.integers(1, 6),
    "labels": st.sampled_from([[0, 1], [0, 1, 2], [5, -2, 9, 0]]),
    "ragged": st.booleans(),
    "drift": st.booleans(),
})


def stream_of(s):
    return make_stream(s["seed"], s["n"], s["n_features"], s["labels"],
                       drift_at=s["n"] // 3 if s["drift"] else None, ragged=s["ragged"])


COMMON = {
    "n_models": st.integers(0, 4),
    "seed": st.integers(0, 2**32 - 1),
    "lambda_value": st.sampled_from([0.5, 1.0, 6.0]),
    "grace_period": st.integers(1, 40),
    "max_depth": st.integers(0, 6),
    "split_confidence": st.sampled_from([0.01, 0.3]),
}
DELTAS = {
    "drift_delta": st.sampled_from([0.001, 0.3, 0.9]),
    "warning_delta": st.sampled_from([0.01, 0.6, 0.99]),
}
ATTRS = st.fixed_dictionaries({}, optional={"n_models": st.integers(0, 3),
                                            "seed": st.integers(0, 99)})


@CHECKS
@given(params=st.fixed_dictionaries({**COMMON, **DELTAS,
                                     "subspace_size": st.integers(-1, 4)}),
       attrs=ATTRS, reset=st.booleans(), s=STREAM, cut=st.floats(0, 1))
def test_forest_continues_exactly(params, attrs, reset, s, cut):
    assert_continues_alike(kc.ARFClassifier(**params), stream_of(s), cut, attrs, reset)


@CHECKS
@given(params=st.fixed_dictionaries({
           **COMMON, **DELTAS,
           "subspace_fraction": st.sampled_from([0.0, 0.3, 0.6, 1.0]),
           "training_method": st.sampled_from(["patches", "subspaces", "resampling", "other"])}),
       attrs=ATTRS, reset=st.booleans(), s=STREAM, cut=st.floats(0, 1))
def test_patches_continue_exactly(params, attrs, reset, s, cut):
    assert_continues_alike(kc.SRPClassifier(**params), stream_of(s), cut, attrs, reset)


@CHECKS
@given(params=st.fixed_dictionaries({**COMMON,
                                     "drift_delta": st.sampled_from([0.002, 0.5, 0.9])}),
       attrs=ATTRS, reset=st.booleans(), s=STREAM, cut=st.floats(0, 1))
def test_leveraging_bagging_continues_exactly(params, attrs, reset, s, cut):
    assert_continues_alike(kc.LeveragingBaggingClassifier(**params), stream_of(s), cut, attrs,
                           reset)


def forest_with_drifts():
    model = kc.ARFClassifier(n_models=3, seed=4, grace_period=10, drift_delta=0.5,
                             warning_delta=0.9)
    stream = make_stream(11, 600, 4, [0, 1, 2], drift_at=200, ragged=True)
    return model, stream


def test_copies_taken_during_background_growth_and_after_replacements():
    model, stream = forest_with_drifts()
    copies = []
    saw_background = False
    for t, (x, y) in enumerate(stream):
        if t % 37 == 0:
            copies.append((t, copy.deepcopy(model)))
        model.learn_one(x, y)
        if t % 37 == 36:
            members = kavro.inspect(model)["state"]["members"]
            saw_background |= any(m["background"] is not None for m in members)
    members = kavro.inspect(model)["state"]["members"]
    assert saw_background and any(m["n_drifts"] > 0 for m in members)
    probe = make_stream(12, 30, 4, [0, 1, 2])
    for t, c in copies:
        run(c, stream[t:])
        assert kavro.dumps(c) == kavro.dumps(model)
        assert [list(c.predict_proba_one(x).items()) for x, _ in probe] == \
            [list(model.predict_proba_one(x).items()) for x, _ in probe]


def test_inspection_shows_members_weights_and_counts():
    model, stream = forest_with_drifts()
    fresh = kavro.inspect(model)["state"]["members"]
    assert len(fresh) == 3 and all(m["foreground"] is None and not m["initialised"] for m in fresh)
    for x, y in stream:
        model.learn_one(x, y)
    described = kavro.inspect(model)
    json.dumps(described)
    for m in described["state"]["members"]:
        assert m["weight"] == (m["n_correct"] / m["n_seen"] if m["n_seen"] > 0 else 1.0)
        assert m["n_warnings"] >= 0 and m["n_drifts"] >= 0
    bagging = kc.LeveragingBaggingClassifier(n_models=2)
    for x, y in stream[:50]:
        bagging.learn_one(x, y)
    assert [m["weight"] for m in kavro.inspect(bagging)["state"]["members"]] == [1.0, 1.0]


def test_copies_are_independent():
    for model in (kc.ARFClassifier(n_models=2), kc.SRPClassifier(n_models=2),
                  kc.LeveragingBaggingClassifier(n_models=2)):
        stream = make_stream(2, 150, 3, [0, 1])
        for x, y in stream:
            model.learn_one(x, y)
        before = kavro.dumps(model)
        twin = pickle.loads(pickle.dumps(model, protocol=5))
        for x, y in make_stream(3, 100, 3, [1, 0]):
            twin.learn_one(x, y)
        assert kavro.dumps(model) == before


# ---- damaged states -------------------------------------------------------------------------

def trained(name):
    model = {
        "ARFClassifier": lambda: kc.ARFClassifier(n_models=2, grace_period=10, drift_delta=0.5,
                                                  warning_delta=0.9),
        "SRPClassifier": lambda: kc.SRPClassifier(n_models=2, grace_period=10, drift_delta=0.5,
                                                  warning_delta=0.9),
        "LeveragingBaggingClassifier": lambda: kc.LeveragingBaggingClassifier(
            n_models=2, grace_period=10, drift_delta=0.5),
    }[name]()
    for x, y in make_stream(7, 200, 3, [0, 1, 2], drift_at=100, ragged=True):
        model.learn_one(x, y)
    return model


@functools.lru_cache(maxsize=None)
def saved(name):
    return kavro.dumps(trained(name))


@pytest.mark.parametrize("name", ["ARFClassifier", "SRPClassifier",
                                  "LeveragingBaggingClassifier"])
@CHECKS
@given(mutations=st.lists(MUTATION, min_size=1, max_size=3))
def test_damaged_states_are_refused_or_work(name, mutations):
    check_loads_or_refuses(mutated(saved(name), mutations),
                           make_stream(8, 20, 3, [0, 1, 2], ragged=True), SLOW, predict_both)


def test_member_faults_are_named():
    model = kc.LeveragingBaggingClassifier(n_models=1)
    head, payload = split_state(kavro.dumps(model))
    # seven parameters (4 + 4 + 8 + 8 + 8 + 4 + 4 bytes), the member count, then the member's
    # tree presence byte
    at = 40 + 8
    assert struct.unpack_from("<Q", payload, 40)[0] == 1 and payload[at] == 1
    with pytest.raises(ValueError, match="member has no tree"):
        kavro.loads(seal(head, payload[:at] + b"\x00" + payload[at + 1:]))
    patches = kc.SRPClassifier(training_method="subspaces")
    head, payload = split_state(kavro.dumps(patches))
    i = payload.index(b"subspaces") + len(b"subspaces")
    with pytest.raises(ValueError, match="patch mode"):
        kavro.loads(seal(head, payload[:i] + b"\x00" + payload[i + 1:]))
