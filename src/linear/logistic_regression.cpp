#include "linear/logistic_regression.hpp"

#include <cmath>

namespace kavro {

namespace {

// Logistic of s with s held inside [-500, 500]; NaN reads as the upper end.
inline double clamped_logistic(double s) {
    if (s >= 500.0 || std::isnan(s)) return 1.0 / (1.0 + std::exp(-500.0));
    if (s <= -500.0) return 1.0 / (1.0 + std::exp(500.0));
    return 1.0 / (1.0 + std::exp(-s));
}

}  // namespace

LogisticRegression::LogisticRegression(double learning_rate, double l2)
    : learning_rate(learning_rate), l2(l2) {}

void LogisticRegression::learn_one(const FeatureMap& x, ClassLabel y) {
    labels.insert(y);
    tables.add_label(y);
    for (const ClassLabel c : labels) {
        WeightTable& w = tables.weights[c];
        double& b = tables.bias[c];
        const double p = clamped_logistic(weighted_sum(b, w, x));
        const double g = (c == y ? 1.0 : 0.0) - p;
        for (const auto& [name, v] : x) {
            double& wi = w[name];
            const double old = wi;
            wi = old + learning_rate * (g * v - l2 * old);
        }
        b += learning_rate * g;
    }
}

ClassLabel LogisticRegression::predict_one(const FeatureMap& x) {
    return argmax_ascending(labels, tables, x);
}

ProbabilityMap LogisticRegression::predict_proba_one(const FeatureMap& x) {
    return exp_scores_ascending(labels, tables, x);
}

void LogisticRegression::reset() {
    tables.clear();
    labels.clear();
}

}  // namespace kavro
