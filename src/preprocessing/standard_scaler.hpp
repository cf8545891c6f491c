// Online standardisation: per feature, a running mean and population variance.
#pragma once

#include <string>
#include <unordered_map>

#include "core/interfaces.hpp"

namespace kavro {

class StandardScaler : public ITransformer {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    struct MeanVariance {
        double count = 0.0;     // records in which the feature occurred
        double mean = 0.0;
        double variance = 0.0;  // population variance (divisor count)
    };

    explicit StandardScaler(bool with_std = true) : with_std_(with_std) {}

    // Welford update of each feature's mean (and variance when with_std).
    void learn_one(const FeatureMap& x) override;
    using ITransformer::learn_one;
    // Copy of x, transformed in place.
    FeatureMap transform_one(const FeatureMap& x) override;
    // with_std: (v - mean) / std, 0 for unseen features or zero variance.
    // Without: v - mean, unseen features unchanged.
    void transform_inplace(FeatureMap& x) override;
    void reset() override;

    bool with_std() const { return with_std_; }

private:
    bool with_std_;
    std::unordered_map<std::string, MeanVariance> stats_;
};

}  // namespace kavro
