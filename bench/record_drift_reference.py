"""Records the reference detectors' drift and warning positions on the test streams.

Writes tests/data/drift_reference.json: the stream descriptions (tests/drift_streams.py
regenerates them from their seeds) and, per detector, parameter set and stream, the positions
where the reference reported a drift and a warning, as runs [first, last]. Needs capymoa (and
Java 17) in the running interpreter; prints a notice and exits otherwise. Run it from a scratch
virtual environment, never the project's:

    python bench/record_drift_reference.py
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import drift_streams  # noqa: E402

OUT = ROOT / "tests" / "data" / "drift_reference.json"

# Reference class per detector name, parameter sets, and the stream kinds each takes.
CASES = {
    "DDM": ("DDM", [{}, {"min_n_instances": 10, "warning_level": 1.5, "out_control_level": 2.5}], ("bits",)),
    "RDDM": ("RDDM", [{}, {"min_n_instances": 30, "max_size_concept": 800, "min_size_concept": 200,
                           "warning_limit": 50},
                      {"min_n_instances": 10, "warning_level": 1.0, "drift_level": 1.5, "max_size_concept": 500,
                       "min_size_concept": 100, "warning_limit": 20}], ("bits",)),
    "HDDM_A": ("HDDMAverage", [{}, {"two_sided": False},
                               {"drift_confidence": 0.05, "warning_confidence": 0.1}], ("bits", "unit")),
    "HDDM_W": ("HDDMWeighted", [{}, {"two_sided": False, "lambda_": 0.2},
                                {"drift_confidence": 0.05, "warning_confidence": 0.1}], ("bits", "unit")),
    "PageHinkley": ("PageHinkley", [{}, {"min_n_instances": 10, "delta": 0.1, "lambda_": 5.0, "alpha": 0.99}],
                    ("bits", "unit", "real")),
    "CUSUM": ("CUSUM", [{}, {"min_n_instances": 10, "delta": 0.1, "lambda_": 5.0}], ("bits", "unit", "real")),
    "STEPD": ("STEPD", [{}, {"window_size": 10, "alpha_drift": 0.01, "alpha_warning": 0.1}], ("bits",)),
    "EWMAChart": ("EWMAChart", [{}, {"min_n_instances": 10, "lambda_": 0.5}], ("bits",)),
    "GeometricMovingAverage": ("GeometricMovingAverage", [{}, {"min_n_instances": 10, "lambda_": 0.3, "alpha": 0.9}],
                               ("bits", "unit", "real")),
}


def runs(indices: list[int]) -> list[list[int]]:
    out: list[list[int]] = []
    for i in indices:
        if out and out[-1][1] == i - 1:
            out[-1][1] = i
        else:
            out.append([i, i])
    return out


def reference(cls_name: str, params: dict, values: list[float]) -> tuple[list[int], list[int]]:
    from capymoa.drift import detectors

    kwargs = dict(params)
    if "two_sided" in kwargs:
        kwargs["test_type"] = "Two-sided" if kwargs.pop("two_sided") else "One-sided"
    detector = getattr(detectors, cls_name)(**kwargs)
    drifts, warnings = [], []
    for i, v in enumerate(values):
        detector.add_element(float(v))
        if detector.detected_change():
            drifts.append(i)
        if detector.detected_warning():
            warnings.append(i)
    return drifts, warnings


def main() -> int:
    try:
        import capymoa  # noqa: F401
    except ImportError:
        print("capymoa is not installed here: nothing recorded (run from a scratch environment with capymoa)")
        return 0
    streams = drift_streams.suite()
    values = {name: drift_streams.generate(desc) for name, desc in streams.items()}
    cases = []
    for name, (cls_name, param_sets, kinds) in CASES.items():
        for params in param_sets:
            for stream, desc in streams.items():
                if desc["kind"] not in kinds:
                    continue
                drifts, warnings = reference(cls_name, params, values[stream])
                cases.append({"detector": name, "params": params, "stream": stream,
                              "drifts": runs(drifts), "warnings": runs(warnings)})
        print(f"{name}: recorded")
    OUT.write_text(json.dumps({"streams": streams, "cases": cases}, separators=(",", ":")) + "\n")
    print(f"{len(cases)} cases written to {OUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
