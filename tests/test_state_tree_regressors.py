"""Saved state of the tree regressors: a copy made at any point, by any route, continues
exactly as the original; damaged states are refused or give working objects."""

import json
import math
import os
import random
import struct

from hypothesis import given
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

import pytest

from state_roundtrip import (WORD_DAMAGE, assert_same, check_loads_or_refuses, checks, copies,
                             mutations, seal, split_state, trained_alike)

CHECKS = checks(30, 8, 400)


# ---- comparisons ------------------------------------------------------------------------------

def run_together(models, stream, predict=lambda m, x: m.predict_one(x),
                 learn=lambda m, x, y: m.learn_one(x, y)):
    """Feeds every model the same calls and asserts identical answers."""
    first, rest = models[0], models[1:]
    for x, y in stream:
        expected = predict(first, x)
        for m in rest:
            got = predict(m, x)
            assert_same(expected, got, (expected, got))
        for m in models:
            learn(m, x, y)
    final = kavro.dumps(first)
    for m in rest:
        assert kavro.dumps(m) == final


# ---- streams ---------------------------------------------------------------------------------

def make_stream(seed, n, n_features, drift_at=None, nan_rate=0.0, ragged=False, scale=1.0):
    """Piecewise-linear targets over a few features, times scale (small targets make the
    regression tree split on ties); the concept flips at drift_at."""
    rnd = random.Random(seed)
    names = [f"f{i}" for i in range(n_features)]
    out = []
    for i in range(n):
        keys = names if not ragged else [k for k in names if rnd.random() < 0.8]
        if ragged and rnd.random() < 0.3:
            keys = list(reversed(keys))
        x = {}
        for k in keys:
            x[k] = math.nan if rnd.random() < nan_rate else rnd.uniform(-2.0, 3.0)
        a = x.get(names[0], 0.0)
        b = x.get(names[-1], 0.0)
        a = 0.0 if a != a else a
        b = 0.0 if b != b else b
        y = (5.0 * a if a > 0.5 else -3.0 * b) + rnd.gauss(0.0, 0.3)
        if drift_at is not None and i >= drift_at:
            y = 40.0 - 2.0 * y
        out.append((x, scale * y))
    return out


STREAMS = st.fixed_dictionaries({
    "seed": st.integers(0, 2**32 - 1),
    "n": st.integers(0, 500),
    "n_features": st.integers(1, 5),
    "drift": st.booleans(),
    "nan_rate": st.sampled_from([0.0, 0.0, 0.02]),
    "ragged": st.booleans(),
    "scale": st.sampled_from([1.0, 0.01]),
})


def stream_of(spec):
    n = spec["n"]
    return make_stream(spec["seed"], n, spec["n_features"],
                       drift_at=n // 2 if spec["drift"] else None,
                       nan_rate=spec["nan_rate"], ragged=spec["ragged"], scale=spec["scale"])


HTR_PARAMS = st.fixed_dictionaries({
    "grace_period": st.integers(5, 60),
    "split_confidence": st.sampled_from([1e-7, 1e-3, 0.1, 0.5]),
    "tie_threshold": st.sampled_from([0.01, 0.05, 0.5]),
    "max_depth": st.integers(1, 8),
    "learning_rate": st.sampled_from([0.001, 0.01, 0.1]),
})

FIMTDD_PARAMS = st.fixed_dictionaries({
    "grace_period": st.integers(5, 60),
    "split_confidence": st.sampled_from([1e-7, 1e-3, 0.1, 0.5]),
    "tie_threshold": st.sampled_from([0.01, 0.05, 0.5]),
    "max_depth": st.integers(1, 8),
    "leaf_prediction": st.sampled_from(["mean", "perceptron", "adaptive"]),
    "learning_ratio_const": st.booleans(),
    "page_hinckley_threshold": st.sampled_from([0.05, 0.5, 5.0, 50.0]),
    "alternate_tree_fading_factor": st.sampled_from([0.5, 0.9, 0.995]),
    "alternate_tree_t_min": st.integers(3, 40),
    "alternate_tree_time": st.integers(10, 300),
    "drift_detection": st.booleans(),
    "seed": st.integers(-2**31, 2**31 - 1),
})

