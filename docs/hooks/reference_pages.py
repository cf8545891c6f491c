"""Generates one API reference page per family of the compiled module at build time.

Signatures, defaults, parameter texts, attributes and methods are read from the live
``_kavro_core`` module (the stubs mirror it and are checked against it by the tests); what an
empty model returns is computed by calling each freshly built object. What grows with the stream
and the behaviour worth knowing are written below, per class.
"""

from __future__ import annotations

import inspect
import re
from typing import Any

import _kavro_core
from mkdocs.structure.files import File

from kavro._registry import CLASSES as CATALOG
from kavro._registry import SUBMODULES, available, constructor_doc, constructor_params, lookup, summary

TITLES = {
    "linear": ("Linear models", "Naive Bayes, linear classifiers and linear regressors."),
    "neighbors": ("Nearest neighbours", "k-nearest-neighbour learners over a sliding window."),
    "tree": ("Trees", "Incremental decision trees for classification and regression."),
    "ensemble": ("Ensembles", "Forests, patches, bagging and boosting of incremental trees."),
    "preprocessing": ("Preprocessing", "Online scalers and feature selectors (transformers)."),
    "pipeline": ("Pipelines", "Transformers followed by a learner, as one model."),
    "metrics": ("Metrics", "Prequential metrics: cumulative and over a sliding window."),
    "drift": ("Drift detectors", "Change detectors fed with one value at a time."),
    "dummy": ("Baselines", "No-change, majority-class and mean predictors to compare models against."),
    "anomaly": ("Anomaly detection", "Streaming outlier detectors, alarms from their scores, and their pipeline."),
    "model_selection": ("Model selection", "Choosing among candidate models while the stream runs."),
}

