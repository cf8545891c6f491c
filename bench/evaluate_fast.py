"""Prequential evaluation from a CSV file, native loop against the Python loop.

For each learner, two ways of running test-then-train over the Electricity file are timed in
alternation, in one run:

- "python loop": records already in memory (the file read beforehand, untimed), a Python loop
  calling predict_one, the metric's update and learn_one;
- "native from CSV": progressive_val_score(iter_csv(path), ...), reading the file, converting
  every cell and running the loop in C++ block by block (pyarrow reads the file when installed;
  a second line shows the stream's own reader).

Prints examples per second and the ratio native / python loop (the median of the paired ratios).
Usage: python bench/evaluate_fast.py [--path FILE] [--target COLUMN] [--repeats 5]
"""

import argparse
import statistics
import time

import _kavro_core as kc
from kavro import _blocks
from kavro.evaluate import progressive_val_score
from kavro.stream import iter_csv

LEARNERS = ("NaiveBayes", "HoeffdingTreeClassifier")


def python_loop(records, model, metric):
    predict, learn, update = model.predict_one, model.learn_one, metric.update
    start = time.perf_counter()
    for x, y in records:
        update(y, predict(x))
        learn(x, y)
    return time.perf_counter() - start


def native(path, target, model, metric):
    start = time.perf_counter()
    progressive_val_score(iter_csv(path, target), model, metric, every=10_000, progress=False)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", default="/work/shared/data/electricity.csv")
    parser.add_argument("--target", default="class")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    records = list(iter_csv(args.path, args.target))
    n = len(records)
    fast_reader = _blocks.fast_csv_available()
    print(f"{args.path}: {n} examples; columnar reader: {'pyarrow' if fast_reader else 'not installed'}")
    print(f"{'learner':<26} {'python loop':>14} {'native, CSV':>14} {'ratio':>7}"
          f" {'native, own reader':>19} {'ratio':>7}")
    available = _blocks.fast_csv_available
    for name in LEARNERS:
        loop_t, fast_t, slow_t = [], [], []
        for _ in range(args.repeats):
            m = getattr(kc, name)()
            loop_t.append(python_loop(records, m, kc.Accuracy()))
            fast_t.append(native(args.path, args.target, getattr(kc, name)(), kc.Accuracy()))
            _blocks.fast_csv_available = lambda: False
            try:
                slow_t.append(native(args.path, args.target, getattr(kc, name)(), kc.Accuracy()))
            finally:
                _blocks.fast_csv_available = available
        fast_ratio = statistics.median(a / b for a, b in zip(loop_t, fast_t))
        slow_ratio = statistics.median(a / b for a, b in zip(loop_t, slow_t))
        print(f"{name:<26} {n / statistics.median(loop_t):>12,.0f}/s {n / statistics.median(fast_t):>12,.0f}/s"
              f" {fast_ratio:>6.2f}x {n / statistics.median(slow_t):>17,.0f}/s {slow_ratio:>6.2f}x")


if __name__ == "__main__":
    main()
