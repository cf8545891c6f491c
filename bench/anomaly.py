"""Anomaly detectors side by side with the reference implementations: ROC AUC and throughput.

Streams: AnomalyBlobs-like data of 12,000 examples (6 features with 1 % outliers, 10 features with
2 % outliers), the cluster centres jumping half-way. Every detector runs test-then-train (each row
scored, then learnt) with the reference's default parameters, natively over the array (the
test-then-train batch entry, as the native evaluation loop runs it) and from Python (score_one then
learn_one per row); both give the same scores. The AUC is that of all the scores of the run.
Throughputs are examples per CPU second of the process (all its threads), so that other work on
the machine does not enter them. The reference implementations run in another interpreter (a scratch
virtual environment holding them: --reference-python PATH), on the same rows, in the same process
for each of its detectors; their scores come back through a .npz file.

    python bench/anomaly.py --reference-python /path/to/venv/bin/python
    python bench/anomaly.py --no-reference          # this library alone
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import kavro
from kavro import anomaly
from kavro.datasets import AnomalyBlobs

STREAMS = {"blobs-6d-1%": (6, 0.01), "blobs-10d-2%": (10, 0.02)}
N = 12_000

DETECTORS = {
    "HalfSpaceTrees": lambda: anomaly.HalfSpaceTrees(n_trees=25, height=15, window_size=250),
    "OnlineIsolationForest": lambda: anomaly.OnlineIsolationForest(
        n_trees=32, max_leaf_samples=32, growth="adaptive", subsample=1.0, window_size=2048),
    "LODA": lambda: anomaly.LODA(n_projections=100, window_size=256),
    "RSHash": lambda: anomaly.RSHash(n_components=300, sample_size=1000, n_hashes=4),
    "KNNDistance": lambda: anomaly.KNNDistance(k=10, window_size=1000),
}

# Runs inside the reference's interpreter: reads X, writes each detector's scores and seconds.
REFERENCE_SCRIPT = r'''
import sys, time, json
import numpy as np
from capymoa.stream import NumpyStream
from capymoa import anomaly as ref

data = np.load(sys.argv[1])
X, y = data["X"], data["y"]
makers = {
    "HalfSpaceTrees": lambda s: ref.HalfSpaceTrees(s, window_size=250, number_of_trees=25, max_depth=15),
    "OnlineIsolationForest": lambda s: ref.OnlineIsolationForest(
        schema=s, num_trees=32, max_leaf_samples=32, growth_criterion="adaptive", subsample=1.0,
        window_size=2048),
    "LODA": lambda s: ref.Loda(s, n_projections=100, window_size=256),
    "RSHash": lambda s: ref.RSHash(s, m=300, s=1000, w=4),
}
wanted = sys.argv[3].split(",")
out, seconds, errors = {}, {}, {}
for name in wanted:
    if name not in makers:
        errors[name] = "not in the reference"
        continue
    try:
        stream = NumpyStream(X, y.astype(int), target_type="categorical")
        model = makers[name](stream.get_schema())
        scores = np.empty(len(X))
        start = time.process_time()
        i = 0
        while stream.has_more_instances():
            inst = stream.next_instance()
            scores[i] = model.score_instance(inst)
            model.train(inst)
            i += 1
        seconds[name] = time.process_time() - start
        out[name] = scores
    except Exception as exc:
        errors[name] = f"{type(exc).__name__}: {exc}"
np.savez(sys.argv[2], **out)
print(json.dumps({"seconds": seconds, "errors": errors}))
'''


def roc_auc(labels: np.ndarray, scores: np.ndarray) -> float:
    """Exact ROC AUC, ties counting half."""
    pos, neg = scores[labels == 1], np.sort(scores[labels == 0])
    below = np.searchsorted(neg, pos, side="left")
    ties = np.searchsorted(neg, pos, side="right") - below
    return float((below + 0.5 * ties).sum() / (len(pos) * len(neg)))


def stream(n_features: int, contamination: float, seed: int) -> tuple[np.ndarray, np.ndarray, list]:
    data = AnomalyBlobs(n_features=n_features, contamination=contamination, drift_at=N // 2,
                        seed=seed).take(N)
    X = np.array([[x[f"x{j}"] for j in range(n_features)] for x, _ in data])
    y = np.array([label for _, label in data])
    return X, y, [x for x, _ in data]


def run_kavro(name: str, records: list) -> tuple[np.ndarray, float]:
    model = DETECTORS[name]()
    score, learn = model.score_one, model.learn_one
    scores = np.empty(len(records))
    start = time.process_time()
    for i, x in enumerate(records):
        scores[i] = score(x)
        learn(x)
    return scores, time.process_time() - start


def run_native(name: str, X: np.ndarray) -> tuple[np.ndarray, float]:
    """Test-then-train over the whole array in one native call."""
    from kavro import _native
    from kavro.batch import _columns

    model = DETECTORS[name]()
    columns, rows, names = _columns(X, None)
    start = time.process_time()
    scores = _native.score_learn_many(model, columns, rows, names)
    return scores, time.process_time() - start


def run_reference(python: str, X: np.ndarray, y: np.ndarray) -> tuple[dict, dict, dict]:
    with tempfile.TemporaryDirectory() as tmp:
        src, dst, script = (os.path.join(tmp, f) for f in ("in.npz", "out.npz", "ref.py"))
        np.savez(src, X=X, y=y)
        with open(script, "w", encoding="utf-8") as f:
            f.write(REFERENCE_SCRIPT)
        proc = subprocess.run([python, script, src, dst, ",".join(DETECTORS)], capture_output=True,
                              text=True, cwd=tmp)
        if proc.returncode != 0:
            raise RuntimeError(proc.stderr[-2000:])
        info = json.loads(proc.stdout.strip().splitlines()[-1])
        with np.load(dst) as data:
            scores = {k: data[k] for k in data.files}
    return scores, info["seconds"], info["errors"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reference-python", default=os.environ.get("KAVRO_REFERENCE_PYTHON"),
                        help="interpreter of a virtual environment holding the reference")
    parser.add_argument("--no-reference", action="store_true")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    figures = []
    header = (f"{'stream':<14} {'detector':<22} {'AUC':>7} {'ref AUC':>8} {'diff':>7} "
              f"{'ex/s':>9} {'py ex/s':>9} {'ref ex/s':>9} {'speed-up':>9} {'py speed-up':>11}")
    print(header)
    print("-" * len(header))
    for sname, (d, contamination) in STREAMS.items():
        X, y, records = stream(d, contamination, args.seed)
        ref_scores, ref_seconds, ref_errors = {}, {}, {}
        if args.reference_python and not args.no_reference:
            ref_scores, ref_seconds, ref_errors = run_reference(args.reference_python, X, y)
        for name in DETECTORS:
            scores, seconds = run_native(name, X)
            py_scores, py_seconds = run_kavro(name, records)
            assert np.array_equal(scores, py_scores), name
            auc, rate, py_rate = roc_auc(y, scores), N / seconds, N / py_seconds
            row = {"stream": sname, "detector": name, "auc": auc, "throughput": rate,
                   "python_throughput": py_rate}
            ref_auc = ref_rate = None
            if name in ref_scores:
                ref_auc, ref_rate = roc_auc(y, ref_scores[name]), N / ref_seconds[name]
                row.update(reference_auc=ref_auc, reference_throughput=ref_rate)
            elif name in ref_errors:
                row["reference_error"] = ref_errors[name]
            figures.append(row)
            ref_cells = (f"{ref_auc:8.4f} {auc - ref_auc:+7.4f}" if ref_auc is not None
                         else f"{'-':>8} {'-':>7}")
            rate_cells = (f"{ref_rate:9.0f} {rate / ref_rate:8.1f}x {py_rate / ref_rate:10.1f}x"
                          if ref_rate is not None else f"{'-':>9} {'-':>9} {'-':>11}")
            print(f"{sname:<14} {name:<22} {auc:7.4f} {ref_cells} {rate:9.0f} {py_rate:9.0f} {rate_cells}",
                  flush=True)
            if "reference_error" in row:
                print(f"{'':<14} (reference: {row['reference_error']})")
    print("\nex/s: native test-then-train over the array; py ex/s: score_one then learn_one per row "
          "from Python; ref ex/s: the reference's score_instance then train per row from Python.")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(figures, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
