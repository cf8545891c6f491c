"""Prediction-by-prediction equality of the tree regressors with the pure-Python models
in treereg_reference.py (exact float equality, NaN equal to NaN)."""

import csv
import math
import random

import pytest

import _kavro_core as kc
from real_data import open_csv

kt = pytest.importorskip("_kavro_testing")
ref = pytest.importorskip("treereg_reference")



def fried_rows(n, skip=0):
    rows = []
    with open_csv("fried.csv") as f:
        reader = csv.reader(f)
        header = next(reader)
        for i, row in enumerate(reader):
            if i < skip:
                continue
            if len(rows) == n:
                break
            values = [float(v) for v in row]
            rows.append((dict(zip(header[:-1], values[:-1])), values[-1]))
    return rows


def mixed_stream(n, seed, change_at=None):
    """Varying subsets of features, a coarse feature, and optionally an abrupt change."""
    g = random.Random(seed)
    out = []
    for i in range(n):
        x = {f"f{j}": g.uniform(-2, 2) for j in range(g.randint(1, 5))}
        if g.random() < 0.2:
            x["c"] = round(g.random(), 1)
        if change_at is not None and i >= change_at:
            y = -4 * x.get("f0", 0.0) + 2 * x.get("f1", 0.0) + 10 + g.gauss(0, 0.3)
        else:
            y = 3 * x.get("f0", 0.0) - x.get("f1", 0.0) ** 2 + g.gauss(0, 0.3)
        out.append((x, y))
    return out


def odd_values_stream(n, seed):
    """Extreme magnitudes, signed zeros, infinities and NaN in values and targets."""
    g = random.Random(seed)
    specials = [0.0, -0.0, 1.0, 1e300, -1e300, 5e-324, math.inf, -math.inf, math.nan]
    out = []
    for _ in range(n):
        x = {}
        for k in g.sample(["a", "b", "c", "d", "e"], g.randint(0, 5)):
            if g.random() < 0.05:
                x[k] = g.choice(specials)
            else:
                x[k] = g.uniform(-1e3, 1e3) * g.choice([1.0, 1e-8, 1e8])
        y = g.gauss(0, 10) * (1 + (x.get("a", 0.0) > 0))
        if g.random() < 0.003:
            y = g.choice([math.nan, math.inf])
        out.append((x, y))
    return out


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def assert_lockstep(cpp, model, stream, splits=False):
    for i, (x, y) in enumerate(stream):
        a, b = cpp.predict_one(x), model.predict_one(x)
        assert same(a, b), (i, a, b)
        cpp.learn_one(x, y)
        model.learn_one(x, y)
        if splits:
            assert cpp.n_splits() == model.n_splits(), i


# ---- Hoeffding tree regressor ---------------------------------------------------------


@pytest.mark.parametrize(
    "stream, params",
    [
        (lambda: mixed_stream(2500, 5), dict(grace_period=30, tie_threshold=0.5)),
        (lambda: fried_rows(2500), dict(grace_period=50, tie_threshold=3.0)),
        (lambda: fried_rows(2000, 20000),
         dict(grace_period=40, split_confidence=0.3, tie_threshold=1.0, max_depth=3,
              learning_rate=0.05)),
        (lambda: fried_rows(3000, 5000), dict()),
        (lambda: odd_values_stream(2000, 7), dict(grace_period=10, tie_threshold=2.0,
                                                  learning_rate=0.2)),
    ],
    ids=["mixed", "fried-splits", "fried-shallow", "fried-defaults", "odd-values"],
)
def test_htr_matches_reference(stream, params):
    cpp = kc.HoeffdingTreeRegressor(**params)
    model = ref.RefHoeffdingTreeRegressor(**params)
    assert_lockstep(cpp, model, stream())


def test_htr_single_feature_with_repeated_values_matches_reference():
    # Coarse values give sd_f = 0 at some children (q = 0.99 / 0.01 shares).
    g = random.Random(9)
    stream = [({"a": g.choice([0.0, 1.0, 2.0, g.random()])},
               g.gauss(0, 1) + (5 if i > 1500 else 0)) for i in range(3000)]
    cpp = kc.HoeffdingTreeRegressor(grace_period=20)
    model = ref.RefHoeffdingTreeRegressor(grace_period=20)
    assert_lockstep(cpp, model, stream)
    assert len(model.leaves()) > 50


