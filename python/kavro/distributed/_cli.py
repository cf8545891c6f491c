"""``kavro evaluate --jobs N`` / ``--ray ADDRESS``: the model comparison as Ray tasks.

The command line hands over the functions that build its objects (``Builders``), so this module
does not import it; the workers unpickle them by name.
"""

from __future__ import annotations

import argparse
import logging
import os
from collections.abc import Callable
from typing import Any, NamedTuple

import ray

from kavro.distributed.grid import evaluate_many
from kavro.evaluate import Evaluation


class Builders(NamedTuple):
    """The command line's builders: models (names and objects), the stream, one metric."""

    models: Callable[[argparse.Namespace], Any]
    stream: Callable[..., Any]
    metric: Callable[[str, str], Any]


class _Model:
    """Builds model ``index`` of the command line on the worker."""

    def __init__(self, args: argparse.Namespace, index: int, build: Builders) -> None:
        self.args, self.index, self.build = args, index, build

    def __call__(self) -> Any:
        return self.build.models(self.args)[self.index][1]


class _Stream:
    def __init__(self, args: argparse.Namespace, kind: str, build: Builders) -> None:
        self.args, self.kind, self.build = args, kind, build

    def __call__(self) -> Any:
        return self.build.stream(self.args, self.kind, self.build.models(self.args)[0][0])[0]


class _Metrics:
    def __init__(self, specs: list[str], kind: str, build: Builders) -> None:
        self.specs, self.kind, self.build = specs, kind, build

    def __call__(self) -> list[Any]:
        return [self.build.metric(spec, self.kind) for spec in self.specs]


def evaluate_models(args: argparse.Namespace, n_models: int, kind: str, metric_specs: list[str],
                    n: int | None, build: Builders) -> list[Evaluation]:
    """One task per ``--model``, everything built on the workers; results in model order."""
    if not ray.is_initialized():
        quiet: dict[str, Any] = {}
        if not getattr(args, "ray_logs", False):  # Ray's INFO and WARNING lines are not for CLI users
            quiet = {"logging_level": logging.ERROR, "log_to_driver": False}
            os.environ.setdefault("RAY_ACCEL_ENV_VAR_OVERRIDE_ON_ZERO", "0")
            logging.getLogger("ray").setLevel(logging.ERROR)
        if args.ray is not None:
            ray.init(address=args.ray, **quiet)
        else:
            ray.init(num_cpus=args.jobs, include_dashboard=False, **quiet)
    jobs = [{"model": _Model(args, i, build), "stream": _Stream(args, kind, build),
             "metrics": _Metrics(metric_specs, kind, build),
             "every": args.every, "n": n} for i in range(n_models)]
    return evaluate_many(jobs, workers=args.jobs)
