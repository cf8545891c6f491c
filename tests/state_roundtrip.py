"""Shared pieces of the saved-state tests: every route from an object to its copy, exact
comparison of outputs, and loading of damaged states."""

import copy
import os
import pickle
import random
import struct
import tempfile

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import kavro
from kavro import _native

# "deep" with KAVRO_HYPOTHESIS_PROFILE=deep, fewer examples under the sanitizers.
MODE = os.environ.get("KAVRO_HYPOTHESIS_PROFILE") or (
    "sanitizer" if os.environ.get("LD_PRELOAD") else "default")


def checks(default, sanitizer, deep):
    """Hypothesis settings with that many examples in each mode (deep also randomises the
    search); usable per test or as a profile, so other modules' settings stay untouched."""
    return settings(
        max_examples={"sanitizer": sanitizer, "deep": deep}.get(MODE, default),
        deadline=None, derandomize=MODE != "deep",
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


settings.register_profile("state", checks(15, 4, 300))
PROFILE = "state"


def _save_load(obj):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.kavro")
        kavro.save(obj, path)
        return kavro.load(path)


ROUTES = {
    **{f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
       for p in (2, 3, 4, 5)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "dumps": lambda o: kavro.loads(kavro.dumps(o)),
    "save": _save_load,
}


def copies(obj, routes=None):
    """One copy of obj through every route (or the named ones), by route name. Copying must
    leave obj's saved state as it was, and every copy must save the same bytes."""
    before = kavro.dumps(obj)
    out = {}
    for name in routes or ROUTES:
        route = ROUTES[name]
        c = route(obj)
        assert type(c) is type(obj), name
        assert c is not obj, name
        out[name] = c
    assert kavro.dumps(obj) == before
    for name, c in out.items():
        assert kavro.dumps(c) == before, name
    return out


def canon(value):
    """Output in a form where == means exact: floats by bits (NaN included), dicts as item
    lists so key order counts, other values with their type (True is not 1)."""
    if isinstance(value, float):
        return ("f", struct.pack("<d", value))
    if isinstance(value, dict):
        return ("d", [(canon(k), canon(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return ("l", [canon(v) for v in value])
    return (type(value), value)


def assert_same(a, b, what=""):
    assert canon(a) == canon(b), what


# -- streams

NAMES = ["a", "b", "c", "d", "e", "f"]
values = st.one_of(
    st.floats(-1e3, 1e3, allow_nan=False),
    st.sampled_from([0.0, -0.0, 1.0, 1e-300, 1e300, float("nan"), float("inf")]),
)
records = st.dictionaries(st.sampled_from(NAMES), values, max_size=5)
labels = st.integers(0, 3)
targets = st.floats(-100, 100, allow_nan=False)


def random_record(rng, n_names=len(NAMES)):
    names = rng.sample(NAMES[:n_names], rng.randint(0, n_names))
    return {n: rng.uniform(-10, 10) for n in names}


# -- damaged states

def payload_offset(data):
    """Offset of the payload: magic, version, two short strings, payload length."""
    at = 12
    for _ in range(2):
        (n,) = struct.unpack_from("<H", data, at)
        at += 2 + n
    return at + 8


def split_state(data):
    """(header up to the payload length, payload) of a saved state."""
    at = payload_offset(data)
    return data[:at - 8], data[at:-4]


def seal(head, payload):
    """A saved state around payload, with its length and checksum."""
    return (head + struct.pack("<Q", len(payload)) + payload
            + struct.pack("<I", _native.crc32(payload)))


def reseal(data):
    """data (bytes-like, payload length unchanged) with its checksum recomputed."""
    return seal(*split_state(bytes(data)))


# Kinds of damage to a payload p (a bytearray): each gives the damaged payload, or None
# where it does not apply to p (and then leaves p as it was).

def _flip(p, rng):
    if p:
        for _ in range(rng.randint(1, 4)):
            j = rng.randrange(len(p))
            p[j] ^= 1 << rng.randrange(8)
        return p
    return None


def _truncate(p, rng):
    return p[:rng.randrange(len(p) + 1)]


def _count(values):
    """An 8-byte count in place, one of values(len(p))."""
    def damage(p, rng):
        if len(p) < 8:
            return None
        j = rng.randrange(len(p) - 7)
        p[j:j + 8] = struct.pack("<Q", rng.choice(values(len(p))))
        return p
    return damage


def _random_bytes(past_end):
    """Up to 16 random bytes in place; past_end lets them run beyond the end."""
    def damage(p, rng):
        if not p:
            return None
        j = rng.randrange(len(p))
        n = rng.randint(1, 16)
        if not past_end:
            n = min(n, len(p) - j)
        p[j:j + n] = bytes(rng.randrange(256) for _ in range(n))
        return p
    return damage


def _random_tail(p, rng):
    return p[:rng.randrange(len(p) + 1)] + bytes(rng.randrange(256)
                                                  for _ in range(rng.randint(1, 24)))


def _word(values):
    """A 4-byte word in place, one of values."""
    def damage(p, rng):
        if len(p) < 4:
            return None
        j = rng.randrange(len(p) - 3)
        p[j:j + 4] = struct.pack("<I", rng.choice(values))
        return p
    return damage


# Bit flips, truncation, inflated 8-byte counts, random bytes in place, random tails.
DAMAGE = (_flip, _truncate, _count(lambda n: [2**63, 2**40, n + 1, 2**64 - 1]),
          _random_bytes(past_end=False), _random_tail)
# The same with other counts, random bytes that may run past the end, and odd 4-byte words.
WORD_DAMAGE = (_flip, _truncate,
               _count(lambda n: [2**32, 2**40, 2**62, 2**64 - 1, n, n // 8 + 1]),
               _random_bytes(past_end=True), _word([0, 1, 2**31 - 1, 2**32 - 1, 2**32 - 2]))


def mutations(data, rng, n, kinds=DAMAGE, drawn=False):
    """n damaged variants of a real state, each with a valid length and checksum: one damage of
    each kind in turn (or drawn at random), the last kind where the chosen one does not apply."""
    head, payload = split_state(data)
    out = []
    for i in range(n):
        p = bytearray(payload)
        kind = rng.randrange(len(kinds)) if drawn else i % len(kinds)
        damaged = kinds[kind](p, rng)
        if damaged is None and kind != len(kinds) - 1:
            damaged = kinds[-1](p, rng)
        out.append(seal(head, bytes(p if damaged is None else damaged)))
    return out


# One damage drawn by hypothesis: (kind, where, argument).
MUTATION = st.one_of(
    st.tuples(st.just("flip"), st.integers(0, 2**20), st.integers(0, 7)),
    st.tuples(st.just("truncate"), st.integers(0, 2**20), st.just(0)),
    st.tuples(st.just("count"), st.integers(0, 2**20), st.sampled_from(
        [2**63, 2**40, 2**32 - 1, 1000, 2, 0])),
    st.tuples(st.just("bytes"), st.integers(0, 2**20), st.integers(0, 2**32 - 1)),
)


def mutate(payload, mutation):
    kind, where, arg = mutation
    if not payload:
        return payload
    at = where % len(payload)
    b = bytearray(payload)
    if kind == "flip":
        b[at] ^= 1 << arg
    elif kind == "truncate":
        del b[at:]
    elif kind == "count":
        b[at:at + 8] = struct.pack("<Q", arg)[:len(b) - at]
    else:
        b[at:at + 4] = random.Random(arg).randbytes(4)[:len(b) - at]
    return bytes(b)


def mutated(data, steps):
    """data with each MUTATION of steps applied to its payload in turn, resealed."""
    head, payload = split_state(data)
    for m in steps:
        payload = mutate(payload, m)
    return seal(head, payload)


def sane(state, limits):
    """False when a loaded state holds a setting outside limits ({name: (low, high)}): ones
    with which learning takes unreasonably long (the constructors accept them too)."""
    stack = [state]
    while stack:
        v = stack.pop()
        if isinstance(v, dict):
            for k, w in v.items():
                if k in limits and isinstance(w, (int, float)):
                    low, high = limits[k]
                    if not (low <= w <= high):
                        return False
                stack.append(w)
        elif isinstance(v, list):
            stack.extend(v)
    return True


def check_loads_or_refuses(data, probe, limits, answer=lambda obj, x: obj.predict_one(x)):
    """False when data is refused (ValueError). Otherwise the loaded object answers for every
    probe record, is saved, learns the probe answering after each record (unless its settings
    are outside limits), and is saved and loaded again: True."""
    try:
        obj = kavro.loads(data)
    except ValueError:
        return False
    for x, _ in probe:
        answer(obj, x)
    kavro.dumps(obj)
    if sane(kavro.inspect(obj)["state"], limits):
        for x, y in probe:
            obj.learn_one(x, y)
            answer(obj, x)
    kavro.loads(kavro.dumps(obj))
    return True


def check_hostile(obj, exercise, seed=0, n=60):
    """Every damaged variant of obj's state loads as ValueError or as an object that then
    works (exercise(obj) runs without error)."""
    rng = random.Random(seed)
    data = kavro.dumps(obj)
    loaded = 0
    for bad in mutations(data, rng, n):
        try:
            restored = kavro.loads(bad)
        except ValueError:
            continue
        loaded += 1
        exercise(restored)
        kavro.dumps(restored)
    return loaded


# -- driving any object with one list of operations

import _kavro_core as kc  # noqa: E402

CLASSIFICATION_METRICS = {"Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "WindowMetric"}
REGRESSION_METRICS = {"MAE", "RMSE", "R2", "WindowRegressionMetric"}

# Writable attributes, by class.
ATTRS = {
    "LogisticRegressionClassifier": ["learning_rate", "l2"],
    "SoftmaxRegression": ["learning_rate", "l2"],
    "LinearRegression": ["learning_rate", "l2"],
    "BayesianLinearRegression": ["alpha", "beta"],
    "PassiveAggressiveRegressor": ["C", "epsilon"],
    "KNNClassifier": ["n_neighbors", "p"],
    "KNNRegressor": ["n_neighbors", "p"],
    "EDDM": ["warm_start", "alpha", "beta"],
}

# One operation: (code, record, label, target). Code 0 resets, 1 writes an attribute, anything
# else is a step of the object's own kind (predict then learn, transform then learn, update).
ops = st.tuples(st.integers(0, 15), records, labels, targets)


def _write_attr(obj, target):
    names = ATTRS.get(type(obj).__name__)
    if not names:
        return None
    name = names[int(abs(target)) % len(names)]
    value = 1 + int(abs(target)) % 4 if isinstance(getattr(obj, name), int) else abs(target) / 50.0
    try:
        setattr(obj, name, value)
    except ValueError as exc:  # a refused value (EDDM's alpha below beta) changes nothing
        return str(exc)
    return getattr(obj, name)


def drive(obj, operations, allow_reset=True):
    """Outputs of obj over the operations, in order."""
    name = type(obj).__name__
    out = []
    for code, x, y, t in operations:
        if code == 0 and allow_reset:
            obj.reset()
            continue
        if code == 1:
            out.append(_write_attr(obj, t))
            continue
        if isinstance(obj, kc.IClassifier):
            out.append(obj.predict_one(dict(x)))
            out.append(obj.predict_proba_one(dict(x)))
            obj.learn_one(dict(x), y)
        elif isinstance(obj, kc.IRegressor):
            out.append(obj.predict_one(dict(x)))
            obj.learn_one(dict(x), t)
        elif isinstance(obj, kc.ITransformer):
            out.append(obj.transform_one(dict(x)))
            if name == "SelectKBest":
                obj.learn_one(dict(x), t)
            else:
                obj.learn_one(dict(x))
        elif name in CLASSIFICATION_METRICS:
            obj.update(y, code % 4)
            out.append(obj.get())
            if name == "WindowMetric":
                out.extend([obj.get(1), obj.size])
        elif name in REGRESSION_METRICS:
            obj.update(t, sum(x.values()) if x else 0.0)
            out.append(obj.get())
            if name == "WindowRegressionMetric":
                out.extend([obj.get(1), obj.size])
        elif name == "ADWIN":
            obj.update(t if code % 3 else t + 50.0)
            out.extend([obj.drift_detected, obj.estimation, obj.width, obj.variance])
        elif name == "EDDM":
            obj.update(1 if code % 2 else 0)
            out.extend([obj.drift_detected, obj.warning_detected])
        elif isinstance(obj, _native.IClassificationMetric):  # measures of kavro.metrics
            if obj.input == "label":
                obj.update(y, code % 4)
            else:
                score = round(t, 1)
                as_dict = code % 2 or not hasattr(obj, "pos_label")  # LogLoss takes dicts only
                obj.update(y, {y: 0.5, code % 4: 1 / (1 + abs(score))} if as_dict else score)
            out.append(obj.get())
        elif isinstance(obj, _native.IRegressionMetric):
            obj.update(t, sum(x.values()) if x else 0.0)
            out.append(obj.get())
        elif isinstance(obj, _native.IAnomalyDetector):
            out.append(obj.score_one(dict(x)))
            if hasattr(obj, "predict_one"):
                out.append(obj.predict_one(dict(x)))
            obj.learn_one(dict(x))
        elif isinstance(obj, _native.IDriftDetector):  # detectors of kavro.drift
            if name in ("PageHinkley", "CUSUM", "GeometricMovingAverage"):
                obj.update(t if code % 3 else t + 50.0)
            elif name.startswith("HDDM"):
                obj.update(min(1.0, abs(t) / 10.0))
            else:
                obj.update(code % 2)
            out.extend([obj.drift_detected, obj.warning_detected, obj.n_detections])
        else:
            raise AssertionError(f"no driver for {name}")
    return out


def check_continues(obj, before, after, routes=None):
    """Trains obj on `before`, copies it through every route, then runs original and copies
    on `after`: every output and the final saved bytes must be identical."""
    drive(obj, before)
    cs = copies(obj, routes)
    expected = drive(obj, after)
    final = kavro.dumps(obj)
    for route, c in cs.items():
        assert_same(drive(c, after), expected, route)
        assert kavro.dumps(c) == final, route


def trained_alike(data, make, stream, writes):
    """Draws a cut point in stream and, before it, an attribute write (from writes) and a reset;
    returns an object and its twin from make(), trained alike up to the cut, and the rest."""
    cut = data.draw(st.integers(0, len(stream)), label="cut")
    write_at = data.draw(st.one_of(st.none(), st.integers(0, max(cut - 1, 0))), label="write_at")
    write = data.draw(writes, label="write")
    reset_at = data.draw(st.one_of(st.none(), st.integers(0, max(cut - 1, 0))), label="reset_at")
    model, twin = make(), make()
    for i, (x, y) in enumerate(stream[:cut]):
        for m in (model, twin):
            if i == write_at:
                setattr(m, *write)
            if i == reset_at:
                m.reset()
            m.learn_one(x, y)
    return model, twin, stream[cut:]


def exercise(obj, seed=1):
    """A few operations of every kind on obj (a restored, possibly odd, object)."""
    rng = random.Random(seed)
    operations = [(rng.randint(2, 15), random_record(rng), rng.randint(0, 3),
                   rng.uniform(-5, 5)) for _ in range(12)]
    drive(obj, operations, allow_reset=False)
    obj.reset()
    drive(obj, operations[:3], allow_reset=False)
