"""Long-stream soak: a million examples through the bounded-window classes and a forest.

Prints resident memory at checkpoints; the bounded-window classes must stay flat once their
window has filled. Usage: python bench/soak.py [--n 1000000] [--every 100000]

With --memory, measures instead for every class the heap it holds per 1,000 examples on 10
continuous features, per 1,000 new feature names and per 1,000 new labels (allocator bytes in
use, read through mallinfo2), and how much dearer an example is at the end of each stream than
at its start.
Usage: python bench/soak.py --memory [--n 2000] [--only NAME ...]
"""

import argparse
import ctypes
import gc
import random
import resource
import sys
import time

import _kavro_core as kc


def rss_mib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * resource.getpagesize() / 2**20


def stream(n, seed=1):
    rng = random.Random(seed)
    for i in range(n):
        x = {f"x{j}": rng.random() for j in range(10)}
        # An abrupt concept change every 250k examples keeps the detectors busy.
        flip = (i // 250_000) % 2
        y = int((x["x0"] + x["x1"] > 1.0) != flip)
        yield x, y


def subjects():
    out = {
        "KNNClassifier": (kc.KNNClassifier(), "classifier"),
        "ADWIN": (kc.ADWIN(), "detector"),
        "WindowMetric": (kc.WindowMetric(), "cmetric"),
        "WindowRegressionMetric": (kc.WindowRegressionMetric(), "rmetric"),
        "ClassificationPipeline": (
            kc.ClassificationPipeline([kc.StandardScaler()], kc.NaiveBayes()), "classifier"),
        "ARFClassifier": (kc.ARFClassifier(n_models=3), "classifier"),
    }
    return out


def feed(obj, kind, x, y):
    if kind == "classifier":
        obj.predict_one(x)
        obj.learn_one(x, y)
    elif kind == "detector":
        obj.update(float(y))
    elif kind == "cmetric":
        obj.update(y, 1 - y if x["x2"] < 0.1 else y)
    elif kind == "rmetric":
        obj.update(float(y), x["x2"])


# ---- per-class memory ------------------------------------------------------------------------

class _MallInfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in ("arena", "ordblks", "smblks", "hblks", "hblkhd",
                                                "usmblks", "fsmblks", "uordblks", "fordblks",
                                                "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def heap_bytes():
    """Bytes the C allocator has handed out and not taken back (small blocks and mmapped ones)."""
    gc.collect()
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


CLASSIFIER_METRICS = {"Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "WindowMetric"}
REGRESSION_METRICS = {"MAE", "RMSE", "R2", "WindowRegressionMetric"}


def kind_of(name):
    cls = getattr(kc, name)
    if name in CLASSIFIER_METRICS:
        return "cmetric"
    if name in REGRESSION_METRICS:
        return "rmetric"
    if name in ("ADWIN", "EDDM"):
        return "detector"
    if issubclass(cls, kc.IClassifier):
        return "classifier"
    if issubclass(cls, kc.IRegressor):
        return "regressor"
    return "transformer"


def construct(name):
    if name == "ClassificationPipeline":
        return kc.ClassificationPipeline([kc.StandardScaler()], kc.NaiveBayes())
    if name == "RegressionPipeline":
        return kc.RegressionPipeline([kc.StandardScaler()], kc.LinearRegression())
    return getattr(kc, name)()


def step(obj, name, kind, x, label, value):
    """One example as a user would give it: a prediction (or transform), then learning."""
    if kind == "classifier":
        obj.predict_one(x)
        obj.learn_one(x, label)
    elif kind == "regressor":
        obj.predict_one(x)
        obj.learn_one(x, value)
    elif kind == "transformer":
        if name == "SelectKBest":
            obj.learn_one(x, value)
        else:
            obj.learn_one(x)
        obj.transform_one(x)
    elif kind == "cmetric":
        obj.update(label, label if x["x2"] < 0.8 else label + 1)
    elif kind == "rmetric":
        obj.update(value, x["x2"])
    elif name == "EDDM":
        obj.update(1 if x["x2"] < 0.3 else 0)
    else:
        obj.update(value)


def measured_stream(n, mode, seed=7):
    """(x, label, value): 10 continuous features; mode 'names' adds one new name per example,
    mode 'labels' gives each example a new label."""
    rng = random.Random(seed)
    for i in range(n):
        x = {f"x{j}": rng.random() for j in range(10)}
        if mode == "names":
            x[f"n{i}"] = rng.random()
        label = i if mode == "labels" else int(x["x0"] + x["x1"] > 1.0)
        yield x, label, 3.0 * x["x0"] - 2.0 * x["x1"] + 0.1 * rng.random()


def measure(name, n, mode):
    """KiB held per 1,000 examples over the second half of the stream, and the cost of an
    example over the last 10% of the stream as a ratio to its cost over the first 10%."""
    kind = kind_of(name)
    if mode == "labels":
        if kind not in ("classifier", "cmetric"):
            return None
        n = max(20, n // 10)  # one booster or table per label: kept short
    obj = construct(name)
    data = list(measured_stream(n, mode))
    tenth = max(1, n // 10)
    start = time.process_time()
    for i, (x, label, value) in enumerate(data):
        if i == n // 2:
            half = heap_bytes()
        if i == tenth:
            first_tenth = time.process_time() - start
        if i == n - tenth:
            last_start = time.process_time()
        step(obj, name, kind, x, label, value)
    last_tenth = time.process_time() - last_start
    end = heap_bytes()
    del obj
    return (end - half) / 1024 / ((n - n // 2) / 1000), last_tenth / first_tenth


def memory_table(names, n):
    print(f"# heap KiB held per 1,000 examples over the second half of the stream ({n} examples;"
          f" {max(20, n // 10)} with a new label each), and cost of the last 10% of examples"
          " as a ratio to the first 10%")
    print(f"{'class':34s} {'10 features':>18s} {'+1 name each':>18s} {'+1 label each':>18s}")
    for name in names:
        cells = []
        for mode in ("plain", "names", "labels"):
            r = measure(name, n, mode)
            cells.append("-" if r is None else f"{r[0]:9.1f} x{r[1]:<6.1f}")
        print(f"{name:34s} " + " ".join(f"{c:>18s}" for c in cells))
        sys.stdout.flush()


def all_class_names():
    interfaces = {"IClassifier", "IRegressor", "ITransformer"}
    return [n for n, o in vars(kc).items() if isinstance(o, type) and n not in interfaces]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--n", type=int, default=None)
    ap.add_argument("--every", type=int, default=100_000)
    ap.add_argument("--only", nargs="*", help="subset of class names")
    ap.add_argument("--memory", action="store_true", help="per-class memory and cost table")
    args = ap.parse_args(argv)

    if args.memory:
        memory_table(args.only or all_class_names(), args.n or 2000)
        return
    args.n = args.n or 1_000_000

    for name, (obj, kind) in subjects().items():
        if args.only and name not in args.only:
            continue
        start = time.perf_counter()
        base = rss_mib()
        marks = []
        for i, (x, y) in enumerate(stream(args.n), 1):
            feed(obj, kind, x, y)
            if i % args.every == 0:
                marks.append(rss_mib() - base)
        elapsed = time.perf_counter() - start
        print(f"{name:24s} {elapsed:7.1f}s  RSS growth (MiB) at every {args.every}: "
              + " ".join(f"{m:6.1f}" for m in marks))
        sys.stdout.flush()
        del obj


if __name__ == "__main__":
    main()
