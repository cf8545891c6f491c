"""Keys, shard files and the state of one shard; plain Python, no Ray.

A shard holds the models of the keys that hash to it, each with the stamp of the row that first
brought the key (its position in the global row count), so the key order of a single dict can be
rebuilt from any number of shards.

Shard file layout (all integers little-endian)::

    b"KVKS" | u32 version | u64 count
    count x ( u8 key kind (b"s" str, b"i" int) | u32 key size | key bytes (UTF-8 text or decimal)
              | u64 stamp | u64 model size | model bytes (kavro.dumps) )
"""

from __future__ import annotations

import hashlib
import math
import operator
import struct
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import kavro
from kavro import _native

FILE_MAGIC = b"KVKS"
FILE_VERSION = 1
_HEAD = struct.Struct("<4sIQ")
_KEY_HEAD = struct.Struct("<cI")
_MODEL_HEAD = struct.Struct("<QQ")

Key = str | int


def normalise_key(key: Any) -> Key:
    """``key`` as a plain ``str`` or ``int``; anything else is a ``TypeError``."""
    if isinstance(key, str):
        return str.__str__(key)
    if isinstance(key, bool) or isinstance(key, float):
        raise TypeError(f"a key is a str or an int, not {type(key).__name__} ({key!r})")
    try:
        return operator.index(key)
    except TypeError:
        raise TypeError(f"a key is a str or an int, not {type(key).__name__} ({key!r})") from None


def encode_key(key: Key) -> bytes:
    """Typed encoding of a normalised key: ``b"s"`` + UTF-8 or ``b"i"`` + decimal digits."""
    if isinstance(key, str):
        return b"s" + key.encode("utf-8", "surrogatepass")
    return b"i" + str(key).encode("ascii")


def decode_key(data: bytes) -> Key:
    kind, body = data[:1], data[1:]
    if kind == b"s":
        return body.decode("utf-8", "surrogatepass")
    if kind == b"i":
        text = body.decode("ascii")
        if not text.lstrip("-").isdigit():
            raise ValueError(f"bad int key {text!r}")
        return int(text)
    raise ValueError(f"unknown key kind {kind!r}")


def key_hash(key: Key) -> int:
    """Stable 64-bit hash of a normalised key (the same in every process and run)."""
    return int.from_bytes(hashlib.blake2b(encode_key(key), digest_size=8).digest(), "little")


def shard_of(key: Any, n_shards: int) -> int:
    """The shard (``0 <= s < n_shards``) that holds ``key``."""
    return key_hash(normalise_key(key)) % n_shards


def digest(data: bytes) -> str:
    return hashlib.blake2b(data, digest_size=16).hexdigest()


def write_shard_file(entries: Iterator[tuple[Key, int, bytes]], count: int) -> bytes:
    parts = [_HEAD.pack(FILE_MAGIC, FILE_VERSION, count)]
    for key, stamp, model in entries:
        kb = encode_key(key)
        parts.append(_KEY_HEAD.pack(kb[:1], len(kb) - 1))
        parts.append(kb[1:])
        parts.append(_MODEL_HEAD.pack(stamp, len(model)))
        parts.append(model)
    return b"".join(parts)


def read_shard_file(data: bytes, what: str) -> Iterator[tuple[Key, int, bytes]]:
    """Entries of a shard file; a damaged file raises ``ValueError`` naming ``what``."""
    view = memoryview(data)
    if len(view) < _HEAD.size:
        raise ValueError(f"{what}: truncated shard file ({len(view)} bytes)")
    magic, version, count = _HEAD.unpack_from(view, 0)
    if magic != FILE_MAGIC:
        raise ValueError(f"{what}: not a shard file (magic {bytes(magic)!r})")
    if version != FILE_VERSION:
        raise ValueError(f"{what}: shard file version {version} is not supported (expected {FILE_VERSION})")
    pos = _HEAD.size
    for _ in range(count):
        if pos + _KEY_HEAD.size > len(view):
            raise ValueError(f"{what}: truncated shard file")
        kind, size = _KEY_HEAD.unpack_from(view, pos)
        pos += _KEY_HEAD.size
        end = pos + size + _MODEL_HEAD.size
        if end > len(view):
            raise ValueError(f"{what}: truncated shard file")
        key = decode_key(kind + bytes(view[pos:pos + size]))
        stamp, msize = _MODEL_HEAD.unpack_from(view, pos + size)
        pos = end
        if pos + msize > len(view):
            raise ValueError(f"{what}: truncated shard file")
        yield key, stamp, bytes(view[pos:pos + msize])
        pos += msize
    if pos != len(view):
        raise ValueError(f"{what}: {len(view) - pos} bytes after the last entry")


# ----------------------------------------------------------------------------- batches


