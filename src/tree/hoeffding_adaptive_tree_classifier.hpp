// Hoeffding tree that adapts to drift at the level of the whole tree: two ADWIN
// detectors watch the main tree's prequential error; a warning starts a
// background tree, a drift replaces the main tree by it (or by a fresh tree).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/interfaces.hpp"
#include "core/types.hpp"
#include "drift/adwin.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace kavro {

class HoeffdingAdaptiveTreeClassifier : public IClassifier {
public:
    // Throws std::invalid_argument when grace_period < 1.
    HoeffdingAdaptiveTreeClassifier(std::int32_t grace_period = 200,
                                    double split_confidence = 1e-07, double tie_threshold = 0.05,
                                    std::int32_t nb_threshold = 0, std::int32_t max_depth = 20,
                                    double drift_delta = 0.002, double warning_delta = 0.02,
                                    std::string split_criterion = "info_gain");

    void learn_one(const FeatureMap& x, ClassLabel y) override;
    // The main tree's answers; the background tree never answers.
    ClassLabel predict_one(const FeatureMap& x) override;
    ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    // Fresh main tree, no background tree, fresh detectors.
    void reset() override;

    // Settings for trees built from now on; existing trees keep theirs.
    std::int32_t grace_period() const { return grace_period_; }
    // Throws std::invalid_argument when value < 1.
    void set_grace_period(std::int32_t value);
    std::int32_t max_depth() const { return max_depth_; }
    void set_max_depth(std::int32_t value) { max_depth_ = value; }

    const HoeffdingTreeClassifier& main_tree() const { return *main_tree_; }
    const HoeffdingTreeClassifier* background_tree() const { return background_tree_.get(); }

    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    std::unique_ptr<HoeffdingTreeClassifier> build_tree() const;

    std::int32_t grace_period_;
    double split_confidence_;
    double tie_threshold_;
    std::int32_t nb_threshold_;
    std::int32_t max_depth_;
    std::string split_criterion_;
    double drift_delta_;
    double warning_delta_;
    // Read once per record for both trees.
    std::shared_ptr<KeyLayout> layout_;
    std::unique_ptr<HoeffdingTreeClassifier> main_tree_;
    std::unique_ptr<HoeffdingTreeClassifier> background_tree_;
    ADWIN drift_detector_;
    ADWIN warning_detector_;
};

}  // namespace kavro
