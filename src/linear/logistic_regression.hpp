// One-vs-rest logistic regression; every known label is updated on every example.
#pragma once

#include <set>

#include "core/interfaces.hpp"
#include "linear/linear_tables.hpp"

namespace kavro {

class LogisticRegression : public IClassifier {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit LogisticRegression(double learning_rate = 0.01, double l2 = 0.0);

    // For each label in ascending order: gradient step on its own logistic loss
    // (score held inside [-500, 500]) with an L2 penalty on the weights, not the bias.
    void learn_one(const FeatureMap& x, ClassLabel y) override;
    // Strict argmax of raw scores in ascending label order; 0 when untrained.
    ClassLabel predict_one(const FeatureMap& x) override;
    // exp(raw score) per label, ascending, normalised when the sum is positive (no shift).
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
