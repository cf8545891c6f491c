import csv
import math
import random
import re

import pytest

import _kavro_core as kc
from real_data import open_csv

kt = pytest.importorskip("_kavro_testing")

INF = math.inf


def cexp(z):
    """exp with C semantics: overflow gives +inf instead of raising."""
    try:
        return math.exp(z)
    except OverflowError:
        return INF


def wsum(start, w, x):
    s = start
    for name in kt.record_keys(x):
        if name in w:
            s += w[name] * float(x[name])
    return s


def clip10(t):
    if t < -10.0:
        return -10.0
    if t < 10.0:
        return t
    return 10.0


def normalised(order, raw, sum_order=None):
    """A ProbabilityMap filled in `order`: dict in the map's own order, divided when sum > 0."""
    total = 0.0
    for c in sum_order if sum_order is not None else order:
        total += raw[c]
    out = {c: raw[c] for c in kt.int_map_order(order)}
    return {c: p / total for c, p in out.items()} if total > 0 else out


class RefMulti:
    """Per-label sparse weights and biases, shared by the linear classifier references."""

    def __init__(self, **params):
        self.__dict__.update(params)
        self.w, self.b, self.intro = {}, {}, []

    def add(self, y):
        if y not in self.w:
            self.w[y], self.b[y] = {}, 0.0
            self.intro.append(y)

    def score(self, c, x):
        return wsum(self.b[c], self.w[c], x)

    def order(self):
        return sorted(self.w)

    def predict(self, x):
        order = self.order()
        if not order:
            return 0
        best, result = -INF, order[0]
        for c in order:
            s = self.score(c, x)
            if s > best:
                best, result = s, c
        return result

    def proba(self, x):
        order = self.order()
        return normalised(order, {c: cexp(self.score(c, x)) for c in order})

    def move(self, up, down, step, x):
        for name in kt.record_keys(x):
            v = float(x[name])
            self.w[up][name] = self.w[up].get(name, 0.0) + step * v
            self.w[down][name] = self.w[down].get(name, 0.0) - step * v
        self.b[up] += step
        self.b[down] -= step

    def gradient_step(self, c, g, x):
        w = self.w[c]
        for name in kt.record_keys(x):
            old = w.get(name, 0.0)
            w[name] = old + self.learning_rate * (g * float(x[name]) - self.l2 * old)
        self.b[c] += self.learning_rate * g


class RefPerceptron(RefMulti):
    def order(self):
        return kt.int_map_order(self.intro)

    def learn(self, x, y):
        self.add(y)
        p = self.predict(x)
        if p != y:
            self.move(y, p, self.learning_rate, x)


class RefLogistic(RefMulti):
    def learn(self, x, y):
        self.add(y)
        for c in self.order():
            s = self.score(c, x)
            if s >= 500 or math.isnan(s):
                p = 1 / (1 + math.exp(-500))
            elif s <= -500:
                p = 1 / (1 + math.exp(500))
            else:
                p = 1 / (1 + math.exp(-s))
            self.gradient_step(c, (1.0 if c == y else 0.0) - p, x)


class RefPassiveAggressive(RefMulti):
    def learn(self, x, y):
        self.add(y)
        s_y = self.score(y, x)
        best, rival = -INF, None
        for c in self.order():
            if c != y and self.score(c, x) > best:
                best, rival = self.score(c, x), c
        if rival is None:
            return
        loss = 1.0 - (s_y - best)
        if not loss > 0:
            return
        squares = 0.0
        for name in kt.record_keys(x):
            squares += float(x[name]) * float(x[name])
        q = loss / (2.0 * (squares + 1.0))
        self.move(y, rival, q if q < self.C else self.C, x)


class RefSoftmax(RefMulti):
    def proba(self, x):
        order = self.order()
        if not order:
            return {}
        z = {c: self.score(c, x) for c in order}
        largest = -INF
        for c in order:
            if z[c] > largest:
                largest = z[c]
        raw = {c: math.exp(z[c] - largest) for c in order}
        return normalised(order, raw, sum_order=kt.int_map_order(order))

    def predict(self, x):
        if not self.w:
            return 0
        result, best = self.order()[0], -1.0
        for c, p in self.proba(x).items():
            if p > best:
                best, result = p, c
        return result

    def learn(self, x, y):
        self.add(y)
        probs = self.proba(x)
        for c in self.order():
            self.gradient_step(c, (1.0 if c == y else 0.0) - probs[c], x)


