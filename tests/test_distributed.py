"""kavro.distributed: keyed models on Ray actors, checkpoints, faults, evaluation grids."""

import functools
import json
import math
import os
import random
import shutil
import subprocess
import sys

import pytest

import kavro
from kavro import _native, datasets


def _saveable(name):
    return name in _native.class_names() and hasattr(kavro, name)


# Factories travel to the workers by reference, so they are partials of the classes themselves.
CLASSIFIERS = [("NaiveBayes", {}), ("HoeffdingTreeClassifier", {"grace_period": 30}),
               ("ARFClassifier", {"n_models": 3, "seed": 7})]
REGRESSORS = [("LinearRegression", {}), ("HoeffdingTreeRegressor", {"grace_period": 30})]
FACTORIES = [pytest.param(functools.partial(getattr(kavro, n), **kw), kind, id=n)
             for kind, group in (("classifier", CLASSIFIERS), ("regressor", REGRESSORS))
             for n, kw in group if _saveable(n)]


@pytest.fixture(scope="module")
def dist():
    if os.environ.get("LD_PRELOAD"):
        pytest.skip("Ray tests do not run in the sanitizer pass")
    pytest.importorskip("ray", reason="ray is not installed (pip install 'kavro[distributed]')")
    import kavro.distributed

    return kavro.distributed


def _stream(n, n_keys, kind, seed=3, nan=False):
    rng = random.Random(seed)
    keys, rows, ys = [], [], []
    for _ in range(n):
        k = rng.randrange(n_keys)
        keys.append(f"user-{k}" if k % 3 else k)  # str and int keys together
        x = {f"f{j}": rng.gauss(k % 5, 1.0) for j in range(4)}
        if nan and rng.random() < 0.2:
            del x[f"f{rng.randrange(4)}"]
        rows.append(x)
        s = x.get("f0", 0.0) + x.get("f1", 0.0)
        ys.append(int(s > 2 * (k % 5)) + (k % 2) if kind == "classifier" else s * 1.5 + k)
    return keys, rows, ys


def _reference(factory, keys, rows, ys):
    models = {}
    for k, x, y in zip(keys, rows, ys):
        if k not in models:
            models[k] = factory()
        models[k].learn_one(x, y)
    return models


def _assert_same(km, ref, probe_rows):
    assert km.keys() == list(ref)
    assert len(km) == len(ref)
    for key, model in ref.items():
        assert kavro.dumps(km.get(key)) == kavro.dumps(model), key
    keys = list(ref) * 2
    rows = [probe_rows[i % len(probe_rows)] for i in range(len(keys))]
    want = [ref[k].predict_one(x) for k, x in zip(keys, rows)]
    got = km.predict_many(keys, rows)  # an array, as kavro.predict_many gives
    assert type(got).__name__ == "ndarray" and got.tolist() == want


def _feed(km, keys, rows, ys, sizes, on_batch=None):
    pos = 0
    for b, size in enumerate(sizes):
        if size == 1:
            km.learn_one(keys[pos], rows[pos], ys[pos])
        else:
            km.learn_many(keys[pos:pos + size], rows[pos:pos + size], ys[pos:pos + size])
        pos += size
        if on_batch is not None:
            on_batch(b)
    return pos


SIZES = [200, 1, 57, 300, 1, 1, 140, 250, 90, 160]


# ----------------------------------------------------------------------------- without Ray running


def test_keys_hash_the_same_in_every_process(dist):
    keys = ["a", "user-17", "", "é", 0, -5, 2**70, 123456789]
    code = ("import json, sys; from kavro.distributed._shard import key_hash; "
            "print(json.dumps([key_hash(k) for k in json.loads(sys.argv[1])]))")
    seed = "2" if os.environ.get("PYTHONHASHSEED") == "1" else "1"
    out = subprocess.run([sys.executable, "-c", code, json.dumps(keys)], env=dict(os.environ, PYTHONHASHSEED=seed),
                         capture_output=True, text=True, check=True).stdout
    from kavro.distributed._shard import key_hash

    assert json.loads(out) == [key_hash(k) for k in keys]


