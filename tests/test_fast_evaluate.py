"""Block streams and the native test-then-train loop against record iteration and the Python loop."""

import csv
import math
import os
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kavro_core as kc
import kavro
from kavro import _blocks
from kavro.evaluate import progressive_val_score
from kavro.stream import StreamError, iter_array, iter_csv, iter_pandas

DATA = "/work/shared/data"
CLASSIFIERS = [
    "NaiveBayes", "Perceptron", "LogisticRegressionClassifier", "PassiveAggressiveClassifier",
    "SoftmaxRegression", "KNNClassifier", "HoeffdingTreeClassifier", "EFDTClassifier",
    "SGTClassifier", "HoeffdingAdaptiveTreeClassifier", "ARFClassifier", "SRPClassifier",
    "LeveragingBaggingClassifier", "SGBTClassifier", "ClassificationPipeline",
]
REGRESSORS = [
    "LinearRegression", "BayesianLinearRegression", "PassiveAggressiveRegressor", "KNNRegressor",
    "HoeffdingTreeRegressor", "FIMTDDRegressor", "ARFRegressor", "SRPRegressor",
    "LeveragingBaggingRegressor", "SGBRRegressor", "RegressionPipeline",
]
CLF_METRICS = ["Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "WindowMetric", "MAE",
               "RMSE", "R2", "WindowRegressionMetric"]
REG_METRICS = ["MAE", "RMSE", "R2", "WindowRegressionMetric"]


def make(name):
    if name == "ClassificationPipeline":
        return kc.ClassificationPipeline([kc.StandardScaler(), kc.SelectKBest(k=3)],
                                         kc.LogisticRegressionClassifier())
    if name == "RegressionPipeline":
        return kc.RegressionPipeline([kc.MinMaxScaler(), kc.VarianceThreshold()], kc.LinearRegression())
    return getattr(kc, name)()


def metrics_for(names):
    return [kc.WindowMetric(50) if n == "WindowMetric" else
            kc.WindowRegressionMetric(50) if n == "WindowRegressionMetric" else getattr(kc, n)()
            for n in names]


def scores(ev):
    return [{k: v for k, v in row.items() if k not in ("elapsed", "throughput")} for row in ev.rows]


def fingerprint(model, probe, classifier):
    """Predictions on probe records, and the saved form where the class has one."""
    from kavro import _native

    saved = kavro.dumps(model) if type(model).__name__ in _native.class_names() else None
    if classifier:
        return saved, [list(model.predict_proba_one(x).items()) for x in probe]
    return saved, [model.predict_one(x) for x in probe]


def python_loop(stream):
    """The same examples as a plain iterable, which always takes the Python loop."""
    return (pair for pair in stream)


def same_run(make_stream, name, metric_names, classifier, probe, **options):
    fast_model, slow_model = make(name), make(name)
    fast = progressive_val_score(make_stream(), fast_model, metrics_for(metric_names),
                                 progress=False, **options)
    slow = progressive_val_score(python_loop(make_stream()), slow_model, metrics_for(metric_names),
                                 progress=False, **options)
    assert scores(fast) == scores(slow)
    assert fast.n == slow.n
    assert fingerprint(fast_model, probe, classifier) == fingerprint(slow_model, probe, classifier)
    return fast


def with_holes(X, seed):
    X = X.copy()
    X[np.random.default_rng(seed).random(X.shape) < 0.1] = np.nan
    return X


def blob_data(n, seed, labels=3):
    rng = np.random.default_rng(seed)
    y = rng.integers(0, labels, n)
    X = rng.normal(size=(n, 5)) + y[:, None] * 0.7
    return with_holes(X, seed), y


# ---------------------------------------------------------------------------------------------
# Native loop == Python loop


@pytest.mark.parametrize("name", CLASSIFIERS)
def test_classifiers_score_and_end_as_in_the_python_loop(name):
    X, y = blob_data(700, 1)
    probe = [dict(zip(["x0", "x1", "x2", "x3", "x4"], r)) for r in np.random.default_rng(9).normal(size=(20, 5))]
    same_run(lambda: iter_array(X, y), name, CLF_METRICS, True, probe, every=97)


@pytest.mark.parametrize("name", REGRESSORS)
def test_regressors_score_and_end_as_in_the_python_loop(name):
    rng = np.random.default_rng(2)
    X = with_holes(rng.normal(size=(600, 4)), 2)
    y = np.nan_to_num(X) @ np.array([1.0, -2.0, 0.5, 3.0]) + rng.normal(size=600)
    probe = [dict(zip(["a", "b", "c", "d"], r)) for r in rng.normal(size=(20, 4))]
    same_run(lambda: iter_array(X, y, feature_names=["a", "b", "c", "d"]), name, REG_METRICS,
             False, probe, every=128, n=555)


