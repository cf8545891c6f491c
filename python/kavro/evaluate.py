"""Prequential (test-then-train) evaluation.

Each example is first predicted, the prediction scored by every metric, and only then learnt, so
every score is measured on examples the model had not seen yet. With a delay, the label of an
example arrives later: it is predicted on arrival, and scored and learnt when its label arrives.
"""

from __future__ import annotations

import collections
import copy
import importlib.util
import inspect
import itertools
import math
import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
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


def _input_kind(metric: Any) -> str:
    """What a measure is fed: 'label' (a predicted label or value), 'proba' (the dict of
    ``predict_proba_one``) or 'score' (the probability of its ``pos_label``)."""
    kind = getattr(metric, "input", "label")
    return kind if kind in ("label", "proba", "score") else "label"


def _feeder(metric: Any, pairs: bool) -> Callable[[Any, Any], None]:
    """``f(y_true, prediction)`` feeding one measure. With ``pairs`` a prediction is the pair
    ``(predict_one(x), predict_proba_one(x))`` (either None when no measure needs it); else it
    is what ``predict_one`` returned."""
    update = _updater(metric)
    if not pairs:
        return update
    kind = _input_kind(metric)
    if kind == "label":
        return lambda y_true, pred: update(y_true, pred[0])
    if kind == "proba":
        return lambda y_true, pred: update(y_true, pred[1])
    pos_label = getattr(metric, "pos_label", 1)
    return lambda y_true, pred: update(y_true, pred[1].get(pos_label, 0.0))


def _predictor(model: Any, metrics: list[Any]) -> tuple[Callable[[Any], Any], bool]:
    """The prediction function the measures need and whether it returns pairs (see _feeder)."""
    kinds = [_input_kind(m) for m in metrics]
    if all(k == "label" for k in kinds):
        return model.predict_one, False
    predict_proba = getattr(model, "predict_proba_one", None)
    if not callable(predict_proba):
        wanting = ", ".join(metric_name(m) for m, k in zip(metrics, kinds) if k != "label")
        raise TypeError(f"{wanting} score probabilities, but {type(model).__name__} has no predict_proba_one")
    if "label" not in kinds:
        return lambda x: (None, predict_proba(x)), True
    predict_one = model.predict_one
    return lambda x: (predict_one(x), predict_proba(x)), True


def metric_name(metric: Any) -> str:
    """Display name of a metric object: its class name."""
    return type(metric).__name__


class Evaluation:
    """Result of ``progressive_val_score``: checkpoint rows and run totals.

    ``rows`` is a list of dicts, one per checkpoint, with the keys ``step`` (examples seen), with a
    delay ``scored`` (examples scored and learnt so far), one key per metric (its ``get()`` value,
    or None while nothing has been scored), with a window one key per metric over the last
    ``window`` scored examples (``"Accuracy (last 500)"``), then ``elapsed`` (seconds since the
    start) and ``throughput`` (examples per second over the whole run so far). ``columns`` lists
    the keys.
    """

    def __init__(self, model: Any, metric_names: list[str], window_names: list[str] | None = None,
                 *, delay: int = 0, window: int | None = None) -> None:
        self.model = model
        self.metric_names = metric_names
        self.window_names = window_names or []
        self.delay = delay
        self.window = window
        self.rows: list[dict[str, Any]] = []
        self.n = 0
        self.elapsed = 0.0
        self.drifts: list[tuple[float, float]] = []

    @property
    def columns(self) -> list[str]:
        """Keys of every row, in order (also when there is no row)."""
        scored = ["scored"] if self.delay else []
        return ["step", *scored, *self.metric_names, *self.window_names, "elapsed", "throughput"]

    @property
    def final(self) -> dict[str, Any]:
        """The last checkpoint row (an empty dict when the stream was empty)."""
        return self.rows[-1] if self.rows else {}

    @property
    def throughput(self) -> float:
        return self.n / self.elapsed if self.elapsed > 0 else 0.0

    def to_dataframe(self) -> Any:
        """The rows as a pandas DataFrame (needs pandas: ``pip install 'kavro[dataframe]'``)."""
        try:
            import pandas as pd  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            raise ImportError("Evaluation.to_dataframe() needs pandas: pip install 'kavro[dataframe]'") from None

        return pd.DataFrame(self.rows, columns=self.columns)

    def __repr__(self) -> str:
        parts = [f"n={self.n}"]
        for k in self.metric_names:
            value = self.final.get(k)
            parts.append(f"{k}={value:.6g}" if value is not None else f"{k}=None")
        parts.append(f"elapsed={self.elapsed:.3f}s")
        return f"Evaluation({', '.join(parts)})"


