import itertools
import math
import random
import statistics

import pytest

from kavro import datasets
from kavro.datasets import LED, SEA, Agrawal, ConceptDrift, Friedman, Hyperplane, RandomRBF

ALL = [
    lambda seed: SEA(variant=1, noise=0.1, seed=seed),
    lambda seed: Agrawal(function=4, noise=0.05, perturbation=0.1, seed=seed),
    lambda seed: Hyperplane(mag_change=0.01, seed=seed),
    lambda seed: RandomRBF(n_centroids=5, change_speed=0.01, seed=seed),
    lambda seed: LED(seed=seed),
    lambda seed: Friedman(seed=seed),
    lambda seed: ConceptDrift(SEA(variant=0, seed=seed), SEA(variant=2, seed=seed + 1), position=20,
                              width=10, seed=seed),
]


@pytest.mark.parametrize("make", ALL)
def test_reproducible_by_seed(make):
    a, b = make(3), make(3)
    assert a.take(60) == b.take(60)
    assert a.take(60) == a.take(60)  # iterating again starts over
    assert make(4).take(60) != a.take(60)


@pytest.mark.parametrize("make", ALL)
def test_records_are_fresh_float_dicts(make):
    rows = make(1).take(30)
    assert all(isinstance(x, dict) and all(type(v) is float for v in x.values()) for x, _ in rows)
    assert len({id(x) for x, _ in rows}) == 30


def test_n_samples_bounds_the_stream():
    gen = SEA(n_samples=7)
    assert len(gen) == 7 and len(list(gen)) == 7
    with pytest.raises(TypeError, match="endless"):
        len(SEA())
    with pytest.raises(ValueError, match="n_samples"):
        SEA(n_samples=-1)


class TestSEA:
    @pytest.mark.parametrize("x0, x1, labels", [(3.0, 5.0, [1, 1, 0, 1]), (4.0, 4.5, [0, 1, 0, 1]),
                                                (9.0, 0.4, [0, 0, 0, 1])])
    def test_hand_checked_labels(self, x0, x1, labels):
        assert [SEA.label({"x0": x0, "x1": x1, "x2": 7.0}, v) for v in range(4)] == labels

    def test_rows_follow_the_concept(self):
        for variant in range(4):
            rows = SEA(variant=variant, seed=variant).take(500)
            assert all(0.0 <= v < 10.0 for x, _ in rows for v in x.values())
            assert all(y == SEA.label(x, variant) for x, y in rows)
            assert list(rows[0][0]) == ["x0", "x1", "x2"]

    def test_noise_flips_that_share_of_labels(self):
        rows = SEA(noise=0.2, seed=5).take(5000)
        flipped = sum(y != SEA.label(x, 0) for x, y in rows) / len(rows)
        assert 0.18 < flipped < 0.22

    @pytest.mark.parametrize("kwargs", [{"variant": 4}, {"noise": -0.1}, {"noise": 1.5}])
    def test_bad_parameters(self, kwargs):
        with pytest.raises(ValueError):
            SEA(**kwargs)


