#include "metrics/score_measures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace kavro {

namespace {

void require_number(double v, const char* what) {
    if (std::isnan(v)) throw std::invalid_argument(std::string(what) + " is NaN");
}

}  // namespace

// ---------------------------------------------------------------------------- ScoreCounts

void ScoreCounts::add(double score, bool positive) {
    auto& c = counts[score == 0.0 ? 0.0 : score];  // -0.0 and 0.0: one key
    if (positive) {
        ++c.first;
        ++positives_;
    } else {
        ++c.second;
        ++negatives_;
    }
}

void ScoreCounts::remove(double score, bool positive) {
    const auto it = counts.find(score);
    if (it == counts.end()) return;
    if (positive) {
        --it->second.first;
        --positives_;
    } else {
        --it->second.second;
        --negatives_;
    }
    if (it->second.first == 0 && it->second.second == 0) counts.erase(it);
}

void ScoreCounts::clear() {
    counts.clear();
    positives_ = negatives_ = 0;
}

bool ScoreCounts::recount() {
    positives_ = negatives_ = 0;
    for (const auto& [score, c] : counts) {
        if (std::isnan(score) || c.first < 0 || c.second < 0 || c.first + c.second == 0) return false;
        if (c.first > std::numeric_limits<std::int64_t>::max() - positives_ ||
            c.second > std::numeric_limits<std::int64_t>::max() - negatives_) {
            return false;
        }
        positives_ += c.first;
        negatives_ += c.second;
    }
    return true;
}

double ScoreCounts::roc_auc() const {
    if (positives_ == 0 || negatives_ == 0) return 0.0;
    // Twice the number of pairs ranked right: each positive beats the negatives scored below
    // it and ties half of those scored the same.
    double twice = 0.0, below = 0.0;
    for (const auto& [score, c] : counts) {
        const auto pos = static_cast<double>(c.first), neg = static_cast<double>(c.second);
        twice += pos * (2.0 * below + neg);
        below += neg;
    }
    return twice / (2.0 * static_cast<double>(positives_) * static_cast<double>(negatives_));
}

double ScoreCounts::average_precision() const {
    if (positives_ == 0) return 0.0;
    double sum = 0.0, tp = 0.0, seen = 0.0;
    for (auto it = counts.rbegin(); it != counts.rend(); ++it) {
        const auto pos = static_cast<double>(it->second.first);
        tp += pos;
        seen += pos + static_cast<double>(it->second.second);
        if (pos > 0.0) sum += pos * (tp / seen);
    }
    return sum / static_cast<double>(positives_);
}

// ---------------------------------------------------------------------------- AUC measures

void ScoreMeasure::update_proba(ClassLabel y_true, const ProbabilityMap& proba) {
    const auto it = proba.find(pos_label_);
    update_score(y_true, it == proba.end() ? 0.0 : it->second);
}

void ROCAUC::update_score(ClassLabel y_true, double score) {
    require_number(score, "y_pred");
    counts_.add(score, y_true == pos_label_);
}

RollingROCAUC::RollingROCAUC(std::int64_t window_size, ClassLabel pos_label)
    : ScoreMeasure(pos_label), window_size_(window_size) {
    if (window_size < 1) throw std::invalid_argument("window_size must be at least 1");
}

void RollingROCAUC::update_score(ClassLabel y_true, double score) {
    require_number(score, "y_pred");
    const bool positive = y_true == pos_label_;
    if (static_cast<std::int64_t>(window_.size()) == window_size_) {
        counts_.remove(window_.front().first, window_.front().second);
        window_.pop_front();
    }
    window_.emplace_back(score == 0.0 ? 0.0 : score, positive);
    counts_.add(score, positive);
}

void RollingROCAUC::reset() {
    window_.clear();
    counts_.clear();
}

void PRAUC::update_score(ClassLabel y_true, double score) {
    require_number(score, "y_pred");
    counts_.add(score, y_true == pos_label_);
}

// ---------------------------------------------------------------------------- LogLoss

void LogLoss::update_proba(ClassLabel y_true, const ProbabilityMap& proba) {
    for (const auto& kv : proba) require_number(kv.second, "a probability of y_pred");
    const auto it = proba.find(y_true);
    constexpr double eps = std::numeric_limits<double>::epsilon();
    const double p = std::clamp(it == proba.end() ? 0.0 : it->second, eps, 1.0 - eps);
    sum_ -= std::log(p);
    ++n_;
}

double LogLoss::get() const { return n_ == 0 ? 0.0 : sum_ / static_cast<double>(n_); }

void LogLoss::reset() {
    sum_ = 0.0;
    n_ = 0;
}

// ---------------------------------------------------------------------------- regression

void MAPE::update(double y_true, double y_pred) {
    require_number(y_true, "y_true");
    require_number(y_pred, "y_pred");
    const double den = std::max(std::abs(y_true), std::numeric_limits<double>::epsilon());
    sum_ += std::abs(y_true - y_pred) / den;
    ++n_;
}

double MAPE::get() const { return n_ == 0 ? 0.0 : sum_ / static_cast<double>(n_); }

void MAPE::reset() {
    sum_ = 0.0;
    n_ = 0;
}

void SMAPE::update(double y_true, double y_pred) {
    require_number(y_true, "y_true");
    require_number(y_pred, "y_pred");
    const double den = (std::abs(y_true) + std::abs(y_pred)) / 2.0;
    if (den > 0.0) sum_ += std::abs(y_pred - y_true) / den;
    ++n_;
}

double SMAPE::get() const { return n_ == 0 ? 0.0 : sum_ / static_cast<double>(n_); }

void SMAPE::reset() {
    sum_ = 0.0;
    n_ = 0;
}

}  // namespace kavro
