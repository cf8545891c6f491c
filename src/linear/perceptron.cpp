#include "linear/perceptron.hpp"

#include <cmath>
#include <limits>

namespace kavro {

Perceptron::Perceptron(double learning_rate) : learning_rate(learning_rate) {}

void Perceptron::learn_one(const FeatureMap& x, ClassLabel y) {
    tables.add_label(y);
    const ClassLabel predicted = predict_one(x);
    if (predicted == y) return;
    WeightTable& w_true = tables.weights[y];
    WeightTable& w_pred = tables.weights[predicted];
    for (const auto& [name, v] : x) {
        w_true[name] += learning_rate * v;
        w_pred[name] -= learning_rate * v;
    }
    tables.bias[y] += learning_rate;
    tables.bias[predicted] -= learning_rate;
}

ClassLabel Perceptron::predict_one(const FeatureMap& x) {
    if (tables.weights.empty()) return 0;
    double best = -std::numeric_limits<double>::infinity();
    ClassLabel result = tables.weights.begin()->first;
    for (const auto& entry : tables.weights) {
        const double s = weighted_sum(tables.bias_of(entry.first), entry.second, x);
        if (s > best) {
            best = s;
            result = entry.first;
        }
    }
    return result;
}

ProbabilityMap Perceptron::predict_proba_one(const FeatureMap& x) {
    ProbabilityMap result;
    double sum = 0.0;
    for (const auto& entry : tables.weights) {
        const double e = std::exp(weighted_sum(tables.bias_of(entry.first), entry.second, x));
        result[entry.first] = e;
        sum += e;
    }
    if (sum > 0.0) {
        for (auto& entry : result) entry.second /= sum;
    }
    return result;
}

void Perceptron::reset() { tables.clear(); }

}  // namespace kavro
