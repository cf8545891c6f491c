"""Streams handed over as blocks of rows instead of one record at a time.

A block is ``(X, y, names)``: ``X`` a float64 2-D array whose NaN cells are features absent from
the row's record, ``y`` a 1-D array of the targets the stream would yield (int64, float64, or
object when the values are not plain numbers), ``names`` the feature name of each column. The
record of a row is the dict of its non-NaN cells in column order, exactly what iterating the stream
yields for that row, so a consumer may use either form.

Each producer delivers the same rows, in the same order, as the stream's own iteration. Whenever a
producer meets something it does not handle itself (a bad value, a parse error), it hands over the
rows before it and continues from the stream's own iteration, skipping the rows already delivered,
so errors are raised exactly where and as the iteration raises them.

For the native loop, the CSV producer also leaves the blocks the native engine read as they are
(``EngineRows``), so that no array is made of them. The stream module hands its conversion rules
over (``Rules``): this module imports nothing from it.
"""

from __future__ import annotations

import codecs
import csv
import io
import itertools
import math
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

BLOCK_ROWS = 8192

Block = tuple[Any, Any, list[str]]


def _np() -> Any:
    import numpy as np

    return np


def target_array(values: Sequence[Any]) -> Any:
    """int64 when every value is an int that fits, float64 when every one is a float, else object."""
    np = _np()
    kinds = {type(v) for v in values}
    if kinds <= {int}:
        try:
            return np.array(values, dtype=np.int64)
        except OverflowError:
            pass
    elif kinds == {float}:
        return np.array(values, dtype=np.float64)
    out = np.empty(len(values), dtype=object)
    out[:] = list(values)
    return out


def record_blocks(records: Iterable[tuple[dict[str, float], Any]], names: list[str],
                  size: int = BLOCK_ROWS) -> Iterator[Block]:
    """Blocks of ``records`` whose keys are among ``names``, in that order."""
    np = _np()
    nan = math.nan
    it = iter(records)
    while True:
        rows: list[tuple[dict[str, float], Any]] = []
        error: Exception | None = None
        try:
            for pair in it:
                rows.append(pair)
                if len(rows) == size:
                    break
        except Exception as exc:  # the rows before it first, then the error
            error = exc
        if rows:
            X = np.array([[x.get(n, nan) for n in names] for x, _ in rows], dtype=np.float64)
            yield X.reshape(len(rows), len(names)), target_array([y for _, y in rows]), names
        if error is not None:
            raise error
        if len(rows) < size:
            return


class Rules:
    """The stream module's conversion rules, handed over by it (this module imports no stream)."""

    def __init__(self, converter: Any, missing_text: Any, is_missing: Any, scalar: Any) -> None:
        self.converter = converter
        self.missing_text = missing_text
        self.is_missing = is_missing
        self.scalar = scalar


def row_records(X: Any, names: Sequence[str]) -> Iterator[dict[str, float]]:
    """The record of each row of a block."""
    for row in X.tolist():
        yield {n: v for n, v in zip(names, row) if v == v}


def _skipped(records: Iterable[Any], skip: int) -> Iterator[Any]:
    it = iter(records)
    for _ in itertools.islice(it, skip):
        pass
    return it


# ---------------------------------------------------------------------------------------------
# Arrays and DataFrames

def _numeric(dtype: Any) -> bool:
    np = _np()
    return isinstance(dtype, np.dtype) and dtype.kind in "biuf" and dtype.itemsize <= 8


def array_blocks(stream: Any, size: int) -> Iterator[Block]:
    """Blocks of an ``ArrayStream``. TypeError (raised now) when its X and y are not ones the
    blocks reproduce exactly."""
    np = _np()
    X = stream.X
    if not isinstance(X, np.ndarray) or X.ndim != 2 or not _numeric(X.dtype):
        raise TypeError("blocks need a 2-D NumPy array of a real or integer dtype")
    names = stream.feature_names if stream.feature_names is not None else [f"x{i}" for i in range(X.shape[1])]
    if len(names) != X.shape[1] or len(set(names)) != len(names):
        raise TypeError("blocks need one distinct name per column")
    targets = _array_targets(stream.y)
    if len(targets) != len(X):
        raise TypeError("blocks need as many targets as rows")

    def blocks() -> Iterator[Block]:
        for a in range(0, len(X), size):
            yield X[a:a + size].astype(np.float64, copy=False), targets[a:a + size], names

    return blocks()


