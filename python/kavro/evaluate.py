"""Prequential (test-then-train) evaluation.

Each example is first predicted, the prediction scored by every metric, and only then learnt, so
every score is measured on examples the model had not seen yet.
"""

from __future__ import annotations

import inspect
import itertools
import math
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from kavro._blocks import BLOCK_ROWS, row_records

__all__ = ["progressive_val_score", "Evaluation", "metric_name", "plot_checkpoints"]


def _update_parameter_names(metric: Any) -> list[str]:
    update = type(metric).update
    try:
        return list(inspect.signature(update).parameters)[1:]
    except (TypeError, ValueError):
        pass
    # pybind11 methods carry their signature in the docstring only.
    from kavro._registry import parse_signature

    return [p.name for p in parse_signature(update.__doc__, "update")]


def _updater(metric: Any) -> Callable[[Any, Any], None]:
    """``f(y_true, y_pred)`` feeding one metric, whatever its argument order."""
    names = _update_parameter_names(metric)
    update: Callable[[Any, Any], None] = metric.update
    if names[:2] == ["predicted", "actual"]:
        return lambda y_true, y_pred: update(y_pred, y_true)
    return update  # (y_true, y_pred), positionally


def metric_name(metric: Any) -> str:
    """Display name of a metric object: its class name."""
    return type(metric).__name__


class Evaluation:
    """Result of ``progressive_val_score``: checkpoint rows and run totals.

    ``rows`` is a list of dicts, one per checkpoint, with the keys ``step`` (examples seen), one key
    per metric (its ``get()`` value), ``elapsed`` (seconds since the start) and ``throughput``
    (examples per second over the whole run so far).
    """

    def __init__(self, model: Any, metric_names: list[str]) -> None:
        self.model = model
        self.metric_names = metric_names
        self.rows: list[dict[str, Any]] = []
        self.n = 0
        self.elapsed = 0.0

    @property
    def final(self) -> dict[str, Any]:
        """The last checkpoint row (an empty dict when the stream was empty)."""
        return self.rows[-1] if self.rows else {}

    @property
    def throughput(self) -> float:
        return self.n / self.elapsed if self.elapsed > 0 else 0.0

    def to_dataframe(self) -> Any:
        """The rows as a pandas DataFrame (needs pandas)."""
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        return pd.DataFrame(self.rows)

    def __repr__(self) -> str:
        scores = ", ".join(f"{k}={self.final.get(k, float('nan')):.6g}" for k in self.metric_names)
        return f"Evaluation(n={self.n}, {scores}, elapsed={self.elapsed:.3f}s)"


def _progress_bar(total: int | None, desc: str, enabled: bool | None) -> Any:
    if enabled is False:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        if enabled:
            print("kavro: tqdm is not installed; running without a progress bar", file=sys.stderr)
        return None
    if enabled is None and not sys.stderr.isatty():
        return None
    return tqdm(total=total, desc=desc, unit="ex", mininterval=0.5, leave=False)


def _length(stream: Any) -> int | None:
    try:
        return len(stream)
    except TypeError:
        return None


