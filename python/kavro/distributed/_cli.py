"""``kavro evaluate --jobs N`` / ``--ray ADDRESS``: the model comparison as Ray tasks."""

from __future__ import annotations

import argparse
import logging
import os
from typing import Any

import ray

from kavro.distributed.grid import evaluate_many
from kavro.evaluate import Evaluation


class _Model:
    """Builds model ``index`` of the command line on the worker."""

    def __init__(self, args: argparse.Namespace, index: int) -> None:
        self.args, self.index = args, index

    def __call__(self) -> Any:
        from kavro.cli import _make_models

        return _make_models(self.args)[self.index][1]


class _Stream:
    def __init__(self, args: argparse.Namespace, kind: str) -> None:
        self.args, self.kind = args, kind

    def __call__(self) -> Any:
        from kavro.cli import _make_models, _make_stream

        return _make_stream(self.args, self.kind, _make_models(self.args)[0][0])[0]


class _Metrics:
    def __init__(self, specs: list[str], kind: str) -> None:
        self.specs, self.kind = specs, kind

    def __call__(self) -> list[Any]:
        from kavro.cli import build_metric

        return [build_metric(spec, self.kind) for spec in self.specs]


def evaluate_models(args: argparse.Namespace, n_models: int, kind: str, metric_specs: list[str],
                    n: int | None) -> list[Evaluation]:
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
    jobs = [{"model": _Model(args, i), "stream": _Stream(args, kind), "metrics": _Metrics(metric_specs, kind),
             "every": args.every, "n": n} for i in range(n_models)]
    return evaluate_many(jobs, workers=args.jobs)
