// Incremental model tree: leaves hold a target mean and a linear model, splits
// come from per-feature extended binary search trees, and internal nodes run a
// Page-Hinckley change test that grows alternate subtrees.
#pragma once

#include <memory>
#include <string>

#include "core/interfaces.hpp"
#include "core/random.hpp"

namespace kavro {

class FIMTDDRegressor : public IRegressor {
public:
    // Same parameter order as the Python constructor.
    explicit FIMTDDRegressor(int grace_period = 200, double split_confidence = 1e-07,
                             double tie_threshold = 0.05, int max_depth = 20,
                             std::string leaf_prediction = "adaptive",
                             double learning_ratio = 0.02, double learning_rate_decay = 0.001,
                             bool learning_ratio_const = false, double page_hinckley_alpha = 0.005,
                             double page_hinckley_threshold = 50.0,
                             double alternate_tree_fading_factor = 0.995,
                             int alternate_tree_t_min = 150, int alternate_tree_time = 1500,
                             bool drift_detection = true, int seed = 1);
    ~FIMTDDRegressor() override;
    FIMTDDRegressor(FIMTDDRegressor&&) noexcept;
    FIMTDDRegressor& operator=(FIMTDDRegressor&&) noexcept;
    FIMTDDRegressor(const FIMTDDRegressor&) = delete;
    FIMTDDRegressor& operator=(const FIMTDDRegressor&) = delete;

    void learn_one(const FeatureMap& x, double y) override;
    // Prediction of the leaf x reaches; 0.0 before the first example.
    double predict_one(const FeatureMap& x) override;
    // Drops the tree and all statistics and re-seeds the generator from seed().
    void reset() override;
    // Splits performed since construction or the last reset.
    int n_splits() const { return split_count_; }
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    int grace_period() const { return grace_period_; }
    void set_grace_period(int value) { grace_period_ = value; }
    double split_confidence() const { return split_confidence_; }
    void set_split_confidence(double value) { split_confidence_ = value; }
    double tie_threshold() const { return tie_threshold_; }
    void set_tie_threshold(double value) { tie_threshold_ = value; }
    int max_depth() const { return max_depth_; }
    void set_max_depth(int value) { max_depth_ = value; }
    const std::string& leaf_prediction() const { return leaf_prediction_; }
    void set_leaf_prediction(std::string value);
    double learning_ratio() const { return learning_ratio_; }
    void set_learning_ratio(double value) { learning_ratio_ = value; }
    double learning_rate_decay() const { return learning_rate_decay_; }
    void set_learning_rate_decay(double value) { learning_rate_decay_ = value; }
    bool learning_ratio_const() const { return learning_ratio_const_; }
    void set_learning_ratio_const(bool value) { learning_ratio_const_ = value; }
    double page_hinckley_alpha() const { return page_hinckley_alpha_; }
    void set_page_hinckley_alpha(double value) { page_hinckley_alpha_ = value; }
    double page_hinckley_threshold() const { return page_hinckley_threshold_; }
    void set_page_hinckley_threshold(double value) { page_hinckley_threshold_ = value; }
    double alternate_tree_fading_factor() const { return alternate_tree_fading_factor_; }
    void set_alternate_tree_fading_factor(double value) { alternate_tree_fading_factor_ = value; }
    int alternate_tree_t_min() const { return alternate_tree_t_min_; }
    void set_alternate_tree_t_min(int value) { alternate_tree_t_min_ = value; }
    int alternate_tree_time() const { return alternate_tree_time_; }
    void set_alternate_tree_time(int value) { alternate_tree_time_ = value; }
    bool drift_detection() const { return drift_detection_; }
    void set_drift_detection(bool value) { drift_detection_ = value; }
    // Takes effect at the next reset().
    int seed() const { return seed_; }
    void set_seed(int value) { seed_ = value; }

    struct ModelTreeNode;

private:
    int grace_period_;
    double split_confidence_;
    double tie_threshold_;
    int max_depth_;
    std::string leaf_prediction_;
    double learning_ratio_;
    double learning_rate_decay_;
    bool learning_ratio_const_;
    double page_hinckley_alpha_;
    double page_hinckley_threshold_;
    double alternate_tree_fading_factor_;
    int alternate_tree_t_min_;
    int alternate_tree_time_;
    bool drift_detection_;
    int seed_;

    struct Impl;

    void route_pass(ModelTreeNode* node, const FeatureMap& x, bool in_alternate, int depth,
                    double y, double p, double e);
    void change_test(ModelTreeNode& node, double e);
    void learn_at_leaf(ModelTreeNode& leaf, const FeatureMap& x, double y, int depth,
                       bool may_split);
    void attempt_split(ModelTreeNode& leaf);

    std::unique_ptr<ModelTreeNode> root_;
    // Target and tree-wide feature statistics, the decoded leaf mode, scratch buffers.
    std::unique_ptr<Impl> impl_;
    int split_count_ = 0;
    Rng rng_;
};

}  // namespace kavro
