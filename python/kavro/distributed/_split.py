"""A keyed call's rows cut into the batches its shards learn or predict."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np

from kavro.distributed._shard import Batch, Key


def split(table: list[Key], codes: Any, key_shards: Any, rows: Any, names: list[str] | None, labels: Any,
          *, base: int, n_shards: int, one_node: bool) -> Iterator[tuple[list[int], Batch]]:
    """(shards, batch) pairs, each batch ready before the next is built.

    On one node, array rows go as one batch that every shard with rows in it reads, each
    taking its own rows: one object to send instead of one per shard. Across nodes, and for
    dict rows (unpickling dicts costs per row), each shard gets only its own rows.
    """
    n = len(codes)
    used = np.flatnonzero(np.bincount(key_shards, minlength=n_shards)).tolist()
    if len(used) == 1:
        yield used, Batch(table, rows, names, labels, base, codes)
        return
    if names is not None and one_node:
        yield used, Batch(table, rows, names, labels, base, codes, key_shards)
        return
    stamps = np.arange(base, base + n)
    row_shards = key_shards[codes]
    order = np.argsort(row_shards, kind="stable")
    ends = np.cumsum(np.bincount(row_shards, minlength=n_shards)).tolist()
    local = np.empty(len(table), dtype=np.int32)  # table index -> index in its shard's table
    start = 0
    for s, end in enumerate(ends):
        if end == start:
            continue
        where = order[start:end]
        start = end
        mine = np.flatnonzero(key_shards == s)
        local[mine] = np.arange(len(mine), dtype=np.int32)
        yield [s], Batch([table[i] for i in mine.tolist()],
                         rows.take(where, axis=0) if names is not None else [rows[i] for i in where.tolist()], names,
                         None if labels is None else labels[where], stamps[where], local[codes[where]])