ENSEMBLES = ["ARFClassifier", "ARFRegressor", "SRPClassifier", "SRPRegressor",
             "LeveragingBaggingClassifier", "LeveragingBaggingRegressor"]


@pytest.mark.parametrize("name", ENSEMBLES)
def test_members_on_threads_score_and_end_as_one_thread(name):
    # A change half-way makes detectors fire and members be replaced mid-block.
    X, labels = blob_data(3000, 4, labels=2)
    labels[1500:] = 1 - labels[1500:]
    classifier = name.endswith("Classifier")
    y = labels if classifier else np.nan_to_num(X[:, 0]) * np.where(labels, 3.0, -2.0)
    options = dict(n_models=4, seed=5, grace_period=25)
    if name.startswith("SRP"):
        options["training_method"] = "patches"
    probe = [dict(zip(["x0", "x1", "x2", "x3", "x4"], r)) for r in np.random.default_rng(3).normal(size=(10, 5))]
    metric_names = ["Accuracy", "MacroF1"] if classifier else ["MAE", "R2"]
    runs = []
    for n_jobs in (1, 2, -1, None):
        model = getattr(kc, name)(**options)
        stream = iter_array(X, y) if n_jobs else python_loop(iter_array(X, y))
        ev = progressive_val_score(stream, model, metrics_for(metric_names), every=250,
                                   progress=False, n_jobs=n_jobs or 1)
        runs.append((scores(ev), fingerprint(model, probe, classifier)))
    assert all(run == runs[0] for run in runs[1:])


def test_n_jobs_is_checked_before_the_run():
    model = kc.ARFClassifier()
    for bad in (0, -2, 1.5, True):
        with pytest.raises(ValueError, match="n_jobs"):
            progressive_val_score(iter_array(np.ones((5, 2)), np.ones(5, int)), model, n_jobs=bad)
    assert kavro.dumps(model) == kavro.dumps(kc.ARFClassifier())


@pytest.mark.parametrize("name", ["NaiveBayes", "HoeffdingTreeClassifier", "ARFClassifier"])
def test_electricity_csv_through_both_loops(name):
    probe = [x for (x, _), _ in zip(iter_csv(os.path.join(DATA, "electricity.csv"), "class"), range(30))]
    ev = same_run(lambda: iter_csv(os.path.join(DATA, "electricity.csv"), "class"), name,
                  ["Accuracy", "MacroF1"], True, probe, every=5000,
                  n=None if name != "ARFClassifier" else 3000)
    assert ev.rows[-1]["step"] == (45312 if name != "ARFClassifier" else 3000)


def test_fried_csv_regression_through_both_loops():
    path = os.path.join(DATA, "fried.csv")
    probe = [x for (x, _), _ in zip(iter_csv(path, "target"), range(30))]
    same_run(lambda: iter_csv(path, "target"), "HoeffdingTreeRegressor", REG_METRICS, False, probe,
             every=3333)


def test_dataframe_with_labels_through_both_loops():
    pd = pytest.importorskip("pandas")
    X, y = blob_data(400, 3)
    df = pd.DataFrame(X, columns=list("abcde"))
    df["i"] = np.arange(400, dtype=np.int32)
    df["label"] = np.array(["red", "green", "blue"])[y]
    probe = [{"a": 0.1, "b": 1.0, "i": 3.0}]
    same_run(lambda: iter_pandas(df, "label"), "HoeffdingTreeClassifier", ["Accuracy"], True, probe,
             every=64)


def test_checkpoints_progress_and_limits():
    X, y = blob_data(1000, 4)
    seen = []
    ev = progressive_val_score(iter_array(X, y), kc.NaiveBayes(), kc.Accuracy(), every=300, n=950,
                               progress=False, on_checkpoint=lambda row: seen.append(row["step"]))
    assert [r["step"] for r in ev.rows] == seen == [300, 600, 900, 950]
    assert ev.n == 950
    ev = progressive_val_score(iter_array(X, y), kc.NaiveBayes(), kc.Accuracy(), every=250,
                               progress=False)
    assert [r["step"] for r in ev.rows] == [250, 500, 750, 1000]
    ev = progressive_val_score(iter_array(X[:0], y[:0]), kc.NaiveBayes(), kc.Accuracy(), progress=False)
    assert ev.rows == [] and ev.n == 0


def test_python_side_objects_keep_the_python_loop():
    X, y = blob_data(300, 5)

    class Counting(kc.Accuracy):
        def __init__(self):
            super().__init__()
            self.calls = 0

        def update(self, y_true, y_pred):
            self.calls += 1
            super().update(y_true, y_pred)

    metric = Counting()
    progressive_val_score(iter_array(X, y), kc.NaiveBayes(), metric, progress=False)
    assert metric.calls == 300


