"""Evaluation grids: one Ray task per ``progressive_val_score`` job."""

from __future__ import annotations

import inspect
import pickle
from collections.abc import Iterable, Sequence
from typing import Any

import ray

from kavro.evaluate import Evaluation, progressive_val_score

__all__ = ["evaluate_many", "to_frame"]

_PARTS = ("model", "stream", "metrics")
_REQUIRED = ("model", "stream")
_OPTIONS = [name for name, p in inspect.signature(progressive_val_score).parameters.items()
            if p.kind is inspect.Parameter.KEYWORD_ONLY]


def _build(value: Any) -> Any:
    """The object itself, or what a zero-argument callable (a class, a function) builds."""
    return value() if callable(value) else value


def _run(job: dict[str, Any]) -> Evaluation:
    options = {k: v for k, v in job.items() if k not in _PARTS}
    options.setdefault("progress", False)
    result = progressive_val_score(_build(job["stream"]), _build(job["model"]), _build(job.get("metrics")),
                                   **options)
    try:
        pickle.dumps(result.model)
    except (TypeError, pickle.PicklingError):
        result.model = None  # no saved form in this build: it cannot travel back
    return result


_remote_run: Any = None


def _check(jobs: Sequence[Any]) -> None:
    for i, job in enumerate(jobs):
        if not isinstance(job, dict):
            raise TypeError(f"job {i} is a {type(job).__name__}, not a dict")
        missing = [k for k in _REQUIRED if k not in job]
        if missing:
            raise ValueError(f"job {i} has no {', '.join(missing)}")
        unknown = [k for k in job if k not in _PARTS and k not in _OPTIONS]
        if unknown:
            raise ValueError(f"job {i}: {', '.join(map(repr, unknown))} is not an option of "
                             f"progressive_val_score (options: {', '.join(_OPTIONS)})")


def _unsendable(job: dict[str, Any]) -> str:
    """Which part of a job does not serialise, and why, in one line."""
    from ray import cloudpickle

    for name, value in job.items():
        try:
            cloudpickle.dumps(value)  # type: ignore[no-untyped-call]
        except Exception as exc:
            reason = str(exc).splitlines()[0][:200] if str(exc) else type(exc).__name__
            hint = " (give it as a zero-argument callable that builds it there)" if name in _PARTS else ""
            return f"its {name} cannot be serialised: {reason}{hint}"
    return "it cannot be serialised"


def evaluate_many(jobs: Iterable[dict[str, Any]], *, workers: int | None = None,
                  num_cpus: float = 1) -> list[Evaluation]:
    """Runs every job as one Ray task and returns their ``Evaluation`` objects in job order.

    A job is a dict with ``model``, ``stream`` and optionally ``metrics`` (default: those of
    ``progressive_val_score``), each the object itself or a zero-argument callable that builds it
    on the worker (a generated stream is then generated there), plus any keyword options of ``progressive_val_score`` (``every``, ``n``, ...). The
    checkpoint rows equal those of running the job in this process, apart from the timings
    (``elapsed``, ``throughput``). ``Evaluation.model`` is the model the worker trained (the
    objects given here are never changed), or None where the model has no saved form.
    ``workers`` caps the tasks running at once (default: as many as Ray can place);
    ``num_cpus`` is what each task asks of Ray.
    """
    global _remote_run
    job_list = list(jobs)
    _check(job_list)
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a positive int or None, got {workers!r}")
    if not job_list:
        return []
    if not ray.is_initialized():
        ray.init()
    if _remote_run is None:
        _remote_run = ray.remote(_run)
    task = _remote_run.options(num_cpus=num_cpus, max_retries=0)
    refs: list[Any] = []
    for i, job in enumerate(job_list):
        try:
            ref = ray.put(job)
        except Exception:
            raise TypeError(f"job {i} cannot be sent to a worker: {_unsendable(job)}") from None
        refs.append(ref)
    limit = len(refs) if workers is None else workers
    pending: dict[Any, int] = {}
    results: list[Evaluation | None] = [None] * len(refs)
    next_job = 0
    try:
        while next_job < len(refs) or pending:
            while next_job < len(refs) and len(pending) < limit:
                pending[task.remote(refs[next_job])] = next_job
                next_job += 1
            ready, _ = ray.wait(list(pending), num_returns=1)
            for ref in ready:
                index = pending.pop(ref)
                try:
                    results[index] = ray.get(ref)  # type: ignore[assignment]
                except ray.exceptions.RayTaskError as exc:
                    cause = getattr(exc, "cause", None)
                    if not isinstance(cause, Exception):
                        raise
                    try:
                        renamed = type(cause)(f"job {index}: {cause}")
                    except Exception:
                        raise cause from None
                    raise renamed from None
    finally:
        for ref in pending:
            ray.cancel(ref)
    return results  # type: ignore[return-value]


def to_frame(results: Sequence[Evaluation], names: Sequence[Any] | None = None) -> Any:
    """One pandas DataFrame of every checkpoint row, with a ``job`` column first (the job's
    position, or its entry in ``names``) and a ``model`` column (the model's class name). Needs
    pandas (``pip install 'kavro[distributed]'`` brings it)."""
    try:
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError("kavro.distributed.to_frame() needs pandas: pip install 'kavro[distributed]'") from None

    if names is not None and len(names) != len(results):
        raise ValueError(f"{len(names)} names for {len(results)} results")
    rows = []
    columns: list[str] = ["job", "model"]
    for i, res in enumerate(results):
        job = i if names is None else names[i]
        model = type(res.model).__name__ if res.model is not None else None
        for row in res.rows:
            rows.append({"job": job, "model": model, **row})
            columns.extend(c for c in row if c not in columns)
    return pd.DataFrame(rows, columns=columns)