class TestAgrawal:
    R1 = dict(salary=60000, commission=20000, age=30, elevel=1, car=5, zipcode=2, hvalue=500000,
              hyears=25, loan=150000)
    R2 = dict(salary=120000, commission=0, age=50, elevel=4, car=1, zipcode=8, hvalue=100000,
              hyears=10, loan=450000)
    R3 = dict(salary=30000, commission=50000, age=70, elevel=0, car=3, zipcode=0, hvalue=900000,
              hyears=30, loan=350000)

    @pytest.mark.parametrize("record, labels", [
        (R1, [0, 0, 0, 0, 0, 0, 0, 0, 0, 0]),
        (R2, [1, 0, 1, 0, 1, 0, 1, 0, 1, 0]),
        (R3, [0, 0, 1, 0, 0, 1, 1, 0, 1, 0]),
    ])
    def test_hand_checked_functions(self, record, labels):
        x = {k: float(v) for k, v in record.items()}
        assert [Agrawal.label(x, f) for f in range(10)] == labels

    def test_boundaries_of_age_bands(self):
        x = {k: float(v) for k, v in self.R1.items()}
        assert [Agrawal.label({**x, "age": a}, 0) for a in (39, 40, 59, 60)] == [0, 1, 1, 0]

    def test_attribute_distributions(self):
        rows = Agrawal(seed=11).take(3000)
        for x, _ in rows:
            assert list(x) == list(Agrawal.FEATURES)
            assert 20000 <= x["salary"] <= 150000
            assert (x["commission"] == 0.0) == (x["salary"] >= 75000)
            assert x["commission"] == 0.0 or 10000 <= x["commission"] <= 75000
            assert x["age"] in range(20, 81) and x["elevel"] in range(5) and x["car"] in range(1, 21)
            assert x["zipcode"] in range(9) and x["hyears"] in range(1, 31)
            k = 9 - x["zipcode"]
            assert 50000 * k <= x["hvalue"] <= 150000 * k
            assert 0 <= x["loan"] <= 500000
        assert {x["elevel"] for x, _ in rows} == {0.0, 1.0, 2.0, 3.0, 4.0}

    @pytest.mark.parametrize("function", range(10))
    def test_rows_follow_their_function(self, function):
        rows = Agrawal(function=function, seed=function).take(2000)
        assert all(y == Agrawal.label(x, function) for x, y in rows)
        assert {y for _, y in rows} == {0, 1}

    def test_perturbation_moves_values_within_range_after_labelling(self):
        (plain, y_plain), = Agrawal(function=1, seed=2).take(1)
        (moved, y_moved), = Agrawal(function=1, perturbation=0.2, seed=2).take(1)
        assert y_plain == y_moved
        assert 0 < abs(plain["salary"] - moved["salary"]) <= 0.1 * 130000
        rows = Agrawal(function=1, perturbation=0.2, seed=2).take(2000)
        assert all(20 <= x["age"] <= 80 and 0 <= x["loan"] <= 500000 for x, _ in rows)
        mismatched = sum(y != Agrawal.label(x, 1) for x, y in rows)
        assert 0 < mismatched < 400

    @pytest.mark.parametrize("kwargs", [{"function": 10}, {"function": -1}, {"perturbation": 2.0}])
    def test_bad_parameters(self, kwargs):
        with pytest.raises(ValueError):
            Agrawal(**kwargs)


class TestHyperplane:
    def test_labels_follow_the_initial_hyperplane(self):
        d, seed = 5, 9
        init = random.Random(seed)
        w = [init.random() for _ in range(d)]
        rows = Hyperplane(n_features=d, n_drift_features=0, noise=0.0, seed=seed).take(1000)
        for x, y in rows:
            assert y == int(sum(wi * x[f"x{i}"] for i, wi in enumerate(w)) >= 0.5 * sum(w))
        assert 0.3 < statistics.mean(y for _, y in rows) < 0.7

    def test_drifting_weights_move_by_mag_change(self):
        d, seed, mag = 4, 3, 0.05
        init = random.Random(seed)
        w0 = [init.random() for _ in range(d)]
        rows = Hyperplane(n_features=d, n_drift_features=2, mag_change=mag, sigma=0.0, noise=0.0,
                          seed=seed).take(400)
        for t, (x, y) in enumerate(rows):
            w = [wi + (t * mag if i < 2 else 0.0) for i, wi in enumerate(w0)]
            s = sum(wi * x[f"x{i}"] for i, wi in enumerate(w))
            if abs(s - 0.5 * sum(w)) > 1e-9:  # away from float ties on the plane
                assert y == int(s >= 0.5 * sum(w)), t

    def test_noise_and_bad_parameters(self):
        clean = Hyperplane(noise=0.0, seed=1, n_drift_features=0).take(4000)
        noisy = Hyperplane(noise=0.3, seed=1, n_drift_features=0).take(4000)
        init = random.Random(1)
        w = [init.random() for _ in range(10)]
        wrong = sum(y != int(sum(w[i] * x[f"x{i}"] for i in range(10)) >= 0.5 * sum(w)) for x, y in noisy)
        assert 0.27 < wrong / 4000 < 0.33
        assert all(len(x) == 10 for x, _ in clean)
        with pytest.raises(ValueError):
            Hyperplane(n_features=2, n_drift_features=3)
        with pytest.raises(ValueError):
            Hyperplane(n_features=0)


