// Scores over the most recent window_size updates, kept in ring buffers.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "core/types.hpp"

namespace kavro {

// Largest window: its rings are allocated whole at construction.
inline constexpr int kMaxWindowSize = 100000000;

// Windowed accuracy and macro F1. A window_size of 0 or less ignores every update; one above
// kMaxWindowSize throws std::invalid_argument.
class WindowMetric {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit WindowMetric(int window_size = 1000);

    void update(ClassLabel predicted, ClassLabel actual);
    // macro_f1() when metric is 1, accuracy() otherwise.
    double get(int metric = 0) const { return metric == 1 ? macro_f1() : accuracy(); }
    double accuracy() const {
        return count == 0 ? 0.0 : static_cast<double>(correct) / static_cast<double>(count);
    }
    // Mean F1 over the non-negative labels present in the window.
    double macro_f1() const;
    void reset();
    int size() const { return count; }
    int get_window_size() const { return window_size; }

private:
    // Window counts of one non-negative label.
    struct Counts {
        std::int64_t tp = 0;
        std::int64_t fp = 0;
        std::int64_t fn = 0;
    };
    using CountsMap = std::map<ClassLabel, Counts>;

    // Adds `step` (+1 or -1) to one count of a non-negative label; a label whose counts all
    // reach zero is dropped, so the table holds at most the labels in the window.
    void count_label(ClassLabel label, std::int64_t Counts::*field, std::int64_t step);
    // The counts and the number of correct predictions of the values in the rings.
    CountsMap counts_of_rings(std::int64_t& n_correct) const;

    int window_size;
    std::vector<ClassLabel> predicted_ring;
    std::vector<ClassLabel> actual_ring;
    CountsMap class_counts;  // labels present in the window, ascending
    int head = 0;
    int count = 0;
    std::int64_t correct = 0;
};

// Windowed mean absolute error and root mean squared error. The running sums are
// rebuilt from the window once every window_size updates to bound rounding drift. A window_size
// above kMaxWindowSize throws std::invalid_argument.
class WindowRegressionMetric {
public:
    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

    explicit WindowRegressionMetric(int window_size = 1000);

    void update(double y_true, double y_pred);
    // rmse() when metric is 1, mae() otherwise.
    double get(int metric = 0) const { return metric == 1 ? rmse() : mae(); }
    double mae() const { return count == 0 ? 0.0 : sum_abs / count; }
    double rmse() const;
    void reset();
    int size() const { return count; }
    int get_window_size() const { return window_size; }

private:
    int window_size;
    std::vector<double> abs_errors;
    std::vector<double> sq_errors;
    double sum_abs = 0.0;
    double sum_sq = 0.0;
    int head = 0;
    int count = 0;
    std::int64_t updates_since_resum = 0;
};

}  // namespace kavro
