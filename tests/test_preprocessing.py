import math
import struct
from types import MappingProxyType
import re
from fractions import Fraction

import pytest

import _kavro_core as kc

kt = pytest.importorskip("_kavro_testing")

try:
    import numpy as np
except ImportError:  # optional
    np = None


def fma(a, b, c):
    """Single-rounding a * b + c (Fraction arithmetic is exact, float() rounds once)."""
    return float(Fraction(a) * Fraction(b) + Fraction(c))


def random_stream(rng, n, names="abcdef", p_absent=0.3):
    out = []
    for _ in range(n):
        x = {f: rng.gauss(0.0, 3.0) for f in names if rng.random() > p_absent}
        out.append((x, float(rng.randint(0, 4))))
    return out


def make(cls):
    if cls == "SelectKBest":  # fewer kept than seen, with a declared tie order
        t = kc.SelectKBest(k=3)
        t.set_feature_order(list("abcdefghqz"))
        return t
    return getattr(kc, cls)()


def learn(t, x, y=1.0):
    if isinstance(t, kc.SelectKBest):
        t.learn_one(x, y)
    else:
        t.learn_one(x)


ALL = ["StandardScaler", "MinMaxScaler", "MaxAbsScaler", "VarianceThreshold", "SelectKBest"]


def params(cls):
    sig = cls.__init__.__doc__.splitlines()[0]
    return re.findall(r"(\w+): [^=,]+(?: \| [^=,]+)* = ([^,)]+)", sig)


def test_constructor_defaults():
    assert params(kc.StandardScaler) == [("with_std", "True")]
    assert params(kc.VarianceThreshold) == [("threshold", "0.0"), ("min_samples", "2")]
    assert params(kc.SelectKBest) == [("k", "10"), ("use_abs", "False")]
    assert params(kc.MinMaxScaler) == params(kc.MaxAbsScaler) == []
    for name in ALL:
        assert getattr(kc, name).__bases__ == (kc.ITransformer,)


class TestScalers:
    def test_standard_scaler_examples(self):
        s = kc.StandardScaler()
        s.learn_one({"a": 1})
        assert s.transform_one({"a": 7}) == {"a": 0.0}  # one observation: variance 0
        s.learn_one({"a": 3})
        assert s.transform_one({"a": 3}) == {"a": 1.0}
        assert s.transform_one({"b": 5}) == {"b": 0.0}

    def test_standard_scaler_without_std_only_centres(self):
        s = kc.StandardScaler(with_std=False)
        assert s.transform_one({"a": 3, "b": 5}) == {"a": 3.0, "b": 5.0}
        s.learn_one({"a": 1})
        s.learn_one({"a": 3})
        assert s.transform_one({"a": 3, "b": 5}) == {"a": 1.0, "b": 5.0}

    def test_standard_scaler_matches_fused_welford(self, rng):
        s, ref = kc.StandardScaler(), {}
        for x, _ in random_stream(rng, 300):
            s.learn_one(x)
            for name, v in x.items():
                n, mean, var = ref.get(name, (0.0, 0.0, 0.0))
                n += 1
                d = v - mean
                mean = d / n + mean
                var = fma(d, v - mean, -var) / n + var
                ref[name] = (n, mean, var)
            q = {f: rng.gauss(0.0, 3.0) for f in "abcdefg"}
            got = s.transform_one(q)
            for name, v in q.items():
                n, mean, var = ref.get(name, (0.0, 0.0, 0.0))
                assert got[name] == (0.0 if var == 0.0 else (v - mean) / math.sqrt(var))

    def test_min_max_scaler_examples(self):
        s = kc.MinMaxScaler()
        s.learn_one({"a": 2})
        assert s.transform_one({"a": 9}) == {"a": 0.0}
        s.learn_one({"a": 4})
        assert s.transform_one({"a": 5, "b": 1}) == {"a": 1.5, "b": 0.0}
        assert s.transform_one({"a": 0}) == {"a": -1.0}  # not clipped

    def test_min_max_scaler_nan_only_as_first_value(self):
        s = kc.MinMaxScaler()
        for v in (1.0, math.nan, 3.0):
            s.learn_one({"a": v})
        assert s.transform_one({"a": 2.0}) == {"a": 0.5}
        s = kc.MinMaxScaler()
        s.learn_one({"a": math.nan})
        s.learn_one({"a": 3.0})
        assert math.isnan(s.transform_one({"a": 2.0})["a"])

    def test_max_abs_scaler_examples(self):
        s = kc.MaxAbsScaler()
        s.learn_one({"a": -4, "z": 0})
        assert s.transform_one({"a": 2, "z": 3, "b": 1}) == {"a": 0.5, "z": 0.0, "b": 0.0}

    @pytest.mark.parametrize("cls", ["StandardScaler", "MinMaxScaler", "MaxAbsScaler"])
    def test_fresh_scaler_gives_zeros_and_keeps_key_order(self, cls):
        x = {f"f{i}": float(i + 1) for i in range(20)}
        out = make(cls).transform_one(x)
        assert out == dict.fromkeys(x, 0.0)
        assert list(out) == kt.record_keys(x)


