#include "ensemble/streaming_gradient_boosting.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <utility>

#include "ensemble/ensemble_common.hpp"
#include "ensemble/member_trees.hpp"

namespace kavro {

namespace ensemble {

double sigmoid(double f) {
    if (f >= 0.0) return 1.0 / (1.0 + std::exp(-f));
    const double e = std::exp(f);
    return e / (1.0 + e);
}

Booster::Booster(const BoosterConfig& config) : config_(config), rng_(config.seed) {
    if (config_.n_models < 1) config_.n_models = 1;
    if (config_.bag_size < 1) config_.bag_size = 1;
}

// Stages are built aside and taken up whole, so an allocation failure changes nothing.
void Booster::initialise(const FeatureMap& x) {
    const std::vector<std::string> names = sorted_names(x);
    const long n = static_cast<long>(names.size());
    long m = std::lround(static_cast<double>(config_.percentage_of_features) / 100.0 *
                         static_cast<double>(n));
    if (m <= 1) {
        m = std::max(1L, std::min(n, m + 1));
    } else if (m > n) {
        m = std::max(1L, n);
    }

    std::vector<std::size_t> perm(static_cast<std::size_t>(n));
    std::iota(perm.begin(), perm.end(), std::size_t{0});
    const std::size_t stages = static_cast<std::size_t>(config_.n_models);
    const std::size_t bag = static_cast<std::size_t>(config_.bag_size);
    Rng rng = rng_;
    std::vector<std::vector<std::string>> stage_features(stages);
    std::vector<std::vector<std::unique_ptr<FIMTDDRegressor>>> stage_trees(stages);
    for (std::size_t s = 0; s < stages; ++s) {
        // Partial Fisher-Yates draw continuing from the previous stage's permutation.
        for (long k = 0; k < m; ++k) {
            const long j = k + static_cast<long>(uniform_draw(rng, static_cast<std::uint32_t>(n - 1 - k)));
            std::swap(perm[static_cast<std::size_t>(k)], perm[static_cast<std::size_t>(j)]);
        }
        std::vector<std::string>& features = stage_features[s];
        features.reserve(static_cast<std::size_t>(m));
        for (long k = 0; k < m; ++k) features.push_back(names[perm[static_cast<std::size_t>(k)]]);
        std::sort(features.begin(), features.end());

        auto& trees = stage_trees[s];
        trees.reserve(bag);
        for (std::size_t t = 0; t < bag; ++t) {
            trees.push_back(make_model_tree(config_.grace_period, config_.split_confidence,
                                            config_.max_depth, config_.leaf_prediction, 1));
        }
    }
    stage_features_.swap(stage_features);
    stage_trees_.swap(stage_trees);
    rng_ = rng;
    initialised_ = true;
}

bool Booster::skip_draw() {
    return config_.skip_training > 1 &&
           uniform_draw(rng_, static_cast<std::uint32_t>(config_.skip_training - 1)) == 0;
}

void Booster::train(const FeatureMap& x, double target) {
    if (!initialised_) {
        // A first example whose stages cannot be built leaves the booster as it was.
        const Rng saved = rng_;
        try {
            if (skip_draw()) return;
            // Stage feature sets need at least one name: wait for a record with features.
            if (x.empty()) return;
            initialise(x);
        } catch (...) {
            rng_ = saved;
            throw;
        }
    } else if (skip_draw()) {
        return;
    }

    double f = 0.0;
    for (std::size_t s = 0; s < stage_trees_.size(); ++s) {
        double residual;
        double hessian;
        if (config_.use_squared_loss) {
            residual = target - f;
            hessian = 1.0;
        } else {
            const double p = sigmoid(f);
            residual = target - p;
            hessian = std::max(1e-12, p * (1.0 - p));
        }
        const FeatureMap xs = restrict_record(x, stage_features_[s]);
        const double z = residual / hessian;
        long long repeat = 1;
        if (config_.multiply_hessian_by > 1) {
            const double scaled = std::ceil(static_cast<double>(config_.multiply_hessian_by) * hessian);
            repeat = std::max(1LL, static_cast<long long>(scaled));
        }

        auto& trees = stage_trees_[s];
        double stage_sum = 0.0;
        for (auto& tree : trees) {
            long long count = repeat;
            if (config_.bag_size > 1) {
                Poisson poisson(1.0);
                count *= poisson(rng_);
            }
            learn_repeated(*tree, xs, z, count);
            stage_sum += tree->predict_one(xs);
        }
        f = f + config_.learning_rate * (stage_sum / static_cast<double>(trees.size()));
    }
}

double Booster::predict(const FeatureMap& x, bool scale) {
    double f = 0.0;
    for (std::size_t s = 0; s < stage_trees_.size(); ++s) {
        const FeatureMap xs = restrict_record(x, stage_features_[s]);
        auto& trees = stage_trees_[s];
        double stage_sum = 0.0;
        for (auto& tree : trees) stage_sum += tree->predict_one(xs);
        f += stage_sum / static_cast<double>(trees.size());
    }
    return scale ? f * config_.learning_rate : f;
}

}  // namespace ensemble

// ---------------------------------------------------------------------------
// SGBTClassifier

SGBTClassifier::SGBTClassifier(int n_models, double learning_rate, int percentage_of_features,
                               int multiply_hessian_by, int skip_training, bool use_squared_loss,
                               int bag_size, int n_classes, bool scale_prediction_by_lr,
                               int grace_period, double split_confidence, int max_depth,
                               std::string leaf_prediction, int seed)
    : n_models_(n_models),
      learning_rate_(learning_rate),
      percentage_of_features_(percentage_of_features),
      multiply_hessian_by_(multiply_hessian_by),
      skip_training_(skip_training),
      use_squared_loss_(use_squared_loss),
      bag_size_(bag_size),
      n_classes_(n_classes),
      scale_prediction_by_lr_(scale_prediction_by_lr),
      seed_(seed),
      grace_period_(grace_period),
      max_depth_(max_depth),
      split_confidence_(split_confidence),
      leaf_prediction_(std::move(leaf_prediction)) {}

ensemble::BoosterConfig SGBTClassifier::booster_config() const {
    ensemble::BoosterConfig c;
    c.n_models = n_models_;
    c.percentage_of_features = percentage_of_features_;
    c.multiply_hessian_by = multiply_hessian_by_;
    c.skip_training = skip_training_;
    c.bag_size = bag_size_;
    c.learning_rate = learning_rate_;
    c.use_squared_loss = use_squared_loss_;
    c.grace_period = grace_period_;
    c.max_depth = max_depth_;
    c.split_confidence = split_confidence_;
    c.leaf_prediction = leaf_prediction_;
    c.seed = static_cast<std::uint32_t>(seed_);
    return c;
}

// Boosters train independently (each has its own generator), so a booster created for
// this example trains first: when its stages cannot be built, the label and the booster
// are taken back and nothing else has changed.
void SGBTClassifier::learn_one(const FeatureMap& x, ClassLabel y) {
    const bool two_class = n_classes_ == 2;
    auto it = std::lower_bound(classes_.begin(), classes_.end(), y);
    const std::size_t pos = static_cast<std::size_t>(it - classes_.begin());
    const bool new_class = it == classes_.end() || *it != y;
    const bool new_booster = two_class ? boosters_.empty() : new_class;
    const std::size_t at = two_class ? 0 : std::min(pos, boosters_.size());
    if (new_booster) {
        auto booster = std::make_unique<ensemble::Booster>(booster_config());
        classes_.reserve(classes_.size() + 1);
        boosters_.reserve(boosters_.size() + 1);
        booster->train(x, two_class ? (pos == 0 ? 1.0 : 0.0) : (at == pos ? 0.0 : 1.0));
        boosters_.insert(boosters_.begin() + static_cast<std::ptrdiff_t>(at), std::move(booster));
    }
    if (new_class) classes_.insert(classes_.begin() + static_cast<std::ptrdiff_t>(pos), y);
    if (two_class) {
        if (!new_booster) boosters_.front()->train(x, pos == 0 ? 1.0 : 0.0);
        return;
    }
    for (std::size_t i = 0; i < boosters_.size(); ++i) {
        if (new_booster && i == at) continue;
        boosters_[i]->train(x, i == pos ? 0.0 : 1.0);
    }
}

ProbabilityMap SGBTClassifier::predict_proba_one(const FeatureMap& x) {
    ProbabilityMap result;
    if (classes_.empty()) return result;
    if (classes_.size() == 1) {
        result[classes_.front()] = 1.0;
        return result;
    }
    if (n_classes_ == 2) {
        double a = 0.5;
        if (!boosters_.empty() && boosters_.front()->initialised()) {
            a = ensemble::sigmoid(boosters_.front()->predict(x, scale_prediction_by_lr_));
        }
        result[classes_[0]] = a;
        result[classes_[1]] = 1.0 - a;
        return result;
    }
    // One booster per class; a booster list that fell out of step with the
    // classes (n_classes changed mid-stream) is paired up to the shorter one.
    const std::size_t n = std::min(boosters_.size(), classes_.size());
    std::vector<double> scores(n, 0.5);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (boosters_[i]->initialised()) {
            scores[i] = 1.0 - ensemble::sigmoid(boosters_[i]->predict(x, scale_prediction_by_lr_));
        }
        total += scores[i];
    }
    if (total > 0.0) {
        for (std::size_t i = 0; i < n; ++i) result[classes_[i]] = scores[i] / total;
    } else {
        for (const ClassLabel c : classes_) result[c] = 0.0;
    }
    return result;
}

