// Abstract learner and transformer interfaces. Slot order is part of the contract.
#pragma once

#include <string>
#include <vector>

#include "core/types.hpp"

namespace kavro {

class IClassifier {
public:
    virtual ~IClassifier() = default;
    virtual void learn_one(const FeatureMap& x, ClassLabel y) = 0;
    virtual ClassLabel predict_one(const FeatureMap& x) = 0;
    virtual ProbabilityMap predict_proba_one(const FeatureMap& x) = 0;
    virtual void reset() = 0;
};

class IRegressor {
public:
    virtual ~IRegressor() = default;
    virtual void learn_one(const FeatureMap& x, double y) = 0;
    virtual double predict_one(const FeatureMap& x) = 0;
    virtual void reset() = 0;
};

class ITransformer {
public:
    virtual ~ITransformer() = default;
    // Unsupervised update from one record.
    virtual void learn_one(const FeatureMap& x) = 0;
    // Supervised update; by default ignores the target.
    virtual void learn_one(const FeatureMap& x, double /*y*/) { learn_one(x); }
    // New record out; x is not changed.
    virtual FeatureMap transform_one(const FeatureMap& x) = 0;
    // Rewrites (and for selectors, erases) entries of x; used by pipelines.
    virtual void transform_inplace(FeatureMap& x) = 0;
    // True when a pipeline must call learn_one(x, y).
    virtual bool requires_target() const { return false; }
    virtual void set_feature_order(const std::vector<std::string>& /*names*/) {}
    virtual void reset() = 0;
};

// Interfaces of the classes outside _kavro_core (bound in kavro._native).

// Unsupervised outlier scorer: higher scores are more anomalous.
class IAnomalyDetector {
public:
    virtual ~IAnomalyDetector() = default;
    virtual void learn_one(const FeatureMap& x) = 0;
    // A pure function of the model: changes nothing.
    virtual double score_one(const FeatureMap& x) const = 0;
    virtual void reset() = 0;
};

// Change detector over a stream of real values.
class IDriftDetector {
public:
    virtual ~IDriftDetector() = default;
    virtual void update(double x) = 0;
    virtual bool drift_detected() const = 0;
    virtual bool warning_detected() const = 0;
    virtual void reset() = 0;
};

// A prequential measure of classifiers (and of anomaly scores), fed by the native loop
// without leaving C++. input() says which update the loop calls.
class IClassificationMetric {
public:
    enum class Input { label, proba, score };
    virtual ~IClassificationMetric() = default;
    virtual Input input() const { return Input::label; }
    virtual void update(ClassLabel /*y_true*/, ClassLabel /*y_pred*/) {}
    virtual void update_proba(ClassLabel /*y_true*/, const ProbabilityMap& /*proba*/) {}
    // A real score, higher meaning more likely the positive label (anomaly scores).
    virtual void update_score(ClassLabel /*y_true*/, double /*score*/) {}
    virtual double get() const = 0;
    virtual void reset() = 0;
};

// A prequential measure of regressors.
class IRegressionMetric {
public:
    virtual ~IRegressionMetric() = default;
    virtual void update(double y_true, double y_pred) = 0;
    virtual double get() const = 0;
    virtual void reset() = 0;
};

}  // namespace kavro