CLASSIFIERS = [
    (kc.Perceptron, RefPerceptron, {"learning_rate": 0.05}),
    (kc.LogisticRegressionClassifier, RefLogistic, {"learning_rate": 0.05, "l2": 0.01}),
    (kc.PassiveAggressiveClassifier, RefPassiveAggressive, {"C": 0.5}),
    (kc.SoftmaxRegression, RefSoftmax, {"learning_rate": 0.05, "l2": 0.01}),
]


def class_stream(n, seed, labels=(3, -1, 8, 0)):
    rng = random.Random(seed)
    for _ in range(n):
        y = rng.choice(labels)
        x = {f"f{j}": rng.gauss(0.3 * y + j, 1.0) for j in range(6) if rng.random() < 0.8}
        if rng.random() < 0.05:
            x = {}
        yield x, y


def items(d):
    return list(d.items())


def constructor_signature(cls):
    doc = cls.__init__.__doc__.splitlines()[0]
    return re.findall(r"(\w+): [\w.| ]+ = ([^,)]+)", doc)


@pytest.mark.parametrize("cls, expected, props", [
    (kc.Perceptron, [("learning_rate", "0.01")], set()),
    (kc.LogisticRegressionClassifier, [("learning_rate", "0.01"), ("l2", "0.0")],
     {"learning_rate", "l2"}),
    (kc.PassiveAggressiveClassifier, [("C", "1.0")], set()),
    (kc.SoftmaxRegression, [("learning_rate", "0.01"), ("l2", "0.0")], {"learning_rate", "l2"}),
    (kc.LinearRegression, [("learning_rate", "0.01"), ("l2", "0.0")], {"learning_rate", "l2"}),
    (kc.BayesianLinearRegression, [("alpha", "1.0"), ("beta", "1.0")], {"alpha", "beta"}),
    (kc.PassiveAggressiveRegressor, [("C", "1.0"), ("epsilon", "0.1")], {"C", "epsilon"}),
])
def test_constructor_and_properties(cls, expected, props):
    assert constructor_signature(cls) == expected
    assert {n for n in dir(cls) if isinstance(getattr(cls, n), property)} == props
    family = kc.IClassifier if issubclass(cls, kc.IClassifier) else kc.IRegressor
    assert cls.__bases__ == (family,)
    obj = cls(**{name: 0.25 for name, _ in expected})
    for name in props:
        assert getattr(obj, name) == 0.25
        setattr(obj, name, 0.5)
        assert getattr(obj, name) == 0.5


class TestClassifiersCommon:
    @pytest.mark.parametrize("cls, ref, params", CLASSIFIERS)
    def test_matches_reference_bit_for_bit(self, cls, ref, params):
        model, reference = cls(**params), ref(**params)
        # Predictions (also of names never learnt) must leave the model as the reference.
        for i, (x, y) in enumerate(class_stream(500, seed=11)):
            if i % 5 == 2:
                q = {**x, "new": 1.0} if i % 2 else x
                assert items(model.predict_proba_one(q)) == items(reference.proba(q))
                assert model.predict_one(q) == reference.predict(q)
            model.learn_one(x, y)
            reference.learn(x, y)
        probe = {"f1": 2.0, "f4": -1.0, "never": 9.0}
        assert items(model.predict_proba_one(probe)) == items(reference.proba(probe))

    @pytest.mark.parametrize("cls", [c for c, _, _ in CLASSIFIERS])
    def test_fresh_and_empty_records(self, cls):
        model = cls()
        assert model.predict_one({"a": 1.0}) == 0
        assert model.predict_proba_one({"a": 1.0}) == {}
        for x, y in class_stream(60, seed=2):
            model.learn_one(x, y)
        # Unknown names are ignored.
        assert items(model.predict_proba_one({"zz": 3.0})) == items(model.predict_proba_one({}))

    @pytest.mark.parametrize("cls, ref, params", CLASSIFIERS)
    def test_reset_then_relearn_equals_fresh(self, cls, ref, params):
        used, fresh = cls(**params), cls(**params)
        for x, y in class_stream(100, seed=4, labels=(5, 6)):
            used.learn_one(x, y)
        used.reset()
        assert used.predict_one({"f0": 1.0}) == 0 and used.predict_proba_one({}) == {}
        # Single-label warm-up avoids hash-order ties (reset keeps the grown buckets).
        stream = [({"f0": 1.0}, 1)] + list(class_stream(200, seed=5))
        for x, y in stream:
            used.learn_one(x, y)
            fresh.learn_one(x, y)
        probe = {"f0": 0.5, "f3": 2.5}
        assert used.predict_proba_one(probe) == fresh.predict_proba_one(probe)
        assert used.predict_one(probe) == fresh.predict_one(probe)

    @pytest.mark.parametrize("cls, params", [
        (kc.Perceptron, {"learning_rate": 1.0}),
        (kc.LogisticRegressionClassifier, {"learning_rate": 1.0}),
        (kc.PassiveAggressiveClassifier, {"C": 1.0}),
    ])
    def test_raw_exponent_overflows_to_nan(self, cls, params):
        model = cls(**params)
        for _ in range(3):
            model.learn_one({"a": 1.0}, 0)
            model.learn_one({"a": -1.0}, 1)
        proba = model.predict_proba_one({"a": 1e6})
        assert math.isnan(proba[0]) and proba[1] == 0.0

    def test_softmax_stays_finite(self):
        model = kc.SoftmaxRegression(learning_rate=1.0)
        for _ in range(3):
            model.learn_one({"a": 1.0}, 0)
            model.learn_one({"a": -1.0}, 1)
        assert model.predict_proba_one({"a": 1e6}) == {0: 1.0, 1: 0.0}
        assert model.predict_one({"a": 1e6}) == 0


