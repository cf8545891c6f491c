// Incremental binary decision tree for classification over numeric features.
// Leaves keep per-class Gaussian summaries of every feature and try a threshold
// split every `grace_period` examples, accepted by the Hoeffding bound.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/interfaces.hpp"
#include "core/random.hpp"
#include "core/types.hpp"
#include "tree/classifier_node.hpp"

namespace kavro {

class HoeffdingTreeClassifier : public IClassifier {
public:
    // grace_period 200, nb_threshold 0, max_depth 20, "info_gain", 1e-7, 0.05.
    HoeffdingTreeClassifier();
    // Throws std::invalid_argument when grace_period < 1. Sets n_split_points 10,
    // leaf_prediction "nba", max_split_features 0 and seeds rng with 0.
    HoeffdingTreeClassifier(std::int32_t grace_period, std::int32_t nb_threshold,
                            std::int32_t max_depth, std::string split_criterion,
                            double split_confidence, double tie_threshold);

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    // Same as predict_one(x) followed by learn_one(x, y), routing once; returns
    // the prediction.
    ClassLabel predict_then_learn_one(const FeatureMap& x, ClassLabel y);

    // Trees that read the same records can share one layout: the owner reads
    // each record into it once (KeyLayout::read) and calls the *_read forms,
    // which take x as already read. Every tree sharing it must see x read into
    // it before routing, as the other methods here do.
    void share_layout(std::shared_ptr<KeyLayout> layout);
    void learn_read(const FeatureMap& x, ClassLabel y);
    ClassLabel predict_then_learn_read(const FeatureMap& x, ClassLabel y);
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    // Single empty leaf, no labels; parameters, max_split_features and rng state kept.
    void reset() override;

    std::int32_t grace_period() const { return grace_period_; }
    // Throws std::invalid_argument when value < 1.
    void set_grace_period(std::int32_t value);
    double split_confidence() const { return split_confidence_; }
    void set_split_confidence(double value) { split_confidence_ = value; }
    double tie_threshold() const { return tie_threshold_; }
    void set_tie_threshold(double value) { tie_threshold_ = value; }
    std::int32_t nb_threshold() const { return nb_threshold_; }
    std::int32_t max_depth() const { return max_depth_; }
    void set_max_depth(std::int32_t value) { max_depth_ = value; }
    const std::string& split_criterion() const { return split_criterion_; }
    void set_split_criterion(std::string value) { split_criterion_ = std::move(value); }
    std::int32_t n_split_points() const { return n_split_points_; }
    // Throws std::invalid_argument when value > kMaxSplitPoints (each point is kept in a list
    // and evaluated at every split attempt); 0 or less examines none.
    void set_n_split_points(std::int32_t value);
    static constexpr std::int32_t kMaxSplitPoints = 100000;
    const std::string& leaf_prediction() const { return leaf_prediction_; }
    void set_leaf_prediction(std::string value) {
        leaf_prediction_ = std::move(value);
        leaf_mc_ = leaf_prediction_ == "mc";
        leaf_nb_ = leaf_prediction_ == "nb";
    }

    // Feature-subspace size per split attempt; 0 (or anything not below the
    // number of candidate features) examines all of them.
    std::int32_t max_split_features() const { return max_split_features_; }
    void set_max_split_features(std::int32_t value) { max_split_features_ = value; }
    // Re-seeds the generator that draws the feature subspace.
    void reseed(std::uint32_t seed) { rng_.seed(seed); }
    Rng& rng() { return rng_; }

    const ClassifierNode& root() const { return *root_; }
    const std::set<ClassLabel>& seen_classes() const { return seen_classes_; }

    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    // Leaf reached by the record last read into layout_.
    ClassifierNode* route(std::int32_t& depth);
    bool predicts_by_nb(const ClassifierNode& leaf) const;
    // Adds y to seen_classes_.
    void note_class(ClassLabel y);
    // Adds (x, y) to the leaf's statistics and tries a split when due; x is the
    // record in layout_. `captured`: class y's estimators at this leaf by layout
    // position (table nullptr when not found by scoring).
    void absorb(ClassifierNode& leaf, std::int32_t depth, const FeatureMap& x, ClassLabel y,
                LayoutEstimators captured);
    void attempt_split(ClassifierNode& leaf, std::int32_t depth);

    std::int32_t grace_period_;
    double split_confidence_;
    double tie_threshold_;
    std::int32_t nb_threshold_;
    std::int32_t max_depth_;
    std::string split_criterion_;
    std::int32_t n_split_points_ = 10;
    std::string leaf_prediction_ = "nba";
    // leaf_prediction_ is "mc" / "nb"; kept by set_leaf_prediction.
    bool leaf_mc_ = false;
    bool leaf_nb_ = false;
    std::int32_t max_split_features_ = 0;
    Rng rng_;
    std::unique_ptr<ClassifierNode> root_;
    // The record being routed, by position; possibly shared with other trees.
    std::shared_ptr<KeyLayout> layout_;
    std::set<ClassLabel> seen_classes_;
    // The first few labels added to seen_classes_, checked before it.
    std::vector<ClassLabel> seen_first_;
};

}  // namespace kavro
