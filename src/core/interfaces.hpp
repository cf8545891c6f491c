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

}  // namespace kavro
