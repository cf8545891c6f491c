import csv
import math
import random
import re
from collections import deque

import pytest

import _kavro_core as kc
from real_data import open_csv

kt = pytest.importorskip("_kavro_testing")

KNN = [kc.KNNClassifier, kc.KNNRegressor]


class RefKNN:
    """Straight transcription: dense window over a growing column numbering."""

    def __init__(self, n_neighbors=5, window_size=1000, p=2):
        self.k, self.cap, self.p = n_neighbors, window_size, p
        self.window, self.cols = deque(), {}

    def learn(self, x, y):
        if 0 <= self.cap <= len(self.window):
            self.window.popleft()
        for name in kt.record_keys(x):
            self.cols.setdefault(name, len(self.cols))
        for values, _ in self.window:
            values.extend([0.0] * (len(self.cols) - len(values)))
        values = [0.0] * len(self.cols)
        for name in kt.record_keys(x):
            values[self.cols[name]] = float(x[name])
        self.window.append((values, y))

    def distance(self, q, s):
        total = 0.0
        if self.p == 2:
            for a, b in zip(q, s):
                total += (a - b) * (a - b)
            return math.sqrt(total)
        if self.p == 1:
            for a, b in zip(q, s):
                total += abs(a - b)
            return total
        for a, b in zip(q, s):
            total += math.pow(abs(a - b), float(self.p))
        return math.pow(total, 1.0 / self.p)

    def nearest(self, x):
        q = [0.0] * len(self.cols)
        for name in kt.record_keys(x):
            if name in self.cols:
                q[self.cols[name]] = float(x[name])
        cands = [(self.distance(q, s), t) for s, t in self.window]
        return sorted(cands)[:min(self.k, len(cands))]

    def predict_label(self, x):
        near = self.nearest(x)
        if not near:
            return -1
        votes = {}
        for _, t in near:
            votes[t] = votes.get(t, 0) + 1
        best, result = -1, -1
        for t in kt.int_map_order(list(votes)):
            if votes[t] > best:
                best, result = votes[t], t
        return result

    def proba(self, x):
        near = self.nearest(x)
        out = {}
        for _, t in near:
            out[t] = out.get(t, 0.0) + 1.0 / len(near)
        return {t: out[t] for t in kt.int_map_order(list(out))}

    def predict_value(self, x):
        near = self.nearest(x)
        if not near:
            return 0.0
        sw = swt = 0.0
        for d, t in near:
            w = 1.0 / d if d > 1e-10 else 1e10
            sw += w
            swt += w * t
        return swt / sw if sw > 0 else 0.0


def grid_stream(n, seed, labels=(0, 1, 2, 7)):
    """Small integer values: many equal distances and vote ties; names keep arriving."""
    rng = random.Random(seed)
    for i in range(n):
        names = [f"c{j}" for j in range(3)] + [f"late{i // 40}"]
        x = {name: float(rng.randint(0, 2)) for name in names if rng.random() < 0.7}
        yield x, rng.choice(labels)


def items(d):
    return list(d.items())


@pytest.mark.parametrize("cls", KNN)
def test_constructor_and_properties(cls):
    doc = cls.__init__.__doc__.splitlines()[0]
    assert re.findall(r"(\w+): [\w.| ]+ = ([^,)]+)", doc) == [
        ("n_neighbors", "5"), ("window_size", "1000"), ("p", "2")]
    assert {n for n in dir(cls) if isinstance(getattr(cls, n), property)} == {"n_neighbors", "p"}
    m = cls(n_neighbors=3, window_size=7, p=1)
    assert (m.n_neighbors, m.p) == (3, 1)
    m.n_neighbors, m.p = 0, 4
    assert (m.n_neighbors, m.p) == (0, 4)