_TREE = "the tree's nodes (depth at most `max_depth`); each leaf keeps "
GROWS = {
    "NaiveBayes": "per label, a running mean and variance of every feature seen with that label "
                  "(labels x features); never the number of examples.",
    "Perceptron": "one sparse weight vector and bias per label (labels x features).",
    "LogisticRegressionClassifier": "one sparse weight vector and bias per label (labels x features).",
    "PassiveAggressiveClassifier": "one sparse weight vector and bias per label (labels x features).",
    "SoftmaxRegression": "one sparse weight vector and bias per label (labels x features).",
    "LinearRegression": "one weight per feature name seen.",
    "BayesianLinearRegression": "a posterior mean and precision per feature name seen.",
    "PassiveAggressiveRegressor": "one weight per feature name seen.",
    "KNNClassifier": "the window of stored examples, up to `window_size` (then constant; a negative "
                     "`window_size` never stops growing), and the numbering of feature names seen.",
    "KNNRegressor": "the window of stored examples, up to `window_size` (then constant; a negative "
                    "`window_size` never stops growing), and the numbering of feature names seen.",
    "HoeffdingTreeClassifier": _TREE + "a Gaussian summary per label and feature; no examples are stored.",
    "EFDTClassifier": _TREE + "a Gaussian summary per label and feature; no examples are stored.",
    "HoeffdingAdaptiveTreeClassifier": "a Hoeffding tree, plus a background tree while a warning is "
                                       "active, plus two ADWIN windows (logarithmic in their length).",
    "SGTClassifier": _TREE + "two weighted summaries per feature.",
    "HoeffdingTreeRegressor": _TREE + "running statistics per feature and a linear model (one weight "
                              "per feature).",
    "FIMTDDRegressor": _TREE + "per feature a search tree of the distinct values seen (it grows with "
                       "distinct values until the leaf splits), a linear model per leaf, tree-wide per-"
                       "feature statistics, and alternate subtrees after detected changes.",
    "ARFClassifier": "`n_models` Hoeffding trees, each with two ADWIN windows and a background tree "
                     "while its warning is active.",
    "ARFRegressor": "`n_models` Hoeffding tree regressors, each with two ADWIN windows and a "
                    "background tree while its warning is active.",
    "SRPClassifier": "`n_models` Hoeffding trees on feature subsets, each with drift and warning "
                     "detectors and a background tree while warned.",
    "SRPRegressor": "`n_models` Hoeffding tree regressors on feature subsets, each with drift and "
                    "warning detectors and a background tree while warned.",
    "LeveragingBaggingClassifier": "`n_models` Hoeffding trees, each with an ADWIN window.",
    "LeveragingBaggingRegressor": "`n_models` model trees, each with an ADWIN window.",
    "SGBTClassifier": "`n_models` boosting stages of `bag_size` model trees each, every tree growing as "
                      "a `FIMTDDRegressor`.",
    "SGBRRegressor": "`n_models` boosting stages of `bag_size` model trees each, every tree growing as "
                     "a `FIMTDDRegressor`.",
    "StandardScaler": "a running mean and variance per feature name seen; never the number of records.",
    "MinMaxScaler": "a running minimum and maximum per feature name seen.",
    "MaxAbsScaler": "a running largest absolute value per feature name seen.",
    "VarianceThreshold": "running variance statistics per feature name seen.",
    "SelectKBest": "running correlation statistics with the target per feature name seen.",
    "ClassificationPipeline": "what its transformers and its classifier hold.",
    "RegressionPipeline": "what its transformers and its regressor hold.",
    "Accuracy": "nothing: two counters.",
    "MacroPrecision": "counts per distinct label seen.",
    "MacroRecall": "counts per distinct label seen.",
    "MacroF1": "counts per distinct label seen.",
    "MAE": "nothing: running means.",
    "RMSE": "nothing: running means.",
    "R2": "nothing: running means.",
    "WindowMetric": "a ring buffer of `window_size` pairs (fixed), and class arrays up to the largest "
                    "label seen.",
    "WindowRegressionMetric": "a ring buffer of `window_size` pairs (fixed).",
    "ADWIN": "buckets logarithmic in the window length (at most `max_buckets` per size).",
    "EDDM": "nothing: a few running statistics.",
    "NoChangeClassifier": "nothing: it keeps the last label.",
    "MajorityClassClassifier": "one count per label seen.",
    "NoChangeRegressor": "nothing: it keeps the last target.",
    "MeanRegressor": "nothing: a count and a running mean.",
    "CohenKappa": "counts per distinct label seen.",
    "KappaM": "one count per distinct true label.",
    "KappaT": "nothing: a few counts and the last label.",
    "BalancedAccuracy": "counts per distinct label seen.",
    "GeometricMean": "counts per distinct label seen.",
    "MCC": "counts per distinct label seen.",
    "F1": "nothing: three counts.",
    "Precision": "nothing: three counts.",
    "Recall": "nothing: three counts.",
    "ConfusionMatrix": "one count per pair of labels seen (labels squared).",
    "ROCAUC": "two counts per distinct score seen (up to the number of updates for real-valued "
              "scores; round the scores to bound it).",
    "RollingROCAUC": "the last `window_size` pairs (fixed).",
    "PRAUC": "two counts per distinct score seen (up to the number of updates for real-valued scores).",
    "LogLoss": "nothing: a running sum.",
    "MAPE": "nothing: a running sum.",
    "SMAPE": "nothing: a running sum.",
    "DDM": "nothing: a count, the error rate and its lowest point.",
    "RDDM": "nothing past its start: a ring of min_size_concept stored outcomes (one byte each) and "
            "DDM's statistics.",
    "HDDM_A": "nothing: running sums and counts of the whole stream and of two cut points.",
    "HDDM_W": "nothing: five weighted averages with their squared-weight sums.",
    "PageHinkley": "nothing: a count, a running mean and a faded sum.",
    "CUSUM": "nothing: a count, a running mean and a floored sum.",
    "STEPD": "nothing past its start: a ring of window_size recent outcomes and two counts.",
    "EWMAChart": "nothing: a count, the error total and the moving average.",
    "GeometricMovingAverage": "nothing: a count, a running mean and a moving average.",
    "HalfSpaceTrees": "tree nodes, made when a record first reaches them: at most `n_trees` x (2^(`height` + 1) "
                      "- 1) with two counts each; no records are stored.",
    "OnlineIsolationForest": "the last `window_size` records, and per tree the nodes the window fills, each "
                             "with a bounding box (about 4 `window_size` / `max_leaf_samples` per tree with "
                             "adaptive growth, up to log2(`window_size`) times that with fixed growth).",
    "LODA": "`n_projections` sparse projections with their histograms, and the projections of the block "
            "filling (up to `window_size` records).",
    "RSHash": "`n_components` count-min sketches of `n_hashes` rows of `sample_size` counts (rounded up to a "
              "power of two), and a cell key per component for each of the last `sample_size` records.",
    "KNNDistance": "the last `window_size` records (constant once full).",
    "ThresholdFilter": "what its detector holds.",
    "QuantileThreshold": "what its detector holds, and five quantile markers.",
    "AnomalyPipeline": "what its transformers and its detector hold.",
    "AdaptiveLogisticRegression": "per model (one with two labels, one per label beyond), a weight, "
                                  "squared-gradient sum and scale for every feature seen "
                                  "(models x features).",
    "AdaptiveLinearRegression": "a weight, squared-gradient sum and scale for every feature seen.",
    "FTRLClassifier": "per model (one with two labels, one per label beyond), two numbers for every "
                      "feature seen (models x features), zero weights included.",
    "FeatureHasher": "nothing: it is stateless.",
    "BaggingClassifier": "`n_models` copies of the prototype, each growing as the prototype does.",
    "BaggingRegressor": "`n_models` copies of the prototype, each growing as the prototype does.",
    "ADWINBaggingClassifier": "`n_models` copies of the prototype, each growing as the prototype "
                              "does, and an ADWIN window each (logarithmic in its length).",
    "AdaBoostClassifier": "`n_models` copies of the prototype, each growing as the prototype does.",
    "VotingClassifier": "what its models hold.",
    "StackingClassifier": "what its models and its meta model hold (the meta model sees one "
                          "feature per model and label).",
    "ModelSelector": "what its candidates and their measures hold, plus the last `window` "
                     "predictions of each candidate when `window` is set.",
    "ModelSelectorRegressor": "what its candidates and their measures hold, plus the last "
                              "`window` predictions of each candidate when `window` is set.",
    "SuccessiveHalvingClassifier": "what its candidates and their measures hold; stopped "
                                   "candidates no longer grow.",
    "SuccessiveHalvingRegressor": "what its candidates and their measures hold; stopped "
                                  "candidates no longer grow.",
}

