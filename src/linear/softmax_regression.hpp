// Multinomial logistic (softmax) regression.
#pragma once

#include <set>

#include "core/interfaces.hpp"
#include "linear/linear_tables.hpp"

namespace kavro {

class SoftmaxRegression : public IClassifier {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit SoftmaxRegression(double learning_rate = 0.01, double l2 = 0.0);

    // Cross-entropy gradient step for every known label, from the probabilities of x
    // computed once before any change; L2 penalty on the weights, not the bias.
    void learn_one(const FeatureMap& x, ClassLabel y) override;
    // Label of the strictly greatest probability, walking the probability map in its
    // own order from the smallest label with best = -1; 0 when untrained.
    ClassLabel predict_one(const FeatureMap& x) override;
    // Softmax of the scores shifted by the largest one (stays finite); empty when untrained.
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    double get_learning_rate() const { return learning_rate; }
    void set_learning_rate(double value) { learning_rate = value; }
    double get_l2() const { return l2; }
    void set_l2(double value) { l2 = value; }

private:
    double learning_rate;
    double l2;
    ClassWeights tables;
    std::set<ClassLabel> labels;
};

}  // namespace kavro
