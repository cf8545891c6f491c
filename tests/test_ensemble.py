import csv
import math
import random

import pytest

import _kavro_core as kc
from real_data import open_csv

CLASSIFIERS = [kc.ARFClassifier, kc.SRPClassifier, kc.LeveragingBaggingClassifier, kc.SGBTClassifier]
REGRESSORS = [kc.ARFRegressor, kc.SRPRegressor, kc.LeveragingBaggingRegressor, kc.SGBRRegressor]

# Small configurations so that the streams below stay quick.
SMALL = {
    kc.ARFClassifier: dict(n_models=3, grace_period=20),
    kc.SRPClassifier: dict(n_models=3, grace_period=20),
    kc.LeveragingBaggingClassifier: dict(n_models=3, grace_period=20),
    kc.SGBTClassifier: dict(n_models=5, grace_period=20),
    kc.ARFRegressor: dict(n_models=3, grace_period=20),
    kc.SRPRegressor: dict(n_models=3, grace_period=20),
    kc.LeveragingBaggingRegressor: dict(n_models=3, grace_period=20),
    kc.SGBRRegressor: dict(n_models=3, bag_size=3, grace_period=20),
}


def sigmoid(f):
    return 1.0 / (1.0 + math.exp(-f)) if f >= 0 else math.exp(f) / (1.0 + math.exp(f))


def class_stream(seed, n, n_features=4, noise=0.0, flip_at=None):
    """Labels from a linear threshold over the first three features, optionally flipped."""
    r = random.Random(seed)
    for t in range(n):
        x = {f"f{i}": r.random() for i in range(n_features)}
        y = int(x["f0"] + x.get("f1", 0.5) + x.get("f2", 0.5) > 1.5)
        if flip_at is not None and t >= flip_at:
            y = 1 - y
        if noise and r.random() < noise:
            y = 1 - y
        yield x, y


def reg_stream(seed, n, n_features=4):
    r = random.Random(seed)
    for _ in range(n):
        x = {f"f{i}": r.random() for i in range(n_features)}
        yield x, 3.0 * x["f0"] - 2.0 * x["f1"] + x.get("f2", 0.0) + 0.1 * r.random()


def prequential(model, stream):
    hits = []
    for x, y in stream:
        hits.append(model.predict_one(x) == y)
        model.learn_one(x, y)
    return hits


def influential(model, probe, features, delta=5.0):
    """Names whose change alters the prediction at `probe`."""
    base = model.predict_one(probe)
    out = set()
    for name in features:
        moved = dict(probe)
        moved[name] = probe.get(name, 0.5) + delta
        if model.predict_one(moved) != base:
            out.add(name)
    return out


# --- empty models and registration ------------------------------------------------


@pytest.mark.parametrize("cls", CLASSIFIERS)
def test_untrained_classifiers_answer_empty(cls):
    model = cls()
    assert isinstance(model, kc.IClassifier)
    assert model.predict_proba_one({"a": 1.0}) == {}
    assert model.predict_one({"a": 1.0}) == 0
    assert model.predict_one({}) == 0


@pytest.mark.parametrize("cls", REGRESSORS)
def test_untrained_regressors_predict_zero(cls):
    model = cls()
    assert isinstance(model, kc.IRegressor)
    assert model.predict_one({"a": 1.0}) == 0.0
    assert model.predict_one({}) == 0.0


