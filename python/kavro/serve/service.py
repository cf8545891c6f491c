"""The service's operations, apart from HTTP: learn, predict, label, batch, checkpoint.

Learning has one writer: requests are numbered (``seq``) and queued to the group commit in the
order they arrive, and the group commit applies each record once it is synced, in that order.
Everything else runs on the event loop between two applications, so a prediction always sees
the model after a whole number of records.
"""

from __future__ import annotations

import asyncio
import logging
import os
from typing import Any

from kavro.serve import events as ev
from kavro.serve.events import RequestError
from kavro.serve.metrics import ServiceMetrics
from kavro.serve.models import RayKeyedModels, kind_of
from kavro.serve.pending import PendingPredictions
from kavro.serve.state import ModelState, StateFolder, identity, recover
from kavro.serve.wal import GroupCommit

_log = logging.getLogger("kavro.serve")


class Service:
    def __init__(self, model: Any, state_dir: str, *, keyed: bool, description: str,
                 checkpoint_every: int, max_pending: int, label_ttl: float, ray: str | None = None) -> None:
        if isinstance(checkpoint_every, bool) or not isinstance(checkpoint_every, int) or checkpoint_every < 1:
            raise ValueError(f"checkpoint_every must be a positive integer, got {checkpoint_every!r}")
        kind_of(model)  # refused before the state folder is touched
        if ray is not None and not keyed:
            raise ValueError("Ray holds keyed models: ray needs keyed=True")
        self.pending = PendingPredictions(max_pending, label_ttl)
        self.metrics = ServiceMetrics()
        self.checkpoint_every = checkpoint_every
        self.folder = StateFolder(state_dir, identity(model, keyed, ray is not None), description)
        try:
            self.state = ModelState(model, keyed, ray)
        except BaseException:
            self.folder.close()
            raise
        try:
            self.log = recover(self.folder, self.state, self._replayed)
        except BaseException:
            self.state.models.close()
            self.folder.close()
            raise
        self.keyed = keyed
        self.classifier = self.state.classifier
        self._next_seq = self.state.seq + 1
        latest = self.folder.latest_checkpoint()
        self._checkpoint_seq = 0 if latest is None else latest[0]
        self._next_checkpoint = self._checkpoint_seq + checkpoint_every
        self.commit = GroupCommit(self.log, self.state.apply, self._after_group, self.metrics.synced)
        self.closed = False

    def _replayed(self, n: int) -> None:
        self.metrics.replayed += n

    # ------------------------------------------------------------------ learning

    async def _learn(self, events: list[list[Any]], payload: bytes | None = None) -> tuple[int, int]:
        """(first seq, version) once ``events`` are durable and learnt; ``payload`` is their log
        form when the caller has it."""
        if payload is None:
            payload = ev.encode_events(events)
        self.commit.check_open()  # before numbering: a refused record leaves no gap
        first = self._next_seq
        self._next_seq += len(events)
        version: int = await self.commit.submit(first, events, payload)
        return first, version

    async def learn(self, doc: dict[str, Any]) -> dict[str, Any]:
        event = ev.learn_event(doc, "", self.classifier, self.keyed)
        seq, version = await self._learn([event])
        return {"seq": seq, "version": version}

    def predict(self, doc: dict[str, Any]) -> dict[str, Any]:
        return self._predict([ev.predict_request(doc, "", self.keyed)])[0]

    def _predict(self, rows: list[tuple[dict[str, Any], Any]]) -> list[dict[str, Any]]:
        version = self.state.version
        out = []
        for (x, key), (y, proba) in zip(rows, self.state.models.predict(rows)):
            answer: dict[str, Any] = {"y": y}
            if proba is not None:
                answer["proba"] = proba
            answer["event"] = self.pending.add(x, key, y)
            answer["version"] = version
            out.append(answer)
        self.metrics.predictions += len(rows)
        return out

    def _check_labels(self, labels: list[tuple[str, Any]], where: str) -> None:
        """Refuses ``labels`` (event id, y) unless each names a different kept prediction."""
        seen = set()
        for i, (event, _) in enumerate(labels):
            name = f"{where}[{i}].event" if where else "event"
            if event in seen:
                raise ev.bad(f"{name}: event {event!r} is labelled twice in this request")
            seen.add(event)
            if self.pending.get(event) is None:
                raise RequestError(404, f"{name}: no prediction {event!r} is waiting for a label "
                                        "(unknown, already labelled or expired)")

    def _take_labels(self, labels: list[tuple[str, Any]]) -> list[list[Any]]:
        """The learning events of checked ``labels``, their kept predictions taken."""
        out = []
        for event, y in labels:
            kept = self.pending.pop(event)
            out.append([kept.x, y, kept.key, kept.served])
        return out

    async def label(self, doc: dict[str, Any]) -> dict[str, Any]:
        labels = [ev.label_request(doc, "", self.classifier)]
        self._check_labels(labels, "")
        self.commit.check_open()  # a kept prediction is taken only when it can be learnt
        seq, version = await self._learn(self._take_labels(labels))
        return {"seq": seq, "version": version}

    async def batch(self, doc: dict[str, Any], body: bytes) -> dict[str, Any]:
        """Predictions first (on the model as the request found it), then the learn items and
        then the labels, learnt in that order as one record. ``doc`` is the parsed ``body``."""
        learn = ev.learn_events(ev.check_list(doc, "learn"), "learn", self.classifier, self.keyed)
        predict = [ev.predict_request(item, f"predict[{i}]", self.keyed)
                   for i, item in enumerate(ev.check_list(doc, "predict"))]
        labels = [ev.label_request(item, f"label[{i}]", self.classifier)
                  for i, item in enumerate(ev.check_list(doc, "label"))]
        self._check_labels(labels, "label")
        if learn or labels:
            self.commit.check_open()
        predictions = self._predict(predict) if predict else []
        events = learn + self._take_labels(labels)
        out: dict[str, Any] = {"seqs": [], "label_seqs": [], "predictions": predictions,
                               "version": self.state.version}
        if events:
            payload = None if labels else ev.batch_payload(body)
            first, out["version"] = await self._learn(events, payload)
            out["seqs"] = list(range(first, first + len(learn)))
            out["label_seqs"] = list(range(first + len(learn), first + len(events)))
        return out

    # ------------------------------------------------------------------ reading

    def model_state(self, key: str | None) -> bytes:
        models = self.state.models
        if not self.keyed:
            if key is not None:
                raise ev.bad("key is given but this service holds one model")
            data = models.state()
            assert data is not None
            return data
        if key is None:
            raise ev.bad("key is missing (this service holds one model per key): GET /model?key=...")
        data = models.state(key)
        if data is None and key.lstrip("-").isdigit():
            data = models.state(int(key))
        if data is None:
            raise RequestError(404, f"no model for key {key!r} (never learnt)")
        return data

    def figures(self) -> dict[str, Any]:
        state = self.state
        return {"version": state.version, "seq": state.seq, "labelled": state.labelled,
                "measures": state.measure_values(), "pending": len(self.pending),
                "dropped": self.pending.dropped, "models": len(state.models), "log_bytes": self.log.size}

    def render_metrics(self) -> str:
        return self.metrics.render(self.figures())

    # ------------------------------------------------------------------ checkpoints and shutdown

    async def _after_group(self) -> None:
        if self.state.seq >= self._next_checkpoint:
            try:
                await self.checkpoint()
            except OSError as exc:  # the log still holds every event: serve on, try again later
                _log.error("checkpoint at seq %d failed: %s", self.state.seq, exc)
                self.metrics.failed_checkpoints += 1
            self._next_checkpoint = self.state.seq + self.checkpoint_every

    def _write_checkpoint(self) -> None:
        seq = self.state.seq
        models = self.state.models
        folder = None
        if isinstance(models, RayKeyedModels):
            folder = self.folder.models_folder_name(seq)
            models.save_folder(os.path.join(self.folder.path, folder))
        self.folder.write_checkpoint(seq, self.state.to_bytes(folder))
        self.log.truncate()
        self.folder.remove_checkpoints_before(seq)
        self._checkpoint_seq = seq
        self.metrics.checkpoints += 1

    async def checkpoint(self) -> None:
        """Writes a checkpoint and empties the log; only while nothing is being learnt."""
        if self.state.seq == self._checkpoint_seq:
            return
        if isinstance(self.state.models, RayKeyedModels):
            self._write_checkpoint()  # Ray's driver side is used from the event loop only
        else:
            await asyncio.get_running_loop().run_in_executor(None, self._write_checkpoint)

    def start(self) -> None:
        self.commit.start()

    async def aclose(self) -> None:
        """Finishes what is queued, checkpoints and releases the state folder."""
        if self.closed:
            return
        try:
            await self.commit.stop()
            if self.commit.failure is None:
                await self.checkpoint()
        finally:
            self._release()

    def close(self) -> None:
        """``aclose`` for a service whose event loop has ended."""
        if self.closed:
            return
        try:
            if self.commit.failure is None and self.state.seq != self._checkpoint_seq:
                self._write_checkpoint()
        finally:
            self._release()

    def _release(self) -> None:
        self.closed = True
        try:
            self.state.models.close()
        finally:
            self.log.close()
            self.folder.close()
