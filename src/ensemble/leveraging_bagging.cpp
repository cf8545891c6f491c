#include "ensemble/leveraging_bagging.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "core/validation.hpp"
#include "ensemble/ensemble_common.hpp"
#include "ensemble/member_trees.hpp"

namespace kavro {

// ---------------------------------------------------------------------------
// LeveragingBaggingClassifier

LeveragingBaggingClassifier::LeveragingBaggingClassifier(int n_models, std::uint32_t seed,
                                                         double lambda_value, double drift_delta,
                                                         int grace_period, int max_depth,
                                                         double split_confidence)
    : n_models_(n_models),
      seed_(seed),
      lambda_value_(lambda_value),
      drift_delta_(drift_delta),
      split_confidence_(split_confidence),
      grace_period_(grace_period),
      max_depth_(max_depth) {
    require_at_least("grace_period", grace_period, 1);
    ensemble::require_poisson_mean("lambda_value", lambda_value);
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> LeveragingBaggingClassifier::make_tree() const {
    return ensemble::make_classifier_tree(grace_period_, split_confidence_, max_depth_);
}

// The new members are built aside, so a failed allocation leaves the ensemble as it was.
void LeveragingBaggingClassifier::reset() {
    const std::size_t n = n_models_ < 1 ? 1u : static_cast<std::size_t>(n_models_);
    std::vector<Member> fresh;
    fresh.reserve(n);
    for (std::size_t i = 0; i < n; ++i) fresh.push_back(Member{make_tree(), ADWIN(drift_delta_)});
    members_.swap(fresh);
    rng_.seed(seed_);
}

void LeveragingBaggingClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    learn_by_members(x, y);
}

double LeveragingBaggingClassifier::draw_example(const FeatureMap& /*x*/, ClassLabel /*y*/,
                                                 int* counts) {
    ensemble::Poisson poisson(lambda_value_);
    for (std::size_t i = 0; i < members_.size(); ++i) counts[i] = poisson(rng_);
    return 1.0;
}

void LeveragingBaggingClassifier::member_step(std::size_t i, const FeatureMap& x, ClassLabel y,
                                              int count, double /*scale*/) {
    Member& m = members_[i];
    const bool correct = m.model->predict_one(x) == y;
    ensemble::learn_repeated(*m.model, x, y, count);
    m.drift_detector.update(correct ? 0.0 : 1.0);
    if (m.drift_detector.drift_detected()) {
        m.model = make_tree();
        m.drift_detector = ADWIN(drift_delta_);
    }
}

ProbabilityMap LeveragingBaggingClassifier::predict_proba_one(const FeatureMap& x) {
    ensemble::Vote vote;
    for (Member& m : members_) vote.add_equal(m.model->predict_proba_one(x));
    return vote.finish();
}

ensemble::ClassVote LeveragingBaggingClassifier::member_vote(std::size_t i, const FeatureMap& x) {
    return {true, 1.0, members_[i].model->predict_proba_one(x)};
}

ClassLabel LeveragingBaggingClassifier::combine_votes(const ensemble::ClassVote* votes) {
    ensemble::Vote vote;
    for (std::size_t i = 0; i < members_.size(); ++i) vote.add_equal(votes[i].proba);
    return ensemble::argmax_label(vote.finish());
}

ClassLabel LeveragingBaggingClassifier::predict_one(const FeatureMap& x) {
    return ensemble::argmax_label(predict_proba_one(x));
}

// ---------------------------------------------------------------------------
// LeveragingBaggingRegressor

namespace {

void check_member_count(int n_models) {
    if (n_models < 0) {
        throw std::length_error("'n_models' must be greater than or equal to 0 (got " +
                                std::to_string(n_models) + ").");
    }
}

}  // namespace

LeveragingBaggingRegressor::LeveragingBaggingRegressor(int n_models, std::uint32_t seed,
                                                       double lambda_value, double drift_delta,
                                                       int grace_period, int max_depth,
                                                       double split_confidence,
                                                       std::string leaf_prediction)
    : n_models_(n_models),
      seed_(seed),
      lambda_value_(lambda_value),
      drift_delta_(drift_delta),
      split_confidence_(split_confidence),
      grace_period_(grace_period),
      max_depth_(max_depth),
      leaf_prediction_(std::move(leaf_prediction)) {
    ensemble::require_poisson_mean("lambda_value", lambda_value);
    reset();
}

void LeveragingBaggingRegressor::set_n_models(int value) {
    require_at_least("n_models", value, 0);
    n_models_ = value;
}

std::unique_ptr<FIMTDDRegressor> LeveragingBaggingRegressor::make_tree(std::size_t position) const {
    const std::uint32_t member_seed = member_seed_base_ + static_cast<std::uint32_t>(position);
    return ensemble::make_model_tree(grace_period_, split_confidence_, max_depth_,
                                     leaf_prediction_, static_cast<std::int32_t>(member_seed));
}

// The new members are built aside, so a failed allocation leaves the ensemble as it was.
void LeveragingBaggingRegressor::reset() {
    check_member_count(n_models_);
    const std::uint32_t previous_base = member_seed_base_;
    member_seed_base_ = seed_;
    const std::size_t n = static_cast<std::size_t>(n_models_);
    std::vector<Member> fresh;
    try {
        fresh.reserve(n);
        for (std::size_t i = 0; i < n; ++i) fresh.push_back(Member{make_tree(i), ADWIN(drift_delta_)});
    } catch (...) {
        member_seed_base_ = previous_base;
        throw;
    }
    members_.swap(fresh);
    target_count_ = 0.0;
    target_sum_ = 0.0;
    target_sum_sq_ = 0.0;
    rng_.seed(seed_);
}

void LeveragingBaggingRegressor::learn_one(const FeatureMap& x, double y) {
    learn_by_members(x, y);
}

double LeveragingBaggingRegressor::draw_example(const FeatureMap& /*x*/, double y, int* counts) {
    target_count_ += 1.0;
    target_sum_ += y;
    target_sum_sq_ += y * y;
    double sigma = 1.0;
    if (target_count_ > 1.0) {
        const double v = (target_sum_sq_ - target_sum_ * target_sum_ / target_count_) / target_count_;
        if (v > 0.0) sigma = std::sqrt(v);
    }

    ensemble::Poisson poisson(lambda_value_);
    for (std::size_t i = 0; i < members_.size(); ++i) counts[i] = poisson(rng_);
    return sigma;
}

void LeveragingBaggingRegressor::member_step(std::size_t i, const FeatureMap& x, double y,
                                             int count, double sigma) {
    Member& m = members_[i];
    const double prediction = m.model->predict_one(x);
    m.drift_detector.update(std::fabs(prediction - y) / sigma);
    ensemble::learn_repeated(*m.model, x, y, count);
    if (m.drift_detector.drift_detected()) {
        m.model = make_tree(i);
        m.drift_detector = ADWIN(drift_delta_);
    }
}

double LeveragingBaggingRegressor::predict_one(const FeatureMap& x) {
    return predict_by_members(x);
}

ensemble::ValueVote LeveragingBaggingRegressor::member_vote(std::size_t i, const FeatureMap& x) {
    return {true, members_[i].model->predict_one(x)};
}

double LeveragingBaggingRegressor::combine_votes(const ensemble::ValueVote* votes) {
    return ensemble::mean_of_votes(votes, members_.size(), /*over_all=*/true);
}

}  // namespace kavro
