// Saved state of the ensemble classifiers: each class's visit names its fields in order.
// Members' trees are saved with their own visits (see visit_tree_classifiers.hpp); members not
// created yet are saved as such.
#pragma once

#include <memory>
#include <type_traits>
#include <vector>

#include "ensemble/adaptive_random_forest.hpp"
#include "ensemble/leveraging_bagging.hpp"
#include "ensemble/streaming_random_patches.hpp"
#include "state/archive.hpp"
#include "state/visit_drift.hpp"
#include "state/visit_ensemble_common.hpp"
#include "state/visit_tree_classifiers.hpp"

namespace kavro {

namespace state {

// A member of leveraging bagging (a private type, recognised by its fields): its tree and its
// detector. Every member votes with the same weight.
template <class Ar, class M>
auto visit(Ar& ar, M& m)
    -> std::enable_if_t<
        std::is_same_v<decltype(m.model), std::unique_ptr<HoeffdingTreeClassifier>> &&
        std::is_same_v<decltype(m.drift_detector), ADWIN>> {
    ar("model", m.model);
    require(ar, m.model != nullptr, "a member has no tree");
    ar("drift_detector", m.drift_detector);
    if constexpr (Ar::mode == Mode::describe) {
        double weight = 1.0;
        ar("weight", weight);
    }
}

}  // namespace state

namespace state::classifier_ensembles {

// After reading: each member of a forest or patch ensemble has a foreground tree exactly when
// it is initialised, and a background tree only beside a foreground tree.
template <class Ar, class Member>
void require_drift_members(Ar& ar, const std::vector<Member>& members) {
    if constexpr (Ar::mode == Mode::read) {
        ar.require(!members.empty(), "an ensemble has no members");
        for (const Member& m : members) {
            ar.require(m.initialised == (m.foreground != nullptr),
                       "a member's tree disagrees with its initialised flag");
            ar.require(!m.background || m.foreground, "a member has a background tree only");
        }
    }
}

}  // namespace state::classifier_ensembles

template <class Ar>
void ARFClassifier::visit(Ar& ar) {
    ar("n_models", n_models_);
    ar("seed", seed_);
    ar("lambda_value", lambda_value_);
    state::require(ar, ensemble::valid_poisson_mean(lambda_value_),
                   "lambda_value is not a finite number above 1.1e-16 and at most 1e9");
    ar("subspace_size", subspace_size_);
    ar("drift_delta", drift_delta_);
    ar("warning_delta", warning_delta_);
    ar("split_confidence", split_confidence_);
    ar("grace_period", grace_period_);
    state::require(ar, grace_period_ >= 1, "grace_period is below 1");
    ar("max_depth", max_depth_);
    ar("members", members_);
    state::classifier_ensembles::require_drift_members(ar, members_);
    ar("rng", rng_);
}

template <class Ar>
void SRPClassifier::visit(Ar& ar) {
    ar("n_models", n_models_);
    ar("seed", seed_);
    ar("lambda_value", lambda_value_);
    state::require(ar, ensemble::valid_poisson_mean(lambda_value_),
                   "lambda_value is not a finite number above 1.1e-16 and at most 1e9");
    ar("subspace_fraction", subspace_fraction_);
    ar("training_method", training_method_);
    ar("mode", mode_);
    state::require(ar, mode_ == ensemble::patch_mode(training_method_),
                   "the patch mode disagrees with training_method");
    ar("drift_delta", drift_delta_);
    ar("warning_delta", warning_delta_);
    ar("split_confidence", split_confidence_);
    ar("grace_period", grace_period_);
    state::require(ar, grace_period_ >= 1, "grace_period is below 1");
    ar("max_depth", max_depth_);
    ar("members", members_);
    state::classifier_ensembles::require_drift_members(ar, members_);
    ar("rng", rng_);
}

template <class Ar>
void LeveragingBaggingClassifier::visit(Ar& ar) {
    ar("n_models", n_models_);
    ar("seed", seed_);
    ar("lambda_value", lambda_value_);
    state::require(ar, ensemble::valid_poisson_mean(lambda_value_),
                   "lambda_value is not a finite number above 1.1e-16 and at most 1e9");
    ar("drift_delta", drift_delta_);
    ar("split_confidence", split_confidence_);
    ar("grace_period", grace_period_);
    state::require(ar, grace_period_ >= 1, "grace_period is below 1");
    ar("max_depth", max_depth_);
    ar("members", members_);
    state::require(ar, !members_.empty(), "an ensemble has no members");
    ar("rng", rng_);
}

}  // namespace kavro
