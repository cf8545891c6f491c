"""Batch entry points: the same model state and outputs as the per-row loop, for every class;
bad input refused before any row is learnt; ensemble members on several threads."""

import math
import signal
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _kavro_core as kc
import kavro
from kavro import _native

from test_properties import ALL, build, family, kwargs_strategy

# Unrecognised option strings are drawn on purpose: they select the default behaviour (and warn).
pytestmark = [pytest.mark.filterwarnings("ignore:.*is not a recognised value:UserWarning"),
              # feature names are drawn at random: most never match what a model learnt
              pytest.mark.filterwarnings("ignore:.*has never seen any of the features:UserWarning")]

LEARNERS = [n for n in ALL if family(n) in ("classifier", "regressor", "transformer")]
THREADED = ["ARFClassifier", "ARFRegressor", "SRPClassifier", "SRPRegressor",
            "LeveragingBaggingClassifier", "LeveragingBaggingRegressor"]
DTYPES = [np.float64, np.float32, np.float16, np.int64, np.int32, np.int8, np.uint8, np.uint64,
          np.bool_]


def records(X, names):
    """The per-row loop's records: the dict of each row's non-NaN cells, in column order."""
    if isinstance(X, pd.DataFrame):
        rows = [[X.iloc[i, j] for j in range(X.shape[1])] for i in range(len(X))]
    else:
        rows = [[X[i, j] for j in range(X.shape[1])] for i in range(X.shape[0])]
    return [{n: float(v) for n, v in zip(names, row) if not math.isnan(float(v))} for row in rows]


def norm(v):
    """Comparable form: NaN equal to NaN, dicts as their item lists (key order included)."""
    if isinstance(v, dict):
        return [(k, norm(e)) for k, e in v.items()]
    if isinstance(v, (list, tuple, np.ndarray)):
        return [norm(e) for e in v]
    if isinstance(v, (float, np.floating)):
        return "nan" if math.isnan(v) else float(v)
    return int(v) if isinstance(v, np.integer) else v


def learn_loop(model, fam, xs, y):
    for i, x in enumerate(xs):
        if fam == "classifier":
            model.learn_one(x, int(y[i]))
        elif fam == "regressor":
            model.learn_one(x, float(y[i]))
        elif type(model).__name__ == "SelectKBest":
            model.learn_one(x, float(y[i]))
        else:
            model.learn_one(x)


def answers(model, fam, X, names):
    """(batch answers, per-row answers) for the rows of X."""
    xs = records(X, names)
    kw = {} if isinstance(X, pd.DataFrame) else {"feature_names": names}
    if fam == "classifier":
        return ((norm(kavro.predict_many(model, X, **kw)), norm(kavro.predict_proba_many(model, X, **kw))),
                (norm([model.predict_one(x) for x in xs]), norm([model.predict_proba_one(x) for x in xs])))
    if fam == "regressor":
        return (norm(kavro.predict_many(model, X, **kw)), norm([model.predict_one(x) for x in xs]))
    return (norm(kavro.transform_many(model, X, **kw)), norm([model.transform_one(x) for x in xs]))


@st.composite
def tables(draw, max_rows=40):
    rows = draw(st.integers(0, max_rows))
    cols = draw(st.integers(1, 5))
    dtype = draw(st.sampled_from(DTYPES))
    if np.issubdtype(dtype, np.floating):
        cells = st.one_of(st.floats(-50, 50, width=16 if dtype == np.float16 else 64),
                          st.just(math.nan), st.sampled_from([0.0, -0.0, 1.0, 2.0]))
    elif dtype == np.bool_:
        cells = st.booleans()
    else:
        info = np.iinfo(dtype)
        cells = st.one_of(st.integers(max(info.min, -20), min(info.max, 20)),
                          st.sampled_from([int(info.min), int(info.max)]))
    flat = draw(st.lists(cells, min_size=rows * cols, max_size=rows * cols))
    X = np.array(flat, dtype=dtype).reshape(rows, cols)
    layout = draw(st.sampled_from(["C", "F", "frame"]))
    names = draw(st.sampled_from([[f"x{j}" for j in range(cols)], [f"f{cols - j}" for j in range(cols)]]))
    if layout == "F":
        X = np.asfortranarray(X)
    elif layout == "frame":
        X = pd.DataFrame(X, columns=names)
    return X, names