def test_refused_targets_fail_exactly_as_in_the_python_loop():
    X, _ = blob_data(50, 6)
    for y, metric in [(np.arange(50, dtype=np.float64), kc.MAE),  # real targets for a classifier
                      (np.full(50, 2**40), kc.Accuracy)]:          # labels past 32 bits
        errors, models = [], []
        for make_stream in (lambda: iter_array(X, y), lambda: python_loop(iter_array(X, y))):
            model = kc.HoeffdingTreeClassifier()
            with pytest.raises((TypeError, ValueError)) as info:
                progressive_val_score(make_stream(), model, metric(), progress=False)
            errors.append((type(info.value), re.sub("0x[0-9a-f]+", "", str(info.value))))
            models.append(model.predict_proba_one({"x0": 0.0}))
        assert errors[0] == errors[1] and models[0] == models[1]
    with pytest.raises(TypeError):  # a regressor's predictions are not labels
        progressive_val_score(iter_array(X, np.ones(50)), kc.LinearRegression(), kc.Accuracy(),
                              progress=False)


# ---------------------------------------------------------------------------------------------
# Blocks reproduce the records


def records_of(blocks):
    out = []
    for X, y, names in blocks:
        out.extend(zip(_blocks.row_records(X, names), y.tolist()))
    return out


def drain(source):
    """Every pair up to the error the source raises, and that error's text."""
    pairs = []
    try:
        for pair in source:
            pairs.append(pair)
    except (StreamError, ValueError) as exc:
        return pairs, f"{type(exc).__name__}: {exc}"
    return pairs, None


def same_pairs(a, b):
    assert len(a) == len(b)
    for (xa, ya), (xb, yb) in zip(a, b):
        assert list(xa.items()) == list(xb.items()) or all(
            ka == kb and (va == vb or (math.isnan(va) and math.isnan(vb)))
            for (ka, va), (kb, vb) in zip(xa.items(), xb.items()))
        assert type(ya) is type(yb) and (ya == yb or ya != ya and yb != yb)


def test_the_stream_reader_takes_over_from_the_engine(monkeypatch, tmp_path):
    monkeypatch.setattr(_blocks, "_ENGINE_BLOCK", 500)
    path = os.path.join(DATA, "electricity.csv")
    assert records_of(iter_csv(path, "class").chunks()) == list(iter_csv(path, "class"))
    lines = ["a,b,y"] + [f"{i}.5,{i % 7},{i % 2}" for i in range(3000)]
    lines[2000] = '"2000.5",6,0'  # the line reader stops at a quote
    lines[2500] = "2500.5,x,0"
    path = write(tmp_path, "\n".join(lines))
    slow = drain(iter_csv(path, "y"))
    fast = drain(records_of_lazily(iter_csv(path, "y").chunks()))
    assert "line 2501, column 'b'" in slow[1] and fast[1] == slow[1]
    same_pairs(fast[0], slow[0])
    lines[2500] = "2500.5,6,0"
    lines[1:] = [line.rsplit(",", 1)[0] + f",L{i % 5}" for i, line in enumerate(lines[1:])]
    labelled = write(tmp_path, "\n".join(lines), "labelled.csv")  # classes numbered across the handover
    slow_stream, fast_stream = iter_csv(labelled, "y", target_type="label"), iter_csv(labelled, "y", target_type="label")
    slow = list(slow_stream)
    assert records_of(fast_stream.chunks()) == slow and fast_stream.classes == slow_stream.classes
    runs = [scores(progressive_val_score(make_stream(), kc.HoeffdingTreeClassifier(), kc.Accuracy(),
                                         n=2400, every=800, progress=False))
            for make_stream in (lambda: iter_csv(path, "y"), lambda: python_loop(iter_csv(path, "y")))]
    assert runs[0] == runs[1] and len(runs[0]) == 3


@pytest.mark.parametrize("name,target", [("electricity.csv", "class"), ("fried.csv", "target")])
def test_real_files_read_identically(name, target):
    stream = iter_csv(os.path.join(DATA, name), target)
    rows = list(stream)
    assert records_of(stream.chunks(5000)) == rows
    labelled = iter_csv(os.path.join(DATA, name), target, target_type="label")
    rows = list(labelled)
    classes = dict(labelled.classes)
    assert records_of(labelled.chunks()) == rows and labelled.classes == classes


HOSTILE = [
    "0.1", "1e308", "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
    "4.9e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "1e-400", "-1e-400",
    "9007199254740993", "9007199254740993.000000000000000000001", "9007199254740992.9999999999",
    "0.30000000000000004441", "1" * 400, "0." + "0" * 300 + "1" + "7" * 500, "  1.5  ", "\t2\t",
    "+.5", "-.5e-3", "5.", "-0", "-0.0", "00012", "1E+05", "1e5000", "-1e5000", "1_000", "\u0661\u0662",
    "nan", "NaN", "-nan", "inf", "-Infinity", "+inf", '"1.25"', '" 3 "', "", "   ", '""',
    "1.5\u00a0", "\x1c2", "2.2250738585072011e-308", "2.2250738585072012e-308",
    "7.038531e-26", "123456789012345678901234567890e-30",
]