def test_constructor_keywords_and_attributes():
    arf = kc.ARFClassifier(n_models=3, seed=7, lambda_value=2.0, drift_delta=0.01, warning_delta=0.1,
                           grace_period=10, max_depth=5, split_confidence=0.1, subspace_size=2)
    assert (arf.n_models, arf.seed) == (3, 7)
    arf.n_models, arf.seed = 4, 9
    assert (arf.n_models, arf.seed) == (4, 9)
    kc.ARFRegressor(n_models=2, seed=1, lambda_value=1.0, drift_delta=0.01, warning_delta=0.1,
                    grace_period=10, max_depth=5, learning_rate=0.1)
    kc.SRPClassifier(n_models=2, seed=1, lambda_value=1.0, drift_delta=0.01, warning_delta=0.1,
                     grace_period=10, max_depth=5, split_confidence=0.1, subspace_fraction=0.5,
                     training_method="subspaces")
    kc.SRPRegressor(n_models=2, seed=1, lambda_value=1.0, drift_delta=0.01, warning_delta=0.1,
                    grace_period=10, max_depth=5, learning_rate=0.1, subspace_fraction=0.5,
                    training_method="resampling")
    kc.LeveragingBaggingClassifier(n_models=2, seed=1, lambda_value=1.0, drift_delta=0.01,
                                   grace_period=10, max_depth=5, split_confidence=0.1)
    kc.LeveragingBaggingRegressor(n_models=2, seed=1, lambda_value=1.0, drift_delta=0.01,
                                  grace_period=10, max_depth=5, split_confidence=0.1,
                                  leaf_prediction="mean")
    sgbt = kc.SGBTClassifier(n_models=2, learning_rate=0.1, percentage_of_features=50,
                             multiply_hessian_by=2, skip_training=2, use_squared_loss=True, bag_size=2,
                             n_classes=2, scale_prediction_by_lr=True, grace_period=10,
                             split_confidence=0.1, max_depth=5, leaf_prediction="adaptive", seed=3)
    assert (sgbt.n_models, sgbt.n_classes, sgbt.seed) == (2, 2, 3)
    sgbr = kc.SGBRRegressor(n_models=2, learning_rate=0.1, percentage_of_features=50,
                            multiply_hessian_by=2, skip_training=2, bag_size=2, grace_period=10,
                            split_confidence=0.1, max_depth=5, leaf_prediction="adaptive", seed=3)
    sgbr.seed = 5
    assert (sgbr.n_models, sgbr.seed) == (2, 5)


@pytest.mark.parametrize("cls", [kc.ARFClassifier, kc.ARFRegressor, kc.SRPClassifier, kc.SRPRegressor,
                                 kc.LeveragingBaggingClassifier])
def test_zero_grace_period_is_rejected(cls):
    # Member trees take the remainder of their example count by it.
    with pytest.raises(ValueError, match="grace_period"):
        cls(grace_period=0)


def test_leveraging_regressor_member_counts():
    with pytest.raises(ValueError, match="n_models"):
        kc.LeveragingBaggingRegressor(n_models=-1)
    model = kc.LeveragingBaggingRegressor(n_models=2)
    with pytest.raises(ValueError, match="n_models"):
        model.n_models = -3
    assert model.n_models == 2
    # No members: only the target statistics move, and predictions stay 0.
    empty = kc.LeveragingBaggingRegressor(n_models=0)
    for x, y in reg_stream(1, 50):
        empty.learn_one(x, y)
    assert empty.predict_one({"f0": 0.5, "f1": 0.5}) == 0.0


@pytest.mark.parametrize("cls", [kc.ARFClassifier, kc.SRPClassifier, kc.LeveragingBaggingClassifier,
                                 kc.ARFRegressor, kc.SRPRegressor])
def test_zero_or_negative_n_models_gives_one_member(cls):
    models = [cls(n_models=n, grace_period=20) for n in (0, -5, 1)]
    probes = []
    for x, y in (class_stream(3, 300) if cls in CLASSIFIERS else reg_stream(3, 300)):
        for m in models:
            m.learn_one(x, y)
        probes.append(x)
    for x in probes[:40]:
        answers = {m.predict_one(x) for m in models}
        assert len(answers) == 1


# --- determinism ------------------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSIFIERS + REGRESSORS)
def test_equal_parameters_and_streams_agree_and_reset_reproduces(cls):
    make = lambda: cls(**SMALL[cls])
    a, b = make(), make()
    stream = list(class_stream(5, 400, noise=0.1) if cls in CLASSIFIERS else reg_stream(5, 400))
    probes = [x for x, _ in stream[::20]]

    def run(model):
        for x, y in stream:
            model.learn_one(x, y)
        if cls in CLASSIFIERS:
            return [(model.predict_one(x), sorted(model.predict_proba_one(x).items())) for x in probes]
        return [model.predict_one(x) for x in probes]

    first = run(a)
    assert run(b) == first
    a.reset()
    assert a.predict_one(probes[0]) == 0
    assert run(a) == first
    # A different seed changes the randomised ensembles.
    if cls is not kc.SGBTClassifier:
        c = cls(**{**SMALL[cls], "seed": 12345})
        assert run(c) != first


