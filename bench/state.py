"""Saved-state figures: state size and dumps/loads speed per class after training.

    python bench/state.py [--examples N] [--classes A,B] [--repeat R]

Every class with a saved form is trained on N examples of the benchmark stream of its kind (the
classifiers on "clf2", the regressors and transformers on "reg", metrics on "labels"/"values",
detectors on "errors"/"reals"), then saved and restored R times. Prints, per class, the state size,
the median dumps and loads time, and their speeds in MB/s of state; then the time to restore a
10-tree ARFClassifier. Figures are measured in this one run.
"""
from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _kavro_core as kc  # noqa: E402

import kavro  # noqa: E402
from kavro import _native  # noqa: E402
from streams import Stream  # noqa: E402

CLASSIFICATION_METRICS = {"Accuracy", "MacroPrecision", "MacroRecall", "MacroF1"}
REGRESSION_METRICS = {"MAE", "RMSE", "R2"}


def build(name):
    cls = getattr(kc, name)
    if name == "ClassificationPipeline":
        return cls([kc.StandardScaler()], kc.HoeffdingTreeClassifier())
    if name == "RegressionPipeline":
        return cls([kc.StandardScaler()], kc.LinearRegression())
    if name == "WindowMetric":
        return cls(1000)
    if name == "WindowRegressionMetric":
        return cls(1000)
    return cls()


def train(obj, name, n):
    cls = type(obj)
    if name in CLASSIFICATION_METRICS or name == "WindowMetric":
        xs, ys = Stream("labels").block(n)
        if name == "WindowMetric":
            for a, b in zip(xs, ys):
                obj.update(b, a)
        else:
            for a, b in zip(xs, ys):
                obj.update(a, b)
    elif name in REGRESSION_METRICS or name == "WindowRegressionMetric":
        xs, ys = Stream("values").block(n)
        for a, b in zip(xs, ys):
            obj.update(a, b)
    elif name == "ADWIN":
        xs, _ = Stream("reals").block(n)
        for v in xs:
            obj.update(v)
    elif name == "EDDM":
        xs, _ = Stream("errors").block(n)
        for v in xs:
            obj.update(int(v))
    elif issubclass(cls, kc.IClassifier):
        xs, ys = Stream("clf2").block(n)
        for x, y in zip(xs, ys):
            obj.learn_one(x, y)
    elif issubclass(cls, kc.IRegressor):
        xs, ys = Stream("reg").block(n)
        for x, y in zip(xs, ys):
            obj.learn_one(x, y)
    else:  # transformer
        xs, ys = Stream("reg").block(n)
        needs_y = name == "SelectKBest"
        for x, y in zip(xs, ys):
            if needs_y:
                obj.learn_one(x, y)
            else:
                obj.learn_one(x)
            obj.transform_one(x)


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--examples", type=int, default=10_000)
    ap.add_argument("--classes", default="")
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args(argv)
    names = [n for n in _native.class_names() if not args.classes or n in args.classes.split(",")]
    print(f"state figures after {args.examples} examples (median of {args.repeat})")
    print(f"{'class':32} {'state':>12} {'dumps ms':>9} {'MB/s':>8} {'loads ms':>9} {'MB/s':>8}")
    slowest = (float("inf"), "")
    for name in names:
        obj = build(name)
        train(obj, name, args.examples)
        data = kavro.dumps(obj)
        mb = len(data) / 1e6
        t_dump = timed(lambda: kavro.dumps(obj), args.repeat)
        t_load = timed(lambda: kavro.loads(data), args.repeat)
        w, r = mb / t_dump, mb / t_load
        if len(data) >= 100_000:
            slowest = min(slowest, (min(w, r), name))
        print(f"{name:32} {len(data):>12,} {t_dump * 1e3:>9.3f} {w:>8.0f} {t_load * 1e3:>9.3f} {r:>8.0f}")
    if slowest[1]:
        print(f"slowest direction among states of 100 kB or more: {slowest[1]} at {slowest[0]:.0f} MB/s"
              " (aim: 200)")
    if "ARFClassifier" in names:
        forest = kc.ARFClassifier(n_models=10)
        train(forest, "ARFClassifier", args.examples)
        data = kavro.dumps(forest)
        t = timed(lambda: kavro.loads(data), args.repeat)
        print(f"10-tree ARFClassifier: {len(data):,} bytes restored in {t * 1e3:.2f} ms (aim: under 50)")


if __name__ == "__main__":
    main()
