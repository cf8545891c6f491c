"""Long-stream soak: a million examples through the bounded-window classes and a forest.

Prints resident memory at checkpoints; the bounded-window classes must stay flat once their
window has filled. Usage: python bench/soak.py [--n 1000000] [--every 100000]
"""

import argparse
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


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--every", type=int, default=100_000)
    ap.add_argument("--only", nargs="*", help="subset of class names")
    args = ap.parse_args(argv)

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
