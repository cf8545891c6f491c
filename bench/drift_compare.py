"""Compares the eleven drift detectors on the generators with drift, for the docs page.

A naive Bayes classifier runs test-then-train over each drifting stream; its 0/1 errors feed
every detector (default parameters) and kavro.evaluate.evaluate_detector scores the drift
reports against the known drift positions. Prints the markdown table of
docs/guide/drift-detectors.md and writes the plot docs/guide/drift-detectors.png.

    .venv/bin/python bench/drift_compare.py
"""

from __future__ import annotations

import sys
from pathlib import Path

from kavro import datasets, drift
from kavro.evaluate import evaluate_detector
from kavro.linear import NaiveBayes

PLOT = Path(__file__).resolve().parent.parent / "docs" / "guide" / "drift-detectors.png"
N = 30_000
TOLERANCE = 2_000
NAMES = ["ADWIN", "EDDM", "DDM", "RDDM", "HDDM_A", "HDDM_W", "PageHinkley", "CUSUM", "STEPD", "EWMAChart",
         "GeometricMovingAverage"]


def streams() -> dict[str, datasets.ConceptDrift]:
    sea = datasets.ConceptDrift(
        datasets.ConceptDrift(datasets.SEA(0, noise=0.1, seed=1), datasets.SEA(2, noise=0.1, seed=2),
                              position=10_000, kind="abrupt", seed=3),
        datasets.SEA(1, noise=0.1, seed=4), position=20_000, kind="abrupt", seed=5)
    agrawal = datasets.ConceptDrift(
        datasets.ConceptDrift(datasets.Agrawal(0, seed=1), datasets.Agrawal(2, seed=2), position=10_000,
                              width=1_000, seed=3),
        datasets.Agrawal(4, seed=4), position=20_000, width=1_000, seed=5)
    return {"SEA, abrupt": sea, "Agrawal, gradual": agrawal}


def errors(stream) -> list[float]:
    model, out = NaiveBayes(), []
    for x, y in stream.take(N):
        out.append(0.0 if model.predict_one(x) == y else 1.0)
        model.learn_one(x, y)
    return out


def main() -> int:
    results = {}
    print(f"| Detector | Stream | Detections | Mean delay | False alarms | Misses |")
    print("| --- | --- | ---: | ---: | ---: | ---: |")
    runs = {label: (s, errors(s)) for label, s in streams().items()}
    for name in NAMES:
        for label, (stream, errs) in runs.items():
            drifts = [int(p) for p, _ in datasets.drift_positions(stream)]
            res = evaluate_detector(getattr(drift, name)(), errs, drifts, TOLERANCE)
            results[(name, label)] = res
            delay = f"{res.mean_delay:.0f}" if res.mean_delay == res.mean_delay else "-"
            print(f"| `{name}` | {label} | {len(res.detections)} | {delay} | {res.false_alarms} | {res.misses} |")
    plot(runs, results)
    print(f"plot written to {PLOT}")
    return 0


def plot(runs, results) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, len(runs), figsize=(12, 6.5), sharex=True,
                             gridspec_kw={"height_ratios": [1, 2.2]}, squeeze=False)
    for col, (label, (stream, errs)) in enumerate(runs.items()):
        drifts = [p for p, _ in datasets.drift_positions(stream)]
        window = 500
        rolling, total = [], 0.0
        for i, e in enumerate(errs):
            total += e - (errs[i - window] if i >= window else 0.0)
            rolling.append(total / min(i + 1, window))
        top, bottom = axes[0, col], axes[1, col]
        top.plot(rolling, color="C0", linewidth=1)
        top.set_title(label)
        top.set_ylabel(f"error rate (last {window})")
        for row, name in enumerate(NAMES):
            found = results[(name, label)].detections
            bottom.scatter(found, [row] * len(found), marker="|", s=120, color=f"C{row % 10}")
        bottom.set_yticks(range(len(NAMES)), NAMES if col == 0 else [""] * len(NAMES))
        bottom.set_ylim(len(NAMES) - 0.5, -0.5)
        bottom.set_xlabel("examples seen")
        for ax in (top, bottom):
            for d in drifts:
                ax.axvline(d, color="0.3", linestyle=":", linewidth=1.2)
            ax.grid(True, alpha=0.3)
    fig.suptitle("Drift reports of each detector on a naive Bayes classifier's errors (dotted: true drifts)")
    fig.tight_layout()
    fig.savefig(PLOT, dpi=80)
    plt.close(fig)


if __name__ == "__main__":
    sys.exit(main())