# Attribute writes the bindings offer, by class.
WRITES = {
    "HoeffdingTreeRegressor": st.sampled_from([
        ("grace_period", 7), ("split_confidence", 0.3), ("tie_threshold", 0.4),
        ("max_depth", 2), ("learning_rate", 0.05)]),
    "FIMTDDRegressor": st.sampled_from([
        ("grace_period", 9), ("split_confidence", 0.3), ("seed", 77),
        ("drift_detection", False), ("drift_detection", True)]),
}

CASES = {"HoeffdingTreeRegressor": HTR_PARAMS, "FIMTDDRegressor": FIMTDD_PARAMS}


@pytest.mark.parametrize("name", sorted(CASES))
@CHECKS
@given(data=st.data())
def test_copies_continue_exactly(name, data):
    params = data.draw(CASES[name], label="params")
    stream = stream_of(data.draw(STREAMS, label="stream"))
    model, twin, rest = trained_alike(data, lambda: getattr(kc, name)(**params), stream,
                                      WRITES[name])
    # The twin was never saved: saving must not have changed the original.
    run_together([model, twin, *copies(model).values()], rest)


@pytest.mark.parametrize("name", sorted(CASES))
def test_untrained_and_reset_objects(name):
    cls = getattr(kc, name)
    stream = make_stream(3, 300, 3)
    fresh = cls(grace_period=20)
    run_together([fresh] + list(copies(fresh).values()), stream)
    trained = cls(grace_period=20)
    for x, y in stream:
        trained.learn_one(x, y)
    trained.reset()
    run_together([trained] + list(copies(trained).values()), stream)


@pytest.mark.parametrize("name", sorted(CASES))
def test_copy_is_independent(name):
    cls = getattr(kc, name)
    stream = make_stream(4, 400, 3)
    model = cls(grace_period=20)
    for x, y in stream[:200]:
        model.learn_one(x, y)
    for c in copies(model).values():
        saved = kavro.dumps(model)
        for x, y in stream[200:]:
            c.learn_one(x, y)
        assert kavro.dumps(model) == saved
        assert kavro.dumps(c) != saved


def abrupt_change_stream(seed, n):
    rnd = random.Random(seed)
    out = []
    for i in range(n):
        a = rnd.random()
        if i < 600:
            out.append(({"a": a, "b": rnd.random()}, 0.0 if a <= 0.5 else 10.0))
        else:
            out.append(({"a": a, "b": rnd.random()}, 100.0))
    return out


def model_tree_nodes(state):
    stack, out = [state["root"]], []
    while stack:
        node = stack.pop()
        if node is None:
            continue
        out.append(node)
        stack.extend([node["left"], node["right"], node["alternate"]])
    return out


def test_model_tree_saved_with_alternates_and_queued_insertions():
    # Cut while the root grows an alternate tree and leaves have insertions queued for
    # their search trees: the queues are saved as they are, not carried out.
    stream = abrupt_change_stream(7, 700)
    model = kc.FIMTDDRegressor(grace_period=50, leaf_prediction="adaptive",
                               page_hinckley_threshold=1.0, alternate_tree_t_min=20)
    twin = kc.FIMTDDRegressor(grace_period=50, leaf_prediction="adaptive",
                              page_hinckley_threshold=1.0, alternate_tree_t_min=20)
    for x, y in stream[:607]:
        model.learn_one(x, y)
        twin.learn_one(x, y)
    state = kavro.inspect(model)["state"]
    json.dumps(state)
    nodes = model_tree_nodes(state)
    assert any(n["alternate"] is not None for n in nodes)
    queued = [len(t["pending"]) for n in nodes for t in n["observers"].values()]
    assert any(queued)
    assert any(len(t["nodes"]["key"]) > 0 for n in nodes for t in n["observers"].values())
    cs = list(copies(model).values())
    assert kavro.inspect(model)["state"] == state
    run_together([model, twin] + cs, stream[607:])
    assert model.predict_one({"a": 0.1, "b": 0.5}) == 100.0


def test_hoeffding_tree_inspection_shows_splits():
    model = kc.HoeffdingTreeRegressor(grace_period=20)
    for x, y in make_stream(5, 600, 2, scale=0.01):
        model.learn_one(x, y)
    state = kavro.inspect(model)["state"]
    json.dumps(state)
    root = state["root"]
    assert root["is_leaf"] is False and root["split_feature"] in ("f0", "f1")
    assert set(root) >= {"left", "right", "threshold", "feature_stats", "weights"}


# ---- damaged states --------------------------------------------------------------------------