class TestVarianceThreshold:
    def test_min_samples_and_zero_variance(self):
        t = kc.VarianceThreshold()
        t.learn_one({"a": 1})
        assert t.transform_one({"a": 5, "z": 3}) == {"a": 5.0, "z": 3.0}
        t.learn_one({"a": 1})
        assert t.transform_one({"a": 5, "z": 3}) == {"z": 3.0}

    @pytest.mark.parametrize("values, survives", [((0, 2), True), ((0, 1), False)])
    def test_threshold_is_strict(self, values, survives):
        t = kc.VarianceThreshold(threshold=1.0)
        for v in values:
            t.learn_one({"a": v})
        assert ("a" in t.transform_one({"a": 1})) is survives

    def test_nan_variance_drops(self):
        t = kc.VarianceThreshold(threshold=-1.0)
        for v in (math.inf, 1.0):
            t.learn_one({"a": v})
        assert t.transform_one({"a": 1.0}) == {}


class TestSelectKBest:
    STREAM = [({"a": 1, "b": 1}, 1.0), ({"a": 2, "b": 1}, 2.0), ({"a": 3, "b": 2}, 3.0)]

    def test_passes_everything_until_learning(self):
        s = kc.SelectKBest(k=1)
        assert s.transform_one({"a": 1, "b": 2}) == {"a": 1.0, "b": 2.0}
        for x, y in self.STREAM:
            s.learn_one(x, y)
        assert s.transform_one({"a": 7, "b": 7, "c": 7}) == {"a": 7.0}
        s.reset()
        assert s.transform_one({"a": 1, "b": 2}) == {"a": 1.0, "b": 2.0}

    def test_k_zero_and_large_k(self):
        small, large = kc.SelectKBest(k=0), kc.SelectKBest(k=50)
        for x, y in self.STREAM:
            small.learn_one(x, y)
            large.learn_one(x, y)
        assert small.transform_one({"a": 1}) == {}
        assert large.transform_one({"a": 1, "b": 2, "c": 3}) == {"a": 1.0, "b": 2.0}

    def test_constant_and_single_sample_features_tie_at_zero(self):
        s = kc.SelectKBest(k=1)
        s.set_feature_order(["once", "const"])
        s.learn_one({"const": 5}, 1.0)
        s.learn_one({"const": 5, "once": 2}, 2.0)
        assert s.transform_one({"const": 1, "once": 1}) == {"once": 1.0}

    def test_ties_follow_declared_then_first_seen_order(self):
        s = kc.SelectKBest(k=1)
        s.learn_one({"b": 1}, 0.0)
        s.learn_one({"a": 1}, 0.0)
        assert s.transform_one({"a": 1, "b": 1}) == {"b": 1.0}
        s.set_feature_order(["a", "b"])  # both already indexed: no change
        assert s.transform_one({"a": 1, "b": 1}) == {"b": 1.0}
        s.reset()  # indices survive the reset
        s.learn_one({"a": 1}, 0.0)
        s.learn_one({"b": 1}, 0.0)
        assert s.transform_one({"a": 1, "b": 1}) == {"b": 1.0}
        fresh = kc.SelectKBest(k=1)
        fresh.set_feature_order(["d", "c"])
        fresh.learn_one({"c": 1, "d": 1}, 0.0)
        assert fresh.transform_one({"c": 1, "d": 1}) == {"d": 1.0}

    def test_use_abs_ranks_negative_correlation(self):
        plain, absolute = kc.SelectKBest(k=1), kc.SelectKBest(k=1, use_abs=True)
        for i in range(5):
            x = {"neg": -i * 2.0, "weak": float(i % 2)}
            plain.learn_one(x, float(i))
            absolute.learn_one(x, float(i))
        assert list(plain.transform_one({"neg": 1, "weak": 1})) == ["weak"]
        assert list(absolute.transform_one({"neg": 1, "weak": 1})) == ["neg"]

    def test_nan_scores_rank_last_without_breaking_the_sort(self):
        s = kc.SelectKBest(k=1)
        for i in range(3):
            x = {f"inf{j}": (math.inf if i == 0 else float(i)) for j in range(40)}
            x["const"] = 1.0
            s.learn_one(x, float(i))
        assert s.transform_one({"const": 1, "inf0": 1}) == {"const": 1.0}

    def test_ranking_matches_reference(self, rng):
        names = "abcdef"
        stream = random_stream(rng, 60, names)
        selectors = [kc.SelectKBest(k=k) for k in range(len(names) + 1)]
        stats, first_seen = {}, []
        for x, y in stream:
            for s in selectors:
                s.learn_one(x, y)
            for name in kt.record_keys(x):
                v = x[name]
                if name not in stats:
                    first_seen.append(name)
                    stats[name] = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.0]]
                for w, val in ((stats[name][0], v), (stats[name][1], y)):
                    w[0] += 1
                    old = w[1]
                    w[1] = fma(1 / w[0], val - old, old)
                    w[2] = fma(val - w[1], val - old, w[2])
                c = stats[name][2]
                old_mx = c[1]
                c[0] += 1
                c[1] = fma(1 / c[0], v - c[1], c[1])
                c[2] = fma(1 / c[0], y - c[2], c[2])
                p = fma(v - old_mx, y - c[2], -c[3])
                c[3] = c[3] + p / (c[0] - 1) if c[0] - 1 > 1 else c[3] + p

        def score(name):
            wx, wy, c = stats[name]
            if wx[0] <= 1:
                return 0.0
            vx, vy = wx[2] / (wx[0] - 1), wy[2] / (wy[0] - 1)
            return c[3] / math.sqrt(vx * vy) if vx != 0 and vy != 0 else 0.0

        ranked = sorted(first_seen, key=lambda n: (-score(n), first_seen.index(n)))
        query = dict.fromkeys(names + "z", 1.0)
        for k, s in enumerate(selectors):
            assert set(s.transform_one(query)) == set(ranked[:k])


