// Incremental Gaussian naive Bayes classifier.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/interfaces.hpp"

namespace kavro {

class NaiveBayes : public IClassifier {
public:
    struct FeatureStats {
        double count = 0.0;
        double mean = 0.0;
        double m2 = 0.0;
    };

    // Per label: count; per label and feature: running mean and variance.
    void learn_one(const FeatureMap& x, ClassLabel y) override;
    // Label with the greatest log-posterior; -1 when nothing has been learnt.
    ClassLabel predict_one(const FeatureMap& x) override;
    // One entry per known label, normalised when the sum is positive; empty when untrained.
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    using StatsTable = std::unordered_map<std::string, FeatureStats>;

    std::unordered_map<ClassLabel, std::int64_t> class_counts;
    std::unordered_map<ClassLabel, StatsTable> feature_stats;
    std::int64_t total_count = 0;
};

}  // namespace kavro
