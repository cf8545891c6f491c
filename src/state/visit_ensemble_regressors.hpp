// Saved state of the ensemble regressors and of gradient boosting: each class's visit names
// its fields in order.
#pragma once

#include <memory>

#include "ensemble/adaptive_random_forest.hpp"
#include "ensemble/leveraging_bagging.hpp"
#include "ensemble/streaming_gradient_boosting.hpp"
#include "ensemble/streaming_random_patches.hpp"
#include "state/archive.hpp"
#include "state/visit_drift.hpp"
#include "state/visit_ensemble_common.hpp"
#include "state/visit_tree_regressors.hpp"

namespace kavro {

namespace state {

template <class Ar>
void visit(Ar& ar, ensemble::BoosterConfig& c) {
    ar("n_models", c.n_models);
    ar("percentage_of_features", c.percentage_of_features);
    ar("multiply_hessian_by", c.multiply_hessian_by);
    ar("skip_training", c.skip_training);
    ar("bag_size", c.bag_size);
    ar("learning_rate", c.learning_rate);
    ar("use_squared_loss", c.use_squared_loss);
    ar("grace_period", c.grace_period);
    ar("max_depth", c.max_depth);
    ar("split_confidence", c.split_confidence);
    ar("leaf_prediction", c.leaf_prediction);
    ar("seed", c.seed);
}

template <>
struct Construct<ensemble::Booster> {
    static ensemble::Booster make() { return ensemble::Booster(ensemble::BoosterConfig{}); }
    static std::unique_ptr<ensemble::Booster> make_unique() {
        return std::make_unique<ensemble::Booster>(ensemble::BoosterConfig{});
    }
};

namespace detail {

// Every member of a forest or patch ensemble holds a tree once it is initialised (`always`:
// from construction on).
template <class Ar, class Member>
void check_drift_members(Ar& ar, const std::vector<Member>& members, bool always) {
    ar.require(!members.empty(), "an ensemble has no members");
    for (const Member& m : members) {
        ar.require(m.foreground != nullptr || (!always && !m.initialised),
                   "an ensemble member has no tree");
    }
}

}  // namespace detail

}  // namespace state

template <class Ar>
void ARFRegressor::visit(Ar& ar) {
    ar("n_models", n_models_);
    ar("seed", seed_);
    ar("lambda_value", lambda_value_);
    state::require(ar, ensemble::valid_poisson_mean(lambda_value_),
                   "lambda_value is not a finite number above 1.1e-16 and at most 1e9");
    ar("drift_delta", drift_delta_);
    ar("warning_delta", warning_delta_);
    ar("grace_period", grace_period_);
    state::require(ar, grace_period_ >= 1, "grace_period is below 1");
    ar("max_depth", max_depth_);
    ar("learning_rate", learning_rate_);
    ar("members", members_);
    ar("rng", rng_);
    if constexpr (Ar::mode == state::Mode::read) {
        state::detail::check_drift_members(ar, members_, true);
    }
}

template <class Ar>
void SRPRegressor::visit(Ar& ar) {
    ar("n_models", n_models_);
    ar("seed", seed_);
    ar("lambda_value", lambda_value_);
    state::require(ar, ensemble::valid_poisson_mean(lambda_value_),
                   "lambda_value is not a finite number above 1.1e-16 and at most 1e9");
    ar("subspace_fraction", subspace_fraction_);
    ar("training_method", training_method_);
    ar("learning_rate", learning_rate_);
    ar("grace_period", grace_period_);
    state::require(ar, grace_period_ >= 1, "grace_period is below 1");
    ar("max_depth", max_depth_);
    ar("drift_delta", drift_delta_);
    ar("warning_delta", warning_delta_);
    ar("members", members_);
    ar("rng", rng_);
    if constexpr (Ar::mode == state::Mode::read) {
        mode_ = ensemble::patch_mode(training_method_);
        state::detail::check_drift_members(ar, members_, false);
    }
}

template <class Ar>
void LeveragingBaggingRegressor::Member::visit(Ar& ar) {
    ar("model", model);
    ar("drift_detector", drift_detector);
}

template <class Ar>
void LeveragingBaggingRegressor::visit(Ar& ar) {
    ar("n_models", n_models_);
    state::require(ar, n_models_ >= 0, "n_models is negative");
    ar("seed", seed_);
    ar("lambda_value", lambda_value_);
    state::require(ar, ensemble::valid_poisson_mean(lambda_value_),
                   "lambda_value is not a finite number above 1.1e-16 and at most 1e9");
    ar("drift_delta", drift_delta_);
    ar("split_confidence", split_confidence_);
    ar("grace_period", grace_period_);
    ar("max_depth", max_depth_);
    ar("leaf_prediction", leaf_prediction_);
    ar("member_seed_base", member_seed_base_);
    ar("target_count", target_count_);
    ar("target_sum", target_sum_);
    ar("target_sum_sq", target_sum_sq_);
    ar("members", members_);
    ar("rng", rng_);
    if constexpr (Ar::mode == state::Mode::read) {
        for (const Member& m : members_) {
            ar.require(m.model != nullptr, "an ensemble member has no tree");
        }
    }
}

namespace ensemble {

// Before the first trained example a booster has no stages; after it, n_models stages of
// bag_size trees each, every stage with its feature names.
template <class Ar>
void Booster::visit(Ar& ar) {
    ar("config", config_);
    state::require(ar, config_.n_models >= 1 && config_.bag_size >= 1,
                   "a booster has fewer than one stage or tree per stage");
    ar("initialised", initialised_);
    ar("stage_features", stage_features_);
    ar("stage_trees", stage_trees_);
    ar("rng", rng_);
    if constexpr (Ar::mode == state::Mode::read) {
        const std::size_t stages = initialised_ ? static_cast<std::size_t>(config_.n_models) : 0;
        const std::size_t bag = static_cast<std::size_t>(config_.bag_size);
        ar.require(stage_features_.size() == stages && stage_trees_.size() == stages,
                   "a booster's stage count disagrees with its settings");
        for (const auto& trees : stage_trees_) {
            ar.require(trees.size() == bag, "a booster stage's tree count disagrees with its settings");
            for (const auto& tree : trees) ar.require(tree != nullptr, "a booster stage lacks a tree");
        }
    }
}

}  // namespace ensemble

template <class Ar>
void SGBTClassifier::visit(Ar& ar) {
    ar("n_models", n_models_);
    ar("learning_rate", learning_rate_);
    ar("percentage_of_features", percentage_of_features_);
    ar("multiply_hessian_by", multiply_hessian_by_);
    ar("skip_training", skip_training_);
    ar("use_squared_loss", use_squared_loss_);
    ar("bag_size", bag_size_);
    ar("n_classes", n_classes_);
    ar("scale_prediction_by_lr", scale_prediction_by_lr_);
    ar("seed", seed_);
    ar("grace_period", grace_period_);
    ar("max_depth", max_depth_);
    ar("split_confidence", split_confidence_);
    ar("leaf_prediction", leaf_prediction_);
    ar("classes", classes_);
    ar("boosters", boosters_);
    if constexpr (Ar::mode == state::Mode::read) {
        for (std::size_t i = 1; i < classes_.size(); ++i) {
            ar.require(classes_[i - 1] < classes_[i], "the class labels are not strictly increasing");
        }
        for (const auto& b : boosters_) ar.require(b != nullptr, "a class booster is missing");
    }
}

template <class Ar>
void SGBRRegressor::visit(Ar& ar) {
    ar("n_models", n_models_);
    ar("learning_rate", learning_rate_);
    ar("percentage_of_features", percentage_of_features_);
    ar("multiply_hessian_by", multiply_hessian_by_);
    ar("skip_training", skip_training_);
    ar("bag_size", bag_size_);
    ar("seed", seed_);
    ar("grace_period", grace_period_);
    ar("max_depth", max_depth_);
    ar("split_confidence", split_confidence_);
    ar("leaf_prediction", leaf_prediction_);
    ar("booster", booster_);
}

}  // namespace kavro
