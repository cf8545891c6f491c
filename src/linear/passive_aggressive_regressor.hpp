// Epsilon-insensitive passive-aggressive regression with a capped step.
#pragma once

#include "core/interfaces.hpp"
#include "linear/linear_tables.hpp"

namespace kavro {

class PassiveAggressiveRegressor : public IRegressor {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit PassiveAggressiveRegressor(double C = 1.0, double epsilon = 0.1);

    // u = y - predict_one(x); when |u| exceeds epsilon, moves the weights and bias by
    // sign(u) min(loss / (1 + sum v^2), C) along (x, 1).
    void learn_one(const FeatureMap& x, double y) override;
    // bias + sum of weight * value over known names; 0.0 when untrained.
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    double get_C() const { return C; }
    void set_C(double value) { C = value; }
    double get_epsilon() const { return epsilon; }
    void set_epsilon(double value) { epsilon = value; }

private:
    double C;
    double epsilon;
    WeightTable weights;
    double bias = 0.0;
};

}  // namespace kavro