@pytest.mark.parametrize("name", LEARNERS)
@given(data=st.data())
def test_batch_matches_the_row_loop(name, data):
    fam = family(name)
    kwargs = data.draw(kwargs_strategy(name))
    X, names = data.draw(tables())
    n = len(X)
    if fam == "classifier":
        labels = data.draw(st.lists(st.sampled_from([0, 1, 2, -1, 2**31 - 1]), min_size=n, max_size=n))
        y = np.array(labels, dtype=data.draw(st.sampled_from([np.int64, np.int32])))
    else:
        y = np.array(data.draw(st.lists(st.floats(-100, 100), min_size=n, max_size=n)), dtype=np.float64)
    batch, loop = build(name, kwargs), build(name, kwargs)
    kw = {} if isinstance(X, pd.DataFrame) else {"feature_names": names}
    needs_y = fam != "transformer" or name == "SelectKBest"
    kavro.learn_many(batch, X, y if needs_y else None, n_jobs=data.draw(st.sampled_from([1, 2])), **kw)
    learn_loop(loop, fam, records(X, names), y)
    if name in _native.class_names():
        assert kavro.dumps(batch) == kavro.dumps(loop)
    probe, probe_names = data.draw(tables(max_rows=8))
    if isinstance(probe, pd.DataFrame):
        probe_names = [str(c) for c in probe.columns]
    for P, P_names in ((X, names), (probe, probe_names)):
        got, want = answers(batch, fam, P, P_names)
        # Batch calls agree with per-row calls on the same model, and both models agree.
        assert got == want
        assert answers(loop, fam, P, P_names)[1] == want


@pytest.mark.parametrize("dtype", [np.int64, np.uint64, np.int32, np.float32, np.float16,
                                   np.longdouble, np.bool_, np.uint16])
def test_cells_convert_as_float_does(dtype):
    if np.issubdtype(dtype, np.integer):
        info = np.iinfo(dtype)
        values = [info.min, info.max, info.max - 1, 0, 1]
        if dtype in (np.int64, np.uint64):
            values += [2**53 + 1, 2**53 + 3, 2**62 + 2**9 + 1, 2**63 - 2**10 + 2**9]
            values += [-(2**53) - 1, -(2**63) + 1] if dtype == np.int64 else [2**64 - 2**11 + 2**10, 2**64 - 2**10]
        X = np.array(values, dtype=dtype).reshape(-1, 1)
    elif dtype == np.bool_:
        X = np.array([[True], [False]])
    else:
        X = np.array([0.1, 1 / 3, -2.5e-3, 65504.0 if dtype == np.float16 else 1e30, 6e-8], dtype=dtype).reshape(-1, 1)
    # Before learning, SelectKBest returns the record it was given.
    got = kavro.transform_many(kc.SelectKBest(), X)
    assert got == [{"x0": float(v)} for v in X[:, 0]]
    assert got == [{"x0": float(v)} for v in X[:, 0].tolist()]


def test_nan_cells_are_absent_and_names_default_like_iter_array():
    X = np.array([[1.0, np.nan, 3.0], [np.nan, np.nan, np.nan], [np.inf, -0.0, 2.0]])
    want = [{"x0": 1.0, "x2": 3.0}, {}, {"x0": math.inf, "x1": -0.0, "x2": 2.0}]
    got = kavro.transform_many(kc.SelectKBest(), X)
    assert got == want
    assert norm(got) == norm([kc.SelectKBest().transform_one(x) for x in want])  # key order too
    got = kavro.transform_many(kc.SelectKBest(), X[:, ::-1], feature_names=["c", "b", "a"])
    assert got[0] == {"c": 3.0, "a": 1.0}
    assert math.copysign(1.0, got[2]["b"]) == -1.0


