import math
import random

import pytest

import _kavro_core as kc

kt = pytest.importorskip("_kavro_testing")

LOG_FLOOR = -690.7755278982137


class Reference:
    """Straight transcription of the model, walking records in the converted map's order."""

    def __init__(self):
        self.counts, self.stats, self.total = {}, {}, 0

    def learn(self, x, y):
        self.counts[y] = self.counts.get(y, 0) + 1
        self.total += 1
        for name in kt.record_keys(x):
            v = float(x[name])
            s = self.stats.setdefault(y, {}).setdefault(name, [0.0, 0.0, 0.0])
            s[0] += 1
            d = v - s[1]
            s[1] += d / s[0]
            s[2] += (v - s[1]) * d

    NEUTRAL = object()

    def term(self, s, v):
        if s[0] < 2:
            return None
        var = s[2] / (s[0] - 1)
        if var <= 0:
            return self.NEUTRAL if v == s[1] else None
        density = math.exp(-0.5 * ((v - s[1]) * (v - s[1])) / var) / math.sqrt(6.283185307179586 * var)
        return density if density > 1e-300 else None

    def log_scores(self, x):
        out = {}
        for c in kt.int_map_order(list(self.counts)):
            n = self.counts[c]
            score = math.log(n / self.total)
            for name in kt.record_keys(x):
                s = self.stats.get(c, {}).get(name)
                if s is None:
                    continue
                t = self.term(s, float(x[name]))
                if t is None:
                    score += LOG_FLOOR
                elif t is not self.NEUTRAL:
                    score += math.log(t)
            out[c] = score
        return out

    def proba(self, x):
        out = {}
        for c in kt.int_map_order(list(self.counts)):
            n = self.counts[c]
            p = n / self.total
            for name in kt.record_keys(x):
                s = self.stats.get(c, {}).get(name)
                if s is None:
                    continue
                t = self.term(s, float(x[name]))
                if t is None:
                    p *= 1e-300
                elif t is not self.NEUTRAL:
                    p *= t
            out[c] = p
        total = 0.0
        for p in out.values():  # plain left-to-right sum (builtin sum() is compensated)
            total += p
        return {c: p / total for c, p in out.items()} if total > 0 else out


def make_stream(n, seed, labels=3, features=4):
    rng = random.Random(seed)
    for _ in range(n):
        y = rng.randrange(labels)
        x = {f"f{j}": rng.gauss(y + j, 1.0) for j in range(features) if rng.random() < 0.9}
        yield x, y


class TestEmptyAndTiny:
    def test_untrained(self):
        nb = kc.NaiveBayes()
        assert nb.predict_one({"a": 1.0}) == -1
        assert nb.predict_proba_one({"a": 1.0}) == {}

    def test_single_example(self):
        nb = kc.NaiveBayes()
        nb.learn_one({"a": 1.0}, 3)
        assert nb.predict_one({"z": 5.0}) == 3
        assert nb.predict_proba_one({"a": 1.0}) == {3: 1.0}

    def test_feature_seen_once_costs_the_floor_but_unknown_costs_nothing(self):
        nb = kc.NaiveBayes()
        nb.learn_one({"a": 1.0}, 0)
        nb.learn_one({"a": 1.0}, 0)
        nb.learn_one({"a": 1.0}, 0)
        nb.learn_one({"b": 1.0}, 1)  # label 1 has seen "b" once and never "a"
        # "a" (variance 0, queried at its value) is neutral for 0; 1 has no "a" statistics.
        assert nb.predict_one({"a": 1.0}) == 0
        # "b" costs label 1 the floor; label 0 lacks "b" and pays nothing.
        assert nb.predict_one({"b": 1.0}) == 0
        proba = nb.predict_proba_one({"b": 1.0})
        assert proba[0] == 1.0 and proba[1] < 1e-299

    def test_zero_variance(self):
        nb = kc.NaiveBayes()
        for _ in range(2):
            nb.learn_one({"a": 2.0}, 0)
        nb.learn_one({}, 1)
        assert nb.predict_proba_one({"a": 2.0}) == pytest.approx({0: 2 / 3, 1: 1 / 3})
        assert nb.predict_one({"a": 2.5}) == 1  # the floor for any other value

    def test_empty_records_classify_by_priors(self):
        nb = kc.NaiveBayes()
        for y in (5, 5, 7):
            nb.learn_one({}, y)
        assert nb.predict_one({"q": 1.0}) == 5
        assert nb.predict_proba_one({}) == pytest.approx({5: 2 / 3, 7: 1 / 3})
        nb.learn_one({}, 7)
        # Equal counts: the label met first in the table's order, the one introduced last.
        assert nb.predict_one({}) == 7
        # The result map is filled in that order and iterates the other way round.
        assert list(nb.predict_proba_one({})) == [5, 7]

    def test_underflow_leaves_zeros_unnormalised(self):
        nb = kc.NaiveBayes()
        rng = random.Random(1)
        for i in range(40):
            nb.learn_one({f"f{j}": rng.random() for j in range(400)}, i % 2)
        far = {f"f{j}": 50.0 for j in range(400)}
        assert nb.predict_proba_one(far) == {1: 0.0, 0: 0.0}
        assert nb.predict_one(far) in (0, 1)

    def test_non_finite_values_take_the_floor(self):
        nb = kc.NaiveBayes()
        for v in (1.0, 2.0, float("nan")):
            nb.learn_one({"a": v}, 0)
        nb.learn_one({"a": 1.0}, 1)
        # A NaN mean gives a NaN density, which takes the floor like the count-1 label.
        assert nb.predict_proba_one({"a": 1.5}) == {1: 0.25, 0: 0.75}
        assert nb.predict_one({"a": float("inf")}) == 0


def test_matches_reference_bit_for_bit():
    nb, ref = kc.NaiveBayes(), Reference()
    for i, (x, y) in enumerate(make_stream(600, seed=3)):
        if i % 7 == 1:
            assert nb.predict_proba_one(x) == ref.proba(x)
            scores = ref.log_scores(x)
            winner = next(c for c in scores if scores[c] == max(scores.values()))
            assert nb.predict_one(x) == winner
        nb.learn_one(x, y)
        ref.learn(x, y)


def test_predictions_do_not_change_the_model():
    a, b = kc.NaiveBayes(), kc.NaiveBayes()
    probe = {"f0": 0.3, "unseen": 1.0}
    for x, y in make_stream(300, seed=4):
        a.learn_one(x, y)
        a.predict_one(probe)
        a.predict_proba_one(x)
        b.learn_one(x, y)
    assert a.predict_proba_one(probe) == b.predict_proba_one(probe)
    assert list(a.predict_proba_one(probe)) == list(b.predict_proba_one(probe))


def test_reset_equals_fresh():
    stream = list(make_stream(300, seed=5))
    used, fresh = kc.NaiveBayes(), kc.NaiveBayes()
    for x, y in make_stream(100, seed=6):
        used.learn_one(x, y)
    used.reset()
    assert used.predict_one({}) == -1 and used.predict_proba_one({}) == {}
    for x, y in stream:
        used.learn_one(x, y)
        fresh.learn_one(x, y)
    probe = stream[-1][0]
    assert used.predict_proba_one(probe) == fresh.predict_proba_one(probe)
    assert used.predict_one(probe) == fresh.predict_one(probe)