def test_key_types(dist):
    np = pytest.importorskip("numpy")
    from kavro.distributed._shard import normalise_key

    assert dist.shard_of(np.int64(12), 7) == dist.shard_of(12, 7)
    assert type(normalise_key(np.int64(12))) is int
    assert type(normalise_key(np.str_("k"))) is str
    for bad in (True, 1.0, None, b"k", (1,)):
        with pytest.raises(TypeError, match="a key is a str or an int"):
            normalise_key(bad)
    # str and int keys are different keys
    spread = {dist.shard_of(k, 1000) for k in ("1", 1)}
    assert len(spread) == 2


def test_shard_file_round_trip_and_damage(dist):
    from kavro.distributed._shard import ShardState

    factory = kavro.NaiveBayes
    keys, rows, ys = _stream(300, 12, "classifier")
    whole = ShardState(factory, 0, 1)
    from kavro.distributed._shard import Batch

    whole.learn(Batch(keys, rows, None, ys, list(range(len(keys)))))
    data = whole.snapshot()
    # Split over 3 shards: each keeps its own keys, together they hold all of them.
    parts = [ShardState(factory, i, 3) for i in range(3)]
    assert sum(p.load_bytes(data, "t") for p in parts) == len(whole.models)
    for p in parts:
        for k, m in p.models.items():
            assert dist.shard_of(k, 3) == p.index
            assert kavro.dumps(m) == kavro.dumps(whole.models[k])
            assert p.stamps[k] == whole.stamps[k]
    fresh = ShardState(factory, 0, 1)
    for damaged, message in ((data[:-3], "truncated"), (b"XXXX" + data[4:], "not a shard file"),
                             (data + b"\0", "after the last entry"), (data[:10], "truncated")):
        with pytest.raises(ValueError, match=message):
            fresh.load_bytes(damaged, "t")


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
def test_grouped_learning_equals_learn_many_per_group(kind):
    np = pytest.importorskip("numpy")

    keys, rows, ys = _stream(400, 9, kind, nan=True)
    names = ["f0", "f1", "f2", "f3"]
    X = np.array([[x.get(n, math.nan) for n in names] for x in rows])
    factory = kavro.NaiveBayes if kind == "classifier" else kavro.LinearRegression
    table = list(dict.fromkeys(keys))
    order = np.array(sorted(range(400), key=lambda i: table.index(keys[i])))  # stable: each key's rows in order
    starts = np.searchsorted([table.index(keys[i]) for i in order], np.arange(len(table) + 1))
    models = [factory() for _ in table]
    y = np.array(ys)
    _native.learn_groups(models, np.asfortranarray(X), names, y[order], order, starts)  # any layout of X
    ref = _reference(factory, keys, rows, ys)
    assert [kavro.dumps(m) for m in models] == [kavro.dumps(ref[k]) for k in table]
    predicted = _native.predict_groups(models, X, names, order, starts)
    assert predicted.tolist() == [ref[keys[i]].predict_one(rows[i]) for i in order]
    if kind == "classifier":
        assert _native.predict_groups(models, X, names, order, starts, True) == \
            [ref[keys[i]].predict_proba_one(rows[i]) for i in order]
    else:
        with pytest.raises(TypeError, match="need classifiers"):
            _native.predict_groups(models, X, names, order, starts, True)

    # Everything is checked before any row is learnt.
    fresh = kavro.dumps(factory())
    models = [factory() for _ in range(3)]
    other = kavro.LinearRegression() if kind == "classifier" else kavro.NaiveBayes()
    order = np.arange(400)
    for given, args, error, message in (
            (models, (X, names, y, order, [0, 100, 400]), ValueError, "one more entry"),
            (models, (X, names, y, order, [0, 100, 200, 399]), ValueError, "from 0 to len"),
            (models, (X, names, y, order, [0, 300, 200, 400]), ValueError, "must not decrease"),
            (models, (X, names, y, np.r_[order[:-1], 400], [0, 100, 200, 400]), ValueError, "outside X"),
            (models, (X, names, y, np.r_[order[:-1], -1], [0, 100, 200, 400]), ValueError, "outside X"),
            (models, (X, names[:3], y, order, [0, 100, 200, 400]), ValueError, "one name per column"),
            (models, (X, ["a"] * 4, y, order, [0, 100, 200, 400]), ValueError, "names must differ"),
            (models, (X[0], names, y, order, [0, 100, 200, 400]), ValueError, "2-D"),
            (models, (X, names, y[:399], order, [0, 100, 200, 400]), ValueError, "y"),
            (models[:2] + [other], (X, names, y, order, [0, 100, 200, 400]), TypeError, "all classifiers")):
        with pytest.raises(error, match=message):
            _native.learn_groups(given, *args)
        assert all(kavro.dumps(m) == fresh for m in models)