def test_dataframes_take_column_names_and_nullable_columns():
    df = pd.DataFrame({
        "a": pd.array([1, None, 3], dtype="Int64"),
        "b": [True, False, True],
        "c": np.array([0.5, 1.5, np.nan], dtype=np.float32),
        7: np.array([2**60 + 1, 5, -1], dtype=np.int64),
    })
    got = kavro.transform_many(kc.SelectKBest(), df)
    assert got == [{"a": 1.0, "b": 1.0, "c": 0.5, "7": float(2**60 + 1)},
                   {"b": 0.0, "c": 1.5, "7": 5.0}, {"a": 3.0, "b": 1.0, "7": -1.0}]
    m, loop = kc.NaiveBayes(), kc.NaiveBayes()
    y = pd.Series(pd.array([0, 1, 1], dtype="Int64"))
    kavro.learn_many(m, df, y)
    for x, label in zip(got, [0, 1, 1]):
        loop.learn_one(x, label)
    assert [m.predict_proba_one(x) for x in got] == [loop.predict_proba_one(x) for x in got]


def test_transformers_learn_without_y_and_pipelines_with_it():
    rs = np.random.RandomState(3)
    X = rs.normal(size=(300, 3))
    X[rs.rand(300, 3) < 0.2] = np.nan
    y = (np.nan_to_num(X[:, 0]) > 0).astype(np.int64)
    scaler, loop = kc.StandardScaler(), kc.StandardScaler()
    kavro.learn_many(scaler, X)
    xs = records(X, ["x0", "x1", "x2"])
    for x in xs:
        loop.learn_one(x)
    assert norm(kavro.transform_many(scaler, X)) == norm([loop.transform_one(x) for x in xs])
    pipe = kc.ClassificationPipeline([kc.StandardScaler(), kc.SelectKBest(k=2)], kc.NaiveBayes())
    pipe_loop = kc.ClassificationPipeline([kc.StandardScaler(), kc.SelectKBest(k=2)], kc.NaiveBayes())
    kavro.learn_many(pipe, X, list(y))
    for x, label in zip(xs, y):
        pipe_loop.learn_one(x, int(label))
    assert norm(kavro.predict_proba_many(pipe, X)) == norm([pipe_loop.predict_proba_one(x) for x in xs])
    assert kavro.predict_many(pipe, X).dtype == np.int64
    assert kavro.predict_many(kc.LinearRegression(), X).dtype == np.float64


# ---- bad input ------------------------------------------------------------------------------

def _trained():
    rs = np.random.RandomState(1)
    X = rs.rand(50, 3)
    m = kc.HoeffdingTreeClassifier(grace_period=10)
    kavro.learn_many(m, X, (X[:, 0] > 0.5).astype(int))
    return m, X


BAD = [
    ("1-D X", lambda X: dict(X=X[:, 0], y=np.zeros(50, int)), ValueError, "2-D"),
    ("3-D X", lambda X: dict(X=X[None], y=np.zeros(50, int)), ValueError, "2-D"),
    ("short y", lambda X: dict(X=X, y=np.zeros(49, int)), ValueError, "49 values for 50 rows"),
    ("2-D y", lambda X: dict(X=X, y=np.zeros((50, 1), int)), ValueError, "1-D"),
    ("float labels", lambda X: dict(X=X, y=np.zeros(50)), TypeError, "integers"),
    ("text labels", lambda X: dict(X=X, y=["a"] * 50), TypeError, "integers"),
    ("label too big", lambda X: dict(X=X, y=np.r_[np.zeros(49, int), 2**31]), ValueError, "y[49] = 2147483648"),
    ("label too small", lambda X: dict(X=X, y=np.r_[np.zeros(49, int), -(2**31) - 1]), ValueError, "y[49]"),
    ("huge unsigned label", lambda X: dict(X=X, y=np.full(50, 2**64 - 1, np.uint64)), ValueError, "y[0]"),
    ("missing y", lambda X: dict(X=X, y=None), ValueError, "y is required"),
    ("text column", lambda X: dict(X=X.astype(object).astype(str), y=np.zeros(50, int)), TypeError, "column 0 ('x0')"),
    ("complex column", lambda X: dict(X=X.astype(complex), y=np.zeros(50, int)), TypeError, "complex"),
    ("object frame column", lambda X: dict(X=pd.DataFrame({"a": X[:, 0], "b": ["s"] * 50}), y=np.zeros(50, int)),
     TypeError, "'b'"),
    ("too few names", lambda X: dict(X=X, y=np.zeros(50, int), feature_names=["a", "b"]), ValueError,
     "2 feature names for 3 columns"),
    ("repeated names", lambda X: dict(X=X, y=np.zeros(50, int), feature_names=["a", "b", "a"]), ValueError,
     "'a' appears more than once (column 2)"),
    ("name not str", lambda X: dict(X=X, y=np.zeros(50, int), feature_names=["a", "b", 3]), TypeError, "name 2"),
    ("n_jobs 0", lambda X: dict(X=X, y=np.zeros(50, int), n_jobs=0), ValueError, "n_jobs"),
    ("n_jobs float", lambda X: dict(X=X, y=np.zeros(50, int), n_jobs=1.5), TypeError,
     "n_jobs must be an int (a thread count, or -1 for every core), got float 1.5"),
    ("n_jobs huge", lambda X: dict(X=X, y=np.zeros(50, int), n_jobs=2**40), ValueError, "n_jobs must be from 1"),
    ("missing target", lambda X: dict(X=X, y=np.where(np.arange(50) == 7, np.nan, 0.0)), ValueError,
     "y[7] is missing (NaN)"),
    ("None target", lambda X: dict(X=X, y=[0] * 9 + [None] + [0] * 40), ValueError, "y[9] is missing (None)"),
]


