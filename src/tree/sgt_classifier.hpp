// Stochastic gradient tree for two classes: leaves hold a log-odds value trained
// by Newton steps on the logistic loss and split on second-order loss reduction.
#pragma once

#include <cstdint>
#include <memory>

#include "core/interfaces.hpp"
#include "core/types.hpp"
#include "tree/sgt_node.hpp"

namespace kavro {

class SGTClassifier : public IClassifier {
public:
    // Throws std::invalid_argument when grace_period < 1, learning_rate is not finite and above 0
    // or lambda is not finite and at least 0 (leaf values must stay finite).
    SGTClassifier(double learning_rate = 0.1, double lambda = 0.1, std::int32_t grace_period = 200,
                  std::int32_t max_depth = 6);

    // Labels <= 0 are the negative class, labels >= 1 the positive class.
    void learn_one(const FeatureMap& x, ClassLabel y) override;
    // 1 when the leaf's log-odds is >= 0, else 0.
    ClassLabel predict_one(const FeatureMap& x) override;
    // {1: p, 0: 1 - p}.
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    double learning_rate() const { return learning_rate_; }
    // Throws std::invalid_argument unless value is finite and above 0.
    void set_learning_rate(double value);
    double lambda() const { return lambda_; }
    // Throws std::invalid_argument unless value is finite and at least 0.
    void set_lambda(double value);
    std::int32_t grace_period() const { return grace_period_; }
    // Throws std::invalid_argument when value < 1.
    void set_grace_period(std::int32_t value);
    std::int32_t max_depth() const { return max_depth_; }
    void set_max_depth(std::int32_t value) { max_depth_ = value; }

    const SGTNode& root() const { return *root_; }

    static bool valid_learning_rate(double value);
    static bool valid_lambda(double value);

    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    SGTNode* route(const FeatureMap& x, std::int32_t& depth) const;
    void attempt_split(SGTNode& leaf);

    double learning_rate_;
    double lambda_;
    std::int32_t grace_period_;
    std::int32_t max_depth_;
    std::unique_ptr<SGTNode> root_;
};

}  // namespace kavro
