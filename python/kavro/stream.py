"""Iterate data sources as ``(x, y)`` pairs, one example at a time.

``x`` is a fresh ``dict[str, float]`` per example and ``y`` the target. Nothing is read ahead: a CSV
file is read line by line, a DataFrame row by row, an array row by row, so memory stays constant
whatever the length of the source. Missing values (an empty CSV cell, a NaN or None in a
DataFrame) leave the feature out of the record; a missing target is an error.

Targets are converted according to ``target_type``:

- ``"float"``: ``float(value)``;
- ``"int"``: an integer (``"3"`` or ``"3.0"``; anything else is an error);
- ``"label"``: any string, encoded as 0, 1, 2, ... in order of first appearance (see ``classes``);
- ``"class"``: ``"int"`` when the first target reads as an integer, else ``"label"``;
- ``"auto"`` (default): ``"int"``, ``"float"`` or ``"label"``, decided by the first target;
- a callable applied to the raw value.
"""

from __future__ import annotations

import csv
import math
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Union

Target = Union[int, float, None]
TargetType = Union[str, Callable[[Any], Any]]

__all__ = ["StreamError", "iter_csv", "iter_pandas", "iter_array", "iter_stream", "CSVStream"]


class StreamError(ValueError):
    """A value of the source that cannot be converted; the message names its place."""


def _int_like(value: str) -> int | None:
    try:
        return int(value)
    except ValueError:
        pass
    try:
        f = float(value)
    except ValueError:
        return None
    return int(f) if f.is_integer() else None


class _TargetConverter:
    """Converts raw target values; the mode of "auto"/"class" is fixed by the first value."""

    def __init__(self, target_type: TargetType) -> None:
        if not callable(target_type) and target_type not in ("auto", "class", "int", "float", "label"):
            raise ValueError(
                f"unknown target_type {target_type!r} (expected 'auto', 'class', 'int', 'float', "
                "'label' or a callable)"
            )
        self.mode = target_type
        self.classes: dict[str, int] = {}

    def __call__(self, raw: Any) -> Any:
        mode = self.mode
        if callable(mode):
            return mode(raw)
        text = str(raw).strip()
        if mode in ("auto", "class"):
            if _int_like(text) is not None:
                mode = "int"
            elif mode == "auto" and _is_float(text):
                mode = "float"
            else:
                mode = "label"
            self.mode = mode
        if mode == "float":
            return float(text)
        if mode == "int":
            value = _int_like(text)
            if value is None:
                raise ValueError(f"{text!r} is not an integer")
            return value
        code = self.classes.get(text)
        if code is None:
            code = self.classes[text] = len(self.classes)
        return code


