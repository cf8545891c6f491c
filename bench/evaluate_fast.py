"""Prequential evaluation from a CSV file: the native loop against the Python loop.

For each learner, four ways of running test-then-train over the Electricity file are timed in
alternation, in one run, each against the first:

- "python, in memory": records already in memory (the file read beforehand, untimed), a Python
  loop calling predict_one, the metric's update and learn_one (the reference);
- "native from CSV": progressive_val_score(iter_csv(path), ...): the file read and every cell
  converted on a native thread, the loop run in C++ block by block (what users and the command
  line get);
- "python from CSV": the same call over a plain generator of the same stream, which takes the
  Python loop and the stream's own reader (the speed before the native loop);
- "native, in memory": the native loop alone over blocks already read (untimed reading).

Prints examples per second and, for each way, the median of its paired ratios to the reference
(above 1: faster). Usage: python bench/evaluate_fast.py [--path FILE] [--target COLUMN] [--repeats 5]
"""

import argparse
import statistics
import time

import _kavro_core as kc
from kavro import _native
from kavro.evaluate import progressive_val_score
from kavro.stream import iter_csv

LEARNERS = ("NaiveBayes", "HoeffdingTreeClassifier")


def python_in_memory(records, model):
    metric = kc.Accuracy()
    predict, learn, update = model.predict_one, model.learn_one, metric.update
    start = time.perf_counter()
    for x, y in records:
        update(y, predict(x))
        learn(x, y)
    return time.perf_counter() - start


def native_from_csv(path, target, model):
    start = time.perf_counter()
    progressive_val_score(iter_csv(path, target), model, kc.Accuracy(), every=10_000, progress=False)
    return time.perf_counter() - start


def python_from_csv(path, target, model):
    start = time.perf_counter()
    progressive_val_score((pair for pair in iter_csv(path, target)), model, kc.Accuracy(),
                          every=10_000, progress=False)
    return time.perf_counter() - start


def native_in_memory(blocks, model):
    start = time.perf_counter()
    loop = _native.Prequential(model, [kc.Accuracy()])
    for X, y, names in blocks:
        loop.run(X, y, names)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", default="/work/shared/data/electricity.csv")
    parser.add_argument("--target", default="class")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    records = list(iter_csv(args.path, args.target))
    blocks = list(iter_csv(args.path, args.target).chunks())
    n = len(records)
    print(f"{args.path}: {n} examples; ratios: the reference's time over each way's time (median of "
          f"{args.repeats} paired runs)")
    ways = ["python, in memory", "native from CSV", "python from CSV", "native, in memory"]
    print(f"{'learner':<24}" + "".join(f"{w:>22}" for w in ways))
    for name in LEARNERS:
        times = {w: [] for w in ways}
        for _ in range(args.repeats):
            make = getattr(kc, name)
            times[ways[0]].append(python_in_memory(records, make()))
            times[ways[1]].append(native_from_csv(args.path, args.target, make()))
            times[ways[2]].append(python_from_csv(args.path, args.target, make()))
            times[ways[3]].append(native_in_memory(blocks, make()))
        rates = "".join(f"{n / statistics.median(times[w]):>20,.0f}/s" for w in ways)
        ratios = "".join(
            f"{statistics.median(a / b for a, b in zip(times[ways[0]], times[w])):>21.2f}x" for w in ways)
        print(f"{name:<24}{rates}\n{'':<24}{ratios}")


if __name__ == "__main__":
    main()