def sized_order(keys):
    """Iteration order of a record reserved for len(keys), filled in this order."""
    return kt.record_keys(dict.fromkeys(keys, 0.0))


def test_selectors_build_fresh_sized_results():
    names = [f"f{i:02d}" for i in range(30)]
    vt, kb = kc.VarianceThreshold(), kc.SelectKBest(k=9)
    kb.set_feature_order(names)
    for i in range(3):
        x = {n: float(i * j) for j, n in enumerate(names)}
        vt.learn_one(x)
        kb.learn_one(x, float(i))
    query = {n: 2.0 for n in reversed(names[1:] + ["new1", "new2"])}  # f00 is constant
    order = kt.record_keys(query)
    assert list(vt.transform_one(query)) == sized_order(order) != kt.str_map_order(order)
    query["f00"] = 2.0
    assert "f00" not in vt.transform_one(query)
    order = kt.record_keys(query)
    kept = kb.transform_one(query)  # sized for the nine selected names
    assert len(kept) == 9 and list(kept) == sized_order([n for n in order if n in kept])


@pytest.mark.parametrize("cls", ALL)
def test_clone_is_independent(cls, rng):
    stream = random_stream(rng, 40)
    t = make(cls)
    for x, y in stream[:20]:
        learn(t, x, y)
    query = {f: 1.5 for f in "abcdefz"}
    before = t.transform_one(query)
    c = t.clone_state()
    assert type(c) is type(t) and c is not t
    assert c.transform_one(query) == before
    for x, y in stream[20:]:
        learn(c, {k: v * 10 for k, v in x.items()}, -y)
    learn(c, {"z": 3.0, "q": 1.0})
    assert t.transform_one(query) == before
    for x, y in stream[20:]:
        learn(t, x, y)
    assert t.clone_state().transform_one(query) == t.transform_one(query)


