#include "neighbors/knn_regressor.hpp"

namespace kavro {

KNNRegressor::KNNRegressor(std::int32_t n_neighbors, std::int32_t window_size, std::int32_t p)
    : core(n_neighbors, window_size, p) {}

void KNNRegressor::learn_one(const FeatureMap& x, double y) { core.learn(x, y); }

double KNNRegressor::predict_one(const FeatureMap& x) {
    const std::size_t k = core.select(x);
    if (k == 0) return 0.0;
    const auto& nearest = core.neighbours();
    double weight_sum = 0.0;
    double weighted_targets = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        const double d = nearest[i].first;
        const double w = d > 1e-10 ? 1.0 / d : 1e10;
        weight_sum += w;
        weighted_targets += w * nearest[i].second;
    }
    return weight_sum > 0.0 ? weighted_targets / weight_sum : 0.0;
}

void KNNRegressor::reset() { core.clear(); }

}  // namespace kavro
