// Cumulative measures of predicted labels: chance- and baseline-corrected agreement (Cohen's,
// majority-class and no-change kappas), balanced accuracy, geometric mean of recalls, MCC,
// binary precision/recall/F1, and the confusion matrix. All counts are exact; a measure with
// nothing to divide by (nothing scored, or an undefined ratio) reports 0.0.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/interfaces.hpp"

namespace kavro {

// Label -> position in a first-appearance list; a lookup cache rebuilt from the list.
class LabelIndex {
public:
    // Position of y, appending it to `labels` when new.
    std::size_t find_or_add(std::vector<ClassLabel>& labels, ClassLabel y);
    // Position of y, or -1 when absent.
    std::ptrdiff_t find(ClassLabel y) const;
    void rebuild(const std::vector<ClassLabel>& labels);
    void clear() { pos_.clear(); }

private:
    std::unordered_map<ClassLabel, std::size_t> pos_;
};

// Per-label marginals of the confusion matrix (times seen as true label, as predicted label,
// and correct), labels in order of first appearance (true label first).
class LabelTallies : public IClassificationMetric {
public:
    template <class Ar>
    void visit(Ar& ar);

    void update(ClassLabel y_true, ClassLabel y_pred) override;
    void reset() override;
    std::int64_t n() const { return n_; }

protected:
    std::vector<ClassLabel> labels_;
    std::vector<std::int64_t> true_counts_;
    std::vector<std::int64_t> pred_counts_;
    std::vector<std::int64_t> hits_;
    std::int64_t n_ = 0;
    LabelIndex index_;
};

// Cohen's kappa: (p_o - p_e) / (1 - p_e), p_e the agreement expected from the marginals.
class CohenKappa final : public LabelTallies {
public:
    double get() const override;
};

// Mean over the labels seen as true labels of their recall.
class BalancedAccuracy final : public LabelTallies {
public:
    double get() const override;
};

// Geometric mean over the labels seen as true labels of their recall.
class GeometricMean final : public LabelTallies {
public:
    double get() const override;
};

// Matthews correlation coefficient, multi-class (Gorodkin's R_K) form.
class MCC final : public LabelTallies {
public:
    double get() const override;
};

// Kappa M: accuracy corrected by that of a majority-class classifier which predicts each
// example before seeing its label (ties: the label seen first; -1 before any label), as
// MajorityClassClassifier does: (p_o - p_m) / (1 - p_m).
class KappaM final : public IClassificationMetric {
public:
    template <class Ar>
    void visit(Ar& ar);

    void update(ClassLabel y_true, ClassLabel y_pred) override;
    double get() const override;
    void reset() override;

private:
    void rebuild_best();

    std::int64_t n_ = 0;
    std::int64_t hits_ = 0;
    std::int64_t majority_hits_ = 0;
    std::vector<ClassLabel> labels_;  // true labels in order of first appearance
    std::vector<std::int64_t> counts_;
    std::ptrdiff_t best_ = -1;  // position of the majority label (cache)
    LabelIndex index_;
};

// Kappa T (temporal): accuracy corrected by that of the no-change classifier, which predicts
// the previous true label (-1 before any): (p_o - p_t) / (1 - p_t).
class KappaT final : public IClassificationMetric {
public:
    template <class Ar>
    void visit(Ar& ar);

    void update(ClassLabel y_true, ClassLabel y_pred) override;
    double get() const override;
    void reset() override;

private:
    std::int64_t n_ = 0;
    std::int64_t hits_ = 0;
    std::int64_t no_change_hits_ = 0;
    ClassLabel last_ = -1;
};

// Counts of a binary task: pos_label against every other label.
class BinaryCounts : public IClassificationMetric {
public:
    explicit BinaryCounts(ClassLabel pos_label = 1) : pos_label_(pos_label) {}
    template <class Ar>
    void visit(Ar& ar);

    void update(ClassLabel y_true, ClassLabel y_pred) override;
    void reset() override;
    ClassLabel pos_label() const { return pos_label_; }

protected:
    ClassLabel pos_label_;
    std::int64_t tp_ = 0;
    std::int64_t fp_ = 0;
    std::int64_t fn_ = 0;
};

// TP / (TP + FP).
class Precision final : public BinaryCounts {
public:
    using BinaryCounts::BinaryCounts;
    double get() const override;
};

// TP / (TP + FN).
class Recall final : public BinaryCounts {
public:
    using BinaryCounts::BinaryCounts;
    double get() const override;
};

// 2 TP / (2 TP + FP + FN).
class F1 final : public BinaryCounts {
public:
    using BinaryCounts::BinaryCounts;
    double get() const override;
};

// Counts by (true, predicted) label, labels in order of first appearance (true label first).
// get() is the accuracy.
class ConfusionMatrix final : public IClassificationMetric {
public:
    template <class Ar>
    void visit(Ar& ar);

    void update(ClassLabel y_true, ClassLabel y_pred) override;
    double get() const override;
    void reset() override;

    const std::vector<ClassLabel>& labels() const { return labels_; }
    // Row i: true label labels()[i]; column j: predicted label labels()[j].
    const std::vector<std::vector<std::int64_t>>& matrix() const { return counts_; }
    std::int64_t n() const { return n_; }
    // Precision, recall, F1 and support per label, then accuracy and macro and
    // support-weighted averages, with `digits` decimals.
    std::string report(int digits) const;

private:
    std::vector<ClassLabel> labels_;
    std::vector<std::vector<std::int64_t>> counts_;
    std::int64_t n_ = 0;
    LabelIndex index_;
};

}  // namespace kavro
