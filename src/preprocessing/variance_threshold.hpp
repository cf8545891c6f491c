// Drops features whose running sample variance is not above a threshold.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/interfaces.hpp"
#include "preprocessing/welford_stats.hpp"

namespace kavro {

class VarianceThreshold : public ITransformer {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit VarianceThreshold(double threshold = 0.0, std::int32_t min_samples = 2)
        : threshold_(threshold), min_samples_(min_samples) {}

    // Welford update of each feature's statistics.
    void learn_one(const FeatureMap& x) override;
    using ITransformer::learn_one;
    // New record (sized for x) with the surviving entries of x.
    FeatureMap transform_one(const FeatureMap& x) override;
    // Erases the entries that do not survive.
    void transform_inplace(FeatureMap& x) override;
    // Empties the statistics; threshold and min_samples keep their values.
    void reset() override;

    double threshold() const { return threshold_; }
    std::int32_t min_samples() const { return min_samples_; }

    // Unlearned features and features with fewer than min_samples observations survive;
    // otherwise the variance must be strictly above the threshold (NaN drops).
    bool survives(const std::string& name) const;

private:
    double threshold_;
    std::int32_t min_samples_;
    std::unordered_map<std::string, WelfordStats> feature_stats_;
};

}  // namespace kavro
