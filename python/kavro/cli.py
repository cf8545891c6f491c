"""Command line: ``kavro list``, ``kavro evaluate`` and ``kavro serve``.

Usage errors (unknown names, bad values, unreadable data) print one ``kavro: error: ...`` line on
stderr and exit with status 2.
"""

from __future__ import annotations

import argparse
import difflib
import functools
import inspect
import json
import math
import os
import re
import socket
import sys
import textwrap
import warnings
from collections.abc import Sequence
from typing import Any


import kavro
from kavro import datasets
from kavro._registry import (
    CLASSES as CATALOG,
    REGRESSION_METRICS,
    SUBMODULES,
    available,
    constructor_doc,
    constructor_params,
    kind_of,
    lookup,
    signature_text,
    summary,
)
from kavro.evaluate import Evaluation, check_plot_path, plot_checkpoints, progressive_val_score
from kavro.stream import CSVStream, StreamError

DEFAULT_N = 10_000
# KappaT sets the accuracy against repeating the last label (a strong baseline on ordered streams).
DEFAULT_CLASSIFIER_METRICS = ["Accuracy", "KappaT"]


class CLIError(Exception):
    """A usage error: reported on one line, exit status 2."""


# ----------------------------------------------------------------------------- value parsing

_TRUE = {"1", "true", "yes", "on"}
_FALSE = {"0", "false", "no", "off"}


def convert(value: str, typ: type | None, what: str) -> Any:
    """Convert the text ``value`` to ``typ`` (bool, int, float or str); ``what`` names it in errors."""
    if typ is bool:
        low = value.strip().lower()
        if low in _TRUE:
            return True
        if low in _FALSE:
            return False
        raise CLIError(f"invalid value {value!r} for {what} (expected true or false)")
    if typ is int:
        try:
            return int(value)
        except ValueError:
            raise CLIError(f"invalid value {value!r} for {what} (expected an integer)") from None
    if typ is float:
        try:
            return float(value)
        except ValueError:
            raise CLIError(f"invalid value {value!r} for {what} (expected a number)") from None
    if typ is str:
        return value
    raise CLIError(f"{what} cannot be set from the command line")


def split_spec(spec: str) -> tuple[str, list[str]]:
    """``"NAME:a=1,b=2"`` -> ``("NAME", ["a=1", "b=2"])``."""
    name, _, rest = spec.partition(":")
    options = [part for part in rest.split(",") if part.strip()] if rest else []
    return name.strip(), options


def split_assignment(text: str, what: str) -> tuple[str, str]:
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise CLIError(f"invalid {what} {text!r} (expected key=value)")
    return key.strip(), value.strip()


def _unknown(kind: str, name: str, known: Sequence[str], hint: str = "") -> CLIError:
    close = difflib.get_close_matches(name, known, n=3, cutoff=0.6)
    suggestion = f"; did you mean {', '.join(close)}?" if close else ""
    return CLIError(f"unknown {kind} {name!r}{suggestion}{hint}")


# ----------------------------------------------------------------------------- building objects


def find_class(name: str, kinds: Sequence[str], role: str) -> type:
    cls = lookup(name)
    if not isinstance(cls, type) or name not in CATALOG:
        if name in CATALOG:
            raise CLIError(f"{role} {name!r} is not available in this build")
        candidates = [n for n in available() if kind_of(lookup(n)) in kinds]
        raise _unknown(role, name, candidates, " (see 'kavro list')")
    kind = kind_of(cls)
    if kind not in kinds:
        raise CLIError(f"{name} is a {kind}, not a {role}")
    return cls