def test_shards_learn_every_keys_rows_in_one_grouped_call(dist, monkeypatch):
    np = pytest.importorskip("numpy")
    from kavro.distributed._shard import Batch, ShardState

    keys, rows, ys = _stream(400, 9, "classifier", nan=True)
    names = ["f0", "f1", "f2", "f3"]
    X = np.array([[x.get(n, math.nan) for n in names] for x in rows])
    calls = []
    grouped = _native.learn_groups

    def spy(models, X, names, y, order, starts):
        calls.append((len(models), len(order)))
        grouped(models, X, names, y, order, starts)

    monkeypatch.setattr(_native, "learn_groups", spy)
    state = ShardState(kavro.NaiveBayes, 0, 1)
    state.learn(Batch(keys, X, names, np.array(ys, dtype=np.int32), 0))
    assert calls == [(9, 400)]
    ref = _reference(kavro.NaiveBayes, keys, rows, ys)
    assert list(state.models) == list(ref)
    assert all(kavro.dumps(state.models[k]) == kavro.dumps(m) for k, m in ref.items())



@pytest.mark.parametrize("first_only", [False, True])  # stamps given per row, or as the first row's
def test_shards_take_their_own_rows_of_a_shared_batch(dist, first_only):
    np = pytest.importorskip("numpy")
    from kavro.distributed._shard import Batch, ShardState, encode_keys

    keys, rows, ys = _stream(500, 20, "classifier", nan=True)
    names = ["f0", "f1", "f2", "f3"]
    X = np.array([[x.get(n, math.nan) for n in names] for x in rows])
    table, codes = encode_keys(keys)
    shared = Batch(table, X, names, np.array(ys, dtype=np.int32), 100 if first_only else np.arange(100, 600),
                   codes, np.array([dist.shard_of(k, 3) for k in table]))
    parts = [ShardState(kavro.NaiveBayes, i, 3) for i in range(3)]
    assert sum(p.learn(shared) for p in parts) == 500
    ref = _reference(kavro.NaiveBayes, keys, rows, ys)
    assert sum(len(p.models) for p in parts) == len(ref)
    for p in parts:
        assert all(dist.shard_of(k, 3) == p.index for k in p.models)
        assert all(kavro.dumps(m) == kavro.dumps(ref[k]) for k, m in p.models.items())
        assert p.stamps == {k: 100 + keys.index(k) for k in p.models}  # each key's first row


def test_native_key_numbering_gives_back_what_a_refused_call_numbered():
    np = pytest.importorskip("numpy")

    numbers, added = {"a": 0}, []
    assert _native.key_numbers(["a", 5, "b", 5], numbers, added, 10).tolist() == [0, 1, 2, 1]
    assert numbers == {"a": 0, 5: 1, "b": 2} and added == [5, "b"]

    class Key(str):
        pass

    # A key that is not a plain str or int, or a number reaching the limit: nothing stays numbered.
    for keys, limit in ((["c", True], 10), (["c", 1.0], 10), (["c", np.int64(3)], 10), (["c", Key("a")], 10),
                        (["c", "d"], 4)):
        before, added = dict(numbers), ["x"]
        assert _native.key_numbers(keys, numbers, added, limit) is None, keys
        assert numbers == before and list(numbers.values()) == [0, 1, 2] and added == ["x"]

    ints = _native.IntKeyNumbers()
    got, fresh = ints.number(np.array([7, -3, 7, 2**62]), 0, 10)
    assert got.tolist() == [0, 1, 0, 2] and fresh.tolist() == [7, -3, 2**62] and len(ints) == 3
    assert ints.number(np.array([7, 8, 9], dtype=np.int32), 3, 4) is None  # 9 would get 4
    got, fresh = ints.number(np.array([9, 7]), 3, 5)
    assert got.tolist() == [3, 0] and fresh.tolist() == [9]  # 8's number was given back
    ints.add(np.array([100]), np.array([4]))
    assert ints.number(np.array([100]), 5, 6)[0].tolist() == [4]

    assert _native.int_labels([1, 2**31 - 1, -2**31]).tolist() == [1, 2**31 - 1, -2**31]
    for bad in ([1, 2**31], [1, -2**31 - 1], [1, True], [1, 1.0], [1, np.int64(2)], [2**80]):
        assert _native.int_labels(bad) is None, bad
    assert _native.float_targets([1.5, -0.0]).tolist() == [1.5, -0.0]
    assert _native.float_targets([1.0, 2]) is None and _native.float_targets([np.float64(1)]) is None

    packed, names = _native.pack_rows([{"a": 1.5, "b": 2}, {"a": -0.0, "b": 2**70}])
    assert names == ["a", "b"] and packed.tolist() == [[1.5, 2.0], [-0.0, float(2**70)]]
    for rows in ([], [{"a": 1.0}, {"a": math.nan}], [{"a": 1.0}, {"b": 1.0}], [{"a": 1.0}, {"a": 1.0, "b": 1.0}],
                 [{"a": 1.0}, {"a": np.float64(1)}], [{1: 1.0}], [{"a": 1.0}, {"a": 10**400}], [{"a": 1.0}, []]):
        assert _native.pack_rows(rows) is None, rows