def _progress_bar(enabled: bool | None, stream: Any, n: int | None, desc: str) -> Any:
    """A tqdm bar, or None when disabled, not wanted (stderr not a terminal) or tqdm is missing."""
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
    total = stream_length(stream)
    if n is not None:
        total = n if total is None else min(total, n)
    return tqdm(total=total, desc=desc, unit="ex", mininterval=0.5, leave=False)


def stream_length(stream: Any) -> int | None:
    """Number of examples of a stream when it is known without consuming it, else None.

    Sized streams (lists, arrays, generators with ``n_samples``, the packaged datasets) give their
    length; a CSV stream counts its rows (one quick pass over the file).
    """
    try:
        return len(stream)
    except TypeError:
        pass
    count = getattr(stream, "count_rows", None)
    path = getattr(stream, "path", None)
    if getattr(stream, "file", None) is not None:
        return None  # a file object is read once, by the evaluation
    if isinstance(path, str) and not os.path.isfile(path):
        return None  # a pipe or FIFO is read once, by the evaluation
    if callable(count):
        try:
            return int(count())
        except (OSError, ValueError):
            return None
    return None


PLOT_FORMATS = (".png", ".svg", ".pdf")


def check_plot_path(path: str | os.PathLike[str]) -> None:
    """Refuse a plot path before any work: a known image extension, an existing folder, matplotlib."""
    text = os.fspath(path)
    ext = os.path.splitext(text)[1].lower()
    if ext not in PLOT_FORMATS:
        raise ValueError(f"cannot write a plot to {text!r}: the file name must end in "
                         f"{', '.join(PLOT_FORMATS[:-1])} or {PLOT_FORMATS[-1]}")
    folder = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(folder):
        raise ValueError(f"cannot write a plot to {text!r}: no folder {folder!r}")
    if not os.access(folder, os.W_OK):
        raise ValueError(f"cannot write a plot to {text!r}: the folder {folder!r} is not writable")
    if os.path.isdir(text):
        raise ValueError(f"cannot write a plot to {text!r}: it is a folder")
    if importlib.util.find_spec("matplotlib") is None:
        raise ImportError("plotting needs matplotlib: pip install 'kavro[plot]'")


def _model_kind(model: Any) -> str | None:
    import _kavro_core

    if isinstance(model, _kavro_core.IClassifier):
        return "classifier"
    if isinstance(model, _kavro_core.IRegressor):
        return "regressor"
    if _is_anomaly(model):
        return "anomaly"
    return None


def _is_anomaly(model: Any) -> bool:
    from kavro import _native

    return isinstance(model, _native.IAnomalyDetector)


def _score_updater(metric: Any) -> Callable[[Any, Any], None]:
    """``f(y_true, score)`` feeding one measure of anomaly scores: its ``update_score``, or the
    ``update`` of a measure of scores (which takes a real score)."""
    update: Callable[[Any, Any], None] | None = getattr(metric, "update_score", None)
    if callable(update):
        return update
    if _input_kind(metric) == "label" or not hasattr(metric, "pos_label"):
        raise TypeError(f"{type(metric).__name__} does not take anomaly scores (it has no update_score and "
                        "is no measure of scores); measure a detector "
                        "with ROCAUC, RollingROCAUC or PRAUC")
    plain: Callable[[Any, Any], None] = metric.update
    return plain


def default_metrics(model: Any) -> list[Any]:
    """Accuracy for a classifier, MAE and RMSE for a regressor."""
    import _kavro_core

    kind = _model_kind(model)
    if kind == "classifier":
        return [_kavro_core.Accuracy()]
    if kind == "regressor":
        return [_kavro_core.MAE(), _kavro_core.RMSE()]
    if kind == "anomaly":
        from kavro._registry import lookup

        roc_auc = lookup("ROCAUC")
        if roc_auc is None:
            raise TypeError("metrics=None measures an anomaly detector with ROCAUC, which this build "
                            "lacks; pass measures with update_score(y_true, score) and get()")
        return [roc_auc()]
    raise TypeError(f"metrics=None picks metrics for kavro classifiers and regressors only; "
                    f"pass the metrics for a {type(model).__name__}")