def test_htr_tied_features_split_on_first_name_in_byte_order():
    # Identical columns tie; byte order puts "Z" before "z" before "\u00e9" (0xC3 0xA9).
    names = ["\u00e9", "z", "Z"]
    g = random.Random(4)
    stream = []
    for i in range(300):
        if i < 30:
            x = dict.fromkeys(names, g.random())
        else:
            x = {n: g.random() for n in names}
        stream.append((x, 4 * x["z"] - 2 * x["\u00e9"] + g.gauss(0, 0.1)))
    cpp = kc.HoeffdingTreeRegressor(grace_period=30, tie_threshold=5.0)
    model = ref.RefHoeffdingTreeRegressor(grace_period=30, tie_threshold=5.0)
    assert_lockstep(cpp, model, stream[:31])
    assert model.root.split_feature == "Z"
    assert_lockstep(cpp, model, stream[31:])


def test_htr_attribute_changes_and_reset_match_reference():
    stream = mixed_stream(2000, 31)
    cpp = kc.HoeffdingTreeRegressor(grace_period=40, tie_threshold=0.5)
    model = ref.RefHoeffdingTreeRegressor(grace_period=40, tie_threshold=0.5)
    for i, (x, y) in enumerate(stream):
        if i == 500:
            cpp.grace_period = model.grace_period = 25
            cpp.learning_rate = model.learning_rate = 0.1
        if i == 900:
            cpp.max_depth = model.max_depth = 2
            cpp.split_confidence = model.split_confidence = 0.01
        if i == 1300:
            cpp.reset()
            model.reset()
            cpp.tie_threshold = model.tie_threshold = 1.0
        assert same(cpp.predict_one(x), model.predict_one(x)), i
        cpp.learn_one(x, y)
        model.learn_one(x, y)
    assert len(model.leaves()) > 1


# ---- model tree regressor -------------------------------------------------------------


@pytest.mark.parametrize(
    "stream, params",
    [
        (lambda: mixed_stream(2500, 3), dict(grace_period=50)),
        (lambda: fried_rows(3000), dict(grace_period=100)),
        (lambda: fried_rows(2000, 10000), dict()),
        (lambda: mixed_stream(2000, 7, 1000),
         dict(grace_period=30, leaf_prediction="perceptron", page_hinckley_threshold=1.0,
              alternate_tree_t_min=30)),
        (lambda: mixed_stream(2000, 8, 1000),
         dict(grace_period=30, leaf_prediction="mean", page_hinckley_threshold=1.0,
              alternate_tree_t_min=30)),
        (lambda: mixed_stream(2000, 9, 1000),
         dict(grace_period=30, learning_ratio_const=True, learning_ratio=0.1,
              page_hinckley_threshold=1.0, alternate_tree_t_min=30, max_depth=4, seed=-3)),
        (lambda: odd_values_stream(1000, 8),
         dict(grace_period=10, page_hinckley_threshold=1.0, alternate_tree_t_min=20,
              alternate_tree_time=100)),
    ],
    ids=["mixed", "fried", "fried-defaults", "perceptron", "mean", "const-rate", "odd-values"],
)
def test_fimtdd_matches_reference(stream, params):
    cpp = kc.FIMTDDRegressor(**params)
    model = ref.RefFIMTDDRegressor(**params)
    assert_lockstep(cpp, model, stream(), splits=True)


@pytest.mark.parametrize(
    "stream, params",
    [
        (lambda: mixed_stream(3000, 6, 1500),
         dict(grace_period=40, page_hinckley_threshold=0.5, alternate_tree_t_min=20,
              alternate_tree_time=100, tie_threshold=0.2)),
        (lambda: fried_rows(1500) + [(x, -y) for x, y in fried_rows(1500, 1500)],
         dict(grace_period=50, page_hinckley_threshold=2.0, alternate_tree_t_min=40,
              alternate_tree_time=400)),
    ],
    ids=["mixed-change", "fried-flipped"],
)
def test_fimtdd_change_detection_matches_reference(stream, params):
    cpp = kc.FIMTDDRegressor(**params)
    model = ref.RefFIMTDDRegressor(**params)
    assert_lockstep(cpp, model, stream(), splits=True)
    # The stream exercises every branch of the alternate-subtree handling.
    assert model.events["alternates"] > 0
    assert model.events["replaced"] > 0
    assert model.events["dropped"] > 0


def test_fimtdd_tied_features_follow_observer_order():
    # Three identical columns tie at the first split attempt; the first of them in the
    # leaf's observer-map order (b) wins, neither the first by name (a) nor the first of
    # the record (d). Afterwards the columns differ, so the choice shows in predictions.
    names = ["a", "b", "d"]
    assert kt.record_keys(dict.fromkeys(names, 0.0))[0] == "d"
    assert kt.str_map_order(kt.record_keys(dict.fromkeys(names, 0.0)))[0] == "b"
    g = random.Random(1)
    stream = []
    for i in range(600):
        if i < 20:
            v = g.choice([0.1, 0.2, 0.3, 0.4, 0.5, 0.6])
            x = dict.fromkeys(names, v)
        else:
            x = {n: g.random() for n in names}
        stream.append((x, 10 * x["a"] - 5 * x["b"] + g.gauss(0, 0.1)))
    params = dict(grace_period=20, tie_threshold=0.7)
    cpp = kc.FIMTDDRegressor(**params)
    model = ref.RefFIMTDDRegressor(**params)
    assert_lockstep(cpp, model, stream[:21], splits=True)
    assert cpp.n_splits() == 1 and model.root.split_feature == "b"
    assert_lockstep(cpp, model, stream[21:], splits=True)