def _array_targets(y: Any) -> Any:
    np = _np()
    if y is None:
        raise TypeError("blocks need targets")
    if hasattr(y, "to_numpy") and not isinstance(y, np.ndarray):
        y = y.to_numpy()
    if isinstance(y, np.ndarray):
        if y.ndim != 1 or not _numeric(y.dtype):
            raise TypeError("blocks need a 1-D numeric target array")
        if y.dtype.kind == "f" and np.isnan(y).any():
            raise TypeError("blocks need targets without NaN")  # the iteration says where
        return y
    if not isinstance(y, (list, tuple)):
        raise TypeError("blocks need targets in an array, a Series, a list or a tuple")
    arr = np.asarray(y)
    if arr.ndim != 1 or not _numeric(arr.dtype):
        raise TypeError("blocks need numeric targets")
    # A list mixing ints and floats becomes float64; keep the Python values' own types.
    if arr.dtype.kind == "f" and not all(type(v) is float for v in y):
        raise TypeError("blocks need targets of one kind")
    if arr.dtype.kind == "f" and np.isnan(arr).any():
        raise TypeError("blocks need targets without NaN")
    return arr


def frame_blocks(stream: Any, size: int, rules: Rules) -> Iterator[Block]:
    """Blocks of a ``DataFrameStream``. TypeError (raised now) when the frame has no target,
    duplicate column names, non-numeric or categorical feature columns, or a callable
    target_type."""
    df, target = stream.df, stream.target
    columns = [str(c) for c in df.columns]
    if target is None or target not in columns:
        raise TypeError("blocks need a target column")
    if len(set(columns)) != len(columns):
        raise TypeError("blocks need distinct column names")
    if callable(stream.target_type):
        raise TypeError("blocks do not apply a callable target_type")
    t_index = columns.index(target)
    features = [i for i in range(len(columns)) if i != t_index]
    if stream._encoded(columns) or not all(_numeric(df.dtypes.iloc[i]) for i in features):
        raise TypeError("blocks need numeric, non-categorical feature columns")
    return _frame_blocks(stream, df, t_index, features, [columns[i] for i in features], size,
                         rules.converter(stream.target_type), rules)


def _frame_blocks(stream: Any, df: Any, t_index: int, features: list[int], names: list[str],
                  size: int, convert: Any, rules: Rules) -> Iterator[Block]:
    np = _np()
    stream.classes = convert.classes
    delivered = 0
    for a in range(0, len(df), size):
        part = df.iloc[a:a + size]
        X = part.iloc[:, features].to_numpy(dtype=np.float64)
        values: list[Any] = []
        for value in part.iloc[:, t_index].tolist():
            if rules.is_missing(value):
                break
            try:
                values.append(convert(rules.scalar(value)))
            except (ValueError, TypeError):
                break
        if len(values) < len(X):  # the stream's own iteration raises the error
            if values:
                yield X[:len(values)], target_array(values), names
            delivered += len(values)
            yield from record_blocks(_skipped(iter(stream), delivered), names, size)
            return
        delivered += len(X)
        yield X, target_array(values), names


# ---------------------------------------------------------------------------------------------
# CSV files: the native engine reads the source once; the stream's own reader takes over where
# the engine stops, from the text after it.

# Rows per engine block; the engine is used unless this is false (tests compare both paths).
_ENGINE = True
_ENGINE_BLOCK = BLOCK_ROWS


def _codec(encoding: str) -> str | None:
    try:
        return codecs.lookup(encoding).name
    except LookupError:
        return None


def _utf8(encoding: str) -> bool:
    return _codec(encoding) in ("utf-8", "utf-8-sig")


# Encodings in which the ASCII bytes spell the ASCII characters and every other character is made
# of bytes beyond ASCII: the engine reads their lines of ASCII bytes.
_ASCII_COMPATIBLE = frozenset({"ascii", "iso8859-1", "iso8859-2", "iso8859-15", "cp1250", "cp1251", "cp1252"})


def _ascii_compatible(encoding: str) -> bool:
    return _codec(encoding) in _ASCII_COMPATIBLE


class EngineRows:
    """A block of the CSV engine as the native loop takes it: the engine's block, the feature
    names, and the values of its label codes (``table`` natively, ``values`` in Python)."""

    def __init__(self, block: Any, names: list[str], table: Any, values: list[Any] | None, rows: int) -> None:
        self.block = block
        self.names = names
        self.table = table
        self.values = values
        self.rows = rows

    def __len__(self) -> int:
        return self.rows

    def target(self, row: int) -> Any:
        value = self.block.target(row)
        return self.values[value] if self.values is not None else value

    def arrays(self) -> tuple[Any, Any]:
        X, y = self.block.arrays()
        X, y = X[:self.rows], y[:self.rows]
        if self.values is not None:
            y = target_array(self.values)[y]
        return X, y