def _metric_list(metrics: Any, model: Any) -> list[Any]:
    if metrics is None:
        return default_metrics(model)
    metric_list = list(metrics) if isinstance(metrics, (list, tuple)) else [metrics]
    method = "update_score" if _is_anomaly(model) else "update"
    for m in metric_list:
        if isinstance(m, type):
            raise TypeError(f"metrics must be metric objects, not classes: write {m.__name__}() "
                            f"instead of {m.__name__}")
        if method == "update_score" and callable(getattr(m, "get", None)):
            _score_updater(m)
        elif not (callable(getattr(m, "update", None)) and callable(getattr(m, "get", None))):
            raise TypeError(f"a metric needs update() and get() methods; got {type(m).__name__} {m!r}")
    return metric_list


def _fresh_factory(metric: Any) -> Callable[[], Any]:
    """A function returning a fresh metric configured like ``metric`` (for the rolling view)."""
    cls = type(metric)
    if cls.__module__ == "_kavro_core":
        from kavro._registry import constructor_params

        kwargs = {p.name: getattr(metric, p.name) for p in constructor_params(cls) if hasattr(metric, p.name)}
        return lambda: cls(**kwargs)
    try:
        template = copy.deepcopy(metric)
        return lambda: copy.deepcopy(template)
    except Exception:  # noqa: BLE001 - any failure to copy means: build one instead
        pass
    try:
        cls()
    except Exception as exc:  # noqa: BLE001
        raise TypeError(f"window needs metrics that can be copied or built as {cls.__name__}(): {exc}") from None
    return cls


def _check_target(y: Any, step: int) -> None:
    """A missing target (None, NaN) would spoil the model for good: refuse it before learning."""
    if y is None or (isinstance(y, float) and y != y):
        raise ValueError(f"example {step + 1} has a missing target ({y!r}); every example needs one")


def _check_targets(model: Any, y: Any, stream: Any = None) -> None:
    """A classifier fed real-valued targets would make one class per distinct value, and a regressor
    fed text labels would regress on their codes: refuse both."""
    classes = getattr(stream, "classes", None)
    if classes and _model_kind(model) == "regressor":
        target = getattr(stream, "target", None)
        column = f"the target column {target!r}" if target is not None else "the target"
        first = next(iter(classes))
        raise ValueError(
            f"{type(model).__name__} is a regressor but {column} holds text labels (first: {first!r}), "
            "read as class codes 0, 1, ...: use a classifier, or a column of numbers"
        )
    if isinstance(y, float) and _model_kind(model) == "classifier":
        raise ValueError(
            f"{type(model).__name__} is a classifier but the targets are real numbers (first target: {y!r}): "
            "use a regressor, or read the targets as class labels (target_type='class' in iter_csv or "
            "iter_pandas; --target-type class on the command line)"
        )


def _check_arguments(stream: Any, every: int, n: int | None, delay: int, window: int | None,
                     n_jobs: int, plot: str | None) -> None:
    """The arguments of ``progressive_val_score`` that need no model or metric, checked."""
    if isinstance(stream, (str, bytes, os.PathLike)):
        raise TypeError(f"stream must yield (x, y) pairs, not be a path: read the file with "
                        f"kavro.stream.iter_csv({os.fsdecode(stream)!r}, target='COLUMN')")
    if every < 1:
        raise ValueError(f"every must be at least 1, got {every}")
    if n is not None and n < 0:
        raise ValueError(f"n must be at least 0, got {n}")
    if delay < 0:
        raise ValueError(f"delay must be at least 0, got {delay}")
    if window is not None and window < 1:
        raise ValueError(f"window must be at least 1, got {window}")
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, int) or (n_jobs < 1 and n_jobs != -1):
        raise ValueError(f"n_jobs must be a positive int or -1, got {n_jobs!r}")
    if plot is not None:
        check_plot_path(plot)