NOTES = {
    "NaiveBayes": "An untrained model predicts -1. A macro metric updated with that prediction counts "
                  "-1 as a class; see *Evaluation* in the guide for starting the metrics after the "
                  "first learnt example. A feature that a label has never been seen with contributes "
                  "nothing to that label's score, so one-hot (categorical) features only count for "
                  "the labels they were seen with; linear models and nearest neighbours, which take "
                  "an absent feature as 0, make more of them.",
    "KNNClassifier": "An untrained model (empty window, or `n_neighbors` 0) predicts -1. A macro metric "
                     "updated with that prediction counts -1 as a class.",
    "HoeffdingTreeRegressor": "With two or more features of positive spread the split merits tie, so "
                              "the tree splits only through the tie rule (`tie_threshold`), slowly when "
                              "the target's spread is large. `FIMTDDRegressor` is the better regression "
                              "tree.",
    "SGTClassifier": "With `lambda_` > 0 (the default is 0.1) the tree never splits: it stays a single "
                     "leaf. Set `lambda_=0` to let it grow.",
    "WindowMetric": "`update` takes `(predicted, actual)`, the reverse of the cumulative metrics' "
                    "`update(y_true, y_pred)`. `get(0)` is the accuracy, `get(1)` the macro F1.",
    "WindowRegressionMetric": "`update` takes `(predicted, actual)`, the reverse of the cumulative "
                              "metrics' `update(y_true, y_pred)`.",
    "StandardScaler": "`transform_one` returns the keys in the scaler's own order, not in the order of "
                      "the record.",
    "ROCAUC": "`update(y_true, y_pred)` takes a real score or a dict of label probabilities (the "
              "probability of `pos_label`); `progressive_val_score` and `kavro evaluate` feed it "
              "`predict_proba_one`. Undefined (reported as 0.0) until both classes were seen.",
    "KappaT": "The default second measure of `kavro evaluate` for classifiers: below 0 the model "
              "does worse than repeating the last label, which on ordered streams is often hard to beat.",
    "ConfusionMatrix": "`matrix()` rows are true labels and columns predicted labels, both in the "
                       "order of `labels`; `print(cm.classification_report())` shows precision, "
                       "recall, F1 and support per label.",
    "AdaptiveLogisticRegression": "The defaults are the usual ones of adaptive, normalised, "
                                  "importance-invariant logistic learners; on the Electricity file "
                                  "it scores 73.0 % prequentially (the plain SGD "
                                  "`LogisticRegressionClassifier` 66.5 %), with no feature scaling. "
                                  "Binary labels are the target; from a third label on it learns "
                                  "one-vs-rest.",
    "FTRLClassifier": "`alpha` defaults to 0.6: on a drifting stream such as Electricity a smaller "
                      "`alpha` adapts too slowly (0.1 scores 65.0 %, 0.6 scores 72.8 %); on the "
                      "generators (20,000 examples, seed 1) 0.6 scores as well or better: Hyperplane "
                      "87.4 against 76.9 %, SEA 96.1 against 89.8 %, RandomRBF 79.8 against 77.3 %, "
                      "LED 73.3 against 73.2 %, Agrawal 55.7 against 55.9 %. "
                      "`n_nonzero` counts the weights an `l1` penalty has not set to zero.",
    "FeatureHasher": "Column names are indices in decimal (`'0'` to `str(n_features - 1)`). The hash "
                     "is fixed by the name's bytes and the seed, so saved models keep their meaning "
                     "across runs and machines.",
    "BaggingClassifier": "The prototype is copied through `kavro.clone` when the ensemble is built: a "
                         "learnt model passed as `model` gives unlearnt members, and the object passed is "
                         "never touched. `kavro.learn_many(model, X, y, n_jobs=k)` trains the members on "
                         "k threads with the one-thread result.",
    "AdaBoostClassifier": "Members learn sequentially (each example's weight depends on the members "
                          "before), so `n_jobs` does not spread them over threads.",
    "VotingClassifier": "The models are held, not copied: they learn, and `reset` resets them. Passing "
                        "the same object twice is refused.",
    "StackingClassifier": "The models and the meta model are held, not copied.",
    "ModelSelector": "The candidates are held, not copied. `best` is the position of the candidate that "
                     "predicts now, `scores` every candidate's measure. Any measure object works; an "
                     "error measure (MAE, RMSE) is minimised, any other maximised, unless the measure "
                     "has a `higher_is_better` attribute. With `window`, each candidate's measure is "
                     "recomputed from its last `window` outcomes after every example.",
    "SuccessiveHalvingClassifier": "With n candidates there are ceil(log_eta n) rounds; `budget` must "
                                   "be at least n times that so that every round lasts an example.",
}


