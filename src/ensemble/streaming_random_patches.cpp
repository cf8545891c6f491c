#include "ensemble/streaming_random_patches.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/validation.hpp"
#include "ensemble/member_trees.hpp"

namespace kavro {

namespace ensemble {

PatchMode patch_mode(const std::string& training_method) {
    if (training_method == "subspaces") return PatchMode::Subspaces;
    if (training_method == "resampling") return PatchMode::Resampling;
    return PatchMode::Patches;
}

std::vector<std::string> draw_patch_subspace(const FeatureMap& x, double fraction,
                                             std::uint32_t seed, std::size_t position) {
    constexpr std::uint32_t kSubspaceStep = 7919u;
    std::vector<std::string> names = sorted_names(x);
    const std::size_t n = names.size();
    std::size_t m = 1;
    if (n > 0) {
        double size = std::round(static_cast<double>(n) * fraction);
        if (size > static_cast<double>(n)) size = static_cast<double>(n);
        // Below 2 (and NaN) becomes 1.
        m = size >= 2.0 ? static_cast<std::size_t>(size) : 1u;
    }
    Rng patch_rng(member_seed(seed, kSubspaceStep, position));
    shuffle_in_place(names, patch_rng);
    // With no features this keeps one empty name: the member then sees nothing.
    names.resize(m);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace ensemble

namespace {

std::size_t member_count(int n_models) {
    return n_models < 1 ? 1u : static_cast<std::size_t>(n_models);
}

// The new members are built aside, so a failed allocation leaves `members` as it was.
template <class Member>
void rebuild_members(std::vector<Member>& members, int n_models, double drift_delta,
                     double warning_delta) {
    const std::size_t n = member_count(n_models);
    std::vector<Member> fresh;
    fresh.reserve(n);
    for (std::size_t i = 0; i < n; ++i) fresh.emplace_back(drift_delta, warning_delta);
    members.swap(fresh);
}

// The member's tree is built first, then its patch subspace is drawn.
template <class Member, class Tree>
void initialise_member(Member& member, std::unique_ptr<Tree> tree, ensemble::PatchMode mode,
                       const FeatureMap& x, double subspace_fraction, std::uint32_t seed,
                       std::size_t position) {
    member.foreground = std::move(tree);
    if (mode != ensemble::PatchMode::Resampling) {
        member.subspace = ensemble::draw_patch_subspace(x, subspace_fraction, seed, position);
    }
    member.initialised = true;
}

}  // namespace

// ---------------------------------------------------------------------------
// SRPClassifier

SRPClassifier::SRPClassifier(int n_models, std::uint32_t seed, double lambda_value,
                             double drift_delta, double warning_delta, int grace_period,
                             int max_depth, double split_confidence, double subspace_fraction,
                             std::string training_method)
    : n_models_(n_models),
      seed_(seed),
      lambda_value_(lambda_value),
      subspace_fraction_(subspace_fraction),
      training_method_(std::move(training_method)),
      mode_(ensemble::patch_mode(training_method_)),
      drift_delta_(drift_delta),
      warning_delta_(warning_delta),
      split_confidence_(split_confidence),
      grace_period_(grace_period),
      max_depth_(max_depth) {
    require_at_least("grace_period", grace_period, 1);
    ensemble::require_poisson_mean("lambda_value", lambda_value);
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> SRPClassifier::make_tree() const {
    return ensemble::make_classifier_tree(grace_period_, split_confidence_, max_depth_);
}

void SRPClassifier::reset() {
    rebuild_members(members_, n_models_, drift_delta_, warning_delta_);
    rng_.seed(seed_);
}

void SRPClassifier::initialise(Member& member, std::size_t position, const FeatureMap& x) {
    initialise_member(member, make_tree(), mode_, x, subspace_fraction_, seed_, position);
}

void SRPClassifier::learn_one(const FeatureMap& x, ClassLabel y) { learn_by_members(x, y); }

double SRPClassifier::draw_example(const FeatureMap& /*x*/, ClassLabel /*y*/, int* counts) {
    const bool resample = mode_ != ensemble::PatchMode::Subspaces;
    ensemble::Poisson poisson(resample ? lambda_value_ : 1.0);
    for (std::size_t i = 0; i < members_.size(); ++i) counts[i] = resample ? poisson(rng_) : 1;
    return 1.0;
}

void SRPClassifier::member_step(std::size_t i, const FeatureMap& x, ClassLabel y, int count,
                                double /*scale*/) {
    Member& m = members_[i];
    if (!m.initialised) initialise(m, i, x);
    const ensemble::RecordView view(x, m.subspace);
    const FeatureMap& r = view.get();

    m.learn_labelled(
        r, y, count, drift_delta_, warning_delta_, [&] { return make_tree(); },
        [&] { return make_tree(); });
}

ProbabilityMap SRPClassifier::predict_proba_one(const FeatureMap& x) {
    return ensemble::weighted_vote(members_, x);
}

ensemble::ClassVote SRPClassifier::member_vote(std::size_t i, const FeatureMap& x) {
    return ensemble::weighted_member_vote(members_[i], x);
}

ClassLabel SRPClassifier::combine_votes(const ensemble::ClassVote* votes) {
    return ensemble::argmax_label(ensemble::fold_weighted(votes, members_.size()));
}

ClassLabel SRPClassifier::predict_one(const FeatureMap& x) {
    return ensemble::argmax_label(predict_proba_one(x));
}

// ---------------------------------------------------------------------------
// SRPRegressor

SRPRegressor::SRPRegressor(int n_models, std::uint32_t seed, double lambda_value,
                           double drift_delta, double warning_delta, int grace_period,
                           int max_depth, double learning_rate, double subspace_fraction,
                           std::string training_method)
    : n_models_(n_models),
      seed_(seed),
      lambda_value_(lambda_value),
      subspace_fraction_(subspace_fraction),
      training_method_(std::move(training_method)),
      mode_(ensemble::patch_mode(training_method_)),
      learning_rate_(learning_rate),
      grace_period_(grace_period),
      max_depth_(max_depth),
      drift_delta_(drift_delta),
      warning_delta_(warning_delta) {
    require_at_least("grace_period", grace_period, 1);
    ensemble::require_poisson_mean("lambda_value", lambda_value);
    reset();
}

std::unique_ptr<HoeffdingTreeRegressor> SRPRegressor::make_tree() const {
    return ensemble::make_regressor_tree(grace_period_, max_depth_, learning_rate_);
}

void SRPRegressor::reset() {
    rebuild_members(members_, n_models_, drift_delta_, warning_delta_);
    rng_.seed(seed_);
}

void SRPRegressor::initialise(Member& member, std::size_t position, const FeatureMap& x) {
    initialise_member(member, make_tree(), mode_, x, subspace_fraction_, seed_, position);
}

void SRPRegressor::learn_one(const FeatureMap& x, double y) { learn_by_members(x, y); }

double SRPRegressor::draw_example(const FeatureMap& /*x*/, double /*y*/, int* counts) {
    const bool resample = mode_ != ensemble::PatchMode::Subspaces;
    ensemble::Poisson poisson(resample ? lambda_value_ : 1.0);
    for (std::size_t i = 0; i < members_.size(); ++i) counts[i] = resample ? poisson(rng_) : 1;
    return 1.0;
}

void SRPRegressor::member_step(std::size_t i, const FeatureMap& x, double y, int count,
                               double /*scale*/) {
    Member& m = members_[i];
    if (!m.initialised) initialise(m, i, x);
    m.learn_valued(x, y, count, drift_delta_, warning_delta_, [&] { return make_tree(); });
}

double SRPRegressor::predict_one(const FeatureMap& x) { return predict_by_members(x); }

ensemble::ValueVote SRPRegressor::member_vote(std::size_t i, const FeatureMap& x) {
    const Member& m = members_[i];
    if (!m.initialised || !m.foreground) return {};
    return ensemble::value_member_vote(m, x);
}

double SRPRegressor::combine_votes(const ensemble::ValueVote* votes) {
    return ensemble::mean_of_votes(votes, members_.size(), /*over_all=*/false);
}

}  // namespace kavro
