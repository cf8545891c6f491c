"""The driver's numbering of keys: every key met so far, numbered in the order first met, and
the shard of each number."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np

from kavro import _native
from kavro.distributed._inputs import as_list
from kavro.distributed._shard import Key, key_hash, normalise_key

KEY_CACHE_LIMIT = 1 << 20


class KeyNumbering:
    """Numbers keys for ``n_shards`` shards; past ``KEY_CACHE_LIMIT`` keys it starts over."""

    def __init__(self, n_shards: int) -> None:
        self._n = n_shards
        self._codes: dict[Key, int] = {}
        self._keys: list[Key] = []
        self._shards = np.empty(1024, dtype=np.intp)
        self._int_numbers = _native.IntKeyNumbers()  # the int keys' numbers, for key arrays

    def shard(self, key: Key) -> int:
        code = self._codes.get(key)
        return key_hash(key) % self._n if code is None else int(self._shards[code])

    def table(self, keys: Iterable[Any]) -> tuple[list[Key], Any, Any]:
        """(table, codes, shards): the distinct keys in the order first met, each row's index into
        the table (16 bits when the table allows, else 32), and each table key's shard."""
        if isinstance(keys, (str, bytes)):
            raise TypeError("keys is a sequence of keys, not one string")
        numbers = None
        if isinstance(keys, np.ndarray) and keys.ndim == 1 and keys.dtype.kind in "iu" and (
                keys.dtype.kind == "i" or keys.dtype.itemsize < 8 or not len(keys) or keys.max() < (1 << 63)):
            n = len(keys)
            numbers = self._number_ints(keys.astype(np.int64, copy=False))
        if numbers is None:
            out = as_list(keys)
            n = len(out)
            numbers = self._number(out)
            if numbers is None:  # keys to normalise first
                for i, key in enumerate(out):
                    if type(key) is not str and type(key) is not int:
                        try:
                            out[i] = normalise_key(key)
                        except TypeError as exc:
                            raise TypeError(f"key {i}: {exc}") from None
                numbers = self._number(out)
        met = len(self._keys)
        if met <= 8 * n:  # a mark per key met so far costs less than a sort
            present = np.zeros(met, dtype=bool)
            present[numbers] = True
            distinct = np.flatnonzero(present)
            width = np.uint16 if len(distinct) <= 1 << 16 else np.int32  # codes are sent with every row
            local = np.empty(met, dtype=width)
            local[distinct] = np.arange(len(distinct), dtype=width)
            codes = local[numbers]
        else:
            distinct, inverse = np.unique(numbers, return_inverse=True)
            codes = inverse.astype(np.uint16 if len(distinct) <= 1 << 16 else np.int32).reshape(n)
        keys_met = self._keys
        return [keys_met[i] for i in distinct.tolist()], codes, self._shards[distinct]

    def _number(self, keys: list[Any]) -> Any:
        """Each key's number, numbering the keys not met before in order of first appearance;
        None when a key is not a plain str or int."""
        added: list[Key] = []
        numbers = _native.key_numbers(keys, self._codes, added, KEY_CACHE_LIMIT)
        if numbers is None:
            if not set(map(type, keys)) <= {str, int}:
                return None
            # Past the limit: the numbering starts over with these keys.
            self._codes.clear()
            self._keys.clear()
            self._int_numbers.clear()
            numbers = _native.key_numbers(keys, self._codes, added, max(KEY_CACHE_LIMIT, len(keys)))
        first = len(self._keys)
        self._register(added)
        ints = [(key, first + i) for i, key in enumerate(added) if type(key) is int and -(1 << 63) <= key < (1 << 63)]
        if ints:
            self._int_numbers.add(np.array([k for k, _ in ints], dtype=np.int64),
                                  np.array([c for _, c in ints], dtype=np.intp))
        return numbers

    def _number_ints(self, keys: Any) -> Any:
        """``_number`` for an int64 array of keys; None when the numbering would pass its limit."""
        got = self._int_numbers.number(keys, len(self._keys), KEY_CACHE_LIMIT)
        if got is None:
            return None
        numbers, fresh = got
        if len(fresh):
            added = fresh.tolist()
            first = len(self._keys)
            self._codes.update(zip(added, range(first, first + len(added))))
            self._register(added)
        return numbers

    def _register(self, added: list[Key]) -> None:
        """Records the shards of keys just numbered, in order (their numbers follow the last)."""
        first = len(self._keys)
        end = first + len(added)
        if end > len(self._shards):
            grown = np.empty(max(end, 2 * len(self._shards)), dtype=np.intp)
            grown[:first] = self._shards[:first]
            self._shards = grown
        self._shards[first:end] = [key_hash(key) % self._n for key in added]
        self._keys.extend(added)