def test_fimtdd_attribute_changes_and_reset_match_reference():
    stream = mixed_stream(3000, 21, 1000)
    params = dict(grace_period=30, page_hinckley_threshold=1.0, alternate_tree_t_min=30,
                  alternate_tree_time=300)
    cpp = kc.FIMTDDRegressor(**params)
    model = ref.RefFIMTDDRegressor(**params)
    events_before_reset = None
    for i, (x, y) in enumerate(stream):
        if i == 1200:
            # Alternates grown so far are still compared, replaced or dropped.
            cpp.drift_detection = model.drift_detection = False
            alternates_at_switch = model.events["alternates"]
            growing = sum(1 for n in model.internal_nodes() if n.alternate is not None)
            settled = model.events["replaced"] + model.events["dropped"]
            assert growing > 0
        if i == 1800:
            cpp.seed = model.seed = 77
            cpp.grace_period = model.grace_period = 10
        if i == 2000:
            events_before_reset = dict(model.events)
            assert model.events["alternates"] == alternates_at_switch
            assert model.events["replaced"] + model.events["dropped"] == settled + growing
            cpp.reset()
            model.reset()
            assert cpp.predict_one(x) == 0.0 and cpp.n_splits() == 0
        if i == 2500:
            cpp.split_confidence = model.split_confidence = 0.5
        assert same(cpp.predict_one(x), model.predict_one(x)), i
        cpp.learn_one(x, y)
        model.learn_one(x, y)
        assert cpp.n_splits() == model.n_splits(), i
    assert events_before_reset["alternates"] > 0
    assert model.events["alternates"] == 0


def test_fimtdd_long_waits_between_split_attempts_match_reference():
    # Leaves learn far more examples than the grace period between attempts (a huge
    # grace period, then leaves below growing alternates), then split at once.
    stream = mixed_stream(3600, 41, 1800)
    params = dict(grace_period=10_000, page_hinckley_threshold=1.0, alternate_tree_t_min=400,
                  alternate_tree_time=1200)
    cpp = kc.FIMTDDRegressor(**params)
    model = ref.RefFIMTDDRegressor(**params)
    for i, (x, y) in enumerate(stream):
        if i == 700:
            assert model.n_splits() == 0
            cpp.grace_period = model.grace_period = 25
        assert same(cpp.predict_one(x), model.predict_one(x)), i
        cpp.learn_one(x, y)
        model.learn_one(x, y)
        assert cpp.n_splits() == model.n_splits(), i
    assert model.n_splits() > 10
    assert model.events["alternates"] > 0


def test_fimtdd_mirrored_cuts_keep_the_fused_merit_order():
    # Targets mirrored about the middle value make the cuts at 2 and 4 equally good in
    # exact arithmetic; the rounding of the fused merit decides (here for the cut at 2).
    g = random.Random(53)
    c = [g.uniform(-10, 10) for _ in range(3)]
    values = [1, 2, 3, 4, 5, 6] * 4
    g.shuffle(values)
    stream = [({"a": float(v)}, c[int(abs(v - 3.5))]) for v in values]
    stream += [({"a": g.uniform(0, 7)}, g.gauss(0, 1)) for _ in range(30)]
    cpp = kc.FIMTDDRegressor(grace_period=24, leaf_prediction="mean")
    model = ref.RefFIMTDDRegressor(grace_period=24, leaf_prediction="mean")
    assert_lockstep(cpp, model, stream, splits=True)
    assert model.root.threshold == 2.0
    assert [cpp.predict_one({"a": v}) for v in (2.0, 2.5, 4.5)] == [
        model.predict_one({"a": v}) for v in (2.0, 2.5, 4.5)]


