import os
import sys

import pytest

import _kavro_core as kc
from kavro.datasets import SEA, Friedman
from kavro.evaluate import Evaluation, plot_checkpoints, progressive_val_score


# Under the sanitizer pass (scripts/test.sh preloads the ASan runtime) matplotlib's native code aborts
# on import; the plotting tests run in the release pass only.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def need_matplotlib():
    if SANITIZED:
        pytest.skip("matplotlib does not load under the sanitizer runtime")
    pytest.importorskip("matplotlib")


class Acc:
    """A metric-like object: update(y_true, y_pred), get()."""

    def __init__(self):
        self.pairs = []

    def update(self, y_true, y_pred):
        self.pairs.append((y_true, y_pred))

    def get(self):
        return sum(a == b for a, b in self.pairs) / len(self.pairs) if self.pairs else 0.0


class Swapped(Acc):
    """Takes (predicted, actual), as the windowed classification metric does."""

    def update(self, predicted, actual):
        self.pairs.append((actual, predicted))


class Recorder:
    """A model recording the order of calls."""

    def __init__(self):
        self.calls = []
        self.seen = 0

    def predict_one(self, x):
        self.calls.append(("predict", x["i"]))
        return self.seen % 2

    def learn_one(self, x, y):
        self.calls.append(("learn", x["i"]))
        self.seen += 1


def numbered(n):
    return [({"i": float(i)}, i % 3 == 0) for i in range(n)]


def manual_checkpoints(stream, model, every):
    correct, rows = 0, []
    for step, (x, y) in enumerate(stream, 1):
        correct += model.predict_one(x) == y
        model.learn_one(x, y)
        if step % every == 0 or step == len(stream):
            rows.append((step, correct / step))
    return rows


def test_test_then_train_order_and_what_metrics_see():
    model, metric = Recorder(), Acc()
    progressive_val_score(numbered(4), model, metric, every=2, progress=False)
    assert model.calls == [(kind, float(i)) for i in range(4) for kind in ("predict", "learn")]
    assert metric.pairs == [(True, 0), (False, 1), (False, 0), (True, 1)]


def test_checkpoints_match_a_manual_loop():
    stream = SEA(noise=0.1, seed=3).take(2345)
    res = progressive_val_score(stream, kc.NaiveBayes(), [Acc()], every=500, progress=False)
    expected = manual_checkpoints(stream, kc.NaiveBayes(), 500)
    assert [(r["step"], r["Acc"]) for r in res.rows] == expected
    assert [r["step"] for r in res.rows] == [500, 1000, 1500, 2000, 2345]
    assert res.n == 2345 and res.final is res.rows[-1]
    assert list(res.rows[0]) == ["step", "Acc", "elapsed", "throughput"]
    elapsed = [r["elapsed"] for r in res.rows]
    assert elapsed == sorted(elapsed) and all(r["throughput"] > 0 for r in res.rows)
    assert res.elapsed >= elapsed[-1] and res.throughput > 0


@pytest.mark.skipif(not hasattr(kc, "Accuracy"), reason="Accuracy not built yet")
def test_core_metrics_give_the_same_scores():
    stream = SEA(noise=0.1, seed=3).take(1200)
    ours = progressive_val_score(stream, kc.NaiveBayes(), Acc(), every=300, progress=False)
    core = progressive_val_score(stream, kc.NaiveBayes(), kc.Accuracy(), every=300, progress=False)
    assert [r["Accuracy"] for r in core.rows] == [r["Acc"] for r in ours.rows]


@pytest.mark.skipif(not hasattr(kc, "WindowMetric"), reason="WindowMetric not built yet")
def test_window_metric_gets_predicted_then_actual():
    from kavro.evaluate import _update_parameter_names

    window = kc.WindowMetric(window_size=100)
    assert _update_parameter_names(window) == ["predicted", "actual"]
    reference = Swapped()
    res = progressive_val_score(SEA(seed=1).take(450), kc.NaiveBayes(), [window, reference], every=150,
                                progress=False)
    last = reference.pairs[-100:]
    assert res.final["WindowMetric"] == sum(a == b for a, b in last) / 100


def test_argument_order_follows_the_metric_signature():
    plain, swapped = Acc(), Swapped()
    progressive_val_score(numbered(6), Recorder(), [plain, swapped], every=10, progress=False)
    assert plain.pairs == swapped.pairs


