"""Iterate data sources as ``(x, y)`` pairs, one example at a time.

``x`` is a fresh ``dict[str, float]`` per example, its keys in column order, and ``y`` the target.
Nothing is read ahead: a CSV file is read line by line, a DataFrame row by row, an array row by
row, so memory stays constant whatever the length of the source.

Missing values follow one rule everywhere: a missing cell leaves the feature out of that record.
Missing is an empty CSV cell or the text ``nan`` (any case), a NaN or None in a DataFrame, a NaN
in an array. Infinities are values (``inf``, ``-inf``, ``Infinity`` in a CSV file) and are passed
on. A missing target is an error.

Categorical columns are one-hot encoded: with ``categorical=["day"]`` the value ``v`` of column
``day`` becomes the feature ``"day=v": 1.0`` (the other values of the column are absent).
``categorical="auto"`` encodes every non-numeric column: for a DataFrame, the columns whose dtype
is not numeric; for a CSV file, the columns whose first non-missing cell does not read as a number.

Targets are converted according to ``target_type``:

- ``"float"``: ``float(value)``;
- ``"int"``: an integer (``"3"`` or ``"3.0"``; anything else is an error);
- ``"label"``: any string, encoded as 0, 1, 2, ... in order of first appearance (see ``classes``);
- ``"class"``: ``"int"`` when the first target reads as an integer, else ``"label"``;
- ``"auto"`` (default): ``"int"``, ``"float"`` or ``"label"``, decided by the first target;
- a callable applied to the raw value.
"""

from __future__ import annotations

import collections
import csv
import gzip
import io
import math
import os
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any, Union

from kavro import _blocks

Target = Union[int, float, None]
TargetType = Union[str, Callable[[Any], Any]]
Categorical = Union[str, Sequence[str], None]

__all__ = [
    "StreamError",
    "iter_csv",
    "iter_pandas",
    "iter_array",
    "iter_stream",
    "CSVStream",
    "DataFrameStream",
    "ArrayStream",
    "MAX_LINE_LENGTH",
]

# Longest CSV line read by default, in characters (``max_line_length`` raises it): a longer line
# is refused rather than read whole into memory.
MAX_LINE_LENGTH = 1 << 20


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


def _missing_text(cell: str) -> bool:
    """An empty CSV cell or the text "nan" in any case."""
    return not cell or (len(cell) == 3 and cell.lower() == "nan")


def _bounded_lines(fh: Any, path: str, limit: int) -> Iterator[str]:
    """The lines of an open text file, each read in bounded memory: a line longer than ``limit``
    characters (its line break aside), bytes that do not decode and a damaged gzip file raise
    ``StreamError`` naming the file and the line."""
    readline = fh.readline
    n = 0
    while True:
        try:
            line = readline(limit + 2)
        except UnicodeDecodeError as exc:
            raise StreamError(f"{path}, line {n + 1} or soon after: not {exc.encoding} text "
                              f"({exc.reason}: {exc.object[exc.start:exc.start + 4]!r})") from None
        except (EOFError, zlib.error, gzip.BadGzipFile) as exc:
            raise StreamError(f"{path}, line {n + 1}: damaged or truncated gzip data ({exc})") from None
        if not line:
            return
        n += 1
        if len(line.rstrip("\r\n")) > limit:
            raise StreamError(f"{path}, line {n}: longer than {limit:,} characters (max_line_length "
                              "raises the limit)")
        yield line


def _categorical_hint(name: str) -> str:
    return f" (for a categorical column use categorical=[{name!r}] or 'auto')"


def _categorical_columns(categorical: Categorical) -> list[str] | str | None:
    """Validated ``categorical`` option: None, "auto" or a list of column names."""
    if categorical is None:
        return None
    if isinstance(categorical, str):
        if categorical == "auto":
            return "auto"
        raise ValueError(
            f"categorical must be 'auto' or a list of column names, got {categorical!r} "
            f"(for one column write categorical=[{categorical!r}])"
        )
    names = list(categorical)
    bad = [n for n in names if not isinstance(n, str)]
    if bad:
        raise TypeError(f"categorical column names must be strings, got {bad[0]!r}")
    return names


