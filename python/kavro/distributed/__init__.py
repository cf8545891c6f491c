"""Scaling out on Ray: keyed models spread over actors, evaluation grids as tasks.

Needs Ray and NumPy (``pip install 'kavro[distributed]'``). Code that runs here runs unchanged on
a laptop (``ray.init()``) and on a cluster (``ray.init(address=...)``).
"""

from __future__ import annotations

try:
    import ray  # noqa: F401
except ImportError as _exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "kavro.distributed needs Ray, which is not installed: pip install 'kavro[distributed]'"
    ) from _exc
try:
    import numpy  # noqa: F401
except ImportError as _exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "kavro.distributed needs NumPy, which is not installed: pip install 'kavro[distributed]'"
    ) from _exc

from kavro.distributed._shard import shard_of
from kavro.distributed.grid import evaluate_many, to_frame
from kavro.distributed.keyed import KeyedModels, ShardLostError

__all__ = ["KeyedModels", "ShardLostError", "evaluate_many", "to_frame", "shard_of"]