def test_bagging_seed_written_between_resets_waits_for_reset():
    a, b = kc.LeveragingBaggingRegressor(n_models=2), kc.LeveragingBaggingRegressor(n_models=2)
    b.seed = 9
    stream = list(reg_stream(13, 300))
    for x, y in stream:
        a.learn_one(x, y)
        b.learn_one(x, y)
    probes = [x for x, _ in stream[::30]]
    assert [a.predict_one(x) for x in probes] == [b.predict_one(x) for x in probes]
    b.reset()
    for x, y in stream:
        b.learn_one(x, y)
    assert [a.predict_one(x) for x in probes] != [b.predict_one(x) for x in probes]


# --- subspaces ----------------------------------------------------------------------


@pytest.mark.parametrize("n_features,default_k,other_k", [(10, 4, 3), (3, 2, 1), (1, 0, 5)])
def test_arf_classifier_default_subspace_size(n_features, default_k, other_k):
    """Default size is floor(sqrt(n)) + 1; sizes of n or more mean no restriction."""
    stream = list(class_stream(8, 600, n_features=n_features, noise=0.05))
    probes = [x for x, _ in stream[::15]]

    def answers(k):
        model = kc.ARFClassifier(n_models=3, grace_period=20, subspace_size=k)
        for x, y in stream:
            model.learn_one(x, y)
        return [sorted(model.predict_proba_one(x).items()) for x in probes]

    default = answers(-1)
    assert default == answers(default_k)
    if n_features == 1:
        assert default == answers(other_k)  # unrestricted either way
    else:
        assert default != answers(other_k)


@pytest.mark.parametrize("n_features,kept", [(10, 3), (7, 3), (2, 1)])
def test_arf_regressor_member_keeps_round_sqrt_features(n_features, kept):
    model = kc.ARFRegressor(n_models=1, grace_period=20, lambda_value=1.0)
    names = [f"f{i}" for i in range(n_features)]
    r = random.Random(4)
    for _ in range(600):
        x = {n: r.random() for n in names}
        model.learn_one(x, sum((i + 1) * v for i, v in enumerate(x.values())))
    probe = {n: 0.5 for n in names}
    assert len(influential(model, probe, names)) == kept


@pytest.mark.parametrize("n_features,fraction,kept", [(10, 0.6, 6), (1, 0.6, 1), (2, 0.1, 1)])
def test_srp_member_subspace_size(n_features, fraction, kept):
    names = [f"f{i}" for i in range(n_features)]
    model = kc.SRPRegressor(n_models=1, grace_period=20, subspace_fraction=fraction, lambda_value=1.0)
    r = random.Random(6)
    for t in range(600):
        x = {n: r.random() for n in names}
        if t > 0:
            x["late"] = r.random()  # first seen after the member was initialised
        model.learn_one(x, sum((i + 1) * x[n] for i, n in enumerate(names)) + 5 * x.get("late", 0))
    probe = {n: 0.5 for n in names + ["late"]}
    found = influential(model, probe, names + ["late"])
    assert len(found) == kept and "late" not in found


def test_srp_resampling_sees_all_features():
    names = [f"f{i}" for i in range(5)]
    model = kc.SRPRegressor(n_models=1, grace_period=20, training_method="resampling", lambda_value=1.0)
    r = random.Random(2)
    for _ in range(600):
        x = {n: r.random() for n in names}
        model.learn_one(x, sum((i + 1) * x[n] for i, n in enumerate(names)))
    assert len(influential(model, {n: 0.5 for n in names}, names)) == 5


def test_srp_subspaces_depend_on_seed_only():
    names = [f"f{i}" for i in range(10)]

    def subset(seed, stream_seed):
        model = kc.SRPRegressor(n_models=1, seed=seed, grace_period=20, lambda_value=1.0)
        r = random.Random(stream_seed)
        for _ in range(500):
            x = {n: r.random() for n in names}
            model.learn_one(x, sum((i + 1) * x[n] for i, n in enumerate(names)))
        return influential(model, {n: 0.5 for n in names}, names)

    assert subset(0, 1) == subset(0, 2)
    assert any(subset(s, 1) != subset(0, 1) for s in (1, 2, 3))


def test_srp_member_initialised_on_an_empty_record_sees_nothing():
    model = kc.SRPRegressor(n_models=1, grace_period=20, lambda_value=1.0)
    model.learn_one({}, 1.0)
    r = random.Random(3)
    for _ in range(300):
        x = {"a": r.random(), "b": r.random()}
        model.learn_one(x, 10 * x["a"])
    assert model.predict_one({"a": 0.0, "b": 0.0}) == model.predict_one({"a": 1.0, "b": 1.0})


