"""The catalogued drift detectors: detections equal the recorded reference outputs, batch and
single updates agree, saved states continue exactly, bad input is refused; and
kavro.evaluate.evaluate_detector."""

import json
import math
import pickle
from functools import lru_cache
from pathlib import Path

import pytest

import kavro
from kavro import drift
from kavro.evaluate import evaluate_detector

from drift_streams import generate, suite

DATA = json.loads((Path(__file__).parent / "data" / "drift_reference.json").read_text())
NAMES = ["DDM", "RDDM", "HDDM_A", "HDDM_W", "PageHinkley", "CUSUM", "STEPD", "EWMAChart", "GeometricMovingAverage"]
# A stream each detector takes, and a value it refuses.
INPUT = {"DDM": ("bits", 0.5), "RDDM": ("bits", 2.0), "HDDM_A": ("unit", 1.5), "HDDM_W": ("unit", -0.1),
         "PageHinkley": ("real", math.inf), "CUSUM": ("real", math.nan), "STEPD": ("bits", 0.25),
         "EWMAChart": ("bits", -1.0), "GeometricMovingAverage": ("real", math.nan)}
STREAM = {"bits": "bits_abrupt_0", "unit": "unit_shift_0", "real": "real_shift_0"}


@lru_cache(maxsize=None)
def values(stream: str) -> tuple[float, ...]:
    return tuple(generate(DATA["streams"][stream]))


def expand(runs):
    return [i for a, b in runs for i in range(a, b + 1)]


def small(name):
    """Parameters that make every detector detect and restart often on 3000 values."""
    return {"RDDM": {"min_n_instances": 30, "max_size_concept": 800, "min_size_concept": 200, "warning_limit": 50},
            "HDDM_A": {"drift_confidence": 0.05, "warning_confidence": 0.1},
            "HDDM_W": {"drift_confidence": 0.05, "warning_confidence": 0.1},
            "PageHinkley": {"lambda_": 5.0}, "CUSUM": {"lambda_": 5.0}}.get(name, {})


def test_streams_regenerate_from_the_recorded_descriptions():
    assert DATA["streams"] == suite()
    assert values("bits_abrupt_0")[:12] == tuple(generate(suite()["bits_abrupt_0"]))[:12]
    assert set(values("bits_none_1")) == {0.0, 1.0} and min(values("unit_shift_2")) >= 0.0


@pytest.mark.parametrize("name", NAMES)
def test_detections_equal_the_reference(name):
    cases = [c for c in DATA["cases"] if c["detector"] == name]
    assert len(cases) >= 20 and any(c["drifts"] for c in cases) and any(c["params"] for c in cases)
    for case in cases:
        det = getattr(drift, name)(**case["params"])
        drifts, warnings = det.update_many(values(case["stream"]), warnings=True)
        where = f"{name}({case['params']}) on {case['stream']}"
        assert drifts == expand(case["drifts"]), where
        assert warnings == expand(case["warnings"]), where
        assert det.n_detections == len(drifts)


# Short crafted streams, each aimed at one rule, with the reference's outputs (drifts, warnings).
CRAFTED = [
    # Without variance (every outcome correct) the test statistic is infinite: a drift every 2w.
    ("STEPD", {"window_size": 5}, [0.0] * 40, ([9, 19, 29, 39], [])),
    # The first tested outcome can only warn; drifts come from the next one on.
    ("EWMAChart", {}, [0.0] * 25 + [1.0] * 6 + [0.0] * 10, ([29], [28])),
    # A decrease restarts the two-sided statistics silently, so the later rise is found sooner.
    ("HDDM_A", {}, [1.0] * 200 + [0.0] * 300 + [1.0] * 100, ([503], [])),
    ("HDDM_A", {"two_sided": False}, [1.0] * 200 + [0.0] * 300 + [1.0] * 100, ([510], [508, 509])),
    ("HDDM_W", {}, [1.0] * 200 + [0.0] * 300 + [1.0] * 100, ([514], [511, 512, 513])),
    # A warning lasting warning_limit outcomes becomes a drift.
    ("RDDM", {"min_n_instances": 10, "max_size_concept": 100, "min_size_concept": 50, "warning_limit": 5},
     [0.0, 1.0] * 100 + [1.0, 1.0, 0.0] * 200, ([208], [201, 203, 204, 205, 206, 207])),
    # A concept longer than max_size_concept restarts from its stored outcomes without a drift.
    ("RDDM", {"min_n_instances": 10, "max_size_concept": 100, "min_size_concept": 50, "warning_limit": 5},
     [0.0, 0.0, 0.0, 1.0] * 300, ([], list(range(103, 1104, 100)))),
    ("GeometricMovingAverage", {}, [0.0] * 1000 + [2.0] * 300, ([1073], [])),
    ("GeometricMovingAverage", {}, [0.0] * 1000 + [5.0] * 300, ([1022], [])),
    ("PageHinkley", {"lambda_": 20.0}, [0.0] * 100 + [3.0] * 50, ([107], [])),
    ("CUSUM", {"lambda_": 20.0}, [0.0] * 100 + [3.0] * 50, ([106], [])),
]


