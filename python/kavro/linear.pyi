"""Naive Bayes, linear classifiers and linear regressors, and feature hashing."""

from _kavro_core import (
    NaiveBayes as NaiveBayes,
    Perceptron as Perceptron,
    LogisticRegressionClassifier as LogisticRegressionClassifier,
    PassiveAggressiveClassifier as PassiveAggressiveClassifier,
    SoftmaxRegression as SoftmaxRegression,
    LinearRegression as LinearRegression,
    BayesianLinearRegression as BayesianLinearRegression,
    PassiveAggressiveRegressor as PassiveAggressiveRegressor,
)
from kavro._native import (
    AdaptiveLogisticRegression as AdaptiveLogisticRegression,
    AdaptiveLinearRegression as AdaptiveLinearRegression,
    FTRLClassifier as FTRLClassifier,
    FeatureHasher as FeatureHasher,
)

__all__ = [
    "NaiveBayes",
    "Perceptron",
    "LogisticRegressionClassifier",
    "PassiveAggressiveClassifier",
    "SoftmaxRegression",
    "LinearRegression",
    "BayesianLinearRegression",
    "PassiveAggressiveRegressor",
    "AdaptiveLogisticRegression",
    "AdaptiveLinearRegression",
    "FTRLClassifier",
    "FeatureHasher",
]
