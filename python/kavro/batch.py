"""Learn, predict and transform whole arrays in one call.

``X`` is a 2-D NumPy array of any real, integer or bool dtype, in any memory order (features named
``feature_names``, by default ``x0``, ``x1``, ... as ``kavro.stream.iter_array`` names them), or a
pandas DataFrame (features named by its columns). ``y`` is a 1-D array, list or Series.

Each row becomes the record of its non-NaN cells, in column order: a NaN cell means the feature is
absent from that row. ``predict_many``, ``predict_proba_many`` and ``transform_many`` warn
(``UserWarning``, once per call) when the model has seen feature names and none of the given ones
is among them, where the model can tell (scalers, selectors, linear models and naive Bayes). Every cell converts to the double ``float()`` gives for it. The loops run in
the C++ core, and the results are exactly those of calling ``learn_one`` / ``predict_one`` /
``predict_proba_one`` / ``transform_one`` on each row's record in turn.

Inputs are checked before any row is used, so a refused call leaves the model as it was; a missing
target (NaN or None in ``y``) is refused that way. An
interrupted ``learn_many`` (Ctrl-C) stops between chunks of 2048 rows: the rows before have been
learnt and the rest have not (the exception's note says how many), so the model is exactly as if
it had learnt only those rows.
"""

from __future__ import annotations

import importlib
import warnings
from collections.abc import Callable, Sequence
from typing import Any

__all__ = ["learn_many", "predict_many", "predict_proba_many", "transform_many", "score_many"]


def _native() -> Any:
    return importlib.import_module("kavro._native")


def _is_dataframe(X: Any) -> bool:
    return hasattr(X, "columns") and hasattr(X, "dtypes") and hasattr(X, "iloc")


def _native_order(a: Any) -> Any:
    return a if a.dtype.isnative else a.astype(a.dtype.newbyteorder("="))


def _frame_column(np: Any, series: Any, name: str) -> Any:
    dtype = series.dtype
    if isinstance(dtype, np.dtype):
        return _native_order(series.to_numpy())
    # pandas extension dtypes (nullable integers, floats, booleans): missing values become NaN.
    if getattr(dtype, "kind", "O") in "biuf":
        return series.to_numpy(dtype="float64", na_value=np.nan)
    raise TypeError(f"column {name!r} has dtype {dtype}; expected real, integer or bool numbers")


def _columns(X: Any, feature_names: Sequence[str] | None) -> tuple[list[Any], int, list[Any]]:
    """(columns, rows, names) for the native module."""
    import numpy as np

    if _is_dataframe(X):
        names = [str(c) for c in X.columns] if feature_names is None else list(feature_names)
        columns = [_frame_column(np, X.iloc[:, j], str(X.columns[j])) for j in range(X.shape[1])]
        return columns, len(X), names
    a = X if isinstance(X, np.ndarray) else np.asarray(X)
    if a.ndim != 2:
        raise ValueError(f"X must be 2-D (got {a.ndim}-D)")
    a = _native_order(a)
    names = [f"x{j}" for j in range(a.shape[1])] if feature_names is None else list(feature_names)
    return [a[:, j] for j in range(a.shape[1])], a.shape[0], names


def _check_n_jobs(n_jobs: Any) -> None:
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, int):
        raise TypeError(f"learn_many: n_jobs must be an int (a thread count, or -1 for every core), "
                        f"got {type(n_jobs).__name__} {n_jobs!r}")
    if n_jobs < 1 and n_jobs != -1 or n_jobs > 1 << 16:
        raise ValueError(f"learn_many: n_jobs must be from 1 to 65,536, or -1 for every core, got {n_jobs}")


def _targets(y: Any) -> Any:
    if y is None:
        return None
    import numpy as np

    if hasattr(y, "to_numpy") and not isinstance(y, np.ndarray):
        dtype = y.dtype
        if isinstance(dtype, np.dtype):
            y = y.to_numpy()
        else:  # pandas extension dtype (nullable integers, floats, booleans)
            missing = np.flatnonzero(y.isna().to_numpy())
            if missing.size:
                raise ValueError(f"y[{missing[0]}] is missing")
            y = y.to_numpy(dtype=getattr(dtype, "numpy_dtype", None))
    a = np.asarray(y)
    if a.ndim != 1:
        raise ValueError(f"y must be 1-D (got {a.ndim}-D)")
    if a.dtype.kind == "f":
        missing = np.flatnonzero(np.isnan(a))
        if missing.size:
            raise ValueError(f"y[{missing[0]}] is missing (NaN): every row needs a target")
    elif a.dtype == object:
        for i, v in enumerate(a.tolist()):
            if v is None or (isinstance(v, float) and v != v):
                raise ValueError(f"y[{i}] is missing ({v!r}): every row needs a target")
    return _native_order(a)