def write(tmp_path, text, name="data.csv"):
    path = tmp_path / name
    path.write_bytes(text.encode("utf-8"))
    return str(path)


def test_hostile_cells_convert_to_the_same_doubles(tmp_path):
    lines = ["f,g,y"] + [f"{cell},{HOSTILE[-1 - i]},{i % 3}" for i, cell in enumerate(HOSTILE)]
    path = write(tmp_path, "\r\n".join(lines) + "\r\n\r\n")
    slow = list(iter_csv(path, "y"))
    fast = records_of(iter_csv(path, "y").chunks())
    same_pairs(fast, slow)
    assert slow[HOSTILE.index("9007199254740993.000000000000000000001")][0]["f"] == 9007199254740994.0
    assert "f" not in slow[HOSTILE.index("nan")][0]  # NaN cells are absent features
    # As targets (float targets keep NaN as a value)
    lines = ["f,y"] + [f"1,{cell}" for cell in HOSTILE if cell.strip(' "') and "nan" not in cell.lower()]
    path = write(tmp_path, "\n".join(lines), "targets.csv")
    same_pairs(records_of(iter_csv(path, "y", target_type="float").chunks()),
               list(iter_csv(path, "y", target_type="float")))


@pytest.mark.parametrize("bad", ["abc", "1.2.3", "--1", "0x1p3", "0x10", "1e", ".", "e5", "1 2"])
def test_bad_values_stop_where_and_as_the_reader_stops(tmp_path, bad):
    lines = ["a,b,y"] + [f"{i}.5,{i},{i % 2}" for i in range(30)] + [f"1,{bad},0", "2,2,1"]
    path = write(tmp_path, "\n".join(lines))
    slow = drain(iter_csv(path, "y"))
    fast = drain(records_of_lazily(iter_csv(path, "y").chunks()))
    assert slow[1] is not None and "line 32, column 'b'" in slow[1]
    same_pairs(fast[0], slow[0])
    assert fast[1] == slow[1]


def records_of_lazily(blocks):
    for X, y, names in blocks:
        yield from zip(_blocks.row_records(X, names), y.tolist())


@pytest.mark.parametrize("text", [
    "a,y\n1,x\n2,\n3,z\n",          # missing target
    "a,y\n1,0\n2,0\n3,1.5\n",       # not an integer once targets read as integers
    "a,y\n1,0\n2\n3,1\n",           # short row
    "a,y\n1,0\n\"2\n5\",1\n3,1\n",  # quoted line break
    "a,y\n1,0\n2,1,3\n",            # long row
    "y,a\n0,1\n\n\n1,2\n",          # blank lines
    "a,y\n",                        # no rows
    "",                             # empty file
    "a,b\n1,2\n",                   # no target column
])
def test_irregular_files_read_identically(tmp_path, text):
    path = write(tmp_path, text)
    slow = drain(iter_csv(path, "y"))
    fast = drain(records_of_lazily(iter_csv(path, "y").chunks()))
    same_pairs(fast[0], slow[0])
    assert fast[1] == slow[1]


def test_a_bad_value_stops_the_native_loop_where_the_python_loop_stops(tmp_path):
    X, y = blob_data(3000, 7)
    lines = ["a,b,c,d,e,y"] + [",".join("" if v != v else repr(v) for v in r) + f",{t}" for r, t in zip(X.tolist(), y.tolist())]
    lines[2500] = lines[2500].replace(",", ",oops", 1)
    path = write(tmp_path, "\n".join(lines))
    models, errors = [], []
    for make_stream in (lambda: iter_csv(path, "y"), lambda: python_loop(iter_csv(path, "y"))):
        model, metric = kc.HoeffdingTreeClassifier(), kc.Accuracy()
        with pytest.raises(StreamError) as info:
            progressive_val_score(make_stream(), model, metric, every=1000, progress=False)
        errors.append(str(info.value))
        models.append((metric.get(), model.predict_proba_one({"a": 0.3, "b": 1.0})))
    assert errors[0] == errors[1] and "line 2501, column 'b'" in errors[0]
    assert models[0] == models[1]