@pytest.mark.parametrize("n_features,percentage,kept", [(4, 75, 3), (1, 75, 1), (2, 25, 2)])
def test_booster_stage_feature_count(n_features, percentage, kept):
    names = [f"f{i}" for i in range(n_features)]
    model = kc.SGBRRegressor(n_models=1, bag_size=1, percentage_of_features=percentage,
                             leaf_prediction="perceptron", grace_period=10000)
    r = random.Random(9)
    for _ in range(200):
        x = {n: r.random() for n in names}
        model.learn_one(x, sum((i + 1) * x[n] for i, n in enumerate(names)))
    assert len(influential(model, {n: 0.5 for n in names}, names)) == kept


# --- voting ---------------------------------------------------------------------------


@pytest.mark.parametrize("cls", [kc.ARFClassifier, kc.SRPClassifier])
def test_member_that_was_always_wrong_does_not_vote(cls):
    model = cls(n_models=1)
    model.learn_one({"a": 1.0}, 1)  # the empty tree predicted 0: accuracy 0 so far
    assert model.predict_proba_one({"a": 1.0}) == {}
    assert model.predict_one({"a": 1.0}) == 0
    model.learn_one({"a": 1.0}, 1)  # now right once: weight 1/2, votes again
    assert model.predict_proba_one({"a": 1.0}) == {1: 1.0}


# --- gradient boosting ------------------------------------------------------------------


def test_sgbt_single_class_and_first_stage_targets():
    model = kc.SGBTClassifier()
    model.learn_one({"a": 1.0}, 5)
    assert model.predict_proba_one({"a": 1.0}) == {5: 1.0}
    assert model.predict_one({"a": 1.0}) == 5

    # One stage, one tree predicting its leaf mean: the mean of the Newton targets
    # (+2 for target 1, -2 for target 0 at F = 0) is the booster's output.
    kw = dict(n_models=1, bag_size=1, leaf_prediction="mean", grace_period=1000)
    two = kc.SGBTClassifier(n_classes=2, **kw)
    ovr = kc.SGBTClassifier(**kw)
    for y in (0, 0, 1):
        two.learn_one({"a": 1.0}, y)
        ovr.learn_one({"a": 1.0}, y)
    p = two.predict_proba_one({"a": 1.0})
    assert p[0] == pytest.approx(sigmoid(2 / 3)) and p[1] == pytest.approx(1 - sigmoid(2 / 3))
    a0, a1 = 1 - sigmoid(-2 / 3), 1 - sigmoid(-2.0)
    q = ovr.predict_proba_one({"a": 1.0})
    assert q[0] == pytest.approx(a0 / (a0 + a1)) and q[1] == pytest.approx(a1 / (a0 + a1))
    # The late class's booster has seen only its own example, so it wins here.
    assert two.predict_one({"a": 1.0}) == 0 and ovr.predict_one({"a": 1.0}) == 1


def test_sgbt_late_class_gets_its_own_booster():
    model = kc.SGBTClassifier(n_models=1, bag_size=1, grace_period=1000)
    for y in (3, 3, 1):
        model.learn_one({"a": 1.0}, y)
    proba = model.predict_proba_one({"a": 1.0})
    assert set(proba) == {1, 3} and math.isclose(sum(proba.values()), 1.0)
    model.reset()
    assert model.predict_proba_one({"a": 1.0}) == {}


def test_sgbt_survives_changing_n_classes_mid_stream():
    model = kc.SGBTClassifier(n_models=2, n_classes=2)
    for y in (0, 1, 2, 1):
        model.learn_one({"a": float(y)}, y)
    model.n_classes = 0  # one booster for three classes now
    for y in (5, 0, 2):
        model.learn_one({"a": float(y)}, y)
    proba = model.predict_proba_one({"a": 1.0})
    assert set(proba) <= {0, 1, 2, 5} and math.isclose(sum(proba.values()), 1.0)
    model.n_classes = 2
    assert set(model.predict_proba_one({"a": 1.0})) == {0, 1}


def test_sgbr_first_example_and_empty_records():
    model = kc.SGBRRegressor(n_models=1, bag_size=1)
    model.learn_one({}, 9.0)  # no features to draw stages from: nothing learnt yet
    assert model.predict_one({"a": 1.0}) == 0.0
    model.learn_one({"a": 1.0}, 5.0)
    assert model.predict_one({"a": 1.0}) == 5.0
    model.reset()
    assert model.predict_one({"a": 1.0}) == 0.0


