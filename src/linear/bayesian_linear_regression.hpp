// Bayesian linear regression with a diagonal Gaussian posterior per weight and a
// fixed noise precision.
#pragma once

#include "core/interfaces.hpp"
#include "linear/linear_tables.hpp"

namespace kavro {

class BayesianLinearRegression : public IRegressor {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit BayesianLinearRegression(double alpha = 1.0, double beta = 1.0);

    // e = clip(y - predict_one(x)). Bias: precision += beta, mean += beta / precision * e.
    // Per feature (prior precision alpha): mean += clip(beta v e / (P + beta v^2)),
    // then P += beta v^2. Precisions only grow.
    void learn_one(const FeatureMap& x, double y) override;
    // bias_mean + sum of mean * value over known names; 0.0 when untrained.
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    double get_alpha() const { return alpha; }
    void set_alpha(double value) { alpha = value; }
    double get_beta() const { return beta; }
    void set_beta(double value) { beta = value; }

private:
    double alpha;
    double beta;
    WeightTable precision;
    WeightTable mean;
    double bias_precision = 0.0;
    double bias_mean = 0.0;
};

}  // namespace kavro
