#include "dummy/baselines.hpp"

#include <algorithm>

namespace kavro {

void NoChangeClassifier::learn_one(const FeatureMap&, ClassLabel y) {
    seen_ = true;
    last_ = y;
}

ClassLabel NoChangeClassifier::predict_one(const FeatureMap&) { return seen_ ? last_ : -1; }

ProbabilityMap NoChangeClassifier::predict_proba_one(const FeatureMap&) {
    ProbabilityMap out;
    if (seen_) out[last_] = 1.0;
    return out;
}

void NoChangeClassifier::reset() {
    seen_ = false;
    last_ = -1;
}

void MajorityClassClassifier::learn_one(const FeatureMap&, ClassLabel y) {
    const auto it = std::find(labels_.begin(), labels_.end(), y);
    if (it == labels_.end()) {
        labels_.push_back(y);
        counts_.push_back(1);
    } else {
        ++counts_[static_cast<std::size_t>(it - labels_.begin())];
    }
    ++total_;
}

ClassLabel MajorityClassClassifier::predict_one(const FeatureMap&) {
    ClassLabel best = -1;
    std::int64_t best_count = 0;
    for (std::size_t i = 0; i < labels_.size(); ++i) {
        if (counts_[i] > best_count) {  // strict: ties keep the label seen first
            best = labels_[i];
            best_count = counts_[i];
        }
    }
    return best;
}

ProbabilityMap MajorityClassClassifier::predict_proba_one(const FeatureMap&) {
    ProbabilityMap out;
    for (std::size_t i = 0; i < labels_.size(); ++i) {
        out[labels_[i]] = static_cast<double>(counts_[i]) / static_cast<double>(total_);
    }
    return out;
}

void MajorityClassClassifier::reset() {
    labels_.clear();
    counts_.clear();
    total_ = 0;
}

void NoChangeRegressor::learn_one(const FeatureMap&, double y) { last_ = y; }

double NoChangeRegressor::predict_one(const FeatureMap&) { return last_; }

void NoChangeRegressor::reset() { last_ = 0.0; }

void MeanRegressor::learn_one(const FeatureMap&, double y) {
    ++n_;
    mean_ += (y - mean_) / static_cast<double>(n_);
}

double MeanRegressor::predict_one(const FeatureMap&) { return mean_; }

void MeanRegressor::reset() {
    n_ = 0;
    mean_ = 0.0;
}

}  // namespace kavro