def csv_blocks(stream: Any, size: int, rules: Rules) -> Iterator[Block]:
    """Blocks of a ``CSVStream``, every cell converted exactly as the stream's own reader converts
    it. TypeError (raised now) when the stream has no target, a callable target_type or
    categorical columns, or is a gzip file and the build has no zlib."""
    parts = csv_parts(stream, size, rules)
    return (part if isinstance(part, tuple) else (*part.arrays(), part.names) for part in parts)


def csv_parts(stream: Any, size: int, rules: Rules) -> Iterator[Block | EngineRows]:
    """The blocks of ``csv_blocks``, those the engine read left as ``EngineRows`` (no NumPy)."""
    if stream.target is None:
        raise TypeError("blocks need a target column")
    if callable(stream.target_type):
        raise TypeError("blocks do not apply a callable target_type")
    if stream.categorical is not None:
        raise TypeError("blocks do not read categorical columns")
    if stream.gzip:
        from kavro import _native

        if not getattr(_native, "CSV_READS_GZIP", False):
            raise TypeError("blocks of gzip files need a build with zlib")
    return _csv_parts(stream, size, rules)


def _header_fields(line: str, delimiter: str) -> list[str] | None:
    """The header's fields as the stream's reader splits them, when the line (its line feed cut
    off) is a whole row of fields the engine would split too: each plain, or quoted whole."""
    if line.endswith("\r"):
        line = line[:-1]
    if not line:
        return None
    fields, at = [], 0
    while True:
        if line.startswith('"', at):
            close = line.find('"', at + 1)
            if close < 0 or not line.startswith(delimiter, close + 1) and close + 1 != len(line):
                return None
            field, at = line[at + 1:close], close + 1
        else:
            stop = line.find(delimiter, at)
            stop = len(line) if stop < 0 else stop
            field, at = line[at:stop], stop
        if '"' in field or "\r" in field or "\0" in field:
            return None
        fields.append(field.strip())
        if at == len(line):
            return fields
        at += 1


def _csv_parts(stream: Any, size: int, rules: Rules) -> Iterator[Block | EngineRows]:
    encoding = stream.byte_codec[0]
    utf8 = _utf8(encoding)
    plain = (_ENGINE and (utf8 or _ascii_compatible(encoding)) and len(stream.delimiter) == 1
             and stream.delimiter not in '"\r\n' and ord(stream.delimiter) <= 0x7f)
    if not plain:  # the stream's own reader alone
        yield from _reader_blocks(stream, size, None)
        return
    from kavro import _native

    if stream.file is not None:
        engine = _native.CsvEngine(stream._claim_object().read)
    else:
        engine = _native.CsvEngine(os.fsencode(stream.path), stream.gzip)
    try:
        yield from _engine_parts(stream, size, rules, engine, utf8)
    finally:
        engine.close()


def _reader_blocks(stream: Any, size: int, source: Any, skip: int = 0,
                   names: list[str] | None = None) -> Iterator[Block]:
    """Blocks of the stream's own reader (over ``source``, or the source opened again); without
    ``names``, those of the header it reads."""
    if names is None:
        names = []  # filled before the first block is made
        return record_blocks(stream._examples(skip, source, names), names, size)
    return record_blocks(stream._examples(skip, source), names, size)


class _Rest(io.RawIOBase):
    """Bytes given first, then those of the source after where the engine stopped."""

    def __init__(self, prefix: bytes, engine: Any) -> None:
        self._prefix = prefix
        self._engine = engine

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        n = len(buffer)
        if self._prefix:
            data, self._prefix = self._prefix[:n], self._prefix[n:]
        elif self._engine is not None:
            data = self._engine.read(n)
        else:
            data = b""
        buffer[:len(data)] = data
        return len(data)


def _text(stream: Any, raw: io.RawIOBase) -> Any:
    encoding, errors = stream.byte_codec
    return io.TextIOWrapper(io.BufferedReader(raw), encoding=encoding, errors=errors, newline="")