def test_boosters_learn_a_concept():
    model = kc.SGBTClassifier(n_models=10, learning_rate=0.5, grace_period=50)
    hits = prequential(model, class_stream(21, 1500, noise=0.05))
    assert sum(hits[-500:]) / 500 > 0.8
    reg = kc.SGBRRegressor(n_models=3, bag_size=3)
    stream = list(reg_stream(22, 1500))
    errors = []
    for x, y in stream:
        errors.append(abs(reg.predict_one(x) - y))
        reg.learn_one(x, y)
    assert sum(errors[-300:]) / 300 < 0.5 * sum(errors[:300]) / 300


# --- learning quality ---------------------------------------------------------------


def test_ensembles_beat_a_single_tree_on_a_noisy_concept():
    r = random.Random(1)
    stream = []
    for _ in range(2000):
        x = {f"f{i}": r.random() for i in range(6)}
        y = int((x["f0"] > 0.5 and x["f1"] > 0.3) or (x["f0"] <= 0.5 and x["f2"] > 0.7))
        stream.append((x, 1 - y if r.random() < 0.1 else y))
    single = sum(prequential(kc.HoeffdingTreeClassifier(grace_period=50), stream))
    for cls in (kc.ARFClassifier, kc.SRPClassifier, kc.LeveragingBaggingClassifier):
        assert sum(prequential(cls(n_models=5), stream)) > single + 60, cls.__name__


@pytest.mark.parametrize("cls", [kc.ARFClassifier, kc.SRPClassifier, kc.LeveragingBaggingClassifier])
def test_abrupt_change_is_followed_by_recovery(cls):
    model = cls(n_models=5, grace_period=50)
    hits = prequential(model, class_stream(41, 3000, n_features=3, noise=0.02, flip_at=1500))
    before = sum(hits[1000:1500]) / 500
    just_after = sum(hits[1500:1600]) / 100
    recovered = sum(hits[2500:]) / 500
    assert before > 0.78
    assert just_after < before - 0.25
    assert recovered > 0.8


def test_regression_forests_track_the_target():
    for cls in (kc.ARFRegressor, kc.SRPRegressor, kc.LeveragingBaggingRegressor):
        model = cls(n_models=3, grace_period=50)
        errors, baseline, mean = [], [], 0.0
        for n, (x, y) in enumerate(reg_stream(51, 1500), start=1):
            errors.append(abs(model.predict_one(x) - y))
            baseline.append(abs(mean - y))
            model.learn_one(x, y)
            mean += (y - mean) / n
        assert sum(errors[-300:]) < 0.7 * sum(baseline[-300:]), cls.__name__


def test_arf_on_electricity():
    with open_csv("electricity.csv") as f:
        rows = list(csv.DictReader(f))[:4000]
    model = kc.ARFClassifier()
    hits = 0
    for row in rows:
        y = int(row.pop("class"))
        x = {k: float(v) for k, v in row.items()}
        hits += model.predict_one(x) == y
        model.learn_one(x, y)
    assert hits / len(rows) > 0.8


# --- transcriptions of the ensemble layer over the library's own trees ------------------


class MT:
    """32-bit Mersenne Twister seeded like std::mt19937, with the library's draws."""

    def __init__(self, seed):
        mt = [seed & 0xFFFFFFFF]
        for i in range(1, 624):
            mt.append((1812433253 * (mt[-1] ^ (mt[-1] >> 30)) + i) & 0xFFFFFFFF)
        self.r = random.Random()
        self.r.setstate((3, tuple(mt) + (624,), None))

    def u32(self):
        return self.r.getrandbits(32)

    def canonical(self):
        u = (float(self.u32()) + float(self.u32()) * 4294967296.0) / 18446744073709551616.0
        return u if u < 1.0 else math.nextafter(1.0, 0.0)

    def poisson(self, lam):
        assert lam < 12
        k, prod, limit = 0, 1.0, math.exp(-lam)
        while True:
            prod *= self.canonical()
            if prod <= limit:
                return k
            k += 1

    def uniform(self, r):
        scaling = 4294967295 // (r + 1)
        while True:
            u = self.u32()
            if u < (r + 1) * scaling:
                return u // scaling

    def shuffle(self, v):
        n = len(v)
        if n < 2:
            return
        if 4294967295 // n < n:
            for i in range(1, n):
                j = self.uniform(i)
                v[i], v[j] = v[j], v[i]
            return
        i = 1
        if n % 2 == 0:
            j = self.uniform(1)
            v[1], v[j] = v[j], v[1]
            i = 2
        while i < n:
            b = self.uniform((i + 1) * (i + 2) - 1)
            a, c = b // (i + 2), b % (i + 2)
            v[i], v[a] = v[a], v[i]
            v[i + 1], v[c] = v[c], v[i + 1]
            i += 2