def test_array_and_frame_blocks_match_their_records():
    pd = pytest.importorskip("pandas")
    X, y = blob_data(100, 8)
    Xi = np.arange(300, dtype=np.int64).reshape(100, 3) * (2**53 + 1)
    for args in [(X, y), (np.asfortranarray(X), list(y)), (Xi, y.astype(np.uint8)),
                 (X.astype(np.float32), np.arange(100) * 0.5)]:
        same_pairs(records_of(iter_array(*args).chunks(7)), list(iter_array(*args)))
    for bad in [(X, None), (X, list(range(99))), (X.astype(object), y), (X, [0, 1.5] * 50)]:
        with pytest.raises(TypeError):
            iter_array(*bad).chunks()
    with pytest.raises(TypeError):
        iter_array(X, y, feature_names=["a", "a", "b", "c", "d"]).chunks()
    df = pd.DataFrame(X, columns=list("abcde"))
    df["y"] = np.where(y == 1, 2.0, 1.0)
    df.loc[40, "y"] = np.nan
    same_pairs(drain(records_of_lazily(iter_pandas(df, "y").chunks(16)))[0],
               drain(iter_pandas(df, "y"))[0])
    assert drain(records_of_lazily(iter_pandas(df, "y").chunks(16)))[1] == drain(iter_pandas(df, "y"))[1]


def test_native_decimal_reader_matches_python_float(tmp_path):
    from kavro import _native

    rng = np.random.default_rng(11)
    cells = [repr(v) for v in (rng.normal(size=500) * 10.0 ** rng.integers(-300, 300, 500)).tolist()]
    cells += [f"{v:.25e}" for v in rng.random(500).tolist()] + [f"{v:.17g}" for v in rng.random(500).tolist()]
    cells += [s for s in HOSTILE if s.strip()]
    # Around the limits of one exact operation: mantissas near 2^53, powers of ten near 10^22
    cells += ["9007199254740992", "9007199254740993", "-9007199254740992e22", "9007199254740993e-22",
              "1e22", "1e23", "1e-22", "1e-23", "123e-22", "0.0000000000000000000001", "4503599627370497.5",
              "900719925474099.3e7", "0000000000000000000001.5", "-0e-30"]
    mantissas = rng.integers(0, 2**53, 400, dtype=np.int64) >> rng.integers(0, 53, 400)
    cells += [f"{'-' * (k % 2)}{m}e{e}" for k, (m, e) in enumerate(zip(mantissas.tolist(), rng.integers(-26, 27, 400).tolist()))]
    cells += [f"{m / 10 ** d:.{d}f}" for m, d in zip(mantissas.tolist(), rng.integers(0, 17, 400).tolist())]
    # The engine converts a column of them, each as the text of its field (quotes around it
    # removed); where it stops, the cell is left to the stream's reader and it goes on after it.
    listed, k = [], 0
    while k < len(cells):
        path = os.path.join(tmp_path, f"cells{k}.csv")
        with open(path, "w") as fh:
            fh.write("f,y\n" + "".join(f"{c},0\n" for c in cells[k:]))
        engine = _native.CsvEngine(os.fsencode(path))
        engine.header()
        engine.start(",", 2, [0], 1, "int", 1 << 17, 4096, True)
        while (block := engine.next()) is not None:
            for value in block.arrays()[0][:, 0].tolist():
                cell = next(csv.reader([cells[k]]), [""])[0]  # the text of the field
                if value != value:  # a missing cell
                    assert not cell.strip() or math.isnan(float(cell)), cell
                    k += 1
                    continue
                assert value == float(cell) and math.copysign(1, value) == math.copysign(1, float(cell)), cell
                k += 1
        if k < len(cells):
            listed.append(cells[k])
            k += 1
    assert len(listed) < 40


def test_undecodable_bytes_in_a_dropped_column_stop_both_readers(tmp_path):
    path = tmp_path / "bytes.csv"
    path.write_bytes(b"a,note,y\n" + b"".join(b"%d,ok,%d\n" % (i, i % 2) for i in range(20))
                     + b"5,\xff\xfe,1\n3,ok,0\n")
    slow = drain(iter_csv(str(path), "y", drop=["note"]))
    fast = drain(records_of_lazily(iter_csv(str(path), "y", drop=["note"]).chunks()))
    assert slow[1] is not None and slow[1].startswith("StreamError") and "not utf-8 text" in slow[1]
    same_pairs(fast[0], slow[0])
    assert fast[1] == slow[1]


# ---------------------------------------------------------------------------------------------
# Files read in many pieces and blocks (the sizes shrunk so that small files span many)


@pytest.fixture(params=["engine", "reader"])
def small_pieces(monkeypatch, request):
    """Small blocks of the engine, which hands over to the stream's reader where it stops; or
    that reader alone."""
    if request.param == "engine":
        monkeypatch.setattr(_blocks, "_ENGINE_BLOCK", 37)
    else:
        monkeypatch.setattr(_blocks, "_ENGINE", False)


def piece_file(tmp_path, rows=600, newline="\n", edit=None):
    lines = ["a,b,note,y"] + [f"{i}.25,{(i * 7) % 13},n{i},{i % 3}" for i in range(rows)]
    if edit:
        edit(lines)
    return write(tmp_path, newline.join(lines))


def read(path, **options):
    return iter_csv(path, "y", drop=["note"], **options)


def replace_at(row, old, new):
    def edit(lines):
        lines[row] = lines[row].replace(old, new, 1)
    return edit