def _empty_behaviour(cls: type, kind: str) -> str:
    """What a freshly built object returns, computed from the live class."""
    name = cls.__name__
    if name in ("ClassificationPipeline", "RegressionPipeline"):
        return "what its learner returns when empty (the transformers pass records through)."
    try:
        obj = cls()
    except Exception:  # noqa: BLE001 - a class needing arguments is described in words
        return "-"
    record = {"a": 1.0}
    try:
        if kind == "classifier":
            return (f"`predict_one(x)` returns `{obj.predict_one(record)!r}`, "
                    f"`predict_proba_one(x)` returns `{obj.predict_proba_one(record)!r}`.")
        if kind == "regressor":
            return f"`predict_one(x)` returns `{obj.predict_one(record)!r}`."
        if kind == "transformer":
            return f"`transform_one({{'a': 1.0}})` returns `{obj.transform_one(record)!r}`."
        if kind == "metric":
            return f"`get()` returns `{obj.get()!r}`."
        if kind == "anomaly":
            return f"`score_one(x)` returns `{obj.score_one(record)!r}`."
        if kind == "detector":
            state = {k: getattr(obj, k) for k in ("drift_detected", "width", "estimation") if hasattr(obj, k)}
            return ", ".join(f"`{k}` is `{v!r}`" for k, v in state.items()) + "."
    except Exception as exc:  # noqa: BLE001
        return f"raises `{type(exc).__name__}`."
    return "-"


def _first_line(doc: str | None) -> str:
    for line in (doc or "").splitlines():
        line = line.strip()
        if line and "(self" not in line and line != "Overloaded function.":
            return line
    return ""