class TestRandomRBF:
    def test_single_centroid_scatters_around_its_centre(self):
        init = random.Random(4)
        centre = [init.random() for _ in range(3)]
        rows = RandomRBF(n_features=3, n_centroids=1, seed=4).take(4000)
        assert len({y for _, y in rows}) == 1
        for j in range(3):
            assert abs(statistics.mean(x[f"x{j}"] for x, _ in rows) - centre[j]) < 0.03

    def test_labels_and_features(self):
        rows = RandomRBF(n_features=4, n_classes=3, n_centroids=20, seed=2).take(2000)
        assert {y for _, y in rows} == {0, 1, 2}
        assert all(list(x) == ["x0", "x1", "x2", "x3"] for x, _ in rows)

    def test_moving_centroids_drift(self):
        def window_means(gen, lo, hi):
            rows = gen.take(hi)[lo:hi]
            return [statistics.mean(x[f"x{j}"] for x, _ in rows) for j in range(2)]

        static = RandomRBF(n_features=2, n_centroids=1, seed=8)
        moving = RandomRBF(n_features=2, n_centroids=1, change_speed=0.002, seed=8)
        s0, s1 = window_means(static, 0, 300), window_means(static, 1700, 2000)
        m0, m1 = window_means(moving, 0, 300), window_means(moving, 1700, 2000)
        assert max(abs(a - b) for a, b in zip(s0, s1)) < 0.05
        assert max(abs(a - b) for a, b in zip(m0, m1)) > 0.2

    def test_bad_parameters(self):
        for kwargs in ({"n_centroids": 0}, {"n_classes": 0}, {"n_features": 0}, {"n_drift_centroids": -1}):
            with pytest.raises(ValueError):
                RandomRBF(**kwargs)


class TestLED:
    def test_noiseless_digits_match_the_segment_table(self):
        rows = LED(noise=0.0, irrelevant=0, seed=1).take(500)
        assert all(tuple(int(v) for v in x.values()) == LED.SEGMENTS[y] for x, y in rows)
        assert {y for _, y in rows} == set(range(10))
        # Hand check: 1 lights only the two right-hand segments; 8 lights all seven.
        assert LED.SEGMENTS[1] == (0, 0, 1, 0, 0, 1, 0) and LED.SEGMENTS[8] == (1,) * 7

    def test_noise_and_irrelevant_attributes(self):
        rows = LED(noise=0.1, irrelevant=17, seed=3).take(5000)
        assert all(len(x) == 24 for x, _ in rows)
        flips = sum(int(x[f"x{i}"]) != LED.SEGMENTS[y][i] for x, y in rows for i in range(7))
        assert 0.09 < flips / (7 * 5000) < 0.11
        ones = statistics.mean(x[f"x{i}"] for x, _ in rows for i in range(7, 24))
        assert 0.48 < ones < 0.52


class TestFriedman:
    def test_hand_checked_target(self):
        x = {"x0": 0.5, "x1": 1.0, "x2": 0.5, "x3": 0.2, "x4": 0.4}
        assert Friedman.target(x) == pytest.approx(14.0)
        x = {"x0": 1.0, "x1": 0.5, "x2": 1.0, "x3": 0.0, "x4": 1.0}
        assert Friedman.target(x) == pytest.approx(10.0 + 5.0 + 5.0)

    def test_rows_and_noise(self):
        assert all(y == Friedman.target(x) for x, y in Friedman(noise=0.0, seed=1).take(200))
        rows = Friedman(noise=1.0, seed=1).take(5000)
        residuals = [y - Friedman.target(x) for x, y in rows]
        assert abs(statistics.mean(residuals)) < 0.05
        assert abs(statistics.pstdev(residuals) - 1.0) < 0.05
        assert all(len(x) == 10 and all(0 <= v < 1 for v in x.values()) for x, _ in rows)
        assert Friedman.task == "regression"


