"""The shard actors of keyed models: their lifetime, the calls made to them, and their recovery
from the last checkpoint plus the batches learnt since."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import ray
from ray.exceptions import RayActorError, RayTaskError

from kavro.distributed import _store
from kavro.distributed._shard import ShardState, digest


class ShardLostError(RuntimeError):
    """A shard's actor died and its models cannot be rebuilt."""


class _ShardActor(ShardState):
    """A shard's state with the file and loading entry points the driver calls remotely."""

    def ping(self) -> int:
        return self.index

    def load(self, sources: list[tuple[Any, ...]]) -> int:
        """Replaces the models by those of ``sources`` (saved shard bytes or checkpoint files)."""
        self.reset()
        n = 0
        for source in sources:
            if source[0] == "bytes":
                n += self.load_bytes(source[1], source[2])
                continue
            _, url, path, size, want = source
            store = _store.Store(url)
            data = store.read(path)
            if len(data) != size or digest(data) != want:
                raise ValueError(f"{path!r} does not match the manifest of checkpoint {url!r} "
                                 f"({len(data)} bytes, expected {size}); the checkpoint is damaged")
            n += self.load_bytes(data, path)
        return n

    def write_file(self, url: str, path: str) -> tuple[int, int, str]:
        data = self.snapshot()
        _store.Store(url).write(path, data)
        return len(self.models), len(data), digest(data)


class ShardPool:
    """``n`` shard actors and, per shard, what it is rebuilt from: its base (nothing, saved bytes
    or checkpoint files) and the log of batches learnt since (kept only with checkpoints on)."""

    def __init__(self, factory: Callable[[], Any], n: int, *, keep_log: bool, max_recoveries: int,
                 actor_options: dict[str, Any] | None) -> None:
        self.factory = factory
        self.n = n
        self.keep_log = keep_log
        self.max_recoveries = max_recoveries
        options: dict[str, Any] = {"max_restarts": 0, "max_task_retries": 0, "scheduling_strategy": "SPREAD"}
        options.update(actor_options or {})
        self._remote = ray.remote(_ShardActor).options(**options)
        self.actors = [self._spawn(i) for i in range(n)]
        self.base: list[list[tuple[Any, ...]]] = [[] for _ in range(n)]
        self.log: list[list[Any]] = [[] for _ in range(n)]
        self.since_checkpoint = 0

    def _spawn(self, s: int) -> Any:
        return self._remote.remote(self.factory, s, self.n)

    def learn(self, s: int, ref: Any) -> Any:
        """Sends a batch to shard ``s`` (logged for recovery); the pending result."""
        if self.keep_log:
            self.log[s].append(ref)
        return self.actors[s].learn.remote(ref)

    def call(self, calls: dict[int, tuple[str, tuple[Any, ...]]]) -> dict[int, Any]:
        """Runs one method per shard in parallel; a dead actor is rebuilt and asked again."""
        pending = {s: getattr(self.actors[s], name).remote(*args) for s, (name, args) in calls.items()}
        out: dict[int, Any] = {}
        for s, ref in pending.items():
            for attempt in range(self.max_recoveries + 1):
                try:
                    out[s] = ray.get(ref)
                    break
                except RayActorError:
                    if attempt == self.max_recoveries:
                        raise ShardLostError(f"shard {s} died {attempt + 1} times in a row") from None
                    self.recover(s)
                    name, args = calls[s]
                    ref = getattr(self.actors[s], name).remote(*args)
                except RayTaskError as exc:
                    cause = getattr(exc, "cause", None)
                    if isinstance(cause, Exception):
                        raise cause from None
                    raise
        return out

    def call_all(self, name: str) -> list[Any]:
        results = self.call({s: (name, ()) for s in range(self.n)})
        return [results[s] for s in range(self.n)]

    def recover(self, s: int) -> None:
        """A new actor for shard ``s``: its last checkpoint, then the batches learnt since."""
        if not self.keep_log and self.since_checkpoint > 0:
            raise ShardLostError(f"shard {s} died and checkpoints are off (checkpoint_every=None): "
                                 f"its models are lost")
        last: BaseException | None = None
        for _ in range(self.max_recoveries + 1):
            try:
                ray.kill(self.actors[s])
            except Exception:  # already gone
                pass
            self.actors[s] = actor = self._spawn(s)
            try:
                ray.get(actor.load.remote(self.base[s]))
                for ref in self.log[s]:
                    ray.get(actor.learn.remote(ref))
                return
            except RayActorError as exc:
                last = exc
        raise ShardLostError(f"shard {s} could not be rebuilt: {last}")

    def rebased(self, base: list[list[tuple[Any, ...]]]) -> None:
        """After a checkpoint: each shard is rebuilt from ``base``, with nothing learnt since."""
        self.base = base
        self.log = [[] for _ in range(self.n)]
        self.since_checkpoint = 0

    def close(self) -> None:
        for actor in self.actors:
            try:
                ray.kill(actor)
            except Exception:  # already gone
                pass
        self.log = [[] for _ in range(self.n)]