class _Checkpoints:
    """Takes the checkpoint rows of one evaluation: measures (None while nothing is scored), the
    measures over the last examples, timing; then the progress bar's figures and the callback."""

    def __init__(self, result: Evaluation, metrics: list[Any], names: list[str], window_names: list[str],
                 fresh: list[Callable[[], Any]], make_updater: Callable[[Any], Callable[[Any, Any], None]],
                 recent: collections.deque[tuple[Any, Any]], bar: Any,
                 on_checkpoint: Callable[[dict[str, Any]], None] | None) -> None:
        self.result, self.names, self.window_names = result, names, window_names
        self.getters = [m.get for m in metrics]
        self.fresh, self.make_updater, self.recent = fresh, make_updater, recent
        self.bar, self.on_checkpoint = bar, on_checkpoint

    def take(self, step: int, start: float, window_of: Callable[[list[Any]], None] | None) -> None:
        """The row after ``step`` examples; ``window_of`` fills a measure with the last examples
        the native loop keeps (None: they are in ``recent``)."""
        elapsed = time.perf_counter() - start
        delay = self.result.delay
        row: dict[str, Any] = {"step": step}
        scored = max(0, step - delay)  # examples scored and learnt: the last `delay` labels are late
        if delay:
            row["scored"] = scored
        for name, get in zip(self.names, self.getters):
            row[name] = get() if scored else None  # a measure of nothing is missing, not 0
        for wname, make in zip(self.window_names, self.fresh):
            view = make()
            if window_of is not None:
                window_of([view])
            else:
                update = self.make_updater(view)
                for y_true, y_pred in self.recent:
                    update(y_true, y_pred)
            row[wname] = view.get() if scored else None
        row["elapsed"] = elapsed
        row["throughput"] = step / elapsed if elapsed > 0 else 0.0
        self.result.rows.append(row)
        bar = self.bar
        if bar is not None:
            bar.set_postfix({k: f"{row[k]:.4f}" for k in self.names[:3] if row[k] is not None}, refresh=False)
        if self.on_checkpoint is not None:
            if bar is not None:  # keep the bar intact around whatever the callback prints
                with bar.external_write_mode():
                    self.on_checkpoint(row)
            else:
                self.on_checkpoint(row)


def progressive_val_score(
    stream: Iterable[tuple[dict[str, float], Any]],
    model: Any,
    metrics: Any = None,
    *,
    every: int = 1000,
    n: int | None = None,
    delay: int = 0,
    window: int | None = None,
    progress: bool | None = None,
    plot: str | None = None,
    description: str | None = None,
    on_checkpoint: Callable[[dict[str, Any]], None] | None = None,
    n_jobs: int = 1,
) -> Evaluation:
    """Test-then-train ``model`` over ``stream``, scoring with ``metrics``.

    ``stream`` yields ``(x, y)`` pairs (a generator, ``iter_csv(...)``, a list, ...). ``metrics``
    is one metric or a sequence of them: objects with ``update(y_true, y_pred)`` (or
    ``WindowMetric``'s ``update(predicted, actual)``) and ``get()``; ``None`` picks Accuracy for a
    classifier, MAE and RMSE for a regressor. A measure whose ``input`` is ``"proba"`` (``ROCAUC``,
    ``RollingROCAUC``, ``PRAUC``, ``LogLoss``) is fed the model's ``predict_proba_one(x)``, one
    whose ``input`` is ``"score"`` the probability of its ``pos_label`` (0 when absent).

    A checkpoint row is taken every ``every`` examples and after the last one; ``n`` stops after
    that many examples. ``delay=N`` holds each label back for N examples: an example is predicted
    on arrival, and scored and learnt when its label arrives, N examples later (the labels of the
    last N examples arrive after the stream ends, so those are never scored nor learnt).
    ``window=N`` adds to every row each metric over the last N scored examples.

    An anomaly detector (``kavro.anomaly``) is evaluated the same way: each example is scored
    (``score_one``), every measure is updated with ``update_score(y, score)`` (the labels only
    measure), then the detector learns ``x``; ``metrics=None`` picks ``ROCAUC``.

    ``progress`` shows a tqdm bar (``None``: only when stderr is a terminal; needs tqdm, runs
    without it), with a total when the stream's length is known. ``plot`` writes the checkpoints
    to that image file (``.png``, ``.svg`` or ``.pdf``; needs matplotlib), marking the drifts of a
    ``ConceptDrift`` stream; the path is checked before the run. ``on_checkpoint`` is called with
    each row as it is taken.

    When the loop runs natively (a kavro model and metrics over an array, DataFrame or CSV
    stream), the members of an ARF, SRP or leveraging-bagging ensemble vote and learn on
    ``n_jobs`` threads (``-1``: every core); every result is the one of ``n_jobs=1``.

    A kavro classifier whose targets are real numbers is refused (it would make one class per
    distinct value), and so is a kavro regressor over a stream whose targets are text labels (it
    would regress on their codes). A missing target (None or NaN) raises ``ValueError`` before that
    example is predicted or learnt. With a delay, a metric that has scored nothing yet reads None.
    """
    _check_arguments(stream, every, n, delay, window, n_jobs, plot)
    metric_list = _metric_list(metrics, model)
    names = _unique_names([metric_name(m) for m in metric_list])
    predict, make_updater = _scoring(model, metric_list)
    updaters = [make_updater(m) for m in metric_list]
    window_names = [f"{name} (last {window})" for name in names] if window else []
    fresh = [_fresh_factory(m) for m in metric_list] if window else []
    result = Evaluation(model, names, window_names, delay=delay, window=window)
    from kavro.datasets import drift_positions

    result.drifts = drift_positions(stream)

    examples: Iterator[tuple[Any, Any]] | None = iter(stream if n is None else itertools.islice(stream, n))
    learn = _learner(model)
    bar = _progress_bar(progress, stream, n, description or type(model).__name__)
    checkpoints = _Checkpoints(result, metric_list, names, window_names, fresh, make_updater,
                               collections.deque(maxlen=window or 1), bar, on_checkpoint)
    native = _native_plan(stream, model, metric_list, n_jobs, delay, window) if n != 0 else None
    run = _Run(model, stream, predict, learn, updaters, checkpoints, every=every, n=n, delay=delay, window=window)
    try:
        if native is not None:
            examples = run.native(*native)  # None: nothing left for the Python loop
        if examples is not None:
            run.python(examples)
        run.finish()
    finally:
        run.close(result, None if native is None else native[1])
    if plot is not None:
        plot_checkpoints({type(model).__name__: result}, plot)
    return result


