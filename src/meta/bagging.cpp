#include "meta/bagging.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include "core/validation.hpp"
#include "ensemble/ensemble_common.hpp"
#include "meta/fresh_copy.hpp"

namespace kavro {

namespace meta {

void require_prototype(const void* model) {
    if (model == nullptr) throw std::invalid_argument("'model' must be a learner (got None).");
}

void require_members(int n_models) { require_at_least("n_models", n_models, 1); }

ProbabilityMap mean_proba(const ensemble::ClassVote* votes, std::size_t n) {
    ProbabilityMap out;
    std::size_t counted = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!votes[i].counted) continue;
        const ProbabilityMap p = normalised(votes[i].proba);
        if (p.empty()) continue;
        for (const auto& kv : p) out[kv.first] += kv.second;
        ++counted;
    }
    for (auto& kv : out) kv.second /= static_cast<double>(counted);
    return out;
}

namespace {

template <class Learner>
std::vector<std::shared_ptr<Learner>> fresh_members(const Learner& prototype, int n) {
    std::vector<std::shared_ptr<Learner>> out;
    out.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) out.push_back(fresh_copy(prototype));
    return out;
}

}  // namespace

}  // namespace meta

// ---------------------------------------------------------------------------
// BaggingClassifier

BaggingClassifier::BaggingClassifier(std::shared_ptr<IClassifier> model, int n_models,
                                     std::uint32_t seed)
    : model_(std::move(model)), n_models_(n_models), seed_(seed) {
    meta::require_prototype(model_.get());
    meta::require_members(n_models);
    reset();
}

void BaggingClassifier::reset() {
    members_ = meta::fresh_members(*model_, n_models_);
    rng_.seed(seed_);
}

void BaggingClassifier::learn_one(const FeatureMap& x, ClassLabel y) { learn_by_members(x, y); }

double BaggingClassifier::draw_example(const FeatureMap&, ClassLabel, int* counts) {
    ensemble::Poisson poisson(1.0);
    for (std::size_t i = 0; i < members_.size(); ++i) counts[i] = poisson(rng_);
    return 1.0;
}

void BaggingClassifier::member_step(std::size_t i, const FeatureMap& x, ClassLabel y, int count,
                                    double) {
    ensemble::learn_repeated(*members_[i], x, y, count);
}

ensemble::ClassVote BaggingClassifier::member_vote(std::size_t i, const FeatureMap& x) {
    return {true, 1.0, members_[i]->predict_proba_one(x)};
}

ProbabilityMap BaggingClassifier::combine(const ensemble::ClassVote* votes) const {
    return meta::mean_proba(votes, members_.size());
}

ClassLabel BaggingClassifier::combine_votes(const ensemble::ClassVote* votes) {
    return meta::top_label(combine(votes));
}

ClassLabel BaggingClassifier::predict_one(const FeatureMap& x) { return predict_by_members(x); }

ProbabilityMap BaggingClassifier::predict_proba_one(const FeatureMap& x) {
    std::vector<ensemble::ClassVote> votes(members_.size());
    for (std::size_t i = 0; i < members_.size(); ++i) votes[i] = member_vote(i, x);
    return combine(votes.data());
}

// ---------------------------------------------------------------------------
// BaggingRegressor

BaggingRegressor::BaggingRegressor(std::shared_ptr<IRegressor> model, int n_models,
                                   std::uint32_t seed)
    : model_(std::move(model)), n_models_(n_models), seed_(seed) {
    meta::require_prototype(model_.get());
    meta::require_members(n_models);
    reset();
}

void BaggingRegressor::reset() {
    members_ = meta::fresh_members(*model_, n_models_);
    rng_.seed(seed_);
}

void BaggingRegressor::learn_one(const FeatureMap& x, double y) { learn_by_members(x, y); }

double BaggingRegressor::draw_example(const FeatureMap&, double, int* counts) {
    ensemble::Poisson poisson(1.0);
    for (std::size_t i = 0; i < members_.size(); ++i) counts[i] = poisson(rng_);
    return 1.0;
}

void BaggingRegressor::member_step(std::size_t i, const FeatureMap& x, double y, int count,
                                   double) {
    ensemble::learn_repeated(*members_[i], x, y, count);
}

ensemble::ValueVote BaggingRegressor::member_vote(std::size_t i, const FeatureMap& x) {
    return {true, members_[i]->predict_one(x)};
}

double BaggingRegressor::combine_votes(const ensemble::ValueVote* votes) {
    return ensemble::mean_of_votes(votes, members_.size(), /*over_all=*/true);
}

double BaggingRegressor::predict_one(const FeatureMap& x) { return predict_by_members(x); }

// ---------------------------------------------------------------------------
// ADWINBaggingClassifier

ADWINBaggingClassifier::ADWINBaggingClassifier(std::shared_ptr<IClassifier> model, int n_models,
                                               std::uint32_t seed)
    : model_(std::move(model)), n_models_(n_models), seed_(seed) {
    meta::require_prototype(model_.get());
    meta::require_members(n_models);
    reset();
}

void ADWINBaggingClassifier::reset() {
    members_ = meta::fresh_members(*model_, n_models_);
    detectors_.assign(members_.size(), ADWIN(kDelta));
    n_replaced_ = 0;
    rng_.seed(seed_);
}

void ADWINBaggingClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    ensemble::Poisson poisson(1.0);
    bool change = false;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const int k = poisson(rng_);
        const bool correct = members_[i]->predict_one(x) == y;
        ensemble::learn_repeated(*members_[i], x, y, k);
        detectors_[i].update(correct ? 0.0 : 1.0);
        if (detectors_[i].drift_detected()) change = true;
    }
    if (!change) return;
    std::size_t worst = 0;
    for (std::size_t i = 1; i < members_.size(); ++i) {
        if (detectors_[i].estimation() > detectors_[worst].estimation()) worst = i;
    }
    members_[worst] = meta::fresh_copy(*model_);
    detectors_[worst] = ADWIN(kDelta);
    ++n_replaced_;
}

ProbabilityMap ADWINBaggingClassifier::predict_proba_one(const FeatureMap& x) {
    std::vector<ensemble::ClassVote> votes(members_.size());
    for (std::size_t i = 0; i < members_.size(); ++i) {
        votes[i] = {true, 1.0, members_[i]->predict_proba_one(x)};
    }
    return meta::mean_proba(votes.data(), votes.size());
}

ClassLabel ADWINBaggingClassifier::predict_one(const FeatureMap& x) {
    return meta::top_label(predict_proba_one(x));
}

}  // namespace kavro
