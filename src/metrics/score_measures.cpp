#include "metrics/score_measures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace kavro {

namespace {

void require_number(double v, const char* what) {
    if (std::isnan(v)) throw std::invalid_argument(std::string(what) + " is NaN");
}

}  // namespace

// ---------------------------------------------------------------------------- ScoreCounts

void ScoreCounts::add(double score, bool positive) {
    if (score == 0.0) score = 0.0;  // -0.0 and 0.0: one key
    const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), score,
                                     [](const Entry& e, double s) { return e.score < s; });
    std::int64_t* count = nullptr;
    if (it != sorted_.end() && it->score == score) {
        count = positive ? &it->pos : &it->neg;
    } else {
        auto& c = pending_[score];
        count = positive ? &c.first : &c.second;
    }
    ++*count;
    ++(positive ? positives_ : negatives_);
    if (pending_.size() > std::max<std::size_t>(64, sorted_.size() / 8)) merge();
}

void ScoreCounts::remove(double score, bool positive) {
    const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), score,
                                     [](const Entry& e, double s) { return e.score < s; });
    if (it != sorted_.end() && it->score == score) {
        std::int64_t& c = positive ? it->pos : it->neg;
        if (c == 0) return;
        --c;
    } else {
        const auto p = pending_.find(score);
        if (p == pending_.end()) return;
        std::int64_t& c = positive ? p->second.first : p->second.second;
        if (c == 0) return;
        --c;
        if (p->second.first == 0 && p->second.second == 0) pending_.erase(p);
    }
    --(positive ? positives_ : negatives_);
}

void ScoreCounts::merge() {
    std::vector<Entry> out;
    out.reserve(sorted_.size() + pending_.size());
    auto p = pending_.begin();
    for (const Entry& e : sorted_) {
        for (; p != pending_.end() && p->first < e.score; ++p) out.push_back({p->first, p->second.first, p->second.second});
        if (e.pos != 0 || e.neg != 0) out.push_back(e);
    }
    for (; p != pending_.end(); ++p) out.push_back({p->first, p->second.first, p->second.second});
    sorted_ = std::move(out);
    pending_.clear();
}

template <class F>
void ScoreCounts::walk(bool ascending, F f) const {
    if (ascending) {
        auto p = pending_.begin();
        for (const Entry& e : sorted_) {
            for (; p != pending_.end() && p->first < e.score; ++p) f(p->second.first, p->second.second);
            f(e.pos, e.neg);
        }
        for (; p != pending_.end(); ++p) f(p->second.first, p->second.second);
    } else {
        auto p = pending_.rbegin();
        for (auto e = sorted_.rbegin(); e != sorted_.rend(); ++e) {
            for (; p != pending_.rend() && p->first > e->score; ++p) f(p->second.first, p->second.second);
            f(e->pos, e->neg);
        }
        for (; p != pending_.rend(); ++p) f(p->second.first, p->second.second);
    }
}

void ScoreCounts::clear() {
    sorted_.clear();
    pending_.clear();
    positives_ = negatives_ = 0;
}

ScoreCounts::Table ScoreCounts::table() const {
    Table out(pending_);
    for (const Entry& e : sorted_) {
        if (e.pos != 0 || e.neg != 0) out.emplace(e.score, std::make_pair(e.pos, e.neg));
    }
    return out;
}

bool ScoreCounts::assign(const Table& table) {
    std::int64_t pos = 0, neg = 0;
    constexpr std::int64_t most = std::int64_t{1} << 60;  // room for any further updates
    for (const auto& [score, c] : table) {
        if (std::isnan(score) || c.first < 0 || c.second < 0 || (c.first == 0 && c.second == 0)) return false;
        if (c.first > most - pos || c.second > most - neg) return false;
        pos += c.first;
        neg += c.second;
    }
    sorted_.clear();
    sorted_.reserve(table.size());
    for (const auto& [score, c] : table) sorted_.push_back({score == 0.0 ? 0.0 : score, c.first, c.second});
    pending_.clear();
    positives_ = pos;
    negatives_ = neg;
    return true;
}

double ScoreCounts::roc_auc() const {
    if (positives_ == 0 || negatives_ == 0) return 0.0;
    // Twice the number of pairs ranked right: each positive beats the negatives scored below
    // it and ties half of those scored the same.
    double twice = 0.0, below = 0.0;
    walk(true, [&](std::int64_t p, std::int64_t n) {
        const auto pos = static_cast<double>(p), neg = static_cast<double>(n);
        twice += pos * (2.0 * below + neg);
        below += neg;
    });
    return twice / (2.0 * static_cast<double>(positives_) * static_cast<double>(negatives_));
}

double ScoreCounts::average_precision() const {
    if (positives_ == 0) return 0.0;
    double sum = 0.0, tp = 0.0, seen = 0.0;
    walk(false, [&](std::int64_t p, std::int64_t n) {
        const auto pos = static_cast<double>(p);
        tp += pos;
        seen += pos + static_cast<double>(n);
        if (pos > 0.0) sum += pos * (tp / seen);
    });
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
