#include "linear/linear_regression.hpp"

namespace kavro {

LinearRegression::LinearRegression(double learning_rate, double l2)
    : learning_rate(learning_rate), l2(l2) {}

void LinearRegression::learn_one(const FeatureMap& x, double y) {
    const double e = clip10(y - predict_one(x));
    for (const auto& [name, v] : x) {
        double& wi = weights[name];
        const double old = wi;
        wi = old + learning_rate * (clip10(e * v) - l2 * old);
    }
    bias += learning_rate * e;
}

double LinearRegression::predict_one(const FeatureMap& x) { return weighted_sum(bias, weights, x); }

void LinearRegression::reset() {
    weights.clear();
    bias = 0.0;
}

}  // namespace kavro