@pytest.mark.parametrize(
    "values, targets, threshold",
    [
        # Root 2.0 is stored before 1.0; the cuts at 1.0 and 2.0 tie exactly.
        ([2, 3, 3, 1, 1, 3, 3, 2, 3, 1, 2, 0, 0, 3, 3, 1, 3, 2, 1, 1, 0, 3, 1, 3],
         [1.0, 0.5, 0.5, 2.0, 2.0, 1.5, 1.5, 1.0, 0.5, 2.0, 2.0, 2.0, 2.0, 0.5, 0.5, 2.0, 0.5,
          1.0, 1.0, 1.0, 2.0, 1.5, 1.0, 0.5], 1.0),
        # Root 3.0 is stored before 1.0; the cuts at 1.0 and 3.0 tie exactly.
        ([3, 2, 4, 3, 1, 2, 1, 3, 2, 3, 2, 4, 2, 3, 1, 3, 4, 1, 4, 3, 3, 1, 3, 4],
         [2.0, 2.0, 1.5, 3.0, 1.5, 2.0, 0.5, 2.0, 1.0, 3.0, 1.0, 1.5, 2.0, 2.0, 0.5, 2.0, 0.5,
          0.5, 0.5, 2.0, 2.0, 1.5, 2.0, 0.5], 1.0),
    ],
    ids=["root-in-tie", "root-in-tie-apart"],
)
def test_fimtdd_equal_merits_keep_the_smallest_key(values, targets, threshold):
    g = random.Random(17)
    stream = [({"a": float(v)}, y) for v, y in zip(values, targets)]
    stream += [({"a": float(g.randrange(5))}, g.gauss(1, 1)) for _ in range(60)]
    cpp = kc.FIMTDDRegressor(grace_period=24, leaf_prediction="mean")
    model = ref.RefFIMTDDRegressor(grace_period=24, leaf_prediction="mean")
    assert_lockstep(cpp, model, stream[:24], splits=True)
    assert cpp.n_splits() == 1 and model.root.threshold == threshold
    assert_lockstep(cpp, model, stream[24:], splits=True)


def test_fimtdd_equal_merits_with_nan_keys_follow_the_walk_order():
    # The NaN node stored first ties with the cut at 1.0, which the in-order walk (NaN
    # keys sort nowhere) reaches first.
    values = [2, None, None, None, None, 2, 1, 1, None, None, 1, None, 0, 2, 2, 0, 2, 0, None, 1]
    targets = [0.0, 1.0, 2.0, 1.0, 1.0, 0.0, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0, 1.0, 1.0, 0.0, 1.0,
               0.0, 1.0, 1.0, 2.0]
    stream = [({"a": math.nan if v is None else float(v)}, y) for v, y in zip(values, targets)]
    g = random.Random(29)
    stream += [({"a": g.choice([math.nan, 0.0, 1.0, 2.0])}, g.gauss(1, 1)) for _ in range(60)]
    cpp = kc.FIMTDDRegressor(grace_period=20, leaf_prediction="mean")
    model = ref.RefFIMTDDRegressor(grace_period=20, leaf_prediction="mean")
    assert_lockstep(cpp, model, stream[:20], splits=True)
    assert cpp.n_splits() == 1 and model.root.threshold == 1.0
    assert_lockstep(cpp, model, stream[20:], splits=True)


def test_fimtdd_nan_feature_values_split_like_reference():
    # NaN values always pass a search-tree node on its greater side, so the trees hold
    # NaN keys between ordered ones while splits are evaluated.
    g = random.Random(23)
    stream = []
    for i in range(1500):
        x = {k: (math.nan if g.random() < 0.15 else g.uniform(-3, 3)) for k in "abc"}
        a = 0.0 if math.isnan(x["a"]) else x["a"]
        stream.append((x, 2 * a + (3 if i > 700 else 0) + g.gauss(0, 0.2)))
    for params in (dict(grace_period=15, leaf_prediction="mean"),
                   dict(grace_period=20, page_hinckley_threshold=1.0, alternate_tree_t_min=20)):
        cpp = kc.FIMTDDRegressor(**params)
        model = ref.RefFIMTDDRegressor(**params)
        assert_lockstep(cpp, model, stream, splits=True)
        assert model.n_splits() > 10


@pytest.mark.parametrize("nudge, splits", [(False, False), (True, True)])
def test_htr_bound_compared_strictly_with_tie_threshold(nudge, splits):
    # The tie threshold is set to the bound of the first attempt (which squares sd_y),
    # so only a strictly larger threshold lets the tied features split.
    g = random.Random(1)
    stream = [({"a": g.random(), "b": g.random()}, g.gauss(0, 3)) for _ in range(70)]
    probe = ref.RefHoeffdingTreeRegressor(grace_period=10**6)
    for x, y in stream[:50]:
        probe.learn_one(x, y)
    sd = probe.root.sd_y()
    eps = math.sqrt(sd * sd * math.log(1.0 / 1e-07) / (2.0 * 50))
    assert eps != math.sqrt(probe.root.y_m2 / 49.0 * math.log(1.0 / 1e-07) / 100.0)
    tie = math.nextafter(eps, math.inf) if nudge else eps
    cpp = kc.HoeffdingTreeRegressor(grace_period=50, tie_threshold=tie)
    model = ref.RefHoeffdingTreeRegressor(grace_period=50, tie_threshold=tie)
    assert_lockstep(cpp, model, stream)
    assert (len(model.leaves()) > 1) == splits