@pytest.mark.parametrize("edit,error", [
    (None, None),
    (replace_at(3, ",", ",x"), "line 4, column 'b'"),                     # in the first piece
    (replace_at(560, ",", ",x"), "line 561, column 'b'"),                 # in a late block
    (lambda ls: (replace_at(3, ",", ",x")(ls), replace_at(560, ",", ",x")(ls)), "line 4, column 'b'"),
    (replace_at(450, ",n449,2", ",n449,"), "line 451, column 'y'"),      # missing target, late
    (replace_at(300, ",n299", ""), "line 301: 3 fields"),                # short row, mid-file
    (replace_at(500, "n499", '"n\n499"'), None),                         # a quote late: line breaks in values
    (replace_at(20, "n19", '"n,20"'), None),                              # a quote in the first piece
    (replace_at(400, "n399", "n\u00e9"), None),                           # beyond ASCII, late
    (replace_at(1, "n0", "n" * 700), None),                              # a line longer than the first piece
    (lambda ls: ls.insert(350, ""), None),                               # a blank line
])
def test_pieces_deliver_the_rows_values_and_errors_of_the_reader(small_pieces, tmp_path, edit, error):
    path = piece_file(tmp_path, edit=edit)
    slow = drain(read(path))
    blocks = list(read(path).chunks()) if error is None else None
    fast = drain(records_of_lazily(read(path).chunks()))
    assert (slow[1] is None) == (error is None) and (error is None or error in slow[1])
    same_pairs(fast[0], slow[0])
    assert fast[1] == slow[1]
    if blocks is not None and _blocks._ENGINE and len(blocks[0][0]) == 37:
        assert len(blocks) > 5  # the file did span many blocks


@pytest.mark.parametrize("newline", ["\r\n", "\r", "\n"])
def test_pieces_cut_only_between_rows(small_pieces, tmp_path, newline):
    path = piece_file(tmp_path, newline=newline)
    with open(path, "ab") as fh:
        fh.write(b"\r\n\r\n7.5,1,last,2")  # blank lines, then a last line without a break
    same_pairs(records_of(read(path).chunks()), list(read(path)))
    labelled = read(path, target_type="label")
    rows, fast = list(labelled), records_of(read(path, target_type="label").chunks())
    assert fast == rows


def test_undecodable_bytes_late_in_a_piece_stop_both_readers(small_pieces, tmp_path):
    path = tmp_path / "late.csv"
    body = b"".join(b"%d,ok,%d\n" % (i, i % 2) for i in range(3000))  # past the header's read
    path.write_bytes(b"a,note,y\n" + body + b"5,\xe9t\xe9,1\n" + body)
    slow = drain(iter_csv(str(path), "y", drop=["note"]))
    fast = drain(records_of_lazily(iter_csv(str(path), "y", drop=["note"]).chunks()))
    assert slow[1] is not None and slow[1].startswith("StreamError") and "not utf-8 text" in slow[1]
    assert len(slow[0]) > 2000
    same_pairs(fast[0], slow[0])
    assert fast[1] == slow[1]


def test_no_reading_thread_outlives_the_blocks(tmp_path):
    if not os.path.isdir("/proc/self/task"):
        pytest.skip("threads are counted in /proc")
    path = piece_file(tmp_path, rows=20000)
    before = len(os.listdir("/proc/self/task"))
    blocks = read(path).chunks(50)
    next(blocks)
    assert len(os.listdir("/proc/self/task")) > before  # the engine's thread
    blocks.close()  # the consumer stops early
    assert len(os.listdir("/proc/self/task")) == before
    bad = piece_file(tmp_path, rows=20000, edit=replace_at(15000, ",", ",x"))
    assert drain(records_of_lazily(read(bad).chunks()))[1] is not None
    assert len(os.listdir("/proc/self/task")) == before


@pytest.mark.parametrize("late", [
    "1.0", "1e2", "-0", "+3", " 7 ", "4.0e0", "9007199254740992",   # whole numbers, however written
    "9007199254740993", "123456789012345678901234567890", "1_000",   # past doubles, or not plain
    "2.5", "", "nan", "inf", "x",                                    # refused
])
def test_integer_targets_convert_as_the_reader_converts_them(small_pieces, tmp_path, late):
    path = piece_file(tmp_path, edit=replace_at(420, ",n419,2", f",n419,{late}"))
    slow = drain(read(path))
    fast = drain(records_of_lazily(read(path).chunks()))
    same_pairs(fast[0], slow[0])
    assert fast[1] == slow[1]