def build(cls: type, assignments: Sequence[str], role: str) -> Any:
    """Instantiate a ``_kavro_core`` class from ``key=value`` texts typed by its constructor."""
    params = {p.name: p for p in constructor_params(cls)}
    kwargs: dict[str, Any] = {}
    for text in assignments:
        key, value = split_assignment(text, "parameter")
        param = params.get(key)
        if param is None:
            valid = ", ".join(params) or "none"
            raise CLIError(f"{cls.__name__} has no parameter {key!r} (parameters: {valid})")
        kwargs[key] = convert(value, param.type, f"{cls.__name__} parameter {key!r}")
    required = [p.name for p in params.values() if not p.has_default and p.name not in kwargs]
    if required:
        raise CLIError(f"{cls.__name__} needs {', '.join(required)}; it cannot be built from the "
                       f"command line (for a pipeline use --model LEARNER with --pre TRANSFORMER)")
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            model = cls(**kwargs)
    except TypeError as exc:
        out_of_range = _out_of_range(cls, kwargs)
        if out_of_range:
            raise CLIError(out_of_range) from None
        raise CLIError(f"cannot build {role} {cls.__name__}: {str(exc).splitlines()[0]}") from None
    except ValueError as exc:
        raise CLIError(f"cannot build {role} {cls.__name__}: {exc}") from None
    except (MemoryError, OverflowError):
        raise CLIError(f"cannot build {role} {cls.__name__}: the parameters need more memory than "
                       "there is") from None
    for w in caught:  # an option string the class does not recognise is an error here
        if issubclass(w.category, UserWarning):
            raise CLIError(f"cannot build {role} {cls.__name__}: {str(w.message).split(': ', 1)[-1]}")
    return model


_INT32 = (-(2**31), 2**31 - 1)
_UINT32 = (0, 2**32 - 1)


def _out_of_range(cls: type, kwargs: dict[str, Any]) -> str | None:
    """Name the integer argument the core cannot hold (its integers are 32-bit), or None."""
    for key, value in kwargs.items():
        if not isinstance(value, int) or isinstance(value, bool):
            continue
        low, high = _INT32
        if value < 0 or value > high:
            # -1 is refused by the argument conversion only for an unsigned parameter.
            try:
                cls(**{key: -1})
            except TypeError:
                low, high = _UINT32
            except Exception:  # noqa: BLE001 - refused by the constructor: the conversion took it
                pass
        if not low <= value <= high:
            return (f"{cls.__name__} parameter {key!r}: {value} is out of range "
                    f"(an integer from {low:,} to {high:,})")
    return None


def build_generator(spec: str, seed: int | None) -> Any:
    name, options = split_spec(spec)
    recorded = datasets.DATASETS.get(name.lower())
    if recorded is not None:
        if options:
            raise CLIError(f"stream {name!r} is a recorded dataset; it takes no options")
        return recorded()
    cls = datasets.GENERATORS.get(name.lower())
    if cls is None:
        known = [*datasets.GENERATORS, *datasets.DATASETS]
        raise _unknown("stream", name, known, " (see 'kavro list --streams')")
    params = generator_params(cls)
    kwargs: dict[str, Any] = {}
    for text in options:
        key, value = split_assignment(text, "stream option")
        if key not in params:
            raise CLIError(f"stream {name!r} has no option {key!r} (options: {', '.join(params)})")
        kwargs[key] = convert(value, type(params[key]), f"stream {name!r} option {key!r}")
    if seed is not None:
        kwargs.setdefault("seed", seed)
    try:
        return cls(**kwargs)
    except ValueError as exc:
        raise CLIError(f"stream {name!r}: {exc}") from None
    except (MemoryError, OverflowError):
        raise CLIError(f"stream {name!r}: the options need more memory than there is "
                       f"({', '.join(options)})") from None


def generator_params(cls: type) -> dict[str, Any]:
    """Options of a generator and their defaults (``n_samples`` is ``--n``)."""
    sig = inspect.signature(getattr(cls, "__init__"))
    return {
        p.name: p.default
        for p in list(sig.parameters.values())[1:]
        if p.name != "n_samples" and p.default is not inspect.Parameter.empty
    }


def build_metric(spec: str, model_kind: str) -> Any:
    name, options = split_spec(spec)
    if name not in CATALOG or CATALOG[name][1] != "metric":
        known = [n for n, entry in CATALOG.items() if entry[1] == "metric"]
        raise _unknown("metric", name, known)
    if model_kind == "anomaly":  # measures of scores take a real score in update(y, score)
        cls = find_class(name, ("metric",), "metric")
        probe = build(cls, options, "metric")
        if not hasattr(cls, "update_score") and getattr(probe, "input", "label") not in ("proba", "score"):
            raise CLIError(f"metric {name} does not measure anomaly scores (use ROCAUC or PRAUC)")
        return probe
    wanted = "regressor" if name in REGRESSION_METRICS else "classifier"
    if wanted != model_kind:
        raise CLIError(f"metric {name} scores a {wanted}, but the model is a {model_kind}")
    return build(find_class(name, ("metric",), "metric"), options, "metric")


