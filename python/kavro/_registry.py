"""Catalogue of the classes of ``_kavro_core`` and introspection of their signatures.

The catalogue names every class, the submodule that re-exports it and what kind of object it is.
Classes the compiled module does not (yet) provide are skipped, so the package imports at every
stage of the build.
"""

from __future__ import annotations

import ast
import dataclasses
from typing import Any

import _kavro_core

INTERFACES = ("ITransformer", "IClassifier", "IRegressor")

# name -> (submodule, kind, one-line summary); in registration order.
CATALOG: dict[str, tuple[str, str, str]] = {
    "NaiveBayes": ("linear", "classifier", "Incremental Gaussian naive Bayes."),
    "Perceptron": ("linear", "classifier", "Multi-class perceptron, one weight vector per label."),
    "LogisticRegressionClassifier": (
        "linear", "classifier", "Multi-class logistic regression trained by SGD with an L2 penalty."),
    "PassiveAggressiveClassifier": (
        "linear", "classifier", "Multi-class passive-aggressive classifier with step cap C."),
    "SoftmaxRegression": ("linear", "classifier", "Multinomial logistic (softmax) regression by SGD."),
    "KNNClassifier": (
        "neighbors", "classifier", "k-nearest-neighbour vote over a sliding window (Minkowski p)."),
    "HoeffdingTreeClassifier": (
        "tree", "classifier", "Incremental decision tree splitting on the Hoeffding bound."),
    "EFDTClassifier": (
        "tree", "classifier", "Extremely fast decision tree: a Hoeffding tree fixed to info gain."),
    "SGTClassifier": ("tree", "classifier", "Stochastic gradient tree for binary classification."),
    "ARFClassifier": (
        "ensemble", "classifier", "Adaptive random forest with ADWIN drift and warning detectors."),
    "SRPClassifier": (
        "ensemble", "classifier", "Streaming random patches: bagging over random feature subsets."),
    "LeveragingBaggingClassifier": (
        "ensemble", "classifier", "Leveraging bagging of Hoeffding trees with ADWIN resets."),
    "HoeffdingAdaptiveTreeClassifier": (
        "tree", "classifier", "Hoeffding tree that swaps in a background tree on ADWIN drift."),
    "LinearRegression": ("linear", "regressor", "Linear regression trained by SGD with L2."),
    "BayesianLinearRegression": (
        "linear", "regressor", "Bayesian linear regression with a diagonal Gaussian posterior."),
    "PassiveAggressiveRegressor": (
        "linear", "regressor", "Epsilon-insensitive passive-aggressive regression."),
    "KNNRegressor": (
        "neighbors", "regressor", "k-nearest-neighbour inverse-distance mean over a sliding window."),
    "HoeffdingTreeRegressor": (
        "tree", "regressor", "Hoeffding tree for regression with linear models in the leaves."),
    "ARFRegressor": ("ensemble", "regressor", "Adaptive random forest of Hoeffding tree regressors."),
    "SRPRegressor": ("ensemble", "regressor", "Streaming random patches of Hoeffding tree regressors."),
    "FIMTDDRegressor": (
        "tree", "regressor", "Model tree with Page-Hinkley change detection and alternate subtrees."),
    "LeveragingBaggingRegressor": (
        "ensemble", "regressor", "Leveraging bagging of model trees with ADWIN resets."),
    "SGBTClassifier": ("ensemble", "classifier", "Streaming gradient boosting of model trees."),
    "SGBRRegressor": ("ensemble", "regressor", "Streaming gradient boosting for regression."),
    "StandardScaler": ("preprocessing", "transformer", "Online standardisation to zero mean, unit variance."),
    "MinMaxScaler": ("preprocessing", "transformer", "Online rescaling to [0, 1] by the running range."),
    "MaxAbsScaler": ("preprocessing", "transformer", "Online scaling by the largest absolute value."),
    "VarianceThreshold": (
        "preprocessing", "transformer", "Drops features whose running variance is too small."),
    "SelectKBest": (
        "preprocessing", "transformer", "Keeps the k features best correlated with the target."),
    "ClassificationPipeline": (
        "pipeline", "classifier", "Transformers followed by a classifier."),
    "RegressionPipeline": ("pipeline", "regressor", "Transformers followed by a regressor."),
    "Accuracy": ("metrics", "metric", "Share of correct predictions."),
    "MacroPrecision": ("metrics", "metric", "Precision averaged over classes."),
    "MacroRecall": ("metrics", "metric", "Recall averaged over classes."),
    "MacroF1": ("metrics", "metric", "F1 score averaged over classes."),
    "MAE": ("metrics", "metric", "Mean absolute error."),
    "RMSE": ("metrics", "metric", "Root mean squared error."),
    "WindowMetric": (
        "metrics", "metric", "Accuracy or macro F1 over a sliding window of predictions."),
    "WindowRegressionMetric": (
        "metrics", "metric", "MAE or RMSE over a sliding window of predictions."),
    "R2": ("metrics", "metric", "Coefficient of determination."),
    "ADWIN": ("drift", "detector", "Adaptive windowing change detector for real values."),
    "EDDM": ("drift", "detector", "Early drift detection from the distance between errors."),
}

