#include "tree/hoeffding_adaptive_tree_classifier.hpp"

#include <utility>

#include "core/validation.hpp"

namespace kavro {

HoeffdingAdaptiveTreeClassifier::HoeffdingAdaptiveTreeClassifier(
    std::int32_t grace_period, double split_confidence, double tie_threshold,
    std::int32_t nb_threshold, std::int32_t max_depth, double drift_delta, double warning_delta,
    std::string split_criterion)
    : grace_period_(grace_period),
      split_confidence_(split_confidence),
      tie_threshold_(tie_threshold),
      nb_threshold_(nb_threshold),
      max_depth_(max_depth),
      split_criterion_(std::move(split_criterion)),
      drift_delta_(drift_delta),
      warning_delta_(warning_delta),
      layout_(std::make_shared<KeyLayout>()),
      drift_detector_(drift_delta),
      warning_detector_(warning_delta) {
    require_at_least<std::int32_t>("grace_period", grace_period, 1);
    reset();
}

void HoeffdingAdaptiveTreeClassifier::set_grace_period(std::int32_t value) {
    require_at_least<std::int32_t>("grace_period", value, 1);
    grace_period_ = value;
}

std::unique_ptr<HoeffdingTreeClassifier> HoeffdingAdaptiveTreeClassifier::build_tree() const {
    auto tree = std::make_unique<HoeffdingTreeClassifier>(grace_period_, nb_threshold_,
                                                          max_depth_, split_criterion_,
                                                          split_confidence_, tie_threshold_);
    tree->share_layout(layout_);
    return tree;
}

void HoeffdingAdaptiveTreeClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    layout_->read(x);
    const double error = main_tree_->predict_then_learn_read(x, y) != y ? 1.0 : 0.0;
    if (background_tree_) background_tree_->learn_read(x, y);

    warning_detector_.update(error);
    if (warning_detector_.drift_detected() && !background_tree_) {
        background_tree_ = build_tree();
        warning_detector_ = ADWIN(warning_delta_);
    }

    drift_detector_.update(error);
    if (drift_detector_.drift_detected()) {
        main_tree_ = background_tree_ ? std::move(background_tree_) : build_tree();
        background_tree_.reset();
        drift_detector_ = ADWIN(drift_delta_);
        warning_detector_ = ADWIN(warning_delta_);
    }
}

ClassLabel HoeffdingAdaptiveTreeClassifier::predict_one(const FeatureMap& x) {
    return main_tree_->predict_one(x);
}

ProbabilityMap HoeffdingAdaptiveTreeClassifier::predict_proba_one(const FeatureMap& x) {
    return main_tree_->predict_proba_one(x);
}

void HoeffdingAdaptiveTreeClassifier::reset() {
    main_tree_ = build_tree();
    background_tree_.reset();
    drift_detector_ = ADWIN(drift_delta_);
    warning_detector_ = ADWIN(warning_delta_);
}

}  // namespace kavro
