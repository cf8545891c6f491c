"""Batch entry points: ratios measured in one run.

1. learn_many on a 10-tree ARFClassifier, n_jobs=2 against n_jobs=1 (speed-up; aim >= 1.7), and
   the same for progressive_val_score over an array stream (members vote and learn on threads).
2. For every class: learn_many (and predict_many / transform_many) per row against the model's own
   learn_one / predict_one / transform_one over records built beforehand in C++ (aim <= 1.3 for
   learn_many and predict_many), and the speed-up of learn_many over the Python loop calling
   learn_one on records already in memory.

Classifiers learn the Electricity stream, regressors and transformers the Friedman stream (synthetic
streams of the same shapes when the files are absent). CPU time of the calling thread (the machine
is shared); each figure is the median over --repeat interleaved runs, on fresh models. Usage: bash bench/run.sh --batch [--repeat N] [--classes A,B]
or .venv/bin/python bench/batch.py. The per-thread and learner-only timings come from hooks built
into kavro._native only on request: pip install . -C cmake.define.KAVRO_BENCH_HOOKS=ON.
"""
import argparse
import csv
import math
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _kavro_core as kc  # noqa: E402
import kavro  # noqa: E402
from kavro import _native  # noqa: E402
from kavro.evaluate import progressive_val_score  # noqa: E402
from kavro.stream import iter_array  # noqa: E402

import catalog  # noqa: E402

DATA = Path(os.environ.get("KAVRO_DATA", HERE.parents[1].parent / "shared" / "data"))
if not DATA.is_dir():
    DATA = Path("/work/shared/data")

ROWS = {catalog.SINGLE: 20_000, catalog.TRANSFORMER: 20_000, catalog.PIPELINE: 20_000,
        catalog.KNN: 4_000, catalog.ENSEMBLE: 2_000}
SLOW = {"SGBTClassifier": 600, "SGBRRegressor": 600}


def read_csv(name, n_features, label):
    path = DATA / name
    if path.is_file():
        with open(path, newline="") as fh:
            rows = list(csv.reader(fh))
        values = np.array(rows[1:], dtype=np.float64)
        return np.ascontiguousarray(values[:, :-1]), values[:, -1]
    rs = np.random.RandomState(7)
    X = rs.rand(45_000, n_features)
    y = (X[:, 0] + X[:, 1] > 1.0).astype(float) if label else 10 * np.sin(np.pi * X[:, 0] * X[:, 1]) + 5 * X[:, 2]
    return X, y


def median_ratio(pairs):
    return statistics.median(a / b for a, b in pairs)


def timed(f, clock=time.thread_time):
    t = clock()
    f()
    return clock() - t


def threads_figure(X, y, repeat, rows):
    """Two threads against one, for learn_many and for the native test-then-train loop. The
    machine is shared, so besides the wall-time ratio the figure is taken from CPU clocks: the
    one-thread run's CPU time over the two-thread run's critical path (its CPU time outside the
    member threads plus the busiest member thread's CPU time), i.e. the speed-up with a core per
    thread."""
    Xs, ys = X[:rows], y[:rows]

    def learn(n_jobs):
        kavro.learn_many(kc.ARFClassifier(n_models=10), Xs, ys, n_jobs=n_jobs)

    def evaluate(n_jobs):
        progressive_val_score(iter_array(Xs, ys), kc.ARFClassifier(n_models=10), kc.Accuracy(),
                              every=rows, progress=False, n_jobs=n_jobs)

    speeds = []
    for label, run, aim in (("learn_many", learn, " (aim >= 1.7)"),
                            ("progressive_val_score", evaluate, "")):
        wall, cpu = [], []
        for _ in range(repeat):
            w1 = time.perf_counter()
            c1 = timed(lambda: run(1), time.process_time)
            w1 = time.perf_counter() - w1
            w2 = time.perf_counter()
            c2 = timed(lambda: run(2), time.process_time)
            w2 = time.perf_counter() - w2
            members = _native.member_thread_seconds()
            path = (c2 - sum(members)) + max(members)
            wall.append((w1, w2))
            cpu.append((c1, path))
        speed = median_ratio(cpu)
        busy = statistics.median(p[0] for p in cpu) / rows * 1e6
        print(f"ARFClassifier(n_models=10), {rows} rows ({busy:.0f} us of CPU per row on one thread): "
              f"{label} n_jobs=2 is {speed:.2f}x n_jobs=1 by CPU clocks{aim}; "
              f"wall clock {median_ratio(wall):.2f}x at load average {os.getloadavg()[0]:.1f} "
              f"on {os.cpu_count()} cores")
        speeds.append(speed)
    return speeds[0]


