#include "metrics/label_measures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kavro {

namespace {

double ratio(double num, double den) { return den == 0.0 ? 0.0 : num / den; }

// (hits - reference hits) / (n - reference hits): agreement beyond a reference classifier's.
double corrected(std::int64_t hits, std::int64_t reference_hits, std::int64_t n) {
    return ratio(static_cast<double>(hits - reference_hits), static_cast<double>(n - reference_hits));
}

}  // namespace

std::size_t LabelIndex::find_or_add(std::vector<ClassLabel>& labels, ClassLabel y) {
    const auto [it, added] = pos_.emplace(y, labels.size());
    if (added) labels.push_back(y);
    return it->second;
}

std::ptrdiff_t LabelIndex::find(ClassLabel y) const {
    const auto it = pos_.find(y);
    return it == pos_.end() ? -1 : static_cast<std::ptrdiff_t>(it->second);
}

void LabelIndex::rebuild(const std::vector<ClassLabel>& labels) {
    pos_.clear();
    for (std::size_t i = 0; i < labels.size(); ++i) pos_.emplace(labels[i], i);
}

// ---------------------------------------------------------------------------- LabelTallies

void LabelTallies::update(ClassLabel y_true, ClassLabel y_pred) {
    const std::size_t t = index_.find_or_add(labels_, y_true);
    const std::size_t p = index_.find_or_add(labels_, y_pred);
    true_counts_.resize(labels_.size(), 0);
    pred_counts_.resize(labels_.size(), 0);
    hits_.resize(labels_.size(), 0);
    ++true_counts_[t];
    ++pred_counts_[p];
    if (t == p) ++hits_[t];
    ++n_;
}

void LabelTallies::reset() {
    labels_.clear();
    true_counts_.clear();
    pred_counts_.clear();
    hits_.clear();
    n_ = 0;
    index_.clear();
}

double CohenKappa::get() const {
    // (n * hits - sum_k t_k p_k) / (n^2 - sum_k t_k p_k)
    double hits = 0.0, chance = 0.0;
    for (std::size_t k = 0; k < labels_.size(); ++k) {
        hits += static_cast<double>(hits_[k]);
        chance += static_cast<double>(true_counts_[k]) * static_cast<double>(pred_counts_[k]);
    }
    const double n = static_cast<double>(n_);
    return ratio(n * hits - chance, n * n - chance);
}

double BalancedAccuracy::get() const {
    double sum = 0.0;
    std::size_t classes = 0;
    for (std::size_t k = 0; k < labels_.size(); ++k) {
        if (true_counts_[k] == 0) continue;
        sum += static_cast<double>(hits_[k]) / static_cast<double>(true_counts_[k]);
        ++classes;
    }
    return classes == 0 ? 0.0 : sum / static_cast<double>(classes);
}

double GeometricMean::get() const {
    double log_sum = 0.0;
    std::size_t classes = 0;
    for (std::size_t k = 0; k < labels_.size(); ++k) {
        if (true_counts_[k] == 0) continue;
        if (hits_[k] == 0) return 0.0;
        log_sum += std::log(static_cast<double>(hits_[k]) / static_cast<double>(true_counts_[k]));
        ++classes;
    }
    return classes == 0 ? 0.0 : std::exp(log_sum / static_cast<double>(classes));
}

double MCC::get() const {
    double hits = 0.0, tp = 0.0, tt = 0.0, pp = 0.0;
    for (std::size_t k = 0; k < labels_.size(); ++k) {
        const double t = static_cast<double>(true_counts_[k]);
        const double p = static_cast<double>(pred_counts_[k]);
        hits += static_cast<double>(hits_[k]);
        tp += t * p;
        tt += t * t;
        pp += p * p;
    }
    const double n = static_cast<double>(n_);
    const double cov_tp = hits * n - tp;
    const double cov_tt = n * n - tt;
    const double cov_pp = n * n - pp;
    if (cov_tt * cov_pp == 0.0) return 0.0;
    return cov_tp / std::sqrt(cov_tt * cov_pp);
}

// ---------------------------------------------------------------------------- KappaM, KappaT

void KappaM::update(ClassLabel y_true, ClassLabel y_pred) {
    const ClassLabel majority = best_ < 0 ? -1 : labels_[static_cast<std::size_t>(best_)];
    if (majority == y_true) ++majority_hits_;
    if (y_pred == y_true) ++hits_;
    ++n_;
    const std::size_t k = index_.find_or_add(labels_, y_true);
    counts_.resize(labels_.size(), 0);
    ++counts_[k];
    const auto kk = static_cast<std::ptrdiff_t>(k);
    if (best_ < 0) {
        best_ = kk;
    } else if (kk != best_) {
        const std::int64_t b = counts_[static_cast<std::size_t>(best_)];
        if (counts_[k] > b || (counts_[k] == b && kk < best_)) best_ = kk;
    }
}

void KappaM::rebuild_best() {
    best_ = -1;
    std::int64_t best_count = 0;
    for (std::size_t i = 0; i < counts_.size(); ++i) {
        if (counts_[i] > best_count) {
            best_ = static_cast<std::ptrdiff_t>(i);
            best_count = counts_[i];
        }
    }
}

