#include "neighbors/knn_classifier.hpp"

#include <unordered_map>

namespace kavro {

KNNClassifier::KNNClassifier(std::int32_t n_neighbors, std::int32_t window_size, std::int32_t p)
    : core(n_neighbors, window_size, p) {}

void KNNClassifier::learn_one(const FeatureMap& x, ClassLabel y) { core.learn(x, y); }

ClassLabel KNNClassifier::predict_one(const FeatureMap& x) {
    const std::size_t k = core.select(x);
    if (k == 0) return -1;
    const auto& nearest = core.neighbours();
    std::unordered_map<ClassLabel, std::int64_t> votes;
    for (std::size_t i = 0; i < k; ++i) votes[nearest[i].second] += 1;
    std::int64_t best = -1;
    ClassLabel result = -1;
    for (const auto& [label, count] : votes) {
        if (count > best) {
            best = count;
            result = label;
        }
    }
    return result;
}

ProbabilityMap KNNClassifier::predict_proba_one(const FeatureMap& x) {
    ProbabilityMap result;
    const std::size_t k = core.select(x);
    if (k == 0) return result;
    const auto& nearest = core.neighbours();
    const double share = 1.0 / static_cast<double>(k);
    for (std::size_t i = 0; i < k; ++i) result[nearest[i].second] += share;
    return result;
}

void KNNClassifier::reset() { core.clear(); }

}  // namespace kavro
