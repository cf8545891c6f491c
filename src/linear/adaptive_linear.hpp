// Linear learners with per-feature adaptive steps (AdaGrad), scale normalisation (Ross, Mineiro &
// Langford, "Normalized online learning", UAI 2013) and importance-invariant updates
// (Karampatziakis & Langford, "Online importance weight aware updates", UAI 2011).
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/interfaces.hpp"
#include "linear/label_models.hpp"

namespace kavro {

// The parameters shared by the adaptive learners.
struct AdaptiveOptions {
    double learning_rate = 0.5;
    double l2 = 0.0;
    bool normalize = true;
    bool adaptive = true;
    bool invariant = true;
    bool bias = true;

    // Throws std::invalid_argument naming the parameter.
    void check() const;
};

enum class AdaptiveLoss { logistic, squared };

// One feature's weight, sum of squared gradients and largest absolute value seen.
struct AdaptiveSlot {
    double weight = 0.0;
    double grad2 = 0.0;
    double scale = 0.0;

    template <class Ar>
    void visit(Ar& ar);
};

// One linear model. Per example, with x_i the nonzero finite values (and 1 for the intercept):
//   normalise: when |x_i| exceeds the scale s_i seen so far, w_i *= s_i/|x_i| (squared without
//              adaptive steps) and s_i = |x_i|; t += 1 and N += sum (x_i/s_i)^2;
//   step:      g_i = l'(p) x_i, G_i += g_i^2, and feature i moves along x_i at the rate
//              r_i = eta * sqrt(t/N) / (s_i sqrt(G_i))   (both)
//                    eta * (t/N) / s_i^2                 (normalise only)
//                    eta / sqrt(G_i)                      (adaptive only)
//                    eta                                  (neither);
//   invariant: instead of w_i -= r_i l'(p) x_i, the step integrates the update ODE exactly
//              (dw/dh = -r l'(w . x) x over a unit importance weight), so the prediction moves
//              along the loss without overshooting the target;
//   l2:        then w_i /= 1 + l2 r_i on the updated features (a proximal step; not the
//              intercept).
// The score of a record applies the pending rescale of features beyond their scale, so the
// prediction is the one learning starts from.
class AdaptiveWeights {
public:
    template <class Ar>
    void visit(Ar& ar);

    double score(const AdaptiveOptions& o, const FeatureMap& x) const;
    // y in {-1, +1} for the logistic loss, any real for the squared loss (1/2 (p - y)^2).
    void learn(const AdaptiveOptions& o, AdaptiveLoss loss, const FeatureMap& x, double y);
    // The model of the opposite target (learning is odd in the target).
    void negate();

    const std::unordered_map<std::string, AdaptiveSlot>& slots() const { return slots_; }
    double intercept() const { return intercept_.weight; }

private:
    std::unordered_map<std::string, AdaptiveSlot> slots_;
    AdaptiveSlot intercept_;
    double examples_ = 0.0;  // t
    double norm_sum_ = 0.0;  // N
    // Scratch: the slots and values of the record being learnt (not state).
    std::vector<std::pair<AdaptiveSlot*, double>> touched_;
    std::vector<double> rates_;
};

// Logistic regression over the adaptive model. Binary labels are the target; beyond two
// labels it learns one-vs-rest (see LabelModels).
class AdaptiveLogisticRegression : public IClassifier {
public:
    template <class Ar>
    void visit(Ar& ar);

    explicit AdaptiveLogisticRegression(double learning_rate = 0.5, double l2 = 0.0,
                                        bool normalize = true, bool adaptive = true,
                                        bool invariant = true, bool bias = true);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    const AdaptiveOptions& options() const { return options_; }
    const LabelModels<AdaptiveWeights>& models() const { return models_; }

private:
    AdaptiveOptions options_;
    LabelModels<AdaptiveWeights> models_;
};

// Least-squares regression over the adaptive model (loss 1/2 (p - y)^2).
class AdaptiveLinearRegression : public IRegressor {
public:
    template <class Ar>
    void visit(Ar& ar);

    explicit AdaptiveLinearRegression(double learning_rate = 0.5, double l2 = 0.0,
                                      bool normalize = true, bool adaptive = true,
                                      bool invariant = true, bool bias = true);

    void learn_one(const FeatureMap& x, double y) override;
    double predict_one(const FeatureMap& x) override;
    void reset() override;

    const AdaptiveOptions& options() const { return options_; }
    const AdaptiveWeights& model() const { return model_; }

private:
    AdaptiveOptions options_;
    AdaptiveWeights model_;
};

}  // namespace kavro