def _members(cls: type) -> tuple[list[tuple[str, str, bool]], list[tuple[str, str, str]]]:
    """(name, doc, writable) of the properties and (name, signature, doc) of the public methods."""
    props, methods = [], []
    for name, value in inspect.getmembers(cls):
        if name.startswith("_"):
            continue
        if isinstance(value, property):
            props.append((name, _first_line(value.__doc__), value.fset is not None))
        elif callable(value):
            doc = value.__doc__ or ""
            sig = next((line.strip() for line in doc.splitlines() if line.strip().startswith(name + "(")), name + "()")
            for mod in ("_kavro_core", "kavro._native"):
                sig = sig.replace(f"self: {mod}.{cls.__name__}, ", "").replace(f"self: {mod}.{cls.__name__}", "")
            if name in _RECORD_METHODS:  # positional arguments, named as in the stubs
                sig = sig.replace("arg0:", "x:").replace("arg1:", "y:")
            methods.append((name, _plain(sig), _first_line(doc)))
    return props, methods


_TYPING = (
    (re.compile(r"collections\.abc\.Mapping\[str, typing\.SupportsFloat \| typing\.SupportsIndex\]"), "Mapping[str, float]"),
    (re.compile(r"typing\.SupportsFloat \| typing\.SupportsIndex"), "float"),
    (re.compile(r"typing\.SupportsInt \| typing\.SupportsIndex"), "int"),
    (re.compile(r"\b(?:typing|collections\.abc|_kavro_core|kavro\._native)\."), ""),
)


_RECORD_METHODS = {"learn_one", "predict_one", "predict_proba_one", "transform_one"}


def _plain(signature: str) -> str:
    """A pybind11 signature with the typing spelled as users write it."""
    for pattern, text in _TYPING:
        signature = pattern.sub(text, signature)
    return signature


def _escape(text: str) -> str:
    return text.replace("|", "\\|")


def render_class(name: str) -> str:
    cls = lookup(name)
    module, kind, _ = CATALOG[name]
    params = constructor_params(cls)
    out = [f"## {name}", "", summary(cls), ""]
    bases = [b.__name__ for b in cls.__mro__[1:] if b.__module__ in ("_kavro_core", "kavro._native") and b.__name__ != "pybind11_object"]
    out.append(f"*{kind}* · `from kavro.{module} import {name}`" + (f" · derives from {', '.join(f'`{b}`' for b in bases)}" if bases else ""))
    out += ["", "```python", f"{name}({', '.join(str(p) for p in params)})", "```", ""]
    if params:
        out += ["| parameter | default | type |", "|---|---|---|"]
        for p in params:
            default = f"`{p.default!r}`" if p.has_default else "required"
            typ = p.type.__name__ if p.type is not None else p.annotation or "-"
            out.append(f"| `{p.name}` | {_escape(default)} | {_escape(typ)} |")
        out.append("")
    text = constructor_doc(cls)
    if text:
        out += [text, ""]
    props, methods = _members(cls)
    if props:
        out += ["**Attributes** (read and written on the live object unless read-only):", ""]
        out += [f"- `{p}`{' (read-only)' if not writable else ''}: {doc or '-'}" for p, doc, writable in props]
        out.append("")
    if methods:
        out += ["**Methods:**", ""]
        out += [f"- `{_escape(sig)}`: {doc or '-'}" for _, sig, doc in methods]
        out.append("")
    out += [f"**Empty model:** {_empty_behaviour(cls, kind)}", "",
            f"**Grows with the stream:** {GROWS.get(name, '-')}", ""]
    if name in NOTES:
        out += ['!!! note "Good to know"', f"    {NOTES[name]}", ""]
    return "\n".join(out)


def render_family(sub: str) -> str:
    title, blurb = TITLES[sub]
    names = [n for n in available() if CATALOG[n][0] == sub]
    out = [f"# {title}", "", blurb, "", f"All classes below are importable from `kavro.{sub}` (and from `kavro`).", ""]
    out += ["| class | kind | summary |", "|---|---|---|"]
    out += [f"| [`{n}`](#{n.lower()}) | {CATALOG[n][1]} | {_escape(summary(lookup(n)))} |" for n in names]
    out.append("")
    for n in names:
        out.append(render_class(n))
    return "\n".join(out)


def on_files(files: Any, config: Any) -> Any:
    for sub in SUBMODULES:
        files.append(File.generated(config, f"reference/{sub}.md", content=render_family(sub)))
    return files

