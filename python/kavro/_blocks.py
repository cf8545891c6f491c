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
"""

from __future__ import annotations

import codecs
import collections
import csv
import itertools
import math
import mmap
import os
import queue
import threading
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


def frame_blocks(stream: Any, size: int) -> Iterator[Block]:
    """Blocks of a ``DataFrameStream``. TypeError (raised now) when the frame has no target,
    duplicate column names, non-numeric or categorical feature columns, or a callable
    target_type."""
    from kavro.stream import _TargetConverter

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
                         _TargetConverter(stream.target_type))


def _frame_blocks(stream: Any, df: Any, t_index: int, features: list[int], names: list[str],
                  size: int, convert: Any) -> Iterator[Block]:
    from kavro.stream import _is_missing, _scalar

    np = _np()
    stream.classes = convert.classes
    delivered = 0
    for a in range(0, len(df), size):
        part = df.iloc[a:a + size]
        X = part.iloc[:, features].to_numpy(dtype=np.float64)
        values: list[Any] = []
        for value in part.iloc[:, t_index].tolist():
            if _is_missing(value):
                break
            try:
                values.append(convert(_scalar(value)))
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
# CSV files: plain lines through the native line reader, the rest through pyarrow's readers

def fast_csv_available() -> bool:
    try:
        import pyarrow.csv  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
    except ImportError:
        return False
    return True


def _codec(encoding: str) -> str | None:
    try:
        return codecs.lookup(encoding).name
    except LookupError:
        return None


def _utf8(encoding: str) -> bool:
    return _codec(encoding) in ("utf-8", "utf-8-sig")


# Encodings in which the ASCII bytes spell the ASCII characters and every other character is made
# of bytes beyond ASCII: the native line reader reads their lines of ASCII bytes.
_ASCII_COMPATIBLE = frozenset({"ascii", "iso8859-1", "iso8859-2", "iso8859-15", "cp1250", "cp1251", "cp1252"})


def _ascii_compatible(encoding: str) -> bool:
    return _codec(encoding) in _ASCII_COMPATIBLE


def csv_blocks(stream: Any, size: int) -> Iterator[Block]:
    """Blocks of a ``CSVStream``, every cell converted exactly as the stream's own reader converts
    it: plain lines by the native line reader, the rest by pyarrow (or, without it, by the stream's
    own reader). TypeError (raised now) when the stream has no target, a callable target_type
    or categorical columns, or is a gzip file and the build has no zlib."""
    if stream.target is None:
        raise TypeError("blocks need a target column")
    if callable(stream.target_type):
        raise TypeError("blocks do not apply a callable target_type")
    if stream.categorical is not None:
        raise TypeError("blocks do not read categorical columns")
    if stream.path.endswith(".gz"):
        from kavro import _native

        if not getattr(_native, "CSV_READS_GZIP", False):
            raise TypeError("blocks of gzip files need a build with zlib")
    return _csv_blocks(stream, size)


def _csv_blocks(stream: Any, size: int) -> Iterator[Block]:
    from kavro.stream import _TargetConverter

    gz = stream.path.endswith(".gz")
    header, header_lines = stream._header()
    if not header:
        columns: list[list[Any]] = []
    else:
        columns = stream._columns(header)  # the reader's own checks and messages
    names = [c[1] for c in columns]
    utf8 = _utf8(stream.encoding)
    if (header_lines != 1 or not header or not (utf8 or _ascii_compatible(stream.encoding))
            or len(stream.delimiter) != 1 or stream.delimiter in '"\r\n' or ord(stream.delimiter) > 0x7f):
        yield from record_blocks(iter(stream), names, size)
        return

    np = _np()
    from kavro import _native

    t_index = header.index(stream.target)
    width = len(header)
    labels = [f"c{i}" for i in range(width)]
    feature_at = [c[0] for c in columns]
    convert = _TargetConverter(stream.target_type)
    stream.classes = convert.classes
    limit = csv.field_size_limit()
    delivered = 0

    def rest() -> Iterator[Block]:
        return record_blocks(stream._examples(delivered), names, size)

    def begin(batch: Any) -> tuple[Any, Any, Any, Any]:
        """Starts converting a batch's cells on a native thread (it runs while the consumer
        learns the blocks before it)."""
        X = np.empty((batch.num_rows, len(names)), dtype=np.float64, order="F")
        cells = [(*_cells(batch.column(feature_at[j])), X[:, j], False) for j in range(len(names))]
        y = None
        if convert.mode in ("float", "int"):  # integers are read as doubles, then checked
            y = np.empty(batch.num_rows, dtype=np.float64)
            cells.append((*_cells(batch.column(t_index)), y, True))
        return batch, X, y, _native.parse_decimal_columns(cells, limit)

    def finish(batch: Any, X: Any, y: Any, job: Any) -> tuple[Any, Any, int]:
        """The block and the number of rows before the first cell left to the stream's reader."""
        listed = job.wait()
        good = batch.num_rows
        for j in range(len(names)):
            if listed[j]:
                good = min(good, _listed_features(batch.column(feature_at[j]), X[:, j], listed[j], limit))
        target = batch.column(t_index)
        if y is None:
            y, bad = _encoded_targets(target, convert, limit)
        elif convert.mode == "float":
            bad = _listed_targets(target, y, listed[-1], convert, limit)
        else:
            y, bad = _integer_targets(target, y, listed[-1], convert, limit)
        return X, y, min(good, bad)

    def started(item: Any) -> Any:
        return begin(item) if item is not None and not isinstance(item, tuple) else item

    # Plain lines are read natively, up to the first line that needs the general readers.
    start = _data_offset(stream.path, gz) if _LINE_READER else None
    if start is not None:
        kind = convert.mode if convert.mode in ("float", "int") else "label"
        lines = _native.CsvBlockReader(os.fsencode(stream.path), start, stream.delimiter, width,
                                       feature_at, t_index, kind, limit, min(size, _LINE_BLOCK), gz)
        labels_seen: list[Any] = []
        table = None
        try:
            while True:
                block = lines.next()
                if block is None:
                    start = lines.stopped_at
                    break
                X, y, fresh = block
                if kind == "label":
                    if fresh:
                        converted = _convert_labels((raw.decode("ascii") for raw in fresh), labels_seen,
                                                    convert, limit)
                        table = target_array(labels_seen)
                        if not converted:  # the stream's reader says what is wrong
                            good = int(_np().argmax(y == len(labels_seen)))
                            if good:
                                yield X[:good], table[y[:good]], names
                            delivered += good
                            yield from rest()
                            return
                    y = table[y]  # type: ignore[index]
                delivered += len(X)
                yield X, y, names
        finally:
            lines.close()
        if start is None:
            return
    if gz or not utf8 or not fast_csv_available():
        yield from rest()
        return

    # The first batch of each piece of the file starts converting on the reading thread as soon
    # as it is read; each later one before the block ahead of it is handed over. Either way the
    # conversion overlaps with learning, and no block is held back waiting for the next.
    refused = False
    with _Batches(stream, labels, begin, start or 0) as source:
        pending = started(source.next())
        while pending is not None:
            X, y, good = finish(*pending)
            if good < len(X):
                if good:
                    yield X[:good], y[:good], names
                delivered += good
                refused = True
                break
            delivered += len(X)
            source.hand_over()
            ahead = source.next(wait=False)
            if ahead is not _NOT_YET:
                ahead = started(ahead)
            yield X, y, names
            pending = started(source.next()) if ahead is _NOT_YET else ahead
    if refused or source.failed:  # the stream's reader says what is wrong
        yield from rest()


