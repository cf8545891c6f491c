"""The measures of kavro.metrics: equal to scikit-learn's on the same data at every prefix of a
stream, their undefined cases, refused input, saved states, and how evaluations feed them."""

import importlib.util
import math
import pickle
import random

import pytest

import kavro
from kavro import metrics as km
from kavro.evaluate import progressive_val_score

HAS_SKLEARN = importlib.util.find_spec("sklearn") is not None
needs_sklearn = pytest.mark.skipif(not HAS_SKLEARN, reason="scikit-learn is not installed")
# scikit-learn warns about labels absent from short prefixes.
quiet = pytest.mark.filterwarnings("ignore::UserWarning", "ignore::RuntimeWarning")

LABEL_MEASURES = [km.CohenKappa, km.KappaM, km.KappaT, km.BalancedAccuracy, km.GeometricMean, km.MCC,
                  km.F1, km.Precision, km.Recall, km.ConfusionMatrix]
SCORE_MEASURES = [km.ROCAUC, km.RollingROCAUC, km.PRAUC]


def label_pairs(seed, n, labels, right=0.6):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        y = rng.choice(labels)
        out.append((y, y if rng.random() < right else rng.choice(labels)))
    return out


def scored(seed, n, decimals=1, pos=1, neg=0):
    """(label, score) pairs; rounded scores make many ties."""
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        y = pos if rng.random() < 0.35 else neg
        out.append((y, round(rng.random() * 0.7 + (0.3 if y == pos else 0.0), decimals)))
    return out