def _check_categorical(names: list[str] | str | None, columns: Sequence[str], target: str | None,
                       where: str) -> None:
    if not isinstance(names, list):
        return
    unknown = [n for n in names if n not in columns]
    if unknown:
        raise StreamError(f"{where}: no column(s) {', '.join(map(repr, unknown))} to encode as categorical "
                          f"(columns: {', '.join(columns)})")
    if target is not None and target in names:
        raise StreamError(f"{where}: the target column {target!r} cannot be categorical "
                          "(class labels are encoded by target_type)")


# Column kinds of a CSV file.
_NUMERIC, _CATEGORICAL, _UNDECIDED = 0, 1, 2


class CSVStream:
    """A CSV file with a header row, iterated as ``(x, y)`` pairs.

    ``target`` names the target column (``None``: no target, y is ``None``). ``features`` keeps only
    the named columns (default: every column but the target and ``drop``). ``categorical`` names
    columns to one-hot encode (or ``"auto"``, see the module docs); every other feature value must
    read as a number, or be missing (an empty cell or ``nan``); a bad value raises ``StreamError``
    naming the file, the line and the column. Infinities (``inf``, ``-inf``) are kept as values.
    A path ending in ``.gz`` is read through gzip. A line longer than ``max_line_length``
    characters (default ``MAX_LINE_LENGTH``, 1,048,576), a field longer than the ``csv`` module's
    field size limit, bytes that do not decode and damaged gzip data raise ``StreamError`` naming
    the file and the line; memory stays bounded whatever the file. The object can be iterated
    again (each iteration re-opens the file); ``classes`` holds the label encoding of the last
    iteration when the target is encoded.

    ``path`` may also be an open file object, binary (decoded with ``encoding``) or text (already
    decoded: ``encoding`` does not apply, and neither does gzip whatever its name), read from where
    it stands. It is read once, and left open: iterating again refuses with ``StreamError``, unless
    the object is seekable, when the next iteration starts again from where the first started.
    Messages name it by its ``name`` attribute, or ``<file object>``.
    """

    def __init__(
        self,
        path: str | os.PathLike[str] | IO[Any],
        target: str | None,
        *,
        features: Sequence[str] | None = None,
        drop: Sequence[str] = (),
        target_type: TargetType = "auto",
        categorical: Categorical = None,
        delimiter: str = ",",
        encoding: str = "utf-8-sig",
        max_line_length: int = MAX_LINE_LENGTH,
    ) -> None:
        if isinstance(max_line_length, bool) or not isinstance(max_line_length, int) or max_line_length < 1:
            raise ValueError(f"max_line_length must be a positive int, got {max_line_length!r}")
        self.max_line_length = max_line_length
        self.file: Any = None  # an open file object given in place of a path
        if hasattr(path, "read") and not isinstance(path, (str, bytes, os.PathLike)):
            self.file = path
            name = getattr(path, "name", None)
            self.path = name if isinstance(name, str) else "<file object>"
            self._file_text, self._file_start = _file_object_kind(path)
            self._file_read = False
        else:
            self.path = os.fspath(path)
        self.target = target
        self.features = list(features) if features is not None else None
        self.drop = set(drop)
        self.target_type = target_type
        self.categorical = _categorical_columns(categorical)
        self.delimiter = delimiter
        self.encoding = encoding
        self.classes: dict[str, int] = {}
        _TargetConverter(target_type)  # validates target_type now

    @property
    def gzip(self) -> bool:
        """The source is read through gzip (a path ending in ``.gz``)."""
        return self.file is None and self.path.endswith(".gz")

    @property
    def text_object(self) -> bool:
        """The source is a text file object (its text is taken as given, as UTF-8 bytes)."""
        return self.file is not None and self._file_text

    def _open(self) -> Any:
        if self.file is not None:
            return self._open_object()
        if self.gzip:
            return gzip.open(self.path, "rt", newline="", encoding=self.encoding)
        return open(self.path, newline="", encoding=self.encoding)

    @property
    def byte_codec(self) -> tuple[str, str]:
        """(encoding, errors) of the source's bytes as the engine reads them: a text file object's
        text comes as UTF-8 with lone surrogates passed through."""
        return ("utf-8", "surrogatepass") if self.text_object else (self.encoding, "strict")

    def _claim_object(self) -> Any:
        """The file object, at the position of its first reading; a second reading needs a
        seekable object."""
        f = self.file
        if self._file_read:
            if self._file_start is None:
                raise StreamError(f"{self.path}: a file object that cannot seek is read once, and this one "
                                  "was read already (pass a path, or a seekable file object, to read it again)")
            f.seek(self._file_start)
        self._file_read = True
        return f

    def _open_object(self) -> Any:
        """The file object as text to read (closing it leaves the object open)."""
        f = self._claim_object()
        if self._file_text:
            return _Borrowed(f)
        return io.TextIOWrapper(io.BufferedReader(_BorrowedRaw(f)), encoding=self.encoding, newline="")

    def _rows(self, fh: Any) -> Iterator[tuple[int, list[str]]]:
        """``(line, row)`` of every CSV row of the open file (line: where the row starts), read
        through bounded lines; a malformed row raises ``StreamError`` naming its line."""
        reader = csv.reader(_bounded_lines(fh, self.path, self.max_line_length), delimiter=self.delimiter)
        end = 0
        while True:
            try:
                row = next(reader)
            except StopIteration:
                return
            except csv.Error as exc:
                raise StreamError(f"{self.path}, line {reader.line_num}: {exc}") from None
            line, end = end + 1, reader.line_num  # a quoted field may span lines
            yield line, row

    def _header(self) -> tuple[list[str], int]:
        """The stripped header cells and the number of lines they take (``[]`` for an empty file)."""
        with self._open() as fh:
            reader = csv.reader(_bounded_lines(fh, self.path, self.max_line_length), delimiter=self.delimiter)
            try:
                row = next(reader, [])
            except csv.Error as exc:
                raise StreamError(f"{self.path}, line {reader.line_num}: {exc}") from None
            return [h.strip() for h in row], reader.line_num

    def count_rows(self) -> int:
        """Number of examples in the file (reads it once, without converting values)."""
        with self._open() as fh:
            rows = self._rows(fh)
            if next(rows, None) is None:
                return 0
            return sum(1 for _, row in rows if row)

    def __iter__(self) -> Iterator[tuple[dict[str, float], Target]]:
        return self._examples()

    def _examples(self, skip: int = 0, source: Any = None,
                  names: list[str] | None = None) -> Iterator[tuple[dict[str, float], Target]]:
        """The examples after the first ``skip`` rows, which were read and converted already by a
        fast reader (only their targets are converted again, as they number the classes; a stream
        with "auto" categorical columns must not skip, as its first values decide the columns).
        ``source``: the text to read instead of opening the file (closed at the end). ``names``
        receives the feature names once the header is read."""
        convert = _TargetConverter(self.target_type)
        self.classes = convert.classes
        path = self.path
        with source if source is not None else self._open() as fh:
            rows = self._rows(fh)
            first = next(rows, None)
            if first is None:
                raise StreamError(f"{path}: empty file, expected a header row")
            header = [h.strip() for h in first[1]]
            columns = self._columns(header)
            if names is not None:
                names[:] = [c[1] for c in columns]
            t_index = header.index(self.target) if self.target is not None else -1
            width = len(header)
            for line, row in rows:
                if not row:
                    continue
                if skip:
                    skip -= 1
                    if t_index >= 0:
                        convert(row[t_index].strip())
                    continue
                if len(row) != width:
                    raise StreamError(f"{path}, line {line}: {len(row)} fields, expected {width} as in the header")
                x: dict[str, float] = {}
                for column in columns:
                    i, name, kind = column
                    cell = row[i].strip()
                    if _missing_text(cell):
                        continue
                    if kind == _UNDECIDED:  # "auto": the first value decides
                        kind = column[2] = _NUMERIC if _is_float(cell) else _CATEGORICAL
                    if kind == _CATEGORICAL:
                        x[f"{name}={cell}"] = 1.0
                        continue
                    try:
                        value = float(cell)
                    except ValueError:
                        hint = ""
                        if self.categorical == "auto":
                            hint = " (its first value was numeric; list it in categorical=[...] to encode it)"
                        elif self.categorical is None:
                            hint = _categorical_hint(name)
                        raise StreamError(
                            f"{path}, line {line}, column {name!r}: cannot convert {cell!r} to a number{hint}"
                        ) from None
                    if value == value:  # "-nan" too is a missing value
                        x[name] = value
                y: Target = None
                if t_index >= 0:
                    cell = row[t_index].strip()
                    if _missing_text(cell):
                        raise StreamError(f"{path}, line {line}, column {self.target!r} (target): missing value")
                    try:
                        y = convert(cell)
                    except (ValueError, TypeError) as exc:
                        raise StreamError(
                            f"{path}, line {line}, column {self.target!r} (target): cannot convert {cell!r}: {exc}"
                        ) from None
                    if _is_missing(y):
                        raise StreamError(f"{path}, line {line}, column {self.target!r} (target): "
                                          f"{cell!r} converts to a missing value ({y!r})")
                yield x, y

    def chunks(self, size: int = 8192) -> Iterator[tuple[Any, Any, list[str]]]:
        """The rows as blocks ``(X, y, names)`` (see ``kavro._blocks``): the file read once by the
        native engine, the lines it does not take by this stream's own reader, every cell
        converted exactly as iteration converts it. TypeError when the stream has no
        target, categorical columns or a callable ``target_type``, or is a gzip file and the
        build has no zlib."""
        return _blocks.csv_blocks(self, size, _RULES)

    def _parts(self, size: int) -> Iterator[Any]:
        """The blocks of ``chunks``, those of the native engine as it read them (the native
        loop takes them without a conversion)."""
        return _blocks.csv_parts(self, size, _RULES)

    def _columns(self, header: list[str]) -> list[list[Any]]:
        """``[index, name, kind]`` of every feature column, in file order."""
        if self.target is not None and self.target not in header:
            raise StreamError(f"{self.path}: no column {self.target!r} for the target (columns: {', '.join(header)})")
        if self.features is not None:
            missing = [f for f in self.features if f not in header]
            if missing:
                raise StreamError(f"{self.path}: no column(s) {', '.join(map(repr, missing))}")
            wanted = set(self.features)
        else:
            wanted = set(header) - self.drop - {self.target}
        used = collections.Counter(name for name in header if name in wanted or name == self.target)
        duplicates = sorted(name for name, count in used.items() if count > 1)
        if duplicates:
            raise StreamError(f"{self.path}: duplicate column(s) {', '.join(map(repr, duplicates))} in the header")
        _check_categorical(self.categorical, header, self.target, self.path)
        if isinstance(self.categorical, list):
            ignored = [c for c in self.categorical if c not in wanted]
            if ignored:
                raise StreamError(f"{self.path}: categorical column(s) {', '.join(map(repr, ignored))} "
                                  "are not among the features read")
        encoded = set(self.categorical) if isinstance(self.categorical, list) else set()
        auto = self.categorical == "auto"
        return [
            [i, name, _CATEGORICAL if name in encoded else _UNDECIDED if auto else _NUMERIC]
            for i, name in enumerate(header)
            if name in wanted and name != self.target
        ]


