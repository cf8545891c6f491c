// Sparse weight tables shared by the linear learners.
#pragma once

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <unordered_map>

#include "core/types.hpp"

namespace kavro {

// Feature name -> weight; an absent name has weight 0.
using WeightTable = std::unordered_map<std::string, double>;

// start + sum of weight * value over the names of x found in w, accumulated in x's
// iteration order. Never inserts.
inline double weighted_sum(double start, const WeightTable& w, const FeatureMap& x) {
    double s = start;
    if (w.empty()) return s;
    for (const auto& [name, v] : x) {
        auto it = w.find(name);
        if (it != w.end()) s += it->second * v;
    }
    return s;
}

// One sparse weight vector and one bias per class label. A label enters both
// tables together, the first time it is learnt.
struct ClassWeights {
    std::unordered_map<ClassLabel, WeightTable> weights;
    std::unordered_map<ClassLabel, double> bias;

    // Adds an empty weight vector and bias 0.0 for y unless y is known.
    void add_label(ClassLabel y) {
        if (weights.find(y) != weights.end()) return;
        weights[y];
        bias[y] = 0.0;
    }

    double bias_of(ClassLabel c) const {
        auto b = bias.find(c);
        return b == bias.end() ? 0.0 : b->second;
    }

    // bias of c (0.0 if none) plus the weighted sum of x over c's weights.
    double score(ClassLabel c, const FeatureMap& x) const {
        const double start = bias_of(c);
        auto w = weights.find(c);
        if (w == weights.end()) return start;
        return weighted_sum(start, w->second, x);
    }

    void clear() {
        weights.clear();
        bias.clear();
    }
};

// Clip to [-10, 10]; NaN maps to +10.
inline double clip10(double t) {
    if (t < -10.0) return -10.0;
    if (t < 10.0) return t;
    return 10.0;
}

// Strict argmax of the raw scores over labels in ascending order, starting at the
// smallest label (equal scores keep the smaller one); 0 when there is no label.
inline ClassLabel argmax_ascending(const std::set<ClassLabel>& labels, const ClassWeights& t,
                                   const FeatureMap& x) {
    if (labels.empty()) return 0;
    double best = -std::numeric_limits<double>::infinity();
    ClassLabel result = *labels.begin();
    for (const ClassLabel c : labels) {
        const double s = t.score(c, x);
        if (s > best) {
            best = s;
            result = c;
        }
    }
    return result;
}

// exp(raw score) per label in ascending order, normalised when the sum is strictly
// positive. No shift: a score above ~709.78 overflows and yields NaN after division.
inline ProbabilityMap exp_scores_ascending(const std::set<ClassLabel>& labels,
                                           const ClassWeights& t, const FeatureMap& x) {
    ProbabilityMap result;
    double sum = 0.0;
    for (const ClassLabel c : labels) {
        const double e = std::exp(t.score(c, x));
        result[c] = e;
        sum += e;
    }
    if (sum > 0.0) {
        for (auto& entry : result) entry.second /= sum;
    }
    return result;
}

}  // namespace kavro
