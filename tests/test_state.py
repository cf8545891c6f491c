"""Saved states across every class: registration, the header and its checks, atomic saving,
missing files, and pickling through other processes and libraries."""

import json
import multiprocessing
import os
import pickle
import random
import struct
import subprocess
import sys

import pytest

import _kavro_core as kc
from catalog_objects import make as make_any
from kavro._registry import lookup
import kavro
from kavro import _native

from state_roundtrip import drive, payload_offset, reseal

# Classes whose saved state other work adds (trees and ensembles).
NOT_YET: set = set()
INTERFACES = {"ITransformer", "IClassifier", "IRegressor"}
CONCRETE = sorted(n for n, o in vars(kc).items() if isinstance(o, type) and n not in INTERFACES)
CONCRETE += sorted(e.name for e in kavro.catalog() if e.module == "kavro._native")


def make(name):
    if name == "ClassificationPipeline":
        return kc.ClassificationPipeline([kc.StandardScaler()], kc.NaiveBayes())
    if name == "RegressionPipeline":
        return kc.RegressionPipeline([kc.MinMaxScaler()], kc.LinearRegression())
    return make_any(lookup(name))


def trained(name, seed=0):
    rng = random.Random(seed)
    obj = make(name)
    drive(obj, [(rng.randint(2, 15), {k: rng.uniform(-2, 2) for k in "abc" if rng.random() < 0.8},
                 rng.randrange(3), rng.uniform(-2, 2)) for _ in range(40)], allow_reset=False)
    return obj


def test_every_concrete_class_has_a_saved_form():
    registered = set(_native.class_names())
    assert registered <= set(CONCRETE)
    assert set(CONCRETE) - NOT_YET == registered - NOT_YET
    assert len(registered) == len(_native.class_names())  # no class registered twice


@pytest.mark.parametrize("name", sorted(set(_native.class_names())))
def test_inspect_is_plain_data_and_loads_gives_back_the_state(name):
    obj = trained(name)
    out = kavro.inspect(obj)
    assert out["class"] == name
    json.dumps(out)
    data = kavro.dumps(obj)
    assert kavro.persistence.header(data)["class"] == name
    assert kavro.dumps(kavro.loads(data, expected=name)) == data
    assert kavro.dumps(kavro.loads(data, expected=type(obj))) == data


# -- header and format

@pytest.fixture
def state():
    return kavro.dumps(trained("MaxAbsScaler"))


def test_header_fields(state):
    h = kavro.persistence.header(state)
    assert h["class"] == "MaxAbsScaler"
    assert h["format_version"] == kavro.persistence.FORMAT_VERSION
    assert h["library_version"]
    assert h["payload_size"] == len(state) - payload_offset(state) - 4


@pytest.mark.parametrize("damage,message", [
    (lambda d: b"NOTKAVRO" + d[8:], "bad magic"),
    (lambda d: d[:8] + struct.pack("<I", kavro.persistence.FORMAT_VERSION + 1) + d[12:],
     "format version"),
    (lambda d: d[:8] + struct.pack("<I", 0) + d[12:], "format version"),
    (lambda d: d[:-1], "truncated"),
    (lambda d: d[:5], "truncated"),
    (lambda d: b"", "truncated"),
    (lambda d: d + b"\0", "overlong"),
    (lambda d: d[:-4] + bytes(b ^ 0xFF for b in d[-4:]), "checksum"),
    (lambda d: d[:-5] + bytes([d[-5] ^ 1]) + d[-4:], "checksum"),
])
def test_damaged_headers_are_refused_with_a_reason(state, damage, message):
    with pytest.raises(ValueError, match=message):
        kavro.loads(damage(state))


def test_a_state_of_another_class_is_refused_when_one_is_named(state):
    with pytest.raises(ValueError, match="holds a MaxAbsScaler, not a MinMaxScaler"):
        kavro.loads(state, expected="MinMaxScaler")
    with pytest.raises(ValueError, match="holds a MaxAbsScaler, not an ARFClassifier"):
        kavro.loads(state, expected="ARFClassifier")
    with pytest.raises(ValueError, match="not a StandardScaler"):
        kavro.loads(state, expected=kc.StandardScaler)
    with pytest.raises(TypeError):
        kavro.loads(state, expected=int)


def test_an_unknown_class_name_is_refused(state):
    forged = state.replace(b"\x0c\x00MaxAbsScaler", b"\x0c\x00NoSuchScaler", 1)
    with pytest.raises(ValueError, match="unknown class 'NoSuchScaler'"):
        kavro.loads(forged)