def _scoring(model: Any,
             metrics: list[Any]) -> tuple[Callable[[Any], Any], Callable[[Any], Callable[[Any, Any], None]]]:
    """The model's prediction function and the maker of a measure's feeder."""
    if _is_anomaly(model):  # a detector is scored, and its measures take (label, score)
        return model.score_one, _score_updater
    predict, pairs = _predictor(model, metrics)
    return predict, lambda m: _feeder(m, pairs)


def _learner(model: Any) -> Callable[[Any, Any], None]:
    """``f(x, y)`` teaching the model one example (an anomaly detector learns x alone)."""
    learn: Callable[[Any, Any], None] = model.learn_one
    if _is_anomaly(model):
        learn_x = model.learn_one
        return lambda x, y: learn_x(x)  # labels only measure
    return learn


class _Run:
    """One evaluation's loops and the state they hand over: the examples seen, those waiting for
    their labels, the last scored pairs, the progress bar and the checkpoint rows."""

    def __init__(self, model: Any, stream: Any, predict: Callable[[Any], Any], learn: Callable[[Any, Any], None],
                 updaters: list[Callable[[Any, Any], None]], checkpoints: _Checkpoints, *, every: int,
                 n: int | None, delay: int, window: int | None) -> None:
        self.model, self.stream = model, stream
        self.predict, self.learn, self.updaters, self.checkpoints = predict, learn, updaters, checkpoints
        self.every, self.n, self.delay, self.window = every, n, delay, window
        self.bar, self.recent = checkpoints.bar, checkpoints.recent
        # The Python loop tests one modulus per example; bar updates and checkpoints happen on ticks.
        self.tick = math.gcd(every, 1000) if self.bar is not None else every
        self.step = 0
        self.shown = 0  # examples the bar counts
        self.pending: collections.deque[tuple[Any, Any, Any]] = collections.deque()
        self.window_of: Callable[[list[Any]], None] | None = None  # the native loop's last pairs
        self.start = time.perf_counter()

    def row(self, step: int) -> None:
        """The checkpoint row after ``step`` examples."""
        self.checkpoints.take(step, self.start, self.window_of)

    def native(self, evaluator: Any, parts: Any) -> Iterator[tuple[Any, Any]] | None:
        """Runs the blocks natively; the records left to the Python loop if the learner refuses some, else None."""
        n, every, bar = self.n, self.every, self.bar
        self.window_of = evaluator.window_into
        for part in parts:
            rows, i = len(part[0]) if isinstance(part, tuple) else len(part), 0
            if self.step == 0 and rows:
                _check_targets(self.model, _first_target(part), self.stream)
            while i < rows and (n is None or self.step < n):
                k = min(rows - i, every - self.step % every)
                if n is not None:
                    k = min(k, n - self.step)
                if not _run_part(evaluator, part, i, k):
                    return self.handover(evaluator, part, i, parts)
                self.step += k
                i += k
                if bar is not None:
                    bar.update(k)
                    self.shown = self.step
                if self.step % every == 0:
                    self.row(self.step)
            if n is not None and self.step >= n:
                break
        return None

    def handover(self, evaluator: Any, part: Any, first: int, parts: Any) -> Iterator[tuple[Any, Any]]:
        """The records from row ``first`` of ``part`` on, the evaluator's waiting examples and last pairs taken over."""
        waiting, kept = evaluator.handover()
        self.pending.extend(waiting)
        self.recent.extend(kept)
        self.window_of = None
        rest = itertools.chain(_part_records(part, first), _records_of(parts))
        return iter(rest if self.n is None else itertools.islice(rest, self.n - self.step))

    def python(self, examples: Iterator[tuple[Any, Any]]) -> None:
        """Test-then-train over ``examples`` one at a time."""
        first = next(examples, None)
        if first is not None:
            if self.step == 0:
                _check_targets(self.model, first[1], self.stream)
            examples = itertools.chain((first,), examples)
        predict, learn, updaters, pending, recent = self.predict, self.learn, self.updaters, self.pending, self.recent
        every, delay, window, tick, bar = self.every, self.delay, self.window, self.tick, self.bar
        step = self.step
        try:
            for x, y in examples:
                _check_target(y, step)
                y_pred = predict(x)
                arrived = True
                if delay:
                    pending.append((dict(x), y, y_pred))
                    if len(pending) > delay:
                        x, y, y_pred = pending.popleft()
                    else:
                        arrived = False  # no label has arrived yet
                if arrived:
                    for update in updaters:
                        update(y, y_pred)
                    if window:
                        recent.append((y, y_pred))
                    learn(x, y)
                step += 1
                if step % tick == 0:
                    if bar is not None:
                        bar.update(step - self.shown)
                        self.shown = step
                    if step % every == 0:
                        self.row(step)
        finally:
            self.step = step

    def finish(self) -> None:
        """The last row unless a checkpoint fell on it, then the examples since the bar's last update."""
        if self.step % self.every != 0:
            self.row(self.step)
        if self.bar is not None and self.step > self.shown:
            self.bar.update(self.step - self.shown)
            self.shown = self.step

    def close(self, result: Evaluation, parts: Any) -> None:
        """Ends the run, also on an error: the totals into ``result``, the bar and the reader closed."""
        result.n = self.step
        result.elapsed = time.perf_counter() - self.start
        if self.bar is not None:
            self.bar.close()
        if hasattr(parts, "close"):
            parts.close()  # stops a reader still reading ahead (n reached, or an error)