def progressive_val_score(
    stream: Iterable[tuple[dict[str, float], Any]],
    model: Any,
    metrics: Any,
    *,
    every: int = 1000,
    n: int | None = None,
    progress: bool | None = None,
    plot: str | None = None,
    description: str | None = None,
    on_checkpoint: Callable[[dict[str, Any]], None] | None = None,
) -> Evaluation:
    """Test-then-train ``model`` over ``stream``, scoring with ``metrics``.

    ``metrics`` is one metric or a sequence of them: objects with ``update(y_true, y_pred)`` (or
    ``WindowMetric``'s ``update(predicted, actual)``) and ``get()``. A checkpoint row is taken every
    ``every`` examples and after the last one; ``n`` stops after that many examples. ``progress``
    shows a tqdm bar (``None``: only when stderr is a terminal; needs tqdm, runs without it).
    ``plot`` writes the checkpoints to that PNG file (needs matplotlib). ``on_checkpoint`` is called
    with each row as it is taken.
    """
    if every < 1:
        raise ValueError(f"every must be at least 1, got {every}")
    if n is not None and n < 0:
        raise ValueError(f"n must be at least 0, got {n}")
    metric_list: list[Any] = list(metrics) if isinstance(metrics, (list, tuple)) else [metrics]
    names = _unique_names([metric_name(m) for m in metric_list])
    updaters = [_updater(m) for m in metric_list]
    getters = [m.get for m in metric_list]
    result = Evaluation(model, names)

    total = n if n is not None else _length(stream)
    if n is not None and total is not None:
        total = min(total, n)
    examples: Iterable[tuple[dict[str, float], Any]] = stream if n is None else itertools.islice(stream, n)
    bar = _progress_bar(total, description or type(model).__name__, progress)
    predict, learn = model.predict_one, model.learn_one

    def checkpoint(step: int, start: float) -> None:
        elapsed = time.perf_counter() - start
        row: dict[str, Any] = {"step": step}
        for name, get in zip(names, getters):
            row[name] = get()
        row["elapsed"] = elapsed
        row["throughput"] = step / elapsed if elapsed > 0 else 0.0
        result.rows.append(row)
        if bar is not None:
            bar.set_postfix({k: f"{row[k]:.4f}" for k in names[:3]}, refresh=False)
        if on_checkpoint is not None:
            if bar is not None:  # keep the bar intact around whatever the callback prints
                with bar.external_write_mode():
                    on_checkpoint(row)
            else:
                on_checkpoint(row)

    # The loop tests one modulus per example; bar updates and checkpoints happen on ticks.
    tick = math.gcd(every, 1000) if bar is not None else every
    step = 0
    native = _native_plan(stream, model, metric_list) if n != 0 else None
    start = time.perf_counter()
    try:
        if native is not None:
            evaluator, blocks = native
            for X, ys, columns in blocks:
                i, rows = 0, len(X)
                while i < rows and (n is None or step < n):
                    k = min(rows - i, every - step % every)
                    if n is not None:
                        k = min(k, n - step)
                    Xs, yk = X[i:i + k], ys[i:i + k]
                    if evaluator.run(Xs, yk, columns):
                        step += k
                    else:  # targets the learner does not take as they are: its own errors
                        for x, y in zip(row_records(Xs, columns), yk.tolist()):
                            y_pred = predict(x)
                            for update in updaters:
                                update(y, y_pred)
                            learn(x, y)
                            step += 1
                    i += k
                    if bar is not None:
                        bar.update(k)
                    if step % every == 0:
                        checkpoint(step, start)
                if n is not None and step >= n:
                    break
            if step % every != 0:
                checkpoint(step, start)
            examples = ()
        for x, y in examples:
            y_pred = predict(x)
            for update in updaters:
                update(y, y_pred)
            learn(x, y)
            step += 1
            if step % tick == 0:
                if bar is not None:
                    bar.update(tick)
                if step % every == 0:
                    checkpoint(step, start)
        if native is None:
            if step % every != 0:
                checkpoint(step, start)
            if bar is not None:
                bar.update(step % tick)
    finally:
        result.n = step
        result.elapsed = time.perf_counter() - start
        if bar is not None:
            bar.close()
    if plot is not None:
        plot_checkpoints({type(model).__name__: result}, plot)
    return result


def _native_plan(stream: Any, model: Any, metrics: list[Any]) -> tuple[Any, Any] | None:
    """The native evaluator and the stream's blocks, when both exist: a core model, core
    metrics (not subclasses, whose Python methods the native loop would bypass) and a stream
    that hands over blocks of rows. None otherwise (the Python loop runs)."""
    chunks = getattr(stream, "chunks", None)
    if chunks is None or any(type(o).__module__ != "_kavro_core" for o in (model, *metrics)):
        return None
    try:
        from kavro import _native

        evaluator = _native.Prequential(model, metrics)
        blocks = chunks(BLOCK_ROWS)
    except (ImportError, AttributeError, TypeError):
        return None
    return evaluator, blocks


def _unique_names(names: Sequence[str]) -> list[str]:
    seen: dict[str, int] = {}
    out = []
    for name in names:
        seen[name] = seen.get(name, 0) + 1
        out.append(name if seen[name] == 1 else f"{name}_{seen[name]}")
    return out


def plot_checkpoints(results: dict[str, Evaluation], path: str, title: str | None = None) -> None:
    """Write a PNG with one panel per metric, one line per evaluation (needs matplotlib)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'kavro[plot]'") from None
    metric_names: list[str] = []
    for res in results.values():
        metric_names.extend(m for m in res.metric_names if m not in metric_names)
    fig, axes = plt.subplots(len(metric_names) or 1, 1, figsize=(7, 2.6 * max(len(metric_names), 1)),
                             sharex=True, squeeze=False)
    for ax, metric in zip(axes[:, 0], metric_names):
        for label, res in results.items():
            if metric in res.metric_names and res.rows:
                ax.plot([r["step"] for r in res.rows], [r[metric] for r in res.rows], label=label,
                        marker="." if len(res.rows) < 50 else None)
        ax.set_ylabel(metric)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="best", fontsize="small")
    axes[-1, 0].set_xlabel("examples")
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
