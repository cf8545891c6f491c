import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _kavro_core as kc

REGISTRATION_ORDER = [
    "ITransformer", "IClassifier", "IRegressor",
    "NaiveBayes", "Perceptron", "LogisticRegressionClassifier", "PassiveAggressiveClassifier",
    "SoftmaxRegression", "KNNClassifier", "HoeffdingTreeClassifier", "EFDTClassifier",
    "SGTClassifier", "ARFClassifier", "SRPClassifier", "LeveragingBaggingClassifier",
    "HoeffdingAdaptiveTreeClassifier", "LinearRegression", "BayesianLinearRegression",
    "PassiveAggressiveRegressor", "KNNRegressor", "HoeffdingTreeRegressor", "ARFRegressor",
    "SRPRegressor", "FIMTDDRegressor", "LeveragingBaggingRegressor", "SGBTClassifier",
    "SGBRRegressor", "StandardScaler", "MinMaxScaler", "MaxAbsScaler", "VarianceThreshold",
    "SelectKBest", "ClassificationPipeline", "RegressionPipeline", "Accuracy", "MacroPrecision",
    "MacroRecall", "MacroF1", "MAE", "RMSE", "WindowMetric", "WindowRegressionMetric", "R2",
    "ADWIN", "EDDM",
]


def test_docstring():
    assert kc.__doc__ == (
        "KAVRO C++ core \u2014 streaming learners, preprocessing, metrics, drift, pipelines"
    )


def test_registration_order():
    registered = [name for name, obj in vars(kc).items() if isinstance(obj, type)]
    assert registered == [n for n in REGISTRATION_ORDER if hasattr(kc, n)]


@pytest.mark.parametrize("name", ["ITransformer", "IClassifier", "IRegressor"])
def test_interfaces_have_no_constructor(name):
    with pytest.raises(TypeError, match=f"{name}: No constructor defined!$"):
        getattr(kc, name)()


def test_class_hierarchy():
    nb = kc.NaiveBayes()
    assert isinstance(nb, kc.IClassifier)
    assert not isinstance(nb, (kc.IRegressor, kc.ITransformer))
    assert kc.NaiveBayes.__bases__ == (kc.IClassifier,)


class TestRecordConversion:
    def test_int_and_bool_values_equal_floats(self):
        a, b = kc.NaiveBayes(), kc.NaiveBayes()
        for i in range(5):
            a.learn_one({"a": i, "b": i % 2 == 0}, i % 2)
            b.learn_one({"a": float(i), "b": 1.0 if i % 2 == 0 else 0.0}, i % 2)
        q = {"a": 2, "b": True}
        assert a.predict_proba_one(q) == b.predict_proba_one({"a": 2.0, "b": 1.0})

    def test_bytes_keys_are_taken_byte_for_byte(self):
        a, b = kc.NaiveBayes(), kc.NaiveBayes()
        for i in range(6):
            a.learn_one({"k\u00e9y": i * 0.5}, i % 3)
            b.learn_one({"k\u00e9y".encode(): i * 0.5}, i % 3)
        assert a.predict_proba_one({"k\u00e9y".encode(): 1.0}) == \
            b.predict_proba_one({"k\u00e9y": 1.0})
        assert a.predict_proba_one({"k\u00e9y".encode(): 1.0}) != \
            b.predict_proba_one({"k\u00e9y".encode("latin-1"): 1.0})

    def test_bad_key_type_leaves_learner_untouched(self):
        nb = kc.NaiveBayes()
        nb.learn_one({"a": 1.0}, 0)
        before = nb.predict_proba_one({"a": 1.0})
        with pytest.raises(TypeError, match="incompatible function arguments"):
            nb.learn_one({"a": 2.0, 1: 1.0}, 1)
        assert nb.predict_proba_one({"a": 1.0}) == before
        assert nb.predict_one({}) == 0

    @pytest.mark.parametrize("value", ["x", None, [1.0]])
    def test_non_numeric_value_rejected(self, value):
        with pytest.raises(TypeError):
            kc.NaiveBayes().learn_one({"a": value}, 0)

    def test_labels_are_32_bit_ints(self):
        nb = kc.NaiveBayes()
        with pytest.raises(TypeError):
            nb.learn_one({"a": 1.0}, 0.5)
        with pytest.raises(TypeError):
            nb.learn_one({"a": 1.0}, 2**31)
        nb.learn_one({}, -(2**31))
        nb.learn_one({}, 2**31 - 1)
        assert set(nb.predict_proba_one({})) == {-(2**31), 2**31 - 1}

    def test_learner_methods_are_positional(self):
        with pytest.raises(TypeError):
            kc.NaiveBayes().learn_one(x={"a": 1.0}, y=0)


@pytest.mark.skipif(sys.platform != "linux", reason="loads the built library under another interpreter")
def test_other_interpreter_is_refused(tmp_path):
    other = None
    for minor in ("3.11", "3.13"):
        found = sorted(Path.home().glob(f".pyenv/versions/{minor}*/bin/python{minor}"))
        if found:
            other = found[0]
            break
    if other is None:
        pytest.skip("no non-3.12 interpreter available")
    shutil.copy(kc.__file__, tmp_path / "_kavro_core.so")
    (tmp_path / "kavro").mkdir()
    for lib in Path(kc.__file__).parent.glob("kavro/libkavro_learners*.so"):
        shutil.copy(lib, tmp_path / "kavro" / lib.name)
    proc = subprocess.run(
        [str(other), "-c", f"import sys; sys.path.insert(0, {str(tmp_path)!r}); import _kavro_core"],
        capture_output=True, text=True,
    )
    assert proc.returncode != 0
    assert "ImportError: Python version mismatch: module was compiled for Python 3.12, " \
           "but the interpreter version is incompatible: " in proc.stderr