def encode_keys(keys: list[Key]) -> tuple[list[Key], Any]:
    """(table, codes): the distinct keys in order of first appearance, and per row the int32
    index of its key in the table."""
    import numpy as np

    table = list(dict.fromkeys(keys))
    index = dict(zip(table, range(len(table))))
    return table, np.fromiter(map(index.__getitem__, keys), dtype=np.int32, count=len(keys))


class Batch:
    """Rows of one call for one shard (or for several, see ``shards``), in call order.

    ``keys`` is a table of the rows' distinct keys and ``codes`` (16- or 32-bit integers) each
    row's index into it; without ``codes``, ``keys`` holds one key per row and is coded here. ``rows`` is a list
    of dicts, or a 2-D float64 array with ``names`` its column names (a NaN cell is an absent
    feature). ``y`` holds plain ints or floats, as a list or a 1-D array (None when predicting);
    ``stamps`` are the rows' global positions, or the first row's when they follow one another.
    ``shards``, when given, is the shard of each table key: the batch then holds the rows of
    several shards, and ``part`` picks out one's.
    """

    __slots__ = ("keys", "codes", "rows", "names", "y", "stamps", "shards")

    def __init__(self, keys: list[Key], rows: Any, names: list[str] | None, y: Any, stamps: Any,
                 codes: Any = None, shards: Any = None) -> None:
        if codes is None:
            keys, codes = encode_keys(list(keys))
        self.keys = keys
        self.codes = codes
        self.rows = rows
        self.names = names
        self.y = y
        self.stamps = stamps
        self.shards = shards

    def __reduce__(self) -> tuple[Any, ...]:
        return Batch, (self.keys, self.rows, self.names, self.y, self.stamps, self.codes, self.shards)

    def stamps_at(self, positions: Any) -> Any:
        """The stamps of the rows at ``positions`` (an int array)."""
        import numpy as np

        if isinstance(self.stamps, int):
            return positions + self.stamps
        return np.asarray(self.stamps)[positions]

    def rows_of(self, shard: int) -> Any:
        """Positions of the rows of ``shard``, in call order; None when the batch has no other's."""
        if self.shards is None:
            return None
        import numpy as np

        return np.flatnonzero(np.asarray(self.shards)[np.asarray(self.codes)] == shard)

    def part(self, shard: int) -> Batch:
        """The rows of ``shard``, in call order (the batch itself when it holds no other's)."""
        taken = self.rows_of(shard)
        if taken is None:
            return self
        import numpy as np

        rows = self.rows.take(taken, axis=0) if self.names is not None else [self.rows[i] for i in taken.tolist()]
        return Batch(self.keys, rows, self.names, None if self.y is None else np.asarray(self.y)[taken],
                     self.stamps_at(taken), np.asarray(self.codes)[taken])

    def __len__(self) -> int:
        return len(self.codes)

    def records(self) -> Callable[[int], dict[str, float]]:
        """``f(i)``: row ``i`` as the dict ``learn_one`` takes."""
        if self.names is None:
            return self.rows.__getitem__  # type: ignore[no-any-return]
        import numpy as np

        names = self.names
        values = self.rows.tolist()
        if not np.isnan(self.rows).any():
            return lambda i: dict(zip(names, values[i]))
        return lambda i: {name: v for name, v in zip(names, values[i]) if not math.isnan(v)}

    def spans(self, taken: Any = None) -> tuple[Any, list[tuple[Key, int, int]]]:
        """(order, spans): row positions (of all rows, or of those at ``taken``) stably sorted by
        key code, and per key with rows (in table order) the slice ``order[start:end]`` of its rows."""
        import numpy as np

        codes = np.asarray(self.codes)
        if taken is not None:
            codes = codes[taken]
        # A stable sort of 16-bit codes is a radix sort.
        order = np.argsort(codes.astype(np.uint16, copy=False) if len(self.keys) <= 1 << 16 else codes,
                           kind="stable")
        if taken is not None:
            order = taken[order]
        counts = np.bincount(codes, minlength=len(self.keys))
        ends = np.cumsum(counts)
        keys = self.keys
        live = np.flatnonzero(counts)
        return order, [(keys[c], start, end) for c, start, end in
                       zip(live.tolist(), (ends - counts)[live].tolist(), ends[live].tolist())]

    def groups(self) -> dict[Key, list[int]]:
        """Row positions per key, keys in table order."""
        order, spans = self.spans()
        positions = order.tolist()
        return {key: positions[start:end] for key, start, end in spans}


# ----------------------------------------------------------------------------- one shard