def test_n_limits_duplicate_names_and_empty_stream():
    res = progressive_val_score(iter(SEA(seed=2)), kc.NaiveBayes(), [Acc(), Acc()], every=40, n=100,
                                progress=False)
    assert [r["step"] for r in res.rows] == [40, 80, 100]
    assert res.metric_names == ["Acc", "Acc_2"] and res.final["Acc"] == res.final["Acc_2"]
    empty = progressive_val_score([], kc.NaiveBayes(), Acc(), progress=False)
    assert empty.rows == [] and empty.final == {} and empty.n == 0
    assert "n=0" in repr(empty)
    bare = progressive_val_score(SEA(seed=2).take(10), kc.NaiveBayes(), [], progress=False)
    assert repr(bare).startswith("Evaluation(n=10, elapsed=")


def test_bad_arguments():
    with pytest.raises(ValueError, match="every must be at least 1"):
        progressive_val_score([], kc.NaiveBayes(), Acc(), every=0)
    with pytest.raises(ValueError, match="n must be at least 0"):
        progressive_val_score([], kc.NaiveBayes(), Acc(), n=-1)


def test_clear_errors_for_misused_arguments(tmp_path):
    with pytest.raises(TypeError, match=r"not be a path: read the file with kavro\.stream\.iter_csv\('d\.csv'"):
        progressive_val_score("d.csv", kc.NaiveBayes(), Acc())
    with pytest.raises(TypeError, match=r"write Accuracy\(\) instead of Accuracy"):
        progressive_val_score([], kc.NaiveBayes(), [kc.Accuracy])
    with pytest.raises(TypeError, match="needs update"):
        progressive_val_score([], kc.NaiveBayes(), "Accuracy")
    with pytest.raises(ValueError, match="delay must be at least 0"):
        progressive_val_score([], kc.NaiveBayes(), Acc(), delay=-1)
    with pytest.raises(ValueError, match="window must be at least 1"):
        progressive_val_score([], kc.NaiveBayes(), Acc(), window=0)


def test_default_metrics_per_task():
    clf = progressive_val_score(SEA(seed=1).take(50), kc.NaiveBayes(), every=25, progress=False)
    assert clf.metric_names == ["Accuracy"]
    reg = progressive_val_score(Friedman(seed=1).take(50), kc.LinearRegression(), None, progress=False)
    assert reg.metric_names == ["MAE", "RMSE"]
    with pytest.raises(TypeError, match="metrics=None"):
        progressive_val_score([], Recorder())


def test_classifier_with_real_targets_is_refused_before_learning():
    model = kc.NaiveBayes()
    with pytest.raises(ValueError, match=r"classifier but the targets are real numbers \(first target: 17\.5\).*"
                                         r"regressor.*target_type='class'"):
        progressive_val_score([({"a": 1.0}, 17.5)], model, Acc(), progress=False)
    assert model.predict_one({"a": 1.0}) == -1  # untouched


def test_delay_predicts_on_arrival_and_learns_later():
    model, metric = Recorder(), Acc()
    res = progressive_val_score(numbered(5), model, metric, every=2, delay=2, progress=False)
    assert model.calls == [("predict", 0.0), ("predict", 1.0), ("predict", 2.0), ("learn", 0.0),
                           ("predict", 3.0), ("learn", 1.0), ("predict", 4.0), ("learn", 2.0)]
    # predictions made before any learning, scored against their own labels
    assert metric.pairs == [(True, 0), (False, 0), (False, 0)]
    assert res.n == 5 and [(r["step"], r["scored"]) for r in res.rows] == [(2, 0), (4, 2), (5, 3)]
    assert res.rows[0]["Acc"] is None  # nothing scored yet: missing, not 0.0
    plain = progressive_val_score(numbered(5), Recorder(), Acc(), every=2, delay=0, progress=False)
    assert [r["Acc"] for r in plain.rows] != [r["Acc"] for r in res.rows]