def _file_object_kind(f: Any) -> tuple[bool, int | None]:
    """(whether read() gives text, the position to start again from when the object seeks)."""
    probe = f.read(0)
    if not isinstance(probe, (str, bytes, bytearray)):
        raise TypeError(f"a file object's read() must give bytes or text, got {type(probe).__name__}")
    start = None
    try:
        if f.seekable():
            start = f.tell()
    except (AttributeError, OSError, ValueError):
        start = None
    return isinstance(probe, str), start


class _Borrowed:
    """A text file object read through, left open at the end."""

    def __init__(self, f: Any) -> None:
        self.readline = f.readline
        self.read = f.read

    def __enter__(self) -> _Borrowed:
        return self

    def __exit__(self, *exc: Any) -> None:
        pass

    def close(self) -> None:
        pass


class _BorrowedRaw(io.RawIOBase):
    """The bytes of a binary file object; closing this leaves the object open."""

    def __init__(self, f: Any) -> None:
        self._read = f.read

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        data = self._read(len(buffer))
        if data is None:
            raise StreamError("the file object's read() gave None (a non-blocking source with no data "
                              "ready): pass a blocking file object")
        n = len(data)
        buffer[:n] = data
        return n


def iter_csv(
    path: str | os.PathLike[str] | IO[Any],
    target: str | None,
    **options: Any,
) -> CSVStream:
    """A re-iterable ``CSVStream`` over ``path``, a path or an open file object (see ``CSVStream``
    for the options and how a file object is read)."""
    return CSVStream(path, target, **options)


