import csv

import pytest

import _kavro_core as kc
from real_data import open_csv


FEATURES = ["signal", "noise", "scale"]


def labelled_stream(rng, n, n_classes=3):
    out = []
    for _ in range(n):
        y = rng.randrange(n_classes)
        x = {"signal": y * 2.0 + rng.gauss(0, 0.5), "noise": rng.gauss(0, 1), "scale": rng.gauss(50, 20)}
        if rng.random() < 0.2:
            del x["noise"]
        out.append((x, y))
    return out


def queries(rng, n=10):
    return [{"signal": rng.uniform(-1, 5), "noise": rng.gauss(0, 1), "scale": rng.gauss(50, 20)}
            for _ in range(n)]


def first_regressor():
    for name in ("LinearRegression", "PassiveAggressiveRegressor", "KNNRegressor",
                 "HoeffdingTreeRegressor"):
        if hasattr(kc, name):
            return getattr(kc, name)
    pytest.skip("no regressor registered yet")


class TestClassificationPipeline:
    def test_matches_the_chain_run_by_hand(self, rng):
        scaler, selector, nb = kc.StandardScaler(), kc.SelectKBest(k=2), kc.NaiveBayes()
        pipe = kc.ClassificationPipeline([kc.StandardScaler(), kc.SelectKBest(k=2)], kc.NaiveBayes())
        # first-seen order follows each converted record's own order: declare it for both
        pipe.set_feature_order(FEATURES)
        selector.set_feature_order(FEATURES)
        for x, y in labelled_stream(rng, 200):
            pipe.learn_one(x, y)
            scaler.learn_one(x)  # each step learns, then transforms
            x1 = scaler.transform_one(x)
            selector.learn_one(x1, float(y))
            nb.learn_one(selector.transform_one(x1), y)
        for q in queries(rng):
            expected = nb.predict_proba_one(selector.transform_one(scaler.transform_one(q)))
            # records rebuilt from Python dicts iterate in another order: sums differ in the last bits
            assert pipe.predict_proba_one(q) == pytest.approx(expected, rel=1e-12)
            assert pipe.predict_one(q) == max(expected, key=expected.get)

    def test_empty_steps_is_the_learner(self, rng):
        pipe, nb = kc.ClassificationPipeline([], kc.NaiveBayes()), kc.NaiveBayes()
        for x, y in labelled_stream(rng, 100):
            pipe.learn_one(x, y)
            nb.learn_one(x, y)
        for q in queries(rng):
            assert pipe.predict_proba_one(q) == nb.predict_proba_one(q)
            assert pipe.predict_one(q) == nb.predict_one(q)

    def test_callers_dict_is_unchanged(self, rng):
        pipe = kc.ClassificationPipeline(
            [kc.MinMaxScaler(), kc.VarianceThreshold(threshold=0.05), kc.SelectKBest(k=1)],
            kc.NaiveBayes())
        for x, y in labelled_stream(rng, 50):
            x["const"] = 1.0
            before = list(x.items())
            pipe.learn_one(x, y)
            pipe.predict_one(x)
            pipe.predict_proba_one(x)
            assert list(x.items()) == before

    def test_sharing_is_visible_both_ways(self, rng):
        scaler, nb = kc.MaxAbsScaler(), kc.NaiveBayes()
        pipe = kc.ClassificationPipeline([scaler], nb)
        other = kc.ClassificationPipeline([scaler], kc.NaiveBayes())
        for x, y in labelled_stream(rng, 60):
            pipe.learn_one(x, y)
        assert scaler.transform_one({"scale": 1.0})["scale"] > 0.0
        assert set(nb.predict_proba_one({})) == {0, 1, 2}
        q = queries(rng, 1)[0]
        scaler.learn_one({"signal": 1000.0})  # direct learning changes what the pipeline does
        expected = nb.predict_proba_one(scaler.transform_one(q))
        assert pipe.predict_proba_one(q) == pytest.approx(expected, rel=1e-12)
        other.reset()  # resets the shared scaler, seen from every holder
        assert scaler.transform_one({"scale": 1.0}) == {"scale": 0.0}
        assert nb.predict_proba_one({}) != {}
        pipe.reset()
        assert nb.predict_proba_one({}) == {} and nb.predict_one({}) == -1

    def test_nested_pipeline(self, rng):
        outer_scaler, inner_scaler, nb = kc.MaxAbsScaler(), kc.StandardScaler(), kc.NaiveBayes()
        inner = kc.ClassificationPipeline([inner_scaler], nb)
        outer = kc.ClassificationPipeline([outer_scaler], inner)
        ref = [kc.MaxAbsScaler(), kc.StandardScaler(), kc.NaiveBayes()]
        for x, y in labelled_stream(rng, 100):
            outer.learn_one(x, y)
            ref[0].learn_one(x)
            x1 = ref[0].transform_one(x)
            ref[1].learn_one(x1)
            ref[2].learn_one(ref[1].transform_one(x1), y)
        for q in queries(rng):
            expected = ref[2].predict_proba_one(ref[1].transform_one(ref[0].transform_one(q)))
            assert outer.predict_proba_one(q) == pytest.approx(expected, rel=1e-12)
        outer.reset()
        assert nb.predict_proba_one({}) == {}
        assert inner_scaler.transform_one({"signal": 3.0}) == {"signal": 0.0}

    @pytest.mark.parametrize("order, kept", [(["b", "a"], "b"), (["a", "b"], "a")])
    def test_set_feature_order_reaches_the_selector(self, order, kept):
        selector = kc.SelectKBest(k=1)
        pipe = kc.ClassificationPipeline([kc.StandardScaler(with_std=False), selector], kc.NaiveBayes())
        pipe.set_feature_order(order)
        pipe.learn_one({"a": 1.0, "b": 1.0}, 0)  # both score 0: the declared order decides
        assert list(selector.transform_one({"a": 1.0, "b": 1.0})) == [kept]

    def test_scaler_and_selector_before_naive_bayes_on_electricity(self):
        pipe = kc.ClassificationPipeline(
            [kc.StandardScaler(), kc.SelectKBest(k=3, use_abs=True)], kc.NaiveBayes())
        correct = total = 0
        with open_csv("electricity.csv") as f:
            for row in csv.DictReader(f):
                y = int(row.pop("class"))
                x = {k: float(v) for k, v in row.items()}
                correct += pipe.predict_one(x) == y
                pipe.learn_one(x, y)
                total += 1
                if total == 3000:
                    break
        assert correct / total > 0.75  # the majority class is about 0.6