_NOT_YET = object()

# Lines without quotes, carriage returns or bytes beyond ASCII are tokenized and converted by a
# native reader, in blocks of at most _LINE_BLOCK rows.
_LINE_READER = True
_LINE_BLOCK = BLOCK_ROWS


def _data_offset(path: str, gz: bool = False) -> int | None:
    """The offset of the line after the header (in the bytes a gzip'd file holds), when the
    header's line ends with a line feed."""
    import gzip
    import zlib

    head = b""
    try:
        with (gzip.open(path, "rb") if gz else open(path, "rb")) as fh:
            while len(head) < 1 << 20:
                more = fh.read(1 << 16)
                head += more
                ends = [i for i in (head.find(b"\n"), head.find(b"\r")) if i >= 0]
                if ends and min(ends) + 1 < len(head) or not more:
                    break
    except (OSError, EOFError, zlib.error):  # the stream's reader says what is wrong
        return None
    if not ends:
        return None
    end = min(ends)
    if head[end:end + 1] == b"\n":
        return end + 1
    return end + 2 if head[end:end + 2] == b"\r\n" else None


def _convert_labels(raws: Iterable[str], values: list[Any], convert: Any, limit: int) -> bool:
    """Converts raw target cells in order of first appearance onto ``values``; False at the
    first one the stream's reader refuses."""
    from kavro.stream import _missing_text

    for raw in raws:
        text = raw.strip()
        if len(raw) > limit or _missing_text(text):
            return False
        try:
            values.append(convert(text))
        except (ValueError, TypeError):
            return False
    return True