def test_window_scores_the_last_examples():
    stream = SEA(noise=0.2, seed=5).take(1000)
    res = progressive_val_score(stream, kc.NaiveBayes(), [kc.Accuracy(), Acc()], every=250, window=100,
                                progress=False)
    assert res.columns == ["step", "Accuracy", "Acc", "Accuracy (last 100)", "Acc (last 100)",
                           "elapsed", "throughput"]
    model, hits = kc.NaiveBayes(), []
    for x, y in stream:
        hits.append(model.predict_one(x) == y)
        model.learn_one(x, y)
    for row in res.rows:
        expected = sum(hits[row["step"] - 100:row["step"]]) / 100
        assert row["Accuracy (last 100)"] == pytest.approx(expected)
        assert row["Acc (last 100)"] == pytest.approx(expected)


def test_plot_path_is_checked_before_any_work(tmp_path):
    model = Recorder()
    with pytest.raises(ValueError, match=r"must end in \.png, \.svg or \.pdf"):
        progressive_val_score(numbered(5), model, Acc(), plot=str(tmp_path / "out.txt"))
    with pytest.raises(ValueError, match="no folder"):
        progressive_val_score(numbered(5), model, Acc(), plot=str(tmp_path / "missing" / "x.png"))
    assert model.calls == []


def test_stream_length_for_the_progress_total(tmp_path):
    from kavro.datasets import Electricity
    from kavro.evaluate import stream_length
    from kavro.stream import iter_array, iter_csv

    path = tmp_path / "d.csv"
    path.write_text("a,y\n1,0\n2,1\n\n3,0\n")
    assert stream_length(iter_csv(path, "y")) == 3
    assert stream_length(iter_array([[1], [2]])) == 2
    assert stream_length(SEA(n_samples=7)) == 7 and stream_length(SEA()) is None
    assert stream_length(Electricity()) == 45_312
    assert stream_length(x for x in []) is None


def test_errors_from_the_stream_propagate_with_the_count_so_far():
    def stream():
        yield from SEA(seed=1).take(5)
        raise RuntimeError("source broke")

    with pytest.raises(RuntimeError, match="source broke"):
        progressive_val_score(stream(), kc.NaiveBayes(), Acc(), progress=False)


def test_on_checkpoint_and_regression():
    seen = []
    stream = Friedman(seed=1).take(300)

    class MeanModel:
        def __init__(self):
            self.total, self.n = 0.0, 0

        def predict_one(self, x):
            return self.total / self.n if self.n else 0.0

        def learn_one(self, x, y):
            self.total += y
            self.n += 1

    class AbsErr(Acc):
        def get(self):
            return sum(abs(a - b) for a, b in self.pairs) / len(self.pairs)

    res = progressive_val_score(stream, MeanModel(), AbsErr(), every=100, progress=False,
                                on_checkpoint=seen.append)
    assert seen == res.rows and len(seen) == 3


class TestProgress:
    def test_progress_bar_does_not_change_results(self, capsys):
        pytest.importorskip("tqdm")
        stream = SEA(seed=4).take(3000)
        quiet = progressive_val_score(stream, kc.NaiveBayes(), Acc(), every=700, progress=False)
        shown = progressive_val_score(stream, kc.NaiveBayes(), Acc(), every=700, progress=True)
        assert [r["Acc"] for r in shown.rows] == [r["Acc"] for r in quiet.rows]
        assert "/3000 [" in capsys.readouterr().err  # a bar with the known total

    def test_runs_without_tqdm(self, monkeypatch, capsys):
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # makes the import fail
        res = progressive_val_score(SEA(seed=4).take(50), kc.NaiveBayes(), Acc(), every=10, progress=True)
        assert len(res.rows) == 5
        assert "tqdm is not installed" in capsys.readouterr().err
        progressive_val_score(SEA(seed=4).take(50), kc.NaiveBayes(), Acc(), progress=None)
        assert capsys.readouterr().err == ""