# Modules whose objects the native loop runs as they are (a subclass defined in Python is not:
# its own methods would be bypassed).
_NATIVE_MODULES = ("_kavro_core", "kavro._native")


def _native_plan(stream: Any, model: Any, metrics: list[Any], n_jobs: int = 1, delay: int = 0,
                 window: int | None = None) -> tuple[Any, Any] | None:
    """The native evaluator and the stream's blocks, when both exist: a kavro model and measures
    and a stream that hands over blocks of rows. None otherwise (the Python loop runs)."""
    parts = getattr(stream, "_parts", None) or getattr(stream, "chunks", None)
    if parts is None or any(type(o).__module__ not in _NATIVE_MODULES for o in (model, *metrics)):
        return None
    try:
        from kavro import _native

        evaluator = _native.Prequential(model, metrics, n_jobs, delay, window or 0)
        blocks = parts(BLOCK_ROWS)
    except (ImportError, AttributeError, TypeError):
        return None
    return evaluator, blocks


def _first_target(part: Any) -> Any:
    if isinstance(part, tuple):
        return part[1][:1].tolist()[0]
    return part.target(0)


def _run_part(evaluator: Any, part: Any, first: int, count: int) -> bool:
    """Runs rows first ... first + count - 1 of a block natively; False when it cannot."""
    if isinstance(part, tuple):
        X, y, names = part
        return bool(evaluator.run(X[first:first + count], y[first:first + count], names))
    return bool(evaluator.run_block(part.block, first, count, part.names, part.table))


