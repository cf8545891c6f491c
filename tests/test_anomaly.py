"""Anomaly detectors: ranking quality on labelled blobs, exact repeatability (seeds, saved states,
batch calls), the thresholds, the pipeline, the evaluation loop, the generator and the CLI."""

import io
import math
import pickle
from contextlib import redirect_stderr, redirect_stdout

import numpy as np
import pytest

import _kavro_core as kc
import kavro
from kavro import anomaly, cli
from kavro.datasets import AnomalyBlobs
from kavro.evaluate import progressive_val_score

DETECTORS = {
    "HalfSpaceTrees": lambda: anomaly.HalfSpaceTrees(n_trees=10, height=8, window_size=100, seed=3),
    "OnlineIsolationForest": lambda: anomaly.OnlineIsolationForest(n_trees=16, window_size=256, seed=3),
    "LODA": lambda: anomaly.LODA(n_projections=30, window_size=128, seed=3),
    "RSHash": lambda: anomaly.RSHash(n_components=40, sample_size=256, seed=3),
    "KNNDistance": lambda: anomaly.KNNDistance(k=5, window_size=200),
}


def roc_auc(labels, scores):
    """Exact ROC AUC: the share of (positive, negative) pairs ranked right, ties counting half."""
    pos = [s for y, s in zip(labels, scores) if y == 1]
    neg = [s for y, s in zip(labels, scores) if y == 0]
    neg_sorted = np.sort(np.asarray(neg))
    below = np.searchsorted(neg_sorted, pos, side="left")
    ties = np.searchsorted(neg_sorted, pos, side="right") - below
    return float((below + 0.5 * ties).sum() / (len(pos) * len(neg)))


class ExactAUC:
    """A measure of anomaly scores for the Python evaluation loop."""

    def __init__(self):
        self.labels, self.scores = [], []

    def update_score(self, y_true, score):
        self.labels.append(y_true)
        self.scores.append(score)

    def get(self):
        if 0 in self.labels and 1 in self.labels:
            return roc_auc(self.labels, self.scores)
        return float("nan")


def blobs(n=3000, n_features=6, seed=7, drift_at=None, contamination=0.03):
    data = AnomalyBlobs(n_features=n_features, contamination=contamination, drift_at=drift_at,
                        seed=seed).take(n)
    X = np.array([[x[f"x{j}"] for j in range(n_features)] for x, _ in data])
    y = np.array([label for _, label in data])
    return data, X, y


DATA, X, Y = blobs()
DRIFT = blobs(n=3000, drift_at=1500, seed=11)


@pytest.mark.parametrize("name", DETECTORS)
def test_detectors_rank_outliers_high_before_and_after_a_jump(name):
    for data in (DATA, DRIFT[0]):
        auc = ExactAUC()
        res = progressive_val_score(data, DETECTORS[name](), [auc], every=1000)
        assert res.n == len(data) and res.final["ExactAUC"] == auc.get()
        assert auc.get() > 0.9, (name, auc.get())


@pytest.mark.parametrize("name", DETECTORS)
def test_scores_repeat_exactly_across_seeds_saves_and_batches(name):
    a, b = DETECTORS[name](), DETECTORS[name]()
    kavro.learn_many(a, X[:700])
    for row in X[:700]:
        b.learn_one({f"x{j}": float(v) for j, v in enumerate(row)})
    assert kavro.dumps(a) == kavro.dumps(b)  # learn_many is the per-row loop

    before = kavro.dumps(a)
    scores = kavro.score_many(a, X[700:1000])
    assert kavro.dumps(a) == before  # scoring changes nothing
    loop = [a.score_one({f"x{j}": float(v) for j, v in enumerate(row)}) for row in X[700:1000]]
    assert scores.dtype == np.float64 and list(scores) == loop

    restored = [pickle.loads(pickle.dumps(a)), kavro.loads(kavro.dumps(a))]
    for row in X[700:1500]:
        x = {f"x{j}": float(v) for j, v in enumerate(row)}
        s = a.score_one(x)
        for r in restored:
            assert r.score_one(x) == s
            r.learn_one(x)
        a.learn_one(x)
    assert all(kavro.dumps(r) == kavro.dumps(a) for r in restored)

    a.reset()
    fresh = DETECTORS[name]()
    assert kavro.dumps(a) == kavro.dumps(fresh)