# Pieces of the file read by one call each: the first small, so that the first block comes soon,
# then larger, up to the largest, each tokenized in blocks of _PIECE_BLOCK bytes.
_FIRST_PIECE = 1 << 16
_LARGEST_PIECE = 1 << 20
_PIECE_BLOCK = 1 << 18
_STREAM_BLOCK = 1 << 19  # of the streaming reader, from the first quote on
_HAND_OVER = 1e-4  # seconds
_POPULATED = 1 << 24  # bytes
# The stream's reader decodes the file in chunks and fails at the first chunk that is not UTF-8,
# before the rows in it: a piece is read only when this many bytes after it decode too.
_DECODED_AHEAD = 1 << 14


def _utf8_text(data: bytes) -> bool:
    """The bytes are UTF-8 text, but for a character cut at their end."""
    try:
        codecs.getincrementaldecoder("utf-8")().decode(data, final=False)
    except UnicodeDecodeError:
        return False
    return True


def _utf8_file(path: str, offset: int) -> bool:
    """The file from ``offset`` on is UTF-8 text."""
    decoder = codecs.getincrementaldecoder("utf-8")()
    with open(path, "rb") as fh:
        fh.seek(offset)
        try:
            while data := fh.read(1 << 20):
                decoder.decode(data)
            decoder.decode(b"", final=True)
        except UnicodeDecodeError:
            return False
    return True