# ----------------------------------------------------------------------------- argparse


class _ModelAction(argparse.Action):
    """Collects --model and --param in order: a --param belongs to the --model before it."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        models = getattr(namespace, "models", None) or []
        if self.dest == "model":
            name, options = split_spec(values)
            models.append((name, options))
        else:
            if not models:
                parser.error("--param must follow the --model it applies to")
            models[-1][1].append(values)
        namespace.models = models


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # exit status 2, one line
        self.print_usage(sys.stderr)
        raise SystemExit(_fail(message))


def _count(text: str) -> int:
    """An integer option: digits, or a whole number in exponent form (``1e6``), within 64 bits."""
    try:
        value = int(text)
    except ValueError:
        try:
            number = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
        if not math.isfinite(number) or not number.is_integer():
            raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
        value = int(number)
    if abs(value) > sys.maxsize:
        raise argparse.ArgumentTypeError(f"{text} is too large (at most {sys.maxsize:,})")
    return value


def _fail(message: str) -> int:
    print(f"kavro: error: {message}", file=sys.stderr)
    return 2


def make_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="kavro", description="Online machine learning with a C++ core.")
    parser.add_argument("--version", action="version", version=f"kavro {kavro.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    lst = sub.add_parser("list", help="print every class with its constructor signature")
    lst.add_argument("--kind", choices=["classifier", "regressor", "transformer", "metric", "detector", "anomaly"],
                     help="only classes of this kind")
    lst.add_argument("--streams", action="store_true", help="list the built-in stream generators instead")
    lst.add_argument("-v", "--verbose", action="store_true", help="also say what each parameter means")

    ev = sub.add_parser(
        "evaluate",
        help="prequential (test-then-train) evaluation",
        description="Test-then-train one or more models on a stream; print metric checkpoints.",
        epilog="Example: kavro evaluate --model HoeffdingTreeClassifier --model ARFClassifier "
               "--param n_models=5 --stream agrawal:function=2 --n 20000 --every 2000",
    )
    ev.add_argument("--model", action=_ModelAction, dest="model", metavar="NAME[:k=v,...]",
                    required=True, help="model class (repeat to compare models)")
    ev.add_argument("--param", action=_ModelAction, dest="param", metavar="KEY=VALUE",
                    help="constructor parameter of the preceding --model (repeatable)")
    ev.add_argument("--pre", action="append", default=[], metavar="NAME[:k=v,...]",
                    help="transformer run before every model, in a pipeline (repeatable)")
    src = ev.add_mutually_exclusive_group(required=True)
    src.add_argument("--stream", metavar="NAME[:k=v,...]",
                     help=f"built-in generator ({', '.join(datasets.GENERATORS)}) or recorded dataset "
                          f"({', '.join(datasets.DATASETS)})")
    src.add_argument("--csv", metavar="PATH",
                     help="CSV file with a header row (.csv or .csv.gz; - reads standard input)")
    ev.add_argument("--target", metavar="COL", help="target column of --csv")
    ev.add_argument("--target-type", choices=["auto", "class", "int", "float", "label"], default=None,
                    help="how --csv targets are read (default: labels for a classifier, refusing real "
                         "numbers; float for a regressor); 'class' makes each distinct value a class")
    ev.add_argument("--drop", default="", metavar="COL,...", help="columns of --csv to ignore")
    ev.add_argument("--categorical", action="append", default=[], metavar="COL,...|auto",
                    help="one-hot encode these --csv columns (value v of column c becomes the feature "
                         "'c=v'); 'auto' encodes every non-numeric column")
    ev.add_argument("--drift-to", metavar="NAME[:k=v,...]", help="generator the stream drifts to")
    ev.add_argument("--drift-at", type=_count, default=None, metavar="N", help="position of the drift")
    ev.add_argument("--drift-width", type=float, default=0.0, metavar="W",
                    help="width of a gradual drift (0: abrupt)")
    ev.add_argument("--seed", type=_count, default=None, help="seed of the generators")
    ev.add_argument("--n", type=_count, default=None, metavar="N",
                    help=f"number of examples (default {DEFAULT_N} for generators, the whole file for --csv)")
    ev.add_argument("--metric", action="append", default=[], metavar="NAME[:k=v,...]",
                    help="metric (repeatable; default Accuracy and KappaT, or MAE and RMSE)")
    ev.add_argument("--every", type=_count, default=1000, metavar="N", help="checkpoint every N examples")
    ev.add_argument("--delay", type=_count, default=0, metavar="N",
                    help="labels arrive N examples late: predict on arrival, score and learn later")
    ev.add_argument("--window", type=_count, default=None, metavar="N",
                    help="also report each metric over the last N examples")
    ev.add_argument("--plot", metavar="PNG",
                    help="write the checkpoints to this .png, .svg or .pdf (needs matplotlib)")
    ev.add_argument("--format", choices=["table", "csv", "json"], default="table", help="output format")
    ev.add_argument("--no-progress", action="store_true", help="no progress bar")
    ev.add_argument("--threads", type=_count, default=1, metavar="N",
                    help="threads for the members of an ARF, SRP or leveraging-bagging ensemble "
                         "(-1: every core; same results)")
    ev.add_argument("--jobs", type=_count, default=None, metavar="N",
                    help="run the models as Ray tasks, N at a time (needs kavro[distributed])")
    ev.add_argument("--ray", metavar="ADDRESS", help="run the models as tasks on the Ray cluster at ADDRESS")
    ev.add_argument("--ray-logs", action="store_true",
                    help="show Ray's own log lines (hidden by default)")

    from kavro.serve import cli as serve_cli

    serve_cli.add_parser(sub)
    return parser


# ----------------------------------------------------------------------------- commands


def cmd_list(args: argparse.Namespace) -> int:
    out = sys.stdout
    if args.streams:
        for name, cls in datasets.GENERATORS.items():
            opts = ", ".join(f"{k}={v!r}" for k, v in generator_params(cls).items())
            doc = (cls.__doc__ or "").strip().splitlines()[0]
            print(f"{name}:{opts}\n    {cls.__name__}: {doc}", file=out)
        for name, recorded in datasets.DATASETS.items():
            doc = (recorded.__doc__ or "").strip().splitlines()[0]
            print(f"{name}\n    {recorded.__name__}: {doc}", file=out)
        return 0
    present = set(available())
    for sub in SUBMODULES:
        names = [n for n, entry in CATALOG.items() if entry[0] == sub and n in present]
        if args.kind:
            names = [n for n in names if CATALOG[n][1] == args.kind]
        if not names:
            continue
        print(f"kavro.{sub}", file=out)
        for name in names:
            cls = lookup(name)
            print(f"  {signature_text(cls)}\n      {summary(cls)}", file=out)
            if args.verbose:
                for line in textwrap.wrap(constructor_doc(cls), width=92):
                    print(f"      {line}", file=out)
    missing = [n for n in CATALOG if n not in present and (not args.kind or CATALOG[n][1] == args.kind)]
    if missing:
        print(f"not in this build: {', '.join(missing)}", file=out)
    return 0


def _label(name: str, options: Sequence[str]) -> str:
    return name + (f"({', '.join(options)})" if options else "")


def _make_models(args: argparse.Namespace) -> list[tuple[str, Any, str]]:
    """(label, model, kind) per --model, each wrapped in a pipeline when --pre is given."""
    models: list[tuple[str, Any, str]] = []
    for name, options in args.models:
        cls = find_class(name, ("classifier", "regressor", "anomaly"), "model")
        kind = kind_of(cls)
        model = build(cls, options, "model")
        label = _label(name, options)
        if args.pre:
            steps = []
            for spec in args.pre:
                pre_name, pre_options = split_spec(spec)
                steps.append(build(find_class(pre_name, ("transformer",), "transformer"), pre_options,
                                   "transformer"))
            wrapper = {"classifier": "ClassificationPipeline", "regressor": "RegressionPipeline",
                       "anomaly": "AnomalyPipeline"}[kind]
            pipeline_cls = find_class(wrapper, (kind,), "model")
            model = pipeline_cls(steps, model)
            label = " | ".join([*(_label(*split_spec(spec)) for spec in args.pre), label])
        taken = {m[0] for m in models}
        if label in taken:
            label = next(f"{label} #{i}" for i in range(2, len(taken) + 2) if f"{label} #{i}" not in taken)
        models.append((label, model, kind))
    return models


def _categorical(args: argparse.Namespace) -> list[str] | str | None:
    names = [c.strip() for spec in args.categorical for c in spec.split(",") if c.strip()]
    if not names:
        return None
    if "auto" in names:
        if len(names) > 1:
            raise CLIError("--categorical auto cannot be combined with column names")
        return "auto"
    return names


def _single_pass(args: argparse.Namespace) -> bool:
    """The CSV source can be read once only: standard input, a pipe or a FIFO."""
    return args.csv is not None and (args.csv == "-" or (os.path.exists(args.csv) and not os.path.isfile(args.csv)))


def _make_csv_stream(args: argparse.Namespace, kind: str, label: str) -> CSVStream:
    if args.target is None:
        raise CLIError("--csv needs --target COL")
    if args.drift_to:
        raise CLIError("--drift-to combines generators; it cannot follow --csv")
    drop = [c for c in args.drop.split(",") if c.strip()]
    target_type = args.target_type or ("float" if kind == "regressor" else "auto")
    try:
        stdin = args.csv == "-"
        stream = CSVStream(sys.stdin.buffer if stdin else args.csv, args.target, drop=drop,
                           target_type=target_type, categorical=_categorical(args))
        # Opens the file and reads the header and first row; a pipe, FIFO or standard input is
        # left whole for the run, which reads it once.
        piped = _single_pass(args)
        first = None if piped else next(iter(stream), None)
    except OSError as exc:
        raise CLIError(f"cannot read {args.csv}: {exc.strerror or exc}") from None
    except (StreamError, ValueError) as exc:
        raise CLIError(cli_words(str(exc))) from None
    if first is not None and kind == "regressor" and stream.classes:
        raise CLIError(
            f"{args.csv}: the target column {args.target!r} holds text labels (first value "
            f"{next(iter(stream.classes))!r}), but {label} is a regressor: use a classifier"
        )
    if first is not None and kind == "classifier" and isinstance(first[1], float):
        raise CLIError(
            f"{args.csv}: the target column {args.target!r} holds real numbers (first value {first[1]!r}), "
            f"but {label} is a classifier: use a regressor, or --target-type class to make each distinct "
            "value a class"
        )
    return stream


def _make_stream(args: argparse.Namespace, kind: str, label: str) -> tuple[Any, int | None]:
    if args.csv is not None:
        return _make_csv_stream(args, kind, label), args.n
    for option, value in (("--target", args.target), ("--target-type", args.target_type),
                          ("--categorical", args.categorical or None)):
        if value is not None:
            raise CLIError(f"{option} applies to --csv only")
    gen = build_generator(args.stream, args.seed)
    if isinstance(gen, datasets.RecordedStream):  # the whole file unless --n
        if args.drift_to or args.drift_at is not None:
            raise CLIError("--drift-to combines generators; it cannot follow a recorded dataset")
        task = _TASK_KINDS.get(gen.task, "classifier")
        if task != kind:
            raise CLIError(f"stream {split_spec(args.stream)[0]!r} is a {gen.task} stream, "
                           f"but the model is a {kind}")
        return gen, args.n
    if args.drift_to:
        after = build_generator(args.drift_to, (42 if args.seed is None else args.seed) + 1)
        position = args.drift_at if args.drift_at is not None else (args.n or DEFAULT_N) // 2
        try:
            gen = datasets.ConceptDrift(gen, after, position=position, width=args.drift_width,
                                        seed=args.seed if args.seed is not None else 42)
        except ValueError as exc:
            raise CLIError(str(exc)) from None
    elif args.drift_at is not None:
        raise CLIError("--drift-at needs --drift-to")
    task = _TASK_KINDS.get(gen.task, "classifier")
    if task != kind:
        raise CLIError(f"stream {split_spec(args.stream)[0]!r} is a {gen.task} stream, "
                       f"but the model is a {kind}")
    return gen, args.n if args.n is not None else DEFAULT_N


def cli_words(message: str) -> str:
    """A stream's message with its Python option hints in command-line words."""
    message = re.sub(r"categorical=\[('[^']*'|\"[^\"]*\")\] or 'auto'",
                     lambda m: f"--categorical {m.group(1)[1:-1]} or --categorical auto", message)
    return message.replace("categorical=[...]", "--categorical").replace(
        "target_type='class'", "--target-type class")