def prefixes(n):
    return sorted({1, 2, 3, 5, 17, n // 3, n})


# ---------------------------------------------------------------- equal to scikit-learn


@needs_sklearn
@quiet
@pytest.mark.parametrize("labels", [(0, 1), (-4, 2, 9), (3, 1, 0, 2, 7)], ids=str)
def test_label_measures_equal_scikit_learn_at_every_prefix(labels):
    from scipy.stats import gmean
    from sklearn import metrics as sk

    pairs = label_pairs(len(labels), 400, labels)
    measures = {cls: cls() for cls in (km.CohenKappa, km.BalancedAccuracy, km.GeometricMean, km.MCC,
                                       km.ConfusionMatrix)}
    done = 0
    for end in prefixes(len(pairs)):
        for y, p in pairs[done:end]:
            for m in measures.values():
                m.update(y, p)
        done = end
        yt, yp = [t for t, _ in pairs[:end]], [p for _, p in pairs[:end]]
        kappa = sk.cohen_kappa_score(yt, yp) if len(set(yt) | set(yp)) > 1 else 0.0
        assert measures[km.CohenKappa].get() == pytest.approx(0.0 if math.isnan(kappa) else kappa, abs=1e-12)
        assert measures[km.BalancedAccuracy].get() == pytest.approx(sk.balanced_accuracy_score(yt, yp), abs=1e-12)
        true_labels = sorted(set(yt))
        recalls = sk.recall_score(yt, yp, labels=true_labels, average=None, zero_division=0)
        assert measures[km.GeometricMean].get() == pytest.approx(gmean(recalls) if all(recalls) else 0.0, abs=1e-12)
        assert measures[km.MCC].get() == pytest.approx(sk.matthews_corrcoef(yt, yp), abs=1e-12)
        cm = measures[km.ConfusionMatrix]
        assert cm.matrix() == sk.confusion_matrix(yt, yp, labels=cm.labels).tolist()
        assert cm.labels == list(dict.fromkeys(y for pair in pairs[:end] for y in pair))
        assert cm.get() == pytest.approx(sk.accuracy_score(yt, yp), abs=1e-15) and cm.n == end


@needs_sklearn
@quiet
@pytest.mark.parametrize("pos_label", [1, 0])
def test_binary_measures_equal_scikit_learn(pos_label):
    from sklearn import metrics as sk

    pairs = label_pairs(11, 300, (0, 1), right=0.7)
    ms = {cls: cls(pos_label=pos_label) for cls in (km.F1, km.Precision, km.Recall)}
    ref = {km.F1: sk.f1_score, km.Precision: sk.precision_score, km.Recall: sk.recall_score}
    done = 0
    for end in prefixes(len(pairs)):
        for y, p in pairs[done:end]:
            for m in ms.values():
                m.update(y, p)
        done = end
        yt, yp = [t for t, _ in pairs[:end]], [p for _, p in pairs[:end]]
        for cls, m in ms.items():
            want = ref[cls](yt, yp, pos_label=pos_label, labels=[0, 1], zero_division=0)
            assert m.get() == pytest.approx(want, abs=1e-12), cls.__name__
    # Any other label is negative.
    f1 = km.F1(pos_label=5)
    for y, p in [(5, 5), (5, 3), (2, 5), (2, 3)]:
        f1.update(y, p)
    assert f1.get() == pytest.approx(2 / 4)


@needs_sklearn
@quiet
@pytest.mark.parametrize("decimals", [1, 3, 12])
def test_score_measures_equal_scikit_learn(decimals):
    from sklearn import metrics as sk

    pairs = scored(decimals, 600, decimals, pos=2, neg=-1)
    auc, ap, rolling = km.ROCAUC(pos_label=2), km.PRAUC(pos_label=2), km.RollingROCAUC(window_size=150, pos_label=2)
    done = 0
    for end in sorted(set(prefixes(len(pairs))) | {160, 451}):
        for y, s in pairs[done:end]:
            auc.update(y, s)
            ap.update(y, s)
            rolling.update(y, s)
        done = end
        yt = [y == 2 for y, _ in pairs[:done]]
        ys = [s for _, s in pairs[:done]]
        if len(set(yt)) == 2:
            assert auc.get() == pytest.approx(sk.roc_auc_score(yt, ys), abs=1e-12)
        else:
            assert auc.get() == 0.0
        if any(yt):
            assert ap.get() == pytest.approx(sk.average_precision_score(yt, ys), abs=1e-12)
        else:
            assert ap.get() == 0.0
        wt, ws = yt[-150:], ys[-150:]
        assert rolling.size == len(wt)
        assert rolling.get() == (pytest.approx(sk.roc_auc_score(wt, ws), abs=1e-12) if len(set(wt)) == 2 else 0.0)


@needs_sklearn
@quiet
def test_log_loss_and_percentage_errors_equal_scikit_learn():
    import numpy as np
    from sklearn import metrics as sk

    rng = random.Random(12)
    labels = [0, 1, 2]
    loss, rows, ys = km.LogLoss(), [], []
    for i in range(300):
        w = [rng.random() for _ in labels]
        if i % 50 == 0:
            w[1] = 0.0  # a probability of 0, clipped
        proba = {c: v / sum(w) for c, v in zip(labels, w)}
        if i % 7 == 0:
            del proba[2]  # an absent label has probability 0
        y = rng.choice(labels)
        loss.update(y, proba)
        rows.append([proba.get(c, 0.0) for c in labels])
        ys.append(y)
    probs = np.array(rows)
    probs = probs / probs.sum(axis=1, keepdims=True)  # scikit-learn takes rows summing to 1
    keep = [i for i in range(len(ys)) if i % 7]  # rows without a removed label are unchanged
    sub = km.LogLoss()
    for i in keep:
        sub.update(ys[i], dict(zip(labels, rows[i])))
    assert sub.get() == pytest.approx(sk.log_loss([ys[i] for i in keep], probs[keep], labels=labels), rel=1e-12)
    assert loss.get() > sub.get()

    mape, smape = km.MAPE(), km.SMAPE()
    t = [rng.gauss(0, 5) for _ in range(300)] + [0.0, 0.0, 2.0]
    p = [v + rng.gauss(0, 1) for v in t[:300]] + [0.0, 1.0, 0.0]
    for a, b in zip(t, p):
        mape.update(a, b)
        smape.update(a, b)
    assert mape.get() == pytest.approx(sk.mean_absolute_percentage_error(t, p), rel=1e-12)
    ta, pa = np.array(t), np.array(p)
    den = (np.abs(ta) + np.abs(pa)) / 2
    terms = np.divide(np.abs(pa - ta), den, out=np.zeros_like(den), where=den > 0)
    assert smape.get() == pytest.approx(terms.mean(), rel=1e-12)
    assert terms[-3:].tolist() == [0.0, 2.0, 2.0]


# ---------------------------------------------------------------- definitions and edge cases


def test_empty_and_undefined_measures_report_zero():
    for cls in LABEL_MEASURES + SCORE_MEASURES + [km.LogLoss, km.MAPE, km.SMAPE]:
        assert cls().get() == 0.0, cls.__name__
    # One class only: ROC AUC and the chance-corrected measures are undefined.
    only = [km.ROCAUC(), km.RollingROCAUC(), km.CohenKappa(), km.MCC()]
    for m in only:
        for s in (0.2, 0.9, 0.9):
            m.update(1, s) if isinstance(m, (km.ROCAUC, km.RollingROCAUC)) else m.update(1, 1)
        assert m.get() == 0.0, type(m).__name__
    # Every positive above every negative, and the reverse; a tie counts half.
    auc = km.ROCAUC()
    for y, s in [(1, 0.9), (0, 0.1), (1, 0.8)]:
        auc.update(y, s)
    assert auc.get() == 1.0
    auc.update(0, 0.8)
    assert auc.get() == pytest.approx((2 + 1.5) / 4)
    auc.reset()
    for y, s in [(0, math.inf), (1, -math.inf)]:
        auc.update(y, s)
    assert auc.get() == 0.0 and km.PRAUC().get() == 0.0


def test_kappas_on_a_small_stream():
    pairs = [(1, 1), (1, 0), (0, 0), (0, 0), (1, 1), (2, 2)]
    kt, km_, ck = km.KappaT(), km.KappaM(), km.CohenKappa()
    for y, p in pairs:
        for m in (kt, km_, ck):
            m.update(y, p)
    # The model is right 5 times in 6. No-change predicts -1, 1, 1, 0, 0, 1: right twice. The
    # majority class before each label is -1, 1, 1, 1, 1 (a 2-2 tie keeps 1, seen first), 1: right twice.
    assert kt.get() == pytest.approx(3 / 4) and km_.get() == pytest.approx(3 / 4)
    # Marginals: true 1:3, 0:2, 2:1; predicted 1:2, 0:3, 2:1.
    assert ck.get() == pytest.approx((6 * 5 - 13) / (36 - 13))


def test_inputs_and_feeding_probabilities():
    assert [cls().input for cls in LABEL_MEASURES] == ["label"] * len(LABEL_MEASURES)
    assert [cls().input for cls in SCORE_MEASURES + [km.LogLoss]] == ["proba"] * 4
    assert not hasattr(km.MAPE(), "input")
    # A dict is scored by the probability of pos_label, 0 when it is absent.
    pairs = scored(21, 300, 2, pos=3, neg=4)
    assert sum(s == 0.5 for _, s in pairs) > 0
    by_dict, by_score = km.ROCAUC(pos_label=3), km.ROCAUC(pos_label=3)
    for y, s in pairs:
        by_dict.update(y, {3: s, 4: 1 - s} if s != 0.5 else {4: 0.5})
        by_score.update(y, s if s != 0.5 else 0.0)
    assert by_dict.get() == by_score.get() and kavro.dumps(by_dict) == kavro.dumps(by_score)


def test_bad_input_is_refused_and_changes_nothing():
    auc = km.ROCAUC()
    auc.update(1, 0.7)
    auc.update(0, 0.2)
    before = kavro.dumps(auc)
    with pytest.raises(ValueError, match="y_pred"):
        auc.update(1, math.nan)
    with pytest.raises(ValueError, match="y_pred"):
        auc.update(1, {1: math.nan})
    with pytest.raises(TypeError, match="y_pred"):
        auc.update(1, "0.5")
    with pytest.raises(TypeError, match="y_pred"):
        auc.update(1, {"a": 0.5})
    assert kavro.dumps(auc) == before
    loss = km.LogLoss()
    with pytest.raises(ValueError, match="y_pred"):
        loss.update(0, {0: 0.5, 1: math.nan})
    assert loss.get() == 0.0
    for cls in (km.MAPE, km.SMAPE):
        m = cls()
        with pytest.raises(ValueError, match="y_true"):
            m.update(math.nan, 1.0)
        assert kavro.dumps(m) == kavro.dumps(cls())
    with pytest.raises(ValueError, match="window_size"):
        km.RollingROCAUC(window_size=0)
    with pytest.raises(ValueError, match="digits"):
        km.ConfusionMatrix().classification_report(digits=-1)
    with pytest.raises(TypeError):
        km.F1(pos_label=2**31)


def test_confusion_matrix_report():
    cm = km.ConfusionMatrix()
    for y, p in [(1, 1), (1, 0), (0, 0), (-12345, 0), (1, 1)]:
        cm.update(y, p)
    assert cm.labels == [1, 0, -12345] and cm.matrix() == [[2, 1, 0], [0, 1, 0], [0, 1, 0]]
    lines = cm.classification_report().splitlines()
    assert lines[0].split() == ["precision", "recall", "f1", "support"]
    assert lines[1].split() == ["1", "1.00", "0.67", "0.80", "3"]
    assert lines[2].split() == ["0", "0.33", "1.00", "0.50", "1"]
    assert lines[3].split() == ["-12345", "0.00", "0.00", "0.00", "1"]
    assert lines[5].split() == ["accuracy", "0.60", "5"]
    assert lines[6].split()[:2] == ["macro", "avg"] and lines[7].split()[:2] == ["weighted", "avg"]
    assert cm.classification_report(digits=4).splitlines()[1].split()[2] == "0.6667"
    cm.reset()
    assert (cm.labels, cm.matrix(), cm.n) == ([], [], 0)


def test_rolling_auc_memory_is_the_window():
    m = km.RollingROCAUC(window_size=5)
    for i in range(1000):
        m.update(i % 2, i * 0.001)
    assert m.size == 5 and len(kavro.inspect(m)["state"]["window"]) == 5
    assert m.get() == pytest.approx(3 / 6)  # (1,.995) (0,.996) (1,.997) (0,.998) (1,.999)


# ---------------------------------------------------------------- saved states


@pytest.mark.parametrize("cls", LABEL_MEASURES + SCORE_MEASURES + [km.LogLoss, km.MAPE, km.SMAPE],
                         ids=lambda c: c.__name__)
def test_saved_measures_go_on_as_the_original(cls):
    m = cls()
    if cls in (km.MAPE, km.SMAPE):
        stream = [(float(y), float(p) + 0.5) for y, p in label_pairs(31, 200, (1, 2, 5))]
    elif m.input == "proba":
        stream = [(y, {1: s, 0: 1 - s} if cls is km.LogLoss else s) for y, s in scored(31, 200, 2)]
    else:
        stream = label_pairs(31, 200, (3, -1, 0, 1))
    for y, p in stream[:100]:
        m.update(y, p)
    copy = pickle.loads(pickle.dumps(m))
    assert copy.get() == m.get()
    for y, p in stream[100:]:
        m.update(y, p)
        copy.update(y, p)
    assert copy.get() == m.get() and kavro.dumps(copy) == kavro.dumps(m)


@pytest.mark.parametrize("cls", [km.KappaM, km.MCC, km.F1, km.ConfusionMatrix, km.ROCAUC, km.RollingROCAUC,
                                 km.LogLoss, km.SMAPE], ids=lambda c: c.__name__)
def test_damaged_saved_states_are_refused_or_work(cls):
    from state_roundtrip import check_hostile, exercise

    m = cls()
    exercise(m, seed=3)
    check_hostile(m, exercise, n=80)


# ---------------------------------------------------------------- evaluations


def manual(stream, model, measures):
    for x, y in stream:
        label, proba = model.predict_one(x), model.predict_proba_one(x)
        for m in measures:
            m.update(y, proba if getattr(m, "input", "label") == "proba" else label)
        model.learn_one(x, y)
    return [m.get() for m in measures]


def test_progressive_evaluation_feeds_probabilities():
    stream = kavro.datasets.Electricity().take(3000)
    ms = [km.Accuracy(), km.ROCAUC(), km.LogLoss(), km.KappaT()]
    res = progressive_val_score(stream, kavro.NaiveBayes(), ms, every=1000, progress=False)
    want = manual(stream, kavro.NaiveBayes(), [km.Accuracy(), km.ROCAUC(), km.LogLoss(), km.KappaT()])
    assert [res.final[k] for k in ("Accuracy", "ROCAUC", "LogLoss", "KappaT")] == want
    # A late label and a window feed the same pairs.
    late = progressive_val_score(stream, kavro.NaiveBayes(), [km.ROCAUC()], delay=1, window=500, progress=False)
    assert 0.5 < late.final["ROCAUC"] <= 1.0 and 0.0 < late.final["ROCAUC (last 500)"] <= 1.0
    with pytest.raises(TypeError, match="predict_proba_one"):
        progressive_val_score([({"a": 1.0}, 1.0)], kavro.LinearRegression(), [km.ROCAUC()])

    class Scores:  # a measure fed the probability of its pos_label
        input, pos_label = "score", 0

        def __init__(self):
            self.seen = []

        def update(self, y_true, y_pred):
            self.seen.append((y_true, y_pred))

        def get(self):
            return 0.0

    fed = Scores()
    progressive_val_score(stream[:200], kavro.NaiveBayes(), [fed], progress=False)
    model, want = kavro.NaiveBayes(), []
    for x, y in stream[:200]:
        want.append((y, model.predict_proba_one(x).get(0, 0.0)))
        model.learn_one(x, y)
    assert fed.seen == want


@needs_sklearn
@quiet
def test_electricity_evaluation_equals_scikit_learn():
    from sklearn import metrics as sk

    stream = kavro.datasets.Electricity().take(5000)
    ms = [km.Accuracy(), km.CohenKappa(), km.KappaT(), km.ROCAUC()]
    res = progressive_val_score(stream, kavro.HoeffdingTreeClassifier(), ms, every=2500, progress=False)
    model, yt, yp, ps = kavro.HoeffdingTreeClassifier(), [], [], []
    for x, y in stream:
        yp.append(model.predict_one(x))
        ps.append(model.predict_proba_one(x).get(1, 0.0))
        yt.append(y)
        model.learn_one(x, y)
    assert res.final["Accuracy"] == pytest.approx(sk.accuracy_score(yt, yp), abs=1e-12)
    assert res.final["CohenKappa"] == pytest.approx(sk.cohen_kappa_score(yt, yp), abs=1e-12)
    assert res.final["ROCAUC"] == pytest.approx(sk.roc_auc_score(yt, ps), abs=1e-12)
    p_t = sum(a == b for a, b in zip(yt[1:], yt[:-1])) / len(yt)
    p_o = sk.accuracy_score(yt, yp)
    assert res.final["KappaT"] == pytest.approx((p_o - p_t) / (1 - p_t), abs=1e-12)
    assert [r["step"] for r in res.rows] == [2500, 5000]


def test_cli_defaults_to_accuracy_and_kappa_t_and_takes_the_new_measures(capsys):
    from kavro import cli

    assert cli.main(["evaluate", "--model", "NoChangeClassifier", "--stream", "electricity", "--n", "600",
                     "--every", "300", "--format", "csv", "--no-progress"]) == 0
    rows = capsys.readouterr().out.splitlines()
    assert rows[0] == "model,step,Accuracy,KappaT,elapsed,throughput"
    assert rows[2].split(",")[3] == "0.0"  # the no-change baseline against itself
    assert cli.main(["evaluate", "--model", "NaiveBayes", "--stream", "electricity", "--n", "600", "--format", "csv",
                     "--metric", "ROCAUC:pos_label=0", "--metric", "RollingROCAUC:window_size=100",
                     "--metric", "MCC", "--no-progress"]) == 0
    assert capsys.readouterr().out.splitlines()[0] == "model,step,ROCAUC,RollingROCAUC,MCC,elapsed,throughput"
    assert cli.main(["evaluate", "--model", "LinearRegression", "--stream", "friedman", "--n", "100",
                     "--metric", "SMAPE", "--metric", "MAPE", "--format", "csv", "--no-progress"]) == 0
    assert cli.main(["evaluate", "--model", "LinearRegression", "--stream", "friedman", "--n", "100",
                     "--metric", "ROCAUC", "--no-progress"]) == 2
    assert "scores a classifier" in capsys.readouterr().err


def test_evaluate_many_takes_the_new_measures(ray_session):
    from kavro.distributed import evaluate_many

    data = kavro.datasets.Electricity().take(800)

    def measures():
        return [km.ROCAUC(), km.KappaT(), km.ConfusionMatrix()]

    local = progressive_val_score(data, kavro.NaiveBayes(), measures(), every=400, progress=False)
    (remote,) = evaluate_many([{"model": kavro.NaiveBayes(), "stream": data, "metrics": measures(), "every": 400}])
    drop = ("elapsed", "throughput")
    assert [{k: v for k, v in r.items() if k not in drop} for r in remote.rows] == \
        [{k: v for k, v in r.items() if k not in drop} for r in local.rows]
