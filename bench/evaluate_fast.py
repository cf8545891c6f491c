"""Prequential evaluation from a CSV file: the native loop against the Python loop.

Four figures, measured in one run over the Electricity file (or --path/--target):

- first evaluation, cold and warm: a fresh process times its first evaluation (imports done
  beforehand, untimed), then the same evaluation again in that process; ratio cold / warm;
- from a pipe: the evaluation reading the file through a FIFO, and from an open binary file
  object, against the same from the path;
- delay and window: progressive_val_score(iter_csv(path), ..., delay=100 or window=500) against
  the Python loop over records already in memory with the same delay or window (above 1: the
  package's evaluation is faster);
- plain: the same without delay or window, and the native loop alone over blocks in memory.

Times are medians of --repeats paired runs. Usage: python bench/evaluate_fast.py [--path FILE]
[--target COLUMN] [--repeats 5]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import _kavro_core as kc
from kavro import _native
from kavro.evaluate import progressive_val_score
from kavro.stream import iter_csv

LEARNERS = ("NaiveBayes", "HoeffdingTreeClassifier")

COLD = """
import sys, time
import _kavro_core as kc
from kavro.evaluate import progressive_val_score
from kavro.stream import iter_csv
times = []
for _ in range(2):
    start = time.perf_counter()
    progressive_val_score(iter_csv(sys.argv[1], sys.argv[2]), kc.NaiveBayes(), kc.Accuracy(),
                          every=10_000, progress=False)
    times.append(time.perf_counter() - start)
print(times[0], times[1], "numpy" in sys.modules)
"""


def evaluation(stream, model, **options):
    start = time.perf_counter()
    progressive_val_score(stream, model, kc.Accuracy(), every=10_000, progress=False, **options)
    return time.perf_counter() - start


def python_in_memory(records, model, **options):
    return evaluation((pair for pair in records), model, **options)


def native_in_memory(blocks, model):
    start = time.perf_counter()
    loop = _native.Prequential(model, [kc.Accuracy()])
    for X, y, names in blocks:
        loop.run(X, y, names)
    return time.perf_counter() - start


def from_fifo(path, target, model):
    """The evaluation reading the file through a FIFO a thread writes it into."""
    with open(path, "rb") as fh:
        data = fh.read()
    with tempfile.TemporaryDirectory() as folder:
        fifo = os.path.join(folder, "data.csv")
        os.mkfifo(fifo)

        def write():
            with open(fifo, "wb") as out:
                out.write(data)

        writer = threading.Thread(target=write)
        writer.start()
        seconds = evaluation(iter_csv(fifo, target), model)
        writer.join()
    return seconds


def median_ratio(reference, times):
    return statistics.median(a / b for a, b in zip(reference, times))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--path", default="/work/shared/data/electricity.csv")
    parser.add_argument("--target", default="class")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    records = list(iter_csv(args.path, args.target))
    blocks = list(iter_csv(args.path, args.target).chunks())
    n = len(records)
    print(f"{args.path}: {n} examples, medians of {args.repeats} paired runs")

    cold, warm, numpy = [], [], set()
    for _ in range(args.repeats):
        out = subprocess.run([sys.executable, "-c", COLD, args.path, args.target], check=True,
                             capture_output=True, text=True).stdout.split()
        cold.append(float(out[0]))
        warm.append(float(out[1]))
        numpy.add(out[2])
    print(f"first evaluation (NaiveBayes): cold {statistics.median(cold) * 1e3:.1f} ms, warm "
          f"{statistics.median(warm) * 1e3:.1f} ms, cold/warm {median_ratio(cold, warm):.2f}x; "
          f"NumPy imported: {'/'.join(sorted(numpy))}")

    for name in LEARNERS:
        make = getattr(kc, name)
        path_t, pipe_t, object_t = [], [], []
        for _ in range(args.repeats):
            path_t.append(evaluation(iter_csv(args.path, args.target), make()))
            pipe_t.append(from_fifo(args.path, args.target, make()))
            with open(args.path, "rb") as fh:
                object_t.append(evaluation(iter_csv(fh, args.target), make()))
        print(f"{name:<24} from a FIFO {n / statistics.median(pipe_t):>12,.0f}/s, from a file object "
              f"{n / statistics.median(object_t):>12,.0f}/s, from the path {n / statistics.median(path_t):>12,.0f}/s "
              f"(path/FIFO time {median_ratio(path_t, pipe_t):.2f}x, path/object {median_ratio(path_t, object_t):.2f}x)")

    ways = {"plain": {}, "delay=100": {"delay": 100}, "window=500": {"window": 500}}
    print(f"{'learner':<24}{'way':<12}{'python, in memory':>20}{'native from CSV':>20}{'ratio':>9}"
          f"{'native, in memory':>20}")
    for name in LEARNERS:
        make = getattr(kc, name)
        for way, options in ways.items():
            ref, ours, alone = [], [], []
            for _ in range(args.repeats):
                ref.append(python_in_memory(records, make(), **options))
                ours.append(evaluation(iter_csv(args.path, args.target), make(), **options))
                if not options:
                    alone.append(native_in_memory(blocks, make()))
            line = (f"{name:<24}{way:<12}{n / statistics.median(ref):>18,.0f}/s"
                    f"{n / statistics.median(ours):>18,.0f}/s{median_ratio(ref, ours):>8.2f}x")
            if alone:
                line += f"{n / statistics.median(alone):>18,.0f}/s"
            print(line)


if __name__ == "__main__":
    main()