class _Batches:
    """The pyarrow batches of a CSV file that hold rows, in order, read on a thread of their own
    ahead of the consumer, so that tokenizing the next part of the file overlaps with learning
    the current one. The first batch of each piece is passed through ``prepare`` on that thread.

    The part of the file before its first quote character is read in pieces ending at line
    breaks, small first (the first block comes soon) then larger. The thread takes the GIL once
    per piece, briefly; while the consumer holds it (learning) it cannot. From the first piece
    holding a quote on, a streaming reader reads the rest (each of its batches a piece), since a
    line break may then be inside a value. A reader's failure ends the batches and sets
    ``failed``; any other error is raised where the batches end."""

    def __init__(self, stream: Any, labels: list[str], prepare: Any, start: int = 0) -> None:
        self._stream = stream
        self._start = start
        self._labels = labels
        self._prepare = prepare
        self._queue: queue.Queue[tuple[bool, Any]] = queue.Queue(maxsize=2)
        self._ready: collections.deque[Any] = collections.deque()
        self._stop = threading.Event()
        self._done = False
        self._error: BaseException | None = None
        self.failed = False
        self._thread = threading.Thread(target=self._work, name="kavro-csv-reader", daemon=True)
        self._thread.start()

    def _work(self) -> None:
        try:
            offset = self._pieces()
            if offset is not None and not self._stop.is_set():
                # The streaming reader's batches do not say where their rows end in the file, so
                # it reads only text that decodes to its end: the stream's reader would stop
                # before the rows of the chunk holding bytes that do not.
                if not _utf8_file(self._stream.path, offset):
                    raise ValueError("not UTF-8 text")
                self._stream_from(offset)
        except BaseException as exc:  # handed to the consumer
            self._put((False, exc))
        else:
            self._put((False, None))

    def _pieces(self) -> int | None:
        """Reads the pieces before the first quote; the offset the streaming reader starts from,
        or None at the end of the file."""
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

        with open(self._stream.path, "rb") as fh:
            try:
                # A file of moderate size is mapped with its pages at once: much cheaper than
                # one fault per page as the pieces are read.
                if hasattr(mmap, "MAP_SHARED"):
                    small = os.fstat(fh.fileno()).st_size <= _POPULATED
                    flags = mmap.MAP_SHARED | (getattr(mmap, "MAP_POPULATE", 0) if small else 0)
                    mapped = mmap.mmap(fh.fileno(), 0, flags=flags, prot=mmap.PROT_READ)
                else:
                    mapped = mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ)
            except (OSError, ValueError):  # empty, or not a regular file
                return self._start
        size = len(mapped)
        view = pa.py_buffer(mapped)  # pieces are read in place, not copied
        octets = _np().frombuffer(mapped, dtype=_np().uint8)
        try:
            offset, piece = self._start, _FIRST_PIECE
            while offset < size and not self._stop.is_set():
                # The piece, and the bytes after it that the stream's reader decodes along with
                # its last lines (the GIL stays held here: no wait for it).
                ahead = min(offset + piece + _DECODED_AHEAD, size)
                end = min(offset + piece, size)
                if end < size:
                    end = mapped.rfind(b"\n", offset, end) + 1
                if end <= offset or mapped.find(b'"', offset, end) >= 0:
                    return offset
                ascii = bool(octets[offset:ahead].max() < 0x80)
                if not ascii and not _utf8_text(mapped[offset:ahead]):
                    # The stream's reader may stop before this piece's last rows: it takes over
                    # from the rows before the piece.
                    raise ValueError("not UTF-8 text")
                table = _read_csv(self._stream, self._labels, view[offset:end], header=offset == 0,
                                  ascii=ascii)
                batches = [batch for batch in table.to_batches() if batch.num_rows]
                if batches:
                    self._put((True, [self._prepare(batches[0]), *batches[1:]]))
                offset, piece = end, min(2 * piece, _LARGEST_PIECE)
            return None
        finally:
            del view, octets
            try:
                mapped.close()
            except BufferError:  # an error's traceback still points into it: closed when freed
                pass

    def _stream_from(self, offset: int) -> None:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

        with pa.OSFile(self._stream.path) as source:
            source.seek(offset)
            reader = _open_csv(self._stream, self._labels, source, offset == 0)
            try:
                while not self._stop.is_set():
                    try:
                        batch = reader.read_next_batch()
                    except StopIteration:
                        return
                    if batch.num_rows:
                        self._put((True, [self._prepare(batch)]))
            finally:
                reader.close()

    def _put(self, item: tuple[bool, Any]) -> None:
        while not self._stop.is_set():
            try:
                self._queue.put(item, timeout=0.05)
                return
            except queue.Full:
                continue

    def next(self, wait: bool = True) -> Any:
        """The next batch with rows, prepared (a tuple) or not; None at the end (or after a
        failure); _NOT_YET when not waiting and it is not read yet."""
        while not self._ready:
            if self._done:
                if self._error is not None:
                    raise self._error
                return None
            if not self._fetch(None if wait else 0.0):
                return _NOT_YET
        return self._ready.popleft()

    def hand_over(self) -> None:
        """When no more than one batch is left and the next piece is not queued, waits a moment
        for it, without the GIL: a reading thread that has read it and waits for the GIL takes
        it now (while the consumer learns, it cannot), rather than once the consumer runs out."""
        if not self._done and len(self._ready) <= 1:
            self._fetch(_HAND_OVER)

    def _fetch(self, timeout: float | None) -> bool:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

        try:
            ok, value = self._queue.get(block=timeout != 0.0, timeout=timeout or None)
        except queue.Empty:
            return False
        if ok:
            self._ready.extend(value)
            return True
        self._done = True
        if value is not None:
            if isinstance(value, (pa.ArrowException, ValueError, OSError)):
                self.failed = True
            else:
                self._error = value
        return True

    def __enter__(self) -> _Batches:
        return self

    def __exit__(self, *exc: Any) -> None:
        self._stop.set()
        self._thread.join()


def _csv_options(stream: Any, labels: list[str], quotes: bool = True, utf8: bool = True) -> dict[str, Any]:
    """Options of a reader of the text (quotes: it may hold quote characters; utf8: it may hold
    bytes beyond ASCII). Text without quotes or beyond ASCII skips handling or checking them."""
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.csv as pacsv  # type: ignore[import-untyped, unused-ignore]

    return dict(
        parse_options=pacsv.ParseOptions(delimiter=stream.delimiter, quote_char='"' if quotes else False,
                                         double_quote=True, escape_char=False,
                                         newlines_in_values=quotes, ignore_empty_lines=True),
        # Every column is read (as text), so that bytes the stream's reader would refuse to
        # decode stop this reader too, in whichever column they are.
        convert_options=pacsv.ConvertOptions(
            column_types={label: pa.string() for label in labels}, include_columns=labels,
            null_values=[], strings_can_be_null=False, quoted_strings_can_be_null=False,
            check_utf8=utf8),
    )