def _is_missing(value: Any) -> bool:
    """None, a float NaN, or pandas' NA / NaT."""
    if value is None:
        return True
    if isinstance(value, float):
        return value != value
    if type(value).__name__ in ("NAType", "NaTType"):
        return True
    try:
        return math.isnan(value)
    except (TypeError, ValueError):
        return False


def _scalar(value: Any) -> Any:
    item = getattr(value, "item", None)
    return item() if callable(item) else value


class _ReIterable:
    """Base of the in-memory streams: re-iterable, and ``next()`` also works on the object."""

    _running: Iterator[tuple[dict[str, float], Target]] | None = None

    def __iter__(self) -> Iterator[tuple[dict[str, float], Target]]:
        raise NotImplementedError

    def __next__(self) -> tuple[dict[str, float], Target]:
        if self._running is None:
            self._running = iter(self)
        return next(self._running)


class DataFrameStream(_ReIterable):
    """A pandas DataFrame iterated row by row as ``(x, y)`` pairs (see ``iter_pandas``)."""

    def __init__(self, df: Any, target: str | None = None, *, target_type: TargetType = "auto",
                 categorical: Categorical = None) -> None:
        self.df = df
        self.target = target
        self.target_type = target_type
        self.categorical = _categorical_columns(categorical)
        self.classes: dict[str, int] = {}
        columns = [str(c) for c in df.columns]
        if target is not None and target not in columns:
            raise StreamError(f"DataFrame has no column {target!r} (columns: {', '.join(columns)})")
        _check_categorical(self.categorical, columns, target, "DataFrame")
        _TargetConverter(target_type)

    def __len__(self) -> int:
        return len(self.df)

    def chunks(self, size: int = 8192) -> Iterator[tuple[Any, Any, list[str]]]:
        """The rows as blocks ``(X, y, names)`` (see ``kavro._blocks``). TypeError when the frame
        has no target, non-numeric or categorical feature columns, duplicate column names or a
        callable ``target_type``."""
        return _blocks.frame_blocks(self, size, _RULES)

    def _encoded(self, columns: list[str]) -> set[str]:
        if isinstance(self.categorical, list):
            return set(self.categorical)
        if self.categorical == "auto":
            from pandas.api.types import is_numeric_dtype  # type: ignore[import-untyped, unused-ignore]

            return {name for name, col in zip(columns, self.df.columns)
                    if name != self.target and not is_numeric_dtype(self.df[col])}
        return set()

    def __iter__(self) -> Iterator[tuple[dict[str, float], Target]]:
        df, target = self.df, self.target
        columns = [str(c) for c in df.columns]
        t_index = columns.index(target) if target is not None else -1
        encoded = self._encoded(columns)
        kinds = [name in encoded for name in columns]
        convert = _TargetConverter(self.target_type)
        self.classes = convert.classes
        for row_no, row in enumerate(df.itertuples(index=False, name=None)):
            x: dict[str, float] = {}
            for i, value in enumerate(row):
                if i == t_index or _is_missing(value):
                    continue
                if kinds[i]:
                    x[f"{columns[i]}={_scalar(value)}"] = 1.0
                    continue
                try:
                    x[columns[i]] = float(value)
                except (TypeError, ValueError):
                    raise StreamError(
                        f"DataFrame row {row_no}, column {columns[i]!r}: cannot convert {value!r} to a number"
                        f" (for a categorical column use categorical=[{columns[i]!r}] or 'auto')"
                    ) from None
            y: Target = None
            if t_index >= 0:
                if _is_missing(row[t_index]):
                    raise StreamError(f"DataFrame row {row_no}, column {target!r} (target): missing value")
                try:
                    y = convert(_scalar(row[t_index]))
                except (ValueError, TypeError) as exc:
                    raise StreamError(f"DataFrame row {row_no}, column {target!r} (target): {exc}") from None
                if _is_missing(y):
                    raise StreamError(f"DataFrame row {row_no}, column {target!r} (target): "
                                      f"converts to a missing value ({y!r})")
            yield x, y


