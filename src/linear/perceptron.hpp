// Multi-class perceptron with a fixed step.
#pragma once

#include "core/interfaces.hpp"
#include "linear/linear_tables.hpp"

namespace kavro {

class Perceptron : public IClassifier {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit Perceptron(double learning_rate = 0.01);

    // Predicts x (through predict_one); on a mistake moves the true label towards x
    // and the predicted label away from it by learning_rate.
    void learn_one(const FeatureMap& x, ClassLabel y) override;
    // Strict argmax of the scores in the weight table's iteration order; 0 when untrained.
    ClassLabel predict_one(const FeatureMap& x) override;
    // exp(score) per label (no shift), normalised when the sum is positive; empty when untrained.
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

private:
    double learning_rate;
    ClassWeights tables;
};

}  // namespace kavro