class TestUnsafeParameters:
    @pytest.mark.parametrize("cls", KNN)
    def test_zero_window_rejected(self, cls):
        with pytest.raises(ValueError, match=r"'window_size' must not be 0 \(got 0\)"):
            cls(window_size=0)

    @pytest.mark.parametrize("cls", KNN)
    def test_negative_neighbours_rejected_in_constructor_and_setter(self, cls):
        with pytest.raises(ValueError, match=r"'n_neighbors' .* 0 \(got -1\)"):
            cls(n_neighbors=-1)
        m = cls(n_neighbors=2)
        m.learn_one({"a": 1.0}, 1)
        with pytest.raises(ValueError, match=r"'n_neighbors' .*\(got -3\)"):
            m.n_neighbors = -3
        assert m.n_neighbors == 2
        assert m.predict_one({"a": 1.0}) == 1

    def test_zero_neighbours_acts_as_empty_window(self):
        c, r = kc.KNNClassifier(n_neighbors=0), kc.KNNRegressor(n_neighbors=0)
        for x, y in grid_stream(10, seed=1):
            c.learn_one(x, y)
            r.learn_one(x, float(y))
        assert c.predict_one({"c0": 1.0}) == -1 and c.predict_proba_one({"c0": 1.0}) == {}
        assert r.predict_one({"c0": 1.0}) == 0.0
        c.n_neighbors = 1
        assert c.predict_one({}) != -1

    def test_negative_window_is_unbounded(self):
        m = kc.KNNClassifier(n_neighbors=1, window_size=-1)
        m.learn_one({"a": 100.0}, 9)
        for i in range(1100):
            m.learn_one({"a": float(i % 10)}, 0)
        assert m.predict_one({"a": 100.0}) == 9
        bounded = kc.KNNClassifier(n_neighbors=1)
        bounded.learn_one({"a": 100.0}, 9)
        for i in range(1000):
            bounded.learn_one({"a": float(i % 10)}, 0)
        assert bounded.predict_one({"a": 100.0}) == 0


@pytest.mark.parametrize("k, window, p", [(1, 1000, 2), (4, 30, 2), (5, 3, 1), (3, 25, 3), (6, 40, 1)])
def test_matches_reference_bit_for_bit(k, window, p):
    c, r = kc.KNNClassifier(k, window, p), kc.KNNRegressor(k, window, p)
    ref = RefKNN(k, window, p)
    for i, (x, y) in enumerate(grid_stream(300, seed=k * 10 + p)):
        if i % 3 == 0:
            q = {**x, "unknown": 5.0} if i % 2 else x
            assert c.predict_one(q) == ref.predict_label(q)
            assert items(c.predict_proba_one(q)) == items(ref.proba(q))
            assert r.predict_one(q) == ref.predict_value(q)
        c.learn_one(x, y)
        r.learn_one(x, float(y))
        ref.learn(x, y)


class TestWindowAndColumns:
    def test_eviction_keeps_columns_and_late_columns_read_zero(self):
        m = kc.KNNClassifier(n_neighbors=1, window_size=3)
        m.learn_one({"a": 0.0}, 1)
        m.learn_one({"a": 5.0}, 2)
        m.learn_one({"a": 9.0}, 3)
        m.learn_one({"b": 4.0}, 4)  # evicts label 1; "b" is 0.0 in the two older samples
        assert m.predict_one({"a": 0.0}) == 4  # (0, 0) is nearest to (0, 4)
        assert m.predict_proba_one({"a": 5.0, "b": 0.0}) == {2: 1.0}
        m.learn_one({"b": 1.0}, 5)
        m.learn_one({"b": 2.0}, 6)
        m.learn_one({"b": 3.0}, 7)  # only "b" samples left; column "a" reads 0.0 for them
        assert m.predict_one({"a": 100.0, "b": 3.0}) == 7

    def test_unknown_names_are_ignored_and_not_added(self):
        m = kc.KNNRegressor(n_neighbors=2)
        m.learn_one({"a": 1.0}, 10.0)
        m.learn_one({"a": 3.0}, 20.0)
        assert m.predict_one({"a": 2.5, "zz": 100.0}) == m.predict_one({"a": 2.5})
        m.learn_one({"zz": 1.0}, 30.0)  # "zz" gets its column only now
        w = 1.0 / math.sqrt(2.0)
        assert m.predict_one({"a": 1.0}) == (1e10 * 10.0 + w * 30.0) / (1e10 + w)

    def test_fewer_samples_than_neighbours(self):
        m = kc.KNNClassifier(n_neighbors=5)
        for x, y in [({"a": 0.0}, 3), ({"a": 1.0}, 3), ({"a": 2.0}, 8)]:
            m.learn_one(x, y)
        assert m.predict_proba_one({"a": 0.0}) == {3: 1.0 / 3 + 1.0 / 3, 8: 1.0 / 3}
        assert m.predict_one({}) == 3


