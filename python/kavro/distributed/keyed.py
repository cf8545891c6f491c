"""One model per key, spread over Ray actors."""

from __future__ import annotations

import numbers
import operator
import os
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import _kavro_core
import numpy as np
import ray
from ray.exceptions import RayActorError, RayTaskError

import kavro
from kavro import _native
from kavro.distributed import _store
from kavro.distributed._shard import (
    Batch,
    Key,
    ShardState,
    checkpoint_files_for,
    digest,
    encode_keys,
    key_hash,
    normalise_key,
)

__all__ = ["KeyedModels", "ShardLostError"]

_KEY_CACHE_LIMIT = 1 << 20


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


def _is_frame(X: Any) -> bool:
    return hasattr(X, "columns") and hasattr(X, "to_numpy") and hasattr(X, "iloc")


def _rows(X: Any, n: int, feature_names: Sequence[str] | None) -> tuple[Any, list[str] | None]:
    """(rows, names): a list of dicts with names None, or a float64 array and its column names."""
    if _is_frame(X) or (hasattr(X, "ndim") and hasattr(X, "dtype")):
        if _is_frame(X):
            names = [str(c) for c in X.columns]
            try:
                arr = X.to_numpy(dtype=np.float64)
            except (TypeError, ValueError) as exc:
                raise ValueError(f"X has a column that is not numeric: {exc}") from None
        else:
            if X.ndim != 2:
                raise ValueError(f"X must be 2-D (rows x features), got {X.ndim} dimension(s)")
            if X.dtype.kind not in "iuf":
                raise ValueError(f"X must hold real or integer numbers, not {X.dtype}")
            arr = np.asarray(X, dtype=np.float64)
            names = [f"x{j}" for j in range(arr.shape[1])]
        if feature_names is not None:
            names = [str(f) for f in feature_names]
            if len(names) != arr.shape[1]:
                raise ValueError(f"{len(names)} feature names for {arr.shape[1]} columns")
        if arr.shape[0] != n:
            raise ValueError(f"{n} keys but {arr.shape[0]} rows in X")
        return arr, names
    if feature_names is not None:
        raise ValueError("feature_names applies to an array X; dict rows name their own features")
    if isinstance(X, Mapping) or isinstance(X, (str, bytes)):
        raise TypeError("X is a sequence of rows (dicts of feature values) or a 2-D array")
    rows = list(X)
    if len(rows) != n:
        raise ValueError(f"{n} keys but {len(rows)} rows in X")
    if not set(map(type, rows)) <= {dict}:
        for i, row in enumerate(rows):
            if type(row) is not dict:
                if not isinstance(row, Mapping):
                    raise TypeError(f"row {i} of X is a {type(row).__name__}, not a dict of feature values")
                rows[i] = dict(row)
    packed = _pack(rows)
    return (rows, None) if packed is None else packed


def _pack(rows: list[dict[Any, Any]]) -> tuple[Any, list[str]] | None:
    """Dict rows as a float64 array and column names, when that loses nothing.

    Only when every row has the same str keys in the same order and every value is a plain float
    that is not NaN (a NaN value is a feature that is present, a NaN cell one that is absent) or a
    plain int: the records rebuilt from the array are then the same dicts, and an array travels
    far faster than dicts.
    """
    if len(rows) < 64:
        return None
    packed: tuple[Any, list[str]] | None = _native.pack_rows(rows)
    return packed


def _narrowest(labels: Any, lo: int, hi: int) -> Any:
    """Class labels in [lo, hi] in the smallest integer type that holds them: they are sent
    with every row."""
    for dtype in (np.int8, np.int16):
        if np.iinfo(dtype).min <= lo and hi <= np.iinfo(dtype).max:
            return labels.astype(dtype)
    return labels.astype(np.int32, copy=False)


def _narrow(labels: Any) -> Any:
    return _narrowest(labels, labels.min(), labels.max()) if len(labels) else labels.astype(np.int32)