class TestPlot:
    def test_writes_a_png(self, tmp_path):
        need_matplotlib()
        path = tmp_path / "run.png"
        res = progressive_val_score(SEA(seed=1).take(500), kc.NaiveBayes(), Acc(), every=100,
                                    progress=False, plot=str(path))
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        other = tmp_path / "two.png"
        plot_checkpoints({"a": res, "b": res}, str(other), title="two runs")
        assert other.stat().st_size > 1000

    def test_marks_drifts_and_draws_the_rolling_view(self, tmp_path, monkeypatch):
        need_matplotlib()
        import matplotlib.axes

        lines = []
        real = matplotlib.axes.Axes.axvline
        monkeypatch.setattr(matplotlib.axes.Axes, "axvline",
                            lambda ax, x, *a, **k: lines.append(x) or real(ax, x, *a, **k))
        from kavro.datasets import ConceptDrift

        stream = ConceptDrift(SEA(seed=1), SEA(variant=2, seed=2), position=300, width=50, n_samples=600)
        path = tmp_path / "drift.svg"
        res = progressive_val_score(stream, kc.NaiveBayes(), [kc.Accuracy(), kc.MacroF1()], every=100,
                                    window=100, progress=False, plot=str(path))
        assert res.drifts == [(300.0, 50.0)] and lines == [300.0, 300.0]  # one per panel
        text = path.read_text()
        assert "examples seen" in text or "<svg" in text

    def test_missing_matplotlib_is_a_clear_error(self, monkeypatch, tmp_path):
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        with pytest.raises(ImportError, match=r"plotting needs matplotlib: pip install 'kavro\[plot\]'"):
            plot_checkpoints({"a": Evaluation(None, [])}, str(tmp_path / "x.png"))


def test_to_dataframe():
    pd = pytest.importorskip("pandas")
    res = progressive_val_score(SEA(seed=1).take(30), kc.NaiveBayes(), Acc(), every=10, progress=False)
    df = res.to_dataframe()
    assert isinstance(df, pd.DataFrame) and list(df["step"]) == [10, 20, 30]



def test_to_dataframe_without_pandas_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    res = progressive_val_score(SEA(seed=1).take(3), kc.NaiveBayes(), progress=False)
    with pytest.raises(ImportError, match=r"needs pandas: pip install 'kavro\[dataframe\]'"):
        res.to_dataframe()


# ---- targets that cannot be learnt ----------------------------------------------------------

def test_missing_targets_are_refused_before_that_example_is_predicted_or_learnt():
    pytest.importorskip("numpy")
    import numpy as np
    from kavro.stream import iter_array

    rows = [({"a": float(i)}, float(i)) for i in range(6)]
    for bad in (float("nan"), None):
        model, twin = kc.LinearRegression(), kc.LinearRegression()
        with pytest.raises(ValueError, match=rf"example 4 has a missing target \({bad!r}\)"):
            progressive_val_score(rows[:3] + [({"a": 3.0}, bad)] + rows[4:], model, progress=False)
        for x, y in rows[:3]:
            twin.learn_one(x, y)
        assert model.predict_one({"a": 1.0}) == twin.predict_one({"a": 1.0})
    # An array stream with a NaN target is read by the stream's own iteration, which says where.
    X, y = np.arange(20.0).reshape(10, 2), np.arange(10.0)
    y[6] = np.nan
    with pytest.raises(ValueError, match=r"y\[6\] is missing"):
        progressive_val_score(iter_array(X, y), kc.LinearRegression(), progress=False)


def test_regressor_on_text_labels_is_refused_naming_the_column(tmp_path):
    from kavro.stream import iter_csv

    path = tmp_path / "shop.csv"
    path.write_text("a,outcome\n" + "".join(f"{i},{['buy', 'skip', 'wait'][i % 3]}\n" for i in range(30)))
    model = kc.HoeffdingTreeRegressor()
    with pytest.raises(ValueError, match=r"HoeffdingTreeRegressor is a regressor but the target column "
                                         r"'outcome' holds text labels \(first: 'buy'\)"):
        progressive_val_score(iter_csv(path, target="outcome"), model, progress=False)
    assert model.predict_one({"a": 1.0}) == 0.0
    # Numbers read as integers are still fine for a regressor.
    path.write_text("a,y\n1,2\n2,3\n")
    assert progressive_val_score(iter_csv(path, target="y"), kc.HoeffdingTreeRegressor(), progress=False).n == 2


def test_a_delay_longer_than_the_stream_reports_missing_measures():
    res = progressive_val_score(SEA(seed=1).take(40), kc.NaiveBayes(), every=20, delay=100, window=10,
                                progress=False)
    assert [(r["step"], r["scored"], r["Accuracy"], r["Accuracy (last 10)"]) for r in res.rows] == [
        (20, 0, None, None), (40, 0, None, None)]
    assert res.columns[:3] == ["step", "scored", "Accuracy"]
    assert "Accuracy=None" in repr(res)
