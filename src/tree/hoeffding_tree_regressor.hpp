// Incremental binary regression tree over numeric features with standardised
// linear leaf models.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/interfaces.hpp"

namespace kavro {

class HoeffdingTreeRegressor : public IRegressor {
public:
    // Parameter order used when other components build the tree. The Python
    // constructor takes (grace_period, split_confidence, tie_threshold, max_depth,
    // learning_rate). grace_period < 1 throws std::invalid_argument.
    explicit HoeffdingTreeRegressor(int grace_period = 200, int max_depth = 20,
                                    double split_confidence = 1e-07, double tie_threshold = 0.05,
                                    double learning_rate = 0.01);
    ~HoeffdingTreeRegressor() override;
    HoeffdingTreeRegressor(HoeffdingTreeRegressor&&) noexcept;
    HoeffdingTreeRegressor& operator=(HoeffdingTreeRegressor&&) noexcept;
    HoeffdingTreeRegressor(const HoeffdingTreeRegressor&) = delete;
    HoeffdingTreeRegressor& operator=(const HoeffdingTreeRegressor&) = delete;

    void learn_one(const FeatureMap& x, double y) override;
    // Leaf mean, or the leaf's linear model once it has counted grace_period
    // examples and beaten the mean; 0.0 for a new tree.
    double predict_one(const FeatureMap& x) override;
    // Replaces the tree by one empty leaf; parameters are kept.
    void reset() override;
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    int grace_period() const { return grace_period_; }
    void set_grace_period(int value);
    double split_confidence() const { return split_confidence_; }
    void set_split_confidence(double value) { split_confidence_ = value; }
    double tie_threshold() const { return tie_threshold_; }
    void set_tie_threshold(double value) { tie_threshold_ = value; }
    int max_depth() const { return max_depth_; }
    void set_max_depth(int value) { max_depth_ = value; }
    double learning_rate() const { return learning_rate_; }
    void set_learning_rate(double value) { learning_rate_ = value; }

    struct RegressorNode;

private:
    int grace_period_;
    double split_confidence_;
    double tie_threshold_;
    int max_depth_;
    double learning_rate_;
    std::unique_ptr<RegressorNode> root_;
    // (feature name in x, standardised value) of the example being learnt.
    std::vector<std::pair<const std::string*, double>> scratch_;
};

}  // namespace kavro
