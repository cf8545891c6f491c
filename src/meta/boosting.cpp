#include "meta/boosting.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "ensemble/ensemble_common.hpp"
#include "meta/bagging.hpp"
#include "meta/fresh_copy.hpp"

namespace kavro {

namespace meta {

template <class Learner>
void require_models(const std::vector<std::shared_ptr<Learner>>& models, const char* what) {
    if (models.empty()) {
        throw std::invalid_argument("'" + std::string(what) + "' must hold at least one model.");
    }
    for (std::size_t i = 0; i < models.size(); ++i) {
        if (!models[i]) {
            throw std::invalid_argument("'" + std::string(what) + "' holds None at position " +
                                        std::to_string(i) + ".");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (models[j] == models[i]) {
                throw std::invalid_argument("'" + std::string(what) +
                                            "' holds the same object twice (positions " +
                                            std::to_string(j) + " and " + std::to_string(i) +
                                            "); pass separate objects.");
            }
        }
    }
}

template void require_models(const std::vector<std::shared_ptr<IClassifier>>&, const char*);
template void require_models(const std::vector<std::shared_ptr<IRegressor>>&, const char*);

void require_weights(const std::vector<double>& weights, std::size_t n_models) {
    if (weights.empty()) return;
    if (weights.size() != n_models) {
        throw std::invalid_argument("'weights' must hold one weight per model (got " +
                                    std::to_string(weights.size()) + " for " +
                                    std::to_string(n_models) + " models).");
    }
    double sum = 0.0;
    for (double w : weights) {
        if (!(std::isfinite(w) && w >= 0.0)) {
            throw std::invalid_argument("'weights' must be finite numbers >= 0.");
        }
        sum += w;
    }
    if (!(sum > 0.0 && std::isfinite(sum))) {
        throw std::invalid_argument("'weights' must have a positive finite sum.");
    }
}

}  // namespace meta

// ---------------------------------------------------------------------------
// AdaBoostClassifier

AdaBoostClassifier::AdaBoostClassifier(std::shared_ptr<IClassifier> model, int n_models,
                                       std::uint32_t seed)
    : model_(std::move(model)), n_models_(n_models), seed_(seed) {
    meta::require_prototype(model_.get());
    meta::require_members(n_models);
    reset();
}

void AdaBoostClassifier::reset() {
    std::vector<std::shared_ptr<IClassifier>> fresh;
    fresh.reserve(static_cast<std::size_t>(n_models_));
    for (int i = 0; i < n_models_; ++i) fresh.push_back(meta::fresh_copy(*model_));
    members_.swap(fresh);
    correct_.assign(members_.size(), 0.0);
    wrong_.assign(members_.size(), 0.0);
    rng_.seed(seed_);
}

void AdaBoostClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    double lambda = 1.0;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (lambda < kMinWeight) break;  // the later members would neither learn nor count it
        ensemble::Poisson poisson(lambda);
        ensemble::learn_repeated(*members_[i], x, y, poisson(rng_));
        if (members_[i]->predict_one(x) == y) {
            correct_[i] += lambda;
            const double e = wrong_[i] / (correct_[i] + wrong_[i]);
            lambda *= 1.0 / (2.0 * (1.0 - e));
        } else {
            wrong_[i] += lambda;
            const double e = wrong_[i] / (correct_[i] + wrong_[i]);
            lambda *= 1.0 / (2.0 * e);
        }
        lambda = std::min(lambda, kMaxWeight);
    }
}

std::vector<double> AdaBoostClassifier::errors() const {
    std::vector<double> out(members_.size(), 0.0);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const double seen = correct_[i] + wrong_[i];
        if (seen > 0.0) out[i] = wrong_[i] / seen;
    }
    return out;
}

ProbabilityMap AdaBoostClassifier::predict_proba_one(const FeatureMap& x) {
    ProbabilityMap votes;
    double total = 0.0;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const double seen = correct_[i] + wrong_[i];
        if (!(seen > 0.0)) continue;
        const double e = std::max(wrong_[i] / seen, kMinError);
        if (!(e < 0.5)) continue;
        const double w = std::log((1.0 - e) / e);
        votes[members_[i]->predict_one(x)] += w;
        total += w;
    }
    if (total > 0.0) {
        for (auto& kv : votes) kv.second /= total;
    }
    return votes;
}