class TestClassifierTies:
    def test_equal_distance_prefers_smaller_label(self):
        m = kc.KNNClassifier(n_neighbors=1)
        m.learn_one({"a": 1.0}, 9)
        m.learn_one({"a": -1.0}, 4)
        m.learn_one({"a": -1.0}, 6)
        assert m.predict_one({"a": 0.0}) == 4
        assert m.predict_proba_one({"a": 0.0}) == {4: 1.0}

    def test_vote_tie_follows_the_vote_map_order(self):
        m = kc.KNNClassifier(n_neighbors=2)
        m.learn_one({"a": 0.0}, 0)
        m.learn_one({"a": 1.0}, 1)
        assert m.predict_one({"a": 0.0}) == kt.int_map_order([0, 1])[0] == 1
        assert items(m.predict_proba_one({"a": 0.0})) == [(1, 0.5), (0, 0.5)]

    def test_majority_is_unweighted(self):
        m = kc.KNNClassifier(n_neighbors=3)
        m.learn_one({"a": 0.0}, 5)
        m.learn_one({"a": 2.0}, 6)
        m.learn_one({"a": 2.5}, 6)
        assert m.predict_one({"a": 0.0}) == 6


class TestDistances:
    @pytest.mark.parametrize("p, d1, d2", [
        (1, 8.0, 9.0),
        (2, math.sqrt(26.0), math.sqrt(27.0)),
        (3, math.pow(92.0, 1.0 / 3.0), math.pow(93.0, 1.0 / 3.0)),
    ])
    def test_minkowski(self, p, d1, d2):
        m = kc.KNNRegressor(n_neighbors=2, p=p)
        m.learn_one({"a": 3.0, "b": -4.0, "c": 1.0}, 6.0)
        m.learn_one({"a": 3.0, "b": -4.0, "c": 1.0, "d": 1.0}, 0.0)
        w1, w2 = 1.0 / d1, 1.0 / d2
        assert m.predict_one({"c": 2.0}) == (w1 * 6.0 + w2 * 0.0) / (w1 + w2)

    def test_powers_below_one_are_refused(self):
        # p <= 0 is no distance (p = 0 puts every sample at infinity): refused everywhere.
        for cls in (kc.KNNClassifier, kc.KNNRegressor):
            for p in (0, -1):
                with pytest.raises(ValueError, match="'p'"):
                    cls(p=p)
            m = cls(p=3)
            with pytest.raises(ValueError, match="'p'"):
                m.p = 0
            assert m.p == 3

    def test_coincident_points_dominate(self):
        m = kc.KNNRegressor(n_neighbors=3)
        m.learn_one({"a": 1.0}, 10.0)
        m.learn_one({"a": 1.0}, 20.0)
        m.learn_one({"a": 2.0}, 1000.0)
        assert m.predict_one({"a": 1.0}) == (1e10 * 10.0 + 1e10 * 20.0 + 1.0 * 1000.0) / (2e10 + 1.0)


@pytest.mark.parametrize("cls", KNN)
def test_reset_and_predictions_leave_no_trace(cls):
    used, fresh = cls(n_neighbors=3, window_size=20), cls(n_neighbors=3, window_size=20)
    assert used.predict_one({"a": 1.0}) == (-1 if cls is kc.KNNClassifier else 0.0)
    for x, y in grid_stream(50, seed=5):
        used.learn_one(x, y)
    used.reset()
    assert used.predict_one({"c0": 1.0}) == (-1 if cls is kc.KNNClassifier else 0.0)
    for x, y in grid_stream(100, seed=6):
        used.predict_one({"never": 1.0, **x})
        used.learn_one(x, y)
        fresh.learn_one(x, y)
    for x, _ in grid_stream(30, seed=7):
        assert used.predict_one(x) == fresh.predict_one(x)
        if cls is kc.KNNClassifier:
            assert items(used.predict_proba_one(x)) == items(fresh.predict_proba_one(x))


def test_electricity_stream_is_learnt():
    with open_csv("electricity.csv") as f:
        rows = [row for _, row in zip(range(3000), csv.DictReader(f))]
    m, correct, ups = kc.KNNClassifier(window_size=500), 0, 0
    for row in rows:
        y = int(row.pop("class"))
        x = {k: float(v) for k, v in row.items()}
        correct += m.predict_one(x) == y
        ups += y
        m.learn_one(x, y)
    assert correct > max(ups, len(rows) - ups)
