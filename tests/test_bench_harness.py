"""Smoke test of the benchmark harness (bench/): it runs end to end on a tiny stream and writes a
well-formed report. Nothing here asserts on timings."""
import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

import _kavro_core as kc

BENCH = Path(__file__).resolve().parents[1] / "bench"
sys.path.insert(0, str(BENCH))

import catalog  # noqa: E402
import compare  # noqa: E402
from streams import Stream, make_blocks  # noqa: E402


def test_every_registered_class_has_a_recipe():
    todo, no_recipe = catalog.entries(kc)
    assert no_recipe == []
    assert [e.name for e in todo] == catalog.module_classes(kc)
    assert len(catalog.RECIPES) == 42
    for e in catalog.RECIPES:
        if e.group == catalog.ENSEMBLE:
            assert e.member in catalog.MEMBERS and e.reps("clf2") > 1


def test_streams_are_fixed_and_blocked():
    a = make_blocks("clf5", 130, 50)
    b = make_blocks("clf5", 130, 50)
    assert [len(xs) for xs, _ in a] == [50, 50, 30]
    assert a == b
    xs, ys = a[0]
    assert set(ys) <= set(range(5)) and all(len(x) == 10 for x in xs)
    # a stream read in other block sizes yields the same records
    s = Stream("reg")
    flat = s.block(70)[0] + s.block(60)[0]
    assert flat == [x for xs, _ in make_blocks("reg", 130, 50) for x in xs]
    assert list(Stream("clf2", 1000).block(1)[0][0])[:2] == ["f000", "f001"]


def test_pure_python_naive_bayes_matches_the_learner():
    ours, ref = kc.NaiveBayes(), compare.PyNaiveBayes()
    for i, (x, y) in enumerate(zip(*make_blocks("clf5", 400, 400)[0])):
        p, q = ref.predict_proba_one(x), ours.predict_proba_one(x)
        assert p.keys() == q.keys()
        # while features hold one value per label, every label scores the floor: ties, which the
        # two break in different orders, and raw densities that underflow
        if i >= 20:
            assert ref.predict_one(x) == ours.predict_one(x)
            assert all(math.isclose(p[c], q[c], rel_tol=1e-9, abs_tol=1e-12) for c in p)
        ours.learn_one(x, y)
        ref.learn_one(x, y)


def test_harness_runs_end_to_end(tmp_path):
    pytest.importorskip("_kavro_testing")
    out = tmp_path / "results.json"
    names = [n for n in ("NaiveBayes", "Accuracy") if hasattr(kc, n)]
    proc = subprocess.run(
        [sys.executable, str(BENCH / "bench.py"), "--classes", ",".join(names), "--examples", "200",
         "--memory-examples", "200", "--no-scaling", "--no-compare", "--out", str(out)],
        capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert "targets hold" in proc.stdout
    doc = json.loads(out.read_text())
    assert sorted(doc["classes"]) == sorted(names)
    nb = doc["classes"]["NaiveBayes"]["streams"]
    assert set(nb) == {"clf2", "clf5"}
    for stream in nb.values():
        assert stream["n"] == 200
        assert set(stream["methods"]) == {"learn_one", "predict_one", "predict_proba_one"}
        for m in stream["methods"].values():
            assert m["us"] > 0 and m["floor_us"] > 0 and m["ratio"] > 0
    assert doc["memory"]["NaiveBayes"]["n"] == 200
    assert doc["memory"]["Floor"]["n"] == 200
    judged = {(t["class"], t["what"]) for t in doc["targets"]}
    assert ("NaiveBayes", "learn_one") in judged
    if "Accuracy" in names:
        assert set(doc["classes"]["Accuracy"]["streams"]["labels"]["methods"]) == {"update", "get"}
        assert ("Accuracy", "update - no-op") in judged
