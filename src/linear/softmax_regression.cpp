#include "linear/softmax_regression.hpp"

#include <cmath>
#include <limits>

namespace kavro {

SoftmaxRegression::SoftmaxRegression(double learning_rate, double l2)
    : learning_rate(learning_rate), l2(l2) {}

ProbabilityMap SoftmaxRegression::predict_proba_one(const FeatureMap& x) {
    ProbabilityMap result;
    if (labels.empty()) return result;
    double largest = -std::numeric_limits<double>::infinity();
    for (const ClassLabel c : labels) {
        const double z = tables.score(c, x);
        result[c] = z;
        if (z > largest) largest = z;
    }
    double sum = 0.0;
    for (auto& entry : result) {
        entry.second = std::exp(entry.second - largest);
        sum += entry.second;
    }
    if (sum > 0.0) {
        for (auto& entry : result) entry.second /= sum;
    }
    return result;
}

void SoftmaxRegression::learn_one(const FeatureMap& x, ClassLabel y) {
    labels.insert(y);
    tables.add_label(y);
    const ProbabilityMap probs = SoftmaxRegression::predict_proba_one(x);
    for (const ClassLabel c : labels) {
        const double g = (c == y ? 1.0 : 0.0) - probs.find(c)->second;
        WeightTable& w = tables.weights[c];
        for (const auto& [name, v] : x) {
            double& wi = w[name];
            const double old = wi;
            wi = old + learning_rate * (g * v - l2 * old);
        }
        tables.bias[c] += learning_rate * g;
    }
}

ClassLabel SoftmaxRegression::predict_one(const FeatureMap& x) {
    if (labels.empty()) return 0;
    const ProbabilityMap probs = SoftmaxRegression::predict_proba_one(x);
    ClassLabel result = *labels.begin();
    double best = -1.0;
    for (const auto& entry : probs) {
        if (entry.second > best) {
            best = entry.second;
            result = entry.first;
        }
    }
    return result;
}

void SoftmaxRegression::reset() {
    tables.clear();
    labels.clear();
}

}  // namespace kavro