@pytest.mark.parametrize("case", BAD, ids=[c[0] for c in BAD])
def test_bad_input_is_refused_and_leaves_the_model_unchanged(case):
    _, make, error, text = case
    m, X = _trained()
    before = kavro.predict_proba_many(m, X)
    args = make(X)
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)").replace("[", r"\[")):
        kavro.learn_many(m, args.pop("X"), args.pop("y"), **args)
    assert kavro.predict_proba_many(m, X) == before
    kavro.learn_many(m, X, np.zeros(50, int))  # still usable
    assert kavro.predict_proba_many(m, X) != before


def test_wrong_family_and_missing_target_for_a_selector():
    X = np.ones((3, 2))
    with pytest.raises(TypeError, match="transform_many"):
        kavro.transform_many(kc.NaiveBayes(), X)
    with pytest.raises(TypeError, match="predict_many"):
        kavro.predict_many(kc.StandardScaler(), X)
    with pytest.raises(TypeError, match="classifier"):
        kavro.predict_proba_many(kc.LinearRegression(), X)
    with pytest.raises(TypeError, match="Accuracy"):
        kavro.learn_many(kc.Accuracy(), X, [1, 2, 3])
    with pytest.raises(ValueError, match="SelectKBest learns from a target"):
        kavro.learn_many(kc.SelectKBest(), X)


# ---- ensembles on several threads ------------------------------------------------------------

def drifting(n, seed):
    rs = np.random.RandomState(seed)
    X = rs.rand(n, 5)
    X[rs.rand(n, 5) < 0.05] = np.nan
    signal_ = np.nan_to_num(X[:, 0]) + np.nan_to_num(X[:, 1])
    y_class = (signal_ > 1.0).astype(np.int64)
    y_class[n // 2:] = 1 - y_class[n // 2:]  # abrupt change: detectors fire, trees are replaced
    y_value = np.where(np.arange(n) < n // 2, 3 * signal_, -5 * signal_) + rs.rand(n)
    return X, y_class, y_value


@pytest.mark.parametrize("name", THREADED)
def test_members_on_threads_match_one_thread_and_the_row_loop(name):
    X, y_class, y_value = drifting(5000, 7)
    y = y_class if name.endswith("Classifier") else y_value
    kwargs = dict(n_models=5, grace_period=30, seed=11)
    if name == "SRPClassifier":
        kwargs["training_method"] = "patches"
    models = {jobs: getattr(kc, name)(**kwargs) for jobs in (1, 2, 3, -1)}
    for jobs, m in models.items():
        kavro.learn_many(m, X, y, n_jobs=jobs)
    loop = getattr(kc, name)(**kwargs)
    xs = records(X, [f"x{j}" for j in range(5)])
    for x, target in zip(xs, y):
        loop.learn_one(x, target.item())
    assert _native.parallel_members(models[1]) == 5
    if name.endswith("Classifier"):
        want = norm([loop.predict_proba_one(x) for x in xs])
        for m in models.values():
            assert norm(kavro.predict_proba_many(m, X)) == want
    else:
        want = norm([loop.predict_one(x) for x in xs])
        for m in models.values():
            assert norm(kavro.predict_many(m, X)) == want


def test_members_repeating_an_example_many_times_on_threads():
    # Repetition loops poll for Ctrl-C; on a member thread the poll must be skipped, not crash.
    rs = np.random.RandomState(3)
    X = rs.rand(30, 3)
    y = (X[:, 0] > 0.5).astype(np.int64)
    models = [kc.ARFClassifier(n_models=3, lambda_value=3000.0, grace_period=5, seed=2) for _ in range(2)]
    for jobs, m in zip((1, 2), models):
        kavro.learn_many(m, X, y, n_jobs=jobs)
    assert kavro.dumps(models[0]) == kavro.dumps(models[1])


def test_sequential_models_report_no_parallel_members():
    for m in (kc.SGBTClassifier(), kc.SGBRRegressor(), kc.HoeffdingTreeClassifier(),
              kc.ClassificationPipeline([kc.StandardScaler()], kc.ARFClassifier())):
        assert _native.parallel_members(m) == 0


def test_interrupted_learn_many_keeps_the_rows_before():
    rs = np.random.RandomState(5)
    X = rs.rand(400_000, 4)
    y = (X[:, 0] > 0.5).astype(np.int64)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        m = kc.NaiveBayes()
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        try:
            kavro.learn_many(m, X, y)
            done = len(X)
        except KeyboardInterrupt as exc:
            notes = [n for n in getattr(exc, "__notes__", []) if "interrupted after" in n]
            done = int(notes[0].split("first ")[1].split()[0]) if notes else 0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert done % 2048 == 0 or done == len(X)
    ref = type(m)()
    kavro.learn_many(ref, X[:done], y[:done])
    probe = X[:50]
    assert kavro.predict_proba_many(m, probe) == kavro.predict_proba_many(ref, probe)


# ---- missing targets and unknown feature names ---------------------------------------------

def test_a_missing_regression_target_is_refused_before_any_row_is_learnt():
    X = np.random.RandomState(2).rand(30, 2)
    y = X[:, 0].copy()
    y[12] = np.nan
    m = kc.HoeffdingTreeRegressor()
    with pytest.raises(ValueError, match=r"y\[12\] is missing \(NaN\)"):
        kavro.learn_many(m, X, y)
    assert kavro.inspect(m) == kavro.inspect(kc.HoeffdingTreeRegressor())
    with pytest.raises(ValueError, match=r"y\[0\] is missing"):
        kavro.learn_many(m, X[:3], pd.Series([None, 1.0, 2.0], dtype="Float64"))


def test_names_the_model_never_saw_warn_once_per_call():
    X = np.random.RandomState(3).rand(20, 4)
    scaler, reg, tree = kc.StandardScaler(), kc.LinearRegression(), kc.HoeffdingTreeRegressor()
    for model in (scaler, reg, tree):
        kavro.learn_many(model, X, None if model is scaler else X[:, 0])
    with pytest.warns(UserWarning, match=r"StandardScaler has never seen any of the features a, b, c, d "
                                         r"\(it learnt x0, x1, x2, x3\)") as caught:
        out = kavro.transform_many(scaler, X, feature_names=list("abcd"))
    assert len(caught) == 1 and out[0] == {n: 0.0 for n in "abcd"}
    with pytest.warns(UserWarning, match="LinearRegression has never seen"):
        kavro.predict_many(reg, X, feature_names=list("abcd"))
    # No warning when one name is known, for a model that cannot tell, or for a model that has
    # seen nothing yet.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        kavro.transform_many(scaler, X, feature_names=["x0", "b", "c", "d"])
        kavro.predict_many(tree, X, feature_names=list("abcd"))
        kavro.predict_many(kc.LinearRegression(), X, feature_names=list("abcd"))
