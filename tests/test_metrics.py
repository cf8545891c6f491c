import math
import random

import pytest

import _kavro_core as kc

CUMULATIVE = [kc.Accuracy, kc.MacroPrecision, kc.MacroRecall, kc.MacroF1, kc.MAE, kc.RMSE, kc.R2]
MACRO = [kc.MacroPrecision, kc.MacroRecall, kc.MacroF1]


def macro_reference(pairs):
    """(precision, recall, f1) averaged over every label seen, from scratch."""
    labels = {y for pair in pairs for y in pair}
    if not labels:
        return 0.0, 0.0, 0.0
    sums = [0.0, 0.0, 0.0]
    for c in labels:
        tp = sum(1 for t, p in pairs if t == p == c)
        fp = sum(1 for t, p in pairs if p == c and t != c)
        fn = sum(1 for t, p in pairs if t == c and p != c)
        sums[0] += tp / (tp + fp) if tp + fp else 0.0
        sums[1] += tp / (tp + fn) if tp + fn else 0.0
        sums[2] += 2 * tp / (2 * tp + fp + fn) if 2 * tp + fp + fn else 0.0
    return tuple(s / len(labels) for s in sums)


def labelled_stream(seed, n, labels):
    rng = random.Random(seed)
    return [(rng.choice(labels), rng.choice(labels)) for _ in range(n)]


# ------------------------------------------------------------ classification


def test_fresh_metrics_score_zero():
    for cls in CUMULATIVE:
        assert cls().get() == 0.0
    for cls in (kc.WindowMetric, kc.WindowRegressionMetric):
        m = cls()
        assert (m.get(), m.get(1), m.size) == (0.0, 0.0, 0)
        with pytest.raises(AttributeError):
            m.size = 3
    assert not isinstance(kc.Accuracy(), (kc.IClassifier, kc.IRegressor, kc.ITransformer))


def test_accuracy():
    a = kc.Accuracy()
    a.update(1, 1)
    a.update(1, 2)
    assert a.get() == 0.5
    a.reset()
    assert a.get() == 0.0
    a.update(y_true=-7, y_pred=-7)
    a.update(y_pred=-2**31, y_true=2**31 - 1)
    assert a.get() == 0.5


def test_macro_terms_count_every_class_seen():
    ms = [cls() for cls in MACRO]
    for m in ms:
        m.update(0, 0)
        m.update(0, 1)
    assert [m.get() for m in ms] == [0.5, 0.25, 1 / 3]
    # A label seen only as a prediction enlarges the recall denominator.
    r = kc.MacroRecall()
    r.update(0, 0)
    assert r.get() == 1.0
    r.update(0, 9)
    assert r.get() == 0.25


def test_macro_keywords_name_true_and_predicted_labels():
    p, r = kc.MacroPrecision(), kc.MacroRecall()
    for m in (p, r):
        m.update(y_pred=4, y_true=3)  # FN for class 3, FP for class 4
        m.update(y_true=4, y_pred=4)
    assert p.get() == 0.25  # class 4: 1/2, class 3: no predictions
    assert r.get() == 0.5  # class 4: 1/1, class 3: 0/1


@pytest.mark.parametrize("labels", [[0, 1, 2], [-3, -1, 0, 5, 2**31 - 1, -2**31]])
def test_macro_scores_match_reference(labels):
    pairs = labelled_stream(11, 400, labels)
    ms = [cls() for cls in MACRO]
    for i, (t, p) in enumerate(pairs, 1):
        for m in ms:
            m.update(t, p)
        if i % 50 == 0:
            expect = macro_reference(pairs[:i])
            assert [m.get() for m in ms] == pytest.approx(expect, rel=1e-12)


def test_classification_reset_matches_fresh():
    first = labelled_stream(1, 300, list(range(-4, 20)))
    second = labelled_stream(2, 300, [0, 1, 2, -1])
    for cls in [kc.Accuracy] + MACRO:
        used, fresh = cls(), cls()
        for t, p in first:
            used.update(t, p)
        used.reset()
        assert used.get() == 0.0
        for t, p in second:
            used.update(t, p)
            fresh.update(t, p)
        # Summation order over classes may differ after clearing the table.
        assert used.get() == pytest.approx(fresh.get(), rel=1e-12)


# ---------------------------------------------------------------- regression


def test_mae_rmse():
    mae, rmse = kc.MAE(), kc.RMSE()
    for m in (mae, rmse):
        m.update(3, 1)
        m.update(y_true=1.0, y_pred=2.0)
    assert mae.get() == 1.5
    assert rmse.get() == math.sqrt(2.5)
    mae.reset()
    rmse.reset()
    assert (mae.get(), rmse.get()) == (0.0, 0.0)
    mae.update(0.0, -4.0)
    assert mae.get() == 4.0


def test_r2():
    r2 = kc.R2()
    r2.update(5.0, 1.0)
    assert r2.get() == 0.0  # a single target has no spread
    r2.reset()
    for y in (1.0, 2.0, 3.0):
        r2.update(y, y)
    assert r2.get() == 1.0
    const = kc.R2()
    for p in (1.0, 9.0, -3.0):
        const.update(2.0, p)
    assert const.get() == 0.0
    bad = kc.R2()
    for y, p in ((1.0, 3.0), (2.0, 0.0), (3.0, 1.0)):
        bad.update(y, p)
    # SSE 12 over a total sum of squares of 2; not clamped.
    assert bad.get() == pytest.approx(-5.0)


