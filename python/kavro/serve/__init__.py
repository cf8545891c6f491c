"""The learner service: learning and predicting over HTTP, with nothing acknowledged ever lost.

``App`` is the ASGI application (needs ``pip install 'kavro[serve]'``: Starlette and uvicorn);
``kavro serve`` runs it under uvicorn. Modules: ``app`` (routes, token, body limit), ``service``
(the operations and the single writer), ``events`` (request checking), ``wal`` (the write-ahead
log and its group commit), ``state`` (state folder, checkpoints, recovery), ``models`` (one
model or one per key), ``pending`` (predictions waiting for labels), ``metrics`` (Prometheus
text), ``openapi`` (the API description) and ``cli`` (the subcommand).
"""

from __future__ import annotations

from typing import Any

from kavro.serve.events import RequestError
from kavro.serve.state import StateError
from kavro.serve.wal import LogCorruptError

__all__ = ["App", "StateError", "LogCorruptError", "RequestError"]


def __getattr__(name: str) -> Any:
    # The HTTP side needs the optional dependencies; the rest (and the CLI's parser) does not.
    if name == "App":
        try:
            from kavro.serve.app import App
        except ImportError as exc:
            raise ImportError(f"kavro.serve.App needs Starlette ({exc.name or exc}): "
                              "pip install 'kavro[serve]'") from exc
        return App
    raise AttributeError(f"module 'kavro.serve' has no attribute {name!r}")
