"""The HTTP side: the ASGI application ``App``, its routes, the token check and the body limit."""

from __future__ import annotations

import contextlib
import hmac
import json
import logging
import os
import time
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

import kavro
from kavro.serve import events as ev
from kavro.serve.events import RequestError
from kavro.serve.openapi import document
from kavro.serve.service import Service
from kavro.serve.wal import LogFailedError

__all__ = ["App"]

_log = logging.getLogger("kavro.serve")

DEFAULT_MAX_BODY = 32 << 20


def _json(doc: Any, status: int = 200, headers: dict[str, str] | None = None) -> Response:
    body = json.dumps(doc, separators=(",", ":"), allow_nan=False).encode()
    return Response(body, status_code=status, media_type="application/json", headers=headers)


class App:
    """The learner service as an ASGI application.

    ``model`` is the model served, copied (the object passed is left as it is); with
    ``keyed=True``, the prototype each key's model is cloned from when the key is first learnt.
    Its state lives in ``state_dir``: on start the newest checkpoint is loaded and the write-ahead
    log replayed, so a restart continues where the last acknowledged event left off. The folder
    is made with mode 0700 and is locked while the app is open; a folder made for another model
    is refused (``StateError``).

    ``token``: every endpoint but ``/health`` then needs ``Authorization: Bearer <token>``.
    ``checkpoint_every``: events between checkpoints. ``max_body``: the largest request body in
    bytes. ``max_pending`` and ``label_ttl``: how many served predictions are kept for their label,
    and for how many seconds. ``ray``: with ``keyed=True``, hold the keyed models on the actors of
    ``kavro.distributed.KeyedModels`` on the Ray cluster at this address (``"local"`` starts one;
    a Ray already initialised in this process is used as it is).

    Run it under an ASGI server with lifespan events (uvicorn does), or in a
    ``with starlette.testclient.TestClient(app)`` block: the shutdown writes a checkpoint and
    releases the folder. ``close()`` does the same outside a server.
    """

    def __init__(self, model: Any, state_dir: str | os.PathLike[str], *, keyed: bool = False,
                 token: str | None = None, checkpoint_every: int = 100_000,
                 max_body: int = DEFAULT_MAX_BODY, max_pending: int = 100_000,
                 label_ttl: float = 3600.0, ray: str | None = None, description: str | None = None) -> None:
        if token is not None and not token:
            raise ValueError("the token is empty")
        if isinstance(max_body, bool) or not isinstance(max_body, int) or max_body < 1:
            raise ValueError(f"max_body must be a positive number of bytes, got {max_body!r}")
        self.service = Service(model, os.fspath(state_dir), keyed=keyed,
                               description=description or type(model).__name__,
                               checkpoint_every=checkpoint_every, max_pending=max_pending,
                               label_ttl=label_ttl, ray=ray)
        self.max_body = max_body
        self._token = None if token is None else token.encode()
        self._openapi = json.dumps(document(kavro.__version__, self.service.state.kind, keyed)).encode()
        self.shutdown_error: BaseException | None = None
        route = self._route
        self._app = Starlette(routes=[
            Route("/predict", route("predict", self._predict), methods=["POST"]),
            Route("/label", route("label", self._label), methods=["POST"]),
            Route("/learn", route("learn", self._learn), methods=["POST"]),
            Route("/batch", route("batch", self._batch), methods=["POST"]),
            Route("/model", route("model", self._model), methods=["GET"]),
            Route("/metrics", route("metrics", self._metrics), methods=["GET"]),
            Route("/openapi.json", route("openapi", self._openapi_doc), methods=["GET"]),
            Route("/health", route("health", self._health, auth=False), methods=["GET"]),
        ], lifespan=self._lifespan)

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        await self._app(scope, receive, send)

    @property
    def version(self) -> int:
        """Events learnt by the served model."""
        return self.service.state.version

    @property
    def seq(self) -> int:
        """Seq of the last event learnt."""
        return self.service.state.seq

    def close(self) -> None:
        """Checkpoints and releases the state folder (for use outside a server's lifespan)."""
        self.service.close()

    @contextlib.asynccontextmanager
    async def _lifespan(self, _: Starlette) -> AsyncIterator[None]:
        self.service.start()
        try:
            yield
        finally:
            try:
                await self.service.aclose()
            except Exception as exc:
                self.shutdown_error = exc
                raise

    # ------------------------------------------------------------------ plumbing

    def _route(self, name: str, handler: Callable[[Request], Awaitable[Response]],
               auth: bool = True) -> Callable[[Request], Awaitable[Response]]:
        metrics = self.service.metrics

        async def endpoint(request: Request) -> Response:
            started = time.perf_counter()
            try:
                if auth and self._token is not None:
                    self._authorise(request)
                response = await handler(request)
            except RequestError as exc:
                headers = {"WWW-Authenticate": "Bearer"} if exc.status == 401 else None
                response = _json({"error": exc.message}, exc.status, headers)
            except LogFailedError as exc:
                response = _json({"error": str(exc)}, 503)
            except Exception as exc:  # noqa: BLE001 - answered, and logged for the operator
                _log.exception("%s failed", name)
                response = _json({"error": f"internal error: {type(exc).__name__}: {exc}"}, 500)
            metrics.request(name, response.status_code, time.perf_counter() - started)
            return response

        return endpoint

    def _authorise(self, request: Request) -> None:
        assert self._token is not None
        scheme, _, given = request.headers.get("authorization", "").partition(" ")
        if not (scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode(), self._token)):
            raise RequestError(401, "missing or wrong bearer token (Authorization: Bearer <token>)")

    async def _body(self, request: Request) -> bytes:
        """The request body, refused with 413 past the limit (before reading it when its length
        is declared)."""
        declared = request.headers.get("content-length")
        if declared is not None:
            if not declared.isdigit():
                raise ev.bad(f"invalid Content-Length {declared!r}")
            if int(declared) > self.max_body:
                raise RequestError(413, f"the body is {int(declared)} bytes; the limit is {self.max_body}")
        chunks = []
        size = 0
        async for chunk in request.stream():
            size += len(chunk)
            if size > self.max_body:
                raise RequestError(413, f"the body is over the limit of {self.max_body} bytes")
            chunks.append(chunk)
        return b"".join(chunks)

    # ------------------------------------------------------------------ endpoints

    async def _predict(self, request: Request) -> Response:
        doc = ev.parse_object(await self._body(request), ev.PREDICT_FIELDS)
        return _json(self.service.predict(doc))

    async def _label(self, request: Request) -> Response:
        doc = ev.parse_object(await self._body(request), ev.LABEL_FIELDS)
        return _json(await self.service.label(doc))

    async def _learn(self, request: Request) -> Response:
        doc = ev.parse_object(await self._body(request), ev.LEARN_FIELDS)
        return _json(await self.service.learn(doc))

    async def _batch(self, request: Request) -> Response:
        body = await self._body(request)
        doc = ev.parse_object(body, ("learn", "predict", "label"))
        return _json(await self.service.batch(doc, body))

    async def _model(self, request: Request) -> Response:
        data = self.service.model_state(request.query_params.get("key"))
        state = self.service.state
        return Response(data, media_type="application/octet-stream",
                        headers={"X-Kavro-Version": str(state.version), "X-Kavro-Seq": str(state.seq)})

    async def _metrics(self, request: Request) -> Response:
        return Response(self.service.render_metrics(), media_type="text/plain; version=0.0.4")

    async def _openapi_doc(self, request: Request) -> Response:
        return Response(self._openapi, media_type="application/json")

    async def _health(self, request: Request) -> Response:
        failure = self.service.commit.failure
        if failure is not None:
            return _json({"status": "failing", "error": f"the write-ahead log failed: {failure}"}, 503)
        return _json({"status": "ok"})
