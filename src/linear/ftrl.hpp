// FTRL-Proximal logistic regression (McMahan et al., "Ad click prediction: a view from the
// trenches", KDD 2013).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/interfaces.hpp"
#include "linear/label_models.hpp"

namespace kavro {

struct FTRLOptions {
    double alpha = 0.6;
    double beta = 1.0;
    double l1 = 0.0;
    double l2 = 0.0;

    // Throws std::invalid_argument naming the parameter.
    void check() const;
};

// One coordinate's z and n (sum of squared gradients).
struct FTRLSlot {
    double z = 0.0;
    double n = 0.0;

    template <class Ar>
    void visit(Ar& ar);
};

// One FTRL-Proximal model. Per coordinate (the intercept is a coordinate of value 1):
//   w_i = 0 when |z_i| <= l1, else -(z_i - sign(z_i) l1) / ((beta + sqrt(n_i)) / alpha + l2);
//   after predicting p = logistic(w . x): g_i = (p - y) x_i,
//   z_i += g_i - (sqrt(n_i + g_i^2) - sqrt(n_i)) / alpha * w_i, n_i += g_i^2.
// Only z and n are stored: weights are computed when used, so an l1 penalty leaves the
// weights of most rare features at exactly zero.
class FTRLWeights {
public:
    template <class Ar>
    void visit(Ar& ar);

    double score(const FTRLOptions& o, const FeatureMap& x) const;
    // y in {-1, +1}.
    void learn(const FTRLOptions& o, const FeatureMap& x, double y);
    void negate();
    std::int64_t n_nonzero(const FTRLOptions& o) const;

    const std::unordered_map<std::string, FTRLSlot>& slots() const { return slots_; }

private:
    std::unordered_map<std::string, FTRLSlot> slots_;
    FTRLSlot intercept_;
    // Scratch: the coordinates of the record being learnt, their values and weights (not state).
    struct Touched {
        FTRLSlot* slot;
        double value;
        double weight;
    };
    std::vector<Touched> touched_;
};

// Binary labels are the target; beyond two labels it learns one-vs-rest (see LabelModels).
class FTRLClassifier : public IClassifier {
public:
    template <class Ar>
    void visit(Ar& ar);

    explicit FTRLClassifier(double alpha = 0.6, double beta = 1.0, double l1 = 0.0, double l2 = 0.0);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Weights not exactly zero, over every model, intercepts included.
    std::int64_t n_nonzero() const;
    const FTRLOptions& options() const { return options_; }
    const LabelModels<FTRLWeights>& models() const { return models_; }
    // The weight of coordinate (z, n).
    double weight(const FTRLSlot& s) const;

private:
    FTRLOptions options_;
    LabelModels<FTRLWeights> models_;
};

}  // namespace kavro