class _Read:
    """What the resumed reader needs of a read: the stream, its engine and its layout."""

    def __init__(self, stream: Any, size: int, rules: Rules, engine: Any, header: bytes,
                 names: list[str], width: int, target: int) -> None:
        self.stream, self.size, self.rules, self.engine = stream, size, rules, engine
        self.header, self.names, self.width, self.target = header, names, width, target

    def row(self, label: bytes) -> bytes:
        """A line holding the label at the target and nothing else."""
        cells = [b""] * self.width
        cells[self.target] = label
        delimiter: str = self.stream.delimiter
        return delimiter.encode("ascii").join(cells) + b"\n"

    def resume(self, delivered: int, raws: list[bytes], line: int, row: bytes | None) -> Iterator[Block]:
        """The stream's reader from line ``line`` on, after ``delivered`` rows whose labels were
        ``raws`` (in order of first appearance). A regular file still the one the engine reads
        is opened again and its first rows skipped. Otherwise the reader reads text holding the
        header, one row per label (skipped, numbering the classes as the rows did), blank lines
        up to ``line``, then ``row`` (a row it refuses) or the source after the engine."""
        stream = self.stream
        if self.engine.regular:
            fh = _reopened(stream, self.engine)
            if fh is not None:
                yield from _reader_blocks(stream, self.size, fh, delivered, self.names)
                return
        labels = b"".join(self.row(raw) for raw in raws)
        prefix = self.header + b"\n" + labels + b"\n" * (line - 2 - len(raws)) + (row or b"")
        source = _text(stream, _Rest(prefix, self.engine if row is None else None))
        yield from _reader_blocks(stream, self.size, source, len(raws), self.names)


def _reopened(stream: Any, engine: Any) -> Any:
    """The file opened again when it is still the one the engine reads, else None."""
    try:
        fh = stream._open()
    except OSError:
        return None
    try:
        st = os.fstat(fh.fileno())
        if (st.st_dev, st.st_ino) == tuple(engine.identity):
            return fh
    except (OSError, ValueError, io.UnsupportedOperation):
        pass
    fh.close()
    return None


def _engine_parts(stream: Any, size: int, rules: Rules, engine: Any, utf8: bool) -> Iterator[Block | EngineRows]:
    if not engine.opened:  # the stream's reader says what is wrong
        yield from _reader_blocks(stream, size, None)
        return
    raw_header = engine.header()
    header = None
    if raw_header is not None:
        try:
            header = _header_fields(raw_header.decode(*stream.byte_codec), stream.delimiter)
        except UnicodeDecodeError:
            header = None
    if not header:
        # Not a plain header line: the stream's reader reads the source from its start.
        if engine.regular:
            yield from _reader_blocks(stream, size, None)
        else:
            prefix = raw_header + b"\n" if raw_header is not None else b""
            yield from _reader_blocks(stream, size, _text(stream, _Rest(prefix, engine)))
        return
    columns = stream._columns(header)  # the reader's own checks and messages
    names = [c[1] for c in columns]
    t_index = header.index(stream.target)
    read = _Read(stream, size, rules, engine, raw_header, names, len(header), t_index)
    convert = rules.converter(stream.target_type)
    stream.classes = convert.classes
    limit = csv.field_size_limit()
    kind = convert.mode if convert.mode in ("float", "int") else "label"
    engine.start(stream.delimiter, len(header), [c[0] for c in columns], t_index, kind, limit,
                 min(size, _ENGINE_BLOCK), utf8)
    from kavro import _native

    labels = _native.LabelTable()
    table = labels if kind == "label" else None
    values: list[Any] | None = [] if kind == "label" else None
    raws: list[bytes] = []
    delivered = 0
    encoding = "utf-8" if utf8 else "ascii"
    while (block := engine.next()) is not None:
        rows = len(block)
        if values is not None:
            fresh = block.fresh
            before = len(values)
            converted = _convert_labels((raw.decode(encoding) for raw in fresh), values, convert, limit,
                                        rules.missing_text)
            raws.extend(fresh[:len(values) - before])
            for value in values[before:]:
                labels.append(value)
            if not converted:  # the stream's reader says what is wrong with the first refused
                good = block.first_code(len(values))
                if good:
                    yield EngineRows(block, names, table, values, good)
                delivered += good
                yield from read.resume(delivered, raws, block.line(good), read.row(fresh[len(values) - before]))
                return
        delivered += rows
        yield EngineRows(block, names, table, values, rows)
    stopped = engine.stopped_at
    if stopped is not None:
        yield from read.resume(delivered, raws, stopped[1] + 1, None)


def _convert_labels(raws: Iterable[str], values: list[Any], convert: Any, limit: int, missing_text: Any) -> bool:
    """Converts raw target cells in order of first appearance onto ``values``; False at the
    first one the stream's reader refuses."""
    for raw in raws:
        text = raw.strip()
        if len(raw) > limit or missing_text(text):
            return False
        try:
            values.append(convert(text))
        except (ValueError, TypeError):
            return False
    return True
