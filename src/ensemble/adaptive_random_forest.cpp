#include "ensemble/adaptive_random_forest.hpp"

#include <algorithm>
#include <cmath>

#include "core/validation.hpp"
#include "ensemble/member_trees.hpp"

namespace kavro {

namespace {

constexpr std::uint32_t kFirstTreeStep = 1000u;
constexpr std::uint32_t kBackgroundStep = 7919u;
constexpr std::uint32_t kReplacementStep = 104729u;

std::size_t member_count(int n_models) {
    return n_models < 1 ? 1u : static_cast<std::size_t>(n_models);
}

}  // namespace

// ---------------------------------------------------------------------------
// ARFClassifier

ARFClassifier::ARFClassifier(int n_models, std::uint32_t seed, double lambda_value,
                             double drift_delta, double warning_delta, int grace_period,
                             int max_depth, double split_confidence, int subspace_size)
    : n_models_(n_models),
      seed_(seed),
      lambda_value_(lambda_value),
      subspace_size_(subspace_size),
      drift_delta_(drift_delta),
      warning_delta_(warning_delta),
      split_confidence_(split_confidence),
      grace_period_(grace_period),
      max_depth_(max_depth) {
    require_at_least("grace_period", grace_period, 1);
    ensemble::require_poisson_mean("lambda_value", lambda_value);
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> ARFClassifier::make_tree(std::uint32_t tree_seed,
                                                                  std::size_t n_features) const {
    auto tree = ensemble::make_classifier_tree(grace_period_, split_confidence_, max_depth_);
    long long k = subspace_size_;
    if (k < 0) k = static_cast<long long>(std::floor(std::sqrt(static_cast<double>(n_features)))) + 1;
    if (k > 0 && k < static_cast<long long>(n_features)) {
        ensemble::restrict_split_features(*tree, static_cast<int>(k), tree_seed);
    }
    return tree;
}

// The new members are built aside, so a failed allocation leaves the forest as it was.
void ARFClassifier::reset() {
    const std::size_t n = member_count(n_models_);
    std::vector<Member> fresh;
    fresh.reserve(n);
    for (std::size_t i = 0; i < n; ++i) fresh.emplace_back(drift_delta_, warning_delta_);
    members_.swap(fresh);
    rng_.seed(seed_);
}

void ARFClassifier::learn_one(const FeatureMap& x, ClassLabel y) { learn_by_members(x, y); }

double ARFClassifier::draw_example(const FeatureMap& /*x*/, ClassLabel /*y*/, int* counts) {
    ensemble::Poisson poisson(lambda_value_);
    for (std::size_t i = 0; i < members_.size(); ++i) counts[i] = poisson(rng_);
    return 1.0;
}

void ARFClassifier::member_step(std::size_t i, const FeatureMap& x, ClassLabel y, int count,
                                double /*scale*/) {
    Member& m = members_[i];
    if (!m.initialised) {
        m.foreground = make_tree(ensemble::member_seed(seed_, kFirstTreeStep, i), x.size());
        m.initialised = true;
    }
    m.learn_labelled(
        x, y, count, drift_delta_, warning_delta_,
        [&] {
            return make_tree(ensemble::member_seed(seed_, kBackgroundStep, i,
                                                   ensemble::truncated_count(m.n_seen)),
                             x.size());
        },
        [&] {
            return make_tree(ensemble::member_seed(seed_, kReplacementStep, i,
                                                   ensemble::truncated_count(m.n_seen)),
                             x.size());
        });
}

ProbabilityMap ARFClassifier::predict_proba_one(const FeatureMap& x) {
    return ensemble::weighted_vote(members_, x);  // members see all of x
}

ensemble::ClassVote ARFClassifier::member_vote(std::size_t i, const FeatureMap& x) {
    return ensemble::weighted_member_vote(members_[i], x);
}

ClassLabel ARFClassifier::combine_votes(const ensemble::ClassVote* votes) {
    return ensemble::argmax_label(ensemble::fold_weighted(votes, members_.size()));
}

ClassLabel ARFClassifier::predict_one(const FeatureMap& x) {
    return ensemble::argmax_label(predict_proba_one(x));
}

// ---------------------------------------------------------------------------
// ARFRegressor

ARFRegressor::ARFRegressor(int n_models, std::uint32_t seed, double lambda_value,
                           double drift_delta, double warning_delta, int grace_period,
                           int max_depth, double learning_rate)
    : n_models_(n_models),
      seed_(seed),
      lambda_value_(lambda_value),
      drift_delta_(drift_delta),
      warning_delta_(warning_delta),
      grace_period_(grace_period),
      max_depth_(max_depth),
      learning_rate_(learning_rate) {
    require_at_least("grace_period", grace_period, 1);
    ensemble::require_poisson_mean("lambda_value", lambda_value);
    reset();
}

std::unique_ptr<HoeffdingTreeRegressor> ARFRegressor::make_tree() const {
    return ensemble::make_regressor_tree(grace_period_, max_depth_, learning_rate_);
}

// The new members are built aside, so a failed allocation leaves the forest as it was.
void ARFRegressor::reset() {
    const std::size_t n = member_count(n_models_);
    std::vector<Member> fresh;
    fresh.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        fresh.emplace_back(drift_delta_, warning_delta_);
        fresh.back().foreground = make_tree();
    }
    members_.swap(fresh);
    rng_.seed(seed_);
}

// round(sqrt(n)) names (at least 1, at most n) of the sorted names shuffled with
// the forest generator, kept in shuffled order.
void ARFRegressor::draw_subspace(Member& member, const FeatureMap& x) {
    std::vector<std::string> names = ensemble::sorted_names(x);
    const std::size_t n = names.size();
    std::size_t k = static_cast<std::size_t>(std::round(std::sqrt(static_cast<double>(n))));
    if (k == 0) k = 1;
    if (k > n) k = n;
    shuffle_in_place(names, rng_);
    names.resize(k);
    member.subspace = std::move(names);
    member.initialised = true;
}

void ARFRegressor::learn_one(const FeatureMap& x, double y) { learn_by_members(x, y); }

double ARFRegressor::draw_example(const FeatureMap& x, double /*y*/, int* counts) {
    ensemble::Poisson poisson(lambda_value_);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Member& m = members_[i];
        if (!m.initialised) draw_subspace(m, x);
        counts[i] = poisson(rng_);
    }
    return 1.0;
}

void ARFRegressor::member_step(std::size_t i, const FeatureMap& x, double y, int count,
                               double /*scale*/) {
    members_[i].learn_valued(x, y, count, drift_delta_, warning_delta_,
                             [&] { return make_tree(); });
}

double ARFRegressor::predict_one(const FeatureMap& x) { return predict_by_members(x); }

ensemble::ValueVote ARFRegressor::member_vote(std::size_t i, const FeatureMap& x) {
    return ensemble::value_member_vote(members_[i], x);
}

double ARFRegressor::combine_votes(const ensemble::ValueVote* votes) {
    return ensemble::mean_of_votes(votes, members_.size(), /*over_all=*/true);
}

bool ARFRegressor::draws_change_votes() const {
    return std::any_of(members_.begin(), members_.end(), [](const Member& m) { return !m.initialised; });
}

}  // namespace kavro