def _part_records(part: Any, first: int) -> Iterable[tuple[dict[str, float], Any]]:
    X, y, names = part if isinstance(part, tuple) else (*part.arrays(), part.names)
    return zip(row_records(X[first:], names), y[first:].tolist())


def _records_of(parts: Iterable[Any]) -> Iterable[tuple[dict[str, float], Any]]:
    for part in parts:
        yield from _part_records(part, 0)


def _unique_names(names: Sequence[str]) -> list[str]:
    seen: dict[str, int] = {}
    out = []
    for name in names:
        seen[name] = seen.get(name, 0) + 1
        out.append(name if seen[name] == 1 else f"{name}_{seen[name]}")
    return out


def plot_checkpoints(results: dict[str, Evaluation], path: str, title: str | None = None,
                     drifts: Sequence[tuple[float, float]] | None = None) -> None:
    """Write an image with one panel per metric, one line per evaluation (needs matplotlib).

    A rolling view (``window``) is drawn dashed in its metric's panel. ``drifts`` are
    ``(position, width)`` pairs marked as vertical lines (and shaded over their width); by default
    those recorded in the results. One legend sits outside the panels, to the right of the first.
    """
    check_plot_path(path)
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'kavro[plot]'") from None
    metric_names: list[str] = []
    for res in results.values():
        metric_names.extend(m for m in res.metric_names if m not in metric_names)
    if drifts is None:
        drifts = next((res.drifts for res in results.values() if res.drifts), [])
    n_panels = max(len(metric_names), 1)
    fig, axes = plt.subplots(n_panels, 1, figsize=(8.5, 2.6 * n_panels + 0.6), sharex=True, squeeze=False)
    colors = plt.rcParams["axes.prop_cycle"].by_key().get("color", ["C0"])
    for ax, metric in zip(axes[:, 0], metric_names):
        for index, (label, res) in enumerate(results.items()):
            if metric not in res.metric_names or not res.rows:
                continue
            color = colors[index % len(colors)]
            steps = [r["step"] for r in res.rows]
            marker = "." if len(res.rows) < 50 else None
            ax.plot(steps, [r[metric] for r in res.rows], label=label, color=color, marker=marker)
            wname = dict(zip(res.metric_names, res.window_names)).get(metric)
            if wname is not None:
                ax.plot(steps, [r[wname] for r in res.rows], label=f"{label}, last {res.window}",
                        color=color, linestyle="--", linewidth=1.0)
        for k, (position, width) in enumerate(drifts):
            ax.axvline(position, color="0.3", linestyle=":", linewidth=1.2,
                       label="drift" if k == 0 else None)
            if width > 0:
                ax.axvspan(position - width / 2, position + width / 2, color="0.5", alpha=0.12, linewidth=0)
        ax.set_ylabel(metric)
        ax.grid(True, alpha=0.3)
    top = axes[0, 0]
    if top.get_legend_handles_labels()[0]:  # one legend, outside the panels
        top.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small", frameon=False)
    axes[-1, 0].set_xlabel("examples seen")
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


# Drift detectors against known drift positions.

from typing import NamedTuple  # noqa: E402

__all__ += ["evaluate_detector", "DetectorEvaluation"]


class DetectorEvaluation(NamedTuple):
    """Result of ``evaluate_detector``: ``detections`` (positions where the detector reported a
    drift), ``delays`` (for each known drift, the position of its first detection less the drift's
    position; ``None`` for a missed drift), ``mean_delay`` (over the drifts found; NaN when none
    was), ``false_alarms`` (detections that found no drift) and ``misses`` (drifts never found)."""

    detections: list[int]
    delays: list[int | None]
    mean_delay: float
    false_alarms: int
    misses: int


