// Geometric moving average test for an increase of the mean of real values.
#pragma once

#include <cstdint>

#include "drift/detector_base.hpp"

namespace kavro {

// Roberts, "Control chart tests based on geometric moving averages", Technometrics 1959.
// Keeps a geometric moving average of the deviations of the values from their running mean:
// g = alpha * g + (1 - alpha) * (x - mean); a g above lambda_ is a drift, tested once
// min_n_instances values were seen. No warning zone. After a drift the next update starts
// from a fresh state.
class GeometricMovingAverage final : public DetectorBase {
public:
    // Throws std::invalid_argument for min_n_instances below 1, lambda_ not finite or alpha
    // outside [0, 1].
    explicit GeometricMovingAverage(std::int64_t min_n_instances = 30, double lambda_ = 1.0, double alpha = 0.99);

    // One finite value.
    void update(double x) override {
        check_input(x);
        step(x);
    }
    static void check_input(double x) { drift_checks::real(x); }
    void step(double x);
    void reset() override;

    std::int64_t min_n_instances() const { return min_n_instances_; }
    double lambda() const { return lambda_; }
    double alpha() const { return alpha_; }

    template <class Ar>
    void visit(Ar& ar);

private:
    void restart();

    std::int64_t min_n_instances_;
    double lambda_;
    double alpha_;

    std::int64_t n_ = 1;  // values seen since the restart, plus one
    double mean_ = 0.0;
    double average_ = 0.0;
};

}  // namespace kavro