def test_seeds_decide_the_random_structure():
    def scores(seed):
        d = anomaly.HalfSpaceTrees(n_trees=5, height=6, window_size=50, seed=seed)
        kavro.learn_many(d, X[:200])
        return list(kavro.score_many(d, X[200:260]))

    assert scores(5) == scores(5) and scores(5) != scores(6)
    unseeded = anomaly.LODA()
    assert unseeded.seed is None and repr(unseeded) == "LODA()"
    seeded = anomaly.LODA(seed=1)  # None is seed 1
    kavro.learn_many(unseeded, X[:600])
    kavro.learn_many(seeded, X[:600])
    assert list(kavro.score_many(unseeded, X[:100])) == list(kavro.score_many(seeded, X[:100]))


def test_half_space_tree_limits_scale_the_workspace_exactly():
    plain = anomaly.HalfSpaceTrees(n_trees=8, height=10, window_size=64, seed=2)
    names = [f"x{j}" for j in range(X.shape[1])]
    scaled = anomaly.HalfSpaceTrees(n_trees=8, height=10, window_size=64, seed=2,
                                    limits={n: (0.0, 8.0) for n in names})
    kavro.learn_many(plain, X[:500])
    kavro.learn_many(scaled, X[:500] * 8.0)
    assert list(kavro.score_many(plain, X[500:700])) == list(kavro.score_many(scaled, X[500:700] * 8.0))
    assert scaled.limits == {n: (0.0, 8.0) for n in names}
    # before a full window nothing has reference mass: every record is maximally anomalous
    fresh = anomaly.HalfSpaceTrees(window_size=50)
    kavro.learn_many(fresh, X[:49])
    assert set(kavro.score_many(fresh, X[:20])) == {1.0}


def test_knn_distance_is_the_kth_nearest_distance():
    d = anomaly.KNNDistance(k=3, window_size=50)
    assert d.score_one({"x0": 1.0}) == 0.0
    kavro.learn_many(d, X[:80])
    window = X[30:80]  # the last 50 rows
    for row in X[80:100]:
        dist = np.sort(np.sqrt(((window - row) ** 2).sum(axis=1)))
        assert math.isclose(d.score_one({f"x{j}": float(v) for j, v in enumerate(row)}), dist[2],
                            rel_tol=1e-12)
    assert d.n_held == 50


def test_isolation_forest_window_bounds_its_trees():
    d = anomaly.OnlineIsolationForest(n_trees=4, max_leaf_samples=8, window_size=64, subsample=0.5, seed=1)
    assert d.score_one({"x0": 0.3}) == 0.5
    kavro.learn_many(d, X[:2000])
    grown = d.n_nodes
    kavro.learn_many(d, X[:2000])
    assert 0 < d.n_nodes <= 4 * 2 * 64 and grown <= 4 * 2 * 64
    fixed = anomaly.OnlineIsolationForest(growth="fixed", max_leaf_samples=4, window_size=128)
    kavro.learn_many(fixed, X[:500])
    assert 0.0 < fixed.score_one({"x0": 0.5}) <= 1.0