# The kind of model each stream task is for.
_TASK_KINDS = {"classification": "classifier", "regression": "regressor", "anomaly": "anomaly"}


def _fmt(value: Any, column: str = "") -> str:
    if value is None:
        return "-"
    if column == "elapsed":
        return f"{value:.3f}"
    if column == "throughput":
        return f"{value:,.0f}"
    if isinstance(value, float):
        return f"{value:.6f}" if abs(value) < 1e6 else f"{value:.6g}"
    return str(value)


def cmd_evaluate(args: argparse.Namespace) -> int:
    if args.every < 1:
        raise CLIError(f"--every must be at least 1, got {args.every}")
    if args.n is not None and args.n < 0:
        raise CLIError(f"--n must be at least 0, got {args.n}")
    if args.drift_width < 0:
        raise CLIError(f"--drift-width must be at least 0, got {args.drift_width}")
    if args.delay < 0:
        raise CLIError(f"--delay must be at least 0, got {args.delay}")
    if args.window is not None and args.window < 1:
        raise CLIError(f"--window must be at least 1, got {args.window}")
    if args.threads < 1 and args.threads != -1:
        raise CLIError(f"--threads must be at least 1 (or -1 for every core), got {args.threads}")
    if args.plot:
        try:
            check_plot_path(args.plot)
        except (ValueError, ImportError) as exc:
            raise CLIError(str(exc)) from None
    models = _make_models(args)
    kinds = {kind for _, _, kind in models}
    if len(kinds) > 1:
        raise CLIError("cannot compare classifiers with regressors in one run")
    kind = kinds.pop()
    metric_specs = args.metric or _default_metric_specs(kind)
    if len(models) > 1 and _single_pass(args):
        raise CLIError(f"{args.csv} can be read once only: compare several models over a file")
    stream, n = _make_stream(args, kind, models[0][0])
    for spec in metric_specs:  # validate every name before anything runs
        build_metric(spec, kind)

    out = sys.stdout
    width = max(12, *(len(label) for label, _, _ in models))
    results: dict[str, Evaluation] = {}
    columns: list[str] = []

    def header(names: list[str]) -> None:
        columns.extend(names)
        if args.format == "csv":
            print(",".join(["model", *(_csv_cell(c) for c in columns)]), file=out)
        elif args.format == "table":
            print("  ".join([f"{'model':<{width}}", *(f"{c:>{max(12, len(c))}}" for c in columns)]), file=out)

    def emit(label: str, row: dict[str, Any]) -> None:
        if args.format == "json":
            return
        if not columns:
            header(list(row))
        if args.format == "csv":
            cells = ("" if row[c] is None else repr(row[c]) for c in columns)
            print(",".join([_csv_cell(label), *cells]), file=out)
        else:
            cells = (f"{_fmt(row[c], c):>{max(12, len(c))}}" for c in columns)
            print("  ".join([f"{label:<{width}}", *cells]), file=out)
        out.flush()

    remote = _run_on_ray(args, len(models), kind, metric_specs, n)
    for index, (label, model, _) in enumerate(models):
        if index and args.format == "table" and columns:
            print(file=out)
        if remote is not None:
            results[label] = remote[index]
            for row in remote[index].rows:
                emit(label, row)
            continue
        metrics = [build_metric(spec, kind) for spec in metric_specs]
        try:
            results[label] = progressive_val_score(
                stream, model, metrics, every=args.every, n=n, delay=args.delay, window=args.window,
                progress=False if args.no_progress else None, description=label,
                on_checkpoint=functools.partial(emit, label), n_jobs=args.threads,
            )
        except (StreamError, ValueError, OverflowError) as exc:
            raise CLIError(cli_words(str(exc))) from None
        except MemoryError:
            raise CLIError(f"{label}: out of memory") from None
        except TypeError as exc:  # a value the model cannot take (a label beyond its range)
            raise CLIError(f"{label}: {str(exc).splitlines()[0]}") from None

    if all(res.n == 0 for res in results.values()):
        if not columns and args.format != "json":
            header(next(iter(results.values())).columns)
        why = "--n 0" if n == 0 else "the stream has no examples"
        print(f"kavro: note: no examples were evaluated ({why})", file=sys.stderr)

    if args.format == "json":
        rows = {label: [{k: _json_value(v) for k, v in row.items()} for row in res.rows]
                for label, res in results.items()}
        json.dump([{"model": label, "rows": rows[label]} for label in results], out, indent=1,
                  allow_nan=False)
        print(file=out)
    elif args.format == "table" and len(results) > 1:
        print("\nfinal", file=out)
        for label, res in results.items():
            scores = "  ".join(f"{m}={_fmt(res.final.get(m))}" for m in res.metric_names)
            print(f"  {label:<{width}}  n={res.n}  {scores}  {res.throughput:,.0f} ex/s", file=out)
    if args.plot:
        try:
            plot_checkpoints(results, args.plot, title=_title(args))
        except ImportError as exc:
            raise CLIError(str(exc)) from None
        except OSError as exc:
            raise CLIError(f"cannot write {args.plot}: {exc.strerror or exc}") from None
        print(f"plot written to {args.plot}", file=sys.stderr)
    return 0


