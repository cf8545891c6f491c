#include "linear/bayesian_linear_regression.hpp"

namespace kavro {

BayesianLinearRegression::BayesianLinearRegression(double alpha, double beta)
    : alpha(alpha), beta(beta) {}

void BayesianLinearRegression::learn_one(const FeatureMap& x, double y) {
    const double e = clip10(y - predict_one(x));
    bias_precision += beta;
    bias_mean += (beta / bias_precision) * e;
    for (const auto& [name, v] : x) {
        auto it = precision.find(name);
        const double prior = it != precision.end() ? it->second : alpha;
        const double spread = beta * (v * v);
        mean[name] += clip10(beta * v * e / (prior + spread));
        if (it != precision.end()) {
            it->second = prior + spread;
        } else {
            precision.emplace(name, prior + spread);
        }
    }
}

double BayesianLinearRegression::predict_one(const FeatureMap& x) {
    return weighted_sum(bias_mean, mean, x);
}

void BayesianLinearRegression::reset() {
    precision.clear();
    mean.clear();
    bias_precision = 0.0;
    bias_mean = 0.0;
}

}  // namespace kavro