def restrict(x, names):
    return {n: x[n] for n in names if n in x} if names else x


class RefForest:
    """Warning/background/drift members with the accuracy-weighted vote (classifier) or
    the plain mean (regressor); `patch` draws a member's subspace on its first example."""

    def __init__(self, n, make_tree, lam, patch, classifier, resample=True, mean_over_all=True):
        self.make_tree, self.lam, self.patch, self.classifier = make_tree, lam, patch, classifier
        self.resample, self.mean_over_all = resample, mean_over_all
        self.rng = MT(0)
        self.members = [dict(fg=None, bg=None, dd=kc.ADWIN(0.001), wd=kc.ADWIN(0.01), sub=[],
                             ok=0.0, seen=0.0) for _ in range(n)]

    def learn_one(self, x, y):
        for i, m in enumerate(self.members):
            if m["fg"] is None:
                m["fg"], m["sub"] = self.make_tree(), self.patch(x, i, self.rng)
            r = restrict(x, m["sub"])
            p = m["fg"].predict_one(r)
            m["seen"] += 1
            m["ok"] += p == y
            err = float(p != y) if self.classifier else abs(y - p)
            k = self.rng.poisson(self.lam) if self.resample else 1
            for tree in (m["fg"], m["bg"]):
                for _ in range(k if tree is not None else 0):
                    tree.learn_one(r, y)
            m["wd"].update(err)
            if m["wd"].drift_detected and m["bg"] is None:
                m["bg"], m["wd"] = self.make_tree(), kc.ADWIN(0.01)
            m["dd"].update(err)
            if m["dd"].drift_detected:
                m["fg"] = m["bg"] or self.make_tree()
                m.update(bg=None, dd=kc.ADWIN(0.001), wd=kc.ADWIN(0.01), ok=0.0, seen=0.0)

    def predict_proba_one(self, x):
        out, total = {}, 0.0
        for m in self.members:
            w = m["ok"] / m["seen"] if m["seen"] > 0 else 1.0
            if m["fg"] is None or w <= 0:
                continue
            proba = m["fg"].predict_proba_one(restrict(x, m["sub"]))
            s = sum(proba.values())
            if proba and s > 0:
                for c, p in proba.items():
                    out[c] = out.get(c, 0.0) + w * p / s
                    total += w * p / s
        return {c: v / total for c, v in out.items()} if total > 0 else out

    def predict_one(self, x):
        total, voters = 0.0, 0
        for m in self.members:
            if m["fg"] is not None:
                total += m["fg"].predict_one(restrict(x, m["sub"]))  # plain left-to-right sum
                voters += 1
        if self.mean_over_all:
            return total / len(self.members)
        return total / voters if voters else 0.0


def ht_classifier():
    return kc.HoeffdingTreeClassifier(grace_period=20, split_confidence=0.01, tie_threshold=0.05,
                                      nb_threshold=0, max_depth=20, split_criterion="info_gain")


def ht_regressor():
    return kc.HoeffdingTreeRegressor(grace_period=20, split_confidence=1e-7, tie_threshold=0.05,
                                     max_depth=20, learning_rate=0.01)


def arf_patch(x, i, rng):
    names = sorted(x)
    k = min(max(int(math.floor(math.sqrt(len(names)) + 0.5)), 1), len(names))
    rng.shuffle(names)
    return names[:k]


def srp_patch(x, i, rng):
    names = sorted(x)
    m = min(int(math.floor(len(names) * 0.6 + 0.5)), len(names))
    m = m if m >= 2 else 1
    MT((7919 * (i + 1)) & 0xFFFFFFFF).shuffle(names)
    return sorted(names[:m])


def drifting_regression(seed, n):
    r = random.Random(seed)
    for t in range(n):
        x = {f"f{i}": r.random() for i in range(5)}
        w = 3.0 if t < n // 2 else -4.0
        yield x, w * x["f0"] + 2.0 * x["f1"] - x["f3"] + 0.1 * r.random()


