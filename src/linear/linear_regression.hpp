// Linear regression by stochastic gradient descent on squared error, with clipped
// gradients and an L2 penalty on the weights.
#pragma once

#include "core/interfaces.hpp"
#include "linear/linear_tables.hpp"

namespace kavro {

class LinearRegression : public IRegressor {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit LinearRegression(double learning_rate = 0.01, double l2 = 0.0);

    // e = clip(y - predict_one(x)); w += lr (clip(e v) - l2 w) per feature; bias += lr e.
    void learn_one(const FeatureMap& x, double y) override;
    // bias + sum of weight * value over known names; 0.0 when untrained.
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    double get_learning_rate() const { return learning_rate; }
    void set_learning_rate(double value) { learning_rate = value; }
    double get_l2() const { return l2; }
    void set_l2(double value) { l2 = value; }

private:
    double learning_rate;
    double l2;
    WeightTable weights;
    double bias = 0.0;
};

}  // namespace kavro