double KappaM::get() const { return corrected(hits_, majority_hits_, n_); }

void KappaM::reset() {
    n_ = hits_ = majority_hits_ = 0;
    labels_.clear();
    counts_.clear();
    best_ = -1;
    index_.clear();
}

void KappaT::update(ClassLabel y_true, ClassLabel y_pred) {
    if (last_ == y_true) ++no_change_hits_;
    if (y_pred == y_true) ++hits_;
    ++n_;
    last_ = y_true;
}

double KappaT::get() const { return corrected(hits_, no_change_hits_, n_); }

void KappaT::reset() {
    n_ = hits_ = no_change_hits_ = 0;
    last_ = -1;
}

// ---------------------------------------------------------------------------- binary

void BinaryCounts::update(ClassLabel y_true, ClassLabel y_pred) {
    const bool t = y_true == pos_label_, p = y_pred == pos_label_;
    if (t && p) ++tp_;
    if (p && !t) ++fp_;
    if (t && !p) ++fn_;
}

void BinaryCounts::reset() { tp_ = fp_ = fn_ = 0; }

double Precision::get() const { return ratio(static_cast<double>(tp_), static_cast<double>(tp_ + fp_)); }

double Recall::get() const { return ratio(static_cast<double>(tp_), static_cast<double>(tp_ + fn_)); }

double F1::get() const {
    const auto tp = static_cast<double>(tp_);
    return ratio(2.0 * tp, 2.0 * tp + static_cast<double>(fp_) + static_cast<double>(fn_));
}

// ---------------------------------------------------------------------------- ConfusionMatrix

void ConfusionMatrix::update(ClassLabel y_true, ClassLabel y_pred) {
    const std::size_t t = index_.find_or_add(labels_, y_true);
    const std::size_t p = index_.find_or_add(labels_, y_pred);
    if (counts_.size() < labels_.size()) {
        counts_.resize(labels_.size());
        for (auto& row : counts_) row.resize(labels_.size(), 0);
    }
    ++counts_[t][p];
    ++n_;
}

double ConfusionMatrix::get() const {
    std::int64_t hits = 0;
    for (std::size_t k = 0; k < counts_.size(); ++k) hits += counts_[k][k];
    return ratio(static_cast<double>(hits), static_cast<double>(n_));
}

void ConfusionMatrix::reset() {
    labels_.clear();
    counts_.clear();
    n_ = 0;
    index_.clear();
}

std::string ConfusionMatrix::report(int digits) const {
    const std::size_t k = labels_.size();
    std::vector<double> precision(k), recall(k), f1(k);
    std::vector<std::int64_t> support(k, 0), predicted(k, 0);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            support[i] += counts_[i][j];
            predicted[j] += counts_[i][j];
        }
    }
    for (std::size_t i = 0; i < k; ++i) {
        const auto tp = static_cast<double>(counts_[i][i]);
        precision[i] = ratio(tp, static_cast<double>(predicted[i]));
        recall[i] = ratio(tp, static_cast<double>(support[i]));
        f1[i] = ratio(2.0 * tp, static_cast<double>(predicted[i] + support[i]));
    }
    std::size_t width = 12;  // "weighted avg"
    for (ClassLabel y : labels_) width = std::max(width, std::to_string(y).size());
    const int w = static_cast<int>(width);
    const int col = std::max(9, digits + 3);
    std::string out;
    char buf[256];
    std::snprintf(buf, sizeof buf, "%*s %*s %*s %*s %*s\n", w, "", col, "precision", col, "recall", col,
                  "f1", col, "support");
    out += buf;
    auto line = [&](const std::string& name, double p, double r, double f, std::int64_t s) {
        std::snprintf(buf, sizeof buf, "%*s %*.*f %*.*f %*.*f %*lld\n", w, name.c_str(), col, digits, p,
                      col, digits, r, col, digits, f, col, static_cast<long long>(s));
        out += buf;
    };
    double mp = 0, mr = 0, mf = 0, wp = 0, wr = 0, wf = 0;
    for (std::size_t i = 0; i < k; ++i) {
        line(std::to_string(labels_[i]), precision[i], recall[i], f1[i], support[i]);
        const auto s = static_cast<double>(support[i]);
        mp += precision[i];
        mr += recall[i];
        mf += f1[i];
        wp += precision[i] * s;
        wr += recall[i] * s;
        wf += f1[i] * s;
    }
    out += "\n";
    const double kd = static_cast<double>(k), nd = static_cast<double>(n_);
    std::snprintf(buf, sizeof buf, "%*s %*s %*s %*.*f %*lld\n", w, "accuracy", col, "", col, "", col, digits,
                  get(), col, static_cast<long long>(n_));
    out += buf;
    line("macro avg", ratio(mp, kd), ratio(mr, kd), ratio(mf, kd), n_);
    line("weighted avg", ratio(wp, nd), ratio(wr, nd), ratio(wf, nd), n_);
    return out;
}

}  // namespace kavro