def test_regression_metrics_match_reference_and_reset():
    rng = random.Random(4)
    pairs = [(rng.gauss(10, 3), rng.gauss(10, 4)) for _ in range(500)]
    ms = [kc.MAE(), kc.RMSE(), kc.R2()]
    for m in ms:
        m.update(1e6, -1e6)
        m.reset()
        for y, p in pairs:
            m.update(y, p)
    ys = [y for y, _ in pairs]
    mean = sum(ys) / len(ys)
    sse = sum((y - p) ** 2 for y, p in pairs)
    expect = [
        sum(abs(y - p) for y, p in pairs) / len(pairs),
        math.sqrt(sse / len(pairs)),
        1 - sse / sum((y - mean) ** 2 for y in ys),
    ]
    assert [m.get() for m in ms] == pytest.approx(expect, rel=1e-12)


# ------------------------------------------------------------------ windowed


def test_window_metric_evicts_oldest():
    w = kc.WindowMetric(window_size=2)
    for p, a in [(1, 1), (1, 2), (2, 2)]:
        w.update(p, a)
    assert w.size == 2
    assert w.accuracy() == 0.5
    assert w.macro_f1() == pytest.approx(1 / 3)
    assert w.get(1) == w.macro_f1()
    assert w.get() == w.get(0) == w.get(2) == w.get(-1) == w.accuracy()
    # Once class 1 has left the window it no longer counts.
    w.update(actual=2, predicted=2)
    assert (w.accuracy(), w.macro_f1()) == (1.0, 1.0)


def test_window_metric_negative_labels():
    w = kc.WindowMetric(window_size=3)
    w.update(-1, -1)
    assert (w.accuracy(), w.macro_f1(), w.size) == (1.0, 0.0, 1)
    w.update(-1, 0)
    w.update(0, 0)
    assert w.accuracy() == pytest.approx(2 / 3)
    assert w.macro_f1() == pytest.approx(2 / 3)  # class 0: TP 1, FN 1
    w.update(3, -5)
    w.update(-5, -5)  # evicts (-1, -1) and then (-1, 0)
    assert w.accuracy() == pytest.approx(2 / 3)
    assert w.macro_f1() == pytest.approx(0.5)  # class 0: 1, class 3: 0


@pytest.mark.parametrize("size", [1, 7, 50])
def test_window_metric_matches_recent_window(size):
    pairs = labelled_stream(size, 600, [-2, 0, 1, 2, 3, 40])
    w = kc.WindowMetric(window_size=size)
    for i, (p, a) in enumerate(pairs, 1):
        w.update(p, a)
        window = pairs[max(0, i - size):i]
        assert w.size == len(window)
        assert w.accuracy() == sum(p == a for p, a in window) / len(window)
        f1s = []
        for c in {y for pair in window for y in pair if y >= 0}:
            tp = sum(p == a == c for p, a in window)
            fp = sum(p == c != a for p, a in window)
            fn = sum(a == c != p for p, a in window)
            f1s.append(2 * tp / (2 * tp + fp + fn))
        assert w.macro_f1() == pytest.approx(sum(f1s) / len(f1s) if f1s else 0.0, rel=1e-12)


def test_window_regression_metric():
    w = kc.WindowRegressionMetric(window_size=3)
    for e in (1.0, 2.0, 3.0, 4.0):
        w.update(y_true=0.0, y_pred=e)
    assert (w.mae(), w.size) == (3.0, 3)
    assert w.rmse() == math.sqrt(29 / 3)
    assert w.get() == w.get(5) == w.mae()
    assert w.get(1) == w.rmse()


def test_window_regression_matches_window_and_recovers_from_nan():
    rng = random.Random(9)
    size = 25
    w = kc.WindowRegressionMetric(window_size=size)
    errors = [rng.uniform(-1e3, 1e3) for _ in range(300)]
    for i, e in enumerate(errors, 1):
        w.update(e, 0.0)
        window = errors[max(0, i - size):i]
        assert w.mae() == pytest.approx(sum(abs(x) for x in window) / len(window), rel=1e-9)
        assert w.rmse() == pytest.approx(math.sqrt(sum(x * x for x in window) / len(window)),
                                         rel=1e-9)
    w.update(math.nan, 0.0)
    w.update(0.0, math.inf)
    assert math.isnan(w.mae())
    for _ in range(2 * size):
        w.update(1.0, 3.0)
    # The non-finite entries have left the window and the sums were rebuilt.
    assert (w.mae(), w.rmse()) == (2.0, 2.0)


@pytest.mark.parametrize("size", [0, -5])
def test_empty_windows_ignore_updates(size):
    w, wr = kc.WindowMetric(size), kc.WindowRegressionMetric(window_size=size)
    for _ in range(10):
        w.update(1, 1)
        wr.update(1.0, 5.0)
    for m in (w, wr):
        assert (m.get(), m.get(1), m.size) == (0.0, 0.0, 0)


def test_window_reset_matches_fresh():
    pairs = labelled_stream(3, 200, [0, 1, 5, -1])
    for cls, feed in ((kc.WindowMetric, lambda m, p: m.update(*p)),
                      (kc.WindowRegressionMetric, lambda m, p: m.update(p[0] * 1.5, p[1]))):
        used, fresh = cls(window_size=13), cls(window_size=13)
        for p in labelled_stream(8, 57, [9, 2, -4]):
            feed(used, p)
        used.reset()
        assert (used.get(), used.size) == (0.0, 0)
        for p in pairs:
            feed(used, p)
            feed(fresh, p)
            assert (used.get(0), used.get(1), used.size) == (fresh.get(0), fresh.get(1), fresh.size)
