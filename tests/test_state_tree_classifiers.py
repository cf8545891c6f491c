"""Saved state of the tree classifiers: a copy restored at any point, by any route, continues
exactly as the original; damaged states are refused or give objects that work."""

import copy
import functools
import json
import math
import pickle
import random
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

from state_roundtrip import (MUTATION, canon, check_loads_or_refuses, checks, copies, mutated,
                             seal, split_state)

# Unrecognised option strings are drawn on purpose: they select the default behaviour (and warn).
pytestmark = pytest.mark.filterwarnings("ignore:.*is not a recognised value:UserWarning")

CHECKS = checks(30, 6, 400)


# ---- streams --------------------------------------------------------------------------------

def make_stream(seed, n, n_features, labels, drift_at=None, ragged=False):
    """Records whose label depends on the features, with the concept flipped at drift_at; ragged
    records drop features and gain extra ones, so key sets and orders change."""
    rnd = random.Random(seed)
    names = [f"f{i}" for i in range(n_features)]
    out = []
    for t in range(n):
        y = rnd.choice(labels)
        k = labels.index(y)
        if drift_at is not None and t >= drift_at:
            k = len(labels) - 1 - k
        x = {}
        order = names[:]
        if ragged:
            rnd.shuffle(order)
        for i, name in enumerate(order):
            if ragged and rnd.random() < 0.15:
                continue
            x[name] = rnd.gauss(k * (1 + (i % 3)), 1.0 + 0.3 * i)
        if ragged and rnd.random() < 0.1:
            x[f"extra{rnd.randrange(3)}"] = rnd.random()
        if rnd.random() < 0.02:
            x[names[0]] = rnd.choice([0.0, -0.0, 1e300])
        out.append((x, y))
    return out


def step(model, x, y, ask=True):
    """Everything the model answers for x (when asked, exactly), then learns (x, y)."""
    out = None
    if ask:
        out = canon((model.predict_one(x), model.predict_proba_one(x)))
    model.learn_one(x, y)
    return out


def run(model, stream):
    """Answers and learns; every third record is learnt without a question first."""
    return [step(model, x, y, t % 3 != 2) for t, (x, y) in enumerate(stream)]


def assert_continues_alike(original, stream, fraction, attrs=(), reset=False):
    """Writes attrs (a dict) and resets when asked, trains on that fraction of the stream,
    copies by every route and continues all on the rest."""
    for k, v in dict(attrs).items():
        setattr(original, k, v)
    if reset:
        original.reset()
    cut = int(fraction * len(stream))
    for x, y in stream[:cut]:
        original.learn_one(x, y)
    cs = copies(original)
    expected = run(original, stream[cut:])
    for name, c in cs.items():
        assert run(c, stream[cut:]) == expected, name
        assert kavro.dumps(c) == kavro.dumps(original), name


LABEL_SETS = st.sampled_from([[0, 1], [0, 1, 2], [3, -7, 11, 0], list(range(10)),
                              [2**31 - 1, -(2**31)]])
STREAM = st.fixed_dictionaries({
    "seed": st.integers(0, 2**32 - 1),
    "n": st.integers(0, 500),
    "n_features": st.integers(1, 6),
    "labels": LABEL_SETS,
    "ragged": st.booleans(),
    "drift": st.booleans(),
})