def _default_metric_specs(kind: str) -> list[str]:
    if kind == "anomaly":
        if lookup("ROCAUC") is None:
            raise CLIError("an anomaly detector is measured with ROCAUC by default, which this build "
                           "lacks; name a measure of anomaly scores with --metric")
        return ["ROCAUC"]
    return list(DEFAULT_CLASSIFIER_METRICS) if kind == "classifier" else ["MAE", "RMSE"]


def _run_on_ray(args: argparse.Namespace, n_models: int, kind: str, metric_specs: list[str],
                n: int | None) -> list[Evaluation] | None:
    """With --jobs or --ray: every model's evaluation, run as Ray tasks; otherwise None."""
    if args.jobs is None and args.ray is None:
        return None
    if args.jobs is not None and args.jobs < 1:
        raise CLIError(f"--jobs must be at least 1, got {args.jobs}")
    if args.ray is not None:
        _check_ray_address(args.ray)
    try:
        from kavro.distributed._cli import Builders, evaluate_models
    except ImportError as exc:
        raise CLIError(str(exc)) from None
    try:
        return evaluate_models(args, n_models, kind, metric_specs, n,
                               Builders(_make_models, _make_stream, build_metric))
    except (StreamError, ConnectionError) as exc:
        raise CLIError(str(exc)) from None