REFERENCES = {
    "arf_classifier": (lambda: kc.ARFClassifier(n_models=3, grace_period=20, subspace_size=0),
                       lambda: RefForest(3, ht_classifier, 6.0, lambda x, i, r: [], True)),
    "arf_regressor": (lambda: kc.ARFRegressor(n_models=3, grace_period=20),
                      lambda: RefForest(3, ht_regressor, 6.0, arf_patch, False)),
    "srp_classifier": (lambda: kc.SRPClassifier(n_models=3, grace_period=20),
                       lambda: RefForest(3, ht_classifier, 6.0, srp_patch, True)),
    "srp_subspaces": (lambda: kc.SRPClassifier(n_models=3, grace_period=20, training_method="subspaces"),
                      lambda: RefForest(3, ht_classifier, 6.0, srp_patch, True, resample=False)),
    "srp_regressor": (lambda: kc.SRPRegressor(n_models=3, grace_period=20),
                      lambda: RefForest(3, ht_regressor, 6.0, srp_patch, False, mean_over_all=False)),
}


@pytest.mark.parametrize("name", list(REFERENCES))
def test_forests_match_transcription(name):
    make, make_ref = REFERENCES[name]
    model, ref = make(), make_ref()
    classifier = name.endswith("classifier") or name == "srp_subspaces"
    stream = (class_stream(61, 900, n_features=5, noise=0.1, flip_at=450) if classifier
              else drifting_regression(61, 900))
    for t, (x, y) in enumerate(stream):
        if t % 25 == 0:
            if classifier:
                assert model.predict_proba_one(x) == ref.predict_proba_one(x)
            else:
                assert model.predict_one(x) == ref.predict_one(x)
        model.learn_one(x, y)
        ref.learn_one(x, y)


def model_tree(leaf_prediction, seed, grace_period=20, split_confidence=0.01):
    return kc.FIMTDDRegressor(grace_period=grace_period, split_confidence=split_confidence,
                              tie_threshold=0.05, max_depth=20, leaf_prediction=leaf_prediction,
                              seed=seed)


class RefBagging:
    def __init__(self, n, classifier):
        self.classifier, self.rng = classifier, MT(0)
        self.make = (lambda i: ht_classifier()) if classifier else (lambda i: model_tree("adaptive", i))
        self.members = [[self.make(i), kc.ADWIN(0.002)] for i in range(n)]
        self.count = self.total = self.total_sq = 0.0

    def learn_one(self, x, y):
        if not self.classifier:
            self.count += 1
            self.total += y
            self.total_sq += y * y
            v = (self.total_sq - self.total * self.total / self.count) / self.count if self.count > 1 else 0
            sigma = math.sqrt(v) if v > 0 else 1.0
        for i, m in enumerate(self.members):
            p = m[0].predict_one(x)
            if not self.classifier:
                m[1].update(abs(p - y) / sigma)
            for _ in range(self.rng.poisson(6.0)):
                m[0].learn_one(x, y)
            if self.classifier:
                m[1].update(float(p != y))
            if m[1].drift_detected:
                m[:] = [self.make(i), kc.ADWIN(0.002)]

    def predict_proba_one(self, x):
        out, total = {}, 0.0
        for tree, _ in self.members:
            proba = tree.predict_proba_one(x)
            s = sum(proba.values())
            if s > 0:
                for c, p in proba.items():
                    out[c] = out.get(c, 0.0) + p / s
                    total += p / s
        return {c: v / total for c, v in out.items()} if total > 0 else out

    def predict_one(self, x):
        total = 0.0
        for tree, _ in self.members:
            total += tree.predict_one(x)
        return total / len(self.members)