class ShardState:
    """The models of one shard; a Ray actor wraps it (see ``keyed.py``)."""

    def __init__(self, factory: Callable[[], Any], index: int, n_shards: int) -> None:
        self.factory = factory
        self.index = index
        self.n_shards = n_shards
        self.models: dict[Key, Any] = {}
        self.stamps: dict[Key, int] = {}

    # -- loading
    def reset(self) -> None:
        self.models = {}
        self.stamps = {}

    def load_bytes(self, data: bytes, what: str) -> int:
        """Adds the entries of a shard file that belong to this shard; returns how many.

        A damaged file adds nothing.
        """
        models: dict[Key, Any] = {}
        stamps: dict[Key, int] = {}
        for key, stamp, model in read_shard_file(data, what):
            if key_hash(key) % self.n_shards != self.index:
                continue
            if key in self.models or key in models:
                raise ValueError(f"{what}: key {key!r} appears twice in the checkpoint")
            try:
                models[key] = kavro.loads(model)
            except ValueError as exc:
                raise ValueError(f"{what}: model of key {key!r}: {exc}") from None
            stamps[key] = stamp
        self.models.update(models)
        self.stamps.update(stamps)
        return len(models)

    def snapshot(self) -> bytes:
        order = sorted(self.stamps, key=self.stamps.__getitem__)
        entries = ((k, self.stamps[k], kavro.dumps(self.models[k])) for k in order)
        return write_shard_file(entries, len(order))

    # -- learning and predicting
    def _model(self, key: Key, stamp: int) -> Any:
        model = self.models.get(key)
        if model is None:
            model = self.factory()
            self.models[key] = model
            self.stamps[key] = stamp
        return model

    def _grouped(self, batch: Batch) -> tuple[Batch, Any, Any, list[tuple[Key, int, int]]]:
        """(batch, taken, order, spans): array rows stay in the shared batch (``taken``: this
        shard's positions in it, None when it holds no other's); dict rows are picked out first."""
        if batch.names is None:
            batch = batch.part(self.index)
        taken = batch.rows_of(self.index)
        order, spans = batch.spans(taken)
        return batch, taken, order, spans

    def learn(self, batch: Batch) -> int:
        import numpy as np

        batch, _, order, spans = self._grouped(batch)
        # Each key's first row: the order is stable, so it leads the key's slice.
        firsts = batch.stamps_at(order[[start for _, start, _ in spans]]).tolist()
        models = [self._model(key, first) for (key, _, _), first in zip(spans, firsts)]
        # Every key's rows in their order; keys are independent, so no other order is visible.
        if batch.names is not None:
            _native.learn_groups(models, batch.rows, batch.names, np.asarray(batch.y).take(order), order,
                                 _starts(spans))
            return len(order)
        record = batch.records()
        labels = batch.y.tolist() if hasattr(batch.y, "tolist") else batch.y
        positions = order.tolist()
        for model, (_, start, end) in zip(models, spans):
            learn = model.learn_one
            for i in positions[start:end]:
                learn(record(i), labels[i])
        return len(batch)

    def predict(self, batch: Batch, proba: bool) -> Any:
        """Predictions for this shard's rows of ``batch``, in row order: a list, or a 1-D array of
        labels or values for array rows."""
        import numpy as np

        batch, taken, order, spans = self._grouped(batch)
        blank = None
        models = []
        for key, _, _ in spans:
            model = self.models.get(key)
            if model is None:  # an unseen key: what a fresh model says, nothing is kept
                if blank is None:
                    blank = self.factory()
                model = blank
            models.append(model)
        if batch.names is not None:
            values = _native.predict_groups(models, batch.rows, batch.names, order, _starts(spans), proba)
            if proba:
                out: list[Any] = [None] * len(batch)
                for i, value in zip(order.tolist(), values):
                    out[i] = value
                return out if taken is None else [out[i] for i in taken.tolist()]
            placed = np.empty(len(batch), dtype=values.dtype)
            placed[order] = values
            return placed if taken is None else placed[taken]
        out = [None] * len(batch)
        record = batch.records()
        positions = order.tolist()
        for model, (_, start, end) in zip(models, spans):
            predict = model.predict_proba_one if proba else model.predict_one
            for i in positions[start:end]:
                out[i] = predict(record(i))
        return out

    # -- inspection
    def keys(self) -> list[tuple[int, Key]]:
        return [(s, k) for k, s in self.stamps.items()]

    def get(self, key: Key) -> bytes | None:
        model = self.models.get(key)
        return None if model is None else kavro.dumps(model)

    def size(self) -> int:
        return len(self.models)


def _starts(spans: list[tuple[Key, int, int]]) -> Any:
    """Where each key's run of rows starts in the sorted order, and the end of the last."""
    import numpy as np

    starts = np.zeros(len(spans) + 1, dtype=np.int64)
    starts[1:] = [end for _, _, end in spans]
    return starts


def checkpoint_files_for(index: int, n_new: int, n_old: int) -> Sequence[int]:
    """Old shard files that can hold keys of new shard ``index``."""
    if n_old % n_new == 0:
        return range(index, n_old, n_new)
    return range(n_old)