ClassLabel SGBTClassifier::predict_one(const FeatureMap& x) {
    const ProbabilityMap proba = predict_proba_one(x);
    if (proba.empty()) return 0;
    ClassLabel best = 0;
    bool found = false;
    double best_value = -std::numeric_limits<double>::infinity();
    for (const ClassLabel c : classes_) {
        const auto it = proba.find(c);
        if (it == proba.end()) continue;
        if (!found) {
            best = c;
            found = true;
        }
        if (it->second > best_value) {
            best_value = it->second;
            best = c;
        }
    }
    return best;
}

void SGBTClassifier::reset() {
    classes_.clear();
    boosters_.clear();
}

// ---------------------------------------------------------------------------
// SGBRRegressor

SGBRRegressor::SGBRRegressor(int n_models, double learning_rate, int percentage_of_features,
                             int multiply_hessian_by, int skip_training, int bag_size,
                             int grace_period, double split_confidence, int max_depth,
                             std::string leaf_prediction, int seed)
    : n_models_(n_models),
      learning_rate_(learning_rate),
      percentage_of_features_(percentage_of_features),
      multiply_hessian_by_(multiply_hessian_by),
      skip_training_(skip_training),
      bag_size_(bag_size),
      seed_(seed),
      grace_period_(grace_period),
      max_depth_(max_depth),
      split_confidence_(split_confidence),
      leaf_prediction_(std::move(leaf_prediction)) {}

void SGBRRegressor::learn_one(const FeatureMap& x, double y) {
    if (!booster_) {
        ensemble::BoosterConfig c;
        c.n_models = n_models_;
        c.percentage_of_features = percentage_of_features_;
        c.multiply_hessian_by = multiply_hessian_by_;
        c.skip_training = skip_training_;
        c.bag_size = bag_size_;
        c.learning_rate = learning_rate_;
        c.use_squared_loss = true;
        c.grace_period = grace_period_;
        c.max_depth = max_depth_;
        c.split_confidence = split_confidence_;
        c.leaf_prediction = leaf_prediction_;
        c.seed = static_cast<std::uint32_t>(seed_);
        auto booster = std::make_unique<ensemble::Booster>(c);
        // Taken up once its first example is learnt: a failure leaves no booster behind.
        booster->train(x, y);
        booster_ = std::move(booster);
        return;
    }
    booster_->train(x, y);
}

double SGBRRegressor::predict_one(const FeatureMap& x) {
    if (!booster_ || !booster_->initialised()) return 0.0;
    return booster_->predict(x, false);
}

void SGBRRegressor::reset() { booster_.reset(); }

}  // namespace kavro