def test_dict_rows_travel_as_an_array_only_when_nothing_changes(dist):
    from kavro.distributed._inputs import _pack

    rows = [{"a": float(i), "b": i} for i in range(70)]  # ints become floats, as learn_one takes them
    arr, names = _pack(rows)
    assert names == ["a", "b"] and arr.dtype == "float64" and arr[5].tolist() == [5.0, 5.0]
    big = _pack(rows[:40] + [{"a": 2**70, "b": 2**53 + 1}] + rows[41:])[0]  # converted as learn_one converts
    assert big[40].tolist() == [float(2**70), float(2**53 + 1)]

    class Name(str):
        pass

    for odd in ({"b": 1.0, "a": 2.0}, {"a": 1.0}, {"a": 1.0, "b": 2.0, "c": 3.0}, {"a": 1.0, "c": 2.0},
                {"a": "1.5", "b": 1.0}, {"a": math.nan, "b": 1.0}, {"a": 10**400, "b": 1.0}, {"a": None, "b": 1.0},
                {"a": True, "b": 1.0}, {Name("a"): 1.0, "b": 1.0}, {"a": 1.0, 2: 1.0}):
        assert _pack(rows[:40] + [odd] + rows[41:]) is None, odd
    assert _pack([{"a": 1.0, "b": 2.0}] + rows[1:]) is not None  # ints and floats in one column
    assert _pack([{"a": [float(i)], "b": [1.0]} for i in range(70)]) is None  # sequences, not numbers
    assert _pack([{1: 1.0, 2: 2.0}] * 70) is None