def _read_csv(stream: Any, labels: list[str], data: Any, header: bool, ascii: bool) -> Any:
    """A piece of the file holding no quote character (ascii: nor any byte beyond ASCII)."""
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.csv as pacsv  # type: ignore[import-untyped, unused-ignore]

    return pacsv.read_csv(
        pa.BufferReader(data),
        read_options=pacsv.ReadOptions(column_names=labels, skip_rows=int(header), use_threads=False,
                                       block_size=_PIECE_BLOCK, encoding="utf8"),
        **_csv_options(stream, labels, quotes=False, utf8=not ascii))


def _open_csv(stream: Any, labels: list[str], source: Any, header: bool) -> Any:
    import pyarrow.csv as pacsv  # type: ignore[import-untyped, unused-ignore]

    return pacsv.open_csv(
        source,
        read_options=pacsv.ReadOptions(column_names=labels, skip_rows=int(header), use_threads=True,
                                       block_size=_STREAM_BLOCK, encoding="utf8"),
        **_csv_options(stream, labels))


def _cells(col: Any) -> tuple[Any, Any]:
    np = _np()
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    if col.null_count:
        raise ValueError("null cell")
    bufs = col.buffers()
    wide = pa.types.is_large_string(col.type)
    dtype = np.int64 if wide else np.int32
    offsets = np.frombuffer(bufs[1], dtype=dtype, count=len(col) + 1, offset=col.offset * (8 if wide else 4))
    data = np.frombuffer(bufs[2], dtype=np.uint8) if bufs[2] is not None else np.empty(0, np.uint8)
    return offsets, data


def _listed_features(col: Any, out: Any, listed: list[int], limit: int) -> int:
    """Converts the cells the native reader left, as the stream's reader does (NaN = absent);
    returns the first row holding a value that reader refuses, or the length."""
    from kavro.stream import _missing_text

    for k in listed:
        cell = col[k].as_py()
        if len(cell) > limit:
            return int(k)
        text = cell.strip()
        if _missing_text(text):
            continue
        try:
            out[k] = float(text)  # NaN ("-nan") stays an absent feature
        except ValueError:
            return int(k)
    return len(col)


def _listed_targets(col: Any, y: Any, listed: list[int], convert: Any, limit: int) -> int:
    """Float targets the native reader left; returns the first refused row, or the length."""
    from kavro.stream import _missing_text

    for k in listed:
        cell = col[k].as_py()
        text = cell.strip()
        if len(cell) > limit or _missing_text(text):
            return int(k)
        try:
            y[k] = convert(text)
        except (ValueError, TypeError):
            return int(k)
    return len(col)


def _integer_targets(col: Any, y: Any, listed: list[int], convert: Any, limit: int) -> tuple[Any, int]:
    """Integer targets read as doubles: when each is a whole number below 2^53 in magnitude
    (where the double and the integer the text spells agree) and the listed ones convert to
    int64, the int64 targets and the first refused row (or the length); else those of
    _encoded_targets."""
    np = _np()
    if not listed:
        whole = np.abs(y) < 2.0**53
        whole &= y == np.floor(y)
        if whole.all():
            return y.astype(np.int64), len(col)
        return _encoded_targets(col, convert, limit)
    keep = np.ones(len(y), dtype=bool)
    keep[listed] = False
    kept = y[keep]
    if not ((np.abs(kept) < 2.0**53) & (kept == np.floor(kept))).all():
        return _encoded_targets(col, convert, limit)
    out = np.where(keep, y, 0.0).astype(np.int64)
    refused = len(col)
    from kavro.stream import _missing_text

    for k in listed:
        cell = col[k].as_py()
        text = cell.strip()
        if len(cell) > limit or _missing_text(text):
            refused = int(k)
            break
        try:
            value = convert(text)
        except (ValueError, TypeError):
            refused = int(k)
            break
        if not -2**63 <= value < 2**63:
            return _encoded_targets(col, convert, limit)
        out[k] = value
    return out, refused


def _encoded_targets(col: Any, convert: Any, limit: int) -> tuple[Any, int]:
    """Targets of few distinct values, each converted once in order of first appearance (as
    label codes are given); the first refused row, or the length."""
    np = _np()
    encoded = col.dictionary_encode()
    indices = encoded.indices.to_numpy(zero_copy_only=False)
    values: list[Any] = []
    _convert_labels(encoded.dictionary.to_pylist(), values, convert, limit)
    table = target_array(values)
    if len(values) < len(encoded.dictionary):
        bad = int(np.argmax(indices == len(values)))
        return table[indices[:bad]], bad
    return table[indices], len(col)