def iter_pandas(
    df: Any,
    target: str | None = None,
    *,
    target_type: TargetType = "auto",
    categorical: Categorical = None,
) -> DataFrameStream:
    """Iterate a pandas DataFrame row by row; ``target`` names the target column.

    Feature columns must be numeric (bool included) unless they are ``categorical`` (a list of
    column names, or ``"auto"`` for every column whose dtype is not numeric). NaN, None and NA
    leave the feature out. The result can be iterated again, has a length, and holds the label
    encoding of string targets in ``classes`` (as ``CSVStream`` does).
    """
    return DataFrameStream(df, target, target_type=target_type, categorical=categorical)


class ArrayStream(_ReIterable):
    """The rows of a 2-D array with optional targets, as ``(x, y)`` pairs (see ``iter_array``)."""

    def __init__(self, X: Any, y: Iterable[Any] | None = None, *,
                 feature_names: Sequence[str] | None = None) -> None:
        ndim = getattr(X, "ndim", None)
        if ndim is not None and ndim != 2:
            shape = getattr(X, "shape", "?")
            hint = "; for one feature use X.reshape(-1, 1)" if ndim == 1 else ""
            raise StreamError(f"X must be a 2-D array (one row per example), got {ndim} dimension(s) "
                              f"with shape {shape}{hint}")
        if ndim is None and isinstance(X, (list, tuple)) and X and not _is_row(X[0]):
            raise StreamError("X must be 2-D (a sequence of rows), got a flat sequence of "
                              f"{type(X[0]).__name__}; for one feature write [[v] for v in X]")
        self.X = X
        self.y = y
        self.feature_names = list(feature_names) if feature_names is not None else None
        self._one_shot = y is not None and iter(y) is y
        self._used = False

    def __len__(self) -> int:
        return len(self.X)

    def chunks(self, size: int = 8192) -> Iterator[tuple[Any, Any, list[str]]]:
        """The rows as blocks ``(X, y, names)`` (see ``kavro._blocks``). TypeError unless X is a
        2-D NumPy array of a real or integer dtype with distinct feature names and y a numeric
        array, Series, list or tuple of the same length."""
        return _blocks.array_blocks(self, size)

    def __iter__(self) -> Iterator[tuple[dict[str, float], Target]]:
        if self._one_shot:
            if self._used:
                raise StreamError("y is a one-shot iterator: this stream can be iterated only once "
                                  "(pass y as a list or an array to iterate again)")
            self._used = True
        return self._rows()

    def _rows(self) -> Iterator[tuple[dict[str, float], Target]]:
        targets = iter(self.y) if self.y is not None else None
        names = self.feature_names
        for row_no, row in enumerate(self.X):
            if not _is_row(row):
                raise StreamError(f"array row {row_no} is a single {type(row).__name__}, not a row of values; "
                                  "X must be 2-D (for one feature use X.reshape(-1, 1))")
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
                if _is_missing(target):
                    raise StreamError(f"y[{row_no}] is missing ({target!r}): every example needs a target")
            x: dict[str, float] = {}
            for n, v in zip(names, values):
                try:
                    f = float(v)
                except (TypeError, ValueError):
                    if v is None:
                        continue
                    raise StreamError(f"array row {row_no}, column {n!r}: cannot convert {v!r} to a number") from None
                if f == f:  # NaN: the feature is absent
                    x[n] = f
            yield x, target
        if targets is not None and next(targets, _END) is not _END:
            raise StreamError("y has more values than X has rows")


