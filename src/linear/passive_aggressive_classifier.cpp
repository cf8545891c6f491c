#include "linear/passive_aggressive_classifier.hpp"

#include <algorithm>
#include <limits>

namespace kavro {

PassiveAggressiveClassifier::PassiveAggressiveClassifier(double C) : C(C) {}

void PassiveAggressiveClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    labels.insert(y);
    tables.add_label(y);
    const double s_y = tables.score(y, x);

    double best = -std::numeric_limits<double>::infinity();
    bool found = false;
    ClassLabel r = 0;
    for (const ClassLabel c : labels) {
        if (c == y) continue;
        const double s = tables.score(c, x);
        if (s > best) {
            best = s;
            r = c;
            found = true;
        }
    }
    if (!found) return;

    const double loss = 1.0 - (s_y - best);
    if (!(loss > 0.0)) return;
    double squares = 0.0;
    for (const auto& entry : x) squares += entry.second * entry.second;
    // A NaN quotient (NaN feature value) takes the cap.
    const double tau = std::min(C, loss / (2.0 * (squares + 1.0)));

    WeightTable& w_true = tables.weights[y];
    WeightTable& w_rival = tables.weights[r];
    for (const auto& [name, v] : x) {
        w_true[name] += tau * v;
        w_rival[name] -= tau * v;
    }
    tables.bias[y] += tau;
    tables.bias[r] -= tau;
}

ClassLabel PassiveAggressiveClassifier::predict_one(const FeatureMap& x) {
    return argmax_ascending(labels, tables, x);
}

ProbabilityMap PassiveAggressiveClassifier::predict_proba_one(const FeatureMap& x) {
    return exp_scores_ascending(labels, tables, x);
}

void PassiveAggressiveClassifier::reset() {
    tables.clear();
    labels.clear();
}

}  // namespace kavro