def _is_float(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


class CSVStream:
    """A CSV file with a header row, iterated as ``(x, y)`` pairs.

    ``target`` names the target column (``None``: no target, y is ``None``). ``features`` keeps only
    the named columns (default: every column but the target and ``drop``). Every feature value must
    read as a number; a bad value raises ``StreamError`` naming the file, the line and the column.
    The object can be iterated again (each iteration re-opens the file); ``classes`` holds the
    label encoding of the last iteration when the target is encoded.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        target: str | None,
        *,
        features: Sequence[str] | None = None,
        drop: Sequence[str] = (),
        target_type: TargetType = "auto",
        delimiter: str = ",",
        encoding: str = "utf-8-sig",
    ) -> None:
        self.path = os.fspath(path)
        self.target = target
        self.features = list(features) if features is not None else None
        self.drop = set(drop)
        self.target_type = target_type
        self.delimiter = delimiter
        self.encoding = encoding
        self.classes: dict[str, int] = {}
        _TargetConverter(target_type)  # validates target_type now

    def __iter__(self) -> Iterator[tuple[dict[str, float], Target]]:
        convert = _TargetConverter(self.target_type)
        self.classes = convert.classes
        with open(self.path, newline="", encoding=self.encoding) as fh:
            reader = csv.reader(fh, delimiter=self.delimiter)
            try:
                header = [h.strip() for h in next(reader)]
            except StopIteration:
                raise StreamError(f"{self.path}: empty file, expected a header row") from None
            columns = self._columns(header)
            t_index = header.index(self.target) if self.target is not None else -1
            width = len(header)
            end = reader.line_num
            for row in reader:
                line, end = end + 1, reader.line_num  # a quoted field may span lines
                if not row:
                    continue
                if len(row) != width:
                    raise StreamError(
                        f"{self.path}, line {line}: {len(row)} fields, expected {width} as in the header"
                    )
                x: dict[str, float] = {}
                for i, name in columns:
                    cell = row[i].strip()
                    if not cell:
                        continue
                    try:
                        value = float(cell)
                    except ValueError:
                        raise StreamError(
                            f"{self.path}, line {line}, column {name!r}: "
                            f"cannot convert {cell!r} to a number"
                        ) from None
                    if value == value:  # a NaN cell is an absent feature
                        x[name] = value
                y: Target = None
                if t_index >= 0:
                    cell = row[t_index]
                    if not cell.strip():
                        raise StreamError(f"{self.path}, line {line}, column {self.target!r} (target): "
                                          "missing value")
                    try:
                        y = convert(cell)
                    except (ValueError, TypeError) as exc:
                        raise StreamError(
                            f"{self.path}, line {line}, column {self.target!r} (target): "
                            f"cannot convert {cell.strip()!r}: {exc}"
                        ) from None
                yield x, y

    def chunks(self, size: int = 8192) -> Iterator[tuple[Any, Any, list[str]]]:
        """The rows as blocks ``(X, y, names)`` (see ``kavro._blocks``), read by pyarrow's
        streaming CSV reader when it is installed, converted exactly as iteration converts them.
        TypeError when the stream has no target or a callable ``target_type``."""
        from kavro._blocks import csv_blocks

        return csv_blocks(self, size)

    def _columns(self, header: list[str]) -> list[tuple[int, str]]:
        if self.target is not None and self.target not in header:
            raise StreamError(
                f"{self.path}: no column {self.target!r} for the target (columns: {', '.join(header)})"
            )
        if self.features is not None:
            missing = [f for f in self.features if f not in header]
            if missing:
                raise StreamError(f"{self.path}: no column(s) {', '.join(map(repr, missing))}")
            wanted = set(self.features)
        else:
            wanted = set(header) - self.drop - {self.target}
        used = [name for name in header if name in wanted or name == self.target]
        duplicates = sorted({name for name in used if used.count(name) > 1})
        if duplicates:
            raise StreamError(f"{self.path}: duplicate column(s) {', '.join(map(repr, duplicates))} in the header")
        return [(i, name) for i, name in enumerate(header) if name in wanted and name != self.target]


def iter_csv(
    path: str | os.PathLike[str],
    target: str | None,
    **options: Any,
) -> CSVStream:
    """A re-iterable ``CSVStream`` over ``path`` (see ``CSVStream`` for the options)."""
    return CSVStream(path, target, **options)


def _is_missing(value: Any) -> bool:
    if value is None:
        return True
    try:
        return math.isnan(value)
    except TypeError:
        return False


def _scalar(value: Any) -> Any:
    item = getattr(value, "item", None)
    return item() if callable(item) else value


class _Rows(Iterator[tuple[dict[str, float], Target]]):
    """An iterator of ``(x, y)`` pairs that can hand over its rows as blocks before it starts."""

    def __init__(self, rows: Iterator[tuple[dict[str, float], Target]],
                 blocks: Callable[[int], Iterator[tuple[Any, Any, list[str]]]]) -> None:
        self._rows = rows
        self._blocks = blocks
        self._started = False

    def __iter__(self) -> _Rows:
        return self

    def __next__(self) -> tuple[dict[str, float], Target]:
        self._started = True
        return next(self._rows)

    def chunks(self, size: int = 8192) -> Iterator[tuple[Any, Any, list[str]]]:
        """The rows as blocks ``(X, y, names)`` (see ``kavro._blocks``), instead of iterating.
        TypeError when the source is not one blocks reproduce exactly, or iteration has begun."""
        if self._started:
            raise TypeError("the stream has already been iterated")
        blocks = self._blocks(size)
        self._started = True
        return blocks


def iter_pandas(
    df: Any,
    target: str | None = None,
    *,
    target_type: TargetType = "auto",
) -> Iterator[tuple[dict[str, float], Target]]:
    """Iterate a pandas DataFrame row by row; ``target`` names the target column.

    Feature columns must be numeric (bool included); NaN and None leave the feature out.
    """
    from kavro._blocks import frame_blocks

    return _Rows(
        _pandas_rows(df, target, target_type=target_type),
        lambda size: frame_blocks(df, target, _TargetConverter(target_type), size,
                                  lambda: _pandas_rows(df, target, target_type=target_type)),
    )


def _pandas_rows(
    df: Any,
    target: str | None = None,
    *,
    target_type: TargetType = "auto",
) -> Iterator[tuple[dict[str, float], Target]]:
    columns = [str(c) for c in df.columns]
    if target is not None and target not in columns:
        raise StreamError(f"DataFrame has no column {target!r} (columns: {', '.join(columns)})")
    t_index = columns.index(target) if target is not None else -1
    convert = _TargetConverter(target_type)
    for row_no, row in enumerate(df.itertuples(index=False, name=None)):
        x: dict[str, float] = {}
        for i, value in enumerate(row):
            if i == t_index or _is_missing(value):
                continue
            try:
                x[columns[i]] = float(value)
            except (TypeError, ValueError):
                raise StreamError(
                    f"DataFrame row {row_no}, column {columns[i]!r}: cannot convert {value!r} to a number"
                ) from None
        y: Target = None
        if t_index >= 0:
            if _is_missing(row[t_index]):
                raise StreamError(f"DataFrame row {row_no}, column {target!r} (target): missing value")
            try:
                y = convert(_scalar(row[t_index]))
            except (ValueError, TypeError) as exc:
                raise StreamError(f"DataFrame row {row_no}, column {target!r} (target): {exc}") from None
        yield x, y


def iter_array(
    X: Any,
    y: Iterable[Any] | None = None,
    *,
    feature_names: Sequence[str] | None = None,
) -> Iterator[tuple[dict[str, float], Target]]:
    """Iterate the rows of a 2-D array (NumPy or nested sequences) with optional targets ``y``.

    Features are named ``feature_names`` or ``x0``, ``x1``, ...; every value is passed on as a float
    and a NaN cell leaves the feature out. NumPy integer targets become ``int``, floating ones
    ``float``.
    """
    from kavro._blocks import array_blocks

    return _Rows(
        _array_rows(X, y, feature_names=feature_names),
        lambda size: array_blocks(X, y, feature_names, size,
                                  lambda: _array_rows(X, y, feature_names=feature_names)),
    )


def _array_rows(
    X: Any,
    y: Iterable[Any] | None = None,
    *,
    feature_names: Sequence[str] | None = None,
) -> Iterator[tuple[dict[str, float], Target]]:
    targets = iter(y) if y is not None else None
    names: list[str] | None = list(feature_names) if feature_names is not None else None
    for row_no, row in enumerate(X):
        values = row.tolist() if hasattr(row, "tolist") else list(row)
        if names is None:
            names = [f"x{i}" for i in range(len(values))]
        if len(values) != len(names):
            raise StreamError(f"array row {row_no}: {len(values)} values, expected {len(names)}")
        target: Target = None
        if targets is not None:
            try:
                target = _scalar(next(targets))
            except StopIteration:
                raise StreamError(f"y has fewer values than X has rows ({row_no})") from None
        yield {n: v for n, v in zip(names, map(float, values)) if v == v}, target
    if targets is not None and next(targets, _END) is not _END:
        raise StreamError("y has more values than X has rows")


_END = object()


def iter_stream(source: Any, target: Any = None, **options: Any) -> Iterable[tuple[dict[str, float], Target]]:
    """Dispatch on the source: a path (CSV), a DataFrame, or an array with ``target`` as its y."""
    if isinstance(source, (str, os.PathLike)):
        return CSVStream(source, target, **options)
    if hasattr(source, "itertuples") and hasattr(source, "columns"):
        return iter_pandas(source, target, **options)
    if hasattr(source, "shape") or isinstance(source, (list, tuple)):
        return iter_array(source, target, **options)
    raise TypeError(f"cannot stream from {type(source).__name__}")