def test_standard_scaler_clone_keeps_with_std():
    s = kc.StandardScaler(with_std=False)
    assert s.clone_state().transform_one({"a": 4}) == {"a": 4.0}


@pytest.mark.parametrize("cls", ALL)
def test_reset_behaves_like_fresh(cls, rng):
    first, second = random_stream(rng, 30), random_stream(rng, 30, "cdefgh")
    used, fresh = make(cls), make(cls)
    for x, y in first:
        learn(used, x, y)
    used.reset()
    query = {f: 0.7 for f in "abcdefghz"}
    assert used.transform_one(query) == fresh.transform_one(query)
    for x, y in second:
        learn(used, x, y)
        learn(fresh, x, y)
        assert used.transform_one(query) == fresh.transform_one(query)


class TestRecordResults:
    """transform_one converts records itself for exact dicts of str keys; any other mapping goes
    through the general conversion. Both must give the same dict, entry for entry."""

    @staticmethod
    def entries(d):
        return [(k, struct.pack("<d", v)) for k, v in d.items()]

    @staticmethod
    def trained(cls, names, rng):
        t = kc.SelectKBest(k=len(names)) if cls == "SelectKBest" else getattr(kc, cls)()
        for i in range(6):
            x = {n: (0.0 if j % 4 == 0 else rng.gauss(0.0, 2.0)) for j, n in enumerate(names)}
            learn(t, x, float(i % 3))
        return t

    NAMES = {
        "ascii": [f"f{i}" for i in range(10)],
        "long and unicode": ["", "é", "名前", "a" * 40, "ab\x00c"] + [f"feature_{i:04d}" for i in range(9)],
        "wide": [f"x{i}" for i in range(300)],
    }

    @pytest.mark.parametrize("cls", ALL + ["SelectKBest-3"])
    @pytest.mark.parametrize("names", list(NAMES))
    def test_same_as_general_conversion(self, cls, names, rng):
        names = self.NAMES[names]
        t = kc.SelectKBest(k=3) if cls == "SelectKBest-3" else self.trained(cls, names, rng)
        if cls == "SelectKBest-3":  # result sized for 3 entries: a different bucket count
            learn(t, {n: rng.random() for n in names}, 1.0)
            learn(t, {n: rng.random() for n in names}, 2.0)
        queries = [{}, {names[0]: 1.0}, {n: rng.gauss(0.0, 5.0) for n in reversed(names)},
                   {n: rng.randint(-9, 9) for n in names[::2]},
                   {n: float("nan") for n in names[1::3]} | {"unseen": 2**60 + 1}]
        for q in queries:
            before = dict(q)
            got = t.transform_one(q)
            assert self.entries(got) == self.entries(t.transform_one(MappingProxyType(q)))
            assert q == before and got is not q
        if not cls.startswith("SelectKBest-"):
            fresh = getattr(kc, cls.split("-")[0])()  # before any learning every entry is kept
            q = {n: 1.5 for n in names}
            assert self.entries(fresh.transform_one(q)) == self.entries(
                fresh.transform_one(MappingProxyType(q)))

    @pytest.mark.parametrize("cls", ALL)
    def test_other_keys_and_values_take_the_general_path(self, cls, rng):
        t = self.trained(cls, list("abcd"), rng)
        def outcome(q):
            try:
                return self.entries(t.transform_one(q))
            except Exception as exc:  # undecodable byte keys fail on the way back
                return type(exc), str(exc)

        for q in ({"a": True, "b": 2.0}, {b"a": 1.0, "c": 3.0}, {"a": 1.0, b"\xff": 2.0},
                  {"a": np.float64(1.5)} if np else {"a": 1.5}):
            assert outcome(q) == outcome(MappingProxyType(q))
        for bad in ({1: 1.0}, {"a": "1"}, {"a": 10**400}, {"\ud800": 1.0}, {"a": None}):
            with pytest.raises(TypeError, match="incompatible function arguments"):
                t.transform_one(bad)

    def test_scaled_records_reuse_the_callers_keys(self):
        key = "".join(["fea", "ture"])
        s = kc.StandardScaler()
        s.learn_one({key: 1.0})
        out = s.transform_one({key: 3.0})
        assert next(iter(out)) is key
        out[key] = 5.0
        assert s.transform_one({key: 3.0}) == {key: 0.0}