class TestPerceptron:
    def test_single_label(self):
        p = kc.Perceptron()
        p.learn_one({"a": 1.0, "b": -2.0}, 7)
        assert p.predict_one({"a": -5.0}) == 7
        assert p.predict_proba_one({"a": 3.0}) == {7: 1.0}

    def test_tie_goes_to_newest_label_and_a_mistake_moves_two_labels(self):
        p = kc.Perceptron(learning_rate=0.5)
        p.learn_one({"a": 1.0}, 1)
        p.learn_one({"a": 1.0}, 2)  # zero scores: newest label 2 first, correct, no change
        assert p.predict_proba_one({"a": 1.0}) == {1: 0.5, 2: 0.5}
        assert p.predict_one({"a": 1.0}) == 2
        p.learn_one({"a": 1.0}, 3)  # 3 wins the tie, no change
        p.learn_one({"a": 1.0}, 1)  # predicted 3: moves 1 up and 3 down, 2 untouched
        proba = p.predict_proba_one({"a": 1.0})
        e = {1: math.exp(1.0), 2: 1.0, 3: math.exp(-1.0)}
        total = 0.0
        for c in kt.int_map_order([1, 2, 3]):  # summed in the weight table's order
            total += e[c]
        assert proba == {c: e[c] / total for c in e}
        assert p.predict_one({"a": 1.0}) == 1


class TestLogisticRegression:
    def test_single_label_bias_climbs(self):
        m = kc.LogisticRegressionClassifier(learning_rate=0.1)
        m.learn_one({}, 4)
        m.learn_one({}, 4)
        b = 0.1 * (1 - 0.5)
        b += 0.1 * (1 - 1 / (1 + math.exp(-b)))
        assert m.predict_proba_one({"x": 1.0}) == {4: 1.0}
        # The bias is the score of an empty record: recover it through a second label.
        m.learn_one({}, 9)
        b4 = b + 0.1 * (0.0 - 1 / (1 + math.exp(-b)))
        b9 = 0.1 * (1.0 - 0.5)
        total = math.exp(b4) + math.exp(b9)
        assert m.predict_proba_one({}) == {4: math.exp(b4) / total, 9: math.exp(b9) / total}

    def test_ties_keep_the_smaller_label(self):
        m = kc.LogisticRegressionClassifier(learning_rate=0.0)
        m.learn_one({"a": 1.0}, 5)
        m.learn_one({"a": 1.0}, 2)
        assert m.predict_one({"a": 1.0}) == 2
        assert m.predict_proba_one({"a": 1.0}) == {2: 0.5, 5: 0.5}

    def test_training_clamps_scores_and_nan(self):
        m, ref = kc.LogisticRegressionClassifier(learning_rate=1.0), RefLogistic(learning_rate=1.0, l2=0.0)
        values = [1e300, 600.0, -1e300, -700.0, 2.0, float("nan"), float("inf"), 1e-3]
        for i in range(40):
            x, y = {"a": values[i % 8], "b": values[(3 * i) % 8] * 0.5}, i % 3
            assert repr(items(m.predict_proba_one(x))) == repr(items(ref.proba(x)))
            assert m.predict_one(x) == ref.predict(x)
            m.learn_one(x, y)
            ref.learn(x, y)


