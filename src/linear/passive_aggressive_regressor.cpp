#include "linear/passive_aggressive_regressor.hpp"

#include <algorithm>
#include <cmath>

namespace kavro {

PassiveAggressiveRegressor::PassiveAggressiveRegressor(double C, double epsilon)
    : C(C), epsilon(epsilon) {}

void PassiveAggressiveRegressor::learn_one(const FeatureMap& x, double y) {
    const double u = y - predict_one(x);
    const double loss = std::fabs(u) - epsilon;
    if (!(loss > 0.0)) return;
    // The leading 1 is the bias input.
    double n = 1.0;
    for (const auto& entry : x) n += entry.second * entry.second;
    const double tau = loss / n;
    // A NaN tau (NaN feature value) takes the cap, so only that feature's weight is hit.
    const double step = (u > 0.0 ? 1.0 : -1.0) * std::min(C, tau);
    for (const auto& [name, v] : x) weights[name] += step * v;
    bias += step;
}

double PassiveAggressiveRegressor::predict_one(const FeatureMap& x) {
    return weighted_sum(bias, weights, x);
}

void PassiveAggressiveRegressor::reset() {
    weights.clear();
    bias = 0.0;
}

}  // namespace kavro