class RefBooster:
    def __init__(self, stages, bag, pct, lr, squared, leaf_prediction="mean", skip=1, hessian_by=1):
        self.stages, self.bag, self.pct, self.lr, self.squared = stages, bag, pct, lr, squared
        self.leaf_prediction, self.rng, self.features, self.trees = leaf_prediction, MT(1), None, None
        self.skip, self.hessian_by = skip, hessian_by

    def train(self, x, target):
        if self.skip > 1 and self.rng.uniform(self.skip - 1) == 0:
            return
        if self.features is None:
            names = sorted(x)
            n = len(names)
            m = math.floor(self.pct / 100 * n + 0.5)
            m = max(1, min(n, m + 1)) if m <= 1 else min(m, n)
            perm, self.features, self.trees = list(range(n)), [], []
            for _ in range(self.stages):
                for k in range(m):
                    j = k + self.rng.uniform(n - 1 - k)
                    perm[k], perm[j] = perm[j], perm[k]
                self.features.append(sorted(names[i] for i in perm[:m]))
                self.trees.append([model_tree(self.leaf_prediction, 1, 25, 0.05) for _ in range(self.bag)])
        f = 0.0
        for names, trees in zip(self.features, self.trees):
            if self.squared:
                r, h = target - f, 1.0
            else:
                p = sigmoid(f)
                r, h = target - p, max(1e-12, p * (1 - p))
            xs, stage = restrict(x, names), 0.0
            w = 1 if self.hessian_by <= 1 else max(1, math.ceil(self.hessian_by * h))
            for tree in trees:
                for _ in range(w * (self.rng.poisson(1.0) if self.bag > 1 else 1)):
                    tree.learn_one(xs, r / h)
                stage += tree.predict_one(xs)
            f = f + self.lr * (stage / len(trees))

    def predict(self, x):
        f = 0.0
        for names, trees in zip(self.features, self.trees):
            stage = 0.0
            for tree in trees:
                stage += tree.predict_one(restrict(x, names))
            f += stage / len(trees)
        return f


def test_bagging_matches_transcription():
    model, ref = kc.LeveragingBaggingClassifier(n_models=3, grace_period=20), RefBagging(3, True)
    for t, (x, y) in enumerate(class_stream(71, 900, n_features=5, noise=0.1, flip_at=450)):
        if t % 25 == 0:
            assert model.predict_proba_one(x) == ref.predict_proba_one(x)
        model.learn_one(x, y)
        ref.learn_one(x, y)
    model, ref = kc.LeveragingBaggingRegressor(n_models=3, grace_period=20), RefBagging(3, False)
    for t, (x, y) in enumerate(drifting_regression(72, 600)):
        if t % 25 == 0:
            assert model.predict_one(x) == ref.predict_one(x)
        model.learn_one(x, y)
        ref.learn_one(x, y)


def test_boosters_match_transcription():
    # Two-class mode: one logistic booster, target 1.0 for the smaller label.
    model = kc.SGBTClassifier(n_models=4, bag_size=2, n_classes=2, percentage_of_features=60,
                              learning_rate=0.3)
    ref, seen = RefBooster(4, 2, 60, 0.3, False), set()
    for t, (x, y) in enumerate(class_stream(81, 400, n_features=5, noise=0.1)):
        model.learn_one(x, y)
        seen.add(y)
        ref.train(x, 1.0 if y == min(seen) else 0.0)  # smallest label seen so far
        if t % 25 == 24:
            assert model.predict_proba_one(x)[0] == sigmoid(ref.predict(x))
    # One-versus-rest: a booster per class, inserted at the class's sorted position.
    kw = dict(n_models=3, bag_size=2, percentage_of_features=50, learning_rate=0.5)
    model = kc.SGBTClassifier(skip_training=3, multiply_hessian_by=3, **kw)
    refs = {}
    r = random.Random(83)
    for t in range(400):
        x = {f"f{i}": r.random() for i in range(4)}
        y = min(int(x["f0"] * 3), 2) if t >= 30 else 2 * int(x["f0"] > 0.5)  # label 1 arrives late
        model.learn_one(x, y)
        refs.setdefault(y, RefBooster(3, 2, 50, 0.5, False, skip=3, hessian_by=3))
        for c in sorted(refs):
            refs[c].train(x, 0.0 if c == y else 1.0)
        if t % 25 == 24:
            a = {c: 1 - sigmoid(b.predict(x)) if b.features else 0.5 for c, b in refs.items()}
            total = 0.0
            for c in sorted(a):
                total += a[c]
            assert model.predict_proba_one(x) == {c: v / total for c, v in a.items()}
    model = kc.SGBRRegressor(n_models=3, bag_size=3, grace_period=25, split_confidence=0.05)
    ref = RefBooster(3, 3, 75, 1.0, True)
    for t, (x, y) in enumerate(drifting_regression(82, 400)):
        model.learn_one(x, y)
        ref.train(x, y)
        if t % 25 == 24:
            assert model.predict_one(x) == ref.predict(x)