class TestPassiveAggressiveClassifier:
    def test_single_label_never_moves(self):
        m = kc.PassiveAggressiveClassifier()
        for v in (1.0, -3.0, 10.0):
            m.learn_one({"a": v}, 2)
        assert m.predict_proba_one({"a": 100.0}) == {2: 1.0}

    def test_zero_cap_never_moves(self):
        m = kc.PassiveAggressiveClassifier(C=0.0)
        for x, y in class_stream(50, seed=8):
            m.learn_one(x, y)
        assert set(m.predict_proba_one({"f0": 3.0}).values()) == {0.25}

    def test_step_and_margin(self):
        m = kc.PassiveAggressiveClassifier(C=10.0)
        m.learn_one({"a": 1.0}, 0)
        m.learn_one({"a": 1.0}, 1)  # loss 1, tau = 1 / (2 * 2) = 0.25
        assert m.predict_proba_one({}) == pytest.approx(
            {0: 1 / (1 + math.exp(0.5)), 1: 1 / (1 + math.exp(-0.5))}, rel=1e-15)
        assert m.predict_proba_one({"a": 2.0}) == pytest.approx(
            {0: 1 / (1 + math.exp(1.5)), 1: 1 / (1 + math.exp(-1.5))}, rel=1e-15)
        before = m.predict_proba_one({"a": 1.0})
        m.learn_one({"a": 1.0}, 1)  # leads by exactly 1: loss 0, no update
        m.learn_one({"a": 3.0}, 1)  # leads by 2
        assert m.predict_proba_one({"a": 1.0}) == before

    def test_empty_record_step_is_half_the_loss(self):
        m = kc.PassiveAggressiveClassifier()
        m.learn_one({}, 0)
        m.learn_one({}, 1)  # loss 1, tau = min(1, 1/2)
        total = math.exp(-0.5) + math.exp(0.5)
        assert m.predict_proba_one({}) == {0: math.exp(-0.5) / total, 1: math.exp(0.5) / total}

    def test_nan_feature_takes_the_cap(self):
        m = kc.PassiveAggressiveClassifier(C=0.125)
        m.learn_one({"a": 1.0}, 0)
        m.learn_one({"a": 1.0, "b": float("nan")}, 1)
        proba = m.predict_proba_one({"a": 1.0})
        assert proba == pytest.approx({0: 1 / (1 + math.exp(0.5)), 1: 1 / (1 + math.exp(-0.5))})


class TestSoftmaxRegression:
    def test_tie_follows_the_probability_map_order(self):
        m = kc.SoftmaxRegression(learning_rate=0.0)
        m.learn_one({}, 2)
        m.learn_one({}, 5)
        assert m.predict_proba_one({}) == {2: 0.5, 5: 0.5}
        assert m.predict_one({}) == kt.int_map_order([2, 5])[0] == 5

    def test_single_label_only_decays(self):
        m = kc.SoftmaxRegression(learning_rate=0.5, l2=0.1)
        for v in (1.0, 2.0, -4.0):
            m.learn_one({"a": v}, 3)
        assert m.predict_proba_one({"a": 7.0}) == {3: 1.0}
        m.learn_one({}, 4)  # label 3's weight stayed 0: biases become -0.25 and 0.25
        assert m.predict_proba_one({"a": 100.0}) == pytest.approx(
            {3: 1 / (1 + math.exp(0.5)), 4: 1 / (1 + math.exp(-0.5))}, rel=1e-15)


# Regressors ---------------------------------------------------------------------------------

class RefLinear:
    def __init__(self, learning_rate=0.01, l2=0.0):
        self.lr, self.l2, self.w, self.bias = learning_rate, l2, {}, 0.0

    def predict(self, x):
        return wsum(self.bias, self.w, x)

    def learn(self, x, y):
        e = clip10(y - self.predict(x))
        for name in kt.record_keys(x):
            old = self.w.get(name, 0.0)
            self.w[name] = old + self.lr * (clip10(e * float(x[name])) - self.l2 * old)
        self.bias += self.lr * e