def class_figures(entry, data, repeat):
    kind = entry.role
    X, y = data["clf"] if kind == "classifier" else data["reg"]
    n = SLOW.get(entry.name, ROWS.get(entry.group, 10_000))
    Xl, yl = X[:n], (y[:n].astype(np.int64) if kind == "classifier" else y[:n])
    Xp = X[n:2 * n]
    cols = [Xl[:, j] for j in range(X.shape[1])]
    pcols = [Xp[:, j] for j in range(X.shape[1])]
    names = [f"x{j}" for j in range(X.shape[1])]
    target = yl if kind != "transformer" or entry.needs_target else None
    records = list(kavro.stream.iter_array(Xl, feature_names=names))
    records = [x for x, _ in records]
    py_y = yl.tolist() if target is not None else None

    def python_loop():
        m = entry.make(kc)
        if py_y is None:
            learn = m.learn_one
            for x in records:
                learn(x)
        else:
            learn = m.learn_one
            for x, t in zip(records, py_y):
                learn(x, t)

    learn_pairs, loop_pairs, predict_pairs = [], [], []
    for _ in range(repeat):
        m = entry.make(kc)
        batch = timed(lambda: kavro.learn_many(m, Xl, target, feature_names=names))
        own = _native.learner_seconds(entry.make(kc), cols, n, names, target, "learn")
        loop = timed(python_loop)
        learn_pairs.append((batch, own))
        loop_pairs.append((loop, batch))
        if kind == "transformer":
            _native.learner_seconds(m, pcols, len(Xp), names, None, "transform")  # first-call costs
            out = timed(lambda: kavro.transform_many(m, Xp, feature_names=names))
            own_out = _native.learner_seconds(m, pcols, len(Xp), names, None, "transform")
        else:
            _native.learner_seconds(m, pcols, len(Xp), names, None, "predict")  # first-call costs
            out = timed(lambda: kavro.predict_many(m, Xp, feature_names=names))
            own_out = _native.learner_seconds(m, pcols, len(Xp), names, None, "predict")
        predict_pairs.append((out, own_out))
    per_row_us = statistics.median(p[1] for p in learn_pairs) / n * 1e6
    out_us = statistics.median(p[1] for p in predict_pairs) / len(Xp) * 1e6
    return (median_ratio(learn_pairs), median_ratio(predict_pairs), median_ratio(loop_pairs),
            per_row_us, out_us, n)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--classes", default="", help="comma-separated class names (default: all)")
    parser.add_argument("--arf-rows", type=int, default=6_000)
    args = parser.parse_args()
    if not hasattr(_native, "learner_seconds"):
        sys.exit("bench/batch.py needs the benchmark hooks: pip install . -C cmake.define.KAVRO_BENCH_HOOKS=ON")

    clf = read_csv("electricity.csv", 6, True)
    reg = read_csv("fried.csv", 10, False)
    data = {"clf": clf, "reg": reg}
    print(f"data: {DATA}  cores: {os.cpu_count()}  repeat: {args.repeat}")
    threads_figure(clf[0], clf[1].astype(np.int64), args.repeat, args.arf_rows)

    entries, _ = catalog.entries(kc)
    wanted = set(filter(None, args.classes.split(",")))
    print()
    print("own: the model's own learn_one / predict_one (transform_one) per row, in us, over records "
          "built beforehand;")
    print("ratios: the batch call per row over that cost; last column: the Python loop calling learn_one "
          "over the batch call")
    print(f"{'class':<32} {'rows':>6} {'own learn':>9} {'learn_many':>10} {'own out':>8} "
          f"{'predict/transform_many':>23} {'Python loop':>12}")
    worst = 0.0
    for entry in entries:
        if entry.role not in ("classifier", "regressor", "transformer"):
            continue
        if wanted and entry.name not in wanted:
            continue
        learn, out, loop, own_us, out_us, n = class_figures(entry, data, args.repeat)
        worst = max(worst, learn, out if entry.role != "transformer" else 0.0)
        label = "transform" if entry.role == "transformer" else "predict"
        print(f"{entry.name:<32} {n:>6} {own_us:>9.2f} {learn:>9.2f}x {out_us:>8.2f} {label:>14} "
              f"{out:>7.2f}x {loop:>11.1f}x")
    print()
    print(f"learn_many and predict_many per row against the learner's own cost: worst {worst:.2f}x "
          "(aim <= 1.3; transform_many builds a dict per row and is shown apart)")
    if not math.isfinite(worst):
        sys.exit(1)


if __name__ == "__main__":
    main()
