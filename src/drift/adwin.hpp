// Adaptive-windowing change detector over a stream of real numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavro {

// Keeps an exponential histogram of the recent values (row i holds buckets of 2^i
// values, row 0 the newest) and, every `clock` updates, drops the oldest buckets
// while some split of the window into an older and a newer part has means that
// differ by more than the bound.
class ADWIN {
public:
    // Throws std::invalid_argument for a clock or max_buckets below 1.
    explicit ADWIN(double delta = 0.002, int clock = 32, int max_buckets = 5,
                   int min_window_length = 5, int grace_period = 10);

    // Adds one value; may drop old buckets and set drift_detected().
    void update(double x);
    // Empties the window; parameters are kept.
    void reset();

    // Whether the most recent update found a change.
    bool drift_detected() const { return drift_detected_; }
    // Window mean; 0 when the window is empty.
    double estimation() const { return width_ == 0.0 ? 0.0 : total_ / width_; }
    // Number of values in the window.
    double width() const { return width_; }
    // Population variance of the window; 0 when the window is empty.
    double variance() const { return width_ == 0.0 ? 0.0 : variance_ / width_; }
    double total() const { return total_; }

    double delta() const { return delta_; }
    int clock() const { return clock_; }
    int max_buckets() const { return max_buckets_; }
    int min_window_length() const { return min_window_length_; }
    int grace_period() const { return grace_period_; }

    // Bucket layout, for inspection: number of rows and buckets held by row i.
    std::size_t n_rows() const { return counts_.size(); }
    int bucket_count(std::size_t row) const { return counts_[row]; }

    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    void add_row();
    void compress();
    bool scan_finds_cut() const;
    void delete_oldest_bucket();

    double delta_;
    int clock_;
    int max_buckets_;
    int min_window_length_;
    int grace_period_;

    // Row i occupies slots [i * slots_, (i + 1) * slots_) of totals_ and variances_;
    // its occupied slots are 0 .. counts_[i] - 1, oldest first; free slots hold 0.
    std::size_t slots_;
    std::vector<int> counts_;
    std::vector<double> totals_;
    std::vector<double> variances_;

    double total_ = 0.0;
    double variance_ = 0.0;  // sum of squared deviations from the window mean
    double width_ = 0.0;
    int until_scan_ = 0;  // updates left before the next scan for a cut
    bool drift_detected_ = false;
};

}  // namespace kavro