@pytest.mark.parametrize("name, params, seq, expected", CRAFTED)
def test_crafted_streams_match_the_reference(name, params, seq, expected):
    assert tuple(getattr(drift, name)(**params).update_many(seq, warnings=True)) == expected


@pytest.mark.parametrize("name", NAMES)
def test_single_updates_match_the_batch_and_state_continues_after_saving(name):
    seq = values(STREAM[INPUT[name][0]])
    batch = getattr(drift, name)(**small(name))
    expected = batch.update_many(seq, warnings=True)
    assert expected[0], "the stream should make the detector report drifts"

    det = getattr(drift, name)(**small(name))
    flags = []
    for i, x in enumerate(seq):
        if i == 1000:  # exact continuation through every persistence route
            det = pickle.loads(pickle.dumps(det))
            det = kavro.loads(kavro.dumps(det))
        det.update(x)
        flags.append((det.drift_detected, det.warning_detected))
    assert [i for i, f in enumerate(flags) if f[0]] == expected[0]
    assert [i for i, f in enumerate(flags) if f[1]] == expected[1]
    assert det.n_detections == batch.n_detections == len(expected[0])
    assert kavro.dumps(det) == kavro.dumps(batch)

    det.reset()
    fresh = getattr(drift, name)(**small(name))
    assert kavro.dumps(det) == kavro.dumps(fresh) and det.n_detections == 0
    clone = kavro.clone(batch)
    assert kavro.dumps(clone) == kavro.dumps(fresh)


@pytest.mark.parametrize("name", [n for n in NAMES if n != "RDDM"])
def test_the_update_after_a_drift_starts_from_a_fresh_state(name):
    # RDDM restarts from its stored outcomes instead, which the reference tests cover.
    seq = values(STREAM[INPUT[name][0]])
    det = getattr(drift, name)(**small(name))
    first = det.update_many(seq)[0]
    fresh = getattr(drift, name)(**small(name))
    rest = seq[first + 1:]
    det2 = getattr(drift, name)(**small(name))
    det2.update_many(seq[:first + 1])
    assert det2.update_many(rest, warnings=True) == fresh.update_many(rest, warnings=True)


@pytest.mark.parametrize("name", NAMES)
def test_bad_values_are_refused_and_change_nothing(name):
    kind, bad = INPUT[name]
    det = getattr(drift, name)()
    det.update_many(values(STREAM[kind])[:200])
    before = kavro.dumps(det)
    with pytest.raises(ValueError, match="'x'"):
        det.update(bad)
    with pytest.raises(ValueError, match="'x'"):
        det.update_many([0.0, 1.0, bad, 0.0])
    with pytest.raises(TypeError, match="'values'"):
        det.update_many(["0.5"])
    with pytest.raises(TypeError, match="'values'"):
        det.update_many(3.0)
    assert kavro.dumps(det) == before


def test_batch_calls_take_arrays_lists_and_refuse_other_shapes():
    np = pytest.importorskip("numpy")
    seq = values("real_shift_1")
    expected = drift.PageHinkley(lambda_=5.0).update_many(list(seq))
    assert drift.PageHinkley(lambda_=5.0).update_many(np.asarray(seq)) == expected
    strided = np.repeat(np.asarray(seq), 2)[::2]
    assert drift.PageHinkley(lambda_=5.0).update_many(strided) == expected
    assert drift.PageHinkley(lambda_=5.0).update_many(iter(seq)) == expected
    assert drift.DDM().update_many(np.zeros(50, dtype=np.int64)) == []
    with pytest.raises(ValueError, match="one-dimensional"):
        drift.PageHinkley().update_many(np.zeros((3, 2)))
    assert drift.PageHinkley().update_many([]) == []


@pytest.mark.parametrize("name, params, needle", [
    ("DDM", {"min_n_instances": 0}, "min_n_instances"),
    ("DDM", {"warning_level": 3.5}, "out_control_level"),
    ("DDM", {"warning_level": math.nan}, "warning_level"),
    ("RDDM", {"min_size_concept": 100, "max_size_concept": 50}, "max_size_concept"),
    ("RDDM", {"warning_limit": 0}, "warning_limit"),
    ("RDDM", {"drift_level": 1.0}, "drift_level"),
    ("HDDM_A", {"drift_confidence": 0.0}, "drift_confidence"),
    ("HDDM_A", {"warning_confidence": 1.0}, "warning_confidence"),
    ("HDDM_W", {"lambda_": 0.0}, "lambda_"),
    ("HDDM_W", {"lambda_": 1.5}, "lambda_"),
    ("PageHinkley", {"alpha": 1.5}, "alpha"),
    ("PageHinkley", {"lambda_": math.inf}, "lambda_"),
    ("CUSUM", {"delta": math.nan}, "delta"),
    ("STEPD", {"window_size": 0}, "window_size"),
    ("STEPD", {"alpha_drift": 1.0}, "alpha_drift"),
    ("EWMAChart", {"lambda_": 0.0}, "lambda_"),
    ("GeometricMovingAverage", {"alpha": -0.1}, "alpha"),
])
def test_bad_parameters_name_the_parameter(name, params, needle):
    with pytest.raises(ValueError, match=needle):
        getattr(drift, name)(**params)