def test_importing_kavro_does_not_import_ray():
    code = "import sys, kavro; sys.exit(1 if 'ray' in sys.modules else 0)"
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("missing", ["ray", "numpy"])
def test_missing_dependency_names_the_extra(monkeypatch, missing):
    if missing == "numpy":
        pytest.importorskip("ray")
    for name in [m for m in sys.modules if m == "kavro.distributed" or m.startswith("kavro.distributed.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError, match=r"kavro\[distributed\]"):
        import kavro.distributed  # noqa: F401


# ----------------------------------------------------------------------------- keyed models


@pytest.mark.parametrize("factory, kind", FACTORIES)
def test_keyed_models_equal_one_dict_fed_row_by_row(ray_session, dist, factory, kind):
    keys, rows, ys = _stream(sum(SIZES), 40, kind)
    with dist.KeyedModels(factory, n_shards=3, checkpoint_every=4) as km:
        _feed(km, keys, rows, ys, SIZES)
        ref = _reference(factory, keys, rows, ys)
        _assert_same(km, ref, rows)
        if kind == "classifier":
            probe = keys[:50] + ["never-seen"]
            want = [ref[k].predict_proba_one(x) if k in ref else factory().predict_proba_one(x)
                    for k, x in zip(probe, rows)]
            assert km.predict_proba_many(probe, rows[:51]) == want
        assert "never-seen" not in km and km.get("never-seen") is None


@pytest.mark.parametrize("one_node", [True, False])  # array rows as one message, or split per shard
def test_array_rows_with_missing_cells(ray_session, dist, one_node):
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    keys, rows, ys = _stream(900, 25, "classifier", nan=True)
    names = ["f0", "f1", "f2", "f3"]
    X = np.array([[x.get(n, math.nan) for n in names] for x in rows])
    ref = _reference(kavro.NaiveBayes, keys, rows, ys)
    with dist.KeyedModels(kavro.NaiveBayes, n_shards=2) as km:
        km._one_node = one_node
        km.learn_many(np.array(keys[:400], dtype=object), X[:400], np.array(ys[:400]), feature_names=names)
        frame = pd.DataFrame(X[400:], columns=names)
        km.learn_many(keys[400:], frame, pd.Series(ys[400:]))
        assert km.predict_many(keys[:100], X[:100], feature_names=names).tolist() == \
            [ref[k].predict_one(x) for k, x in zip(keys[:100], rows[:100])]
        probe, fresh = keys[:60] + ["never-seen"], kavro.NaiveBayes()
        assert km.predict_proba_many(probe, X[:61], feature_names=names) == \
            [(ref[k] if k in ref else fresh).predict_proba_one(x) for k, x in zip(probe, rows[:61])]
        _assert_same(km, ref, rows)


def test_refused_calls_change_nothing(ray_session, dist):
    np = pytest.importorskip("numpy")
    keys, rows, ys = _stream(400, 15, "classifier")
    with dist.KeyedModels(kavro.NaiveBayes, n_shards=2, checkpoint_every=5) as km:
        km.learn_many(keys[:300], rows[:300], ys[:300])
        before = {k: kavro.dumps(km.get(k)) for k in km.keys()}
        bad_rows = list(rows[300:])
        bad_rows[40] = {"f0": "text"}  # refused inside a shard, after other rows were learnt
        bad_calls = [
            ((keys[300:], bad_rows, ys[300:]), TypeError, None),
            ((keys[300:], rows[300:], ys[300:-1]), ValueError, "labels"),
            ((keys[300:-1] + [2.5], rows[300:], ys[300:]), TypeError, "key 99"),
            ((keys[300:], rows[300:], ys[300:-1] + [1.5]), TypeError, "class labels are ints"),
            ((keys[300:], rows[300:-1] + [[1.0]], ys[300:]), TypeError, "row 99"),
            ((keys[300:], rows[300:], np.array(ys[300:]) + 2**40), ValueError, "label 0 .*32 bits"),
            ((keys[300:], rows[300:], np.array(ys[300:], dtype=bool)), TypeError, "class labels are ints"),
            ((keys[300:], rows[300:], np.array(ys[300:], dtype=float)), TypeError, "label 0 is"),
        ]
        for args, error, message in bad_calls:
            with pytest.raises(error, match=message):
                km.learn_many(*args)
            assert {k: kavro.dumps(km.get(k)) for k in km.keys()} == before
        km.learn_many(keys[300:], rows[300:], ys[300:])
        _assert_same(km, _reference(kavro.NaiveBayes, keys, rows, ys), rows)
    with pytest.raises(TypeError, match="classifier or a regressor"):
        dist.KeyedModels(kavro.StandardScaler)
    with pytest.raises(ValueError, match="n_shards"):
        dist.KeyedModels(kavro.NaiveBayes, n_shards=0)


def test_key_forms_and_key_numbering(ray_session, dist, monkeypatch):
    np = pytest.importorskip("numpy")
    from kavro.distributed import _keys

    monkeypatch.setattr(_keys, "KEY_CACHE_LIMIT", 7)  # numbering starts over in most calls
    keys, rows, ys = _stream(700, 14, "classifier", seed=8)
    # NumPy scalars are the same keys as the plain values; "1" and 1 stay two keys.
    given = [(np.int64(k) if type(k) is int else np.str_(k)) if i % 2 else k for i, k in enumerate(keys)]
    keys[7:9] = given[7:9] = [1, "1"]
    fresh = kavro.NaiveBayes()
    with dist.KeyedModels(kavro.NaiveBayes, n_shards=3, checkpoint_every=2) as km:
        # Keys met first by a prediction are learnt later, after another new key of the same call.
        assert km.predict_many(["late", 10**30], rows[:2]).tolist() == [fresh.predict_one(x) for x in rows[:2]]
        _feed(km, given, rows, ys, [120, 1, 64, 215, 300])
        tail = (["early", "late", 10**30, "early"], rows[:4], ys[:4])
        km.learn_many(np.array(tail[0], dtype=object), tail[1], np.array(tail[2]))
        ref = _reference(kavro.NaiveBayes, keys + tail[0], rows + tail[1], ys + tail[2])
        assert list(ref)[-3:] == ["early", "late", 10**30]
        _assert_same(km, ref, rows)


def test_int_key_arrays_are_the_same_keys_as_lists(ray_session, dist, monkeypatch):
    np = pytest.importorskip("numpy")
    from kavro.distributed import _keys

    monkeypatch.setattr(_keys, "KEY_CACHE_LIMIT", 9)  # the numbering starts over now and then
    rng = random.Random(6)
    pool = [-5, 0, 3, 17, 2**40, 2**63 - 1, 11, 12, 13, 14]
    keys = [rng.choice(pool) for _ in range(640)]
    _, rows, ys = _stream(640, 7, "classifier", seed=6)
    names = ["f0", "f1", "f2", "f3"]
    X = np.array([[x[n] for n in names] for x in rows])
    keys[200:330] = [k % 2**31 for k in keys[200:330]]
    keys[500:640] = [k % 2**32 for k in keys[500:640]]
    given = [np.array(keys[:150]), keys[150:200], np.array(keys[200:330], dtype=np.int32),
             np.array(keys[330:450]), keys[450:500], np.array(keys[500:640], dtype=np.uint64)]
    with dist.KeyedModels(kavro.NaiveBayes, n_shards=3, checkpoint_every=2) as km:
        pos = 0
        for part in given:
            km.learn_many(part, X[pos:pos + len(part)], np.array(ys[pos:pos + len(part)]),
                          feature_names=names)
            pos += len(part)
        huge = np.array([2**63 + 1, 3], dtype=np.uint64)  # past int64: taken as plain ints
        km.learn_many(huge, X[:2], ys[:2], feature_names=names)
        ref = _reference(kavro.NaiveBayes, keys + [2**63 + 1, 3], rows + rows[:2], ys + ys[:2])
        _assert_same(km, ref, rows)
        with pytest.raises(ValueError, match="fit in 32 bits"):
            km.learn_many(np.array([3]), X[:1], np.array([2**40]), feature_names=names)


@pytest.mark.parametrize("on_disk", [False, True], ids=["in-driver", "checkpoint-dir"])
def test_killed_shards_are_rebuilt_without_losing_updates(ray_session, dist, tmp_path, on_disk):
    ray = ray_session
    keys, rows, ys = _stream(sum(SIZES), 30, "classifier", seed=11)
    options = {"checkpoint_dir": tmp_path / "auto"} if on_disk else {}
    with dist.KeyedModels(kavro.NaiveBayes, n_shards=2, checkpoint_every=3, **options) as km:

        def kill(b):
            if b in (1, 4, 5):  # after a checkpoint, with batches in flight since, twice in a row
                ray.kill(km._actors[b % 2])
            if b == 7:
                ray.kill(km._actors[0])
                ray.kill(km._actors[1])

        _feed(km, keys, rows, ys, SIZES, on_batch=kill)
        if on_disk:
            assert (tmp_path / "auto" / "manifest.json").exists()
        ray.kill(km._actors[1])  # noticed by a read
        _assert_same(km, _reference(kavro.NaiveBayes, keys, rows, ys), rows)


def test_lost_shard_without_checkpoints_is_an_error(ray_session, dist):
    keys, rows, ys = _stream(200, 10, "classifier")
    with dist.KeyedModels(kavro.NaiveBayes, n_shards=2, checkpoint_every=None) as km:
        km.learn_many(keys, rows, ys)
        ray_session.kill(km._actors[0])
        with pytest.raises(dist.ShardLostError, match="checkpoints are off"):
            km.learn_many(keys, rows, ys)


# ----------------------------------------------------------------------------- checkpoints


def test_checkpoint_and_restore_with_other_shard_counts(ray_session, dist, tmp_path):
    keys, rows, ys = _stream(1500, 35, "classifier", seed=5)
    path = tmp_path / "ck"
    with dist.KeyedModels(kavro.NaiveBayes, n_shards=3, checkpoint_every=None) as km:
        km.learn_many(keys[:500], rows[:500], ys[:500])
        km.checkpoint(tmp_path / "nested" / "folders" / "ck")  # the parents are made
        assert (tmp_path / "nested" / "folders" / "ck" / "manifest.json").exists()
        shutil.rmtree(tmp_path / "nested")
        km.checkpoint(path)  # replaced by the next one
        km.learn_many(keys[500:1000], rows[500:1000], ys[500:1000])
        km.checkpoint(str(path))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ck"]  # no temporary folder left
    manifest = json.loads((path / "manifest.json").read_text())
    assert manifest["n_shards"] == 3 and manifest["rows"] == 1000
    ref = _reference(kavro.NaiveBayes, keys, rows, ys)
    for n in (2, 1):  # 3 -> 2 reads every file, 3 -> 1 only the files that can hold its keys
        with dist.KeyedModels.restore(path, kavro.NaiveBayes, n_shards=n, checkpoint_every=None) as km:
            assert km.n_shards == n
            km.learn_many(keys[1000:], rows[1000:], ys[1000:])
            _assert_same(km, ref, rows)  # key order survives, new keys come after old ones


def test_restore_refuses_incomplete_or_damaged_checkpoints(ray_session, dist, tmp_path):
    keys, rows, ys = _stream(300, 8, "classifier")
    path = tmp_path / "ck"
    with dist.KeyedModels(kavro.NaiveBayes, n_shards=2, checkpoint_every=None) as km:
        km.learn_many(keys, rows, ys)
        km.checkpoint(path)
        good = {k: kavro.dumps(km.get(k)) for k in km.keys()}

        # A checkpoint cut short before its manifest leaves the previous one in place.
        from kavro.distributed import _store

        def fail(self, tmp, manifest):
            raise OSError("disk full")

        original = _store.Store.commit
        _store.Store.commit = fail
        try:
            km.learn_one(keys[0], rows[0], ys[0])
            with pytest.raises(OSError, match="disk full"):
                km.checkpoint(path)
        finally:
            _store.Store.commit = original
        assert sorted(p.name for p in tmp_path.iterdir()) == ["ck"]
        # Through fsspec, replacing an older checkpoint.
        km.checkpoint(f"local://{tmp_path}/viafs")
        km.learn_one(keys[1], rows[1], ys[1])
        km.checkpoint(f"local://{tmp_path}/viafs")
        latest = {k: kavro.dumps(km.get(k)) for k in km.keys()}
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ck", "viafs"]
    with dist.KeyedModels.restore(f"file://{path}", kavro.NaiveBayes, checkpoint_every=None) as km:
        assert {k: kavro.dumps(km.get(k)) for k in km.keys()} == good
    with dist.KeyedModels.restore(f"local://{tmp_path}/viafs", kavro.NaiveBayes, n_shards=1) as km:
        assert {k: kavro.dumps(km.get(k)) for k in km.keys()} == latest

    shard = path / "shard-00001.bin"
    data = shard.read_bytes()
    shard.write_bytes(data[:-1] + bytes([data[-1] ^ 1]))
    with pytest.raises(ValueError, match="damaged"):
        dist.KeyedModels.restore(path, kavro.NaiveBayes)
    (path / "manifest.json").unlink()
    with pytest.raises(ValueError, match="not a complete checkpoint"):
        dist.KeyedModels.restore(path, kavro.NaiveBayes)
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "notes.txt").write_text("x")
    with dist.KeyedModels(kavro.NaiveBayes, n_shards=1, checkpoint_every=None) as km:
        with pytest.raises(FileExistsError, match="not a checkpoint"):
            km.checkpoint(tmp_path / "other")
    assert (tmp_path / "other" / "notes.txt").read_text() == "x"


# ----------------------------------------------------------------------------- evaluation grids


def _without_timings(result):
    return [{k: v for k, v in row.items() if k not in ("elapsed", "throughput")} for row in result.rows]


def test_missing_regression_targets_are_refused_before_any_model_learns(ray_session, dist):
    with dist.KeyedModels(kavro.LinearRegression, n_shards=2, checkpoint_every=None) as km:
        with pytest.raises(ValueError, match=r"target 1 is missing \(NaN\).*no model was changed"):
            km.learn_many(["a", "b"], [{"x": 1.0}, {"x": 2.0}], [0.5, float("nan")])
        assert len(km) == 0
        km.learn_many(["a"], [{"x": 1.0}], [0.5])
        assert str(km.predict_many(["a"], [{"x": 1.0}]).dtype) == "float64"


def test_evaluate_many_equals_local_runs(ray_session, dist, monkeypatch):
    pd = pytest.importorskip("pandas")
    sea = functools.partial(datasets.SEA, seed=4, n_samples=700)
    data = datasets.SEA(variant=1, seed=9).take(600)
    model = kavro.NaiveBayes()
    two = [kavro.Accuracy(), kavro.Accuracy()]
    if not _saveable("Accuracy"):
        with pytest.raises(TypeError, match="job 0 cannot be sent to a worker: its metrics cannot"):
            dist.evaluate_many([{"model": model, "stream": data, "metrics": two}])
        two = lambda: [kavro.Accuracy(), kavro.Accuracy()]  # noqa: E731  built on the worker
    jobs = [
        {"model": kavro.NaiveBayes, "stream": sea, "metrics": kavro.Accuracy, "every": 200},
        {"model": model, "stream": data, "metrics": two, "n": 450, "every": 100},
        {"model": functools.partial(kavro.NaiveBayes), "stream": sea, "metrics": lambda: [kavro.Accuracy()]},
    ]
    results = dist.evaluate_many(jobs, workers=2)
    local = [kavro.progressive_val_score(sea(), kavro.NaiveBayes(), kavro.Accuracy(), every=200),
             kavro.progressive_val_score(data, kavro.NaiveBayes(), [kavro.Accuracy(), kavro.Accuracy()],
                                         n=450, every=100),
             kavro.progressive_val_score(sea(), kavro.NaiveBayes(), [kavro.Accuracy()])]
    for got, want in zip(results, local):
        assert _without_timings(got) == _without_timings(want)
        assert got.n == want.n and got.metric_names == want.metric_names
        assert kavro.dumps(got.model) == kavro.dumps(want.model)
    assert kavro.dumps(model) == kavro.dumps(kavro.NaiveBayes())  # the caller's object is untouched
    frame = dist.to_frame(results, names=["a", "b", "c"])
    assert list(frame.columns[:3]) == ["job", "model", "step"]
    assert list(frame["job"]) == ["a"] * 4 + ["b"] * 5 + ["c"]
    assert isinstance(frame, pd.DataFrame)

    # Without metrics, a job takes progressive_val_score's defaults.
    (default,) = dist.evaluate_many([{"model": kavro.NaiveBayes, "stream": sea}])
    assert _without_timings(default) == _without_timings(kavro.progressive_val_score(sea(), kavro.NaiveBayes()))
    with pytest.raises(ValueError, match="no stream"):
        dist.evaluate_many([{"model": kavro.NaiveBayes}])
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"needs pandas: pip install 'kavro\[distributed\]'"):
        dist.to_frame(results)
    with pytest.raises(ValueError, match="'evry' is not an option"):
        dist.evaluate_many([{"model": kavro.NaiveBayes, "stream": sea, "metrics": kavro.Accuracy,
                             "evry": 5}])
    with pytest.raises(ValueError, match="job 1: every must be at least 1"):
        dist.evaluate_many([jobs[0], {**jobs[0], "every": 0}])


def test_cli_jobs_match_the_sequential_run(ray_session, dist, capsys):
    from kavro import cli

    argv = ["evaluate", "--model", "NaiveBayes", "--model", "NaiveBayes", "--stream", "sea:variant=2",
            "--n", "1500", "--every", "500", "--format", "json", "--no-progress"]
    assert cli.main(argv) == 0
    sequential = json.loads(capsys.readouterr().out)
    assert cli.main([*argv, "--jobs", "2"]) == 0
    remote = json.loads(capsys.readouterr().out)
    strip = [[{k: v for k, v in r.items() if k not in ("elapsed", "throughput")} for r in m["rows"]]
             for m in (sequential + remote)]
    assert strip[:2] == strip[2:] and len(strip[0]) == 3
    assert [m["model"] for m in remote] == [m["model"] for m in sequential]
    assert cli.main([*argv, "--jobs", "0"]) == 2
    assert "--jobs must be at least 1" in capsys.readouterr().err