def stream_of(s):
    return make_stream(s["seed"], s["n"], s["n_features"], s["labels"],
                       drift_at=s["n"] // 2 if s["drift"] else None, ragged=s["ragged"])


HT_PARAMS = st.fixed_dictionaries({
    "grace_period": st.integers(1, 60),
    "split_confidence": st.sampled_from([1e-7, 1e-3, 0.1, 0.5]),
    "tie_threshold": st.sampled_from([0.0, 0.05, 0.5]),
    "nb_threshold": st.integers(0, 20),
    "max_depth": st.integers(0, 8),
    "split_criterion": st.sampled_from(["info_gain", "gini"]),
})
HT_ATTRS = st.fixed_dictionaries({}, optional={
    "leaf_prediction": st.sampled_from(["mc", "nb", "nba", "other"]),
    "n_split_points": st.integers(0, 20),
    "grace_period": st.integers(1, 30),
    "max_depth": st.integers(0, 8),
    "split_confidence": st.sampled_from([1e-5, 0.3]),
    "tie_threshold": st.sampled_from([0.01, 1.0]),
    "split_criterion": st.sampled_from(["gini", "info_gain", "x"]),
})


# ---- exact continuation ---------------------------------------------------------------------

@CHECKS
@given(params=HT_PARAMS, attrs=HT_ATTRS, s=STREAM, cut=st.floats(0, 1))
def test_hoeffding_tree_continues_exactly(params, attrs, s, cut):
    assert_continues_alike(kc.HoeffdingTreeClassifier(**params), stream_of(s), cut, attrs)


@CHECKS
@given(params=HT_PARAMS, s=STREAM, cut=st.floats(0, 1))
def test_efdt_continues_exactly(params, s, cut):
    params.pop("split_criterion")
    assert_continues_alike(kc.EFDTClassifier(**params), stream_of(s), cut)


@CHECKS
@given(
    params=st.fixed_dictionaries({
        "grace_period": st.integers(1, 60),
        "split_confidence": st.sampled_from([1e-7, 0.1]),
        "nb_threshold": st.integers(0, 5),
        "max_depth": st.integers(1, 8),
        "drift_delta": st.sampled_from([0.002, 0.2, 0.9]),
        "warning_delta": st.sampled_from([0.02, 0.5, 0.99]),
        "split_criterion": st.sampled_from(["info_gain", "gini"]),
    }),
    attrs=st.fixed_dictionaries({}, optional={"grace_period": st.integers(1, 30),
                                              "max_depth": st.integers(0, 8)}),
    s=STREAM, cut=st.floats(0, 1),
)
def test_adaptive_tree_continues_exactly(params, attrs, s, cut):
    assert_continues_alike(kc.HoeffdingAdaptiveTreeClassifier(**params), stream_of(s), cut,
                           attrs)


@CHECKS
@given(
    params=st.fixed_dictionaries({
        "learning_rate": st.sampled_from([0.01, 0.1, 1.0]),
        "lambda_": st.sampled_from([0.0, 0.1, 2.0]),
        "grace_period": st.integers(1, 60),
        "max_depth": st.integers(0, 8),
    }),
    attrs=st.fixed_dictionaries({}, optional={"learning_rate": st.sampled_from([0.5]),
                                              "lambda_": st.sampled_from([1.0]),
                                              "grace_period": st.integers(1, 30),
                                              "max_depth": st.integers(0, 8)}),
    s=STREAM, cut=st.floats(0, 1),
)
def test_sgt_continues_exactly(params, attrs, s, cut):
    assert_continues_alike(kc.SGTClassifier(**params), stream_of(s), cut, attrs)


def test_adaptive_tree_with_background_tree_and_replacements():
    """Copies taken while a background tree grows, and between replacements of the main tree,
    follow the original to the end."""
    model = kc.HoeffdingAdaptiveTreeClassifier(grace_period=5, drift_delta=0.5,
                                               warning_delta=0.9)
    stream = make_stream(5, 900, 3, [0, 1, 2], drift_at=300, ragged=True)
    copies = []
    outputs = []
    with_background = replacements = 0
    for t, (x, y) in enumerate(stream):
        state = kavro.inspect(model)["state"]
        if t % 30 == 0:  # a multiple of 3, so copies ask where the original asked
            copies.append((t, copy.deepcopy(model)))
            with_background += state["background_tree"] is not None
        width = state["drift_detector"]["width"]
        outputs.append(step(model, x, y, t % 3 != 2))
        replacements += kavro.inspect(model)["state"]["drift_detector"]["width"] < width
    assert with_background > 0 and replacements > 0
    for t, c in copies:
        assert run(c, stream[t:]) == outputs[t:]
        assert kavro.dumps(c) == kavro.dumps(model)


def test_restored_tree_keeps_splits_and_answers():
    model = kc.HoeffdingTreeClassifier(grace_period=20)
    stream = make_stream(1, 600, 4, [0, 1, 2])
    for x, y in stream:
        model.learn_one(x, y)
    state = kavro.inspect(model)["state"]
    assert state["root"]["is_leaf"] is False
    json.dumps(kavro.inspect(model))
    restored = kavro.loads(kavro.dumps(model), expected="HoeffdingTreeClassifier")
    assert kavro.inspect(restored) == kavro.inspect(model)
    probe = make_stream(2, 50, 4, [0, 1, 2])
    assert [list(restored.predict_proba_one(x).items()) for x, _ in probe] == \
        [list(model.predict_proba_one(x).items()) for x, _ in probe]


def test_untrained_reset_and_independent_copies():
    for cls in (kc.HoeffdingTreeClassifier, kc.EFDTClassifier, kc.SGTClassifier,
                kc.HoeffdingAdaptiveTreeClassifier):
        fresh = cls()
        assert kavro.dumps(copy.deepcopy(fresh)) == kavro.dumps(fresh)
        model = cls(grace_period=10)
        stream = make_stream(3, 300, 3, [0, 1])
        for x, y in stream:
            model.learn_one(x, y)
        before = kavro.dumps(model)
        twin = pickle.loads(pickle.dumps(model))
        for x, y in make_stream(4, 100, 3, [1, 0]):
            twin.learn_one(x, y)
        assert kavro.dumps(model) == before  # the copy shares nothing with the original
        model.reset()
        restored = kavro.loads(kavro.dumps(model))
        assert run(restored, stream) == run(model, stream)


def test_class_of_another_name_is_refused():
    data = kavro.dumps(kc.HoeffdingTreeClassifier())
    with pytest.raises(ValueError, match="HoeffdingTreeClassifier"):
        kavro.loads(data, expected="EFDTClassifier")
    assert type(kavro.loads(kavro.dumps(kc.EFDTClassifier()))) is kc.EFDTClassifier


# ---- damaged states -------------------------------------------------------------------------

# Settings with which learning takes unbounded time.
SLOW = {"n_split_points": (-math.inf, 1000), "lambda_value": (-math.inf, 100.0)}


def predict_both(model, x):
    model.predict_one(x)
    model.predict_proba_one(x)


def trained(name, n=300):
    make = {
        "HoeffdingTreeClassifier": lambda: kc.HoeffdingTreeClassifier(grace_period=15),
        "EFDTClassifier": lambda: kc.EFDTClassifier(grace_period=15),
        "SGTClassifier": lambda: kc.SGTClassifier(grace_period=15),
        "HoeffdingAdaptiveTreeClassifier": lambda: kc.HoeffdingAdaptiveTreeClassifier(
            grace_period=15, drift_delta=0.3, warning_delta=0.9),
    }[name]
    model = make()
    for x, y in make_stream(7, n, 3, [0, 1, 2], drift_at=n // 2, ragged=True):
        model.learn_one(x, y)
    return model


@functools.lru_cache(maxsize=None)
def saved(name):
    return kavro.dumps(trained(name))


@pytest.mark.parametrize("name", ["HoeffdingTreeClassifier", "EFDTClassifier", "SGTClassifier",
                                  "HoeffdingAdaptiveTreeClassifier"])
@CHECKS
@given(mutations=st.lists(MUTATION, min_size=1, max_size=3))
def test_damaged_states_are_refused_or_work(name, mutations):
    check_loads_or_refuses(mutated(saved(name), mutations),
                           make_stream(8, 40, 3, [0, 1, 2], ragged=True), SLOW, predict_both)


@pytest.mark.parametrize("name", ["HoeffdingTreeClassifier", "SGTClassifier",
                                  "HoeffdingAdaptiveTreeClassifier"])
def test_every_truncation_is_refused(name):
    head, payload = split_state(kavro.dumps(trained(name, 120)))
    step_ = max(1, len(payload) // 300)
    for n in range(0, len(payload), step_):
        with pytest.raises(ValueError):
            kavro.loads(seal(head, payload[:n]))


def test_structural_faults_are_named():
    model = kc.HoeffdingTreeClassifier(grace_period=10)
    for x, y in make_stream(1, 200, 2, [0, 1]):
        model.learn_one(x, y)
    head, payload = split_state(kavro.dumps(model))
    # grace_period is the first field
    bad = struct.pack("<i", 0) + payload[4:]
    with pytest.raises(ValueError, match="grace_period"):
        kavro.loads(seal(head, bad))
    sgt = kc.SGTClassifier()
    head, payload = split_state(kavro.dumps(sgt))
    # the root's presence byte follows four parameters (8 + 8 + 4 + 4 bytes)
    assert payload[24] == 1
    with pytest.raises(ValueError, match="root"):
        kavro.loads(seal(head, payload[:24] + b"\x00" + payload[25:]))
    # A NaN leaf value would turn the hessian sum NaN at the next learn_one.
    for x, y in make_stream(2, 30, 2, [0, 1]):
        sgt.learn_one(x, y)
    head, payload = split_state(kavro.dumps(sgt))
    value = struct.pack("<d", kavro.inspect(sgt)["state"]["root"]["value"])
    assert payload.count(value) == 1
    with pytest.raises(ValueError, match="not finite"):
        kavro.loads(seal(head, payload.replace(value, struct.pack("<d", math.nan))))
