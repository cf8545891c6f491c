"""The rows and labels of a keyed call, checked and converted once on the driver."""

from __future__ import annotations

import numbers
import operator
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np

from kavro import _native


def _is_frame(X: Any) -> bool:
    return hasattr(X, "columns") and hasattr(X, "to_numpy") and hasattr(X, "iloc")


def rows(X: Any, n: int, feature_names: Sequence[str] | None) -> tuple[Any, list[str] | None]:
    """(rows, names): a list of dicts with names None, or a float64 array and its column names."""
    if _is_frame(X) or (hasattr(X, "ndim") and hasattr(X, "dtype")):
        if _is_frame(X):
            names = [str(c) for c in X.columns]
            try:
                arr = X.to_numpy(dtype=np.float64)
            except (TypeError, ValueError) as exc:
                raise ValueError(f"X has a column that is not numeric: {exc}") from None
        else:
            if X.ndim != 2:
                raise ValueError(f"X must be 2-D (rows x features), got {X.ndim} dimension(s)")
            if X.dtype.kind not in "iuf":
                raise ValueError(f"X must hold real or integer numbers, not {X.dtype}")
            arr = np.asarray(X, dtype=np.float64)
            names = [f"x{j}" for j in range(arr.shape[1])]
        if feature_names is not None:
            names = [str(f) for f in feature_names]
            if len(names) != arr.shape[1]:
                raise ValueError(f"{len(names)} feature names for {arr.shape[1]} columns")
        if arr.shape[0] != n:
            raise ValueError(f"{n} keys but {arr.shape[0]} rows in X")
        return arr, names
    if feature_names is not None:
        raise ValueError("feature_names applies to an array X; dict rows name their own features")
    if isinstance(X, Mapping) or isinstance(X, (str, bytes)):
        raise TypeError("X is a sequence of rows (dicts of feature values) or a 2-D array")
    rows = list(X)
    if len(rows) != n:
        raise ValueError(f"{n} keys but {len(rows)} rows in X")
    if not set(map(type, rows)) <= {dict}:
        for i, row in enumerate(rows):
            if type(row) is not dict:
                if not isinstance(row, Mapping):
                    raise TypeError(f"row {i} of X is a {type(row).__name__}, not a dict of feature values")
                rows[i] = dict(row)
    packed = _pack(rows)
    return (rows, None) if packed is None else packed


def _pack(rows: list[dict[Any, Any]]) -> tuple[Any, list[str]] | None:
    """Dict rows as a float64 array and column names, when that loses nothing.

    Only when every row has the same str keys in the same order and every value is a plain float
    that is not NaN (a NaN value is a feature that is present, a NaN cell one that is absent) or a
    plain int: the records rebuilt from the array are then the same dicts, and an array travels
    far faster than dicts.
    """
    if len(rows) < 64:
        return None
    packed: tuple[Any, list[str]] | None = _native.pack_rows(rows)
    return packed


def _narrowest(labels: Any, lo: int, hi: int) -> Any:
    """Class labels in [lo, hi] in the smallest integer type that holds them: they are sent
    with every row."""
    for dtype in (np.int8, np.int16):
        if np.iinfo(dtype).min <= lo and hi <= np.iinfo(dtype).max:
            return labels.astype(dtype)
    return labels.astype(np.int32, copy=False)


def _narrow(labels: Any) -> Any:
    return _narrowest(labels, labels.min(), labels.max()) if len(labels) else labels.astype(np.int32)


def as_list(values: Any) -> list[Any]:
    if hasattr(values, "tolist"):
        out: list[Any] = values.tolist()
        return out
    return list(values)


def labels(y: Iterable[Any], n: int, kind: str) -> Any:
    """``y`` as a 1-D array: class labels (``kind`` "classifier") in the narrowest integer type, or
    float64 targets."""
    if isinstance(y, (str, bytes)):
        raise TypeError("y is a sequence of labels, not one string")
    if isinstance(y, np.ndarray) and y.ndim == 1 and len(y) == n:
        if kind == "classifier" and y.dtype.kind in "iu":
            if n == 0:
                return y.astype(np.int32)
            lo, hi = y.min(), y.max()
            if -(1 << 31) <= lo and hi < (1 << 31):
                return _narrowest(y, lo, hi)
        if kind == "regressor" and y.dtype.kind == "f":
            return y.astype(np.float64)
    out = as_list(y)
    if len(out) != n:
        raise ValueError(f"{n} keys but {len(out)} labels in y")
    if kind == "classifier":
        fast = _native.int_labels(out)
        if fast is not None:
            return _narrow(fast)
    else:
        fast = _native.float_targets(out)
        if fast is not None:
            return fast
    if kind == "classifier":
        for i, v in enumerate(out):
            if type(v) is int:
                continue
            if isinstance(v, (float, bool)) or isinstance(v, numbers.Real) and not isinstance(v, numbers.Integral):
                raise TypeError(f"label {i} is {v!r}: class labels are ints")
            try:
                out[i] = operator.index(v)
            except TypeError:
                raise TypeError(f"label {i} is {v!r}: class labels are ints") from None
        for i, v in enumerate(out):
            if not -(1 << 31) <= v < (1 << 31):
                raise ValueError(f"label {i} is {v}: class labels must fit in 32 bits")
        return _narrow(np.array(out, dtype=np.int32))
    for i, v in enumerate(out):
        if type(v) is float:
            continue
        if isinstance(v, bool) or not isinstance(v, numbers.Real):
            raise TypeError(f"target {i} is {v!r}: regression targets are numbers")
        out[i] = float(v)
    return np.array(out, dtype=np.float64)