def _json_value(value: Any) -> Any:
    """JSON has no NaN or infinity: such a measure is reported as missing (null)."""
    return None if isinstance(value, float) and not math.isfinite(value) else value


RAY_CONNECT_TIMEOUT = 10.0  # seconds


def _check_ray_address(address: str) -> None:
    """Fails fast, in one line, when a HOST:PORT address does not answer (Ray itself would try
    for minutes)."""
    if address == "auto" or "://" in address:
        return
    host, sep, port = address.rpartition(":")
    if not sep or not port.isdigit() or not host:
        raise CLIError(f"--ray {address!r}: expected HOST:PORT of the cluster's head (or auto)")
    try:
        socket.create_connection((host, int(port)), timeout=RAY_CONNECT_TIMEOUT).close()
    except (OSError, ValueError) as exc:
        raise CLIError(f"--ray {address}: cannot reach the cluster's head within "
                       f"{RAY_CONNECT_TIMEOUT:g} s ({getattr(exc, 'strerror', None) or exc})") from None


def _csv_cell(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\n') else text


def _title(args: argparse.Namespace) -> str:
    source = args.csv if args.csv is not None else args.stream
    if args.drift_to:
        source += f" -> {args.drift_to}"
    return f"prequential evaluation on {source}"


def main(argv: Sequence[str] | None = None) -> int:
    parser = make_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "list":
            return cmd_list(args)
        if args.command == "serve":
            from kavro.serve.cli import cmd_serve

            return cmd_serve(args)
        return cmd_evaluate(args)
    except CLIError as exc:
        return _fail(str(exc))
    except BrokenPipeError:  # e.g. piped into head
        return 0