def test_payload_structure_errors(state):
    at = payload_offset(state)
    d = bytearray(state)
    # The payload opens with the hash table's bucket count, then its entry count.
    for buckets in (0, 4, 2**40, 2**64 - 1):
        d[at:at + 8] = struct.pack("<Q", buckets)
        with pytest.raises(ValueError, match="bucket count"):
            kavro.loads(reseal(d))
    d = bytearray(state)
    d[at + 8:at + 16] = struct.pack("<Q", 2**60)
    with pytest.raises(ValueError, match="exceeds the bytes that remain"):
        kavro.loads(reseal(d))
    # Bytes after the object's state inside a payload whose length and checksum agree.
    longer = bytearray(state[:-4] + b"\0\0\0\0" + b"\0\0\0\0")
    struct.pack_into("<Q", longer, at - 8, len(state) - at - 4 + 4)
    with pytest.raises(ValueError, match="not part of the MaxAbsScaler state"):
        kavro.loads(reseal(longer))


def test_random_bytes_are_refused():
    rng = random.Random(9)
    for n in range(0, 200, 7):
        with pytest.raises(ValueError):
            kavro.loads(bytes(rng.randrange(256) for _ in range(n)))


# -- files

def test_save_load_and_replace(tmp_path):
    path = tmp_path / "m.kavro"
    a, b = trained("Perceptron", 1), trained("Perceptron", 2)
    kavro.save(a, path)
    kavro.save(b, str(path))
    assert kavro.dumps(kavro.load(path)) == kavro.dumps(b)
    assert os.listdir(tmp_path) == ["m.kavro"]


def test_saved_files_follow_the_umask_as_open_does(tmp_path):
    previous = os.umask(0o027)
    try:
        kavro.save(trained("Perceptron", 1), tmp_path / "m.kavro")
        with open(tmp_path / "plain", "wb"):
            pass
    finally:
        os.umask(previous)
    assert (tmp_path / "m.kavro").stat().st_mode & 0o777 == (tmp_path / "plain").stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("failing", ["fsync", "replace"])
def test_a_failed_save_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch, failing):
    path = tmp_path / "m.kavro"
    old = trained("LinearRegression", 1)
    kavro.save(old, path)
    original = path.read_bytes()

    def fail(*args, **kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, failing, fail)
    with pytest.raises(OSError, match="No space left"):
        kavro.save(trained("LinearRegression", 2), path)
    monkeypatch.undo()
    assert path.read_bytes() == original
    assert os.listdir(tmp_path) == ["m.kavro"]
    assert kavro.dumps(kavro.load(path)) == kavro.dumps(old)


def test_loading_a_missing_or_damaged_file_names_the_path(tmp_path):
    missing = tmp_path / "nowhere.kavro"
    with pytest.raises(OSError, match="nowhere.kavro"):
        kavro.load(missing)
    bad = tmp_path / "bad.kavro"
    bad.write_bytes(b"KAVRO but not really")
    with pytest.raises(ValueError, match="bad.kavro"):
        kavro.load(bad)
    with pytest.raises(OSError, match="folder"):
        kavro.save(kc.MAE(), tmp_path / "no" / "such" / "dir.kavro")


# -- other processes and libraries

def _train_in_worker(args):
    model, seed = args
    rng = random.Random(seed)
    for _ in range(50):
        x = {"a": rng.uniform(-1, 1), "b": rng.uniform(-1, 1)}
        model.learn_one(x, int(x["a"] > x["b"]))
    return model


def test_models_travel_through_a_process_pool():
    models = [kc.LogisticRegressionClassifier(), kc.ClassificationPipeline(
        [kc.StandardScaler()], kc.Perceptron())]
    with multiprocessing.get_context("fork").Pool(2) as pool:
        remote = pool.map(_train_in_worker, [(m, i) for i, m in enumerate(models)])
    for i, (m, r) in enumerate(zip(models, remote)):
        local = _train_in_worker((m, i))
        assert kavro.dumps(r) == kavro.dumps(local)


@pytest.mark.parametrize("library", ["cloudpickle", "joblib"])
def test_cloudpickle_and_joblib(library, tmp_path):
    lib = pytest.importorskip(library)
    model = trained("KNNRegressor")
    if library == "cloudpickle":
        copy = pickle.loads(lib.dumps(model))
    else:
        lib.dump(model, tmp_path / "m.joblib")
        copy = lib.load(tmp_path / "m.joblib")
    assert kavro.dumps(copy) == kavro.dumps(model)


def test_the_core_module_alone_still_refuses_to_pickle():
    code = (
        "import pickle, sys, _kavro_core as kc\n"
        "assert 'kavro' not in sys.modules\n"
        "for obj in (kc.MAE(), kc.Perceptron(), kc.ADWIN()):\n"
        "    try:\n"
        "        pickle.dumps(obj)\n"
        "    except TypeError:\n"
        "        continue\n"
        "    sys.exit('pickled without kavro: %r' % obj)\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