def test_many_labels_and_long_lines_hand_over_as_the_reader_reads(small_pieces, tmp_path):
    # Labels past the few looked up in turn; a line longer than the native reader takes, late
    edit = replace_at(480, "n479", "n" * (1 << 20) + "x")
    path = piece_file(tmp_path, edit=edit)
    with open(path, "rb") as fh:
        text = fh.read().decode()
    lines = text.split("\n")
    lines[1:] = [line.rsplit(",", 1)[0] + f",L{i % 41}" for i, line in enumerate(lines[1:])]
    path = write(tmp_path, "\n".join(lines), "labels.csv")
    limit = csv.field_size_limit(1 << 22)
    try:
        for target_type in ("label", "auto"):
            options = dict(target_type=target_type, max_line_length=1 << 22)  # the long line is read
            slow_stream, fast_stream = read(path, **options), read(path, **options)
            slow = list(slow_stream)
            assert records_of(fast_stream.chunks()) == slow and fast_stream.classes == slow_stream.classes
            assert len(slow_stream.classes) == 41
    finally:
        csv.field_size_limit(limit)


def test_the_engine_refuses_a_bad_layout(tmp_path):
    from kavro import _native

    path = os.fsencode(piece_file(tmp_path))
    good = dict(delimiter=",", width=4, features=[0, 1], target=3, target_kind="int",
                size_limit=1000, block_rows=10)
    for change in [dict(delimiter='"'), dict(delimiter=",,"), dict(delimiter="\n"), dict(width=0),
                   dict(target=4), dict(features=[3]), dict(features=[7]), dict(target_kind="str"),
                   dict(block_rows=0)]:
        engine = _native.CsvEngine(path)
        assert engine.header() == b"a,b,note,y"
        with pytest.raises(ValueError):
            engine.start(**{**good, **change})
    missing = _native.CsvEngine(os.fsencode(str(tmp_path / "none.csv")))
    assert not missing.opened and missing.header() is None  # left to the stream's reader


@pytest.mark.parametrize("bad", [b"\xe9t\xe9", b"\xff", b"\xe2\x82"])
def test_undecodable_bytes_after_a_quote_stop_both_readers(small_pieces, tmp_path, bad):
    # From the first quote on the streaming reader reads; it must not learn rows the stream's
    # reader never delivers, since that reader fails on the chunk holding the bad bytes.
    path = tmp_path / "quoted.csv"
    body = b"".join(b'%d,"o,k",%d\n' % (i, i % 2) for i in range(3000))
    path.write_bytes(b"a,note,y\n1,plain,0\n" + body + b"5," + bad + b",1\n" + body)
    slow = drain(iter_csv(str(path), "y", drop=["note"]))
    fast = drain(records_of_lazily(iter_csv(str(path), "y", drop=["note"]).chunks()))
    assert slow[1] is not None and slow[1].startswith("StreamError") and "not utf-8 text" in slow[1]
    assert len(slow[0]) > 2000
    same_pairs(fast[0], slow[0])
    assert fast[1] == slow[1]


def outcome(source):
    """Every pair up to the error the source raises (of any kind), and that error's text."""
    pairs = []
    try:
        for pair in source:
            pairs.append(pair)
    except Exception as exc:  # noqa: BLE001 - the error itself is compared
        return pairs, f"{type(exc).__name__}: {exc}"
    return pairs, None


CELLS = ["0", "1", "-2", "3.5", "+.5", "1e3", "2E-2", "", " ", "  7 ", "\t8", "nan", "NaN", "-nan",
         "inf", "x", "1_0", "1.2.3", "9007199254740993", "0.1e400", "\u00e9", '"4"', '"5,6"', '"a\nb"',
         "\x00", "\x1c9", "A", "b"]


@settings(max_examples=150, deadline=None)
@given(rows=st.lists(st.lists(st.one_of(st.sampled_from(CELLS),
                                        st.floats(allow_nan=False, allow_infinity=False).map(repr),
                                        st.integers(-10**20, 10**20).map(str)),
                              min_size=2, max_size=4), min_size=0, max_size=60),
       newline=st.sampled_from(["\n", "\r\n", "\r"]), end=st.sampled_from(["", "\n", "\n\n"]),
       target_type=st.sampled_from(["auto", "float", "int", "label"]), lines_first=st.booleans())
def test_random_files_read_as_the_reader_reads_them(rows, newline, end, target_type, lines_first):
    import tempfile

    text = "a,b,y" + newline + newline.join(",".join(r) for r in rows) + end
    saved = _blocks._ENGINE_BLOCK, _blocks._ENGINE
    _blocks._ENGINE_BLOCK, _blocks._ENGINE = 7, lines_first
    try:
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "random.csv")
            with open(path, "wb") as fh:
                fh.write(text.encode("utf-8"))

            slow = outcome(iter_csv(path, "y", target_type=target_type))
            fast = outcome(records_of_lazily(iter_csv(path, "y", target_type=target_type).chunks()))
    finally:
        _blocks._ENGINE_BLOCK, _blocks._ENGINE = saved
    same_pairs(fast[0], slow[0])
    assert fast[1] == slow[1]