class RefBayes:
    def __init__(self, alpha=1.0, beta=1.0):
        self.alpha, self.beta, self.prec, self.mean, self.bp, self.bm = alpha, beta, {}, {}, 0.0, 0.0

    def predict(self, x):
        return wsum(self.bm, self.mean, x)

    def learn(self, x, y):
        e = clip10(y - self.predict(x))
        self.bp += self.beta
        self.bm += (self.beta / self.bp) * e
        for name in kt.record_keys(x):
            v = float(x[name])
            p = self.prec.get(name, self.alpha)
            self.mean[name] = self.mean.get(name, 0.0) + clip10(self.beta * v * e / (p + self.beta * (v * v)))
            self.prec[name] = p + self.beta * (v * v)


class RefPAR:
    def __init__(self, C=1.0, epsilon=0.1):
        self.C, self.eps, self.w, self.bias = C, epsilon, {}, 0.0

    def predict(self, x):
        return wsum(self.bias, self.w, x)

    def learn(self, x, y):
        u = y - self.predict(x)
        loss = abs(u) - self.eps
        if not loss > 0:
            return
        n = 1.0
        for name in kt.record_keys(x):
            n += float(x[name]) * float(x[name])
        tau = loss / n
        step = (1.0 if u > 0 else -1.0) * (tau if tau < self.C else self.C)
        for name in kt.record_keys(x):
            self.w[name] = self.w.get(name, 0.0) + step * float(x[name])
        self.bias += step


REGRESSORS = [
    (kc.LinearRegression, RefLinear, {"learning_rate": 0.02, "l2": 0.001}),
    (kc.BayesianLinearRegression, RefBayes, {"alpha": 0.5, "beta": 2.0}),
    (kc.PassiveAggressiveRegressor, RefPAR, {"C": 0.3, "epsilon": 0.05}),
]


def read_stream(name, target, n, cast):
    with open_csv(name) as f:
        rows = [row for _, row in zip(range(n), csv.DictReader(f))]
    return [({k: float(v) for k, v in row.items() if k != target}, cast(row[target])) for row in rows]


def reg_stream(n, seed):
    rng = random.Random(seed)
    for _ in range(n):
        x = {f"g{j}": rng.uniform(-2, 2) for j in range(5) if rng.random() < 0.8}
        y = 3.0 * x.get("g0", 0.0) - x.get("g3", 0.0) + rng.gauss(0, 0.3) + (40 if rng.random() < 0.02 else 0)
        yield x, y


class TestRegressorsCommon:
    @pytest.mark.parametrize("cls, ref, params", REGRESSORS)
    def test_matches_reference_bit_for_bit(self, cls, ref, params):
        model, reference = cls(**params), ref(**params)
        for i, (x, y) in enumerate(reg_stream(600, seed=21)):
            if i % 4 == 0:
                assert model.predict_one(x) == reference.predict(x)
            model.learn_one(x, y)
            reference.learn(x, y)

    @pytest.mark.parametrize("cls, ref, params", REGRESSORS)
    def test_reset_and_predictions_leave_no_trace(self, cls, ref, params):
        used, fresh = cls(**params), cls(**params)
        assert used.predict_one({"a": 3.0}) == 0.0
        for x, y in reg_stream(100, seed=22):
            used.learn_one(x, y)
        used.reset()
        assert used.predict_one({"g0": 1.0}) == 0.0
        for x, y in reg_stream(200, seed=23):
            used.predict_one({"fresh_name": 1.0})
            used.learn_one(x, y)
            fresh.learn_one(x, y)
        probe = {"g0": 0.7, "g2": -1.1, "unseen": 5.0}
        assert used.predict_one(probe) == fresh.predict_one(probe)

    def test_fried_stream_beats_the_mean(self):
        stream = read_stream("fried.csv", "target", 4000, float)
        for cls in (kc.LinearRegression, kc.BayesianLinearRegression, kc.PassiveAggressiveRegressor):
            model, err, base, mean, n = cls(), 0.0, 0.0, 0.0, 0
            for x, y in stream:
                if n >= 1000:
                    err += abs(model.predict_one(x) - y)
                    base += abs(mean - y)
                model.learn_one(x, y)
                n += 1
                mean += (y - mean) / n
            assert err < 0.8 * base, cls.__name__