def _detector_drifts(detector: Any, values: Sequence[float]) -> list[int]:
    many = getattr(detector, "update_many", None)
    if many is not None:  # the catalogued detectors: one native loop
        return list(many(values))
    update = detector.update
    try:
        import _kavro_core

        if isinstance(detector, _kavro_core.EDDM):  # takes 0/1 outcomes as ints
            update = lambda v, _u=detector.update: _u(int(v))  # noqa: E731
    except ImportError:
        pass
    found = []
    for i, v in enumerate(values):
        update(v)
        if detector.drift_detected:
            found.append(i)
    return found


def evaluate_detector(detector: Any, values: Any, drifts: Sequence[int], tolerance: int) -> DetectorEvaluation:
    """Feed ``values`` to ``detector`` in order and score its drift reports against the known
    drift positions ``drifts`` (positions in ``values``, increasing).

    A detection at position i finds the drift at d when d <= i <= d + tolerance and no later
    known drift lies at or before i; the first such detection of each drift gives its delay
    (i - d). Every other detection is a false alarm; a drift no detection finds is a miss. The
    detector is updated as it is (call ``reset()`` first for a fresh run); the catalogued
    detectors run the whole sequence natively (``update_many``), others through ``update`` and
    ``drift_detected``.
    """
    if isinstance(tolerance, bool) or not isinstance(tolerance, int) or tolerance < 0:
        raise ValueError(f"tolerance must be an int of at least 0, got {tolerance!r}")
    if isinstance(values, (str, bytes)):
        raise TypeError("values must be a sequence or array of numbers, not a string")
    if getattr(values, "ndim", 1) != 1:
        raise ValueError(f"values must be one-dimensional, got {values.ndim} dimensions")
    if not hasattr(values, "__len__"):
        values = list(values)
    n = len(values)
    known = list(drifts)
    for k, d in enumerate(known):
        if isinstance(d, bool) or not isinstance(d, int) and not hasattr(d, "__index__"):
            raise TypeError(f"drifts must hold int positions, got {d!r}")
        d = known[k] = int(d.__index__())
        if not 0 <= d < n:
            raise ValueError(f"drifts must lie in [0, {n}) (positions in values), got {d}")
        if k and d <= known[k - 1]:
            raise ValueError(f"drifts must be increasing, got {known[k - 1]} then {d}")
    if not callable(getattr(detector, "update", None)):
        raise TypeError(f"detector must have update(x) and drift_detected, got {type(detector).__name__}")

    detections = _detector_drifts(detector, values)
    delays: list[int | None] = [None] * len(known)
    false_alarms = 0
    k = 0
    for i in detections:
        while k + 1 < len(known) and known[k + 1] <= i:
            k += 1
        if known and known[k] <= i <= known[k] + tolerance and delays[k] is None:
            delays[k] = i - known[k]
        else:
            false_alarms += 1
    found = [d for d in delays if d is not None]
    mean_delay = sum(found) / len(found) if found else math.nan
    return DetectorEvaluation(detections, delays, mean_delay, false_alarms, len(known) - len(found))


def grid(model: Any, params: dict[str, Sequence[Any]]) -> list[Any]:
    """Candidate models from a parameter grid, for model selection.

    One unlearnt copy of ``model`` per combination of the values in ``params`` (parameter name ->
    the values to try), with its other parameters as in ``model``; combinations in the order of
    ``itertools.product`` over the names in the order given (the last name varies fastest).

    >>> from kavro.tree import HoeffdingTreeClassifier
    >>> [m.grace_period for m in grid(HoeffdingTreeClassifier(), {"grace_period": [50, 200]})]
    [50, 200]
    """
    from kavro._registry import build, constructor_params, lookup, parameters

    name = type(model).__name__
    if lookup(name) is not type(model):
        raise TypeError(f"grid: model must be an object of a kavro class (got {type(model).__name__})")
    if not isinstance(params, dict) or not params:
        raise ValueError("grid: params must be a non-empty dict of parameter name -> values")
    known = {p.name for p in constructor_params(type(model))}
    for key, values in params.items():
        if key not in known:
            raise ValueError(f"grid: {name} has no parameter {key!r} (it takes {sorted(known)})")
        if isinstance(values, (str, bytes)) or not isinstance(values, Sequence) or not values:
            raise ValueError(f"grid: params[{key!r}] must be a non-empty list of values")
    base = parameters(model)
    keys = list(params)
    return [build(name, {**base, **dict(zip(keys, combo))})
            for combo in itertools.product(*(params[k] for k in keys))]


__all__ += ["grid"]
