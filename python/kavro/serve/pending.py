"""Served predictions kept until their label arrives: at most ``capacity``, each for ``ttl``
seconds; beyond either, the oldest go first."""

from __future__ import annotations

import secrets
import time
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Kept:
    x: dict[str, Any]
    key: Any
    served: Any
    deadline: float


class PendingPredictions:
    def __init__(self, capacity: int, ttl: float, clock: Callable[[], float] = time.monotonic) -> None:
        if capacity < 0:
            raise ValueError(f"the number of kept predictions must be at least 0, got {capacity}")
        if not ttl > 0:
            raise ValueError(f"the time a prediction is kept must be positive, got {ttl}")
        self.capacity = capacity
        self.ttl = ttl
        self._clock = clock
        self._kept: OrderedDict[str, Kept] = OrderedDict()
        self._prefix = secrets.token_hex(6)
        self._count = 0
        self.dropped = 0  # expired or pushed out before their label came

    def __len__(self) -> int:
        return len(self._kept)

    def add(self, x: dict[str, Any], key: Any, served: Any) -> str | None:
        """Keeps a served prediction; returns its event id (None when nothing can be kept)."""
        if self.capacity == 0:
            return None
        now = self._clock()
        self._expire(now)
        while len(self._kept) >= self.capacity:
            self._kept.popitem(last=False)
            self.dropped += 1
        self._count += 1
        event = f"{self._prefix}-{self._count}"
        self._kept[event] = Kept(x, key, served, now + self.ttl)
        return event

    def get(self, event: str) -> Kept | None:
        kept = self._kept.get(event)
        if kept is not None and kept.deadline <= self._clock():
            self._expire(self._clock())
            return None
        return kept

    def pop(self, event: str) -> Kept:
        return self._kept.pop(event)

    def _expire(self, now: float) -> None:
        # Deadlines grow with insertion order: the expired ones lead.
        kept = self._kept
        while kept:
            event, first = next(iter(kept.items()))
            if first.deadline > now:
                break
            del kept[event]
            self.dropped += 1