def test_parameters_are_readable_and_defaults_follow_the_issue():
    assert (drift.RDDM().min_n_instances, drift.RDDM().warning_limit, drift.RDDM().drift_level) == (129, 1400, 2.258)
    assert (drift.HDDM_W().lambda_, drift.HDDM_W().two_sided, drift.HDDM_A().drift_confidence) == (0.05, True, 0.001)
    assert (drift.PageHinkley().alpha, drift.CUSUM().lambda_, drift.STEPD().window_size) == (0.9999, 50.0, 30)
    assert (drift.EWMAChart().lambda_, drift.GeometricMovingAverage().alpha) == (0.2, 0.99)
    for name in ("PageHinkley", "CUSUM", "GeometricMovingAverage"):
        det = getattr(drift, name)(lambda_=1.0)
        det.update_many(values("real_shift_2"))
        assert det.n_detections > 0 and not det.warning_detected


def test_corrupt_saved_states_are_refused():
    det = drift.STEPD(window_size=5)
    det.update_many([0.0, 1.0] * 10)
    state = kavro.dumps(det)
    assert kavro.loads(state).window_size == 5
    bad = bytearray(state)
    bad[-1] ^= 0xFF
    with pytest.raises(ValueError):
        kavro.loads(bytes(bad))


# evaluate_detector


def test_evaluate_detector_scores_delays_false_alarms_and_misses():
    class Scripted:
        """Reports drifts at fixed positions."""

        def __init__(self, at):
            self.at, self.i, self.drift_detected = set(at), -1, False

        def update(self, x):
            self.i += 1
            self.drift_detected = self.i in self.at

    seq = [0.0] * 100
    res = evaluate_detector(Scripted([5, 30, 33, 61, 95]), seq, [30, 60, 90], tolerance=3)
    assert res.detections == [5, 30, 33, 61, 95]
    assert res.delays == [0, 1, None] and res.mean_delay == 0.5
    assert (res.false_alarms, res.misses) == (3, 1)  # 5 (before any drift), 33 (late), 95 (too late)
    # A detection after the next drift belongs to that drift only.
    res = evaluate_detector(Scripted([12]), [0.0] * 20, [5, 10], tolerance=10)
    assert res.delays == [None, 2] and res.misses == 1 and res.false_alarms == 0
    res = evaluate_detector(Scripted([]), seq, [], tolerance=0)
    assert math.isnan(res.mean_delay) and res.false_alarms == res.misses == 0


def test_evaluate_detector_runs_every_kind_of_detector():
    seq = list(values("bits_abrupt_1"))
    res = evaluate_detector(drift.DDM(), seq, [1500], tolerance=300)
    assert res.detections == drift.DDM().update_many(seq)
    assert res.misses == 0 and 0 <= res.delays[0] <= 300
    for det in (drift.ADWIN(), drift.EDDM()):  # the core detectors, through update()
        res = evaluate_detector(det, seq, [1500], tolerance=500)
        assert res.misses + sum(d is not None for d in res.delays) == 1


def test_evaluate_detector_refuses_bad_arguments_before_updating():
    det = drift.DDM()
    with pytest.raises(ValueError, match="tolerance"):
        evaluate_detector(det, [0.0] * 10, [2], tolerance=-1)
    with pytest.raises(ValueError, match="increasing"):
        evaluate_detector(det, [0.0] * 10, [5, 2], tolerance=1)
    with pytest.raises(ValueError, match="drifts"):
        evaluate_detector(det, [0.0] * 10, [10], tolerance=1)
    with pytest.raises(TypeError, match="drifts"):
        evaluate_detector(det, [0.0] * 10, [2.5], tolerance=1)
    with pytest.raises(TypeError, match="detector"):
        evaluate_detector(object(), [0.0] * 10, [2], tolerance=1)
    assert kavro.dumps(det) == kavro.dumps(drift.DDM())


@pytest.mark.parametrize("name", NAMES)
def test_damaged_saved_states_are_refused_or_work(name):
    from state_roundtrip import check_hostile

    kind = INPUT[name][0]
    params = {**small(name), **({"min_size_concept": 20, "max_size_concept": 50, "min_n_instances": 10}
                                if name == "RDDM" else {"window_size": 4} if name == "STEPD" else {})}
    det = getattr(drift, name)(**params)
    det.update_many(values(STREAM[kind])[:1600])  # mid-warning or past drifts, rings wrapped

    def exercise(obj):
        obj.update_many(values(STREAM[kind])[1000:1300], warnings=True)
        obj.update(values(STREAM[kind])[0])
        obj.reset()
        obj.update_many(values(STREAM[kind])[:50])

    check_hostile(det, exercise, n=80)