SUBMODULES = ("linear", "neighbors", "tree", "ensemble", "preprocessing", "pipeline", "metrics", "drift")

# Regression metrics take float targets; every other metric takes labels.
REGRESSION_METRICS = frozenset({"MAE", "RMSE", "R2", "WindowRegressionMetric"})


def available() -> list[str]:
    """Names of the catalogued classes present in the compiled module, in registration order."""
    return [name for name in CATALOG if hasattr(_kavro_core, name)]


def names_in(submodule: str) -> list[str]:
    """Catalogued names of one submodule (present or not)."""
    return [name for name, (mod, _, _) in CATALOG.items() if mod == submodule]


def export(namespace: dict[str, Any], submodule: str) -> list[str]:
    """Bind the present classes of ``submodule`` into ``namespace``; return their names."""
    present = []
    for name in names_in(submodule):
        cls = getattr(_kavro_core, name, None)
        if cls is not None:
            namespace[name] = cls
            present.append(name)
    return present


def kind_of(cls: type) -> str:
    """'classifier', 'regressor', 'transformer', 'metric', 'detector' or 'unknown'."""
    if issubclass(cls, _kavro_core.IClassifier):
        return "classifier"
    if issubclass(cls, _kavro_core.IRegressor):
        return "regressor"
    if issubclass(cls, _kavro_core.ITransformer):
        return "transformer"
    entry = CATALOG.get(cls.__name__)
    return entry[1] if entry else "unknown"


@dataclasses.dataclass(frozen=True)
class Param:
    """One constructor parameter as read from the binding's signature."""

    name: str
    annotation: str
    default: Any
    has_default: bool

    @property
    def type(self) -> type | None:
        """The Python type a command-line value is converted to (None when not a scalar)."""
        ann = self.annotation
        if "bool" in ann:
            return bool
        if "SupportsInt" in ann or ann == "int":
            return int
        if "SupportsFloat" in ann or ann == "float":
            return float
        if ann == "str":
            return str
        if self.has_default and isinstance(self.default, (bool, int, float, str)):
            return type(self.default)
        return None

    def __str__(self) -> str:
        return f"{self.name}={self.default!r}" if self.has_default else self.name


def _first_signature_line(doc: str | None, name: str) -> str | None:
    for line in (doc or "").splitlines():
        line = line.strip()
        if line.startswith(name + "(") and ")" in line:
            return line
    return None


def parse_signature(doc: str | None, name: str = "__init__") -> list[Param]:
    """Parameters (without ``self``) of the first ``name(...)`` signature line of a docstring.

    pybind11 writes each overload as ``name(self: T, a: int = 1, ...) -> R`` at the top of the
    docstring; this reads the first one.
    """
    line = _first_signature_line(doc, name)
    if line is None:
        return []
    src = "def " + line.rsplit(" -> ", 1)[0] + ": pass"
    try:
        fn = ast.parse(src).body[0]
    except SyntaxError:
        return []
    assert isinstance(fn, ast.FunctionDef)
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = []
    for arg, default in zip(positional, defaults):
        if arg.arg == "self":
            continue
        ann = ast.unparse(arg.annotation) if arg.annotation is not None else ""
        value: Any = None
        if default is not None:
            try:
                value = ast.literal_eval(default)
            except ValueError:
                value = ast.unparse(default)
        params.append(Param(arg.arg, ann, value, default is not None))
    return params


def constructor_params(cls: type) -> list[Param]:
    """Constructor parameters of a ``_kavro_core`` class, in order."""
    return parse_signature(getattr(cls, "__init__").__doc__, "__init__")


def signature_text(cls: type) -> str:
    """``Name(a=1, b='x')`` for printing."""
    return f"{cls.__name__}({', '.join(str(p) for p in constructor_params(cls))})"


def summary(cls: type) -> str:
    """One line describing the class: its docstring's first line, else the catalogue's."""
    doc = (cls.__doc__ or "").strip().splitlines()
    if doc and not doc[0].startswith(cls.__name__ + "("):
        return doc[0]
    entry = CATALOG.get(cls.__name__)
    return entry[2] if entry else ""


def constructor_doc(cls: type) -> str:
    """What the constructor's parameters mean: its docstring without pybind11's signature lines."""
    lines = (getattr(cls, "__init__").__doc__ or "").splitlines()
    text = [line.strip() for line in lines if not line.strip().startswith("__init__(")]
    return " ".join(line for line in text if line and line != "Overloaded function.")
