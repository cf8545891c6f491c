"""Cost of the measures of kavro.metrics, measured in one run and printed.

    .venv/bin/python bench/measures.py [--updates N]

- update: microseconds per update(y_true, y_pred) from Python, on 2-label predictions (label
  measures), scores rounded to 3 decimals (at most 1,001 distinct: the AUC measures' tables stay
  small) and 3-label probability dicts (LogLoss), against the core Accuracy on the same pairs.
- get: microseconds per get() after N updates; ROCAUC and PRAUC walk their table of distinct
  scores (a sorted vector and a small map of new scores), so their get() grows with it (also
  shown with real-valued scores, all distinct).
- evaluation: seconds for test-then-train of NaiveBayes on 20,000 Electricity examples with
  Accuracy alone (native loop) and with Accuracy, KappaT and ROCAUC (Python loop, predict_proba_one
  called for ROCAUC).
"""

import argparse
import random
import time

import kavro
from kavro import metrics as km


def per_call(fn, args, repeat=1):
    start = time.perf_counter()
    for _ in range(repeat):
        for a in args:
            fn(*a)
    return (time.perf_counter() - start) / (len(args) * repeat) * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updates", type=int, default=100_000)
    n = parser.parse_args().updates
    rng = random.Random(1)
    labels = [(rng.randrange(2), rng.randrange(2)) for _ in range(n)]
    scores = [(rng.randrange(2), round(rng.random(), 3)) for _ in range(n)]
    reals = [(y, rng.random()) for y, _ in scores]
    probas = []
    for _ in range(n):
        w = [rng.random() for _ in range(3)]
        probas.append((rng.randrange(3), {c: v / sum(w) for c, v in enumerate(w)}))

    print(f"update, microseconds per call ({n:,} updates)")
    base = per_call(km.Accuracy().update, labels)
    print(f"  {'Accuracy (core)':<18} {base:6.3f}")
    for cls in (km.CohenKappa, km.KappaM, km.KappaT, km.BalancedAccuracy, km.GeometricMean, km.MCC,
                km.F1, km.ConfusionMatrix):
        print(f"  {cls.__name__:<18} {per_call(cls().update, labels):6.3f}")
    for cls in (km.ROCAUC, km.RollingROCAUC, km.PRAUC):
        print(f"  {cls.__name__:<18} {per_call(cls().update, scores):6.3f}  (3-decimal scores)")
    print(f"  {'ROCAUC':<18} {per_call(km.ROCAUC().update, reals):6.3f}  (real scores, all distinct)")
    print(f"  {'LogLoss':<18} {per_call(km.LogLoss().update, probas):6.3f}  (3-label dicts)")
    print(f"  {'MAPE':<18} {per_call(km.MAPE().update, [(float(a) + 1, float(b)) for a, b in labels]):6.3f}")

    print("get, microseconds per call after the updates above")
    for label, cls, data in (("CohenKappa", km.CohenKappa, labels), ("ROCAUC 3-decimal", km.ROCAUC, scores),
                             ("ROCAUC real", km.ROCAUC, reals), ("RollingROCAUC", km.RollingROCAUC, reals),
                             ("PRAUC real", km.PRAUC, reals)):
        m = cls()
        for a in data:
            m.update(*a)
        print(f"  {label:<18} {per_call(m.get, [()] * 200):9.1f}")

    stream = kavro.datasets.Electricity().take(20_000)
    print("evaluation, seconds for NaiveBayes on 20,000 Electricity examples")
    for label, ms in (("Accuracy", lambda: [km.Accuracy()]),
                      ("Accuracy, KappaT, ROCAUC", lambda: [km.Accuracy(), km.KappaT(), km.ROCAUC()])):
        start = time.perf_counter()
        kavro.evaluate.progressive_val_score(stream, kavro.NaiveBayes(), ms(), every=5_000, progress=False)
        print(f"  {label:<26} {time.perf_counter() - start:6.2f}")


if __name__ == "__main__":
    main()