@pytest.mark.parametrize("make, message", [
    (lambda: anomaly.HalfSpaceTrees(n_trees=0), "n_trees"),
    (lambda: anomaly.HalfSpaceTrees(height=31), "height"),
    (lambda: anomaly.HalfSpaceTrees(window_size=0), "window_size"),
    (lambda: anomaly.HalfSpaceTrees(limits={"a": (1.0, 1.0)}), "limits"),
    (lambda: anomaly.OnlineIsolationForest(growth="wild"), "growth"),
    (lambda: anomaly.OnlineIsolationForest(subsample=0.0), "subsample"),
    (lambda: anomaly.OnlineIsolationForest(max_leaf_samples=0), "max_leaf_samples"),
    (lambda: anomaly.LODA(n_bins="many"), "n_bins"),
    (lambda: anomaly.LODA(n_bins=0), "n_bins"),
    (lambda: anomaly.LODA(n_projections=0), "n_projections"),
    (lambda: anomaly.RSHash(sample_size=2), "sample_size"),
    (lambda: anomaly.RSHash(n_hashes=0), "n_hashes"),
    (lambda: anomaly.KNNDistance(k=0), "k"),
    (lambda: anomaly.QuantileThreshold(anomaly.KNNDistance(), q=1.5), "q"),
    (lambda: anomaly.ThresholdFilter(anomaly.KNNDistance(), float("nan")), "threshold"),
])
def test_bad_parameters_are_refused_by_name(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_bad_batch_inputs_leave_the_detector_as_it_was():
    d = anomaly.KNNDistance()
    kavro.learn_many(d, X[:10])
    before = kavro.dumps(d)
    with pytest.raises(ValueError, match="y must be None"):
        kavro.learn_many(d, X[:10], Y[:10])
    with pytest.raises(TypeError, match="anomaly detector"):
        kavro.score_many(kc.NaiveBayes(), X[:10])
    with pytest.raises(TypeError):
        anomaly.ThresholdFilter(None, 1.0)
    with pytest.raises(TypeError):
        anomaly.AnomalyPipeline([None], d)
    assert kavro.dumps(d) == before


def test_threshold_filter_alarms_and_keeps_outliers_out_of_its_detector():
    inner = anomaly.KNNDistance(k=1, window_size=10)
    f = anomaly.ThresholdFilter(inner, threshold=0.5)
    f.learn_one({"a": 0.0})
    assert f.predict_one({"a": 0.2}) == 0 and f.predict_one({"a": 3.0}) == 1
    assert f.score_one({"a": 3.0}) == inner.score_one({"a": 3.0}) == 3.0
    f.learn_one({"a": 3.0})  # an alarm: not learnt
    assert inner.n_held == 1
    f.learn_one({"a": 0.3})
    assert inner.n_held == 2 and f.detector is inner and f.threshold == 0.5
    copy = pickle.loads(pickle.dumps(f))
    assert copy.detector is not inner and copy.predict_one({"a": 3.0}) == 1


def test_quantile_threshold_tracks_the_score_quantile():
    inner = anomaly.KNNDistance(k=1, window_size=5)
    qt = anomaly.QuantileThreshold(inner, q=0.9)
    assert qt.predict_one({"a": 100.0}) == 0  # no alarm before any score
    rng = np.random.default_rng(0)
    scores = []
    for v in rng.random(3000):
        x = {"a": float(v)}
        scores.append(qt.score_one(x))
        qt.learn_one(x)
    assert abs(qt.threshold - np.quantile(scores, 0.9)) < 0.1 * np.std(scores)
    assert qt.predict_one({"a": 50.0}) == 1 and qt.q == 0.9


def test_pipeline_scales_before_its_detector():
    scaler, det = kc.MinMaxScaler(), anomaly.HalfSpaceTrees(n_trees=5, height=6, window_size=50, seed=4)
    pipe = anomaly.AnomalyPipeline([scaler], det)
    ref_scaler, ref = kc.MinMaxScaler(), anomaly.HalfSpaceTrees(n_trees=5, height=6, window_size=50, seed=4)
    for row in X[:300] * 40.0 - 7.0:
        x = {f"x{j}": float(v) for j, v in enumerate(row)}
        assert pipe.score_one(x) == ref.score_one(ref_scaler.transform_one(x))
        pipe.learn_one(x)
        ref_scaler.learn_one(x)
        ref.learn_one(ref_scaler.transform_one(x))
    assert kavro.dumps(det) == kavro.dumps(ref) and pipe.detector is det
    again = kavro.loads(kavro.dumps(pipe))
    assert list(kavro.score_many(again, X[:50])) == list(kavro.score_many(pipe, X[:50]))


def test_evaluation_loop_needs_measures_of_scores():
    d = anomaly.KNNDistance()
    with pytest.raises(TypeError, match="update_score"):
        progressive_val_score(DATA[:10], d, [kc.Accuracy()])
    if kavro._registry.lookup("ROCAUC") is None:
        with pytest.raises(TypeError, match="ROCAUC"):
            progressive_val_score(DATA[:10], d)
    windowed = progressive_val_score(DATA[:1000], anomaly.KNNDistance(), [ExactAUC()], every=500, window=400)
    assert windowed.columns[:3] == ["step", "ExactAUC", "ExactAUC (last 400)"]
    assert len(windowed.rows) == 2


def test_anomaly_blobs_stream():
    data = AnomalyBlobs(n_features=4, contamination=0.2, seed=1).take(2000)
    labels = [y for _, y in data]
    assert 0.15 < sum(labels) / len(labels) < 0.25
    assert all(set(x) == {"x0", "x1", "x2", "x3"} and all(0.0 <= v <= 1.0 for v in x.values()) for x, _ in data)
    assert AnomalyBlobs(seed=None).take(5) == AnomalyBlobs(seed=42).take(5)
    same = AnomalyBlobs(drift_at=100, seed=3).take(300)
    plain = AnomalyBlobs(seed=3).take(300)
    assert same[:100] == plain[:100] and same[100:] != plain[100:]
    assert kavro.evaluate.Evaluation  # the stream's jump is recorded for plots
    from kavro.datasets import drift_positions
    assert drift_positions(AnomalyBlobs(drift_at=100)) == [(100.0, 0.0)]
    for bad in ({"n_features": 0}, {"contamination": 1.5}, {"drift_at": -1}):
        with pytest.raises(ValueError, match=next(iter(bad))):
            AnomalyBlobs(**bad)


def test_cli_evaluates_a_detector_on_anomaly_blobs():
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        code = cli.main(["evaluate", "--model", "HalfSpaceTrees", "--stream", "anomaly-blobs",
                         "--n", "600", "--every", "300", "--no-progress"])
    if kavro._registry.lookup("ROCAUC") is None:
        assert code == 2 and "ROCAUC" in err.getvalue()
    else:
        assert code == 0 and "ROCAUC" in out.getvalue()
    with redirect_stdout(io.StringIO()), redirect_stderr(err):
        assert cli.main(["evaluate", "--model", "HalfSpaceTrees", "--stream", "sea", "--metric",
                         "Accuracy"]) == 2
        assert cli.main(["evaluate", "--model", "HalfSpaceTrees", "--stream", "anomaly-blobs",
                         "--metric", "Accuracy"]) == 2
    assert "does not measure anomaly scores" in err.getvalue()


def cluster(centre, n, seed, d=6):
    rng = np.random.default_rng(seed)
    return np.clip(rng.normal(centre, 0.03, size=(n, d)), 0.0, 1.0)


@pytest.mark.parametrize("name", DETECTORS)
def test_detectors_forget_a_region_the_stream_has_left(name):
    d = DETECTORS[name]()
    old, new = cluster(0.25, 600, 1), cluster(0.75, 1200, 2)
    kavro.learn_many(d, old)
    probe_old, probe_new = {f"x{j}": 0.25 for j in range(6)}, {f"x{j}": 0.75 for j in range(6)}
    assert d.score_one(probe_old) < d.score_one(probe_new)
    kavro.learn_many(d, new)  # more than every window: the old region is gone
    assert d.score_one(probe_old) > d.score_one(probe_new)


def test_features_are_fixed_by_the_first_record():
    d = anomaly.KNNDistance(k=1)
    d.learn_one({"b": 1.0, "a": 2.0})
    assert d.score_one({"a": 2.0, "b": 1.0, "c": 50.0}) == 0.0  # a new name is ignored
    assert d.score_one({"a": 2.0}) == 1.0                       # a missing one reads as 0
    frame = __import__("pandas").DataFrame({"a": [2.0, np.nan], "b": [1.0, 4.0]})
    assert list(kavro.score_many(d, frame)) == [0.0, math.hypot(2.0, 3.0)]
    assert list(kavro.score_many(d, np.array([[1.0, 2.0]]), feature_names=["b", "a"])) == [0.0]


def test_half_space_trees_grow_no_further_than_full_trees():
    d = anomaly.HalfSpaceTrees(n_trees=3, height=4, window_size=20, seed=0)
    kavro.learn_many(d, np.random.default_rng(0).random((3000, 3)))
    # cells are made in pairs as records reach them; parts of the workspace lie outside the data
    assert 3 * 9 <= d.n_nodes <= 3 * (2 ** 5 - 1) and d.n_nodes % 2 == 3 % 2


def test_rs_hash_counts_only_its_window():
    d = anomaly.RSHash(n_components=20, sample_size=100, seed=5)
    assert d.score_one({"x0": 0.5}) == 0.0
    kavro.learn_many(d, cluster(0.3, 100, 3))
    inside = d.score_one({f"x{j}": 0.3 for j in range(6)})
    assert inside < -3.0  # most of the window shares its cells
    kavro.learn_many(d, cluster(0.8, 100, 4))
    assert d.score_one({f"x{j}": 0.3 for j in range(6)}) > inside / 4


def test_quantile_threshold_is_exact_over_its_first_scores():
    inner = anomaly.KNNDistance(k=1, window_size=1)
    qt = anomaly.QuantileThreshold(inner, q=0.5)
    inner.learn_one({"a": 0.0})
    for v in (4.0, 1.0, 3.0):  # scores 4, 1, 3 (each against the record before)
        qt.learn_one({"a": v})
    # the nearest-rank median of the scores seen; the alarm at 4.0 kept it from the detector
    assert inner.n_held == 1 and qt.threshold in (1.0, 3.0, 4.0)
    q2 = anomaly.QuantileThreshold(anomaly.KNNDistance(k=1, window_size=1), q=0.5)
    q2.detector.learn_one({"a": 0.0})
    q2.learn_one({"a": 2.0})  # no threshold yet: learnt
    assert q2.threshold == 2.0 and q2.detector.n_held == 1
    with pytest.raises(ValueError, match="corrupt|truncated"):
        kavro.loads(kavro.dumps(qt)[:-9] + b"\x00" * 5)


def test_a_damaged_saved_detector_is_refused():
    d = anomaly.HalfSpaceTrees(n_trees=2, height=3, window_size=10)
    kavro.learn_many(d, X[:50])
    data = kavro.dumps(d)
    with pytest.raises(ValueError):
        kavro.loads(data[:-20])
    with pytest.raises(ValueError):
        kavro.loads(data, expected="LODA")
    inspected = kavro.inspect(d)
    assert inspected["class"] == "HalfSpaceTrees" and inspected["state"]["height"] == 3


def test_kavro_list_shows_the_anomaly_family():
    out = io.StringIO()
    with redirect_stdout(out):
        assert cli.main(["list", "--kind", "anomaly"]) == 0
    text = out.getvalue()
    assert "kavro.anomaly" in text and "HalfSpaceTrees(n_trees=25" in text and "NaiveBayes" not in text
    out = io.StringIO()
    with redirect_stdout(out):
        assert cli.main(["list", "--streams"]) == 0
    assert "anomaly-blobs:n_features=6, contamination=0.01, drift_at=None, seed=None" in out.getvalue()


def test_half_space_tree_scores_are_the_mass_profile():
    d = anomaly.HalfSpaceTrees(n_trees=4, height=6, window_size=30, seed=9)
    same = {"a": 0.4, "b": 0.6}
    for _ in range(60):
        d.learn_one(same)
    # the reference window holds 30 copies all the way down: the largest mass, score 0
    assert d.score_one(same) == 0.0
    # a record leaving the copies' path meets a node without mass: it adds nothing
    assert d.score_one({"a": 1e6, "b": -1e6}) == 1.0


def test_isolation_forest_merges_what_the_window_forgets():
    d = anomaly.OnlineIsolationForest(n_trees=3, max_leaf_samples=4, window_size=64, seed=2)
    kavro.learn_many(d, np.random.default_rng(1).random((64, 2)))
    spread = d.n_nodes
    for _ in range(64):
        d.learn_one({"x0": 0.5, "x1": 0.5})  # one point: boxes without width never split
    assert spread > 3 and d.n_nodes < spread
    again = kavro.loads(kavro.dumps(d))
    kavro.learn_many(d, np.random.default_rng(2).random((200, 2)))
    kavro.learn_many(again, np.random.default_rng(2).random((200, 2)))
    assert kavro.dumps(again) == kavro.dumps(d)  # freed slots are reused alike


def test_quantile_estimate_follows_a_long_stream():
    values = np.abs(np.random.default_rng(3).normal(size=4000))
    for q in (0.5, 0.9, 0.99):
        knn = anomaly.KNNDistance(k=1, window_size=1)
        knn.learn_one({"a": 0.0})
        frozen = anomaly.ThresholdFilter(knn, -1.0)  # every record an alarm: never learns
        est = anomaly.QuantileThreshold(frozen, q=q)
        for v in values:
            est.learn_one({"a": float(v)})  # scores |v|, independent draws
        assert abs(est.threshold - np.quantile(values, q)) < 0.01 * np.quantile(values, q)
        assert knn.n_held == 1


def test_pipeline_reset_and_delayed_evaluation():
    scaler = kc.MinMaxScaler()
    pipe = anomaly.AnomalyPipeline([scaler], anomaly.KNNDistance(k=2))
    kavro.learn_many(pipe, X[:100] * 3.0)
    assert pipe.steps[0] is scaler and scaler.transform_one({"x0": 3.0}) != {"x0": 3.0}
    pipe.reset()
    assert scaler.transform_one({"x0": 3.0}) == kc.MinMaxScaler().transform_one({"x0": 3.0})
    assert pipe.score_one({"x0": 1.0}) == 0.0

    auc = ExactAUC()
    res = progressive_val_score(DATA[:600], anomaly.KNNDistance(), [auc], delay=50, every=300)
    assert res.n == 600 and len(auc.labels) == 550  # the last 50 labels never arrive


def test_empty_batches():
    d = anomaly.LODA()
    kavro.learn_many(d, np.empty((0, 3)))
    out = kavro.score_many(d, np.empty((0, 3)))
    assert out.shape == (0,) and out.dtype == np.float64
    assert kavro.dumps(d) == kavro.dumps(anomaly.LODA())