class TestRegressionPipeline:
    def test_matches_the_chain_run_by_hand(self, rng):
        reg = first_regressor()
        scaler, selector, learner = kc.MinMaxScaler(), kc.SelectKBest(k=2), reg()
        pipe = kc.RegressionPipeline([kc.MinMaxScaler(), kc.SelectKBest(k=2)], reg())
        inner = kc.RegressionPipeline([kc.MinMaxScaler(), kc.SelectKBest(k=2)], reg())
        nested = kc.RegressionPipeline([], inner)
        for p in (pipe, inner, selector):
            p.set_feature_order(FEATURES)
        for x, y in labelled_stream(rng, 200):
            target = y + 0.5
            pipe.learn_one(x, target)
            nested.learn_one(x, target)
            scaler.learn_one(x)
            x1 = scaler.transform_one(x)
            selector.learn_one(x1, target)
            learner.learn_one(selector.transform_one(x1), target)
        for q in queries(rng):
            expected = learner.predict_one(selector.transform_one(scaler.transform_one(q)))
            assert pipe.predict_one(q) == pytest.approx(expected, rel=1e-9)
            assert nested.predict_one(q) == pipe.predict_one(q)
        nested.reset()  # reaches the inner pipeline's steps and learner
        q = queries(rng, 1)[0]
        assert nested.predict_one(q) == reg().predict_one(kc.MinMaxScaler().transform_one(q))


class TestConstruction:
    def test_parts_are_refused_clearly(self):
        nb, scaler = kc.NaiveBayes(), kc.StandardScaler()
        with pytest.raises(TypeError, match=r"learner is None; expected a classifier"):
            kc.ClassificationPipeline([scaler], None)
        with pytest.raises(TypeError, match=r"steps\[1\] is None; expected a transformer"):
            kc.ClassificationPipeline([scaler, None], nb)
        with pytest.raises(TypeError, match=r"learner is None; expected a regressor"):
            kc.RegressionPipeline([], None)
        with pytest.raises(TypeError):
            kc.ClassificationPipeline([nb], nb)  # a step must be a transformer
        with pytest.raises(TypeError):
            kc.RegressionPipeline([scaler], nb)  # wrong learner family
        with pytest.raises(TypeError):
            kc.ClassificationPipeline(steps=[scaler])  # both arguments are required

    def test_keywords_and_hierarchy(self):
        pipe = kc.ClassificationPipeline(steps=[], learner=kc.NaiveBayes())
        assert isinstance(pipe, kc.IClassifier) and not isinstance(pipe, kc.IRegressor)
        assert kc.ClassificationPipeline.__bases__ == (kc.IClassifier,)
        assert kc.RegressionPipeline.__bases__ == (kc.IRegressor,)