def _as_list(values: Any) -> list[Any]:
    if hasattr(values, "tolist"):
        out: list[Any] = values.tolist()
        return out
    return list(values)


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
        self._max_recoveries = max_recoveries
        options: dict[str, Any] = {"max_restarts": 0, "max_task_retries": 0, "scheduling_strategy": "SPREAD"}
        options.update(actor_options or {})
        self._remote = ray.remote(_ShardActor).options(**options)
        self._actors = [self._spawn(i) for i in range(n_shards)]
        # Array rows go to the shards as one message when they all run on one node; across nodes
        # each node would fetch all of it, so there each shard is sent only its own rows.
        nodes: list[dict[str, Any]] = ray.nodes()  # type: ignore[no-untyped-call]
        self._one_node = len([node for node in nodes if node.get("Alive")]) <= 1
        # What each shard is rebuilt from: nothing (no model yet), its saved bytes or checkpoint files.
        self._base: list[list[tuple[Any, ...]]] = [[] for _ in range(n_shards)]
        self._log: list[list[Any]] = [[] for _ in range(n_shards)]
        self._since_checkpoint = 0
        self._rows = 0
        # Every key met so far, numbered in the order first met, and the shard of each number.
        self._key_codes: dict[Key, int] = {}
        self._code_keys: list[Key] = []
        self._code_shards = np.empty(1024, dtype=np.intp)
        self._int_numbers = _native.IntKeyNumbers()  # the int keys' numbers, for key arrays
        self._closed = False

    # ------------------------------------------------------------------------- properties

    @property
    def n_shards(self) -> int:
        return self._n

    @property
    def checkpoint_every(self) -> int | None:
        return self._checkpoint_every

    # ------------------------------------------------------------------------- learning

    def learn_many(self, keys: Iterable[Any], X: Any, y: Iterable[Any], *,
                   feature_names: Sequence[str] | None = None) -> None:
        """Learns row ``i`` of ``X`` (a dict, or a row of a 2-D array or DataFrame; NaN = absent
        feature) with label ``y[i]`` into the model of ``keys[i]``, for every row in order.

        A refused call (bad keys, rows or labels; an error inside a model) changes no model; with
        ``checkpoint_every=None`` an error raised inside a model cannot be undone, and says so.
        """
        self._check_open()
        table, codes, key_shards = self._keys(keys)
        n = len(codes)
        rows, names = _rows(X, n, feature_names)
        labels = self._labels(y, n)
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
                if keep:
                    self._log[s].append(ref)
                pending[s] = self._actors[s].learn.remote(ref)
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
            self._recover(s)
        self._rows += n
        self._since_checkpoint += 1
        if keep and self._since_checkpoint >= self._checkpoint_every:  # type: ignore[operator]
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
            self._log[t].pop()
            self._recover(t)
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
        table, codes, key_shards = self._keys(keys)
        n = len(codes)
        rows, names = _rows(X, n, feature_names)
        out: list[Any] = [None] * n
        if not n:
            return out
        calls: dict[int, tuple[str, tuple[Any, ...]]] = {}
        for targets, batch in self._split(table, codes, key_shards, rows, names, None):
            ref = ray.put(batch)
            calls.update((s, ("predict", (ref, proba))) for s in targets)
        row_shards = key_shards[codes]
        results = self._call(calls)
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
        stamped = [pair for part in self._call_all("keys") for pair in part]
        stamped.sort(key=lambda pair: pair[0])
        return [key for _, key in stamped]

    def __len__(self) -> int:
        self._check_open()
        return sum(self._call_all("size"))

    def __contains__(self, key: Any) -> bool:
        return self.get(key) is not None

    def get(self, key: Any, default: Any = None) -> Any:
        """A local copy of the model of ``key`` (``default`` when the key was never learnt)."""
        self._check_open()
        self._require_saveable("copy a model out of its shard")
        k = normalise_key(key)
        s = self._shard(k)
        data = self._call({s: ("get", (k,))})[s]
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
            written = self._call({s: ("write_file", (store.url if store.fs is not None else store.root, p))
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
        self._base = [[("file", url, store.join(store.root, f["name"]), f["size"], f["digest"])]
                      for f in manifest["files"]]
        self._log = [[] for _ in range(self._n)]
        self._since_checkpoint = 0

    def _auto_checkpoint(self) -> None:
        if self._checkpoint_dir is not None:
            self.checkpoint(self._checkpoint_dir)
            return
        snaps = self._call_all("snapshot")
        self._base = [[("bytes", data, f"saved state of shard {s}")] for s, data in enumerate(snaps)]
        self._log = [[] for _ in range(self._n)]
        self._since_checkpoint = 0

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
        models._base = [[entries[j] for j in checkpoint_files_for(s, models._n, old_n)]
                        for s in range(models._n)]
        try:
            counts = models._call({s: ("load", (models._base[s],)) for s in range(models._n)})
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
        for actor in self._actors:
            try:
                ray.kill(actor)
            except Exception:  # already gone
                pass
        self._log = [[] for _ in range(self._n)]

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

    def _spawn(self, s: int) -> Any:
        return self._remote.remote(self._factory, s, self._n)

    def _shard(self, key: Key) -> int:
        code = self._key_codes.get(key)
        return key_hash(key) % self._n if code is None else int(self._code_shards[code])

    def _number(self, keys: list[Any]) -> Any:
        """Each key's number, numbering the keys not met before in order of first appearance;
        None when a key is not a plain str or int."""
        added: list[Key] = []
        numbers = _native.key_numbers(keys, self._key_codes, added, _KEY_CACHE_LIMIT)
        if numbers is None:
            if not set(map(type, keys)) <= {str, int}:
                return None
            # Past the limit: the numbering starts over with these keys.
            self._key_codes.clear()
            self._code_keys.clear()
            self._int_numbers.clear()
            numbers = _native.key_numbers(keys, self._key_codes, added, max(_KEY_CACHE_LIMIT, len(keys)))
        first = len(self._code_keys)
        self._register(added)
        ints = [(key, first + i) for i, key in enumerate(added) if type(key) is int and -(1 << 63) <= key < (1 << 63)]
        if ints:
            self._int_numbers.add(np.array([k for k, _ in ints], dtype=np.int64),
                                  np.array([c for _, c in ints], dtype=np.intp))
        return numbers

    def _number_ints(self, keys: Any) -> Any:
        """``_number`` for an int64 array of keys; None when the numbering would pass its limit."""
        got = self._int_numbers.number(keys, len(self._code_keys), _KEY_CACHE_LIMIT)
        if got is None:
            return None
        numbers, fresh = got
        if len(fresh):
            added = fresh.tolist()
            first = len(self._code_keys)
            self._key_codes.update(zip(added, range(first, first + len(added))))
            self._register(added)
        return numbers

    def _register(self, added: list[Key]) -> None:
        """Records the shards of keys just numbered, in order (their numbers follow the last)."""
        first = len(self._code_keys)
        end = first + len(added)
        if end > len(self._code_shards):
            grown = np.empty(max(end, 2 * len(self._code_shards)), dtype=np.intp)
            grown[:first] = self._code_shards[:first]
            self._code_shards = grown
        self._code_shards[first:end] = [key_hash(key) % self._n for key in added]
        self._code_keys.extend(added)

    def _keys(self, keys: Iterable[Any]) -> tuple[list[Key], Any, Any]:
        """(table, codes, shards): the distinct keys in the order first met by these models,
        each row's index into the table (16 bits when the table allows, else 32), and each table
        key's shard."""
        if isinstance(keys, (str, bytes)):
            raise TypeError("keys is a sequence of keys, not one string")
        numbers = None
        if isinstance(keys, np.ndarray) and keys.ndim == 1 and keys.dtype.kind in "iu" and (
                keys.dtype.kind == "i" or keys.dtype.itemsize < 8 or not len(keys) or keys.max() < (1 << 63)):
            n = len(keys)
            numbers = self._number_ints(keys.astype(np.int64, copy=False))
        if numbers is None:
            out = _as_list(keys)
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
        met = len(self._code_keys)
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
        keys_met = self._code_keys
        return [keys_met[i] for i in distinct.tolist()], codes, self._code_shards[distinct]

    def _labels(self, y: Iterable[Any], n: int) -> Any:
        """``y`` as a 1-D array: class labels in the narrowest integer type, or float64 targets."""
        if isinstance(y, (str, bytes)):
            raise TypeError("y is a sequence of labels, not one string")
        if isinstance(y, np.ndarray) and y.ndim == 1 and len(y) == n:
            if self._kind == "classifier" and y.dtype.kind in "iu":
                if n == 0:
                    return y.astype(np.int32)
                lo, hi = y.min(), y.max()
                if -(1 << 31) <= lo and hi < (1 << 31):
                    return _narrowest(y, lo, hi)
            if self._kind == "regressor" and y.dtype.kind == "f":
                return y.astype(np.float64)
        out = _as_list(y)
        if len(out) != n:
            raise ValueError(f"{n} keys but {len(out)} labels in y")
        if self._kind == "classifier":
            fast = _native.int_labels(out)
            if fast is not None:
                return _narrow(fast)
        else:
            fast = _native.float_targets(out)
            if fast is not None:
                return fast
        if self._kind == "classifier":
            for i, v in enumerate(out):
                if type(v) is int:
                    continue
                if isinstance(v, (float, bool)) or isinstance(v, numbers.Real) and not isinstance(v, numbers.Integral):
                    raise TypeError(f"label {i} is {v!r}: class labels are ints")
                try:
                    out[i] = operator.index(v)
                except TypeError:
                    raise TypeError(f"label {i} is {v!r}: class labels are ints") from None
            for i, v in enumerate(out):
                if not -(1 << 31) <= v < (1 << 31):
                    raise ValueError(f"label {i} is {v}: class labels must fit in 32 bits")
            return _narrow(np.array(out, dtype=np.int32))
        for i, v in enumerate(out):
            if type(v) is float:
                continue
            if isinstance(v, bool) or not isinstance(v, numbers.Real):
                raise TypeError(f"target {i} is {v!r}: regression targets are numbers")
            out[i] = float(v)
        return np.array(out, dtype=np.float64)

    def _split(self, table: list[Key], codes: Any, key_shards: Any, rows: Any, names: list[str] | None,
               labels: Any) -> Iterator[tuple[list[int], Batch]]:
        """(shards, batch) pairs, each batch ready before the next is built.

        On one node, array rows go as one batch that every shard with rows in it reads, each
        taking its own rows: one object to send instead of one per shard. Across nodes, and for
        dict rows (unpickling dicts costs per row), each shard gets only its own rows.
        """
        base = self._rows
        n = len(codes)
        used = np.flatnonzero(np.bincount(key_shards, minlength=self._n)).tolist()
        if len(used) == 1:
            yield used, Batch(table, rows, names, labels, base, codes)
            return
        if names is not None and self._one_node:
            yield used, Batch(table, rows, names, labels, base, codes, key_shards)
            return
        stamps = np.arange(base, base + n)
        row_shards = key_shards[codes]
        order = np.argsort(row_shards, kind="stable")
        ends = np.cumsum(np.bincount(row_shards, minlength=self._n)).tolist()
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

    def _call(self, calls: dict[int, tuple[str, tuple[Any, ...]]]) -> dict[int, Any]:
        """Runs one method per shard in parallel; a dead actor is rebuilt and asked again."""
        pending = {s: getattr(self._actors[s], name).remote(*args) for s, (name, args) in calls.items()}
        out: dict[int, Any] = {}
        for s, ref in pending.items():
            for attempt in range(self._max_recoveries + 1):
                try:
                    out[s] = ray.get(ref)
                    break
                except RayActorError:
                    if attempt == self._max_recoveries:
                        raise ShardLostError(f"shard {s} died {attempt + 1} times in a row") from None
                    self._recover(s)
                    name, args = calls[s]
                    ref = getattr(self._actors[s], name).remote(*args)
                except RayTaskError as exc:
                    cause = getattr(exc, "cause", None)
                    if isinstance(cause, Exception):
                        raise cause from None
                    raise
        return out

    def _call_all(self, name: str) -> list[Any]:
        results = self._call({s: (name, ()) for s in range(self._n)})
        return [results[s] for s in range(self._n)]

    def _recover(self, s: int) -> None:
        """A new actor for shard ``s``: its last checkpoint, then the batches learnt since."""
        if self._checkpoint_every is None and self._since_checkpoint > 0:
            raise ShardLostError(f"shard {s} died and checkpoints are off (checkpoint_every=None): "
                                 f"its models are lost")
        last: BaseException | None = None
        for _ in range(self._max_recoveries + 1):
            try:
                ray.kill(self._actors[s])
            except Exception:  # already gone
                pass
            self._actors[s] = actor = self._spawn(s)
            try:
                ray.get(actor.load.remote(self._base[s]))
                for ref in self._log[s]:
                    ray.get(actor.learn.remote(ref))
                return
            except RayActorError as exc:
                last = exc
        raise ShardLostError(f"shard {s} could not be rebuilt: {last}")