class TestLinearRegression:
    def test_clipped_error_and_gradient(self):
        m = kc.LinearRegression(learning_rate=0.1)
        m.learn_one({}, 100.0)  # error clipped to 10: bias 1.0
        assert m.predict_one({"a": 5.0}) == 1.0
        m = kc.LinearRegression(learning_rate=0.1, l2=0.5)
        m.learn_one({"a": 5.0}, 3.0)  # gradient 15 clipped to 10: weight 1.0, bias 0.3
        assert m.predict_one({"a": 1.0}) == 1.0 + 0.1 * 3.0
        m.learn_one({"a": 0.0}, m.predict_one({"a": 0.0}))  # zero error: only the penalty acts
        assert m.predict_one({"a": 1.0}) == 0.1 * 3.0 + (1.0 + 0.1 * (0.0 - 0.5 * 1.0))

    def test_nan_error_clips_to_plus_ten(self):
        m = kc.LinearRegression(learning_rate=0.1)
        m.learn_one({"a": float("nan")}, 1.0)
        assert m.predict_one({"a": 2.0}) == 0.1 * 10 * 2 + 0.1 * 1.0
        m = kc.LinearRegression(learning_rate=0.1)
        m.learn_one({}, float("nan"))
        assert m.predict_one({}) == 1.0


class TestBayesianLinearRegression:
    def test_bias_only(self):
        m = kc.BayesianLinearRegression()
        m.learn_one({}, 4.0)
        assert m.predict_one({}) == 4.0
        m.learn_one({}, 4.0)
        assert m.predict_one({}) == 4.0
        m.learn_one({}, 7.0)  # precision 3: moves by 3 / 3
        assert m.predict_one({}) == 5.0

    def test_one_feature(self):
        m = kc.BayesianLinearRegression()
        m.learn_one({"a": 1.0}, 4.0)
        assert m.predict_one({"a": 1.0}) == 6.0
        m.learn_one({"a": 1.0}, 6.0 + 3.0)  # e = 3; bias precision 2, feature precision 2
        assert m.predict_one({"a": 1.0}) == (4.0 + 1.5) + (2.0 + 1.0 * 3.0 / (2.0 + 1.0))

    def test_alpha_written_later_applies_to_new_features_only(self):
        m = kc.BayesianLinearRegression()
        m.learn_one({"a": 1.0}, 4.0)
        m.alpha = 3.0
        m.learn_one({"a": 1.0, "b": 1.0}, 6.0 + 2.0)  # e = 2
        assert m.predict_one({"a": 1.0}) == 5.0 + (2.0 + 2.0 / 3.0)
        assert m.predict_one({"b": 1.0}) == 5.0 + 2.0 / 4.0


class TestPassiveAggressiveRegressor:
    def test_examples(self):
        m = kc.PassiveAggressiveRegressor()
        m.learn_one({}, 5.0)  # loss 4.9, capped step 1.0
        assert m.predict_one({}) == 1.0
        m = kc.PassiveAggressiveRegressor(epsilon=0.5)
        m.learn_one({}, 5.0)
        m.learn_one({}, 1.5)  # |u| = epsilon: no change, either side
        m.learn_one({}, 0.5)
        assert m.predict_one({}) == 1.0
        m.learn_one({"a": 2.0}, 0.0)  # u = -1, loss 0.5, tau 0.5 / 5 = 0.1
        assert m.predict_one({"a": 1.0}) == (1.0 - 0.1) + -0.1 * 2.0

    def test_negative_epsilon_with_zero_error_steps_down(self):
        m = kc.PassiveAggressiveRegressor(C=0.25, epsilon=-1.0)
        m.learn_one({}, 0.0)
        assert m.predict_one({}) == -0.25

    def test_nan_feature_reaches_its_weight_only(self):
        m = kc.PassiveAggressiveRegressor()
        m.learn_one({"a": 1.0, "b": float("nan")}, 5.0)
        assert m.predict_one({"a": 1.0}) == 2.0
        assert math.isnan(m.predict_one({"b": 1.0}))


def test_electricity_stream_is_learnt():
    stream = read_stream("electricity.csv", "class", 5000, int)
    ups = sum(y for _, y in stream)
    majority = max(ups, len(stream) - ups)
    for cls in (kc.Perceptron, kc.LogisticRegressionClassifier, kc.PassiveAggressiveClassifier,
                kc.SoftmaxRegression):
        model, correct = cls(), 0
        for x, y in stream:
            correct += model.predict_one(x) == y
            model.learn_one(x, y)
        assert correct > majority, cls.__name__