class Counter:
    """A re-iterable stream of ({"i": k}, tag)."""

    def __init__(self, tag):
        self.tag = tag

    def __iter__(self):
        return (({"i": float(k)}, self.tag) for k in itertools.count())


class TestConceptDrift:
    def test_abrupt_switch_at_position(self):
        for kwargs in ({"kind": "abrupt", "width": 500}, {"width": 0}):
            rows = ConceptDrift(Counter(0), Counter(1), position=50, **kwargs).take(100)
            assert [y for _, y in rows] == [0] * 50 + [1] * 50
            assert [x["i"] for x, _ in rows[50:]] == list(range(50))  # the second stream starts fresh

    def test_sigmoid_probability_and_only_chosen_stream_advances(self):
        drift = ConceptDrift(Counter(0), Counter(1), position=1000, width=200, seed=5)
        assert drift.probability(1000) == 0.5
        assert drift.probability(1050) == pytest.approx(1 / (1 + math.exp(-1.0)))
        assert drift.probability(-10**6) == 0.0 and drift.probability(10**6) == 1.0
        rows = drift.take(2000)
        tags = [y for _, y in rows]
        assert sum(tags[:400]) == 0 and sum(tags[1600:]) == 400
        assert 0.35 < statistics.mean(tags[900:1100]) < 0.65
        for tag in (0, 1):
            indices = [x["i"] for x, y in rows if y == tag]
            assert indices == list(range(len(indices)))

    def test_takes_the_task_of_its_streams_and_validates(self):
        assert ConceptDrift(Friedman(), Friedman(seed=1)).task == "regression"
        assert ConceptDrift(SEA(), SEA(variant=1)).task == "classification"
        with pytest.raises(ValueError, match="kind"):
            ConceptDrift(SEA(), SEA(), kind="linear")
        with pytest.raises(ValueError, match="width"):
            ConceptDrift(SEA(), SEA(), width=-1)

    def test_refuses_streams_of_different_tasks(self):
        with pytest.raises(ValueError, match="cannot drift from a classification stream to a regression stream"):
            ConceptDrift(SEA(), Friedman())

    def test_drift_positions_include_nested_drifts_before_the_switch(self):
        inner = ConceptDrift(SEA(), SEA(variant=1), position=100, width=40)
        outer = ConceptDrift(inner, SEA(variant=2), position=500, width=0)
        assert datasets.drift_positions(outer) == [(100.0, 40.0), (500.0, 0.0)]
        late = ConceptDrift(ConceptDrift(SEA(), SEA(), position=900), SEA(), position=500, kind="abrupt")
        assert datasets.drift_positions(late) == [(500.0, 0.0)]
        assert datasets.drift_positions(SEA()) == []

    def test_ends_with_the_stream_it_draws_from(self):
        rows = list(ConceptDrift(SEA(n_samples=10), SEA(n_samples=5), position=8, width=0))
        assert len(rows) == 13


def test_make_by_name():
    assert isinstance(datasets.make("SEA", variant=2), SEA)
    with pytest.raises(ValueError, match="unknown stream 'nope'"):
        datasets.make("nope")


class TestRecorded:
    def test_electricity(self):
        stream = datasets.Electricity()
        assert stream.task == "classification" and len(stream) == 45_312
        first, second = stream.take(2)
        assert first == ({"period": 0.0, "nswprice": 0.056443, "nswdemand": 0.439155, "vicprice": 0.003467,
                          "vicdemand": 0.422915, "transfer": 0.414912}, 1)
        assert list(second[0]) == list(first[0]) and type(second[1]) is int
        labels = [y for _, y in stream]
        assert len(labels) == 45_312 and set(labels) == {0, 1}

    def test_friedman_file(self):
        stream = datasets.FriedmanFile()
        assert stream.task == "regression" and len(stream) == 40_768
        x, y = next(iter(stream))
        assert list(x) == [f"attr_{i}" for i in range(10)] and (x["attr_0"], y) == (0.487, 17.949)
        assert sum(1 for _ in stream) == 40_768
        assert "Friedman" in datasets.FriedmanFile.__doc__ and "Columns" in datasets.Electricity.__doc__