def _is_row(value: Any) -> bool:
    return hasattr(value, "__len__") and not isinstance(value, (str, bytes))


def iter_array(
    X: Any,
    y: Iterable[Any] | None = None,
    *,
    feature_names: Sequence[str] | None = None,
) -> ArrayStream:
    """Iterate the rows of a 2-D array (NumPy or nested sequences) with optional targets ``y``.

    Features are named ``feature_names`` or ``x0``, ``x1``, ...; every value is passed on as a float,
    except NaN (and None), which leaves the feature out of that row's record. A missing target (NaN,
    None) raises ``StreamError`` when its row is reached. NumPy integer targets
    become ``int``, floating ones ``float``. The result has a length and can be iterated again
    (unless ``y`` is a one-shot iterator).
    """
    return ArrayStream(X, y, feature_names=feature_names)


_END = object()

# The conversion rules the block producers apply (they import nothing from this module).
_RULES = _blocks.Rules(_TargetConverter, _missing_text, _is_missing, _scalar)


def iter_stream(source: Any, target: Any = None, **options: Any) -> Iterable[tuple[dict[str, float], Target]]:
    """Dispatch on the source: a path or file object (CSV), a DataFrame, or an array with ``target``
    as its y."""
    if isinstance(source, (str, os.PathLike)) or (hasattr(source, "read") and hasattr(source, "readline")):
        return CSVStream(source, target, **options)
    if hasattr(source, "itertuples") and hasattr(source, "columns"):
        return iter_pandas(source, target, **options)
    if hasattr(source, "shape") or isinstance(source, (list, tuple)):
        return iter_array(source, target, **options)
    raise TypeError(f"cannot stream from {type(source).__name__}")