def learn_many(
    model: Any,
    X: Any,
    y: Any = None,
    *,
    feature_names: Sequence[str] | None = None,
    n_jobs: int = 1,
) -> None:
    """Learn every row of X (with its target in y) in order, as ``learn_one`` would.

    Transformers take ``y=None`` (``SelectKBest`` needs y); anomaly detectors learn without
    labels and refuse a y. The members of ARF, SRP and
    leveraging-bagging ensembles train on ``n_jobs`` threads (-1: every core), with the same
    result as one thread.
    """
    _check_n_jobs(n_jobs)
    columns, rows, names = _columns(X, feature_names)
    _native().learn_many(model, columns, rows, names, _targets(y), n_jobs)


def _keys(field: str) -> Callable[[dict[str, Any]], set[str]]:
    return lambda state: set(state.get(field) or ())


def _label_tables(state: dict[str, Any]) -> set[str]:
    tables = state.get("tables", {}).get("weights", {})
    return {name for weights in tables.values() for name in weights}


# Where the feature names a model has seen sit in its saved state, for the classes whose state
# is small enough to read on every call (trees, ensembles and neighbours cannot tell cheaply).
_SEEN_NAMES: dict[str, Callable[[dict[str, Any]], set[str]]] = {
    "StandardScaler": _keys("stats"),
    "MinMaxScaler": _keys("ranges"),
    "MaxAbsScaler": _keys("max_abs"),
    "VarianceThreshold": _keys("feature_stats"),
    "SelectKBest": _keys("feature_index"),
    "LinearRegression": _keys("weights"),
    "PassiveAggressiveRegressor": _keys("weights"),
    "BayesianLinearRegression": _keys("precision"),
    "NaiveBayes": lambda state: {n for stats in state.get("feature_stats", {}).values() for n in stats},
    "Perceptron": _label_tables,
    "LogisticRegressionClassifier": _label_tables,
    "PassiveAggressiveClassifier": _label_tables,
    "SoftmaxRegression": _label_tables,
}


def _warn_unseen(model: Any, names: list[str], what: str) -> None:
    """Warns when the model has seen feature names and none of ``names`` is among them: every
    value would be read as absent."""
    seen_of = _SEEN_NAMES.get(type(model).__name__)
    if not names or seen_of is None or type(model).__module__ != "_kavro_core":
        return
    from kavro.persistence import inspect

    seen = seen_of(inspect(model)["state"])
    if not seen or not seen.isdisjoint(names):
        return
    shown = ", ".join(sorted(seen)[:5]) + (", ..." if len(seen) > 5 else "")
    warnings.warn(
        f"{what}: {type(model).__name__} has never seen any of the features {', '.join(names[:5])}"
        f"{', ...' if len(names) > 5 else ''} (it learnt {shown}), so every value is read as absent; "
        "name the columns with feature_names= (an array's columns are x0, x1, ... by default)",
        UserWarning, stacklevel=3)


def predict_many(model: Any, X: Any, *, feature_names: Sequence[str] | None = None) -> Any:
    """``predict_one`` of every row: int64 labels for a classifier, float64 for a regressor."""
    columns, rows, names = _columns(X, feature_names)
    _warn_unseen(model, names, "predict_many")
    return _native().predict_many(model, columns, rows, names)


def predict_proba_many(
    model: Any, X: Any, *, feature_names: Sequence[str] | None = None
) -> list[dict[int, float]]:
    """``predict_proba_one`` of every row, as a list of dicts."""
    columns, rows, names = _columns(X, feature_names)
    _warn_unseen(model, names, "predict_proba_many")
    result: list[dict[int, float]] = _native().predict_proba_many(model, columns, rows, names)
    return result


def transform_many(
    transformer: Any, X: Any, *, feature_names: Sequence[str] | None = None
) -> list[dict[str, float]]:
    """``transform_one`` of every row, as a list of dicts."""
    columns, rows, names = _columns(X, feature_names)
    _warn_unseen(transformer, names, "transform_many")
    result: list[dict[str, float]] = _native().transform_many(transformer, columns, rows, names)
    return result


def score_many(model: Any, X: Any, feature_names: Sequence[str] | None = None) -> Any:
    """``score_one`` of every row by an anomaly detector as it stands, as a float64 array.

    Nothing learns between rows, so the result equals a loop of ``score_one`` over the rows.
    """
    columns, rows, names = _columns(X, feature_names)
    return _native().score_many(model, columns, rows, names)
