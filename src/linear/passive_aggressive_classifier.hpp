// Multi-class passive-aggressive classifier (capped step) against the strongest
// competing label.
#pragma once

#include <set>

#include "core/interfaces.hpp"
#include "linear/linear_tables.hpp"

namespace kavro {

class PassiveAggressiveClassifier : public IClassifier {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit PassiveAggressiveClassifier(double C = 1.0);

    // When the true label does not lead the best other label by at least 1, moves the
    // pair apart by tau = min(C, loss / (2 (sum v^2 + 1))). No competitor, no change.
    void learn_one(const FeatureMap& x, ClassLabel y) override;
    // Strict argmax of raw scores in ascending label order; 0 when untrained.
    ClassLabel predict_one(const FeatureMap& x) override;
    // exp(raw score) per label, ascending, normalised when the sum is positive (no shift).
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

private:
    double C;
    ClassWeights tables;
    std::set<ClassLabel> labels;
};

}  // namespace kavro