ClassLabel AdaBoostClassifier::predict_one(const FeatureMap& x) {
    return meta::top_label(predict_proba_one(x));
}

// ---------------------------------------------------------------------------
// VotingClassifier

VotingClassifier::VotingClassifier(std::vector<std::shared_ptr<IClassifier>> models,
                                   std::vector<double> weights)
    : models_(std::move(models)), weights_(std::move(weights)) {
    meta::require_models(models_, "models");
    meta::require_weights(weights_, models_.size());
}

void VotingClassifier::reset() {
    for (auto& m : models_) m->reset();
}

void VotingClassifier::learn_one(const FeatureMap& x, ClassLabel y) { learn_by_members(x, y); }

double VotingClassifier::draw_example(const FeatureMap&, ClassLabel, int* counts) {
    std::fill(counts, counts + models_.size(), 1);
    return 1.0;
}

void VotingClassifier::member_step(std::size_t i, const FeatureMap& x, ClassLabel y, int, double) {
    models_[i]->learn_one(x, y);
}

ensemble::ClassVote VotingClassifier::member_vote(std::size_t i, const FeatureMap& x) {
    return {true, weights_.empty() ? 1.0 : weights_[i], models_[i]->predict_proba_one(x)};
}

ProbabilityMap VotingClassifier::combine(const ensemble::ClassVote* votes) const {
    ProbabilityMap out;
    double total = 0.0;
    for (std::size_t i = 0; i < models_.size(); ++i) {
        const ProbabilityMap p = meta::normalised(votes[i].proba);
        if (p.empty() || !(votes[i].weight > 0.0)) continue;
        for (const auto& kv : p) out[kv.first] += votes[i].weight * kv.second;
        total += votes[i].weight;
    }
    for (auto& kv : out) kv.second /= total;
    return out;
}

ClassLabel VotingClassifier::combine_votes(const ensemble::ClassVote* votes) {
    return meta::top_label(combine(votes));
}

ClassLabel VotingClassifier::predict_one(const FeatureMap& x) { return predict_by_members(x); }

ProbabilityMap VotingClassifier::predict_proba_one(const FeatureMap& x) {
    std::vector<ensemble::ClassVote> votes(models_.size());
    for (std::size_t i = 0; i < models_.size(); ++i) votes[i] = member_vote(i, x);
    return combine(votes.data());
}

// ---------------------------------------------------------------------------
// StackingClassifier

StackingClassifier::StackingClassifier(std::vector<std::shared_ptr<IClassifier>> models,
                                       std::shared_ptr<IClassifier> meta_model)
    : models_(std::move(models)), meta_model_(std::move(meta_model)) {
    meta::require_models(models_, "models");
    if (!meta_model_) throw std::invalid_argument("'meta_model' must be a classifier (got None).");
    for (const auto& m : models_) {
        if (m == meta_model_) {
            throw std::invalid_argument("'meta_model' must not be one of 'models'.");
        }
    }
}

void StackingClassifier::reset() {
    for (auto& m : models_) m->reset();
    meta_model_->reset();
}

FeatureMap StackingClassifier::meta_features(const FeatureMap& x) {
    FeatureMap z;
    for (std::size_t i = 0; i < models_.size(); ++i) {
        const std::string prefix = std::to_string(i) + ":";
        for (const auto& kv : models_[i]->predict_proba_one(x)) {
            z[prefix + std::to_string(kv.first)] = kv.second;
        }
    }
    return z;
}

void StackingClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    meta_model_->learn_one(meta_features(x), y);
    for (auto& m : models_) m->learn_one(x, y);
}

ClassLabel StackingClassifier::predict_one(const FeatureMap& x) {
    return meta_model_->predict_one(meta_features(x));
}

ProbabilityMap StackingClassifier::predict_proba_one(const FeatureMap& x) {
    return meta_model_->predict_proba_one(meta_features(x));
}

}  // namespace kavro
