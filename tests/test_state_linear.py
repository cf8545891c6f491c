"""Saved state of the linear learners: restored copies continue exactly, weight tables keep
their bucket count and order through any growth history, damaged states are refused."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kavro_core as kc
import kavro

from state_roundtrip import PROFILE, check_continues, check_hostile, exercise, ops, reseal

settings.load_profile(PROFILE)

rates = st.floats(0.0, 1.0, allow_nan=False)
LINEAR = {
    "Perceptron": st.fixed_dictionaries({"learning_rate": rates}),
    "LogisticRegressionClassifier": st.fixed_dictionaries({"learning_rate": rates, "l2": rates}),
    "PassiveAggressiveClassifier": st.fixed_dictionaries({"C": rates}),
    "SoftmaxRegression": st.fixed_dictionaries({"learning_rate": rates, "l2": rates}),
    "LinearRegression": st.fixed_dictionaries({"learning_rate": rates, "l2": rates}),
    "BayesianLinearRegression": st.fixed_dictionaries({"alpha": rates, "beta": rates}),
    "PassiveAggressiveRegressor": st.fixed_dictionaries({"C": rates, "epsilon": rates}),
}


@pytest.mark.parametrize("name", sorted(LINEAR))
@given(data=st.data(), before=st.lists(ops, max_size=40), after=st.lists(ops, max_size=30))
def test_restored_copies_continue_exactly(name, data, before, after):
    params = data.draw(LINEAR[name])
    check_continues(getattr(kc, name)(**params), before, after)


@pytest.mark.parametrize("name", sorted(LINEAR))
def test_damaged_states_are_refused_or_work(name):
    rng = random.Random(7)
    model = getattr(kc, name)()
    for i in range(60):
        x = {f"f{rng.randrange(6)}": rng.uniform(-3, 3) for _ in range(3)}
        model.learn_one(x, rng.randrange(4) if isinstance(model, kc.IClassifier) else x.get("f0", 0.0))
    check_hostile(model, exercise, seed=len(name))


@pytest.mark.parametrize("n_labels,n_names", [(1, 1), (7, 3), (13, 40), (60, 5), (200, 120)])
def test_hash_tables_keep_bucket_count_and_order_through_growth(n_labels, n_names):
    # Perceptron answers in its label table's iteration order; the tables grow after the
    # copy, are emptied by reset (keeping their buckets) and grow again.
    rng = random.Random(n_labels * 1000 + n_names)

    def feed(model, labels, count):
        for _ in range(count):
            x = {f"n{rng.randrange(n_names)}": rng.uniform(-1, 1) for _ in range(4)}
            model.learn_one(x, rng.choice(labels))

    model = kc.Perceptron(learning_rate=0.5)
    feed(model, list(range(n_labels)), 4 * n_labels)
    for phase in range(3):
        copy = kavro.loads(kavro.dumps(model))
        assert kavro.dumps(copy) == kavro.dumps(model)
        probe = [{f"n{rng.randrange(n_names)}": rng.uniform(-1, 1)} for _ in range(5)]
        for x in probe:
            assert list(copy.predict_proba_one(x).items()) == list(model.predict_proba_one(x).items())
        grow_rng_state = rng.getstate()
        new_labels = list(range(n_labels * (phase + 1), n_labels * (phase + 2)))
        feed(model, new_labels, 3 * n_labels)
        rng.setstate(grow_rng_state)
        feed(copy, new_labels, 3 * n_labels)
        assert kavro.dumps(copy) == kavro.dumps(model)
        if phase == 1:
            model.reset()
            assert kavro.dumps(kavro.loads(kavro.dumps(model))) == kavro.dumps(model)


def test_labels_that_disagree_with_the_tables_are_refused():
    model = kc.LogisticRegressionClassifier()
    model.learn_one({"x": 1.0}, 1)
    assert kavro.inspect(model)["state"]["labels"] == [1]
    # The label set ends the payload (a count, then 4-byte labels): make its label 2.
    data = bytearray(kavro.dumps(model))
    data[-8:-4] = (2).to_bytes(4, "little")
    with pytest.raises(ValueError, match="labels disagree"):
        kavro.loads(reseal(data))