# Settings with which learning is unreasonably slow (the constructors accept them too).
SLOW = {"lambda_value": (-50.0, 50.0), "n_models": (-64, 64), "bag_size": (-64, 64),
        "multiply_hessian_by": (-1000, 1000)}


def trained_states():
    stream = abrupt_change_stream(11, 640)
    htr = kc.HoeffdingTreeRegressor(grace_period=20)
    fimtdd = kc.FIMTDDRegressor(grace_period=50, page_hinckley_threshold=1.0,
                                alternate_tree_t_min=20)
    for x, y in make_stream(11, 300, 2, scale=0.01):
        htr.learn_one(x, y)
    for x, y in stream[:607]:
        fimtdd.learn_one(x, y)
    return {"HoeffdingTreeRegressor": htr, "FIMTDDRegressor": fimtdd}


@pytest.mark.parametrize("name", ["HoeffdingTreeRegressor", "FIMTDDRegressor"])
def test_damaged_states_refused_or_working(name):
    model = trained_states()[name]
    data = kavro.dumps(model)
    rnd = random.Random(name)
    stream = abrupt_change_stream(12, 30)
    count = 60 if os.environ.get("LD_PRELOAD") else 300
    loaded = sum(check_loads_or_refuses(m, stream, SLOW)
                 for m in mutations(data, rnd, count, WORD_DAMAGE, drawn=True))
    assert loaded < count
    # Random bytes behind a valid header.
    head, _ = split_state(data)
    for n in (0, 1, 7, 64, 1000):
        check_loads_or_refuses(seal(head, bytes(rnd.randrange(256) for _ in range(n))), stream,
                               SLOW)


def search_tree_state(keys):
    """A model tree whose root leaf holds one search tree with the given keys, inserted."""
    model = kc.FIMTDDRegressor(grace_period=len(keys))
    for k in keys:
        model.learn_one({"a": k}, 1.0)  # constant target: never splits
    return model


def node_offset(payload, key):
    at = payload.find(struct.pack("<d", key))
    assert at >= 0 and payload.find(struct.pack("<d", key), at + 1) < 0
    return at


@pytest.mark.parametrize("corrupt", ["self", "backwards", "out_of_range", "two_parents",
                                     "orphan"])
def test_search_tree_structure_is_checked(corrupt):
    # Keys 2.5, 1.25, 3.75, 0.625 in that order: 2.5 is the root (index 0) with children
    # 1.25 (1) and 3.75 (2); 0.625 (3) is the left child of 1.25.
    model = search_tree_state([2.5, 1.25, 3.75, 0.625])
    state = kavro.inspect(model)["state"]
    tree = state["root"]["observers"]["a"]
    assert tree["pending"] == [] and tree["nodes"]["left"] == [1, 3, None, None]
    head, payload = split_state(kavro.dumps(model))
    p = bytearray(payload)
    root, mid, right = (node_offset(payload, k) for k in (2.5, 1.25, 3.75))
    if corrupt == "self":
        p[mid + 8:mid + 12] = struct.pack("<I", 1)
    elif corrupt == "backwards":
        p[mid + 8:mid + 12] = struct.pack("<I", 0)
    elif corrupt == "out_of_range":
        p[mid + 8:mid + 12] = struct.pack("<I", 4)
    elif corrupt == "two_parents":
        p[right + 8:right + 12] = struct.pack("<I", 3)
    else:
        p[root + 12:root + 16] = struct.pack("<I", 0xFFFFFFFF)
    with pytest.raises(ValueError, match="search-tree"):
        kavro.loads(seal(head, bytes(p)))
    # The untouched state loads and learns on.
    restored = kavro.loads(seal(head, payload))
    run_together([model, restored], make_stream(1, 50, 1))


def test_tree_structure_is_checked():
    # A leaf root marked as a split node has no children to route to.
    model = kc.HoeffdingTreeRegressor()
    head, payload = split_state(kavro.dumps(model))
    p = bytearray(payload)
    flag = 4 + 8 + 8 + 4 + 8 + 1  # parameters, then the root's presence byte
    assert p[flag] == 1
    p[flag] = 0
    with pytest.raises(ValueError, match="lacks a child"):
        kavro.loads(seal(head, bytes(p)))
    p[flag] = 2
    with pytest.raises(ValueError, match="boolean"):
        kavro.loads(seal(head, bytes(p)))
    p = bytearray(payload)
    p[0:4] = struct.pack("<i", 0)
    with pytest.raises(ValueError, match="grace_period"):
        kavro.loads(seal(head, bytes(p)))
