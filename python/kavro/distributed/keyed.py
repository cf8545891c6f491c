"""One model per key, spread over Ray actors.

``KeyedModels`` composes the parts, each with one job: ``_inputs`` checks and converts rows and
labels, ``_keys`` numbers the keys and places them on shards, ``_split`` cuts a call into shard
batches, ``_actors`` runs the shard actors and rebuilds a lost one, ``_store`` writes and reads
checkpoints.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import _kavro_core
import numpy as np
import ray
from ray.exceptions import RayActorError, RayTaskError

import kavro
from kavro.distributed import _inputs, _store
from kavro.distributed._actors import ShardLostError, ShardPool
from kavro.distributed._keys import KeyNumbering
from kavro.distributed._shard import Key, checkpoint_files_for, normalise_key
from kavro.distributed._split import split

__all__ = ["KeyedModels", "ShardLostError"]


class KeyedModels:
    """One model per key (str or int), the keys spread over ``n_shards`` Ray actors.

    ``factory()`` makes the model of a key the first time the key is learnt. A key always lands
    on the same shard (a blake2b hash of its typed encoding), in every process and run. Shards
    work in parallel; each applies its rows in the order given, so every key's model is exactly
    the model of a single-process ``{key: factory()}`` dict fed row by row.

    Faults: the driver keeps, per shard, the batches learnt since the last checkpoint. When an
    actor dies, the next call starts a new one from that checkpoint and replays them. A checkpoint
    is taken every ``checkpoint_every`` learning calls: into ``checkpoint_dir`` when given (a shared
    folder on a cluster, or an fsspec URL), otherwise as saved bytes held by the driver.
    ``checkpoint_every=None`` keeps nothing: a lost shard then raises ``ShardLostError``.
    """

    def __init__(
        self,
        factory: Callable[[], Any],
        n_shards: int | None = None,
        *,
        checkpoint_every: int | None = 100,
        checkpoint_dir: str | os.PathLike[str] | None = None,
        max_recoveries: int = 3,
        actor_options: dict[str, Any] | None = None,
    ) -> None:
        if not callable(factory):
            raise TypeError(f"factory must be a zero-argument callable, got {type(factory).__name__}")
        if checkpoint_every is not None and (isinstance(checkpoint_every, bool)
                                             or not isinstance(checkpoint_every, int) or checkpoint_every < 1):
            raise ValueError(f"checkpoint_every must be a positive int or None, got {checkpoint_every!r}")
        if not isinstance(max_recoveries, int) or max_recoveries < 0:
            raise ValueError(f"max_recoveries must be an int >= 0, got {max_recoveries!r}")
        probe = factory()
        if isinstance(probe, _kavro_core.IClassifier):
            self._kind = "classifier"
        elif isinstance(probe, _kavro_core.IRegressor):
            self._kind = "regressor"
        else:
            raise TypeError(f"factory() must make a classifier or a regressor, got {type(probe).__name__}")
        try:
            kavro.dumps(probe)
            self._saveable = True
        except (TypeError, ValueError, RuntimeError):
            self._saveable = False
        if checkpoint_every is not None and not self._saveable:
            raise TypeError(f"{type(probe).__name__} has no saved form in this build, so its shards cannot "
                            f"be checkpointed; pass checkpoint_every=None to run without fault recovery")
        if not ray.is_initialized():
            ray.init()
        if n_shards is None:
            n_shards = max(1, int(ray.cluster_resources().get("CPU", 1)))  # type: ignore[no-untyped-call]
        if isinstance(n_shards, bool) or not isinstance(n_shards, int) or n_shards < 1:
            raise ValueError(f"n_shards must be a positive int, got {n_shards!r}")
        self._factory = factory
        self._n = n_shards
        self._checkpoint_every = checkpoint_every
        self._checkpoint_dir = None if checkpoint_dir is None else os.fspath(checkpoint_dir)
        self._pool = ShardPool(factory, n_shards, keep_log=checkpoint_every is not None,
                               max_recoveries=max_recoveries, actor_options=actor_options)
        # Array rows go to the shards as one message when they all run on one node; across nodes
        # each node would fetch all of it, so there each shard is sent only its own rows.
        nodes: list[dict[str, Any]] = ray.nodes()  # type: ignore[no-untyped-call]
        self._one_node = len([node for node in nodes if node.get("Alive")]) <= 1
        self._rows = 0
        self._keys = KeyNumbering(n_shards)
        self._closed = False

    # ------------------------------------------------------------------------- properties

    @property
    def n_shards(self) -> int:
        return self._n

    @property
    def checkpoint_every(self) -> int | None:
        return self._checkpoint_every

    @property
    def _actors(self) -> list[Any]:
        return self._pool.actors

    # ------------------------------------------------------------------------- learning

    def learn_many(self, keys: Iterable[Any], X: Any, y: Iterable[Any], *,
                   feature_names: Sequence[str] | None = None) -> None:
        """Learns row ``i`` of ``X`` (a dict, or a row of a 2-D array or DataFrame; NaN = absent
        feature) with label ``y[i]`` into the model of ``keys[i]``, for every row in order.

        A refused call (bad keys, rows or labels; an error inside a model) changes no model; with
        ``checkpoint_every=None`` an error raised inside a model cannot be undone, and says so.
        """
        self._check_open()
        table, codes, key_shards = self._keys.table(keys)
        n = len(codes)
        rows, names = _inputs.rows(X, n, feature_names)
        labels = _inputs.labels(y, n, self._kind)
        if labels.dtype.kind == "f":
            missing = np.flatnonzero(np.isnan(labels))
            if missing.size:
                raise ValueError(f"target {int(missing[0])} is missing (NaN): every row needs a target "
                                 "(no model was changed)")
        if not n:
            return
        keep = self._checkpoint_every is not None
        pending: dict[int, Any] = {}
        for targets, batch in self._split(table, codes, key_shards, rows, names, labels):
            ref = ray.put(batch)
            for s in targets:
                pending[s] = self._pool.learn(s, ref)
        lost: list[int] = []
        errors: dict[int, BaseException] = {}
        try:
            ray.get(list(pending.values()))
        except (RayActorError, RayTaskError):  # which shards failed, and how
            for s, ref in pending.items():
                try:
                    ray.get(ref)
                except RayActorError:
                    lost.append(s)
                except RayTaskError as exc:
                    errors[s] = exc
        if errors:
            self._undo(list(pending), errors)
        if lost and not keep:
            raise ShardLostError(f"shard(s) {lost} died while learning and checkpoints are off "
                                 f"(checkpoint_every=None): their models are lost")
        for s in lost:
            self._pool.recover(s)
        self._rows += n
        self._pool.since_checkpoint += 1
        if keep and self._pool.since_checkpoint >= self._checkpoint_every:  # type: ignore[operator]
            try:
                self._auto_checkpoint()
            except OSError as exc:  # the batches stay in the log; the next call tries again
                raise OSError(exc.errno, f"the rows were learnt, but the automatic checkpoint failed: "
                                         f"{exc.strerror or exc}") from exc

    def learn_one(self, key: Any, x: Mapping[str, float], y: Any) -> None:
        """Learns one example into the model of ``key``."""
        self.learn_many([key], [x], [y])

    def _undo(self, shards: list[int], errors: dict[int, BaseException]) -> None:
        """Puts every shard of a refused batch back as it was before it, then raises its error."""
        s, exc = min(errors.items())
        cause = getattr(exc, "cause", None) or exc
        if self._checkpoint_every is None:
            raise RuntimeError(f"shard {s} refused the batch ({type(cause).__name__}: {cause}); without "
                               f"checkpoints the models of shards {sorted(errors)} may have learnt part "
                               f"of it") from cause
        for t in shards:
            self._pool.log[t].pop()
            self._pool.recover(t)
        if isinstance(cause, (ValueError, TypeError)):
            raise type(cause)(f"{cause} (no model was changed)") from None
        raise cause

    # ------------------------------------------------------------------------- predicting

    def predict_many(self, keys: Iterable[Any], X: Any, *,
                     feature_names: Sequence[str] | None = None) -> Any:
        """Each row's prediction by its key's model, in row order, as ``kavro.predict_many`` gives
        them: an int64 array of labels for classifiers, a float64 array for regressors (a key
        never learnt: what a fresh ``factory()`` model predicts; no model is created)."""
        values = self._predict(keys, X, feature_names, proba=False)
        return np.asarray(values, dtype=np.int64 if self._kind == "classifier" else np.float64)

    def predict_proba_many(self, keys: Iterable[Any], X: Any, *,
                           feature_names: Sequence[str] | None = None) -> list[dict[Any, float]]:
        """Each row's class probabilities by its key's model, in row order (classifiers)."""
        if self._kind != "classifier":
            raise TypeError("predict_proba_many needs classifiers; these models are regressors")
        result: list[dict[Any, float]] = self._predict(keys, X, feature_names, proba=True)
        return result

    def predict_one(self, key: Any, x: Mapping[str, float]) -> Any:
        return self.predict_many([key], [x]).tolist()[0]

    def predict_proba_one(self, key: Any, x: Mapping[str, float]) -> dict[Any, float]:
        return self.predict_proba_many([key], [x])[0]

    def _predict(self, keys: Iterable[Any], X: Any, feature_names: Sequence[str] | None,
                 proba: bool) -> Any:
        self._check_open()
        table, codes, key_shards = self._keys.table(keys)
        n = len(codes)
        rows, names = _inputs.rows(X, n, feature_names)
        out: list[Any] = [None] * n
        if not n:
            return out
        calls: dict[int, tuple[str, tuple[Any, ...]]] = {}
        for targets, batch in self._split(table, codes, key_shards, rows, names, None):
            ref = ray.put(batch)
            calls.update((s, ("predict", (ref, proba))) for s in targets)
        row_shards = key_shards[codes]
        results = self._pool.call(calls)
        if all(isinstance(values, np.ndarray) for values in results.values()):
            placed = np.empty(n, dtype=np.result_type(*results.values()))
            for s, values in results.items():  # each shard's rows, in row order
                placed[row_shards == s] = values
            return placed if not proba else placed.tolist()
        for s, values in results.items():  # lists: dict rows, or probabilities
            for pos, value in zip(np.flatnonzero(row_shards == s).tolist(), values):
                out[pos] = value
        return out

    # ------------------------------------------------------------------------- inspection

    def keys(self) -> list[Key]:
        """Every key learnt so far, in the order they were first seen."""
        self._check_open()
        stamped = [pair for part in self._pool.call_all("keys") for pair in part]
        stamped.sort(key=lambda pair: pair[0])
        return [key for _, key in stamped]

    def __len__(self) -> int:
        self._check_open()
        return sum(self._pool.call_all("size"))

    def __contains__(self, key: Any) -> bool:
        return self.get(key) is not None

    def get(self, key: Any, default: Any = None) -> Any:
        """A local copy of the model of ``key`` (``default`` when the key was never learnt)."""
        self._check_open()
        self._require_saveable("copy a model out of its shard")
        k = normalise_key(key)
        s = self._keys.shard(k)
        data = self._pool.call({s: ("get", (k,))})[s]
        return default if data is None else kavro.loads(data)

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{self._n} shards"
        return f"KeyedModels({getattr(self._factory, '__name__', 'factory')}, {state})"

    # ------------------------------------------------------------------------- checkpoints

    def checkpoint(self, path: str | os.PathLike[str]) -> None:
        """Writes every shard's models and a manifest to the folder ``path``.

        The files go to a temporary folder beside ``path``, the manifest last, and the folder is
        then renamed to ``path`` (replacing an older checkpoint there): a checkpoint cut short is
        never found under that name. Shard actors write their files themselves, so on a cluster
        ``path`` must be on a filesystem every node shares (or an fsspec URL).
        """
        self._check_open()
        self._require_saveable("checkpoint")
        store = _store.Store(path)
        tmp = store.begin()
        try:
            files = [(store.join(tmp, _store.shard_file_name(s)), s) for s in range(self._n)]
            written = self._pool.call({s: ("write_file", (store.url if store.fs is not None else store.root, p))
                                  for p, s in files})
            manifest = {
                "format": _store.FORMAT,
                "version": _store.VERSION,
                "kavro_version": kavro.__version__,
                "n_shards": self._n,
                "n_keys": sum(written[s][0] for s in range(self._n)),
                "rows": self._rows,
                "files": [{"name": _store.shard_file_name(s), "n_keys": written[s][0],
                           "size": written[s][1], "digest": written[s][2]} for s in range(self._n)],
            }
            store.commit(tmp, manifest)
        except BaseException:
            store.remove_tree(tmp)
            raise
        url = store.url if store.fs is not None else store.root
        self._pool.rebased([[("file", url, store.join(store.root, f["name"]), f["size"], f["digest"])]
                            for f in manifest["files"]])

    def _auto_checkpoint(self) -> None:
        if self._checkpoint_dir is not None:
            self.checkpoint(self._checkpoint_dir)
            return
        snaps = self._pool.call_all("snapshot")
        self._pool.rebased([[("bytes", data, f"saved state of shard {s}")] for s, data in enumerate(snaps)])

    @classmethod
    def restore(
        cls,
        path: str | os.PathLike[str],
        factory: Callable[[], Any],
        n_shards: int | None = None,
        **options: Any,
    ) -> KeyedModels:
        """The keyed models of the checkpoint at ``path``, over ``n_shards`` actors (default: the
        checkpoint's shard count); ``factory`` and ``options`` as for the constructor.

        A folder without a complete, matching manifest, or a damaged shard file, raises
        ``ValueError`` and starts nothing.
        """
        store = _store.Store(path)
        manifest = store.manifest()
        old_n = manifest["n_shards"]
        models = cls(factory, old_n if n_shards is None else n_shards, **options)
        url = store.url if store.fs is not None else store.root
        entries = [("file", url, store.join(store.root, f["name"]), f["size"], f["digest"])
                   for f in manifest["files"]]
        models._pool.base = [[entries[j] for j in checkpoint_files_for(s, models._n, old_n)]
                             for s in range(models._n)]
        try:
            counts = models._pool.call({s: ("load", (models._pool.base[s],)) for s in range(models._n)})
        except BaseException:
            models.close()
            raise
        if sum(counts.values()) != manifest.get("n_keys", sum(counts.values())):
            models.close()
            raise ValueError(f"{store.url!r}: the shard files hold {sum(counts.values())} keys, the "
                             f"manifest says {manifest['n_keys']}")
        models._rows = manifest["rows"]
        return models

    # ------------------------------------------------------------------------- lifetime

    def close(self) -> None:
        """Stops the shard actors (their models are gone; checkpoints stay)."""
        if self._closed:
            return
        self._closed = True
        self._pool.close()

    def __enter__(self) -> KeyedModels:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ------------------------------------------------------------------------- internals

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("these keyed models are closed")

    def _require_saveable(self, what: str) -> None:
        if not self._saveable:
            raise TypeError(f"cannot {what}: the models have no saved form in this build")

    def _split(self, table: list[Key], codes: Any, key_shards: Any, rows: Any, names: list[str] | None,
               labels: Any) -> Any:
        return split(table, codes, key_shards, rows, names, labels, base=self._rows, n_shards=self._n,
                     one_node=self._one_node)
