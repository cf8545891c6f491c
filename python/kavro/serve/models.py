"""What the service learns into: one model, or one model per key (clones of a prototype), held
in this process or on Ray actors.

Each learns a list of events in order and predicts a list of rows, through the batch entry points
when the rows allow it; the results are those of ``learn_one`` / ``predict_one`` row by row.
Local holders give their saved states to the service's checkpoint (``entries``); the Ray holder
writes its own checkpoint folder (``save_folder``) that the service's checkpoint names; it is not
thread-safe, so everything reaches it from the event loop.
"""

from __future__ import annotations

import functools
from typing import Any

import _kavro_core

import kavro
from kavro import _native

# Below this many rows, the batch entry points cost more than they save.
_BATCH_MIN = 32

Prediction = tuple[Any, "dict[Any, float] | None"]


def kind_of(model: Any) -> str:
    if isinstance(model, _kavro_core.IClassifier):
        return "classifier"
    if isinstance(model, _kavro_core.IRegressor):
        return "regressor"
    raise TypeError(f"a service serves a kavro classifier or regressor, not {type(model).__name__}")


def _learn(model: Any, xs: list[dict[str, Any]], ys: list[Any]) -> None:
    if len(xs) >= _BATCH_MIN:
        packed = _native.pack_rows(xs)
        if packed is not None:
            import numpy as np

            X, names = packed
            kavro.learn_many(model, X, np.asarray(ys), feature_names=names)
            return
    learn = model.learn_one
    for x, y in zip(xs, ys):
        learn(x, y)


def _predict(model: Any, xs: list[dict[str, Any]], proba: bool) -> list[Prediction]:
    if len(xs) >= _BATCH_MIN:
        packed = _native.pack_rows(xs)
        if packed is not None:
            X, names = packed
            ys = kavro.predict_many(model, X, feature_names=names).tolist()
            if not proba:
                return [(y, None) for y in ys]
            return list(zip(ys, kavro.predict_proba_many(model, X, feature_names=names)))
    if proba:
        return [(model.predict_one(x), model.predict_proba_one(x)) for x in xs]
    return [(model.predict_one(x), None) for x in xs]


class SingleModel:
    """One model for every event."""

    keyed = False
    external = False

    def __init__(self, prototype: Any) -> None:
        self.model = kavro.loads(kavro.dumps(prototype))  # the caller's object stays as it is
        self.classifier = kind_of(prototype) == "classifier"

    def learn(self, events: list[list[Any]]) -> None:
        _learn(self.model, [e[0] for e in events], [e[1] for e in events])

    def predict(self, rows: list[tuple[dict[str, Any], Any]]) -> list[Prediction]:
        return _predict(self.model, [x for x, _ in rows], self.classifier)

    def state(self, key: Any = None) -> bytes | None:
        return kavro.dumps(self.model)

    def entries(self) -> list[tuple[Any, bytes]]:
        return [(None, kavro.dumps(self.model))]

    def restore(self, entries: list[tuple[Any, bytes]]) -> None:
        if len(entries) != 1 or entries[0][0] is not None:
            raise ValueError("the checkpoint holds keyed models, but this service holds one model")
        self.model = kavro.loads(entries[0][1], expected=type(self.model))

    def __len__(self) -> int:
        return 1

    def close(self) -> None:
        pass


class KeyedModels:
    """One model per key, each a clone of the prototype made when its key is first learnt; a key
    never learnt is predicted by the prototype."""

    keyed = True
    external = False

    def __init__(self, prototype: Any) -> None:
        self._blank = kavro.dumps(prototype)
        self.prototype = kavro.loads(self._blank)  # the caller's object stays as it is
        self.classifier = kind_of(prototype) == "classifier"
        self.models: dict[Any, Any] = {}

    def _model(self, key: Any) -> Any:
        model = self.models.get(key)
        if model is None:
            model = self.models[key] = kavro.loads(self._blank)
        return model

    def learn(self, events: list[list[Any]]) -> None:
        # Keys are independent: each key's rows in their order is all that is visible.
        groups: dict[Any, tuple[list[Any], list[Any]]] = {}
        for x, y, key, _ in events:
            group = groups.get(key)
            if group is None:
                group = groups[key] = ([], [])
            group[0].append(x)
            group[1].append(y)
        for key, (xs, ys) in groups.items():
            _learn(self._model(key), xs, ys)

    def predict(self, rows: list[tuple[dict[str, Any], Any]]) -> list[Prediction]:
        out: list[Prediction | None] = [None] * len(rows)
        groups: dict[Any, list[int]] = {}
        for i, (_, key) in enumerate(rows):
            groups.setdefault(key, []).append(i)
        for key, positions in groups.items():
            model = self.models.get(key, self.prototype)
            for i, p in zip(positions, _predict(model, [rows[i][0] for i in positions], self.classifier)):
                out[i] = p
        return out  # type: ignore[return-value]

    def state(self, key: Any = None) -> bytes | None:
        model = self.models.get(key)
        return None if model is None else kavro.dumps(model)

    def entries(self) -> list[tuple[Any, bytes]]:
        return [(key, kavro.dumps(model)) for key, model in self.models.items()]

    def restore(self, entries: list[tuple[Any, bytes]]) -> None:
        expected = type(self.prototype)
        models = {}
        for key, data in entries:
            if key is None:
                raise ValueError("the checkpoint holds one model, but this service holds one model per key")
            models[key] = kavro.loads(data, expected=expected)
        self.models = models

    def __len__(self) -> int:
        return len(self.models)

    def close(self) -> None:
        pass


class RayKeyedModels:
    """One model per key on the Ray actors of ``kavro.distributed.KeyedModels``."""

    keyed = True
    external = True  # saved through save_folder, not entries

    def __init__(self, prototype: Any, address: str) -> None:
        import ray

        from kavro.distributed import KeyedModels as Remote

        self.classifier = kind_of(prototype) == "classifier"
        self._started_ray = not ray.is_initialized()
        if self._started_ray:
            ray.init(address=address, log_to_driver=False, include_dashboard=False)
        self._factory = functools.partial(kavro.loads, kavro.dumps(prototype))
        self._remote_cls = Remote
        self.remote = Remote(self._factory)

    def learn(self, events: list[list[Any]]) -> None:
        self.remote.learn_many([e[2] for e in events], [e[0] for e in events], [e[1] for e in events])

    def predict(self, rows: list[tuple[dict[str, Any], Any]]) -> list[Prediction]:
        keys = [key for _, key in rows]
        xs = [x for x, _ in rows]
        ys = self.remote.predict_many(keys, xs)
        ys = ys.tolist() if hasattr(ys, "tolist") else list(ys)  # plain ints and floats for JSON
        if not self.classifier:
            return [(y, None) for y in ys]
        return list(zip(ys, self.remote.predict_proba_many(keys, xs)))

    def state(self, key: Any = None) -> bytes | None:
        model = self.remote.get(key)
        return None if model is None else kavro.dumps(model)

    def save_folder(self, path: str) -> None:
        self.remote.checkpoint(path)

    def load_folder(self, path: str) -> None:
        restored = self._remote_cls.restore(path, self._factory)
        self.remote.close()
        self.remote = restored

    def __len__(self) -> int:
        return len(self.remote)

    def close(self) -> None:
        self.remote.close()
        if self._started_ray:
            import ray

            ray.shutdown()
