// Early drift detection from the distances between consecutive prediction errors.
#pragma once

#include <cstdint>

namespace kavro {

// Tracks mean + 2 standard deviations of the distance between errors and compares it
// with the largest value it has reached: a ratio below alpha warns, below beta drifts.
class EDDM {
public:
    // Throws std::invalid_argument unless alpha >= beta (NaN fails).
    explicit EDDM(int warm_start = 30, double alpha = 0.95, double beta = 0.9);

    // Records one outcome: 1 is an error, anything else a correct prediction.
    void update(int x);
    // Restores the initial state; parameters are kept.
    void reset();

    bool drift_detected() const { return drift_detected_; }
    bool warning_detected() const { return warning_detected_; }

    int warm_start() const { return warm_start_; }
    double alpha() const { return alpha_; }
    double beta() const { return beta_; }
    void set_warm_start(int value) { warm_start_ = value; }
    // Both throw std::invalid_argument, changing nothing, unless alpha >= beta afterwards.
    void set_alpha(double value);
    void set_beta(double value);

    // Names every field of the saved state, in order (defined with the state module).
    template <class Ar>
    void visit(Ar& ar);

private:
    int warm_start_;
    double alpha_;
    double beta_;

    std::int64_t steps_ = 0;
    std::int64_t last_error_step_ = 0;
    std::int64_t n_errors_ = 0;
    double mean_distance_ = 0.0;
    double distance_m2_ = 0.0;
    double max_statistic_ = -1.0;
    bool drift_detected_ = false;
    bool warning_detected_ = false;
};

}  // namespace kavro
