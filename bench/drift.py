"""Drift-detector throughput: updates per second of the eleven kavro detectors, fed one value at
a time from Python and (the catalogued ones) in one batch call, beside the reference detectors
run from Python through CapyMOA, all in one run.

    .venv/bin/python bench/drift.py [--n 200000] [--reference-python /path/to/python]

The reference runs in a child process of an interpreter that has capymoa (and Java 17):
--reference-python, else $KAVRO_CAPYMOA_PYTHON; without one its column is left empty. Each
detector gets the stream kind it takes: 0/1 outcomes (10% then 30% errors), values in [0, 1],
or real values with a mean shift, all from a fixed seed.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import time

# name -> (kavro constructor, reference class name in capymoa.drift.detectors, input kind)
DETECTORS = {
    "ADWIN": ("ADWIN", "ADWIN", "unit"),
    "EDDM": ("EDDM", "EDDM", "bits"),
    "DDM": ("DDM", "DDM", "bits"),
    "RDDM": ("RDDM", "RDDM", "bits"),
    "HDDM_A": ("HDDM_A", "HDDMAverage", "unit"),
    "HDDM_W": ("HDDM_W", "HDDMWeighted", "unit"),
    "PageHinkley": ("PageHinkley", "PageHinkley", "real"),
    "CUSUM": ("CUSUM", "CUSUM", "real"),
    "STEPD": ("STEPD", "STEPD", "bits"),
    "EWMAChart": ("EWMAChart", "EWMAChart", "bits"),
    "GeometricMovingAverage": ("GeometricMovingAverage", "GeometricMovingAverage", "real"),
}


def stream(kind: str, n: int) -> list[float]:
    rng = random.Random(7)
    if kind == "bits":
        return [1.0 if rng.random() < (0.1 if t < n // 2 else 0.3) else 0.0 for t in range(n)]
    if kind == "unit":
        return [min(1.0, max(0.0, rng.gauss(0.3 if t < n // 2 else 0.5, 0.15))) for t in range(n)]
    return [rng.gauss(0.0 if t < n // 2 else 1.0, 1.0) for t in range(n)]


def rate(run, n: int) -> float:
    """Updates per second: the best of three runs."""
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return n / best


def measure_kavro(n: int) -> dict[str, dict[str, float]]:
    from kavro import drift

    out = {}
    for name, (ctor, _, kind) in DETECTORS.items():
        values = stream(kind, n)
        if name == "EDDM":  # takes 0/1 outcomes as ints
            values = [int(v) for v in values]

        def single(values=values, ctor=ctor):
            det = getattr(drift, ctor)()
            update = det.update
            for v in values:
                update(v)

        row = {"single": rate(single, n)}
        if hasattr(getattr(drift, ctor)(), "update_many"):
            row["batch"] = rate(lambda ctor=ctor, values=values: getattr(drift, ctor)().update_many(values), n)
        out[name] = row
    return out


def measure_reference(n: int) -> dict[str, float]:
    """Runs in the reference interpreter: add_element per value from Python."""
    from capymoa.drift import detectors

    out = {}
    for name, (_, ref, kind) in DETECTORS.items():
        values = stream(kind, n)

        def run(values=values, ref=ref):
            det = getattr(detectors, ref)()
            add = det.add_element
            for v in values:
                add(v)

        out[name] = rate(run, n)
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=200_000, help="updates per kavro run")
    ap.add_argument("--reference-n", type=int, default=50_000, help="updates per reference run")
    ap.add_argument("--reference-python", default=os.environ.get("KAVRO_CAPYMOA_PYTHON"))
    ap.add_argument("--reference-child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.reference_child:
        print(json.dumps(measure_reference(args.reference_n)))
        return 0

    reference: dict[str, float] = {}
    if args.reference_python:
        done = subprocess.run([args.reference_python, __file__, "--reference-child", "--reference-n",
                               str(args.reference_n)], capture_output=True, text=True, cwd="/tmp")
        if done.returncode == 0:
            reference = json.loads(done.stdout.strip().splitlines()[-1])
        else:
            print(f"reference run failed:\n{done.stderr[-2000:]}", file=sys.stderr)
    ours = measure_kavro(args.n)

    print(f"{'detector':<24}{'kavro update()':>16}{'kavro update_many':>20}{'reference (CapyMOA)':>22}"
          f"{'x (update)':>12}")
    for name in DETECTORS:
        single, batch = ours[name]["single"], ours[name].get("batch")
        ref = reference.get(name)
        print(f"{name:<24}{single:>16,.0f}{(f'{batch:,.0f}' if batch else '-'):>20}"
              f"{(f'{ref:,.0f}' if ref else '-'):>22}{(f'{single / ref:.1f}' if ref else '-'):>12}")
    print("updates per second, best of three runs of", f"{args.n:,}", "(kavro) and",
          f"{args.reference_n:,}" if reference else "no", "(reference) values")
    return 0


if __name__ == "__main__":
    sys.exit(main())
