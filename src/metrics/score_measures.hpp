// Cumulative measures of scores and probabilities (exact ROC AUC over the whole stream or the
// last window_size pairs, average precision, log loss) and percentage errors of regressors.
// A NaN score, probability or value is refused (std::invalid_argument), leaving the measure as
// it was.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "core/interfaces.hpp"

namespace kavro {

// Positive and negative counts per distinct score. Scores already known are counted in a sorted
// vector (found by binary search); new ones wait in a small ordered map that is merged into the
// vector once it holds more than an eighth of it, so that get() walks mostly contiguous memory.
class ScoreCounts {
public:
    using Table = std::map<double, std::pair<std::int64_t, std::int64_t>>;  // score -> (pos, neg)

    void add(double score, bool positive);
    // Takes back one add(score, positive); ignored when there is none.
    void remove(double score, bool positive);
    void clear();
    // Share of (positive, negative) pairs ranked right, ties counting half; 0 without both.
    double roc_auc() const;
    // Sum over decreasing thresholds of (recall step) x precision; 0 without positives.
    double average_precision() const;
    std::int64_t positives() const { return positives_; }
    std::int64_t negatives() const { return negatives_; }

    // Every distinct score with its counts (the saved form).
    Table table() const;
    // Replaces the counts; false (nothing changed) on a NaN score, a negative count, an empty
    // entry or totals out of range.
    bool assign(const Table& table);

private:
    struct Entry {
        double score;
        std::int64_t pos;
        std::int64_t neg;
    };
    void merge();
    // f(pos, neg) for every distinct score, ascending or descending.
    template <class F>
    void walk(bool ascending, F f) const;

    std::vector<Entry> sorted_;  // increasing scores; may hold emptied entries until a merge
    Table pending_;              // scores absent from sorted_
    std::int64_t positives_ = 0;
    std::int64_t negatives_ = 0;
};

// Base of the measures fed with (label, score): a probability map gives the probability of
// pos_label (0 when absent).
class ScoreMeasure : public IClassificationMetric {
public:
    explicit ScoreMeasure(ClassLabel pos_label = 1) : pos_label_(pos_label) {}
    Input input() const override { return Input::proba; }
    void update_proba(ClassLabel y_true, const ProbabilityMap& proba) override;
    ClassLabel pos_label() const { return pos_label_; }

protected:
    ClassLabel pos_label_;
};

// Area under the ROC curve over every pair scored so far.
class ROCAUC final : public ScoreMeasure {
public:
    using ScoreMeasure::ScoreMeasure;
    template <class Ar>
    void visit(Ar& ar);

    void update_score(ClassLabel y_true, double score) override;
    double get() const override { return counts_.roc_auc(); }
    void reset() override { counts_.clear(); }

private:
    ScoreCounts counts_;
};

// Area under the ROC curve over the last window_size pairs (memory bounded by the window).
class RollingROCAUC final : public ScoreMeasure {
public:
    explicit RollingROCAUC(std::int64_t window_size = 1000, ClassLabel pos_label = 1);
    template <class Ar>
    void visit(Ar& ar);

    void update_score(ClassLabel y_true, double score) override;
    double get() const override { return counts_.roc_auc(); }
    void reset() override;
    std::int64_t window_size() const { return window_size_; }
    std::size_t size() const { return window_.size(); }

private:
    std::int64_t window_size_;
    std::deque<std::pair<double, bool>> window_;  // (score, positive), oldest first
    ScoreCounts counts_;                          // of the window (rebuilt on reading)
};

// Average precision: the area under the precision-recall curve as a step function.
class PRAUC final : public ScoreMeasure {
public:
    using ScoreMeasure::ScoreMeasure;
    template <class Ar>
    void visit(Ar& ar);

    void update_score(ClassLabel y_true, double score) override;
    double get() const override { return counts_.average_precision(); }
    void reset() override { counts_.clear(); }

private:
    ScoreCounts counts_;
};

// Mean of -log p(true label), the probability clipped to [eps, 1 - eps] (eps the double
// epsilon; an absent label has probability 0).
class LogLoss final : public IClassificationMetric {
public:
    template <class Ar>
    void visit(Ar& ar);

    Input input() const override { return Input::proba; }
    void update_proba(ClassLabel y_true, const ProbabilityMap& proba) override;
    double get() const override;
    void reset() override;

private:
    double sum_ = 0.0;
    std::int64_t n_ = 0;
};

// Mean absolute percentage error: mean of |t - p| / max(|t|, eps), as a fraction.
class MAPE final : public IRegressionMetric {
public:
    template <class Ar>
    void visit(Ar& ar);

    void update(double y_true, double y_pred) override;
    double get() const override;
    void reset() override;

private:
    double sum_ = 0.0;
    std::int64_t n_ = 0;
};

// Symmetric mean absolute percentage error: mean of |p - t| / ((|t| + |p|) / 2), as a fraction
// in [0, 2]; a pair of zeros counts 0.
class SMAPE final : public IRegressionMetric {
public:
    template <class Ar>
    void visit(Ar& ar);

    void update(double y_true, double y_pred) override;
    double get() const override;
    void reset() override;

private:
    double sum_ = 0.0;
    std::int64_t n_ = 0;
};

}  // namespace kavro