@pytest.mark.parametrize("encoding,late", [
    ("latin-1", "caf\u00e9".encode("latin-1")),   # decodes: the stream's reader goes on
    ("cp1252", b"\x81"),                           # no character: both stop there
    ("ascii", b"\xe9"),                            # beyond ASCII: both stop there
    ("utf-16", None),                              # not ASCII-compatible: the stream's reader alone
])
def test_ascii_compatible_encodings_take_the_line_reader(monkeypatch, tmp_path, encoding, late):
    monkeypatch.setattr(_blocks, "_ENGINE_BLOCK", 50)
    header = "a,n\u00f6te,y" if encoding != "ascii" else "a,note,y"
    rows = [f"{i}.5,ok,{i % 3}" for i in range(4000)]
    path = tmp_path / "encoded.csv"
    body = "\n".join([header] + rows[:2500]).encode(encoding)
    if late is not None:
        body += b"\n7," + late + b",1\n" + "\n".join(rows[2500:]).encode(encoding)
    path.write_bytes(body)
    stream = lambda: iter_csv(str(path), "y", drop=[header.split(",")[1]], encoding=encoding)  # noqa: E731
    slow = drain(stream())
    fast = drain(records_of_lazily(stream().chunks()))
    same_pairs(fast[0], slow[0])
    assert fast[1] == slow[1] and len(fast[0]) > 2000
    assert (slow[1] is None) == (encoding in ("latin-1", "utf-16"))


@pytest.mark.skipif(not getattr(kavro._native, "CSV_READS_GZIP", False), reason="a build without zlib")
def test_gzip_files_read_as_the_reader_reads_them(monkeypatch, tmp_path):
    import gzip
    import threading

    from kavro import datasets

    monkeypatch.setattr(_blocks, "_ENGINE_BLOCK", 1000)
    for make in (datasets.Electricity, datasets.FriedmanFile):
        assert records_of(make().chunks()) == list(make())
        blocks = make().chunks()
        next(blocks)
        blocks.close()  # an early stop leaves no reading or checking thread behind
        assert not [t for t in threading.enumerate() if t.name == "kavro-csv-reader"]
    text = "\n".join(["a,b,y"] + [f"{i}.25,{i % 7},{i % 3}" for i in range(40000)]).encode()
    whole = gzip.compress(text)
    damaged = {
        "intact.csv.gz": whole,
        "members.csv.gz": gzip.compress(text[:300001]) + gzip.compress(text[300001:]),
        "cut.csv.gz": whole[:len(whole) // 2],
        "crc.csv.gz": whole[:-8] + bytes([whole[-8] ^ 1]) + whole[-7:],
        "trailing.csv.gz": whole + b"not gzip at all",
        "ended.csv.gz": gzip.compress(text + b"\n") + b"not gzip at all",
        "padded.csv.gz": whole + b"\0" * 64,
        "padded-garbage.csv.gz": whole + b"\0" * 9 + b"xy",
        "half-magic.csv.gz": whole + b"\x1f",
        "flipped.csv.gz": whole[:len(whole) // 3] + bytes([whole[len(whole) // 3] ^ 0x55]) + whole[len(whole) // 3 + 1:],
        "plain.csv.gz": text,
        "quoted.csv.gz": gzip.compress(text.replace(b"\n24000.25,", b'\n"24000.25",', 1)),
        "bad.csv.gz": gzip.compress(text.replace(b"\n35000.25,", b"\n35000.x,", 1)),
    }
    for name, data in damaged.items():
        path = tmp_path / name
        path.write_bytes(data)
        slow = outcome(iter_csv(str(path), "y"))
        fast = outcome(records_of_lazily(iter_csv(str(path), "y").chunks()))
        same_pairs(fast[0], slow[0])
        assert fast[1] == slow[1], name
        assert (slow[1] is None) == (name in ("intact.csv.gz", "members.csv.gz", "padded.csv.gz", "quoted.csv.gz")), name


@pytest.mark.skipif(not getattr(kavro._native, "CSV_READS_GZIP", False), reason="a build without zlib")
def test_the_line_reader_reads_whole_gzip_files(tmp_path):
    import gzip

    from kavro import _native

    # Highly compressible: the whole input is read long before its output is; and two members.
    text = b"a,y\n" + b"1.5,1\n" * 400_000
    path = tmp_path / "repeated.csv.gz"
    path.write_bytes(gzip.compress(text) + gzip.compress(b"2.5,0\n" * 1000))
    engine = _native.CsvEngine(os.fsencode(str(path)), True)
    assert engine.header() == b"a,y"
    engine.start(",", 2, [0], 1, "int", 1000, 8192)
    rows = []
    while (block := engine.next()) is not None:
        rows.append(block.arrays()[1])
    assert engine.stopped_at is None  # to the end, without handing over
    y = np.concatenate(rows)
    assert len(y) == 401_000 and y[:400_000].all() and not y[400_000:].any()
